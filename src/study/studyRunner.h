// The study runner: many histories of one model on a team of OpenMP threads, kept as a
// StudyTally (studyOutput.h) instead of a series per time unit.
//
// History i is seeded with seed + i (modulo 2^32), as in runnerParallelSim, so its failed steps
// per reported unit equal runnerParallelSim's counts summed over each unit's steps (models
// without Maintenance). The runner prints nothing. It stops at the calling thread's interrupt
// check (runControl.h) with RunInterrupted, and rethrows the first exception of any history on
// the calling thread; no partial result is returned. It does not change the OpenMP thread count
// of the process.
//
// The loop is a template over the history engine: runStudyWith takes a factory that makes one
// engine per thread, so that any engine calling the hooks of historyOutputs.h can be studied.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "history/compiledModel.h"
#include "logistics/logistics.h"
#include "study/runControl.h"
#include "study/studyOutput.h"

// What a study call asks for.
struct StudyPlan {
    int simTime = 0;          // engine steps per history, >= 0, a multiple of stepsPerUnit
    int stepsPerUnit = 1;     // engine steps per reported time unit, >= 1
    std::int64_t histories = 0;  // >= 0
    std::uint32_t seed = 0;   // history i is seeded with seed + i
    int threads = 1;          // >= 1
};

// Throws std::invalid_argument naming the argument (by its Python keyword) when the plan
// breaks one of the bounds above, or asks for more threads than maxOMPThreads() allows.
void checkStudyPlan(const StudyPlan& plan);

// Messages an engine wants its caller to see as warnings: each distinct text kept once, at most
// kMaxKept of them. One per thread.
class StudyWarnings {
public:
    static constexpr std::size_t kMaxKept = 20;
    void add(const std::string& message);
    const std::vector<std::string>& messages() const { return kept; }
    void mergeFrom(const StudyWarnings& other);

private:
    std::vector<std::string> kept;
};

// The figures of a study call (see studyOutput.h for their meaning).
struct StudyResult {
    std::vector<std::uint64_t> failedStepsPerUnit;   // simTime / stepsPerUnit entries
    std::vector<std::uint64_t> failedStepsHistogram; // up to the largest bin counted
    std::vector<std::uint64_t> failuresHistogram;
    std::vector<std::uint64_t> firstFailureHistogram;  // histories that failed at all
    std::uint64_t histories = 0;
    std::uint64_t historiesWithoutFailure = 0;
    std::uint64_t exactBins = StudyBinning::kExactBins;  // bins of width 1 below this value
    std::uint64_t binWidth = 1;                          // width of the bins beyond
    ExactMoments failedSteps;
    ExactMoments failures;
    Wide failedStepsTimesFailures = 0;  // the sum over histories of their product
    std::vector<std::string> warnings;
    LogisticsTally logistics;  // empty for a model without logistics
};

namespace studyDetail {

// The state of one call shared by its threads: who stopped it and why.
class StopState {
public:
    bool stopping() const { return stop.load(std::memory_order_relaxed); }
    void fail(std::exception_ptr error);
    void interrupt() {
        interrupted.store(true);
        stop.store(true);
    }
    // Rethrows the first history's exception, or throws RunInterrupted.
    void throwIfIncomplete() const;

private:
    std::atomic<bool> stop{false};
    std::atomic<bool> interrupted{false};
    std::exception_ptr firstError;
};

// Histories are handed out in chunks of consecutive indices, as runnerParallelSim does.
inline constexpr std::int64_t kChunk = 50;

// Sums the threads' tallies into a result.
StudyResult collect(std::vector<std::unique_ptr<StudyTally>>& tallies,
                    std::vector<StudyWarnings>& warnings);

// The output of one history into a tally: historyOutput(tally, engine) gives it, for any tally
// type that has one (this one reads nothing of the engine).
template <class Engine>
StudyOutput historyOutput(StudyTally& tally, const Engine&) {
    return StudyOutput(tally);
}

// One thread's share: makes its engine, then runs the chunks it takes until none is left or the
// call stops. The calling thread (thread 0) polls for interrupts.
template <class MakeEngine, class Tally>
void runThread(const StudyPlan& plan, MakeEngine& makeEngine, Tally& tally,
               StudyWarnings& warnings, std::atomic<std::int64_t>& nextChunk, StopState& state,
               InterruptPoll* poll) {
    try {
        auto engine = makeEngine(warnings);
        for (;;) {
            const std::int64_t first = nextChunk.fetch_add(kChunk);
            if (first >= plan.histories) return;
            const std::int64_t last = std::min(first + kChunk, plan.histories);
            for (std::int64_t i = first; i < last; ++i) {
                if (state.stopping()) return;
                auto out = historyOutput(tally, *engine);
                engine->run(historySeed(plan.seed, i), out);
                out.finish();
                if (poll != nullptr && poll->stopRequested()) {
                    state.interrupt();
                    return;
                }
            }
        }
    } catch (...) {
        state.fail(std::current_exception());
    }
}

}  // namespace studyDetail

// The loop of runStudyWith with tallies of any kind: makeTally() gives one per thread (a
// pointer-like owner), and historyOutput(tally, engine) the output of each history. Returns the
// threads' tallies and fills `warnings`, one per thread.
template <class MakeEngine, class MakeTally>
auto runTalliesWith(const StudyPlan& plan, MakeEngine& makeEngine, MakeTally makeTally,
                    std::vector<StudyWarnings>& warnings) {
    checkStudyPlan(plan);
    const bool onCallingThread = workersLostToFork();
    const int threads = onCallingThread ? 1 : std::max(1, plan.threads);
    std::vector<decltype(makeTally())> tallies;
    for (int t = 0; t < threads; ++t) tallies.push_back(makeTally());
    warnings.assign(static_cast<std::size_t>(threads), StudyWarnings());
    std::atomic<std::int64_t> nextChunk{0};
    studyDetail::StopState state;
    InterruptPoll poll;

    if (onCallingThread || threads == 1) {
        studyDetail::runThread(plan, makeEngine, *tallies[0], warnings[0], nextChunk, state, &poll);
    } else {
        noteWorkersStarted();
#pragma omp parallel num_threads(threads)
        {
            const int t = omp_get_thread_num();
            studyDetail::runThread(plan, makeEngine, *tallies[static_cast<std::size_t>(t)],
                                   warnings[static_cast<std::size_t>(t)], nextChunk, state,
                                   t == 0 ? &poll : nullptr);
        }
    }
    state.throwIfIncomplete();
    return tallies;
}

// Runs plan.histories histories, each on an engine made by makeEngine for its thread.
// makeEngine(StudyWarnings&) is called once per thread, on that thread, and returns a pointer-
// like owner of an engine offering run(std::uint32_t seed, StudyOutput& out) (HistoryEngine
// does); it may keep the StudyWarnings to report messages. Engines are used by their own thread
// only. Checks the plan (checkStudyPlan); the model is the factory's affair.
template <class MakeEngine>
StudyResult runStudyWith(const StudyPlan& plan, MakeEngine makeEngine) {
    std::vector<StudyWarnings> warnings;
    auto tallies = runTalliesWith(plan, makeEngine, [&] {
        return std::make_unique<StudyTally>(plan.simTime, plan.stepsPerUnit);
    }, warnings);
    return studyDetail::collect(tallies, warnings);
}

// The study of independent components (HistoryEngine), a negative first draw firing at once.
// Checks the tree and the model as the other runners do (checkModel), even for 0 histories.
StudyResult runStudy(const ComponentModel& model, CutsetTree* cutSetTree, const StudyPlan& plan);
