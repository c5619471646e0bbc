// The plant's calendar: operating phases in sequence, and what they do to the components.
//
// A Calendar is what a caller builds (from Python, tarvo.Calendar): phases, each with a duration
// (a fixed number of steps or a law drawn at the phase's start from the history's generator),
// whether the plant is required to run in it, its failure logic (cut sets over the components),
// and the phase that starts at once when the system fails in it; the sequence of phases, repeated
// until the horizon; per component the pace of its clocks in each phase (duty), the phase its
// repairs wait for (held_until) and the states that are planned downtime.
//
// CalendarModel is the form a run uses, prepared once and read-only afterwards. What the calendar
// does in a history is described in dependentHistory.h and calendarEvents.h; the per-history
// bookkeeping it needs is CalendarRun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dependent/dependencies.h"
#include "distributions.h"
#include "history/historyEngine.h"

struct CalendarPhase {
    std::string name;
    int fixedSteps = 1;                     // the duration when `duration` is null, >= 1
    const Distribution* duration = nullptr;  // borrowed; a law drawn at each start
    bool required = true;
    int logic = 0;               // index of its cut-set list
    int onSystemFailure = -1;    // the phase that starts when the system fails in it, or -1
};

// A unit tested at a schedule: a working unit is taken out into `testState` (planned downtime)
// for `durationSteps` at each test, its clocks standing still, and comes back in the state it
// left; a failed one is found with chance `efficiency` and is back in state 0 when the test ends;
// a missed one stays failed.
struct CalendarTest {
    int component;
    int period;
    int offset;  // the step of the first test (0: at the start)
    int durationSteps;  // >= 0
    double efficiency;  // in [0, 1]
    int testState;      // the planned state it is in during a test (unused with duration 0)
};

class Calendar {
public:
    explicit Calendar(int numComponents);

    int components() const { return numComponents; }

    // Adds a failure logic (cut sets of component indices) and returns its index.
    int addLogic(std::vector<std::vector<int>> cutSets);
    // Adds a phase and returns its index. fixedSteps >= 1 when duration is null.
    int addPhase(const std::string& name, int fixedSteps, const Distribution* duration,
                 bool required, int logic);
    void setOnSystemFailure(int phase, int next);
    // The phases in order, each at most once, repeated until the horizon.
    void setSequence(std::vector<int> phases);
    // The pace of the component's clocks out of its working states, one per phase, each >= 0.
    void setDuty(int component, std::vector<double> pace);
    // The component's repairs wait until `phase` (one of the sequence) begins.
    void setHeldUntil(int component, int phase);
    // planned[s]: state s is planned downtime (counted as working in the unplanned figures).
    void setPlanned(int component, std::vector<bool> planned);
    void addTest(const CalendarTest& test);

    const std::vector<CalendarPhase>& phases() const { return phaseList; }
    const std::vector<std::vector<std::vector<int>>>& logics() const { return logicList; }
    const std::vector<int>& sequence() const { return order; }
    const std::vector<std::vector<double>>& duty() const { return paces; }
    const std::vector<int>& heldUntil() const { return held; }
    const std::vector<std::vector<bool>>& planned() const { return plannedStates; }
    const std::vector<CalendarTest>& tests() const { return testList; }

private:
    void checkComponent(int component, const std::string& what) const;
    void checkPhase(int phase, const std::string& what) const;

    int numComponents;
    std::vector<CalendarPhase> phaseList;
    std::vector<std::vector<std::vector<int>>> logicList;
    std::vector<int> order;
    std::vector<std::vector<double>> paces;  // empty entry: pace 1 in every phase
    std::vector<int> held;                   // -1: not held
    std::vector<std::vector<bool>> plannedStates;
    std::vector<CalendarTest> testList;
};

// A Calendar prepared for histories of a DependentModel. Read-only once built.
class CalendarModel {
public:
    // Borrows both. Throws std::invalid_argument when the calendar does not fit the model
    // (components, states, a logic over unknown components) or is incomplete (no sequence).
    CalendarModel(const DependentModel& model, const Calendar& calendar);

    int phases() const { return static_cast<int>(phaseList.size()); }
    const CalendarPhase& phase(int p) const { return phaseList[at(p)]; }
    int logics() const { return static_cast<int>(setSizes.size()); }
    int sequenceLength() const { return static_cast<int>(order.size()); }
    int sequencePhase(int position) const { return order[at(position)]; }
    // The position of a phase in the sequence, or -1.
    int positionOf(int phase) const { return position[at(phase)]; }

    double pace(int component, int phase) const {
        return paceTable[at(component) * at(phases()) + at(phase)];
    }
    // Components whose pace is not 1 in some phase.
    const std::vector<int>& pacedComponents() const { return paced; }
    bool hasPace(int component) const { return pacedFlag[at(component)] != 0; }
    // Whether the law of component c from state s into k keeps its own time (a test, a fixed
    // date), which no pace changes.
    bool keepsTime(int c, int s, int k) const {
        return keepsTimeTable[(at(c) * at(numStates) + at(s)) * at(numStates) + at(k)] != 0;
    }
    int heldUntil(int component) const { return held[at(component)]; }
    // The components whose repairs wait for phase p.
    const std::vector<int>& heldBy(int p) const { return heldLists[at(p)]; }
    // Whether any state is planned downtime (a test with a duration makes one).
    bool hasPlanned() const { return anyPlanned; }
    bool isPlanned(int component, int state) const {
        return plannedTable[at(component) * at(numStates) + at(state)] != 0;
    }

    // Cut sets of each logic: sizes over all logics in a row, and per (logic, component) the
    // indices of the sets it belongs to.
    int setCount() const { return static_cast<int>(allSetSizes.size()); }
    int setSize(int set) const { return allSetSizes[at(set)]; }
    const int* setsOfBegin(int logic, int component) const {
        return &memberSets[at(memberStart[at(logic) * at(numComponents + 1) + at(component)])];
    }
    const int* setsOfEnd(int logic, int component) const {
        return &memberSets[at(memberStart[at(logic) * at(numComponents + 1) + at(component) + 1])];
    }
    // A logic without cut sets never fails; one with an empty cut set always does.
    int alwaysFailed(int logic) const { return emptySets[at(logic)]; }

    const std::vector<CalendarTest>& tests() const { return testList; }
    // The test of a component, or -1.
    int testOf(int component) const { return testIndex[at(component)]; }

private:
    static std::size_t at(int i) { return static_cast<std::size_t>(i); }

    int numComponents;
    int numStates;
    std::vector<CalendarPhase> phaseList;
    std::vector<int> order;
    std::vector<int> position;
    std::vector<double> paceTable;
    std::vector<int> paced;
    std::vector<std::uint8_t> pacedFlag;
    std::vector<std::uint8_t> keepsTimeTable;
    std::vector<int> held;
    std::vector<std::vector<int>> heldLists;
    std::vector<std::uint8_t> plannedTable;
    bool anyPlanned = false;
    std::vector<int> setSizes;  // per logic: its number of sets
    std::vector<int> allSetSizes;
    std::vector<int> memberStart;
    std::vector<int> memberSets;
    std::vector<int> emptySets;
    std::vector<CalendarTest> testList;
    std::vector<int> testIndex;
};

// What one history keeps of its calendar: the phase, the failed members of every cut set of
// every logic (all downtime, and unplanned only), the clocks paced by duty, held repairs and
// tests. Allocated once per engine; reset() starts a history.
class CalendarRun {
public:
    explicit CalendarRun(const CalendarModel& model, int numComponents);

    void reset();

    // A component's down flag (all) or unplanned-down flag changed: updates every logic.
    void countChange(int component, bool wasDown, bool nowDown, bool wasUnplanned,
                     bool nowUnplanned);

    // The system state in the current phase's logic, all downtime and unplanned only.
    bool failedAll() const { return isFailed(wholeAll); }
    bool failedUnplanned() const { return isFailed(wholeUnplanned); }

    int phase = -1;
    int position = -1;  // in the sequence; -1 for a phase outside it
    int switchTo = -1;  // a phase to start at the end of the event (on_system_failure)
    bool required = true;
    int unplannedState = 0;  // failed, unplanned only, in the current phase (required or not)
    int allState = 0;        // failed, all downtime, in the current phase (required or not)
    // Per component: the remaining delay at pace 1 of its pending move, as of `since`, for a move
    // that the pace applies to (pacedMove).
    std::vector<double> work;
    std::vector<int> since;
    std::vector<std::uint8_t> pacedMove;
    std::vector<std::uint8_t> heldWaiting;
    // Per component under test: the pending move it had when the test began, and its due time
    // for a move the pace does not apply to (a paced one keeps its `work`).
    std::vector<std::uint8_t> underTest;
    std::vector<PendingMove> frozenMove;
    std::vector<int> frozenDue;
    // Per phase, this history's system failures begun in it (entries into the failed state of
    // its logic, all downtime and unplanned only), counted as they happen.
    std::vector<std::uint64_t> failuresAll;
    std::vector<std::uint64_t> failuresUnplanned;

private:
    bool isFailed(const std::vector<int>& whole) const {
        return whole[static_cast<std::size_t>(model.phase(phase).logic)] > 0;
    }

    const CalendarModel& model;
    std::vector<int> failedAllMembers;
    std::vector<int> failedUnplannedMembers;
    std::vector<int> wholeAll;        // per logic
    std::vector<int> wholeUnplanned;  // per logic
    std::vector<int> logicOfSet;
};
