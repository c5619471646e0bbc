// The study runner (studyRunner.h) over histories that follow a calendar: besides what a study
// keeps (all downtime, counted only in required phases), the same figures with unplanned
// downtime only, and per phase its time, downtime and failures.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <optional>

#include "calendar/calendar.h"
#include "capacity/capacityStudy.h"
#include "capacity/capacityTally.h"
#include "history/compiledModel.h"
#include "dependent/dependencies.h"
#include "study/studyOutput.h"
#include "study/studyRunner.h"

// Per phase, over the histories: its steps, its failed steps (all downtime and unplanned only,
// in the phase's logic, whether required or not), its system failures as counted when they
// happen, and the per-unit steps spent in it.
struct PhaseFigures {
    ExactMoments steps;
    ExactMoments failed;
    ExactMoments unplanned;
    ExactMoments failures;
    ExactMoments unplannedFailures;
    Wide stepsTimesFailed = 0;
    Wide stepsTimesUnplanned = 0;
    std::vector<std::uint64_t> stepsPerUnit;  // steps spent in the phase per reported unit

    void mergeFrom(const PhaseFigures& other);
};

struct CalendarStudyResult {
    StudyResult all;        // downtime of every kind, in required phases
    StudyResult unplanned;  // unplanned downtime, in required phases
    std::vector<PhaseFigures> phases;
    ExactMoments required;  // required steps per history
    Wide requiredTimesFailed = 0;
    Wide requiredTimesUnplanned = 0;
    std::uint64_t events = 0;  // events of all histories (a phase's start and a test included)
};

// What a calendar study of a plant with capacities follows besides: the program and the demand
// in each phase (quanta; 0 in a phase that is not required).
struct PhasedCapacity {
    const CapacityProgram* program = nullptr;
    std::vector<std::int64_t> demands;  // per phase
};

// One thread's tallies.
class CalendarTally {
public:
    // separateUnplanned: the model has planned states, so that unplanned downtime is kept on
    // its own (else it is all downtime, copied at the end).
    CalendarTally(int simTime, int stepsPerUnit, int phases, bool separateUnplanned,
                  const PhasedCapacity& capacity);

    bool separateUnplanned;
    StudyTally all;
    StudyTally unplanned;
    std::vector<StudyTally> occupancy;  // per phase: "failed" means in that phase
    std::vector<PhaseFigures> phases;   // without stepsPerUnit, which occupancy keeps
    ExactMoments required;
    Wide requiredTimesFailed = 0;
    Wide requiredTimesUnplanned = 0;
    std::uint64_t events = 0;
    // One history's steps, failed and unplanned steps per phase, reused from history to history.
    std::vector<std::uint64_t> perPhase;
    // With capacities: what a history's capacity is followed into.
    const PhasedCapacity& phased;
    int simTime;
    std::unique_ptr<CapacityTally> capacity;
    std::unique_ptr<CapacityState> capacityState;
    std::vector<std::uint64_t> stepsAtLevel;
};

// The output of one history into a CalendarTally (the hooks of historyOutputs.h). It reads the
// engine's calendar at each hold: the phase, the required flag and the unplanned state then.
class CalendarOutput {
public:
    CalendarOutput(CalendarTally& tally, const CalendarRun& run);

    void hold(int from, int to, int systemState) {
        ++holds;  // one per event, and one to end the history
        if (to <= from) return;
        allOut.hold(from, to, systemState);
        if (tally.separateUnplanned) {
            unplannedOut.hold(from, to, run.required ? run.unplannedState : 0);
        }
        const auto p = static_cast<std::size_t>(run.phase);
        const auto length = static_cast<std::uint64_t>(to - from);
        if (run.phase != phase) {  // the phase's time is folded once, when it is over
            if (phase >= 0) tally.occupancy[static_cast<std::size_t>(phase)].foldFailedSteps(
                                phaseStart, from);
            phase = run.phase;
            phaseStart = from;
            if (follower) follower->setDemand(from, tally.phased.demands[p]);
        }
        end = to;
        std::uint64_t* counts = &tally.perPhase[3 * p];
        counts[0] += length;
        if (run.allState != 0) counts[1] += length;
        if (run.unplannedState != 0) counts[2] += length;
        if (run.required) {
            requiredSteps += length;
            if (systemState != 0) requiredFailed += length;
            if (run.unplannedState != 0) requiredUnplanned += length;
        }
    }
    void expect(int) {}
    void event(int time, int, int toState, int component, int, int) {
        if (follower) follower->changed(time, component, toState);
    }
    // Failures are judged by the study outputs when an event is over (historyOutputs.h).
    void settle(int time, int systemState, bool drawnNow) {
        allOut.settle(time, systemState, drawnNow);
        if (tally.separateUnplanned) {
            unplannedOut.settle(time, run.required ? run.unplannedState : 0, drawnNow);
        }
    }

    void finish();
    // The production lost by `time` (capacity units x time units), with capacities.
    double lostProduction(int time) const { return follower ? follower->lostUnits(time) : 0.0; }

private:
    CalendarTally& tally;
    const CalendarRun& run;
    StudyOutput allOut;
    StudyOutput unplannedOut;
    std::uint64_t holds = 0;
    int phase = -1;  // the phase of the holds since phaseStart
    int phaseStart = 0;
    int end = 0;
    std::uint64_t requiredSteps = 0;
    std::uint64_t requiredFailed = 0;
    std::uint64_t requiredUnplanned = 0;
    std::optional<CapacityFollower> follower;  // with capacities
};

template <class Engine>
CalendarOutput historyOutput(CalendarTally& tally, const Engine& engine) {
    return CalendarOutput(tally, *engine.calendar());
}

// As runDependentStudy, with the calendar. Checks as runDependentStudy does, then the calendar
// against the model (CalendarModel's std::invalid_argument). Borrows everything for the call.
CalendarStudyResult runCalendarStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                                     const Dependencies& dependencies, const Calendar& calendar,
                                     const StudyPlan& plan);
// The same with capacities: the program is checked against the model, the demands (one per
// phase, each at least 0) against the calendar; their figures go into `delivered`.
CalendarStudyResult runCalendarStudy(const ComponentModel& model, CutsetTree* cutSetTree,
                                     const Dependencies& dependencies, const Calendar& calendar,
                                     const StudyPlan& plan, const PhasedCapacity& capacity,
                                     CapacityResult& delivered);
