#include "calendar/calendarStudy.h"

#include <algorithm>
#include <memory>

#include "dependent/dependentHistory.h"

void PhaseFigures::mergeFrom(const PhaseFigures& other) {
    steps.mergeFrom(other.steps);
    failed.mergeFrom(other.failed);
    unplanned.mergeFrom(other.unplanned);
    failures.mergeFrom(other.failures);
    unplannedFailures.mergeFrom(other.unplannedFailures);
    stepsTimesFailed += other.stepsTimesFailed;
    stepsTimesUnplanned += other.stepsTimesUnplanned;
}

CalendarTally::CalendarTally(int simTime, int stepsPerUnit, int phases, bool separateUnplanned)
    : separateUnplanned(separateUnplanned),
      all(simTime, stepsPerUnit),
      unplanned(simTime, stepsPerUnit),
      phases(static_cast<std::size_t>(phases)),
      perPhase(3 * static_cast<std::size_t>(phases), 0) {
    occupancy.reserve(static_cast<std::size_t>(phases));
    for (int p = 0; p < phases; ++p) occupancy.emplace_back(simTime, stepsPerUnit);
}

CalendarOutput::CalendarOutput(CalendarTally& tally, const CalendarRun& run)
    : tally(tally),
      run(run),
      allOut(tally.all),
      unplannedOut(tally.unplanned) {
    std::fill(tally.perPhase.begin(), tally.perPhase.end(), 0);
}

void CalendarOutput::finish() {
    if (phase >= 0 && end > phaseStart) {
        tally.occupancy[static_cast<std::size_t>(phase)].foldFailedSteps(phaseStart, end);
    }
    allOut.finish();
    if (tally.separateUnplanned) unplannedOut.finish();
    for (std::size_t p = 0; p < tally.phases.size(); ++p) {
        PhaseFigures& figures = tally.phases[p];
        const std::uint64_t steps = tally.perPhase[3 * p];
        const std::uint64_t failed = tally.perPhase[3 * p + 1];
        const std::uint64_t unplanned = tally.perPhase[3 * p + 2];
        figures.steps.add(steps);
        figures.failed.add(failed);
        figures.unplanned.add(unplanned);
        figures.failures.add(run.failuresAll[p]);
        figures.unplannedFailures.add(run.failuresUnplanned[p]);
        figures.stepsTimesFailed += static_cast<Wide>(steps) * failed;
        figures.stepsTimesUnplanned += static_cast<Wide>(steps) * unplanned;
    }
    tally.required.add(requiredSteps);
    tally.events += holds - 1;
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
        return std::make_unique<CalendarTally>(plan.simTime, plan.stepsPerUnit, phases,
                                               prepared.hasPlanned());
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
        result.events += tally->events;
        all.push_back(std::make_unique<StudyTally>(std::move(tally->all)));
        unplanned.push_back(std::make_unique<StudyTally>(std::move(tally->unplanned)));
        tally.reset();
    }
    result.all = studyDetail::collect(all, warnings);
    // Without planned states unplanned downtime is all downtime.
    result.unplanned = prepared.hasPlanned() ? studyDetail::collect(unplanned, noWarnings)
                                             : result.all;
    return result;
}
