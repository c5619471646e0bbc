"""The statistics of a study, in one place.

Histories are independent, so the failed count of one engine sub-step is binomial over the
histories, and a time unit's unavailability (the mean over histories of the fraction of the unit
the system was failed) is a mean of independent values in [0, 1]. A mean over many time units is
different: the time units of one history are correlated, which summed counts cannot show. It gets
its interval from independent sub-batches of histories (disjoint seed ranges): the spread of the
sub-batch means (the method of batch means, with Student's t).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import numpy as np

CONFIDENCE = 0.95


@dataclass(frozen=True)
class Interval:
    """A point estimate with a two-sided confidence interval; `standard_error` is the estimate's."""

    estimate: float
    low: float
    high: float
    standard_error: float

    def scaled(self, factor: float) -> "Interval":
        return Interval(self.estimate * factor, self.low * factor, self.high * factor,
                        self.standard_error * factor)

    def contains(self, value: float) -> bool:
        return self.low <= value <= self.high

    @property
    def half_width(self) -> float:
        return (self.high - self.low) / 2

    @property
    def relative_half_width(self) -> float:
        """Half the interval's width over the estimate; infinite for an estimate of 0."""
        return self.half_width / self.estimate if self.estimate > 0 else math.inf

    def deviation(self, value: float) -> float:
        """How many standard errors `value` lies from the estimate (signed: value above is +)."""
        if self.standard_error == 0.0:
            return 0.0 if value == self.estimate else math.copysign(math.inf, value - self.estimate)
        return (value - self.estimate) / self.standard_error


# The quantiles come from scipy.special, the functions scipy.stats evaluates them with, imported
# where a quantile is needed: scipy.stats takes longer to import than a command that asks for no
# interval takes to run, and scipy.special a fraction of that.
def normal_quantile(probability: float) -> float:
    from scipy import special

    return float(special.ndtri(probability))


def student_t_quantile(probability: float, degrees_of_freedom: int) -> float:
    if degrees_of_freedom < 1:
        raise ValueError("Student's t needs at least one degree of freedom")
    from scipy import special

    return float(special.stdtrit(degrees_of_freedom, probability))


def binomial_quantile(probability: float, trials: int, chance: float) -> int:
    """The smallest k with P(Binomial(trials, chance) <= k) >= probability, for a probability
    strictly between 0 and 1, as scipy.stats.binom.ppf gives it: through the function it calls,
    which imports with scipy.special, where scipy has it. (special.bdtr's distribution function
    is off in the eighth digit at millions of trials, too coarse to find the rank with.)"""
    try:
        from scipy.special._ufuncs import _binom_ppf
    except ImportError:
        from scipy import stats as scipy_stats

        return int(scipy_stats.binom.ppf(probability, trials, chance))
    return int(_binom_ppf(probability, trials, chance))


def wilson_bounds(proportion: np.ndarray | float, trials: int | np.ndarray,
                  confidence: float = CONFIDENCE) -> tuple[np.ndarray, np.ndarray]:
    """Wilson score interval of a proportion observed over `trials`, element-wise (the trials
    may differ from element to element).

    Chosen over the normal approximation because it stays inside [0, 1] and keeps its coverage
    for proportions near 0 or 1, which availability studies are full of. For a mean of values in
    [0, 1] rather than of 0/1 outcomes it is conservative: such a mean m has a variance of at most
    m (1 - m) per trial, the binomial one.
    """
    trials = np.asarray(trials, dtype=float)
    if np.any(trials < 1):
        raise ValueError("a proportion needs at least one trial")
    z = normal_quantile(0.5 + confidence / 2)
    p = np.asarray(proportion, dtype=float)
    denominator = 1 + z * z / trials
    centre = (p + z * z / (2 * trials)) / denominator
    half = z * np.sqrt(p * (1 - p) / trials + z * z / (4 * trials * trials)) / denominator
    # At p = 0 (or 1) the bound is exactly 0 (or 1); rounding would leave it just inside.
    low = np.where(p <= 0, 0.0, np.clip(centre - half, 0.0, 1.0))
    high = np.where(p >= 1, 1.0, np.clip(centre + half, 0.0, 1.0))
    return low, high


def wilson_interval(proportion: float, trials: int, confidence: float = CONFIDENCE) -> Interval:
    low, high = wilson_bounds(proportion, trials, confidence)
    return Interval(proportion, float(low), float(high),
                    math.sqrt(max(proportion * (1 - proportion), 0.0) / trials))


def batch_means(batch_histories: Sequence[int], batch_means_: Sequence[float],
                confidence: float = CONFIDENCE,
                bounds: tuple[float, float] = (0.0, 1.0)) -> Interval:
    """Mean over all histories from independent sub-batches of possibly unequal size.

    Sub-batch b of m_b histories has mean A_b. With A the overall mean and N the histories,
    s^2 = sum m_b (A_b - A)^2 / (B - 1) estimates the variance of one history's value, so A has
    standard error sqrt(s^2 / N) with B - 1 degrees of freedom. The bounds are clipped to
    `bounds`: [0, 1] for fractions of time, [-1, 1] for paired differences of them.
    """
    sizes = np.asarray(batch_histories, dtype=float)
    means = np.asarray(batch_means_, dtype=float)
    batches = len(sizes)
    if batches < 2:
        raise ValueError("an interval by batch means needs at least two sub-batches")
    histories = float(sizes.sum())
    overall = float(np.sum(sizes * means) / histories)
    spread = float(np.sum(sizes * (means - overall) ** 2)) / (batches - 1)
    standard_error = math.sqrt(spread / histories)
    half = student_t_quantile(0.5 + confidence / 2, batches - 1) * standard_error
    return Interval(overall, max(bounds[0], overall - half), min(bounds[1], overall + half),
                    standard_error)


def ratio_of_batch_means(batch_histories: Sequence[int], numerators: Sequence[float],
                         denominators: Sequence[float], confidence: float = CONFIDENCE) -> Interval:
    """The ratio X / Y of two means over the same histories, X <= Y, from paired sub-batches.

    Sub-batch b of m_b histories has means x_b and y_b. The ratio R = sum m_b x_b / sum m_b y_b
    is not a mean of sub-batch values, so its interval comes from the linearised residuals
    z_b = x_b - R y_b (the delta method): R has standard error sqrt(s_z^2 / N) / Y with
    s_z^2 = sum m_b z_b^2 / (B - 1), and B - 1 degrees of freedom. Clipped to [0, 1]; an
    undefined ratio (Y = 0) is NaN.
    """
    sizes = np.asarray(batch_histories, dtype=float)
    x, y = np.asarray(numerators, dtype=float), np.asarray(denominators, dtype=float)
    if len(sizes) < 2:
        raise ValueError("an interval by batch means needs at least two sub-batches")
    y_mean = float(np.sum(sizes * y) / sizes.sum())
    if y_mean <= 0:
        return Interval(math.nan, math.nan, math.nan, math.nan)
    ratio = float(np.sum(sizes * x) / np.sum(sizes * y))
    residuals = x - ratio * y
    spread = float(np.sum(sizes * residuals ** 2)) / (len(sizes) - 1)
    standard_error = math.sqrt(spread / sizes.sum()) / y_mean
    half = student_t_quantile(0.5 + confidence / 2, len(sizes) - 1) * standard_error
    return Interval(ratio, max(0.0, ratio - half), min(1.0, ratio + half), standard_error)


def split_evenly(total: int, parts: int) -> list[int]:
    """`parts` sizes adding up to `total`, differing by at most one."""
    base, extra = divmod(total, parts)
    return [base + 1 if i < extra else base for i in range(parts)]


def bin_edges(length: int, bin_units: int) -> np.ndarray:
    """The edges of consecutive bins of `bin_units` time units; the last one may be shorter."""
    return np.append(np.arange(0, length, bin_units), length)


def bin_sums(values: np.ndarray, bin_units: int) -> np.ndarray:
    """Sums of `values` (one per time unit) over the bins of bin_edges."""
    return np.add.reduceat(values.astype(float), bin_edges(len(values), bin_units)[:-1])
