// The study runner (studyRunner.h) over histories of dependent components.
#pragma once

#include "history/compiledModel.h"
#include "dependent/dependencies.h"
#include "study/studyRunner.h"

// As runStudy, with the histories run by DependentHistoryEngine under `dependencies`; a negative
// first draw fires at once. Checks the plan, the tree and the model as runStudy does, then the
// dependencies against the model (DependentModel's std::invalid_argument), even for 0 histories.
// Borrows everything for the call; `dependencies` is only read.
StudyResult runDependentStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                              const Dependencies& dependencies, const StudyPlan& plan);
