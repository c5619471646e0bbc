"""A study's result: data first, then views.

The data are the engine's counts (failed histories per engine step, uint32, summed modulo 2^32
as the engine sums them), one record per independent sub-batch (its seeds, histories, failed
steps and runner time) and how the run went. Results of the same model merge by adding counts and
joining the sub-batch lists.

Views, in time units of the study:
- the unavailability of time unit u: the mean over histories of the fraction of the unit the
  system was failed, i.e. the unit's failed steps / (resolution x histories). Its 95% band is a
  Wilson interval with n = histories, conservative because a fraction in [0, 1] with mean m has
  a variance of at most m (1 - m);
- the mean unavailability over the horizon, by batch means over the sub-batches (Student's t);
- the expected downtime: that mean times the horizon.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Sequence

import numpy as np

from . import stats
from .output import atomic_path, atomic_write_text


@dataclass(frozen=True)
class Batch:
    """One independent sub-batch: histories first_seed .. first_seed + histories - 1."""

    first_seed: int
    histories: int
    failed_steps: int  # failed engine steps summed over its histories
    seconds: float  # runner time


@dataclass(frozen=True)
class Result:
    model: dict  # the model's description (plain data)
    counts: np.ndarray  # uint32 per engine step
    batches: tuple[Batch, ...]
    seconds: float  # wall-clock time of the whole run
    threads: int | None  # worker threads per runner call
    seeded: bool  # False when Maintenance laws made the draws depend on the process
    precision: float | None = None  # the target relative half-width, if any
    precision_met: bool | None = None
    interrupted: bool = False
    cut_sets: tuple[tuple[int | str, ...], ...] | None = field(default=None)  # logic override

    # --- Facts of the study ----------------------------------------------------------------

    @property
    def name(self) -> str:
        return str(self.model["study"]["name"])

    @property
    def time_unit(self) -> str:
        return str(self.model["study"]["time_unit"])

    @property
    def horizon(self) -> int:
        return int(self.model["study"]["horizon"])

    @property
    def resolution(self) -> int:
        return int(self.model["study"]["resolution"])

    @property
    def histories(self) -> int:
        return sum(b.histories for b in self.batches)

    @property
    def histories_per_second(self) -> float:
        return self.histories / self.seconds if self.seconds > 0 else math.inf

    def seed_ranges(self) -> list[tuple[int, int]]:
        """The seeds used, as inclusive (first, last) ranges, contiguous ones joined."""
        ranges: list[tuple[int, int]] = []
        for b in sorted(self.batches, key=lambda b: b.first_seed):
            last = b.first_seed + b.histories - 1
            if ranges and ranges[-1][1] + 1 == b.first_seed:
                ranges[-1] = (ranges[-1][0], last)
            else:
                ranges.append((b.first_seed, last))
        return ranges

    def seeds_text(self) -> str:
        return ", ".join(f"{a}..{b}" for a, b in self.seed_ranges())

    # --- Views -----------------------------------------------------------------------------

    @property
    def failed_steps_per_unit(self) -> np.ndarray:
        return self.counts.astype(np.uint64).reshape(self.horizon, self.resolution).sum(axis=1)

    @property
    def unavailability(self) -> np.ndarray:
        """Per time unit: the mean fraction of the unit the system was failed."""
        return self.failed_steps_per_unit / (self.resolution * self.histories)

    def band(self, confidence: float = stats.CONFIDENCE) -> tuple[np.ndarray, np.ndarray]:
        """Pointwise Wilson interval of every time unit's unavailability (n = histories)."""
        return stats.wilson_bounds(self.unavailability, self.histories, confidence)

    def at(self, unit: int, confidence: float = stats.CONFIDENCE) -> stats.Interval:
        return stats.wilson_interval(float(self.unavailability[unit]), self.histories, confidence)

    def mean(self, confidence: float = stats.CONFIDENCE) -> stats.Interval:
        """Mean unavailability over the horizon, by batch means over the sub-batches."""
        steps = self.horizon * self.resolution
        return stats.batch_means([b.histories for b in self.batches],
                                 [b.failed_steps / (b.histories * steps) for b in self.batches],
                                 confidence)

    def downtime(self, confidence: float = stats.CONFIDENCE) -> stats.Interval:
        """Expected failed time over the horizon, in time units."""
        return self.mean(confidence).scaled(self.horizon)

    def merge(self, other: "Result") -> "Result":
        """Both results' histories together; the same model, disjoint seeds expected."""
        if other.model != self.model or other.cut_sets != self.cut_sets:
            raise ValueError("only results of the same model and logic merge")
        return replace(self, counts=self.counts + other.counts,
                       batches=self.batches + other.batches,
                       seconds=self.seconds + other.seconds,
                       interrupted=self.interrupted or other.interrupted)

    # --- Reports and files -----------------------------------------------------------------

    def summary(self) -> str:
        from .report import summary

        return summary(self)

    def to_dict(self) -> dict:
        mean, downtime = self.mean(), self.downtime()
        low, high = self.band()
        return {
            "model": self.model,
            "histories": self.histories,
            "seeds": [list(r) for r in self.seed_ranges()],
            "seeded": self.seeded,
            "threads": self.threads,
            "seconds": self.seconds,
            "histories_per_second": self.histories_per_second,
            "precision": self.precision,
            "precision_met": self.precision_met,
            "interrupted": self.interrupted,
            "mean_unavailability": _interval_dict(mean),
            "expected_downtime": _interval_dict(downtime),
            "batches": [vars(b) for b in self.batches],
            "unavailability": self.unavailability.tolist(),
            "band_low": low.tolist(),
            "band_high": high.tolist(),
            "failed_steps_per_unit": self.failed_steps_per_unit.tolist(),
        }

    def to_json(self, path: str | Path) -> None:
        atomic_write_text(Path(path), json.dumps(self.to_dict(), indent=1) + "\n")

    def to_csv(self, path: str | Path) -> None:
        """One line per time unit: its start and end, unavailability and 95% band."""
        low, high = self.band()
        unit = self.time_unit
        lines = [f"start_{unit},end_{unit},unavailability,low_95,high_95"]
        lines += [f"{u},{u + 1},{p:.9g},{a:.9g},{b:.9g}"
                  for u, (p, a, b) in enumerate(zip(self.unavailability, low, high))]
        atomic_write_text(Path(path), "\n".join(lines) + "\n")

    def plot(self, path: str | Path) -> None:
        from .plotting import plot_result

        with atomic_path(Path(path)) as temporary:
            plot_result(self, temporary)


def _interval_dict(interval: stats.Interval) -> dict:
    return {"estimate": interval.estimate, "low": interval.low, "high": interval.high,
            "standard_error": interval.standard_error}


def combine(results: Sequence[Result]) -> Result:
    merged = results[0]
    for result in results[1:]:
        merged = merged.merge(result)
    return merged
