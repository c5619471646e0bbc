#include "dependent/dependencies.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace {

std::string componentText(int component) { return "component " + std::to_string(component); }

[[noreturn]] void fail(const std::string& message) { throw std::invalid_argument(message); }

// The base law never fires, whatever it is asked (Python subclasses reach the engine as it too).
bool neverFires(const Distribution* law) {
    return law == nullptr || typeid(*law) == typeid(Distribution);
}

}  // namespace

CrewOrder crewOrderFromName(const std::string& name) {
    if (name == "first_failed") return CrewOrder::firstFailed;
    if (name == "listed") return CrewOrder::listed;
    fail("crew order must be \"first_failed\" or \"listed\", got \"" + name + "\"");
}

// ---- Dependencies ----

Dependencies::Dependencies(int numComponents) : numComponents(numComponents) {
    if (numComponents < 1) {
        fail("the number of components must be at least 1, got " + std::to_string(numComponents));
    }
    const auto n = static_cast<std::size_t>(numComponents);
    down.resize(n);
    initial.assign(n, 0);
    poolOf.assign(n, -1);
}

void Dependencies::checkComponent(int component, const std::string& what) const {
    if (component < 0 || component >= numComponents) {
        fail(what + ": no component " + std::to_string(component) + " (there are " +
             std::to_string(numComponents) + ", numbered from 0)");
    }
}

void Dependencies::checkMembers(const std::vector<int>& members, const std::string& what) const {
    if (members.empty()) fail(what + " must not be empty");
    for (int c : members) checkComponent(c, what);
    std::vector<int> sorted(members);
    std::sort(sorted.begin(), sorted.end());
    const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end()) fail(what + ": " + componentText(*twice) + " is given twice");
}

void Dependencies::setDownStates(int component, std::vector<bool> flags) {
    checkComponent(component, "setDownStates");
    if (flags.empty()) fail("setDownStates: " + componentText(component) + ": no states given");
    down[static_cast<std::size_t>(component)] = std::move(flags);
}

void Dependencies::setInitialState(int component, int state) {
    checkComponent(component, "setInitialState");
    if (state < 0) {
        fail("setInitialState: " + componentText(component) + ": state " + std::to_string(state) +
             " is negative");
    }
    initial[static_cast<std::size_t>(component)] = state;
}

int Dependencies::addCommonCause(std::vector<int> members, std::vector<int> failedStates,
                                 const Distribution* shock) {
    const std::string what = "common-cause group " + std::to_string(groups.size()) + " members";
    checkMembers(members, what);
    if (failedStates.size() != members.size()) {
        fail("common-cause group " + std::to_string(groups.size()) + ": " +
             std::to_string(members.size()) + " members but " +
             std::to_string(failedStates.size()) + " failed states");
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (failedStates[i] < 1) {
            fail("common-cause group " + std::to_string(groups.size()) + ": the failed state of " +
                 componentText(members[i]) + " must be at least 1, got " +
                 std::to_string(failedStates[i]));
        }
    }
    if (shock == nullptr) {
        fail("common-cause group " + std::to_string(groups.size()) + ": no shock law");
    }
    groups.push_back(CommonCauseGroup{std::move(members), std::move(failedStates), shock});
    return static_cast<int>(groups.size()) - 1;
}

void Dependencies::addStandby(int component, std::vector<int> covers, int runningState,
                              int standbyState, int failedState, const Distribution* dormant,
                              double startFailure) {
    checkComponent(component, "addStandby");
    const std::string unit = "standby unit " + componentText(component);
    for (const StandbyUnit& other : standbys) {
        if (other.component == component) fail(unit + " is already a standby unit");
    }
    checkMembers(covers, unit + ": covers");
    if (std::find(covers.begin(), covers.end(), component) != covers.end()) {
        fail(unit + " covers itself");
    }
    if (runningState < 0 || standbyState < 0 || failedState < 0) {
        fail(unit + ": state indices must not be negative");
    }
    if (standbyState == runningState) fail(unit + ": its standby and running states are the same");
    if (failedState == standbyState || failedState == runningState) {
        fail(unit + ": its failed state must differ from its standby and running states");
    }
    // Written so that NaN fails.
    if (!(startFailure >= 0.0 && startFailure <= 1.0)) {
        fail(unit + ": start failure probability must be in [0, 1], got " +
             std::to_string(startFailure));
    }
    StandbyUnit added{component,    std::move(covers), runningState, standbyState,
                      failedState, dormant,           startFailure};
    const auto at = std::find_if(standbys.begin(), standbys.end(), [&](const StandbyUnit& other) {
        return other.component > component;
    });
    standbys.insert(at, std::move(added));
    initial[static_cast<std::size_t>(component)] = standbyState;
    std::vector<bool>& flags = down[static_cast<std::size_t>(component)];
    if (flags.empty()) flags.push_back(false);  // the default: only state 0 working
    if (flags.size() <= static_cast<std::size_t>(standbyState)) {
        flags.resize(static_cast<std::size_t>(standbyState) + 1, true);
    }
    flags[static_cast<std::size_t>(standbyState)] = false;
}

int Dependencies::addCrewPool(int count, std::vector<int> members, CrewOrder order) {
    const int index = static_cast<int>(pools.size());
    const std::string what = "crew pool " + std::to_string(index);
    if (count < 1) fail(what + ": count must be at least 1, got " + std::to_string(count));
    checkMembers(members, what + " members");
    for (int c : members) {
        const int other = poolOf[static_cast<std::size_t>(c)];
        if (other >= 0) {
            fail(what + ": " + componentText(c) + " is already repaired by crew pool " +
                 std::to_string(other));
        }
    }
    for (int c : members) poolOf[static_cast<std::size_t>(c)] = index;
    pools.push_back(CrewPool{count, std::move(members), order});
    return index;
}

const std::vector<bool>& Dependencies::downStates(int component) const {
    return down[static_cast<std::size_t>(component)];
}

int Dependencies::initialState(int component) const {
    return initial[static_cast<std::size_t>(component)];
}

// ---- DependentModel ----

DependentModel::DependentModel(const CompiledModel& model, const Dependencies& dependencies)
    : model(model), numComponents(model.components()), numStates(model.states()) {
    if (dependencies.components() != numComponents) {
        fail("the dependencies describe " + std::to_string(dependencies.components()) +
             " components but the model has " + std::to_string(numComponents));
    }
    const auto n = static_cast<std::size_t>(numComponents);
    const auto s = static_cast<std::size_t>(numStates);
    laws.resize(n * s * s);
    for (int c = 0; c < numComponents; ++c) {
        for (int state = 0; state < numStates; ++state) {
            std::copy_n(model.row(c, state), numStates, laws.begin() + rowStart(c, state));
        }
    }
    role.assign(n, kRoleNone);
    takeStates(dependencies);
    takeGroups(dependencies);
    takeStandbyUnits(dependencies);
    takePools(dependencies);
    takeLogistics(dependencies);
}

void DependentModel::takeLogistics(const Dependencies& dependencies) {
    repairLogistics = dependencies.logistics();
    if (repairLogistics == nullptr) return;
    if (repairLogistics->components() != numComponents) {
        fail("the logistics describe " + std::to_string(repairLogistics->components()) +
             " components but the model has " + std::to_string(numComponents));
    }
    if (repairLogistics->pools() != pools()) {
        fail("the logistics describe " + std::to_string(repairLogistics->pools()) +
             " crew pools but the dependencies have " + std::to_string(pools()));
    }
    for (int c = 0; c < numComponents; ++c) {
        const ComponentLogistics& entry = repairLogistics->component(c);
        if (entry.delay != nullptr || entry.stock >= 0) {
            role[static_cast<std::size_t>(c)] |= kRoleLogistics;
        }
    }
}

int DependentModel::ageingTarget(int component) const {
    const Distribution* const* out = row(component, 0);
    for (int k = 1; k < numStates; ++k) {
        if (out[k] != nullptr && isDown(component, k)) return k;
    }
    return -1;
}

void DependentModel::checkState(int component, int state, const std::string& what) const {
    if (state < 0 || state >= numStates) {
        fail(componentText(component) + ": " + what + " " + std::to_string(state) +
             " is not a state of the model (states 0 to " + std::to_string(numStates - 1) + ")");
    }
}

void DependentModel::takeStates(const Dependencies& dependencies) {
    const auto states = static_cast<std::size_t>(numStates);
    downFlags.assign(static_cast<std::size_t>(numComponents) * states, 1);
    initial.resize(static_cast<std::size_t>(numComponents));
    for (int c = 0; c < numComponents; ++c) {
        const std::vector<bool>& given = dependencies.downStates(c);
        if (static_cast<int>(given.size()) > numStates) {
            fail(componentText(c) + ": down flags for " + std::to_string(given.size()) +
                 " states, but the model has " + std::to_string(numStates));
        }
        std::uint8_t* flags = &downFlags[static_cast<std::size_t>(c) * states];
        if (given.empty()) {
            flags[0] = 0;
        } else {
            for (std::size_t k = 0; k < given.size(); ++k) flags[k] = given[k] ? 1 : 0;
        }
        checkState(c, dependencies.initialState(c), "initial state");
        initial[static_cast<std::size_t>(c)] = dependencies.initialState(c);
    }
}

void DependentModel::takeGroups(const Dependencies& dependencies) {
    groupStart.push_back(0);
    for (const CommonCauseGroup& group : dependencies.commonCauseGroups()) {
        std::vector<std::size_t> order(group.members.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return group.members[a] < group.members[b];
        });
        for (std::size_t i : order) {
            const int c = group.members[i];
            checkState(c, group.failedStates[i], "failed state");
            if (!isDown(c, group.failedStates[i])) {
                fail(componentText(c) + ": the failed state " +
                     std::to_string(group.failedStates[i]) +
                     " of its common-cause group is not a down state");
            }
            groupMembers.push_back(c);
            groupFailed.push_back(group.failedStates[i]);
        }
        groupStart.push_back(static_cast<int>(groupMembers.size()));
        shockLaws.push_back(neverFires(group.shock) ? nullptr : group.shock);
        largestGroupSize = std::max(largestGroupSize, static_cast<int>(group.members.size()));
    }
}

void DependentModel::takeStandbyUnits(const Dependencies& dependencies) {
    standbyIndex.assign(static_cast<std::size_t>(numComponents), -1);
    coversStart.push_back(0);
    std::vector<std::vector<int>> coveringUnits(static_cast<std::size_t>(numComponents));
    for (const StandbyUnit& unit : dependencies.standbyUnits()) {
        const int c = unit.component;
        const int index = static_cast<int>(standbyComponent.size());
        checkState(c, unit.runningState, "running state");
        checkState(c, unit.standbyState, "standby state");
        checkState(c, unit.failedState, "failed state");
        if (isDown(c, unit.runningState) || isDown(c, unit.standbyState)) {
            fail(componentText(c) + ": a standby unit's running and standby states must count as "
                                    "working, but one of them is down");
        }
        if (!isDown(c, unit.failedState)) {
            fail(componentText(c) + ": the failed state " + std::to_string(unit.failedState) +
                 " of the standby unit is not a down state");
        }
        if (unit.dormant != nullptr) {
            const std::size_t entry =
                rowStart(c, unit.standbyState) + static_cast<std::size_t>(unit.failedState);
            if (!neverFires(laws[entry])) {
                fail(componentText(c) +
                     ": the model already has a law from the standby state into the failed "
                     "state; give it there or as the dormant law, not both");
            }
            laws[entry] = neverFires(unit.dormant) ? nullptr : unit.dormant;
        }
        standbyIndex[static_cast<std::size_t>(c)] = index;
        standbyComponent.push_back(c);
        running.push_back(unit.runningState);
        standbyStates.push_back(unit.standbyState);
        standbyFailed.push_back(unit.failedState);
        startFailures.push_back(unit.startFailure);
        for (int x : unit.covers) {
            covered.push_back(x);
            coveringUnits[static_cast<std::size_t>(x)].push_back(index);
            role[static_cast<std::size_t>(x)] |= kRoleCovered;
        }
        coversStart.push_back(static_cast<int>(covered.size()));
        role[static_cast<std::size_t>(c)] |= kRoleStandby;
    }
    coveringStart.push_back(0);
    for (const std::vector<int>& units : coveringUnits) {
        covering.insert(covering.end(), units.begin(), units.end());
        coveringStart.push_back(static_cast<int>(covering.size()));
    }
    // Keeps the begin pointers valid when nothing is covered.
    covered.push_back(-1);
    covering.push_back(-1);
}

void DependentModel::takePools(const Dependencies& dependencies) {
    pool.assign(static_cast<std::size_t>(numComponents), -1);
    rank.assign(static_cast<std::size_t>(numComponents), -1);
    int index = 0;
    poolStart.push_back(0);
    for (const CrewPool& given : dependencies.crewPools()) {
        for (std::size_t i = 0; i < given.members.size(); ++i) {
            const int c = given.members[i];
            pool[static_cast<std::size_t>(c)] = index;
            rank[static_cast<std::size_t>(c)] = static_cast<int>(i);
            role[static_cast<std::size_t>(c)] |= kRolePooled;
        }
        crewCounts.push_back(given.count);
        poolSizes.push_back(static_cast<int>(given.members.size()));
        orders.push_back(given.order);
        poolMembers.insert(poolMembers.end(), given.members.begin(), given.members.end());
        poolStart.push_back(static_cast<int>(poolMembers.size()));
        ++index;
    }
}
