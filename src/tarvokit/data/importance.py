"""What to improve: the importance of every cut set and component, from paired runs (the data).

A component's history does not depend on the system's logic: the engine draws the same numbers
for the same seed whatever tree it is given. So the model is run once per derived logic on the
same seeds (the same sub-batches), and the counts of two runs are paired history by history. The
difference of two such counts is itself a count of histories: those in which the system failed
while the derived logic did not.

For cut set k, with S the system's failed count at a time:
- share (Fussell-Vesely): the count with the logic {k} alone over S (k failed implies the system
  failed, so it is a proportion of the system's failed histories);
- unique contribution: S minus the count with every cut set but k, the unavailability that
  would go if k could not occur.
For component c:
- share: the count with the cut sets that contain c, over S;
- improvement potential: the unavailability that would go if c never failed. When c's
  failures leave the others' histories as they are (independent components, and in a model with
  dependencies a component in no crew pool, no standby unit and covered by none; common-cause
  shocks strike the other members at the same rate whatever c does), S minus the count with the
  cut sets that do not contain c, which is exact. Otherwise c's failures change the others'
  histories (a unit waits for the crew c holds, a standby unit runs while c is down), and
  subtracting logics would be wrong: the model is run again with c made perfect (its transitions out of the
  working state, its dormant failures and failures to start removed, and no shock strikes it),
  on the same seeds, and the potential is S minus that run's count. Such a run pairs less
  tightly than a logic: a history draws its delays from one stream in the order of its events,
  so once an avoided failure changes that order the rest of the history differs.

Means over the horizon come from the same sub-batches as the system's mean: a share is a ratio of
two means (its interval by the delta method over the paired sub-batches), a reduction is the mean
of a paired difference (batch means). Per time unit, a reduction gets a Wilson band over the
histories like any unavailability, and a share one over the system's failed history-units (the
binomial one at resolution 1; otherwise a weighted mean of fractions in [0, 1] whose weights are
those history-units, no more variable than that).

Cost: one run per distinct derived logic (identical ones are run once, the empty logic never
fails and needs no run). `Maintenance` durations come from the C library's shared generator,
not from the seed: with them the pairing is only approximate and the report says so.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Collection, Sequence

import numpy as np

from ..engine.dependencies import named_units
from ..model.logic import CutSet, describe_cut_set
from . import stats
from .files import atomic_write_text, csv_field, json_text
from .result import Result, interval_dict, paired_batch_means
from .stats import bin_edges, bin_sums

Logic = frozenset[CutSet]  # a derived system logic: a set of cut sets
CUT_SET, COMPONENT, COMMON_CAUSE = "cut set", "component", "common-cause group"
KINDS = (CUT_SET, COMPONENT, COMMON_CAUSE)
DEFAULT_TOP = 5


@dataclass(frozen=True)
class WithoutGroup:
    """The run of the system's logic on the model whose common-cause group `group` never
    strikes (its shocks still drawn, so that the run pairs with the system's)."""

    group: str


@dataclass(frozen=True)
class Perfect:
    """The run of the system's logic on the model whose component `component` never fails (its
    draws still taken, so that the run pairs with the system's until the histories part)."""

    component: str


RunKey = Logic | WithoutGroup | Perfect


@dataclass(frozen=True)
class Measure:
    """One thing to rank: `share_logic` fails exactly when it is involved in the system's
    failure (None: no such logic, the share is undefined), `rest_logic` is the run of the
    system once it can no longer fail."""

    kind: str  # CUT_SET, COMPONENT or COMMON_CAUSE
    name: str
    share_logic: Logic | None
    rest_logic: RunKey


def measures(cut_sets: Sequence[CutSet], names: Sequence[str],
             groups: Sequence[str] = (), interacting: Collection[str] = ()) -> list[Measure]:
    """Every cut set, then every component, then every common-cause group, with the runs each
    needs; the potential of an `interacting` component (whose state changes the others'
    histories) comes from the model with it made perfect."""
    system = frozenset(cut_sets)
    found = [Measure(CUT_SET, describe_cut_set(k, names), frozenset({k}), system - {k})
             for k in cut_sets]
    for index, name in enumerate(names):
        containing = frozenset(k for k in system if index in k)
        rest = Perfect(name) if name in interacting else system - containing
        found.append(Measure(COMPONENT, name, containing, rest))
    found += [Measure(COMMON_CAUSE, group, None, WithoutGroup(group)) for group in groups]
    return found


def logics_to_run(system: Logic, found: Sequence[Measure]) -> list[RunKey]:
    """The distinct runs the measures need (non-empty logics and model variants), the
    system's first."""
    wanted = [system] + [key for m in found for key in (m.share_logic, m.rest_logic)]
    return list(dict.fromkeys(key for key in wanted if key))


@dataclass(frozen=True)
class Row:
    """A measure's figures: means over the horizon with 95% intervals, in unavailability."""

    measure: Measure
    rank: int  # within its kind, 1 = largest reduction
    share: stats.Interval
    reduction: stats.Interval  # unique contribution (cut set) / improvement potential (component)
    downtime: stats.Interval  # the reduction in time units over the horizon


@dataclass(frozen=True)
class ImportanceResult:
    """The runs on the same seeds, one per derived logic (`runs[system]` is the system's)."""

    model: dict  # the model's description
    names: tuple[str, ...]
    system: Logic
    measures: tuple[Measure, ...]
    runs: dict[RunKey, Result]
    seconds: float
    production: Any = None  # production_importance.ProductionImportance, with capacities

    # --- Facts -----------------------------------------------------------------------------

    @property
    def system_result(self) -> Result:
        return self.runs[self.system]

    @property
    def horizon(self) -> int:
        return self.system_result.horizon

    @property
    def time_unit(self) -> str:
        return self.system_result.time_unit

    @property
    def histories(self) -> int:
        return self.system_result.histories

    @property
    def seeded(self) -> bool:
        return self.system_result.seeded

    @property
    def dependent(self) -> bool:
        """Whether components' potentials come from runs with them made perfect."""
        return any(isinstance(m.rest_logic, Perfect) for m in self.measures)

    def crew_order_notes(self) -> list[tuple[str, str, list[str]]]:
        """Alike components (the same description) repaired by one crew pool whose potentials
        differ: (pool, why, their names by rank), why being "listed" (the pool serves them in
        its listed order), "same_instant" (they share a common-cause group, and the pool takes
        those that fail in the same instant in file order) or "noise" (neither: first failed,
        first served, and the difference is sampling noise)."""
        if not self.dependent:
            return []
        components = self.model["components"]
        rows = {row.measure.name: row for row in self.rows() if row.measure.kind == COMPONENT}
        struck_together = [set(self._expand(group.get("members", [])))
                           for group in self.model.get("common_cause", {}).values()]
        notes = []
        for pool, table in self.model.get("crews", {}).items():
            alike: dict[str, list[str]] = {}
            for name in self._expand(table.get("repairs", [])):
                alike.setdefault(json.dumps(components[name], sort_keys=True), []).append(name)
            for names in alike.values():
                if len({rows[n].reduction.estimate for n in names}) < 2:
                    continue
                if table.get("order", "first_failed") == "listed":
                    why = "listed"
                elif any(len(group & set(names)) > 1 for group in struck_together):
                    why = "same_instant"
                else:
                    why = "noise"
                notes.append((pool, why, sorted(names, key=lambda n: rows[n].rank)))
        return notes

    def _expand(self, names: Sequence[str]) -> list[str]:
        return [self.names[i] for name in names for i in named_units(name, self.names)]

    # --- Paired data -----------------------------------------------------------------------

    def failed_steps_per_unit(self, logic: RunKey) -> np.ndarray:
        """Per time unit, the failed steps summed over histories with that logic (int64)."""
        if not logic:
            return np.zeros(self.horizon, dtype=np.int64)
        return self.runs[logic].counts.astype(np.int64)

    def batch_means(self, logic: RunKey) -> np.ndarray:
        """Per sub-batch (in the system run's order), the mean unavailability with that logic."""
        system = self.system_result
        if not logic:
            return np.zeros(len(system.batches))
        return paired_batch_means(system, self.runs[logic])

    def _batch_sizes(self) -> list[int]:
        return [b.histories for b in self.system_result.batches]

    # --- Measures over the horizon ---------------------------------------------------------

    def share(self, measure: Measure) -> stats.Interval:
        if measure.share_logic is None:
            return stats.Interval(math.nan, math.nan, math.nan, math.nan)
        return stats.ratio_of_batch_means(self._batch_sizes(), self.batch_means(measure.share_logic),
                                          self.batch_means(self.system))

    def reduction(self, measure: Measure) -> stats.Interval:
        differences = self.batch_means(self.system) - self.batch_means(measure.rest_logic)
        # A logic's difference is a count of histories, never negative; a perfect plant's
        # history parts from the plant's, and a difference may come out below 0.
        bounds = (-1.0, 1.0) if isinstance(measure.rest_logic, Perfect) else (0.0, 1.0)
        return stats.batch_means(self._batch_sizes(), differences, bounds=bounds)

    def rows(self) -> list[Row]:
        """Cut sets, components, then common-cause groups, each ranked by reduction (then
        share), largest first."""
        rows: list[Row] = []
        for kind in KINDS:
            figures = [(m, self.share(m), self.reduction(m)) for m in self.measures if m.kind == kind]
            figures.sort(key=lambda f: (-f[2].estimate, -_or_zero(f[1].estimate), f[0].name))
            rows += [Row(m, rank, share, reduction, reduction.scaled(self.horizon))
                     for rank, (m, share, reduction) in enumerate(figures, start=1)]
        return rows

    def top(self, kind: str, count: int) -> list[Measure]:
        return [row.measure for row in self.rows() if row.measure.kind == kind][:count]

    # --- Curves over time ------------------------------------------------------------------

    def share_curve(self, measure: Measure, bin_units: int = 1) -> np.ndarray:
        """Per bin of time units: the measure's share of the system's failed time (NaN where the
        system never failed, or for a measure without a share)."""
        if measure.share_logic is None:
            return np.full(len(bin_edges(self.horizon, bin_units)) - 1, np.nan)
        part = bin_sums(self.failed_steps_per_unit(measure.share_logic), bin_units)
        whole = bin_sums(self.failed_steps_per_unit(self.system), bin_units)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(whole > 0, part / np.maximum(whole, 1), np.nan)

    def share_band(self, measure: Measure, bin_units: int = 1) -> tuple[np.ndarray, np.ndarray]:
        """Wilson band of share_curve over the system's failed history-units (NaN where fewer
        than one)."""
        trials = (bin_sums(self.failed_steps_per_unit(self.system), bin_units)
                  / self.system_result.resolution)
        enough = trials >= 1
        low, high = stats.wilson_bounds(np.nan_to_num(self.share_curve(measure, bin_units)),
                                        np.where(enough, trials, 1.0))
        return np.where(enough, low, np.nan), np.where(enough, high, np.nan)

    def reduction_curve(self, measure: Measure, bin_units: int = 1) -> np.ndarray:
        """Per bin of time units: the system's unavailability that would go with the measure."""
        removed = (self.failed_steps_per_unit(self.system)
                   - self.failed_steps_per_unit(measure.rest_logic))
        return bin_sums(removed, bin_units) / self._steps_per_bin(bin_units)

    def reduction_band(self, measure: Measure, bin_units: int = 1
                       ) -> tuple[np.ndarray, np.ndarray]:
        # A paired difference is a count (a fraction per history), but with Maintenance it may
        # come out slightly negative: the band is taken of the value clipped to [0, 1].
        return stats.wilson_bounds(np.clip(self.reduction_curve(measure, bin_units), 0, 1),
                                   self.histories)

    def system_curve(self, bin_units: int = 1) -> np.ndarray:
        return (bin_sums(self.failed_steps_per_unit(self.system), bin_units)
                / self._steps_per_bin(bin_units))

    def _steps_per_bin(self, bin_units: int) -> np.ndarray:
        units = np.diff(bin_edges(self.horizon, bin_units))
        return units * float(self.histories * self.system_result.resolution)

    # --- Files ---------------------------------------------------------------------------

    def to_dict(self) -> dict:
        system = self.system_result
        return {
            "model": self.model,
            "histories": self.histories,
            "seeds": [list(r) for r in system.seed_ranges()],
            "seeded": self.seeded,
            "runs": len(self.runs),
            "seconds": self.seconds,
            "system": {"mean_unavailability": interval_dict(system.mean()),
                       "expected_downtime": interval_dict(system.downtime())},
            "table": [_row_dict(row) for row in self.rows()],
            **({} if self.production is None else {"production": self.production.to_dict()}),
            "logics": [{**self._run_name(key),
                        "failed_steps_per_unit": self.failed_steps_per_unit(key).tolist(),
                        "batches": [vars(b) for b in self.runs[key].batches]}
                       for key in self.runs],
        }

    def _run_name(self, key: RunKey) -> dict:
        if isinstance(key, WithoutGroup):
            return {"cut_sets": [[self.names[i] for i in sorted(k)] for k in ordered(self.system)],
                    "without_common_cause": key.group}
        if isinstance(key, Perfect):
            return {"cut_sets": [[self.names[i] for i in sorted(k)] for k in ordered(self.system)],
                    "perfect_component": key.component}
        return {"cut_sets": [[self.names[i] for i in sorted(k)] for k in ordered(key)]}

    def to_json(self, path: str | Path) -> None:
        atomic_write_text(Path(path), json_text(self.to_dict()))

    def to_csv(self, path: str | Path, progress=None) -> None:
        """The table: one line per cut set, component and common-cause group, ranked within
        its kind."""
        unit = self.time_unit
        header = ["kind", "name", "rank", *_columns("share"), *_columns("reduction"),
                  *_columns(f"downtime_{unit}")]
        lines = [",".join(header)]
        for row in self.rows():
            figures = [row.share, row.reduction, row.downtime]
            values = [f"{v:.9g}" for i in figures for v in (i.estimate, i.low, i.high)]
            lines.append(",".join([row.measure.kind, csv_field(row.measure.name), str(row.rank),
                                   *values]))
        atomic_write_text(Path(path), "\n".join(lines) + "\n")



def ordered(logic: Logic) -> list[CutSet]:
    return sorted(logic, key=lambda k: (len(k), sorted(k)))


def _or_zero(value: float) -> float:
    return 0.0 if math.isnan(value) else value


def _columns(name: str) -> list[str]:
    return [name, f"{name}_low_95", f"{name}_high_95"]


def _row_dict(row: Row) -> dict:
    # A share is undefined (NaN) when the system never failed: null in JSON.
    share = (interval_dict(row.share) if not math.isnan(row.share.estimate) else None)
    return {"kind": row.measure.kind, "name": row.measure.name, "rank": row.rank,
            "share": share, "reduction": interval_dict(row.reduction),
            "downtime": interval_dict(row.downtime)}
