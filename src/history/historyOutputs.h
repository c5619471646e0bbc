// What a history gives back, as outputs that the event loop calls while it runs.
//
// An output is any type with these three hooks; an engine calls them in time order, with times
// in whole time units from 0 up to, not including, the horizon:
//   hold(from, to, systemState)   the system state was systemState (0 working, 1 failed) during
//                                 every time unit of [from, to); to may equal from. Consecutive
//                                 holds and events cover every unit of the history.
//   expect(time)                  a transition is now due at `time` (< horizon); a hint only:
//                                 it may never fire (another event can re-sample it first).
//   event(time, fromState, toState, component, before, after)
//                                 `component` went from fromState to toState at `time`; the
//                                 system state was `before` and is now `after`. Several events
//                                 may share one time unit; the unit's state is the last `after`.
//   settle(time, systemState, drawnNow)
//                                 optional: an event and every consequence of it are over at
//                                 `time`, and the system state is systemState until the next
//                                 event. drawnNow tells whether the event's delay was drawn in
//                                 this same time unit as a positive delay shorter than one
//                                 unit (truncated to 0): it then follows the event that drew
//                                 it, a positive while later in continuous time. The other
//                                 events of one unit are simultaneous as far as whole units
//                                 tell (those drawn earlier, and delays of 0 or below, which
//                                 fire at the very instant of the event that drew them).
//                                 Called after each event's last `event` hook (and, by an
//                                 engine that starts components down, once after time 0's
//                                 settling, drawnNow false).
// A history that ends holds its last state up to the horizon. The outputs know nothing of the
// engine that calls them, so any engine honouring these hooks can feed them. An engine calls
// settle only on outputs that have it (HasSettle), and tracks drawnNow only for them.
//
// Each output is used by one thread at a time and borrows the buffers it writes into.
#pragma once

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

// Whether an output has the optional settle hook.
template <class Output, class = void>
struct HasSettle : std::false_type {};
template <class Output>
struct HasSettle<Output,
                 std::void_t<decltype(std::declval<Output&>().settle(0, 0, false))>>
    : std::true_type {};

// One state change of one component.
struct Transition {
    int time;         // time unit at which the change took effect
    int prevState;    // state the component left
    int nextState;    // state the component entered
    int componentId;  // index of the component
};

// Writes the whole series and logs every transition: what Simulation gives its caller.
// series needs room for the horizon's time units.
struct SeriesAndLog {
    unsigned int* series;
    std::vector<Transition>& log;

    void hold(int from, int to, int systemState) {
        if (to > from) {
            std::fill(series + from, series + to, static_cast<unsigned int>(systemState));
        }
    }
    void expect(int) {}
    void event(int time, int fromState, int toState, int component, int, int systemState) {
        log.push_back(Transition{time, fromState, toState, component});
        series[time] = static_cast<unsigned int>(systemState);
    }
};

// Adds +1 where the system enters the failed state and -1 where it leaves it: what the batch
// runners accumulate. Several changes within one time unit net out to its final state.
// differences needs room for the horizon's time units.
struct ChangesOnly {
    unsigned int* differences;

    void hold(int, int, int) {}
    // A transition is now due at `time`: if it changes the system state, the entry is written
    // then. Fetching its line now hides the cache miss of a long buffer behind the work between.
    void expect(int time) { __builtin_prefetch(differences + time, 1); }
    void event(int time, int, int, int, int before, int after) {
        if (after != before) differences[time] += after != 0 ? 1u : ~0u;
    }
};
