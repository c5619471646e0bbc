"""Errors in a model's input, raised where the input is read, with the key path in the message."""

from __future__ import annotations

import difflib
import math
import reprlib
from dataclasses import dataclass
from typing import Any, Iterable, NoReturn


class ModelError(ValueError):
    """Input that does not describe a valid model: `str(error)` is one line naming the source
    (file or "<dict>"), the key path and what is expected. Nothing has been simulated."""


class ModelWarning(UserWarning):
    """Input that is valid but probably not what was meant (a component in no cut set, a unit
    never inspected within the horizon, cut sets that are not minimal)."""


@dataclass(frozen=True)
class Where:
    """A position in the input: the source it came from and the key path within it."""

    source: str
    path: str = ""

    def key(self, name: str) -> "Where":
        name = shortened(name) if isinstance(name, str) else shown(name)
        return Where(self.source, f"{self.path}.{name}" if self.path else name)

    def item(self, index: int) -> "Where":
        return Where(self.source, f"{self.path}[{index}]")

    def text(self, message: str) -> str:
        return f"{self.source}: {self.path}: {message}" if self.path else f"{self.source}: {message}"

    def fail(self, message: str) -> NoReturn:
        raise ModelError(self.text(message))


def shortened(text: str, most: int = 60) -> str:
    """`text` for a message: control characters escaped (a key holding a line break) and cut
    to `most` characters with "..." when longer, so that a key or name the input made thousands
    of characters long still gives a message of one readable line."""
    if not text.isprintable():
        text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
    return text if len(text) <= most else f"{text[:most - 3]}..."


def number_text(value: float) -> str:
    """A number as the file would give it: the shortest text that reads back as the same value
    (4380.001, not 4380), without a trailing ".0" (-8, 1e+20)."""
    if isinstance(value, int) and not isinstance(value, bool):
        return shown(value)
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


class _ShortRepr(reprlib.Repr):
    """repr() cut short: a line of a message stays a line whatever the input holds (values
    nested thousands deep, long strings, integers of thousands of digits)."""

    def __init__(self) -> None:
        super().__init__(maxlevel=3, maxdict=4, maxlist=6, maxtuple=6, maxset=6, maxstring=60,
                         maxother=60)

    def repr_int(self, x: int, level: int) -> str:
        # str() of an integer past 4300 digits raises, and past 30 digits it helps nobody.
        if abs(x) < 10**30:
            return repr(x)
        digits = int(x.bit_length() * math.log10(2)) + 1
        return f"{'-' if x < 0 else ''}<an integer of about {digits} digits>"


_SHORT_REPR = _ShortRepr()


def shown(value: Any) -> str:
    """The value as a message shows it: its repr, shortened (see _ShortRepr)."""
    try:
        return _SHORT_REPR.repr(value)
    except Exception:  # a user object whose repr fails: its type is still worth naming
        return f"<{type(value).__name__}>"


def close_match_hint(name: str, choices: Iterable[str]) -> str:
    """' (did you mean "x"?)' for the closest of `choices`, or ''."""
    matches = difflib.get_close_matches(name, list(choices), n=1, cutoff=0.6)
    return f' (did you mean "{shortened(matches[0])}"?)' if matches else ""


def reject_unknown_keys(table: dict, allowed: Iterable[str], where: Where) -> None:
    """Fails at the first key of `table` that is not in `allowed` (or not a string)."""
    allowed = list(allowed)
    for name in table:
        if not isinstance(name, str):
            where.fail(f"keys must be strings, got {shown(name)}")
        if name not in allowed:
            where.key(name).fail(f'unknown key "{shortened(name)}"'
                                 f"{close_match_hint(name, allowed)};"
                                 f" expected one of: {', '.join(allowed)}")
