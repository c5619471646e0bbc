"""Errors in a model's input, raised where the input is read, with the key path in the message."""

from __future__ import annotations

import difflib
from dataclasses import dataclass
from typing import Iterable, NoReturn


class ModelError(ValueError):
    """Input that does not describe a valid model: `str(error)` is one line naming the source
    (file or "<dict>"), the key path and what is expected. Nothing has been simulated."""


class ModelWarning(UserWarning):
    """Input that is valid but probably not what was meant (a component in no cut set)."""


@dataclass(frozen=True)
class Where:
    """A position in the input: the source it came from and the key path within it."""

    source: str
    path: str = ""

    def key(self, name: str) -> "Where":
        return Where(self.source, f"{self.path}.{name}" if self.path else name)

    def item(self, index: int) -> "Where":
        return Where(self.source, f"{self.path}[{index}]")

    def text(self, message: str) -> str:
        return f"{self.source}: {self.path}: {message}" if self.path else f"{self.source}: {message}"

    def fail(self, message: str) -> NoReturn:
        raise ModelError(self.text(message))


def close_match_hint(name: str, choices: Iterable[str]) -> str:
    """' (did you mean "x"?)' for the closest of `choices`, or ''."""
    matches = difflib.get_close_matches(name, list(choices), n=1, cutoff=0.6)
    return f' (did you mean "{matches[0]}"?)' if matches else ""


def reject_unknown_keys(table: dict, allowed: Iterable[str], where: Where) -> None:
    allowed = list(allowed)
    for name in table:
        if name not in allowed:
            where.key(name).fail(f'unknown key "{name}"{close_match_hint(name, allowed)};'
                                 f" expected one of: {', '.join(allowed)}")
