"""A formula to its minimal cut sets: reduced here when small, else written as an Open-PSA MEF
model for SCRAM."""

from __future__ import annotations

from ..errors import Where
from .cut_sets import CutSet
from .formulas import (Constant, Event, Formula, Gate, post_order, count_cut_sets,
                       reduced_cut_sets, without_overlapping_votes)
from .scram import remove_stale_scram_folders, run_scram

# A formula whose expansion has at most this many products is reduced to its minimal cut sets
# here, in milliseconds; larger ones go to SCRAM, whose start alone takes a quarter of a second.
REDUCED_HERE_UP_TO = 2_000

def _event_name(index: int) -> str:
    return f"c{index}"


def _formula_xml(top: Formula) -> tuple[str, str]:
    """The MEF formula of `top`, and the definitions of the gates it shares: a gate used by
    several parents (a fault tree's shared gate) becomes a named gate, so that the text grows
    with the gates, not with the paths through them. Iterative, as formulas may be deep."""
    parents: dict[int, int] = {}
    for node in post_order(top):
        if isinstance(node, Gate):
            for argument in node.arguments:
                parents[id(argument)] = parents.get(id(argument), 0) + 1
    names: dict[int, str] = {}
    definitions: list[str] = []
    for node in post_order(top):  # arguments first: a shared gate is named before its use
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
