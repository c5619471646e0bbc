"""Formulas over the components (events, and/or/atleast gates, constants), the count of the
cut sets they imply, and the reduction of small ones to minimal cut sets here."""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass
from typing import Iterator, Sequence, Union

from ..errors import Where
from .cut_sets import MAX_CUT_SETS, CutSet

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
    for node in post_order(top):
        key = id(node)
        if isinstance(node, Event):
            counts[key], uses[key] = 1, 1
        elif isinstance(node, Constant):
            counts[key], uses[key] = (1 if node.value else 0), 0
        else:
            parts = [counts[id(a)] for a in node.arguments]
            counts[key] = None if None in parts else _gate_count(node, parts)  # type: ignore
            uses[key] = min(_COUNT_CAP, sum(uses[id(a)] for a in node.arguments))
    distinct = len({n.index for n in post_order(top) if isinstance(n, Event)})
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


def post_order(top: Formula) -> Iterator[Formula]:
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


def reduced_cut_sets(top: Formula) -> list[CutSet]:
    """The minimal cut sets of a formula whose expansion is small (see count_cut_sets): each
    gate's products from its arguments', non-minimal ones dropped at every gate."""
    products: dict[int, list[CutSet]] = {}
    for node in post_order(top):
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


# SCRAM 0.16 reduces some vote gates wrongly when their arguments share components:
# atleast(2, a, b, c, a or b) gives {a}, {c} instead of {a}, {b}. Such a gate is given to it
# as the or of the and of every k of its arguments, which it reduces right, up to this many.
MAX_VOTE_EXPANSION = 10_000


def without_overlapping_votes(top: Formula, where: Where) -> Formula:
    """`top` with every vote gate whose arguments share a component written as an or of ands
    (see MAX_VOTE_EXPANSION); the other gates are kept, shared ones still shared."""
    events = _EventSets()
    rebuilt: dict[int, Formula] = {}
    for node in post_order(top):
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
        for node in post_order(top):
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

def first_repeated(arguments: Sequence[Formula]) -> Formula | None:
    seen: set[Formula] = set()
    for argument in arguments:
        if argument in seen:
            return argument
        seen.add(argument)
    return None
