// Cost per event of histories with dependencies between components, against the same model
// without them. Prints figures; asserts nothing.
//
//   build/<name>/bench_dependencies [histories]    (build with scripts/dev_build.sh <name>)
//
// The model: 11 two-state components over 8760 time units, Exponential failures (mean 1000) and
// repairs (mean 50): a 2-out-of-3 group of pumps (0-2), seven single points (3-9) and a spare
// pump (10) that, with dependencies, is a standby unit covering the pumps (states: 0 running,
// 1 failed, 2 standby; start failure 0.05; dormant failures of mean 20,000). The system fails
// when two of the four pumps are down, or any single point is. The dependencies add a
// common-cause group over the pumps (Exponential shocks of mean 5,000) and one pool of two
// crews repairing all eleven components (first failed first).
//
// Rows, in ns per event (every state change an engine reports, consequences included), each the
// fastest of several rounds on one thread, the rows taking turns within a round:
//   independent engine, no dependencies        the reference
//   dependent engine, no dependencies          the extended loop on the same model
//   dependent engine, each mechanism alone     crews / standby / common cause
//   dependent engine, all three                the goal: at most 1.3 x the reference
// then the same two ends through the study runner (runStudy / runDependentStudy), per event.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dependent/dependencies.h"
#include "dependent/dependentHistory.h"
#include "dependent/dependentStudy.h"
#include "history/historyEngine.h"
#include "study/studyRunner.h"

namespace {

constexpr int kSimTime = 8760;
constexpr int kComponents = 11;
constexpr int kRounds = 40;

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

struct Mechanisms {
    bool crews = false;
    bool standby = false;
    bool commonCause = false;
};

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

    Dependencies dependencies(Mechanisms with) {
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

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One configuration: a batch of histories to time, and what it measured so far.
struct Row {
    std::string name;
    std::function<std::uint64_t()> batch;  // runs the histories, returns their events
    double best = 1e300;
    std::uint64_t events = 0;
    double nsPerEvent() const { return best * 1e9 / static_cast<double>(events); }
};

// Runs every row's batch in turn, kRounds times, keeping each row's fastest: on a shared machine
// the rows then meet the same load, and the fastest run is the one least disturbed.
void measureInTurn(std::vector<Row>& rows) {
    for (int round = 0; round < kRounds; ++round) {
        for (Row& row : rows) {
            const auto start = std::chrono::steady_clock::now();
            row.events = row.batch();
            row.best = std::min(row.best, secondsSince(start));
        }
    }
}

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
    const int histories = argc > 1 ? std::atoi(argv[1]) : 1000;
    BenchModel m;
    const CompiledModel compiled(m.model, &m.tree);
    const Mechanisms configurations[] = {{}, {true, false, false}, {false, true, false},
                                         {false, false, true}, {true, true, true}};
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
    // The study runner on one thread, its events those of the engine rows with the same seeds.
    StudyPlan plan;
    plan.simTime = kSimTime;
    plan.histories = histories;
    plan.seed = 1;
    plan.threads = 1;
    const std::uint64_t independentEvents = rows[0].batch();
    const std::uint64_t allEvents = rows.back().batch();
    rows.push_back({"runStudy, no dependencies", [&] {
                        runStudy(m.model, &m.tree, plan);
                        return independentEvents;
                    }});
    rows.push_back({"runDependentStudy, all three", [&] {
                        runDependentStudy(m.model, &m.tree, *dependencies.back(), plan);
                        return allEvents;
                    }});
    measureInTurn(rows);

    std::printf("Cost per event: %d histories of %d time units, one thread, fastest of %d rounds\n",
                histories, kSimTime, kRounds);
    const std::size_t studyRows = 2;
    const double reference = rows[0].nsPerEvent();
    for (std::size_t i = 0; i + studyRows < rows.size(); ++i) {
        std::printf("  %-40s %6.1f ns/event  %6.1f events/history  %5.2f x\n", rows[i].name.c_str(),
                    rows[i].nsPerEvent(), static_cast<double>(rows[i].events) / histories,
                    rows[i].nsPerEvent() / reference);
    }
    const Row& studyIndependent = rows[rows.size() - 2];
    const Row& studyAll = rows.back();
    std::printf("Through the study runner:\n");
    std::printf("  %-40s %6.1f ns/event\n", studyIndependent.name.c_str(),
                studyIndependent.nsPerEvent());
    std::printf("  %-40s %6.1f ns/event                         %5.2f x\n", studyAll.name.c_str(),
                studyAll.nsPerEvent(), studyAll.nsPerEvent() / studyIndependent.nsPerEvent());
    std::printf("Goal: with all three at most 1.30 x the cost per event without; engine %.2f x,"
                " study runner %.2f x\n",
                rows[rows.size() - 3].nsPerEvent() / reference,
                studyAll.nsPerEvent() / studyIndependent.nsPerEvent());
    return 0;
}
