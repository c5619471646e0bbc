// One Monte Carlo history of the modelled system, in whole time units from 0 up to, not
// including, the horizon simTime.
//
// Every component has at most one pending transition, sampled from the laws of its current
// state. The earliest one fires, the component changes state, the system state is recomputed
// through the cutset tree, and only the component that fired is re-sampled. The system state
// (0 working, 1 failed) of every time unit is written into a caller-owned series.
//
// A Simulation is used by one thread from construction to destruction. It only reads the laws,
// the model and the tree, which many histories may share at once.
#pragma once

#include <cstdint>
#include <random>
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

// The uniform number in [0, 1) given to quantile, from one 32-bit engine output x:
// float(x) * 2^-32 with round-to-nearest conversion, a result of 1.0f becoming 0.99999994f.
inline float unitFloatFromBits(std::uint32_t x) noexcept {
    // The conversion is the only rounding: scaling by a power of two is exact. Outputs within
    // 128 of 2^32 round up to 2^32 itself, hence the clamp below 1.
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

// ---- One history ----

class Simulation {
public:
    // Borrows the model, the tree and the series for the object's whole life; all three must
    // outlive it. The model must satisfy checkModelShape (the runners check it once per call);
    // only checkRunArguments is repeated here, before anything is allocated. stateSeries needs
    // room for simTime entries (simTime >= 0). The engine is std::mt19937 seeded with the
    // 32-bit pattern of seed.
    Simulation(int simTime, const ComponentModel& transitionsMatrix, CutsetTree* cutSetTree,
               unsigned int* stateSeries, std::uint32_t seed);
    // A temporary model would dangle: the history keeps a reference to it.
    Simulation(int, ComponentModel&&, CutsetTree*, unsigned int*, std::uint32_t) = delete;
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // Runs the whole history: afterwards stateSeries[0 .. simTime - 1] holds the series.
    // Exceptions of a law's quantile leave unchanged; the history is then unusable.
    // Throws std::runtime_error when a time unit sees more events than maxEventsPerTimeUnit(),
    // which only a cycle of transitions with zero delay reaches. The event loop allocates only
    // to grow the transition log (by doubling); the tree is asked without copies.
    void runSimulation();

    // The steps of runSimulation, in the order it takes them.
    // First sampling from state 0 at time 0. A quantile below 0, above 2147483647 or NaN prints
    // "Warning: nextTimeDouble is out of bounds: " q "  " p on standard output and is skipped.
    void initRealizations();
    // One event step; call while currentTime < simTime.
    void tick();
    // System state from the component states, through the tree.
    void updateSystemState();
    // Ages every pending transition by elapsed time units and re-samples `component`.
    void updateRealizations(int component, int elapsed);

    // The state changes so far, in the order they took effect.
    const std::vector<Transition>& transitionLog() const { return transitions; }
    int time() const { return currentTime; }
    // Events allowed in one time unit before the history is taken to be stuck.
    std::int64_t maxEventsPerTimeUnit() const { return eventBound; }

private:
    friend struct SimulationInspector;  // unit tests set up pending transitions directly

    // Inline, for the event loop: the library is position-independent code, in which a plain
    // external function may be interposed and is never inlined. Only simulation.cpp uses them.
    inline float draw();
    // Draws p, asks law [component][state][target] at the current time, returns q.
    inline double sampleQuantile(int component, int state, int target, double& p);
    inline void fillSeries(int from, int to);
    inline void countEventAtCurrentTime();

    int numComponents;
    int numStates;
    int simTime;
    const ComponentModel& transitionsMatrix;
    std::mt19937 generator;
    std::vector<int> componentStates;
    unsigned int* stateSeries;
    int systemState = 0;
    std::vector<Realization> realizations;
    std::vector<Transition> transitions;
    int currentTime = 0;
    CutsetTree* cutSetTree;

    // Cutset vector of the failed components, kept up to date event by event, so the tree can
    // be asked without building a vector per event.
    std::vector<int> failedComponents;
    std::int64_t eventBound;
    std::int64_t eventsAtCurrentTime = 0;
};
