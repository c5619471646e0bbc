"""The text report of a result, and the text of a checked model."""

from __future__ import annotations

from ..data.result import Result
from ..data.stats import Interval
from ..model import laws, memory
from ..model.reading import Model


def percent(value: float, digits: int = 4) -> str:
    return f"{100 * value:.{digits}g} %"


def interval_text(interval: Interval) -> str:
    return f"{percent(interval.estimate)}  [{percent(interval.low)}, {percent(interval.high)}]"


def short_interval_text(interval: Interval, unit: str = "%", sign: bool = False) -> str:
    """'72.82 % [72.49, 73.16]' for the columns of a table: the bounds in the estimate's unit
    (a fraction shown in percent when `unit` is %)."""
    scale, form = (100.0 if unit == "%" else 1.0), ("+.4g" if sign else ".4g")
    low, estimate, high = (scale * v for v in (interval.low, interval.estimate, interval.high))
    return f"{estimate:{form}} {unit} [{low:{form}}, {high:{form}}]"


def summary(result: Result) -> str:
    """The report of a run: the mean unavailability, downtime and how the run went."""
    unit, horizon = result.time_unit, result.horizon
    mean, downtime = result.mean(), result.downtime()
    worst = int(result.unavailability.argmax())
    lines = [
        f"{result.name}: {horizon:,} {unit}, {result.histories:,} histories"
        f" (seeds {result.seeds_text()}), resolution {result.resolution} steps per {unit}",
        f"Mean unavailability over the horizon: {interval_text(mean)}",
        f"  (95% confidence, batch means over {len(result.batches)} independent sub-batches)",
        f"Expected downtime: {downtime.estimate:.4g} {unit}  [{downtime.low:.4g} {unit},"
        f" {downtime.high:.4g} {unit}] over {horizon:,} {unit}",
        f"Highest unavailability: {interval_text(result.at(worst))} during {unit} {worst}",
        f"  ({unit} u runs from u to u + 1; 95% Wilson interval, n = histories)",
        f"Unavailability at the end: {interval_text(result.at(horizon - 1))}",
    ]
    if result.precision is not None:
        target = f"+-{100 * result.precision:g} % of the mean"
        lines.append(f"Precision target {target}: "
                     + ("met" if result.precision_met else
                        f"not met (+-{100 * mean.relative_half_width:.3g} % at the maximum number"
                        " of histories)"))
    if result.interrupted:
        lines.append("Interrupted: the figures cover the sub-batches that finished.")
    # Per runner call: on a cluster several calls run at once, each on its worker's threads.
    threads = f"{result.threads} thread{'s' if result.threads != 1 else ''}" if result.threads else "?"
    lines.append(f"Run: {result.histories:,} histories, {threads} per runner call, in"
                 f" {result.seconds:.2f} s,"
                 f" {result.histories_per_second:,.0f} histories per second")
    if not result.seeded:
        lines.append("Note: Maintenance durations are drawn from the C library's shared generator,"
                     " not from the seed:\ntwo runs with the same seed differ slightly.")
    return "\n".join(lines)


def model_text(model: Model, threads: int | None = None) -> str:
    """Components, their states and transitions, the minimal cut sets and the memory of a run
    on `threads` threads (default: one per core), for `tarvo check`."""
    unit = model.time_unit
    lines = [f"{model.name}: horizon {model.horizon:,} {unit}, resolution {model.resolution}"
             f" steps per {unit} ({model.steps:,} engine steps)",
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
    if model.sweep:
        values = ", ".join(map(repr, model.sweep.values))
        lines.append(f"Sweep: {model.sweep.parameter} = {values}")
    lines.append(memory.summary_line(model.shape, threads or memory.default_threads()))
    lines += [f"Warning: {note}" for note in model.warnings]
    return "\n".join(lines)
