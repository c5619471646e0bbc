"""The report and the plots of a model's exact Markov answer (data/markov.py), in the form of a
simulated run's."""

from __future__ import annotations

import numpy as np

from ..data.markov import MarkovResult
from .plots import (_aggregated, bin_note, draw_curve, draw_mean_line, draw_reliability_curve,
                    log_scale_helps, percent_text, text, zoom_reason, zoom_window)
from .production_views import exact_production_lines
from .text import number, percent


def summary(result: MarkovResult) -> str:
    a, unit, horizon = result.answer, result.time_unit, result.horizon

    def duration(value: float) -> str:
        return "undefined (no system failure)" if not np.isfinite(value) else \
            f"{number(value, 6)} {unit}"

    # With phases: one generator per phase, the mean over required time, the long run periodic.
    phased = "phases" in result.model
    over = "required time" if phased else "the horizon"
    lines = [
        f"{result.name}: {horizon:,} {unit}, the exact answer of its Markov chain"
        f" ({a.states:,} states)",
        f"Mean unavailability over {over}: {percent(a.mean_unavailability, 6)}",
        f"Expected downtime: {number(a.expected_downtime, 6)} {unit} over {horizon:,} {unit}",
        f"System failures over the horizon: {number(a.failure_frequency, 6)},"
        f" {number(a.failure_frequency / horizon, 6)} per {unit}",
        f"Reliability, no system failure in {horizon:,} {unit}:"
        f" {percent(a.reliability_over_horizon, 6)}",
        f"Mean down time per failure: {duration(a.mean_down_time)}",
        f"Mean up time between failures: {duration(a.mean_up_time)}",
        *([] if phased else
          [f"Mean time to the first system failure: {duration(a.mean_time_to_failure)}"]),
        f"Unavailability during the last {unit} ({unit} {horizon - 1}):"
        f" {percent(float(a.unavailability[-1]), 6)}",
        f"In the long run: unavailability {percent(a.steady_unavailability, 6)},"
        f" {number(a.steady_failure_frequency, 6)} system failures per {unit}",
        "  (exact: the chain's probabilities integrated over time with expm_multiply; the long"
        " run from its steady state)" if not phased else
        "  (exact: one generator per phase, the probabilities integrated over time; the long"
        " run over a cycle of the sequence from its periodic distribution)",
        f"Solved in {result.seconds:.2f} s",
    ]
    if a.production is not None:
        lines[-1:-1] = exact_production_lines(result)
    return "\n".join(lines)


def draw_markov(whole, start, reliability, result: MarkovResult) -> None:
    """The exact unavailability over the horizon (`whole`) and a window at its start
    (`start`), with the mean over the horizon and the long run's, and the reliability over time
    (`reliability`), on matplotlib axes."""
    curve, unit = result.unavailability, result.time_unit
    whole.set_title(text(f"{result.name}: exact unavailability over {result.horizon:,} {unit}"
                         f" ({result.answer.states:,}-state Markov chain)"), fontsize=10)
    draw_markov_window(whole, result, result.horizon, log_scale_helps(curve))
    if start is not None:
        draw_markov_window(start, result, zoom_window(result.model), False)
    whole.legend(loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3, fontsize=8,
                 frameon=False)
    if reliability is not None:
        edges, (share,) = _aggregated(result.horizon, result.answer.reliability, how="last")
        draw_reliability_curve(reliability, edges, share, unit, label="exact reliability")


def draw_markov_window(axes, result: MarkovResult, stop: int, log_scale: bool) -> None:
    """The exact unavailability of time units 0 .. stop - 1, the mean over the horizon behind
    it and the long run's unavailability, dotted."""
    unit = result.time_unit
    if stop < result.horizon:
        axes.set_title(text(f"The first {stop:,} {unit}{zoom_reason(result.model)}"),
                       fontsize=10)
    edges, (values,) = _aggregated(stop, result.unavailability[:stop])
    draw_curve(axes, edges, values, unit, log_scale,
               f"exact unavailability during each {unit}{bin_note(edges, stop, unit)}")
    draw_mean_line(axes, result.mean())
    steady = result.answer.steady_unavailability
    if steady == steady:
        axes.axhline(steady, color="black", linestyle=":", linewidth=1.0, zorder=1,
                     label=f"steady state {percent_text(steady)}")
    if not log_scale:  # room for both lines and the curve
        top = max(float(values.max()), result.answer.mean_unavailability,
                  steady if steady == steady else 0.0)
        axes.set_ylim(0, max(1.15 * top, 1e-6))
