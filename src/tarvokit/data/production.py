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
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Callable

import numpy as np

from ..engine.outputs import Histogram, ProductionCounts
from ..model import capacity as capacities
from . import stats

if TYPE_CHECKING:
    from .validation import Field
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


def with_checked_counts(root: "Field", fields: dict, read_lost: Any = None) -> Any:
    """The distributions of a run read back (validation.run_fields' `fields`), with their
    production counts for a model with capacities, every field checked: ResultError naming the
    file and the key path for counts of the wrong shape, sums that disagree (per unit against
    the total and the sub-batches, the histogram against the histories, the levels against
    histories x steps) and a production availability that is not the counts'. A model without
    capacities must have none. `read_lost(rows, high, time_unit)` reads the per-unit counts from
    curve.csv when the JSON leaves them there."""
    distributions, model = fields["distributions"], fields["model"]
    lost_of_batches = [batch.lost for batch in fields["batches"]]  # Batch records
    holder = root.key("distributions", optional=True)
    raw = None if holder.missing else holder.key("production", optional=True)
    measures = root.key("production", optional=True)
    if "capacity" not in model["system"]:
        for field in (raw, measures):
            if field is not None and not field.missing:
                field.fail("the model has no capacity")
        if any(lost is not None for lost in lost_of_batches):
            root.key("batches").fail("lost production for a model without capacities")
        return distributions
    if distributions is None:
        return None
    assert raw is not None
    if raw.missing:
        holder.key("production").fail("missing for a model with capacities")
    histories = sum(batch.histories for batch in fields["batches"])
    counts = _checked_counts(raw, model, histories, read_lost)
    if None in lost_of_batches or sum(lost_of_batches) != counts.lost_sum:
        root.key("batches").fail(f"their lost production adds to {_total(lost_of_batches)},"
                                 f" but the counts to {counts.lost_sum:,}")
    if not measures.missing:
        entry = measures.key("production_availability").interval()
        capacity = capacity_of(model)
        steps = int(model["study"]["horizon"]) * int(model["study"]["resolution"])
        expected = 1.0 - counts.lost_sum / (histories * capacity.demand * steps)
        value = entry["estimate"]
        if value is None or not math.isclose(value, expected, rel_tol=1e-9, abs_tol=1e-12):
            measures.key("production_availability").key("estimate").fail(
                f"{value!r}, but the counts give {expected!r}")
    return replace(distributions, production=counts)


def _total(values: list) -> str:
    return "nothing (a sub-batch has none)" if None in values else f"{sum(values):,}"


def _checked_counts(raw: "Field", model: dict, histories: int, read_lost: Any
                    ) -> ProductionCounts:
    raw.table()
    capacity = capacity_of(model)
    study = model["study"]
    horizon, resolution = int(study["horizon"]), int(study["resolution"])
    steps = horizon * resolution
    most = capacity.demand * steps  # the most one history may lose
    per_unit = raw.key("lost_per_unit")
    high = histories * capacity.demand * resolution
    if isinstance(per_unit.value, str):
        if read_lost is None:
            per_unit.fail("the per-unit counts are not in the JSON, and no curve.csv to read"
                          " them from")
        values = list(read_lost(horizon, high, str(study["time_unit"])))
    else:
        values = per_unit.listing(horizon, horizon)
        for index, value in enumerate(values):
            if type(value) is not int or not 0 <= value <= high:
                per_unit.item(index).integer(0, high, "lost production of a time unit")
    lost_sum = raw.key("lost_sum").big_integer(0, histories * most)
    if sum(values) != lost_sum:
        per_unit.fail(f"adds to {sum(values):,}, but lost_sum is {lost_sum:,}")
    histogram, pairs = _checked_histogram(raw.key("lost"), histories, most)
    squares_field = raw.key("lost_squares")
    squares = squares_field.big_integer(0, histories * most * most)
    for name, value, power in (("lost_sum", lost_sum, 1), ("lost_squares", squares, 2)):
        low = sum(count * (index * histogram.width) ** power for index, count in pairs)
        top = sum(count * ((index + 1) * histogram.width - 1) ** power for index, count in pairs)
        if not low <= value <= top:
            raw.key(name).fail(f"{value:,}, but the histogram allows {low:,} .. {top:,}")
    levels = len(capacity.levels)
    steps_field, squares_of_levels = raw.key("level_steps"), raw.key("level_squares")
    level_steps = [f.big_integer(0, histories * steps) for f in steps_field.items(levels, levels)]
    level_squares = [f.big_integer(0, histories * steps * steps)
                     for f in squares_of_levels.items(levels, levels)]
    if sum(level_steps) != histories * steps:
        steps_field.fail(f"add to {sum(level_steps):,} steps, not histories x steps ="
                         f" {histories * steps:,}")
    for index, (total, square) in enumerate(zip(level_steps, level_squares)):
        if not total * total <= square * histories and square <= total * steps:
            squares_of_levels.item(index).fail(f"{square:,}, which {total:,} steps over"
                                               f" {histories:,} histories cannot give")
    return ProductionCounts(np.array(values, dtype=np.uint64), histogram, lost_sum, squares,
                            tuple(level_steps), tuple(level_squares))


def _checked_histogram(field: "Field", histories: int, most: int) -> tuple[Histogram, list]:
    """The lost production's histogram: bins of `width` values from 0 (a power of two), none
    above the most a history may lose, counts adding to the histories."""
    if field.key("exact").integer(0, 0, "0 (bins of equal width from 0)") != 0:
        field.key("exact").fail("expected 0")
    width = field.key("width").integer(1, 1 << 62)
    if width & (width - 1):
        field.key("width").fail(f"expected a power of two, got {width:,}")
    pairs: list[tuple[int, int]] = []
    previous = -1
    for pair in field.key("bins").items(0, histories):
        pair.listing(2, 2)
        index = pair.item(0).integer(previous + 1, most // width, "a bin number")
        pairs.append((index, pair.item(1).integer(1, histories, "a number of histories")))
        previous = index
    total = sum(count for _, count in pairs)
    if total != histories:
        field.fail(f"its bins hold {total:,} histories, expected {histories:,}")
    counts = np.zeros(pairs[-1][0] + 1 if pairs else 0, dtype=np.uint64)
    for index, count in pairs:
        counts[index] = count
    return Histogram(counts, 0, width), pairs


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
