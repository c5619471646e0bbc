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
// their operands, and stops climbing where a value does not change. It numbers the nodes from
// the system's capacity down, each node's operands next to one another, so that recomputing a
// node reads one run of values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
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
    // The level of a capacity: the last bound not above it. Without branches for the few
    // levels a program usually has.
    int levelOf(std::int64_t capacity) const {
        const std::size_t count = levelBounds.size();
        if (count <= 16) {
            int level = 0;
            for (std::size_t i = 1; i < count; ++i) level += capacity >= levelBounds[i];
            return level;
        }
        const auto above = std::upper_bound(levelBounds.begin(), levelBounds.end(), capacity);
        return static_cast<int>(above - levelBounds.begin()) - 1;
    }
    // The capacities of level `level` are [levels()[level], levelEnd(level)).
    std::int64_t levelEnd(int level) const { return levelEnds[static_cast<std::size_t>(level)]; }
    // The capacity with every component in its initial state.
    std::int64_t initialCapacity() const;

private:
    friend class CapacityState;
    // The operation over the values [first, last) (at least one), in their order.
    std::int64_t combine(CapacityOp op, const std::int64_t* first, const std::int64_t* last) const;
    void checkOperand(int operand) const;

    int numComponents;
    std::int64_t quanta;
    std::int64_t demandQuanta = 0;
    std::vector<std::int64_t> levelBounds{0};
    std::vector<std::int64_t> levelEnds{std::numeric_limits<std::int64_t>::max()};
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
    std::int64_t set(int component, int state) { return apply(locate(component, state)); }
    std::int64_t value() const { return values.front(); }

    // set() in two halves, which may be apart in time: where a change lands (the component's
    // leaf, and its capacity there), then its effect on the program.
    struct Move {
        int target;  // the leaf, or -1 - component for a component with no leaf or several
        std::int64_t capacity;
    };
    Move locate(int component, int state) const;
    std::int64_t apply(const Move& move);

private:
    // What climbing from a node needs, in one place: its parent (-1 for the system's capacity)
    // and the parent's operation, and the run of its own operands' values.
    struct Link {
        int parent;
        CapacityOp parentOp;
        int operandsBegin;
        int operandsEnd;
    };
    std::int64_t minOf(const Link& link) const;
    std::int64_t maxOf(const Link& link) const;
    void climb(int node, std::int64_t after);

    const CapacityProgram& program;
    std::vector<std::int64_t> values;  // per node, numbered from the system's capacity (0) down
    std::vector<std::int64_t> initialValues;
    std::vector<Link> links;  // per node
    // Per component, its only leaf, or -1 - component with none or several (then in leaves).
    std::vector<int> leafOf;
    std::vector<int> leavesBegin;  // per component, into leaves
    std::vector<int> leaves;
    // Every component's capacity in each state, `stride` entries per component (0 past the
    // states it gives).
    std::vector<std::int64_t> table;
    int stride = 1;
};

inline std::int64_t CapacityState::minOf(const Link& link) const {
    const std::int64_t* v = values.data() + link.operandsBegin;
    const std::int64_t* const last = values.data() + link.operandsEnd;
    std::int64_t result = *v;
    for (++v; v != last; ++v) result = *v < result ? *v : result;
    return result;
}

inline std::int64_t CapacityState::maxOf(const Link& link) const {
    const std::int64_t* v = values.data() + link.operandsBegin;
    const std::int64_t* const last = values.data() + link.operandsEnd;
    std::int64_t result = *v;
    for (++v; v != last; ++v) result = *v > result ? *v : result;
    return result;
}

// Inline: called on every event of a history. A sum follows its operand's difference; a min
// (max) takes an operand that falls below (rises above) it, keeps its value when an operand
// that was not its value changes on the far side, and is recomputed otherwise.
inline void CapacityState::climb(int node, std::int64_t after) {
    std::int64_t* value = values.data();
    const Link* link = links.data();
    std::int64_t before = value[node];
    while (after != before) {
        value[node] = after;
        const int up = link[node].parent;
        if (up < 0) break;
        const std::int64_t old = value[up];
        std::int64_t now;
        switch (link[node].parentOp) {
            case CapacityOp::sum: now = old + (after - before); break;
            case CapacityOp::min:
                now = after <= old ? after : before > old ? old : minOf(link[up]);
                break;
            case CapacityOp::max:
                now = after >= old ? after : before < old ? old : maxOf(link[up]);
                break;
            default:
                now = program.combine(link[node].parentOp, value + link[up].operandsBegin,
                                      value + link[up].operandsEnd);
                break;
        }
        node = up;
        before = old;
        after = now;
    }
}

inline CapacityState::Move CapacityState::locate(int component, int state) const {
    const auto c = static_cast<std::size_t>(component);
    const std::int64_t capacity =
        static_cast<unsigned>(state) < static_cast<unsigned>(stride)
            ? table[c * static_cast<std::size_t>(stride) + static_cast<std::size_t>(state)]
            : 0;
    return Move{leafOf[c], capacity};
}

inline std::int64_t CapacityState::apply(const Move& move) {
    if (move.target >= 0) {
        climb(move.target, move.capacity);
    } else {
        const auto c = static_cast<std::size_t>(-1 - move.target);
        for (int i = leavesBegin[c]; i < leavesBegin[c + 1]; ++i) {
            climb(leaves[static_cast<std::size_t>(i)], move.capacity);
        }
    }
    return values.front();
}
