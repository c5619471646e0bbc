"""The plots of what a plant delivered: the expected delivered capacity of every time unit with
its band against the demand, and the time at each capacity level (data/production.py)."""

from __future__ import annotations

from .plots import _aggregated, _closed, _power_of_ten, text


def draw_delivered(axes, result) -> None:
    """The expected delivered capacity of every time unit (per bin of units when they outnumber
    the pixels) with its pointwise 95% band, against the demand."""
    import numpy as np

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
