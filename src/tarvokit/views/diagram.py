"""The system's logic drawn as an SVG a reviewer can follow: the top event, an OR over the
minimal cut sets, each cut set an AND of its components in a row.

Written by hand rather than by matplotlib: boxes and lines only, every name escaped, sized to
its content and scaled by the page.
"""

from __future__ import annotations

from html import escape
from typing import Sequence

ROW, BOX_HEIGHT, CHAR, PAD, GAP = 40, 26, 7.2, 10, 12
LEFT, TOP = 20, 86
MAX_SETS = 60  # cut sets drawn; the rest are counted in a line below


def logic_diagram(cut_sets: Sequence[Sequence[str]], prefix: str) -> str:
    """An <svg> of the logic; `prefix` makes its ids unique on the page."""
    shown = list(cut_sets)[:MAX_SETS]
    elements: list[str] = []
    width = 360.0

    def box(x: float, y: float, label: str, kind: str) -> float:
        w = max(40.0, len(label) * CHAR + 2 * PAD)
        fill = {"top": "#222", "gate": "#fff", "component": "#f0f0f0"}[kind]
        colour = "#fff" if kind == "top" else "#111"
        radius = 13 if kind == "gate" else 3
        elements.append(f'<rect x="{x:.1f}" y="{y:.1f}" width="{w:.1f}" height="{BOX_HEIGHT}"'
                        f' rx="{radius}" fill="{fill}" stroke="#111" stroke-width="1.2"/>')
        elements.append(f'<text x="{x + w / 2:.1f}" y="{y + BOX_HEIGHT / 2 + 4.5:.1f}"'
                        f' text-anchor="middle" fill="{colour}" font-size="12">'
                        f"{escape(label)}</text>")
        return w

    box(LEFT, 8, "the system fails", "top")
    elements.append(f'<line x1="{LEFT + 30}" y1="{8 + BOX_HEIGHT}" x2="{LEFT + 30}" y2="48"'
                    ' stroke="#111"/>')
    gate = "OR" if len(cut_sets) > 1 else "="
    box(LEFT + 10, 48, gate, "gate")
    bus_x = LEFT + 30
    last_y = 48 + BOX_HEIGHT
    for index, cut_set in enumerate(shown):
        y = TOP + index * ROW
        middle = y + BOX_HEIGHT / 2
        elements.append(f'<line x1="{bus_x}" y1="{middle}" x2="{bus_x + 30}" y2="{middle}"'
                        ' stroke="#111"/>')
        x = bus_x + 30
        if len(cut_set) > 1:
            x += box(x, y, "AND", "gate") + GAP
        for member in cut_set:
            left = x
            x += box(x, y, str(member), "component")
            if left > bus_x + 30:
                elements.append(f'<line x1="{left - GAP}" y1="{middle}" x2="{left}"'
                                f' y2="{middle}" stroke="#111"/>')
            x += GAP
        width = max(width, x + 10)
        last_y = middle
    elements.insert(0, f'<line x1="{bus_x}" y1="{48 + BOX_HEIGHT}" x2="{bus_x}" y2="{last_y}"'
                       ' stroke="#111" stroke-width="1.5"/>')
    height = TOP + len(shown) * ROW
    if len(cut_sets) > len(shown):
        elements.append(f'<text x="{LEFT}" y="{height + 8}" font-size="12" fill="#111">'
                        f"... and {len(cut_sets) - len(shown):,} more cut sets (listed by"
                        " tarvo check)</text>")
        height += 24
    summary = "; ".join(" and ".join(map(str, s)) for s in shown)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width:.0f} {height:.0f}"'
            f' role="img" aria-labelledby="{prefix}-title {prefix}-desc" class="diagram"'
            f' style="max-width:{width:.0f}px" font-family="sans-serif">'
            f'<title id="{prefix}-title">The system\'s logic: {len(cut_sets):,} minimal cut'
            f" sets</title><desc id=\"{prefix}-desc\">The system fails when any of these fails"
            f" together: {escape(summary)}</desc>{''.join(elements)}</svg>")
