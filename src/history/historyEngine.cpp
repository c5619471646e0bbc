#include "history/historyEngine.h"

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "utils.h"

HistoryEngine::HistoryEngine(const CompiledModel& model, int simTime, EventSelection selection,
                             FirstSampling firstSampling)
    : model(model),
      numComponents(model.components()),
      numStates(model.states()),
      simTime(simTime),
      useHeap(selection == EventSelection::heap ||
              (selection == EventSelection::automatic &&
               model.components() >= kHeapFromSlots)),
      firstSampling(firstSampling),
      componentStates(static_cast<std::size_t>(numComponents), 0),
      due(static_cast<std::size_t>(numComponents), kNothingDue),
      moves(static_cast<std::size_t>(numComponents), PendingMove{0, 0}),
      unitOfLastEvent(static_cast<std::size_t>(numComponents), -1),
      eventsInUnit(static_cast<std::size_t>(numComponents), 0),
      failures(model),
      drawnWithin(static_cast<std::size_t>(numComponents), 0) {
    if (useHeap) queue.resize(numComponents);
}

void HistoryEngine::start(std::uint32_t seed) {
    generator.seed(seed);
    std::fill(componentStates.begin(), componentStates.end(), 0);
    std::fill(unitOfLastEvent.begin(), unitOfLastEvent.end(), -1);
    failures.reset();
    systemState = 0;
    currentTime = 0;
    urgent = -1;
}

void HistoryEngine::sampleFirst() {
    for (int c = 0; c < numComponents; ++c) sampleFirstOf(c);
    if (useHeap) queue.rebuild(due.data());
}

void HistoryEngine::sampleFirstOf(int component) {
    const Distribution* const* laws = model.row(component, 0);
    int best = kNeverDelay;
    int target = 0;
    for (int k = 0; k < numStates; ++k) {
        const std::uint32_t bits = nextBits();
        if (laws[k] == nullptr) continue;  // never fires: no warning, never chosen
        const double p = static_cast<double>(unitFloatFromBits(bits));
        const double q = laws[k]->quantile(p, 0);
        if (!keepsFirstDraw(firstSampling, q, p)) continue;
        // Under fireNegative, delayFromQuantile makes NaN and too large a result kNeverDelay.
        const int delay = delayFromQuantile(q);
        if (delay < best) {
            best = delay;
            target = k;
        }
    }
    // A negative delay is overdue at time 0; kNeverDelay is kNothingDue.
    due[static_cast<std::size_t>(component)] = std::max(best, 0);
    moves[static_cast<std::size_t>(component)] = PendingMove{0, target};
    drawnWithin[static_cast<std::size_t>(component)] = 0;
}

bool keepsFirstDraw(FirstSampling mode, double q, double p) {
    if (mode == FirstSampling::fireNegative || (q >= 0.0 && q <= 2147483647.0)) {
        return true;
    }
    std::ostringstream line;
    line << "Warning: nextTimeDouble is out of bounds: " << q << "  " << p << '\n';
    printWholeLine(std::cout, line.str());
    return false;
}

void HistoryEngine::throwStuck(int component) const {
    throw std::runtime_error(
        "History stopped advancing at time unit " + std::to_string(currentTime) +
        ": component " + std::to_string(component) + " took part in more than " +
        std::to_string(kMaxEventsPerComponentAndTimeUnit) +
        " events in it (a cycle of transitions with zero delay).");
}
