"""Sensitivity sweeps as input: one parameter of the model file and the values to try.

A sweep names the parameter by its key path in the model file, as errors do
(`components.pump.failure.scale`, `components.controller.transitions[2].period`,
`study.resolution`), and lists the values:

    [sweep]
    parameter = "components.pump.failure.scale"
    values = [3000, 4000, 5000]

or, on the command line, `--sweep components.pump.failure.scale=3000,4000,5000`. Every variant is
the model file with that one value replaced, checked like any model when the sweep is read, so a
value that makes an invalid model is reported before anything runs.

How the variants are run and compared is the studies layer's affair (studies/sweep.py).
"""

from __future__ import annotations

import copy
import json
import re
import tomllib
from dataclasses import dataclass
from typing import Any

from .errors import Where, close_match_hint, reject_unknown_keys, shown

_INDEX = re.compile(r"\[(\d+)\]")


@dataclass(frozen=True)
class Sweep:
    """`parameter` is a key path in the model file; `values` are tried in order, the first is
    the reference of the paired differences."""

    parameter: str
    values: tuple[Any, ...]


def read_sweep(table: Any, where: Where) -> Sweep:
    """The [sweep] table of a model file."""
    if not isinstance(table, dict):
        where.fail(f"expected a table with parameter and values, got {shown(table)}")
    reject_unknown_keys(table, ("parameter", "values"), where)
    parameter = table.get("parameter")
    if not isinstance(parameter, str) or not parameter:
        where.key("parameter").fail("expected the key path of a parameter, such as"
                                    ' "components.pump.failure.scale"')
    values = table.get("values")
    if not isinstance(values, list) or len(values) < 2:
        where.key("values").fail(f"expected a list of at least two values, got {shown(values)}")
    return Sweep(parameter, tuple(values))


def parse_sweep_option(text: str) -> Sweep:
    """`KEY=V1,V2,...` as given to --sweep; each value is read as a TOML value (a bare word that
    is not one is taken as a string). Raises ValueError."""
    parameter, equals, listed = text.partition("=")
    values = [_toml_value(item.strip()) for item in _split_top_level(listed)] if equals else []
    if not parameter.strip() or len(values) < 2:
        raise ValueError(f"--sweep {text}: expected KEY=V1,V2,... with at least two values")
    return Sweep(parameter.strip(), tuple(values))


def _split_top_level(text: str) -> list[str]:
    """Splits at the commas outside brackets and quotes, so list values such as [4,6,8] stay
    whole."""
    items, depth, quote, start = [], 0, "", 0
    for position, char in enumerate(text):
        if quote:
            quote = "" if char == quote else quote
        elif char in "\"'":
            quote = char
        elif char in "[{":
            depth += 1
        elif char in "]}":
            depth -= 1
        elif char == "," and depth == 0:
            items.append(text[start:position])
            start = position + 1
    items.append(text[start:])
    return [item for item in items if item.strip()]


def _toml_value(text: str) -> Any:
    try:
        return tomllib.loads(f"value = {text}")["value"]
    except tomllib.TOMLDecodeError:
        return text


# --- Variants -----------------------------------------------------------------------------


def variant_data(data: dict, parameter: str, value: Any, where: Where) -> dict:
    """A deep copy of the model file's data with the parameter set to `value`. The table or
    list holding it must exist; a key of a table may be new (a default made explicit)."""
    if re.match(r"sweep($|[.\[])", parameter):
        where.fail("a sweep cannot vary the sweep itself")
    variant = copy.deepcopy(data)
    variant.pop("sweep", None)
    container, key = _locate(variant, parameter, where)
    container[key] = value
    return variant


def _locate(node: Any, path: str, where: Where) -> tuple[Any, Any]:
    """The container and key of `path`. Table keys may hold dots or brackets (`pump[1]`): at each
    table the longest key that starts the rest of the path is taken."""
    rest, walked = path, ""
    while True:
        if isinstance(node, dict):
            key = _longest_key(node, rest)
            if key is None:
                key = re.split(r"[.\[]", rest, maxsplit=1)[0]
                if key == rest and walked:  # a new key at the end: a default made explicit
                    return node, key
                where.fail(f'no key "{key}" in {walked or "the model"}'
                           f"{close_match_hint(key, [str(k) for k in node])}")
            rest = rest[len(key):]
        elif isinstance(node, list):
            match = _INDEX.match(rest)
            if not match or int(match.group(1)) >= len(node):
                where.fail(f"{walked} is a list of {len(node)}: expected an index such as"
                           f" {walked}[0]")
            key, rest = int(match.group(1)), rest[match.end():]
        else:
            where.fail(f"{walked} is a value ({shown(node)}), not a table or list")
        walked = path[:len(path) - len(rest)]
        if not rest:
            return node, key
        node = node[key]
        if rest.startswith("."):
            rest = rest[1:]


def _longest_key(table: dict, rest: str) -> str | None:
    fits = [k for k in table if isinstance(k, str)
            and (rest == k or rest.startswith(k + ".") or rest.startswith(k + "["))]
    return max(fits, key=len, default=None)


def value_text(value: Any) -> str:
    """A sweep value as the user wrote it: strings bare, everything else as TOML/JSON."""
    return value if isinstance(value, str) else json.dumps(value)
