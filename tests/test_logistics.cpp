// Repair logistics in the dependent engine on models whose every event is worked out by hand
// (laws answering fixed delays), the figures a history keeps, the Lognormal law, and the checks
// of a Logistics.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "dependent/dependencies.h"
#include "dependent/dependentHistory.h"
#include "distributions.h"
#include "logistics/logistics.h"

namespace {

class FixedLaw : public Distribution {
public:
    explicit FixedLaw(double q) : q(q) {}
    double quantile(double, int) const override { return q; }

private:
    double q;
};

struct Quiet {
    void hold(int, int, int) {}
    void expect(int) {}
    void event(int, int, int, int, int, int) {}
};

Distribution never;

// One history of `model` under `deps`, its figures as means of one history.
std::vector<double> figuresOf(const ComponentModel& model, const std::vector<std::vector<int>>& cuts,
                              const Dependencies& deps, int simTime, const Logistics& logistics) {
    CutsetTree tree(static_cast<int>(cuts.at(0).size()));
    tree.constructTree(cuts);
    const CompiledModel compiled(model, &tree);
    const DependentModel dependent(compiled, deps);
    DependentHistoryEngine engine(dependent, simTime);
    LogisticsTally tally(logistics.layout().size());
    engine.tallyLogisticsInto(&tally);
    Quiet out;
    engine.run(1, out);
    std::vector<double> figures;
    for (const auto sum : tally.sums) {
        figures.push_back(static_cast<double>(sum) / (1 << LogisticsTally::kScaleBits));
    }
    return figures;
}

// One pump: fails at 10, waits a delay of 3, a crew that takes 2 to come, a part that is not on
// the shelf and comes 20 after it is ordered, then a repair of 5: up at 40, down again at 50.
TEST(RepairLogistics, ARepairWaitsItsDelayCrewAndPartInOrder) {
    FixedLaw fail(10), repair(5), delay(3), mobilise(2), lead(20);
    const ComponentModel model = {{{&never, &fail}, {&repair, &never}}};
    Dependencies deps(1);
    deps.addCrewPool(1, {0}, CrewOrder::firstFailed);
    Logistics logistics(1, 1);
    logistics.setRepairDelay(0, &delay);
    logistics.setMobilisation(0, &mobilise);
    logistics.addStock({0}, 0, &lead, -1, 0);
    deps.setLogistics(&logistics);
    const LogisticsLayout l = logistics.layout();
    const std::vector<double> f = figuresOf(model, {{1}}, deps, 45, logistics);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kDelay)], 3);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kCrew)], 2);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kPart)], 20);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kRepair)], 5);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kFailures)], 1);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kRepairs)], 1);
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kDemands)], 1);
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kStockOuts)], 1);
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kOrders)], 1);
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kShelfSteps)], 0);
    EXPECT_EQ(f[l.pool(0, LogisticsLayout::kBusySteps)], 27);  // from 13 to 40
    EXPECT_EQ(f[l.pool(0, LogisticsLayout::kCalls)], 1);
    // The system is the pump: its 30 down units are the pump's, cause by cause.
    EXPECT_EQ(f[l.system(LogisticsLayout::kDelay)], 3);
    EXPECT_EQ(f[l.system(LogisticsLayout::kPart)], 20);
    EXPECT_EQ(f[l.system(LogisticsLayout::kRepair)], 5);
}

// Two pumps and an empty stock, lead time 20: the parts ordered at 10 and 12 arrive at 30 and
// 32, each to the unit that has waited longest (last in first out would leave the first pump
// waiting 22 and the second 18).
TEST(RepairLogistics, AnArrivingPartGoesToTheUnitThatWaitedLongest) {
    FixedLaw fail1(10), fail2(12), repair(5), lead(20);
    const ComponentModel model = {{{&never, &fail1}, {&repair, &never}},
                                  {{&never, &fail2}, {&repair, &never}}};
    Dependencies deps(2);
    Logistics logistics(2, 0);
    logistics.addStock({0, 1}, 0, &lead, -1, 0);
    deps.setLogistics(&logistics);
    const LogisticsLayout l = logistics.layout();
    const std::vector<double> f = figuresOf(model, {{1, 1}}, deps, 44, logistics);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kPart)], 20);
    EXPECT_EQ(f[l.component(1, LogisticsLayout::kPart)], 20);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kRepair)], 5);
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kShelfSteps)], 0);
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kStockOuts)], 2);
    // Both down during [12, 35): 23 units, shared between part (18) and repair (5) half and
    // half while both wait or one is repaired.
    EXPECT_DOUBLE_EQ(f[l.system(LogisticsLayout::kPart)] + f[l.system(LogisticsLayout::kRepair)],
                     23);
    EXPECT_DOUBLE_EQ(f[l.system(LogisticsLayout::kPart)], 18 + 2 * 0.5);
}

// With one part on the shelf the first pump takes it at once; the second waits for the part
// ordered when the first took its own.
TEST(RepairLogistics, APartOnTheShelfIsTakenAtOnceAndReordered) {
    FixedLaw fail1(10), fail2(12), repair(5), lead(100);
    const ComponentModel model = {{{&never, &fail1}, {&repair, &never}},
                                  {{&never, &fail2}, {&repair, &never}}};
    Dependencies deps(2);
    Logistics logistics(2, 0);
    logistics.addStock({0, 1}, 1, &lead, -1, 0);
    deps.setLogistics(&logistics);
    const LogisticsLayout l = logistics.layout();
    const std::vector<double> f = figuresOf(model, {{1, 1}}, deps, 20, logistics);
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kRepair)], 5);  // down 10..15
    EXPECT_EQ(f[l.component(0, LogisticsLayout::kPart)], 0);
    EXPECT_EQ(f[l.component(1, LogisticsLayout::kPart)], 8);  // 12..20, still waiting
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kShelfSteps)], 10);  // one part for 10 units
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kStockOuts)], 1);
    EXPECT_EQ(f[l.stock(0, LogisticsLayout::kOrders)], 2);
    // Both down during [12, 15): the system's 3 units shared between repair and part.
    EXPECT_DOUBLE_EQ(f[l.system(LogisticsLayout::kRepair)], 1.5);
    EXPECT_DOUBLE_EQ(f[l.system(LogisticsLayout::kPart)], 1.5);
}

TEST(RepairLogistics, TalliesAddTheSameWhateverTheSplit) {
    std::vector<double> a = {1.0 / 3, 2.5}, b = {7.125, 1e6 / 7};
    const double costs[LogisticsLayout::kCostKinds + 1] = {1, 2, 3, 4, 5, 15};
    LogisticsTally one(2), two(2), three(2);
    one.add(a, costs);
    one.add(b, costs);
    two.add(b, costs);
    three.add(a, costs);
    three.mergeFrom(two);
    EXPECT_EQ(one.sums, three.sums);
    EXPECT_EQ(one.squares, three.squares);
    EXPECT_EQ(one.costSums, three.costSums);
    EXPECT_EQ(one.histories, 2u);
}

// An output that follows the capacity says what the history lost; the engine asks it once, as
// the history ends.
struct Losing : Quiet {
    double lost = 0.0;
    double lostProduction(int) const { return lost; }
};

// The lost production is the history's last figure when a cost weighs it (else 0, as in sums
// kept before it was a figure), and that cost is the weight times it.
TEST(RepairLogistics, LostProductionIsAFigureWhenACostWeighsIt) {
    FixedLaw fail(10), repair(5);
    const ComponentModel model = {{{&never, &fail}, {&repair, &never}}};
    CutsetTree tree(1);
    tree.constructTree({{0}});
    const CompiledModel compiled(model, &tree);
    const double one = 1 << LogisticsTally::kScaleBits;
    for (const double price : {0.0, 0.8}) {
        Logistics logistics(1, 0);
        const LogisticsLayout layout = logistics.layout();
        std::vector<double> weights(static_cast<std::size_t>(layout.size()), 0.0);
        weights[static_cast<std::size_t>(layout.lostProduction())] = price;
        logistics.setCostWeights(1, weights);
        Dependencies deps(1);
        deps.setLogistics(&logistics);
        const DependentModel dependent(compiled, deps);
        DependentHistoryEngine engine(dependent, 100);
        LogisticsTally tally(layout.size());
        engine.tallyLogisticsInto(&tally);
        Losing out;
        out.lost = 12.5;
        engine.run(1, out);
        const auto lost = tally.sums[static_cast<std::size_t>(layout.lostProduction())];
        EXPECT_EQ(static_cast<double>(lost) / one, price > 0 ? 12.5 : 0.0);
        EXPECT_EQ(static_cast<double>(tally.costSums[1]) / one, price * 12.5);
        EXPECT_EQ(tally.costSums[LogisticsLayout::kCostKinds], tally.costSums[1]);
    }
}

TEST(RepairLogistics, LogisticsRefuseWhatCannotBe) {
    FixedLaw lead(5);
    Logistics logistics(3, 1);
    EXPECT_THROW(logistics.addStock({0}, -1, &lead, -1, 0), std::invalid_argument);
    logistics.addStock({0, 1}, 1, &lead, -1, 0);
    EXPECT_THROW(logistics.addStock({1}, 1, &lead, -1, 0), std::invalid_argument);
    EXPECT_THROW(logistics.addStock({2}, 1, &lead, 3, 3), std::invalid_argument);
    EXPECT_THROW(logistics.setAgeing(0, 1.5, AgeingModel::kijima1, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(logistics.setAgeing(0, 0.5, AgeingModel::kijima1, -1, 0, 0), std::invalid_argument);
    EXPECT_THROW(logistics.setMobilisation(1, &lead), std::invalid_argument);
    EXPECT_THROW(ageingModelFromName("kijima3"), std::invalid_argument);
    EXPECT_THROW(logistics.setCostWeights(0, {1.0}), std::invalid_argument);
}

TEST(Lognormal, QuantileAndCdfInvertEachOther) {
    const Lognormal law(std::log(240.0), std::log(2.0) / 1.6448536269514722);
    EXPECT_NEAR(law.quantile(0.5, 0), 240.0, 1e-9);
    EXPECT_NEAR(law.quantile(0.95, 0), 480.0, 1e-6);
    for (double p : {1e-9, 0.01, 0.3, 0.7, 0.999}) {
        EXPECT_NEAR(law.cdf(law.quantile(p, 0)), p, 1e-12 + 1e-9 * p);
    }
    EXPECT_EQ(law.quantile(0.0, 0), 0.0);
    EXPECT_EQ(law.quantile(1.0, 0), kNever);
    EXPECT_EQ(law.quantile(std::nan(""), 0), kNever);
    EXPECT_THROW(Lognormal(0.0, 0.0), std::invalid_argument);
}

}  // namespace
