// What the engine benchmarks share: their model, the outputs that count events, and the timing
// of rows that take turns.
//
// The model: 11 two-state components over 8760 time units, Exponential failures (mean 1000) and
// repairs (mean 50): a 2-out-of-3 group of pumps (0-2), seven single points (3-9) and a spare
// pump (10) that, with dependencies, is a standby unit covering the pumps (states: 0 running,
// 1 failed, 2 standby; start failure 0.05; dormant failures of mean 20,000). The system fails
// when two of the four pumps are down, or any single point is. The dependencies add a
// common-cause group over the pumps (Exponential shocks of mean 5,000) and one pool of two
// crews repairing all eleven components (first failed first).
//
// Rows are timed in turn, each the fastest of several rounds on one thread: on a shared machine
// the rows then meet the same load, and the fastest run is the one least disturbed. A benchmark
// given a row number runs that row's batch once and nothing else (for `perf`, whose counts a
// busy machine disturbs less than it disturbs the time).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "dependent/dependencies.h"
#include "history/compiledModel.h"
#include "study/studyRunner.h"

namespace benchModel {

constexpr int kSimTime = 8760;
constexpr int kComponents = 11;

// Which dependencies the model has.
struct Mechanisms {
    bool crews = false;
    bool standby = false;
    bool commonCause = false;
};
constexpr Mechanisms kAllMechanisms{true, true, true};

// Not to be copied or moved: the model and the dependencies point at its distributions.
struct BenchModel {
    Distribution never;
    Exponential fail{1.0 / 1000.0};
    Exponential repair{1.0 / 50.0};
    Exponential dormant{1.0 / 20000.0};
    Exponential shock{1.0 / 5000.0};
    ComponentModel model;
    CutsetTree tree{kComponents};

    BenchModel() {
        Distribution* n = &never;
        model.assign(kComponents, {{n, &fail, n}, {&repair, n, n}, {n, n, n}});
        std::vector<std::vector<int>> cutsets;
        const int pumps[] = {0, 1, 2, 10};
        for (int a = 0; a < 4; ++a) {
            for (int b = a + 1; b < 4; ++b) {
                std::vector<int> cs(kComponents, 0);
                cs[static_cast<std::size_t>(pumps[a])] = cs[static_cast<std::size_t>(pumps[b])] = 1;
                cutsets.push_back(cs);
            }
        }
        for (int c = 3; c < 10; ++c) {
            std::vector<int> cs(kComponents, 0);
            cs[static_cast<std::size_t>(c)] = 1;
            cutsets.push_back(cs);
        }
        tree.constructTree(cutsets);
    }
    BenchModel(const BenchModel&) = delete;
    BenchModel& operator=(const BenchModel&) = delete;

    Dependencies dependencies(Mechanisms with = kAllMechanisms) {
        Dependencies d(kComponents);
        if (with.standby) d.addStandby(10, {0, 1, 2}, 0, 2, 1, &dormant, 0.05);
        if (with.commonCause) d.addCommonCause({0, 1, 2}, {1, 1, 1}, &shock);
        if (with.crews) {
            std::vector<int> all(kComponents);
            for (int c = 0; c < kComponents; ++c) all[static_cast<std::size_t>(c)] = c;
            d.addCrewPool(2, all, CrewOrder::firstFailed);
        }
        return d;
    }
};

// Counts the events of a history.
struct CountingEvents {
    std::uint64_t events = 0;
    void hold(int, int, int) {}
    void expect(int) {}
    void event(int, int, int, int, int, int) { ++events; }
};

// Counts the events of a history and accumulates its changes of system state, as the batch
// runners' output does.
struct CountingChanges {
    unsigned int* differences;
    std::uint64_t events = 0;

    void hold(int, int, int) {}
    void expect(int time) { __builtin_prefetch(differences + time, 1); }
    void event(int time, int, int, int, int before, int after) {
        ++events;
        if (after != before) differences[time] += after != 0 ? 1u : ~0u;
    }
};

// The events of `histories` histories (seeds 1, 2, ...) of an engine.
template <class Engine>
std::uint64_t eventsOf(Engine& engine, int histories) {
    CountingEvents out;
    for (int i = 0; i < histories; ++i) engine.run(static_cast<std::uint32_t>(1 + i), out);
    return out.events;
}

// The study runner's plan for `histories` histories on one thread.
inline StudyPlan oneThread(int histories) {
    StudyPlan plan;
    plan.simTime = kSimTime;
    plan.histories = histories;
    plan.seed = 1;
    plan.threads = 1;
    return plan;
}

// One configuration: a batch of histories to time, and what it measured so far.
struct Row {
    std::string name;
    std::function<std::uint64_t()> batch;  // runs the histories, returns their events
    double best = 1e300;
    std::uint64_t events = 0;
    double nsPerEvent() const { return best * 1e9 / static_cast<double>(events); }
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs every row's batch in turn, `rounds` times, keeping each row's fastest.
inline void measureInTurn(std::vector<Row>& rows, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        for (Row& row : rows) {
            const auto start = std::chrono::steady_clock::now();
            row.events = row.batch();
            row.best = std::min(row.best, secondsSince(start));
        }
    }
}

// The command line `[histories [row]]`: the histories per batch (1000 by default) and the one
// row to run, or -1 for all.
struct Arguments {
    int histories = 1000;
    int row = -1;
    Arguments(int argc, char** argv) {
        if (argc > 1) histories = std::atoi(argv[1]);
        if (argc > 2) row = std::atoi(argv[2]);
    }
};

// With a row chosen, runs its batch once and returns true; the benchmark then stops.
inline bool ranOneRow(const Arguments& arguments, std::vector<Row>& rows) {
    if (arguments.row < 0) return false;
    if (static_cast<std::size_t>(arguments.row) < rows.size()) {
        rows[static_cast<std::size_t>(arguments.row)].batch();
    } else {
        std::fprintf(stderr, "no row %d: rows are 0 to %zu\n", arguments.row, rows.size() - 1);
    }
    return true;
}

// Prints one row: ns per event, events per history and the ratio to `reference`'s cost.
inline void printRow(const Row& row, int histories, const Row& reference, int nameWidth = 40) {
    std::printf("  %-*s %6.1f ns/event  %6.1f events/history  %5.2f x\n", nameWidth,
                row.name.c_str(), row.nsPerEvent(), static_cast<double>(row.events) / histories,
                row.nsPerEvent() / reference.nsPerEvent());
}

}  // namespace benchModel
