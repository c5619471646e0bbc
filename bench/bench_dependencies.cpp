// Cost per event of histories with dependencies between components, against the same model
// without them. Prints figures; asserts nothing.
//
//   build/<name>/bench_dependencies [histories [row]]    (build with scripts/dev_build.sh <name>)
//
// With `row`, only that row runs (0 to 7), once: for `perf`. The model of benchModel.h.
//
// Rows, in ns per event (every state change an engine reports, consequences included), each the
// fastest of several rounds on one thread, the rows taking turns within a round:
//   independent engine, no dependencies        the reference
//   dependent engine, no dependencies          the extended loop on the same model
//   dependent engine, each mechanism alone     crews / standby / common cause
//   dependent engine, all three                the goal: at most 1.3 x the reference
// then the same two ends through the study runner (runStudy / runDependentStudy), per event.
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

#include "benchModel.h"
#include "dependent/dependentHistory.h"
#include "dependent/dependentStudy.h"
#include "history/historyEngine.h"

using namespace benchModel;

namespace {

constexpr int kRounds = 40;

// A batch of `histories` histories of one engine, events counted.
template <class Engine>
std::function<std::uint64_t()> engineBatch(std::shared_ptr<Engine> engine, int histories) {
    auto differences = std::make_shared<std::vector<unsigned int>>(kSimTime, 0);
    return [engine, differences, histories] {
        CountingChanges out{differences->data()};
        for (int i = 0; i < histories; ++i) engine->run(static_cast<std::uint32_t>(1 + i), out);
        return out.events;
    };
}

}  // namespace

int main(int argc, char** argv) {
    const Arguments arguments(argc, argv);
    const int histories = arguments.histories;
    BenchModel m;
    const CompiledModel compiled(m.model, &m.tree);
    const Mechanisms configurations[] = {{}, {true, false, false}, {false, true, false},
                                         {false, false, true}, kAllMechanisms};
    const char* names[] = {"dependent engine, no dependencies",
                           "dependent engine, crews (2 for 11)",
                           "dependent engine, standby spare pump",
                           "dependent engine, common-cause group", "dependent engine, all three"};
    std::vector<std::unique_ptr<Dependencies>> dependencies;
    std::vector<std::unique_ptr<DependentModel>> dependentModels;
    std::vector<Row> rows;
    rows.push_back({"independent engine, no dependencies",
                    engineBatch(std::make_shared<HistoryEngine>(compiled, kSimTime,
                                                                EventSelection::automatic,
                                                                FirstSampling::fireNegative),
                                histories)});
    for (std::size_t i = 0; i < std::size(configurations); ++i) {
        dependencies.push_back(std::make_unique<Dependencies>(m.dependencies(configurations[i])));
        dependentModels.push_back(std::make_unique<DependentModel>(compiled, *dependencies.back()));
        rows.push_back({names[i], engineBatch(std::make_shared<DependentHistoryEngine>(
                                                  *dependentModels.back(), kSimTime,
                                                  EventSelection::automatic,
                                                  FirstSampling::fireNegative),
                                              histories)});
    }
    // The study runner on one thread, its events those of the engine rows with the same seeds
    // (counted once, not in a single row's run).
    const StudyPlan plan = oneThread(histories);
    std::uint64_t independentEvents = 0;
    std::uint64_t allEvents = 0;
    rows.push_back({"runStudy, no dependencies", [&] {
                        runStudy(m.model, &m.tree, plan);
                        return independentEvents;
                    }});
    rows.push_back({"runDependentStudy, all three", [&] {
                        runDependentStudy(m.model, &m.tree, *dependencies.back(), plan);
                        return allEvents;
                    }});
    if (ranOneRow(arguments, rows)) return 0;
    independentEvents = rows[0].batch();
    allEvents = rows[rows.size() - 3].batch();
    measureInTurn(rows, kRounds);

    std::printf("Cost per event: %d histories of %d time units, one thread, fastest of %d rounds\n",
                histories, kSimTime, kRounds);
    const std::size_t studyRows = 2;
    for (std::size_t i = 0; i + studyRows < rows.size(); ++i) printRow(rows[i], histories, rows[0]);
    const Row& studyIndependent = rows[rows.size() - 2];
    const Row& studyAll = rows.back();
    std::printf("Through the study runner:\n");
    printRow(studyIndependent, histories, studyIndependent);
    printRow(studyAll, histories, studyIndependent);
    std::printf("Goal: with all three at most 1.30 x the cost per event without; engine %.2f x,"
                " study runner %.2f x\n",
                rows[rows.size() - 3].nsPerEvent() / rows[0].nsPerEvent(),
                studyAll.nsPerEvent() / studyIndependent.nsPerEvent());
    return 0;
}
