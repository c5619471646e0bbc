"""What a plant delivers, from the engine's production counts (engine/capacity.py).

The engine follows the system's capacity c(t) in every history and counts, against the demand D,
the production lost, D - min(c, D), times the engine steps it lasted (in quanta of 1 / scale
capacity unit, exact integers): per time unit summed over histories, and per history as a
histogram with exact sums. It also counts the steps spent at each capacity level. With N
independent histories of T engine steps:

- production availability: delivered over demanded, 1 - (lost summed over histories) / (N D T),
  its interval from the exact sum of squares of the histories' lost production (Student's t);
- lost production per history, in capacity units x time units (t for t/h and hours): its mean
  (the same way), and its median, 90th and 99th percentiles with distribution-free intervals;
- the share of time at each level: the mean over histories of the fraction of the horizon spent
  there, its interval from the exact sums of squares;
- the expected delivered capacity in each time unit, D (1 - lost / (N D resolution)), with a
  Wilson band as the unavailability's: a history's delivered fraction of a unit lies in [0, 1].
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from ..engine.outputs import ProductionCounts
from ..model import capacity as capacities
from . import stats
from .files import ResultError
from .measures import QUANTILES, mean_of, quantile_interval


@dataclass(frozen=True)
class Level:
    low: float  # capacity units
    high: float | None  # the level's upper end for binned levels; None for one value
    share: stats.Interval  # of the time


@dataclass(frozen=True)
class Production:
    """The production measures of a run."""

    unit: str  # the capacity unit's label ("" when none was given)
    time_unit: str
    demand: float  # capacity units
    horizon: int
    availability: stats.Interval  # production availability, delivered over demanded
    lost: stats.Interval  # mean lost production per history, capacity units x time units
    lost_quantiles: dict[str, stats.Interval]
    levels: tuple[Level, ...]
    enumerated: bool  # the levels are the values the capacity can take, else bins

    def to_dict(self, interval_dict: Callable[[stats.Interval], dict]) -> dict:
        """For results.json, each interval written by `interval_dict` (result.py's)."""
        return {"unit": self.unit, "demand": self.demand,
                "production_availability": interval_dict(self.availability),
                "expected_lost": interval_dict(self.lost),
                "lost_quantiles": {name: interval_dict(i) for name, i in
                                   self.lost_quantiles.items()},
                "levels_enumerated": self.enumerated,
                "levels": [{"capacity": level.low, "up_to": level.high,
                            "share": interval_dict(level.share)} for level in self.levels]}


def capacity_of(model: dict) -> capacities.Capacity:
    found = capacities.of_description(model)
    if found is None:
        raise ValueError("the model has no capacity")
    return found


def production(counts: ProductionCounts, model: dict, histories: int,
               confidence: float = stats.CONFIDENCE) -> Production:
    """The production measures of `histories` histories of `model` (a description)."""
    capacity = capacity_of(model)
    study = model["study"]
    resolution, horizon = int(study["resolution"]), int(study["horizon"])
    steps = horizon * resolution
    demanded = capacity.demand * steps
    lost_share = mean_of(counts.lost_sum, counts.lost_squares, histories, 1.0 / demanded,
                         confidence, upper=1.0)
    availability = stats.Interval(1.0 - lost_share.estimate, 1.0 - lost_share.high,
                                  1.0 - lost_share.low, lost_share.standard_error)
    to_units = 1.0 / (capacity.scale * resolution)
    lost = mean_of(counts.lost_sum, counts.lost_squares, histories, to_units, confidence,
                   upper=capacity.demand * steps * to_units)
    quantiles = {name: quantile_interval(counts.lost, p, histories, confidence).scaled(to_units)
                 for name, p in QUANTILES.items()}
    bounds = list(capacity.levels)
    levels = []
    for index, low in enumerate(bounds):
        high = None if capacity.enumerated else (
            bounds[index + 1] if index + 1 < len(bounds) else None)
        share = mean_of(counts.level_steps[index], counts.level_squares[index], histories,
                        1.0 / steps, confidence, upper=1.0)
        levels.append(Level(capacity.value(low),
                            None if high is None else capacity.value(high), share))
    return Production(capacity.unit or "", str(study["time_unit"]),
                      capacity.value(capacity.demand), horizon, availability, lost, quantiles,
                      tuple(levels), capacity.enumerated)


def delivered_curve(counts: ProductionCounts, model: dict, histories: int,
                    confidence: float = stats.CONFIDENCE, units: slice = slice(None)
                    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per time unit (of `units`): the expected delivered capacity and its band."""
    capacity = capacity_of(model)
    resolution = int(model["study"]["resolution"])
    lost = counts.lost_per_unit[units].astype(float)
    delivered = 1.0 - lost / (histories * capacity.demand * resolution)
    low, high = stats.wilson_bounds(delivered, histories, confidence)
    demand = capacity.value(capacity.demand)
    return delivered * demand, low * demand, high * demand


def amount_unit(capacity_unit: str, time_unit: str) -> str:
    """The unit of capacity x time: "t" for "t/h" over hours, else "t/h x h"."""
    if capacity_unit.endswith(f"/{time_unit}"):
        return capacity_unit[: -len(time_unit) - 1]
    return f"{capacity_unit} x {time_unit}" if capacity_unit else f"x {time_unit}"


def level_text(level: Level, unit: str) -> str:
    """"100 t/h" for a level of one value, "50-75 t/h" for a bin."""
    def number(value: float) -> str:
        return f"{value:g}"
    label = number(level.low) if level.high is None else \
        f"{number(level.low)}-{number(level.high)}"
    return f"{label} {unit}".rstrip() if level.low or level.high is not None else "0"


# --- Reading back -------------------------------------------------------------------------


def check_counts(data: Any, model: dict, histories: int) -> None:
    """Refuses production counts read back from a file that cannot be this model's: ResultError
    naming the field (under distributions.production)."""
    where = "distributions.production"

    def fail(field: str, message: str) -> None:
        raise ResultError(f"{where}.{field}: {message}")

    if not isinstance(data, dict):
        raise ResultError(f"{where}: expected a table, got {type(data).__name__}")
    capacity = capacity_of(model)
    study = model["study"]
    steps = int(study["horizon"]) * int(study["resolution"])
    for field in ("lost_per_unit", "lost", "lost_sum", "lost_squares", "level_steps",
                  "level_squares"):
        if field not in data:
            fail(field, "missing")
    try:
        counts = ProductionCounts.from_dict(data)
    except (KeyError, TypeError, ValueError) as error:
        raise ResultError(f"{where}: not production counts ({error})") from None
    if len(counts.lost_per_unit) != int(study["horizon"]):
        fail("lost_per_unit", f"{len(counts.lost_per_unit)} values for a horizon of"
                              f" {study['horizon']}")
    if counts.lost_sum < 0 or counts.lost_sum > histories * capacity.demand * steps:
        fail("lost_sum", "outside 0 .. histories x demand x steps")
    if int(counts.lost_per_unit.sum(dtype=np.uint64)) != counts.lost_sum % 2**64:
        fail("lost_per_unit", "its sum is not lost_sum")
    if counts.lost.total != histories:
        fail("lost", f"holds {counts.lost.total} histories, the result {histories}")
    if counts.lost_squares * histories < counts.lost_sum ** 2:
        fail("lost_squares", "smaller than the sum allows")
    if len(counts.level_steps) != len(capacity.levels) or \
            len(counts.level_squares) != len(capacity.levels):
        fail("level_steps", f"{len(counts.level_steps)} levels; the model has"
                            f" {len(capacity.levels)}")
    if any(v < 0 for v in counts.level_steps + counts.level_squares):
        fail("level_steps", "negative")
    if sum(counts.level_steps) != histories * steps:
        fail("level_steps", f"sum to {sum(counts.level_steps)} steps, not histories x steps ="
                            f" {histories * steps}")


def check_measures(data: Any, counts: ProductionCounts, model: dict, histories: int) -> None:
    """Refuses a `production` key whose figures disagree with the counts."""
    if not isinstance(data, dict):
        raise ResultError(f"production: expected a table, got {type(data).__name__}")
    entry = data.get("production_availability")
    if not isinstance(entry, dict) or not isinstance(entry.get("estimate"), (int, float)):
        raise ResultError("production.production_availability: expected"
                          " {estimate, low, high, standard_error}")
    value = float(entry["estimate"])
    if not 0.0 <= value <= 1.0:
        raise ResultError(f"production.production_availability: {value} is not in [0, 1]")
    capacity = capacity_of(model)
    steps = int(model["study"]["horizon"]) * int(model["study"]["resolution"])
    expected = 1.0 - counts.lost_sum / (histories * capacity.demand * steps)
    if not math.isclose(value, expected, rel_tol=1e-9, abs_tol=1e-12):
        raise ResultError(f"production.production_availability: {value} disagrees with the"
                          f" counts ({expected})")



def exact_production(answer: Any, time_unit: str, horizon: int) -> Production:
    """The production measures of a Markov answer's MarkovProduction, every interval collapsed
    onto its exact value; no quantiles (the chain gives means, not spreads)."""
    def exact(value: float) -> stats.Interval:
        return stats.Interval(value, value, value, 0.0)

    nan = stats.Interval(math.nan, math.nan, math.nan, math.nan)
    levels = tuple(Level(low, None if answer.enumerated else
                         (answer.levels[i + 1] if i + 1 < len(answer.levels) else None),
                         exact(share)) for i, (low, share) in
                   enumerate(zip(answer.levels, answer.shares)))
    return Production(answer.unit, time_unit, answer.demand, horizon,
                      exact(answer.availability), exact(answer.expected_lost),
                      {name: nan for name in QUANTILES}, levels, answer.enumerated)
