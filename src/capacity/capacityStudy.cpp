#include "capacityStudy.h"

#include <memory>
#include <mutex>

#include "capacityTally.h"
#include "dependentHistory.h"

namespace {

// A dependent history engine whose histories also feed a capacity tally: what the study
// runner's threads run (run(seed, StudyOutput&)).
class CapacityEngine {
public:
    CapacityEngine(const DependentModel& model, const CapacityProgram& program, int simTime,
                   CapacityTally& tally)
        : engine(model, simTime, EventSelection::automatic, FirstSampling::fireNegative),
          program(program),
          state(program),
          tally(tally),
          stepsAtLevel(program.levels().size(), 0) {}

    void run(std::uint32_t seed, StudyOutput& out) {
        state.reset();
        CapacityOutput<StudyOutput> both(out, program, state, tally, stepsAtLevel);
        engine.run(seed, both);
        both.finish();
    }

private:
    DependentHistoryEngine engine;
    const CapacityProgram& program;
    CapacityState state;
    CapacityTally& tally;
    std::vector<std::uint64_t> stepsAtLevel;
};

}  // namespace

StudyResult runCapacityStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                             const Dependencies* dependencies, const CapacityProgram& program,
                             const StudyPlan& plan, CapacityResult& capacity) {
    checkStudyPlan(plan);
    checkModel(model, cutSetTree);
    program.check(static_cast<int>(model.size()));
    const CompiledModel compiled(model, cutSetTree);
    const Dependencies none(static_cast<int>(model.size()));
    const DependentModel dependent(compiled, dependencies != nullptr ? *dependencies : none);
    std::mutex made;
    std::vector<std::unique_ptr<CapacityTally>> tallies;
    StudyResult result = runStudyWith(plan, [&](StudyWarnings&) {
        CapacityTally* tally = nullptr;
        {
            const std::lock_guard<std::mutex> lock(made);
            tallies.push_back(std::make_unique<CapacityTally>(program, plan.simTime,
                                                              plan.stepsPerUnit));
            tally = tallies.back().get();
        }
        return std::make_unique<CapacityEngine>(dependent, program, plan.simTime, *tally);
    });
    if (tallies.empty()) {
        tallies.push_back(std::make_unique<CapacityTally>(program, plan.simTime, plan.stepsPerUnit));
    }
    std::vector<CapacityTally*> all;
    for (auto& tally : tallies) all.push_back(tally.get());
    capacity.lostPerUnit = CapacityTally::lostPerUnit(all);
    CapacityTally& total = *tallies[0];
    for (std::size_t t = 1; t < tallies.size(); ++t) {
        total.mergeFrom(*tallies[t]);
        tallies[t].reset();
    }
    capacity.lostHistogram = total.lostHistogram().toVector();
    capacity.exactBins = StudyBinning::kExactBins;
    capacity.binWidth = total.binning().width();
    capacity.lost = total.lostMoments();
    capacity.levelSteps = total.levelSteps();
    capacity.levelStepsSquares = total.levelStepsSquares();
    return result;
}
