"""The calendar's part of a results.json read back (validation.py): every field checked, with
one line naming the file and the field, and the figures that must agree compared."""

from __future__ import annotations

from dataclasses import replace

import numpy as np

from ..engine.calendar_outputs import PHASE_SUMS, REQUIRED_SUMS, CalendarFigures, PhaseSums
from ..engine.outputs import Distributions
from ..model.calendar import uses_calendar
from .calendar_measures import check, phase_facts
from .validation import Field, _distributions

_CALENDAR_KEYS = ("unplanned_counts", "unplanned", "phases", "required")
_PHASE_KEYS = ("sums", "steps_per_unit")
_UNPLANNED_MEASURES = ("mean_unavailability", "expected_downtime", "failure_frequency",
                       "reliability", "mean_down_time", "mean_up_time")
_PHASE_MEASURES = ("time_share", "mean_unavailability", "unplanned_unavailability",
                   "failures", "unplanned_failures")


def calendar_fields(root: Field, distributions: Distributions | None, model: dict,
                    histories: int, steps: int, horizon: int, total: int
                    ) -> tuple[Distributions | None, float]:
    """The distributions with their calendar figures, checked, and the mean unavailability
    results.json must give (over required time with a calendar)."""
    plain_mean = total / (steps * histories)
    if distributions is None or not uses_calendar(model):
        for name in ("unplanned", "phases", "required_share"):
            if not root.key(name, optional=True).missing:
                root.key(name).fail("a run without a calendar has no such figure")
        return distributions, plain_mean
    field = root.key("distributions").key("calendar")
    for name in field.table():
        if name not in _CALENDAR_KEYS:
            field.fail(f'unknown key "{str(name)[:60]}"')
    resolution = steps // horizon
    counts_field = field.key("unplanned_counts")
    counts = [f.integer(0, histories * resolution) for f in counts_field.items()]
    if len(counts) not in (0, horizon):
        counts_field.fail(f"expected {horizon:,} per-unit counts (or none, for a long horizon),"
                          f" got {len(counts):,}")
    unplanned_field = field.key("unplanned")
    unplanned_total = (sum(counts) if counts
                       else unplanned_field.key("sums").key("downtime").big_integer())
    unplanned = _distributions(unplanned_field, histories, steps, unplanned_total)
    count = len(phase_facts(model))
    phases = []
    for phase in field.key("phases").items(count, count):
        for name in phase.table():
            if name not in _PHASE_KEYS:
                phase.fail(f'unknown key "{str(name)[:60]}"')
        sums_field = phase.key("sums")
        for name in sums_field.table():
            if name not in PHASE_SUMS:
                sums_field.fail(f'unknown key "{str(name)[:60]}"')
        sums = {name: sums_field.key(name).big_integer() for name in PHASE_SUMS}
        units = [f.integer(0, histories * resolution) for f in phase.key("steps_per_unit").items()]
        phases.append(PhaseSums(sums, np.array(units, dtype=np.uint64)))
    required_field = field.key("required")
    for name in required_field.table():
        if name not in REQUIRED_SUMS:
            required_field.fail(f'unknown key "{str(name)[:60]}"')
    required = {name: required_field.key(name).big_integer() for name in REQUIRED_SUMS}
    figures = CalendarFigures(np.array(counts, dtype=np.uint64), unplanned, tuple(phases),
                              required)
    check(figures, model, histories, steps, horizon, total,
          lambda path, message: Field(field.source, None, f"{field.path}.{path}").fail(message))
    _measures(root, count)
    mean = total / required["required_steps_sum"] if required["required_steps_sum"] else 0.0
    return replace(distributions, calendar=figures), mean


def _measures(root: Field, phases: int) -> None:
    """The calendar's figures results.json repeats: well-formed intervals."""
    root.key("required_share").interval()
    unplanned = root.key("unplanned")
    for name in _UNPLANNED_MEASURES:
        unplanned.key(name).interval()
    for name in unplanned.key("downtime_quantiles").table():
        unplanned.key("downtime_quantiles").key(str(name)).interval()
    for row in root.key("phases").items(phases, phases):
        row.key("name").text(200)
        row.key("required").boolean()
        for name in _PHASE_MEASURES:
            row.key(name).interval()
