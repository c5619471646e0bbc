"""The plot of a result: the unavailability of every time unit with its pointwise 95% band.

Two panels: the whole horizon (on a log scale when the curve spans more than a decade and a
half, as curves with rare failures and planned outages do) and its first twelfth on a linear
scale, where the start-up transient shows. The mean over the horizon is a dashed line.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from .result import Result

FIGURE_INCHES = (11.0, 8.5)
DPI = 110
PIXELS = (round(FIGURE_INCHES[0] * DPI), round(FIGURE_INCHES[1] * DPI))
_LOG_SCALE_FROM = 30.0  # ratio of the highest to the lowest positive value


def plot_result(result: "Result", path: Path) -> None:
    """Writes a PNG of PIXELS size to `path`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (whole, start) = plt.subplots(2, 1, figsize=FIGURE_INCHES, dpi=DPI,
                                          gridspec_kw={"height_ratios": [3, 2]})
    mean = result.mean()
    whole.set_title(f"{result.name}: unavailability over {result.horizon:,} {result.time_unit}"
                    f" ({result.histories:,} histories, resolution {result.resolution} per"
                    f" {result.time_unit})")
    _draw(whole, result, result.horizon, log_scale=_log_scale_helps(result.unavailability))
    first = max(1, result.horizon // 12)
    start.set_title(f"The first {first:,} {result.time_unit}")
    _draw(start, result, first, log_scale=False)
    for axes in (whole, start):
        axes.axhline(mean.estimate, color="tab:red", linewidth=1.2, linestyle="--",
                     label=f"mean over the horizon {100 * mean.estimate:.4g} %"
                           f" [{100 * mean.low:.4g}, {100 * mean.high:.4g}] %")
        axes.legend(loc="best", fontsize=9, framealpha=0.9)
    figure.tight_layout()
    figure.savefig(path, format="png")
    plt.close(figure)


def _log_scale_helps(values: np.ndarray) -> bool:
    positive = values[values > 0]
    return positive.size > 0 and positive.max() / positive.min() > _LOG_SCALE_FROM


def _draw(axes, result: "Result", stop: int, log_scale: bool) -> None:
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
              label=f"unavailability during each {result.time_unit}")
    axes.set_xlim(0, stop)
    axes.set_xlabel(f"time ({result.time_unit})")
    axes.grid(True, which="major", alpha=0.3)
