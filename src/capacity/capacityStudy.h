// The study runner (studyRunner.h) over histories of dependent components (dependentHistory.h)
// that also follows the capacity the system delivers (capacityTally.h).
#pragma once

#include <cstdint>
#include <vector>

#include "capacity/capacityProgram.h"
#include "history/compiledModel.h"
#include "dependent/dependencies.h"
#include "study/studyRunner.h"

// The capacity figures of a study call (see capacityTally.h for their meaning).
struct CapacityResult {
    std::vector<std::uint64_t> lostPerUnit;  // simTime / stepsPerUnit entries
    std::vector<std::uint64_t> lostHistogram;
    std::uint64_t binWidth = 1;  // bin i of lostHistogram holds [i, i + 1) x binWidth
    ExactMoments lost;
    std::vector<Wide> levelSteps;
    std::vector<Wide> levelStepsSquares;
};

// As runDependentStudy (dependencies may be null: independent components, whose histories are
// those of the independent engine), the histories' capacity folded into `capacity`. Checks the
// program against the model. A history's events and draws are the same with or without it.
StudyResult runCapacityStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                             const Dependencies* dependencies, const CapacityProgram& program,
                             const StudyPlan& plan, CapacityResult& capacity);
