#include "simulation.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <string>
#include <typeinfo>

// ---- Checks ----

void checkRunArguments(const ComponentModel& model, const CutsetTree* cutSetTree) {
    if (cutSetTree == nullptr) {
        throw std::invalid_argument("Cutset matrix must not be null.");
    }
    // model[0] may only be read once the model is known to have it.
    if (model.empty() || model[0].empty()) {
        throw std::invalid_argument("Transitions matrix must not be empty.");
    }
}

namespace {

// The base law never fires whatever it is asked, so an entry holding it is no way out of a state.
// Python subclasses of Distribution reach the engine as this very type as well.
bool neverFires(const Distribution& law) { return typeid(law) == typeid(Distribution); }

std::string where(std::size_t component, std::size_t state) {
    return "Component " + std::to_string(component) + ", state " + std::to_string(state) + ": ";
}

void checkRowsOfComponent(std::size_t component,
                          const std::vector<std::vector<Distribution*>>& rows,
                          std::size_t numStates) {
    for (std::size_t state = 0; state < rows.size(); ++state) {
        const auto& row = rows[state];
        if (row.size() != numStates) {
            throw std::invalid_argument(where(component, state) + "expected " +
                                        std::to_string(numStates) + " transition laws, found " +
                                        std::to_string(row.size()) + ".");
        }
        for (std::size_t target = 0; target < numStates; ++target) {
            if (row[target] == nullptr) {
                throw std::invalid_argument(where(component, state) +
                                            "the law of the transition into state " +
                                            std::to_string(target) + " is missing (None).");
            }
        }
    }
}

// Walks the states the component can enter from state 0; each of them needs a row.
void checkReachableRows(std::size_t component,
                        const std::vector<std::vector<Distribution*>>& rows,
                        std::size_t numStates) {
    if (rows.empty()) {
        throw std::invalid_argument("Component " + std::to_string(component) +
                                    " has no row of laws for its initial state 0.");
    }
    std::vector<bool> reached(numStates, false);
    std::vector<std::size_t> pending{0};
    reached[0] = true;
    while (!pending.empty()) {
        const std::size_t state = pending.back();
        pending.pop_back();
        for (std::size_t target = 0; target < numStates; ++target) {
            if (reached[target] || neverFires(*rows[state][target])) continue;
            if (target >= rows.size()) {
                throw std::invalid_argument(where(component, state) +
                                            "the transition into state " +
                                            std::to_string(target) +
                                            " leads to a state without a row of laws.");
            }
            reached[target] = true;
            pending.push_back(target);
        }
    }
}

}  // namespace

void checkModelShape(const ComponentModel& model) {
    const std::size_t numStates = model[0].size();
    for (std::size_t component = 0; component < model.size(); ++component) {
        checkRowsOfComponent(component, model[component], numStates);
        checkReachableRows(component, model[component], numStates);
    }
}

void checkModel(const ComponentModel& model, const CutsetTree* cutSetTree) {
    checkRunArguments(model, cutSetTree);
    checkModelShape(model);
}

// ---- One history ----

namespace {

// A cycle of zero delays is the only way a sensible model piles up events in one time unit;
// legitimate bursts stay far below a thousand events per component and state.
std::int64_t eventBoundFor(std::size_t numComponents, std::size_t numStates) {
    const auto scaled = static_cast<std::int64_t>(numComponents) *
                        static_cast<std::int64_t>(numStates) * 1000;
    return std::max<std::int64_t>(1'000'000, scaled);
}

// The constructor's checks must run before numStates reads component 0.
int checkedComponentCount(const ComponentModel& model, const CutsetTree* cutSetTree) {
    checkRunArguments(model, cutSetTree);
    return static_cast<int>(model.size());
}

}  // namespace

Simulation::Simulation(int simTime, const ComponentModel& transitionsMatrix,
                       CutsetTree* cutSetTree, unsigned int* stateSeries, std::uint32_t seed)
    : numComponents(checkedComponentCount(transitionsMatrix, cutSetTree)),
      numStates(static_cast<int>(transitionsMatrix[0].size())),
      simTime(simTime),
      transitionsMatrix(transitionsMatrix),
      generator(seed),
      componentStates(static_cast<std::size_t>(numComponents), 0),
      stateSeries(stateSeries),
      realizations(static_cast<std::size_t>(numComponents), Realization{0, 0, 0}),
      cutSetTree(cutSetTree),
      failedComponents(static_cast<std::size_t>(numComponents), 0),
      eventBound(eventBoundFor(transitionsMatrix.size(), transitionsMatrix[0].size())) {}

void Simulation::runSimulation() {
    initRealizations();
    while (currentTime < simTime) {
        tick();
    }
}

inline float Simulation::draw() {
    return unitFloatFromBits(static_cast<std::uint32_t>(generator()));
}

inline double Simulation::sampleQuantile(int component, int state, int target, double& p) {
    // The draw comes first whatever the law, so the stream of draws does not depend on the laws.
    p = static_cast<double>(draw());
    return transitionsMatrix[component][state][target]->quantile(p, currentTime);
}

void Simulation::initRealizations() {
    for (int c = 0; c < numComponents; ++c) {
        Realization& pending = realizations[c];
        pending = Realization{kNeverDelay, 0, 0};
        for (int k = 0; k < numStates; ++k) {
            double p = 0.0;
            const double q = sampleQuantile(c, 0, k, p);
            if (!(q >= 0.0 && q <= 2147483647.0)) {
                std::cout << "Warning: nextTimeDouble is out of bounds: " << q << "  " << p
                          << std::endl;
                continue;
            }
            const int delay = delayFromQuantile(q);
            if (delay < pending.nextTime) {
                pending = Realization{delay, 0, k};
            }
        }
    }
}

inline void Simulation::fillSeries(int from, int to) {
    if (to > from) {
        std::fill(stateSeries + from, stateSeries + to, static_cast<unsigned int>(systemState));
    }
}

inline void Simulation::countEventAtCurrentTime() {
    if (++eventsAtCurrentTime > eventBound) {
        throw std::runtime_error("History stopped advancing at time unit " +
                                 std::to_string(currentTime) + ": more than " +
                                 std::to_string(eventBound) +
                                 " events took effect in it (a cycle of transitions with zero "
                                 "delay).");
    }
}

void Simulation::tick() {
    // A negative pending time is clamped while it is the best seen so far; being below any
    // clamped 0, it displaces an earlier component pending at 0.
    int best = kNeverDelay;
    int row = -1;
    for (int c = 0; c < numComponents; ++c) {
        Realization& pending = realizations[c];
        if (pending.nextTime < best) {
            if (pending.nextTime < 0) pending.nextTime = 0;
            best = pending.nextTime;
            row = c;
        }
    }

    // Compared with the remaining time: currentTime + best may not fit an int.
    if (row == -1 || best == kNeverDelay || best >= simTime - currentTime) {
        fillSeries(currentTime, simTime);
        currentTime = simTime;
        return;
    }

    fillSeries(currentTime, currentTime + best);
    currentTime += best;
    if (best > 0) eventsAtCurrentTime = 0;
    countEventAtCurrentTime();

    const Realization fired = realizations[row];
    componentStates[row] = fired.nextState;
    failedComponents[row] = fired.nextState != 0 ? 1 : 0;
    transitions.push_back(Transition{currentTime, fired.currentState, fired.nextState, row});
    updateSystemState();
    stateSeries[currentTime] = static_cast<unsigned int>(systemState);
    updateRealizations(row, best);
}

void Simulation::updateSystemState() {
    // failedComponents mirrors componentStates: tick updates both together.
    systemState = cutSetTree->isSystemFailed(failedComponents) ? 1 : 0;
}

void Simulation::updateRealizations(int component, int elapsed) {
    for (Realization& pending : realizations) {
        pending.nextTime -= elapsed;
    }
    const int state = componentStates[component];
    Realization& resampled = realizations[component];
    resampled = Realization{kNeverDelay, state, 0};
    for (int k = 0; k < numStates; ++k) {
        double p = 0.0;
        // No range check here: a negative delay stays and fires at once after the next scan.
        const int delay = delayFromQuantile(sampleQuantile(component, state, k, p));
        if (delay < resampled.nextTime) {
            resampled.nextTime = delay;
            resampled.nextState = k;
        }
    }
}
