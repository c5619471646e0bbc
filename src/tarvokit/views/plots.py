"""Plots of a result, drawn on the caller's matplotlib axes, and the helpers every plot shares.

`draw_result(whole, start, result)` draws the unavailability of every time unit with its
pointwise 95% band on two axes: the whole horizon (on a log scale when the curve spans more than
a decade and a half, as curves with rare failures and planned outages do) and its first twelfth
on a linear scale, where the start-up transient shows. The mean over the horizon is a dashed line.
The figure itself is the caller's (the command makes one of FIGURE_INCHES at DPI), so plots can
be composed into figures of one's own.
"""

from __future__ import annotations

import numpy as np

from ..data.result import Result

FIGURE_INCHES = (11.0, 8.5)
DPI = 110
PIXELS = (round(FIGURE_INCHES[0] * DPI), round(FIGURE_INCHES[1] * DPI))
_LOG_SCALE_FROM = 30.0  # ratio of the highest to the lowest positive value


def draw_result(whole, start, result: Result) -> None:
    """The whole horizon on `whole`, its first twelfth on `start` (matplotlib axes)."""
    mean = result.mean()
    whole.set_title(text(f"{result.name}: unavailability over {result.horizon:,}"
                         f" {result.time_unit} ({result.histories:,} histories, resolution"
                         f" {result.resolution} per {result.time_unit})"))
    draw_unavailability(whole, result, result.horizon,
                        log_scale=log_scale_helps(result.unavailability))
    first = max(1, result.horizon // 12)
    start.set_title(text(f"The first {first:,} {result.time_unit}"))
    draw_unavailability(start, result, first, log_scale=False)
    for axes in (whole, start):
        axes.axhline(mean.estimate, color="tab:red", linewidth=1.2, linestyle="--",
                     label=f"mean over the horizon {100 * mean.estimate:.4g} %"
                           f" [{100 * mean.low:.4g}, {100 * mean.high:.4g}] %")
        axes.legend(loc="best", fontsize=9, framealpha=0.9)


def text(label: str) -> str:
    """A label shown as written: matplotlib reads $...$ as mathematics, names are not."""
    return label.replace("$", r"\$")


def log_scale_helps(values: np.ndarray) -> bool:
    positive = values[values > 0]
    return positive.size > 0 and positive.max() / positive.min() > _LOG_SCALE_FROM


def draw_unavailability(axes, result: Result, stop: int, log_scale: bool) -> None:
    """The unavailability of time units 0 .. stop - 1 with its pointwise band, on `axes`."""
    # A step drawn "post" needs the end of the last unit to show it whole.
    units = np.arange(stop + 1)
    curve = result.unavailability[:stop]
    low, high = (bound[:stop] for bound in result.band())
    if log_scale:
        # Units without failures sit at the bottom, a decade below nearly all the others.
        positive = result.unavailability[result.unavailability > 0]
        floor = 10 ** np.floor(np.log10(np.percentile(positive, 1)))
        curve, low, high = (np.maximum(v, floor) for v in (curve, low, high))
        axes.set_yscale("log")
        axes.set_ylim(floor, 1.5)
        axes.set_ylabel("unavailability (log scale)")
    else:
        axes.set_ylim(0, max(1.15 * float(high.max()), 1e-6))
        axes.set_ylabel("unavailability")
    axes.fill_between(units, np.append(low, low[-1]), np.append(high, high[-1]), step="post",
                      color="tab:blue", alpha=0.3, linewidth=0, label="pointwise 95% interval")
    axes.step(units, np.append(curve, curve[-1]), where="post", color="tab:blue", linewidth=0.7,
              label=text(f"unavailability during each {result.time_unit}"))
    axes.set_xlim(0, stop)
    axes.set_xlabel(text(f"time ({result.time_unit})"))
    axes.grid(True, which="major", alpha=0.3)
