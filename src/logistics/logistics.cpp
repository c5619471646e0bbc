#include "logistics/logistics.h"

#include <cmath>
#include <stdexcept>

namespace {
[[noreturn]] void fail(const std::string& message) { throw std::invalid_argument(message); }
}  // namespace

AgeingModel ageingModelFromName(const std::string& name) {
    if (name == "kijima1") return AgeingModel::kijima1;
    if (name == "kijima2") return AgeingModel::kijima2;
    fail("ageing must be \"kijima1\" or \"kijima2\", got \"" + name + "\"");
}

Logistics::Logistics(int numComponents, int pools)
    : numComponents(numComponents), numPools(pools) {
    if (numComponents < 1) fail("numComponents must be at least 1");
    if (pools < 0) fail("pools must not be negative");
    perComponent.resize(at(numComponents));
    stockOf.assign(at(numComponents), -1);
    mobilisations.assign(at(pools), nullptr);
    weights.resize(LogisticsLayout::kCostKinds);
    fixedCosts.assign(LogisticsLayout::kCostKinds, 0.0);
    terms.resize(LogisticsLayout::kCostKinds);
}

void Logistics::checkComponent(int component, const std::string& what) const {
    if (component < 0 || component >= numComponents) {
        fail(what + ": component " + std::to_string(component) + " is not in 0.." +
             std::to_string(numComponents - 1));
    }
}

void Logistics::setRepairDelay(int component, const Distribution* delay) {
    checkComponent(component, "setRepairDelay");
    perComponent[at(component)].delay = delay;
}

void Logistics::setAgeing(int component, double restoration, AgeingModel model,
                          double initialAge, double weibullScale, double weibullShape) {
    checkComponent(component, "setAgeing");
    if (!(restoration >= 0.0 && restoration <= 1.0)) fail("restoration must be in [0, 1]");
    if (!(initialAge >= 0.0) || !std::isfinite(initialAge)) fail("age must be at least 0");
    const bool closed = weibullScale > 0.0 && weibullShape > 0.0;
    if (!closed && !(weibullScale == 0.0 && weibullShape == 0.0)) {
        fail("weibullScale and weibullShape must both be positive, or both 0");
    }
    ComponentLogistics& entry = perComponent[at(component)];
    entry.restoration = restoration;
    entry.ageing = model;
    entry.initialAge = initialAge;
    entry.weibullScale = weibullScale;
    entry.weibullShape = weibullShape;
}

int Logistics::addStock(std::vector<int> parts, int initial, const Distribution* leadTime,
                        int reorderPoint, int orderUpTo) {
    if (parts.empty()) fail("a stock needs at least one part");
    if (initial < 0) fail("stock must not be negative");
    if (leadTime == nullptr) fail("a stock needs a lead time law");
    if (reorderPoint >= 0 && !(reorderPoint < orderUpTo)) {
        fail("reorder_point must be below order_up_to");
    }
    const int index = static_cast<int>(stockList.size());
    for (int component : parts) {
        checkComponent(component, "addStock");
        if (stockOf[at(component)] >= 0) {
            fail("component " + std::to_string(component) + " already takes its parts from stock " +
                 std::to_string(stockOf[at(component)]));
        }
    }
    for (int component : parts) {
        stockOf[at(component)] = index;
        perComponent[at(component)].stock = index;
    }
    stockList.push_back(SparesStock{std::move(parts), initial, leadTime,
                                    reorderPoint < 0 ? -1 : reorderPoint, orderUpTo});
    return index;
}

void Logistics::setMobilisation(int pool, const Distribution* law) {
    if (pool < 0 || pool >= numPools) {
        fail("setMobilisation: pool " + std::to_string(pool) + " is not in 0.." +
             std::to_string(numPools - 1));
    }
    mobilisations[at(pool)] = law;
}

bool Logistics::needsTimers() const {
    for (const ComponentLogistics& entry : perComponent) {
        if (entry.delay != nullptr) return true;
    }
    for (const Distribution* law : mobilisations) {
        if (law != nullptr) return true;
    }
    return false;
}

LogisticsLayout Logistics::layout() const {
    LogisticsLayout layout;
    layout.components = numComponents;
    layout.stocks = static_cast<int>(stockList.size());
    layout.pools = numPools;
    return layout;
}

void Logistics::setCostWeights(int kind, std::vector<double> values, double fixed) {
    if (kind < 0 || kind >= LogisticsLayout::kCostKinds) {
        fail("cost kind must be in 0.." + std::to_string(LogisticsLayout::kCostKinds - 1));
    }
    if (static_cast<int>(values.size()) != layout().size()) {
        fail("cost weights: expected " + std::to_string(layout().size()) + " weights, got " +
             std::to_string(values.size()));
    }
    if (!(fixed >= 0.0) || !std::isfinite(fixed)) fail("a fixed cost must be a number of at least 0");
    terms[at(kind)].clear();
    for (std::size_t f = 0; f < values.size(); ++f) {
        if (values[f] != 0.0) terms[at(kind)].emplace_back(static_cast<int>(f), values[f]);
    }
    weights[at(kind)] = std::move(values);
    fixedCosts[at(kind)] = fixed;
}

namespace {
// A figure in fixed point: rounded to 2^-kScaleBits; negative rounding noise is taken as 0.
std::uint64_t fixedPoint(double value) {
    const double scaled = std::nearbyint(value * (1 << LogisticsTally::kScaleBits));
    return scaled > 0.0 ? static_cast<std::uint64_t>(scaled) : 0;
}
}  // namespace

void LogisticsTally::add(const std::vector<double>& figures, const double* costs) {
    for (std::size_t i = 0; i < figures.size(); ++i) {
        if (figures[i] == 0.0) continue;
        const std::uint64_t q = fixedPoint(figures[i]);
        sums[i] += q;
        squares[i] += static_cast<Exact>(q) * q;
    }
    for (std::size_t k = 0; k < costSums.size(); ++k) {
        const std::uint64_t q = fixedPoint(costs[k]);
        costSums[k] += q;
        costSquares[k] += static_cast<Exact>(q) * q;
    }
    ++histories;
}

void LogisticsTally::mergeFrom(const LogisticsTally& other) {
    if (other.empty()) return;
    if (empty()) {
        *this = other;
        return;
    }
    for (std::size_t i = 0; i < sums.size(); ++i) {
        sums[i] += other.sums[i];
        squares[i] += other.squares[i];
    }
    for (std::size_t k = 0; k < costSums.size(); ++k) {
        costSums[k] += other.costSums[k];
        costSquares[k] += other.costSquares[k];
    }
    histories += other.histories;
}

// ---- LogisticState ----

#include "logistics/logisticState.h"

void LogisticState::prepare(const Logistics* logistics, std::vector<int> poolOf,
                            std::vector<int> failTargets) {
    plan = logistics;
    if (plan == nullptr) return;
    layout = plan->layout();
    pricesLost = false;
    for (int k = 0; k < LogisticsLayout::kCostKinds; ++k) {
        for (const auto& term : plan->costTerms(k)) {
            if (term.first == layout.lostProduction()) pricesLost = true;
        }
    }
    numComponents = plan->components();
    poolOfComponent = std::move(poolOf);
    const auto n = static_cast<std::size_t>(numComponents);
    const auto stocks = plan->stocks().size();
    figures.assign(static_cast<std::size_t>(layout.size()), 0.0);
    costs.assign(LogisticsLayout::kCostKinds + 1, 0.0);
    phase.assign(n, kIdle);
    cause.assign(n, -1);
    causeSince.assign(n, 0);
    failTarget = std::move(failTargets);
    age.assign(n, 0.0);
    ran.assign(n, 0.0);
    upSince.assign(n, 0);
    crewSince.assign(n, -1);
    shelves.assign(stocks, 0);
    shelfSince.assign(stocks, 0);
    ordered.assign(stocks, 0);
    waiting.assign(stocks, {});
    arrivals.assign(stocks, {});
    for (std::size_t s = 0; s < stocks; ++s) {
        const SparesStock& stock = plan->stocks()[s];
        waiting[s].reserve(stock.parts.size());
        arrivals[s].reserve(stock.parts.size() + static_cast<std::size_t>(stock.initial) +
                            static_cast<std::size_t>(stock.orderUpTo) + 4);
    }
}

void LogisticState::start(const int* downNow) {
    if (plan == nullptr) return;
    std::fill(figures.begin(), figures.end(), 0.0);
    std::fill(std::begin(downByCause), std::end(downByCause), 0);
    down = 0;
    for (int c = 0; c < numComponents; ++c) {
        const std::size_t k = i(c);
        phase[k] = kIdle;
        age[k] = plan->component(c).initialAge;
        ran[k] = 0.0;
        upSince[k] = 0;
        crewSince[k] = -1;
        cause[k] = -1;
        if (downNow[k] != 0) {
            cause[k] = LogisticsLayout::kRepair;
            causeSince[k] = 0;
            ++downByCause[LogisticsLayout::kRepair];
            ++down;
        }
    }
    for (std::size_t s = 0; s < shelves.size(); ++s) {
        shelves[s] = plan->stocks()[s].initial;
        shelfSince[s] = 0;
        ordered[s] = 0;
        waiting[s].clear();
        arrivals[s].clear();
    }
}

void LogisticState::finish(int simTime, LogisticsTally* tally, double lostProduction) {
    if (plan == nullptr) return;
    for (int c = 0; c < numComponents; ++c) {
        if (cause[i(c)] >= 0) closeCause(c, simTime);
        if (crewSince[i(c)] >= 0 && poolOfComponent[i(c)] >= 0) {
            crewReleased(c, poolOfComponent[i(c)], simTime);
        }
    }
    for (int s = 0; s < static_cast<int>(shelves.size()); ++s) changeShelf(s, 0, simTime);
    figures[i(layout.lostProduction())] = pricesLost ? lostProduction : 0.0;
    double total = 0.0;
    for (int k = 0; k < LogisticsLayout::kCostKinds; ++k) {
        double cost = plan->fixedCost(k);
        for (const auto& [f, weight] : plan->costTerms(k)) cost += weight * figures[i(f)];
        costs[i(k)] = cost;
        total += cost;
    }
    costs[LogisticsLayout::kCostKinds] = total;
    if (tally != nullptr) tally->add(figures, costs.data());
}
