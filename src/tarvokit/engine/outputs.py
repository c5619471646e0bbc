"""What a runner call reports besides the curve, as data that adds across calls and machines.

Over the histories of a call the engine counts the distribution of three per-history values
(`Histogram`): the failed engine steps of a history, its number of system failures (entries into
the failed state; a history that starts failed counts one) and the step of its first system
failure, for those that failed. With them come exact sums (`Sums`). The statistics drawn from
them are the data layer's (data/measures.py).
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .calendar_outputs import CalendarFigures
from .logistics import LogisticsSums


@dataclass(frozen=True, eq=False)
class Histogram:
    """Counts of histories per value. Bin i < `exact` holds value i; beyond, bin i holds the
    values [exact + (i - exact) * width, exact + (i - exact + 1) * width). Trailing bins that
    would be empty may be left out."""

    counts: np.ndarray  # uint64
    exact: int
    width: int = 1

    @classmethod
    def empty(cls, exact: int, width: int = 1) -> "Histogram":
        return cls(np.zeros(0, dtype=np.uint64), exact, width)

    def __add__(self, other: "Histogram") -> "Histogram":
        if (self.exact, self.width) != (other.exact, other.width):
            raise ValueError("histograms of different bins do not add")
        longer, shorter = sorted((self.counts, other.counts), key=len, reverse=True)
        total = longer.copy()
        total[:len(shorter)] += shorter
        return Histogram(total, self.exact, self.width)

    @property
    def total(self) -> int:
        return int(self.counts.sum(dtype=np.uint64))

    def lower_edge(self, index: int | np.ndarray) -> np.ndarray | int:
        """The smallest value of bin `index`."""
        index = np.asarray(index)
        beyond = self.exact + (index - self.exact) * self.width
        edge = np.where(index < self.exact, index, beyond)
        return int(edge) if edge.ndim == 0 else edge

    def value_at_rank(self, rank: int) -> int:
        """The value of the history of rank `rank` (1-based) in increasing order: exact in the
        bins of one step, the lower edge of its bin beyond."""
        cumulative = np.cumsum(self.counts, dtype=np.uint64)
        index = int(np.searchsorted(cumulative, rank, side="left"))
        return int(self.lower_edge(index))

    def count_below(self, value: int) -> int:
        """Histories whose value is below `value` (exact where bins have one step; a bin is
        counted when its lower edge is below)."""
        if len(self.counts) == 0:
            return 0
        edges = self.lower_edge(np.arange(len(self.counts)))
        return int(self.counts[edges < value].sum(dtype=np.uint64))

    def to_dict(self) -> dict:
        """Sparse: [value bin, count] pairs for the bins that hold histories."""
        held = np.flatnonzero(self.counts)
        return {"exact": self.exact, "width": self.width,
                "bins": list(map(list, zip(held.tolist(), self.counts[held].tolist())))}

    @classmethod
    def from_dict(cls, data: dict) -> "Histogram":
        bins = data["bins"]
        size = (max(i for i, _ in bins) + 1) if bins else 0
        counts = np.zeros(size, dtype=np.uint64)
        for index, count in bins:
            counts[int(index)] = int(count)
        return cls(counts, int(data["exact"]), int(data["width"]))


@dataclass(frozen=True)
class Sums:
    """Exact sums over histories (Python ints: 10^9 histories of 10^6 failed steps squared
    exceed 64 bits). d: failed steps of a history, f: its system failures."""

    downtime: int = 0
    downtime_squares: int = 0
    failures: int = 0
    failures_squares: int = 0
    downtime_failures: int = 0

    def __add__(self, other: "Sums") -> "Sums":
        return Sums(*(a + b for a, b in zip(self.astuple(), other.astuple())))

    def astuple(self) -> tuple[int, ...]:
        return (self.downtime, self.downtime_squares, self.failures, self.failures_squares,
                self.downtime_failures)

    def to_dict(self) -> dict:
        # Strings: JSON readers other than Python's lose integers beyond 2^53.
        return {name: str(value) for name, value in vars(self).items()}

    @classmethod
    def from_dict(cls, data: dict) -> "Sums":
        return cls(**{name: int(value) for name, value in data.items()})


@dataclass(frozen=True, eq=False)
class Distributions:
    """What the engine reports about the histories of a run besides the curve."""

    downtime: Histogram  # failed steps per history
    failures: Histogram  # system failures per history
    first_failure: Histogram  # step of the first system failure, for histories with one
    never_failed: int  # histories without a system failure
    sums: Sums = field(default_factory=Sums)
    calendar: CalendarFigures | None = None  # a run with a calendar (calendar_outputs.py)
    production: "ProductionCounts | None" = None  # of a model with capacities
    logistics: LogisticsSums | None = None  # models with logistics (logistics.py)

    def __add__(self, other: "Distributions") -> "Distributions":
        def added(mine, theirs):
            return mine + theirs if mine is not None and theirs is not None else None
        logistics = (self.logistics + other.logistics
                     if self.logistics is not None and other.logistics is not None
                     else self.logistics or other.logistics)
        return Distributions(self.downtime + other.downtime, self.failures + other.failures,
                             self.first_failure + other.first_failure,
                             self.never_failed + other.never_failed, self.sums + other.sums,
                             added(self.calendar, other.calendar),
                             added(self.production, other.production), logistics)

    def to_dict(self) -> dict:
        data = {"downtime": self.downtime.to_dict(), "failures": self.failures.to_dict(),
                "first_failure": self.first_failure.to_dict(),
                "never_failed": self.never_failed, "sums": self.sums.to_dict()}
        if self.calendar is not None:
            data["calendar"] = self.calendar.to_dict()
        if self.production is not None:
            data["production"] = self.production.to_dict()
        if self.logistics is not None:
            data["logistics"] = self.logistics.to_dict()
        return data

    @classmethod
    def from_dict(cls, data: dict) -> "Distributions":
        calendar = (CalendarFigures.from_dict(data["calendar"], cls)
                    if data.get("calendar") is not None else None)
        production = data.get("production")
        return cls(Histogram.from_dict(data["downtime"]), Histogram.from_dict(data["failures"]),
                   Histogram.from_dict(data["first_failure"]), int(data["never_failed"]),
                   Sums.from_dict(data["sums"]), calendar,
                   ProductionCounts.from_dict(production) if production is not None else None,
                   LogisticsSums.from_dict(data["logistics"]) if "logistics" in data else None)

    @classmethod
    def from_runner(cls, figures: dict) -> "Distributions":
        """From the dict tarvo.runnerStudy returns."""
        exact, width = int(figures["exact_bins"]), int(figures["bin_width"])
        return cls(Histogram(figures["failed_steps_histogram"], exact, width),
                   Histogram(figures["failures_histogram"], exact, width),
                   Histogram(figures["first_failure_histogram"], exact, width),
                   int(figures["histories_without_failure"]),
                   Sums(int(figures["failed_steps_sum"]),
                        int(figures["failed_steps_sum_of_squares"]),
                        int(figures["failures_sum"]), int(figures["failures_sum_of_squares"]),
                        int(figures["failed_steps_times_failures_sum"])),
                   CalendarFigures.from_runner(figures, cls) if "phases" in figures else None,
                   ProductionCounts.from_runner(figures["production"])
                   if "production" in figures else None,
                   LogisticsSums.from_runner(figures["logistics"])
                   if "logistics" in figures else None)


@dataclass(frozen=True, eq=False)
class ProductionCounts:
    """What a runner call reports of a capacity (engine/capacity.py), in quanta x engine steps:
    lost production per time unit summed over histories, its distribution over histories with
    exact sums, and the engine steps at each capacity level summed over histories with the sums
    of their squares. The data layer turns them into measures (data/production.py)."""

    lost_per_unit: np.ndarray  # uint64
    lost: Histogram
    lost_sum: int = 0
    lost_squares: int = 0
    level_steps: tuple[int, ...] = ()
    level_squares: tuple[int, ...] = ()
    # A calendar's run: the production demanded per time unit and in all, summed over
    # histories (the demand changes with the phases); None when it is the system's throughout.
    demanded_per_unit: np.ndarray | None = None
    demanded_sum: int | None = None

    def __add__(self, other: "ProductionCounts") -> "ProductionCounts":
        if len(self.level_steps) != len(other.level_steps):
            raise ValueError("production counts of different levels do not add")
        if (self.demanded_sum is None) != (other.demanded_sum is None):
            raise ValueError("production counts with and without phases do not add")
        phased = self.demanded_sum is not None
        return ProductionCounts(self.lost_per_unit + other.lost_per_unit, self.lost + other.lost,
                                self.lost_sum + other.lost_sum,
                                self.lost_squares + other.lost_squares,
                                tuple(a + b for a, b in zip(self.level_steps, other.level_steps)),
                                tuple(a + b for a, b in zip(self.level_squares,
                                                            other.level_squares)),
                                self.demanded_per_unit + other.demanded_per_unit
                                if phased else None,
                                self.demanded_sum + other.demanded_sum if phased else None)

    def to_dict(self) -> dict:
        # Strings for the exact sums: JSON readers other than Python's lose integers past 2^53.
        data = {"lost_per_unit": [int(v) for v in self.lost_per_unit],
                "lost": self.lost.to_dict(), "lost_sum": str(self.lost_sum),
                "lost_squares": str(self.lost_squares),
                "level_steps": [str(v) for v in self.level_steps],
                "level_squares": [str(v) for v in self.level_squares]}
        if self.demanded_sum is not None:
            data["demanded_per_unit"] = [int(v) for v in self.demanded_per_unit]
            data["demanded_sum"] = str(self.demanded_sum)
        return data

    @classmethod
    def from_dict(cls, data: dict) -> "ProductionCounts":
        phased = "demanded_sum" in data
        return cls(np.array([int(v) for v in data["lost_per_unit"]], dtype=np.uint64),
                   Histogram.from_dict(data["lost"]), int(data["lost_sum"]),
                   int(data["lost_squares"]), tuple(int(v) for v in data["level_steps"]),
                   tuple(int(v) for v in data["level_squares"]),
                   np.array([int(v) for v in data["demanded_per_unit"]], dtype=np.uint64)
                   if phased else None,
                   int(data["demanded_sum"]) if phased else None)

    @classmethod
    def from_runner(cls, figures: dict) -> "ProductionCounts":
        """From the "production" dict of tarvo.runnerStudy."""
        return cls(np.asarray(figures["lost_per_unit"], dtype=np.uint64),
                   Histogram(np.asarray(figures["lost_histogram"], dtype=np.uint64),
                             int(figures["exact_bins"]), int(figures["bin_width"])),
                   int(figures["lost_sum"]), int(figures["lost_sum_of_squares"]),
                   tuple(int(v) for v in figures["level_steps"]),
                   tuple(int(v) for v in figures["level_steps_sum_of_squares"]),
                   np.asarray(figures["demanded_per_unit"], dtype=np.uint64)
                   if "demanded_sum" in figures else None,
                   int(figures["demanded_sum"]) if "demanded_sum" in figures else None)
