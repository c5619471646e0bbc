"""The figures the command writes: each view drawn on axes of a figure made here, saved as PNG."""

from __future__ import annotations

from pathlib import Path

from ..data.importance import ImportanceResult
from ..data.markov import MarkovResult
from ..data.result import Result
from ..data.sweep import SweepResult
from ..views.importance_views import draw_importance, importance_title
from ..views.plots import DPI, FIGURE_INCHES
from ..views.sweep_views import draw_sweep, sweep_title


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    # The command's figures hold no mathematics: every text as written, `$` included.
    matplotlib.rcParams["text.parse_math"] = False
    import matplotlib.pyplot as plt

    return plt


def _save(figure, path: Path) -> None:
    plt = _pyplot()
    try:
        figure.savefig(path, format="png")
    finally:
        plt.close(figure)


def result_figure(result: Result, path: Path) -> None:
    """The whole horizon above; below, its first twelfth, the reliability and the histogram
    of a history's downtime (the last two for results with per-history distributions)."""
    from ..views.plots import draw_result

    plt = _pyplot()
    # Spacing set by hand: a layout engine measures every text several times, which costs more
    # than the drawing itself.
    delivered = result.distributions is not None and result.distributions.production is not None
    figure = plt.figure(figsize=(FIGURE_INCHES[0], FIGURE_INCHES[1] * (1.4 if delivered else 1)),
                        dpi=DPI)
    columns = 3 if result.distributions is not None else 1
    grid = figure.add_gridspec(3 if delivered else 2, columns,
                               height_ratios=[3, 2, 2.4] if delivered else [3, 2], left=0.07,
                               right=0.98, top=0.96 if delivered else 0.95, bottom=0.05
                               if delivered else 0.07, hspace=0.42, wspace=0.28)
    whole, start = figure.add_subplot(grid[0, :]), figure.add_subplot(grid[1, 0])
    more = ({"reliability": figure.add_subplot(grid[1, 1]),
             "downtime": figure.add_subplot(grid[1, 2])} if columns == 3 else {})
    draw_result(whole, start, result, **more)
    if delivered:
        from ..views.production_plots import draw_delivered, draw_levels

        draw_delivered(figure.add_subplot(grid[2, :2]), result)
        draw_levels(figure.add_subplot(grid[2, 2]), result)
    _save(figure, path)


def importance_figure(result: ImportanceResult, path: Path, top: int) -> None:
    plt = _pyplot()
    figure, axes = plt.subplots(2, 2, figsize=FIGURE_INCHES, dpi=DPI, sharex=True,
                                layout="constrained")
    figure.suptitle(importance_title(result))
    draw_importance(axes, result, top)
    _save(figure, path)


def sweep_figure(result: SweepResult, path: Path) -> None:
    plt = _pyplot()
    figure = plt.figure(figsize=FIGURE_INCHES, dpi=DPI, layout="constrained")
    grid = figure.add_gridspec(2, 2, height_ratios=[1, 1])
    means, differences = figure.add_subplot(grid[0, 0]), figure.add_subplot(grid[0, 1])
    curves = figure.add_subplot(grid[1, :])
    figure.suptitle(sweep_title(result))
    draw_sweep(means, differences, curves, result)
    _save(figure, path)


def markov_figure(result: MarkovResult, path: Path) -> None:
    """The exact curve above; below, its first twelfth and the reliability."""
    from ..views.markov_views import draw_markov

    plt = _pyplot()
    figure = plt.figure(figsize=FIGURE_INCHES, dpi=DPI)
    grid = figure.add_gridspec(2, 2, height_ratios=[3, 2], left=0.07, right=0.98, top=0.95,
                               bottom=0.07, hspace=0.42, wspace=0.22)
    draw_markov(figure.add_subplot(grid[0, :]), figure.add_subplot(grid[1, 0]),
                figure.add_subplot(grid[1, 1]), result)
    _save(figure, path)
