// The component model as callers give it, the checks every run makes of it, and the form it is
// compiled into once per call so that any number of histories can share it.
//
// A CompiledModel is read-only once built: any number of threads may run histories of it at
// once. A FailureTracker belongs to one history, used by one thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "cutsetTree.h"
#include "distributions.h"

// components[c][s][k]: law of component c's transition from state s into state k (borrowed).
using ComponentModel = std::vector<std::vector<std::vector<Distribution*>>>;

// ---- Checks shared by the engine and the runners ----

// The two checks every history makes, in this order: a null tree throws std::invalid_argument
// "Cutset matrix must not be null.", a model without components, or whose component 0 has no
// states, throws std::invalid_argument "Transitions matrix must not be empty.".
void checkRunArguments(const ComponentModel& model, const CutsetTree* cutSetTree);

// The shape the engine relies on, for a model that passed checkRunArguments. numStates is the
// row count of component 0. Throws std::invalid_argument naming the component, state and
// target involved when
//   - a row does not hold exactly numStates laws,
//   - a law is null (None from Python),
//   - a component has no row for state 0, or for a state that one of its laws can lead to.
// A plain Distribution entry leads nowhere (it never fires), so a component may omit the rows
// of states it can never enter.
void checkModelShape(const ComponentModel& model);

// checkRunArguments, then checkModelShape: what a runner checks before any history runs.
void checkModel(const ComponentModel& model, const CutsetTree* cutSetTree);

// ---- What the histories of one call share ----

// How a history finds the system state after a component fails or is repaired. Both give the
// tree's answer.
enum class FailureLogic {
    automatic,  // whichever is faster for the tree's size (see CompiledModel::countsCutSets)
    tree,       // ask the tree, only when the change can alter the system state
    counts,     // count the failed members of every stored cut set
};

// The model and the tree prepared once for many histories: the laws in one contiguous table and
// the failure logic in the form that answers fastest. Read-only once built, so any number of
// threads may run histories of it at once. Borrows the laws and the tree, which must outlive it.
class CompiledModel {
public:
    // Runs checkRunArguments first. Entries a row does not hold, null entries and plain
    // Distribution entries all count as never firing; checkModelShape is the caller's affair.
    CompiledModel(const ComponentModel& model, CutsetTree* cutSetTree,
                  FailureLogic logic = FailureLogic::automatic);

    int components() const { return numComponents; }
    int states() const { return numStates; }
    // The laws of the transitions of `component` out of `state`, numStates of them in target
    // order; an entry is null when the transition never fires (its draw is still spent, without
    // asking the law).
    const Distribution* const* row(int component, int state) const {
        return &laws[rowStart(component, state)];
    }

    CutsetTree& tree() const { return *cutSetTree; }
    // The tree already answers "failed" with every component working (it stores a cut set
    // without members): every event then leaves the system failed.
    bool failedWhenAllWork() const { return alwaysFailed; }
    // Whether the histories count the failed members of every cut set instead of asking the
    // tree: chosen when a component belongs on average to at most about twice as many cut sets
    // as there are components, where a few increments cost less than a walk of the tree.
    bool countsCutSets() const { return countMembers; }
    // Cut sets (that can fail) holding `component`: [first, last) into cutSetOf.
    const int* cutSetsOfBegin(int component) const { return &cutSetOf[memberStart[component]]; }
    const int* cutSetsOfEnd(int component) const { return &cutSetOf[memberStart[component + 1]]; }
    const std::vector<int>& cutSetSizes() const { return sizes; }

private:
    std::size_t rowStart(int component, int state) const {
        return (static_cast<std::size_t>(component) * static_cast<std::size_t>(numStates) +
                static_cast<std::size_t>(state)) *
               static_cast<std::size_t>(numStates);
    }
    void copyLaws(const ComponentModel& model);
    void prepareCounting(FailureLogic logic);
    void indexMemberships(const std::vector<std::vector<int>>& cutSets, std::size_t memberships);

    int numComponents;
    int numStates;
    std::vector<const Distribution*> laws;
    CutsetTree* cutSetTree;
    bool alwaysFailed = false;
    bool countMembers = false;
    std::vector<int> memberStart;  // numComponents + 1 offsets into cutSetOf
    std::vector<int> cutSetOf;
    std::vector<int> sizes;        // members of each counted cut set
};

// The system state of one history from the failed components, through the compiled model's
// failure logic: per-cut-set counts of failed members, or the tree. Borrows the model. All
// memory is allocated by the constructor.
class FailureTracker {
public:
    explicit FailureTracker(const CompiledModel& model)
        : model(model),
          failedMembers(model.countsCutSets() ? model.cutSetSizes().size() : 0, 0),
          failedComponents(model.countsCutSets() ? 0 : static_cast<std::size_t>(model.components()),
                           0) {}

    void reset() {
        std::fill(failedMembers.begin(), failedMembers.end(), 0);
        std::fill(failedComponents.begin(), failedComponents.end(), 0);
        wholeCutSets = 0;
    }

    // `component` has just become failed (nowFailed) or working; returns the system state that
    // follows from systemState. A failure cannot repair the system and a repair cannot fail
    // it, so the tree is asked only when the state can change.
    int afterChange(int component, bool nowFailed, int systemState) {
        if (model.countsCutSets()) {
            countChange(component, nowFailed);
            return wholeCutSets > 0 ? 1 : 0;
        }
        failedComponents[static_cast<std::size_t>(component)] = nowFailed ? 1 : 0;
        if (nowFailed == (systemState != 0)) return systemState;
        return model.tree().isSystemFailed(failedComponents) ? 1 : 0;
    }

private:
    void countChange(int component, bool nowFailed) {
        const std::vector<int>& setSizes = model.cutSetSizes();
        const int* end = model.cutSetsOfEnd(component);
        for (const int* set = model.cutSetsOfBegin(component); set != end; ++set) {
            int& failed = failedMembers[static_cast<std::size_t>(*set)];
            if (nowFailed) {
                if (++failed == setSizes[static_cast<std::size_t>(*set)]) ++wholeCutSets;
            } else {
                if (failed-- == setSizes[static_cast<std::size_t>(*set)]) --wholeCutSets;
            }
        }
    }

    const CompiledModel& model;
    std::vector<int> failedMembers;     // counting: failed members per cut set
    int wholeCutSets = 0;               // counting: cut sets with every member failed
    std::vector<int> failedComponents;  // tree: the cutset vector of the failed components
};
