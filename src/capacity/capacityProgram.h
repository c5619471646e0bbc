// The capacity of a system as a program over its components' states, compiled once per model
// and evaluated as components change state.
//
// Capacities are integers in fixed point: the caller chooses a scale (quanta per capacity unit)
// and gives every number in quanta, so that sums over histories and time units are exact and
// add across calls. A product of two values is their integer product divided by the scale
// (truncated toward zero), the same on every machine.
//
// The program is a tree of nodes, each given after its operands: constants, the capacity of a
// component (a table over its states), and sum, min, max and product over earlier nodes, each
// node the operand of at most one other. The last node is the system's capacity.
//
// CapacityState evaluates a program for one history: setting a component's state updates its
// leaves and the nodes above them only, a sum by the difference, the others by recomputing from
// their operands, and stops climbing where a value does not change.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

enum class CapacityOp : int { constant = 0, component = 1, sum = 2, min = 3, max = 4, product = 5 };

class CapacityProgram {
public:
    // scale >= 1: quanta per capacity unit.
    CapacityProgram(int numComponents, std::int64_t scale);

    // The capacity of `component` in each of its states (quanta, >= 0), and the state it starts
    // in. Components not given have capacity 0 in every state.
    void setComponent(int component, std::vector<std::int64_t> perState, int initialState);
    // Nodes, each returning its index; operands are indices of earlier nodes not yet used.
    int addConstant(std::int64_t value);
    int addComponent(int component);
    int addOperation(CapacityOp op, const std::vector<int>& operands);
    // The demand (quanta, >= 0) and the lower bounds of the capacity levels whose time is
    // counted: strictly increasing, the first 0. Level i holds capacities in
    // [bounds[i], bounds[i + 1]).
    void setDemand(std::int64_t demandQuanta);
    void setLevels(std::vector<std::int64_t> lowerBounds);
    // Throws std::invalid_argument unless the program has nodes, its last node is the only one
    // not used as an operand, and it covers `components` components (the model's count).
    void check(int components) const;

    int components() const { return numComponents; }
    int nodes() const { return static_cast<int>(ops.size()); }
    std::int64_t scale() const { return quanta; }
    std::int64_t demand() const { return demandQuanta; }
    const std::vector<std::int64_t>& levels() const { return levelBounds; }
    // The level of a capacity: the last bound not above it.
    int levelOf(std::int64_t capacity) const {
        const auto above = std::upper_bound(levelBounds.begin(), levelBounds.end(), capacity);
        return static_cast<int>(above - levelBounds.begin()) - 1;
    }
    // The capacity with every component in its initial state.
    std::int64_t initialCapacity() const;

private:
    friend class CapacityState;
    std::int64_t combine(int node, const std::vector<std::int64_t>& values) const;
    void checkOperand(int operand) const;

    int numComponents;
    std::int64_t quanta;
    std::int64_t demandQuanta = 0;
    std::vector<std::int64_t> levelBounds{0};
    std::vector<std::vector<std::int64_t>> capacities;  // per component, per state
    std::vector<int> initialStates;
    std::vector<CapacityOp> ops;
    std::vector<std::int64_t> constants;  // per node (constants only)
    std::vector<int> componentOf;         // per node (component leaves only), else -1
    std::vector<int> parent;              // per node, -1 for none
    std::vector<int> operandsBegin;       // per node, into operandList
    std::vector<int> operandsEnd;
    std::vector<int> operandList;
};

class CapacityState {
public:
    explicit CapacityState(const CapacityProgram& program);

    // Every component back in its initial state.
    void reset();
    // Component `component` is now in `state`; returns the system's capacity.
    std::int64_t set(int component, int state);
    std::int64_t value() const { return values.back(); }

private:
    const CapacityProgram& program;
    std::vector<std::int64_t> values;  // per node
    std::vector<std::int64_t> initialValues;
    std::vector<int> leavesBegin;  // per component, into leaves
    std::vector<int> leaves;
    const int* parentOf;        // the program's, per node
    const CapacityOp* opOf;     // the program's, per node
    std::vector<std::int64_t> table;  // every component's capacities per state, one after another
    std::vector<int> tableBegin;      // per component, into table; tableBegin[c + 1] ends it
};

// Inline: called on every event of a history. A sum follows its operand's difference; a min
// (max) takes an operand that falls below (rises above) it, keeps its value when an operand
// that was not its value changes on the far side, and is recomputed otherwise.
inline std::int64_t CapacityState::set(int component, int state) {
    const auto c = static_cast<std::size_t>(component);
    const int at = tableBegin[c] + state;
    const std::int64_t capacity =
        state >= 0 && at < tableBegin[c + 1] ? table[static_cast<std::size_t>(at)] : 0;
    std::int64_t* value = values.data();
    for (int i = leavesBegin[c]; i < leavesBegin[c + 1]; ++i) {
        int node = leaves[static_cast<std::size_t>(i)];
        std::int64_t before = value[node];
        std::int64_t after = capacity;
        for (;;) {
            if (after == before) break;
            value[node] = after;
            const int up = parentOf[node];
            if (up < 0) break;
            const std::int64_t old = value[up];
            std::int64_t now;
            switch (opOf[up]) {
                case CapacityOp::sum: now = old + (after - before); break;
                case CapacityOp::min:
                    now = after <= old ? after : before > old ? old : program.combine(up, values);
                    break;
                case CapacityOp::max:
                    now = after >= old ? after : before < old ? old : program.combine(up, values);
                    break;
                default: now = program.combine(up, values); break;
            }
            node = up;
            before = old;
            after = now;
        }
    }
    return value[values.size() - 1];
}
