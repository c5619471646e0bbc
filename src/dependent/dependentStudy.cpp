#include "dependent/dependentStudy.h"

#include <omp.h>

#include <algorithm>
#include <memory>

#include "dependent/dependentHistory.h"

StudyResult runDependentStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                              const Dependencies& dependencies, const StudyPlan& plan) {
    checkStudyPlan(plan);
    checkModel(model, cutSetTree);
    const CompiledModel compiled(model, cutSetTree);
    const DependentModel dependent(compiled, dependencies);
    const Logistics* logistics = dependent.logistics();
    const int figures = logistics == nullptr ? 0 : logistics->layout().size();
    // One tally of logistic figures per thread, indexed by its OpenMP thread number.
    std::vector<std::unique_ptr<LogisticsTally>> tallies(
        static_cast<std::size_t>(std::max(1, plan.threads)));
    StudyResult result = runStudyWith(plan, [&](StudyWarnings&) {
        auto engine = std::make_unique<DependentHistoryEngine>(
            dependent, plan.simTime, EventSelection::automatic, FirstSampling::fireNegative);
        if (logistics != nullptr) {
            auto& tally = tallies[static_cast<std::size_t>(omp_get_thread_num())];
            tally = std::make_unique<LogisticsTally>(figures);
            engine->tallyLogisticsInto(tally.get());
        }
        return engine;
    });
    if (logistics != nullptr) {
        result.logistics = LogisticsTally(figures);
        for (const auto& tally : tallies) {
            if (tally) result.logistics.mergeFrom(*tally);
        }
    }
    return result;
}
