"""Plots of a result, drawn on the caller's matplotlib axes, and the helpers every plot shares.

`draw_result(whole, start, result)` draws the unavailability of every time unit with its
pointwise 95% band on two axes: the whole horizon (on a log scale when the curve spans more than
a decade and a half, as curves with rare failures and planned outages do) and a window at its
start chosen from the model (two of its shortest inspection periods, or a twelfth of the horizon
without inspections) on a linear scale, where the start-up transient shows. The mean over the
horizon is a dashed line. Unavailability is shown in percent on every axis and in every legend.
The figure itself is the caller's (the command makes one of FIGURE_INCHES at DPI), so plots can
be composed into figures of one's own.

Every curve is told apart by its line style as well as its colour, so that a figure printed in
greys still reads.
"""

from __future__ import annotations

from contextlib import contextmanager
from typing import Iterator

import numpy as np

from ..data.result import Result
from ..data import stats
from ..data.stats import bin_edges

FIGURE_INCHES = (11.0, 8.5)
DPI = 110
PIXELS = (round(FIGURE_INCHES[0] * DPI), round(FIGURE_INCHES[1] * DPI))
_LOG_SCALE_FROM = 30.0  # ratio of the highest to the lowest positive value
# Colours of the figures: the curve, its band, the mean and the reliability, distinct in
# lightness as well as hue (they stay apart in greys).
CURVE, BAND, MEAN, RELIABILITY, HISTOGRAM = "#1f4e99", "#9ab8e6", "#b8321a", "#2a7a3b", "#6a4c93"
# Line styles of several curves on one axes, in order: each differs in greys.
STYLES = ("-", "--", "-.", ":", (0, (5, 1, 1, 1, 1, 1)), (0, (1, 2)), (0, (8, 2)))


def draw_result(whole, start, result: Result, reliability=None, downtime=None) -> None:
    """The whole horizon on `whole`, a window at its start on `start` (matplotlib axes); with
    a result that has per-history distributions, the reliability over time on `reliability`
    and the histogram of a history's downtime on `downtime`, when given."""
    whole.set_title(text(f"{result.name}: unavailability over {result.horizon:,}"
                         f" {result.time_unit} ({result.histories:,} histories, resolution"
                         f" {result.resolution} steps per {result.time_unit})"), fontsize=10)
    draw_unavailability(whole, result, result.horizon,
                        log_scale=log_scale_helps(result.unavailability))
    draw_mean_line(whole, result.mean(), f"mean over {over(result)}")
    if start is not None:
        first = zoom_window(result.model)
        start.set_title(text(f"The first {first:,} {result.time_unit}"
                             f"{zoom_reason(result.model)}"), fontsize=10)
        draw_unavailability(start, result, first, log_scale=False)
        draw_mean_line(start, result.mean(), f"mean over {over(result)}")
    # Below the curves, where it hides no peak.
    whole.legend(loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3, fontsize=8,
                 frameon=False)
    if result.distributions is not None:
        if reliability is not None:
            draw_reliability(reliability, result)
        if downtime is not None:
            draw_downtime_histogram(downtime, result)


def draw_mean_line(axes, mean: stats.Interval, label: str = "mean over the horizon") -> None:
    """The mean over the horizon, dashed, behind the curve (a flat curve would hide under it
    otherwise), with its interval in the legend when it has one."""
    interval = ("" if mean.low == mean.high else
                f" [{percent_text(mean.low)}, {percent_text(mean.high)}]")
    axes.axhline(mean.estimate, color=MEAN, linewidth=1.0, linestyle="--", zorder=1,
                 label=f"{label} {percent_text(mean.estimate)}{interval}")


def percent_text(value: float) -> str:
    return f"{100 * value:.4g} %"


def footer(result) -> str:
    """The line that says where a figure comes from: seeds, version, date and id."""
    seeds = f"seeds {result.seeds_text()}, " if hasattr(result, "seeds_text") else ""
    return text(f"{seeds}tarvo {result.version or '?'}, {result.created or 'date unknown'},"
                f" result id {result.id}")


def zoom_window(model: dict) -> int:
    """The time units drawn at the start of a curve: two of the model's shortest periodic
    inspections (a tested component's cycle shows twice), or a twelfth of the horizon."""
    horizon = int(model["study"]["horizon"])
    periods = inspection_periods(model)
    window = 2 * min(periods) if periods else horizon // 12
    return int(max(1, min(horizon, window)))


def zoom_reason(model: dict) -> str:
    periods = inspection_periods(model)
    horizon = int(model["study"]["horizon"])
    if periods and 2 * min(periods) < horizon:
        unit = model["study"].get("time_unit", "")
        return f": two inspection periods of {min(periods):,.4g} {unit}".rstrip()
    return ""


def inspection_periods(model: dict) -> list[float]:
    found = []
    for component in model.get("components", {}).values():
        for transition in component.get("transitions", []):
            if transition.get("law") == "Inspection":
                found.append(float(transition["period"]))
    return [p for p in found if p > 0]


def draw_reliability(axes, result: Result) -> None:
    """The chance of no system failure by the end of each time unit, with its Wilson band."""
    edges = _edges(result.horizon)
    # At the end of each bin drawn: the curve is computed there only.
    share, low, high = result.reliability_curve(units=edges[1:] - 1)
    draw_reliability_curve(axes, edges, share, result.time_unit, (low, high))
    draw_unplanned_reliability(axes, result, edges)


def draw_reliability_curve(axes, edges: np.ndarray, share: np.ndarray, unit: str,
                           band: tuple[np.ndarray, np.ndarray] | None = None,
                           label: str = "reliability", style="-", colour=RELIABILITY) -> None:
    """A reliability curve given per bin (`edges`), with its band when it has one (drawn as a
    shaded area edged by thin lines, so that a narrow band still shows)."""
    if band is not None:
        axes.fill_between(edges, _closed(band[0]), _closed(band[1]), step="post",
                          color=colour, alpha=0.25, linewidth=0)
        for bound in band:
            axes.step(edges, _closed(bound), where="post", color=colour, linewidth=0.5,
                      alpha=0.8)
        axes.plot([], [], color=colour, linewidth=4, alpha=0.4, label="95% band (Wilson)")
    axes.step(edges, _closed(share), where="post", color=colour, linewidth=1.2,
              linestyle=style, label=text(label))
    axes.set_ylim(-0.02, 1.02)
    axes.yaxis.set_major_formatter(_percent_formatter())
    axes.set_xlim(0, edges[-1])
    axes.set_title("Reliability: no system failure yet", fontsize=10)
    axes.set_xlabel(text(f"time ({unit})"))
    axes.set_ylabel("probability")
    axes.grid(True, alpha=0.3)
    axes.legend(loc="upper right", fontsize=7, framealpha=0.9)


def draw_downtime_histogram(axes, result: Result, bins: int = 60) -> None:
    """The distribution of a history's downtime over the horizon, in time units."""
    unit = result.time_unit
    histogram = result.distributions.downtime
    values = histogram.lower_edge(np.arange(len(histogram.counts))) / result.resolution
    weights = histogram.counts.astype(float) / max(1, result.histories)
    top = max(float(values.max()) if len(values) else 1.0, 1e-9) * 1.0001
    edges = np.linspace(0, top, bins + 1)
    shares, _ = np.histogram(values, bins=edges, weights=weights)
    # One artist for all the bars (a bar each costs more than the rest of the plot).
    axes.stairs(shares, edges, fill=True, color=HISTOGRAM, alpha=0.8)
    axes.set_xlim(0, top)
    use_log_scale(axes, percent=True)  # the tail of bad histories is what matters, and it is thin
    quantiles = result.measures().downtime_quantiles
    for name, style in (("p50", "-"), ("p90", "--"), ("p99", ":")):
        estimate = quantiles[name].estimate
        if estimate == estimate:
            axes.axvline(estimate, color="black", linestyle=style, linewidth=0.9,
                         label=text(f"{_ordinal(name)} {estimate:,.4g} {unit}"))
    axes.set_title(text(f"A history's downtime, bins of {top / bins:,.3g} {unit}"),
                   fontsize=10)
    axes.set_xlabel(text(f"downtime over {result.horizon:,} {unit} ({unit})"))
    axes.set_ylabel("share of histories (log scale)")
    axes.legend(loc="upper right", fontsize=7, framealpha=0.9)
    axes.grid(True, alpha=0.3)


def _ordinal(name: str) -> str:
    return "median" if name == "p50" else f"{name[1:]}th percentile"


# Curves with more time units than this are drawn per bin of units: a plot has fewer pixels
# (an unavailability curve through up to four units of each bin, `kept_units`).
MAX_POINTS = 1_000
_points = [MAX_POINTS]


@contextmanager
def points(count: int) -> Iterator[None]:
    """Within the block, curves are drawn with at most `count` bins (a figure of a page is
    narrower than plot.png, and every point costs in its file)."""
    _points.append(count)
    try:
        yield
    finally:
        _points.pop()


def _edges(horizon: int) -> np.ndarray:
    """The edges of the bins drawn: every time unit, or bins of a few when they are many."""
    return bin_edges(horizon, max(1, -(-horizon // _points[-1])))


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


def use_log_scale(axes, percent: bool = False) -> None:
    """A log y axis labelled in plain text (1e-4, or 0.01 % with `percent`): matplotlib's own
    labels are mathematics, whose parser costs about a second to start."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullLocator

    axes.set_yscale("log")
    axes.yaxis.set_major_locator(LogLocator(base=10))
    axes.yaxis.set_major_formatter(FuncFormatter(_power_of_ten_percent if percent
                                                 else _power_of_ten))
    # No minor ticks: each is an artist of its own, and a log axis has eight a decade.
    axes.yaxis.set_minor_locator(NullLocator())


def _power_of_ten(value: float, position) -> str:
    if value <= 0:
        return ""
    exponent = round(np.log10(value))
    return "1" if exponent == 0 else f"1e{exponent}"


def _power_of_ten_percent(value: float, position) -> str:
    if value <= 0:
        return ""
    exponent = round(np.log10(value)) + 2
    return f"{10.0 ** exponent:.{max(0, -exponent)}f} %" if exponent > -5 else \
        f"1e{exponent} %"


def _percent_formatter():
    from matplotlib.ticker import FuncFormatter

    return FuncFormatter(lambda value, position: f"{100 * value:.4g} %")


def text(label: str) -> str:
    """A label shown as written: matplotlib reads $...$ as mathematics, and names (of studies,
    components, time units) are not. Escaped unless mathematics is off altogether."""
    import matplotlib

    return label.replace("$", r"\$") if matplotlib.rcParams["text.parse_math"] else label


def log_scale_helps(values: np.ndarray) -> bool:
    """A log axis when the curve spans more than a decade and a half: its highest positive
    value against its low end, taken past the lowest half percent (a curve that starts at 0 and
    is flat after a short rise reads best on a linear axis)."""
    positive = values[values > 0]
    if positive.size == 0:
        return False
    return positive.max() / np.quantile(positive, 0.005) > _LOG_SCALE_FROM


def bin_note(edges: np.ndarray, stop: int, unit: str) -> str:
    """' (mean of each 5-h bin)' when a curve is drawn per bin of several time units."""
    if len(edges) == stop + 1:
        return ""
    return f" (mean of each {edges[1] - edges[0]:,}-{unit} bin)"


def draw_curve(axes, edges: np.ndarray, curve: np.ndarray, unit: str, log_scale: bool,
               label: str, band: tuple[np.ndarray, np.ndarray] | None = None,
               colour: str = CURVE, style="-", floor: float | None = None) -> float | None:
    """An unavailability curve given per bin (`edges`), with its band when it has one, in
    percent; on a log scale, values below `floor` (by default a decade under the lowest
    positive value) sit on it. Returns the floor used."""
    if log_scale:
        positive = curve[curve > 0]
        if floor is None:
            floor = 10 ** np.floor(np.log10(np.quantile(positive, 0.005))) if positive.size \
                else 1e-6
        curve = np.maximum(curve, floor)
        band = tuple(np.maximum(b, floor) for b in band) if band is not None else None
        use_log_scale(axes, percent=True)
        axes.set_ylim(floor, 1.5)
        axes.set_ylabel("unavailability (log scale)")
    else:
        top = float((band[1] if band is not None else curve).max())
        axes.set_ylim(0, max(1.15 * top, 1e-6))
        axes.yaxis.set_major_formatter(_percent_formatter())
        axes.set_ylabel("unavailability")
    if band is not None:
        axes.fill_between(edges, _closed(band[0]), _closed(band[1]), step="post", color=BAND,
                          alpha=0.6, linewidth=0, label="pointwise 95% interval", zorder=2)
    axes.step(edges, _closed(curve), where="post", color=colour, linewidth=0.8,
              linestyle=style, label=text(label), zorder=3)
    axes.set_xlim(0, edges[-1])
    axes.set_xlabel(text(f"time ({unit})"))
    axes.grid(True, which="major", alpha=0.3)
    return floor


def kept_units(values: np.ndarray) -> np.ndarray:
    """The time units of a curve drawn when they outnumber the bins allowed: in each bin, its
    first and last unit and those of its lowest and highest value, in order. A step curve
    through them covers, pixel column by pixel column, what one through every unit would: a
    peak keeps its height however short it is (a mean per bin would flatten it)."""
    stop = len(values)
    edges = _edges(stop)
    if len(edges) == stop + 1:
        return np.arange(stop)
    width = int(edges[1] - edges[0])
    full = stop // width * width
    rows = values[:full].reshape(-1, width)
    offsets = np.arange(0, full, width)
    kept = [edges[:-1], np.minimum(edges[1:], stop) - 1, offsets + rows.argmin(axis=1),
            offsets + rows.argmax(axis=1)]
    if full < stop:  # the last, shorter bin
        tail = values[full:]
        kept.append(np.array([full + tail.argmin(), full + tail.argmax()]))
    return np.unique(np.concatenate(kept))


def binned_unavailability(result: Result, stop: int
                          ) -> tuple[np.ndarray, np.ndarray, tuple[np.ndarray, np.ndarray]]:
    """Edges, the unavailability of time units 0 .. stop - 1 and its pointwise Wilson band
    (n = histories), at every unit or at the units `kept_units` keeps: edges[i] is the unit
    of value i, held until edges[i + 1]."""
    counts = result.counts[:stop]
    units = kept_units(counts)
    curve = counts[units] / float(result.resolution * result.histories)
    return np.append(units, stop), curve, stats.wilson_bounds(curve, result.histories)


def draw_unavailability(axes, result: Result, stop: int, log_scale: bool) -> None:
    """The unavailability of time units 0 .. stop - 1 with its pointwise band, on `axes`;
    when they outnumber the pixels, through the first, last, lowest and highest unit of each
    bin of units (`kept_units`)."""
    edges, curve, band = binned_unavailability(result, stop)
    # Nothing below the smallest unavailability a run can show, one failed step in all its
    # histories: units without failures sit on that floor.
    floor = None
    if log_scale:
        floor = 10 ** np.floor(np.log10(1.0 / (result.histories * result.resolution)))
        positive = curve[curve > 0]
        if positive.size:
            floor = max(floor, 10 ** np.floor(np.log10(np.quantile(positive, 0.005))))
    draw_curve(axes, edges, curve, result.time_unit, log_scale,
               f"unavailability during each {result.time_unit}", band, floor=floor)
    shade_phases(axes, result, stop, edges)


from .calendar_plot import draw_unplanned_reliability, shade_phases  # noqa: E402  (it imports Result as this does)
from .formatting import over  # noqa: E402
