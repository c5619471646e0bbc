"""How the reports write figures: numbers, percentages, intervals and durations."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ..data.result import Result
    from ..data.stats import Interval


def number(value: float, digits: int = 4) -> str:
    """`digits` significant digits, large values written out: 29,950 and not 2.995e+04 (small
    ones keep their exponent, 1.2e-07)."""
    text = f"{value:.{digits}g}"
    return f"{float(text):,.0f}" if "e+" in text else text


def steps_per_unit(resolution: int, unit: str) -> str:
    """'60 steps per h', '1 step per h'."""
    return f"{resolution:,} step{'s' if resolution != 1 else ''} per {unit}"


def percent(value: float, digits: int = 4) -> str:
    return f"{100 * value:.{digits}g} %"


def interval_text(interval: "Interval") -> str:
    return f"{percent(interval.estimate)}  [{percent(interval.low)}, {percent(interval.high)}]"


def short_interval_text(interval: "Interval", unit: str = "%", sign: bool = False) -> str:
    """'72.82 % [72.49, 73.16]' for the columns of a table: the bounds in the estimate's unit
    (a fraction shown in percent when `unit` is %)."""
    scale, form = (100.0 if unit == "%" else 1.0), ("+.4g" if sign else ".4g")
    low, estimate, high = (scale * v for v in (interval.low, interval.estimate, interval.high))
    if sign:
        return f"{estimate:{form}} {unit} [{low:{form}}, {high:{form}}]"
    return f"{number(estimate)} {unit} [{number(low)}, {number(high)}]"


def duration_text(interval: "Interval", unit: str) -> str:
    """'21.3 h [20.9, 21.7]'; 'undefined' for a figure no failure defines."""
    if interval.estimate != interval.estimate:  # NaN
        return "undefined (no system failure seen)"
    return (f"{number(interval.estimate)} {unit} [{number(interval.low)},"
            f" {number(interval.high)}]")


def over(result: "Result") -> str:
    """What the mean unavailability is taken over: the horizon, or its required time."""
    return "required time" if "phases" in result.model else "the horizon"


__all__ = ["over", "number", "steps_per_unit", "percent", "interval_text", "short_interval_text",
           "duration_text"]
