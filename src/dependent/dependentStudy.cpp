#include "dependent/dependentStudy.h"

#include <omp.h>

#include <algorithm>
#include <memory>

#include "dependent/dependentHistory.h"

ThreadLogistics::ThreadLogistics(const DependentModel& model, int threads)
    : tallies(static_cast<std::size_t>(std::max(1, threads))) {
    const Logistics* logistics = model.logistics();
    active = logistics != nullptr;
    if (active) figures = logistics->layout().size();
}

void ThreadLogistics::attach(DependentHistoryEngine& engine) {
    if (!active) return;
    auto& tally = tallies[static_cast<std::size_t>(omp_get_thread_num())];
    tally = std::make_unique<LogisticsTally>(figures);
    engine.tallyLogisticsInto(tally.get());
}

LogisticsTally ThreadLogistics::merged() const {
    if (!active) return LogisticsTally();
    LogisticsTally result(figures);
    for (const auto& tally : tallies) {
        if (tally) result.mergeFrom(*tally);
    }
    return result;
}

StudyResult runDependentStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                              const Dependencies& dependencies, const StudyPlan& plan) {
    checkStudyPlan(plan);
    checkModel(model, cutSetTree);
    const CompiledModel compiled(model, cutSetTree);
    const DependentModel dependent(compiled, dependencies);
    ThreadLogistics logistics(dependent, plan.threads);
    StudyResult result = runStudyWith(plan, [&](StudyWarnings&) {
        auto engine = std::make_unique<DependentHistoryEngine>(
            dependent, plan.simTime, EventSelection::automatic, FirstSampling::fireNegative);
        logistics.attach(*engine);
        return engine;
    });
    result.logistics = logistics.merged();
    return result;
}
