"""A model's dependencies (common-cause groups, standby units, repair crews) in the engine's terms.

The input is a model description: a plain dict with templates expanded, every component in the
general form and times in time units::

    description["components"][name] = {"states": [...], "transitions": [{"from", "to", "law", ...}]}
    description["components"][name]["standby"] = {"covers": [names], "start_failure": 0.02,
                                                  "dormant": {law table}}        # dormant optional
    description["common_cause"][group] = {"members": [names], "beta": 0.05}
                                      or {"members": [names], "shock": {law table}}
    description["crews"][pool] = {"count": 1, "repairs": [names], "order": "first_failed"}

`build_dependencies` returns the component model the engine runs (laws[c][s][k]) with the
`tarvo.Dependencies` that goes with it, for `tarvo.runnerStudy(..., dependencies=...)`. What it
does to the model:

- A member's failed state is its state named "failed", else its state 1.
- A beta group needs every member's failure law (state 0 -> failed state) Exponential with one
  rate: each member keeps (1 - beta) of it, and the group is struck by Exponential shocks at
  beta times the rate. A shock group is struck by shocks of its law (from time 0, then from each
  shock).
- A standby component gets one more state, "standby", working, in which it starts; its states as
  described are its running states (state 0 running). Its dormant law, if any, takes it from
  standby into its failed state.
- Components keep their order, so the cut sets index them as before.

Names may be given as `name[*]` for every unit of a template. Errors raise ValueError naming the
source and the key path. `laws_builder(table, path)` turns a law table (times in time units) into
the engine's law at the study's resolution; `path` names the table for its messages.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass
from typing import Any, Callable, NoReturn, Sequence

import tarvo

from .logistics import build_logistics, has_logistics

LawsBuilder = Callable[[dict, str], tarvo.Distribution]

ORDERS = ("first_failed", "listed")
_STANDBY_KEYS = ("covers", "start_failure", "dormant")
# "silent": the group never strikes (its shocks are still drawn, so the histories pair with the
# model's own): the model without its common cause, for importance.
_GROUP_KEYS = ("members", "beta", "shock", "silent")
# A component's key "perfect" (perfect_variant): it never fails, for importance.
_POOL_KEYS = ("count", "repairs", "order", "mobilisation", "cost")
# Rates of the members of one beta group are equal when they differ by no more than this share.
_SAME_RATE = 1e-9


@dataclass(frozen=True)
class EngineModel:
    """What the engine runs for a model with dependencies.

    laws: the component model, laws[c][s][k] from state s into k, padded to one state count.
    dependencies: for runnerStudy; None when the description has no dependencies (the model is
        then exactly the independent one).
    states: each component's state names as the engine numbers them ("standby" added).
    """

    laws: list
    dependencies: tarvo.Dependencies | None
    states: list[list[str]]


def has_dependencies(description: dict) -> bool:
    """Whether the description has common-cause groups, crews or standby units."""
    return bool(description.get("common_cause") or description.get("crews")
                or any("standby" in entry for entry in description["components"].values())
                or has_logistics(description))


def interacting(description: dict) -> set[str]:
    """The components whose own state changes other components' histories: crew pool members
    (a failed one holds or waits for a crew), standby units and the components they cover (a
    failure demands a unit). The others' failures leave the rest of the plant as it is, shocks
    included (a group strikes its other members at the same rate whatever one member does)."""
    names = list(description["components"])
    found: set[str] = set()
    for pool in description.get("crews", {}).values():
        for name in pool.get("repairs", []):
            found.update(names[i] for i in named_units(name, names))
    # A unit that takes a spare part leaves one fewer for the others.
    for stock in description.get("spares", {}).values():
        for name in stock.get("parts", []):
            found.update(names[i] for i in named_units(name, names))
    for name, entry in description["components"].items():
        if "standby" in entry:
            found.add(name)
            for covered in entry["standby"].get("covers", []):
                found.update(names[i] for i in named_units(covered, names))
    return found


def perfect_variant(description: dict, component: str) -> dict:
    """The description with `component` made perfect: it never leaves its working state (its
    transitions out of state 0 and its dormant failures never happen, it never fails to start)
    and no common-cause shock strikes it; shocks still strike the other members, at their
    rate. Every draw of the model is still taken, so that a history pairs with the model's own
    until an avoided failure changes the order of its events."""
    variant = copy.deepcopy(description)
    variant["components"][component]["perfect"] = True
    return variant


def build_dependencies(description: dict, laws_builder: LawsBuilder,
                       source: str = "<dict>") -> EngineModel:
    """The engine's component model and dependencies for `description` (see the module)."""
    return _Translation(description, laws_builder, source).result()


class _Translation:
    def __init__(self, description: dict, laws_builder: LawsBuilder, source: str):
        self.source = source
        self.description = description
        self.build = laws_builder
        self.components: dict = description["components"]
        self.names = list(self.components)
        self.common_cause: dict = _table(description, "common_cause", self)
        self.crews: dict = _table(description, "crews", self)
        self.states = [list(entry["states"]) for entry in self.components.values()]
        self.failed = [_failed_state(states) for states in self.states]
        # Transition tables per component, copied: beta groups change some of them.
        self.transitions = [[dict(t) for t in entry["transitions"]]
                            for entry in self.components.values()]
        self.pooled: dict[str, set[int]] = {}  # pool name -> its members
        self.beta_members: dict[int, str] = {}  # member -> its beta group
        self.standby_state: dict[int, int] = {}
        self.perfect = {index for index, entry in enumerate(self.components.values())
                        if entry.get("perfect")}
        for index, entry in enumerate(self.components.values()):
            if "standby" in entry:
                self.standby_state[index] = len(self.states[index])
                self.states[index].append(_unique("standby", self.states[index]))

    def fail(self, path: str, message: str) -> NoReturn:
        raise ValueError(f"{self.source}: {path}: {message}")

    def result(self) -> EngineModel:
        shocks = [self.group(name, group) for name, group in self.common_cause.items()]
        laws = self.component_laws()
        logistics = has_logistics(self.description)
        if not (shocks or self.crews or self.standby_state or logistics):
            return EngineModel(laws, None, self.states)
        dependencies = tarvo.Dependencies(len(self.names))
        for members, failed, shock in shocks:
            dependencies.addCommonCause(members, failed, shock)
        for index, entry in enumerate(self.components.values()):
            if "standby" in entry:
                self.standby(dependencies, index, entry["standby"])
        for name, pool in self.crews.items():
            self.pool(dependencies, name, pool)
        if logistics:
            dependencies.setLogistics(build_logistics(self.description, self.build))
        return EngineModel(laws, dependencies, self.states)

    # --- Names -----------------------------------------------------------------------------

    def indices(self, names: Any, path: str) -> list[int]:
        """Component indices of a non-empty list of names (`name[*]` for a template's units),
        without repeats."""
        if not isinstance(names, list) or not names:
            self.fail(path, f"expected a non-empty list of component names, got {names!r}")
        found: list[int] = []
        for position, name in enumerate(names):
            at = f"{path}[{position}]"
            if not isinstance(name, str):
                self.fail(at, f"expected a component name, got {name!r}")
            units = named_units(name, self.names)
            if not units:
                self.fail(at, f'no component template "{name[:-3]}"' if name.endswith("[*]")
                          else f'unknown component "{name}"')
            for unit in units:
                if unit in found:
                    self.fail(at, f'component "{self.names[unit]}" is given twice')
                found.append(unit)
        return found

    # --- Common-cause groups ---------------------------------------------------------------

    def group(self, name: str, group: Any) -> tuple[list[int], list[int], tarvo.Distribution]:
        path = f"common_cause.{name}"
        if not isinstance(group, dict):
            self.fail(path, f"expected a table with members and beta or shock, got {group!r}")
        _reject_unknown(group, _GROUP_KEYS, path, self)
        members = self.indices(group.get("members"), f"{path}.members")
        if ("beta" in group) == ("shock" in group):
            self.fail(path, 'expected exactly one of "beta" and "shock"')
        if "shock" in group:
            shock = self.build(group["shock"], f"{path}.shock")
        else:
            for member in members:
                if member in self.beta_members:
                    self.fail(f"{path}.members", f'"{self.names[member]}" already has a beta'
                                                 f" factor in common_cause.{self.beta_members[member]}")
                self.beta_members[member] = name
            shock = self.beta_shock(group["beta"], members, path)
        struck = [m for m in members if m not in self.perfect]
        if group.get("silent") or not struck:
            # The shocks are drawn and strike no one.
            return members, [self.failed[m] for m in members], tarvo.Distribution()
        return struck, [self.failed[m] for m in struck], shock

    def beta_shock(self, beta: Any, members: list[int], path: str) -> tarvo.Distribution:
        if isinstance(beta, bool) or not isinstance(beta, (int, float)) or not 0 <= beta < 1:
            self.fail(f"{path}.beta", f"expected a number in [0, 1), got {beta!r}")
        rates = [self.exponential_failure_rate(m, path) for m in members]
        for member, rate in zip(members, rates):
            if abs(rate - rates[0]) > _SAME_RATE * rates[0]:
                self.fail(path, f'beta needs one failure rate for every member, but'
                                f' "{self.names[member]}" fails at rate {rate:g} and'
                                f' "{self.names[members[0]]}" at {rates[0]:g}')
        for member in members:
            transition = self.failure_transition(member, path)
            law = {"law": "Exponential", "rate": (1 - beta) * rates[0]}
            transition.clear()
            transition.update({"from": self.states[member][0],
                               "to": self.states[member][self.failed[member]], **law})
        if beta == 0:
            return tarvo.Distribution()  # never strikes
        return self.build({"law": "Exponential", "rate": beta * rates[0]}, f"{path}.beta")

    def failure_transition(self, member: int, path: str) -> dict:
        source, target = self.states[member][0], self.states[member][self.failed[member]]
        for transition in self.transitions[member]:
            if transition["from"] == source and transition["to"] == target:
                return transition
        self.fail(path, f'beta needs a failure law of "{self.names[member]}" from "{source}"'
                        f' to "{target}", and it has none')

    def exponential_failure_rate(self, member: int, path: str) -> float:
        transition = self.failure_transition(member, path)
        if transition.get("law") != "Exponential":
            self.fail(path, f'beta needs Exponential failure laws, but "{self.names[member]}"'
                            f' fails by {transition.get("law")}')
        if "rate" in transition:
            return float(transition["rate"])
        return 1.0 / float(transition["mean"])

    # --- Standby units and crews -------------------------------------------------------------

    def standby(self, dependencies: tarvo.Dependencies, index: int, table: Any) -> None:
        path = f"components.{self.names[index]}.standby"
        if not isinstance(table, dict):
            self.fail(path, "expected a table with covers, start_failure and dormant,"
                            f" got {table!r}")
        _reject_unknown(table, _STANDBY_KEYS, path, self)
        covers = self.indices(table.get("covers"), f"{path}.covers")
        if index in covers:
            self.fail(f"{path}.covers", "a standby unit cannot cover itself")
        start_failure = table.get("start_failure", 0.0)
        if (isinstance(start_failure, bool) or not isinstance(start_failure, (int, float))
                or not 0 <= start_failure <= 1):
            self.fail(f"{path}.start_failure",
                      f"expected a probability in [0, 1], got {start_failure!r}")
        dormant = self.build(table["dormant"], f"{path}.dormant") if "dormant" in table else None
        if index in self.perfect:  # the same draws are taken, and none fails it
            dormant, start_failure = None, 0.0
        dependencies.addStandby(index, covers, runningState=0,
                                standbyState=self.standby_state[index],
                                failedState=self.failed[index], dormant=dormant,
                                startFailure=float(start_failure))

    def pool(self, dependencies: tarvo.Dependencies, name: str, pool: Any) -> None:
        path = f"crews.{name}"
        if not isinstance(pool, dict):
            self.fail(path, f"expected a table with count, repairs and order, got {pool!r}")
        _reject_unknown(pool, _POOL_KEYS, path, self)
        count = pool.get("count", 1)
        if isinstance(count, bool) or not isinstance(count, int) or count < 1:
            self.fail(f"{path}.count", f"expected a whole number of at least 1, got {count!r}")
        members = self.indices(pool.get("repairs"), f"{path}.repairs")
        for other, taken in self.pooled.items():
            twice = [m for m in members if m in taken]
            if twice:
                self.fail(f"{path}.repairs", f'"{self.names[twice[0]]}" is already repaired by'
                                             f" crews.{other}")
        self.pooled[name] = set(members)
        order = pool.get("order", "first_failed")
        if order not in ORDERS:
            self.fail(f"{path}.order", f'expected "first_failed" or "listed", got {order!r}')
        # Crews beyond the members would stand idle: the engine keeps one per member at most.
        dependencies.addCrewPool(min(count, len(members)), members, order)

    # --- The component model ---------------------------------------------------------------

    def component_laws(self) -> list:
        never = tarvo.Distribution()
        size = max(len(states) for states in self.states)
        model = []
        for index, name in enumerate(self.names):
            rows = [[never] * size for _ in range(size)]
            states = self.states[index]
            for position, transition in enumerate(self.transitions[index]):
                if index in self.perfect and transition["from"] == states[0]:
                    continue  # never leaves its working state: a law that never fires
                law = {k: v for k, v in transition.items() if k not in ("from", "to")}
                rows[states.index(transition["from"])][states.index(transition["to"])] = self.build(
                    law, f"components.{name}.transitions[{position}]")
            model.append(rows)
        return model


def named_units(name: str, names: Sequence[str]) -> list[int]:
    """The indices of the components a name stands for: `name[*]` every unit of a template,
    else the component of that name; [] when there is none."""
    if name.endswith("[*]"):
        prefix = name[:-3] + "["
        return [i for i, n in enumerate(names) if n.startswith(prefix)]
    return [list(names).index(name)] if name in names else []


def _failed_state(states: Sequence[str]) -> int:
    return list(states).index("failed") if "failed" in states else 1


def _unique(name: str, taken: Sequence[str]) -> str:
    while name in taken:
        name += "'"
    return name


def _table(description: dict, key: str, translation: _Translation) -> dict:
    value = description.get(key, {})
    if not isinstance(value, dict):
        translation.fail(key, f"expected a table of named entries, got {value!r}")
    return value


def _reject_unknown(table: dict, allowed: Sequence[str], path: str,
                    translation: _Translation) -> None:
    for key in table:
        if key not in allowed:
            translation.fail(f"{path}.{key}",
                             f'unknown key "{key}"; expected one of: {", ".join(allowed)}')

