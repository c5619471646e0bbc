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

from .errors import Where, close_match_hint, reject_unknown_keys

INT_MAX = 2**31 - 1
# An engine law as plain data: the class name in the `tarvo` module and its arguments.
EngineLaw = tuple[str, tuple]


class _Parameters:
    """The parameters of one law table, read with checks that name the offending key."""

    def __init__(self, table: dict, where: Where, resolution: int):
        self.table, self.where, self.resolution = table, where, resolution

    def number(self, name: str) -> float:
        if name not in self.table:
            self.where.fail(f'{self._law()} needs "{name}"')
        value = self.table[name]
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            self.where.key(name).fail(f"expected a finite number, got {value!r}")
        return float(value)

    def positive(self, name: str) -> float:
        value = self.number(name)
        if value <= 0:
            self.where.key(name).fail(f"expected a positive number, got {value:g}")
        return value

    def non_negative(self, name: str) -> float:
        value = self.number(name)
        if value < 0:
            self.where.key(name).fail(f"expected a number of at least 0, got {value:g}")
        return value

    def steps(self, value: float, where: Where) -> int:
        """A time in time units as whole sub-steps."""
        scaled = value * self.resolution
        if not scaled <= INT_MAX:  # also infinity, which has no whole number to round to
            where.fail(f"{value:g} time units are more than {INT_MAX} sub-steps at resolution"
                       f" {self.resolution}")
        steps = round(scaled)
        if abs(scaled - steps) > 1e-9 * max(1.0, abs(scaled)):
            where.fail(f"{value:g} is not a whole number of sub-steps at resolution"
                       f" {self.resolution} (1/{self.resolution} time unit)")
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
        return "Exponential", (p.positive("rate") / p.resolution,)
    return "Exponential", (1.0 / (p.positive("mean") * p.resolution),)


def _weibull(p: _Parameters) -> EngineLaw:
    scale, shape = p.number("scale"), p.number("shape")
    if scale <= 0 or shape <= 0:
        p.where.fail("Weibull: Parameters must be positive")
    return "Weibull", (scale * p.resolution, shape)


def _normal(p: _Parameters) -> EngineLaw:
    return "Normal", (p.number("mean") * p.resolution, p.positive("sd") * p.resolution)


def _uniform(p: _Parameters) -> EngineLaw:
    low, high = p.non_negative("low"), p.number("high")
    if not low < high:
        p.where.fail("Uniform: Lower bound must be less than upper bound")
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
            at.fail(f"expected a duration of at least 0, got {value!r}")
        steps.append(p.steps(float(value), at))
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
    "Inspection": (("period",), _inspection),
    "Maintenance": (("durations",), _maintenance),
    "InstantaneousFailure": (("at",), _instantaneous_failure),
}


def law_name(table: Any, where: Where) -> str:
    if not isinstance(table, dict):
        where.fail(f'expected a law table such as {{law = "Exponential", mean = 10}}, got {table!r}')
    if "law" not in table:
        where.fail(f'a law needs "law", one of: {", ".join(LAWS)}')
    name = table["law"]
    if not isinstance(name, str) or name not in LAWS:
        where.key("law").fail(f"unknown law {name!r}{close_match_hint(str(name), LAWS)};"
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
        return (f"Exponential(mean {table['mean']:g} {unit})" if "mean" in table
                else f"Exponential(rate {table['rate']:g} per {unit})")
    if name == "Maintenance":
        return f"Maintenance(durations {', '.join(f'{d:g}' for d in table['durations'])} {unit})"
    with_units = {"scale", "mean", "sd", "low", "high", "period", "at"}
    parts = [f"{key} {value:g}{' ' + unit if key in with_units else ''}"
             for key, value in table.items() if key != "law"]
    return f"{name}({', '.join(parts)})"
