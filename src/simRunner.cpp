#include "simRunner.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "SIMDUtils.h"

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

std::uint32_t historySeed(int seed, int index) {
    return static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(index);
}

void runHistory(int simTime, const ComponentModel& model, CutsetTree* cutSetTree,
                AlignedSeries& series, std::uint32_t seed) {
    Simulation history(simTime, model, cutSetTree, series.data(), seed);
    history.runSimulation();
}

// One write per line under a lock, so that lines of different workers never interleave.
void printLine(const std::string& line) {
#pragma omp critical(tarvo_console)
    { std::cout << line << std::flush; }
}

void printProgress(int index) {
    if (index % 10000 == 0) printLine("Simulation " + std::to_string(index) + " done.\n");
}

void printClosingLines(int nSimulations) {
    printLine("Simulation " + std::to_string(nSimulations) + " done.\n");
    printLine("All Simulations Done.\n");
}

// Per-thread buffers of the parallel runner: slot t belongs to the thread numbered t.
struct ThreadSlots {
    std::vector<AlignedSeries> sums;
    std::vector<AlignedSeries> series;

    ThreadSlots(int slotCount, int simTime) {
        sums.reserve(static_cast<std::size_t>(slotCount));
        series.reserve(static_cast<std::size_t>(slotCount));
        for (int t = 0; t < slotCount; ++t) {
            sums.push_back(AlignedSeries::zeroed(simTime));
            series.push_back(AlignedSeries::zeroed(simTime));
        }
    }
};

// Runs histories 0 .. nSimulations - 1 over the thread slots. Returns the first exception a
// worker met (null when none); once one is met no further history starts.
std::exception_ptr runHistoriesInParallel(int nSimulations, int simTime,
                                          const ComponentModel& model, CutsetTree* cutSetTree,
                                          int seed, ThreadSlots& slots, int slotCount) {
    std::exception_ptr firstError;
    std::atomic<bool> failed{false};

#pragma omp parallel num_threads(slotCount)
    {
        const auto slot = static_cast<std::size_t>(omp_get_thread_num());
        AlignedSeries& sum = slots.sums[slot];
        AlignedSeries& series = slots.series[slot];

#pragma omp for schedule(dynamic, 50)
        for (int i = 0; i < nSimulations; ++i) {
            // An OpenMP loop cannot be left early; the remaining indices are passed over.
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                runHistory(simTime, model, cutSetTree, series, historySeed(seed, i));
                sum.add(series);
                printProgress(i);
            } catch (...) {
#pragma omp critical(tarvo_first_error)
                {
                    if (!firstError) firstError = std::current_exception();
                }
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    return firstError;
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
    AlignedSeries series;
    try {
        systemStates = AlignedSeries::zeroed(simTime);
        series = AlignedSeries(simTime);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("Failed to allocate systemStates in runnerMultipleSim.");
    }

    if (nSimulations > 0) checkModel(transitionsMatrix, cutSetTree);
    for (int i = 0; i < nSimulations; ++i) {
        runHistory(simTime, transitionsMatrix, cutSetTree, series, historySeed(seed, i));
        systemStates.add(series);
        printProgress(i);
    }
    printClosingLines(nSimulations);
    return systemStates.toVector();
}

std::vector<unsigned int> runnerParallelSim(int nSimulations, int simTime,
                                            ComponentModel transitionsMatrix,
                                            CutsetTree* cutSetTree, int seed) {
    const int slotCount = omp_get_max_threads();
    printLine("Numero de threads disponiveis: " + std::to_string(slotCount) + "\n");

    AlignedSeries systemStates;
    std::unique_ptr<ThreadSlots> slots;
    try {
        systemStates = AlignedSeries::zeroed(simTime);
        slots = std::make_unique<ThreadSlots>(slotCount, simTime);
    } catch (const std::bad_alloc&) {
        std::cerr << "Erro ao alocar memória para os estados locais." << std::endl;
        throw std::runtime_error("Failed to allocate systemStates in runnerParallelSim.");
    }

    if (nSimulations > 0) checkModel(transitionsMatrix, cutSetTree);
    const std::exception_ptr workerError = runHistoriesInParallel(
        nSimulations, simTime, transitionsMatrix, cutSetTree, seed, *slots, slotCount);
    if (workerError) std::rethrow_exception(workerError);

    printClosingLines(nSimulations);
    for (const AlignedSeries& threadSum : slots->sums) {
        systemStates.add(threadSum);
    }
    return systemStates.toVector();
}

void limitOMPThreads(int maxThreads) {
    if (maxThreads < 1) throw std::invalid_argument("maxThreads must be at least 1");
    omp_set_num_threads(maxThreads);
}
