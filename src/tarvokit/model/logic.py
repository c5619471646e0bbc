"""The system's failure logic: minimal cut sets over the components.

A model gives it in one of three ways:
- `cut_sets`: lists of component names; sets that contain another are dropped (with a warning);
- `fails_when`: a Boolean expression over component names with `and`, `or`, parentheses and
  k-out-of-n (`atleast(2, a, b, c)`; `pump[*]` stands for every unit of a template there);
- `fault_tree`: an Open-PSA MEF file whose basic events are the components.
An expression is written out as an Open-PSA MEF model and a fault tree is read as it is; SCRAM
(the `scram` program) reduces either to minimal cut sets. Cut sets are frozensets of component
indices.

Open-PSA names cannot hold brackets, so a fault tree names unit `pump[1]` of a template as
`pump_1` or `pump-1` (a component whose own name is `pump_1` would make that ambiguous: refused).

What SCRAM is given is bounded. The number of cut sets an expression or tree implies is counted
first where that is cheap (binomial coefficients through and, or and atleast: exact when every
component appears once, an upper bound otherwise), and logic of more than MAX_CUT_SETS cut sets
is refused. SCRAM itself runs under a time limit and a memory limit (ScramLimits, from the
environment variables TARVO_SCRAM_SECONDS and TARVO_SCRAM_MEMORY_MB); it is ended on every way
out of the call, dies with this process, and works in a temporary folder `tarvo-scram-<pid>-*`
that is removed afterwards (or at the next call, if this process was killed).

Only coherent logic is taken: a failure of one more component never repairs the system. A fault
tree with a negation (not, nand, nor, xor, iff, imply) is refused naming the gate, and one whose
top gate does not depend on the components (house events or constants that make it always
failed or never failed) naming the gate where that happens.
"""

from __future__ import annotations

import ctypes
import errno
import itertools
import math
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, Sequence, Union
from xml.sax.saxutils import quoteattr

from .errors import ModelError, Where, close_match_hint, shortened, shown

CutSet = frozenset[int]

# Logic of more cut sets than this is refused: SCRAM takes minutes past a few hundred thousand
# (an atleast(11, ...) of 22 units, 705,432 sets, took 280 s), and every set is held by the
# model, its description and the engine's tree.
MAX_CUT_SETS = 200_000
# Parentheses and atleast(...) nested deeper than this in an expression are refused.
MAX_NESTING = 100
_NAMES_SHOWN = 5  # cut sets listed in a warning


# --- Component names ----------------------------------------------------------------------


def expand_name(name: str, names: Sequence[str], where: Where) -> list[int]:
    """Indices of a component name, or of every unit of a template for `template[*]`."""
    if name.endswith("[*]"):
        prefix = name[:-3] + "["
        units = [i for i, candidate in enumerate(names) if candidate.startswith(prefix)]
        if not units:
            where.fail(f'"{shortened(name)}": no component template "{shortened(name[:-3])}"')
        return units
    if name not in names:
        where.fail(f'unknown component "{shortened(name)}"{close_match_hint(name, names)}')
    return [names.index(name)]


def cut_sets_from_names(sets: object, names: Sequence[str], where: Where,
                        notes: list[str] | None = None) -> list[CutSet]:
    """The `cut_sets` form: a list of lists of component names, duplicates removed and sets
    that contain another dropped (a note in `notes` lists them)."""
    if not isinstance(sets, list) or not sets:
        where.fail('expected a non-empty list of cut sets, each a list of component names,'
                   ' such as [["power"], ["pump[1]", "pump[2]"]]')
    result: dict[CutSet, None] = {}  # ordered, without duplicates
    for index, members in enumerate(sets):
        at = where.item(index)
        if not isinstance(members, list) or not members:
            at.fail(f"expected a non-empty list of component names, got {shown(members)}")
        indices: set[int] = set()
        for position, name in enumerate(members):
            if not isinstance(name, str):
                at.item(position).fail(f"expected a component name, got {shown(name)}")
            indices.update(expand_name(name, names, at.item(position)))
        result[frozenset(indices)] = None
    minimal, dropped = minimal_cut_sets(list(result))
    if dropped and notes is not None:
        notes.append(_dropped_note(dropped, names, where))
    return minimal


def minimal_cut_sets(sets: Sequence[CutSet]) -> tuple[list[CutSet], list[tuple[CutSet, CutSet]]]:
    """The sets that contain no other one, in their order, and (dropped set, a set it
    contains) for the others. Distinct sets are expected.

    A set S contains a smaller set T only if S holds T's smallest member, so each set is
    compared with the kept sets indexed under its own members, not with every kept set.
    """
    kept_by_least: dict[int, list[CutSet]] = {}
    dropped: dict[CutSet, CutSet] = {}
    for candidate in sorted(sets, key=len):
        inside = next((kept for member in candidate for kept in kept_by_least.get(member, ())
                       if kept <= candidate), None)
        if inside is None:
            kept_by_least.setdefault(min(candidate), []).append(candidate)
        else:
            dropped[candidate] = inside
    return ([s for s in sets if s not in dropped],
            [(s, dropped[s]) for s in sets if s in dropped])


def _dropped_note(dropped: list[tuple[CutSet, CutSet]], names: Sequence[str],
                  where: Where) -> str:
    listed = "; ".join(f"{{{describe_members(s, names)}}} contains {{{describe_members(t, names)}}}"
                       for s, t in dropped[:_NAMES_SHOWN])
    more = f"; and {len(dropped) - _NAMES_SHOWN:,} more" if len(dropped) > _NAMES_SHOWN else ""
    return (f"{where.path}: {len(dropped):,} cut set{'s are' if len(dropped) > 1 else ' is'} not"
            f" minimal and {'were' if len(dropped) > 1 else 'was'} dropped (the smaller set"
            f" already fails the system): {listed}{more}")


def describe_members(cut_set: CutSet, names: Sequence[str]) -> str:
    return ", ".join(names[i] for i in sorted(cut_set))


# --- Formulas -----------------------------------------------------------------------------


@dataclass(frozen=True)
class Event:
    index: int


@dataclass(frozen=True, eq=False)
class Gate:
    """Compared by identity: a fault tree's formula may be thousands of gates deep, too deep
    to compare or hash by value; a gate shared by two parents is one object."""

    kind: str  # "and", "or", "atleast"
    arguments: tuple["Formula", ...]
    minimum: int = 0  # for "atleast"


@dataclass(frozen=True)
class Constant:
    value: bool  # True: always failed


Formula = Union[Event, Gate, Constant]


def joined(kind: str, arguments: Sequence[Formula]) -> Formula:
    """An and/or gate over `arguments`, with nested gates of the same kind merged and repeated
    arguments dropped (a or b or a is a or b; SCRAM refuses a gate naming one argument twice).
    """
    flat: dict[Formula, None] = {}
    for argument in arguments:
        inner = argument.arguments if isinstance(argument, Gate) and argument.kind == kind \
            else (argument,)
        flat.update(dict.fromkeys(inner))
    unique = tuple(flat)
    return unique[0] if len(unique) == 1 else Gate(kind, unique)


def vote(minimum: int, arguments: Sequence[Formula]) -> Formula:
    """atleast(minimum, arguments), as the MEF takes it: its vote gate needs 2 <= k < n, so the
    ends are plain or and and gates."""
    if minimum == 1:
        return joined("or", arguments)
    if minimum == len(arguments):
        return joined("and", arguments)
    return Gate("atleast", tuple(arguments), minimum)


# --- Counting cut sets --------------------------------------------------------------------

# Counts saturate here: past it, only "more than the limit" matters.
_COUNT_CAP = 10**18
# An atleast of n arguments with their own counts costs n x k steps to count: beyond this, it
# is left to SCRAM.
_COUNT_WORK_MAX = 2_000_000


@dataclass(frozen=True)
class Count:
    """How many cut sets a formula implies: `value` (at most _COUNT_CAP), exact when every
    component appears once in it (its products are then all distinct and minimal), else an
    upper bound; None when it could not be counted cheaply."""

    value: int | None
    exact: bool


def count_cut_sets(top: Formula) -> Count:
    """Counts the products of a formula's expansion into a sum of products (gates shared
    between parents, as in a fault tree, are counted once per use)."""
    counts: dict[int, int | None] = {}
    uses: dict[int, int] = {}  # events under a node, counted with repetitions
    for node in _post_order(top):
        key = id(node)
        if isinstance(node, Event):
            counts[key], uses[key] = 1, 1
        elif isinstance(node, Constant):
            counts[key], uses[key] = (1 if node.value else 0), 0
        else:
            parts = [counts[id(a)] for a in node.arguments]
            counts[key] = None if None in parts else _gate_count(node, parts)  # type: ignore
            uses[key] = min(_COUNT_CAP, sum(uses[id(a)] for a in node.arguments))
    distinct = len({n.index for n in _post_order(top) if isinstance(n, Event)})
    return Count(counts[id(top)], uses[id(top)] == distinct)


def _gate_count(gate: Gate, parts: list[int]) -> int | None:
    if gate.kind == "or":
        return min(_COUNT_CAP, sum(parts))
    if gate.kind == "and":
        product = 1
        for part in parts:
            product = min(_COUNT_CAP, product * part)
        return product
    k, n = gate.minimum, len(parts)
    if all(part == 1 for part in parts):
        return _binomial(n, k)
    if n * k > _COUNT_WORK_MAX:
        return None
    # The elementary symmetric polynomial e_k of the arguments' counts: the sum over every
    # choice of k arguments of the product of their counts.
    sums = [1] + [0] * k
    for part in parts:
        for j in range(k, 0, -1):
            sums[j] = min(_COUNT_CAP, sums[j] + sums[j - 1] * part)
    return sums[k]


def _binomial(n: int, k: int) -> int:
    log_value = math.lgamma(n + 1) - math.lgamma(k + 1) - math.lgamma(n - k + 1)
    if log_value > math.log(_COUNT_CAP) + 1:
        return _COUNT_CAP
    return min(_COUNT_CAP, math.comb(n, k))


def _post_order(top: Formula) -> Iterator[Formula]:
    """Every node under `top` once, arguments before their gate, without recursion (a fault
    tree may be thousands of gates deep)."""
    seen: set[int] = set()
    stack: list[tuple[Formula, bool]] = [(top, False)]
    while stack:
        node, expanded = stack.pop()
        if expanded:
            yield node
            continue
        if id(node) in seen:
            continue
        seen.add(id(node))
        stack.append((node, True))
        if isinstance(node, Gate):
            stack.extend((argument, False) for argument in reversed(node.arguments)
                         if id(argument) not in seen)


def refuse_too_many(count: Count, where: Where, what: str) -> None:
    """Fails when `count` is exact and above MAX_CUT_SETS."""
    if count.exact and count.value is not None and count.value > MAX_CUT_SETS:
        where.fail(f"{what} has {_count_text(count.value)} minimal cut sets, more than the"
                   f" {MAX_CUT_SETS:,} tarvo takes (a k-out-of-n over many units grows as the"
                   " binomial coefficient n choose k): split the system or lower k")


def _count_text(value: int) -> str:
    return f"more than {_COUNT_CAP:.0e}" if value >= _COUNT_CAP else f"{value:,}"


# --- Small formulas, reduced here ---------------------------------------------------------

# A formula whose expansion has at most this many products is reduced to its minimal cut sets
# here, in milliseconds; larger ones go to SCRAM, whose start alone takes a quarter of a second.
REDUCED_HERE_UP_TO = 2_000


def reduced_cut_sets(top: Formula) -> list[CutSet]:
    """The minimal cut sets of a formula whose expansion is small (see count_cut_sets): each
    gate's products from its arguments', non-minimal ones dropped at every gate."""
    products: dict[int, list[CutSet]] = {}
    for node in _post_order(top):
        if isinstance(node, Event):
            found = [frozenset({node.index})]
        elif isinstance(node, Constant):
            found = [frozenset()] if node.value else []
        else:
            found = _gate_products(node, [products[id(a)] for a in node.arguments])
        products[id(node)] = _minimal(found)
    return sorted(products[id(top)], key=lambda s: (len(s), sorted(s)))


def _gate_products(gate: Gate, parts: list[list[CutSet]]) -> list[CutSet]:
    if gate.kind == "or":
        return [product for part in parts for product in part]
    if gate.kind == "and":
        return _all_combinations(parts)
    # atleast(k, ...): the products of every choice of k arguments.
    return [product for chosen in itertools.combinations(parts, gate.minimum)
            for product in _all_combinations(list(chosen))]


def _all_combinations(parts: list[list[CutSet]]) -> list[CutSet]:
    combined: list[CutSet] = [frozenset()]
    for part in parts:
        combined = _minimal([a | b for a in combined for b in part])
    return combined


def _minimal(sets: list[CutSet]) -> list[CutSet]:
    """The sets that hold no other of the list, each once."""
    unique = sorted(set(sets), key=len)
    kept: list[CutSet] = []
    for candidate in unique:
        if not any(smaller <= candidate for smaller in kept):
            kept.append(candidate)
    return kept


# --- Expressions --------------------------------------------------------------------------

_TOKEN = re.compile(r"""\s*(?:(?P<punct>[(),])|(?P<quoted>"[^"]*"|'[^']*')"""
                    r"""|(?P<word>[A-Za-z_][\w.\-]*(?:\[(?:\d+|\*)\])?)|(?P<number>\d+)|(?P<bad>\S))""")


class _ExpressionParser:
    """Recursive descent over: or-list of and-lists of (name | (expr) | atleast(k, expr, ...)),
    at most MAX_NESTING levels deep."""

    def __init__(self, text: str, names: Sequence[str], where: Where):
        self.names, self.where, self.text = names, where, text
        self.tokens = [(m.lastgroup, m.group(m.lastgroup)) for m in _TOKEN.finditer(text)
                       if m.lastgroup]
        self.position = 0
        self.depth = 0

    def parse(self) -> Formula:
        formula = self._or()
        if self.position < len(self.tokens):
            self._fail(f"unexpected {shown(self.tokens[self.position][1])}")
        return formula

    def _fail(self, message: str) -> None:
        self.where.fail(f"{message} in {shown(self.text)}")

    def _peek(self) -> tuple[str, str] | None:
        return self.tokens[self.position] if self.position < len(self.tokens) else None

    def _take(self, value: str | None = None) -> tuple[str, str]:
        token = self._peek()
        if token is None or (value is not None and token[1] != value):
            self._fail(f"expected {value!r}" if value else "unexpected end")
        self.position += 1
        return token  # type: ignore[return-value]

    def _joined(self, kind: str, operand) -> Formula:
        items = [operand()]
        while self._peek() == ("word", kind):
            self._take()
            items.append(operand())
        return items[0] if len(items) == 1 else joined(kind, items)

    def _or(self) -> Formula:
        return self._joined("or", self._and)

    def _and(self) -> Formula:
        return self._joined("and", self._primary)

    def _primary(self) -> Formula:
        kind, value = self._take()
        if value == "(":
            self._enter()
            inner = self._or()
            self._take(")")
            self.depth -= 1
            return inner
        if (kind, value) == ("word", "atleast"):
            self._enter()
            formula = self._atleast()
            self.depth -= 1
            return formula
        if kind in ("word", "quoted") and value not in ("and", "or"):
            indices = expand_name(value.strip("\"'"), self.names, self.where)
            if len(indices) != 1:
                self._fail(f"{value} stands for several components: use it inside atleast(...)")
            return Event(indices[0])
        self._fail(f"unexpected {shown(value)}")
        raise AssertionError  # not reached

    def _enter(self) -> None:
        self.depth += 1
        if self.depth > MAX_NESTING:
            self.where.fail(f"parentheses and atleast(...) nested more than {MAX_NESTING} levels"
                            " deep: write the logic flatter, or as a fault tree")

    def _atleast(self) -> Formula:
        self._take("(")
        kind, value = self._take()
        if kind != "number":
            self._fail(f"atleast(k, ...) needs a whole number k first, got {shown(value)}")
        arguments: list[Formula] = []
        while self._peek() == ("punct", ","):
            self._take()
            token = self._peek()
            if token and token[0] == "word" and token[1].endswith("[*]"):
                self._take()
                arguments += [Event(i) for i in expand_name(token[1], self.names, self.where)]
            else:
                arguments.append(self._or())
        self._take(")")
        minimum = int(value) if len(value) <= 18 else math.inf
        if not 1 <= minimum <= len(arguments):
            shown_k = value if len(value) <= 18 else f"{value[:6]}..."
            self._fail(f"atleast({shown_k}, ...) of {len(arguments)} arguments: k must be 1 to"
                       f" {len(arguments)}")
        repeated = _first_repeated(arguments)
        if repeated is not None:
            # atleast(2, a, a, b) would count a twice: it is not a k-out-of-n of distinct parts.
            self._fail(f"atleast({minimum}, ...) has {_formula_text(repeated, self.names)} twice"
                       " among its arguments; each must differ")
        return vote(int(minimum), arguments)


def _first_repeated(arguments: Sequence[Formula]) -> Formula | None:
    seen: set[Formula] = set()
    for argument in arguments:
        if argument in seen:
            return argument
        seen.add(argument)
    return None


def _formula_text(formula: Formula, names: Sequence[str]) -> str:
    if isinstance(formula, Event):
        return f'"{names[formula.index]}"'
    return "a sub-expression"


def parse_expression(text: object, names: Sequence[str], where: Where) -> Formula:
    if not isinstance(text, str) or not text.strip():
        where.fail('expected an expression such as "power or (pump[1] and pump[2])"')
    return _ExpressionParser(text, names, where).parse()


def _event_name(index: int) -> str:
    return f"c{index}"


def _formula_xml(top: Formula) -> tuple[str, str]:
    """The MEF formula of `top`, and the definitions of the gates it shares: a gate used by
    several parents (a fault tree's shared gate) becomes a named gate, so that the text grows
    with the gates, not with the paths through them. Iterative, as formulas may be deep."""
    parents: dict[int, int] = {}
    for node in _post_order(top):
        if isinstance(node, Gate):
            for argument in node.arguments:
                parents[id(argument)] = parents.get(id(argument), 0) + 1
    names: dict[int, str] = {}
    definitions: list[str] = []
    for node in _post_order(top):  # arguments first: a shared gate is named before its use
        if isinstance(node, Gate) and parents.get(id(node), 0) > 1:
            names[id(node)] = f"shared{len(names)}"
            body = _inline_xml(node, names, skip=id(node))
            definitions.append(f'<define-gate name="{names[id(node)]}">{body}</define-gate>')
    return _inline_xml(top, names), "".join(definitions)


def _inline_xml(formula: Formula, names: dict[int, str], skip: int | None = None) -> str:
    parts: list[str] = []
    stack: list[Formula | str] = [formula]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            parts.append(item)
        elif id(item) in names and id(item) != skip:
            parts.append(f'<gate name="{names[id(item)]}"/>')
        elif isinstance(item, Event):
            parts.append(f'<basic-event name="{_event_name(item.index)}"/>')
        elif isinstance(item, Constant):
            parts.append(f'<constant value="{"true" if item.value else "false"}"/>')
        else:
            opening = (f'<atleast min="{item.minimum}">' if item.kind == "atleast"
                       else f"<{item.kind}>")
            parts.append(opening)
            stack.append(f"</{item.kind}>")
            stack.extend(reversed(item.arguments))
    return "".join(parts)


def expression_model_xml(formula: Formula, components: int) -> str:
    """An Open-PSA MEF model with the formula as its top gate; component i is event c<i>."""
    events = "".join(f'<define-basic-event name="{_event_name(i)}"/>' for i in range(components))
    body, shared = _formula_xml(formula)
    return ('<?xml version="1.0"?>\n<opsa-mef><define-fault-tree name="system">'
            f'<define-gate name="top">{body}</define-gate>{shared}'
            f"</define-fault-tree><model-data>{events}</model-data></opsa-mef>\n")


# SCRAM 0.16 reduces some vote gates wrongly when their arguments share components:
# atleast(2, a, b, c, a or b) gives {a}, {c} instead of {a}, {b}. Such a gate is given to it
# as the or of the and of every k of its arguments, which it reduces right, up to this many.
MAX_VOTE_EXPANSION = 10_000


def without_overlapping_votes(top: Formula, where: Where) -> Formula:
    """`top` with every vote gate whose arguments share a component written as an or of ands
    (see MAX_VOTE_EXPANSION); the other gates are kept, shared ones still shared."""
    events = _EventSets()
    rebuilt: dict[int, Formula] = {}
    for node in _post_order(top):
        if not isinstance(node, Gate):
            rebuilt[id(node)] = node
            continue
        arguments = tuple(rebuilt[id(a)] for a in node.arguments)
        if node.kind == "atleast" and events.overlap(node.arguments):
            ways = _binomial(len(arguments), node.minimum)
            if ways > MAX_VOTE_EXPANSION:
                where.fail(f"atleast({node.minimum}, ...) of {len(arguments)} arguments that"
                           f" share components would be checked as {_count_text(ways)}"
                           f" combinations, more than {MAX_VOTE_EXPANSION:,}: write it with"
                           " arguments that share no component")
            rebuilt[id(node)] = joined("or", [
                joined("and", chosen)
                for chosen in itertools.combinations(arguments, node.minimum)])
        elif arguments != node.arguments:
            rebuilt[id(node)] = Gate(node.kind, arguments, node.minimum)
        else:
            rebuilt[id(node)] = node
    return rebuilt[id(top)]


class _EventSets:
    """The components under each node, computed once per node and only where asked."""

    def __init__(self) -> None:
        self.sets: dict[int, frozenset[int]] = {}

    def of(self, top: Formula) -> frozenset[int]:
        for node in _post_order(top):
            if id(node) in self.sets:
                continue
            if isinstance(node, Event):
                self.sets[id(node)] = frozenset({node.index})
            elif isinstance(node, Constant):
                self.sets[id(node)] = frozenset()
            else:
                self.sets[id(node)] = frozenset().union(*(self.sets[id(a)]
                                                          for a in node.arguments))
        return self.sets[id(top)]

    def overlap(self, arguments: Sequence[Formula]) -> bool:
        seen: set[int] = set()
        for argument in arguments:
            members = self.of(argument)
            if not seen.isdisjoint(members):
                return True
            seen |= members
        return False


def cut_sets_of_expression(text: object, names: Sequence[str], where: Where) -> list[CutSet]:
    formula = parse_expression(text, names, where)
    refuse_too_many(count_cut_sets(formula), where, "the expression")
    return cut_sets_of_formula(formula, len(names), where)


def cut_sets_of_formula(formula: Formula, components: int, where: Where) -> list[CutSet]:
    """The minimal cut sets of a formula over the components: reduced here when its expansion
    is small (most systems), else by SCRAM."""
    if isinstance(formula, Event):  # nothing to reduce
        return [frozenset({formula.index})]
    count = count_cut_sets(formula)
    if count.value is not None and count.value <= REDUCED_HERE_UP_TO:
        remove_stale_scram_folders()  # what a killed run left, whichever way this one goes
        return reduced_cut_sets(formula)
    formula = without_overlapping_votes(formula, where)
    products = run_scram([expression_model_xml(formula, components)], components, where)
    return [frozenset(int(event[1:]) for event in product) for product in products]


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
    if _first_repeated(rest) is not None:
        return None
    return vote(minimum, rest)


# --- SCRAM --------------------------------------------------------------------------------


@dataclass(frozen=True)
class ScramLimits:
    """The most time (seconds of wall clock, and as much processor time) and memory (bytes of
    address space) one SCRAM run may take."""

    seconds: float
    memory: int

    @classmethod
    def from_environment(cls) -> "ScramLimits":
        """TARVO_SCRAM_SECONDS (default 300) and TARVO_SCRAM_MEMORY_MB (default half the
        machine's memory, at most 8 GiB)."""
        machine = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        seconds = _environment_number("TARVO_SCRAM_SECONDS", 300.0)
        megabytes = _environment_number("TARVO_SCRAM_MEMORY_MB",
                                        min(8 * 1024, machine / 2**21))
        return cls(seconds, int(megabytes * 2**20))


def _environment_number(name: str, default: float) -> float:
    text = os.environ.get(name)
    if text is None:
        return default
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise ModelError(f"{name}: expected a positive number, got {text!r}")
    return value


def run_scram(inputs: Sequence[str | Path], components: int, where: Where) -> list[list[str]]:
    """Minimal cut sets (lists of basic-event names) of the one top gate of a MEF model, at most
    MAX_CUT_SETS of them.

    `inputs` are file paths or XML texts. Any rejection by SCRAM becomes a ModelError at `where`.
    """
    with _scram_run(inputs, ["--limit-order", str(max(components, 1))], where) as report:
        return _products(report, where)


def scram_report(inputs: Sequence[str | Path], options: Sequence[str],
                 where: Where) -> ElementTree.Element:
    """SCRAM's XML report (BDD analysis) of a MEF model with extra command-line `options`."""
    with _scram_run(inputs, options, where) as report:
        return ElementTree.parse(report).getroot()


@contextmanager
def _scram_run(inputs: Sequence[str | Path], options: Sequence[str], where: Where,
               limits: ScramLimits | None = None) -> Iterator[str]:
    """Runs SCRAM on `inputs` in a temporary folder and gives the path of its report; the
    process and the folder are gone when the block ends, however it ends."""
    limits = limits or ScramLimits.from_environment()
    program = shutil.which("scram")
    if program is None:
        where.fail("the scram program is needed to find minimal cut sets (scripts/setup.sh"
                   " installs it)")
    remove_stale_scram_folders()
    folder = tempfile.mkdtemp(prefix=f"{_FOLDER_PREFIX}{os.getpid()}-")
    try:
        files = []
        for number, item in enumerate(inputs):
            if isinstance(item, Path):
                files.append(str(item))
            else:
                files.append(os.path.join(folder, f"input{number}.xml"))
                Path(files[-1]).write_text(item)
        report = os.path.join(folder, "report.xml")
        _run_bounded([program, "--bdd", *options, "-o", report, *files], limits, where)
        yield report
    finally:
        shutil.rmtree(folder, ignore_errors=True)


_FOLDER_PREFIX = "tarvo-scram-"
_PR_SET_PDEATHSIG = 1
try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):  # not Linux: SCRAM is still ended on every way out here
    _prctl = None


def _run_bounded(command: list[str], limits: ScramLimits, where: Where) -> None:
    """Runs SCRAM under the limits; fails naming the limit it hit, or SCRAM's own message."""
    parent = os.getpid()
    memory = _within_hard_limit(resource.RLIMIT_AS, limits.memory)
    cpu = _within_hard_limit(resource.RLIMIT_CPU, math.ceil(limits.seconds) + 1)

    def in_child() -> None:  # between fork and exec: no allocation-heavy work here
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu))
        if _prctl is not None:
            _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)  # dies with this process
            if os.getppid() != parent:  # this process died before that took hold
                os._exit(1)

    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, errors="replace",
                               preexec_fn=in_child)
    try:
        try:
            output, errors = process.communicate(timeout=limits.seconds)
        except subprocess.TimeoutExpired:
            where.fail(f"SCRAM did not finish within its time limit of {limits.seconds:g} s"
                       " (TARVO_SCRAM_SECONDS): the logic has too many cut sets to find"
                       " quickly; simplify it or raise the limit")
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
    if process.returncode == 0:
        return
    message = _one_line(errors or output)
    if process.returncode == -signal.SIGXCPU:
        where.fail(f"SCRAM did not finish within its time limit of {cpu} s of processor time"
                   " (TARVO_SCRAM_SECONDS): simplify the logic or raise the limit")
    if process.returncode == -signal.SIGKILL:
        where.fail("SCRAM was ended by SIGKILL: by the system when memory ran out, or at its"
                   f" limit of {cpu} s of processor time (TARVO_SCRAM_SECONDS)")
    if any(sign in message for sign in ("bad_alloc", "allocation failed", "failed to map",
                                        "Cannot allocate", "out of memory")):
        where.fail(f"SCRAM ran out of memory at its limit of {limits.memory / 2**20:,.0f} MB"
                   " (TARVO_SCRAM_MEMORY_MB): the logic has too many cut sets; simplify it or"
                   " raise the limit")
    if process.returncode < 0:
        name = signal.Signals(-process.returncode).name
        where.fail(f"SCRAM ended with {name}{': ' + message if message else ''}")
    where.fail(f"SCRAM rejected it: {message}")


def _within_hard_limit(kind: int, value: int) -> int:
    """`value`, or the process's hard limit of that kind when it is lower (a limit cannot be
    raised past it)."""
    hard = resource.getrlimit(kind)[1]
    return value if hard == resource.RLIM_INFINITY else min(value, hard)


def remove_stale_scram_folders() -> None:
    """Removes the temporary folders of SCRAM runs whose process is gone (a run killed before
    it could clean up). Folders of this user only; those of a live process stay."""
    directory = tempfile.gettempdir()
    try:
        entries = os.listdir(directory)
    except OSError:
        return
    for entry in entries:
        match = re.fullmatch(re.escape(_FOLDER_PREFIX) + r"(\d+)-.*", entry)
        if match is None or _process_alive(int(match.group(1))):
            continue
        folder = os.path.join(directory, entry)
        try:
            if os.stat(folder).st_uid != os.getuid():
                continue
        except OSError:
            continue
        shutil.rmtree(folder, ignore_errors=True)


def _process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    except OSError as error:
        return error.errno != errno.ESRCH
    return True


def _one_line(text: str) -> str:
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def _products(report: str, where: Where) -> list[list[str]]:
    """The products of the report's one sum of products, read as a stream: a report past
    MAX_CUT_SETS products is refused without being held whole."""
    tops: list[str] = []
    products: list[list[str]] = []
    try:
        for _, element in ElementTree.iterparse(report, events=("end",)):
            if element.tag == "product":
                if element.find(".//not") is not None:
                    where.fail("the logic is not coherent (a product has a negated event)")
                products.append([event.get("name", "") for event in element.iter("basic-event")])
                if len(products) > MAX_CUT_SETS:
                    where.fail(f"the logic has more than {MAX_CUT_SETS:,} minimal cut sets, the"
                               " most tarvo takes: split the system or simplify the logic")
                element.clear()
            elif element.tag == "sum-of-products":
                tops.append(element.get("name", "?"))
    except ElementTree.ParseError as error:
        where.fail(f"SCRAM's report could not be read: {error}")
    if len(tops) != 1:
        where.fail(f"expected one top gate, found {', '.join(tops) or 'none'}")
    return products


def components_in_no_cut_set(cut_sets: Sequence[CutSet], components: int) -> list[int]:
    used = set().union(*cut_sets) if cut_sets else set()
    return [i for i in range(components) if i not in used]


def describe_cut_set(cut_set: CutSet, names: Sequence[str]) -> str:
    return " AND ".join(names[i] for i in sorted(cut_set))


__all__ = ["CutSet", "MAX_CUT_SETS", "ModelError", "ScramLimits", "cut_sets_from_names",
           "cut_sets_of_expression", "cut_sets_of_fault_tree", "components_in_no_cut_set",
           "count_cut_sets", "describe_cut_set", "minimal_cut_sets",
           "remove_stale_scram_folders"]
