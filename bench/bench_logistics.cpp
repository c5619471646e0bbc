// Cost per event of histories with repair logistics (delays, mobilisation, spare parts, ageing
// repairs, figures and costs), against the same dependent model without them. Prints figures;
// asserts nothing.
//
//   build/<name>/bench_logistics [histories [row]]    (build with scripts/dev_build.sh <name>)
//
// With `row`, only that row runs (0 to 6), once: for `perf`.
//
// The model of benchModel.h (11 components, a standby spare pump, a common-cause group over the
// pumps and one pool of two crews). The reference row has those dependencies; the others add:
//   figures and costs only    a Logistics with cost weights: every history keeps its figures
//   delays and mobilisation   a logistic delay (Exponential, mean 4) on every repair, a
//                             mobilisation (Exponential, mean 2) of the crews
//   spare parts               a stock of 2 pump parts (lead time Exponential, mean 100)
//   everything                all of it, with ageing repairs (restoration 0.5) of the pumps
// Rows are in ns per event (every event the loop fires: a component's transition, a shock, and
// with logistics the end of a delay or a mobilisation and a delivery of parts), the fastest of
// several rounds on one thread, the rows taking turns within a round; then the reference and
// "everything" through the study runner, which adds every history's figures into its sums.
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

#include "benchModel.h"
#include "dependent/dependentHistory.h"
#include "dependent/dependentStudy.h"
#include "logistics/logistics.h"

using namespace benchModel;

namespace {

constexpr int kRounds = 30;

struct Options {
    bool figures = false;
    bool delays = false;
    bool spares = false;
    bool ageing = false;
};

// The laws of the logistics the rows add to the shared model.
struct LogisticsLaws {
    Exponential delay{1.0 / 4.0};
    Exponential mobilise{1.0 / 2.0};
    Exponential lead{1.0 / 100.0};

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
    const Arguments arguments(argc, argv);
    const int histories = arguments.histories;
    BenchModel m;
    LogisticsLaws laws;
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
        logistics.push_back(laws.logistics(options[i]));
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
    // The study runner, its events those of the engine rows with the same seeds (counted once,
    // not in a single row's run).
    const StudyPlan plan = oneThread(histories);
    std::uint64_t referenceEvents = 0;
    std::uint64_t everythingEvents = 0;
    rows.push_back({"runDependentStudy, no logistics", [&] {
                        runDependentStudy(m.model, &m.tree, *dependencies.front(), plan);
                        return referenceEvents;
                    }});
    rows.push_back({"runDependentStudy, everything", [&] {
                        runDependentStudy(m.model, &m.tree, *dependencies.back(), plan);
                        return everythingEvents;
                    }});
    if (ranOneRow(arguments, rows)) return 0;
    referenceEvents = rows[0].batch();
    everythingEvents = rows[rows.size() - 3].batch();
    measureInTurn(rows, kRounds);

    std::printf("Cost per event: %d histories of %d time units, one thread, fastest of %d rounds\n",
                histories, kSimTime, kRounds);
    for (std::size_t i = 0; i + 2 < rows.size(); ++i) printRow(rows[i], histories, rows[0], 36);
    const Row& studyReference = rows[rows.size() - 2];
    const Row& studyAll = rows.back();
    std::printf("Through the study runner:\n");
    printRow(studyReference, histories, studyReference, 36);
    printRow(studyAll, histories, studyReference, 36);
    std::printf("Goal: with every logistic mechanism at most 1.30 x the cost per event without;"
                " engine %.2f x, study runner %.2f x\n",
                rows[rows.size() - 3].nsPerEvent() / rows[0].nsPerEvent(),
                studyAll.nsPerEvent() / studyReference.nsPerEvent());
    return 0;
}
