#include "simRunner.h"

#include <omp.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "SIMDUtils.h"
#include "study/runControl.h"
#include "utils.h"

namespace {

// A series of simTime unsigned ints on a 64-byte boundary, the alignment the widest path of
// add_arrays stores with.
class AlignedSeries {
public:
    AlignedSeries() = default;

    // Throws std::bad_alloc (std::bad_array_new_length for a negative length).
    explicit AlignedSeries(int length) : length(length) {
        if (length < 0) throw std::bad_array_new_length();
        // A zero-length series still gets a real block, so that it never reads as a failure.
        const std::size_t bytes = std::max<std::size_t>(1, static_cast<std::size_t>(length)) *
                                  sizeof(unsigned int);
        values.reset(static_cast<unsigned int*>(::operator new(bytes, kAlignment)));
    }

    static AlignedSeries zeroed(int length) {
        AlignedSeries series(length);
        std::fill_n(series.data(), length, 0u);
        return series;
    }

    unsigned int* data() const { return values.get(); }
    std::size_t size() const { return static_cast<std::size_t>(length); }
    std::vector<unsigned int> toVector() const { return {data(), data() + length}; }

    // In place: sum[t] += series[t] modulo 2^32.
    void add(const AlignedSeries& series) { add_arrays(data(), series.data(), data(), size()); }

private:
    static constexpr std::align_val_t kAlignment{64};
    struct Release {
        void operator()(unsigned int* block) const { ::operator delete(block, kAlignment); }
    };

    int length = 0;
    std::unique_ptr<unsigned int, Release> values;
};

void printLine(const std::string& line) { printWholeLine(std::cout, line); }

void printProgress(int index) {
    if (index % 10000 == 0) printLine("Simulation " + std::to_string(index) + " done.\n");
}

void printClosingLines(int nSimulations) {
    printLine("Simulation " + std::to_string(nSimulations) + " done.\n");
    printLine("All Simulations Done.\n");
}

// ---- Running a batch ----

// The histories of one batch call, run on one thread or shared by a team of workers: each
// history's changes go into the difference buffer of the thread running it. Remembers the first
// exception of any history and whether the caller asked to stop; after either, no further
// history starts.
class Batch {
public:
    Batch(int nSimulations, int simTime, const CompiledModel& model, int seed)
        : nSimulations(nSimulations), simTime(simTime), model(model), seed(seed) {}

    void runOnCallingThread(unsigned int* differences) {
        runTaken(differences, [&](auto&& runIndex) {
            for (int i = 0; i < nSimulations && runIndex(i); ++i) {
            }
        });
    }

    // Slot t's buffer belongs to the thread numbered t. The threads take chunks of 50
    // consecutive indices as they become free (a dynamic schedule written out, so that a
    // stopping batch hands out no further chunk instead of passing over every index left).
    void runOnWorkers(const std::vector<AlignedSeries>& differences, int threads) {
        noteWorkersStarted();
        std::atomic<std::int64_t> nextChunk{0};
#pragma omp parallel num_threads(threads)
        {
            unsigned int* mine = differences[static_cast<std::size_t>(omp_get_thread_num())].data();
            runTaken(mine, [&](auto&& runIndex) {
                for (;;) {
                    const std::int64_t first = nextChunk.fetch_add(kChunk);
                    if (first >= nSimulations) return;
                    const int last =
                        static_cast<int>(std::min<std::int64_t>(first + kChunk, nSimulations));
                    for (int i = static_cast<int>(first); i < last; ++i) {
                        if (!runIndex(i)) return;
                    }
                }
            });
        }
    }

    // Rethrows the first history's exception, or throws RunInterrupted if the caller stopped
    // the run; returns when every history ran.
    void throwIfIncomplete() const {
        if (firstError) std::rethrow_exception(firstError);
        if (interrupted.load()) throw RunInterrupted();
    }

private:
    // Gives `loop` a function that runs history i (unless the batch is stopping) and answers
    // whether the batch goes on. The calling thread (thread 0 of a team) polls for interrupts.
    template <class Loop>
    void runTaken(unsigned int* differences, Loop&& loop) {
        const bool pollsInterrupts = omp_get_thread_num() == 0;
        std::unique_ptr<ChangeRecorder> recorder;
        try {
            recorder = std::make_unique<ChangeRecorder>(model, simTime);
        } catch (...) {
            fail(std::current_exception());
        }
        loop([&](int i) {
            if (stopping.load(std::memory_order_relaxed)) return false;
            try {
                recorder->record(historySeed(static_cast<std::uint32_t>(seed), i), differences);
                printProgress(i);
            } catch (...) {
                fail(std::current_exception());
                return false;
            }
            if (pollsInterrupts && poll.stopRequested()) {
                interrupted.store(true);
                stopping.store(true);
                return false;
            }
            return true;
        });
    }

    void fail(std::exception_ptr error) {
#pragma omp critical(tarvo_first_error)
        {
            if (!firstError) firstError = error;
        }
        stopping.store(true);
    }

    static constexpr std::int64_t kChunk = 50;

    const int nSimulations;
    const int simTime;
    const CompiledModel& model;
    const int seed;
    InterruptPoll poll;  // used by the calling thread only
    std::atomic<bool> stopping{false};
    std::atomic<bool> interrupted{false};
    std::exception_ptr firstError;
};

// RLIMIT_NPROC: the threads and processes this user may have at once (LONG_MAX: no limit).
long userProcessLimit() {
    rlimit processes{};
    if (getrlimit(RLIMIT_NPROC, &processes) != 0 || processes.rlim_cur == RLIM_INFINITY) {
        return std::numeric_limits<long>::max();
    }
    const auto most = static_cast<rlim_t>(std::numeric_limits<long>::max());
    return static_cast<long>(std::min(processes.rlim_cur, most));
}

}  // namespace

std::vector<unsigned int> runnerSingleSim(int simTime, ComponentModel transitionsMatrix,
                                          CutsetTree* cutSetTree, int seed) {
    if (simTime < 0) throw std::bad_array_new_length();
    std::vector<unsigned int> series(static_cast<std::size_t>(simTime));
    checkModel(transitionsMatrix, cutSetTree);
    Simulation history(simTime, transitionsMatrix, cutSetTree, series.data(),
                       static_cast<std::uint32_t>(seed));
    history.runSimulation();
    return series;
}

std::vector<unsigned int> runnerMultipleSim(int nSimulations, int simTime,
                                            ComponentModel transitionsMatrix,
                                            CutsetTree* cutSetTree, int seed) {
    AlignedSeries systemStates;
    try {
        systemStates = AlignedSeries::zeroed(simTime);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("Failed to allocate systemStates in runnerMultipleSim.");
    }

    if (nSimulations > 0) {
        checkModel(transitionsMatrix, cutSetTree);
        const CompiledModel model(transitionsMatrix, cutSetTree);
        Batch batch(nSimulations, simTime, model, seed);
        batch.runOnCallingThread(systemStates.data());
        batch.throwIfIncomplete();
    }
    printClosingLines(nSimulations);
    prefixSumInPlace(systemStates.data(), systemStates.size());
    return systemStates.toVector();
}

std::vector<unsigned int> runnerParallelSim(int nSimulations, int simTime,
                                            ComponentModel transitionsMatrix,
                                            CutsetTree* cutSetTree, int seed) {
    const int slotCount = omp_get_max_threads();
    printLine("Numero de threads disponiveis: " + std::to_string(slotCount) + "\n");
    // In a child forked after workers ran, one slot on the calling thread.
    const bool onCallingThread = workersLostToFork();

    AlignedSeries systemStates;
    std::vector<AlignedSeries> differences;
    try {
        systemStates = AlignedSeries::zeroed(simTime);
        const int buffers = onCallingThread ? 0 : slotCount;
        differences.reserve(static_cast<std::size_t>(buffers));
        for (int t = 0; t < buffers; ++t) differences.push_back(AlignedSeries::zeroed(simTime));
    } catch (const std::bad_alloc&) {
        std::cerr << "Erro ao alocar memória para os estados locais." << std::endl;
        throw std::runtime_error("Failed to allocate systemStates in runnerParallelSim.");
    }

    if (nSimulations > 0) {
        checkModel(transitionsMatrix, cutSetTree);
        const CompiledModel model(transitionsMatrix, cutSetTree);
        Batch batch(nSimulations, simTime, model, seed);
        if (onCallingThread) {
            batch.runOnCallingThread(systemStates.data());
        } else {
            batch.runOnWorkers(differences, slotCount);
        }
        batch.throwIfIncomplete();
    }

    printClosingLines(nSimulations);
    for (const AlignedSeries& threadDifferences : differences) {
        systemStates.add(threadDifferences);
    }
    prefixSumInPlace(systemStates.data(), systemStates.size());
    return systemStates.toVector();
}

int maxOMPThreads() {
    // The runners are bound by the processors: beyond a few threads per processor more threads
    // gain nothing and each costs a stack and a series buffer per call. The kernel refuses new
    // threads far above that (its thread and memory-map limits, or RLIMIT_NPROC for this
    // user), and the OpenMP runtime ends the whole process when it cannot create a thread it
    // was told to use. So the count is capped by the runtime's own limit (OMP_THREAD_LIMIT),
    // by 64 threads per processor, and by what RLIMIT_NPROC still allows.
    const long perProcessors = 64L * std::max(1, omp_get_num_procs());
    const long limit = std::min({static_cast<long>(omp_get_thread_limit()), perProcessors,
                                 userProcessLimit()});
    return static_cast<int>(std::max(1L, limit));
}

void limitOMPThreads(int maxThreads) {
    if (maxThreads < 1) throw std::invalid_argument("maxThreads must be at least 1");
    const int limit = maxOMPThreads();
    if (maxThreads > limit) {
        throw std::invalid_argument("maxThreads must be at most " + std::to_string(limit) +
                                    " (the thread limit of the OpenMP runtime on this machine)");
    }
    omp_set_num_threads(maxThreads);
}
