"""What a run with a calendar reports besides the usual figures, as data that adds across calls.

`tarvo.runnerCalendarStudy` returns runnerStudy's figures for all downtime counted in required
phases, and besides: the same figures for unplanned downtime only (planned states counted as
working), per phase its steps, failed steps (all, unplanned) and failures with exact sums over
histories and its steps per reported unit, and the required steps of the histories. They are kept
here (`CalendarFigures`) with the per-history distributions (outputs.py). Statistics are the data
layer's (data/calendar_measures.py).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

# Exact per-history sums the engine keeps for each phase, in this order.
PHASE_SUMS = ("steps_sum", "steps_sum_of_squares", "failed_sum", "failed_sum_of_squares",
              "unplanned_sum", "unplanned_sum_of_squares", "failures_sum",
              "failures_sum_of_squares", "unplanned_failures_sum",
              "unplanned_failures_sum_of_squares", "steps_times_failed_sum",
              "steps_times_unplanned_sum")
REQUIRED_SUMS = ("required_steps_sum", "required_steps_sum_of_squares",
                 "required_times_failed_sum", "required_times_unplanned_sum")


@dataclass(frozen=True, eq=False)
class PhaseSums:
    """One phase over the histories: exact sums (PHASE_SUMS) and the steps spent in it per
    reported unit."""

    sums: dict[str, int]
    steps_per_unit: np.ndarray  # uint64

    def __add__(self, other: "PhaseSums") -> "PhaseSums":
        return PhaseSums({k: self.sums[k] + other.sums[k] for k in PHASE_SUMS},
                         _added(self.steps_per_unit, other.steps_per_unit))

    def to_dict(self) -> dict:
        return {"sums": {k: str(v) for k, v in self.sums.items()},
                "steps_per_unit": [int(v) for v in self.steps_per_unit]}


@dataclass(frozen=True, eq=False)
class CalendarFigures:
    """Unplanned downtime (its per-unit counts and per-history distributions), the phases and
    the required time, over the histories of a run."""

    unplanned_counts: np.ndarray  # uint64, unplanned failed steps per unit, required phases
    unplanned: object  # Distributions of the unplanned downtime (outputs.py)
    phases: tuple[PhaseSums, ...]
    required: dict[str, int]  # REQUIRED_SUMS

    def __add__(self, other: "CalendarFigures") -> "CalendarFigures":
        if len(self.phases) != len(other.phases):
            raise ValueError("figures of different calendars do not add")
        return CalendarFigures(_added(self.unplanned_counts, other.unplanned_counts),
                               self.unplanned + other.unplanned,
                               tuple(a + b for a, b in zip(self.phases, other.phases)),
                               {k: self.required[k] + other.required[k] for k in REQUIRED_SUMS})

    def to_dict(self) -> dict:
        return {"unplanned_counts": [int(v) for v in self.unplanned_counts],
                "unplanned": self.unplanned.to_dict(),
                "phases": [p.to_dict() for p in self.phases],
                "required": {k: str(v) for k, v in self.required.items()}}

    @classmethod
    def from_dict(cls, data: dict, distributions: type) -> "CalendarFigures":
        """Raises KeyError, TypeError or ValueError for data that is not such figures; the
        sums are checked for what must hold between them (data/calendar_measures.py checks the
        rest)."""
        phases = tuple(PhaseSums({k: _count(p["sums"][k], k) for k in PHASE_SUMS},
                                 np.array([_count(v, "steps_per_unit") for v in
                                           p["steps_per_unit"]], dtype=np.uint64))
                       for p in data["phases"])
        return cls(np.array([_count(v, "unplanned_counts") for v in data["unplanned_counts"]],
                            dtype=np.uint64),
                   distributions.from_dict(data["unplanned"]), phases,
                   {k: _count(data["required"][k], k) for k in REQUIRED_SUMS})

    @classmethod
    def from_runner(cls, figures: dict, distributions: type) -> "CalendarFigures":
        """From the dict tarvo.runnerCalendarStudy returns."""
        unplanned = figures["unplanned"]
        return cls(np.asarray(unplanned["failed_steps_per_unit"], dtype=np.uint64),
                   distributions.from_runner(unplanned),
                   tuple(PhaseSums({k: int(p[k]) for k in PHASE_SUMS},
                                   np.asarray(p["steps_per_unit"], dtype=np.uint64))
                         for p in figures["phases"]),
                   {k: int(figures[k]) for k in REQUIRED_SUMS})


def _added(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Per-unit counts added; empty when either was left out (a long horizon's file)."""
    if len(first) == 0 or len(second) == 0:
        return np.zeros(0, dtype=np.uint64)
    return first + second


def _count(value: object, name: str) -> int:
    """A count read back: a whole number of at least 0 (as int or decimal text)."""
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise ValueError(f"{name}: expected a whole number, got {value!r}")
    number = int(value)
    if number < 0:
        raise ValueError(f"{name}: expected a count of at least 0, got {number}")
    return number
