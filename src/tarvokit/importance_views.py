"""The text report and the plot of an importance study (importance.py)."""

from __future__ import annotations

import math
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from .importance import COMPONENT, CUT_SET, Row, bin_edges
from .plotting import DPI, FIGURE_INCHES, _log_scale_helps
from .report import interval_text
from .stats import Interval

if TYPE_CHECKING:
    from .importance import ImportanceResult

# Curves over time are drawn per bin of time units, about this many bins over the horizon:
# per time unit, the shares of rare failures are mostly noise.
PLOT_BINS = 150
_HEADINGS = {
    CUT_SET: ("Cut sets", "unique contribution",
              "the unavailability that would go if the cut set could not occur"),
    COMPONENT: ("Components", "improvement potential",
                "the unavailability that would go if the component never failed"),
}


def summary(result: "ImportanceResult") -> str:
    system = result.system_result
    unit, horizon = result.time_unit, result.horizon
    mean, downtime = system.mean(), system.downtime()
    lines = [
        f"{system.name}: importance of cut sets and components over {horizon:,} {unit}",
        f"{result.histories:,} histories (seeds {system.seeds_text()}), resolution"
        f" {system.resolution} steps per {unit}",
        f"{len(result.runs)} runs on the same seeds, one per distinct logic (the system, each cut"
        " set alone, the system without each cut set or component),",
        f"  {result.histories * len(result.runs):,} histories simulated in {result.seconds:.1f} s",
        f"System: mean unavailability {interval_text(mean)}, expected downtime"
        f" {_time_text(downtime, unit)} over {horizon:,} {unit}",
    ]
    rows = result.rows()
    for kind in (CUT_SET, COMPONENT):
        lines += ["", *_table([r for r in rows if r.measure.kind == kind], kind, unit, horizon)]
    lines += [
        "",
        "Share: the fraction of the system's downtime during which it was failed"
        " (Fussell-Vesely).",
        f"Means over the horizon with 95% intervals from {len(system.batches)} paired sub-batches"
        " (shares by the delta method, the others by batch means).",
    ]
    if not result.seeded:
        lines.append("Note: Maintenance durations are drawn from the C library's shared"
                     " generator, not from the seed, so the runs are paired only approximately:"
                     " the figures of what Maintenance touches carry that extra noise.")
    return "\n".join(lines)


def _table(rows: list[Row], kind: str, unit: str, horizon: int) -> list[str]:
    title, measure, meaning = _HEADINGS[kind]
    width = max([len(r.measure.name) for r in rows] + [len(kind)])
    cells = [(r.rank, r.measure.name, _share_text(r.share), interval_text(r.reduction),
              _time_text(r.downtime, unit)) for r in rows]
    downtime = f"{unit} per {horizon:,} {unit}"
    widths = [max([len(c[i]) for c in cells] + [len(h)])
              for i, h in ((2, "share"), (3, measure))]
    lines = [f"{title}, ranked by {measure} ({meaning}):",
             f"  rank  {kind:<{width}}  {'share':<{widths[0]}}  {measure:<{widths[1]}}"
             f"  {downtime}"]
    lines += [f"  {rank:>4}  {name:<{width}}  {share:<{widths[0]}}  {reduction:<{widths[1]}}"
              f"  {time}" for rank, name, share, reduction, time in cells]
    return lines


def _share_text(share: Interval) -> str:
    return "undefined (the system never failed)" if math.isnan(share.estimate) else \
        interval_text(share)


def _time_text(interval: Interval, unit: str) -> str:
    return f"{interval.estimate:.4g} {unit} [{interval.low:.4g}, {interval.high:.4g}]"


# --- Plot ---------------------------------------------------------------------------------


def plot(result: "ImportanceResult", path: Path, top: int) -> None:
    """Shares and reductions over time of the top `top` cut sets and components, one panel
    each, with pointwise 95% bands."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    bin_units = max(1, math.ceil(result.horizon / PLOT_BINS))
    figure, axes = plt.subplots(2, 2, figsize=FIGURE_INCHES, dpi=DPI, sharex=True)
    unit = result.time_unit
    figure.suptitle(f"{result.system_result.name}: what matters, per {bin_units:,} {unit}"
                    f" ({result.histories:,} histories, {len(result.runs)} paired runs)")
    for row, kind in enumerate((CUT_SET, COMPONENT)):
        chosen = result.top(kind, top)
        title, measure, _ = _HEADINGS[kind]
        share_axes, reduction_axes = axes[row]
        _draw_shares(share_axes, result, chosen, bin_units)
        share_axes.set_title(f"{title} (top {len(chosen)}): share of the system's downtime",
                             fontsize=10)
        _draw_reductions(reduction_axes, result, chosen, bin_units)
        reduction_axes.set_title(f"{title}: {measure}", fontsize=10)
    for column in axes[1]:
        column.set_xlabel(f"time ({unit})")
    figure.tight_layout()
    figure.savefig(path, format="png")
    plt.close(figure)


def _draw_shares(axes, result: "ImportanceResult", chosen, bin_units: int) -> None:
    edges = bin_edges(result.horizon, bin_units)
    for index, measure in enumerate(chosen):
        colour = f"C{index}"
        curve = result.share_curve(measure, bin_units)
        low, high = result.share_band(measure, bin_units)
        axes.fill_between(edges, _closed(low), _closed(high), step="post", color=colour,
                          alpha=0.2, linewidth=0)
        axes.step(edges, _closed(curve), where="post", color=colour, linewidth=1.0,
                  label=measure.name)
    axes.set_ylim(0, 1.05)
    axes.set_ylabel("share")
    axes.set_xlim(0, result.horizon)
    axes.grid(True, alpha=0.3)
    axes.legend(loc="best", fontsize=8, framealpha=0.9)


def _draw_reductions(axes, result: "ImportanceResult", chosen, bin_units: int) -> None:
    edges = bin_edges(result.horizon, bin_units)
    system = result.system_curve(bin_units)
    curves = [result.reduction_curve(m, bin_units) for m in chosen]
    log_scale = _log_scale_helps(np.concatenate([system, *curves]))
    floor = 0.0
    if log_scale:
        positive = np.concatenate([system, *curves])
        floor = 10 ** np.floor(np.log10(positive[positive > 0].min()))
        axes.set_yscale("log")
    axes.step(edges, _closed(np.maximum(system, floor)), where="post", color="0.4",
              linestyle="--", linewidth=1.0, label="system unavailability")
    for index, (measure, curve) in enumerate(zip(chosen, curves)):
        colour = f"C{index}"
        low, high = result.reduction_band(measure, bin_units)
        axes.fill_between(edges, _closed(np.maximum(low, floor)), _closed(np.maximum(high, floor)),
                          step="post", color=colour, alpha=0.2, linewidth=0)
        axes.step(edges, _closed(np.maximum(curve, floor)), where="post", color=colour,
                  linewidth=1.0, label=measure.name)
    axes.set_ylabel("unavailability" + (" (log scale)" if log_scale else ""))
    axes.set_xlim(0, result.horizon)
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(loc="best", fontsize=8, framealpha=0.9)


def _closed(values: np.ndarray) -> np.ndarray:
    """A step drawn "post" needs its last value repeated at the end of the last bin."""
    return np.append(values, values[-1])
