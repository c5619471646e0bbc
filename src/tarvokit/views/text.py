"""The text report of a result, and the text of a checked model."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ..model import laws, memory
from ..model.reading import Model
from .calendar_text import calendar_lines
# The helpers are imported from here by the other views too.
from .formatting import (duration_text, interval_text, number, percent,  # noqa: F401
                         short_interval_text, steps_per_unit)
from .production_views import capacity_lines, production_lines

if TYPE_CHECKING:  # `tarvo check` shows a model without loading what results need
    from ..data.result import Result


def summary(result: "Result") -> str:
    """The report of a run: every measure with its interval, and how the run went."""
    unit, horizon = result.time_unit, result.horizon
    mean, downtime = result.mean(), result.downtime()
    lines = [
        f"{result.name}: {horizon:,} {unit}, {result.histories:,} histories"
        f" (seeds {result.seeds_text()}), resolution {steps_per_unit(result.resolution, unit)}",
        f"Mean unavailability over {over(result)}: {interval_text(mean)}",
        f"Expected downtime: {number(downtime.estimate)} {unit}  [{number(downtime.low)} {unit},"
        f" {number(downtime.high)} {unit}] over {horizon:,} {unit}",
    ]
    if result.distributions is not None:
        lines += _measure_lines(result, unit, horizon)
        delivered = result.production()
        if delivered is not None:
            lines += production_lines(delivered, interval_text)
    else:
        lines.append(f"  (95% confidence, batch means over {len(result.batches)} independent"
                     " sub-batches)")
    lines += calendar_lines(result)
    lines += _logistics_lines(result)
    end = result.at(horizon - 1)
    lines += [
        f"Unavailability during the last {unit} ({unit} {horizon - 1}): {interval_text(end)}",
        f"  (the fraction of that {unit} the system was down; 95% Wilson interval, n ="
        " histories)",
    ]
    if result.precision is not None:
        measure = result.precision_measure or "mean_unavailability"
        what = "the mean" if measure == "mean_unavailability" else measure.replace("_", " ")
        lines.append(f"Precision target +-{100 * result.precision:g} % of {what}: "
                     + ("met" if result.precision_met else
                        "not met at the maximum number of histories"))
    if result.interrupted:
        lines.append("Interrupted: the figures cover the sub-batches that finished.")
    # Per runner call: on a cluster several calls run at once, each on its worker's threads.
    threads = f"{result.threads} thread{'s' if result.threads != 1 else ''}" if result.threads else "?"
    lines.append(f"Run: {result.histories:,} histories, {threads} per runner call, in"
                 f" {result.seconds:.2f} s,"
                 f" {result.histories_per_second:,.0f} histories per second")
    return "\n".join(lines)


def over(result: "Result") -> str:
    """What the mean unavailability is taken over: the horizon, or its required time."""
    return "required time" if "phases" in result.model else "the horizon"
def _logistics_lines(result: "Result") -> list[str]:
    from .logistics_views import logistics_lines

    return logistics_lines(result)


def _measure_lines(result: "Result", unit: str, horizon: int) -> list[str]:
    found = result.measures()
    frequency, reliability = found.failure_frequency, found.reliability
    quantiles = found.downtime_quantiles
    return [
        f"  (95% intervals from the {result.histories:,} independent histories: the mean of"
        " their downtimes, its standard",
        "  error from their exact sum of squares, Student's t; an upper bound where no failure"
        " was seen)",
        f"System failures over the horizon: {number(frequency.estimate)}"
        f" [{number(frequency.low)}, {number(frequency.high)}],"
        f" {number(frequency.estimate / horizon)} per {unit}",
        f"Reliability, no system failure in {horizon:,} {unit}:"
        f" {interval_text(reliability)}  (Wilson)",
        f"Mean down time per failure: {duration_text(found.mean_down_time, unit)}",
        f"Mean up time between failures: {duration_text(found.mean_up_time, unit)}",
        "  (total downtime, or uptime, over the number of failures; delta-method intervals)",
        f"A history's downtime over {horizon:,} {unit}: median"
        f" {duration_text(quantiles['p50'], unit)},",
        f"  90th percentile {duration_text(quantiles['p90'], unit)}, 99th percentile"
        f" {duration_text(quantiles['p99'], unit)}",
        "  (exact order statistics of the histories, distribution-free intervals)",
    ]


def model_text(model: Model, threads: int | None = None) -> str:
    """Components, their states and transitions, the minimal cut sets and the memory of a run
    on `threads` threads (default: one per core), for `tarvo check`."""
    unit = model.time_unit
    lines = [f"{model.name}: horizon {model.horizon:,} {unit}, resolution"
             f" {steps_per_unit(model.resolution, unit)} ({model.steps:,} engine steps)",
             f"Components ({len(model.components)}; state 0 is working, the others failed):"]
    for c in model.components:
        lines.append(f"  {c.name}: states {', '.join(c.states)}")
        for t in c.transitions:
            lines.append(f"    {c.states[t.source]} -> {c.states[t.target]}:"
                         f" {laws.describe(t.law, unit)}")
    lines.append(f"Minimal cut sets ({len(model.cut_sets)}):")
    names = model.names
    lines += [f"  {{{', '.join(names[i] for i in sorted(s))}}}"
              for s in sorted(model.cut_sets, key=lambda s: (len(s), sorted(s)))]
    if model.dependencies:
        lines.append(model.dependencies.text(unit))
    if model.calendar:
        lines.append(model.calendar.text(unit))
    if model.capacity is not None:
        lines += capacity_lines(model.capacity, model.names)
    if model.logistics:
        lines.append(model.logistics.text(unit))
    if model.sweep:
        values = ", ".join(map(repr, model.sweep.values))
        lines.append(f"Sweep: {model.sweep.parameter} = {values}")
    lines.append(memory.summary_line(model.shape, threads or memory.default_threads()))
    lines += [f"Warning: {note}" for note in model.warnings]
    return "\n".join(lines)

