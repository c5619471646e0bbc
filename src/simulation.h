// One Monte Carlo history of the modelled system, in whole time units from 0 up to, not
// including, the horizon simTime.
//
// Every component has at most one pending transition, sampled from the laws of its current
// state. The earliest one fires, the component changes state, the system state is recomputed
// through the cutset tree, and only the component that fired is re-sampled. The system state
// (0 working, 1 failed) of every time unit is written into a caller-owned series.
//
// One event loop serves two outputs: Simulation writes the whole series and logs every state
// change; ChangeRecorder, for the batch runners, only adds the history's changes of system state
// into a difference buffer, so that a history costs in proportion to its events. Both read the
// model from a CompiledModel, prepared once and shared by any number of histories.
//
// A Simulation or ChangeRecorder is used by one thread at a time. They only read the laws, the
// model and the tree, which many histories may share at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cutsetTree.h"
#include "distributions.h"

// components[c][s][k]: law of component c's transition from state s into state k (borrowed).
using ComponentModel = std::vector<std::vector<std::vector<Distribution*>>>;

// One state change of one component.
struct Transition {
    int time;         // time unit at which the change took effect
    int prevState;    // state the component left
    int nextState;    // state the component entered
    int componentId;  // index of the component
};

// The pending transition of one component.
struct Realization {
    int nextTime;      // time units from now until it fires; 2147483647 means nothing pending
    int currentState;  // state it was sampled from
    int nextState;     // target state
};

// The pending time of a component with nothing to do; no delay can beat it.
inline constexpr int kNeverDelay = 2147483647;

// ---- Checks shared by the engine and the runners ----

// The two checks every history makes, in this order: a null tree throws std::invalid_argument
// "Cutset matrix must not be null.", a model without components, or whose component 0 has no
// states, throws std::invalid_argument "Transitions matrix must not be empty.".
void checkRunArguments(const ComponentModel& model, const CutsetTree* cutSetTree);

// The shape the engine relies on, for a model that passed checkRunArguments. numStates is the
// row count of component 0. Throws std::invalid_argument naming the component, state and
// target involved when
//   - a row does not hold exactly numStates laws,
//   - a law is null (None from Python),
//   - a component has no row for state 0, or for a state that one of its laws can lead to.
// A plain Distribution entry leads nowhere (it never fires), so a component may omit the rows
// of states it can never enter.
void checkModelShape(const ComponentModel& model);

// checkRunArguments, then checkModelShape: what a runner checks before any history runs.
void checkModel(const ComponentModel& model, const CutsetTree* cutSetTree);

// ---- The random draw ----

// Both are defined here so that the event loop inlines them.

// The smallest draw: what an engine output of 0 gives. Every other output x gives at least
// 2^-32, so this value is taken by no other output and stays below all of them. A draw of
// exactly 0 would make laws whose quantile rejects p = 0 (Normal) abort a run about once in
// 2^32 draws; half the smallest step keeps the draw's order and its meaning (the lowest
// quantile the law has) while every law accepts it.
inline constexpr float kSmallestDraw = 0x1p-33f;

// The uniform number in (0, 1) given to quantile, from one 32-bit engine output x:
// float(x) * 2^-32 with round-to-nearest conversion, a result of 1.0f becoming 0.99999994f,
// and x = 0 giving kSmallestDraw.
inline float unitFloatFromBits(std::uint32_t x) noexcept {
    // The conversion is the only rounding: scaling by a power of two is exact. Outputs within
    // 128 of 2^32 round up to 2^32 itself, hence the clamp below 1.
    if (x == 0) return kSmallestDraw;
    const float f = static_cast<float>(x) * 0x1p-32f;
    return f >= 1.0f ? 0x1.fffffep-1f : f;
}

// Converts a quantile result to a delay in whole time units, truncated toward zero. Results
// without an int value are mapped so that no conversion is undefined: NaN and anything above
// 2147483647 become kNeverDelay, anything below -2147483648 becomes -2147483648 (overdue).
inline int delayFromQuantile(double q) noexcept {
    // Written so that NaN fails the first test.
    if (!(q < 2147483648.0)) return kNeverDelay;
    if (q <= -2147483649.0) return -2147483647 - 1;
    return static_cast<int>(q);
}

// ---- The engine ----

// The 32-bit Mersenne Twister, output for output the same as std::mt19937 seeded with the same
// value, but it seeds and twists its first 624 words only as far as the outputs asked for need
// them. A history that draws a few hundred numbers then pays for a few hundred words instead
// of the full 624 of seeding and 624 of twisting, which would otherwise be most of the cost of
// a short history. Reseeding allocates nothing.
class LazyMersenneTwister {
public:
    explicit LazyMersenneTwister(std::uint32_t value = 5489u) { seed(value); }

    void seed(std::uint32_t value) {
        words[0] = value;
        seeded = 1;
        ready = 0;
        next = 0;
        firstRound = true;
    }

    std::uint32_t operator()() {
        if (next >= ready) makeReady();
        std::uint32_t y = words[next++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= y >> 18;
        return y;
    }

private:
    static constexpr int kWords = 624;
    static constexpr int kShift = 397;

    // Makes words[next] (and a few after it) ready to be tempered.
    void makeReady();
    void seedUpTo(int count);
    void twistWord(int k);

    std::uint32_t words[kWords];
    int seeded;  // first round: words[0, seeded) hold the seeding values
    int ready;   // words[0, ready) hold the current round's values
    int next;    // the next word to temper
    bool firstRound;
};

// ---- What the histories of one call share ----

// How a history finds the system state after a component fails or is repaired. Both give the
// tree's answer.
enum class FailureLogic {
    automatic,  // whichever is faster for the tree's size (see CompiledModel::countsCutSets)
    tree,       // ask the tree, only when the change can alter the system state
    counts,     // count the failed members of every stored cut set
};

// The model and the tree prepared once for many histories: the laws in one contiguous table and
// the failure logic in the form that answers fastest. Read-only once built, so any number of
// threads may run histories of it at once. Borrows the laws and the tree, which must outlive it.
class CompiledModel {
public:
    // Runs checkRunArguments first. Entries a row does not hold, null entries and plain
    // Distribution entries all count as never firing; checkModelShape is the caller's affair.
    CompiledModel(const ComponentModel& model, CutsetTree* cutSetTree,
                  FailureLogic logic = FailureLogic::automatic);

    int components() const { return numComponents; }
    int states() const { return numStates; }
    // The laws of the transitions of `component` out of `state`, numStates of them in target
    // order; an entry is null when the transition never fires (its draw is still spent, without
    // asking the law).
    const Distribution* const* row(int component, int state) const {
        return &laws[rowStart(component, state)];
    }

    CutsetTree& tree() const { return *cutSetTree; }
    // The tree already answers "failed" with every component working (it stores a cut set
    // without members): every event then leaves the system failed.
    bool failedWhenAllWork() const { return alwaysFailed; }
    // Whether the histories count the failed members of every cut set instead of asking the
    // tree: chosen when a component belongs on average to at most about twice as many cut sets
    // as there are components, where a few increments cost less than a walk of the tree.
    bool countsCutSets() const { return countMembers; }
    // Cut sets (that can fail) holding `component`: [first, last) into cutSetOf.
    const int* cutSetsOfBegin(int component) const { return &cutSetOf[memberStart[component]]; }
    const int* cutSetsOfEnd(int component) const { return &cutSetOf[memberStart[component + 1]]; }
    const std::vector<int>& cutSetSizes() const { return sizes; }

private:
    std::size_t rowStart(int component, int state) const {
        return (static_cast<std::size_t>(component) * static_cast<std::size_t>(numStates) +
                static_cast<std::size_t>(state)) *
               static_cast<std::size_t>(numStates);
    }
    void prepareCounting(FailureLogic logic);

    int numComponents;
    int numStates;
    std::vector<const Distribution*> laws;
    CutsetTree* cutSetTree;
    bool alwaysFailed = false;
    bool countMembers = false;
    std::vector<int> memberStart;  // numComponents + 1 offsets into cutSetOf
    std::vector<int> cutSetOf;
    std::vector<int> sizes;        // members of each counted cut set
};

// How a history finds its next event. Both give the same event at every step: the earliest due
// time, the lowest component index among equal ones, and a component re-sampled with a negative
// delay before anything else.
enum class EventSelection {
    automatic,  // scan for few components, heap for many
    scan,       // a pass over all components per event
    heap,       // an indexed binary heap: O(log components) per event
};

// The engine's choices for a Simulation; every combination gives the same history.
struct EngineOptions {
    EventSelection events = EventSelection::automatic;
    FailureLogic failureLogic = FailureLogic::automatic;
};

class HistoryEngine;  // the event loop, private to simulation.cpp

// Runs histories of one compiled model one after the other on one thread and adds each
// history's changes of system state into a difference buffer: +1 at the time unit where the
// system enters the failed state, -1 (modulo 2^32) where it leaves it. Over many histories, the
// prefix sum of the buffer is, per time unit, the number of histories in which the system was
// failed. A history costs in proportion to its events, not to simTime.
// All memory is allocated by the constructor; a history allocates nothing. One thread at a time.
class ChangeRecorder {
public:
    // Borrows `model`, which must outlive the recorder. simTime >= 0.
    ChangeRecorder(const CompiledModel& model, int simTime,
                   EventSelection selection = EventSelection::automatic);
    ~ChangeRecorder();
    ChangeRecorder(const ChangeRecorder&) = delete;
    ChangeRecorder& operator=(const ChangeRecorder&) = delete;

    // Runs the history seeded with `seed`; differences needs simTime entries. Throws as
    // Simulation::runSimulation does; the buffer then holds part of the history's changes.
    void record(std::uint32_t seed, unsigned int* differences);

private:
    std::unique_ptr<HistoryEngine> engine;
};

// Turns a difference buffer into counts in place: values[t] becomes values[0] + ... + values[t]
// modulo 2^32.
void prefixSumInPlace(unsigned int* values, std::size_t n) noexcept;

// Events one component may take part in within one time unit before its history is taken to
// be stuck in a cycle of transitions with zero delay. Counting per component keeps the check
// O(1) per event, and bursts of many components in one time unit never reach it.
inline constexpr std::int64_t kMaxEventsPerComponentAndTimeUnit = 1'000'000;

// ---- One history ----

class Simulation {
public:
    // Borrows the model, the tree and the series for the object's whole life; all three must
    // outlive it. The model must satisfy checkModelShape (the runners check it once per call);
    // only checkRunArguments is repeated here, before anything is allocated. stateSeries needs
    // room for simTime entries (simTime >= 0). The engine is std::mt19937 seeded with the
    // 32-bit pattern of seed.
    Simulation(int simTime, const ComponentModel& transitionsMatrix, CutsetTree* cutSetTree,
               unsigned int* stateSeries, std::uint32_t seed, EngineOptions options = {});
    // A temporary model would dangle: the history keeps a reference to it.
    Simulation(int, ComponentModel&&, CutsetTree*, unsigned int*, std::uint32_t,
               EngineOptions = {}) = delete;
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // Runs the whole history: afterwards stateSeries[0 .. simTime - 1] holds the series and
    // transitionLog() every state change. Exceptions of a law's quantile leave unchanged; the
    // history is then unusable. Throws std::runtime_error "History stopped advancing at time
    // unit T: ..." when one component takes part in more than kMaxEventsPerComponentAndTimeUnit
    // events of one time unit, which only a cycle of transitions with zero delay reaches.
    void runSimulation();

    // The steps of runSimulation, in the order it takes them.
    // First sampling from state 0 at time 0. A quantile below 0, above 2147483647 or NaN prints
    // "Warning: nextTimeDouble is out of bounds: " q "  " p on standard output (one whole line,
    // under the lock the runners print with) and is skipped.
    void initRealizations();
    // One event step; call while time() < simTime.
    void tick();

    // The state changes so far, in the order they took effect.
    const std::vector<Transition>& transitionLog() const { return transitions; }
    int time() const;
    // The pending transition of `component`: nextTime counts from time(); a component
    // re-sampled with a negative delay shows it as 0 (it fires next).
    Realization pendingTransition(int component) const;

private:
    CompiledModel compiled;
    std::unique_ptr<HistoryEngine> engine;
    std::vector<Transition> transitions;
    unsigned int* stateSeries;
};
