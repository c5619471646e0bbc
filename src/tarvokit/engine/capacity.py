"""A model's capacity in the engine's terms.

`capacity_program` compiles the description's capacity (model/capacity.py) into a
`tarvo.CapacityProgram` over the components as the engine numbers them and their engine states
(a standby unit's added "standby" state delivers nothing; it starts there).

What runnerStudy returns of the capacity is outputs.ProductionCounts.
"""

from __future__ import annotations

import tarvo

from ..model import capacity as capacities


def capacity_program(description: dict) -> tarvo.CapacityProgram | None:
    """The compiled capacity of a description, or None when it has none."""
    capacity = capacities.of_description(description)
    if capacity is None:
        return None
    names = list(description["components"])
    program = tarvo.CapacityProgram(len(names), capacity.scale)
    for index, (name, entry) in enumerate(description["components"].items()):
        table = capacity.components.get(name, {})
        states = list(entry["states"])
        standby = "standby" in entry
        per_state = [table.get(state, 0) for state in states]
        if standby:
            per_state.append(0)
        program.setComponent(index, per_state, len(states) if standby else 0)
    _compile(program, capacity.tree)
    program.setDemand(capacity.demand)
    program.setLevels(list(capacity.levels))
    return program


def _compile(program: tarvo.CapacityProgram, node: capacities.Node) -> int:
    kind = node[0]
    if kind == "number":
        return program.addConstant(int(node[1]))  # type: ignore[arg-type]
    if kind == "component":
        return program.addComponent(int(node[1]))  # type: ignore[arg-type]
    operands = [_compile(program, operand) for operand in node[1]]  # type: ignore[union-attr]
    return program.addOperation(kind, operands)
