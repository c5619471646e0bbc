"""A model's capacity in the engine's terms, and what the engine reports of it.

`capacity_program` compiles the description's capacity (model/capacity.py) into a
`tarvo.CapacityProgram` over the components as the engine numbers them and their engine states
(a standby unit's added "standby" state delivers nothing; it starts there).

`ProductionCounts` holds what runnerStudy returns under "production", as data that adds across
calls and machines (in quanta x engine steps; the data layer turns them into measures).
"""

from __future__ import annotations

from dataclasses import dataclass, field
import numpy as np

import tarvo

from ..model import capacity as capacities
from .outputs import Histogram


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


@dataclass(frozen=True, eq=False)
class ProductionCounts:
    """Lost production (quanta x engine steps) per time unit summed over histories, its
    distribution over histories with exact sums, and the engine steps at each capacity level
    summed over histories with the sums of their squares."""

    lost_per_unit: np.ndarray  # uint64
    lost: Histogram
    lost_sum: int = 0
    lost_squares: int = 0
    level_steps: tuple[int, ...] = ()
    level_squares: tuple[int, ...] = ()

    def __add__(self, other: "ProductionCounts") -> "ProductionCounts":
        if len(self.level_steps) != len(other.level_steps):
            raise ValueError("production counts of different levels do not add")
        return ProductionCounts(self.lost_per_unit + other.lost_per_unit, self.lost + other.lost,
                                self.lost_sum + other.lost_sum,
                                self.lost_squares + other.lost_squares,
                                tuple(a + b for a, b in zip(self.level_steps, other.level_steps)),
                                tuple(a + b for a, b in zip(self.level_squares,
                                                            other.level_squares)))

    def to_dict(self) -> dict:
        # Strings for the exact sums: JSON readers other than Python's lose integers past 2^53.
        return {"lost_per_unit": [int(v) for v in self.lost_per_unit],
                "lost": self.lost.to_dict(), "lost_sum": str(self.lost_sum),
                "lost_squares": str(self.lost_squares),
                "level_steps": [str(v) for v in self.level_steps],
                "level_squares": [str(v) for v in self.level_squares]}

    @classmethod
    def from_dict(cls, data: dict) -> "ProductionCounts":
        return cls(np.array([int(v) for v in data["lost_per_unit"]], dtype=np.uint64),
                   Histogram.from_dict(data["lost"]), int(data["lost_sum"]),
                   int(data["lost_squares"]), tuple(int(v) for v in data["level_steps"]),
                   tuple(int(v) for v in data["level_squares"]))

    @classmethod
    def from_runner(cls, figures: dict) -> "ProductionCounts":
        """From the "production" dict of tarvo.runnerStudy."""
        return cls(np.asarray(figures["lost_per_unit"], dtype=np.uint64),
                   Histogram(np.asarray(figures["lost_histogram"], dtype=np.uint64),
                             int(figures["exact_bins"]), int(figures["bin_width"])),
                   int(figures["lost_sum"]), int(figures["lost_sum_of_squares"]),
                   tuple(int(v) for v in figures["level_steps"]),
                   tuple(int(v) for v in figures["level_steps_sum_of_squares"]))
