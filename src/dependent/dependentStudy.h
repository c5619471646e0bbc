// The study runner (studyRunner.h) over histories of dependent components.
#pragma once

#include <memory>
#include <vector>

#include "history/compiledModel.h"
#include "dependent/dependencies.h"
#include "study/studyRunner.h"

// As runStudy, with the histories run by DependentHistoryEngine under `dependencies`; a negative
// first draw fires at once. Checks the plan, the tree and the model as runStudy does, then the
// dependencies against the model (DependentModel's std::invalid_argument), even for 0 histories.
// Borrows everything for the call; `dependencies` is only read.
StudyResult runDependentStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                              const Dependencies& dependencies, const StudyPlan& plan);

class DependentHistoryEngine;
class DependentModel;

// The logistic figures of a study's histories: one tally per thread, indexed by its OpenMP
// thread number, each engine made by a thread adding into its own. Inactive for a model
// without logistics.
class ThreadLogistics {
public:
    ThreadLogistics(const DependentModel& model, int threads);
    // Called on the thread that will run the engine.
    void attach(DependentHistoryEngine& engine);
    // The threads' tallies added (empty without logistics).
    LogisticsTally merged() const;

private:
    int figures = 0;
    bool active = false;
    std::vector<std::unique_ptr<LogisticsTally>> tallies;
};
