"""A study's result: the data, their statistics, and their files.

The data are the engine's counts (failed engine steps per time unit, summed over all histories;
exact integers), one record per independent sub-batch (its seeds, histories, failed steps and
runner time) and how the run went. Results of the same model merge by adding counts and joining
the sub-batch lists, provided their seeds are disjoint.

Statistics, in time units of the study:
- the unavailability of time unit u: the mean over histories of the fraction of the unit the
  system was failed, i.e. the unit's failed steps / (resolution x histories). Its 95% band is a
  Wilson interval with n = histories, conservative because a fraction in [0, 1] with mean m has
  a variance of at most m (1 - m);
- the mean unavailability over the horizon: the mean of the histories' downtime fractions, its
  standard error from their exact sum of squares (Student's t), and every other measure of a
  run (data/measures.py) from the per-history distributions the engine keeps;
- the expected downtime: that mean times the horizon.
Results without per-history distributions (paired runs read back from older files) fall back to
batch means over the sub-batches.

Files: results.json holds every figure and the data to rebuild the result (`Result.from_json`,
`read`); curve.csv one line per time unit, its failed steps among them, so that a long horizon's
per-unit arrays may stay out of the JSON.
"""

from __future__ import annotations

import hashlib
import json
import math
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Sequence

import numpy as np

from ..engine.outputs import Distributions, ProductionCounts
from . import calendar_measures
from . import measures as measures_module
from . import production as production_module
from . import stats, validation
from .calendar_validation import calendar_fields
from .files import (ResultError, atomic_write_text, check_set, csv_field, json_text,
                    write_csv)
from .logistics import check_keys as check_logistics_keys
from .logistics import logistics_keys

RESULTS_FILE, CURVE_FILE = "results.json", "curve.csv"
# Above this many time units the per-unit arrays are left to curve.csv.
JSON_UNITS_LIMIT = 100_000


@dataclass(frozen=True)
class Batch:
    """One independent sub-batch: histories first_seed .. first_seed + histories - 1."""

    first_seed: int
    histories: int
    failed_steps: int  # failed engine steps summed over its histories
    seconds: float  # runner time
    lost: int | None = None  # lost production (quanta x engine steps), models with capacities
    cost: float | None = None  # total cost summed over its histories (models with costs)

    @property
    def last_seed(self) -> int:
        return self.first_seed + self.histories - 1


def study_id(model: dict, cut_sets: Sequence[Sequence[int | str]] | None = None) -> str:
    """A hex digest of what is simulated: the components and their laws in engine order, the
    logic, the dependencies, the horizon and the resolution. The study's name, its time unit's
    label and the file's path do not enter it: the same model anywhere has the same id."""
    payload = {
        "components": [[name, component] for name, component in model["components"].items()],
        "logic": [list(s) for s in cut_sets] if cut_sets is not None
        else model["system"]["cut_sets"],
        "horizon": model["study"]["horizon"],
        "resolution": model["study"]["resolution"],
        **{key: value for key, value in model.items()
           if key not in ("study", "components", "system")},
    }
    # What the plant delivers is simulated too (models without a capacity keep their ids).
    delivered = {key: model["system"][key] for key in ("capacity", "demand")
                 if key in model["system"]}
    if delivered:
        payload["capacity"] = delivered
    text = json.dumps(payload, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()[:32]


class StudyFacts:
    """What every result says of its study, from the model's description it holds."""

    model: dict
    cut_sets: tuple | None = None

    @property
    def id(self) -> str:
        return study_id(self.model, self.cut_sets)

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


@dataclass(frozen=True)
class Result(StudyFacts):
    model: dict  # the model's description (plain data)
    counts: np.ndarray  # uint64, failed engine steps per time unit, summed over the histories
    batches: tuple[Batch, ...]
    seconds: float  # wall-clock time of the whole run
    threads: int | None  # worker threads per runner call
    seeded: bool  # False when Maintenance laws made the draws depend on the process
    precision: float | None = None  # the target relative half-width, if any
    precision_met: bool | None = None
    interrupted: bool = False
    cut_sets: tuple[tuple[int | str, ...], ...] | None = field(default=None)  # logic override
    model_path: str | None = None  # where the model was read from, for the record
    created: str | None = None  # ISO 8601 date of the run
    version: str | None = None  # the package version that ran it
    distributions: Distributions | None = None  # per-history figures (engine/outputs.py)
    precision_measure: str | None = None  # what the precision target applied to

    # --- Facts of the study ----------------------------------------------------------------

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
            if ranges and ranges[-1][1] + 1 == b.first_seed:
                ranges[-1] = (ranges[-1][0], b.last_seed)
            else:
                ranges.append((b.first_seed, b.last_seed))
        return ranges

    def seeds_text(self) -> str:
        return ", ".join(f"{a}..{b}" for a, b in self.seed_ranges())

    def next_seed(self) -> int:
        """The first seed after every seed this result used: where more histories may start."""
        return max(b.last_seed for b in self.batches) + 1

    # --- Statistics ------------------------------------------------------------------------

    @property
    def failed_steps_per_unit(self) -> np.ndarray:
        return self.counts

    @property
    def unavailability(self) -> np.ndarray:
        """Per time unit: the mean fraction of the unit the system was failed."""
        return self.counts / float(self.resolution * self.histories)

    def band(self, confidence: float = stats.CONFIDENCE) -> tuple[np.ndarray, np.ndarray]:
        """Pointwise Wilson interval of every time unit's unavailability (n = histories)."""
        return stats.wilson_bounds(self.unavailability, self.histories, confidence)

    def at(self, unit: int, confidence: float = stats.CONFIDENCE) -> stats.Interval:
        return stats.wilson_interval(float(self.unavailability[unit]), self.histories, confidence)

    def batch_means(self) -> np.ndarray:
        """Per sub-batch, in order: its mean unavailability over the horizon."""
        steps = self.horizon * self.resolution
        return np.array([b.failed_steps / (b.histories * steps) for b in self.batches])

    def mean(self, confidence: float = stats.CONFIDENCE) -> stats.Interval:
        """Mean unavailability over the horizon: from the histories' downtimes when the result
        has them (independent histories, exact sum of squares), else by batch means."""
        if self.distributions is not None:
            return self.measures(confidence).mean_unavailability
        return stats.batch_means([b.histories for b in self.batches], self.batch_means(),
                                 confidence)

    def measures(self, confidence: float = stats.CONFIDENCE) -> measures_module.Measures:
        """Every figure of the run (data/measures.py); needs the per-history distributions."""
        if self.distributions is None:
            raise ValueError("this result has no per-history distributions")
        found = measures_module.measures(self.distributions, self.histories,
                                         self.horizon * self.resolution, self.resolution,
                                         confidence)
        if self.distributions.calendar is not None:  # the mean over required time
            found = calendar_measures.with_required_mean(found, self.distributions,
                                                         self.histories, confidence)
        return found

    def calendar_measures(self, confidence: float = stats.CONFIDENCE
                          ) -> calendar_measures.CalendarMeasures | None:
        """Unplanned downtime, the required share and the phases, for a run with a calendar."""
        if self.distributions is None or self.distributions.calendar is None:
            return None
        return calendar_measures.calendar_measures(self.distributions, self.histories,
                                                   self.horizon * self.resolution,
                                                   self.resolution, self.model, confidence)

    def reliability_curve(self, confidence: float = stats.CONFIDENCE, units: slice = slice(None)
                          ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Per time unit (of `units`, all by default): the chance of no system failure by its
        end, and its Wilson band."""
        if self.distributions is None:
            raise ValueError("this result has no per-history distributions")
        return measures_module.reliability_curve(self.distributions, self.histories,
                                                 self.horizon, self.resolution, confidence,
                                                 units)

    def production(self, confidence: float = stats.CONFIDENCE
                   ) -> production_module.Production | None:
        """What the plant delivered (data/production.py), for a model with capacities."""
        counts = self.distributions.production if self.distributions is not None else None
        if counts is None:
            return None
        return production_module.production(counts, self.model, self.histories, confidence)

    def delivered_curve(self, confidence: float = stats.CONFIDENCE, units: slice = slice(None)
                        ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Per time unit: the expected delivered capacity and its band (capacity models)."""
        assert self.distributions is not None and self.distributions.production is not None
        return production_module.delivered_curve(self.distributions.production, self.model,
                                                 self.histories, confidence, units)

    def downtime(self, confidence: float = stats.CONFIDENCE) -> stats.Interval:
        """Expected failed time over the horizon (in required phases), in time units."""
        if self.distributions is not None and self.distributions.calendar is not None:
            return calendar_measures.expected_downtime(self.distributions, self.histories,
                                                       self.resolution, confidence)
        return self.mean(confidence).scaled(self.horizon)

    # --- Merging ---------------------------------------------------------------------------

    def merge(self, other: "Result") -> "Result":
        """Both results' histories together: the same study (id) on disjoint seeds, else
        ResultError. Counts add exactly."""
        if other.id != self.id:
            raise ResultError(f"results of different studies do not merge (ids {self.id[:12]}"
                              f" and {other.id[:12]}: another model, logic, horizon or"
                              " resolution)")
        overlap = _overlap(self.seed_ranges(), other.seed_ranges())
        if overlap is not None:
            raise ResultError(f"results sharing seeds do not merge: both used seeds"
                              f" {overlap[0]}..{overlap[1]}")
        distributions = (self.distributions + other.distributions
                         if self.distributions is not None and other.distributions is not None
                         else None)
        return replace(self, counts=self.counts + other.counts,
                       batches=self.batches + other.batches, distributions=distributions,
                       seconds=self.seconds + other.seconds,
                       seeded=self.seeded and other.seeded,
                       interrupted=self.interrupted or other.interrupted,
                       precision=None, precision_met=None)

    # --- Files -----------------------------------------------------------------------------

    def to_dict(self) -> dict:
        mean, downtime = self.mean(), self.downtime()
        data: dict[str, Any] = {
            "id": self.id,
            "version": self.version,
            "created": self.created,
            "model_path": self.model_path,
            "model": self.model,
            "cut_sets": [list(s) for s in self.cut_sets] if self.cut_sets is not None else None,
            "histories": self.histories,
            "seeds": [list(r) for r in self.seed_ranges()],
            "seeded": self.seeded,
            "threads": self.threads,
            "seconds": self.seconds,
            "histories_per_second": self.histories_per_second,
            "precision": self.precision,
            "precision_met": self.precision_met,
            "precision_measure": self.precision_measure,
            "interrupted": self.interrupted,
            "mean_unavailability": interval_dict(mean),
            "expected_downtime": interval_dict(downtime),
        }
        if self.distributions is not None:
            found = self.measures()
            data.update({
                "failure_frequency": interval_dict(found.failure_frequency),
                "reliability": interval_dict(found.reliability),
                "mean_down_time": interval_dict(found.mean_down_time),
                "mean_up_time": interval_dict(found.mean_up_time),
                "downtime_quantiles": {name: interval_dict(interval) for name, interval
                                       in found.downtime_quantiles.items()},
                "distributions": self.distributions.to_dict(),
            })
            data.update(_calendar_keys(self.calendar_measures()))
            delivered = self.production()
            if delivered is not None:
                data["production"] = delivered.to_dict(interval_dict)
            data.update(logistics_keys(self))
        data["batches"] = [batch_dict(b) for b in self.batches]
        if self.horizon > JSON_UNITS_LIMIT and "calendar" in data.get("distributions", {}):
            calendar_measures.without_units(data["distributions"]["calendar"])
        if self.horizon <= JSON_UNITS_LIMIT:
            low, high = self.band()
            data.update({"unavailability": self.unavailability.tolist(),
                         "band_low": low.tolist(), "band_high": high.tolist(),
                         "failed_steps_per_unit": [int(v) for v in self.counts]})
        else:
            data["per_unit"] = f"in {CURVE_FILE}: more than {JSON_UNITS_LIMIT:,} time units"
            production = data.get("distributions", {}).get("production")
            if production is not None:
                production["lost_per_unit"] = data["per_unit"]
        return data

    def to_json(self, path: str | Path) -> None:
        atomic_write_text(Path(path), json_text(self.to_dict()))

    def csv_names(self) -> list[str]:
        """The columns of curve.csv: per time unit its start and end, unavailability and 95%
        band, failed steps, and (with per-history distributions) the reliability by its end
        with its band."""
        unit = self.time_unit
        names = [f"start_{unit}", f"end_{unit}", "unavailability", "low_95", "high_95",
                 "failed_steps"]
        if self.distributions is not None:
            names += ["reliability", "reliability_low_95", "reliability_high_95"]
            if self.distributions.production is not None:
                names += ["delivered", "delivered_low_95", "delivered_high_95",
                          "lost_production"]
        return names

    def csv_block(self, start: int, stop: int) -> list[np.ndarray]:
        """The columns of curve.csv for time units start .. stop - 1: a long horizon's file is
        made a block at a time, never holding all its columns at once."""
        units = np.arange(start, stop, dtype=np.int64)
        counts = self.counts[start:stop]
        unavailability = counts / float(self.resolution * self.histories)
        low, high = stats.wilson_bounds(unavailability, self.histories)
        columns = [units, units + 1, unavailability, low, high, counts]
        if self.distributions is not None:
            columns += list(self.reliability_curve(units=slice(start, stop)))
            if self.distributions.production is not None:
                columns += list(self.delivered_curve(units=slice(start, stop)))
                # Exact: quanta x engine steps lost, summed over histories.
                columns.append(self.distributions.production.lost_per_unit[start:stop])
        return columns

    def to_csv(self, path: str | Path, progress=None) -> None:
        """curve.csv, written in blocks of lines (`progress(lines)` after each)."""
        header = ",".join(csv_field(name) for name in self.csv_names())
        write_csv(Path(path), header, self.horizon, self.csv_block, progress)

    @classmethod
    def from_dict(cls, data: dict, counts: np.ndarray | None = None, source: str = "<dict>",
                  read_counts=None, read_lost=None) -> "Result":
        """The result that `to_dict` described; `counts` (from the CSV) when the JSON has no
        per-unit arrays. Every field is checked first (data/validation.py): ResultError naming
        `source` and the field for data that is not such a result."""
        if not isinstance(data, dict):
            raise ResultError(f"{source}: expected a table, got {type(data).__name__}")
        if counts is not None:
            given = [int(v) for v in np.asarray(counts, dtype=np.uint64)]
            read_counts = lambda rows, high, unit: given  # noqa: E731 (checked like the JSON's)
        fields = validation.run_fields(data, source, study_id, read_counts, calendar_fields)
        fields["counts"] = np.array(fields["counts"], dtype=np.uint64)
        fields["batches"] = tuple(Batch(*b) for b in fields["batches"])
        fields["distributions"] = production_module.with_checked_counts(
            validation.Field(source, data), fields, read_lost)
        return cls(**fields)

    @classmethod
    def from_json(cls, path: str | Path) -> "Result":
        """Reads results.json (and the curve.csv beside it when the JSON leaves the per-unit
        counts to it), refusing a folder whose files are not one run's set (files.check_set)
        or any field that is not what a run writes."""
        path = Path(path)
        check_set(path.parent, (RESULTS_FILE, CURVE_FILE))
        data = validation.read_json(path)
        curve = path.parent / CURVE_FILE
        result = cls.from_dict(data, source=str(path), read_counts=lambda rows, high, unit:
                               validation.csv_column(curve, "failed_steps", rows, high,
                                                     f"start_{unit}"),
                               read_lost=lambda rows, high, unit:
                               validation.csv_column(curve, "lost_production", rows, high,
                                                     f"start_{unit}"))
        check_logistics_keys(data, result, str(path))
        return result


def read(folder: str | Path) -> Result:
    """The result a study wrote into `folder` (its results.json and curve.csv)."""
    return Result.from_json(Path(folder) / RESULTS_FILE)


def combine(results: Sequence[Result], names: Sequence[str] | None = None) -> Result:
    """The results merged (see Result.merge); a refusal names the result that could not join
    the ones before it by `names` (their folders), if given."""
    if not results:
        raise ResultError("nothing to combine")
    merged = results[0]
    for index, result in enumerate(results[1:], start=1):
        try:
            merged = merged.merge(result)
        except ResultError as error:
            if names is None:
                raise
            before = ", ".join(str(n) for n in names[:index])
            raise ResultError(f"{names[index]}: does not combine with {before}: {error}"
                              ) from None
    return merged


def paired_batch_means(reference: Result, run: Result) -> np.ndarray:
    """Per sub-batch of `reference` (in its order), the mean unavailability of `run` over the
    same seeds: `run` must have been cut into the same sub-batches."""
    steps = run.horizon * run.resolution
    by_seed = {b.first_seed: b for b in run.batches}
    return np.array([by_seed[b.first_seed].failed_steps / (b.histories * steps)
                     for b in reference.batches])


def batch_dict(batch: Batch) -> dict:
    """A sub-batch for JSON; `lost` only for a model with capacities, `cost` with costs."""
    return {k: v for k, v in vars(batch).items() if k not in ("lost", "cost") or v is not None}


def interval_dict(interval: stats.Interval) -> dict:
    """An interval for JSON: an undefined figure (NaN) is null, as JSON has no NaN."""
    return {name: (value if math.isfinite(value) else None) for name, value in
            (("estimate", interval.estimate), ("low", interval.low), ("high", interval.high),
             ("standard_error", interval.standard_error))}


def _calendar_keys(found: calendar_measures.CalendarMeasures | None) -> dict:
    """results.json's keys for a run with a calendar: `unplanned` (the main measures for
    unplanned downtime), `required_share` and `phases`."""
    if found is None:
        return {}
    unplanned = found.unplanned
    return {
        "required_share": interval_dict(found.required_share),
        "unplanned": {
            "mean_unavailability": interval_dict(unplanned.mean_unavailability),
            "expected_downtime": interval_dict(found.expected_unplanned_downtime),
            "failure_frequency": interval_dict(unplanned.failure_frequency),
            "reliability": interval_dict(unplanned.reliability),
            "mean_down_time": interval_dict(unplanned.mean_down_time),
            "mean_up_time": interval_dict(unplanned.mean_up_time),
            "downtime_quantiles": {name: interval_dict(interval) for name, interval
                                   in unplanned.downtime_quantiles.items()},
        },
        "phases": [{"name": row.name, "required": row.required,
                    "time_share": interval_dict(row.time_share),
                    "mean_unavailability": interval_dict(row.unavailability),
                    "unplanned_unavailability": interval_dict(row.unplanned_unavailability),
                    "failures": interval_dict(row.failures),
                    "unplanned_failures": interval_dict(row.unplanned_failures)}
                   for row in found.phases],
    }


def _overlap(first: list[tuple[int, int]], second: list[tuple[int, int]]
             ) -> tuple[int, int] | None:
    for a, b in first:
        for c, d in second:
            if max(a, c) <= min(b, d):
                return max(a, c), min(b, d)
    return None
