#include "dependent/dependentHistory.h"

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "utils.h"

DependentHistoryEngine::DependentHistoryEngine(const DependentModel& model, int simTime,
                                               EventSelection selection,
                                               FirstSampling firstSampling,
                                               const CalendarModel* calendar)
    : model(model),
      base(model.base()),
      numComponents(model.components()),
      numStates(model.states()),
      calendarModel(calendar),
      numSlots(model.components() + model.groups() +
               (calendar != nullptr ? 1 + static_cast<int>(calendar->tests().size()) : 0) +
               logisticSlots(model)),
      calendarSlot(calendar != nullptr ? model.components() + model.groups() : -1),
      simTime(simTime),
      useHeap(selection == EventSelection::heap ||
              (selection == EventSelection::automatic && numSlots >= kHeapFromSlots)),
      firstSampling(firstSampling),
      downTable(model.downTable()),
      roleTable(model.roleTable()),
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
      struckRunning(at(model.largestGroup()), 0),
      runningLife(at(model.standbyUnits())),
      dormantLife(at(model.standbyUnits())),
      drawnWithin(at(numSlots), 0) {
    if (useHeap) queue.resize(numSlots);
    logisticBase = numSlots - logisticSlots(model);
    if (model.logistics() != nullptr) {
        std::vector<int> pools(at(numComponents));
        std::vector<int> failTargets(at(numComponents));
        for (int c = 0; c < numComponents; ++c) {
            pools[at(c)] = model.poolOf(c);
            failTargets[at(c)] = model.ageingTarget(c);
        }
        logi.prepare(model.logistics(), std::move(pools), std::move(failTargets));
        timerSlots = logisticTimerSlots(model);
    }
    waiting.reserve(at(model.pools()));
    for (int p = 0; p < model.pools(); ++p) waiting.emplace_back(model.poolSize(p));
    if (calendar != nullptr) calendarRun = std::make_unique<CalendarRun>(*calendar, numComponents);
}

void DependentHistoryEngine::start(std::uint32_t seed) {
    generator.seed(seed);
    for (int c = 0; c < numComponents; ++c) {
        states[at(c)] = model.initialState(c);
        downNow[at(c)] = isDown(c, states[at(c)]) ? 1 : 0;
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
    if (calendarRun) calendarRun->reset();
    for (KeptLife& life : runningLife) life.kept = false;
    for (KeptLife& life : dormantLife) life.kept = false;
    if (logi.active()) {
        std::fill(due.begin() + logisticBase, due.end(), kNothingDue);
        logi.start(downNow.data());
    }
}


void DependentHistoryEngine::sampleFirstOf(int component) {
    const int state = states[at(component)];
    const Distribution* const* laws = model.row(component, state);
    // No crew is handed out before the first instant is over.
    const bool skipRepair =
        ((rolesOf(component) & (kRolePooled | kRoleLogistics)) != 0 &&
         downNow[at(component)] != 0) ||
        (calendarModel != nullptr && heldNow(component, state));
    const bool ageing = logi.active() && state == 0;
    int best = kNeverDelay;
    int target = 0;
    for (int k = skipRepair ? 1 : 0; k < numStates; ++k) {
        const std::uint32_t bits = nextBits();
        if (laws[k] == nullptr) continue;
        const double p = static_cast<double>(unitFloatFromBits(bits));
        const double q = ageing && logi.aged(component, state, k)
                             ? logi.agedQuantile(component, *laws[k], p, 0)
                             : laws[k]->quantile(p, 0);
        if (!keepsFirstDraw(firstSampling, q, p)) continue;
        const int delay = delayFromQuantile(q);
        if (delay < best) {
            best = delay;
            target = k;
        }
    }
    if (calendarModel != nullptr) best = calendarDelay(component, state, target, best);
    // A negative delay is overdue at time 0; kNeverDelay is kNothingDue.
    due[at(component)] = std::max(best, 0);
    drawnWithin[at(component)] = 0;
    moves[at(component)] = PendingMove{state, target};
}

void DependentHistoryEngine::sampleFirstShock(int group) {
    const std::uint32_t bits = nextBits();
    const Distribution* law = model.shockLaw(group);
    int delay = kNeverDelay;
    if (law != nullptr) {
        const double p = static_cast<double>(unitFloatFromBits(bits));
        const double q = law->quantile(p, 0);
        if (keepsFirstDraw(firstSampling, q, p)) delay = delayFromQuantile(q);
    }
    due[at(numComponents + group)] = std::max(delay, 0);
    drawnWithin[at(numComponents + group)] = 0;
}

void DependentHistoryEngine::throwStuck(int slot) const {
    const int groups = model.groups();
    const std::string who =
        slot < numComponents ? "component " + std::to_string(slot)
        : slot < numComponents + groups
            ? "common-cause group " + std::to_string(slot - numComponents)
        : slot < logisticBase ? "the calendar"
        : slot < logisticBase + timerSlots
            ? "the logistics of component " + std::to_string(slot - logisticBase)
            : "stock " + std::to_string(slot - logisticBase - timerSlots);
    throw std::runtime_error("History stopped advancing at time unit " +
                             std::to_string(currentTime) + ": " + who + " took part in more than " +
                             std::to_string(kMaxEventsPerComponentAndTimeUnit) +
                             " events in it (a cycle of transitions with zero delay).");
}
