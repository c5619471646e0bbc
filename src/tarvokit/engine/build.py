"""From a model's plain description to the engine's inputs: laws, tree and horizon in steps.

The description (model/reading.py) holds every component in the general form with its law tables
in time units, and the logic as minimal cut sets of component names. The engine works in steps of
1 / resolution time unit: the laws are built from their engine form (model/laws.py) and the cut
sets become a CutsetTree over the components in the description's order, which is their
numbering in the engine.
"""

from __future__ import annotations

import functools
import json
from dataclasses import dataclass, field
from typing import Any, Sequence

import tarvo

from ..model import laws
from ..model.calendar import plain_law, uses_calendar
from ..model.errors import Where
from .calendar import build_calendar
from .capacity import capacity_program
from .dependencies import EngineModel, build_dependencies, has_dependencies


@dataclass(frozen=True)
class EngineInputs:
    """What a runner call takes besides the seeds: borrowed by every call, only read."""

    steps: int  # the horizon in engine steps
    steps_per_unit: int  # the resolution
    laws: list  # laws[c][s][k]: the law of component c's transition from state s into k
    tree: tarvo.CutsetTree
    extra: dict[str, Any] = field(default_factory=dict)  # more runner arguments, by keyword


def engine_law(table: dict, path: str, resolution: int) -> tarvo.Distribution:
    """The engine law of a law table (times in time units) at `resolution` steps per unit. A
    Maintenance law becomes a Discrete law over the same durations: it draws from the history's
    own generator, so a study is reproducible from its seed and paired runs pair exactly."""
    kind, arguments = laws.engine_law(plain_law(table), Where("<description>", path), resolution)
    if kind == "Maintenance":
        kind = "Discrete"
    return getattr(tarvo, kind)(*arguments)


def engine_laws(description: dict) -> list:
    """The component model in engine steps: laws[c][s][k] times state s -> k.

    The engine takes the number of states of component 0 for all of them, so every component is
    padded to the largest count with transitions that never happen. A model with dependencies
    (standby units, crews, common-cause groups) has the component model of dependencies.py.
    """
    if has_dependencies(description):
        return _dependent_model(description).laws
    resolution = int(description["study"]["resolution"])
    components = description["components"]
    never = tarvo.Distribution()
    states = max(len(c["states"]) for c in components.values())
    model = []
    for name, component in components.items():
        rows = [[never] * states for _ in range(states)]
        index = {state: i for i, state in enumerate(component["states"])}
        for transition in component["transitions"]:
            table = {k: v for k, v in transition.items() if k not in ("from", "to")}
            rows[index[transition["from"]]][index[transition["to"]]] = \
                engine_law(table, f"components.{name}", resolution)
        model.append(rows)
    return model


def engine_tree(description: dict, cut_sets: Sequence[Sequence[int | str]] | None = None
                ) -> tarvo.CutsetTree:
    """The description's cut sets as a CutsetTree; `cut_sets` (component indices or names)
    replaces them."""
    names = list(description["components"])
    given = description["system"]["cut_sets"] if cut_sets is None else cut_sets
    position = {name: i for i, name in enumerate(names)}
    sets = [{position[m] if isinstance(m, str) else m for m in members} for members in given]
    tree = tarvo.CutsetTree(len(names))
    if sets:
        tree.constructTree([[1 if i in s else 0 for i in range(len(names))] for s in sets])
    return tree


def engine_inputs(description: dict, cut_sets: Sequence[Sequence[int | str]] | None = None
                  ) -> EngineInputs:
    """The engine's inputs for a description and an optional logic override, built once per
    process for the same pair (the tasks of a study share them)."""
    override = None if cut_sets is None else [list(s) for s in cut_sets]
    return _cached_inputs(json.dumps([description, override]))


@functools.lru_cache(maxsize=8)
def _cached_inputs(key: str) -> EngineInputs:
    # The JSON keeps the description's key order: the order of the components is their numbering
    # in the engine, so the key must not sort them.
    description, cut_sets = json.loads(key)
    study = description["study"]
    resolution = int(study["resolution"])
    steps = int(study["horizon"]) * resolution
    tree = engine_tree(description, cut_sets)
    if uses_calendar(description):
        return _calendar_inputs(description, steps, resolution, tree, cut_sets)
    program = capacity_program(description)
    extra: dict[str, Any] = {} if program is None else {"capacity": program}
    if has_dependencies(description):
        dependent = _dependent_model(description)
        return EngineInputs(steps, resolution, dependent.laws, tree,
                            {"dependencies": dependent.dependencies, **extra})
    return EngineInputs(steps, resolution, engine_laws(description), tree, extra)


def _dependent_model(description: dict) -> EngineModel:
    resolution = int(description["study"]["resolution"])
    return build_dependencies(description,
                              lambda table, path: engine_law(table, path, resolution))


def _calendar_inputs(description: dict, steps: int, resolution: int, tree: tarvo.CutsetTree,
                     cut_sets: Sequence[Sequence[int | str]] | None) -> EngineInputs:
    """A model with a calendar runs on runnerCalendarStudy, with or without dependencies; the
    calendar's system logic (that of the phases without their own) is `cut_sets` when given."""
    if has_dependencies(description):
        dependent = _dependent_model(description)
        model, dependencies, states = dependent.laws, dependent.dependencies, dependent.states
    else:
        model, dependencies = engine_laws(description), None
        states = [entry["states"] for entry in description["components"].values()]
    model, calendar = build_calendar(description, model, states,
                                     lambda table, path: engine_law(table, path, resolution),
                                     cut_sets)
    return EngineInputs(steps, resolution, model, tree,
                        {"dependencies": dependencies, "calendar": calendar})
