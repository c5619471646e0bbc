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
from ..data import stats
from ..data.stats import bin_edges

FIGURE_INCHES = (11.0, 8.5)
DPI = 110
PIXELS = (round(FIGURE_INCHES[0] * DPI), round(FIGURE_INCHES[1] * DPI))
_LOG_SCALE_FROM = 30.0  # ratio of the highest to the lowest positive value


def draw_result(whole, start, result: Result, reliability=None, downtime=None) -> None:
    """The whole horizon on `whole`, its first twelfth on `start` (matplotlib axes); with a
    result that has per-history distributions, the reliability over time on `reliability` and
    the histogram of a history's downtime on `downtime`, when given."""
    mean = result.mean()
    whole.set_title(text(f"{result.name}: unavailability over {result.horizon:,}"
                         f" {result.time_unit} ({result.histories:,} histories, resolution"
                         f" {result.resolution} per {result.time_unit})"), fontsize=10)
    draw_unavailability(whole, result, result.horizon,
                        log_scale=log_scale_helps(result.unavailability))
    first = max(1, result.horizon // 12)
    start.set_title(text(f"The first {first:,} {result.time_unit}"), fontsize=10)
    draw_unavailability(start, result, first, log_scale=False)
    for axes in (whole, start):
        axes.axhline(mean.estimate, color="tab:red", linewidth=1.2, linestyle="--",
                     label=f"mean over {over(result)} {100 * mean.estimate:.4g} %"
                           f" [{100 * mean.low:.4g}, {100 * mean.high:.4g}] %")
    # Below the curves, where it hides no peak.
    whole.legend(loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3, fontsize=8,
                 frameon=False)
    if result.distributions is not None:
        if reliability is not None:
            draw_reliability(reliability, result)
        if downtime is not None:
            draw_downtime_histogram(downtime, result)


def draw_reliability(axes, result: Result) -> None:
    """The chance of no system failure by the end of each time unit, with its Wilson band."""
    edges = _edges(result.horizon)
    # At the end of each bin drawn: the curve is computed there only.
    share, low, high = result.reliability_curve(units=edges[1:] - 1)
    draw_reliability_curve(axes, edges, share, result.time_unit, (low, high))
    draw_unplanned_reliability(axes, result, edges)


def draw_reliability_curve(axes, edges: np.ndarray, share: np.ndarray, unit: str,
                           band: tuple[np.ndarray, np.ndarray] | None = None) -> None:
    """A reliability curve given per bin (`edges`), with its band when it has one."""
    if band is not None:
        axes.fill_between(edges, _closed(band[0]), _closed(band[1]), step="post",
                          color="tab:green", alpha=0.3, linewidth=0)
    axes.step(edges, _closed(share), where="post", color="tab:green", linewidth=1.0)
    axes.set_ylim(-0.02, 1.02)
    axes.set_xlim(0, edges[-1])
    axes.set_title("Reliability: no system failure yet", fontsize=10)
    axes.set_xlabel(text(f"time ({unit})"))
    axes.set_ylabel("probability")
    axes.grid(True, alpha=0.3)


def draw_downtime_histogram(axes, result: Result, bins: int = 60) -> None:
    """The distribution of a history's downtime over the horizon, in time units."""
    histogram = result.distributions.downtime
    values = histogram.lower_edge(np.arange(len(histogram.counts))) / result.resolution
    weights = histogram.counts.astype(float) / max(1, result.histories)
    top = float(values.max()) if len(values) else 1.0
    axes.hist(values, bins=np.linspace(0, max(top, 1e-9) * 1.0001, bins + 1), weights=weights,
              color="tab:purple", alpha=0.8)
    use_log_scale(axes)  # the tail of bad histories is what matters, and it is thin
    quantiles = result.measures().downtime_quantiles
    for name, style in (("p50", "-"), ("p90", "--"), ("p99", ":")):
        estimate = quantiles[name].estimate
        if estimate == estimate:
            axes.axvline(estimate, color="black", linestyle=style, linewidth=0.9,
                         label=f"{name[1:]}th percentile {estimate:.4g}")
    axes.set_title(text(f"Downtime of a history over {result.horizon:,} {result.time_unit}"),
                   fontsize=10)
    axes.set_xlabel(text(f"downtime ({result.time_unit})"))
    axes.set_ylabel("share of histories")
    axes.legend(loc="upper right", fontsize=7, framealpha=0.8)
    axes.grid(True, alpha=0.3)


# Curves with more time units than this are drawn per bin of units: a plot has fewer pixels.
MAX_POINTS = 2_000


def _edges(horizon: int) -> np.ndarray:
    """The edges of the bins drawn: every time unit, or bins of a few when they are many."""
    return bin_edges(horizon, max(1, -(-horizon // MAX_POINTS)))


def _aggregated(horizon: int, *curves: np.ndarray, how: str = "mean"
                ) -> tuple[np.ndarray, list[np.ndarray]]:
    """Edges of the bins drawn and each curve per bin (its mean, or its last value)."""
    edges = _edges(horizon)
    if len(edges) == horizon + 1:
        return edges, list(curves)
    starts = edges[:-1]
    if how == "last":
        return edges, [c[np.minimum(edges[1:] - 1, horizon - 1)] for c in curves]
    return edges, [np.add.reduceat(c, starts) / np.diff(edges) for c in curves]


def _closed(values: np.ndarray) -> np.ndarray:
    """A step drawn "post" needs its last value repeated at the end of the last bin."""
    return np.append(values, values[-1])


def use_log_scale(axes) -> None:
    """A log y axis labelled in plain text (1e-4): matplotlib's own labels are mathematics,
    whose parser costs about a second to start."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    axes.set_yscale("log")
    axes.yaxis.set_major_locator(LogLocator(base=10))
    axes.yaxis.set_major_formatter(FuncFormatter(_power_of_ten))
    axes.yaxis.set_minor_formatter(NullFormatter())


def _power_of_ten(value: float, position) -> str:
    if value <= 0:
        return ""
    exponent = round(np.log10(value))
    return "1" if exponent == 0 else f"1e{exponent}"


def text(label: str) -> str:
    """A label shown as written: matplotlib reads $...$ as mathematics, and names (of studies,
    components, time units) are not. Escaped unless mathematics is off altogether."""
    import matplotlib

    return label.replace("$", r"\$") if matplotlib.rcParams["text.parse_math"] else label


def log_scale_helps(values: np.ndarray) -> bool:
    positive = values[values > 0]
    return positive.size > 0 and positive.max() / positive.min() > _LOG_SCALE_FROM


def draw_unavailability(axes, result: Result, stop: int, log_scale: bool) -> None:
    """The unavailability of time units 0 .. stop - 1 with its pointwise band, on `axes`; per
    bin of units, their mean, when they outnumber the pixels."""
    # Per bin drawn: the mean unavailability of its units and its Wilson band (n = histories;
    # a mean of fractions in [0, 1] is no more variable than one of them).
    edges, (curve,) = _aggregated(stop, result.counts[:stop].astype(float))
    curve = curve / float(result.resolution * result.histories)
    low, high = stats.wilson_bounds(curve, result.histories)
    if log_scale:
        # Nothing below the smallest unavailability a run can show, one failed step in all
        # its histories: units without failures sit on that floor.
        floor = 10 ** np.floor(np.log10(1.0 / (result.histories * result.resolution)))
        positive = curve[curve > 0]
        if positive.size:
            floor = max(floor, 10 ** np.floor(np.log10(positive.min())))
        curve, low, high = (np.maximum(v, floor) for v in (curve, low, high))
        use_log_scale(axes)
        axes.set_ylim(floor, 1.5)
        axes.set_ylabel("unavailability (log scale)")
    else:
        axes.set_ylim(0, max(1.15 * float(high.max()), 1e-6))
        axes.set_ylabel("unavailability")
    per = "" if len(edges) == stop + 1 else f" (mean per {edges[1] - edges[0]:,})"
    axes.fill_between(edges, _closed(low), _closed(high), step="post", color="tab:blue",
                      alpha=0.3, linewidth=0, label="pointwise 95% interval")
    axes.step(edges, _closed(curve), where="post", color="tab:blue", linewidth=0.7,
              label=text(f"unavailability during each {result.time_unit}{per}"))
    shade_phases(axes, result, stop, edges)
    axes.set_xlim(0, stop)
    axes.set_xlabel(text(f"time ({result.time_unit})"))
    axes.grid(True, which="major", alpha=0.3)


from .calendar_plot import draw_unplanned_reliability, shade_phases  # noqa: E402  (it imports Result as this does)
from .text import over  # noqa: E402
