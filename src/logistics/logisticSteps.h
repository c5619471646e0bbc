// The steps of a repair's logistics in the dependent event loop: members of
// DependentHistoryEngine (declared in dependentHistory.h), kept here with the logistics they
// run. Included by dependentHistory.h only.
//
// Slots: after the components and the common-cause groups come one timer per component (its
// logistic delay or its crew's mobilisation; none when no repair waits for either) and one per
// stock (its next delivery); they fire in slot order among events of the same time, as every
// slot does.
#pragma once

// A component of a logistics role went down: its delay, else its crew, else its part.
template <class Output>
void DependentHistoryEngine::beginRepair(int component, Output& out) {
    const Distribution* delay = logi.logistics().component(component).delay;
    if (delay != nullptr) {
        logi.enter(component, LogisticState::kDelay, currentTime);
        setTimer(timerSlot(component), *delay, out);
        return;
    }
    afterDelay(component, out);
}

template <class Output>
void DependentHistoryEngine::afterDelay(int component, Output& out) {
    if ((rolesOf(component) & kRolePooled) != 0) {
        joinCrewQueue(component);
        return;
    }
    takePart(component, out);
}

// The crew is at the unit: a part if the repair takes one, else the repair.
template <class Output>
void DependentHistoryEngine::takePart(int component, Output& out) {
    const int s = logi.logistics().component(component).stock;
    if (s < 0) {
        drawRepair(component, out);
        return;
    }
    const SparesStock& stock = logi.logistics().stocks()[static_cast<std::size_t>(s)];
    const LogisticsLayout& layout = logi.figuresLayout();
    logi.count(layout.stock(s, LogisticsLayout::kDemands));
    const bool onShelf = logi.shelf(s) > 0;
    if (onShelf) {
        logi.changeShelf(s, -1, currentTime);
    } else {
        logi.count(layout.stock(s, LogisticsLayout::kStockOuts));
        logi.enter(component, LogisticState::kWaitPart, currentTime);
        logi.await(s, component);
    }
    if (stock.reorderPoint < 0) {
        placeOrder(s, 1, out);
    } else {
        const int position = logi.shelf(s) + logi.onOrder(s) - logi.waitingCount(s);
        if (position <= stock.reorderPoint) placeOrder(s, stock.orderUpTo - position, out);
    }
    if (onShelf) drawRepair(component, out);
}

template <class Output>
void DependentHistoryEngine::placeOrder(int s, int parts, Output& out) {
    const SparesStock& stock = logi.logistics().stocks()[static_cast<std::size_t>(s)];
    const double p = static_cast<double>(unitFloatFromBits(nextBits()));
    const int delay = delayFromQuantile(stock.leadTime->quantile(p, currentTime));
    logi.order(s, delay < 0 ? currentTime : dueTime(currentTime, delay), parts);
    scheduleDelivery(s, out);
}

template <class Output>
void DependentHistoryEngine::scheduleDelivery(int s, Output& out) {
    const int slot = stockSlot(s);
    const int next = logi.nextArrival(s, kNothingDue);
    due[at(slot)] = next;
    drawnWithin[at(slot)] = 0;  // a delivery changes no state itself
    if (next < simTime) out.expect(next);
    if (useHeap) queue.update(slot, next);
}

template <class Output>
void DependentHistoryEngine::setTimer(int slot, const Distribution& law, Output& out) {
    const double p = static_cast<double>(unitFloatFromBits(nextBits()));
    const double q = law.quantile(p, currentTime);
    setDue(slot, delayFromQuantile(q), withinOneUnit(q), out);
}

// A timer or a delivery is due.
template <class Output>
void DependentHistoryEngine::fireLogistics(int index, Output& out) {
    if (index < timerSlots) {
        const int component = index;
        due[at(timerSlot(component))] = kNothingDue;
        if (useHeap) queue.update(timerSlot(component), kNothingDue);
        if (logi.phaseOf(component) == LogisticState::kDelay) {
            afterDelay(component, out);
        } else if (logi.phaseOf(component) == LogisticState::kMobilising) {
            takePart(component, out);
        }
        return;
    }
    const int s = index - timerSlots;
    logi.changeShelf(s, logi.arrive(s), currentTime);
    while (logi.shelf(s) > 0 && logi.anyWaiting(s)) {
        const int component = logi.nextWaiting(s);
        logi.changeShelf(s, -1, currentTime);
        drawRepair(component, out);
    }
    scheduleDelivery(s, out);
}

// The component is up before its sequence ended: its timer stops, its place in a stock's line
// goes (the part it asked for stays ordered).
inline void DependentHistoryEngine::endRepairSequence(int component) {
    const LogisticState::Phase phase = logi.phaseOf(component);
    if (phase == LogisticState::kDelay || phase == LogisticState::kMobilising) {
        due[at(timerSlot(component))] = kNothingDue;
        if (useHeap) queue.update(timerSlot(component), kNothingDue);
    } else if (phase == LogisticState::kWaitPart) {
        logi.stopWaiting(logi.logistics().component(component).stock, component);
    }
}

// ---- A standby unit's lives ----

// Keeps what is left of the unit's pending life as it leaves its state.
inline void DependentHistoryEngine::keepLife(KeptLife& life, int component) {
    const std::size_t c = at(component);
    life.kept = true;
    life.target = moves[c].target;
    life.delay = due[c] == kNothingDue ? kNeverDelay : due[c] - currentTime;
    life.within = drawnWithin[c] != 0;
}

// Continues a kept life in the state just entered; false when there is none to continue.
template <class Output>
bool DependentHistoryEngine::resumeLife(KeptLife& life, int component, Output& out) {
    if (!life.kept) return false;
    life.kept = false;
    moves[at(component)] = PendingMove{states[at(component)], life.target};
    setDue(component, life.delay, life.within, out);
    return true;
}
