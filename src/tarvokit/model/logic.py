"""The system's failure logic: minimal cut sets over the components.

A model gives it in one of three ways:
- `cut_sets`: lists of component names, used as given;
- `fails_when`: a Boolean expression over component names with `and`, `or`, parentheses and
  k-out-of-n (`atleast(2, a, b, c)`; `pump[*]` stands for every unit of a template there);
- `fault_tree`: an Open-PSA MEF file whose basic events are the components.
An expression is written out as an Open-PSA MEF model and a fault tree is read as it is; SCRAM
(the `scram` program) reduces either to minimal cut sets. Cut sets are frozensets of component
indices.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence, Union
from xml.sax.saxutils import quoteattr

from .errors import ModelError, Where, close_match_hint

CutSet = frozenset[int]


# --- Component names ----------------------------------------------------------------------


def expand_name(name: str, names: Sequence[str], where: Where) -> list[int]:
    """Indices of a component name, or of every unit of a template for `template[*]`."""
    if name.endswith("[*]"):
        prefix = name[:-3] + "["
        units = [i for i, candidate in enumerate(names) if candidate.startswith(prefix)]
        if not units:
            where.fail(f'"{name}": no component template "{name[:-3]}"')
        return units
    if name not in names:
        where.fail(f'unknown component "{name}"{close_match_hint(name, names)}')
    return [names.index(name)]


def cut_sets_from_names(sets: object, names: Sequence[str], where: Where) -> list[CutSet]:
    """The `cut_sets` form: a list of lists of component names, duplicates removed."""
    if not isinstance(sets, list) or not sets:
        where.fail('expected a non-empty list of cut sets, each a list of component names,'
                   ' such as [["power"], ["pump[1]", "pump[2]"]]')
    result: list[CutSet] = []
    for index, members in enumerate(sets):
        at = where.item(index)
        if not isinstance(members, list) or not members:
            at.fail(f"expected a non-empty list of component names, got {members!r}")
        indices: set[int] = set()
        for position, name in enumerate(members):
            if not isinstance(name, str):
                at.item(position).fail(f"expected a component name, got {name!r}")
            indices.update(expand_name(name, names, at.item(position)))
        if frozenset(indices) not in result:
            result.append(frozenset(indices))
    return result


# --- Expressions --------------------------------------------------------------------------

_TOKEN = re.compile(r"""\s*(?:(?P<punct>[(),])|(?P<quoted>"[^"]*"|'[^']*')"""
                    r"""|(?P<word>[A-Za-z_][\w.\-]*(?:\[(?:\d+|\*)\])?)|(?P<number>\d+)|(?P<bad>\S))""")


@dataclass(frozen=True)
class Event:
    index: int


@dataclass(frozen=True)
class Gate:
    kind: str  # "and", "or", "atleast"
    arguments: tuple["Formula", ...]
    minimum: int = 0  # for "atleast"


Formula = Union[Event, Gate]


class _ExpressionParser:
    """Recursive descent over: or-list of and-lists of (name | (expr) | atleast(k, expr, ...))."""

    def __init__(self, text: str, names: Sequence[str], where: Where):
        self.names, self.where, self.text = names, where, text
        self.tokens = [(m.lastgroup, m.group(m.lastgroup)) for m in _TOKEN.finditer(text)
                       if m.lastgroup]
        self.position = 0

    def parse(self) -> Formula:
        formula = self._or()
        if self.position < len(self.tokens):
            self._fail(f"unexpected {self.tokens[self.position][1]!r}")
        return formula

    def _fail(self, message: str) -> None:
        self.where.fail(f"{message} in {self.text!r}")

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
        return items[0] if len(items) == 1 else Gate(kind, tuple(items))

    def _or(self) -> Formula:
        return self._joined("or", self._and)

    def _and(self) -> Formula:
        return self._joined("and", self._primary)

    def _primary(self) -> Formula:
        kind, value = self._take()
        if value == "(":
            inner = self._or()
            self._take(")")
            return inner
        if (kind, value) == ("word", "atleast"):
            return self._atleast()
        if kind in ("word", "quoted") and value not in ("and", "or"):
            indices = expand_name(value.strip("\"'"), self.names, self.where)
            if len(indices) != 1:
                self._fail(f"{value} stands for several components: use it inside atleast(...)")
            return Event(indices[0])
        self._fail(f"unexpected {value!r}")
        raise AssertionError  # not reached

    def _atleast(self) -> Formula:
        self._take("(")
        kind, value = self._take()
        if kind != "number":
            self._fail(f"atleast(k, ...) needs a whole number k first, got {value!r}")
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
        minimum = int(value)
        if not 1 <= minimum <= len(arguments):
            self._fail(f"atleast({minimum}, ...) of {len(arguments)} arguments: k must be 1 to"
                       f" {len(arguments)}")
        # The MEF's vote gate needs 2 <= k < n: the ends are plain or and and gates.
        if len(arguments) == 1:
            return arguments[0]
        if minimum in (1, len(arguments)):
            return Gate("or" if minimum == 1 else "and", tuple(arguments))
        return Gate("atleast", tuple(arguments), minimum)


def parse_expression(text: object, names: Sequence[str], where: Where) -> Formula:
    if not isinstance(text, str) or not text.strip():
        where.fail('expected an expression such as "power or (pump[1] and pump[2])"')
    return _ExpressionParser(text, names, where).parse()


def _event_name(index: int) -> str:
    return f"c{index}"


def _formula_xml(formula: Formula) -> str:
    if isinstance(formula, Event):
        return f'<basic-event name="{_event_name(formula.index)}"/>'
    inner = "".join(_formula_xml(argument) for argument in formula.arguments)
    if formula.kind == "atleast":
        return f'<atleast min="{formula.minimum}">{inner}</atleast>'
    return f"<{formula.kind}>{inner}</{formula.kind}>"


def expression_model_xml(formula: Formula, components: int) -> str:
    """An Open-PSA MEF model with the expression as its top gate; component i is event c<i>."""
    events = "".join(f'<define-basic-event name="{_event_name(i)}"/>' for i in range(components))
    return ('<?xml version="1.0"?>\n<opsa-mef><define-fault-tree name="system">'
            f'<define-gate name="top">{_formula_xml(formula)}</define-gate>'
            f"</define-fault-tree><model-data>{events}</model-data></opsa-mef>\n")


def cut_sets_of_expression(text: object, names: Sequence[str], where: Where) -> list[CutSet]:
    formula = parse_expression(text, names, where)
    products = run_scram([expression_model_xml(formula, len(names))], len(names), where)
    return [frozenset(int(event[1:]) for event in product) for product in products]


# --- Fault trees --------------------------------------------------------------------------


def cut_sets_of_fault_tree(path: Path, names: Sequence[str], where: Where) -> list[CutSet]:
    """Minimal cut sets of an Open-PSA MEF file whose basic events are component names.

    Basic events the file uses without defining are defined for SCRAM, so a tree needs no model
    data; an event that is not a component is an error.
    """
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError) as error:
        where.fail(f"cannot read the fault tree {path}: {error}")
    # A formula may name a basic event untyped (<event name=...>), like a gate or house event.
    others = {e.get("name") for tag in ("define-gate", "define-house-event")
              for e in root.iter(tag)}
    used = {e.get("name") for tag in ("basic-event", "event") for e in root.iter(tag)} - others
    defined = {e.get("name") for e in root.iter("define-basic-event")}
    for name in sorted(n for n in used | defined if n is not None):
        if name not in names:
            where.fail(f'basic event "{name}" of {path} is not a component'
                       f"{close_match_hint(name, names)}")
    extra = "".join(f"<define-basic-event name={quoteattr(n)}/>"
                    for n in sorted(n for n in used - defined if n is not None))
    definitions = f'<?xml version="1.0"?>\n<opsa-mef><model-data>{extra}</model-data></opsa-mef>\n'
    products = run_scram([path, definitions], len(names), where)
    return [frozenset(names.index(event) for event in product) for product in products]


# --- SCRAM --------------------------------------------------------------------------------


def run_scram(inputs: Sequence[str | Path], components: int, where: Where) -> list[list[str]]:
    """Minimal cut sets (lists of basic-event names) of the one top gate of a MEF model.

    `inputs` are file paths or XML texts. Any rejection by SCRAM becomes a ModelError at `where`.
    """
    report = scram_report(inputs, ["--limit-order", str(max(components, 1))], where)
    return _products(report, where)


def scram_report(inputs: Sequence[str | Path], options: Sequence[str],
                 where: Where) -> ElementTree.Element:
    """SCRAM's XML report (BDD analysis) of a MEF model with extra command-line `options`."""
    program = shutil.which("scram")
    if program is None:
        where.fail("the scram program is needed to find minimal cut sets (scripts/setup.sh"
                   " installs it)")
    with tempfile.TemporaryDirectory(prefix="tarvo-scram-") as folder:
        files = []
        for number, item in enumerate(inputs):
            if isinstance(item, Path):
                files.append(str(item))
            else:
                files.append(os.path.join(folder, f"input{number}.xml"))
                Path(files[-1]).write_text(item)
        report = os.path.join(folder, "report.xml")
        finished = subprocess.run([program, "--bdd", *options, "-o", report, *files],
                                  capture_output=True, text=True)
        if finished.returncode != 0:
            where.fail(f"SCRAM rejected it: {_one_line(finished.stderr or finished.stdout)}")
        return ElementTree.parse(report).getroot()


def _one_line(text: str) -> str:
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def _products(report: ElementTree.Element, where: Where) -> list[list[str]]:
    tops = report.findall("results/sum-of-products")
    if len(tops) != 1:
        where.fail("expected one top gate, found "
                   f"{', '.join(t.get('name', '?') for t in tops) or 'none'}")
    products = []
    for product in tops[0].findall("product"):
        if product.find(".//not") is not None:
            where.fail("the logic is not coherent (a product has a negated event)")
        products.append([event.get("name", "") for event in product.iter("basic-event")])
    return products


def components_in_no_cut_set(cut_sets: Sequence[CutSet], components: int) -> list[int]:
    used = set().union(*cut_sets) if cut_sets else set()
    return [i for i in range(components) if i not in used]


def describe_cut_set(cut_set: CutSet, names: Sequence[str]) -> str:
    return " AND ".join(names[i] for i in sorted(cut_set))


__all__ = ["CutSet", "ModelError", "cut_sets_from_names", "cut_sets_of_expression",
           "cut_sets_of_fault_tree", "components_in_no_cut_set", "describe_cut_set"]
