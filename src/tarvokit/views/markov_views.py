"""The report and the plots of a model's exact Markov answer (data/markov.py), in the form of a
simulated run's."""

from __future__ import annotations

import numpy as np

from ..data.markov import MarkovResult
from .plots import (_aggregated, _closed, draw_reliability_curve, log_scale_helps, text,
                    use_log_scale)
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
    return "\n".join(lines)


def draw_markov(whole, start, reliability, result: MarkovResult) -> None:
    """The exact unavailability over the horizon (`whole`) and its first twelfth (`start`), and
    the reliability over time (`reliability`), on matplotlib axes."""
    curve, unit = result.unavailability, result.time_unit
    whole.set_title(text(f"{result.name}: exact unavailability over {result.horizon:,} {unit}"
                         f" ({result.answer.states:,}-state Markov chain)"), fontsize=10)
    _draw_curve(whole, curve, result.horizon, unit, log_scale_helps(curve))
    first = max(1, result.horizon // 12)
    start.set_title(text(f"The first {first:,} {unit}"), fontsize=10)
    _draw_curve(start, curve, first, unit, False)
    for axes in (whole, start):
        axes.axhline(result.answer.mean_unavailability, color="tab:red", linestyle="--",
                     linewidth=1.2, label=f"mean over the horizon"
                     f" {100 * result.answer.mean_unavailability:.4g} %")
    whole.legend(loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=2, fontsize=8,
                 frameon=False)
    edges, (share,) = _aggregated(result.horizon, result.answer.reliability, how="last")
    draw_reliability_curve(reliability, edges, share, unit)


def _draw_curve(axes, curve: np.ndarray, stop: int, unit: str, log_scale: bool) -> None:
    edges, (values,) = _aggregated(stop, curve[:stop])
    if log_scale:
        positive = values[values > 0]
        floor = 10 ** np.floor(np.log10(positive.min())) if positive.size else 1e-12
        values = np.maximum(values, floor)
        use_log_scale(axes)
        axes.set_ylim(floor, 1.5)
    axes.step(edges, _closed(values), where="post", color="tab:blue", linewidth=0.9,
              label=text(f"exact unavailability during each {unit}"))
    axes.set_xlim(0, stop)
    axes.set_xlabel(text(f"time ({unit})"))
    axes.set_ylabel("unavailability" + (" (log scale)" if log_scale else ""))
    axes.grid(True, which="major", alpha=0.3)
