// Cost per event of following the system's capacity, against the same study without it. Prints
// figures; asserts nothing.
//
//   build/<name>/bench_capacity [histories [row]]    (build with scripts/dev_build.sh <name>)
//
// With `row`, only that row runs (0 to 4), once: for `perf stat`, whose cycle counts a busy
// machine disturbs less than it disturbs the time.
//
// The model of bench_dependencies: 11 two-state components over 8760 time units, Exponential
// failures (mean 1000) and repairs (mean 50); pumps 0-2 and a spare pump 10 (a standby unit
// covering them, with start failures and dormant failures), seven single points 3-9, a
// common-cause group over the pumps and two crews for all eleven. The capacity adds, per event,
// the program
//     min(sum(p0, p1, p2, spare), c3, max(c4, c5), c6 + c7, 0.5 * c8 * 2, c9)
// (pumps 50 each, the spare while it runs; single points 200; demand 100), the time at its
// levels and the lost production per unit and per history.
//
// Rows, in ns per event through the study runner on one thread, each the fastest of several
// rounds, the rows taking turns within a round: each study without and with the capacity, for
// the independent model and for the model with all dependencies. Goal: at most 1.3 x.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "capacity/capacityStudy.h"
#include "dependent/dependencies.h"
#include "dependent/dependentHistory.h"
#include "dependent/dependentStudy.h"
#include "study/studyRunner.h"

namespace {

constexpr int kSimTime = 8760;
constexpr int kComponents = 11;
constexpr int kRounds = 30;

struct CountingEvents {
    std::uint64_t events = 0;
    void hold(int, int, int) {}
    void expect(int) {}
    void event(int, int, int, int, int, int) { ++events; }
};

struct BenchModel {
    Distribution never;
    Exponential fail{1.0 / 1000.0};
    Exponential repair{1.0 / 50.0};
    Exponential dormant{1.0 / 20000.0};
    Exponential shock{1.0 / 5000.0};
    ComponentModel model;
    CutsetTree tree{kComponents};
    Dependencies none{kComponents};
    Dependencies all{kComponents};

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
        all.addStandby(10, {0, 1, 2}, 0, 2, 1, &dormant, 0.05);
        all.addCommonCause({0, 1, 2}, {1, 1, 1}, &shock);
        std::vector<int> everyone(kComponents);
        for (int c = 0; c < kComponents; ++c) everyone[static_cast<std::size_t>(c)] = c;
        all.addCrewPool(2, everyone, CrewOrder::firstFailed);
    }
};

CapacityProgram program(bool spareStartsInStandby) {
    CapacityProgram p(kComponents, 10);
    for (int c = 0; c < kComponents; ++c) {
        const bool pump = c < 3 || c == 10;
        p.setComponent(c, {pump ? 500 : 2000, 0, 0}, c == 10 && spareStartsInStandby ? 2 : 0);
    }
    std::vector<int> pumps;
    for (int c : {0, 1, 2, 10}) pumps.push_back(p.addComponent(c));
    const int sum = p.addOperation(CapacityOp::sum, pumps);
    const int c3 = p.addComponent(3);
    const int best = p.addOperation(CapacityOp::max, {p.addComponent(4), p.addComponent(5)});
    const int pair = p.addOperation(CapacityOp::sum, {p.addComponent(6), p.addComponent(7)});
    const int scaled = p.addOperation(
        CapacityOp::product, {p.addConstant(5), p.addComponent(8), p.addConstant(20)});
    const int c9 = p.addComponent(9);
    p.addOperation(CapacityOp::min, {sum, c3, best, pair, scaled, c9});
    p.setDemand(1000);
    p.setLevels({0, 500, 1000, 1500});
    return p;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Row {
    std::string name;
    std::function<void()> batch;
    std::uint64_t events = 0;
    double best = 1e300;
    double nsPerEvent() const { return best * 1e9 / static_cast<double>(events); }
};

std::uint64_t eventsOf(const DependentModel& model, int histories) {
    DependentHistoryEngine engine(model, kSimTime, EventSelection::automatic,
                                  FirstSampling::fireNegative);
    CountingEvents out;
    for (int i = 0; i < histories; ++i) engine.run(static_cast<std::uint32_t>(1 + i), out);
    return out.events;
}

}  // namespace

int main(int argc, char** argv) {
    const int histories = argc > 1 ? std::atoi(argv[1]) : 1000;
    BenchModel m;
    const CompiledModel compiled(m.model, &m.tree);
    const DependentModel independent(compiled, m.none);
    const DependentModel dependent(compiled, m.all);
    const std::uint64_t independentEvents = eventsOf(independent, histories);
    const std::uint64_t dependentEvents = eventsOf(dependent, histories);
    const CapacityProgram plain = program(false);
    const CapacityProgram withStandby = program(true);
    StudyPlan plan;
    plan.simTime = kSimTime;
    plan.histories = histories;
    plan.seed = 1;
    plan.threads = 1;
    CapacityResult sink;
    std::vector<Row> rows = {
        {"runStudy, independent", [&] { runStudy(m.model, &m.tree, plan); }, independentEvents},
        {"runDependentStudy, no dependencies",
         [&] { runDependentStudy(m.model, &m.tree, m.none, plan); }, independentEvents},
        {"runCapacityStudy, independent",
         [&] { runCapacityStudy(m.model, &m.tree, nullptr, plain, plan, sink); },
         independentEvents},
        {"runDependentStudy, all dependencies",
         [&] { runDependentStudy(m.model, &m.tree, m.all, plan); }, dependentEvents},
        {"runCapacityStudy, all dependencies",
         [&] { runCapacityStudy(m.model, &m.tree, &m.all, withStandby, plan, sink); },
         dependentEvents},
    };
    if (argc > 2) {
        const auto only = static_cast<std::size_t>(std::atoi(argv[2]));
        if (only < rows.size()) rows[only].batch();
        return 0;
    }
    for (int round = 0; round < kRounds; ++round) {
        for (Row& row : rows) {
            const auto start = std::chrono::steady_clock::now();
            row.batch();
            row.best = std::min(row.best, secondsSince(start));
        }
    }
    std::printf("Cost per event with capacity: %d histories of %d time units, one thread,"
                " fastest of %d rounds\n", histories, kSimTime, kRounds);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // Each capacity row against the row of the same model without capacity.
        const std::size_t base = i < 3 ? 0 : 3;
        const double ratio = rows[i].nsPerEvent() / rows[base].nsPerEvent();
        std::printf("  %-38s %6.1f ns/event  %6.1f events/history  %5.2f x\n",
                    rows[i].name.c_str(), rows[i].nsPerEvent(),
                    static_cast<double>(rows[i].events) / histories, ratio);
    }
    std::printf("Goal: at most 1.30 x the cost per event without capacity; independent %.2f x,"
                " with dependencies %.2f x\n", rows[2].nsPerEvent() / rows[0].nsPerEvent(),
                rows[4].nsPerEvent() / rows[3].nsPerEvent());
    return 0;
}
