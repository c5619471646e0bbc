#include "capacity/capacityProgram.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

CapacityProgram::CapacityProgram(int numComponents, std::int64_t scale)
    : numComponents(numComponents), quanta(scale) {
    if (numComponents < 0) throw std::invalid_argument("numComponents must not be negative");
    if (scale < 1) throw std::invalid_argument("scale must be at least 1");
    capacities.assign(static_cast<std::size_t>(numComponents), {});
    initialStates.assign(static_cast<std::size_t>(numComponents), 0);
}

void CapacityProgram::setComponent(int component, std::vector<std::int64_t> perState,
                                   int initialState) {
    if (component < 0 || component >= numComponents) {
        throw std::invalid_argument("component " + std::to_string(component) + " out of range");
    }
    for (std::int64_t value : perState) {
        if (value < 0) throw std::invalid_argument("capacities must not be negative");
    }
    if (initialState < 0) throw std::invalid_argument("initialState must not be negative");
    capacities[static_cast<std::size_t>(component)] = std::move(perState);
    initialStates[static_cast<std::size_t>(component)] = initialState;
}

int CapacityProgram::addConstant(std::int64_t value) {
    if (value < 0) throw std::invalid_argument("constants must not be negative");
    ops.push_back(CapacityOp::constant);
    constants.push_back(value);
    componentOf.push_back(-1);
    parent.push_back(-1);
    operandsBegin.push_back(static_cast<int>(operandList.size()));
    operandsEnd.push_back(static_cast<int>(operandList.size()));
    return nodes() - 1;
}

int CapacityProgram::addComponent(int component) {
    if (component < 0 || component >= numComponents) {
        throw std::invalid_argument("component " + std::to_string(component) + " out of range");
    }
    const int node = addConstant(0);
    ops.back() = CapacityOp::component;
    componentOf.back() = component;
    return node;
}

void CapacityProgram::checkOperand(int operand) const {
    if (operand < 0 || operand >= nodes()) {
        throw std::invalid_argument("operand " + std::to_string(operand) + " is no earlier node");
    }
    if (parent[static_cast<std::size_t>(operand)] >= 0) {
        throw std::invalid_argument("node " + std::to_string(operand) + " is used twice");
    }
}

int CapacityProgram::addOperation(CapacityOp op, const std::vector<int>& operands) {
    if (op == CapacityOp::constant || op == CapacityOp::component) {
        throw std::invalid_argument("addOperation takes sum, min, max or product");
    }
    if (operands.empty()) throw std::invalid_argument("an operation needs operands");
    for (int operand : operands) checkOperand(operand);
    const int node = nodes();
    for (int operand : operands) parent[static_cast<std::size_t>(operand)] = node;
    operandsBegin.push_back(static_cast<int>(operandList.size()));
    operandList.insert(operandList.end(), operands.begin(), operands.end());
    operandsEnd.push_back(static_cast<int>(operandList.size()));
    ops.push_back(op);
    constants.push_back(0);
    componentOf.push_back(-1);
    parent.push_back(-1);
    return node;
}

void CapacityProgram::setDemand(std::int64_t value) {
    if (value < 0) throw std::invalid_argument("demand must not be negative");
    demandQuanta = value;
}

void CapacityProgram::setLevels(std::vector<std::int64_t> lowerBounds) {
    if (lowerBounds.empty() || lowerBounds.front() != 0) {
        throw std::invalid_argument("the first level's lower bound must be 0");
    }
    for (std::size_t i = 1; i < lowerBounds.size(); ++i) {
        if (lowerBounds[i] <= lowerBounds[i - 1]) {
            throw std::invalid_argument("level bounds must increase");
        }
    }
    levelBounds = std::move(lowerBounds);
    levelEnds.assign(levelBounds.begin() + 1, levelBounds.end());
    levelEnds.push_back(std::numeric_limits<std::int64_t>::max());
}

void CapacityProgram::check(int components) const {
    if (components != numComponents) {
        throw std::invalid_argument("the capacity program describes " +
                                    std::to_string(numComponents) + " components, the model " +
                                    std::to_string(components));
    }
    if (ops.empty()) throw std::invalid_argument("the capacity program has no node");
    for (int node = 0; node + 1 < nodes(); ++node) {
        if (parent[static_cast<std::size_t>(node)] < 0) {
            throw std::invalid_argument("node " + std::to_string(node) +
                                        " is no operand of the system's capacity");
        }
    }
}

std::int64_t CapacityProgram::combine(CapacityOp op, const std::int64_t* first,
                                      const std::int64_t* last) const {
    std::int64_t result = *first;
    switch (op) {
        case CapacityOp::sum:
            for (const std::int64_t* v = first + 1; v != last; ++v) result += *v;
            break;
        case CapacityOp::min:
            for (const std::int64_t* v = first + 1; v != last; ++v) result = std::min(result, *v);
            break;
        case CapacityOp::max:
            for (const std::int64_t* v = first + 1; v != last; ++v) result = std::max(result, *v);
            break;
        case CapacityOp::product:
            for (const std::int64_t* v = first + 1; v != last; ++v) {
                // Both below 2^31 (as nearly always): the product fits 64 bits.
                result = (result | *v) < (std::int64_t{1} << 31)
                             ? result * *v / quanta
                             : static_cast<std::int64_t>(static_cast<__int128>(result) * *v /
                                                         quanta);
            }
            break;
        default: break;
    }
    return result;
}

std::int64_t CapacityProgram::initialCapacity() const {
    CapacityState state(*this);
    return state.value();
}

namespace {
std::int64_t capacityIn(const std::vector<std::int64_t>& table, int state) {
    return state >= 0 && static_cast<std::size_t>(state) < table.size()
               ? table[static_cast<std::size_t>(state)]
               : 0;
}
}  // namespace

CapacityState::CapacityState(const CapacityProgram& program)
    : program(program), values(static_cast<std::size_t>(program.nodes()), 0) {
    const int nodes = program.nodes();
    const int n = program.components();
    // Numbered from the system's capacity down, level by level: each node's operands, in their
    // order, right after the operands of the nodes numbered before it.
    std::vector<int> order;  // program node of each number
    std::vector<int> number(static_cast<std::size_t>(nodes), -1);
    if (nodes > 0) order.push_back(nodes - 1);
    links.resize(static_cast<std::size_t>(nodes));
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto k = static_cast<std::size_t>(order[i]);
        number[k] = static_cast<int>(i);
        links[i].operandsBegin = static_cast<int>(order.size());
        for (int o = program.operandsBegin[k]; o < program.operandsEnd[k]; ++o) {
            order.push_back(program.operandList[static_cast<std::size_t>(o)]);
        }
        links[i].operandsEnd = static_cast<int>(order.size());
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        const int up = program.parent[static_cast<std::size_t>(order[i])];
        links[i].parent = up >= 0 ? number[static_cast<std::size_t>(up)] : -1;
        links[i].parentOp = up >= 0 ? program.ops[static_cast<std::size_t>(up)] : CapacityOp::constant;
    }
    // Leaves per component (of a checked program: every node is below the system's capacity).
    values.resize(order.size());
    links.resize(order.size());
    auto componentAt = [&](std::size_t i) {
        return program.componentOf[static_cast<std::size_t>(order[i])];
    };
    std::vector<int> count(static_cast<std::size_t>(n) + 1, 0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (componentAt(i) >= 0) ++count[static_cast<std::size_t>(componentAt(i)) + 1];
    }
    for (std::size_t c = 0; c < static_cast<std::size_t>(n); ++c) count[c + 1] += count[c];
    leavesBegin = count;
    leaves.assign(static_cast<std::size_t>(count.back()), 0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const int c = componentAt(i);
        if (c >= 0) leaves[static_cast<std::size_t>(count[static_cast<std::size_t>(c)]++)] = static_cast<int>(i);
    }
    leafOf.assign(static_cast<std::size_t>(n), -1);
    for (std::size_t c = 0; c < static_cast<std::size_t>(n); ++c) {
        leafOf[c] = leavesBegin[c + 1] - leavesBegin[c] == 1
                        ? leaves[static_cast<std::size_t>(leavesBegin[c])]
                        : -1 - static_cast<int>(c);
    }
    // Every node from its operands, which are numbered after it.
    for (int i = static_cast<int>(order.size()) - 1; i >= 0; --i) {
        const auto k = static_cast<std::size_t>(order[static_cast<std::size_t>(i)]);
        const auto at = static_cast<std::size_t>(i);
        switch (program.ops[k]) {
            case CapacityOp::constant: values[at] = program.constants[k]; break;
            case CapacityOp::component: {
                const auto c = static_cast<std::size_t>(program.componentOf[k]);
                values[at] = capacityIn(program.capacities[c], program.initialStates[c]);
                break;
            }
            default:
                values[at] = program.combine(program.ops[k], values.data() + links[at].operandsBegin,
                                             values.data() + links[at].operandsEnd);
                break;
        }
    }
    initialValues = values;
    for (const auto& own : program.capacities) {
        stride = std::max(stride, static_cast<int>(own.size()));
    }
    table.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(stride), 0);
    for (std::size_t c = 0; c < static_cast<std::size_t>(n); ++c) {
        const auto& own = program.capacities[c];
        std::copy(own.begin(), own.end(), table.begin() + static_cast<std::ptrdiff_t>(
                                                             c * static_cast<std::size_t>(stride)));
    }
}

void CapacityState::reset() { values = initialValues; }

