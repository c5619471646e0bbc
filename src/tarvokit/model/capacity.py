"""What a plant delivers: component capacities, the system's capacity expression and its demand.

In the model file:

    [study]
    capacity_unit = "t/h"                      # a label for reports and plots

    [components.pump]
    count = 3
    capacity = 50                              # in its working state; 0 in every other state
    # or, per state: capacity = {working = 50, degraded = 30}

    [system]
    capacity = "min(feed, sum(pump[*]), 100)"  # sum, min, max, numbers, + and *
    demand = 100                               # default: the capacity with nothing failed
    fails_when = "capacity < 50"               # optional: the system is down below 50

A standby unit delivers its capacity while it runs, none while it waits. Numbers are kept as
integers in fixed point: `scale` quanta per capacity unit, a power of ten large enough to hold
every number given exactly (at most 6 decimals). A product is truncated to a whole quantum, as the
engine does. `fails_when` on capacity becomes the minimal cut sets of the components whose
failure brings the capacity below the threshold (the capacity never rises when a component fails,
so these sets say exactly when the system is down).

Every error is a ModelError naming the key path.
"""

from __future__ import annotations

import itertools
import math
import re
from dataclasses import dataclass
from decimal import Decimal
from typing import Any, Iterator, Sequence, Union

from .errors import Where, close_match_hint, shortened, shown

STUDY_KEYS = ("capacity_unit",)
COMPONENT_KEYS = ("capacity",)
SYSTEM_KEYS = ("capacity", "demand")

MAX_DECIMALS = 6
# Distinct capacity levels listed one by one; beyond, the range is cut into LEVEL_BINS bins.
MAX_LEVELS = 40
LEVEL_BINS = 20
# Subsets of components tried when capacity-defined failure is turned into cut sets.
MAX_SUBSETS = 2_000_000
# Lost production of one history (demand in quanta x engine steps) stays below this, so that
# the engine's exact sums of squares over histories cannot overflow.
MAX_LOST_PER_HISTORY = 2**46
# And a time unit's, summed over up to 2^30 histories, within the engine's 64-bit counts.
MAX_LOST_PER_UNIT = 2**34

# A node: ("number", quanta) | ("component", index) | (op, (operands...)), op in
# "sum", "min", "max", "product".
Node = Union[tuple[str, int], tuple[str, tuple]]

_CONDITION = re.compile(r"\s*(?:capacity\s*(<=|<|>=|>)\s*(?P<right>[^\s<>=]+)"
                        r"|(?P<left>[^\s<>=]+)\s*(<=|<|>=|>)\s*capacity)\s*")
_TOKEN = re.compile(r"\s*(?:(?P<number>\d+(?:\.\d*)?(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)"
                    r"|(?P<name>[^\s(),+*/\[\]\-\d.][^\s(),+*/\[\]]*(?:\[(?:\d+|\*)\])?)"
                    r"|(?P<punct>[(),+*\-/]))")
_FUNCTIONS = ("sum", "min", "max")


@dataclass(frozen=True)
class Capacity:
    """A model's capacities, checked, with quantities in quanta (1 / scale capacity unit)."""

    expression: str
    tree: Node
    scale: int
    components: dict[str, dict[str, int]]  # name -> {state: quanta}, states not named deliver 0
    given: dict[str, dict[str, float]]  # name -> {state: capacity}, as given
    demand: int
    demand_given: float | None
    unit: str | None
    levels: tuple[int, ...]  # lower bounds of the levels counted, quanta, the first 0
    enumerated: bool  # the levels are every value the capacity can take
    standby: tuple[str, ...] = ()  # standby units: they deliver only while they run

    def value(self, quanta: int | float) -> float:
        return quanta / self.scale

    def description(self) -> dict:
        """The system's part of the model description (components keep their own key)."""
        system: dict[str, Any] = {"capacity": self.expression}
        if self.demand_given is not None:
            system["demand"] = self.demand_given
        return system

    def evaluate(self, quanta: Sequence[int]) -> int:
        """The capacity with component c delivering quanta[c], as the engine computes it."""
        return _evaluate(self.tree, quanta, self.scale)

    def working(self, names: Sequence[str], states: dict[str, Sequence[str]]) -> list[int]:
        """Each component's capacity in its first (working) state, quanta."""
        return [self.components.get(n, {}).get(states[n][0], 0) for n in names]


def is_condition(text: object) -> bool:
    """Whether a `fails_when` compares the capacity rather than being logic (which has no < or
    >, so that a component named "capacity" still reads as logic)."""
    return isinstance(text, str) and re.search(r"[<>]", text) is not None


def read_capacity(data: dict, components: Sequence[Any], standby: Sequence[str],
                  root: Where) -> Capacity | None:
    """The checked capacity of a model's input (`components`: name, states; `standby`: the
    names of its standby units), or None when [system] has no capacity."""
    system = data.get("system") if isinstance(data.get("system"), dict) else {}
    study = data.get("study") if isinstance(data.get("study"), dict) else {}
    tables = data.get("components") if isinstance(data.get("components"), dict) else {}
    names = [c.name for c in components]
    given = _component_capacities(tables, components, root.key("components"))
    where = root.key("system")
    if "capacity" not in system:
        for key in ("demand",):
            if key in system:
                where.key(key).fail('needs [system] capacity, the expression it is compared to')
        if is_condition(system.get("fails_when")):
            where.key("fails_when").fail("compares the capacity, but [system] has no capacity"
                                         " expression")
        if given:
            name = next(iter(given))
            root.key("components").key(_entry_of(name)).key("capacity").fail(
                'a component capacity needs [system] capacity = "...", the expression that'
                ' combines them (such as "sum(pump[*])")')
        return None
    unit = study.get("capacity_unit")
    if unit is not None and (not isinstance(unit, str) or not unit or not unit.isprintable()):
        root.key("study").key("capacity_unit").fail(f"expected a label such as \"t/h\", got"
                                                    f" {shown(unit)}")
    text = system["capacity"]
    at = where.key("capacity")
    if not isinstance(text, str) or not text.strip():
        at.fail(f'expected an expression such as "min(feed, sum(pump[*]))", got {shown(text)}')
    numbers = [v for table in given.values() for v in table.values()]
    demand_given = None
    if "demand" in system:
        demand_given = _non_negative(system["demand"], where.key("demand"))
        numbers.append(demand_given)
    raw = _Parser(text, names, at).parse()
    numbers += list(_numbers_of(raw))
    scale = _scale(numbers, at if not given else root.key("components"))
    tree = _quantised(raw, scale)
    states = {c.name: tuple(c.states) for c in components}
    quanta = {name: {state: round(value * scale) for state, value in table.items()}
              for name, table in given.items()}
    capacity = Capacity(text, tree, scale, quanta, given, 0, demand_given, unit, (0,), True,
                        tuple(standby))
    initial = capacity.evaluate([0 if n in standby else quanta.get(n, {}).get(states[n][0], 0)
                                 for n in names])
    if demand_given is None:
        demand = initial
        if demand <= 0:
            where.fail("the capacity with nothing failed is 0: give the components a capacity,"
                       " or [system] demand")
    else:
        demand = round(demand_given * scale)
        if demand <= 0:
            where.key("demand").fail("expected a positive number")
    levels, enumerated = _levels(capacity, names, states, standby)
    return Capacity(text, tree, scale, quanta, capacity.given, demand, demand_given, unit,
                    levels, enumerated, tuple(standby))


def add_to(capacity: Capacity | None, description: dict) -> dict:
    """`description` with the capacity's keys: each component's capacity per state, the
    system's expression and demand, the study's unit."""
    if capacity is None:
        return description
    for name, table in capacity.given.items():
        description["components"][name]["capacity"] = dict(table)
    description["system"].update(capacity.description())
    if capacity.unit is not None:
        description["study"]["capacity_unit"] = capacity.unit
    return description


def refuse_long_histories(capacity: Capacity, steps: int, resolution: int,
                          where: Where) -> None:
    """Refuses a demand so large in quanta that a history's lost production in quanta x steps,
    or a time unit's summed over 2^30 histories, would not keep the engine's sums exact."""
    if capacity.demand * resolution >= MAX_LOST_PER_UNIT:
        where.key("system").key("demand").fail(
            f"demand x resolution = {capacity.demand * resolution / capacity.scale:.3g} is too"
            f" large to count exactly to 1/{capacity.scale} of a capacity unit; round the"
            " capacities to fewer decimals or lower the resolution")
    if capacity.demand * steps >= MAX_LOST_PER_HISTORY:
        where.key("system").key("demand").fail(
            f"demand x horizon x resolution = {capacity.demand * steps / capacity.scale:.3g}"
            f" is too large to count exactly to 1/{capacity.scale} of a capacity unit; round the"
            " capacities to fewer decimals or lower the resolution")


def cut_sets_of_condition(text: str, capacity: Capacity, names: Sequence[str],
                          states: dict[str, Sequence[str]], where: Where
                          ) -> list[frozenset[int]]:
    """The minimal cut sets of "capacity < X" (or <=, or the mirrored X > capacity): the
    smallest sets of components whose failure alone brings the capacity below X."""
    match = _CONDITION.fullmatch(text)
    if match is None:
        where.fail('expected a comparison of the capacity with a number, such as'
                   ' "capacity < 50" (and, or and other logic do not mix with it)')
    if match.group("right") is not None:
        operator, threshold = match.group(1), match.group("right")
    else:
        mirrored = {"<": ">", "<=": ">=", ">": "<", ">=": "<="}
        operator, threshold = mirrored[match.group(4)], match.group("left")
    if operator in (">", ">="):
        where.fail(f'"capacity {operator} X" would fail the system when it delivers more; a'
                   ' system fails when its capacity falls: write "capacity < X"')
    try:
        limit = float(threshold)
    except ValueError:
        where.fail(f"expected a number to compare the capacity with, got {shown(threshold)}")
    if not math.isfinite(limit) or limit < 0:
        where.fail(f"expected a finite number of at least 0, got {shown(threshold)}")
    for name, table in capacity.components.items():
        first = states[name][0]
        if any(value > 0 for state, value in table.items() if state != first):
            where.fail(f'components.{_entry_of(name)}.capacity gives a capacity to a state other'
                       f' than "{first}": failure defined by capacity needs every component to'
                       ' deliver nothing outside its working state')
        if name in capacity.standby and table.get(first, 0) > 0:
            where.fail(f'components.{_entry_of(name)} is a standby unit with a capacity:'
                       ' failure defined by capacity cannot follow standby units; give the'
                       ' logic as fails_when or cut_sets')
    bound = limit * capacity.scale
    working = capacity.working(names, states)

    def failed(quanta: int) -> bool:
        return quanta < bound if operator == "<" else quanta <= bound

    if failed(capacity.evaluate(working)):
        where.fail(f"the system is failed with nothing failed: its capacity is"
                   f" {capacity.value(capacity.evaluate(working)):g}")
    candidates = [i for i, quanta in enumerate(working) if quanta > 0]
    found: list[frozenset[int]] = []
    tried = 0
    for size in range(1, len(candidates) + 1):
        for subset in itertools.combinations(candidates, size):
            tried += 1
            if tried > MAX_SUBSETS:
                where.fail(f"more than {MAX_SUBSETS:,} sets of components to try: too many"
                           " components with a capacity to turn this failure into cut sets")
            members = frozenset(subset)
            if any(cut <= members for cut in found):
                continue
            quanta = list(working)
            for i in subset:
                quanta[i] = 0
            if failed(capacity.evaluate(quanta)):
                found.append(members)
    if not found:
        where.fail(f"the capacity never falls {'below' if operator == '<' else 'to'}"
                   f" {threshold}, whatever fails: the system could never fail")
    return found


# --- Reading helpers ----------------------------------------------------------------------


def _entry_of(name: str) -> str:
    """The [components] table a component comes from: pump for pump[2]."""
    match = re.fullmatch(r"(.*)\[\d+\]", name)
    return match.group(1) if match else name


def _non_negative(value: Any, where: Where) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        where.fail(f"expected a finite number, got {shown(value)}")
    if value < 0:
        where.fail(f"expected a number of at least 0, got {shown(value)}")
    return float(value)


def _component_capacities(tables: dict, components: Sequence[Any], where: Where
                          ) -> dict[str, dict[str, float]]:
    """name -> {state: capacity} for every component whose table gives a capacity."""
    result: dict[str, dict[str, float]] = {}
    for component in components:
        entry = _entry_of(component.name)
        table = tables.get(entry) if entry in tables else tables.get(component.name)
        if not isinstance(table, dict) or "capacity" not in table:
            continue
        at = where.key(entry).key("capacity")
        value = table["capacity"]
        if isinstance(value, dict):
            per_state = {}
            for state, number in value.items():
                if state not in component.states:
                    at.key(state).fail(f"unknown state {shown(state)}"
                                       f"{close_match_hint(str(state), component.states)};"
                                       f" the states are {', '.join(component.states)}")
                per_state[state] = _non_negative(number, at.key(state))
            result[component.name] = per_state
        else:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                at.fail("expected a number, or a table of numbers per state such as"
                        f" {{working = 50, degraded = 30}}, got {shown(value)}")
            result[component.name] = {component.states[0]: _non_negative(value, at)}
    return result


def _decimals(value: float) -> int:
    exponent = Decimal(repr(float(value))).normalize().as_tuple().exponent
    return max(0, -int(exponent))


def _scale(numbers: Sequence[float], where: Where) -> int:
    decimals = max((_decimals(v) for v in numbers), default=0)
    if decimals > MAX_DECIMALS:
        worst = max(numbers, key=_decimals)
        where.fail(f"capacities are counted to 1e-{MAX_DECIMALS} of a unit; {worst!r} has"
                   f" {decimals} decimals: round it")
    return 10**decimals


class _Parser:
    """expression := term ("+" term)*; term := factor ("*" factor)*; factor := number | name |
    sum/min/max "(" argument ("," argument)* ")" | "(" expression ")"; an argument of sum, min
    or max may be name[*], every unit of a template."""

    def __init__(self, text: str, names: Sequence[str], where: Where):
        self.text, self.names, self.where = text, list(names), where
        self.templates = {_entry_of(n) for n in names if n != _entry_of(n)}
        self.tokens = list(self._tokens())
        self.position = 0

    def _tokens(self) -> Iterator[tuple[str, str]]:
        index = 0
        while index < len(self.text):
            if self.text[index:].strip() == "":
                return
            match = _TOKEN.match(self.text, index)
            if match is None:
                self.fail(f"cannot read {shortened(self.text[index:].strip(), 20)!r}")
            kind = match.lastgroup or ""
            value = match.group(kind)
            if kind == "punct" and value == "-":
                self.fail("negative numbers and subtraction are not allowed: a capacity is"
                          " never below 0")
            if kind == "punct" and value == "/":
                self.fail('division is not allowed; multiply instead ("0.5 * x")')
            yield kind, value
            index = match.end()

    def fail(self, message: str) -> Any:
        self.where.fail(f"{message} (in {shortened(self.text)!r})")

    def peek(self) -> tuple[str, str] | None:
        return self.tokens[self.position] if self.position < len(self.tokens) else None

    def take(self, value: str | None = None) -> tuple[str, str]:
        token = self.peek()
        if token is None:
            self.fail("unexpected end of the expression" + (f', expected "{value}"' if value
                                                           else ""))
        if value is not None and token[1] != value:
            self.fail(f'expected "{value}", got "{token[1]}"')
        self.position += 1
        return token

    def parse(self) -> Any:
        if not self.tokens:
            self.fail("empty expression")
        node = self.expression()
        if self.peek() is not None:
            self.fail(f'unexpected "{self.peek()[1]}"')
        return node

    def expression(self) -> Any:
        terms = [self.term()]
        while self.peek() == ("punct", "+"):
            self.take()
            terms.append(self.term())
        return terms[0] if len(terms) == 1 else ("sum", tuple(terms))

    def term(self) -> Any:
        factors = [self.factor()]
        while self.peek() == ("punct", "*"):
            self.take()
            factors.append(self.factor())
        return factors[0] if len(factors) == 1 else ("product", tuple(factors))

    def factor(self, in_function: str | None = None) -> Any:
        kind, value = self.take()
        if kind == "number":
            return ("value", float(value))
        if value == "(":
            node = self.expression()
            self.take(")")
            return node
        if kind == "name" and value in _FUNCTIONS and self.peek() == ("punct", "("):
            self.take("(")
            arguments = self.arguments(value)
            self.take(")")
            if len(arguments) == 1 and value != "sum":
                return arguments[0]
            return (value, tuple(arguments))
        if kind == "name":
            return self.name(value)
        self.fail(f'unexpected "{value}"')

    def arguments(self, function: str) -> list:
        arguments: list = []
        while True:
            kind, value = self.peek() or ("", "")
            if kind == "name" and value.endswith("[*]"):
                self.take()
                template = value[:-3]
                units = [i for i, n in enumerate(self.names) if _entry_of(n) == template
                         and n != template]
                if not units:
                    self.fail(f'"{value}": no component template'
                              f' "{template}"{close_match_hint(template, self.templates)}')
                arguments += [("component", i) for i in units]
            else:
                arguments.append(self.expression())
            if self.peek() == ("punct", ","):
                self.take()
                continue
            return arguments

    def name(self, value: str) -> Any:
        if value.endswith("[*]"):
            self.fail(f'"{value}" stands for several units: put it inside sum(), min() or max()')
        if value in self.names:
            return ("component", self.names.index(value))
        if value in self.templates:
            count = sum(1 for n in self.names if _entry_of(n) == value)
            self.fail(f'"{value}" is a template of {count} units: write sum({value}[*]) (or'
                      f" min, max) for all of them, or {value}[1] for one")
        if value in _FUNCTIONS:
            self.fail(f'"{value}" needs its arguments in parentheses: {value}(...)')
        self.fail(f'unknown component "{shortened(value)}"{close_match_hint(value, self.names)}')


def _numbers_of(node: Any) -> Iterator[float]:
    if node[0] == "value":
        yield node[1]
    elif node[0] != "component":
        for operand in node[1]:
            yield from _numbers_of(operand)


def _quantised(node: Any, scale: int) -> Node:
    if node[0] == "value":
        return ("number", round(node[1] * scale))
    if node[0] == "component":
        return node
    return (node[0], tuple(_quantised(o, scale) for o in node[1]))


def _evaluate(node: Node, quanta: Sequence[int], scale: int) -> int:
    kind = node[0]
    if kind == "number":
        return int(node[1])  # type: ignore[arg-type]
    if kind == "component":
        return int(quanta[node[1]])  # type: ignore[index]
    values = [_evaluate(o, quanta, scale) for o in node[1]]  # type: ignore[union-attr]
    if kind == "sum":
        return sum(values)
    if kind == "min":
        return min(values)
    if kind == "max":
        return max(values)
    result = values[0]
    for v in values[1:]:
        result = result * v // scale
    return result


def _reachable(node: Node, choices: Sequence[frozenset[int]], scale: int,
               limit: int) -> frozenset[int] | None:
    """The values the node can take when each component takes any of its choices (a superset
    when a component appears twice), or None beyond `limit` values."""
    kind = node[0]
    if kind == "number":
        return frozenset({int(node[1])})  # type: ignore[arg-type]
    if kind == "component":
        return choices[node[1]]  # type: ignore[index]
    sets = []
    for operand in node[1]:  # type: ignore[union-attr]
        values = _reachable(operand, choices, scale, limit)
        if values is None:
            return None
        sets.append(values)
    result = sets[0]
    for values in sets[1:]:
        if len(result) * len(values) > limit * limit:
            return None
        combined = set()
        for a in result:
            for b in values:
                combined.add(a + b if kind == "sum" else min(a, b) if kind == "min"
                             else max(a, b) if kind == "max" else a * b // scale)
        if len(combined) > limit:
            return None
        result = frozenset(combined)
    return result


def _levels(capacity: Capacity, names: Sequence[str], states: dict[str, Sequence[str]],
            standby: Sequence[str]) -> tuple[tuple[int, ...], bool]:
    """The levels whose time is counted: every value the capacity can take when there are at
    most MAX_LEVELS of them, else LEVEL_BINS bins of equal width from 0 to the highest."""
    choices = []
    for name in names:
        table = capacity.components.get(name, {})
        values = {table.get(state, 0) for state in states[name]} | {0}
        if name in standby:
            values.add(0)
        choices.append(frozenset(values))
    reachable = _reachable(capacity.tree, choices, capacity.scale, MAX_LEVELS)
    if reachable is not None:
        return tuple(sorted(reachable | {0})), True
    highest = capacity.evaluate([max(c) for c in choices])
    width = max(1, -(-(highest + 1) // LEVEL_BINS))
    return tuple(range(0, highest + 1, width)), False


@dataclass(frozen=True)
class _Named:
    name: str
    states: tuple[str, ...]


def of_description(description: dict) -> Capacity | None:
    """The capacity of a model's description (model/reading.py), or None."""
    if "capacity" not in description.get("system", {}):
        return None
    components = [_Named(name, tuple(entry["states"]))
                  for name, entry in description["components"].items()]
    standby = [name for name, entry in description["components"].items() if "standby" in entry]
    data = {"study": description["study"], "components": description["components"],
            "system": {k: v for k, v in description["system"].items() if k in SYSTEM_KEYS}}
    return read_capacity(data, components, standby, Where("<description>"))
