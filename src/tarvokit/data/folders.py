"""What a result folder holds, read back: every kind of result the command writes.

A folder may hold the files of several verbs at once (`tarvo run`, `importance` and `sweep` all
write into out/ by default): a run's or a Markov answer's results.json (the two share the name and
tell themselves apart by `"method": "markov"`), importance.json and sweep.json. `read_folder`
returns each kind found, rebuilt as the object its verb made, with the JSON as written, so that
`tarvo plot` and `tarvo report` redraw from the files what the verb drew from memory.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from .files import ResultError, check_set

RESULTS_FILE, IMPORTANCE_FILE, SWEEP_FILE = "results.json", "importance.json", "sweep.json"
CURVE_FILE = "curve.csv"
RUN, MARKOV, IMPORTANCE, SWEEP = "run", "markov", "importance", "sweep"
KINDS = (RUN, MARKOV, IMPORTANCE, SWEEP)


@dataclass
class Part:
    """One kind of result in a folder: `kind`, the object its verb made, the JSON written."""

    kind: str
    result: Any
    data: dict
    path: Path | None = None


@dataclass
class Folder:
    path: Path
    parts: list[Part] = field(default_factory=list)
    others: list[Part] = field(default_factory=list)  # results of other models, not shown

    def part(self, kind: str) -> Part | None:
        return next((p for p in self.parts if p.kind == kind), None)

    def of_one_study(self, anchor: Part | None = None) -> "Folder":
        """The results of the model of `anchor` (by default the first in the order run, Markov
        answer, importance, sweep), in that order; the others set aside (a folder reused for
        another model)."""
        ordered = sorted(self.parts, key=lambda p: KINDS.index(p.kind))
        if not ordered:
            return Folder(self.path)
        mine = part_id(anchor or ordered[0])
        return Folder(self.path, [p for p in ordered if part_id(p) == mine],
                      self.others + [p for p in ordered if part_id(p) != mine])


def part_id(part: Part) -> str | None:
    """The id of the model a part is of (a sweep: of its first value's model)."""
    from .result import study_id

    try:
        model = part.result.reference.model if part.kind == SWEEP else part.data["model"]
        return study_id(model)
    except (KeyError, TypeError, AttributeError):
        return None


def read_folder(folder: str | Path, skip: tuple[str, ...] = ()) -> Folder:
    """Every result in `folder` (but those in the files named in `skip`); ResultError (naming
    the folder) when it holds none, or when a file of it cannot be read."""
    folder = Path(folder)
    if not folder.is_dir():
        raise ResultError(f"{folder}: no such folder")
    found = Folder(folder)
    if (folder / RESULTS_FILE).exists() and RESULTS_FILE not in skip:
        check_set(folder, (RESULTS_FILE, CURVE_FILE))
        data = _json(folder / RESULTS_FILE)
        if data.get("method") == MARKOV:
            found.parts.append(Part(MARKOV, markov_from_dict(data, folder), data,
                                    folder / RESULTS_FILE))
        else:
            from .result import Result

            found.parts.append(Part(RUN, Result.from_json(folder / RESULTS_FILE), data,
                                    folder / RESULTS_FILE))
    for name, kind, build in ((IMPORTANCE_FILE, IMPORTANCE, importance_from_dict),
                              (SWEEP_FILE, SWEEP, sweep_from_dict)):
        if (folder / name).exists() and name not in skip:
            check_set(folder, (name,))
            data = _json(folder / name)
            found.parts.append(Part(kind, _built(build, data, folder / name), data,
                                    folder / name))
    if not found.parts and not skip:
        raise ResultError(f"{folder}: holds no {RESULTS_FILE}, {IMPORTANCE_FILE} or"
                          f" {SWEEP_FILE} (not a folder a study wrote into?)")
    return found if skip else found.of_one_study()


def _json(path: Path) -> dict:
    from .validation import read_json

    return read_json(path)


def _built(build, data: dict, path: Path):
    try:
        return build(data)
    except ResultError as error:
        raise ResultError(f"{path}: {error}") from None
    except (KeyError, TypeError, ValueError, IndexError, AttributeError) as error:
        raise ResultError(f"{path}: not a tarvo result ({type(error).__name__}: {error})"
                          ) from None


def _array(values: Any, what: str, length: int, low: float = -np.inf,
           high: float = np.inf) -> np.ndarray:
    """A list of `length` finite numbers in [low, high] read from a file, as an array."""
    if not isinstance(values, list) or len(values) != length:
        raise ResultError(f"{what}: expected {length:,} values")
    if not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
        raise ResultError(f"{what}: a value is not a number")
    array = np.asarray(values, dtype=float)
    if not np.all(np.isfinite(array)):
        raise ResultError(f"{what}: a value is not a finite number")
    if np.any(array < low) or np.any(array > high):
        raise ResultError(f"{what}: a value outside [{low:g}, {high:g}]")
    return array


def _whole(value: Any, what: str, low: int = 0) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < low:
        raise ResultError(f"{what}: expected a whole number of at least {low}, got {value!r}")
    return value


def _number(value: Any) -> float:
    """A float from JSON, where null stands for an undefined figure (NaN) or no bound (inf)."""
    return float("nan") if value is None else float(value)


# --- Markov ---------------------------------------------------------------------------------


def markov_from_dict(data: dict, folder: Path | None = None):
    """The MarkovResult a `tarvo markov` results.json describes (its per-unit arrays from the
    JSON, or from curve.csv beside it when the JSON leaves them out)."""
    from ..engine.markov import MarkovAnswer
    from .markov import MarkovResult
    from .result import StudyFacts

    where = f"{folder / RESULTS_FILE}" if folder is not None else RESULTS_FILE
    try:
        model = data["model"]
        facts = StudyFacts()
        facts.model = model
        horizon = model["study"]["horizon"]
        _whole(horizon, "model.study.horizon", 1)
        columns = {}
        for key, column, high in (("unavailability", "unavailability", 1.0),
                                  ("failures_per_unit", "expected_failures", np.inf),
                                  ("reliability_per_unit", "reliability", 1.0)):
            if key in data:
                columns[key] = _array(data[key], key, horizon, 0.0, high)
            elif folder is not None:
                columns[key] = _csv_column(folder / CURVE_FILE, column, horizon, high)
            else:
                raise ResultError(f"{key}: missing")
        measure = {key: _number((data[key] or {}).get("estimate"))
                   for key in ("mean_unavailability", "expected_downtime", "failure_frequency",
                               "reliability", "mean_down_time", "mean_up_time")}
        steady = data.get("steady_state") or {}
        mttf = data.get("mean_time_to_failure")
        answer = MarkovAnswer(
            name=facts.name, time_unit=facts.time_unit, horizon=horizon,
            states=_whole(data["states"], "states", 1), unavailability=columns["unavailability"],
            point_unavailability=np.full(horizon + 1, np.nan),
            failures_per_unit=columns["failures_per_unit"],
            reliability=columns["reliability_per_unit"],
            mean_unavailability=measure["mean_unavailability"],
            expected_downtime=measure["expected_downtime"],
            failure_frequency=measure["failure_frequency"],
            reliability_over_horizon=measure["reliability"],
            mean_down_time=measure["mean_down_time"],
            mean_up_time=(float("inf") if data["mean_up_time"] is None
                          else measure["mean_up_time"]),
            mean_time_to_failure=float("inf") if mttf is None else float(mttf),
            steady_unavailability=_number(steady.get("unavailability")),
            steady_failure_frequency=_number(steady.get("failure_frequency")))
        return MarkovResult(model, answer, float(data["seconds"]),
                            model_path=data.get("model_path"), created=data.get("created"),
                            version=data.get("version"))
    except ResultError as error:
        raise ResultError(f"{where}: {error}") from None
    except (KeyError, TypeError, ValueError, AttributeError) as error:
        raise ResultError(f"{where}: not a tarvo markov result ({type(error).__name__}:"
                          f" {error})") from None


def _csv_column(path: Path, column: str, length: int, high: float) -> np.ndarray:
    import csv

    from .files import open_no_follow

    try:
        with open_no_follow(path, "r", newline="", encoding="utf-8") as stream:
            # At most one line past the horizon is read: a longer file is refused, not loaded.
            values = [float(row[column]) for row, _ in zip(csv.DictReader(stream),
                                                           range(length + 1))]
    except FileNotFoundError:
        raise ResultError(f"{path}: missing; the per-unit figures are kept there") from None
    except (OSError, KeyError, ValueError) as error:
        raise ResultError(f"{path}: cannot read its column {column} ({error})") from None
    return _array(values, f"{path.name}: {column}", length, 0.0, high)


# --- Importance -----------------------------------------------------------------------------


def importance_from_dict(data: dict):
    """The ImportanceResult an importance.json describes: each derived logic's counts and
    sub-batches, on the model it holds."""
    from .importance import ImportanceResult, Perfect, WithoutGroup, measures
    from .result import Batch, Result

    model = data["model"]
    names = tuple(model["components"])
    index = {name: i for i, name in enumerate(names)}
    cut_sets = [frozenset(index[n] for n in cut_set) for cut_set in model["system"]["cut_sets"]]
    system = frozenset(cut_sets)
    groups = list(model.get("common_cause") or {})
    # Components whose potential came from the plant with them made perfect.
    perfect = [str(entry["perfect_component"]) for entry in data["logics"]
               if "perfect_component" in entry]
    found = measures(cut_sets, names, groups, interacting=perfect)
    horizon = _whole(model["study"]["horizon"], "model.study.horizon", 1)
    runs = {}
    for entry in data["logics"]:
        logic = frozenset(frozenset(index[n] for n in cut_set) for cut_set in entry["cut_sets"])
        if "without_common_cause" in entry:
            key = WithoutGroup(entry["without_common_cause"])
        elif "perfect_component" in entry:
            key = Perfect(entry["perfect_component"])
        else:
            key = logic
        batches = tuple(Batch(**b) for b in entry["batches"])
        for batch in batches:
            _whole(batch.histories, "batches.histories", 1)
            _whole(batch.first_seed, "batches.first_seed")
        # A count is of failed engine steps in one time unit, over every history.
        most = int(model["study"]["resolution"]) * sum(b.histories for b in batches)
        counts = _array(entry["failed_steps_per_unit"], "failed_steps_per_unit", horizon, 0,
                        most)
        runs[key] = Result(model=model, counts=np.asarray(counts, dtype=np.uint64),
                           batches=batches, seconds=sum(b.seconds for b in batches),
                           threads=None, seeded=bool(data.get("seeded", True)),
                           **_when(data))
    missing = [m.name for m in found for key in (m.share_logic, m.rest_logic)
               if key and key not in runs]
    if system not in runs or missing:
        raise ResultError("the system's own run is missing" if system not in runs else
                          f"logics: the run {missing[0]} needs is missing")
    return ImportanceResult(model, names, system, tuple(found), runs, float(data["seconds"]))


def _when(data: dict) -> dict:
    """The version and date of a paired study, from the record the command adds."""
    record = data.get("provenance")
    record = record if isinstance(record, dict) else {}
    return {"version": record.get("version"), "created": record.get("created")}


# --- Sweep ----------------------------------------------------------------------------------


def sweep_from_dict(data: dict):
    """The SweepResult a sweep.json describes: per value its model, sub-batches, distributions
    and per-unit unavailability (the failed steps it was made of, recovered exactly)."""
    from ..engine.outputs import Distributions
    from ..model.variants import Sweep
    from .result import Batch, Result
    from .sweep import SweepResult

    results = []
    for number, entry in enumerate(data["values"]):
        model = entry.get("model") or data["model"]
        batches = tuple(Batch(**b) for b in entry["batches"])
        for batch in batches:
            _whole(batch.histories, f"values[{number}].batches.histories", 1)
        histories = sum(b.histories for b in batches)
        horizon = _whole(model["study"]["horizon"], "model.study.horizon", 1)
        resolution = _whole(model["study"]["resolution"], "model.study.resolution", 1)
        curve = _array(entry["unavailability"], f"values[{number}].unavailability", horizon,
                       0.0, 1.0)
        # unavailability = steps / (resolution x histories): the steps come back exactly.
        counts = np.rint(curve * float(resolution * histories))
        distributions = entry.get("distributions")
        results.append(Result(
            model=model, counts=counts.astype(np.uint64), batches=batches,
            seconds=sum(b.seconds for b in batches), threads=None,
            seeded=bool(data.get("seeded", True)), **_when(data),
            distributions=(Distributions.from_dict(distributions) if distributions is not None
                           else None)))
    if not results:
        raise ResultError("values: none")
    sweep = Sweep(str(data["parameter"]), tuple(entry["value"] for entry in data["values"]))
    return SweepResult(sweep, tuple(results), float(data["seconds"]))
