// One Monte Carlo history of the modelled system, in whole time units from 0 up to, not
// including, the horizon simTime, and the recorder the batch runners run many histories with.
//
// The history unit is split by concern; this header brings them all in, so a caller needs no
// other:
//   randomDraw.h      the generator, the uniform draw and the quantile-to-delay conversion
//   compiledModel.h   the component model, its checks, and the form histories share
//   eventHeap.h       the event queue
//   historyEngine.h   the event loop (a template over its output)
//   historyOutputs.h  the outputs: the whole series and log, or only the changes
//
// A Simulation or ChangeRecorder is used by one thread at a time. They only read the laws, the
// model and the tree, which many histories may share at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "history/compiledModel.h"
#include "cutsetTree.h"
#include "distributions.h"
#include "history/eventHeap.h"
#include "history/historyEngine.h"
#include "history/historyOutputs.h"
#include "history/randomDraw.h"

// The engine's choices for a Simulation; every combination gives the same history.
struct EngineOptions {
    EventSelection events = EventSelection::automatic;
    FailureLogic failureLogic = FailureLogic::automatic;
};

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

// ---- One history ----

// Writes the system state (0 working, 1 failed) of every time unit into a caller-owned series
// and logs every state change.
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
