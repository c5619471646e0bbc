#include "capacity/capacityStudy.h"

#include <memory>
#include <mutex>

#include "capacity/capacityTally.h"
#include "dependent/dependentHistory.h"
#include "history/historyEngine.h"

namespace {

// A history engine whose histories also feed a capacity tally: what the study runner's threads
// run (run(seed, StudyOutput&)). Engine is HistoryEngine for independent components (the
// dependent engine's histories without dependencies are the same), else DependentHistoryEngine.
template <class Engine, class Model>
class CapacityEngine {
public:
    CapacityEngine(const Model& model, const CapacityProgram& program, int simTime,
                   CapacityTally& tally)
        : engine(model, simTime, EventSelection::automatic, FirstSampling::fireNegative),
          program(program),
          state(program),
          tally(tally),
          stepsAtLevel(program.levels().size(), 0),
          simTime(simTime) {}

    void run(std::uint32_t seed, StudyOutput& out) {
        state.reset();
        CapacityOutput<StudyOutput> both(out, program, state, tally, stepsAtLevel, simTime);
        engine.run(seed, both);
        both.finish();
    }

private:
    Engine engine;
    const CapacityProgram& program;
    CapacityState state;
    CapacityTally& tally;
    std::vector<std::uint64_t> stepsAtLevel;
    int simTime;
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
    auto newTally = [&]() {
        const std::lock_guard<std::mutex> lock(made);
        tallies.push_back(std::make_unique<CapacityTally>(program, plan.simTime,
                                                          plan.stepsPerUnit));
        return tallies.back().get();
    };
    StudyResult result =
        dependencies == nullptr
            ? runStudyWith(plan,
                           [&](StudyWarnings&) {
                               return std::make_unique<
                                   CapacityEngine<HistoryEngine, CompiledModel>>(
                                   compiled, program, plan.simTime, *newTally());
                           })
            : runStudyWith(plan, [&](StudyWarnings&) {
                  return std::make_unique<CapacityEngine<DependentHistoryEngine, DependentModel>>(
                      dependent, program, plan.simTime, *newTally());
              });
    if (tallies.empty()) {
        tallies.push_back(
            std::make_unique<CapacityTally>(program, plan.simTime, plan.stepsPerUnit));
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
    capacity.binWidth = total.binning().width();
    capacity.lost = total.lostMoments();
    capacity.levelSteps = total.levelSteps();
    capacity.levelStepsSquares = total.levelStepsSquares();
    return result;
}
