"""Sensitivity sweeps: one parameter of the model file tried at several values, on the same seeds.

A sweep names the parameter by its key path in the model file, as errors do
(`components.pump.failure.scale`, `components.controller.transitions[2].period`,
`study.resolution`), and lists the values:

    [sweep]
    parameter = "components.pump.failure.scale"
    values = [3000, 4000, 5000]

or, on the command line, `--sweep components.pump.failure.scale=3000,4000,5000`. Every variant is
the model file with that one value replaced, checked like any model when the sweep is read, so a
value that makes an invalid model is reported before anything runs.

Every variant runs on the same seeds in the same sub-batches. The engine draws one number for
every law it consults, whatever the law's parameters, so the variants' histories stay strongly
correlated and the paired differences of their sub-batch means vary far less than those of
independent runs: the difference against the first value gets its interval by batch means over
the paired sub-batches. `Maintenance` durations come from the C library's shared generator, not
from the seed, and loosen the pairing.
"""

from __future__ import annotations

import copy
import json
import math
import re
import tomllib
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np

from . import stats
from .errors import ModelError, ModelWarning, Where, close_match_hint, reject_unknown_keys
from .output import atomic_path, atomic_write_text, csv_field
from .planner import StudyInterrupted, run_study
from .result import Result, _interval_dict

if TYPE_CHECKING:
    from .execution import Executor
    from .model import Model

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
        where.fail(f"expected a table with parameter and values, got {table!r}")
    reject_unknown_keys(table, ("parameter", "values"), where)
    parameter = table.get("parameter")
    if not isinstance(parameter, str) or not parameter:
        where.key("parameter").fail("expected the key path of a parameter, such as"
                                    ' "components.pump.failure.scale"')
    values = table.get("values")
    if not isinstance(values, list) or len(values) < 2:
        where.key("values").fail(f"expected a list of at least two values, got {values!r}")
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
            where.fail(f"{walked} is a value ({node!r}), not a table or list")
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


def variants(model: "Model", sweep: Sweep) -> list["Model"]:
    """One checked model per value. Raises ModelError naming the value that makes the model
    invalid, and why."""
    from .model import Model

    where = Where(model.source, "sweep")
    built = []
    for index, value in enumerate(sweep.values):
        data = variant_data(model.input, sweep.parameter, value, where.key("parameter"))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ModelWarning)  # reported for the model itself
                built.append(Model.from_dict(data, model.source, model.base_dir))
        except ModelError as error:
            where.key("values").item(index).fail(str(error).removeprefix(f"{model.source}: "))
    return built


# --- Runs ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class SweepResult:
    """One result per value, all on the same seeds and sub-batches."""

    sweep: Sweep
    results: tuple[Result, ...]
    seconds: float

    @property
    def reference(self) -> Result:
        return self.results[0]

    @property
    def histories(self) -> int:
        return self.reference.histories

    @property
    def seeded(self) -> bool:
        return all(r.seeded for r in self.results)

    @property
    def same_horizon(self) -> bool:
        return len({r.horizon for r in self.results}) == 1

    def means(self) -> list[stats.Interval]:
        return [r.mean() for r in self.results]

    def difference(self, index: int) -> stats.Interval:
        """Mean unavailability of value `index` minus the first value's, by batch means over
        the paired sub-batches."""
        mine, first = _batch_means(self.results[index]), _batch_means(self.reference)
        differences = [mine[seed] - first[seed] for seed in first]
        sizes = [b.histories for b in self.reference.batches]
        return stats.batch_means(sizes, differences, bounds=(-1.0, 1.0))

    def independent_standard_error(self, index: int) -> float:
        """The standard error the same difference would have from independent seeds."""
        return math.hypot(self.results[index].mean().standard_error,
                          self.reference.mean().standard_error)

    # --- Views -----------------------------------------------------------------------------

    def summary(self) -> str:
        from .sweep_views import summary

        return summary(self)

    def to_dict(self) -> dict:
        return {
            "parameter": self.sweep.parameter,
            "histories": self.histories,
            "seeds": [list(r) for r in self.reference.seed_ranges()],
            "seeded": self.seeded,
            "runs": len(self.results),
            "seconds": self.seconds,
            "values": [{"value": value, "mean_unavailability": _interval_dict(result.mean()),
                        "expected_downtime": _interval_dict(result.downtime()),
                        "difference": _interval_dict(self.difference(index)),
                        "independent_standard_error": self.independent_standard_error(index),
                        "batches": [vars(b) for b in result.batches],
                        "unavailability": result.unavailability.tolist()}
                       for index, (value, result) in enumerate(zip(self.sweep.values,
                                                                   self.results))],
        }

    def to_json(self, path: str | Path) -> None:
        atomic_write_text(Path(path), json.dumps(self.to_dict(), indent=1) + "\n")

    def to_csv(self, path: str | Path) -> None:
        """One line per value: its mean unavailability and the paired difference."""
        header = ["value", "mean", "mean_low_95", "mean_high_95", "difference",
                  "difference_low_95", "difference_high_95", "independent_standard_error"]
        lines = [",".join(header)]
        for index, value in enumerate(self.sweep.values):
            mean, difference = self.results[index].mean(), self.difference(index)
            figures = [mean.estimate, mean.low, mean.high, difference.estimate, difference.low,
                       difference.high, self.independent_standard_error(index)]
            lines.append(",".join([csv_field(value_text(value)),
                                   *(f"{v:.9g}" for v in figures)]))
        atomic_write_text(Path(path), "\n".join(lines) + "\n")

    def plot(self, path: str | Path) -> None:
        from .sweep_views import plot

        with atomic_path(Path(path)) as temporary:
            plot(self, temporary)


def run_sweep(model: "Model", sweep: Sweep, histories: int = 100_000, seed: int = 1,
              threads: int | None = None, progress: bool = False,
              executor: "Executor | None" = None, batches: int | None = None) -> SweepResult:
    """Runs every variant on seeds seed .. seed + histories - 1, in the same sub-batches,
    through the same planner as Model.run."""
    models = (model.planned_variants if sweep is model.planned_sweep and model.planned_variants
              else variants(model, sweep))
    results, seconds = [], 0.0
    for number, (value, variant) in enumerate(zip(sweep.values, models), start=1):
        try:
            result = run_study(variant, histories=histories, seed=seed, threads=threads,
                               progress=progress, executor=executor, batches=batches,
                               label=f"{sweep.parameter} = {value_text(value)}")
        except StudyInterrupted as interruption:
            raise KeyboardInterrupt(f"value {number} of {len(models)} {interruption}") from None
        results.append(result)
        seconds += result.seconds
    return SweepResult(sweep, tuple(results), seconds)


def _batch_means(result: Result) -> dict[int, float]:
    steps = result.horizon * result.resolution
    return {b.first_seed: b.failed_steps / (b.histories * steps) for b in result.batches}


def value_text(value: Any) -> str:
    return value if isinstance(value, str) else json.dumps(value)


def numeric_values(values: Sequence[Any]) -> np.ndarray | None:
    """The values as numbers, when all are numbers (for a numeric axis)."""
    if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
        return np.asarray(values, dtype=float)
    return None
