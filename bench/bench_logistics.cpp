// Cost per event of histories with repair logistics (delays, mobilisation, spare parts, ageing
// repairs, figures and costs), against the same dependent model without them. Prints figures;
// asserts nothing.
//
//   build/<name>/bench_logistics [histories]    (build with scripts/dev_build.sh <name>)
//
// The model (as bench_dependencies): 11 two-state components over 8760 time units, Exponential
// failures (mean 1000) and repairs (mean 50), a 2-out-of-3 group of pumps (0-2) with a standby
// spare pump (10), seven single points (3-9), a common-cause group over the pumps and one pool
// of two crews repairing all eleven. The reference row has those dependencies; the others add:
//   figures and costs only    a Logistics with cost weights: every history keeps its figures
//   delays and mobilisation   a logistic delay (Exponential, mean 4) on every repair, a
//                             mobilisation (Exponential, mean 2) of the crews
//   spare parts               a stock of 2 pump parts (lead time Exponential, mean 100)
//   everything                all of it, with ageing repairs (restoration 0.5) of the pumps
// Rows are in ns per event (every event the loop fires: a component's transition, a shock, and
// with logistics the end of a delay or a mobilisation and a delivery of parts), the fastest of
// several rounds on one thread, the rows taking turns within a round; then the reference and
// "everything" through the study runner, which adds every history's figures into its sums.
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
#include "logistics/logistics.h"
#include "study/studyRunner.h"

namespace {

constexpr int kSimTime = 8760;
constexpr int kComponents = 11;
constexpr int kRounds = 30;

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

struct Options {
    bool figures = false;
    bool delays = false;
    bool spares = false;
    bool ageing = false;
};

struct BenchModel {
    Distribution never;
    Exponential fail{1.0 / 1000.0};
    Exponential repair{1.0 / 50.0};
    Exponential dormant{1.0 / 20000.0};
    Exponential shock{1.0 / 5000.0};
    Exponential delay{1.0 / 4.0};
    Exponential mobilise{1.0 / 2.0};
    Exponential lead{1.0 / 100.0};
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

    Dependencies dependencies() {
        Dependencies d(kComponents);
        d.addStandby(10, {0, 1, 2}, 0, 2, 1, &dormant, 0.05);
        d.addCommonCause({0, 1, 2}, {1, 1, 1}, &shock);
        std::vector<int> all(kComponents);
        for (int c = 0; c < kComponents; ++c) all[static_cast<std::size_t>(c)] = c;
        d.addCrewPool(2, all, CrewOrder::firstFailed);
        return d;
    }

    std::unique_ptr<Logistics> logistics(Options with) {
        auto l = std::make_unique<Logistics>(kComponents, 1);
        if (with.delays) {
            for (int c = 0; c < kComponents; ++c) l->setRepairDelay(c, &delay);
            l->setMobilisation(0, &mobilise);
        }
        if (with.spares) l->addStock({0, 1, 2}, 2, &lead, -1, 0);
        if (with.ageing) {
            for (int c = 0; c < 3; ++c) l->setAgeing(c, 0.5, AgeingModel::kijima1, 0.0, 0.0, 0.0);
        }
        const int figures = l->layout().size();
        for (int kind = 0; kind < LogisticsLayout::kCostKinds; ++kind) {
            l->setCostWeights(kind, std::vector<double>(static_cast<std::size_t>(figures), 1.0));
        }
        return l;
    }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Row {
    std::string name;
    std::function<std::uint64_t()> batch;
    double best = 1e300;
    std::uint64_t events = 0;
    double nsPerEvent() const { return best * 1e9 / static_cast<double>(events); }
};

void measureInTurn(std::vector<Row>& rows) {
    for (int round = 0; round < kRounds; ++round) {
        for (Row& row : rows) {
            const auto start = std::chrono::steady_clock::now();
            row.events = row.batch();
            row.best = std::min(row.best, secondsSince(start));
        }
    }
}

std::function<std::uint64_t()> engineBatch(std::shared_ptr<DependentHistoryEngine> engine,
                                           std::shared_ptr<LogisticsTally> tally, int histories) {
    auto differences = std::make_shared<std::vector<unsigned int>>(kSimTime, 0);
    if (tally) engine->tallyLogisticsInto(tally.get());
    return [engine, tally, differences, histories] {
        CountingChanges out{differences->data()};
        std::uint64_t fired = 0;
        for (int i = 0; i < histories; ++i) {
            engine->start(static_cast<std::uint32_t>(1 + i));
            engine->sampleFirst(out);
            while (engine->step(out)) ++fired;
        }
        return fired;
    };
}

}  // namespace

int main(int argc, char** argv) {
    const int histories = argc > 1 ? std::atoi(argv[1]) : 1000;
    BenchModel m;
    const CompiledModel compiled(m.model, &m.tree);
    const Options options[] = {{true, false, false, false},
                               {true, true, false, false},
                               {true, false, true, false},
                               {true, true, true, true}};
    const char* names[] = {"+ figures and costs only", "+ delays and mobilisation",
                           "+ spare parts", "+ everything"};
    std::vector<std::unique_ptr<Dependencies>> dependencies;
    std::vector<std::unique_ptr<Logistics>> logistics;
    std::vector<std::unique_ptr<DependentModel>> models;
    std::vector<Row> rows;
    dependencies.push_back(std::make_unique<Dependencies>(m.dependencies()));
    models.push_back(std::make_unique<DependentModel>(compiled, *dependencies.back()));
    rows.push_back({"dependencies, no logistics",
                    engineBatch(std::make_shared<DependentHistoryEngine>(
                                    *models.back(), kSimTime, EventSelection::automatic,
                                    FirstSampling::fireNegative),
                                nullptr, histories)});
    for (std::size_t i = 0; i < std::size(options); ++i) {
        logistics.push_back(m.logistics(options[i]));
        dependencies.push_back(std::make_unique<Dependencies>(m.dependencies()));
        dependencies.back()->setLogistics(logistics.back().get());
        models.push_back(std::make_unique<DependentModel>(compiled, *dependencies.back()));
        auto tally = std::make_shared<LogisticsTally>(logistics.back()->layout().size());
        rows.push_back({names[i], engineBatch(std::make_shared<DependentHistoryEngine>(
                                                  *models.back(), kSimTime,
                                                  EventSelection::automatic,
                                                  FirstSampling::fireNegative),
                                              tally, histories)});
    }
    StudyPlan plan;
    plan.simTime = kSimTime;
    plan.histories = histories;
    plan.seed = 1;
    plan.threads = 1;
    const std::uint64_t referenceEvents = rows[0].batch();
    const std::uint64_t everythingEvents = rows.back().batch();
    rows.push_back({"runDependentStudy, no logistics", [&] {
                        runDependentStudy(m.model, &m.tree, *dependencies.front(), plan);
                        return referenceEvents;
                    }});
    rows.push_back({"runDependentStudy, everything", [&] {
                        runDependentStudy(m.model, &m.tree, *dependencies.back(), plan);
                        return everythingEvents;
                    }});
    measureInTurn(rows);

    std::printf("Cost per event: %d histories of %d time units, one thread, fastest of %d rounds\n",
                histories, kSimTime, kRounds);
    const double reference = rows[0].nsPerEvent();
    for (std::size_t i = 0; i + 2 < rows.size(); ++i) {
        std::printf("  %-36s %6.1f ns/event  %6.1f events/history  %5.2f x\n", rows[i].name.c_str(),
                    rows[i].nsPerEvent(), static_cast<double>(rows[i].events) / histories,
                    rows[i].nsPerEvent() / reference);
    }
    const Row& studyReference = rows[rows.size() - 2];
    const Row& studyAll = rows.back();
    std::printf("Through the study runner:\n");
    std::printf("  %-36s %6.1f ns/event\n", studyReference.name.c_str(), studyReference.nsPerEvent());
    std::printf("  %-36s %6.1f ns/event                         %5.2f x\n", studyAll.name.c_str(),
                studyAll.nsPerEvent(), studyAll.nsPerEvent() / studyReference.nsPerEvent());
    std::printf("Goal: with every logistic mechanism at most 1.30 x the cost per event without;"
                " engine %.2f x, study runner %.2f x\n",
                rows[rows.size() - 3].nsPerEvent() / reference,
                studyAll.nsPerEvent() / studyReference.nsPerEvent());
    return 0;
}
