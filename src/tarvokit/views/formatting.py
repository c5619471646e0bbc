"""How the reports write figures: percentages, intervals and durations."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ..data.stats import Interval


def percent(value: float, digits: int = 4) -> str:
    return f"{100 * value:.{digits}g} %"


def interval_text(interval: "Interval") -> str:
    return f"{percent(interval.estimate)}  [{percent(interval.low)}, {percent(interval.high)}]"


def short_interval_text(interval: "Interval", unit: str = "%", sign: bool = False) -> str:
    """'72.82 % [72.49, 73.16]' for the columns of a table: the bounds in the estimate's unit
    (a fraction shown in percent when `unit` is %)."""
    scale, form = (100.0 if unit == "%" else 1.0), ("+.4g" if sign else ".4g")
    low, estimate, high = (scale * v for v in (interval.low, interval.estimate, interval.high))
    return f"{estimate:{form}} {unit} [{low:{form}}, {high:{form}}]"


def duration_text(interval: "Interval", unit: str) -> str:
    """'21.3 h [20.9, 21.7]'; 'undefined' for a figure no failure defines."""
    if interval.estimate != interval.estimate:  # NaN
        return "undefined (no system failure seen)"
    return f"{interval.estimate:.4g} {unit} [{interval.low:.4g}, {interval.high:.4g}]"


__all__ = ["percent", "interval_text", "short_interval_text", "duration_text"]
