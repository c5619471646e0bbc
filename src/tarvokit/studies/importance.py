"""Importance: the model run once per derived logic on the same seeds (data/importance.py says
what each measure means and how its interval is made)."""

from __future__ import annotations

import copy

from ..data.importance import (ImportanceResult, Perfect, WithoutGroup, logics_to_run,
                               measures, ordered)
from ..engine.dependencies import interacting, perfect_variant
from ..data.production import amount_unit
from ..data.production_importance import COMMON_CAUSE, COMPONENT, production_importance
from ..model.reading import Model
from .options import RunOptions
from .planner import PlannedRun, run_paired


def run_importance(model: Model, options: RunOptions) -> ImportanceResult:
    """One run per distinct derived logic, all on seeds seed .. seed + histories - 1 in the same
    sub-batches. Ctrl-C stops after the running sub-batch with a KeyboardInterrupt saying which
    run it stopped (no partial table)."""
    system = frozenset(model.cut_sets)
    groups = [group.name for group in model.dependencies.common_cause]
    found = measures(model.cut_sets, model.names, groups, interacting(model.description))
    logics = logics_to_run(system, found)
    variants = production_variants(model)
    total = len(logics) + len(variants)
    runs = [_planned(model, system, key, f"run {number}/{total}")
            for number, key in enumerate(logics, start=1)]
    runs += [PlannedRun(model, None, f"run {len(logics) + number}/{total}", description)
             for number, description in enumerate(variants.values(), start=1)]
    results, seconds = run_paired(runs, options)
    production = None
    if variants:
        reference = results[logics.index(system)] if system in logics else results[0]
        production = production_importance(
            reference, dict(zip(variants, results[len(logics):])),
            amount_unit(model.capacity.unit or "", model.time_unit))
    return ImportanceResult(model.description, tuple(model.names), system, tuple(found),
                            dict(zip(logics, results[:len(logics)])), seconds, production)


def production_variants(model: Model) -> dict[tuple[str, str], dict]:
    """For a model with capacities: per component with a capacity, the description in which it
    delivers its working capacity in every state; per common-cause group, the one in which the
    group never strikes."""
    if model.capacity is None:
        return {}
    variants: dict[tuple[str, str], dict] = {}
    for name, table in model.capacity.given.items():
        description = copy.deepcopy(model.description)
        states = description["components"][name]["states"]
        working = table.get(states[0], 0.0)
        description["components"][name]["capacity"] = {
            state: max(table.get(state, 0.0), working) for state in states}
        variants[(COMPONENT, name)] = description
    for group in model.dependencies.common_cause:
        description = copy.deepcopy(model.description)
        description["common_cause"][group.name]["silent"] = True
        variants[(COMMON_CAUSE, group.name)] = description
    return variants


def _planned(model: Model, system, key, label: str) -> PlannedRun:
    """The run a key of the importance study stands for: a derived logic on the model, or the
    system's logic on the model whose common-cause group never strikes, or on the model with
    one component made perfect."""
    if isinstance(key, Perfect):
        return PlannedRun(model, None, label, perfect_variant(model.description, key.component))
    if isinstance(key, WithoutGroup):
        description = copy.deepcopy(model.description)
        description["common_cause"][key.group]["silent"] = True
        return PlannedRun(model, None, label, description)
    override = None if key == system else tuple(tuple(sorted(k)) for k in ordered(key))
    return PlannedRun(model, override, label)
