#include "dependentHistory.h"

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "utils.h"

DependentHistoryEngine::DependentHistoryEngine(const DependentModel& model, int simTime,
                                               EventSelection selection)
    : model(model),
      base(model.base()),
      numComponents(model.components()),
      numStates(model.states()),
      numSlots(model.components() + model.groups()),
      simTime(simTime),
      useHeap(selection == EventSelection::heap ||
              (selection == EventSelection::automatic && numSlots >= kHeapFromSlots)),
      states(at(numComponents), 0),
      downNow(at(numComponents), 0),
      due(at(numSlots), kNothingDue),
      moves(at(numComponents), PendingMove{0, 0}),
      unitOfLastEvent(at(numSlots), -1),
      eventsInUnit(at(numSlots), 0),
      failures(model.base()),
      downCovered(at(model.standbyUnits()), 0),
      crewHeld(at(numComponents), 0),
      free(at(model.pools()), 0),
      struck(at(model.largestGroup()), 0),
      struckRunning(at(model.largestGroup()), 0) {
    if (useHeap) queue.resize(numSlots);
    waiting.reserve(at(model.pools()));
    for (int p = 0; p < model.pools(); ++p) waiting.emplace_back(model.poolSize(p));
}

void DependentHistoryEngine::start(std::uint32_t seed) {
    generator.seed(seed);
    for (int c = 0; c < numComponents; ++c) {
        states[at(c)] = model.initialState(c);
        downNow[at(c)] = model.isDown(c, states[at(c)]) ? 1 : 0;
    }
    std::fill(unitOfLastEvent.begin(), unitOfLastEvent.end(), -1);
    failures.reset();
    std::fill(downCovered.begin(), downCovered.end(), 0);
    std::fill(crewHeld.begin(), crewHeld.end(), 0);
    for (int p = 0; p < model.pools(); ++p) {
        free[at(p)] = model.crewCount(p);
        waiting[at(p)].clear();
    }
    crewsPending = false;
    systemState = 0;
    currentTime = 0;
    urgent = -1;
}

// The quantile of a first sample, or kNever when it is out of range (NaN included), after the
// warning HistoryEngine prints for it.
double DependentHistoryEngine::firstSample(const Distribution& law, std::uint32_t bits) const {
    const double p = static_cast<double>(unitFloatFromBits(bits));
    const double q = law.quantile(p, 0);
    if (q >= 0.0 && q <= 2147483647.0) return q;
    std::ostringstream line;
    line << "Warning: nextTimeDouble is out of bounds: " << q << "  " << p << '\n';
    printWholeLine(std::cout, line.str());
    return kNever;
}

void DependentHistoryEngine::sampleFirstOf(int component) {
    const int state = states[at(component)];
    const Distribution* const* laws = model.row(component, state);
    // No crew is handed out before the first instant is over.
    const bool skipRepair = (model.roles(component) & kRolePooled) != 0 && downNow[at(component)] != 0;
    int best = kNeverDelay;
    int target = 0;
    for (int k = 0; k < numStates; ++k) {
        const std::uint32_t bits = nextBits();
        if (laws[k] == nullptr || (k == 0 && skipRepair)) continue;
        const double q = firstSample(*laws[k], bits);
        if (q == kNever) continue;
        const int delay = delayFromQuantile(q);
        if (delay < best) {
            best = delay;
            target = k;
        }
    }
    due[at(component)] = best;  // kNeverDelay is kNothingDue
    moves[at(component)] = PendingMove{state, target};
}

void DependentHistoryEngine::sampleFirstShock(int group) {
    const std::uint32_t bits = nextBits();
    const Distribution* law = model.shockLaw(group);
    const double q = law == nullptr ? kNever : firstSample(*law, bits);
    due[at(numComponents + group)] = delayFromQuantile(q);
}

void DependentHistoryEngine::throwStuck(int slot) const {
    const std::string who = slot < numComponents
                                ? "component " + std::to_string(slot)
                                : "common-cause group " + std::to_string(slot - numComponents);
    throw std::runtime_error("History stopped advancing at time unit " +
                             std::to_string(currentTime) + ": " + who + " took part in more than " +
                             std::to_string(kMaxEventsPerComponentAndTimeUnit) +
                             " events in it (a cycle of transitions with zero delay).");
}

void DependentHistoryEngine::joinCrewQueue(int component) {
    const int p = model.poolOf(component);
    const int rank = model.rankInPool(component);
    const std::uint32_t primary = model.crewOrder(p) == CrewOrder::firstFailed
                                      ? static_cast<std::uint32_t>(currentTime)
                                      : static_cast<std::uint32_t>(rank);
    waiting[at(p)].push(rank, CrewQueue::key(primary, component));
    crewsPending = true;
}

// The component is up again: its crew is free, or it no longer waits for one.
void DependentHistoryEngine::leaveCrew(int component) {
    const int p = model.poolOf(component);
    if (crewHeld[at(component)] != 0) {
        crewHeld[at(component)] = 0;
        ++free[at(p)];
        crewsPending = true;
    } else {
        const int rank = model.rankInPool(component);
        if (waiting[at(p)].contains(rank)) waiting[at(p)].remove(rank);
    }
}
