"""Every figure an engineer is asked for, from per-history distributions kept as exact counts.

The engine reports, over the histories of a run, the distribution of three per-history values as
histograms that add across calls, machines and combined results (`Histogram`): the failed engine
steps of a history (its downtime), its number of system failures (entries into the failed state,
counted event by event, so that a failure shorter than a step counts; a history that starts failed
counts one) and the step of its first system failure (or none). With
them come exact sums: of the downtime, of its square, of the failures, of their square and of
downtime x failures (`Sums`). From these, with N independent histories:

- mean unavailability: the mean of the per-history downtime fractions; its standard error from
  the exact sum of squares, Student's t with N - 1 degrees of freedom;
- failure frequency: the mean number of system failures over the horizon, the same way;
- reliability: the share of histories without a system failure (Wilson interval), and per time
  unit the share without one by the end of the unit;
- mean down time per failure and mean up time between failures: total downtime (uptime) over
  the total number of failures, a ratio of two means whose interval comes from the delta method
  (the linearised residuals d - R f, whose variance follows from the three sums of squares);
- downtime quantiles: the p-quantile of a history's downtime, exact to the engine step where the
  histogram has bins of one step, with a distribution-free interval between two order statistics
  (the ranks a binomial(N, p) count covers with 95 %).
When no failure was seen, an interval that would collapse to 0 gets an honest upper bound instead:
no history out of N failing bounds the chance of a failure by 1 - 0.05^(1/N) (about 3 / N).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ..engine.outputs import Distributions, Histogram, Sums
from . import stats

QUANTILES = {"p50": 0.50, "p90": 0.90, "p99": 0.99}
# The measures a precision target may name (keys of results.json).
PRECISION_MEASURES = ("mean_unavailability", "failure_frequency", "reliability",
                      "mean_down_time", "mean_up_time")


# --- The measures -------------------------------------------------------------------------


def no_event_bound(histories: int, confidence: float = stats.CONFIDENCE) -> float:
    """The upper bound of the chance of an event that none of `histories` showed."""
    return 1.0 - (1.0 - confidence) ** (1.0 / histories)


def mean_of(total: int, squares: int, histories: int, scale: float,
            confidence: float = stats.CONFIDENCE, upper: float = math.inf) -> stats.Interval:
    """The mean of a per-history value (times `scale`) from its exact sum and sum of squares,
    Student's t. With every value 0 the interval is [0, the no-event bound x upper-or-1]."""
    if histories < 2:
        raise ValueError("an interval needs at least two histories")
    mean = total / histories
    # Exact integers until the last step: the variance of small shares is a difference of two
    # large, nearly equal numbers.
    spread = (squares * histories - total * total) / (histories * (histories - 1))
    error = math.sqrt(max(spread, 0.0) / histories) * scale
    estimate = mean * scale
    if total == 0:
        bound = no_event_bound(histories, confidence) * (upper if math.isfinite(upper) else 1.0)
        return stats.Interval(0.0, 0.0, bound, 0.0)
    half = stats.student_t_quantile(0.5 + confidence / 2, histories - 1) * error
    return stats.Interval(estimate, max(0.0, estimate - half), min(upper, estimate + half), error)


def ratio_of_sums(numerator: int, denominator: int, numerator_squares: int,
                  denominator_squares: int, products: int, histories: int,
                  confidence: float = stats.CONFIDENCE) -> stats.Interval:
    """R = sum x / sum y over histories, by the delta method: the residuals x - R y have
    variance (Sxx - 2 R Sxy + R^2 Syy) / (N - 1) around their mean 0, and R the standard error
    sqrt(that / N) / mean(y). NaN when no y was seen."""
    if denominator == 0:
        return stats.Interval(math.nan, math.nan, math.nan, math.nan)
    ratio = numerator / denominator
    residual_squares = numerator_squares - 2 * ratio * products + ratio * ratio * \
        denominator_squares
    spread = max(residual_squares, 0.0) / (histories - 1)
    error = math.sqrt(spread / histories) / (denominator / histories)
    half = stats.student_t_quantile(0.5 + confidence / 2, histories - 1) * error
    return stats.Interval(ratio, max(0.0, ratio - half), ratio + half, error)


def quantile_interval(histogram: Histogram, probability: float, histories: int,
                      confidence: float = stats.CONFIDENCE) -> stats.Interval:
    """The `probability`-quantile of the histogram's values with a distribution-free interval:
    the order statistics of ranks l and u such that a binomial(N, p) count lies in [l, u) with
    at least `confidence` (the ranks clipped to 1 .. N)."""
    rank = max(1, math.ceil(probability * histories))
    tail = (1.0 - confidence) / 2
    low_rank = stats.binomial_quantile(tail, histories, probability)
    high_rank = stats.binomial_quantile(1.0 - tail, histories, probability) + 1
    low_rank, high_rank = max(1, low_rank), min(histories, high_rank)
    estimate = histogram.value_at_rank(rank)
    return stats.Interval(float(estimate), float(histogram.value_at_rank(low_rank)),
                          float(histogram.value_at_rank(high_rank)), math.nan)


@dataclass(frozen=True)
class Measures:
    """The figures of a run, in time units where they are durations."""

    mean_unavailability: stats.Interval
    failure_frequency: stats.Interval  # expected system failures over the horizon
    reliability: stats.Interval  # chance of no system failure over the horizon
    mean_down_time: stats.Interval  # per system failure
    mean_up_time: stats.Interval  # between system failures
    downtime_quantiles: dict[str, stats.Interval]  # a history's downtime over the horizon


def measures(distributions: Distributions, histories: int, steps: int, resolution: int,
             confidence: float = stats.CONFIDENCE) -> Measures:
    """Every measure of a run of `histories` histories over `steps` engine steps."""
    sums = distributions.sums
    unavailability = mean_of(sums.downtime, sums.downtime_squares, histories, 1.0 / steps,
                             confidence, upper=1.0)
    frequency = mean_of(sums.failures, sums.failures_squares, histories, 1.0, confidence)
    if sums.failures == 0:  # Poisson bound on the expected count: -ln(0.05) / N
        frequency = stats.Interval(0.0, 0.0, -math.log(1.0 - confidence) / histories, 0.0)
    reliability = stats.wilson_interval(distributions.never_failed / histories, histories,
                                        confidence)
    down = ratio_of_sums(sums.downtime, sums.failures, sums.downtime_squares,
                         sums.failures_squares, sums.downtime_failures, histories, confidence)
    # Uptime of a history: steps - d; its sums follow from the downtime's.
    up_total = histories * steps - sums.downtime
    up_squares = histories * steps * steps - 2 * steps * sums.downtime + sums.downtime_squares
    up_products = steps * sums.failures - sums.downtime_failures
    up = ratio_of_sums(up_total, sums.failures, up_squares, sums.failures_squares, up_products,
                       histories, confidence)
    per_unit = 1.0 / resolution
    quantiles = {name: quantile_interval(distributions.downtime, p, histories,
                                         confidence).scaled(per_unit)
                 for name, p in QUANTILES.items()}
    return Measures(unavailability, frequency, reliability, down.scaled(per_unit),
                    up.scaled(per_unit), quantiles)


def reliability_curve(distributions: Distributions, histories: int, horizon: int,
                      resolution: int, confidence: float = stats.CONFIDENCE,
                      units: slice = slice(None)) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per time unit u (of `units`, all by default): the share of histories without a system
    failure by the end of u (the first failure at a step of u + 1 or later, or none), and its
    Wilson band."""
    first = distributions.first_failure
    ends = (np.arange(horizon, dtype=np.int64)[units] + 1) * resolution
    if len(first.counts):
        edges = first.lower_edge(np.arange(len(first.counts)))
        cumulative = np.cumsum(first.counts, dtype=np.uint64)
        # Histories whose first failure came before the end of each unit.
        positions = np.searchsorted(edges, ends, side="left")
        failed = np.where(positions > 0, cumulative[np.maximum(positions - 1, 0)], 0)
    else:
        failed = np.zeros(len(ends), dtype=np.uint64)
    share = 1.0 - failed.astype(float) / histories
    low, high = stats.wilson_bounds(share, histories, confidence)
    return share, low, high
