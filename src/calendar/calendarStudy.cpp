#include "calendar/calendarStudy.h"

#include <memory>

#include "dependentHistory.h"

void PhaseFigures::mergeFrom(const PhaseFigures& other) {
    steps.mergeFrom(other.steps);
    failed.mergeFrom(other.failed);
    unplanned.mergeFrom(other.unplanned);
    failures.mergeFrom(other.failures);
    unplannedFailures.mergeFrom(other.unplannedFailures);
    stepsTimesFailed += other.stepsTimesFailed;
    stepsTimesUnplanned += other.stepsTimesUnplanned;
}

CalendarTally::CalendarTally(int simTime, int stepsPerUnit, int phases)
    : all(simTime, stepsPerUnit),
      unplanned(simTime, stepsPerUnit),
      phases(static_cast<std::size_t>(phases)) {
    occupancy.reserve(static_cast<std::size_t>(phases));
    for (int p = 0; p < phases; ++p) occupancy.emplace_back(simTime, stepsPerUnit);
}

CalendarOutput::CalendarOutput(CalendarTally& tally, const CalendarRun& run)
    : tally(tally),
      run(run),
      allOut(tally.all),
      unplannedOut(tally.unplanned),
      steps(tally.phases.size(), 0),
      failed(tally.phases.size(), 0),
      unplanned(tally.phases.size(), 0) {}

void CalendarOutput::finish() {
    allOut.finish();
    unplannedOut.finish();
    for (std::size_t p = 0; p < steps.size(); ++p) {
        PhaseFigures& figures = tally.phases[p];
        figures.steps.add(steps[p]);
        figures.failed.add(failed[p]);
        figures.unplanned.add(unplanned[p]);
        figures.failures.add(run.failuresAll[p]);
        figures.unplannedFailures.add(run.failuresUnplanned[p]);
        figures.stepsTimesFailed += static_cast<Wide>(steps[p]) * failed[p];
        figures.stepsTimesUnplanned += static_cast<Wide>(steps[p]) * unplanned[p];
    }
    tally.required.add(requiredSteps);
    tally.requiredTimesFailed += static_cast<Wide>(requiredSteps) * requiredFailed;
    tally.requiredTimesUnplanned += static_cast<Wide>(requiredSteps) * requiredUnplanned;
}

CalendarStudyResult runCalendarStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                                     const Dependencies& dependencies, const Calendar& calendar,
                                     const StudyPlan& plan) {
    checkStudyPlan(plan);
    checkModel(model, cutSetTree);
    const CompiledModel compiled(model, cutSetTree);
    const DependentModel dependent(compiled, dependencies);
    const CalendarModel prepared(dependent, calendar);
    const int phases = prepared.phases();
    auto makeEngine = [&](StudyWarnings&) {
        return std::make_unique<DependentHistoryEngine>(dependent, plan.simTime,
                                                        EventSelection::automatic,
                                                        FirstSampling::fireNegative, &prepared);
    };
    std::vector<StudyWarnings> warnings;
    auto tallies = runTalliesWith(plan, makeEngine, [&] {
        return std::make_unique<CalendarTally>(plan.simTime, plan.stepsPerUnit, phases);
    }, warnings);

    CalendarStudyResult result;
    result.phases.resize(static_cast<std::size_t>(phases));
    for (int p = 0; p < phases; ++p) {
        std::vector<StudyTally*> occupied;
        for (auto& tally : tallies) {
            occupied.push_back(&tally->occupancy[static_cast<std::size_t>(p)]);
        }
        result.phases[static_cast<std::size_t>(p)].stepsPerUnit =
            StudyTally::failedStepsPerUnit(occupied);
    }
    std::vector<std::unique_ptr<StudyTally>> all;
    std::vector<std::unique_ptr<StudyTally>> unplanned;
    std::vector<StudyWarnings> noWarnings(tallies.size());
    for (auto& tally : tallies) {
        for (int p = 0; p < phases; ++p) {
            result.phases[static_cast<std::size_t>(p)].mergeFrom(
                tally->phases[static_cast<std::size_t>(p)]);
        }
        result.required.mergeFrom(tally->required);
        result.requiredTimesFailed += tally->requiredTimesFailed;
        result.requiredTimesUnplanned += tally->requiredTimesUnplanned;
        all.push_back(std::make_unique<StudyTally>(std::move(tally->all)));
        unplanned.push_back(std::make_unique<StudyTally>(std::move(tally->unplanned)));
        tally.reset();
    }
    result.all = studyDetail::collect(all, warnings);
    result.unplanned = studyDetail::collect(unplanned, noWarnings);
    return result;
}
