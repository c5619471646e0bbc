#include "study/runControl.h"

#include <pthread.h>

#include <atomic>

namespace {

std::atomic<bool> workersStarted{false};
std::atomic<bool> workersLost{false};

void afterForkInChild() {
    if (workersStarted.load()) workersLost.store(true);
}

[[maybe_unused]] const bool forkHandlerInstalled =
    pthread_atfork(nullptr, nullptr, &afterForkInChild) == 0;

thread_local InterruptCheck installedCheck = nullptr;

}  // namespace

void noteWorkersStarted() { workersStarted.store(true); }

bool workersLostToFork() { return workersLost.load(); }

InterruptPoll::InterruptPoll() : check(installedCheck), lastAsked(Clock::now()) {}

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck check) : previous(installedCheck) {
    installedCheck = check;
}

ScopedInterruptCheck::~ScopedInterruptCheck() { installedCheck = previous; }
