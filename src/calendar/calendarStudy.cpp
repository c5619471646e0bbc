#include "calendar/calendarStudy.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "dependent/dependentHistory.h"
#include "dependent/dependentStudy.h"

void PhaseFigures::mergeFrom(const PhaseFigures& other) {
    steps.mergeFrom(other.steps);
    failed.mergeFrom(other.failed);
    unplanned.mergeFrom(other.unplanned);
    failures.mergeFrom(other.failures);
    unplannedFailures.mergeFrom(other.unplannedFailures);
    stepsTimesFailed += other.stepsTimesFailed;
    stepsTimesUnplanned += other.stepsTimesUnplanned;
}

CalendarTally::CalendarTally(int simTime, int stepsPerUnit, int phases, bool separateUnplanned,
                             const PhasedCapacity& capacity)
    : separateUnplanned(separateUnplanned),
      all(simTime, stepsPerUnit),
      unplanned(simTime, stepsPerUnit),
      phases(static_cast<std::size_t>(phases)),
      perPhase(3 * static_cast<std::size_t>(phases), 0),
      phased(capacity),
      simTime(simTime) {
    if (capacity.program != nullptr) {
        const std::int64_t most =
            *std::max_element(capacity.demands.begin(), capacity.demands.end());
        this->capacity = std::make_unique<CapacityTally>(*capacity.program, simTime,
                                                         stepsPerUnit, most, true);
        capacityState = std::make_unique<CapacityState>(*capacity.program);
        stepsAtLevel.assign(capacity.program->levels().size(), 0);
    }
    occupancy.reserve(static_cast<std::size_t>(phases));
    for (int p = 0; p < phases; ++p) occupancy.emplace_back(simTime, stepsPerUnit);
}

CalendarOutput::CalendarOutput(CalendarTally& tally, const CalendarRun& run)
    : tally(tally),
      run(run),
      allOut(tally.all),
      unplannedOut(tally.unplanned) {
    std::fill(tally.perPhase.begin(), tally.perPhase.end(), 0);
    if (tally.capacity) {
        tally.capacityState->reset();
        follower.emplace(*tally.phased.program, *tally.capacityState, *tally.capacity,
                         tally.stepsAtLevel, tally.simTime);
    }
}

void CalendarOutput::finish() {
    if (phase >= 0 && end > phaseStart) {
        tally.occupancy[static_cast<std::size_t>(phase)].foldFailedSteps(phaseStart, end);
    }
    allOut.finish();
    if (tally.separateUnplanned) unplannedOut.finish();
    if (follower) follower->finish();
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
    CapacityResult unused;
    return runCalendarStudy(model, cutSetTree, dependencies, calendar, plan, PhasedCapacity(),
                            unused);
}

CalendarStudyResult runCalendarStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                                     const Dependencies& dependencies, const Calendar& calendar,
                                     const StudyPlan& plan, const PhasedCapacity& capacity,
                                     CapacityResult& delivered) {
    checkStudyPlan(plan);
    checkModel(model, cutSetTree);
    if (capacity.program != nullptr) capacity.program->check(static_cast<int>(model.size()));
    const CompiledModel compiled(model, cutSetTree);
    const DependentModel dependent(compiled, dependencies);
    const CalendarModel prepared(dependent, calendar);
    const int phases = prepared.phases();
    if (capacity.program != nullptr) {
        if (static_cast<int>(capacity.demands.size()) != phases) {
            throw std::invalid_argument("the demands must hold one entry per phase");
        }
        for (std::int64_t demand : capacity.demands) {
            if (demand < 0) throw std::invalid_argument("a phase's demand must be at least 0");
        }
    }
    ThreadLogistics logistics(dependent, plan.threads);
    auto makeEngine = [&](StudyWarnings&) {
        auto engine = std::make_unique<DependentHistoryEngine>(
            dependent, plan.simTime, EventSelection::automatic, FirstSampling::fireNegative,
            &prepared);
        logistics.attach(*engine);
        return engine;
    };
    std::vector<StudyWarnings> warnings;
    auto tallies = runTalliesWith(plan, makeEngine, [&] {
        return std::make_unique<CalendarTally>(plan.simTime, plan.stepsPerUnit, phases,
                                               prepared.hasPlanned(), capacity);
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
    if (capacity.program != nullptr) {
        std::vector<CapacityTally*> followed;
        for (auto& tally : tallies) followed.push_back(tally->capacity.get());
        delivered.lostPerUnit = CapacityTally::lostPerUnit(followed);
        delivered.demandedPerUnit = CapacityTally::demandedPerUnit(followed);
        CapacityTally& total = *followed[0];
        for (std::size_t t = 1; t < followed.size(); ++t) total.mergeFrom(*followed[t]);
        delivered.lostHistogram = total.lostHistogram().toVector();
        delivered.binWidth = total.binning().width();
        delivered.lost = total.lostMoments();
        delivered.demanded = total.demandedSum();
        delivered.levelSteps = total.levelSteps();
        delivered.levelStepsSquares = total.levelStepsSquares();
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
    result.all.logistics = logistics.merged();  // kept once, with all downtime
    return result;
}
