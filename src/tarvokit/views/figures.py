"""The figures a study's files show, made here and saved as PNG (plot.png and its kin) or as
SVG text (inlined in report.html).

Figures are made with matplotlib's object interface and the Agg canvas, without pyplot: no global
state, no backend to choose, and nothing of the interactive machinery imported. Spacing is set by
hand where it can be: a layout engine measures every text several times, which costs more than
the drawing itself.
"""

from __future__ import annotations

import io
import re
from pathlib import Path

from .plots import DPI, FIGURE_INCHES, footer


def new_figure(inches=FIGURE_INCHES, layout: str | None = None):
    import matplotlib

    # The figures hold no mathematics: every text as written, `$` included; text in SVG stays
    # text (smaller, searchable, read by screen readers) rather than glyph outlines.
    matplotlib.rcParams["text.parse_math"] = False
    matplotlib.rcParams["svg.fonttype"] = "none"
    matplotlib.rcParams["svg.hashsalt"] = "tarvo"  # the same file for the same figure
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=inches, dpi=DPI, layout=layout)
    FigureCanvasAgg(figure)
    return figure


def fit_sides(figure, axes, margin: float = 4.0) -> None:
    """Moves the left edge of `axes` so that its y axis (tick labels and label, as wide as
    their numbers make them) starts `margin` pixels inside the figure, and pulls its right edge
    in where the x axis's last tick label would pass the figure's: margins set by hand cannot
    know how wide '0.001 %' is beside '1 %', nor '2000' on a figure half a page wide."""
    renderer = figure.canvas.get_renderer()
    left = axes.yaxis.get_tightbbox(renderer).x0
    box = axes.get_position()
    shift = (margin - left) / figure.bbox.width
    if shift > 0 or left > 4 * margin:  # too far out, or room to spare: the drawing widens
        box = type(box).from_bounds(box.x0 + shift, box.y0, box.width - shift, box.height)
        axes.set_position(box)
    over = axes.xaxis.get_tightbbox(renderer).x1 - (figure.bbox.width - margin)
    if over > 0:
        axes.set_position((box.x0, box.y0, box.width - over / figure.bbox.width, box.height))


def save_png(figure, path: Path) -> None:
    # A lighter compression than the default: a third of the time, a file a fifth larger.
    figure.savefig(path, format="png", pil_kwargs={"compress_level": 3})


def svg_text(figure, title: str, description: str, prefix: str) -> str:
    """The figure as an inline <svg> element: no XML prologue, its ids prefixed (several
    figures share a page), sized by its container, with a title and a description for screen
    readers (`title` and `description` are escaped here)."""
    from html import escape

    buffer = io.StringIO()
    figure.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    svg = buffer.getvalue()
    svg = svg[svg.index("<svg"):]
    svg = re.sub(r"<!--.*?-->", "", svg, flags=re.S)
    # Ids renamed in order of appearance: unique on the page, and the same for the same figure
    # (matplotlib derives some from object addresses).
    names: dict[str, str] = {}
    for found in re.finditer(r'\bid="([^"]+)"', svg):
        names.setdefault(found.group(1), f"{prefix}-{len(names)}")
    svg = re.sub(r'\bid="([^"]+)"', lambda m: f'id="{names[m.group(1)]}"', svg)
    svg = re.sub(r'(url\(#|href="#)([^)"]+)',
                 lambda m: m.group(1) + names.get(m.group(2), f"{prefix}-{m.group(2)}"), svg)
    opening = svg[:svg.index(">") + 1]
    view_box = re.search(r'viewBox="[^"]*"', opening)
    new_opening = (f'<svg xmlns="http://www.w3.org/2000/svg" {view_box.group(0)} role="img"'
                   f' aria-labelledby="{prefix}-title {prefix}-desc" class="figure">'
                   f'<title id="{prefix}-title">{escape(title)}</title>'
                   f'<desc id="{prefix}-desc">{escape(description)}</desc>')
    return new_opening + svg[len(opening):]


def add_footer(figure, result) -> None:
    """Where the figure comes from, at its foot (a layout engine leaves room for it)."""
    engine = figure.get_layout_engine()
    if engine is not None:
        engine.set(rect=(0, 0.025, 1, 0.975))
    figure.text(0.995, 0.003, footer(result), ha="right", va="bottom", fontsize=7,
                color="#444444")


# --- The command's figures ------------------------------------------------------------------


def result_figure(result):
    """The whole horizon above; below, a window at its start, the reliability and the
    histogram of a history's downtime (the last two for results with per-history
    distributions); where it comes from at the foot."""
    from .plots import draw_result

    delivered = result.distributions is not None and result.distributions.production is not None
    figure = new_figure((FIGURE_INCHES[0], FIGURE_INCHES[1] * (1.4 if delivered else 1)))
    columns = 3 if result.distributions is not None else 1
    grid = figure.add_gridspec(3 if delivered else 2, columns,
                               height_ratios=[3, 2, 2.4] if delivered else [3, 2], left=0.07,
                               right=0.98, top=0.96 if delivered else 0.95,
                               bottom=0.06 if delivered else 0.08, hspace=0.42, wspace=0.36)
    whole, start = figure.add_subplot(grid[0, :]), figure.add_subplot(grid[1, 0])
    more = ({"reliability": figure.add_subplot(grid[1, 1]),
             "downtime": figure.add_subplot(grid[1, 2])} if columns == 3 else {})
    draw_result(whole, start, result, **more)
    if delivered:
        # What the plant delivered, with its band, and the time at each capacity level.
        from .production_plots import draw_delivered, draw_levels

        draw_delivered(figure.add_subplot(grid[2, :2]), result)
        draw_levels(figure.add_subplot(grid[2, 2]), result)
    add_footer(figure, result)
    return figure


def importance_figure(result, top: int):
    from .importance_views import draw_importance, importance_title, plotted_kinds

    rows = len(plotted_kinds(result))
    figure = new_figure((FIGURE_INCHES[0], FIGURE_INCHES[1] * max(2, rows) / 2),
                        layout="constrained")
    axes = figure.subplots(rows, 2, sharex=True, squeeze=False)
    figure.suptitle(importance_title(result))
    draw_importance(axes, result, top)
    add_footer(figure, result.system_result)
    return figure


def sweep_figure(result):
    from .sweep_views import draw_sweep, sweep_title

    figure = new_figure(layout="constrained")
    grid = figure.add_gridspec(2, 2, height_ratios=[1, 1])
    means, differences = figure.add_subplot(grid[0, 0]), figure.add_subplot(grid[0, 1])
    curves = figure.add_subplot(grid[1, :])
    figure.suptitle(sweep_title(result))
    draw_sweep(means, differences, curves, result)
    add_footer(figure, result.reference)
    return figure


def markov_figure(result):
    """The exact curve above; below, a window at its start and the reliability."""
    from .markov_views import draw_markov

    figure = new_figure()
    grid = figure.add_gridspec(2, 2, height_ratios=[3, 2], left=0.07, right=0.98, top=0.95,
                               bottom=0.08, hspace=0.42, wspace=0.22)
    draw_markov(figure.add_subplot(grid[0, :]), figure.add_subplot(grid[1, 0]),
                figure.add_subplot(grid[1, 1]), result)
    add_footer(figure, result)
    return figure
