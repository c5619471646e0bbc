"""The transition laws of a model file, in the terms engineers use, and their engine form.

A law is a table such as `{law = "Weibull", scale = 4000, shape = 1.8}` whose times are in the
study's time unit. `engine_law` checks it and gives the engine law's class name and arguments in
sub-steps of 1 / resolution time unit: times are multiplied by the resolution, rates divided by
it. Scheduled times (an inspection period, maintenance durations, an instantaneous failure's
time) must come out as whole sub-steps, since the engine counts them in whole steps. The engine
objects themselves are built by the engine layer (engine/build.py) from that plain form.
"""

from __future__ import annotations

import math
from typing import Any, Callable

from .errors import Where, close_match_hint, number_text, reject_unknown_keys, shown

INT_MAX = 2**31 - 1
# A Normal law whose chance of a negative delay is above this is refused: the engine cannot take
# a negative delay (at a component's first sampling it means "never", later "at once").
NORMAL_NEGATIVE_CHANCE = 1e-3
# A law whose delays reach one engine step with a smaller chance than this is refused: the
# engine stops a history after a million events in one step.
ONE_STEP_CHANCE = 1e-5
# An engine law as plain data: the class name in the `tarvo` module and its arguments.
EngineLaw = tuple[str, tuple]


def finite_number(value: Any, where: Where) -> float:
    """`value` as a float; fails unless it is a finite int or float (an integer too large for a
    float included)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        where.fail(f"expected a finite number, got {shown(value)}")
    number = as_float(value)
    if not math.isfinite(number):
        where.fail(f"expected a finite number, got {shown(value)}")
    return number


def as_float(value: int | float) -> float:
    """float(value), infinite for an integer too large for a float (instead of OverflowError)."""
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


class _Parameters:
    """The parameters of one law table, read with checks that name the offending key."""

    def __init__(self, table: dict, where: Where, resolution: int):
        self.table, self.where, self.resolution = table, where, resolution

    def number(self, name: str) -> float:
        if name not in self.table:
            self.where.fail(f'{self._law()} needs "{name}"')
        return finite_number(self.table[name], self.where.key(name))

    def positive(self, name: str) -> float:
        value = self.number(name)
        if value <= 0:
            self.where.key(name).fail(f"expected a positive number, got {number_text(value)}")
        return value

    def non_negative(self, name: str) -> float:
        value = self.number(name)
        if value < 0:
            self.where.key(name).fail(f"expected a number of at least 0, got {number_text(value)}")
        return value

    def steps(self, value: float, where: Where) -> int:
        """A time in time units as whole sub-steps."""
        scaled = value * self.resolution
        if not scaled <= INT_MAX:  # also infinity, which has no whole number to round to
            where.fail(f"{number_text(value)} time units are more than {INT_MAX} sub-steps at"
                       f" resolution {self.resolution}")
        steps = round(scaled)
        if abs(scaled - steps) > 1e-9 * max(1.0, abs(scaled)):
            below, above = math.floor(scaled), math.ceil(scaled)
            where.fail(f"{number_text(value)} is not a whole number of sub-steps at resolution"
                       f" {self.resolution} (1/{self.resolution} time unit); the nearest are"
                       f" {below / self.resolution:.10g} and {above / self.resolution:.10g}")
        return steps

    def one_of(self, *names: str) -> str:
        given = [name for name in names if name in self.table]
        if len(given) != 1:
            either = " or ".join(f'"{name}"' for name in names)
            self.where.fail(f"{self._law()} needs exactly one of {either}")
        return given[0]

    def _law(self) -> str:
        return str(self.table.get("law"))


def _exponential(p: _Parameters) -> EngineLaw:
    if p.one_of("rate", "mean") == "rate":
        rate = p.positive("rate")
    else:
        rate = 1.0 / p.positive("mean")
    _refuse_delays_under_one_step(p, math.exp(-rate / p.resolution))
    return "Exponential", (rate / p.resolution,)


def _weibull(p: _Parameters) -> EngineLaw:
    scale, shape = p.number("scale"), p.number("shape")
    if scale <= 0 or shape <= 0:
        p.where.fail("Weibull: Parameters must be positive")
    _refuse_delays_under_one_step(p, math.exp(-((1 / p.resolution / scale) ** shape)))
    return "Weibull", (scale * p.resolution, shape)


def _refuse_delays_under_one_step(p: _Parameters, longer: float) -> None:
    """Fails when a delay of at least one engine step has a chance `longer` below
    ONE_STEP_CHANCE: the engine counts shorter delays as 0, so the law fires at once, and a
    cycle of such transitions never lets time advance."""
    if longer < ONE_STEP_CHANCE:
        p.where.fail(f"{p.table['law']}: almost every delay is shorter than one engine step"
                     f" (1/{p.resolution} time unit; a delay of at least one step has chance"
                     f" {longer:.3g}), and the engine counts it as 0: raise study.resolution or"
                     " use longer delays")


def _normal(p: _Parameters) -> EngineLaw:
    mean, sd = p.number("mean"), p.positive("sd")
    if mean <= 0:
        p.where.key("mean").fail(f"a duration needs a positive mean, got {number_text(mean)};"
                                 f" {_positive_law_hint(None, None)}")
    negative = 0.5 * math.erfc(mean / (sd * math.sqrt(2)))  # P(X < 0)
    if negative > NORMAL_NEGATIVE_CHANCE:
        p.where.fail(f"Normal(mean {number_text(mean)}, sd {number_text(sd)}) gives a negative"
                     f" delay with chance {negative:.3g} (more than {NORMAL_NEGATIVE_CHANCE:g}),"
                     f" which no duration can be; {_positive_law_hint(mean, sd)}")
    _refuse_delays_under_one_step(
        p, 0.5 * math.erfc((1 / p.resolution - mean) / (sd * math.sqrt(2))))
    return "Normal", (mean * p.resolution, sd * p.resolution)


def _positive_law_hint(mean: float | None, sd: float | None) -> str:
    """A law for positive durations to use instead: the Weibull with the same mean and
    standard deviation when they are known."""
    if mean is None or sd is None:
        return 'use a law for positive durations such as Weibull, Uniform or Exponential'
    shape = _weibull_shape(sd / mean)
    scale = mean / math.gamma(1 + 1 / shape)
    return ("use a law for positive durations, such as the Weibull with the same mean and sd:"
            f' {{law = "Weibull", scale = {scale:.4g}, shape = {shape:.3g}}}')


def _weibull_shape(variation: float) -> float:
    """The Weibull shape whose coefficient of variation (sd / mean) is `variation`, by bisection:
    the coefficient falls as the shape grows. Kept within [0.05, 100]."""
    target = math.log1p(variation**2)  # log(E[X^2] / E[X]^2)

    def log_ratio(shape: float) -> float:
        return math.lgamma(1 + 2 / shape) - 2 * math.lgamma(1 + 1 / shape)

    low, high = 0.05, 100.0
    for _ in range(100):
        middle = math.sqrt(low * high)
        if log_ratio(middle) > target:
            low = middle
        else:
            high = middle
    return math.sqrt(low * high)


# The error factor of a Lognormal law is its 95th percentile over its median: exp(1.645 sigma).
Z95 = 1.6448536269514722


def lognormal_parameters(table: dict) -> tuple[float, float]:
    """(mu, sigma) of the logarithm of a checked Lognormal table, in time units."""
    if "median" in table:
        return math.log(float(table["median"])), math.log(float(table["error_factor"])) / Z95
    mean, sd = float(table["mean"]), float(table["sd"])
    variance = math.log1p((sd / mean) ** 2)
    return math.log(mean) - variance / 2, math.sqrt(variance)


def _lognormal(p: _Parameters) -> EngineLaw:
    given = [name for name in ("median", "mean") if name in p.table]
    if len(given) != 1:
        p.where.fail('Lognormal needs either "median" and "error_factor" or "mean" and "sd"')
    if given[0] == "median":
        if "sd" in p.table:
            p.where.key("sd").fail('"sd" goes with "mean"; with "median" give "error_factor"')
        p.positive("median")
        if p.number("error_factor") <= 1:
            p.where.key("error_factor").fail(
                "expected an error factor above 1 (the 95th percentile over the median), got"
                f" {number_text(p.number('error_factor'))}")
    else:
        if "error_factor" in p.table:
            p.where.key("error_factor").fail('"error_factor" goes with "median"; with "mean"'
                                             ' give "sd"')
        p.positive("mean")
        p.positive("sd")
    mu, sigma = lognormal_parameters(p.table)
    # P(delay >= one step) = P(log delay >= log(1 / resolution)).
    _refuse_delays_under_one_step(
        p, 0.5 * math.erfc((-math.log(p.resolution) - mu) / (sigma * math.sqrt(2))))
    return "Lognormal", (mu + math.log(p.resolution), sigma)


def _uniform(p: _Parameters) -> EngineLaw:
    low, high = p.non_negative("low"), p.number("high")
    if not low < high:
        p.where.fail("Uniform: Lower bound must be less than upper bound")
    _refuse_delays_under_one_step(p, min(1.0, max(0.0, (high - 1 / p.resolution) / (high - low))))
    return "Uniform", (low * p.resolution, high * p.resolution)


def _inspection(p: _Parameters) -> EngineLaw:
    return "Inspection", (p.steps(p.positive("period"), p.where.key("period")),)


def _maintenance(p: _Parameters) -> EngineLaw:
    where = p.where.key("durations")
    durations = p.table.get("durations")
    if not isinstance(durations, list):
        (where if "durations" in p.table else p.where).fail(
            "Maintenance needs \"durations\", a list of durations in time units")
    if not durations:
        p.where.fail("Maintenance: Maintenance times cannot be empty")
    steps = []
    for index, value in enumerate(durations):
        at = where.item(index)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
            at.fail(f"expected a duration of at least 0, got {shown(value)}")
        steps.append(p.steps(as_float(value), at))
    if sum(steps) == 0:
        where.fail("the durations have a mean of 0: a duration law needs a positive mean")
    return "Maintenance", (steps,)


def _instantaneous_failure(p: _Parameters) -> EngineLaw:
    at = p.number("at")
    if at < 0:
        p.where.fail("InstantaneousFailure: Failure time must be non-negative")
    return "InstantaneousFailure", (p.steps(at, p.where.key("at")),)


# Law name -> (its parameter names, the builder of its engine law).
LAWS: dict[str, tuple[tuple[str, ...], Callable[[_Parameters], EngineLaw]]] = {
    "Exponential": (("rate", "mean"), _exponential),
    "Weibull": (("scale", "shape"), _weibull),
    "Normal": (("mean", "sd"), _normal),
    "Uniform": (("low", "high"), _uniform),
    "Lognormal": (("median", "error_factor", "mean", "sd"), _lognormal),
    "Inspection": (("period",), _inspection),
    "Maintenance": (("durations",), _maintenance),
    "InstantaneousFailure": (("at",), _instantaneous_failure),
}


def law_name(table: Any, where: Where) -> str:
    if not isinstance(table, dict):
        where.fail('expected a law table such as {law = "Exponential", mean = 10}, got'
                   f" {shown(table)}")
    if "law" not in table:
        where.fail(f'a law needs "law", one of: {", ".join(LAWS)}')
    name = table["law"]
    if not isinstance(name, str) or name not in LAWS:
        where.key("law").fail(f"unknown law {shown(name)}{close_match_hint(name if isinstance(name, str) else '', LAWS)};"
                              f" expected one of: {', '.join(LAWS)}")
    return name


def engine_law(table: Any, where: Where, resolution: int) -> EngineLaw:
    """The engine law of a law table, in sub-steps; raises ModelError for bad input.

    The checks the engine's constructors make (Weibull's positive parameters, Uniform's bounds)
    are made here too, with the engine's words, so that nothing the engine refuses gets past
    the reading of the file.
    """
    name = law_name(table, where)
    parameters, build = LAWS[name]
    reject_unknown_keys(table, ("law", *parameters), where)
    return build(_Parameters(table, where, resolution))


def describe(table: dict, unit: str) -> str:
    """'Weibull(scale 4000 h, shape 1.8)' for reports."""
    name = table["law"]
    if name == "Exponential":
        return (f"Exponential(mean {number_text(table['mean'])} {unit})" if "mean" in table
                else f"Exponential(rate {number_text(table['rate'])} per {unit})")
    if name == "Maintenance":
        durations = ", ".join(number_text(d) for d in table["durations"])
        return f"Maintenance(durations {durations} {unit})"
    with_units = {"scale", "mean", "sd", "low", "high", "period", "at", "median"}
    parts = [f"{key} {number_text(value)}{' ' + unit if key in with_units else ''}"
             for key, value in table.items() if key != "law"]
    return f"{name}({', '.join(parts)})"
