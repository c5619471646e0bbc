"""The pictures the command writes, as PNG files: each kind of result's figure (views/figures.py)
saved under its name."""

from __future__ import annotations

from pathlib import Path


def result_figure(result, path: Path) -> None:
    from ..views.figures import result_figure as figure, save_png

    save_png(figure(result), path)


def importance_figure(result, path: Path, top: int) -> None:
    from ..views.figures import importance_figure as figure, save_png

    save_png(figure(result, top), path)


def sweep_figure(result, path: Path) -> None:
    from ..views.figures import save_png, sweep_figure as figure

    save_png(figure(result), path)


def markov_figure(result, path: Path) -> None:
    from ..views.figures import markov_figure as figure, save_png

    save_png(figure(result), path)
