"""The parser of `fails_when` expressions: and, or, parentheses and atleast(k, ...)."""

from __future__ import annotations

import math
import re
from typing import Sequence

from ..errors import Where, shown
from .cut_sets import CutSet, expand_name
from .formulas import (Event, Formula, count_cut_sets, first_repeated, joined,
                       refuse_too_many, vote)
from .reduction import cut_sets_of_formula

# Parentheses and atleast(...) nested deeper than this in an expression are refused.
MAX_NESTING = 100

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
        repeated = first_repeated(arguments)
        if repeated is not None:
            # atleast(2, a, a, b) would count a twice: it is not a k-out-of-n of distinct parts.
            self._fail(f"atleast({minimum}, ...) has {_formula_text(repeated, self.names)} twice"
                       " among its arguments; each must differ")
        return vote(int(minimum), arguments)



def _formula_text(formula: Formula, names: Sequence[str]) -> str:
    if isinstance(formula, Event):
        return f'"{names[formula.index]}"'
    return "a sub-expression"


def parse_expression(text: object, names: Sequence[str], where: Where) -> Formula:
    if not isinstance(text, str) or not text.strip():
        where.fail('expected an expression such as "power or (pump[1] and pump[2])"')
    return _ExpressionParser(text, names, where).parse()


def cut_sets_of_expression(text: object, names: Sequence[str], where: Where) -> list[CutSet]:
    formula = parse_expression(text, names, where)
    refuse_too_many(count_cut_sets(formula), where, "the expression")
    return cut_sets_of_formula(formula, len(names), where)
