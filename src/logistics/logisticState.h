// The per-history state of repair logistics (logistics.h) that needs nothing of the event loop:
// where each component is in its repair sequence, its virtual age, the stocks' shelves and
// orders, and the figures of the history, kept as the history runs. The event loop
// (dependentHistory.h, with logisticSteps.h) moves components through the sequence and tells
// this state of every change; this state only counts.
//
// Inactive (every call a no-op, nothing allocated) for a model without logistics. Used by one
// history at a time; start() begins a new history without allocating, except that a stock's
// list of parts on order may grow beyond the room reserved for it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "distributions.h"
#include "logistics/logistics.h"

// The production a history has lost by `time` (capacity units x time units), as an output that
// follows the system's capacity tells it (lostProduction(time), capacityTally.h); 0 for an
// output that does not.
template <class Output, class = void>
struct FollowsProduction : std::false_type {};
template <class Output>
struct FollowsProduction<
    Output, std::void_t<decltype(std::declval<const Output&>().lostProduction(0))>>
    : std::true_type {};

template <class Output>
double lostProductionOf(const Output& out, int time) {
    if constexpr (FollowsProduction<Output>::value) {
        return out.lostProduction(time);
    } else {
        return 0.0;
    }
}

class LogisticState {
public:
    // Where a down component is in its repair sequence.
    enum Phase { kIdle = 0, kDelay, kWaitCrew, kMobilising, kWaitPart, kRepairing };

    LogisticState() = default;
    // `poolOf[c]`: the crew pool of each component (-1: none); `failTargets[c]`: the failed
    // state its ageing failure law leads into.
    void prepare(const Logistics* logistics, std::vector<int> poolOf, std::vector<int> failTargets);

    bool active() const { return plan != nullptr; }
    const Logistics& logistics() const { return *plan; }

    // A new history: every component up (or down, as `downNow` says), ages at their initial
    // values, shelves full, nothing on order.
    void start(const int* downNow);

    // ---- Causes and counts ----
    // planned: the unit went into a planned state (a calendar's maintenance or test), which
    // is planned downtime, not a failure.
    void wentDown(int c, int now, bool planned = false) {
        LogisticsLayout& l = layout;
        if (!planned) figures[i(l.component(c, LogisticsLayout::kFailures))] += 1;
        ran[i(c)] += now - upSince[i(c)];
        const int why = planned ? LogisticsLayout::kPlanned : LogisticsLayout::kRepair;
        cause[i(c)] = why;
        causeSince[i(c)] = now;
        ++downByCause[why];
        ++down;
    }
    void cameUp(int c, int now) {
        closeCause(c, now);
        --downByCause[cause[i(c)]];
        cause[i(c)] = -1;
        --down;
        phase[i(c)] = kIdle;
        figures[i(layout.component(c, LogisticsLayout::kRepairs))] += 1;
        const ComponentLogistics& entry = plan->component(c);
        const double x = ran[i(c)];
        const double r = entry.restoration;
        age[i(c)] = entry.ageing == AgeingModel::kijima1 ? age[i(c)] + (1.0 - r) * x
                                                         : (1.0 - r) * (age[i(c)] + x);
        ran[i(c)] = 0.0;
        upSince[i(c)] = now;
    }
    void enter(int c, Phase next, int now) {
        phase[i(c)] = next;
        const int nextCause = causeOf(next);
        // Planned downtime stays planned whatever its repair waits for.
        if (cause[i(c)] == nextCause || cause[i(c)] < 0 ||
            cause[i(c)] == LogisticsLayout::kPlanned) {
            return;
        }
        closeCause(c, now);
        --downByCause[cause[i(c)]];
        cause[i(c)] = nextCause;
        ++downByCause[nextCause];
    }
    Phase phaseOf(int c) const { return static_cast<Phase>(phase[i(c)]); }

    // The system was in `systemState` during [from, to): its downtime is shared among the
    // causes of the components down, equally per component.
    void advance(int from, int to, int systemState) {
        if (systemState == 0 || to <= from) return;
        const double span = static_cast<double>(to - from);
        const int first = layout.system(0);
        if (down == 0) {
            figures[i(first + LogisticsLayout::kRepair)] += span;
            return;
        }
        const double share = span / down;
        for (int k = 0; k < LogisticsLayout::kCauses; ++k) {
            if (downByCause[k] != 0) figures[i(first + k)] += share * downByCause[k];
        }
    }

    // ---- Ages ----
    // Whether the component's next draw from `state` into `target` is conditioned on its age.
    bool aged(int c, int state, int target) const {
        return state == 0 && target == failTarget[i(c)] && age[i(c)] > 0.0;
    }
    // The delay to the next failure drawn from p, given survival to the component's age.
    double agedQuantile(int c, const Distribution& law, double p, int now) const {
        const ComponentLogistics& entry = plan->component(c);
        const double v = age[i(c)];
        if (entry.weibullScale > 0.0) {
            const double scale = entry.weibullScale;
            const double k = entry.weibullShape;
            return scale * std::pow(std::pow(v / scale, k) - std::log1p(-p), 1.0 / k) - v;
        }
        const double reached = law.cdf(v);
        return law.quantile(reached + p * (1.0 - reached), now) - v;
    }

    // ---- Stocks ----
    int shelf(int s) const { return shelves[i(s)]; }
    void changeShelf(int s, int delta, int now) {
        figures[i(layout.stock(s, LogisticsLayout::kShelfSteps))] +=
            static_cast<double>(shelves[i(s)]) * (now - shelfSince[i(s)]);
        shelfSince[i(s)] = now;
        shelves[i(s)] += delta;
    }
    void count(int figure, double amount = 1.0) { figures[i(figure)] += amount; }
    const LogisticsLayout& figuresLayout() const { return layout; }
    // Parts asked for and not yet in hand, oldest first.
    bool anyWaiting(int s) const { return !waiting[i(s)].empty(); }
    int waitingCount(int s) const { return static_cast<int>(waiting[i(s)].size()); }
    void await(int s, int c) { waiting[i(s)].push_back(c); }
    int nextWaiting(int s) {
        std::vector<int>& line = waiting[i(s)];
        const int c = line.front();
        line.erase(line.begin());
        return c;
    }
    void stopWaiting(int s, int c) {
        std::vector<int>& line = waiting[i(s)];
        line.erase(std::remove(line.begin(), line.end(), c), line.end());
    }
    // Orders on their way: (arrival time, parts), earliest first.
    int onOrder(int s) const { return ordered[i(s)]; }
    void order(int s, int arrival, int parts) {
        std::vector<std::pair<int, int>>& list = arrivals[i(s)];
        list.emplace_back(arrival, parts);
        std::push_heap(list.begin(), list.end(), std::greater<>());
        ordered[i(s)] += parts;
        figures[i(layout.stock(s, LogisticsLayout::kOrders))] += 1;
        figures[i(layout.stock(s, LogisticsLayout::kPartsOrdered))] += parts;
    }
    // kNeverDelay-like: the time of the next arrival, or `never` when nothing is on order.
    int nextArrival(int s, int never) const {
        return arrivals[i(s)].empty() ? never : arrivals[i(s)].front().first;
    }
    // Takes the next order off the list; returns its parts.
    int arrive(int s) {
        std::vector<std::pair<int, int>>& list = arrivals[i(s)];
        std::pop_heap(list.begin(), list.end(), std::greater<>());
        const int parts = list.back().second;
        list.pop_back();
        ordered[i(s)] -= parts;
        return parts;
    }

    // ---- Crews ----
    void crewTaken(int c, int pool, int now) {
        crewSince[i(c)] = now;
        figures[i(layout.pool(pool, LogisticsLayout::kCalls))] += 1;
    }
    void crewReleased(int c, int pool, int now) {
        figures[i(layout.pool(pool, LogisticsLayout::kBusySteps))] += now - crewSince[i(c)];
        crewSince[i(c)] = -1;
    }

    // The history is over at simTime: closes what is open, takes the history's lost production
    // (capacity units x time units; 0 without capacities) as its last figure when some cost
    // prices it (else that figure stays 0, as in sums kept before it was one) and adds the
    // figures to `tally`.
    void finish(int simTime, LogisticsTally* tally, double lostProduction = 0.0);

private:
    static std::size_t i(int index) { return static_cast<std::size_t>(index); }
    static int causeOf(int phase) {
        switch (phase) {
            case kDelay: return LogisticsLayout::kDelay;
            case kWaitCrew:
            case kMobilising: return LogisticsLayout::kCrew;
            case kWaitPart: return LogisticsLayout::kPart;
            default: return LogisticsLayout::kRepair;
        }
    }
    void closeCause(int c, int now) {
        figures[i(layout.component(c, cause[i(c)]))] += now - causeSince[i(c)];
        causeSince[i(c)] = now;
    }

    const Logistics* plan = nullptr;
    LogisticsLayout layout;
    int numComponents = 0;
    bool pricesLost = false;  // some cost kind weighs the lost production
    std::vector<double> figures;
    std::vector<double> costs;
    std::vector<int> phase;
    std::vector<int> cause;  // -1: up
    std::vector<int> causeSince;
    int downByCause[LogisticsLayout::kCauses] = {};
    int down = 0;
    std::vector<int> failTarget;
    std::vector<double> age;
    std::vector<double> ran;  // time up since the last repair
    std::vector<int> upSince;
    std::vector<int> crewSince;  // -1: holds no crew
    std::vector<int> poolOfComponent;
    std::vector<int> shelves;
    std::vector<int> shelfSince;
    std::vector<int> ordered;
    std::vector<std::vector<int>> waiting;
    std::vector<std::vector<std::pair<int, int>>> arrivals;
};
