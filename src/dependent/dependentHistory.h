// The event loop of one history whose components depend on each other: the event-driven history
// of historyEngine.h, extended with the mechanisms of a DependentModel (dependencies.h).
//
// What it adds to the independent history:
//   - Down flags. A component counts as down for the failure logic when the flag of its current
//     state says so (by default every state but 0); components start in their initial states.
//     A component that starts down is put there by an event at time 0 from its initial state to
//     itself, in component index order, so that outputs see a system that starts failed.
//   - Common-cause groups. Each group has one pending shock, sampled from its law at time 0 and
//     again from the time of each shock. A shock puts every member that is not down into its
//     failed state (standby units included), in component index order; each is then re-sampled
//     and repaired as after any failure.
//   - Standby units. A unit waits in its standby state, which counts as working. When a
//     component it covers goes down, the first unit (in component index order) covering that
//     component that is in standby is demanded: one draw u of the history's generator, and the
//     unit fails to start (to its failed state) when u < startFailure, else enters its running
//     state; after a failure to start the next unit in standby is demanded at once. A running
//     unit that goes down while a component it covers is down is replaced the same way (for
//     the first of its covered components that is down). When no component it covers is down
//     any more, a running unit returns to its standby state. A unit that comes back up from a
//     down state enters its standby state, and is demanded at once if a component it covers is
//     down. Its laws out of the standby state (the dormant law among them) apply while it waits.
//   - Repair crews. A pooled component that goes down waits for a crew of its pool; while it
//     waits, its transition into state 0 is not sampled, nor its draw taken (its other
//     transitions are sampled). When a crew takes it, that law is drawn at the crew's start,
//     and fires if it comes before the component's pending transition (ties go to state 0).
//     The crew stays with the component until it enters a working state.
//
// Order of simultaneous events, so that a history is reproducible from its seed:
//   - The next event is the earliest pending one; among equal times the lowest slot fires
//     first, components (by index) before common-cause groups (by index), except that a
//     transition re-sampled with a negative delay fires next (of several, the last re-sampled).
//   - An event's consequences follow it at once, before the next event: the component's own
//     re-sampling, then, if it went down, its place in its crew queue, the replacement of a
//     running standby unit, and the demand of the units covering it; if it came up, the release
//     of its crew, the return of running units that no longer cover a down component (in index
//     order), and its own demand if it is a standby unit.
//   - The outputs' settle hook follows each event's consequences (and time 0's settling of the
//     components that start down): an instant passes through the system state after each
//     event, not through the states within one event's consequences (a shock's members going
//     down one by one, a standby unit that starts at once and hides the failure it covers).
//     Its drawnNow is true for an event drawn, in its own time unit, with a positive delay
//     shorter than one unit (a component's transition, a shock, or a repair a crew started
//     when the unit's instant was over).
//   - Crews are handed out when an instant is over, after every event of that instant: free
//     crews take waiting components in queue order, pools in the order they were added. The
//     queue is ordered by the time the component went down, then by component index (so that
//     components that go down in the same instant queue in index order), or, for a pool in
//     listed order, by position in the pool's list.
//
// Repair logistics (src/logistics/): with a Logistics attached, a repair runs its sequence
// (logistics.h) and the history keeps its figures (logisticState.h); a standby unit keeps its
// running and dormant lives across demands in every model (only a repair renews them).
//   - The calendar (calendar/calendar.h, calendarEvents.h), when one is given: phases with their
//     own logic and required flags, paced clocks, held repairs, tests and planned states. Its
//     event slots come after the groups: the end of the phase, then one per test.
//
// Without dependencies (every flag and initial state the default, no group, standby unit or
// pool) a history draws the same numbers and fires the same events as HistoryEngine.
//
// Output hooks as in historyOutputs.h. Used by one thread at a time; start() begins a new history
// without allocating; no event allocates. Borrows the DependentModel, which must outlive it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "calendar/calendar.h"
#include "history/compiledModel.h"
#include "dependent/crewQueue.h"
#include "dependent/dependencies.h"
#include "history/eventHeap.h"
#include "history/historyEngine.h"
#include "history/randomDraw.h"
#include "logistics/logisticState.h"

class DependentHistoryEngine {
public:
    // simTime >= 0: the history covers time units [0, simTime). Allocates all its memory.
    DependentHistoryEngine(const DependentModel& model, int simTime,
                           EventSelection selection = EventSelection::automatic,
                           FirstSampling firstSampling = FirstSampling::warnAndSkip,
                           const CalendarModel* calendar = nullptr);

    // Begins the history seeded with `seed`: every component in its initial state, time 0.
    void start(std::uint32_t seed);

    // The first sampling, every component from its initial state in index order, then every
    // group's first shock, at time 0; a quantile that is no delay in [0, 2147483647] is handled
    // as FirstSampling says (see historyEngine.h). Then, at time 0, the components that start
    // down are put there and their standby units demanded.
    template <class Output>
    void sampleFirst(Output& out);

    // Fires the next event with its consequences, or ends the history; false once it is over.
    // Throws as HistoryEngine::step; a common-cause group stuck in a cycle of shocks with zero
    // delay is named as such.
    template <class Output>
    bool step(Output& out);

    template <class Output>
    void run(std::uint32_t seed, Output& out) {
        start(seed);
        sampleFirst(out);
        while (step(out)) {
        }
    }

    int time() const { return currentTime; }
    int stateOf(int component) const { return states[at(component)]; }
    bool holdsCrew(int component) const { return crewHeld[at(component)] != 0; }
    int freeCrews(int pool) const { return free[at(pool)]; }
    // The sums each history's logistic figures are added to (models with logistics); borrowed.
    void tallyLogisticsInto(LogisticsTally* tally) { logisticsTally = tally; }
    // The history's calendar (its phase, its unplanned state), or null without one.
    const CalendarRun* calendar() const { return calendarRun.get(); }

private:
    std::uint32_t nextBits() { return static_cast<std::uint32_t>(generator()); }
    std::size_t at(int index) const { return static_cast<std::size_t>(index); }
    bool isDown(int component, int state) const {
        return downTable[at(component) * at(numStates) + at(state)] != 0;
    }
    std::uint8_t rolesOf(int component) const { return roleTable[at(component)]; }
    bool waitsForCrew(int component) const {
        return (rolesOf(component) & kRolePooled) != 0 && downNow[at(component)] != 0 &&
               crewHeld[at(component)] == 0;
    }
    // Whether a down component's repair law is not drawn yet: it waits for a crew, or for a
    // step of its logistics.
    bool waitsForRepair(int component) const {
        if (logi.active() && (rolesOf(component) & (kRolePooled | kRoleLogistics)) != 0) {
            return downNow[at(component)] != 0 &&
                   logi.phaseOf(component) != LogisticState::kRepairing;
        }
        return waitsForCrew(component);
    }
    bool isRunning(int unit) const {
        const int c = model.standbyComponentOf(unit);
        return downNow[at(c)] == 0 && states[at(c)] != model.standbyState(unit);
    }

    // Sampling.
    void sampleFirstOf(int component);
    void sampleFirstShock(int group);
    template <class Output>
    void resample(int component, Output& out);
    template <class Output>
    void resampleShock(int group, Output& out);
    template <class Output>
    void setDue(int slot, int delay, bool within, Output& out);

    // Events.
    int nextSlot() const;
    void countEvent(int slot);
    [[noreturn]] void throwStuck(int slot) const;
    template <class Output>
    void setState(int component, int to, Output& out);
    template <class Output>
    void fireComponent(int component, Output& out);
    template <class Output>
    void fireShock(int group, Output& out);
    template <class Output>
    void settleInitialStates(Output& out);

    // Consequences.
    template <class Output>
    void wentDown(int component, bool wasRunning, Output& out);
    template <class Output>
    void cameUp(int component, Output& out);
    template <class Output>
    void demand(int covered, Output& out);
    template <class Output>
    bool tryStart(int unit, Output& out);
    template <class Output>
    void replace(int unit, Output& out);
    template <class Output>
    void returnToStandby(int unit, Output& out);
    // The calendar's part (calendarEvents.h).
    bool heldNow(int component, int state) const;
    int calendarDelay(int component, int state, int target, int delay);
    template <class Output>
    void startCalendar(Output& out);
    template <class Output>
    void fireCalendar(int slot, Output& out);
    template <class Output>
    void startPhase(int phase, int position, Output& out);
    template <class Output>
    void repace(int component, double oldPace, double newPace, Output& out);
    template <class Output>
    void startTest(int test, Output& out);
    template <class Output>
    void endTest(int component, Output& out);
    void updateCalendar(int component, int from, int to);
    template <class Output>
    void drawRepair(int component, Output& out);
    void joinCrewQueue(int component);
    void leaveCrew(int component);
    int earlierSlot(int a, int b) const;
    // Returns the next slot to fire, given `next`, the one before the crews started.
    template <class Output>
    int handOutCrews(int next, Output& out);
    template <class Output>
    void startRepair(int component, Output& out);

    // Logistics (logistics/logisticSteps.h).
    struct KeptLife {
        int delay = 0;
        int target = 0;
        bool within = false;  // drawn with a positive delay under one time unit
        bool kept = false;
    };
    // The logistics' slots come after the calendar's.
    int timerSlot(int component) const { return logisticBase + component; }
    int stockSlot(int s) const { return logisticBase + timerSlots + s; }
    template <class Output>
    void beginRepair(int component, Output& out);
    template <class Output>
    void afterDelay(int component, Output& out);
    template <class Output>
    void takePart(int component, Output& out);
    template <class Output>
    void placeOrder(int s, int parts, Output& out);
    template <class Output>
    void scheduleDelivery(int s, Output& out);
    template <class Output>
    void setTimer(int slot, const Distribution& law, Output& out);
    template <class Output>
    void fireLogistics(int index, Output& out);
    void endRepairSequence(int component);
    void keepLife(KeptLife& life, int component);
    template <class Output>
    bool resumeLife(KeptLife& life, int component, Output& out);

    const DependentModel& model;
    const CompiledModel& base;
    const int numComponents;
    const int numStates;
    const CalendarModel* const calendarModel;  // null: no calendar
    const int numSlots;  // components, then common-cause groups, then the calendar's
    const int calendarSlot;  // the slot of the phase's end (tests follow), or -1
    const int simTime;
    const bool useHeap;
    const FirstSampling firstSampling;
    // The model's tables, read on every event.
    const std::uint8_t* const downTable;
    const std::uint8_t* const roleTable;
    LazyMersenneTwister generator;
    // Flags held as int, not as bytes: a store through a character type may alias anything, and
    // would make the compiler reload every other array of the loop after it.
    std::vector<int> states;
    std::vector<int> downNow;
    std::vector<int> due;  // per slot
    std::vector<PendingMove> moves;
    EventHeap queue;
    std::vector<int> unitOfLastEvent;  // per slot
    std::vector<std::int64_t> eventsInUnit;
    FailureTracker failures;
    std::vector<int> downCovered;  // per standby unit: covered components now down
    std::vector<int> crewHeld;
    std::vector<int> free;  // per pool
    std::vector<CrewQueue> waiting;
    std::vector<int> struck;  // the members of the shock being applied
    std::vector<int> struckRunning;
    LogisticState logi;
    int timerSlots = 0;  // logisticTimerSlots of the model
    int logisticBase = 0;  // the first slot of the logistics
    LogisticsTally* logisticsTally = nullptr;
    std::vector<KeptLife> runningLife;  // per standby unit
    std::vector<KeptLife> dormantLife;
    bool crewsPending = false;
    int systemState = 0;
    int currentTime = 0;
    int urgent = -1;
    // Per slot: whether its pending event was drawn with a positive delay shorter than one
    // time unit (withinOneUnit), for the settle hook.
    std::vector<int> drawnWithin;
    std::unique_ptr<CalendarRun> calendarRun;
};

// ---- Sampling ----

template <class Output>
inline void DependentHistoryEngine::setDue(int slot, int delay, bool within, Output& out) {
    drawnWithin[at(slot)] = within ? 1 : 0;
    if (delay < 0) {
        due[at(slot)] = currentTime;
        urgent = slot;
    } else {
        due[at(slot)] = dueTime(currentTime, delay);
        if (due[at(slot)] < simTime) out.expect(due[at(slot)]);
    }
    if (useHeap) queue.update(slot, due[at(slot)]);
}

// As HistoryEngine::resample, except that a component waiting for a crew does not sample its
// transition into state 0: that draw is taken when a crew starts.
template <class Output>
inline void DependentHistoryEngine::resample(int component, Output& out) {
    const int state = states[at(component)];
    const Distribution* const* laws = model.row(component, state);
    int best = kNeverDelay;
    int target = 0;
    const bool skipRepair =
        waitsForRepair(component) || (calendarModel != nullptr && heldNow(component, state));
    bool within = false;
    const bool ageing = logi.active() && state == 0;
    for (int k = skipRepair ? 1 : 0; k < numStates; ++k) {
        const std::uint32_t bits = nextBits();
        if (laws[k] == nullptr) continue;
        // No range check here: a negative delay fires at once.
        const double p = static_cast<double>(unitFloatFromBits(bits));
        const double q = ageing && logi.aged(component, state, k)
                             ? logi.agedQuantile(component, *laws[k], p, currentTime)
                             : laws[k]->quantile(p, currentTime);
        const int delay = delayFromQuantile(q);
        if (delay < best) {
            best = delay;
            target = k;
            within = withinOneUnit(q);
        }
    }
    moves[at(component)] = PendingMove{state, target};
    if (calendarModel != nullptr) {
        best = calendarDelay(component, state, target, best);
        within = within && best != kNeverDelay;
    }
    setDue(component, best, within, out);
}

template <class Output>
inline void DependentHistoryEngine::resampleShock(int group, Output& out) {
    const std::uint32_t bits = nextBits();
    const Distribution* law = model.shockLaw(group);
    int delay = kNeverDelay;
    bool within = false;
    if (law != nullptr) {
        const double p = static_cast<double>(unitFloatFromBits(bits));
        const double q = law->quantile(p, currentTime);
        delay = delayFromQuantile(q);
        within = withinOneUnit(q);
    }
    setDue(numComponents + group, delay, within, out);
}

// ---- Events ----

inline int DependentHistoryEngine::nextSlot() const {
    if (urgent >= 0) return urgent;
    if (useHeap) return queue.earliest();
    return earliestDue(due.data(), numSlots);
}

inline void DependentHistoryEngine::countEvent(int slot) {
    const std::size_t s = at(slot);
    if (unitOfLastEvent[s] != currentTime) {
        unitOfLastEvent[s] = currentTime;
        eventsInUnit[s] = 0;
    }
    if (++eventsInUnit[s] > kMaxEventsPerComponentAndTimeUnit) throwStuck(slot);
}

template <class Output>
inline void DependentHistoryEngine::setState(int component, int to, Output& out) {
    const std::size_t c = at(component);
    const int from = states[c];
    states[c] = to;
    const bool wasDown = downNow[c] != 0;
    const bool nowDown = isDown(component, to);
    downNow[c] = nowDown ? 1 : 0;
    if (logi.active() && wasDown != nowDown) {
        if (nowDown) {
            logi.wentDown(component, currentTime,
                          calendarModel != nullptr && calendarModel->isPlanned(component, to));
        } else {
            logi.cameUp(component, currentTime);
        }
    }
    const int before = systemState;
    if (calendarModel != nullptr) {
        updateCalendar(component, from, to);
        systemState = calendarRun->required ? calendarRun->allState : 0;
    } else if (base.failedWhenAllWork()) {
        systemState = 1;
    } else if (wasDown != nowDown) {
        systemState = failures.afterChange(component, nowDown, systemState);
    }
    out.event(currentTime, from, to, component, before, systemState);
}

template <class Output>
inline void DependentHistoryEngine::fireComponent(int component, Output& out) {
    if (calendarModel != nullptr && calendarRun->underTest[at(component)] != 0) {
        endTest(component, out);
        return;
    }
    const PendingMove fired = moves[at(component)];
    const std::uint8_t roles = rolesOf(component);
    const bool wasDown = downNow[at(component)] != 0;
    int target = fired.target;
    // A standby unit back from a down state waits in standby, whatever state it was repaired to.
    if ((roles & kRoleStandby) != 0 && wasDown && !isDown(component, target)) {
        target = model.standbyState(model.standbyOf(component));
    }
    setState(component, target, out);
    resample(component, out);
    if (roles == kRoleNone) return;
    const bool nowDown = downNow[at(component)] != 0;
    if (!wasDown && nowDown) {
        const bool wasRunning = (roles & kRoleStandby) != 0 &&
                                fired.fromState != model.standbyState(model.standbyOf(component));
        wentDown(component, wasRunning, out);
    } else if (wasDown && !nowDown) {
        cameUp(component, out);
    }
}

// The shock is renewed first, from the shock's time; then every member not down is put into its
// failed state, then each is re-sampled, then the consequences of each follow, all in component
// index order. Applying all the changes before any consequence keeps a shock from demanding a
// standby unit that the same shock fails.
template <class Output>
void DependentHistoryEngine::fireShock(int group, Output& out) {
    resampleShock(group, out);
    std::size_t count = 0;
    for (int i = model.groupBegin(group); i < model.groupEnd(group); ++i) {
        const int member = model.groupMember(i);
        if (downNow[at(member)] != 0) continue;
        const int unit = model.standbyOf(member);
        struckRunning[count] = unit >= 0 && states[at(member)] != model.standbyState(unit) ? 1 : 0;
        struck[count++] = member;
        setState(member, model.groupFailedState(i), out);
    }
    for (std::size_t j = 0; j < count; ++j) resample(struck[j], out);
    for (std::size_t j = 0; j < count; ++j) {
        if (rolesOf(struck[j]) != kRoleNone) wentDown(struck[j], struckRunning[j] != 0, out);
    }
}

template <class Output>
bool DependentHistoryEngine::step(Output& out) {
    int slot = nextSlot();
    if (crewsPending && (slot < 0 || due[at(slot)] > currentTime)) {
        // The instant is over: crews take the components waiting for them.
        crewsPending = false;
        slot = handOutCrews(slot, out);
    }
    if (slot < 0 || due[at(slot)] >= simTime) {
        out.hold(currentTime, simTime, systemState);
        if (logi.active()) {
            logi.advance(currentTime, simTime, systemState);
            logi.finish(simTime, logisticsTally, lostProductionOf(out, simTime));
        }
        currentTime = simTime;
        return false;
    }
    const int eventTime = due[at(slot)];
    urgent = -1;
    out.hold(currentTime, eventTime, systemState);
    if (logi.active()) logi.advance(currentTime, eventTime, systemState);
    currentTime = eventTime;
    countEvent(slot);
    const bool drawnNow = drawnWithin[at(slot)] != 0;
    if (slot < numComponents) {
        fireComponent(slot, out);
    } else if (slot < numComponents + model.groups()) {
        fireShock(slot - numComponents, out);
    } else if (slot < logisticBase) {
        fireCalendar(slot, out);
    } else {
        fireLogistics(slot - logisticBase, out);
    }
    if (calendarModel != nullptr && calendarRun->switchTo >= 0) {
        const int next = calendarRun->switchTo;
        calendarRun->switchTo = -1;
        startPhase(next, calendarModel->positionOf(next), out);
    }
    if constexpr (HasSettle<Output>::value) out.settle(currentTime, systemState, drawnNow);
    return true;
}

template <class Output>
void DependentHistoryEngine::sampleFirst(Output& out) {
    for (int c = 0; c < numComponents; ++c) sampleFirstOf(c);
    for (int g = 0; g < model.groups(); ++g) sampleFirstShock(g);
    if (calendarModel != nullptr) startCalendar(out);
    if (useHeap) queue.rebuild(due.data());
    if (simTime > 0) {
        settleInitialStates(out);
        if constexpr (HasSettle<Output>::value) out.settle(0, systemState, false);
    }
    if (calendarRun) calendarRun->switchTo = -1;  // a system failed from the start stays put
}

template <class Output>
void DependentHistoryEngine::settleInitialStates(Output& out) {
    for (int c = 0; c < numComponents; ++c) {
        if (downNow[at(c)] == 0) continue;
        const int before = systemState;
        if (calendarModel != nullptr) {
            updateCalendar(c, 0, states[at(c)]);
            systemState = calendarRun->required ? calendarRun->allState : 0;
        } else {
            systemState =
                base.failedWhenAllWork() ? 1 : failures.afterChange(c, true, systemState);
        }
        out.event(0, states[at(c)], states[at(c)], c, before, systemState);
    }
    // Only the components that started down: others may go down on the way (failed starts),
    // and have had their consequences already.
    for (int c = 0; c < numComponents; ++c) {
        if (isDown(c, model.initialState(c)) && rolesOf(c) != kRoleNone) {
            wentDown(c, false, out);
        }
    }
}

// ---- Consequences ----

template <class Output>
void DependentHistoryEngine::wentDown(int component, bool wasRunning, Output& out) {
    const std::uint8_t roles = rolesOf(component);
    if ((roles & kRoleLogistics) != 0) {
        beginRepair(component, out);
    } else if ((roles & kRolePooled) != 0) {
        joinCrewQueue(component);
    }
    if ((roles & kRoleCovered) != 0) {
        const int* end = model.coveringEnd(component);
        for (const int* unit = model.coveringBegin(component); unit != end; ++unit) {
            ++downCovered[at(*unit)];
        }
    }
    if (wasRunning) replace(model.standbyOf(component), out);
    if ((roles & kRoleCovered) != 0) demand(component, out);
}

template <class Output>
void DependentHistoryEngine::cameUp(int component, Output& out) {
    const std::uint8_t roles = rolesOf(component);
    if ((roles & kRoleLogistics) != 0) endRepairSequence(component);
    if ((roles & kRolePooled) != 0) leaveCrew(component);
    if ((roles & kRoleCovered) != 0) {
        const int* end = model.coveringEnd(component);
        for (const int* unit = model.coveringBegin(component); unit != end; ++unit) {
            if (--downCovered[at(*unit)] == 0 && isRunning(*unit)) returnToStandby(*unit, out);
        }
    }
    if ((roles & kRoleStandby) != 0) {
        const int unit = model.standbyOf(component);
        // Repaired: as good as new, in standby and running.
        runningLife[at(unit)].kept = false;
        dormantLife[at(unit)].kept = false;
        if (downCovered[at(unit)] > 0 && states[at(component)] == model.standbyState(unit)) {
            tryStart(unit, out);
        }
    }
}

template <class Output>
void DependentHistoryEngine::demand(int covered, Output& out) {
    const int* end = model.coveringEnd(covered);
    for (const int* unit = model.coveringBegin(covered); unit != end; ++unit) {
        const int c = model.standbyComponentOf(*unit);
        if (states[at(c)] == model.standbyState(*unit) && tryStart(*unit, out)) return;
    }
}

template <class Output>
bool DependentHistoryEngine::tryStart(int unit, Output& out) {
    const int c = model.standbyComponentOf(unit);
    const double u = static_cast<double>(unitFloatFromBits(nextBits()));
    if (u < model.startFailure(unit)) {
        setState(c, model.failedState(unit), out);
        resample(c, out);
        wentDown(c, false, out);
        return false;
    }
    keepLife(dormantLife[at(unit)], c);
    setState(c, model.runningState(unit), out);
    if (!resumeLife(runningLife[at(unit)], c, out)) resample(c, out);
    return true;
}

template <class Output>
void DependentHistoryEngine::replace(int unit, Output& out) {
    for (const int* c = model.coversBegin(unit); c != model.coversEnd(unit); ++c) {
        if (downNow[at(*c)] != 0) {
            demand(*c, out);
            return;
        }
    }
}

template <class Output>
void DependentHistoryEngine::returnToStandby(int unit, Output& out) {
    const int c = model.standbyComponentOf(unit);
    keepLife(runningLife[at(unit)], c);
    setState(c, model.standbyState(unit), out);
    if (!resumeLife(dormantLife[at(unit)], c, out)) resample(c, out);
}

// A repair only brings a component's due time forward, so the next slot is the earlier of the
// one before and the components whose repair started (or the one re-sampled as overdue).
template <class Output>
int DependentHistoryEngine::handOutCrews(int next, Output& out) {
    for (int p = 0; p < model.pools(); ++p) {
        CrewQueue& line = waiting[at(p)];
        while (free[at(p)] > 0 && !line.empty()) {
            --free[at(p)];
            const int component = model.poolMember(p, line.pop());
            startRepair(component, out);
            next = earlierSlot(next, component);
        }
    }
    // A crew's start under logistics may also set a timer or a delivery: look at every slot.
    if (logi.active() && urgent < 0) return nextSlot();
    return urgent >= 0 ? urgent : next;
}

inline int DependentHistoryEngine::earlierSlot(int a, int b) const {
    if (a < 0) return b;
    const int dueA = due[at(a)];
    const int dueB = due[at(b)];
    return dueB < dueA || (dueB == dueA && b < a) ? b : a;
}

inline void DependentHistoryEngine::joinCrewQueue(int component) {
    const int p = model.poolOf(component);
    const int rank = model.rankInPool(component);
    const std::uint32_t primary = model.crewOrder(p) == CrewOrder::firstFailed
                                      ? static_cast<std::uint32_t>(currentTime)
                                      : static_cast<std::uint32_t>(rank);
    waiting[at(p)].push(rank, CrewQueue::key(primary, component));
    if (logi.active()) logi.enter(component, LogisticState::kWaitCrew, currentTime);
    // With every crew busy, nothing can start when the instant is over.
    if (free[at(p)] > 0) crewsPending = true;
}

// The component is up again: its crew is free, or it no longer waits for one.
inline void DependentHistoryEngine::leaveCrew(int component) {
    const int p = model.poolOf(component);
    if (crewHeld[at(component)] != 0) {
        crewHeld[at(component)] = 0;
        if (logi.active()) logi.crewReleased(component, p, currentTime);
        ++free[at(p)];
        if (!waiting[at(p)].empty()) crewsPending = true;
    } else {
        const int rank = model.rankInPool(component);
        if (waiting[at(p)].contains(rank)) waiting[at(p)].remove(rank);
    }
}

// The crew draws the component's transition into state 0 now; it replaces the pending transition
// if it comes first (or at the same time).
template <class Output>
void DependentHistoryEngine::startRepair(int component, Output& out) {
    crewHeld[at(component)] = 1;
    if (logi.active()) {
        const int p = model.poolOf(component);
        logi.crewTaken(component, p, currentTime);
        if (const Distribution* mobilisation = logi.logistics().mobilisation(p)) {
            logi.enter(component, LogisticState::kMobilising, currentTime);
            setTimer(timerSlot(component), *mobilisation, out);
            return;
        }
        if ((rolesOf(component) & kRoleLogistics) != 0) {
            takePart(component, out);
            return;
        }
    }
    drawRepair(component, out);
}


// The component's transition into state 0 is drawn now; it replaces the pending transition if
// it comes first (or at the same time).
template <class Output>
void DependentHistoryEngine::drawRepair(int component, Output& out) {
    const std::size_t c = at(component);
    if (logi.active()) logi.enter(component, LogisticState::kRepairing, currentTime);
    const std::uint32_t bits = nextBits();
    const Distribution* law = model.row(component, states[c])[0];
    if (law == nullptr) return;
    const double p = static_cast<double>(unitFloatFromBits(bits));
    const double q = law->quantile(p, currentTime);
    const int delay = delayFromQuantile(q);
    const int repairDue = delay < 0 ? currentTime : dueTime(currentTime, delay);
    if (repairDue > due[c]) return;
    moves[c] = PendingMove{states[c], 0};
    setDue(component, delay, withinOneUnit(q), out);
}

#include "calendar/calendarEvents.h"
#include "logistics/logisticSteps.h"
