// Cost per event of following the system's capacity, against the same study without it. Prints
// figures; asserts nothing.
//
//   build/<name>/bench_capacity [histories [row]]    (build with scripts/dev_build.sh <name>)
//
// With `row`, only that row runs (0 to 4), once, without counting events first: for `perf`.
//
// The model of benchModel.h (11 components, a standby spare pump, a common-cause group and two
// crews). The capacity adds, per event, the program
//     min(sum(p0, p1, p2, spare), c3, max(c4, c5), c6 + c7, 0.5 * c8 * 2, c9)
// (pumps 50 each, the spare while it runs; single points 200; demand 100), the time at its
// levels and the lost production per unit and per history.
//
// Rows, in ns per event through the study runner on one thread, each the fastest of several
// rounds, the rows taking turns within a round: each study without and with the capacity, for
// the independent model and for the model with all dependencies. Goal: at most 1.3 x.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "benchModel.h"
#include "capacity/capacityStudy.h"
#include "dependent/dependentHistory.h"
#include "dependent/dependentStudy.h"

using namespace benchModel;

namespace {

constexpr int kRounds = 30;

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

}  // namespace

int main(int argc, char** argv) {
    const Arguments arguments(argc, argv);
    const int histories = arguments.histories;
    BenchModel m;
    const Dependencies none = m.dependencies({});
    const Dependencies all = m.dependencies();
    const CompiledModel compiled(m.model, &m.tree);
    const DependentModel independent(compiled, none);
    const DependentModel dependent(compiled, all);
    const CapacityProgram plain = program(false);
    const CapacityProgram withStandby = program(true);
    const StudyPlan plan = oneThread(histories);
    CapacityResult sink;
    // The studies' events: those of the engine with the same seeds, counted once (not in a
    // single row's run).
    std::uint64_t independentEvents = 0;
    std::uint64_t dependentEvents = 0;
    std::vector<Row> rows = {
        {"runStudy, independent",
         [&] {
             runStudy(m.model, &m.tree, plan);
             return independentEvents;
         }},
        {"runDependentStudy, no dependencies",
         [&] {
             runDependentStudy(m.model, &m.tree, none, plan);
             return independentEvents;
         }},
        {"runCapacityStudy, independent",
         [&] {
             runCapacityStudy(m.model, &m.tree, nullptr, plain, plan, sink);
             return independentEvents;
         }},
        {"runDependentStudy, all dependencies",
         [&] {
             runDependentStudy(m.model, &m.tree, all, plan);
             return dependentEvents;
         }},
        {"runCapacityStudy, all dependencies",
         [&] {
             runCapacityStudy(m.model, &m.tree, &all, withStandby, plan, sink);
             return dependentEvents;
         }},
    };
    if (ranOneRow(arguments, rows)) return 0;
    for (const DependentModel* model : {&independent, &dependent}) {
        DependentHistoryEngine engine(*model, kSimTime, EventSelection::automatic,
                                      FirstSampling::fireNegative);
        (model == &independent ? independentEvents : dependentEvents) =
            eventsOf(engine, histories);
    }
    measureInTurn(rows, kRounds);
    std::printf("Cost per event with capacity: %d histories of %d time units, one thread,"
                " fastest of %d rounds\n", histories, kSimTime, kRounds);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // Each capacity row against the row of the same model without capacity.
        printRow(rows[i], histories, rows[i < 3 ? 0 : 3], 38);
    }
    std::printf("Goal: at most 1.30 x the cost per event without capacity; independent %.2f x,"
                " with dependencies %.2f x\n", rows[2].nsPerEvent() / rows[0].nsPerEvent(),
                rows[4].nsPerEvent() / rows[3].nsPerEvent());
    return 0;
}
