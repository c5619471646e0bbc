"""What keeps the plant running and what it costs, from the sums the engine keeps of every
history's logistic figures (engine/logistics.py).

Every mean is a mean over independent histories with its interval from the exact sum of squares
(Student's t, measures.mean_of): the downtime of the system and of each component by cause
(repair, logistic delay, waiting for a crew, waiting for a part, planned), failures and repairs
per component, parts on the shelf and orders per stock, crew time per pool, and the costs by
kind (system downtime, lost production, repairs, crews, parts) with their total. Ratios of two
sums (mean waits per failure, the chance of a stock-out when a part is needed, a crew's
utilisation) are given as ratios of the totals.

`logistics_keys(result)` gives the results.json keys `logistics` and `costs`; `check_keys`
refuses a results.json whose keys do not hold what its sums give.
"""

from __future__ import annotations

import math
from typing import Any

from ..engine.logistics import (CAUSES, COST_KINDS, FigureLayout, LogisticsSums,
                                figure_layout)
from . import measures, stats

# A study's result (result.py, which imports this module): anything with `model` and
# `distributions`.
Result = Any

CAUSE_NAMES = {"repair": "repair", "delay": "logistic delay", "crew": "waiting for a crew",
               "part": "waiting for a part", "planned": "planned"}
# Relative difference under which a figure read back equals the one its sums give.
_SAME = 1e-9
# The cost kind results.json files written before it lack (an absent one is 0).
_LOST = "lost_production"


def interval_dict(interval: stats.Interval) -> dict:
    return {"value": interval.estimate, "low": interval.low, "high": interval.high}


class LogisticsFigures:
    """The measures of one result's logistic sums, in time units and currency."""

    def __init__(self, sums: LogisticsSums, description: dict,
                 confidence: float = stats.CONFIDENCE):
        self.sums, self.description, self.confidence = sums, description, confidence
        self.layout: FigureLayout = figure_layout(description)
        self.resolution = int(description["study"]["resolution"])
        self.horizon = int(description["study"]["horizon"])
        self.one = 2.0 ** -sums.scale_bits

    def mean(self, index: int, scale: float = 1.0) -> stats.Interval:
        return measures.mean_of(self.sums.sums[index], self.sums.squares[index],
                                self.sums.histories, self.one * scale, self.confidence)

    def total(self, index: int) -> float:
        """The mean over histories of a figure, as a float."""
        return self.sums.sums[index] * self.one / self.sums.histories

    def downtime(self, index: int) -> stats.Interval:
        return self.mean(index, 1.0 / self.resolution)

    def cause_downtime(self, index: int, cause: str) -> stats.Interval:
        """Downtime of one cause; planned downtime, which only a calendar gives, is exactly 0
        without one (not a bound from the histories)."""
        if cause == "planned" and self.sums.sums[index] == 0 and "phases" not in self.description:
            return stats.Interval(0.0, 0.0, 0.0, 0.0)
        return self.downtime(index)

    def system_downtime(self) -> dict[str, stats.Interval]:
        return {cause: self.cause_downtime(self.layout.system(cause), cause) for cause in CAUSES}

    def components(self) -> dict[str, dict[str, Any]]:
        found = {}
        for index, name in enumerate(self.layout.components):
            at = lambda figure: self.layout.component(index, figure)  # noqa: E731
            failures = self.total(at("failures"))
            found[name] = {
                "downtime": {cause: self.cause_downtime(at(f"down_{cause}"), cause)
                             for cause in CAUSES},
                "failures": self.mean(at("failures")),
                "repairs": self.mean(at("repairs")),
                "mean_wait_crew": (self.total(at("down_crew")) / self.resolution / failures
                                   if failures > 0 else math.nan),
                "mean_wait_part": (self.total(at("down_part")) / self.resolution / failures
                                   if failures > 0 else math.nan),
            }
        return found

    def stocks(self) -> dict[str, dict[str, Any]]:
        found = {}
        for index, name in enumerate(self.layout.stocks):
            at = lambda figure: self.layout.stock(index, figure)  # noqa: E731
            demands = self.total(at("demands"))
            found[name] = {
                "demands": self.mean(at("demands")),
                "stock_out_chance": (self.total(at("stock_outs")) / demands if demands > 0
                                     else math.nan),
                "mean_on_shelf": self.mean(at("shelf_steps"),
                                           1.0 / (self.resolution * self.horizon)),
                "orders": self.mean(at("orders")),
                "parts_ordered": self.mean(at("parts_ordered")),
            }
        return found

    def crews(self) -> dict[str, dict[str, Any]]:
        found = {}
        pools = self.description.get("crews", {})
        for index, name in enumerate(self.layout.pools):
            count = int(pools[name].get("count", 1))
            busy = self.layout.pool(index, "busy_steps")
            found[name] = {
                "count": count,
                "busy_hours": self.downtime(busy),
                "utilisation": self.total(busy) / (count * self.resolution * self.horizon),
                "calls": self.mean(self.layout.pool(index, "calls")),
            }
        return found

    def costs(self) -> dict[str, stats.Interval]:
        """Expected cost over the horizon by kind, then the total."""
        kinds = (*COST_KINDS, "total")
        return {kind: measures.mean_of(self.sums.cost_sums[k], self.sums.cost_squares[k],
                                       self.sums.histories, self.one, self.confidence)
                for k, kind in enumerate(kinds)}


def batch_cost(task_result: Any) -> float | None:
    """The total cost summed over the histories of one runner call (a TaskResult), or None
    for a model without costs."""
    distributions = task_result.distributions
    if distributions is None or distributions.logistics is None:
        return None
    sums = distributions.logistics
    return sums.cost_sums[-1] * 2.0 ** -sums.scale_bits


def figures_of(result: Result) -> LogisticsFigures | None:
    """The logistic measures of a result, None for a model without logistics."""
    if result.distributions is None or result.distributions.logistics is None:
        return None
    return LogisticsFigures(result.distributions.logistics, result.model)


def logistics_keys(result: Result) -> dict:
    """The results.json keys `logistics` and `costs` of a result with logistic figures."""
    found = figures_of(result)
    if found is None:
        return {}

    def plain(value: Any) -> Any:
        if isinstance(value, stats.Interval):
            return interval_dict(value)
        if isinstance(value, dict):
            return {key: plain(item) for key, item in value.items()}
        if isinstance(value, float) and math.isnan(value):
            return None
        return value

    costs = found.costs()
    return {
        "logistics": plain({
            "downtime_by_cause": {"system": found.system_downtime(),
                                  "components": {name: entry["downtime"] for name, entry
                                                 in found.components().items()}},
            "components": {name: {k: v for k, v in entry.items() if k != "downtime"}
                           for name, entry in found.components().items()},
            "stocks": found.stocks(),
            "crews": found.crews(),
        }),
        "costs": plain({"currency": result.model.get("costs", {}).get("currency", ""),
                        "by_kind": {kind: costs[kind] for kind in COST_KINDS},
                        "total": costs["total"]}),
    }


def check_keys(data: dict, result: Result, source: str) -> None:
    """Refuses (ResultError, one line naming `source` and the field) `logistics` and `costs`
    keys of a results.json that are malformed, out of range, or not what the result's sums
    give."""
    from .files import ResultError

    _check_sums(result, source)
    expected = logistics_keys(result)
    for key in ("logistics", "costs"):
        if key in expected and key not in data:
            raise ResultError(f"{source}: {key}: missing, though the result has logistic sums")
        if key in data and key not in expected:
            raise ResultError(f"{source}: {key}: present, but the result has no logistic sums")
    if not expected:
        return
    costs = data["costs"]
    total = _number(costs, "total", f"{source}: costs.total")
    kinds = costs.get("by_kind")
    expected_kinds = expected["costs"]["by_kind"]
    if isinstance(kinds, dict) and _LOST not in kinds and expected_kinds[_LOST]["value"] == 0:
        # Written before lost production had a cost: none of its histories had one.
        expected_kinds.pop(_LOST)
    if not isinstance(kinds, dict) or set(kinds) != set(expected_kinds):
        raise ResultError(f"{source}: costs.by_kind: expected the kinds {', '.join(COST_KINDS)}")
    parts = [_number(kinds, kind, f"{source}: costs.by_kind.{kind}") for kind in expected_kinds]
    if not math.isclose(sum(parts), total, rel_tol=1e-6, abs_tol=1e-6):
        raise ResultError(f"{source}: costs.total: {total:g} is not the sum of the kinds"
                          f" ({sum(parts):g})")
    _compare(data["logistics"], expected["logistics"], f"{source}: logistics")
    _compare(costs, expected["costs"], f"{source}: costs")


def _check_sums(result: Result, source: str) -> None:
    """The sums kept under distributions.logistics fit the model and the histories."""
    from .files import ResultError

    distributions = result.distributions
    sums = distributions.logistics if distributions is not None else None
    if sums is None:
        return
    where = f"{source}: distributions.logistics"
    size = figure_layout(result.model).size
    if len(sums.sums) != size or len(sums.squares) != size:
        raise ResultError(f"{where}.sums: {len(sums.sums)} figures, but the model's logistics"
                          f" keep {size}")
    if len(sums.cost_sums) != len(COST_KINDS) + 1 or len(sums.cost_squares) != len(COST_KINDS) + 1:
        raise ResultError(f"{where}.cost_sums: expected {len(COST_KINDS) + 1} sums, the kinds and"
                          " their total")
    if sums.histories != result.histories:
        raise ResultError(f"{where}.histories: {sums.histories}, but the result holds"
                          f" {result.histories} histories")
    if any(v < 0 for v in (*sums.sums, *sums.squares, *sums.cost_sums, *sums.cost_squares)):
        raise ResultError(f"{where}: a sum below 0")
    if sums.scale_bits != 16:
        raise ResultError(f"{where}.scale_bits: expected 16, got {sums.scale_bits}")


def _number(table: Any, key: str, where: str) -> float:
    from .files import ResultError

    entry = table.get(key) if isinstance(table, dict) else None
    value = entry.get("value") if isinstance(entry, dict) else None
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not math.isfinite(value) or value < 0):
        raise ResultError(f"{where}: expected {{\"value\": x, \"low\": l, \"high\": h}} with x a"
                          f" number of at least 0, got {entry!r}")
    low, high = entry.get("low"), entry.get("high")
    if not all(isinstance(b, (int, float)) and not isinstance(b, bool) for b in (low, high)) \
            or not low <= value <= high:
        raise ResultError(f"{where}: expected low <= value <= high, got {entry!r}")
    return float(value)


def _compare(found: Any, expected: Any, where: str) -> None:
    from .files import ResultError

    if isinstance(expected, dict) and set(expected) == {"value", "low", "high"}:
        # An interval: its value is what the sums give; its bounds hold it.
        _number({"x": found}, "x", where)
        _compare(found["value"], expected["value"], f"{where}.value")
        return
    if isinstance(expected, dict):
        if not isinstance(found, dict) or set(found) != set(expected):
            raise ResultError(f"{where}: expected the fields {', '.join(map(str, expected))}")
        for key in expected:
            _compare(found[key], expected[key], f"{where}.{key}")
        return
    if isinstance(expected, (int, float)) and not isinstance(expected, bool):
        if (isinstance(found, bool) or not isinstance(found, (int, float))
                or not math.isclose(found, expected, rel_tol=_SAME, abs_tol=1e-12)):
            raise ResultError(f"{where}: {found!r} is not what the result's sums give"
                              f" ({expected!r}): the file was altered")
        return
    if found != expected:
        raise ResultError(f"{where}: {found!r} is not what the result's sums give ({expected!r})")
