"""The phases of a run with a calendar, shaded behind its curves.

For each phase but the first of the model, the share of histories that are in it during each
time unit is drawn as a band from the bottom of the axes up to that share (stacked on the
previous phases' bands; the first phase is left clear): a calendar
of fixed durations is the same in every history, so its phases fill the whole height where
they are; with random durations the bands show how the histories spread over the phases.
"""

from __future__ import annotations

import numpy as np

from ..data.calendar_measures import phase_facts, phase_shares
from ..data.measures import reliability_curve
from ..data.result import Result

_COLOURS = ("tab:gray", "tab:orange", "tab:olive", "tab:cyan", "tab:pink", "tab:brown")
# Each phase's shade is hatched too: a light shade prints as about the grey of a curve's band.
_HATCHES = ("//", "\\\\", "..", "xx", "++", "oo")


def shade_phases(axes, result: Result, stop: int, edges: np.ndarray) -> None:
    """Shades the phases over time units 0 .. stop - 1, per bin of `edges`."""
    from matplotlib.colors import to_rgba

    figures = None if result.distributions is None else result.distributions.calendar
    if figures is None or len(figures.phases) < 2 or not len(figures.phases[0].steps_per_unit):
        return  # one phase, or a long horizon read back without its per-unit arrays
    shares = phase_shares(figures, result.histories, result.resolution)[:, :stop]
    widths = np.diff(edges)
    per_bin = np.array([np.add.reduceat(s, edges[:-1]) / widths for s in shares])
    bottom = np.zeros(len(widths))
    transform = axes.get_xaxis_transform()  # x in data, y in axes fraction
    for index, (name, required) in enumerate(phase_facts(result.model)):
        if index == 0:
            continue
        top = bottom + per_bin[index]
        note = "" if required else ", not required"
        colour = to_rgba(_COLOURS[(index - 1) % len(_COLOURS)])
        axes.fill_between(edges, np.append(bottom, bottom[-1]), np.append(top, top[-1]),
                          step="post", transform=transform, linewidth=0,
                          facecolor=colour[:3] + (0.18,), edgecolor=colour[:3] + (0.45,),
                          hatch=_HATCHES[(index - 1) % len(_HATCHES)],
                          label=f"phase {name}{note} (share of histories in it)")
        bottom = top


def draw_unplanned_reliability(axes, result: Result, edges: np.ndarray) -> None:
    """Beside the reliability, the chance of no unplanned system failure yet (a run with
    planned states), per bin of `edges`, with its band."""
    figures = None if result.distributions is None else result.distributions.calendar
    if figures is None or figures.unplanned.sums == result.distributions.sums:
        return
    share, low, high = reliability_curve(figures.unplanned, result.histories, result.horizon,
                                         result.resolution, units=edges[1:] - 1)
    axes.fill_between(edges, np.append(low, low[-1]), np.append(high, high[-1]), step="post",
                      color="tab:orange", alpha=0.3, linewidth=0)
    axes.step(edges, np.append(share, share[-1]), where="post", color="tab:orange",
              linewidth=1.0, label="no unplanned failure yet")
    axes.legend(loc="lower left", fontsize=7, framealpha=0.8)
