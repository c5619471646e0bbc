"""A sensitivity sweep's results: one result per value of a parameter, all on the same seeds.

Every value runs on the same seeds in the same sub-batches. The engine draws one number for every
law it consults, whatever the law's parameters, so the values' histories stay strongly correlated
and the paired differences of their sub-batch means vary far less than those of independent runs:
the difference against the first value gets its interval by batch means over the paired
sub-batches.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence

import numpy as np

from ..model.variants import Sweep, value_text
from . import stats
from .logistics import figures_of
from .files import atomic_write_text, csv_field, json_text
from .result import Result, interval_dict, paired_batch_means


@dataclass(frozen=True)
class SweepResult:
    """One result per value, all on the same seeds and sub-batches."""

    sweep: Sweep
    results: tuple[Result, ...]
    seconds: float

    @property
    def reference(self) -> Result:
        return self.results[0]

    @property
    def histories(self) -> int:
        return self.reference.histories

    @property
    def seeded(self) -> bool:
        return all(r.seeded for r in self.results)

    @property
    def same_horizon(self) -> bool:
        return len({r.horizon for r in self.results}) == 1

    def means(self) -> list[stats.Interval]:
        return [r.mean() for r in self.results]

    def difference(self, index: int) -> stats.Interval:
        """Mean unavailability of value `index` minus the first value's, by batch means over
        the paired sub-batches."""
        differences = (paired_batch_means(self.reference, self.results[index])
                       - self.reference.batch_means())
        sizes = [b.histories for b in self.reference.batches]
        return stats.batch_means(sizes, differences, bounds=(-1.0, 1.0))

    def independent_difference(self, index: int) -> stats.Interval:
        """The interval the same difference would have from independent seeds (normal)."""
        difference = self.difference(index)
        error = self.independent_standard_error(index)
        half = stats.normal_quantile(0.5 + stats.CONFIDENCE / 2) * error
        return stats.Interval(difference.estimate, difference.estimate - half,
                              difference.estimate + half, error)

    def independent_standard_error(self, index: int) -> float:
        """The standard error the same difference would have from independent seeds."""
        return math.hypot(self.results[index].mean().standard_error,
                          self.reference.mean().standard_error)

    # --- Costs (models with costs) -----------------------------------------------------------

    @property
    def has_costs(self) -> bool:
        return all(figures_of(r) is not None and all(b.cost is not None for b in r.batches)
                   for r in self.results)

    def costs(self) -> list[stats.Interval]:
        """The expected total cost over the horizon of each value."""
        return [figures_of(r).costs()["total"] for r in self.results]

    def cheapest(self) -> int:
        return int(np.argmin([c.estimate for c in self.costs()]))

    def cost_difference(self, index: int, other: int) -> stats.Interval:
        """Expected cost of value `index` minus that of value `other`, by batch means over the
        paired sub-batches."""
        def per_batch(result: Result) -> np.ndarray:
            by_seed = {b.first_seed: b for b in result.batches}
            return np.array([by_seed[b.first_seed].cost / b.histories
                             for b in self.reference.batches])

        differences = per_batch(self.results[index]) - per_batch(self.results[other])
        sizes = [b.histories for b in self.reference.batches]
        return stats.batch_means(sizes, differences, bounds=(-math.inf, math.inf))

    def next_cheapest(self) -> int | None:
        """The value whose cost comes next after the cheapest one's; None for a single value."""
        order = np.argsort([c.estimate for c in self.costs()], kind="stable")
        return int(order[1]) if len(order) > 1 else None

    # --- Files ---------------------------------------------------------------------------

    def to_dict(self) -> dict:
        return {
            "parameter": self.sweep.parameter,
            "model": self.reference.model,
            "histories": self.histories,
            "seeds": [list(r) for r in self.reference.seed_ranges()],
            "seeded": self.seeded,
            "runs": len(self.results),
            "seconds": self.seconds,
            "values": [{"value": value, "mean_unavailability": interval_dict(result.mean()),
                        "expected_downtime": interval_dict(result.downtime()),
                        "difference": interval_dict(self.difference(index)),
                        "independent_standard_error": self.independent_standard_error(index),
                        **({"cost": interval_dict(self.costs()[index])} if self.has_costs
                           else {}),
                        "batches": [vars(b) for b in result.batches],
                        # What `tarvo plot` and `tarvo report` rebuild the value's run from.
                        "model": result.model,
                        "distributions": (result.distributions.to_dict()
                                          if result.distributions is not None else None),
                        "unavailability": result.unavailability.tolist()}
                       for index, (value, result) in enumerate(zip(self.sweep.values,
                                                                   self.results))],
        }

    def to_json(self, path: str | Path) -> None:
        atomic_write_text(Path(path), json_text(self.to_dict()))

    def to_csv(self, path: str | Path, progress=None) -> None:
        """One line per value: its mean unavailability and the paired difference."""
        header = ["value", "mean", "mean_low_95", "mean_high_95", "difference",
                  "difference_low_95", "difference_high_95", "independent_standard_error"]
        lines = [",".join(header)]
        for index, value in enumerate(self.sweep.values):
            mean, difference = self.results[index].mean(), self.difference(index)
            figures = [mean.estimate, mean.low, mean.high, difference.estimate, difference.low,
                       difference.high, self.independent_standard_error(index)]
            lines.append(",".join([csv_field(value_text(value)),
                                   *(f"{v:.9g}" for v in figures)]))
        atomic_write_text(Path(path), "\n".join(lines) + "\n")


def numeric_values(values: Sequence[Any]) -> np.ndarray | None:
    """The values as numbers, when all are numbers (for a numeric axis)."""
    if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
        return np.asarray(values, dtype=float)
    return None
