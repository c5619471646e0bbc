// The event loop of one history of independent components, for any output (historyOutputs.h).
//
// Every component has at most one pending transition, sampled from the laws of its current
// state. The earliest one fires, the component changes state, the system state is recomputed
// through the compiled model's failure logic, and only the component that fired is re-sampled.
//
// The loop is a template over its output, so that each output is inlined into it: instantiate
// step(out) or run(seed, out) with any type offering the hooks of historyOutputs.h.
//
// A HistoryEngine is used by one thread at a time and reused from history to history: start()
// begins a new one without allocating. It borrows the CompiledModel, which must outlive it and
// which any number of engines may share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "history/compiledModel.h"
#include "history/eventHeap.h"
#include "history/historyOutputs.h"
#include "history/randomDraw.h"

// The pending transition of one component.
struct Realization {
    int nextTime;      // time units from now until it fires; 2147483647 means nothing pending
    int currentState;  // state it was sampled from
    int nextState;     // target state
};

// How a history finds its next event. Both give the same event at every step: the earliest due
// time, the lowest component index among equal ones, and a component re-sampled with a negative
// delay before anything else.
enum class EventSelection {
    automatic,  // scan for few components, heap for many
    scan,       // a pass over all components per event
    heap,       // an indexed binary heap: O(log components) per event
};

// Events one component may take part in within one time unit before its history is taken to
// be stuck in a cycle of transitions with zero delay. Counting per component keeps the check
// O(1) per event, and bursts of many components in one time unit never reach it.
inline constexpr std::int64_t kMaxEventsPerComponentAndTimeUnit = 1'000'000;

// What the first sampling does with a quantile that is no delay in [0, 2147483647].
enum class FirstSampling {
    // Simulation and the batch runners: a warning line on standard output, and the draw is
    // skipped (so a negative first draw never fires).
    warnAndSkip,
    // Silent, and as re-sampling does: a negative delay fires at once (at time 0, with the other
    // components due then, in index order); NaN and anything above 2147483647 never fire.
    fireNegative,
};

// Whether a first sampling weighs the draw's result q (drawn from p): always when `mode`
// fires negative delays at once, else only within [0, 2147483647], the warning of warnAndSkip
// printed otherwise. Shared by every history engine.
bool keepsFirstDraw(FirstSampling mode, double q, double p);

// ---- Shared by the history engines (this one and dependentHistory.h) ----

// Absolute time unit at which a pending transition fires. Due times at or after the horizon
// never fire and need no order among themselves, so every time too large for an int, and
// "nothing pending", is kNothingDue (simTime is at most kNothingDue).
inline constexpr int kNothingDue = std::numeric_limits<int>::max();

// Below this many event slots a plain pass finds the next event faster than a heap keeps order.
inline constexpr int kHeapFromSlots = 24;

// What a pending transition does, apart from its due time.
struct PendingMove {
    int fromState;
    int target;
};

// The due time of a delay taken at `now`, kNothingDue when it does not fit an int.
inline int dueTime(int now, int delay) {
    return static_cast<int>(
        std::min<std::int64_t>(static_cast<std::int64_t>(now) + delay, kNothingDue));
}

// The index of the smallest of times[0 .. count - 1] below kNothingDue, the lowest index among
// equal ones; -1 when none is. The scan the engines use without a heap.
inline int earliestDue(const int* times, int count) {
    int found = -1;
    int best = kNothingDue;
    for (int i = 0; i < count; ++i) {
        if (times[i] < best) {
            best = times[i];
            found = i;
        }
    }
    return found;
}

class HistoryEngine {
public:
    // simTime >= 0: the history covers time units [0, simTime). Allocates all its memory.
    HistoryEngine(const CompiledModel& model, int simTime, EventSelection selection,
                  FirstSampling firstSampling = FirstSampling::warnAndSkip);

    // Begins the history seeded with `seed`: every component in state 0, time 0.
    void start(std::uint32_t seed);

    // The first sampling, from state 0 at time 0, for every component in index order. A
    // quantile below 0, above 2147483647 or NaN is handled as FirstSampling says; under
    // warnAndSkip it prints "Warning: nextTimeDouble is out of bounds: " q "  " p on standard
    // output (one whole line, under the lock the runners print with) and is skipped.
    void sampleFirst();

    // Fires the next event, or ends the history; false once it is over. Throws what a law's
    // quantile throws, and std::runtime_error "History stopped advancing at time unit T: ..."
    // when one component takes part in more than kMaxEventsPerComponentAndTimeUnit events of
    // one time unit. The history is then unusable until the next start().
    template <class Output>
    bool step(Output& out);

    // start, sampleFirst, then step until the history is over.
    template <class Output>
    void run(std::uint32_t seed, Output& out) {
        start(seed);
        sampleFirst();
        while (step(out)) {
        }
    }

    int time() const { return currentTime; }

    // The pending transition of `component`: nextTime counts from time(); a component
    // re-sampled with a negative delay shows it as 0 (it fires next).
    Realization pendingOf(int component) const {
        const auto c = static_cast<std::size_t>(component);
        const int nextTime = due[c] == kNothingDue ? kNeverDelay : due[c] - currentTime;
        return Realization{nextTime, moves[c].fromState, moves[c].target};
    }

private:
    std::uint32_t nextBits() { return static_cast<std::uint32_t>(generator()); }
    void sampleFirstOf(int component);
    template <class Output>
    void resample(int component, Output& out);
    int nextComponent() const;
    void countEvent(int component);
    [[noreturn]] void throwStuck(int component) const;
    void changeSystemState(int component, PendingMove fired);

    const CompiledModel& model;
    const int numComponents;
    const int numStates;
    const int simTime;
    const bool useHeap;
    const FirstSampling firstSampling;
    LazyMersenneTwister generator;
    std::vector<int> componentStates;
    std::vector<int> due;
    std::vector<PendingMove> moves;
    EventHeap queue;
    std::vector<int> unitOfLastEvent;
    std::vector<std::int64_t> eventsInUnit;
    FailureTracker failures;
    int systemState = 0;
    int currentTime = 0;
    // The component re-sampled with a negative delay: it fires next, at the current time.
    int urgent = -1;
    // Per component, whether its pending transition was drawn with a positive delay shorter
    // than one time unit (withinOneUnit); kept for outputs with a settle hook only.
    std::vector<int> drawnWithin;
};

// ---- The loop, defined here so that every output is inlined into it ----

template <class Output>
inline void HistoryEngine::resample(int component, Output& out) {
    const int state = componentStates[static_cast<std::size_t>(component)];
    const Distribution* const* laws = model.row(component, state);
    int best = kNeverDelay;
    int target = 0;
    [[maybe_unused]] bool within = false;
    for (int k = 0; k < numStates; ++k) {
        const std::uint32_t bits = nextBits();
        if (laws[k] == nullptr) continue;
        // No range check here: a negative delay fires at once.
        const double p = static_cast<double>(unitFloatFromBits(bits));
        const double q = laws[k]->quantile(p, currentTime);
        const int delay = delayFromQuantile(q);
        if (delay < best) {
            best = delay;
            target = k;
            if constexpr (HasSettle<Output>::value) within = withinOneUnit(q);
        }
    }
    const auto c = static_cast<std::size_t>(component);
    moves[c] = PendingMove{state, target};
    if constexpr (HasSettle<Output>::value) drawnWithin[c] = within ? 1 : 0;
    if (best < 0) {
        due[c] = currentTime;
        urgent = component;
    } else {
        due[c] = dueTime(currentTime, best);
        if (due[c] < simTime) out.expect(due[c]);
    }
    if (useHeap) queue.update(component, due[c]);
}

inline int HistoryEngine::nextComponent() const {
    if (urgent >= 0) return urgent;
    if (useHeap) return queue.earliest();
    return earliestDue(due.data(), numComponents);
}

inline void HistoryEngine::countEvent(int component) {
    const auto c = static_cast<std::size_t>(component);
    if (unitOfLastEvent[c] != currentTime) {
        unitOfLastEvent[c] = currentTime;
        eventsInUnit[c] = 0;
    }
    if (++eventsInUnit[c] > kMaxEventsPerComponentAndTimeUnit) throwStuck(component);
}

// A component entering or leaving state 0 can change the system state; a move between two
// failed states cannot.
inline void HistoryEngine::changeSystemState(int component, PendingMove fired) {
    componentStates[static_cast<std::size_t>(component)] = fired.target;
    if (model.failedWhenAllWork()) {
        systemState = 1;
    } else if ((fired.fromState != 0) != (fired.target != 0)) {
        systemState = failures.afterChange(component, fired.target != 0, systemState);
    }
}

template <class Output>
bool HistoryEngine::step(Output& out) {
    const int row = nextComponent();
    if (row < 0 || due[static_cast<std::size_t>(row)] >= simTime) {
        out.hold(currentTime, simTime, systemState);
        currentTime = simTime;
        return false;
    }
    const PendingMove fired = moves[static_cast<std::size_t>(row)];
    const int eventTime = due[static_cast<std::size_t>(row)];
    urgent = -1;
    out.hold(currentTime, eventTime, systemState);
    currentTime = eventTime;
    countEvent(row);

    const int before = systemState;
    changeSystemState(row, fired);
    out.event(currentTime, fired.fromState, fired.target, row, before, systemState);
    if constexpr (HasSettle<Output>::value) {
        out.settle(currentTime, systemState, drawnWithin[static_cast<std::size_t>(row)] != 0);
    }
    resample(row, out);
    return true;
}
