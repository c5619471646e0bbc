"""The plant's calendar: operating phases, planned downtime and tests as they are done.

In the model file:

    [phases]                       # these phases in order, repeated until the horizon
    sequence = ["operation", "outage"]

    [phases.operation]
    duration = 7000                # time units, or a law: {law = "Normal", mean = 7000, sd = 150}
    fails_when = "atleast(2, pump[*]) or feed"   # optional: this phase's logic ([system]'s)
    on_system_failure = "outage"   # optional: the system failing here starts that phase at once

    [phases.outage]
    duration = {law = "Uniform", low = 600, high = 900}
    required = false               # downtime here is not counted (default true)

    [components.pump]
    repair = {law = "Exponential", mean = 24, held_until = "outage"}  # waits, down, for it
    duty = {outage = 0.0}          # the pace of its failure clocks per phase (default 1)

    [components.valve]
    repair = {law = "Inspection", period = 720, offset = 360, duration = 2, efficiency = 0.95}

    [components.controller]
    planned = ["maintenance"]      # states that are planned downtime, not failure

`read_calendar` checks these keys against the expanded components and gives them in the
description's form, which it reads back unchanged:

    description["phases"] = {"sequence": [...], name: {"duration": number or law,
                             "required": bool, "cut_sets": [[names]] (own logic only),
                             "on_system_failure": name (if given)}}
    description["components"][name]["duty"] = {phase: pace}     # only the paces given
    description["components"][name]["planned"] = [state names]
    `held_until`, `offset`, `duration` and `efficiency` stay in their law tables.

A model that uses none of these has no calendar and runs as before, number for number.
"""

from __future__ import annotations

import math

from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

from . import laws
from .dependencies import ComponentShape, TransitionShape
from .errors import Where, close_match_hint, number_text, reject_unknown_keys, shown

# Keys this module reads: the model reader accepts them beside its own.
TOP_LEVEL_KEYS = ("phases",)
COMPONENT_KEYS = ("duty", "planned")
# Keys a law table may hold for the calendar: any law into the working state may hold its
# repairs; an Inspection into it may be a test with these.
HELD_KEY = "held_until"
TEST_KEYS = ("offset", "duration", "efficiency")
_PHASE_KEYS = ("duration", "required", "on_system_failure", "demand", "cut_sets", "fails_when",
               "fault_tree")
_LOGIC_KEYS = ("cut_sets", "fails_when", "fault_tree")
# Duration laws a phase may draw from (tests and fixed dates are not durations).
_DURATION_LAWS = ("Exponential", "Weibull", "Normal", "Uniform", "Maintenance")
# Clocks run at most this many times faster than at pace 1.
MAX_PACE = 1e6
# The one phase of a model with planned states or tests but no [phases].
WHOLE_STUDY = "study"

LogicReader = Callable[[dict, Where], list]


def plain_law(table: Any) -> Any:
    """The law table without its calendar keys: what the law itself is."""
    if not isinstance(table, dict):
        return table
    return {k: v for k, v in table.items() if k != HELD_KEY and k not in TEST_KEYS}


def is_test(table: dict) -> bool:
    """An Inspection that the engine runs as a test: offset, duration or efficiency given."""
    return table.get("law") == "Inspection" and any(k in table for k in TEST_KEYS)


@dataclass(frozen=True)
class Phase:
    name: str
    duration: float | dict  # time units, or a law table
    required: bool = True
    cut_sets: tuple[frozenset[int], ...] | None = None  # None: the system's logic
    on_system_failure: str | None = None
    demand: float | None = None  # capacity units; None: the system's (checked with capacities)

    @property
    def random(self) -> bool:
        return isinstance(self.duration, dict)

    def description(self, names: Sequence[str]) -> dict:
        entry: dict[str, Any] = {"duration": self.duration, "required": self.required}
        if self.cut_sets is not None:
            entry["cut_sets"] = [[names[i] for i in sorted(s)] for s in self.cut_sets]
        if self.on_system_failure is not None:
            entry["on_system_failure"] = self.on_system_failure
        if self.demand is not None:
            entry["demand"] = self.demand
        return entry


@dataclass(frozen=True)
class Test:
    """A component tested at offset, then every period; out for `duration` at each test."""

    component: str
    period: float
    offset: float | None
    duration: float
    efficiency: float


@dataclass(frozen=True)
class Calendar:
    """A model's calendar; empty (false) when the model uses none of its keys."""

    phases: tuple[Phase, ...] = ()
    sequence: tuple[str, ...] = ()
    duty: dict[str, dict[str, float]] = field(default_factory=dict)
    planned: dict[str, tuple[str, ...]] = field(default_factory=dict)
    held: dict[str, str] = field(default_factory=dict)  # component -> phase
    tests: tuple[Test, ...] = ()
    given: bool = False  # [phases] was in the file

    def __bool__(self) -> bool:
        return bool(self.given or self.planned or self.tests or self.held or self.duty)

    @property
    def phase_names(self) -> list[str]:
        return [p.name for p in self.phases]

    def phase(self, name: str) -> Phase:
        return self.phases[self.phase_names.index(name)]

    @property
    def fixed(self) -> bool:
        """Every duration fixed and no switch on failure: the calendar of every history is
        the same."""
        return not any(p.random or p.on_system_failure for p in self.phases)

    def add_to(self, description: dict, names: Sequence[str]) -> dict:
        """A copy of `description` with the calendar's keys set (only when it has one)."""
        if not self:
            return description
        result = {**description, "components": {name: dict(entry) for name, entry
                                                in description["components"].items()}}
        if self.given:
            result["phases"] = {"sequence": list(self.sequence),
                                **{p.name: p.description(names) for p in self.phases}}
        for name, paces in self.duty.items():
            result["components"][name]["duty"] = dict(paces)
        for name, states in self.planned.items():
            result["components"][name]["planned"] = list(states)
        return result

    def text(self, time_unit: str) -> str:
        """Lines for `tarvo check`: the phases in order, and what depends on them."""
        lines = []
        if self.given:
            lines.append(f"Phases, in this order and repeated: {' -> '.join(self.sequence)}")
            for p in self.phases:
                how = (laws.describe(p.duration, time_unit) if p.random
                       else f"{number_text(p.duration)} {time_unit}")
                extra = [] if p.required else ["not required (downtime not counted)"]
                if p.cut_sets is not None:
                    count = len(p.cut_sets)
                    extra.append(f"its own logic ({count} cut set{'s' if count != 1 else ''})")
                if p.on_system_failure:
                    extra.append(f"on system failure -> {p.on_system_failure}")
                if p.demand is not None and p.required:
                    extra.append(f"demand {number_text(p.demand)}")
                if p.name not in self.sequence:
                    extra.append("outside the sequence")
                lines.append(f"  {p.name}: {how}" + "".join(f"; {e}" for e in extra))
        for names, paces in _grouped(self.duty):
            lines.append(f"  duty of {names}: " + ", ".join(f"{number_text(f)} in {q}"
                                                            for q, f in paces.items()))
        for names, phase in _grouped(self.held):
            lines.append(f"  repairs of {names} wait for {phase}")
        for names, states in _grouped(self.planned):
            lines.append(f"  planned downtime of {names}: {', '.join(states)}")
        for t in self.tests:
            first = number_text(t.offset if t.offset is not None else t.period)
            lines.append(f"  test of {t.component}: first at {first} {time_unit}, every"
                         f" {number_text(t.period)}, out {number_text(t.duration)} {time_unit},"
                         f" efficiency {number_text(t.efficiency)}")
        return "\n".join(lines)


def _grouped(by_name: dict[str, Any]) -> list[tuple[str, Any]]:
    """The entries of a table by component, the units of one template with one value as one
    entry: {"pump[1]": x, "pump[2]": x} gives [("pump[1..2]", x)]."""
    groups: list[tuple[str, list[int], Any]] = []
    for name, value in by_name.items():
        template, _, unit = name.partition("[")
        number = int(unit[:-1]) if unit[:-1].isdigit() else None
        last = groups[-1] if groups else None
        if (number is not None and last is not None and last[0] == template and last[1]
                and last[1][-1] == number - 1 and last[2] == value):
            last[1].append(number)
        else:
            groups.append((template if number is not None else name,
                           [number] if number is not None else [], value))
    return [(f"{t}[{u[0]}..{u[-1]}]" if len(u) > 1 else f"{t}[{u[0]}]" if u else t, v)
            for t, u, v in groups]


def read_calendar(data: dict, components: Sequence[ComponentShape], root: Where, resolution: int,
                  horizon: int, read_logic: LogicReader, crews: Sequence[Sequence[str]] = (),
                  standby: Sequence[str] = ()) -> Calendar:
    """The calendar of the model `data`, checked; `read_logic(table, where)` reads a phase's
    logic as [system] would be read. `crews` are the crew pools' members and `standby` the
    standby units, with which held repairs and tests do not go."""
    given = "phases" in data
    phases: tuple[Phase, ...] = ()
    sequence: tuple[str, ...] = ()
    if given:
        phases, sequence = _read_phases(data["phases"], root.key("phases"), resolution,
                                        read_logic)
    names = [p.name for p in phases]
    units = _units_of(data.get("components", {}), components)
    duty, planned = {}, {}
    for key, entry in data.get("components", {}).items():
        if not isinstance(entry, dict):
            continue
        at = root.key("components").key(key)
        if "duty" in entry:
            paces = _read_duty(entry["duty"], at.key("duty"), names)
            for unit in units[key]:
                duty[unit.name] = paces
        if "planned" in entry:
            for unit in units[key]:
                planned[unit.name] = _read_planned(entry["planned"], at.key("planned"),
                                                   unit.states)
    held, tests = {}, []
    pooled = {name for members in crews for name in members}
    for key, entry in data.get("components", {}).items():
        for unit in units.get(key, []):
            for transition in unit.transitions:
                where = _law_where(root, key, entry, unit, transition)
                law = transition.law
                if HELD_KEY in law:
                    held[unit.name] = _read_held(law[HELD_KEY], where.key(HELD_KEY), transition,
                                                 sequence, names, unit.name in pooled)
                if any(k in law for k in TEST_KEYS):
                    tests.append(_read_test(law, where, transition, unit, resolution,
                                            unit.name in pooled or unit.name in standby))
    if not given and duty:
        root.key("components").fail("duty needs [phases]: a pace per phase")
    return Calendar(phases, sequence, duty, planned, held, tuple(tests), given)


def whole_study_phase(horizon: int) -> Phase:
    """The one phase of a calendar without [phases]: the whole study, required."""
    return Phase(WHOLE_STUDY, float(horizon))


# --- Phases -------------------------------------------------------------------------------


def _read_phases(table: Any, where: Where, resolution: int, read_logic: LogicReader
                 ) -> tuple[tuple[Phase, ...], tuple[str, ...]]:
    if not isinstance(table, dict):
        where.fail(f"expected a table with sequence and one table per phase, got {shown(table)}")
    if "sequence" not in table:
        where.fail('missing "sequence", the list of phases in order')
    tables = {k: v for k, v in table.items() if k != "sequence"}
    if not tables:
        where.fail("expected at least one phase, as [phases.NAME] with its duration")
    known = list(tables)
    sequence = _read_sequence(table["sequence"], where.key("sequence"), known)
    phases = []
    for name, entry in tables.items():
        at = where.key(name)
        if not isinstance(entry, dict):
            at.fail(f"expected a phase table with its duration, got {shown(entry)}")
        reject_unknown_keys(entry, _PHASE_KEYS, at)
        if "duration" not in entry:
            at.fail('missing "duration": a number of time units or a law')
        duration = _read_duration(entry["duration"], at.key("duration"), resolution)
        required = entry.get("required", True)
        if not isinstance(required, bool):
            at.key("required").fail(f"expected true or false, got {shown(required)}")
        cut_sets = None
        if any(k in entry for k in _LOGIC_KEYS):
            cut_sets = tuple(read_logic({k: entry[k] for k in _LOGIC_KEYS if k in entry}, at))
        switch = entry.get("on_system_failure")
        if switch is not None:
            _known_phase(switch, at.key("on_system_failure"), known)
        demand = entry.get("demand")
        if demand is not None and (isinstance(demand, bool) or not isinstance(
                demand, (int, float)) or not math.isfinite(demand) or demand < 0):
            at.key("demand").fail(f"expected a number of at least 0, got {shown(demand)}")
        phases.append(Phase(name, duration, required, cut_sets, switch,
                            None if demand is None else float(demand)))
    if not any(phases[known.index(name)].required for name in sequence):
        where.key("sequence").fail("no phase of the sequence is required: the plant is never"
                                   " asked to run, so there is nothing to measure")
    return tuple(phases), sequence


def _read_sequence(value: Any, where: Where, known: list[str]) -> tuple[str, ...]:
    if not isinstance(value, list) or not value:
        where.fail(f"expected a list of phase names, got {shown(value)}")
    seen: set[str] = set()
    for index, name in enumerate(value):
        _known_phase(name, where.item(index), known)
        if name in seen:
            where.item(index).fail(f'phase "{name}" is in the sequence twice: a phase that'
                                   " comes back within one cycle is two phases of two names")
        seen.add(name)
    return tuple(value)


def _known_phase(name: Any, where: Where, known: Sequence[str]) -> str:
    if not isinstance(name, str) or name not in known:
        hint = close_match_hint(name, known) if isinstance(name, str) else ""
        where.fail(f"unknown phase {shown(name)}{hint}; the phases are {', '.join(known)}")
    return name


def _read_duration(value: Any, where: Where, resolution: int) -> float | dict:
    if isinstance(value, dict):
        name = laws.law_name(value, where)
        if name not in _DURATION_LAWS:
            where.key("law").fail(f"{name} is not a law of durations; a phase's duration is a"
                                  f" number or one of: {', '.join(_DURATION_LAWS)}")
        laws.engine_law(value, where, resolution)
        return dict(value)
    number = laws.finite_number(value, where)
    if number <= 0:
        where.fail(f"expected a positive number of time units, got {number_text(number)}")
    steps = number * resolution
    if abs(steps - round(steps)) > 1e-9 * max(1.0, steps) or steps > laws.INT_MAX:
        where.fail(f"{number_text(number)} is not a whole number of sub-steps at resolution"
                   f" {resolution}")
    return value


# --- Components ---------------------------------------------------------------------------


def _units_of(table: dict, components: Sequence[ComponentShape]
              ) -> dict[str, list[ComponentShape]]:
    """Per key of [components], the components it made (one, or a template's units)."""
    units: dict[str, list[ComponentShape]] = {key: [] for key in table}
    for component in components:
        key = component.name.split("[")[0] if component.name not in table else component.name
        if key in units:
            units[key].append(component)
    return units


def _read_duty(value: Any, where: Where, phases: list[str]) -> dict[str, float]:
    if not phases:
        where.fail("duty needs [phases]: a pace per phase")
    if not isinstance(value, dict):
        where.fail(f"expected a table of paces by phase, such as {{outage = 0}}, got"
                   f" {shown(value)}")
    paces = {}
    for name, pace in value.items():
        at = where.key(name)
        _known_phase(name, at, phases)
        number = laws.finite_number(pace, at)
        if number < 0:
            at.fail(f"a pace must be at least 0 (0 stops the clocks), got {number_text(number)}")
        if number > MAX_PACE:
            at.fail(f"a pace of at most {MAX_PACE:g} is taken, got {number_text(number)}")
        paces[name] = float(number)
    return paces


def _read_planned(value: Any, where: Where, states: tuple[str, ...]) -> tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(s, str) for s in value):
        where.fail(f"expected a list of state names, got {shown(value)}")
    for index, state in enumerate(value):
        if state not in states:
            where.item(index).fail(f"unknown state {shown(state)}"
                                   f"{close_match_hint(state, states)}; the states are"
                                   f" {', '.join(states)}")
        if state == states[0]:
            where.item(index).fail(f'"{state}" is the working state, not downtime')
    return tuple(value)


def _law_where(root: Where, key: str, entry: Any, unit: ComponentShape,
               transition: TransitionShape) -> Where:
    at = root.key("components").key(key)
    if isinstance(entry, dict) and "transitions" not in entry:
        return at.key("failure" if transition.source == 0 else "repair")
    index = 0
    if isinstance(entry, dict):
        for i, item in enumerate(entry.get("transitions", [])):
            if (isinstance(item, dict) and item.get("from") == unit.states[transition.source]
                    and item.get("to") == unit.states[transition.target]):
                index = i
    return at.key("transitions").item(index)


def _read_held(value: Any, where: Where, transition: TransitionShape, sequence: Sequence[str],
               phases: Sequence[str], pooled: bool) -> str:
    if transition.target != 0:
        where.fail("only a repair (a transition into the working state) can be held")
    if not phases:
        where.fail("held_until needs [phases]: the phase the repair waits for")
    _known_phase(value, where, phases)
    if value not in sequence:
        where.fail(f'phase "{value}" is not in phases.sequence, so it may never begin: a held'
                   " repair must wait for a phase that comes back")
    if pooled:
        where.fail("a component repaired by a crew cannot also hold its repairs for a phase")
    return value


def _read_test(law: dict, where: Where, transition: TransitionShape, unit: ComponentShape,
               resolution: int, dependent: bool) -> Test:
    if law.get("law") != "Inspection" or transition.target != 0:
        key = next(k for k in TEST_KEYS if k in law)
        where.key(key).fail("only an Inspection that repairs (a transition into the working"
                            " state) takes offset, duration and efficiency")
    if dependent:
        where.fail("a test with offset, duration or efficiency is not for a standby unit or a"
                   " component repaired by a crew")
    if any(t.law.get("law") == "Inspection" and t.target == 0 and t is not transition
           for t in unit.transitions):
        where.fail("a component has one test")
    period = float(law["period"])

    def time_of(key: str, default: float | None) -> float | None:
        if key not in law:
            return default
        value = laws.finite_number(law[key], where.key(key))
        if value < 0:
            where.key(key).fail(f"expected a time of at least 0, got {number_text(value)}")
        steps = value * resolution
        if abs(steps - round(steps)) > 1e-9 * max(1.0, steps):
            where.key(key).fail(f"{number_text(value)} is not a whole number of sub-steps at"
                                f" resolution {resolution}")
        return value

    offset = time_of("offset", None)
    duration = time_of("duration", 0.0) or 0.0
    if duration >= period:
        where.key("duration").fail(f"a test of {number_text(duration)} does not fit its period"
                                   f" of {number_text(period)}: the duration must be shorter")
    efficiency = 1.0
    if "efficiency" in law:
        efficiency = laws.finite_number(law["efficiency"], where.key("efficiency"))
        if not 0.0 <= efficiency <= 1.0:
            where.key("efficiency").fail(f"expected a chance in [0, 1], got"
                                         f" {number_text(efficiency)}")
    return Test(unit.name, period, offset, duration, efficiency)


def time_steps(value: float, resolution: int) -> int:
    """A time in time units as whole engine steps."""
    return int(round(value * resolution))


def uses_calendar(description: dict) -> bool:
    """Whether a description has a calendar (phases, planned states, tests or held repairs)."""
    if "phases" in description:
        return True
    for entry in description["components"].values():
        if "planned" in entry or "duty" in entry:
            return True
        for t in entry.get("transitions", []):
            if HELD_KEY in t or is_test(t):
                return True
    return False


__all__ = ["Calendar", "Phase", "Test", "read_calendar", "plain_law", "is_test",
           "uses_calendar", "whole_study_phase", "time_steps"]
