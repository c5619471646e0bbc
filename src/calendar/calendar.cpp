#include "calendar/calendar.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

// ---- Calendar ----

Calendar::Calendar(int numComponents)
    : numComponents(numComponents),
      paces(static_cast<std::size_t>(std::max(numComponents, 0))),
      held(static_cast<std::size_t>(std::max(numComponents, 0)), -1),
      plannedStates(static_cast<std::size_t>(std::max(numComponents, 0))) {
    if (numComponents < 1) throw std::invalid_argument("numComponents must be at least 1");
}

void Calendar::checkComponent(int component, const std::string& what) const {
    if (component < 0 || component >= numComponents) {
        throw std::invalid_argument(what + ": component " + std::to_string(component) +
                                    " is not in 0.." + std::to_string(numComponents - 1));
    }
}

void Calendar::checkPhase(int phase, const std::string& what) const {
    if (phase < 0 || phase >= static_cast<int>(phaseList.size())) {
        throw std::invalid_argument(what + ": phase " + std::to_string(phase) +
                                    " is not one of the " + std::to_string(phaseList.size()) +
                                    " phases added");
    }
}

int Calendar::addLogic(std::vector<std::vector<int>> cutSets) {
    for (const auto& set : cutSets) {
        for (int c : set) checkComponent(c, "addLogic");
    }
    logicList.push_back(std::move(cutSets));
    return static_cast<int>(logicList.size()) - 1;
}

int Calendar::addPhase(const std::string& name, int fixedSteps, const Distribution* duration,
                       bool required, int logic) {
    if (duration == nullptr && fixedSteps < 1) {
        throw std::invalid_argument("addPhase: a fixed duration must be at least one step");
    }
    if (logic < 0 || logic >= static_cast<int>(logicList.size())) {
        throw std::invalid_argument("addPhase: logic " + std::to_string(logic) +
                                    " was not added");
    }
    phaseList.push_back(CalendarPhase{name, fixedSteps, duration, required, logic, -1});
    return static_cast<int>(phaseList.size()) - 1;
}

void Calendar::setOnSystemFailure(int phase, int next) {
    checkPhase(phase, "setOnSystemFailure");
    checkPhase(next, "setOnSystemFailure");
    phaseList[static_cast<std::size_t>(phase)].onSystemFailure = next;
}

void Calendar::setSequence(std::vector<int> phases) {
    if (phases.empty()) throw std::invalid_argument("setSequence: the sequence is empty");
    std::vector<int> seen(phaseList.size(), 0);
    for (int p : phases) {
        checkPhase(p, "setSequence");
        if (seen[static_cast<std::size_t>(p)]++ != 0) {
            throw std::invalid_argument("setSequence: phase " + std::to_string(p) +
                                        " is in the sequence twice");
        }
    }
    order = std::move(phases);
}

void Calendar::setDuty(int component, std::vector<double> pace) {
    checkComponent(component, "setDuty");
    if (pace.size() != phaseList.size()) {
        throw std::invalid_argument("setDuty: one pace per phase is needed");
    }
    for (double f : pace) {
        if (!(f >= 0.0 && f <= 1e9)) {
            throw std::invalid_argument("setDuty: a pace must be a number from 0 to 1e9");
        }
    }
    paces[static_cast<std::size_t>(component)] = std::move(pace);
}

void Calendar::setHeldUntil(int component, int phase) {
    checkComponent(component, "setHeldUntil");
    checkPhase(phase, "setHeldUntil");
    held[static_cast<std::size_t>(component)] = phase;
}

void Calendar::setPlanned(int component, std::vector<bool> planned) {
    checkComponent(component, "setPlanned");
    plannedStates[static_cast<std::size_t>(component)] = std::move(planned);
}

void Calendar::addTest(const CalendarTest& test) {
    checkComponent(test.component, "addTest");
    if (test.period < 1 || test.offset < 0 || test.durationSteps < 0 ||
        test.durationSteps >= test.period || !(test.efficiency >= 0.0 && test.efficiency <= 1.0)) {
        throw std::invalid_argument(
            "addTest: needs period >= 1, offset >= 0, 0 <= duration < period and efficiency in"
            " [0, 1]");
    }
    for (const CalendarTest& other : testList) {
        if (other.component == test.component) {
            throw std::invalid_argument("addTest: component " + std::to_string(test.component) +
                                        " is tested twice");
        }
    }
    testList.push_back(test);
}

// ---- CalendarModel ----

namespace {

bool keepsOwnTime(const Distribution* law) {
    return dynamic_cast<const Inspection*>(law) != nullptr ||
           dynamic_cast<const InstantaneousFailure*>(law) != nullptr;
}

}  // namespace

CalendarModel::CalendarModel(const DependentModel& model, const Calendar& calendar)
    : numComponents(model.components()),
      numStates(model.states()),
      phaseList(calendar.phases()),
      order(calendar.sequence()),
      testList(calendar.tests()) {
    if (calendar.components() != numComponents) {
        throw std::invalid_argument("the calendar describes " +
                                    std::to_string(calendar.components()) +
                                    " components, the model has " + std::to_string(numComponents));
    }
    if (order.empty()) throw std::invalid_argument("the calendar has no sequence of phases");
    const int p = phases();
    position.assign(at(p), -1);
    for (int i = 0; i < sequenceLength(); ++i) position[at(order[at(i)])] = i;

    paceTable.assign(at(numComponents) * at(p), 1.0);
    pacedFlag.assign(at(numComponents), 0);
    for (int c = 0; c < numComponents; ++c) {
        const auto& pace = calendar.duty()[at(c)];
        if (pace.empty()) continue;
        for (int q = 0; q < p; ++q) paceTable[at(c) * at(p) + at(q)] = pace[at(q)];
        if (std::any_of(pace.begin(), pace.end(), [](double f) { return f != 1.0; })) {
            pacedFlag[at(c)] = 1;
        }
    }
    testIndex.assign(at(numComponents), -1);
    for (std::size_t t = 0; t < testList.size(); ++t) {
        const CalendarTest& test = testList[t];
        if (test.durationSteps > 0 && (test.testState < 0 || test.testState >= numStates ||
                                       !model.isDown(test.component, test.testState))) {
            throw std::invalid_argument("the test of component " +
                                        std::to_string(test.component) +
                                        " needs a state that is down to be taken out into");
        }
        testIndex[at(test.component)] = static_cast<int>(t);
        pacedFlag[at(test.component)] = 1;  // its clocks stand still during a test
    }
    for (int c = 0; c < numComponents; ++c) {
        if (pacedFlag[at(c)] != 0) paced.push_back(c);
    }

    keepsTimeTable.assign(at(numComponents) * at(numStates) * at(numStates), 0);
    for (int c = 0; c < numComponents; ++c) {
        for (int s = 0; s < numStates; ++s) {
            const Distribution* const* row = model.row(c, s);
            for (int k = 0; k < numStates; ++k) {
                if (row[k] != nullptr && keepsOwnTime(row[k])) {
                    keepsTimeTable[(at(c) * at(numStates) + at(s)) * at(numStates) + at(k)] = 1;
                }
            }
        }
    }

    held = calendar.heldUntil();
    heldLists.assign(at(p), {});
    for (int c = 0; c < numComponents; ++c) {
        if (held[at(c)] >= 0) {
            if (position[at(held[at(c)])] < 0) {
                throw std::invalid_argument("component " + std::to_string(c) +
                                            " waits for a phase that is not in the sequence");
            }
            heldLists[at(held[at(c)])].push_back(c);
        }
    }

    plannedTable.assign(at(numComponents) * at(numStates), 0);
    for (int c = 0; c < numComponents; ++c) {
        const auto& planned = calendar.planned()[at(c)];
        if (planned.size() > at(numStates)) {
            throw std::invalid_argument("component " + std::to_string(c) +
                                        ": planned flags for more states than the model has");
        }
        for (std::size_t s = 0; s < planned.size(); ++s) {
            plannedTable[at(c) * at(numStates) + s] = planned[s] ? 1 : 0;
            anyPlanned = anyPlanned || planned[s];
        }
    }

    const auto& logicList = calendar.logics();
    memberStart.assign(logicList.size() * at(numComponents + 1), 0);
    for (std::size_t l = 0; l < logicList.size(); ++l) {
        const auto& sets = logicList[l];
        setSizes.push_back(static_cast<int>(sets.size()));
        int empty = 0;
        std::vector<std::vector<int>> of(at(numComponents));
        for (const auto& set : sets) {
            const int index = static_cast<int>(allSetSizes.size());
            std::vector<int> members(set);
            std::sort(members.begin(), members.end());
            members.erase(std::unique(members.begin(), members.end()), members.end());
            allSetSizes.push_back(static_cast<int>(members.size()));
            if (members.empty()) ++empty;
            for (int c : members) of[at(c)].push_back(index);
        }
        emptySets.push_back(empty);
        for (int c = 0; c < numComponents; ++c) {
            memberStart[l * at(numComponents + 1) + at(c)] = static_cast<int>(memberSets.size());
            memberSets.insert(memberSets.end(), of[at(c)].begin(), of[at(c)].end());
        }
        memberStart[l * at(numComponents + 1) + at(numComponents)] =
            static_cast<int>(memberSets.size());
    }
    memberSets.push_back(0);  // so that an empty range still has an address
}

// ---- CalendarRun ----

CalendarRun::CalendarRun(const CalendarModel& model, int numComponents)
    : work(static_cast<std::size_t>(numComponents), 0.0),
      since(static_cast<std::size_t>(numComponents), 0),
      pacedMove(static_cast<std::size_t>(numComponents), 0),
      heldWaiting(static_cast<std::size_t>(numComponents), 0),
      underTest(static_cast<std::size_t>(numComponents), 0),
      frozenMove(static_cast<std::size_t>(numComponents), PendingMove{0, 0}),
      frozenDue(static_cast<std::size_t>(numComponents), 0),
      failuresAll(static_cast<std::size_t>(model.phases()), 0),
      failuresUnplanned(static_cast<std::size_t>(model.phases()), 0),
      model(model),
      failedAllMembers(static_cast<std::size_t>(model.setCount()), 0),
      failedUnplannedMembers(static_cast<std::size_t>(model.setCount()), 0),
      wholeAll(static_cast<std::size_t>(model.logics()), 0),
      wholeUnplanned(static_cast<std::size_t>(model.logics()), 0) {}

void CalendarRun::reset() {
    phase = model.sequencePhase(0);
    position = 0;
    switchTo = -1;
    required = model.phase(phase).required;
    unplannedState = 0;
    allState = 0;
    std::fill(pacedMove.begin(), pacedMove.end(), 0);
    std::fill(heldWaiting.begin(), heldWaiting.end(), 0);
    std::fill(underTest.begin(), underTest.end(), 0);
    std::fill(failuresAll.begin(), failuresAll.end(), 0);
    std::fill(failuresUnplanned.begin(), failuresUnplanned.end(), 0);
    std::fill(failedAllMembers.begin(), failedAllMembers.end(), 0);
    std::fill(failedUnplannedMembers.begin(), failedUnplannedMembers.end(), 0);
    for (int l = 0; l < model.logics(); ++l) {
        wholeAll[static_cast<std::size_t>(l)] = model.alwaysFailed(l);
        wholeUnplanned[static_cast<std::size_t>(l)] = model.alwaysFailed(l);
    }
}

namespace {

void countOne(const CalendarModel& model, int component, bool nowDown, std::vector<int>& failed,
              std::vector<int>& whole) {
    for (int l = 0; l < model.logics(); ++l) {
        const int* end = model.setsOfEnd(l, component);
        int& count = whole[static_cast<std::size_t>(l)];
        for (const int* set = model.setsOfBegin(l, component); set != end; ++set) {
            int& members = failed[static_cast<std::size_t>(*set)];
            if (nowDown) {
                if (++members == model.setSize(*set)) ++count;
            } else {
                if (members-- == model.setSize(*set)) --count;
            }
        }
    }
}

}  // namespace

void CalendarRun::countChange(int component, bool wasDown, bool nowDown, bool wasUnplanned,
                              bool nowUnplanned) {
    if (wasDown != nowDown) countOne(model, component, nowDown, failedAllMembers, wholeAll);
    if (wasUnplanned != nowUnplanned) {
        countOne(model, component, nowUnplanned, failedUnplannedMembers, wholeUnplanned);
    }
}
