// Histories per second of the batch runners on three reference models, serial and parallel with
// one and two threads, and the parallel speed-up; then how the cost of a history follows its
// events rather than its horizon or its number of components. Prints figures; asserts nothing.
//
//   build/<name>/bench_runners [a|b|c|h|p|t]    (build with scripts/dev_build.sh <name>)
//
// Without an argument everything is measured. Timings are the best of several runs.
//
// (h) the sparse model (c) at horizons 100,000 and 1,000,000, the mean life scaled with the
//     horizon so that a history has the same events: time per history at each, and their ratio.
// (p) pairs of two-state components (Exponential failure mean 1000, repair mean 50, 8760 time
//     units), each pair a cut set, at 10, 100 and 1,000 components: time per event, serial.
// (t) the large tree of model (b) and a denser one (40 components, 3,000 cut sets of three):
//     time per event with the system state found by the tree and by counts of failed members
//     per cut set, and which of them the runners use.
//
// (a) 10 two-state components, Exponential failure (mean 1000) and repair (mean 50); a
//     2-out-of-3 voting group (components 0-2) and seven single points; 8760 time units.
// (b) 60 three-state components, 20,000 random cut sets of 2 to 4 components; 8760 time units.
// (c) model (a) with rare failures (mean life 50,000) on a horizon of 100,000 time units.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "simRunner.h"

namespace {

struct BenchModel {
    std::string name;
    int simTime = 0;
    std::vector<std::unique_ptr<Distribution>> laws;
    ComponentModel model;
    std::unique_ptr<CutsetTree> tree;

    Distribution* own(Distribution* law) {
        laws.emplace_back(law);
        return law;
    }
};

std::unique_ptr<BenchModel> votingModel(const std::string& name, double meanLife, int simTime) {
    auto m = std::make_unique<BenchModel>();
    m->name = name;
    m->simTime = simTime;
    Distribution* never = m->own(new Distribution());
    Distribution* fail = m->own(new Exponential(1.0 / meanLife));
    Distribution* repair = m->own(new Exponential(1.0 / 50.0));
    const int components = 10;
    m->model.assign(components, {{never, fail}, {repair, never}});
    std::vector<std::vector<int>> cutsets;
    for (int a = 0; a < 3; ++a) {
        for (int b = a + 1; b < 3; ++b) {
            std::vector<int> cs(components, 0);
            cs[a] = cs[b] = 1;
            cutsets.push_back(cs);
        }
    }
    for (int c = 3; c < components; ++c) {
        std::vector<int> cs(components, 0);
        cs[c] = 1;
        cutsets.push_back(cs);
    }
    m->tree = std::make_unique<CutsetTree>(components);
    m->tree->constructTree(cutsets);
    return m;
}

std::unique_ptr<BenchModel> largeModel() {
    auto m = std::make_unique<BenchModel>();
    m->name = "(b) 60 components, 3 states, 20000 cut sets";
    m->simTime = 8760;
    Distribution* never = m->own(new Distribution());
    Distribution* degrade = m->own(new Exponential(1.0 / 2000.0));
    Distribution* breakDown = m->own(new Weibull(6000.0, 1.5));
    Distribution* quickFix = m->own(new Exponential(1.0 / 24.0));
    Distribution* overhaul = m->own(new Uniform(24.0, 96.0));
    const int components = 60;
    m->model.assign(components, {{never, degrade, breakDown},
                                 {quickFix, never, never},
                                 {overhaul, never, never}});
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> size(2, 4), member(0, components - 1);
    std::vector<std::vector<int>> cutsets;
    for (int i = 0; i < 20000; ++i) {
        std::vector<int> cs(components, 0);
        for (int k = size(rng); k > 0; --k) cs[member(rng)] = 1;
        cutsets.push_back(cs);
    }
    m->tree = std::make_unique<CutsetTree>(components);
    m->tree->constructTree(cutsets);
    return m;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Pairs (2i, 2i + 1) of two-state components, each pair a cut set.
std::unique_ptr<BenchModel> pairsModel(int components) {
    auto m = std::make_unique<BenchModel>();
    m->name = std::to_string(components) + " components in pairs";
    m->simTime = 8760;
    Distribution* never = m->own(new Distribution());
    Distribution* fail = m->own(new Exponential(1.0 / 1000.0));
    Distribution* repair = m->own(new Exponential(1.0 / 50.0));
    m->model.assign(static_cast<std::size_t>(components), {{never, fail}, {repair, never}});
    std::vector<std::vector<int>> cutsets;
    for (int c = 0; c + 1 < components; c += 2) {
        std::vector<int> cs(static_cast<std::size_t>(components), 0);
        cs[static_cast<std::size_t>(c)] = cs[static_cast<std::size_t>(c) + 1] = 1;
        cutsets.push_back(cs);
    }
    m->tree = std::make_unique<CutsetTree>(components);
    m->tree->constructTree(cutsets);
    return m;
}

// Mean events per history over histories seeded 1 .. n, as the runners seed them with seed 1.
double eventsPerHistory(const BenchModel& m, int n) {
    std::vector<unsigned int> series(static_cast<std::size_t>(m.simTime));
    double events = 0.0;
    for (int i = 0; i < n; ++i) {
        Simulation history(m.simTime, m.model, m.tree.get(), series.data(),
                           static_cast<std::uint32_t>(1 + i));
        history.runSimulation();
        events += static_cast<double>(history.transitionLog().size());
    }
    return events / n;
}

// Best of `runs` timings of runnerMultipleSim over n histories, in seconds.
double bestSerialSeconds(const BenchModel& m, int n, int runs) {
    std::ostringstream discarded;
    std::streambuf* const console = std::cout.rdbuf(discarded.rdbuf());
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        runnerMultipleSim(n, m.simTime, m.model, m.tree.get(), 1);
        best = std::min(best, secondsSince(start));
        discarded.str("");
    }
    std::cout.rdbuf(console);
    return best;
}

void horizons() {
    std::printf("\n(h) sparse model: time per history at two horizons (serial, best of 7)\n");
    std::printf("%-10s %10s %18s %14s\n", "horizon", "mean life", "events/history", "us/history");
    const int n = 20000;
    std::vector<std::unique_ptr<BenchModel>> models;
    for (int horizon : {100000, 1000000}) {
        models.push_back(votingModel("sparse", 50000.0 * horizon / 100000.0, horizon));
    }
    // Alternated, so that load from elsewhere on the machine falls on both alike.
    std::vector<double> best(models.size(), 1e300);
    for (int round = 0; round < 7; ++round) {
        for (std::size_t i = 0; i < models.size(); ++i) {
            best[i] = std::min(best[i], bestSerialSeconds(*models[i], n, 1) / n * 1e6);
        }
    }
    for (std::size_t i = 0; i < models.size(); ++i) {
        std::printf("%-10d %10.0f %18.1f %14.2f\n", models[i]->simTime,
                    50000.0 * models[i]->simTime / 100000.0, eventsPerHistory(*models[i], 2000),
                    best[i]);
    }
    std::printf("ratio 1,000,000 / 100,000: %.2f\n", best[1] / best[0]);
}

void pairs() {
    std::printf("\n(p) pairs model: time per event (serial, best of 7)\n");
    std::printf("%-12s %18s %14s\n", "components", "events/history", "ns/event");
    std::vector<std::unique_ptr<BenchModel>> models;
    std::vector<int> histories;
    std::vector<double> events;
    for (int components : {10, 100, 1000}) {
        models.push_back(pairsModel(components));
        histories.push_back(std::max(20, 20000 / components));
        events.push_back(eventsPerHistory(*models.back(), histories.back()));
    }
    // Alternated, so that load from elsewhere on the machine falls on all alike.
    std::vector<double> best(models.size(), 1e300);
    for (int round = 0; round < 7; ++round) {
        for (std::size_t i = 0; i < models.size(); ++i) {
            const double seconds = bestSerialSeconds(*models[i], histories[i], 1);
            best[i] = std::min(best[i], seconds / (histories[i] * events[i]) * 1e9);
        }
    }
    for (std::size_t i = 0; i < models.size(); ++i) {
        std::printf("%-12zu %18.1f %14.1f\n", models[i]->model.size(), events[i], best[i]);
    }
    std::printf("ratio 1,000 / 10 components: %.2f\n", best[2] / best[0]);
}

// Best of `runs` timings of n histories through a ChangeRecorder of the given failure logic.
double bestRecorderSeconds(const BenchModel& m, FailureLogic logic, int n, int runs) {
    const CompiledModel compiled(m.model, m.tree.get(), logic);
    ChangeRecorder recorder(compiled, m.simTime);
    std::vector<unsigned int> differences(static_cast<std::size_t>(m.simTime), 0u);
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) {
            recorder.record(static_cast<std::uint32_t>(1 + i), differences.data());
        }
        best = std::min(best, secondsSince(start));
    }
    return best;
}

// 40 two-state components and 3,000 random cut sets of three: each component is in hundreds
// of cut sets, where a walk of the tree beats counting.
std::unique_ptr<BenchModel> denseTreeModel() {
    auto m = std::make_unique<BenchModel>();
    m->name = "40 components, 3000 cut sets of 3";
    m->simTime = 8760;
    Distribution* never = m->own(new Distribution());
    Distribution* fail = m->own(new Exponential(1.0 / 2000.0));
    Distribution* repair = m->own(new Exponential(1.0 / 24.0));
    const int components = 40;
    m->model.assign(components, {{never, fail}, {repair, never}});
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> member(0, components - 1);
    std::vector<std::vector<int>> cutsets;
    for (int i = 0; i < 3000; ++i) {
        std::vector<int> cs(components, 0);
        for (int placed = 0; placed < 3;) {
            int& entry = cs[static_cast<std::size_t>(member(rng))];
            if (entry == 0) ++placed;
            entry = 1;
        }
        cutsets.push_back(cs);
    }
    m->tree = std::make_unique<CutsetTree>(components);
    m->tree->constructTree(cutsets);
    return m;
}

void largeTrees() {
    std::printf("\n(t) large trees: time per event by failure logic (serial, best of 5)\n");
    std::printf("%-44s %14s %12s %12s  %s\n", "model", "events/history", "tree ns", "counts ns",
                "runners use");
    std::vector<std::unique_ptr<BenchModel>> models;
    models.push_back(largeModel());
    models.push_back(denseTreeModel());
    const int n = 1000;
    for (const auto& m : models) {
        const double events = eventsPerHistory(*m, n);
        const double tree = bestRecorderSeconds(*m, FailureLogic::tree, n, 5) / (n * events) * 1e9;
        const double counts =
            bestRecorderSeconds(*m, FailureLogic::counts, n, 5) / (n * events) * 1e9;
        const CompiledModel automatic(m->model, m->tree.get());
        std::printf("%-44s %14.1f %12.1f %12.1f  %s\n", m->name.c_str(), events, tree, counts,
                    automatic.countsCutSets() ? "counts" : "tree");
    }
}

using Runner = std::function<std::vector<unsigned int>(int, int, ComponentModel, CutsetTree*, int)>;

// Histories per second, doubling the batch until one run takes at least minSeconds.
double historiesPerSecond(const Runner& run, const BenchModel& m, double minSeconds) {
    std::ostringstream discarded;
    std::streambuf* const console = std::cout.rdbuf(discarded.rdbuf());
    int n = 50;
    double seconds = 0.0;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        run(n, m.simTime, m.model, m.tree.get(), 1);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        discarded.str("");
        if (seconds >= minSeconds) break;
        n *= 2;
    }
    std::cout.rdbuf(console);
    return n / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "abchpt";
    const double minSeconds = 1.5;
    std::vector<std::unique_ptr<BenchModel>> models;
    if (only.find('a') != std::string::npos) {
        models.push_back(votingModel("(a) 10 components, 2-out-of-3 + single points", 1000.0, 8760));
    }
    if (only.find('b') != std::string::npos) models.push_back(largeModel());
    if (only.find('c') != std::string::npos) {
        models.push_back(votingModel("(c) rare failures, mean life 50000", 50000.0, 100000));
    }

    if (!models.empty()) {
        std::printf("%-48s %12s %12s %12s %9s\n", "model", "multiple/s", "parallel1/s",
                    "parallel2/s", "speed-up");
    }
    for (const auto& m : models) {
        const double serial = historiesPerSecond(runnerMultipleSim, *m, minSeconds);
        limitOMPThreads(1);
        const double one = historiesPerSecond(runnerParallelSim, *m, minSeconds);
        limitOMPThreads(2);
        const double two = historiesPerSecond(runnerParallelSim, *m, minSeconds);
        std::printf("%-48s %12.0f %12.0f %12.0f %9.2f\n", m->name.c_str(), serial, one, two,
                    two / one);
    }
    if (!models.empty()) {
        std::printf("speed-up: parallel with 2 threads over parallel with 1 thread (%d cores seen)\n",
                    omp_get_num_procs());
    }
    if (only.find('h') != std::string::npos) horizons();
    if (only.find('p') != std::string::npos) pairs();
    if (only.find('t') != std::string::npos) largeTrees();
    return 0;
}
