"""A study's model: read from a TOML file or a plain dict and checked.

The file and the dict have the same structure:

    [study]
    name = "Cooling-water loop"
    time_unit = "h"        # a label for reports
    horizon = 8760         # in time units, a positive whole number
    resolution = 60        # engine sub-steps per time unit (default 60)

    [components.pump]      # a two-state component: failure and (optional) repair
    count = 2              # a template: pump[1], pump[2]
    failure = {law = "Weibull", scale = 4000, shape = 1.8}
    repair = {law = "Exponential", mean = 36}

    [components.controller]  # any number of states, the first one working
    states = ["working", "failed", "maintenance"]
    transitions = [
        {from = "working", to = "failed", law = "Exponential", mean = 20000},
        ...
    ]

    [system]               # exactly one of cut_sets, fails_when, fault_tree
    fails_when = "power or controller or atleast(2, pump[*])"

Every error is a ModelError naming the source, the key path and what is expected, raised while
the input is read: nothing invalid reaches the engine.

The engine counts whole steps and truncates every delay toward zero. Laws are therefore given to
it in sub-steps of 1 / resolution time unit (times multiplied by the resolution, laws.py), which
makes that truncation bias about 1 / resolution of a time unit per delay; the engine layer folds
its counts back to time units.
"""

from __future__ import annotations

import copy
import re
import tomllib
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence

from . import calendar as calendar_keys
from . import capacity as capacities
from . import laws, logic
from . import memory
from .dependencies import COMPONENT_KEYS, TOP_LEVEL_KEYS, Dependencies, read_dependencies
from .errors import (ModelError, ModelWarning, Where, close_match_hint, number_text,
                     reject_unknown_keys, shortened, shown)
from .logistics import Logistics, read_logistics, repair_law
from .logistics import COMPONENT_KEYS as LOGISTICS_COMPONENT_KEYS
from .logistics import TOP_LEVEL_KEYS as LOGISTICS_TOP_LEVEL_KEYS
from .variants import Sweep, read_sweep, variant_data

DEFAULT_RESOLUTION = 60
INT_MAX = 2**31 - 1
TWO_STATES = ("working", "failed")
_LOGIC_KEYS = ("cut_sets", "fails_when", "fault_tree")
_COMPONENT_NAME = re.compile(r"[^\[\]\s][^\[\]]*(\[\d+\])?")
_UNIT_NAME = re.compile(r"(.*)\[(\d+)\]")
_NAMES_SHOWN = 5  # names listed in a warning about many components


@dataclass(frozen=True)
class Transition:
    source: int  # state indices of the component
    target: int
    law: dict  # the law table as given, times in time units


@dataclass(frozen=True)
class Component:
    name: str
    states: tuple[str, ...]
    transitions: tuple[Transition, ...]

    def description(self) -> dict:
        return {"states": list(self.states),
                "transitions": [{"from": self.states[t.source], "to": self.states[t.target],
                                 **t.law} for t in self.transitions]}


class Model:
    """A checked model: what to simulate, nothing about running it. Build it with `load(path)`
    or `Model.from_dict(data)`.

    `description` is its plain, picklable form: the same structure as the file with templates
    expanded, every component in the general form and the logic as minimal cut sets, so
    `Model.from_dict(model.description)` rebuilds it without SCRAM or the fault-tree file.
    `input` is the data as given (templates unexpanded) and `base_dir` where its files are:
    sweeps vary them. `sweep` is the file's [sweep] table, if any, and `variants` its checked
    models, one per value.
    """

    def __init__(self, name: str, time_unit: str, horizon: int, resolution: int,
                 components: Sequence[Component], cut_sets: Sequence[logic.CutSet],
                 source: str, warnings_: Sequence[str] = (), input_: dict | None = None,
                 base_dir: Path | None = None, sweep: Sweep | None = None,
                 variants_: Sequence["Model"] = (), dependencies: Dependencies | None = None,
                 calendar: calendar_keys.Calendar | None = None,
                 capacity: capacities.Capacity | None = None,
                 logistics: Logistics | None = None):
        self.name, self.time_unit, self.horizon = name, time_unit, horizon
        self.resolution = resolution
        self.components = tuple(components)
        self.cut_sets = tuple(cut_sets)
        self.source = source
        self.warnings = tuple(warnings_)
        self.input: dict = input_ if input_ is not None else {}
        self.base_dir = base_dir or Path(".")
        self.sweep = sweep
        self.variants = tuple(variants_)
        # Common-cause groups, standby units and repair crews (dependencies.py).
        self.dependencies = dependencies or Dependencies()
        # Phases, planned states, tests and held repairs (calendar.py).
        self.calendar = calendar or calendar_keys.Calendar()
        # What the system delivers: capacities, expression and demand (capacity.py), or None.
        self.capacity = capacity
        # Spare parts, logistic delays, ageing repairs and costs (logistics.py).
        self.logistics = logistics or Logistics()

    # --- Reading ---------------------------------------------------------------------------

    @classmethod
    def from_dict(cls, data: Any, source: str = "<dict>", base_dir: Path | None = None) -> "Model":
        """Checks `data` (the file's structure); a fault-tree path is relative to `base_dir`."""
        root = Where(source)
        if not isinstance(data, dict):
            root.fail("expected a table with [study], [components] and [system]")
        reject_unknown_keys(data, ("study", "components", "system", "sweep", *TOP_LEVEL_KEYS,
                                   *calendar_keys.TOP_LEVEL_KEYS,
                                   *LOGISTICS_TOP_LEVEL_KEYS), root)
        study = _table(data, "study", root)
        reject_unknown_keys(study, ("name", "time_unit", "horizon", "resolution",
                                   *capacities.STUDY_KEYS), root.key("study"))
        name = _text(study, "name", root.key("study"),
                     default="study" if source.startswith("<") else Path(source).stem)
        time_unit = _text(study, "time_unit", root.key("study"), default="time unit")
        horizon = _positive_int(study, "horizon", root.key("study"))
        resolution = _positive_int(study, "resolution", root.key("study"), DEFAULT_RESOLUTION)
        if horizon * resolution > INT_MAX:
            root.key("study").fail(f"horizon x resolution = {shown(horizon * resolution)} engine"
                                   f" steps; at most {INT_MAX} fit the engine")
        notes: list[str] = []
        entries = _component_entries(_table(data, "components", root), root.key("components"),
                                     horizon, resolution, notes)
        _refuse_what_cannot_fit(entries, horizon, resolution, root)
        components = [Component(name, entry.states, entry.transitions)
                      for entry in entries for name in entry.names]
        names = [c.name for c in components]
        dependencies = read_dependencies(data, components, root, resolution)
        logistics = read_logistics(data, components, root, resolution, dependencies.crews,
                                   [unit.name for unit in dependencies.standby])
        notes += logistics.notes
        notes += _never_fails_notes(entries, dependencies)
        base_dir = base_dir or Path(".")
        production = capacities.read_capacity(data, components,
                                              [s.name for s in dependencies.standby], root)
        if production is not None:
            capacities.refuse_long_histories(production, horizon * resolution, resolution,
                                             root)
        cut_sets = _cut_sets(_table(data, "system", root), root.key("system"), names, base_dir,
                             notes, production, components)
        notes += _unused_components_note(cut_sets, names)
        calendar = calendar_keys.read_calendar(
            data, components, root, resolution, horizon,
            lambda table, where: _cut_sets(table, where, names, base_dir, notes),
            [p.repairs for p in dependencies.crews], [s.name for s in dependencies.standby])
        if production is not None and calendar:
            # The calendar's runner does not carry a capacity program: refuse rather than
            # report production figures that ignore the phases.
            root.key("system").key("capacity").fail(
                "capacities are not simulated with a calendar yet (phases, planned states,"
                " tests); run the plant's capacity without the calendar")
        if logistics and calendar:
            # The calendar's runner keeps no logistic figures or costs: refuse rather than
            # report a plant whose repairs wait for nothing.
            root.fail("spare parts, logistic delays, ageing repairs and costs cannot yet be"
                      " studied together with a calendar (phases, planned states, tests with an"
                      " offset or a duration, duty or held repairs)")
        for note in notes:
            warnings.warn(f"{source}: {note}", ModelWarning, stacklevel=2)
        sweep = read_sweep(data["sweep"], root.key("sweep")) if "sweep" in data else None
        model = cls(name, time_unit, horizon, resolution, components, cut_sets, source, notes,
                    copy.deepcopy(data), base_dir, sweep, dependencies=dependencies,
                    calendar=calendar, capacity=production, logistics=logistics)
        if sweep is not None:
            # Every value must make a valid model; the checked models serve the runs too.
            model.variants = tuple(variants(model, sweep))
        return model

    @property
    def description(self) -> dict:
        names = self.names
        return self.calendar.add_to(capacities.add_to(self.capacity, self.logistics.add_to(
            self.dependencies.add_to({
            "study": {"name": self.name, "time_unit": self.time_unit, "horizon": self.horizon,
                      "resolution": self.resolution},
            "components": {c.name: c.description() for c in self.components},
            "system": {"cut_sets": [[names[i] for i in sorted(s)] for s in self.cut_sets]},
        }))), names)

    def with_resolution(self, resolution: int) -> "Model":
        data = copy.deepcopy(self.description)
        data["study"]["resolution"] = resolution
        return Model.from_dict(data, self.source)

    # --- Facts -----------------------------------------------------------------------------

    @property
    def names(self) -> list[str]:
        return [c.name for c in self.components]

    @property
    def steps(self) -> int:
        """The engine's horizon: time units times the resolution."""
        return self.horizon * self.resolution

    @property
    def has_maintenance(self) -> bool:
        """Maintenance laws draw from the C library's shared generator, not from the seed."""
        return any(t.law["law"] == "Maintenance" for c in self.components for t in c.transitions)

    @property
    def shape(self) -> memory.Shape:
        """The dimensions its memory grows with (memory.py)."""
        return memory.Shape.of(self.horizon, self.resolution, self.names,
                               [len(c.states) for c in self.components],
                               sum(len(s) for s in self.cut_sets))

    def refuse_if_too_large(self, threads: int) -> None:
        """ModelError naming the key responsible when a run on `threads` threads would not fit
        in the memory available (the reader checked one thread)."""
        refused = memory.refusal(self.shape, threads)
        if refused is not None:
            key, message = refused
            Where(self.source, key).fail(message)

    def transition_key(self, name: str, index: int) -> str:
        """The key path, as the file wrote it, of transition `index` of component `name` in the
        description: `components.hx.failure` for a component given by the failure and repair
        shorthand, `components.pump.transitions[2]` for a template's unit pump[1]."""
        match = _UNIT_NAME.fullmatch(name)
        tables = self.input.get("components", {})
        key = match.group(1) if match and name not in tables else name
        entry = tables.get(key, {})
        if "failure" in entry or "repair" in entry:
            return f"components.{key}.{('failure', 'repair')[index]}" if index < 2 \
                else f"components.{key}"
        return f"components.{key}.transitions[{index}]"

    def resolve_cut_sets(self, cut_sets: Sequence[Sequence[int | str]]) -> list[logic.CutSet]:
        """Cut sets given as component indices or names, as index sets."""
        names = self.names
        resolved = []
        for members in cut_sets:
            indices = set()
            for member in members:
                if isinstance(member, str):
                    indices.update(logic.expand_name(member, names, Where(self.source, "cut_sets")))
                elif isinstance(member, int) and 0 <= member < len(names):
                    indices.add(member)
                else:
                    raise ModelError(f"{self.source}: cut_sets: no component {shown(member)}")
            resolved.append(frozenset(indices))
        return resolved


def variants(model: Model, sweep: Sweep) -> list[Model]:
    """One checked model per value of `sweep`. Raises ModelError naming the value that makes the
    model invalid, and why."""
    where = Where(model.source, "sweep")
    built = []
    for index, value in enumerate(sweep.values):
        data = variant_data(model.input, sweep.parameter, value, where.key("parameter"))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ModelWarning)  # reported for the model itself
                built.append(Model.from_dict(data, model.source, model.base_dir))
        except ModelError as error:
            where.key("values").item(index).fail(str(error).removeprefix(f"{model.source}: "))
    return built


def load(path: str | Path) -> Model:
    """Reads and checks a TOML model file; raises ModelError naming the file and key path."""
    path = Path(path)
    try:
        with path.open("rb") as stream:
            data = tomllib.load(stream)
    except OSError as error:
        raise ModelError(f"{path}: cannot read the model file: {error.strerror}") from None
    except UnicodeDecodeError as error:
        raise ModelError(f"{path}: not a text file in UTF-8 (byte {error.start + 1} cannot be"
                         " read): save it as UTF-8") from None
    except tomllib.TOMLDecodeError as error:
        raise ModelError(f"{path}: invalid TOML: {error}") from None
    except RecursionError:
        raise ModelError(f"{path}: invalid TOML: arrays or tables nested too deeply") from None
    return Model.from_dict(data, source=str(path), base_dir=path.parent)


# --- Reading helpers ----------------------------------------------------------------------


def _table(data: dict, key: str, where: Where) -> dict:
    if key not in data:
        where.fail(f"missing [{key}]")
    value = data[key]
    if not isinstance(value, dict):
        where.key(key).fail(f"expected a table, got {shown(value)}")
    return value


def _text(table: dict, key: str, where: Where, default: str) -> str:
    value = table.get(key, default)
    if not isinstance(value, str) or not value:
        where.key(key).fail(f"expected a non-empty string, got {shown(value)}")
    return value


def _positive_int(table: dict, key: str, where: Where, default: int | None = None) -> int:
    if key not in table and default is not None:
        return default
    if key not in table:
        where.fail(f'missing "{key}", a positive whole number')
    value = table[key]
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        where.key(key).fail(f"expected a positive whole number, got {shown(value)}")
    return value


@dataclass(frozen=True)
class _Entry:
    """One table of [components], checked: a component or a template of `count` units."""

    key: str  # its name in the file
    where: Where
    states: tuple[str, ...]
    transitions: tuple[Transition, ...]
    count: int | None  # None: not a template

    @property
    def names(self) -> list[str]:
        if self.count is None:
            return [self.key]
        return [f"{self.key}[{unit}]" for unit in range(1, self.count + 1)]


def _component_entries(table: dict, where: Where, horizon: int, resolution: int,
                       notes: list[str]) -> list[_Entry]:
    """The checked tables of [components], templates not yet expanded (a count of millions is
    refused for its memory before its units are made)."""
    if not table:
        where.fail("expected at least one component")
    entries = []
    for name, entry in table.items():
        if not isinstance(name, str):
            where.fail(f"component names must be strings, got {shown(name)}")
        at = where.key(name)
        if not isinstance(entry, dict):
            at.fail("expected a table with failure/repair or states/transitions, got"
                    f" {shown(entry)}")
        if not _COMPONENT_NAME.fullmatch(name) or ("count" in entry and "[" in name):
            at.fail("a component name may not be empty or contain brackets other than a unit"
                    " number such as pump[2] (a template adds those)")
        if not name.isprintable():
            at.fail("a component name may not contain control characters (line breaks, tabs)")
        reject_unknown_keys(entry, ("count", "failure", "repair", "states", "transitions",
                                    *COMPONENT_KEYS, *calendar_keys.COMPONENT_KEYS,
                                    *capacities.COMPONENT_KEYS, *LOGISTICS_COMPONENT_KEYS), at)
        states, transitions = _states_and_transitions(entry, at, _Times(horizon, resolution),
                                                      notes)
        count = _positive_int(entry, "count", at) if "count" in entry else None
        entries.append(_Entry(name, at, states, transitions, count))
    _refuse_duplicate_names(entries)
    return entries


def _refuse_duplicate_names(entries: list[_Entry]) -> None:
    """A component named like a unit of a template (b[1] beside b with count = 2) would be two
    components of one name, and the logic could not say which it means."""
    counts = {entry.key: entry.count for entry in entries if entry.count is not None}
    for entry in entries:
        match = _UNIT_NAME.fullmatch(entry.key)
        if match is None or match.group(1) not in counts:
            continue
        template, unit = match.group(1), int(match.group(2))
        if 1 <= unit <= counts[template]:
            entry.where.fail(f"{entry.key} is also a unit of the template"
                             f" components.{template} (count = {counts[template]}): two"
                             " components of one name; rename one or lower the count")


def _never_fails_notes(entries: list[_Entry], dependencies: Dependencies) -> list[str]:
    """A component with no transition out of its working state never fails, unless a
    common-cause group can fail it."""
    struck = {member for group in dependencies.common_cause for member in group.members}
    return [f'{entry.where.path}: no transition out of "{entry.states[0]}": it never fails'
            for entry in entries
            if not any(t.source == 0 for t in entry.transitions)
            and not any(name in struck for name in entry.names)]


def _refuse_what_cannot_fit(entries: list[_Entry], horizon: int, resolution: int,
                            root: Where) -> None:
    """Refuses a model that even a one-thread run could not hold in memory (memory.py)."""
    counts = {e.key: e.count or 1 for e in entries}
    largest = max(entries, key=lambda e: e.count or 1)
    widest = max(entries, key=lambda e: len(e.states))
    shape = memory.Shape(horizon, resolution, sum(counts.values()), len(widest.states), 0,
                         f"components.{largest.key}.count" if largest.count else "components",
                         f"components.{widest.key}.states")
    refused = memory.refusal(shape, threads=1)
    if refused is not None:
        key, message = refused
        Where(root.source, key).fail(message)


def _unused_components_note(cut_sets: list[logic.CutSet], names: list[str]) -> list[str]:
    """One note for every component in no cut set, however many there are."""
    unused = logic.components_in_no_cut_set(cut_sets, len(names))
    if not unused:
        return []
    if len(unused) == 1:
        return [f'component "{names[unused[0]]}" is in no cut set: it cannot fail the system']
    shown_names = ", ".join(f'"{names[i]}"' for i in unused[:_NAMES_SHOWN])
    more = f" and {len(unused) - _NAMES_SHOWN:,} more" if len(unused) > _NAMES_SHOWN else ""
    return [f"{len(unused):,} components are in no cut set, so they cannot fail the system:"
            f" {shown_names}{more}"]


@dataclass(frozen=True)
class _Times:
    horizon: int
    resolution: int


def _states_and_transitions(entry: dict, where: Where, times: _Times, notes: list[str]
                            ) -> tuple[tuple[str, ...], tuple[Transition, ...]]:
    shorthand = "failure" in entry or "repair" in entry
    general = "states" in entry or "transitions" in entry
    if shorthand == general:
        where.fail("expected either failure (and repair) or states and transitions")
    if shorthand:
        if "failure" not in entry:
            where.fail('missing "failure" (a component with a repair needs a failure)')
        entries = [("failure", 0, 1, entry["failure"])]
        if "repair" in entry:
            entries.append(("repair", 1, 0, repair_law(entry["repair"])))
        transitions = [_transition(law, source, target, where.key(key), times, notes)
                       for key, source, target, law in entries]
        return TWO_STATES, tuple(transitions)
    states = _state_names(entry, where)
    items = entry.get("transitions")
    if not isinstance(items, list):
        where.key("transitions").fail("expected a list of tables {from = ..., to = ..., law = ...}")
    result, seen = [], set()
    for index, item in enumerate(items):
        at = where.key("transitions").item(index)
        if not isinstance(item, dict):
            at.fail(f"expected a table {{from = ..., to = ..., law = ...}}, got {shown(item)}")
        source = _state_index(item, "from", states, at)
        target = _state_index(item, "to", states, at)
        if source == target:
            at.fail(f'a transition from "{states[source]}" to itself')
        if (source, target) in seen:
            at.fail(f'a second transition from "{states[source]}" to "{states[target]}"')
        seen.add((source, target))
        law = {k: v for k, v in item.items() if k not in ("from", "to")}
        result.append(_transition(law, source, target, at, times, notes))
    return states, tuple(result)


def _state_names(entry: dict, where: Where) -> tuple[str, ...]:
    states = entry.get("states")
    if (not isinstance(states, list) or len(states) < 2
            or not all(isinstance(s, str) and s for s in states)):
        where.key("states").fail('expected a list of at least two state names, the working one'
                                 ' first, such as ["working", "failed"]')
    if not all(s.isprintable() for s in states):
        where.key("states").fail("state names may not contain control characters")
    if len(set(states)) != len(states):
        where.key("states").fail("state names must differ")
    return tuple(states)


def _state_index(item: dict, key: str, states: tuple[str, ...], where: Where) -> int:
    if key not in item:
        where.fail(f'missing "{key}", a state name')
    name = item[key]
    if name not in states:
        hint = close_match_hint(name, states) if isinstance(name, str) else ""
        where.key(key).fail(f"unknown state {shown(name)}{hint};"
                            f" the states are {_listed(states)}")
    return states.index(name)


def _listed(names: Sequence[str]) -> str:
    """Names for a message of one readable line: each shortened, a few of many."""
    shown_names = ", ".join(shortened(name) for name in names[:_NAMES_SHOWN])
    return shown_names + (f" and {len(names) - _NAMES_SHOWN:,} more"
                          if len(names) > _NAMES_SHOWN else "")


def _transition(law: Any, source: int, target: int, where: Where, times: _Times,
                notes: list[str]) -> Transition:
    laws.engine_law(calendar_keys.plain_law(law), where, times.resolution)  # checks it; the engine layer builds it per run
    if law["law"] == "Inspection" and law["period"] >= times.horizon:
        # The first inspection comes at one period: the transition never fires in the study.
        notes.append(f"{where.path}: Inspection period {number_text(law['period'])} is not"
                     f" shorter than the horizon ({times.horizon:,}): no inspection happens"
                     " within the study, so this transition never fires")
    return Transition(source, target, dict(law))


def _cut_sets(system: dict, where: Where, names: list[str], base_dir: Path,
              notes: list[str], production: capacities.Capacity | None = None,
              components: Sequence[Component] = ()) -> list[logic.CutSet]:
    reject_unknown_keys(system, (*_LOGIC_KEYS, *capacities.SYSTEM_KEYS), where)
    given = [key for key in _LOGIC_KEYS if key in system]
    if len(given) != 1:
        where.fail("expected exactly one of cut_sets, fails_when, fault_tree")
    key = given[0]
    if key == "cut_sets":
        return logic.cut_sets_from_names(system[key], names, where.key(key), notes)
    if key == "fails_when" and production is not None and capacities.is_condition(system[key]):
        return capacities.cut_sets_of_condition(system[key], production, names,
                                                {c.name: c.states for c in components},
                                                where.key(key))
    if key == "fails_when":
        return logic.cut_sets_of_expression(system[key], names, where.key(key))
    path = system[key]
    if not isinstance(path, str):
        where.key(key).fail(f"expected the path of an Open-PSA MEF file, got {shown(path)}")
    return logic.cut_sets_of_fault_tree(base_dir / path, names, where.key(key))
