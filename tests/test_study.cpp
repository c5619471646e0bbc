#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulation.h"
#include "study/studyOutput.h"
#include "study/studyRunner.h"

namespace {

Distribution never;
Distribution* const N = &never;

std::unique_ptr<CutsetTree> treeOf(const std::vector<std::vector<int>>& cutsets) {
    auto tree = std::make_unique<CutsetTree>(static_cast<int>(cutsets[0].size()));
    tree->constructTree(cutsets);
    return tree;
}

// ---- What a series implies, computed step by step ----

// The figures of many histories, from their whole series: what the study must give.
struct BruteFigures {
    std::vector<std::uint64_t> perUnit;
    std::map<std::uint64_t, std::uint64_t> failedSteps, failures, firstFailure;
    std::uint64_t withoutFailure = 0;
    Wide failedSum = 0, failedSquares = 0, failuresSum = 0, failuresSquares = 0;

    BruteFigures(int simTime, int stepsPerUnit)
        : perUnit(static_cast<std::size_t>(simTime / stepsPerUnit), 0) {}

    void addSeries(const std::vector<unsigned int>& series, int stepsPerUnit) {
        std::uint64_t failed = 0, entries = 0;
        int first = -1;
        for (std::size_t t = 0; t < series.size(); ++t) {
            if (series[t] == 0) continue;
            ++failed;
            perUnit[t / static_cast<std::size_t>(stepsPerUnit)] += 1;
            if (t == 0 || series[t - 1] == 0) {
                ++entries;
                if (first < 0) first = static_cast<int>(t);
            }
        }
        ++failedSteps[failed];
        ++failures[entries];
        if (first < 0) {
            ++withoutFailure;
        } else {
            ++firstFailure[static_cast<std::uint64_t>(first)];
        }
        failedSum += failed;
        failedSquares += static_cast<Wide>(failed) * failed;
        failuresSum += entries;
        failuresSquares += static_cast<Wide>(entries) * entries;
    }
};

// Counts per value as the study returns them: up to the largest value, bins of width 1.
std::vector<std::uint64_t> dense(const std::map<std::uint64_t, std::uint64_t>& counts) {
    std::vector<std::uint64_t> out(counts.empty() ? 0 : counts.rbegin()->first + 1, 0);
    for (const auto& [value, count] : counts) out[value] = count;
    return out;
}

void expectFiguresEqual(const StudyResult& result, const BruteFigures& expected) {
    EXPECT_EQ(result.failedStepsPerUnit, expected.perUnit);
    EXPECT_EQ(result.failedStepsHistogram, dense(expected.failedSteps));
    EXPECT_EQ(result.failuresHistogram, dense(expected.failures));
    EXPECT_EQ(result.firstFailureHistogram, dense(expected.firstFailure));
    EXPECT_EQ(result.historiesWithoutFailure, expected.withoutFailure);
    EXPECT_TRUE(result.failedSteps.sum == expected.failedSum);
    EXPECT_TRUE(result.failedSteps.sumOfSquares == expected.failedSquares);
    EXPECT_TRUE(result.failures.sum == expected.failuresSum);
    EXPECT_TRUE(result.failures.sumOfSquares == expected.failuresSquares);
    EXPECT_EQ(result.binWidth, 1u);
}

// ---- Folding failed intervals per unit ----

TEST(StudyFolding, EveryIntervalAddsItsStepsToTheUnitsItCovers) {
    // Random intervals, at resolutions that put their ends anywhere in a unit, on horizons that
    // span several blocks of counters; the expected counts are filled step by step.
    std::mt19937 rng(42u);
    for (int stepsPerUnit : {1, 2, 7, 60, 4099}) {
        for (int units : {1, 3, 5000}) {
            SCOPED_TRACE(std::to_string(stepsPerUnit) + " steps per unit, " + std::to_string(units) + " units");
            const int simTime = stepsPerUnit * units;
            StudyTally tally(simTime, stepsPerUnit);
            std::vector<std::uint64_t> steps(static_cast<std::size_t>(simTime), 0);
            std::uniform_int_distribution<int> point(0, simTime);
            for (int i = 0; i < 300; ++i) {
                int from = point(rng), to = point(rng);
                if (from > to) std::swap(from, to);
                if (i % 10 == 0) to = simTime;  // up to the horizon
                if (from == to) continue;
                tally.foldFailedSteps(from, to);
                for (int t = from; t < to; ++t) ++steps[static_cast<std::size_t>(t)];
            }
            std::vector<std::uint64_t> expected(static_cast<std::size_t>(units), 0);
            for (int t = 0; t < simTime; ++t) {
                expected[static_cast<std::size_t>(t / stepsPerUnit)] += steps[static_cast<std::size_t>(t)];
            }
            EXPECT_EQ(StudyTally::failedStepsPerUnit({&tally}), expected);
        }
    }
}

TEST(StudyFolding, TalliesOfSeveralThreadsAddUp) {
    StudyTally a(100, 10), b(100, 10);
    a.foldFailedSteps(5, 25);
    b.foldFailedSteps(20, 100);
    b.foldFailedSteps(99, 100);
    EXPECT_EQ(StudyTally::failedStepsPerUnit({&a, &b}),
              (std::vector<std::uint64_t>{5, 10, 15, 10, 10, 10, 10, 10, 10, 11}));
}

// ---- Counters in blocks, bins and exact moments ----

TEST(StudyCounters, BlockedCountsAgreeWithAMap) {
    std::mt19937 rng(7u);
    std::uniform_int_distribution<std::uint64_t> index(0, 60000);
    BlockedCounts counts, other;
    std::map<std::uint64_t, std::uint64_t> expected;
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t at = i % 3 == 0 ? index(rng) % 50 : index(rng);  // dense and sparse
        (i % 2 == 0 ? counts : other).add(at, static_cast<std::uint64_t>(i));
        expected[at] += static_cast<std::uint64_t>(i);
    }
    counts.mergeFrom(other);
    ASSERT_EQ(counts.size(), expected.rbegin()->first + 1);
    EXPECT_EQ(counts.toVector(), dense(expected));
    EXPECT_EQ(BlockedCounts().toVector(), std::vector<std::uint64_t>{});
}

TEST(StudyCounters, BinsAreExactBelowTheLimitAndAsNarrowAsTheyCanBeBeyond) {
    const std::uint64_t E = StudyBinning::kExactBins;
    for (std::uint64_t maxValue : {std::uint64_t{0}, E - 1, E, 2 * E - 1, 2 * E, 3 * E + 5, 5 * E,
                                   std::uint64_t{2147483647}}) {
        SCOPED_TRACE(maxValue);
        const StudyBinning bins(maxValue);
        const std::uint64_t w = bins.width();
        EXPECT_EQ(w & (w - 1), 0u) << "a power of two";
        EXPECT_LT(bins.binOf(maxValue), 2 * E);
        // Half the width would need a bin of 2E or beyond.
        if (w > 1) {
            EXPECT_GE((maxValue - E) / (w / 2), E);
        }
        for (std::uint64_t v : {std::uint64_t{0}, E - 1, E, E + w - 1, E + w, maxValue}) {
            if (v > maxValue) continue;
            const std::uint64_t bin = bins.binOf(v);
            const std::uint64_t low = bin < E ? bin : E + (bin - E) * w;
            const std::uint64_t high = bin < E ? bin + 1 : low + w;
            EXPECT_TRUE(low <= v && v < high) << v;
        }
    }
}

TEST(StudyCounters, MomentsAreExactPast64Bits) {
    ExactMoments m;
    const std::uint64_t big = std::uint64_t{1} << 40;
    for (int i = 0; i < 3; ++i) m.add(big);
    m.add(3);
    EXPECT_TRUE(m.sum == static_cast<Wide>(3) * big + 3);
    EXPECT_TRUE(m.sumOfSquares == static_cast<Wide>(3) * (static_cast<Wide>(1) << 80) + 9);
}

// ---- Histories: the study against whole series ----

struct RandomModel {
    std::vector<std::unique_ptr<Distribution>> laws;
    ComponentModel model;
    std::unique_ptr<CutsetTree> tree;
};

// Laws whose draws are never negative (a negative first draw is the one rule where the study and
// Simulation differ), with ties, overdue fixed failures and plain randomness.
RandomModel randomModel(std::mt19937& rng) {
    RandomModel m;
    std::uniform_int_distribution<int> componentCount(1, 40), stateCount(2, 3), kind(0, 5);
    const int components = componentCount(rng), states = stateCount(rng);
    auto uniformIn = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    auto lawFor = [&](int from) -> Distribution* {
        switch (kind(rng)) {
            case 0: return m.laws.emplace_back(new Exponential(uniformIn(0.01, 0.3))).get();
            case 1: {
                const double a = uniformIn(0.0, 20.0);
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
    m.model.assign(static_cast<std::size_t>(components), {});
    for (auto& component : m.model) {
        for (int s = 0; s < states; ++s) {
            std::vector<Distribution*> row;
            for (int k = 0; k < states; ++k) row.push_back(k == s ? N : lawFor(s));
            component.push_back(row);
        }
    }
    std::bernoulli_distribution member(0.1);
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

BruteFigures figuresOfSeries(const RandomModel& m, const StudyPlan& plan) {
    BruteFigures expected(plan.simTime, plan.stepsPerUnit);
    std::vector<unsigned int> series(static_cast<std::size_t>(plan.simTime));
    for (std::int64_t i = 0; i < plan.histories; ++i) {
        Simulation history(plan.simTime, m.model, m.tree.get(), series.data(), historySeed(plan.seed, i));
        history.runSimulation();
        expected.addSeries(series, plan.stepsPerUnit);
    }
    return expected;
}

TEST(StudyHistories, FiguresEqualWhatTheSeriesOfSimulationImply) {
    std::mt19937 rng(2026u);
    std::uint64_t failedSteps = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const RandomModel m = randomModel(rng);
        StudyPlan plan;
        plan.stepsPerUnit = std::vector<int>{1, 3, 24}[static_cast<std::size_t>(round % 3)];
        plan.simTime = plan.stepsPerUnit * (1 + round * 7);
        plan.histories = 1 + round % 9 * 15;
        plan.seed = 4294967200u + static_cast<std::uint32_t>(round);  // some wrap past 2^32
        plan.threads = 1 + round % 3;
        testing::internal::CaptureStdout();
        const BruteFigures expected = figuresOfSeries(m, plan);
        const StudyResult result = runStudy(m.model, m.tree.get(), plan);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        expectFiguresEqual(result, expected);
        EXPECT_EQ(result.histories, static_cast<std::uint64_t>(plan.histories));
        failedSteps += static_cast<std::uint64_t>(expected.failedSum);
    }
    EXPECT_GT(failedSteps, 10000u) << "the models are meant to fail often";
}

TEST(StudyHistories, ANegativeFirstDrawFiresAtTimeZeroInComponentOrder) {
    // Both components draw a negative delay first; the warnAndSkip engine would never fire them.
    Uniform early(-9.0, -2.0);
    Inspection repair(5);
    const ComponentModel model{{{N, &early}, {&repair, N}}, {{N, &early}, {&repair, N}}};
    auto tree = treeOf({{1, 1}});
    const CompiledModel compiled(model, tree.get());
    HistoryEngine engine(compiled, 12, EventSelection::automatic, FirstSampling::fireNegative);
    std::vector<unsigned int> series(12, 9u);
    std::vector<Transition> log;
    SeriesAndLog out{series.data(), log};
    testing::internal::CaptureStdout();
    engine.run(3u, out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ((std::vector<int>{log[0].time, log[0].componentId, log[1].time, log[1].componentId}),
              (std::vector<int>{0, 0, 0, 1}));
    // Repaired at 5 and 10, each time failing again at once: the system never works.
    EXPECT_EQ(series, std::vector<unsigned int>(12, 1u));
}

TEST(StudyHistories, AFirstDrawTooLargeOrNaNNeverFiresAndSaysNothing) {
    Exponential infinite(0.0);
    Exponential notANumber(std::nan(""));
    Weibull huge(1e20, 1.0);
    for (Distribution* law : std::vector<Distribution*>{&infinite, &notANumber, &huge}) {
        const ComponentModel model{{{N, law}, {N, N}}};
        auto tree = treeOf({{1}});
        StudyPlan plan;
        plan.simTime = 50;
        plan.histories = 30;
        testing::internal::CaptureStdout();
        const StudyResult result = runStudy(model, tree.get(), plan);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(result.historiesWithoutFailure, 30u);
        EXPECT_TRUE(result.warnings.empty());
    }
}

// ---- The loop with an engine of its own (the seam for other engines) ----

// Fails the system during [seed % 10, seed % 10 + 4) of a 20-step history, repairs it, then
// fails it again for good at step 18: figures a test can work out by hand.
class ScriptedEngine {
public:
    explicit ScriptedEngine(std::atomic<int>& made) { ++made; }
    void run(std::uint32_t seed, StudyOutput& out) {
        if (seed == kFailingSeed) throw std::out_of_range("scripted failure");
        const int start = static_cast<int>(seed % 10);
        out.hold(0, start, 0);
        out.event(start, 0, 1, 0, 0, 1);
        out.hold(start, start + 4, 1);
        out.event(start + 4, 1, 0, 0, 1, 0);
        out.hold(start + 4, 18, 0);
        out.hold(18, 20, 1);
    }
    static constexpr std::uint32_t kFailingSeed = 1000;
};

TEST(StudyLoop, AnyEngineMadeByTheFactoryRunsEveryHistoryOnce) {
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        std::atomic<int> made{0};
        StudyPlan plan;
        plan.simTime = 20;
        plan.stepsPerUnit = 5;
        plan.histories = 1000;
        plan.seed = 0;
        plan.threads = threads;
        const StudyResult result = runStudyWith(plan, [&](StudyWarnings& warnings) {
            warnings.add("made an engine");
            return std::make_unique<ScriptedEngine>(made);
        });
        EXPECT_LE(made.load(), threads);
        EXPECT_EQ(result.warnings, std::vector<std::string>{"made an engine"});
        BruteFigures expected(20, 5);
        for (int i = 0; i < 1000; ++i) {
            std::vector<unsigned int> series(20, 0);
            for (int t = i % 10; t < i % 10 + 4; ++t) series[static_cast<std::size_t>(t)] = 1;
            series[18] = series[19] = 1;
            expected.addSeries(series, 5);
        }
        expectFiguresEqual(result, expected);
    }
}

TEST(StudyLoop, TheFirstErrorOfAnyHistoryReachesTheCaller) {
    for (int threads : {1, 2}) {
        std::atomic<int> made{0};
        StudyPlan plan;
        plan.simTime = 20;
        plan.histories = 5000;
        plan.threads = threads;
        EXPECT_THROW(runStudyWith(plan, [&](StudyWarnings&) { return std::make_unique<ScriptedEngine>(made); }),
                     std::out_of_range);
        // An engine that cannot be made fails the call the same way.
        EXPECT_THROW(runStudyWith(plan,
                                  [&](StudyWarnings&) -> std::unique_ptr<ScriptedEngine> {
                                      throw std::invalid_argument("no engine");
                                  }),
                     std::invalid_argument);
    }
}

bool stopAtOnce() { return true; }

TEST(StudyLoop, AnAnsweredInterruptCheckStopsTheRunWithoutAResult) {
    // Histories of about 0.1 ms each: the check is asked after 5 ms, long before the end.
    struct SlowEngine {
        void run(std::uint32_t, StudyOutput& out) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
            while (std::chrono::steady_clock::now() < until) {
            }
            out.hold(0, 10, 0);
        }
    };
    for (int threads : {1, 2}) {
        StudyPlan plan;
        plan.simTime = 10;
        plan.histories = 1'000'000;
        plan.threads = threads;
        const ScopedInterruptCheck check(&stopAtOnce);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(runStudyWith(plan, [](StudyWarnings&) { return std::make_unique<SlowEngine>(); }),
                     RunInterrupted);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST(StudyLoop, PlansOutOfBoundsAreRefusedByName) {
    const std::vector<std::pair<StudyPlan, std::string>> cases = {
        {{10, 3, 1, 0, 1}, "simTime (10) must be a multiple of stepsPerUnit (3)"},
        {{-3, 1, 1, 0, 1}, "simTime must not be negative"},
        {{10, 0, 1, 0, 1}, "stepsPerUnit must be at least 1"},
        {{10, 1, -1, 0, 1}, "nSimulations must not be negative"},
        {{10, 1, 1, 0, 0}, "threads must be at least 1"},
    };
    for (const auto& [plan, message] : cases) {
        try {
            checkStudyPlan(plan);
            ADD_FAILURE() << "no exception for " << message;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
}

TEST(StudyLoop, TheProcessThreadCountIsLeftAlone) {
    const int before = omp_get_max_threads();
    Exponential fail(0.1);
    const ComponentModel model{{{N, &fail}, {N, N}}};
    auto tree = treeOf({{1}});
    StudyPlan plan;
    plan.simTime = 10;
    plan.histories = 200;
    plan.threads = before + 1;
    runStudy(model, tree.get(), plan);
    EXPECT_EQ(omp_get_max_threads(), before);
}

// ---- Discrete ----

TEST(Discrete, QuantilePicksTheEntryTheDrawPointsAt) {
    const Discrete law({5, 1, 5, 2});
    const std::vector<std::pair<double, double>> cases = {
        {0.0, 5}, {0.2499, 5}, {0.25, 1}, {0.74, 5}, {0.75, 2}, {0.99999994, 2}, {1.0, 2},
        {-0.1, kNever}, {1.5, kNever}, {std::nan(""), kNever}};
    for (const auto& [p, expected] : cases) {
        EXPECT_EQ(law.quantile(p, 0), expected) << p;
        EXPECT_EQ(law.quantile(p, 9999), expected) << p;
    }
}

TEST(Discrete, PdfAndCdfAreSharesOfTheEntries) {
    const Discrete law({5, 1, 5, 2, -3});
    EXPECT_DOUBLE_EQ(law.pdf(5), 0.4);
    EXPECT_DOUBLE_EQ(law.pdf(-3), 0.2);
    EXPECT_DOUBLE_EQ(law.pdf(4.5), 0.0);
    EXPECT_DOUBLE_EQ(law.cdf(-4), 0.0);
    EXPECT_DOUBLE_EQ(law.cdf(1), 0.4);
    EXPECT_DOUBLE_EQ(law.cdf(4.9), 0.6);
    EXPECT_DOUBLE_EQ(law.cdf(5), 1.0);
    EXPECT_EQ(law.pdf(std::nan("")), 0.0);
    EXPECT_EQ(law.cdf(std::nan("")), 0.0);
}

TEST(Discrete, EmptyListIsRefused) {
    try {
        Discrete law(std::vector<int>{});
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "Discrete values cannot be empty");
    }
}

TEST(Discrete, AHistoryPicksWithItsOwnGenerator) {
    // Component 0's row from state 0 is (never, Discrete): the first output of the seeded
    // generator is spent on the never entry, the second picks the delay.
    const std::vector<int> values{3, 8, 13, 21, 34};
    Discrete law(values);
    const ComponentModel model{{{N, &law}, {N, N}}};
    auto tree = treeOf({{1}});
    for (std::uint32_t seed : {1u, 2u, 77u, 4000000000u}) {
        std::mt19937 reference(seed);
        reference();
        const double p = unitFloatFromBits(static_cast<std::uint32_t>(reference()));
        const int expected = values[std::min<std::size_t>(static_cast<std::size_t>(std::floor(p * 5)), 4)];
        std::vector<unsigned int> series(40);
        Simulation history(40, model, tree.get(), series.data(), seed);
        history.runSimulation();
        ASSERT_EQ(history.transitionLog().size(), 1u);
        EXPECT_EQ(history.transitionLog()[0].time, expected) << seed;
    }
}

}  // namespace
