// Histories of dependent components on tiny models whose every event is worked out by hand
// (laws answering fixed delays), the engine's checks, and properties on random models: without
// dependencies it is the independent engine event for event, and its choices of event queue
// agree with dependencies too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dependent/crewQueue.h"
#include "dependent/dependencies.h"
#include "dependent/dependentHistory.h"
#include "history/historyEngine.h"

namespace {

Distribution never;
Distribution* const N = &never;

// A law answering a fixed delay, whatever the draw and the time.
class FixedLaw : public Distribution {
public:
    explicit FixedLaw(double q) : q(q) {}
    double quantile(double, int) const override { return q; }

private:
    double q;
};

// Answers as the wrapped law does, noting the time of every question.
class TimeRecordingLaw : public Distribution {
public:
    TimeRecordingLaw(const Distribution& inner, std::vector<int>& times) : inner(inner), times(times) {}
    double quantile(double p, int time) const override {
        times.push_back(time);
        return inner.quantile(p, time);
    }

private:
    const Distribution& inner;
    std::vector<int>& times;
};

struct Event {
    int time, from, to, component, before, after;
    bool operator==(const Event& o) const {
        return time == o.time && from == o.from && to == o.to && component == o.component &&
               before == o.before && after == o.after;
    }
};

void PrintTo(const Event& e, std::ostream* os) {
    *os << "{t" << e.time << " c" << e.component << " " << e.from << "->" << e.to << " sys "
        << e.before << "->" << e.after << "}";
}

// Every hook call of a history: its events and the series they and the holds write.
struct Recorder {
    std::vector<Event> events;
    std::vector<unsigned int> series;
    explicit Recorder(int simTime) : series(static_cast<std::size_t>(simTime), 77u) {}

    void hold(int from, int to, int systemState) {
        for (int t = from; t < to; ++t) series[static_cast<std::size_t>(t)] = static_cast<unsigned int>(systemState);
    }
    void expect(int) {}
    void event(int time, int from, int to, int component, int before, int after) {
        events.push_back(Event{time, from, to, component, before, after});
        series[static_cast<std::size_t>(time)] = static_cast<unsigned int>(after);
    }
    // The events that took a component into state 0 or the standby state `into`.
    std::vector<std::pair<int, int>> arrivals(int into) const {
        std::vector<std::pair<int, int>> found;
        for (const Event& e : events) {
            if (e.to == into && e.from != into) found.push_back({e.time, e.component});
        }
        return found;
    }
};

std::vector<unsigned int> seriesOf(std::initializer_list<std::pair<int, unsigned int>> runs) {
    std::vector<unsigned int> series;
    for (const auto& [length, value] : runs) series.insert(series.end(), static_cast<std::size_t>(length), value);
    return series;
}

std::unique_ptr<CutsetTree> treeOf(const std::vector<std::vector<int>>& cutsets) {
    auto tree = std::make_unique<CutsetTree>(static_cast<int>(cutsets.at(0).size()));
    tree->constructTree(cutsets);
    return tree;
}

// A model, its tree and its dependencies, run by the dependent engine.
struct Case {
    ComponentModel model;
    std::unique_ptr<CutsetTree> tree;
    Dependencies deps;

    Case(ComponentModel m, const std::vector<std::vector<int>>& cutsets)
        : model(std::move(m)), tree(treeOf(cutsets)), deps(static_cast<int>(model.size())) {}

    Recorder run(int simTime, std::uint32_t seed = 1,
                 EventSelection selection = EventSelection::automatic) const {
        const CompiledModel compiled(model, tree.get());
        const DependentModel dependent(compiled, deps);
        DependentHistoryEngine engine(dependent, simTime, selection);
        Recorder out(simTime);
        engine.run(seed, out);
        EXPECT_EQ(engine.time(), simTime);
        return out;
    }
};

template <class F>
std::string invalidArgumentMessage(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

// ---- Down flags and initial states ----

TEST(DependentHistoryStates, StatesOtherThanZeroMayCountAsWorking) {
    FixedLaw five(5), three(3), four(4);
    // Working, working (a second up state), down.
    Case c({{{N, &five, N}, {N, N, &three}, {&four, N, N}}}, {{1}});
    c.deps.setDownStates(0, {false, false, true});
    const Recorder r = c.run(20);
    EXPECT_EQ(r.events, (std::vector<Event>{{5, 0, 1, 0, 0, 0}, {8, 1, 2, 0, 0, 1},
                                            {12, 2, 0, 0, 1, 0}, {17, 0, 1, 0, 0, 0}}));
    EXPECT_EQ(r.series, seriesOf({{8, 0}, {4, 1}, {8, 0}}));
}

TEST(DependentHistoryStates, AComponentStartingDownIsPutThereAtTimeZero) {
    FixedLaw five(5), three(3), four(4);
    Case c({{{N, &five, N}, {N, N, &three}, {&four, N, N}}}, {{1}});
    c.deps.setDownStates(0, {false, false, true});
    c.deps.setInitialState(0, 2);
    const Recorder r = c.run(20);
    EXPECT_EQ(r.events, (std::vector<Event>{{0, 2, 2, 0, 0, 1}, {4, 2, 0, 0, 1, 0},
                                            {9, 0, 1, 0, 0, 0}, {12, 1, 2, 0, 0, 1},
                                            {16, 2, 0, 0, 1, 0}}));
    EXPECT_EQ(r.series, seriesOf({{4, 1}, {8, 0}, {4, 1}, {4, 0}}));
}

TEST(DependentHistoryStates, AnEmptyHorizonRunsNoEvent) {
    FixedLaw five(5);
    Case c({{{N, &five}, {&five, N}}}, {{1}});
    c.deps.setInitialState(0, 1);
    EXPECT_TRUE(c.run(0).events.empty());
}

// ---- Common-cause groups ----

TEST(DependentHistoryCommonCause, ShocksFailTheMembersThatAreUpInIndexOrderAndRecur) {
    FixedLaw three(3), seven(7), ten(10);
    // Component 0 also fails on its own at 3; components 1 and 2 only by shocks (1 is outside
    // the group). Cut set {0, 2}.
    Case c({{{N, &three}, {&ten, N}}, {{N, N}, {&ten, N}}, {{N, N}, {&ten, N}}}, {{1, 0, 1}});
    c.deps.addCommonCause({2, 0}, {1, 1}, &seven);
    const Recorder r = c.run(30);
    EXPECT_EQ(r.events, (std::vector<Event>{{3, 0, 1, 0, 0, 0},     // alone
                                            {7, 0, 1, 2, 0, 1},     // 0 already down
                                            {13, 1, 0, 0, 1, 0},
                                            {14, 0, 1, 0, 0, 1},    // 2 still down
                                            {17, 1, 0, 2, 1, 0},
                                            {21, 0, 1, 2, 0, 1},
                                            {24, 1, 0, 0, 1, 0},
                                            {27, 0, 1, 0, 0, 1}}));  // shock at 28: both down
}

TEST(DependentHistoryCommonCause, AShockGroupStuckAtOneTimeIsNamed) {
    FixedLaw zero(0);
    Case c({{{N, N}, {N, N}}}, {{1}});
    c.deps.addCommonCause({0}, {1}, &zero);
    try {
        c.run(5);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("time unit 0: common-cause group 0 "), std::string::npos)
            << e.what();
    }
}

TEST(DependentHistoryCommonCause, APlainDistributionShockNeverStrikes) {
    FixedLaw three(3), ten(10);
    Case c({{{N, &three}, {&ten, N}}}, {{1}});
    Case withGroup({{{N, &three}, {&ten, N}}}, {{1}});
    withGroup.deps.addCommonCause({0}, {1}, N);
    EXPECT_EQ(withGroup.run(40).events, c.run(40).events);
}

// ---- Standby units ----

// A primary (component 0) and a standby unit (component 1: running 0, failed 1, standby 2); the
// system fails when both are down.
struct StandbyPair {
    FixedLaw primaryFails, primaryRepair, standbyFails, standbyRepair;
    Case c;
    StandbyPair(double pf, double pr, double sf, double sr)
        : primaryFails(pf), primaryRepair(pr), standbyFails(sf), standbyRepair(sr),
          c({{{N, &primaryFails, N}, {&primaryRepair, N, N}, {N, N, N}},
             {{N, &standbyFails, N}, {&standbyRepair, N, N}, {N, N, N}}},
            {{1, 1}}) {}
};

TEST(DependentHistoryStandby, DemandedWhenTheCoveredUnitFailsAndBackInStandbyAfterRepair) {
    StandbyPair p(10, 5, 3, 4);
    p.c.deps.addStandby(1, {0}, 0, 2, 1, nullptr, 0.0);
    const Recorder r = p.c.run(30);
    EXPECT_EQ(r.events, (std::vector<Event>{{10, 0, 1, 0, 0, 0}, {10, 2, 0, 1, 0, 0},
                                            {13, 0, 1, 1, 0, 1},   // fails while running
                                            {15, 1, 0, 0, 1, 0},
                                            {17, 1, 2, 1, 0, 0},   // repaired into standby
                                            {25, 0, 1, 0, 0, 0}, {25, 2, 0, 1, 0, 0},
                                            {28, 0, 1, 1, 0, 1}}));
    EXPECT_EQ(r.series, seriesOf({{13, 0}, {2, 1}, {13, 0}, {2, 1}}));
}

TEST(DependentHistoryStandby, ARunningUnitReturnsToStandbyWhenNothingItCoversIsDown) {
    StandbyPair p(10, 5, 100, 4);
    p.c.deps.addStandby(1, {0}, 0, 2, 1, nullptr, 0.0);
    const Recorder r = p.c.run(30);
    EXPECT_EQ(r.events, (std::vector<Event>{{10, 0, 1, 0, 0, 0}, {10, 2, 0, 1, 0, 0},
                                            {15, 1, 0, 0, 0, 0}, {15, 0, 2, 1, 0, 0},
                                            {25, 0, 1, 0, 0, 0}, {25, 2, 0, 1, 0, 0}}));
}

TEST(DependentHistoryStandby, DormantFailureAndDemandAtOnceWhenBackWhileTheCoveredUnitIsDown) {
    StandbyPair p(10, 20, 100, 12);
    FixedLaw dormant(5);
    p.c.deps.addStandby(1, {0}, 0, 2, 1, &dormant, 0.0);
    const Recorder r = p.c.run(40);
    EXPECT_EQ(r.events, (std::vector<Event>{{5, 2, 1, 1, 0, 0},     // dormant failure
                                            {10, 0, 1, 0, 0, 1},    // nothing to demand
                                            {17, 1, 2, 1, 1, 0},    // back, into standby
                                            {17, 2, 0, 1, 0, 0},    // and demanded at once
                                            {30, 1, 0, 0, 0, 0}, {30, 0, 2, 1, 0, 0},
                                            {35, 2, 1, 1, 0, 0}}));
}

TEST(DependentHistoryStandby, StartFailuresDemandTheNextUnitInIndexOrderAtOnce) {
    FixedLaw ten(10), long_(100);
    // Component 0 covered by components 1 and 2 (standby units), added in reverse order.
    const std::vector<std::vector<Distribution*>> unit{{N, &long_, N}, {&long_, N, N}, {N, N, N}};
    Case c({{{N, &ten, N}, {&long_, N, N}, {N, N, N}}, unit, unit}, {{1, 1, 1}});
    c.deps.addStandby(2, {0}, 0, 2, 1, nullptr, 0.0);
    c.deps.addStandby(1, {0}, 0, 2, 1, nullptr, 1.0);
    const Recorder r = c.run(20);
    EXPECT_EQ(r.events, (std::vector<Event>{{10, 0, 1, 0, 0, 0},
                                            {10, 2, 1, 1, 0, 0},     // 1 fails to start
                                            {10, 2, 0, 2, 0, 0}}));  // 2 is demanded next
}

TEST(DependentHistoryStandby, AStartFailureHappensWithItsProbability) {
    StandbyPair p(1, 100, 100, 100);
    const double probability = 0.3;
    p.c.deps.addStandby(1, {0}, 0, 2, 1, nullptr, probability);
    const CompiledModel compiled(p.c.model, p.c.tree.get());
    const DependentModel dependent(compiled, p.c.deps);
    DependentHistoryEngine engine(dependent, 2);
    const int histories = 20000;
    int failedStarts = 0;
    for (int i = 0; i < histories; ++i) {
        Recorder out(2);
        engine.run(static_cast<std::uint32_t>(i), out);
        ASSERT_EQ(out.events.size(), 2u);
        failedStarts += out.events[1].to == 1 ? 1 : 0;
    }
    const double se = std::sqrt(probability * (1 - probability) / histories);
    EXPECT_NEAR(static_cast<double>(failedStarts) / histories, probability, 4.5 * se);
}

TEST(DependentHistoryStandby, ShocksFailUnitsInStandbyAndRunningUnitsAlike) {
    FixedLaw seven(7);
    {
        SCOPED_TRACE("in standby");
        StandbyPair p(100, 5, 100, 3);
        p.c.deps.addStandby(1, {0}, 0, 2, 1, nullptr, 0.0);
        p.c.deps.addCommonCause({0, 1}, {1, 1}, &seven);
        EXPECT_EQ(p.c.run(14).events,
                  (std::vector<Event>{{7, 0, 1, 0, 0, 0}, {7, 2, 1, 1, 0, 1},  // no demand
                                      {10, 1, 2, 1, 1, 0}, {10, 2, 0, 1, 0, 0},
                                      {12, 1, 0, 0, 0, 0}, {12, 0, 2, 1, 0, 0}}));
    }
    {
        SCOPED_TRACE("running");
        StandbyPair p(3, 20, 100, 3);
        p.c.deps.addStandby(1, {0}, 0, 2, 1, nullptr, 0.0);
        p.c.deps.addCommonCause({0, 1}, {1, 1}, &seven);
        EXPECT_EQ(p.c.run(14).events,
                  (std::vector<Event>{{3, 0, 1, 0, 0, 0}, {3, 2, 0, 1, 0, 0},
                                      {7, 0, 1, 1, 0, 1},  // the primary is already down
                                      {10, 1, 2, 1, 1, 0}, {10, 2, 0, 1, 0, 0}}));
    }
}

// ---- Repair crews ----

// Three two-state components failing after 5, 3 and 4 time units (component 0, 1, 2), each
// repaired in 10; the system fails only when all three are down.
struct ThreeRepairs {
    FixedLaw fails0{5}, fails1{3}, fails2{4}, repair{10};
    std::vector<int> repairTimesOf2;
    TimeRecordingLaw recordedRepair{repair, repairTimesOf2};
    Case c{{{{N, &fails0}, {&repair, N}}, {{N, &fails1}, {&repair, N}}, {{N, &fails2}, {&recordedRepair, N}}},
           {{1, 1, 1}}};
};

struct CrewCase {
    const char* name;
    int count;
    CrewOrder order;
    std::vector<std::pair<int, int>> repairs;  // (time, component) of every repair before 50
};

TEST(DependentHistoryCrews, QueueOrderAndCount) {
    const CrewCase cases[] = {
        {"one crew, first failed", 1, CrewOrder::firstFailed, {{13, 1}, {23, 2}, {33, 0}, {43, 1}}},
        {"one crew, listed", 1, CrewOrder::listed, {{13, 1}, {23, 0}, {33, 1}, {43, 0}}},
        {"two crews, first failed", 2, CrewOrder::firstFailed,
         {{13, 1}, {14, 2}, {23, 0}, {26, 1}, {33, 2}, {38, 0}, {43, 1}, {48, 2}}},
    };
    for (const CrewCase& crewCase : cases) {
        SCOPED_TRACE(crewCase.name);
        ThreeRepairs m;
        m.c.deps.addCrewPool(crewCase.count, {0, 1, 2}, crewCase.order);
        EXPECT_EQ(m.c.run(50).arrivals(0), crewCase.repairs);
    }
}

TEST(DependentHistoryCrews, TheRepairIsDrawnWhenTheCrewStarts) {
    ThreeRepairs m;
    m.c.deps.addCrewPool(1, {0, 1, 2}, CrewOrder::firstFailed);
    m.c.run(50);
    // Component 2 goes down at 4 and at 27; the crew reaches it at 13 and at 43.
    EXPECT_EQ(m.repairTimesOf2, (std::vector<int>{13, 43}));
}

TEST(DependentHistoryCrews, ComponentsDownInOneInstantQueueInIndexOrder) {
    FixedLaw five(5), ten(10), long_(1000);
    // Component 0: a standby unit that always fails to start, covering component 2. Component 2
    // goes down at 5 after component 1 (index order), and takes component 0 down with it: the
    // crew still takes 0 first, then 1, then 2.
    Case c({{{N, &long_, N}, {&ten, N, N}, {N, N, N}},
            {{N, &five, N}, {&ten, N, N}, {N, N, N}},
            {{N, &five, N}, {&ten, N, N}, {N, N, N}}},
           {{1, 1, 1}});
    c.deps.addStandby(0, {2}, 0, 2, 1, nullptr, 1.0);
    c.deps.addCrewPool(1, {2, 1, 0}, CrewOrder::firstFailed);
    const Recorder r = c.run(36);
    EXPECT_EQ(r.arrivals(2), (std::vector<std::pair<int, int>>{{15, 0}}));  // back into standby
    EXPECT_EQ(r.arrivals(0), (std::vector<std::pair<int, int>>{{25, 1}, {35, 2}}));
}

TEST(DependentHistoryCrews, AWaitingComponentLeavesTheQueueWhenItComesUpWithoutRepair) {
    FixedLaw three(3), four(4), six(6), ten(10);
    // Component 1 waits in state 1 (down); after 6 it moves on its own to state 2, which counts
    // as working, so the crew goes to component 2 when component 0 is repaired.
    Case c({{{N, &three, N}, {&ten, N, N}, {N, N, N}},
            {{N, &four, N}, {&ten, N, &six}, {N, N, N}},
            {{N, &four, N}, {&ten, N, N}, {N, N, N}}},
           {{1, 1, 1}});
    c.deps.setDownStates(1, {false, true, false});
    c.deps.addCrewPool(1, {0, 1, 2}, CrewOrder::firstFailed);
    const Recorder r = c.run(30);
    EXPECT_EQ(r.arrivals(2), (std::vector<std::pair<int, int>>{{10, 1}}));
    EXPECT_EQ(r.arrivals(0), (std::vector<std::pair<int, int>>{{13, 0}, {23, 2}}));
}

TEST(DependentHistoryCrews, QueueServesSmallestKeyAndRemovesAnyMember) {
    CrewQueue queue(5);
    queue.push(0, CrewQueue::key(7, 0));
    queue.push(3, CrewQueue::key(2, 3));
    queue.push(1, CrewQueue::key(7, 1));
    queue.push(4, CrewQueue::key(1, 4));
    queue.push(2, CrewQueue::key(2, 2));
    queue.remove(4);
    EXPECT_FALSE(queue.contains(4));
    queue.push(4, CrewQueue::key(9, 4));
    std::vector<int> served;
    while (!queue.empty()) served.push_back(queue.pop());
    EXPECT_EQ(served, (std::vector<int>{2, 3, 0, 1, 4}));
    for (int member = 0; member < 5; ++member) EXPECT_FALSE(queue.contains(member));
}

// ---- Checks ----

TEST(DependentHistoryChecks, TheBuilderNamesWhatIsWrong) {
    Exponential law(0.1);
    struct Bad {
        const char* expected;
        std::function<void(Dependencies&)> call;
    };
    const Bad cases[] = {
        {"no component 3", [](Dependencies& d) { d.setDownStates(3, {false}); }},
        {"no states given", [](Dependencies& d) { d.setDownStates(0, {}); }},
        {"state -1 is negative", [](Dependencies& d) { d.setInitialState(0, -1); }},
        {"members must not be empty", [&](Dependencies& d) { d.addCommonCause({}, {}, &law); }},
        {"component 1 is given twice", [&](Dependencies& d) { d.addCommonCause({1, 1}, {1, 1}, &law); }},
        {"2 members but 1 failed states", [&](Dependencies& d) { d.addCommonCause({0, 1}, {1}, &law); }},
        {"must be at least 1, got 0", [&](Dependencies& d) { d.addCommonCause({0}, {0}, &law); }},
        {"no shock law", [](Dependencies& d) { d.addCommonCause({0}, {1}, nullptr); }},
        {"no component -1", [&](Dependencies& d) { d.addCommonCause({-1}, {1}, &law); }},
        {"covers itself", [](Dependencies& d) { d.addStandby(0, {1, 0}, 0, 2, 1, nullptr, 0.0); }},
        {"covers must not be empty", [](Dependencies& d) { d.addStandby(0, {}, 0, 2, 1, nullptr, 0.0); }},
        {"standby and running states are the same",
         [](Dependencies& d) { d.addStandby(0, {1}, 0, 0, 1, nullptr, 0.0); }},
        {"failed state must differ", [](Dependencies& d) { d.addStandby(0, {1}, 0, 2, 2, nullptr, 0.0); }},
        {"must be in [0, 1]", [](Dependencies& d) { d.addStandby(0, {1}, 0, 2, 1, nullptr, 1.5); }},
        {"must be in [0, 1]",
         [](Dependencies& d) { d.addStandby(0, {1}, 0, 2, 1, nullptr, std::nan("")); }},
        {"already a standby unit",
         [](Dependencies& d) {
             d.addStandby(0, {1}, 0, 2, 1, nullptr, 0.0);
             d.addStandby(0, {2}, 0, 2, 1, nullptr, 0.0);
         }},
        {"count must be at least 1", [](Dependencies& d) { d.addCrewPool(0, {0}, CrewOrder::listed); }},
        {"component 0 is already repaired by crew pool 0",
         [](Dependencies& d) {
             d.addCrewPool(1, {0}, CrewOrder::listed);
             d.addCrewPool(2, {1, 0}, CrewOrder::listed);
         }},
    };
    for (const Bad& bad : cases) {
        SCOPED_TRACE(bad.expected);
        Dependencies d(3);
        const std::string message = invalidArgumentMessage([&] { bad.call(d); });
        EXPECT_NE(message.find(bad.expected), std::string::npos) << message;
    }
    EXPECT_NE(invalidArgumentMessage([] { Dependencies d(0); }).find("at least 1"), std::string::npos);
    EXPECT_NE(invalidArgumentMessage([] { crewOrderFromName("fifo"); }).find("\"fifo\""),
              std::string::npos);
}

TEST(DependentHistoryChecks, TheRunNamesWhatDoesNotFitTheModel) {
    FixedLaw law(3);
    // Two components of three states; component 1 has a law from state 2 into state 1.
    const ComponentModel model{{{N, &law, N}, {&law, N, N}, {N, N, N}},
                               {{N, &law, N}, {&law, N, N}, {N, &law, N}}};
    auto tree = treeOf({{1, 1}});
    const CompiledModel compiled(model, tree.get());
    struct Bad {
        const char* expected;
        std::function<void(Dependencies&)> call;
    };
    const Bad cases[] = {
        {"initial state 5 is not a state of the model (states 0 to 2)",
         [](Dependencies& d) { d.setInitialState(0, 5); }},
        {"down flags for 4 states", [](Dependencies& d) { d.setDownStates(0, {false, true, true, true}); }},
        {"failed state 1 of its common-cause group is not a down state",
         [&](Dependencies& d) {
             d.setDownStates(0, {false, false});
             d.addCommonCause({0}, {1}, &law);
         }},
        {"must count as working",
         [](Dependencies& d) {
             d.addStandby(1, {0}, 0, 2, 1, nullptr, 0.0);
             d.setDownStates(1, {true, true, false});
         }},
        {"failed state 0 of the standby unit is not a down state",
         [](Dependencies& d) {
             d.setDownStates(1, {false, false, false});
             d.addStandby(1, {0}, 1, 2, 0, nullptr, 0.0);
         }},
        {"already has a law from the standby state into the failed state",
         [&](Dependencies& d) { d.addStandby(1, {0}, 0, 2, 1, &law, 0.0); }},
    };
    for (const Bad& bad : cases) {
        SCOPED_TRACE(bad.expected);
        Dependencies d(2);
        bad.call(d);
        const std::string message = invalidArgumentMessage([&] { DependentModel m(compiled, d); });
        EXPECT_NE(message.find(bad.expected), std::string::npos) << message;
    }
    Dependencies three(3);
    EXPECT_NE(invalidArgumentMessage([&] { DependentModel m(compiled, three); })
                  .find("describe 3 components but the model has 2"),
              std::string::npos);
}

// ---- Random models ----

struct RandomCase {
    std::vector<std::unique_ptr<Distribution>> laws;
    ComponentModel model;
    std::unique_ptr<CutsetTree> tree;
    std::unique_ptr<Dependencies> deps;
};

// Components of 3 states (0 working, 1 failed, 2 a further state), random laws, random cut sets;
// with `dependencies`, random groups, standby units (standby state 2) and crew pools.
RandomCase randomCase(std::mt19937& rng, bool dependencies) {
    RandomCase m;
    std::uniform_int_distribution<int> componentCount(2, 40), kind(0, 5);
    const int components = componentCount(rng);
    auto uniformIn = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    auto lawFor = [&](int from) -> Distribution* {
        switch (kind(rng)) {
            case 0: return m.laws.emplace_back(new Exponential(uniformIn(0.01, 0.5))).get();
            case 1: {
                const double a = uniformIn(-10.0, 20.0);
                return m.laws.emplace_back(new Uniform(a, std::max(a + 0.5, 2.0) + uniformIn(0.0, 30.0))).get();
            }
            case 2: return m.laws.emplace_back(new Weibull(uniformIn(1.0, 40.0), uniformIn(0.3, 4.0))).get();
            case 3: return m.laws.emplace_back(new Inspection(1 + static_cast<int>(uniformIn(0, 12)))).get();
            case 4:
                if (from == 0) return m.laws.emplace_back(new InstantaneousFailure(static_cast<int>(uniformIn(0, 150)))).get();
                return N;
            default: return N;
        }
    };
    const int states = 3;
    m.model.assign(static_cast<std::size_t>(components), {});
    for (auto& component : m.model) {
        for (int s = 0; s < states; ++s) {
            std::vector<Distribution*> row;
            for (int k = 0; k < states; ++k) row.push_back(k == s ? N : lawFor(s));
            component.push_back(row);
        }
        // Every failed state can be repaired, so that crews have work.
        if (component[1][0] == N) component[1][0] = m.laws.emplace_back(new Exponential(0.2)).get();
    }
    std::bernoulli_distribution member(0.1), often(0.3);
    std::vector<std::vector<int>> cutsets;
    for (int i = 0; i < 1 + components / 3; ++i) {
        std::vector<int> cs(static_cast<std::size_t>(components), 0);
        cs[std::uniform_int_distribution<std::size_t>(0, cs.size() - 1)(rng)] = 1;
        for (int& entry : cs) entry = entry != 0 || member(rng) ? 1 : 0;
        cutsets.push_back(cs);
    }
    m.tree = treeOf(cutsets);
    m.deps = std::make_unique<Dependencies>(components);
    if (!dependencies) return m;

    std::uniform_int_distribution<int> anyComponent(0, components - 1);
    for (int c = 0; c < components; ++c) {
        if (!often(rng)) continue;
        std::vector<int> covers;
        for (int x = 0; x < components; ++x) {
            if (x != c && member(rng)) covers.push_back(x);
        }
        if (covers.empty()) covers.push_back((c + 1) % components);
        // A unit runs only when demanded: no law of its own from standby into running.
        auto& rows = m.model[static_cast<std::size_t>(c)];
        rows[2][0] = N;
        const Distribution* dormant =
            rows[2][1] == N ? m.laws.emplace_back(new Exponential(0.01)).get() : nullptr;
        m.deps->addStandby(c, covers, 0, 2, 1, dormant, uniformIn(0.0, 0.5));
    }
    for (int g = 0; g < 3; ++g) {
        std::vector<int> members;
        for (int c = 0; c < components; ++c) {
            if (member(rng)) members.push_back(c);
        }
        if (members.empty()) continue;
        m.deps->addCommonCause(members, std::vector<int>(members.size(), 1),
                               m.laws.emplace_back(new Exponential(uniformIn(0.005, 0.05))).get());
    }
    std::vector<int> unpooled(static_cast<std::size_t>(components));
    for (int c = 0; c < components; ++c) unpooled[static_cast<std::size_t>(c)] = c;
    std::shuffle(unpooled.begin(), unpooled.end(), rng);
    while (unpooled.size() >= 2) {
        const std::size_t size = std::min<std::size_t>(unpooled.size(), 1 + static_cast<std::size_t>(uniformIn(1, 8)));
        std::vector<int> members(unpooled.end() - static_cast<std::ptrdiff_t>(size), unpooled.end());
        unpooled.resize(unpooled.size() - size);
        m.deps->addCrewPool(1 + static_cast<int>(uniformIn(0, 3)), members,
                            often(rng) ? CrewOrder::listed : CrewOrder::firstFailed);
    }
    // Some components start failed.
    for (int c = 0; c < components; ++c) {
        if (member(rng) && m.deps->initialState(c) == 0) m.deps->setInitialState(c, 1);
    }
    return m;
}

template <class Engine>
Recorder runEngine(Engine& engine, int simTime, std::uint32_t seed) {
    Recorder out(simTime);
    engine.run(seed, out);
    return out;
}

TEST(DependentHistoryRandom, WithoutDependenciesItIsTheIndependentEngineEventForEvent) {
    std::mt19937 rng(20261208u);
    std::size_t events = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const RandomCase m = randomCase(rng, false);
        const CompiledModel compiled(m.model, m.tree.get());
        const DependentModel dependent(compiled, *m.deps);
        for (FirstSampling first : {FirstSampling::warnAndSkip, FirstSampling::fireNegative}) {
            for (EventSelection selection : {EventSelection::scan, EventSelection::heap}) {
                HistoryEngine independent(compiled, 400, selection, first);
                DependentHistoryEngine engine(dependent, 400, selection, first);
                testing::internal::CaptureStdout();  // warnings of rejected first samples
                const Recorder expected = runEngine(independent, 400, 500u + round);
                const Recorder got = runEngine(engine, 400, 500u + round);
                const std::string printed = testing::internal::GetCapturedStdout();
                ASSERT_EQ(got.events, expected.events);
                ASSERT_EQ(got.series, expected.series);
                events += got.events.size();
            }
        }
    }
    EXPECT_GT(events, 20000u) << "the models are meant to be busy";
}

// Runs step by step, checking after each step what must always hold.
void checkInvariants(const DependentModel& model, const DependentHistoryEngine& engine) {
    for (int p = 0; p < model.pools(); ++p) {
        int holders = 0;
        for (int r = 0; r < model.poolSize(p); ++r) {
            const int c = model.poolMember(p, r);
            if (!engine.holdsCrew(c)) continue;
            ++holders;
            ASSERT_TRUE(model.isDown(c, engine.stateOf(c))) << "a crew on a working component " << c;
        }
        ASSERT_EQ(holders + engine.freeCrews(p), model.crewCount(p))
            << "crews of pool " << p << " lost or doubled at time " << engine.time();
    }
    for (int unit = 0; unit < model.standbyUnits(); ++unit) {
        const int c = model.standbyComponentOf(unit);
        if (engine.stateOf(c) != model.runningState(unit)) continue;
        bool anyDown = false;
        for (const int* x = model.coversBegin(unit); x != model.coversEnd(unit); ++x) {
            anyDown = anyDown || model.isDown(*x, engine.stateOf(*x));
        }
        ASSERT_TRUE(anyDown) << "standby unit " << c << " runs with nothing to cover";
    }
}

TEST(DependentHistoryRandom, ScanAndHeapAgreeAndInvariantsHoldWithDependencies) {
    std::mt19937 rng(7u);
    std::size_t events = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const RandomCase m = randomCase(rng, true);
        const CompiledModel compiled(m.model, m.tree.get());
        const DependentModel dependent(compiled, *m.deps);
        DependentHistoryEngine scan(dependent, 600, EventSelection::scan, FirstSampling::fireNegative);
        DependentHistoryEngine heap(dependent, 600, EventSelection::heap, FirstSampling::fireNegative);
        Recorder viaScan(600);
        scan.start(900u + round);
        scan.sampleFirst(viaScan);
        while (scan.step(viaScan)) {
            checkInvariants(dependent, scan);
            if (HasFatalFailure()) return;
        }
        const Recorder viaHeap = runEngine(heap, 600, 900u + round);
        ASSERT_EQ(viaHeap.events, viaScan.events);
        ASSERT_EQ(viaHeap.series, viaScan.series);
        // Same seed, same history; another seed, another.
        EXPECT_EQ(runEngine(scan, 600, 900u + round).events, viaScan.events);
        if (viaScan.events.size() > 10) {
            EXPECT_NE(runEngine(scan, 600, 901u + round).events, viaScan.events);
        }
        events += viaScan.events.size();
    }
    EXPECT_GT(events, 10000u) << "the models are meant to be busy";
}

}  // namespace
