#include "dependent/dependentStudy.h"

#include <memory>

#include "dependent/dependentHistory.h"

StudyResult runDependentStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                              const Dependencies& dependencies, const StudyPlan& plan) {
    checkStudyPlan(plan);
    checkModel(model, cutSetTree);
    const CompiledModel compiled(model, cutSetTree);
    const DependentModel dependent(compiled, dependencies);
    return runStudyWith(plan, [&](StudyWarnings&) {
        return std::make_unique<DependentHistoryEngine>(dependent, plan.simTime,
                                                        EventSelection::automatic,
                                                        FirstSampling::fireNegative);
    });
}
