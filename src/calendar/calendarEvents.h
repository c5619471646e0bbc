// The calendar's part of DependentHistoryEngine: dependentHistory.h includes this at its end.
//
// Phases. The first phase of the sequence is the phase at time 0, from before the first
// sampling (so that its paces apply to the first delays); its duration is drawn after every
// component's and group's first sampling. At the end of a phase the next one of the sequence
// starts; when the system fails (unplanned only) in a phase that names a phase for that, that
// phase starts at once, after the event and its consequences, and the sequence goes on after it
// (after the interrupted phase if it is not in the sequence). A phase start, in this order:
// re-paces the paced clocks, takes the new phase's logic and required flag (an event for the
// outputs, component -1), draws the held repairs waiting for it (in component index order, as a
// crew's start draws them), then draws its duration (one draw for a law, none for a fixed one;
// a law's delay below one step lasts one step).
//
// Pace. A component's move out of a working state drawn with a law of delays (not a test or a
// fixed date) is paced: its delay at pace 1 is kept as work left, and at pace f it falls due
// after work / f steps (never at pace 0). A phase start takes the work done at the old pace off
// and re-times the move at the new one.
//
// Held repairs. A component whose repairs wait for a phase does not sample its transition into
// state 0 when it goes down outside that phase (its draw is not taken); when the phase starts
// the repair is drawn, and replaces the pending move if it comes first.
//
// Tests. Each test has a slot that falls due at its schedule. A working unit is taken out into
// its test state (planned downtime) for the test's duration, its pending move frozen (the work
// of a paced move, the due time of another), and comes back in the working state it left with
// that move restored. A failed unit (not in a planned state) is found with chance efficiency
// (one draw when below 1) and is back in state 0 when the test ends; a missed one stays failed.
//
// System state. With a calendar the system state the outputs see is the current phase's logic
// over the down flags, and 0 in a phase that is not required; CalendarRun keeps both states
// (all downtime, and unplanned only, planned states counted as working) whatever the phase.
#pragma once

inline bool DependentHistoryEngine::heldNow(int component, int state) const {
    const int until = calendarModel->heldUntil(component);
    return until >= 0 && isDown(component, state) && calendarRun->phase != until;
}

inline int DependentHistoryEngine::calendarDelay(int component, int state, int target,
                                                 int delay) {
    CalendarRun& run = *calendarRun;
    const std::size_t c = at(component);
    run.heldWaiting[c] = heldNow(component, state) ? 1 : 0;
    if (!calendarModel->hasPace(component)) return delay;
    run.pacedMove[c] = 0;
    if (delay < 0 || delay == kNeverDelay || isDown(component, state) ||
        calendarModel->keepsTime(component, state, target)) {
        return delay;
    }
    run.pacedMove[c] = 1;
    run.work[c] = delay;
    run.since[c] = currentTime;
    const double pace = calendarModel->pace(component, run.phase);
    if (pace == 1.0) return delay;
    if (pace == 0.0) return kNeverDelay;
    return delayFromQuantile(delay / pace);
}

inline void DependentHistoryEngine::updateCalendar(int component, int from, int to) {
    CalendarRun& run = *calendarRun;
    const bool wasDown = isDown(component, from);
    const bool nowDown = isDown(component, to);
    const bool wasUnplanned = wasDown && !calendarModel->isPlanned(component, from);
    const bool nowUnplanned = nowDown && !calendarModel->isPlanned(component, to);
    if (wasDown == nowDown && wasUnplanned == nowUnplanned) return;
    run.countChange(component, wasDown, nowDown, wasUnplanned, nowUnplanned);
    const int all = run.failedAll() ? 1 : 0;
    const int unplanned = run.failedUnplanned() ? 1 : 0;
    const std::size_t phase = at(run.phase);
    if (all != 0 && run.allState == 0) ++run.failuresAll[phase];
    if (unplanned != 0 && run.unplannedState == 0) {
        ++run.failuresUnplanned[phase];
        const int next = calendarModel->phase(run.phase).onSystemFailure;
        if (next >= 0 && run.switchTo < 0) run.switchTo = next;
    }
    run.allState = all;
    run.unplannedState = unplanned;
}

template <class Output>
void DependentHistoryEngine::startCalendar(Output& out) {
    CalendarRun& run = *calendarRun;
    const CalendarPhase& phase = calendarModel->phase(run.phase);
    int delay = phase.fixedSteps;
    if (phase.duration != nullptr) {
        const double p = static_cast<double>(unitFloatFromBits(nextBits()));
        delay = std::max(1, delayFromQuantile(phase.duration->quantile(p, 0)));
    }
    due[at(calendarSlot)] = dueTime(0, delay);
    drawnWithin[at(calendarSlot)] = 0;
    const auto& tests = calendarModel->tests();
    for (std::size_t t = 0; t < tests.size(); ++t) {
        due[at(calendarSlot) + 1 + t] = tests[t].offset;
        drawnWithin[at(calendarSlot) + 1 + t] = 0;
    }
    run.allState = run.failedAll() ? 1 : 0;
    run.unplannedState = run.failedUnplanned() ? 1 : 0;
    (void)out;
}

template <class Output>
void DependentHistoryEngine::fireCalendar(int slot, Output& out) {
    if (slot == calendarSlot) {
        const int position = (calendarRun->position + 1) % calendarModel->sequenceLength();
        startPhase(calendarModel->sequencePhase(position), position, out);
    } else {
        startTest(slot - calendarSlot - 1, out);
    }
}

template <class Output>
void DependentHistoryEngine::repace(int component, double oldPace, double newPace,
                                    Output& out) {
    CalendarRun& run = *calendarRun;
    const std::size_t c = at(component);
    if (run.pacedMove[c] == 0 || run.underTest[c] != 0 || oldPace == newPace) return;
    run.work[c] = std::max(0.0, run.work[c] - (currentTime - run.since[c]) * oldPace);
    run.since[c] = currentTime;
    setDue(component, newPace == 0.0 ? kNeverDelay : delayFromQuantile(run.work[c] / newPace),
           false, out);
}

template <class Output>
void DependentHistoryEngine::startPhase(int phase, int position, Output& out) {
    CalendarRun& run = *calendarRun;
    const int old = run.phase;
    if (old != phase) {
        for (int c : calendarModel->pacedComponents()) {
            repace(c, calendarModel->pace(c, old), calendarModel->pace(c, phase), out);
        }
    }
    run.phase = phase;
    if (position >= 0) run.position = position;
    const CalendarPhase& next = calendarModel->phase(phase);
    run.required = next.required;
    run.allState = run.failedAll() ? 1 : 0;
    run.unplannedState = run.failedUnplanned() ? 1 : 0;
    const int before = systemState;
    systemState = run.required ? run.allState : 0;
    out.event(currentTime, old, phase, -1, before, systemState);
    for (int c : calendarModel->heldBy(phase)) {
        if (run.heldWaiting[at(c)] == 0) continue;
        run.heldWaiting[at(c)] = 0;
        drawRepair(c, out);
    }
    int delay = next.fixedSteps;
    if (next.duration != nullptr) {
        const double p = static_cast<double>(unitFloatFromBits(nextBits()));
        delay = std::max(1, delayFromQuantile(next.duration->quantile(p, currentTime)));
    }
    setDue(calendarSlot, delay, false, out);
}

template <class Output>
void DependentHistoryEngine::startTest(int test, Output& out) {
    CalendarRun& run = *calendarRun;
    const CalendarTest& plan = calendarModel->tests()[at(test)];
    const int component = plan.component;
    const std::size_t c = at(component);
    setDue(calendarSlot + 1 + test, plan.period, false, out);
    const int state = states[c];
    if (run.underTest[c] != 0) return;
    if (!isDown(component, state)) {
        if (plan.durationSteps == 0) return;
        run.frozenMove[c] = moves[c];
        if (run.pacedMove[c] != 0) {
            const double pace = calendarModel->pace(component, run.phase);
            run.work[c] = std::max(0.0, run.work[c] - (currentTime - run.since[c]) * pace);
        } else {
            run.frozenDue[c] = due[c];
        }
        run.underTest[c] = 1;
        setState(component, plan.testState, out);
        moves[c] = PendingMove{plan.testState, 0};
        setDue(component, plan.durationSteps, false, out);
        return;
    }
    if (calendarModel->isPlanned(component, state)) return;
    if (plan.efficiency < 1.0) {
        const double u = static_cast<double>(unitFloatFromBits(nextBits()));
        if (!(u < plan.efficiency)) return;
    }
    moves[c] = PendingMove{state, 0};
    setDue(component, plan.durationSteps, false, out);
}

template <class Output>
void DependentHistoryEngine::endTest(int component, Output& out) {
    CalendarRun& run = *calendarRun;
    const std::size_t c = at(component);
    run.underTest[c] = 0;
    const PendingMove frozen = run.frozenMove[c];
    setState(component, frozen.fromState, out);
    moves[c] = frozen;
    int delay;
    if (run.pacedMove[c] != 0) {
        run.since[c] = currentTime;
        const double pace = calendarModel->pace(component, run.phase);
        delay = pace == 0.0 ? kNeverDelay : delayFromQuantile(run.work[c] / pace);
    } else if (run.frozenDue[c] >= kNothingDue) {
        delay = kNeverDelay;
    } else {
        delay = std::max(0, run.frozenDue[c] - currentTime);
    }
    setDue(component, delay, false, out);
}
