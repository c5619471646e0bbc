"""A model's logistics (model/logistics.py) in the engine's terms: a tarvo.Logistics.

The input is a model description (components in the general form, times in time units); the
engine counts in steps of 1 / resolution time unit, so ages and lead times are built at the
resolution and the cost weights per time unit are divided by it. Components are numbered in the
description's order, crew pools in the order of its `crews` table, stocks in the order of its
`spares` table.

Every history keeps a vector of figures (`figure_layout`): per component its downtime by cause,
failures and repairs; per stock its demands, stock-outs, part-steps on the shelf, orders and
parts ordered; per pool its crew-steps busy and calls; the system's downtime by cause; last the
history's lost production (capacity units x time units) when a cost prices it, else 0. A
history's cost of each kind is a weighted sum of its figures (`cost_weights`).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import tarvo

LawsBuilder = Callable[[dict, str], tarvo.Distribution]

CAUSES = ("repair", "delay", "crew", "part", "planned")
COMPONENT_FIGURES = (*(f"down_{c}" for c in CAUSES), "failures", "repairs")
STOCK_FIGURES = ("demands", "stock_outs", "shelf_steps", "orders", "parts_ordered")
POOL_FIGURES = ("busy_steps", "calls")
COST_KINDS = ("system_downtime", "lost_production", "repairs", "crews", "parts")
_COMPONENT_KEYS = ("age", "cost", "repair_logistics")


def has_logistics(description: dict) -> bool:
    """Whether the description has spare parts, costs, logistic delays, ages or crews'
    mobilisation or costs."""
    if description.get("spares") or "costs" in description:
        return True
    if any(key in entry for entry in description["components"].values()
           for key in _COMPONENT_KEYS):
        return True
    return any("mobilisation" in pool or "cost" in pool
               for pool in description.get("crews", {}).values())


@dataclass(frozen=True)
class FigureLayout:
    """Where each figure of a history is, as logistics.h lays them out."""

    components: list[str]
    stocks: list[str]
    pools: list[str]

    def component(self, index: int, figure: str) -> int:
        return index * len(COMPONENT_FIGURES) + COMPONENT_FIGURES.index(figure)

    def stock(self, index: int, figure: str) -> int:
        return (len(self.components) * len(COMPONENT_FIGURES) + index * len(STOCK_FIGURES)
                + STOCK_FIGURES.index(figure))

    def pool(self, index: int, figure: str) -> int:
        return (len(self.components) * len(COMPONENT_FIGURES)
                + len(self.stocks) * len(STOCK_FIGURES) + index * len(POOL_FIGURES)
                + POOL_FIGURES.index(figure))

    def system(self, cause: str) -> int:
        return self.pool(len(self.pools), "busy_steps") + CAUSES.index(cause)

    @property
    def lost_production(self) -> int:
        return self.system(CAUSES[0]) + len(CAUSES)

    @property
    def size(self) -> int:
        return self.lost_production + 1


def figure_layout(description: dict) -> FigureLayout:
    return FigureLayout(list(description["components"]), list(description.get("spares", {})),
                        list(description.get("crews", {})))


def cost_weights(description: dict) -> dict[str, list[float]]:
    """Per cost kind, the weight of every figure: costs per time unit divided by the
    resolution, since downtime and busy figures are counted in engine steps; the cost per unit
    of production lost as it is, since lost production is in capacity units x time units."""
    layout = figure_layout(description)
    resolution = int(description["study"]["resolution"])
    weights = {kind: [0.0] * layout.size for kind in COST_KINDS}
    costs = description.get("costs", {})
    per_down = float(costs.get("system_down_per_hour", 0.0))
    for cause in CAUSES:
        weights["system_downtime"][layout.system(cause)] = per_down / resolution
    weights["lost_production"][layout.lost_production] = float(costs.get("per_unit_lost", 0.0))
    for index, entry in enumerate(description["components"].values()):
        cost = entry.get("cost", {})
        weights["repairs"][layout.component(index, "repairs")] = float(cost.get("repair", 0.0))
        for cause in CAUSES:
            weights["repairs"][layout.component(index, f"down_{cause}")] = (
                float(cost.get("per_hour_down", 0.0)) / resolution)
    for index, pool in enumerate(description.get("crews", {}).values()):
        cost = pool.get("cost", {})
        weights["crews"][layout.pool(index, "busy_steps")] = (
            float(cost.get("per_hour", 0.0)) / resolution)
        weights["crews"][layout.pool(index, "calls")] = float(cost.get("per_call", 0.0))
    for index, stock in enumerate(description.get("spares", {}).values()):
        cost = stock.get("cost", {})
        weights["parts"][layout.stock(index, "parts_ordered")] = float(cost.get("part", 0.0))
        weights["parts"][layout.stock(index, "orders")] = float(cost.get("order", 0.0))
        weights["parts"][layout.stock(index, "shelf_steps")] = (
            float(cost.get("holding_per_hour", 0.0)) / resolution)
    return weights


def fixed_costs(description: dict) -> dict[str, float]:
    """Per cost kind, what every history costs whatever happens: crews kept on hand
    (standing_per_hour x crews x horizon)."""
    horizon = float(description["study"]["horizon"])
    fixed = {kind: 0.0 for kind in COST_KINDS}
    for pool in description.get("crews", {}).values():
        standing = float(pool.get("cost", {}).get("standing_per_hour", 0.0))
        fixed["crews"] += standing * int(pool.get("count", 1)) * horizon
    return fixed


def priced_kinds(description: dict) -> list[str]:
    """The cost kinds the model puts a price on, in COST_KINDS' order: the others are 0 in
    every history."""
    weights, fixed = cost_weights(description), fixed_costs(description)
    return [kind for kind in COST_KINDS if fixed[kind] or any(weights[kind])]


def build_logistics(description: dict, laws_builder: LawsBuilder) -> tarvo.Logistics:
    """The tarvo.Logistics of a description with logistics (has_logistics)."""
    resolution = int(description["study"]["resolution"])
    names = list(description["components"])
    crews = description.get("crews", {})
    logistics = tarvo.Logistics(len(names), len(crews))
    for index, (name, entry) in enumerate(description["components"].items()):
        repair = entry.get("repair_logistics", {})
        if "delay" in repair:
            logistics.setRepairDelay(index, laws_builder(
                repair["delay"], f"components.{name}.repair_logistics.delay"))
        restoration = float(repair.get("restoration", 1.0))
        age = float(entry.get("age", 0.0))
        if restoration < 1 or age > 0:
            scale, shape = _weibull_failure(entry)
            logistics.setAgeing(index, restoration, repair.get("ageing", "kijima1"),
                                age * resolution, scale * resolution, shape)
    for name, stock in description.get("spares", {}).items():
        parts = [names.index(part) for part in stock["parts"]]
        lead = laws_builder(stock["lead_time"], f"spares.{name}.lead_time")
        logistics.addStock(parts, int(stock["stock"]), lead,
                           int(stock.get("reorder_point", -1)), int(stock.get("order_up_to", 0)))
    for index, (name, pool) in enumerate(crews.items()):
        if "mobilisation" in pool:
            logistics.setMobilisation(index, laws_builder(pool["mobilisation"],
                                                          f"crews.{name}.mobilisation"))
    fixed = fixed_costs(description)
    for kind, (name, weights) in enumerate(cost_weights(description).items()):
        logistics.setCostWeights(kind, weights, fixed[name])
    return logistics


def _weibull_failure(entry: dict) -> tuple[float, float]:
    """(scale, shape) of the component's Weibull failure law, or (0, 0) for another law."""
    states = entry["states"]
    failed = states[states.index("failed") if "failed" in states else 1]
    for transition in entry["transitions"]:
        if transition["from"] == states[0] and transition["to"] == failed:
            if transition.get("law") == "Weibull":
                return float(transition["scale"]), float(transition["shape"])
    return 0.0, 0.0


@dataclass(frozen=True)
class LogisticsSums:
    """The sums over histories of their figures and costs, exact: each history's value in
    fixed point (2^-scale_bits), summed with its square as integers, so sums of any split of
    the histories add up to the same numbers. Costs: the kinds of COST_KINDS, then the total."""

    histories: int
    scale_bits: int
    sums: tuple[int, ...]
    squares: tuple[int, ...]
    cost_sums: tuple[int, ...]
    cost_squares: tuple[int, ...]

    @classmethod
    def from_runner(cls, figures: dict) -> "LogisticsSums":
        return cls(int(figures["histories"]), int(figures["scale_bits"]),
                   *(tuple(int(v) for v in figures[key])
                     for key in ("sums", "squares", "cost_sums", "cost_squares")))

    @classmethod
    def from_lists(cls, histories: int, scale_bits: int, sums: tuple[int, ...],
                   squares: tuple[int, ...], cost_sums: tuple[int, ...],
                   cost_squares: tuple[int, ...]) -> "LogisticsSums":
        """Sums read from a file. Files written before lost production was a figure and a
        cost kind (one cost sum fewer) hold it as 0: no history of theirs could cost it."""
        if len(cost_sums) == len(COST_KINDS) and len(cost_squares) == len(COST_KINDS):
            at = COST_KINDS.index("lost_production")
            sums, squares = (*sums, 0), (*squares, 0)
            cost_sums = (*cost_sums[:at], 0, *cost_sums[at:])
            cost_squares = (*cost_squares[:at], 0, *cost_squares[at:])
        return cls(histories, scale_bits, sums, squares, cost_sums, cost_squares)

    def __add__(self, other: "LogisticsSums") -> "LogisticsSums":
        if (self.scale_bits, len(self.sums)) != (other.scale_bits, len(other.sums)):
            raise ValueError("logistic sums of different layouts do not add")

        def added(a: tuple[int, ...], b: tuple[int, ...]) -> tuple[int, ...]:
            return tuple(x + y for x, y in zip(a, b))

        return LogisticsSums(self.histories + other.histories, self.scale_bits,
                             added(self.sums, other.sums), added(self.squares, other.squares),
                             added(self.cost_sums, other.cost_sums),
                             added(self.cost_squares, other.cost_squares))

    def to_dict(self) -> dict:
        # Strings: JSON readers other than Python's lose integers beyond 2^53.
        return {"histories": self.histories, "scale_bits": self.scale_bits,
                **{key: [str(v) for v in getattr(self, key)]
                   for key in ("sums", "squares", "cost_sums", "cost_squares")}}

    @classmethod
    def from_dict(cls, data: dict) -> "LogisticsSums":
        return cls.from_lists(int(data["histories"]), int(data["scale_bits"]),
                              *(tuple(int(v) for v in data[key])
                                for key in ("sums", "squares", "cost_sums", "cost_squares")))
