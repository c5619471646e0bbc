"""Components that depend on each other: common-cause groups, standby units and repair crews.

In the model file:

    [common_cause.pump_ccf]
    members = ["pump[*]"]      # names; name[*] for every unit of a template
    beta = 0.05                # or: shock = {law = "Exponential", mean = 50000}

    [components.pump3]
    failure = {law = "Weibull", scale = 4000, shape = 1.8}
    repair = {law = "Exponential", mean = 36}
    standby = {covers = ["pump[1]", "pump[2]"], dormant = {law = "Exponential", mean = 1e6},
               start_failure = 0.02}

    [crews.mechanics]
    count = 1                  # the default
    repairs = ["pump[*]", "pump3"]
    order = "first_failed"     # or "listed": the order of `repairs`

`read_dependencies` checks these keys against the expanded components and gives them in the
description's form (names expanded, defaults filled in), which it reads back unchanged:

    description["components"][name]["standby"] = {"covers": [...], "start_failure": p,
                                                  "dormant": {...}}   # dormant only if given
    description["common_cause"][group] = {"members": [...], "beta": b}  # or "shock": {...}
    description["crews"][pool] = {"count": n, "repairs": [...], "order": "first_failed"}

A beta group's members keep their own failure law in the description: whoever builds the
model for a run takes the beta share off it. A member's failed state, the one a strike or a
start failure puts it in, is its state named "failed", else its state 1.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Any, Protocol, Sequence

from . import laws, logic
from .errors import Where, close_match_hint, reject_unknown_keys, shown

# The engine takes a number of crews as a 32-bit int.
INT_MAX = 2**31 - 1

# Keys this module reads: the model reader accepts them beside its own.
TOP_LEVEL_KEYS = ("common_cause", "crews")
COMPONENT_KEYS = ("standby",)

_GROUP_KEYS = ("members", "beta", "shock")
_STANDBY_KEYS = ("covers", "dormant", "start_failure")
# mobilisation and cost belong to the logistics (logistics.py).
_POOL_KEYS = ("count", "repairs", "order", "mobilisation", "cost")
ORDERS = ("first_failed", "listed")


class TransitionShape(Protocol):
    """What the readers of dependencies and of the calendar need of a component's transition."""
    source: int
    target: int
    law: dict


class ComponentShape(Protocol):
    """What the readers of dependencies and of the calendar need of a component."""
    name: str
    states: tuple[str, ...]
    transitions: tuple[TransitionShape, ...]


def failed_state(states: Sequence[str]) -> int:
    """The state a strike or a start failure puts a component in."""
    return list(states).index("failed") if "failed" in states else 1


@dataclass(frozen=True)
class CommonCauseGroup:
    """Members failed together: by a share `beta` of their common Exponential failure rate,
    or by shocks following the law `shock` (exactly one of the two is set)."""

    name: str
    members: tuple[str, ...]
    beta: float | None = None
    shock: dict | None = None

    def description(self) -> dict:
        if self.shock is not None:
            return {"members": list(self.members), "shock": dict(self.shock)}
        return {"members": list(self.members), "beta": self.beta}


@dataclass(frozen=True)
class StandbyUnit:
    """A component that waits in standby, counted as working, until a unit it covers goes
    down; it fails to start with probability `start_failure`; `dormant` is its failure law in
    standby (none: it does not fail there)."""

    name: str
    covers: tuple[str, ...]
    start_failure: float = 0.0
    dormant: dict | None = None

    def description(self) -> dict:
        entry: dict[str, Any] = {"covers": list(self.covers), "start_failure": self.start_failure}
        if self.dormant is not None:
            entry["dormant"] = dict(self.dormant)
        return entry


@dataclass(frozen=True)
class CrewPool:
    """`count` crews repairing the components `repairs` one at a time each; the waiting ones
    are served first failed first, or in the order of `repairs` ("listed")."""

    name: str
    count: int
    repairs: tuple[str, ...]
    order: str = "first_failed"

    def description(self) -> dict:
        return {"count": self.count, "repairs": list(self.repairs), "order": self.order}


@dataclass(frozen=True)
class Dependencies:
    """A model's dependencies; standby units in the order of the components."""

    common_cause: tuple[CommonCauseGroup, ...] = ()
    standby: tuple[StandbyUnit, ...] = ()
    crews: tuple[CrewPool, ...] = ()

    def __bool__(self) -> bool:
        return bool(self.common_cause or self.standby or self.crews)

    def description(self) -> dict:
        """The description's keys for them; only those the model has."""
        result: dict[str, Any] = {}
        if self.standby:
            result["components"] = {s.name: {"standby": s.description()} for s in self.standby}
        if self.common_cause:
            result["common_cause"] = {g.name: g.description() for g in self.common_cause}
        if self.crews:
            result["crews"] = {p.name: p.description() for p in self.crews}
        return result

    def add_to(self, description: dict) -> dict:
        """A description with these dependencies: a copy of `description` (whose components
        are in the general form) with the keys above set."""
        result = {**description, "components": {name: dict(entry) for name, entry
                                                in description["components"].items()}}
        for unit in self.standby:
            result["components"][unit.name]["standby"] = unit.description()
        for key, value in self.description().items():
            if key != "components":
                result[key] = value
        return result

    def text(self, time_unit: str) -> str:
        """Lines for `tarvo check`: every group, standby unit and pool with its members."""
        lines = []
        if self.common_cause:
            lines.append("Common-cause groups:")
            for g in self.common_cause:
                how = (f"beta {g.beta:g}" if g.shock is None
                       else f"shocks {laws.describe(g.shock, time_unit)}")
                lines.append(f"  {g.name}: {how}; members {', '.join(g.members)}")
        if self.standby:
            lines.append("Standby units:")
            for s in self.standby:
                dormant = (f"dormant {laws.describe(s.dormant, time_unit)}" if s.dormant
                           else "no dormant failures")
                lines.append(f"  {s.name}: covers {', '.join(s.covers)}; start failure"
                             f" {s.start_failure:g}; {dormant}")
        if self.crews:
            lines.append("Repair crews:")
            for p in self.crews:
                order = "first failed first" if p.order == "first_failed" else "in listed order"
                crews = f"{p.count} crew{'s' if p.count != 1 else ''}"
                lines.append(f"  {p.name}: {crews}, {order}; repairs {', '.join(p.repairs)}")
        return "\n".join(lines)


def read_dependencies(data: dict, components: Sequence[ComponentShape], where: Where,
                      resolution: int) -> Dependencies:
    """The dependencies of a model file (or description) `data`, checked against its expanded
    `components`; `where` is the file's root. Raises ModelError, one line naming the file and
    the key path. Laws are checked as transition laws are, at `resolution`."""
    names = [c.name for c in components]
    by_name = {c.name: c for c in components}
    groups = _groups(data, names, by_name, where, resolution)
    standby = _standby_units(data, names, where, resolution)
    pools = _pools(data, names, by_name, where)
    return Dependencies(tuple(groups), tuple(standby), tuple(pools))


# --- Common-cause groups -------------------------------------------------------------------


def _named_tables(data: dict, key: str, where: Where) -> dict:
    tables = data.get(key, {})
    if not isinstance(tables, dict):
        where.key(key).fail(f"expected a table of named tables such as [{key}.NAME], got"
                            f" {shown(tables)}")
    return tables


def _groups(data: dict, names: list[str], by_name: dict, where: Where,
            resolution: int) -> list[CommonCauseGroup]:
    groups = []
    in_beta_group: dict[str, str] = {}
    for name, entry in _named_tables(data, "common_cause", where).items():
        at = where.key("common_cause").key(name)
        if name in names or any(n.startswith(f"{name}[") for n in names):
            at.fail(f'"{name}" is a component\'s name; give the group a name of its own')
        if not isinstance(entry, dict):
            at.fail(f'expected a table with members and beta or shock, got {shown(entry)}')
        reject_unknown_keys(entry, _GROUP_KEYS, at)
        members = member_list(entry, "members", names, at)
        if len(members) < 2:
            at.key("members").fail(f"a common-cause group needs at least two members, got"
                                   f" {', '.join(members)}")
        given = [key for key in ("beta", "shock") if key in entry]
        if len(given) != 1:
            at.fail('expected exactly one of "beta" (a beta factor) or "shock" (a shock law)')
        if given[0] == "shock":
            laws.engine_law(entry["shock"], at.key("shock"), resolution)
            groups.append(CommonCauseGroup(name, tuple(members), shock=dict(entry["shock"])))
            continue
        beta = read_number(entry, "beta", at)
        if not 0 <= beta < 1:
            at.key("beta").fail(f"expected a beta factor of at least 0 and below 1, got {beta:g}")
        _check_beta_members(members, by_name, at.key("beta"))
        for member in members:
            if member in in_beta_group:
                at.key("members").fail(f'"{member}" is already in the beta group'
                                       f' common_cause.{in_beta_group[member]}; a component'
                                       " shares its failure rate with one beta group at most")
            in_beta_group[member] = name
        groups.append(CommonCauseGroup(name, tuple(members), beta=beta))
    return groups


def _check_beta_members(members: list[str], by_name: dict, where: Where) -> None:
    """Every member fails working -> failed by an Exponential law, all of one rate."""
    first: tuple[str, float] | None = None
    for member in members:
        component = by_name[member]
        failed = failed_state(component.states)
        laws_out = [t.law for t in component.transitions if t.source == 0 and t.target == failed]
        route = f'"{component.states[0]}" -> "{component.states[failed]}"'
        if not laws_out:
            where.fail(f'member "{member}" has no failure {route} for the beta factor to share')
        law = laws_out[0]
        if law.get("law") != "Exponential":
            where.fail(f'member "{member}" fails ({route}) by a {law.get("law")} law; a beta'
                       " factor needs Exponential failure laws of one rate (a shock takes any"
                       " law)")
        rate = float(law["rate"]) if "rate" in law else 1.0 / float(law["mean"])
        if first is None:
            first = (member, rate)
        elif not math.isclose(rate, first[1], rel_tol=1e-9):
            where.fail(f'members "{first[0]}" (rate {first[1]:g}) and "{member}" (rate'
                       f" {rate:g}) fail at different rates; a beta factor needs one rate")


# --- Standby units -------------------------------------------------------------------------


def _standby_units(data: dict, names: list[str], where: Where,
                   resolution: int) -> list[StandbyUnit]:
    units: dict[str, StandbyUnit] = {}
    entries = data.get("components", {})
    for key, entry in entries.items() if isinstance(entries, dict) else ():
        if not isinstance(entry, dict) or "standby" not in entry:
            continue
        at = where.key("components").key(key).key("standby")
        table = entry["standby"]
        if not isinstance(table, dict):
            at.fail("expected a table such as {covers = [\"pump[1]\"], start_failure = 0.02}"
                    f", got {shown(table)}")
        reject_unknown_keys(table, _STANDBY_KEYS, at)
        covers = member_list(table, "covers", names, at)
        start_failure = read_number(table, "start_failure", at, default=0.0)
        if not 0 <= start_failure <= 1:
            at.key("start_failure").fail(f"expected a probability from 0 to 1, got"
                                         f" {start_failure:g}")
        dormant = table.get("dormant")
        if dormant is not None:
            laws.engine_law(dormant, at.key("dormant"), resolution)
        for unit in _units_of(key, entry, names):
            if unit in covers:
                at.key("covers").fail(f'"{unit}" covers itself; a standby unit covers others')
            units[unit] = StandbyUnit(unit, tuple(covers), start_failure,
                                      dict(dormant) if dormant is not None else None)
    return [units[name] for name in names if name in units]


def _units_of(key: str, entry: dict, names: list[str]) -> list[str]:
    """The components a [components.KEY] table made: KEY, or KEY[1] .. KEY[count]."""
    if "count" in entry:
        pattern = re.compile(re.escape(key) + r"\[\d+\]")
        return [name for name in names if pattern.fullmatch(name)]
    return [key]


# --- Repair crews --------------------------------------------------------------------------


def _pools(data: dict, names: list[str], by_name: dict, where: Where) -> list[CrewPool]:
    pools = []
    pool_of: dict[str, str] = {}
    for name, entry in _named_tables(data, "crews", where).items():
        at = where.key("crews").key(name)
        if not isinstance(entry, dict):
            at.fail(f"expected a table with count and repairs, got {shown(entry)}")
        reject_unknown_keys(entry, _POOL_KEYS, at)
        count = entry.get("count", 1)
        if isinstance(count, bool) or not isinstance(count, int) or not 1 <= count <= INT_MAX:
            at.key("count").fail(f"expected a number of crews, a whole number in 1 .."
                                 f" {INT_MAX:,} (as many crews as members already repair"
                                 f" every member at once), got {shown(count)}")
        repairs = member_list(entry, "repairs", names, at)
        for position, member in enumerate(repairs):
            if member in pool_of:
                at.key("repairs").fail(f'"{member}" is already repaired by crews.{pool_of[member]};'
                                       " a component belongs to one pool at most")
            if not any(t.target == 0 for t in by_name[member].transitions):
                at.key("repairs").fail(f'"{member}" has no repair (no transition back to'
                                       f' "{by_name[member].states[0]}"): a crew has nothing'
                                       " to do for it")
            pool_of[member] = name
        order = entry.get("order", "first_failed")
        if order not in ORDERS:
            hint = close_match_hint(order if isinstance(order, str) else "", ORDERS)
            at.key("order").fail(f"unknown order {shown(order)}{hint};"
                                 f" expected one of: {', '.join(ORDERS)}")
        pools.append(CrewPool(name, count, tuple(repairs), order))
    return pools


# --- Shared helpers ------------------------------------------------------------------------


def member_list(table: dict, key: str, names: list[str], where: Where) -> list[str]:
    """A non-empty list of component names (name[*] for a template's units), expanded in the
    order given; a component named twice is refused. The readers of model/ share it."""
    at = where.key(key)
    if key not in table:
        where.fail(f'missing "{key}", a list of component names')
    items = table[key]
    if not isinstance(items, list) or not items:
        at.fail(f'expected a non-empty list of component names such as ["pump[*]", "valve"],'
                f" got {shown(items)}")
    members: list[str] = []
    for index, item in enumerate(items):
        if not isinstance(item, str):
            at.item(index).fail(f"expected a component name, got {shown(item)}")
        for i in logic.expand_name(item, names, at.item(index)):
            if names[i] in members:
                at.item(index).fail(f'"{names[i]}" is named twice')
            members.append(names[i])
    return members


def read_number(table: dict, key: str, where: Where, default: float | None = None) -> float:
    """A finite number (not a bool) under `key`; `default` when the key is absent, if given."""
    if key not in table and default is not None:
        return default
    value = table.get(key)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        where.key(key).fail(f"expected a number, got {shown(value)}")
    return float(value)
