"""The Open-PSA MEF fault-tree reader: basic events are the components."""

from __future__ import annotations

import re
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from typing import Sequence
from xml.sax.saxutils import quoteattr

from ..errors import Where, close_match_hint
from .cut_sets import CutSet, minimal_cut_sets
from .formulas import (Constant, Event, Formula, count_cut_sets, first_repeated, joined,
                       refuse_too_many, vote, without_overlapping_votes)
from .reduction import cut_sets_of_formula
from .scram import run_scram

# --- Fault trees --------------------------------------------------------------------------

# Connectives that make a tree non-coherent: a failure could then repair the system.
_NEGATING = ("not", "nand", "nor", "xor", "iff", "imply")
_UNIT_EVENT = re.compile(r"(.+)[_-]([1-9]\d*)")


def cut_sets_of_fault_tree(path: Path, names: Sequence[str], where: Where) -> list[CutSet]:
    """Minimal cut sets of an Open-PSA MEF file whose basic events are the components.

    A basic event names a component, or unit pump[1] of a template as pump_1 or pump-1. Basic
    events the file uses without defining are defined for SCRAM, so a tree needs no model data;
    an event that is not a component is an error.
    """
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError) as error:
        where.fail(f"cannot read the fault tree {path}: {error}")
    except RecursionError:
        where.fail(f"cannot read the fault tree {path}: elements nested too deeply")
    _refuse_negations(root, path, where)
    # A formula may name a basic event untyped (<event name=...>), like a gate or house event.
    others = {e.get("name") for tag in ("define-gate", "define-house-event")
              for e in root.iter(tag)}
    used = {e.get("name") for tag in ("basic-event", "event") for e in root.iter(tag)} - others
    defined = {e.get("name") for e in root.iter("define-basic-event")}
    events = _event_components(sorted(n for n in used | defined if n is not None), names, path,
                               where)
    top = _tree_formula(root, events, path, where)
    if top is not None:
        refuse_too_many(count_cut_sets(top), where, f"the fault tree {path}")
        if without_overlapping_votes(top, where) is not top:
            # Vote gates SCRAM could reduce wrongly: it gets the tree as read here instead.
            return cut_sets_of_formula(top, len(names), where)
    extra = "".join(f"<define-basic-event name={quoteattr(n)}/>"
                    for n in sorted(n for n in used - defined if n is not None))
    definitions = f'<?xml version="1.0"?>\n<opsa-mef><model-data>{extra}</model-data></opsa-mef>\n'
    products = run_scram([path, definitions], len(names), where)
    if not products or not all(products):
        where.fail(f"the top gate of {path} is {'never' if not products else 'always'} failed,"
                   " whatever the components do: house events or constants decide it")
    sets = list(dict.fromkeys(frozenset(events[event] for event in product)
                              for product in products))
    return minimal_cut_sets(sets)[0]  # two spellings of one unit could make a set redundant


def _refuse_negations(root: ElementTree.Element, path: Path, where: Where) -> None:
    for gate in root.iter("define-gate"):
        for element in gate.iter():
            if element.tag in _NEGATING:
                where.fail(f'gate "{gate.get("name")}" of {path} uses <{element.tag}>: tarvo takes'
                           " coherent fault trees only (and, or, atleast; no negation), in"
                           " which a component's failure never repairs the system")


def _event_components(events: Sequence[str], names: Sequence[str], path: Path,
                      where: Where) -> dict[str, int]:
    """The component of each basic-event name (see the module's docstring)."""
    index = {name: i for i, name in enumerate(names)}
    result: dict[str, int] = {}
    spelled: dict[int, str] = {}
    for event in events:
        match = _UNIT_EVENT.fullmatch(event)
        unit = f"{match.group(1)}[{match.group(2)}]" if match else None
        if event in index and unit in index:
            where.fail(f'basic event "{event}" of {path} could be component "{event}" or unit'
                       f' "{unit}": rename one')
        bracketed = re.fullmatch(r"(.*)\[(\d+)\]", event)
        if bracketed:
            base, number = bracketed.groups()
            where.fail(f'basic event "{event}" of {path}: Open-PSA names cannot hold brackets;'
                       f' name this unit "{base}_{number}" or "{base}-{number}"')
        component = index.get(event, index.get(unit) if unit else None)
        if component is None:
            where.fail(f'basic event "{event}" of {path} is not a component'
                       f"{close_match_hint(event, names)}")
        if component in spelled:
            where.fail(f'basic events "{spelled[component]}" and "{event}" of {path} both name'
                       f' "{names[component]}": use one name')
        spelled[component] = event
        result[event] = component
    return result


def _tree_formula(root: ElementTree.Element, events: dict[str, int], path: Path,
                  where: Where) -> Formula | None:
    """The top gate's formula over the components, house events and constants folded in; None
    when the tree uses what this reading does not follow (several top gates, a gate it cannot
    find, a construct other than and/or/atleast/null): SCRAM then decides alone. Fails when
    the top gate does not depend on the components, naming the first gate that is constant."""
    gates = {g.get("name"): g for g in root.iter("define-gate")}
    houses = {h.get("name"): _house_value(h) for h in root.iter("define-house-event")}
    referenced = {e.get("name") for tag in ("gate", "event") for e in root.iter(tag)}
    tops = [name for name in gates if name not in referenced]
    if len(tops) != 1:
        return None
    reader = _TreeReader(gates, houses, events)
    top = reader.formula(gates[tops[0]])
    if top is None:
        return None
    if isinstance(top, Constant):
        gate = reader.first_constant_gate or tops[0]
        where.fail(f'gate "{gate}" of {path} is always {"failed" if top.value else "working"},'
                   " whatever the components do (house events or constants decide it), so the"
                   f' top gate "{tops[0]}" is {"always" if top.value else "never"} failed')
    return top


def _house_value(house: ElementTree.Element) -> bool | None:
    constant = house.find("constant")
    if constant is None:
        return False  # a house event without a value is false
    value = constant.get("value")
    return {"true": True, "false": False}.get(value or "")


class _TreeReader:
    """Turns the MEF formulas of a tree into Formula objects, iteratively and sharing one
    object per gate (a gate used twice is counted as repeated, not as two read-once parts)."""

    _CONNECTIVES = ("and", "or", "atleast", "null")

    def __init__(self, gates: dict, houses: dict, events: dict[str, int]):
        self.gates, self.houses, self.events = gates, houses, events
        self.done: dict[int, Formula] = {}  # id of an XML element -> its formula
        self.first_constant_gate: str | None = None

    def formula(self, define_gate: ElementTree.Element) -> Formula | None:
        stack: list[tuple[ElementTree.Element, bool]] = [(define_gate, False)]
        active: set[int] = set()  # elements being expanded: a repeat is a cycle
        while stack:
            element, expanded = stack.pop()
            if id(element) in self.done:
                continue
            children = self._children(element)
            if children is None:
                return None
            if not expanded:
                if id(element) in active:
                    return None  # a cycle: SCRAM reports it
                active.add(id(element))
                stack.append((element, True))
                stack.extend((child, False) for child in children
                             if id(child) not in self.done)
                continue
            active.discard(id(element))
            if any(id(child) not in self.done for child in children):
                return None
            built = self._build(element, [self.done[id(child)] for child in children])
            if built is None:
                return None
            self.done[id(element)] = built
        return self.done[id(define_gate)]

    def _children(self, element: ElementTree.Element) -> list[ElementTree.Element] | None:
        """The elements a formula element depends on (a gate reference: the gate's own
        element), [] for a leaf, None for what this reading does not follow."""
        tag = element.tag
        if tag == "define-gate":
            formulas = [c for c in element if c.tag not in ("label", "attributes")]
            return formulas if len(formulas) == 1 else None
        if tag in self._CONNECTIVES:
            return list(element)
        if tag in ("gate", "event") and element.get("name") in self.gates:
            return [self.gates[element.get("name")]]
        if tag in ("basic-event", "event", "house-event", "constant"):
            return []
        return None

    def _build(self, element: ElementTree.Element, arguments: list[Formula]) -> Formula | None:
        tag, name = element.tag, element.get("name")
        if tag == "define-gate":
            built = arguments[0]
            if isinstance(built, Constant) and self.first_constant_gate is None:
                self.first_constant_gate = name
            return built
        if tag in ("gate", "event") and name in self.gates:
            return arguments[0]
        if tag == "constant":
            value = {"true": True, "false": False}.get(element.get("value") or "")
            return None if value is None else Constant(value)
        if tag == "house-event" or (tag == "event" and name in self.houses):
            value = self.houses.get(name)
            return None if value is None else Constant(value)
        if tag in ("basic-event", "event"):
            return Event(self.events[name]) if name in self.events else None
        if tag == "null":
            return arguments[0] if len(arguments) == 1 else None
        if tag == "atleast":
            try:
                minimum = int(element.get("min") or "")
            except ValueError:
                return None
            return _folded_vote(minimum, arguments)
        return _folded(tag, arguments)


def _folded(kind: str, arguments: list[Formula]) -> Formula | None:
    """An and/or gate with its constant arguments folded in."""
    if not arguments:
        return None
    absorbing = kind == "or"  # true absorbs an or, false an and
    if any(isinstance(a, Constant) and a.value == absorbing for a in arguments):
        return Constant(absorbing)
    rest = [a for a in arguments if not isinstance(a, Constant)]
    return joined(kind, rest) if rest else Constant(not absorbing)


def _folded_vote(minimum: int, arguments: list[Formula]) -> Formula | None:
    """atleast(minimum, ...) with its constant arguments folded in: true ones lower k."""
    minimum -= sum(1 for a in arguments if isinstance(a, Constant) and a.value)
    rest = [a for a in arguments if not isinstance(a, Constant)]
    if minimum <= 0:
        return Constant(True)
    if minimum > len(rest):
        return Constant(False)
    if first_repeated(rest) is not None:
        return None
    return vote(minimum, rest)
