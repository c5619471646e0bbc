"""Importance: the model run once per derived logic on the same seeds (data/importance.py says
what each measure means and how its interval is made)."""

from __future__ import annotations

from ..data.importance import ImportanceResult, logics_to_run, measures, ordered
from ..model.reading import Model
from .options import RunOptions
from .planner import PlannedRun, run_paired


def run_importance(model: Model, options: RunOptions) -> ImportanceResult:
    """One run per distinct derived logic, all on seeds seed .. seed + histories - 1 in the same
    sub-batches. Ctrl-C stops after the running sub-batch with a KeyboardInterrupt saying which
    run it stopped (no partial table)."""
    system = frozenset(model.cut_sets)
    found = measures(model.cut_sets, model.names)
    logics = logics_to_run(system, found)
    runs = [PlannedRun(model, None if logic == system else
                       tuple(tuple(sorted(k)) for k in ordered(logic)),
                       f"run {number}/{len(logics)}")
            for number, logic in enumerate(logics, start=1)]
    results, seconds = run_paired(runs, options)
    return ImportanceResult(model.description, tuple(model.names), system, tuple(found),
                            dict(zip(logics, results)), seconds)
