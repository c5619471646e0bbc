#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulation.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The Mersenne Twister MT19937 as published by Matsumoto and Nishimura (init_genrand and
// genrand_int32), written out here so the engine's draws are checked against something other
// than the standard library's engine.
class ReferenceMT19937 {
public:
    explicit ReferenceMT19937(std::uint32_t seed) {
        state[0] = seed;
        for (index = 1; index < 624; ++index) {
            state[index] = 1812433253u * (state[index - 1] ^ (state[index - 1] >> 30)) + index;
        }
    }

    std::uint32_t next() {
        if (index >= 624) twist();
        std::uint32_t y = state[index++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= y >> 18;
        return y;
    }

private:
    void twist() {
        for (int i = 0; i < 624; ++i) {
            const std::uint32_t y = (state[i] & 0x80000000u) | (state[(i + 1) % 624] & 0x7fffffffu);
            state[i] = state[(i + 397) % 624] ^ (y >> 1) ^ ((y & 1u) ? 0x9908b0dfu : 0u);
        }
        index = 0;
    }

    std::array<std::uint32_t, 624> state{};
    std::uint32_t index = 0;
};

// The draw as documented: round float(x) to nearest, scale by 2^-32, keep it below 1; an output
// of 0 gives 2^-33, below every other draw.
double expectedDraw(std::uint32_t x) {
    if (x == 0) return std::ldexp(1.0, -33);
    const float f = static_cast<float>(static_cast<double>(x)) / 4294967296.0f;
    return f >= 1.0f ? static_cast<double>(std::nextafter(1.0f, 0.0f)) : static_cast<double>(f);
}

// A law answering a fixed value.
class FixedLaw : public Distribution {
public:
    explicit FixedLaw(double q) : q(q) {}
    double quantile(double, int) const override { return q; }

private:
    double q;
};

// Records every question it is asked, then answers as the wrapped law does.
class RecordingLaw : public Distribution {
public:
    struct Call {
        double p;
        int time;
    };
    explicit RecordingLaw(const Distribution& inner, std::vector<Call>& calls)
        : inner(inner), calls(calls) {}
    double quantile(double p, int time) const override {
        calls.push_back({p, time});
        return inner.quantile(p, time);
    }

private:
    const Distribution& inner;
    std::vector<Call>& calls;
};

std::unique_ptr<CutsetTree> treeOf(const std::vector<std::vector<int>>& cutsets) {
    auto tree = std::make_unique<CutsetTree>(static_cast<int>(cutsets.at(0).size()));
    tree->constructTree(cutsets);
    return tree;
}

struct History {
    std::vector<unsigned int> series;
    std::vector<Transition> log;
};

History runHistory(const ComponentModel& model, CutsetTree& tree, int simTime,
                   std::uint32_t seed = 1) {
    History h;
    h.series.assign(static_cast<std::size_t>(simTime), 77u);  // sentinel: every entry is written
    Simulation sim(simTime, model, &tree, h.series.data(), seed);
    sim.runSimulation();
    EXPECT_EQ(sim.time(), simTime);
    h.log = sim.transitionLog();
    return h;
}

// The message of the std::invalid_argument that f throws; empty when it throws none.
template <class F>
std::string invalidArgumentMessage(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

std::vector<std::array<int, 4>> asRows(const std::vector<Transition>& log) {
    std::vector<std::array<int, 4>> rows;
    for (const Transition& t : log) rows.push_back({t.time, t.prevState, t.nextState, t.componentId});
    return rows;
}

// The law that never fires, shared by every test.
Distribution never;
Distribution* const N = &never;

// ---- The draw ----

TEST(SimulationDraw, ReferenceTwisterMatchesPublishedOutputs) {
    // First output for the default seed, and the 10000th, as the C++ standard states them.
    ReferenceMT19937 mt(5489u);
    EXPECT_EQ(mt.next(), 3499211612u);
    for (int i = 2; i < 10000; ++i) mt.next();
    EXPECT_EQ(mt.next(), 4123659995u);
}

TEST(SimulationDraw, LazyTwisterMatchesTheStandardEngineAcrossRoundsAndReseeding) {
    LazyMersenneTwister lazy;
    for (std::uint32_t seed : {0u, 1u, 5489u, 27494765u, 2147483648u, 4294967295u}) {
        // Reseeding midway through a round must forget the old round entirely.
        for (int taken : {0, 1, 226, 227, 623, 624, 625, 1500}) {
            lazy.seed(seed ^ 0x5a5a5a5au);
            for (int i = 0; i < taken; ++i) lazy();
            lazy.seed(seed);
            std::mt19937 standard(seed);
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(lazy(), standard()) << "seed " << seed << ", output " << i
                                              << ", after " << taken << " outputs of another seed";
            }
        }
    }
}

TEST(SimulationDraw, UnitFloatFromBits) {
    const float belowOne = std::nextafter(1.0f, 0.0f);
    EXPECT_EQ(belowOne, 0.99999994f);
    struct Case {
        std::uint32_t x;
        float expected;
    };
    const Case cases[] = {
        {0u, std::ldexp(1.0f, -33)},  // never 0: a law may reject p = 0
        {1u, std::ldexp(1.0f, -32)},
        {0x80000000u, 0.5f},
        {16777217u, std::ldexp(1.0f, -8)},  // 2^24 + 1 rounds to even, 2^24
        {0xFFFFFF7Fu, belowOne},            // rounds down to 2^32 - 256
        {0xFFFFFF80u, belowOne},            // halfway, rounds to even: 2^32, clamped
        {0xFFFFFFFFu, belowOne},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unitFloatFromBits(c.x), c.expected) << "x = " << c.x;
        EXPECT_EQ(static_cast<double>(unitFloatFromBits(c.x)), expectedDraw(c.x)) << "x = " << c.x;
    }
}

TEST(SimulationDraw, EveryLawConsultedGetsTheNextDrawOfTheSeededTwister) {
    for (std::uint32_t seed : {0u, 5489u, 2147483648u, 4294967295u}) {
        std::vector<RecordingLaw::Call> calls;
        RecordingLaw law(never, calls);
        const ComponentModel model(2, std::vector<std::vector<Distribution*>>(
                                          3, std::vector<Distribution*>(3, &law)));
        auto tree = treeOf({{1, 1}});
        // simTime 0 still samples every component: 2 components x 3 states.
        const History h = runHistory(model, *tree, 0, seed);
        EXPECT_TRUE(h.series.empty());
        EXPECT_TRUE(h.log.empty());
        ReferenceMT19937 mt(seed);
        ASSERT_EQ(calls.size(), 6u);
        for (const auto& call : calls) {
            EXPECT_EQ(call.p, expectedDraw(mt.next())) << "seed " << seed;
            EXPECT_EQ(call.time, 0);
        }
    }
}

TEST(SimulationDraw, ResamplingDrawsOncePerLawAtTheCurrentTime) {
    // Failure at 3, inspection every 5 repairs, the overdue failure strikes again at once.
    InstantaneousFailure failAt3(3);
    Inspection inspect(5);
    std::vector<RecordingLaw::Call> calls;
    RecordingLaw n(never, calls), f(failAt3, calls), r(inspect, calls);
    const ComponentModel model{{{&n, &f}, {&r, &n}}};
    auto tree = treeOf({{1}});
    const History h = runHistory(model, *tree, 12, 42u);
    const std::vector<int> times{0, 0, 3, 3, 5, 5, 5, 5, 10, 10, 10, 10};
    ASSERT_EQ(calls.size(), times.size());
    ReferenceMT19937 mt(42u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].p, expectedDraw(mt.next())) << "draw " << i;
        EXPECT_EQ(calls[i].time, times[i]) << "draw " << i;
    }
}

// ---- Schedule-driven histories worked out by hand ----

struct Scenario {
    const char* name;
    ComponentModel model;
    std::vector<std::vector<int>> cutsets;
    int simTime;
    std::vector<unsigned int> series;
    std::vector<std::array<int, 4>> log;  // time, prevState, nextState, componentId
};

InstantaneousFailure at1(1), at2(2), at3(3), at4(4), at5(5), at6(6);
Inspection every3(3), every4(4), every5(5);
FixedLaw huge(2147483000.0);

std::vector<Scenario> scenarios() {
    return {
        {"one failure at 3", {{{N, &at3}, {N, N}}}, {{1}}, 6, {0, 0, 0, 1, 1, 1}, {{3, 0, 1, 0}}},
        {"all laws never", {{{N, N}, {N, N}}, {{N, N}, {N, N}}}, {{1, 0}}, 4, {0, 0, 0, 0}, {}},
        {"event due exactly at the horizon is not applied",
         {{{N, &at6}, {N, N}}}, {{1}}, 6, {0, 0, 0, 0, 0, 0}, {}},
        {"event in the last time unit", {{{N, &at5}, {N, N}}}, {{1}}, 6, {0, 0, 0, 0, 0, 1},
         {{5, 0, 1, 0}}},
        {"two components fail in one time unit, lower index first",
         {{{N, &at3}, {N, N}}, {{N, &at3}, {N, N}}}, {{1, 1}}, 5, {0, 0, 0, 1, 1},
         {{3, 0, 1, 0}, {3, 0, 1, 1}}},
        {"equal delays to two targets: the lower state wins",
         {{{N, &at4, &at4}, {N, N, N}, {N, N, N}}}, {{1}}, 6, {0, 0, 0, 0, 1, 1}, {{4, 0, 1, 0}}},
        {"overdue failure on entering a state fires at once, then stuck",
         {{{N, &at2, N}, {N, N, &at1}, {N, N, N}}}, {{1}}, 5, {0, 0, 1, 1, 1},
         {{2, 0, 1, 0}, {2, 1, 2, 0}}},
        {"inspection repairs, the overdue failure strikes again in the same unit",
         {{{N, &at3}, {&every5, N}}}, {{1}}, 12, {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1},
         {{3, 0, 1, 0}, {5, 1, 0, 0}, {5, 0, 1, 0}, {10, 1, 0, 0}, {10, 0, 1, 0}}},
        // Parallel pair: the unit-5 repair-and-refail of component 0 leaves the system failed.
        {"parallel pair with inspection and a stuck component",
         {{{N, &at2}, {&every5, N}}, {{N, &at4}, {N, N}}}, {{1, 1}}, 8, {0, 0, 0, 0, 1, 1, 1, 1},
         {{2, 0, 1, 0}, {4, 0, 1, 1}, {5, 1, 0, 0}, {5, 0, 1, 0}}},
        {"series pair: one failure is enough",
         {{{N, &at2}, {&every5, N}}, {{N, &at4}, {N, N}}}, {{1, 0}, {0, 1}}, 8,
         {0, 0, 1, 1, 1, 1, 1, 1}, {{2, 0, 1, 0}, {4, 0, 1, 1}, {5, 1, 0, 0}, {5, 0, 1, 0}}},
        // Inspections of failures every 4 and repairs every 3 units.
        {"failures and repairs on two schedules", {{{N, &every4}, {&every3, N}}}, {{1}}, 11,
         {0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0},
         {{4, 0, 1, 0}, {6, 1, 0, 0}, {8, 0, 1, 0}, {9, 1, 0, 0}}},
        // A delay that would overflow currentTime + delay must still count as beyond the horizon.
        {"huge delay after an event", {{{N, &at5}, {&huge, N}}}, {{1}}, 10,
         {0, 0, 0, 0, 0, 1, 1, 1, 1, 1}, {{5, 0, 1, 0}}},
        {"simTime 0", {{{N, &at3}, {N, N}}}, {{1}}, 0, {}, {}},
    };
}

TEST(SimulationScenario, SeriesAndLogMatchTheHandWorkedSchedule) {
    for (const Scenario& s : scenarios()) {
        SCOPED_TRACE(s.name);
        auto tree = treeOf(s.cutsets);
        const History h = runHistory(s.model, *tree, s.simTime);
        EXPECT_EQ(h.series, s.series);
        EXPECT_EQ(asRows(h.log), s.log);
    }
}

TEST(SimulationScenario, FirstSamplingPendsTheEarliestTargetOfEveryComponent) {
    // Component 0: failure at 4 into state 1 beats state 2 at 6; component 1: nothing pends;
    // component 2: equal delays, the lower target wins.
    const ComponentModel model{{{N, &at4, &at6}, {N, N, N}, {N, N, N}},
                               {{N, N, N}, {N, N, N}, {N, N, N}},
                               {{N, &at5, &at5}, {N, N, N}, {N, N, N}}};
    auto tree = treeOf({{1, 1, 1}});
    std::vector<unsigned int> series(10);
    Simulation sim(10, model, tree.get(), series.data(), 1u);
    sim.initRealizations();
    struct Expected {
        int nextTime, currentState, nextState;
    };
    const Expected expected[] = {{4, 0, 1}, {kNeverDelay, 0, 0}, {5, 0, 1}};
    for (int c = 0; c < 3; ++c) {
        const Realization r = sim.pendingTransition(c);
        EXPECT_EQ(r.nextTime, expected[c].nextTime) << "component " << c;
        EXPECT_EQ(r.currentState, expected[c].currentState) << "component " << c;
        EXPECT_EQ(r.nextState, expected[c].nextState) << "component " << c;
    }
    sim.tick();
    EXPECT_EQ(sim.time(), 4);
    EXPECT_EQ(sim.pendingTransition(2).nextTime, 1) << "pending times count from the current time";
}

// ---- Quantiles without an int value ----

TEST(SimulationConversion, DelayFromQuantile) {
    const int kMin = std::numeric_limits<int>::min();
    struct Case {
        double q;
        int delay;
    };
    const Case cases[] = {
        {3.9, 3},           {-3.9, -3},         {-0.5, 0},          {0.0, 0},
        {2147483646.9, 2147483646},             {2147483647.0, kNeverDelay},
        {2147483647.5, kNeverDelay},            {2147483648.0, kNeverDelay},
        {1e300, kNeverDelay},                   {kInf, kNeverDelay},
        {kNaN, kNeverDelay},                    {-kNaN, kNeverDelay},
        {-2147483648.9, kMin},                  {-2147483649.0, kMin},
        {-1e300, kMin},                         {-kInf, kMin},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(delayFromQuantile(c.q), c.delay) << "q = " << c.q;
    }
}

TEST(SimulationConversion, ResampledResultsWithoutIntValue) {
    // Component fails at 5 into state 1, whose only way out is the law under test.
    struct Case {
        double q;
        bool leavesAtOnce;
    };
    const Case cases[] = {{kNaN, false}, {1e300, false}, {kInf, false}, {2147483648.0, false},
                          {-1e300, true}, {-kInf, true}, {-2147483649.0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.q);
        FixedLaw law(c.q);
        const ComponentModel model{{{N, &at5, N}, {N, N, &law}, {N, N, N}}};
        auto tree = treeOf({{1}});
        const History h = runHistory(model, *tree, 8);
        EXPECT_EQ(h.series, (std::vector<unsigned int>{0, 0, 0, 0, 0, 1, 1, 1}));
        std::vector<std::array<int, 4>> expected{{5, 0, 1, 0}};
        if (c.leavesAtOnce) expected.push_back({5, 1, 2, 0});
        EXPECT_EQ(asRows(h.log), expected);
    }
}

std::string warningLine(double q, double p) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, "%g  %g\n", q, p);
    return std::string("Warning: nextTimeDouble is out of bounds: ") + numbers;
}

TEST(SimulationWarning, OutOfBoundsFirstSampleIsPrintedAndSkipped) {
    // Seed 254923 opens with the output 1073743890, a draw of 0.250000477 printed as 0.25.
    FixedLaw law(-3.5);
    const ComponentModel model{{{&law}}};
    auto tree = treeOf({{1}});
    testing::internal::CaptureStdout();
    const History h = runHistory(model, *tree, 3, 254923u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: nextTimeDouble is out of bounds: -3.5  0.25\n");
    EXPECT_EQ(h.series, (std::vector<unsigned int>{0, 0, 0}));
    EXPECT_TRUE(h.log.empty());
}

TEST(SimulationWarning, EveryRejectedValueIsSkippedAndTheRestStillCompete) {
    // State 0 offers: NaN, too large, negative, then a failure at 4; only the last is usable.
    FixedLaw nan(kNaN), tooLarge(3e9), negative(-0.25);
    const ComponentModel model{{{&nan, &tooLarge, &negative, &at4}, {N, N, N, N},
                                {N, N, N, N}, {N, N, N, N}}};
    auto tree = treeOf({{1}});
    testing::internal::CaptureStdout();
    const History h = runHistory(model, *tree, 6, 7u);
    const std::string out = testing::internal::GetCapturedStdout();
    ReferenceMT19937 mt(7u);
    const double p0 = expectedDraw(mt.next()), p1 = expectedDraw(mt.next()),
                 p2 = expectedDraw(mt.next());
    EXPECT_EQ(out, warningLine(kNaN, p0) + warningLine(3e9, p1) + warningLine(-0.25, p2));
    EXPECT_EQ(asRows(h.log), (std::vector<std::array<int, 4>>{{4, 0, 3, 0}}));
}

// ---- A history that stops advancing time ----

TEST(SimulationGuard, CycleOfZeroDelaysIsReportedWithItsTimeUnit) {
    Uniform instant(0.0, 1.0);  // every delay truncates to 0
    struct Case {
        const char* name;
        ComponentModel model;
        const char* unit;
    };
    const Case cases[] = {
        {"failure and repair both within a unit", {{{N, &instant}, {&instant, N}}}, "time unit 0:"},
        {"overdue failure and overdue repair", {{{N, &at2}, {&at1, N}}}, "time unit 2:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto tree = treeOf({{1}});
        std::vector<unsigned int> series(10);
        Simulation sim(10, c.model, tree.get(), series.data(), 3u);
        try {
            sim.runSimulation();
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("History stopped advancing at ", 0), 0u) << message;
            EXPECT_NE(message.find(c.unit), std::string::npos) << message;
            EXPECT_NE(message.find("component 0 "), std::string::npos) << message;
        }
    }
}

TEST(SimulationGuard, LongButFiniteBurstInOneUnitIsFine) {
    // A chain through nine states, each entered overdue: nine events in time unit 3.
    const int states = 10;
    ComponentModel model(1, std::vector<std::vector<Distribution*>>(
                                states, std::vector<Distribution*>(states, N)));
    for (int s = 0; s + 1 < states; ++s) model[0][s][s + 1] = s == 0 ? &at3 : &at1;
    auto tree = treeOf({{1}});
    const History h = runHistory(model, *tree, 5);
    EXPECT_EQ(h.log.size(), 9u);
    EXPECT_EQ(h.log.back().time, 3);
    EXPECT_EQ(h.log.back().nextState, 9);
}

TEST(SimulationGuard, OneLoopingComponentAmongManyIsNamedAndBurstsOfManyComponentsRun) {
    Uniform instant(0.0, 1.0);  // every delay truncates to 0
    const int components = 5000;
    // Every component fails at 3: thousands of events in one unit.
    ComponentModel model(components, {{N, &at3}, {N, N}});
    auto tree = std::make_unique<CutsetTree>(components);
    std::vector<int> all(components, 1);
    tree->insertNode(all);
    std::vector<unsigned int> series(8);
    {
        Simulation sim(8, model, tree.get(), series.data(), 5u);
        sim.runSimulation();
        EXPECT_EQ(sim.transitionLog().size(), static_cast<std::size_t>(components));
        EXPECT_EQ(series, (std::vector<unsigned int>{0, 0, 0, 1, 1, 1, 1, 1}));
    }
    // The last component loops between its states within time unit 0.
    model.back() = {{N, &instant}, {&instant, N}};
    Simulation sim(8, model, tree.get(), series.data(), 5u);
    try {
        sim.runSimulation();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("time unit 0: component 4999 "), std::string::npos)
            << e.what();
    }
}

// ---- The engine's choices: the heap against the scan, counts against the tree ----

// Laws that make ties (schedules), overdue transitions (fixed failure times already passed),
// rejected first samples (negative uniform bounds) and plain randomness.
struct RandomModel {
    std::vector<std::unique_ptr<Distribution>> laws;
    ComponentModel model;
    std::unique_ptr<CutsetTree> tree;
};

RandomModel randomModel(std::mt19937& rng) {
    RandomModel m;
    std::uniform_int_distribution<int> componentCount(1, 80), stateCount(2, 4), kind(0, 6);
    const int components = componentCount(rng), states = stateCount(rng);
    auto uniformIn = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    auto lawFor = [&](int from) -> Distribution* {
        switch (kind(rng)) {
            case 0: return m.laws.emplace_back(new Exponential(uniformIn(0.01, 0.5))).get();
            case 1: {
                // Upper bounds of at least 2 leave every state sometimes, so no endless cycle.
                const double a = uniformIn(-10.0, 20.0);
                return m.laws.emplace_back(new Uniform(a, std::max(a + 0.5, 2.0) + uniformIn(0.0, 30.0))).get();
            }
            case 2: return m.laws.emplace_back(new Weibull(uniformIn(1.0, 40.0), uniformIn(0.3, 4.0))).get();
            case 3: return m.laws.emplace_back(new Inspection(1 + static_cast<int>(uniformIn(0, 12)))).get();
            case 4:
                // Fixed failure times only leave state 0, so no cycle of overdue transitions.
                if (from == 0) return m.laws.emplace_back(new InstantaneousFailure(static_cast<int>(uniformIn(0, 150)))).get();
                return N;
            default: return N;
        }
    };
    m.model.assign(static_cast<std::size_t>(components), {});
    for (auto& component : m.model) {
        for (int s = 0; s < states; ++s) {
            std::vector<Distribution*> row;
            for (int k = 0; k < states; ++k) row.push_back(k == s ? N : lawFor(s));
            component.push_back(row);
        }
    }
    std::bernoulli_distribution member(0.08);
    std::vector<std::vector<int>> cutsets;
    for (int i = 0; i < 1 + components / 3; ++i) {
        std::vector<int> cs(static_cast<std::size_t>(components), 0);
        cs[std::uniform_int_distribution<std::size_t>(0, cs.size() - 1)(rng)] = 1;
        for (int& entry : cs) entry = entry != 0 || member(rng) ? 1 : 0;
        cutsets.push_back(cs);
    }
    m.tree = treeOf(cutsets);
    return m;
}

History runWith(EngineOptions options, const RandomModel& m, int simTime, std::uint32_t seed) {
    History h;
    h.series.assign(static_cast<std::size_t>(simTime), 77u);
    Simulation sim(simTime, m.model, m.tree.get(), h.series.data(), seed, options);
    sim.runSimulation();
    h.log = sim.transitionLog();
    return h;
}

TEST(SimulationEngineChoices, EveryChoiceFiresTheSameEventsOnRandomModels) {
    // The scan with the tree against the heap, and against either with counts of failed members.
    const EngineOptions reference{EventSelection::scan, FailureLogic::tree};
    const EngineOptions others[] = {{EventSelection::heap, FailureLogic::tree},
                                    {EventSelection::scan, FailureLogic::counts},
                                    {EventSelection::heap, FailureLogic::counts}};
    std::mt19937 rng(20261207u);
    std::size_t events = 0;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        const RandomModel m = randomModel(rng);
        testing::internal::CaptureStdout();  // warnings of rejected first samples
        const History expected = runWith(reference, m, 400, 1000u + round);
        std::vector<History> histories;
        for (const EngineOptions& options : others) histories.push_back(runWith(options, m, 400, 1000u + round));
        testing::internal::GetCapturedStdout();
        for (std::size_t i = 0; i < histories.size(); ++i) {
            EXPECT_EQ(histories[i].series, expected.series) << "choice " << i;
            EXPECT_EQ(asRows(histories[i].log), asRows(expected.log)) << "choice " << i;
        }
        events += expected.log.size();
    }
    EXPECT_GT(events, 10000u) << "the models are meant to be busy";
}

// ---- Reproducibility ----

TEST(SimulationReproducibility, SameSeedSameSeriesAndLog) {
    Exponential fail(0.05), repair(0.3);
    Weibull wear(30.0, 1.5);
    Uniform slow(2.0, 9.0);
    const ComponentModel model{{{N, &fail, &wear}, {&repair, N, N}, {&slow, N, N}},
                               {{N, &wear, N}, {&slow, N, N}, {N, N, N}},
                               {{N, &fail, N}, {&repair, N, N}, {N, N, N}}};
    auto tree = treeOf({{1, 1, 0}, {0, 0, 1}});
    const History a = runHistory(model, *tree, 500, 99u);
    const History b = runHistory(model, *tree, 500, 99u);
    const History c = runHistory(model, *tree, 500, 100u);
    EXPECT_EQ(a.series, b.series);
    EXPECT_EQ(asRows(a.log), asRows(b.log));
    EXPECT_GT(a.log.size(), 20u) << "the model is meant to be busy";
    EXPECT_NE(asRows(a.log), asRows(c.log));
}

// ---- Checks before a history runs ----

struct ShapeCase {
    const char* name;
    ComponentModel model;
    const char* message;  // empty: accepted
};

TEST(SimulationChecks, ConstructorChecksTreeFirstThenEmptiness) {
    auto tree = treeOf({{1}});
    std::vector<unsigned int> series(3);
    const ComponentModel empty, noStates{{}}, fine{{{N}}};
    auto messageOf = [&](const ComponentModel& model, CutsetTree* t) {
        return invalidArgumentMessage([&] { Simulation sim(3, model, t, series.data(), 0u); });
    };
    EXPECT_EQ(messageOf(empty, nullptr), "Cutset matrix must not be null.");
    EXPECT_EQ(messageOf(empty, tree.get()), "Transitions matrix must not be empty.");
    EXPECT_EQ(messageOf(noStates, tree.get()), "Transitions matrix must not be empty.");
    EXPECT_EQ(messageOf(fine, tree.get()), "");
}

TEST(SimulationChecks, ModelShape) {
    const ShapeCase cases[] = {
        {"square model", {{{N, &at3}, {N, N}}, {{N, N}, {N, N}}}, ""},
        {"row too short", {{{N, &at3}, {N, N}}, {{N, N}, {N}}},
         "Component 1, state 1: expected 2 transition laws, found 1."},
        {"row too long", {{{N, &at3, N}, {N, N}}}, "Component 0, state 0: expected 2 transition laws, found 3."},
        {"null law", {{{N, &at3}, {N, N}}, {{N, nullptr}, {N, N}}},
         "Component 1, state 0: the law of the transition into state 1 is missing (None)."},
        {"null law in a row never entered", {{{N, N}, {nullptr, N}}},
         "Component 0, state 1: the law of the transition into state 0 is missing (None)."},
        {"no rows at all for a later component", {{{N, &at3}, {N, N}}, {}},
         "Component 1 has no row of laws for its initial state 0."},
        {"missing row of a reachable state", {{{N, &at3}, {N, N}}, {{N, &at3}}},
         "Component 1, state 0: the transition into state 1 leads to a state without a row of laws."},
        {"missing row reached through another state",
         {{{N, N, N}, {N, N, N}, {N, N, N}}, {{N, &at2, N}, {N, N, &at1}}},
         "Component 1, state 1: the transition into state 2 leads to a state without a row of laws."},
        {"missing row of a state never entered", {{{N, &at3}, {N, N}}, {{N, N}}}, ""},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(invalidArgumentMessage([&] { checkModelShape(c.model); }), c.message);
    }
}

TEST(SimulationChecks, CheckModelRunsTheConstructorChecksFirst) {
    const ComponentModel ragged{{{N, N}, {N}}};
    auto tree = treeOf({{1}});
    const ComponentModel fine{{{N}}};
    EXPECT_EQ(invalidArgumentMessage([&] { checkModel(ragged, nullptr); }),
              "Cutset matrix must not be null.");
    EXPECT_EQ(invalidArgumentMessage([&] { checkModel(ragged, tree.get()); }),
              "Component 0, state 1: expected 2 transition laws, found 1.");
    EXPECT_EQ(invalidArgumentMessage([&] { checkModel(fine, tree.get()); }), "");
}

}  // namespace
