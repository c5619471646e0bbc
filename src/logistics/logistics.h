// Repair logistics of a dependent model: what a repair waits for before it starts (a logistic
// delay, a crew's mobilisation, a spare part from a stock), how much of its age a repair takes
// away (Kijima virtual age), and what a history's downtime and work cost.
//
// Logistics is what a caller builds (from Python, tarvo.Logistics) and attaches to a
// Dependencies; every method checks what it can and throws std::invalid_argument naming what is
// wrong. What needs the component model (the failed state, the pools) is checked by
// LogisticsModel when a run starts. Laws are borrowed and must outlive every run.
//
// The repair of a component, in order (dependentHistory.h runs it):
//   1. its logistic delay, if it has one;
//   2. a crew of its pool, if it has one, then the pool's mobilisation, if any (the crew is
//      busy from the moment it is taken);
//   3. a part from its stock, if it has one: taken from the shelf, or awaited, down, in the
//      order the parts were asked for; every part asked for is reordered at once (one for one),
//      or, under an (s, S) policy, an order of S - position parts is placed when the stock's
//      position (shelf + on order - awaited) falls to s or below;
//   4. its repair law (the transition into state 0), drawn when the part is in hand.
//
// Virtual age v (Kijima): x, the time the component spent up since its last repair, is taken
// into v at each repair: v + (1 - r) x (Kijima I) or (1 - r)(v + x) (Kijima II), r the
// restoration. The next failure (the law from state 0 into the failed state) is drawn
// conditioned on survival to v: in closed form for a Weibull law, through the law's cdf and
// quantile for any other. v = 0 draws exactly as without ageing, so r = 1 is the renewal.
//
// What a history measures is a vector of figures (LogisticsLayout), summed over histories with
// their squares, and five costs (linear in the figures, with weights the caller gives) with
// their total.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "distributions.h"

enum class AgeingModel { kijima1, kijima2 };

// Parses "kijima1" or "kijima2"; throws std::invalid_argument otherwise.
AgeingModel ageingModelFromName(const std::string& name);

struct ComponentLogistics {
    const Distribution* delay = nullptr;  // logistic delay before the crew is called
    int stock = -1;                       // the stock its parts come from; -1: none
    double restoration = 1.0;             // r in [0, 1]
    AgeingModel ageing = AgeingModel::kijima1;
    double initialAge = 0.0;              // virtual age at time 0, engine steps
    // The Weibull failure law in engine steps, for the closed form; 0: use cdf and quantile.
    double weibullScale = 0.0;
    double weibullShape = 0.0;
};

struct SparesStock {
    std::vector<int> parts;  // components whose repair takes a part of it
    int initial = 0;         // parts on the shelf at time 0
    const Distribution* leadTime = nullptr;
    int reorderPoint = -1;   // -1: one for one; else s of an (s, S) policy
    int orderUpTo = 0;       // S
};

// Which figure of a history's vector holds what.
struct LogisticsLayout {
    // Causes of a component's downtime, in this order everywhere.
    enum Cause { kRepair = 0, kDelay = 1, kCrew = 2, kPart = 3, kPlanned = 4, kCauses = 5 };
    // Per component: the downtime by cause (engine steps), then failures and repairs.
    static constexpr int kFailures = 5;
    static constexpr int kRepairs = 6;
    static constexpr int kPerComponent = 7;
    // Per stock: parts asked for, those that found the shelf empty, part-steps on the shelf,
    // orders placed, parts ordered.
    static constexpr int kDemands = 0;
    static constexpr int kStockOuts = 1;
    static constexpr int kShelfSteps = 2;
    static constexpr int kOrders = 3;
    static constexpr int kPartsOrdered = 4;
    static constexpr int kPerStock = 5;
    // Per pool: crew-steps busy, calls (crews taken).
    static constexpr int kBusySteps = 0;
    static constexpr int kCalls = 1;
    static constexpr int kPerPool = 2;
    // Then the system's downtime by cause (shared equally among the components down), and
    // last the history's lost production (capacity units x time units; 0 without capacities).
    // Cost kinds: system downtime, lost production, repairs, crews, parts.
    static constexpr int kCostKinds = 5;

    int components = 0;
    int stocks = 0;
    int pools = 0;

    int component(int c, int figure) const { return c * kPerComponent + figure; }
    int stock(int s, int figure) const { return components * kPerComponent + s * kPerStock + figure; }
    int pool(int p, int figure) const {
        return components * kPerComponent + stocks * kPerStock + p * kPerPool + figure;
    }
    int system(int cause) const { return pool(pools, 0) + cause; }
    int lostProduction() const { return system(kCauses); }
    int size() const { return lostProduction() + 1; }
};

class Logistics {
public:
    // numComponents >= 1; pools is the number of crew pools the Dependencies will have.
    Logistics(int numComponents, int pools);

    int components() const { return numComponents; }
    int pools() const { return numPools; }

    void setRepairDelay(int component, const Distribution* delay);
    // restoration in [0, 1]; initialAge >= 0 (engine steps); weibullScale and weibullShape
    // both positive (the failure law's) or both 0.
    void setAgeing(int component, double restoration, AgeingModel model, double initialAge,
                   double weibullScale, double weibullShape);
    // Returns the stock's index. reorderPoint < 0: one for one; else 0 <= s < S = orderUpTo.
    int addStock(std::vector<int> parts, int initial, const Distribution* leadTime,
                 int reorderPoint, int orderUpTo);
    void setMobilisation(int pool, const Distribution* law);
    // kind in [0, kCostKinds); weights.size() == layout().size(): a history's cost of that
    // kind is the dot product of the weights with its figures, plus `fixed` (>= 0), what the
    // kind costs whatever happens (crews kept on hand, say).
    void setCostWeights(int kind, std::vector<double> weights, double fixed = 0.0);

    const ComponentLogistics& component(int c) const { return perComponent[at(c)]; }
    const std::vector<SparesStock>& stocks() const { return stockList; }
    const Distribution* mobilisation(int pool) const { return mobilisations[at(pool)]; }
    const std::vector<double>& costWeights(int kind) const { return weights[at(kind)]; }
    // The weights that are not 0, as (figure, weight): what a history's cost sums over.
    const std::vector<std::pair<int, double>>& costTerms(int kind) const {
        return terms[at(kind)];
    }
    double fixedCost(int kind) const { return fixedCosts[at(kind)]; }
    LogisticsLayout layout() const;
    // Whether some repair waits for a logistic delay or a crew's mobilisation.
    bool needsTimers() const;

private:
    static std::size_t at(int i) { return static_cast<std::size_t>(i); }
    void checkComponent(int component, const std::string& what) const;

    int numComponents;
    int numPools;
    std::vector<ComponentLogistics> perComponent;
    std::vector<SparesStock> stockList;
    std::vector<int> stockOf;  // per component, -1: none
    std::vector<const Distribution*> mobilisations;
    std::vector<std::vector<double>> weights;  // per cost kind; empty: no cost of that kind
    std::vector<double> fixedCosts;            // per cost kind
    std::vector<std::vector<std::pair<int, double>>> terms;  // per cost kind
};

// The sums a study keeps of the figures of its histories (one per thread; they add). Each
// history's figure is rounded to a fixed point of kScaleBits fraction bits and summed, with its
// square, exactly in 128 bits: the sums do not depend on which thread ran which history.
struct LogisticsTally {
    static constexpr int kScaleBits = 16;
    using Exact = unsigned __int128;

    std::vector<Exact> sums;
    std::vector<Exact> squares;
    std::vector<Exact> costSums;  // the kinds, then their total
    std::vector<Exact> costSquares;
    std::uint64_t histories = 0;

    explicit LogisticsTally(int figures = 0)
        : sums(static_cast<std::size_t>(figures), 0),
          squares(static_cast<std::size_t>(figures), 0),
          costSums(LogisticsLayout::kCostKinds + 1, 0),
          costSquares(LogisticsLayout::kCostKinds + 1, 0) {}
    bool empty() const { return sums.empty(); }
    // Adds one history's figures and costs (kCostKinds + 1 values, the total last), all at
    // least 0.
    void add(const std::vector<double>& figures, const double* costs);
    void mergeFrom(const LogisticsTally& other);
};
