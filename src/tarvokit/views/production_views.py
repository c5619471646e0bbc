"""The production lines of a report: what the plant delivered against its demand."""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable

from ..data.production import amount_unit

if TYPE_CHECKING:
    from ..data.production import Production
    from ..data.stats import Interval
    from ..model.capacity import Capacity


def _number(value: float) -> str:
    return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:.4g}"


def _amount(interval: "Interval", unit: str) -> str:
    return (f"{_number(interval.estimate)} {unit} [{_number(interval.low)},"
            f" {_number(interval.high)}]")


def production_lines(found: "Production", interval_text: "Callable[[Interval], str]"
                     ) -> list[str]:
    """The report's lines; `interval_text` writes an interval as the rest of the report does."""
    from ..data.production import level_text

    unit, time_unit = found.unit, found.time_unit
    amount = amount_unit(unit, time_unit)
    quantiles = found.lost_quantiles
    held = [level for level in reversed(found.levels) if level.share.estimate > 0]
    shares = _wrapped(f"Time at each capacity{' level' if found.enumerated else ' (binned)'}: ",
                      [f"{level_text(level, unit)} {100 * level.share.estimate:.4g} %"
                       for level in held])
    bounds = _wrapped("  (95% intervals: ",
                      [f"{level_text(level, unit)} [{100 * level.share.low:.4g},"
                       f" {100 * level.share.high:.4g}] %" for level in held], ")")
    return [
        f"Production availability (delivered over demanded, demand {found.demand:g} {unit}):"
        f" {interval_text(found.availability)}",
        f"Lost production per history over {found.horizon:,} {time_unit}: mean"
        f" {_amount(found.lost, amount)},",
        f"  median {_amount(quantiles['p50'], amount)}, 90th percentile"
        f" {_amount(quantiles['p90'], amount)},",
        f"  99th percentile {_amount(quantiles['p99'], amount)}",
        *shares,
        *bounds,
    ]


def _wrapped(first: str, items: list[str], end: str = "", width: int = 100) -> list[str]:
    """Items joined by commas, in lines of at most `width` characters after `first`."""
    lines, line = [], first
    for index, item in enumerate(items):
        text = item + (", " if index + 1 < len(items) else end)
        if len(line) + len(text) > width and line.strip():
            lines.append(line.rstrip())
            line = "  "
        line += text
    lines.append(line.rstrip())
    return lines


def exact_production_lines(result) -> list[str]:
    """The production lines of a Markov answer: exact figures, no percentiles."""
    from ..data.production import level_text

    found = result.production()
    a = result.answer.production
    amount = amount_unit(found.unit, found.time_unit)
    shares = ", ".join(f"{level_text(level, found.unit)} {100 * level.share.estimate:.6g} %"
                       for level in reversed(found.levels) if level.share.estimate > 0)
    return [f"Production availability (demand {found.demand:g} {found.unit}):"
            f" {100 * found.availability.estimate:.6g} %; in the long run"
            f" {100 * a.steady_availability:.6g} %",
            f"Expected lost production over {found.horizon:,} {found.time_unit}:"
            f" {found.lost.estimate:.6g} {amount}",
            f"Time at each capacity{' level' if found.enumerated else ' (binned)'}: {shares}"]


def capacity_lines(capacity: "Capacity", names: list[str]) -> list[str]:
    """For `tarvo check`: the capacities, the expression, the demand and the levels."""
    unit = capacity.unit or ""
    given = ", ".join(
        f"{name} " + "/".join(f"{v:g}" for v in table.values())
        for name, table in capacity.given.items())
    levels = ", ".join(f"{capacity.value(v):g}" for v in capacity.levels)
    return [f"Capacity ({unit or 'no unit'}): {capacity.expression}, demand"
            f" {capacity.value(capacity.demand):g}",
            f"  components: {given}",
            f"  levels{'' if capacity.enumerated else ' (bins from)'}: {levels}"]


def draw_delivered(axes, result) -> None:
    """The expected delivered capacity of every time unit (per bin of units when they outnumber
    the pixels) with its pointwise 95% band, against the demand."""
    import numpy as np

    from .plots import _aggregated, _closed, text

    found = result.production()
    unit = found.unit
    edges, (curve, low, high) = _aggregated(result.horizon, *result.delivered_curve())
    per = "" if len(edges) == result.horizon + 1 else f" (mean per {edges[1] - edges[0]:,})"
    axes.fill_between(edges, _closed(low), _closed(high), step="post", color="tab:green",
                      alpha=0.3, linewidth=0, label="pointwise 95% interval")
    axes.step(edges, _closed(curve), where="post", color="tab:green", linewidth=0.7,
              label=text(f"expected delivered capacity in each {result.time_unit}{per}"))
    axes.axhline(found.demand, color="black", linewidth=0.8, linestyle=":",
                 label=text(f"demand {found.demand:g} {unit}"))
    mean = found.demand * found.availability.estimate
    axes.axhline(mean, color="tab:red", linewidth=1.0, linestyle="--",
                 label=text(f"mean {mean:.5g} {unit} (production availability"
                            f" {100 * found.availability.estimate:.4g} %)"))
    lowest = float(np.min(low)) if len(low) else 0.0
    span = max(found.demand - lowest, 1e-9 * found.demand)
    axes.set_ylim(max(0.0, lowest - 0.3 * span), found.demand + 0.15 * span)
    axes.set_xlim(0, result.horizon)
    axes.set_xlabel(text(f"time ({result.time_unit})"))
    axes.set_ylabel(text(f"delivered ({unit})" if unit else "delivered"))
    axes.set_title(text(f"Delivered capacity over {result.horizon:,} {result.time_unit}"),
                   fontsize=10)
    axes.grid(True, alpha=0.3)
    axes.legend(loc="lower left", fontsize=7, frameon=False)


def draw_levels(axes, result) -> None:
    """The share of time at each capacity level, with its 95% interval, on a log scale."""
    from .plots import text
    from ..data.production import level_text

    found = result.production()
    # The levels the runs met: an expression can name values its plant never takes.
    levels = [level for level in found.levels if level.share.estimate > 0]
    labels = [level_text(level, found.unit) for level in levels]
    shares = [level.share.estimate for level in levels]
    lows = [level.share.estimate - level.share.low for level in levels]
    highs = [level.share.high - level.share.estimate for level in levels]
    axes.barh(range(len(levels)), shares, xerr=[lows, highs], color="tab:green", alpha=0.7,
              error_kw={"linewidth": 0.8})
    axes.set_yticks(range(len(levels)), [text(label) for label in labels], fontsize=7)
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    from .plots import _power_of_ten

    axes.set_xscale("log")
    axes.xaxis.set_major_locator(LogLocator(base=10))
    axes.xaxis.set_major_formatter(FuncFormatter(_power_of_ten))
    axes.xaxis.set_minor_formatter(NullFormatter())
    axes.set_xlim(min(shares) / 5, 8.0)
    for index, share in enumerate(shares):
        axes.text(share * 1.15, index, f"{100 * share:.4g} %", va="center", fontsize=7)
    axes.set_xlabel("share of the time (log scale)")
    axes.set_title("Time at each capacity" + (" level" if found.enumerated else " (binned)"),
                   fontsize=10)
