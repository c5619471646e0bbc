"""The text report and the plots of an importance study (data/importance.py)."""

from __future__ import annotations

import math
import numpy as np

from ..data.importance import COMMON_CAUSE, COMPONENT, CUT_SET, KINDS, ImportanceResult, Row
from ..data.stats import Interval, bin_edges
from .plots import STYLES, _percent_formatter, log_scale_helps, text, use_log_scale
from .text import percent, short_interval_text, steps_per_unit

# Curves over time are drawn per bin of time units, about this many bins over the horizon:
# per time unit, the shares of rare failures are mostly noise.
PLOT_BINS = 150
_HEADINGS = {
    CUT_SET: ("Cut sets", "unique contribution", "the downtime that would go if it could not occur"),
    COMPONENT: ("Components", "improvement potential", "the downtime that would go if it never"
                " failed"),
    COMMON_CAUSE: ("Common-cause groups", "improvement potential", "the downtime that would go"
                   " if the group never struck (its members' own failures stay)"),
}


def summary(result: ImportanceResult) -> str:
    system = result.system_result
    unit, horizon = result.time_unit, result.horizon
    lines = [
        f"{system.name}: importance of cut sets and components over {horizon:,} {unit}",
        f"{result.histories:,} histories (seeds {system.seeds_text()}), resolution"
        f" {steps_per_unit(system.resolution, unit)}",
        f"{len(result.runs)} runs on the same seeds, one per distinct logic"
        f"{' or model variant' if result.dependent else ''}:"
        f" {result.histories * len(result.runs):,} histories in {result.seconds:.1f} s",
        f"System: mean unavailability {short_interval_text(system.mean())},",
        f"  downtime {short_interval_text(system.downtime(), unit)} per {horizon:,} {unit}",
    ]
    rows = result.rows()
    for kind in KINDS:
        chosen = [r for r in rows if r.measure.kind == kind]
        if chosen:
            lines += ["", *_table(chosen, kind, unit, horizon)]
        if kind == COMPONENT:
            lines += [_crew_order_line(*note) for note in result.crew_order_notes()]
    if result.dependent:
        lines += [
            "",
            "Crew members, standby units and the units they cover change each other's histories:",
            "the improvement potential of each is the plant's downtime minus that of the plant",
            "with it made perfect (it never fails), run on the same seeds. Such a run pairs less",
            "tightly than a logic (a history parts from the plant's once an avoided failure",
            "changes its events), so these intervals are wider. The other components' potentials",
            "come from logics, exact as for independent components.",
        ]
    lines += [
        "",
        "Share: the fraction of the system's downtime during which it was failed too",
        "(Fussell-Vesely). 95% intervals from the same"
        f" {len(system.batches)} sub-batches in every run: shares by the",
        "delta method, the rest by batch means of the paired differences.",
    ]
    if result.production is not None:
        from ..data.production_importance import production_importance_lines

        lines += production_importance_lines(result.production)
    return "\n".join(lines)


def _table(rows: list[Row], kind: str, unit: str, horizon: int) -> list[str]:
    title, measure, meaning = _HEADINGS[kind]
    cells = [(str(r.rank), r.measure.name, _share_text(r),
              f"{short_interval_text(r.downtime, unit)}  ({percent(r.reduction.estimate)})")
             for r in rows]
    headings = ("#", kind, "share of the downtime", f"{measure}, {unit} per {horizon:,} {unit}")
    widths = [max([len(c[i]) for c in cells] + [len(h)]) for i, h in enumerate(headings)]
    return [f"{title} by {measure}: {meaning}", _columns(headings, widths),
            *(_columns(c, widths) for c in cells)]


def _columns(cells, widths) -> str:
    rank, *rest = cells
    return "  " + "  ".join([rank.rjust(widths[0]), *(c.ljust(w) for c, w in
                                                       zip(rest, widths[1:]))]).rstrip()


def _crew_order_line(pool: str, why: str, names: list[str]) -> str:
    alike = f"  {', '.join(names)} are alike but rank apart:"
    if why == "listed":
        return (f"{alike} crews.{pool} repairs them in listed order, which treats them"
                " differently (one listed earlier waits less); the rest is sampling noise.")
    if why == "same_instant":
        return (f"{alike} crews.{pool} takes those a common cause fails in the same instant in"
                " file order, which treats them differently; the rest is sampling noise.")
    return (f"{alike} crews.{pool} repairs the first failed first, so the gap between them is"
            " sampling noise.")


def _share_text(row: Row) -> str:
    if row.measure.share_logic is None:
        return "-"  # a group's shocks are no part of the logic: no share of its own
    if math.isnan(row.share.estimate):
        return "undefined (the system never failed)"
    return short_interval_text(row.share)


# --- Plot ---------------------------------------------------------------------------------


def plotted_kinds(result: ImportanceResult) -> list[str]:
    """The rows of the importance figure: cut sets, components, and common-cause groups when
    the model has some."""
    kinds = {row.measure.kind for row in result.rows()}
    return [kind for kind in KINDS if kind in kinds]


def draw_importance(axes, result: ImportanceResult, top: int) -> None:
    """Shares and reductions over time of the top `top` of each kind (cut sets, components,
    common-cause groups: one row of two matplotlib axes each, as `plotted_kinds` lists them),
    with pointwise 95% bands. Measures whose curves are identical (two units each needed only
    with the other) are drawn once, under both names."""
    bin_units = max(1, math.ceil(result.horizon / PLOT_BINS))
    unit = result.time_unit
    for row, kind in enumerate(plotted_kinds(result)):
        chosen = _distinct(result, result.top(kind, top), bin_units)
        title, measure, _ = _HEADINGS[kind]
        share_axes, reduction_axes = axes[row]
        if kind == COMMON_CAUSE:
            share_axes.set_axis_off()
            if row:  # the axes above keep the time axis this one does not show
                axes[row - 1][0].tick_params(labelbottom=True)
                axes[row - 1][0].set_xlabel(text(f"time ({unit})"))
            share_axes.text(0.5, 0.5, "A group's shocks are no part of the logic:\nit has no"
                            " share of the downtime, only what would go\nif it never struck"
                            " (right).", ha="center", va="center", fontsize=9,
                            transform=share_axes.transAxes)
        else:
            _draw_shares(share_axes, result, chosen, bin_units)
            share_axes.set_title(f"{title} (top {len(chosen)}): share of the downtime",
                                 fontsize=10)
        _draw_reductions(reduction_axes, result, chosen, bin_units)
        reduction_axes.set_title(text(f"{title}: {measure} ({unit} per {result.horizon:,}"
                                      f" {unit} in the legend)"), fontsize=10)
        reduction_axes.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=7,
                              frameon=False)
    for column in axes[-1]:
        if column.axison:
            column.set_xlabel(text(f"time ({unit})"))


def importance_title(result: ImportanceResult) -> str:
    bin_units = max(1, math.ceil(result.horizon / PLOT_BINS))
    return text(f"{result.system_result.name}: what matters, mean of each {bin_units:,}-"
                f"{result.time_unit} bin ({result.histories:,} histories, {len(result.runs)}"
                " paired runs)")


def _distinct(result: ImportanceResult, chosen, bin_units: int) -> list[tuple[str, list]]:
    """(label, measures) per distinct pair of curves, in rank order: measures with the same
    share and reduction curves share one label ("pump[1] = pump[2]")."""
    groups: list[tuple[np.ndarray, list]] = []
    for measure in chosen:
        key = np.concatenate([np.nan_to_num(result.share_curve(measure, bin_units), nan=-1.0),
                              result.reduction_curve(measure, bin_units)])
        for known, members in groups:
            if np.array_equal(known, key):
                members.append(measure)
                break
        else:
            groups.append((key, [measure]))
    rows = {row.measure: row for row in result.rows()}
    unit = result.time_unit
    return [(text(" = ".join(m.name for m in members)
                  + f": {rows[members[0]].downtime.estimate:,.3g} {unit}"), members)
            for _, members in groups]


def _draw_shares(axes, result: ImportanceResult, chosen, bin_units: int) -> None:
    edges = bin_edges(result.horizon, bin_units)
    for index, (label, (measure, *_)) in enumerate(chosen):
        colour, style = f"C{index}", STYLES[index % len(STYLES)]
        curve = result.share_curve(measure, bin_units)
        low, high = result.share_band(measure, bin_units)
        axes.fill_between(edges, _closed(low), _closed(high), step="post", color=colour,
                          alpha=0.15, linewidth=0)
        axes.step(edges, _closed(curve), where="post", color=colour, linewidth=1.1,
                  linestyle=style, label=label)
    axes.set_ylim(0, 1.05)
    axes.yaxis.set_major_formatter(_percent_formatter())
    axes.set_ylabel("share")
    axes.set_xlim(0, result.horizon)
    axes.grid(True, alpha=0.3)


def _draw_reductions(axes, result: ImportanceResult, chosen, bin_units: int) -> None:
    edges = bin_edges(result.horizon, bin_units)
    system = result.system_curve(bin_units)
    curves = [result.reduction_curve(measures[0], bin_units) for _, measures in chosen]
    log_scale = log_scale_helps(np.concatenate([system, *curves]))
    floor = 0.0
    if log_scale:
        # Four decades below the system's highest: a contributor smaller than that is drawn on
        # the floor rather than stretching the axis (and its band) over many empty decades.
        floor = 10 ** np.floor(np.log10(float(system.max()) * 1e-4))
        use_log_scale(axes, percent=True)
        axes.set_ylim(floor, 1.5)
    else:
        axes.yaxis.set_major_formatter(_percent_formatter())
    for index, ((label, measures), curve) in enumerate(zip(chosen, curves)):
        colour, style = f"C{index}", STYLES[index % len(STYLES)]
        low, high = result.reduction_band(measures[0], bin_units)
        axes.fill_between(edges, _closed(np.maximum(low, floor)), _closed(np.maximum(high, floor)),
                          step="post", color=colour, alpha=0.15, linewidth=0)
        axes.step(edges, _closed(np.maximum(curve, floor)), where="post", color=colour,
                  linewidth=1.1, linestyle=style, label=label)
    # Last and on top: the largest contributor often equals the system, and would hide it.
    axes.step(edges, _closed(np.maximum(system, floor)), where="post", color="black",
              linestyle=(0, (4, 3)), linewidth=1.2,
              label=text(f"system: {result.system_result.downtime().estimate:,.3g}"
                         f" {result.time_unit}"), zorder=5)
    axes.set_ylabel("unavailability removed" + (" (log scale)" if log_scale else ""))
    axes.set_xlim(0, result.horizon)
    axes.grid(True, which="major", alpha=0.3)


def _closed(values: np.ndarray) -> np.ndarray:
    """A step drawn "post" needs its last value repeated at the end of the last bin."""
    return np.append(values, values[-1])
