// Dependencies between components: states other than 0 that count as working, initial states,
// common-cause groups, standby units and repair crews.
//
// Dependencies is what a caller builds (from Python, tarvo.Dependencies): every method checks its
// arguments against what it knows (the number of components) and throws std::invalid_argument
// naming what is wrong. What can only be checked against a component model (state indices, down
// flags of the states named) is checked by DependentModel, once per run.
//
// DependentModel is the form a run uses, prepared once from a CompiledModel and a Dependencies
// and read-only afterwards: any number of threads may run histories of it at once. Both borrow
// the laws they are given (shock and dormant laws), which must outlive every run.
//
// What the mechanisms do in a history is described in dependentHistory.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history/compiledModel.h"
#include "distributions.h"
#include "logistics/logistics.h"

// Which waiting component a free crew of a pool takes first.
enum class CrewOrder {
    firstFailed,  // the one down the longest; equal times: the lowest component index
    listed,       // the one listed first among the pool's members
};

// Parses "first_failed" or "listed"; throws std::invalid_argument otherwise.
CrewOrder crewOrderFromName(const std::string& name);

// A group of components failed together by shocks. The shock law times the next shock from the
// time of the previous one (from time 0 for the first).
struct CommonCauseGroup {
    std::vector<int> members;       // component indices, distinct
    std::vector<int> failedStates;  // the state each member is put into, one per member
    const Distribution* shock;      // borrowed, never null
};

// A component that waits in its standby state until a component it covers goes down.
struct StandbyUnit {
    int component;
    std::vector<int> covers;  // component indices, distinct, without the unit itself
    int runningState;         // the state it runs in once started
    int standbyState;         // the state it waits in
    int failedState;          // where a failure to start, or a dormant failure, takes it
    const Distribution* dormant;  // borrowed; null: it does not fail in standby
    double startFailure;          // probability in [0, 1] that a demand fails
};

// Components that share `count` repair crews.
struct CrewPool {
    int count;                 // at least 1
    std::vector<int> members;  // component indices, distinct, in listed order
    CrewOrder order;
};

// The dependencies a caller describes for a model of `components()` components. Not thread-safe
// while it is being built; a run only reads it.
class Dependencies {
public:
    // numComponents >= 1. Every component starts with state 0 working and every other state
    // down, and starts in state 0.
    explicit Dependencies(int numComponents);

    int components() const { return numComponents; }

    // down[s] tells whether state s counts as down (failed) for the system's failure logic;
    // states beyond the list are down. The list must not be empty.
    void setDownStates(int component, std::vector<bool> down);
    // The state the component is in at time 0 (>= 0).
    void setInitialState(int component, int state);

    // Adds a group; failedStates[i] is the state members[i] is put into by a shock. Returns the
    // group's index (groups are numbered in the order they are added).
    int addCommonCause(std::vector<int> members, std::vector<int> failedStates,
                       const Distribution* shock);

    // Makes `component` a standby unit covering `covers`, sets its initial state to
    // standbyState and marks standbyState as working (setInitialState and setDownStates may
    // change either afterwards). A component is at most one standby unit. `dormant` may be null.
    void addStandby(int component, std::vector<int> covers, int runningState, int standbyState,
                    int failedState, const Distribution* dormant, double startFailure);

    // Adds a pool of `count` crews repairing `members`; a component belongs to at most one
    // pool. Returns the pool's index.
    int addCrewPool(int count, std::vector<int> members, CrewOrder order);

    // Attaches repair logistics (borrowed; null: none), checked against the model and the
    // pools when a run starts.
    void setLogistics(const Logistics* logistics) { repairLogistics = logistics; }
    const Logistics* logistics() const { return repairLogistics; }

    // Down flags given by setDownStates, or empty for the default (only state 0 working).
    const std::vector<bool>& downStates(int component) const;
    int initialState(int component) const;
    const std::vector<CommonCauseGroup>& commonCauseGroups() const { return groups; }
    // In component index order, whatever order they were added in.
    const std::vector<StandbyUnit>& standbyUnits() const { return standbys; }
    const std::vector<CrewPool>& crewPools() const { return pools; }

private:
    void checkComponent(int component, const std::string& what) const;
    void checkMembers(const std::vector<int>& members, const std::string& what) const;

    int numComponents;
    std::vector<std::vector<bool>> down;  // empty entry: the default
    std::vector<int> initial;
    std::vector<CommonCauseGroup> groups;
    std::vector<StandbyUnit> standbys;
    std::vector<CrewPool> pools;
    std::vector<int> poolOf;  // -1: in no pool
    const Logistics* repairLogistics = nullptr;
};

// Roles a component plays, as bits: the history looks at a component's consequences only when
// one is set.
enum ComponentRole : std::uint8_t {
    kRoleNone = 0,
    kRolePooled = 1,   // repaired by a crew of a pool
    kRoleCovered = 2,  // covered by at least one standby unit
    kRoleStandby = 4,  // is a standby unit
    kRoleLogistics = 8,  // its repair waits for a logistic delay or a spare part
};

// A CompiledModel with its Dependencies, prepared for histories. Read-only once built.
class DependentModel {
public:
    // Borrows both, which must outlive it. Throws std::invalid_argument when the dependencies do
    // not fit the model: another number of components, a state index the model does not have,
    // a standby or running state that is down, a failed state that is not down, an initial
    // state outside the model, or a dormant law where the model already has a law from the
    // standby state into the failed state.
    DependentModel(const CompiledModel& model, const Dependencies& dependencies);

    const CompiledModel& base() const { return model; }
    int components() const { return numComponents; }
    int states() const { return numStates; }
    int groups() const { return static_cast<int>(shockLaws.size()); }
    int pools() const { return static_cast<int>(crewCounts.size()); }

    // The laws out of `state`, as CompiledModel::row, with the dormant laws of standby units in
    // place.
    const Distribution* const* row(int component, int state) const {
        return &laws[rowStart(component, state)];
    }
    bool isDown(int component, int state) const {
        return downFlags[at(component) * at(numStates) + at(state)] != 0;
    }
    int initialState(int component) const { return initial[at(component)]; }
    std::uint8_t roles(int component) const { return role[at(component)]; }
    // The same flags and roles as tables, [component * states() + state] and [component], for
    // a loop that keeps the pointers at hand.
    const std::uint8_t* downTable() const { return downFlags.data(); }
    const std::uint8_t* roleTable() const { return role.data(); }

    // ---- Common-cause groups ----
    // Null when the group is never struck (a plain Distribution).
    const Distribution* shockLaw(int group) const { return shockLaws[at(group)]; }
    // Members of a group in component index order, with their failed states: [begin, end).
    int groupBegin(int group) const { return groupStart[at(group)]; }
    int groupEnd(int group) const { return groupStart[at(group) + 1]; }
    int groupMember(int i) const { return groupMembers[at(i)]; }
    int groupFailedState(int i) const { return groupFailed[at(i)]; }
    int largestGroup() const { return largestGroupSize; }

    // ---- Standby units, numbered 0.. in component index order ----
    int standbyOf(int component) const { return standbyIndex[at(component)]; }
    int standbyUnits() const { return static_cast<int>(standbyComponent.size()); }
    int standbyComponentOf(int unit) const { return standbyComponent[at(unit)]; }
    int runningState(int unit) const { return running[at(unit)]; }
    int standbyState(int unit) const { return standbyStates[at(unit)]; }
    int failedState(int unit) const { return standbyFailed[at(unit)]; }
    double startFailure(int unit) const { return startFailures[at(unit)]; }
    // The components a unit covers, in the order given: [begin, end).
    const int* coversBegin(int unit) const { return &covered[at(coversStart[at(unit)])]; }
    const int* coversEnd(int unit) const { return &covered[at(coversStart[at(unit) + 1])]; }
    // The standby units covering a component, in component index order.
    const int* coveringBegin(int component) const {
        return &covering[at(coveringStart[at(component)])];
    }
    const int* coveringEnd(int component) const {
        return &covering[at(coveringStart[at(component) + 1])];
    }

    // ---- Repair logistics (null: none) ----
    const Logistics* logistics() const { return repairLogistics; }
    // The down state the failure law that ageing conditions leads into: the first down state
    // reached from state 0 by a law; -1 when none is.
    int ageingTarget(int component) const;

    // ---- Crew pools ----
    int poolOf(int component) const { return pool[at(component)]; }
    // The position of a pooled component in its pool's members list.
    int rankInPool(int component) const { return rank[at(component)]; }
    int crewCount(int p) const { return crewCounts[at(p)]; }
    int poolSize(int p) const { return poolSizes[at(p)]; }
    CrewOrder crewOrder(int p) const { return orders[at(p)]; }
    // The member of pool p at position `rankInPool`.
    int poolMember(int p, int rankInPool) const {
        return poolMembers[at(poolStart[at(p)] + rankInPool)];
    }

private:
    static std::size_t at(int index) { return static_cast<std::size_t>(index); }
    std::size_t rowStart(int component, int state) const {
        return (at(component) * at(numStates) + at(state)) * at(numStates);
    }
    void takeStates(const Dependencies& dependencies);
    void takeGroups(const Dependencies& dependencies);
    void takeStandbyUnits(const Dependencies& dependencies);
    void takePools(const Dependencies& dependencies);
    void takeLogistics(const Dependencies& dependencies);
    void checkState(int component, int state, const std::string& what) const;

    const CompiledModel& model;
    int numComponents;
    int numStates;
    std::vector<const Distribution*> laws;
    std::vector<std::uint8_t> downFlags;  // [component][state]
    std::vector<int> initial;
    std::vector<std::uint8_t> role;

    std::vector<const Distribution*> shockLaws;
    std::vector<int> groupStart;
    std::vector<int> groupMembers;
    std::vector<int> groupFailed;
    int largestGroupSize = 0;

    std::vector<int> standbyIndex;  // per component, -1: not a standby unit
    std::vector<int> standbyComponent;
    std::vector<int> running;
    std::vector<int> standbyStates;
    std::vector<int> standbyFailed;
    std::vector<double> startFailures;
    std::vector<int> coversStart;
    std::vector<int> covered;
    std::vector<int> coveringStart;
    std::vector<int> covering;

    std::vector<int> pool;  // per component, -1: in no pool
    std::vector<int> rank;
    std::vector<int> crewCounts;
    std::vector<int> poolSizes;
    std::vector<CrewOrder> orders;
    std::vector<int> poolStart;
    std::vector<int> poolMembers;

    const Logistics* repairLogistics = nullptr;
};

// The timers a history of `model` adds for its logistics: one per component when a repair
// waits for a delay or a mobilisation, else none.
inline int logisticTimerSlots(const DependentModel& model) {
    const Logistics* logistics = model.logistics();
    return logistics != nullptr && logistics->needsTimers() ? model.components() : 0;
}

// The event slots a history of `model` adds for its logistics: its timers and a delivery per
// stock.
inline int logisticSlots(const DependentModel& model) {
    const Logistics* logistics = model.logistics();
    return logistics == nullptr
               ? 0
               : logisticTimerSlots(model) + static_cast<int>(logistics->stocks().size());
}
