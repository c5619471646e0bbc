"""The figures the command writes: each view drawn on axes of a figure made here, saved as PNG."""

from __future__ import annotations

from pathlib import Path

from ..data.importance import ImportanceResult
from ..data.result import Result
from ..data.sweep import SweepResult
from ..views.importance_views import draw_importance, importance_title
from ..views.plots import DPI, FIGURE_INCHES
from ..views.sweep_views import draw_sweep, sweep_title


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
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
    figure = plt.figure(figsize=FIGURE_INCHES, dpi=DPI, layout="constrained")
    columns = 3 if result.distributions is not None else 1
    grid = figure.add_gridspec(2, columns, height_ratios=[3, 2])
    whole, start = figure.add_subplot(grid[0, :]), figure.add_subplot(grid[1, 0])
    more = ({"reliability": figure.add_subplot(grid[1, 1]),
             "downtime": figure.add_subplot(grid[1, 2])} if columns == 3 else {})
    draw_result(whole, start, result, **more)
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
