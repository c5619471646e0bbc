"""The exact answer of a Markov model as a result: the same report keys, CSV columns and plot as
a simulated run, every interval collapsed onto its exact value (low = high = estimate).

A history's downtime has no distribution here (its quantiles are null in results.json): the chain
gives means and probabilities, not the spread of the time spent failed.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..engine.markov import MarkovAnswer
from .files import atomic_write_text, csv_field, json_text, write_csv
from .production import Production, exact_production
from .result import CURVE_FILE, JSON_UNITS_LIMIT, StudyFacts, interval_dict
from .stats import Interval


def exact(value: float) -> Interval:
    return Interval(value, value, value, 0.0)


@dataclass(frozen=True)
class MarkovResult(StudyFacts):
    model: dict  # the model's description
    answer: MarkovAnswer
    seconds: float
    model_path: str | None = None
    created: str | None = None
    version: str | None = None

    @property
    def unavailability(self) -> np.ndarray:
        return self.answer.unavailability

    def band(self) -> tuple[np.ndarray, np.ndarray]:
        return self.answer.unavailability, self.answer.unavailability

    def mean(self) -> Interval:
        return exact(self.answer.mean_unavailability)

    def downtime(self) -> Interval:
        return exact(self.answer.expected_downtime)

    def measures_dict(self) -> dict:
        a = self.answer
        return {
            "mean_unavailability": interval_dict(exact(a.mean_unavailability)),
            "expected_downtime": interval_dict(exact(a.expected_downtime)),
            "failure_frequency": interval_dict(exact(a.failure_frequency)),
            "reliability": interval_dict(exact(a.reliability_over_horizon)),
            "mean_down_time": interval_dict(exact(a.mean_down_time)),
            "mean_up_time": interval_dict(exact(a.mean_up_time)),
            "downtime_quantiles": None,
        }

    def to_dict(self) -> dict:
        a = self.answer
        return {
            "id": self.id, "version": self.version, "created": self.created,
            "model_path": self.model_path, "model": self.model, "method": "markov",
            "states": a.states, "seconds": self.seconds,
            "histories": None, "seeds": None, "interrupted": False,
            **self.measures_dict(),
            "mean_time_to_failure": _finite_or_none(a.mean_time_to_failure),
            "steady_state": {"unavailability": a.steady_unavailability,
                             "failure_frequency": a.steady_failure_frequency},
            **({"unavailability": a.unavailability.tolist(),
                "failures_per_unit": a.failures_per_unit.tolist(),
                "reliability_per_unit": a.reliability.tolist()}
               if self.horizon <= JSON_UNITS_LIMIT else
               {"per_unit": f"in {CURVE_FILE}: more than {JSON_UNITS_LIMIT:,} time units"}),
            **({} if a.production is None else {"production": {
                **self.production().to_dict(interval_dict), "lost_quantiles": None,
                "steady_production_availability": a.production.steady_availability,
                **({"delivered_per_unit": a.production.delivered.tolist()}
                   if self.horizon <= JSON_UNITS_LIMIT else {})}}),
        }

    def production(self) -> Production | None:
        a = self.answer
        return None if a.production is None else exact_production(a.production,
                                                                  self.time_unit, self.horizon)

    def to_json(self, path: str | Path) -> None:
        atomic_write_text(Path(path), json_text(self.to_dict(), allow_nan=False))

    def to_csv(self, path: str | Path, progress=None) -> None:
        """The columns of a run's curve.csv, the bounds equal to the values, and the expected
        failures of each unit in place of its failed steps."""
        unit = self.time_unit
        units = np.arange(self.horizon, dtype=np.int64)
        a = self.answer
        names = [f"start_{unit}", f"end_{unit}", "unavailability", "low_95", "high_95",
                 "expected_failures", "reliability", "reliability_low_95",
                 "reliability_high_95"]
        columns = [units, units + 1, a.unavailability, a.unavailability, a.unavailability,
                   a.failures_per_unit, a.reliability, a.reliability, a.reliability]
        if a.production is not None:
            names += ["delivered", "delivered_low_95", "delivered_high_95"]
            columns += [a.production.delivered] * 3
        write_csv(Path(path), ",".join(csv_field(n) for n in names), self.horizon,
                  lambda start, stop: [c[start:stop] for c in columns], progress)


def _finite_or_none(value: float) -> float | None:
    return value if math.isfinite(value) else None
