// The capacity unit against brute force: a program's incremental evaluation against evaluating
// it whole, and a study's capacity figures against every history replayed step by step from its
// log of transitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "capacity/capacityProgram.h"
#include "capacity/capacityStudy.h"
#include "capacity/capacityTally.h"
#include "dependent/dependentHistory.h"
#include "history/historyOutputs.h"

namespace {

Distribution never;
Distribution* const N = &never;

// min(sum(c0, c1, c2), max(c3, 0.5 * c4 * 3), c5 + 40): quanta of 1/10, levels every 100.
CapacityProgram makeProgram(int components) {
    CapacityProgram p(components, 10);
    for (int c = 0; c < components; ++c) p.setComponent(c, {100 + 50 * c, 40, 0}, 0);
    const int sum = p.addOperation(CapacityOp::sum,
                                   {p.addComponent(0), p.addComponent(1), p.addComponent(2)});
    const int product = p.addOperation(CapacityOp::product,
                                       {p.addConstant(5), p.addComponent(4), p.addConstant(30)});
    const int best = p.addOperation(CapacityOp::max, {p.addComponent(3), product});
    const int pair = p.addOperation(CapacityOp::sum, {p.addComponent(5), p.addConstant(400)});
    p.addOperation(CapacityOp::min, {sum, best, pair});
    p.setDemand(450);
    p.setLevels({0, 100, 200, 300, 400, 500});
    return p;
}

// The program evaluated whole, from the states.
std::int64_t whole(const std::vector<int>& states) {
    auto cap = [&](int c) -> std::int64_t {
        const std::int64_t table[] = {100 + 50 * c, 40, 0};
        return table[states[static_cast<std::size_t>(c)]];
    };
    const std::int64_t sum = cap(0) + cap(1) + cap(2);
    const std::int64_t product = 5 * cap(4) / 10 * 30 / 10;
    return std::min({sum, std::max(cap(3), product), cap(5) + 400});
}

TEST(CapacityState, IncrementalUpdatesEqualTheWholeProgramAfterEveryChange) {
    const CapacityProgram program = makeProgram(6);
    CapacityState state(program);
    std::mt19937 random(3);
    std::vector<int> states(6, 0);
    for (int i = 0; i < 20000; ++i) {
        const int c = static_cast<int>(random() % 6);
        states[static_cast<std::size_t>(c)] = static_cast<int>(random() % 3);
        ASSERT_EQ(state.set(c, states[static_cast<std::size_t>(c)]), whole(states)) << i;
    }
    state.reset();
    EXPECT_EQ(state.value(), whole(std::vector<int>(6, 0)));
}

// The follower against the capacity evaluated at every step: calls in bursts at one step (more
// than one batch of them in all), with the demand and the phase changing between them, and
// several unit lengths.
class FollowerReplay : public ::testing::TestWithParam<std::tuple<int, std::uint32_t>> {};

TEST_P(FollowerReplay, FiguresEqualTheCapacityAtEveryStep) {
    const auto [stepsPerUnit, seed] = GetParam();
    constexpr int kComponents = 6, kHistories = 3;
    const int simTime = 1400 - 1400 % stepsPerUnit;
    const CapacityProgram program = makeProgram(kComponents);
    const std::int64_t demands[] = {450, 0, 300, 1200};
    CapacityTally tally(program, simTime, stepsPerUnit, 1200, true);
    CapacityState state(program);
    std::vector<std::uint64_t> stepsAtLevel(program.levels().size(), 0);
    std::mt19937 random(seed);
    const int units = simTime / stepsPerUnit;
    std::vector<std::uint64_t> lostPerUnit(static_cast<std::size_t>(units), 0);
    std::vector<std::uint64_t> demandedPerUnit(static_cast<std::size_t>(units), 0);
    std::vector<std::uint64_t> levelSteps(program.levels().size(), 0);
    std::uint64_t lostSum = 0, demandedSum = 0, calls = 0;
    for (int h = 0; h < kHistories; ++h) {
        state.reset();
        CapacityFollower follower(program, state, tally, stepsAtLevel, simTime);
        std::vector<int> states(kComponents, 0);
        std::int64_t demand = program.demand();
        for (int t = 0; t < simTime; ++t) {
            // Mostly nothing; now and then a burst of changes, some of the demand.
            const int burst = random() % 4 == 0 ? static_cast<int>(random() % 5) : 0;
            for (int k = 0; k < burst; ++k, ++calls) {
                const auto draw = random() % 12;
                if (draw < 2) {
                    demand = demands[random() % 4];
                    follower.setDemand(t, demand);
                } else if (draw == 2) {
                    follower.changed(t, -1, 1);  // a calendar's change of phase
                } else {
                    const int c = static_cast<int>(random() % kComponents);
                    states[static_cast<std::size_t>(c)] = static_cast<int>(random() % 3);
                    follower.changed(t, c, states[static_cast<std::size_t>(c)]);
                }
            }
            const std::int64_t capacity = whole(states);
            const std::uint64_t rate =
                capacity < demand ? static_cast<std::uint64_t>(demand - capacity) : 0;
            lostPerUnit[static_cast<std::size_t>(t / stepsPerUnit)] += rate;
            demandedPerUnit[static_cast<std::size_t>(t / stepsPerUnit)] +=
                static_cast<std::uint64_t>(demand);
            lostSum += rate;
            demandedSum += static_cast<std::uint64_t>(demand);
            ++levelSteps[static_cast<std::size_t>(program.levelOf(capacity))];
        }
        follower.finish();
    }
    ASSERT_GT(calls, 1000u);  // several batches of changes per history
    EXPECT_EQ(CapacityTally::lostPerUnit({&tally}), lostPerUnit);
    EXPECT_EQ(CapacityTally::demandedPerUnit({&tally}), demandedPerUnit);
    EXPECT_EQ(static_cast<std::uint64_t>(tally.lostMoments().sum), lostSum);
    EXPECT_EQ(static_cast<std::uint64_t>(tally.demandedSum()), demandedSum);
    for (std::size_t l = 0; l < levelSteps.size(); ++l) {
        EXPECT_EQ(static_cast<std::uint64_t>(tally.levelSteps()[l]), levelSteps[l]) << l;
    }
    EXPECT_GT(lostSum, 0u);
}

INSTANTIATE_TEST_SUITE_P(UnitsAndSeeds, FollowerReplay,
                         ::testing::Combine(::testing::Values(1, 7, 24),
                                            ::testing::Values(1u, 2u, 3u)));

// Logs every transition, for the replay.
struct Log {
    std::vector<Transition>& log;
    void hold(int, int, int) {}
    void expect(int) {}
    void event(int time, int from, int to, int component, int, int) {
        log.push_back(Transition{time, from, to, component});
    }
};

struct Brute {
    std::vector<std::uint64_t> lostPerUnit;
    std::map<std::uint64_t, std::uint64_t> lost;
    std::vector<std::uint64_t> levelSteps;
};

TEST(CapacityStudy, FiguresEqualTheHistoriesReplayedStepByStep) {
    constexpr int kComponents = 6, kSimTime = 3000, kStepsPerUnit = 7, kHistories = 60;
    Exponential fail(1.0 / 150.0), degrade(1.0 / 90.0), repair(1.0 / 25.0);
    const ComponentModel model(kComponents, {{N, &degrade, &fail}, {&repair, N, &fail},
                                             {&repair, N, N}});
    CutsetTree tree(kComponents);
    tree.constructTree({{1, 1, 1, 0, 0, 0}, {0, 0, 0, 0, 0, 1}});
    Dependencies dependencies(kComponents);
    dependencies.setDownStates(3, {false, false, true});
    dependencies.addCrewPool(1, {0, 1, 2, 3, 4, 5}, CrewOrder::firstFailed);
    const CapacityProgram program = makeProgram(kComponents);

    StudyPlan plan;
    plan.simTime = kSimTime - kSimTime % kStepsPerUnit;
    plan.stepsPerUnit = kStepsPerUnit;
    plan.histories = kHistories;
    plan.seed = 77;
    plan.threads = 2;
    CapacityResult found;
    runCapacityStudy(model, &tree, &dependencies, program, plan, found);

    // Replay: the same histories, their capacity step by step.
    const CompiledModel compiled(model, &tree);
    const DependentModel dependent(compiled, dependencies);
    DependentHistoryEngine engine(dependent, plan.simTime, EventSelection::automatic,
                                  FirstSampling::fireNegative);
    const int units = plan.simTime / kStepsPerUnit;
    Brute brute{std::vector<std::uint64_t>(static_cast<std::size_t>(units), 0), {},
                std::vector<std::uint64_t>(program.levels().size(), 0)};
    std::vector<Wide> squares(program.levels().size(), 0);
    for (int h = 0; h < kHistories; ++h) {
        std::vector<Transition> log;
        Log out{log};
        engine.run(plan.seed + static_cast<std::uint32_t>(h), out);
        std::vector<int> states(kComponents, 0);
        std::vector<std::uint64_t> atLevel(program.levels().size(), 0);
        std::uint64_t lost = 0;
        std::size_t next = 0;
        for (int t = 0; t < plan.simTime; ++t) {
            while (next < log.size() && log[next].time == t) {
                states[static_cast<std::size_t>(log[next].componentId)] = log[next].nextState;
                ++next;
            }
            const std::int64_t capacity = whole(states);
            const std::int64_t short_ = program.demand() - capacity;
            const std::uint64_t rate = short_ > 0 ? static_cast<std::uint64_t>(short_) : 0;
            brute.lostPerUnit[static_cast<std::size_t>(t / kStepsPerUnit)] += rate;
            lost += rate;
            ++atLevel[static_cast<std::size_t>(program.levelOf(capacity))];
        }
        ++brute.lost[lost];
        for (std::size_t l = 0; l < atLevel.size(); ++l) {
            brute.levelSteps[l] += atLevel[l];
            squares[l] += static_cast<Wide>(atLevel[l]) * atLevel[l];
        }
    }
    EXPECT_EQ(found.lostPerUnit, brute.lostPerUnit);
    std::uint64_t sum = 0;
    for (const auto& [value, count] : brute.lost) {
        sum += value * count;
        EXPECT_EQ(found.lostHistogram.at(value / found.binWidth) > 0, true) << value;
    }
    EXPECT_EQ(static_cast<std::uint64_t>(found.lost.sum), sum);
    for (std::size_t l = 0; l < brute.levelSteps.size(); ++l) {
        EXPECT_EQ(static_cast<std::uint64_t>(found.levelSteps[l]), brute.levelSteps[l]) << l;
        EXPECT_TRUE(found.levelStepsSquares[l] == squares[l]) << l;
    }
    EXPECT_GT(sum, 0u);  // the case loses production at all
}

TEST(CapacityStudy, ADependencyFreeStudyRunsTheIndependentEngineOnTheSameHistories) {
    Exponential fail(1.0 / 100.0), repair(1.0 / 20.0);
    const ComponentModel model(6, {{N, &fail, N}, {&repair, N, N}, {N, N, N}});
    CutsetTree tree(6);
    tree.constructTree({{1, 1, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 1}});
    StudyPlan plan;
    plan.simTime = 5000;
    plan.histories = 200;
    plan.seed = 5;
    plan.threads = 2;
    const CapacityProgram program = makeProgram(6);
    CapacityResult none, empty;
    const StudyResult plain = runStudy(model, &tree, plan);
    const StudyResult withCapacity = runCapacityStudy(model, &tree, nullptr, program, plan, none);
    const Dependencies noDependencies(6);
    const StudyResult dependent =
        runCapacityStudy(model, &tree, &noDependencies, program, plan, empty);
    EXPECT_EQ(plain.failedStepsPerUnit, withCapacity.failedStepsPerUnit);
    EXPECT_EQ(plain.failedStepsHistogram, withCapacity.failedStepsHistogram);
    EXPECT_EQ(plain.failuresHistogram, withCapacity.failuresHistogram);
    EXPECT_EQ(plain.firstFailureHistogram, withCapacity.firstFailureHistogram);
    EXPECT_EQ(plain.failuresHistogram, dependent.failuresHistogram);
    EXPECT_EQ(plain.failedStepsPerUnit, dependent.failedStepsPerUnit);
    EXPECT_EQ(none.lostPerUnit, empty.lostPerUnit);
    EXPECT_EQ(none.lostHistogram, empty.lostHistogram);
}

}  // namespace
