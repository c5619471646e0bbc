"""The text report and the plots of a sensitivity sweep (data/sweep.py)."""

from __future__ import annotations

import math
import numpy as np

from ..data.stats import bin_edges, bin_sums
from ..data.sweep import SweepResult, numeric_values
from ..model.variants import value_text
from .plots import STYLES, text
from .logistics_views import money
from .text import percent, short_interval_text

PLOT_BINS = 150  # curves over time are drawn per bin of time units, about this many


def summary(result: SweepResult) -> str:
    reference = result.reference
    unit, values = reference.time_unit, result.sweep.values
    same = result.same_horizon
    per = f"per {reference.horizon:,} {unit}" if same else "over its horizon"
    lines = [
        f"{reference.name}: sweep of {result.sweep.parameter}, {len(values)} values",
        f"{len(result.results)} runs of {result.histories:,} histories on the same seeds"
        f" ({reference.seeds_text()}): {result.histories * len(result.results):,} histories in"
        f" {result.seconds:.1f} s",
        "",
    ]
    headings = ("value", "mean unavailability", f"downtime {per}",
                f"paired difference from {value_text(values[0])}"
                + (f", {unit}" if same else ""))
    cells = [(value_text(value), short_interval_text(run.mean()),
              short_interval_text(run.downtime(), unit),
              _difference_text(result, index) if index else "(reference)")
             for index, (value, run) in enumerate(zip(values, result.results))]
    if result.has_costs:
        headings, cells = _with_costs(result, headings, cells)
    widths = [max(len(h), *(len(c[i]) for c in cells)) for i, h in enumerate(headings)]
    lines += ["  " + "  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip()
              for row in (headings, *cells)]
    if result.has_costs:
        lines += ["", *_cheapest_lines(result)]
    lines += [
        "",
        f"95% intervals by batch means over {len(reference.batches)} sub-batches; a difference"
        " pairs the sub-batches",
        "of its value with the reference's (the same seeds). xF: with independent seeds the"
        " interval",
        "of the difference would be F times as wide (from the values' own standard errors).",
    ]
    return "\n".join(lines)


def _with_costs(result: SweepResult, headings: tuple, cells: list) -> tuple[tuple, list]:
    """The table with a column of expected total costs, the cheapest value marked."""
    currency = result.reference.model.get("costs", {}).get("currency", "")
    cheapest = result.cheapest()
    costs = [f"{money(c.estimate)} [{money(c.low)}, {money(c.high)}]"
             + ("  <- cheapest" if i == cheapest else "") for i, c in enumerate(result.costs())]
    heading = f"expected cost{', ' + currency if currency else ''}"
    return (*headings, heading), [(*row, cost) for row, cost in zip(cells, costs)]


def _cheapest_lines(result: SweepResult) -> list[str]:
    cheapest, following = result.cheapest(), result.next_cheapest()
    values = result.sweep.values
    line = (f"Cheapest: {result.sweep.parameter} = {value_text(values[cheapest])},"
            f" {money(result.costs()[cheapest].estimate)} over the horizon")
    if following is None:
        return [line]
    more = result.cost_difference(following, cheapest)
    return [line + f"; the next cheapest, {value_text(values[following])}, costs"
            f" {money(more.estimate, True)} [{money(more.low, True)}, {money(more.high, True)}]"
            " more",
            "  (a paired difference over the same sub-batches; an interval that holds 0 does not"
            " tell the two apart)"]


def _difference_text(result: SweepResult, index: int) -> str:
    difference = result.difference(index)
    if result.same_horizon:
        downtime = difference.scaled(result.reference.horizon)
        text = (short_interval_text(downtime, result.reference.time_unit, sign=True)
                + f"  ({100 * difference.estimate:+.4g} %)")
    else:
        text = short_interval_text(difference, sign=True)
    if difference.standard_error > 0:
        text += f"  x{result.independent_standard_error(index) / difference.standard_error:.3g}"
    return text


# --- Plot ---------------------------------------------------------------------------------


def draw_sweep(means_axes, differences_axes, curves_axes, result: SweepResult) -> None:
    """The mean per value, the paired differences against independent seeds' intervals, and
    the unavailability curves over time, each on its matplotlib axes."""
    positions, labels = _positions(result)
    _draw_means(means_axes, result, positions, labels)
    _draw_differences(differences_axes, result, positions, labels)
    _draw_curves(curves_axes, result)


def sweep_title(result: SweepResult) -> str:
    return text(f"{result.reference.name}: sweep of {result.sweep.parameter}"
                f" ({result.histories:,} histories per value, the same seeds)")


def _positions(result: SweepResult) -> tuple[np.ndarray, list[str]]:
    numbers = numeric_values(result.sweep.values)
    labels = [value_text(v) for v in result.sweep.values]
    if numbers is not None:
        return numbers, labels
    return np.arange(len(labels), dtype=float), labels


def _label_axis(axes, result: SweepResult, positions: np.ndarray, labels: list[str]) -> None:
    axes.set_xticks(positions, [text(label) for label in labels],
                    rotation=30 if len(labels) > 6 else 0)
    axes.set_xlabel(text(result.sweep.parameter))
    axes.grid(True, alpha=0.3)


def _draw_means(axes, result: SweepResult, positions: np.ndarray, labels: list[str]) -> None:
    means = result.means()
    estimates = np.array([100 * m.estimate for m in means])
    errors = np.array([[100 * (m.estimate - m.low) for m in means],
                       [100 * (m.high - m.estimate) for m in means]])
    # Joined in the order of the values, not the order they were given in.
    order = np.argsort(positions, kind="stable")
    axes.errorbar(positions[order], estimates[order], yerr=errors[:, order], fmt="o-",
                  capsize=4, color="tab:blue")
    axes.set_title("Mean unavailability over the horizon (95% interval)", fontsize=10)
    axes.set_ylabel("unavailability (%)")
    # From 0: an axis that starts near the lowest value makes a small change look large.
    axes.set_ylim(0, 1.15 * float(np.max(estimates + errors[1])) or 1.0)
    _label_axis(axes, result, positions, labels)


def _draw_differences(axes, result: SweepResult, positions: np.ndarray,
                      labels: list[str]) -> None:
    spacing = np.min(np.diff(np.sort(positions))) if len(positions) > 1 else 1.0
    offset = 0.08 * spacing
    for index in range(1, len(positions)):
        difference = result.difference(index)
        independent = 100 * result.independent_difference(index).half_width
        estimate = 100 * difference.estimate
        axes.errorbar(positions[index] + offset, estimate, yerr=independent, fmt="none",
                      capsize=4, color="tab:gray",
                      label="independent seeds" if index == 1 else None)
        axes.errorbar(positions[index] - offset, estimate,
                      yerr=[[estimate - 100 * difference.low], [100 * difference.high - estimate]],
                      fmt="o", capsize=4, color="tab:red",
                      label="paired (the same seeds)" if index == 1 else None)
    axes.axhline(0.0, color="black", linewidth=0.8)
    axes.plot(positions[:1], [0.0], marker="s", color="black", linestyle="none",
              label=text(f"reference: {labels[0]}"))
    axes.set_title(text(f"Difference from {labels[0]} (95% intervals)"), fontsize=10)
    axes.set_ylabel("difference (percentage points)")
    _label_axis(axes, result, positions, labels)
    axes.legend(loc="best", fontsize=8)


def _draw_curves(axes, result: SweepResult) -> None:
    """Per value, its unavailability minus the reference's over time (per bin of time units),
    on a linear axis around 0: the curves themselves overlap, their differences do not."""
    reference = result.reference
    unit = reference.time_unit
    longest = max(r.horizon for r in result.results)
    bin_units = max(1, math.ceil(longest / PLOT_BINS))
    base_edges = bin_edges(reference.horizon, bin_units)
    base = bin_sums(reference.unavailability, bin_units) / np.diff(base_edges)
    for index, (value, run) in enumerate(zip(result.sweep.values, result.results)):
        if index == 0:
            continue
        edges = bin_edges(run.horizon, bin_units)
        binned = bin_sums(run.unavailability, bin_units) / np.diff(edges)
        shared = min(len(binned), len(base))
        difference = 100 * (binned[:shared] - base[:shared])
        axes.step(edges[:shared + 1], np.append(difference, difference[-1]), where="post",
                  color=f"C{index}", linestyle=STYLES[(index - 1) % len(STYLES)],
                  linewidth=1.1, label=text(f"{value_text(value)}: mean"
                                            f" {100 * result.difference(index).estimate:+.4g}"
                                            " points"))
    axes.axhline(0.0, color="black", linewidth=0.8,
                 label=text(f"reference {value_text(result.sweep.values[0])}: mean"
                            f" {percent(reference.mean().estimate)}"))
    axes.set_xlim(0, longest)
    axes.set_title(text(f"Difference from the reference over time, mean of each {bin_units:,}-"
                        f"{unit} bin"), fontsize=10)
    axes.set_xlabel(text(f"time ({unit})"))
    axes.set_ylabel("difference (percentage points)")
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False,
                title=text(result.sweep.parameter), title_fontsize=8)
