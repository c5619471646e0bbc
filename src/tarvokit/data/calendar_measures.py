"""The figures of a run with a calendar, from the exact sums the engine keeps (engine/
calendar_outputs.py), with N independent histories:

- the required share: the mean over histories of the fraction of the horizon spent in required
  phases (Student's t from the exact sum of squares);
- the mean unavailability over required time: the total downtime in required phases over the
  total required time, a ratio of two per-history sums whose interval comes from the delta
  method (data/measures.py's ratio_of_sums); with every phase required it is today's mean;
- the same measures as a run's main ones (data/measures.py) for unplanned downtime only, planned
  states counted as working ("inherent" against the main figures' "achieved" availability);
- per phase: its share of the horizon, its mean unavailability (downtime in the phase's own
  logic over the time in the phase, required or not; all and unplanned) by the delta method, and
  its system failures per history (counted when they happen in the phase).
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Callable, NoReturn

import numpy as np

from ..engine.calendar_outputs import CalendarFigures
from ..engine.outputs import Distributions
from ..model.calendar import WHOLE_STUDY
from . import stats
from .measures import Measures, mean_of, measures, ratio_of_sums


@dataclass(frozen=True)
class PhaseRow:
    name: str
    required: bool
    time_share: stats.Interval  # of the horizon
    unavailability: stats.Interval  # all downtime, in the phase's logic
    unplanned_unavailability: stats.Interval
    failures: stats.Interval  # system failures begun in the phase, per history
    unplanned_failures: stats.Interval


@dataclass(frozen=True)
class CalendarMeasures:
    required_share: stats.Interval
    unplanned: Measures  # its mean unavailability over required time
    expected_unplanned_downtime: stats.Interval  # time units per history
    phases: tuple[PhaseRow, ...]


def phase_facts(model: dict) -> list[tuple[str, bool]]:
    """The phases of a description in the engine's order, with their required flags."""
    table = model.get("phases")
    if table is None:
        return [(WHOLE_STUDY, True)]
    return [(name, bool(entry["required"])) for name, entry in table.items()
            if name != "sequence"]


def over_required(failed: int, failed_squares: int, figures: CalendarFigures, products: int,
                  histories: int, confidence: float = stats.CONFIDENCE) -> stats.Interval:
    """Downtime in required phases over required time, by the delta method."""
    required = figures.required
    return ratio_of_sums(failed, required["required_steps_sum"], failed_squares,
                         required["required_steps_sum_of_squares"], products, histories,
                         confidence)


def with_required_mean(found: Measures, distributions: Distributions, histories: int,
                       confidence: float = stats.CONFIDENCE) -> Measures:
    """The main measures with the mean unavailability taken over required time."""
    figures = distributions.calendar
    assert figures is not None
    sums = distributions.sums
    return replace(found, mean_unavailability=over_required(
        sums.downtime, sums.downtime_squares, figures,
        figures.required["required_times_failed_sum"], histories, confidence))


def expected_downtime(distributions: Distributions, histories: int, resolution: int,
                      confidence: float = stats.CONFIDENCE) -> stats.Interval:
    """A history's downtime in required phases, in time units."""
    sums = distributions.sums
    return mean_of(sums.downtime, sums.downtime_squares, histories, 1.0 / resolution,
                   confidence)


def calendar_measures(distributions: Distributions, histories: int, steps: int, resolution: int,
                      model: dict, confidence: float = stats.CONFIDENCE) -> CalendarMeasures:
    figures = distributions.calendar
    assert figures is not None
    required = figures.required
    share = mean_of(required["required_steps_sum"], required["required_steps_sum_of_squares"],
                    histories, 1.0 / steps, confidence, upper=1.0)
    unplanned = figures.unplanned
    found = measures(unplanned, histories, steps, resolution, confidence)
    found = replace(found, mean_unavailability=over_required(
        unplanned.sums.downtime, unplanned.sums.downtime_squares, figures,
        required["required_times_unplanned_sum"], histories, confidence))
    rows = []
    for (name, is_required), phase in zip(phase_facts(model), figures.phases):
        s = phase.sums

        def per_history(key: str) -> stats.Interval:
            return mean_of(s[f"{key}_sum"], s[f"{key}_sum_of_squares"], histories, 1.0,
                           confidence)

        def unavailability(key: str) -> stats.Interval:
            return ratio_of_sums(s[f"{key}_sum"], s["steps_sum"], s[f"{key}_sum_of_squares"],
                                 s["steps_sum_of_squares"], s[f"steps_times_{key}_sum"],
                                 histories, confidence)

        rows.append(PhaseRow(name, is_required,
                             mean_of(s["steps_sum"], s["steps_sum_of_squares"], histories,
                                     1.0 / steps, confidence, upper=1.0),
                             unavailability("failed"), unavailability("unplanned"),
                             per_history("failures"), per_history("unplanned_failures")))
    return CalendarMeasures(share, found,
                            expected_downtime(unplanned, histories, resolution, confidence),
                            tuple(rows))


def without_units(calendar: dict) -> None:
    """The per-unit arrays of a long horizon left out of results.json (as the main curve's
    are): the plot then shades no phase; every figure stays."""
    calendar["unplanned_counts"] = []
    for phase in calendar["phases"]:
        phase["steps_per_unit"] = []


def phase_shares(figures: CalendarFigures, histories: int, resolution: int) -> np.ndarray:
    """Per phase and time unit: the share of histories' time spent in the phase."""
    return np.array([p.steps_per_unit / float(histories * resolution) for p in figures.phases])


def check(figures: CalendarFigures, model: dict, histories: int, steps: int, horizon: int,
          all_downtime: int, fail: Callable[[str, str], NoReturn]) -> None:
    """`fail(path, message)` (path relative to the calendar's figures) when the figures read
    back cannot be those of the run: the phases of the model, per-unit arrays of the horizon,
    sums that must agree."""
    if len(figures.phases) != len(phase_facts(model)):
        fail("phases", f"{len(figures.phases)} phases for a model of {len(phase_facts(model))}")
    if len(figures.unplanned_counts) not in (0, horizon):
        fail("unplanned_counts", f"{len(figures.unplanned_counts)} per-unit counts for a horizon"
                                 f" of {horizon}")
    unplanned_counts = int(figures.unplanned_counts.sum(dtype=np.uint64))
    if len(figures.unplanned_counts) and unplanned_counts != figures.unplanned.sums.downtime:
        fail("unplanned_counts", "do not add up to the unplanned downtime")
    total = 0
    for index, phase in enumerate(figures.phases):
        s = phase.sums
        at = f"phases[{index}]"
        if len(phase.steps_per_unit) not in (0, horizon):
            fail(f"{at}.steps_per_unit", "not one count per time unit")
        if (len(phase.steps_per_unit)
                and int(phase.steps_per_unit.sum(dtype=np.uint64)) != s["steps_sum"]):
            fail(f"{at}.steps_per_unit", "does not add up to its steps_sum")
        for key in ("failed_sum", "unplanned_sum"):
            if s[key] > s["steps_sum"]:
                fail(f"{at}.sums.{key}", "more failed steps than steps in the phase")
        if s["unplanned_sum"] > s["failed_sum"]:
            fail(f"{at}.sums.unplanned_sum", "more unplanned downtime than downtime")
        total += s["steps_sum"]
    if total != histories * steps:
        fail("phases", f"the phases' steps add up to {total:,}, not the {histories * steps:,}"
                       f" steps of {histories:,} histories")
    required = figures.required["required_steps_sum"]
    if required > histories * steps:
        fail("required.required_steps_sum", "more than the histories' steps")
    unplanned = figures.unplanned.sums.downtime
    if unplanned > all_downtime or all_downtime > required:
        fail("unplanned", f"unplanned downtime {unplanned:,} steps, all downtime"
                          f" {all_downtime:,} and required time {required:,} must come in that"
                          " order")
