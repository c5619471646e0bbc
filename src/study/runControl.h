// What every batch runner shares about running histories on a team of threads: the seed of
// history i, stopping at the caller's request (Ctrl-C from Python), and the fork rule.
//
// The interrupt check belongs to the thread that installs it; InterruptPoll must be used on
// that thread only. The fork bookkeeping is process-wide and safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>

// History i of a batch is seeded with seed + i, modulo 2^32.
inline std::uint32_t historySeed(std::uint32_t seed, std::int64_t index) {
    return seed + static_cast<std::uint32_t>(index);
}

// ---- Stopping a batch run ----

// Asked by the thread that called a batch runner, every few milliseconds of work and never from
// a worker thread: true when the run should stop. Must not throw.
using InterruptCheck = bool (*)();

// Installs `check` for the batch runners called from this thread while the object lives (the
// previous one comes back afterwards). A runner that sees it answer true starts no further
// history, waits for the histories in flight, releases everything and throws RunInterrupted.
class ScopedInterruptCheck {
public:
    explicit ScopedInterruptCheck(InterruptCheck check);
    ~ScopedInterruptCheck();
    ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
    ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

private:
    InterruptCheck previous;
};

// A batch run stopped at the request of its interrupt check; no result exists.
class RunInterrupted : public std::runtime_error {
public:
    RunInterrupted() : std::runtime_error("Run interrupted.") {}
};

// Asks the calling thread's interrupt check at most every kInterval of work: often enough to
// stop within a fraction of a second, rarely enough to cost nothing measurable. Construct and
// use it on the thread that called the runner.
class InterruptPoll {
public:
    InterruptPoll();

    // Call after each history.
    bool stopRequested() {
        if (check == nullptr) return false;
        const Clock::time_point now = Clock::now();
        if (now - lastAsked < kInterval) return false;
        lastAsked = now;
        return check();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{5};
    InterruptCheck check;
    Clock::time_point lastAsked;
};

// ---- Fork ----

// The OpenMP runtime keeps its worker threads in a pool; a forked child inherits the pool's
// bookkeeping but not its threads, and its next parallel region waits for them forever. So a
// runner notes when it starts workers, and a child forked after that runs its histories on the
// calling thread (workersLostToFork() is then true).
void noteWorkersStarted();
bool workersLostToFork();
