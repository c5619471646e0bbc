// The calendar in the dependent event loop, on tiny models whose every event is worked out by
// hand (laws answering fixed delays): paces, held repairs, required phases, tests, switches on
// failure; and a calendar of one phase that changes no event.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "calendar/calendar.h"
#include "dependent/dependencies.h"
#include "dependent/dependentHistory.h"

namespace {

Distribution never;
Distribution* const N = &never;

class FixedLaw : public Distribution {
public:
    explicit FixedLaw(double q) : q(q) {}
    double quantile(double, int) const override { return q; }

private:
    double q;
};

// The series of the system state the outputs see, and of the unplanned state beside it.
struct Series {
    const DependentHistoryEngine* engine = nullptr;
    std::vector<int> all, unplanned, phase;
    int events = 0;
    explicit Series(int simTime) : all(simTime, -1), unplanned(simTime, -1), phase(simTime, -1) {}
    void hold(int from, int to, int systemState) {
        for (int t = from; t < to; ++t) {
            all[t] = systemState;
            unplanned[t] = engine->calendar()->required ? engine->calendar()->unplannedState : 0;
            phase[t] = engine->calendar()->phase;
        }
    }
    void expect(int) {}
    void event(int, int, int, int, int, int) { ++events; }
};

std::vector<int> runs(std::initializer_list<std::pair<int, int>> pieces) {
    std::vector<int> series;
    for (const auto& [length, value] : pieces) series.insert(series.end(), length, value);
    return series;
}

// One component (or more), the system failing when component 0 is down, a calendar of two
// phases: "a" (steps, required) and "b".
struct Plant {
    ComponentModel model;
    std::unique_ptr<CutsetTree> tree;
    Dependencies deps;
    Calendar calendar;
    int a = 0, b = 0;

    Plant(ComponentModel m, int stepsA, int stepsB, bool bRequired = true)
        : model(std::move(m)),
          tree(std::make_unique<CutsetTree>(static_cast<int>(model.size()))),
          deps(static_cast<int>(model.size())),
          calendar(static_cast<int>(model.size())) {
        std::vector<int> first(model.size(), 0);
        first[0] = 1;
        tree->constructTree({first});
        calendar.addLogic({{0}});
        a = calendar.addPhase("a", stepsA, nullptr, true, 0);
        b = calendar.addPhase("b", stepsB, nullptr, bRequired, 0);
        calendar.setSequence({a, b});
    }

    Series run(int simTime, std::uint32_t seed = 1) const {
        const CompiledModel compiled(model, tree.get());
        const DependentModel dependent(compiled, deps);
        const CalendarModel prepared(dependent, calendar);
        DependentHistoryEngine engine(dependent, simTime, EventSelection::automatic,
                                      FirstSampling::fireNegative, &prepared);
        Series out(simTime);
        out.engine = &engine;
        engine.run(seed, out);
        return out;
    }
};

TEST(Calendar, APaceOfZeroFreezesTheClockAndAHalfPaceHalvesIt) {
    FixedLaw ten(10);
    Plant frozen({{{N, &ten}, {N, N}}}, 5, 5);
    frozen.calendar.setDuty(0, {1.0, 0.0});
    // 5 steps of work in a, none in b, the last 5 in the next a: down at 15.
    EXPECT_EQ(frozen.run(20).all, runs({{15, 0}, {5, 1}}));
    Plant half({{{N, &ten}, {N, N}}}, 5, 5);
    half.calendar.setDuty(0, {1.0, 0.5});
    // 5 in a, 2.5 in b, 2.5 left at pace 1 from 10: due at 12 (whole steps, truncated).
    EXPECT_EQ(half.run(20).all, runs({{12, 0}, {8, 1}}));
}

TEST(Calendar, AHeldRepairWaitsForItsPhaseAndThenRunsToItsEnd) {
    FixedLaw three(3), four(4);
    Plant plant({{{N, &three}, {&four, N}}}, 10, 2);
    plant.calendar.setHeldUntil(0, plant.b);
    // Down at 3; b begins at 10 and the repair of 4 ends at 14, after b (10..12) is over.
    // Up again from 14, down at 17, held until b at 22.
    EXPECT_EQ(plant.run(24).all, runs({{3, 0}, {11, 1}, {3, 0}, {7, 1}}));
}

TEST(Calendar, DowntimeInAPhaseThatIsNotRequiredIsNotCounted) {
    FixedLaw three(3), hundred(100);
    Plant plant({{{N, &three}, {&hundred, N}}}, 6, 4, false);
    const Series s = plant.run(16);
    EXPECT_EQ(s.all, runs({{3, 0}, {3, 1}, {4, 0}, {6, 1}}));
    EXPECT_EQ(s.phase, runs({{6, 0}, {4, 1}, {6, 0}}));
}

TEST(Calendar, ATestTakesAWorkingUnitOutAsPlannedDowntimeWithItsClockFrozen) {
    FixedLaw twelve(12);
    // States: working, failed, test.
    Plant plant({{{N, &twelve, N}, {N, N, N}, {N, N, N}}}, 100, 1);
    plant.calendar.addTest(CalendarTest{0, 10, 4, 3, 1.0, 2});
    plant.calendar.setPlanned(0, {false, false, true});
    const Series s = plant.run(20);
    // Out at 4..7 (clock frozen with 8 left), at 14..17 (with 1 left: 7 + 7 = 14 of work),
    // down for good at 18 (the last step of work after the test).
    EXPECT_EQ(s.all, runs({{4, 0}, {3, 1}, {7, 0}, {3, 1}, {1, 0}, {2, 1}}));
    EXPECT_EQ(s.unplanned, runs({{18, 0}, {2, 1}}));
}

TEST(Calendar, ATestFindsAFailureWithItsEfficiencyAndBringsTheUnitBackWhenItEnds) {
    FixedLaw six(6);
    Plant found({{{N, &six, N}, {N, N, N}, {N, N, N}}}, 100, 1);
    found.calendar.addTest(CalendarTest{0, 10, 10, 2, 1.0, 2});
    // Down at 6, found at 10, back at 12; down at 18, found at 20, back at 22.
    EXPECT_EQ(found.run(24).all, runs({{6, 0}, {6, 1}, {6, 0}, {4, 1}, {2, 0}}));
    Plant missed({{{N, &six, N}, {N, N, N}, {N, N, N}}}, 100, 1);
    missed.calendar.addTest(CalendarTest{0, 10, 10, 2, 0.0, 2});
    EXPECT_EQ(missed.run(24).all, runs({{6, 0}, {18, 1}}));
}

TEST(Calendar, ASystemFailureStartsItsPhaseAtOnceAndTheSequenceGoesOn) {
    FixedLaw three(3), one(1);
    Plant plant({{{N, &three}, {&one, N}}}, 10, 5, false);
    plant.calendar.setOnSystemFailure(plant.a, plant.b);
    const Series s = plant.run(20);
    // Fails at 3: b (not required) from 3 to 8; repaired at 4, fails again at 7 (in b:
    // no switch), repaired at 8 when a begins; fails at 11 -> b from 11 to 16; a from 16,
    // fails at 19 -> b.
    EXPECT_EQ(s.phase, runs({{3, 0}, {5, 1}, {3, 0}, {5, 1}, {3, 0}, {1, 1}}));
    EXPECT_EQ(s.all, runs({{20, 0}}));
}

TEST(Calendar, OneRequiredPhaseChangesNoEventOfRandomModels) {
    std::mt19937 pick(5);
    for (int trial = 0; trial < 20; ++trial) {
        Exponential fail(0.05 + 0.05 * (pick() % 5)), repair(0.2 + 0.1 * (pick() % 4));
        ComponentModel model(3, {{N, &fail}, {&repair, N}});
        auto tree = std::make_unique<CutsetTree>(3);
        tree->constructTree({{1, 1, 0}, {0, 0, 1}});
        const CompiledModel compiled(model, tree.get());
        Dependencies deps(3);
        const DependentModel dependent(compiled, deps);
        Calendar calendar(3);
        calendar.addLogic({{0, 1}, {2}});
        calendar.setSequence({calendar.addPhase("all", 500, nullptr, true, 0)});
        const CalendarModel prepared(dependent, calendar);
        DependentHistoryEngine plain(dependent, 500), phased(dependent, 500,
                                                             EventSelection::automatic,
                                                             FirstSampling::warnAndSkip, &prepared);
        struct Log {
            std::vector<int> log;
            void hold(int from, int to, int s) { log.insert(log.end(), {from, to, s}); }
            void expect(int) {}
            void event(int t, int f, int to, int c, int b, int a) {
                log.insert(log.end(), {t, f, to, c, b, a});
            }
        } a, b;
        plain.run(trial + 1, a);
        phased.run(trial + 1, b);
        EXPECT_EQ(a.log, b.log) << "trial " << trial;
    }
}

TEST(Calendar, TheBuilderRefusesWhatCannotBeRun) {
    Calendar calendar(2);
    EXPECT_THROW(calendar.addPhase("a", 5, nullptr, true, 0), std::invalid_argument);  // no logic
    calendar.addLogic({{0}});
    const int a = calendar.addPhase("a", 5, nullptr, true, 0);
    EXPECT_THROW(calendar.addPhase("b", 0, nullptr, true, 0), std::invalid_argument);
    EXPECT_THROW(calendar.setSequence({a, a}), std::invalid_argument);
    EXPECT_THROW(calendar.setDuty(0, {-1.0}), std::invalid_argument);
    EXPECT_THROW(calendar.addTest(CalendarTest{0, 10, 0, 10, 1.0, 2}), std::invalid_argument);
    EXPECT_THROW(calendar.addTest(CalendarTest{0, 10, 0, 1, 1.5, 2}), std::invalid_argument);
    EXPECT_THROW(calendar.setHeldUntil(5, a), std::invalid_argument);
}

}  // namespace
