"""Reading a result folder as untrusted input: every field checked before it is used.

A folder may have been edited, truncated, mixed from two runs or made by hand. Everything read
from it goes through here first: the JSON is parsed with bounds (file size, nesting depth, no
NaN), each field is checked for its type and range with `Field`, a cursor that knows the key path
it stands at, and the figures that must agree (counts against histories, sums against
histograms) are compared. A field that fails is one ResultError line naming the file and the key
path, e.g. `out/results.json: batches[2].histories: expected a whole number of at least 1, got
'ten'`. No number read from a file sizes an allocation before it is checked against a bound.

`Field` serves every result file (results.json of a run, and the JSON of other studies): a
reader asks for `field.key("name").integer(low, high)` and gets a checked Python value.
"""

from __future__ import annotations

import csv
import json
import math
import os
import warnings
from pathlib import Path
from typing import Any, Callable, Iterator, NoReturn

import numpy as np

from ..engine.logistics import LogisticsSums
from ..engine.outputs import Distributions, Histogram, Sums
from ..model.errors import ModelError
from ..model.reading import Model
from .files import ResultError, open_no_follow
from .measures import PRECISION_MEASURES

# Bounds of what a result file may hold.
JSON_BYTES_MAX = 1 << 30  # a results.json past 1 GiB was not written by a run
JSON_DEPTH_MAX = 64  # the deepest a result's JSON nests is under 10
CSV_FIELD_BYTES_MAX = 64
INT_MAX = 2**31 - 1  # the largest seed
# A count summed over histories fits 64 bits (the engine's counters); past that, altered.
COUNT_MAX = 2**64 - 1


def _shown(value: Any) -> str:
    """The value as a message shows it, one short line whatever it is."""
    if isinstance(value, (dict, list)):
        return f"a {'table' if isinstance(value, dict) else 'list'} of {len(value):,} items"
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) >= 10**30:
        return f"an integer of about {int(value.bit_length() * math.log10(2)) + 1} digits"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


class Field:
    """A value read from a file, with where it stands (`source`: the file, `path`: the key
    path). Each accessor returns the checked value or raises ResultError naming both."""

    def __init__(self, source: str, value: Any, path: str = ""):
        self.source, self.value, self.path = source, value, path

    # --- Moving ----------------------------------------------------------------------------

    def key(self, name: str, optional: bool = False) -> "Field":
        """The field `name` of this table; a missing one fails unless `optional` (then its
        value is None)."""
        table = self.table()
        path = f"{self.path}.{name}" if self.path else name
        if name not in table:
            if not optional:
                Field(self.source, None, self.path).fail(f'missing "{name}"')
            return Field(self.source, None, path)
        return Field(self.source, table[name], path)

    def item(self, index: int) -> "Field":
        return Field(self.source, self.value[index], f"{self.path}[{index}]")

    def items(self, low: int = 0, high: int | None = None) -> Iterator["Field"]:
        """Each item of this list, which must hold `low` .. `high` items."""
        self.listing(low, high)
        return (self.item(i) for i in range(len(self.value)))

    # --- Checking --------------------------------------------------------------------------

    def fail(self, message: str) -> NoReturn:
        where = f"{self.source}: {self.path}" if self.path else self.source
        raise ResultError(f"{where}: {message}")

    @property
    def missing(self) -> bool:
        return self.value is None

    def table(self) -> dict:
        if not isinstance(self.value, dict):
            self.fail(f"expected a table, got {_shown(self.value)}")
        return self.value

    def listing(self, low: int = 0, high: int | None = None) -> list:
        if not isinstance(self.value, list):
            self.fail(f"expected a list, got {_shown(self.value)}")
        if len(self.value) < low or (high is not None and len(self.value) > high):
            wanted = f"{low:,}" if high == low else (
                f"at least {low:,}" if high is None else f"{low:,} to {high:,}")
            self.fail(f"expected {wanted} items, got {len(self.value):,}")
        return self.value

    def integer(self, low: int = 0, high: int = COUNT_MAX, what: str = "a whole number"
                ) -> int:
        value = self.value
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(f"expected {what}, got {_shown(value)}")
        if not low <= value <= high:
            bound = f"at least {low:,}" if high == COUNT_MAX else f"in {low:,} .. {high:,}"
            self.fail(f"expected {what} {bound}, got {_shown(value)}")
        return value

    def big_integer(self, low: int = 0, high: int | None = None) -> int:
        """A whole number written as a string of digits (exact sums beyond 2^53)."""
        value = self.value
        if not isinstance(value, str) or not value.isascii() or not value.isdigit() \
                or len(value) > 60:
            self.fail(f"expected a whole number written as a string of at most 60 digits, got"
                      f" {_shown(value)}")
        number = int(value)
        if number < low or (high is not None and number > high):
            self.fail(f"{number:,} is out of range: expected {low:,} .. {high:,}")
        return number

    def number(self, low: float = -math.inf, high: float = math.inf) -> float:
        value = self.value
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value):
            self.fail(f"expected a finite number, got {_shown(value)}")
        if not low <= value <= high:
            self.fail(f"expected a number in [{low:g}, {high:g}], got {_shown(value)}")
        return float(value)

    def boolean(self) -> bool:
        if not isinstance(self.value, bool):
            self.fail(f"expected true or false, got {_shown(self.value)}")
        return self.value

    def text(self, most: int = 10_000) -> str:
        if not isinstance(self.value, str) or len(self.value) > most:
            self.fail(f"expected a string of at most {most:,} characters, got"
                      f" {_shown(self.value)}")
        return self.value

    def choice(self, choices: tuple[str, ...]) -> str:
        if self.value not in choices:
            self.fail(f"expected one of {', '.join(choices)}, got {_shown(self.value)}")
        return self.value

    def optional(self, check: Callable[["Field"], Any]) -> Any:
        """None for a null or missing field, else `check(self)`."""
        return None if self.value is None else check(self)

    def interval(self) -> dict:
        """A figure with its interval as results.json writes it: estimate, low, high and
        standard_error, each a number or null (undefined), with low <= estimate <= high."""
        parts = {name: self.key(name).optional(Field.number)
                 for name in ("estimate", "low", "high", "standard_error")}
        estimate, low, high = parts["estimate"], parts["low"], parts["high"]
        if None not in (estimate, low, high) and not low <= estimate <= high:
            self.fail(f"the interval [{low:g}, {high:g}] does not hold its estimate"
                      f" {estimate:g}")
        return parts


# --- Files --------------------------------------------------------------------------------


def read_json(path: Path) -> dict:
    """A JSON table from a file of the folder, within the bounds above; ResultError if not."""
    try:
        with open_no_follow(path, "rb") as stream:
            size = os.fstat(stream.fileno()).st_size
            if size > JSON_BYTES_MAX:
                raise ResultError(f"{path}: {size:,} bytes, larger than any result"
                                  f" ({JSON_BYTES_MAX:,} at most)")
            text = stream.read(JSON_BYTES_MAX + 1)
    except FileNotFoundError:
        raise ResultError(f"{path}: no such file (not a folder a study wrote into?)") from None
    except OSError as error:
        raise ResultError(f"{path}: cannot read it: {error.strerror or error}") from None
    try:
        # Infinity and NaN read as floats: the checks of the fields that need finite numbers
        # refuse them there, naming the field.
        data = json.loads(text.decode("utf-8"), parse_constant=float)
    except RecursionError:
        raise ResultError(f"{path}: JSON nested too deeply") from None
    except (ValueError, UnicodeDecodeError) as error:  # JSONDecodeError, ints of 4,300 digits
        raise ResultError(f"{path}: not JSON ({str(error).splitlines()[0][:200]})") from None
    depth = _depth(data)
    if depth > JSON_DEPTH_MAX:
        raise ResultError(f"{path}: JSON nested {depth}+ deep; a result nests at most"
                          f" {JSON_DEPTH_MAX} deep")
    if not isinstance(data, dict):
        raise ResultError(f"{path}: expected a JSON table, got {_shown(data)}")
    return data


def _depth(data: Any) -> int:
    """How deep `data` nests, counted without recursion, stopping past JSON_DEPTH_MAX."""
    deepest, stack = 0, [(data, 1)]
    while stack:
        value, depth = stack.pop()
        if isinstance(value, (dict, list)):
            deepest = max(deepest, depth)
            if depth > JSON_DEPTH_MAX:
                return depth
            children = value.values() if isinstance(value, dict) else value
            stack.extend((child, depth + 1) for child in children
                         if isinstance(child, (dict, list)))
    return deepest


def csv_column(path: Path, column: str, rows: int, high: int,
               first_column: str | None = None) -> list[int]:
    """The whole numbers of `column` in a CSV of exactly `rows` lines after its header, each
    in 0 .. `high`; `first_column`, if given, must count the lines from 0. Reads no more than
    `rows` + 1 lines, and no field past CSV_FIELD_BYTES_MAX characters."""
    where = f"{path}: {column}"
    values: list[int] = []
    try:
        with open_no_follow(path, "r", newline="", encoding="utf-8") as stream:
            reader = csv.reader(stream)
            header = next(reader, None)
            if header is None or column not in header:
                raise ResultError(f"{path}: no column {column!r} in its header")
            index = header.index(column)
            first = header.index(first_column) if first_column in header else None
            for line, row in enumerate(reader, start=2):
                if len(values) == rows:
                    raise ResultError(f"{path}: more than the {rows:,} lines of the horizon")
                if len(row) != len(header):
                    raise ResultError(f"{path}: line {line:,}: {len(row)} fields, the header"
                                      f" has {len(header)}")
                text = row[index]
                if len(text) > CSV_FIELD_BYTES_MAX or not text.isascii() or not text.isdigit():
                    raise ResultError(f"{where}: line {line:,}: expected a whole number, got"
                                      f" {_shown(text)}")
                value = int(text)
                if value > high:
                    raise ResultError(f"{where}: line {line:,}: {value:,} is above the most"
                                      f" possible, {high:,}")
                if first is not None and row[first] != str(line - 2):
                    raise ResultError(f"{path}: line {line:,}: {first_column}"
                                      f" {_shown(row[first])}, expected {line - 2}")
                values.append(value)
    except FileNotFoundError:
        raise ResultError(f"{path}: missing; the per-unit counts are kept there") from None
    except (OSError, csv.Error, UnicodeDecodeError) as error:
        raise ResultError(f"{path}: cannot read the per-unit counts"
                          f" ({str(error).splitlines()[0][:200]})") from None
    if len(values) != rows:
        raise ResultError(f"{path}: {len(values):,} lines, expected one per time unit of the"
                          f" horizon, {rows:,}")
    return values


# --- A run's results.json -----------------------------------------------------------------

# The engine's histogram bins: one per value below EXACT_BINS_MAX, then fewer than as many
# again of a power-of-two width (src/study/studyOutput.h).
EXACT_BINS_MAX = 1 << 22
HISTOGRAM_BINS_MAX = 2 * EXACT_BINS_MAX
THREADS_MAX = 1 << 20
# Figures results.json repeats from the data, compared with what the data give.
_AGREE = 1e-9
_RUN_MEASURES = ("failure_frequency", "reliability", "mean_down_time", "mean_up_time")
# lost: lost production, for models with capacities; cost: the total cost over the
# sub-batch's histories, for models with costs.
_BATCH_KEYS = ("first_seed", "histories", "failed_steps", "seconds", "lost", "cost")


def run_fields(data: dict, source: str, identify: Callable[[dict, Any], str],
               read_counts: Callable[[int, int, str], Any] | None = None,
               calendar_fields: Callable[..., tuple[Any, float]] | None = None) -> dict:
    """The checked fields of a run's results.json, as Result's keyword arguments (the batches
    as (first_seed, histories, failed_steps, seconds) tuples, the counts as a list of ints).

    `identify(model, cut_sets)` is the id of what was simulated (result.study_id). `more(root,
    distributions, model, histories, steps, horizon, total)` checks the figures a kind of run
    adds (a calendar's: calendar_validation.calendar_fields) and gives the distributions with
    them and the mean unavailability results.json must hold; it is passed in, as those checks
    build on this module.
    `read_counts(rows, high, time_unit)` gives the per-unit counts when the JSON leaves them to
    curve.csv (rows: the horizon, high: the most a unit may count). Every field is checked, and the
    figures that must agree are compared: the sub-batches' histories with `histories` and
    `seeds`, their failed steps with the per-unit counts and the histograms, the histograms'
    totals with the histories, and the figures of the report with the data.
    """
    root = Field(source, data)
    method = root.key("method", optional=True)
    if not method.missing:
        method.fail(f"{_shown(method.value)}: not a simulated run (combine, --resume and the"
                    " run's plot take the folders `tarvo run` writes)")
    model_field = root.key("model")
    model_data = model_field.table()
    system = model_field.key("system").table()
    # The minimal cut sets, and a capacity's expression and demand (model/capacity.py).
    if "cut_sets" not in system or set(system) - {"cut_sets", "capacity", "demand"}:
        model_field.key("system").fail("expected the minimal cut sets alone (cut_sets), as a"
                                       " run writes them")
    if "sweep" in model_data:
        model_field.key("sweep").fail("a run's model holds no sweep")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = Model.from_dict(model_data, source=f"{source}: model")
    except ModelError as error:
        raise ResultError(str(error)) from None
    if json.dumps(model.description, sort_keys=True) != json.dumps(model_data, sort_keys=True):
        model_field.fail("not in the form a run writes (templates expanded, every component"
                         " with states and transitions): the file was altered")
    horizon, resolution = model.horizon, model.resolution
    steps = model.steps

    cut_sets_field = root.key("cut_sets", optional=True)
    cut_sets = None
    if not cut_sets_field.missing:
        for members in cut_sets_field.items(1):
            members.listing(1)
        try:
            model.resolve_cut_sets(cut_sets_field.value)
        except ModelError as error:
            cut_sets_field.fail(str(error).split(": cut_sets: ", 1)[-1])
        cut_sets = tuple(tuple(s) for s in cut_sets_field.value)
    identity = root.key("id").text(64)
    if identity != identify(model_data, cut_sets):
        root.key("id").fail("does not match its model: the file was altered")

    batches = _batches(root.key("batches"), steps)
    histories = sum(b[1] for b in batches)
    root.key("histories").integer(1, histories, "the number of histories")
    if root.key("histories").value != histories:
        root.key("histories").fail(f"{root.key('histories').value:,}, but its sub-batches hold"
                                   f" {histories:,}")
    _check_seeds(root.key("seeds"), batches)

    fields = {
        "model": model_data, "cut_sets": cut_sets,
        "batches": batches,
        "seconds": root.key("seconds").number(0.0),
        "threads": root.key("threads").optional(lambda f: f.integer(1, THREADS_MAX)),
        "seeded": root.key("seeded").boolean(),
        "precision": root.key("precision").optional(lambda f: f.number(0.0, 1.0)),
        "precision_met": root.key("precision_met").optional(Field.boolean),
        "precision_measure": root.key("precision_measure", optional=True).optional(
            lambda f: f.choice(PRECISION_MEASURES)),
        "interrupted": root.key("interrupted").boolean(),
        "model_path": root.key("model_path", optional=True).optional(Field.text),
        "created": root.key("created", optional=True).optional(lambda f: f.text(64)),
        "version": root.key("version", optional=True).optional(lambda f: f.text(64)),
    }
    speed = root.key("histories_per_second", optional=True)
    if not speed.missing and (isinstance(speed.value, bool)
                              or not isinstance(speed.value, (int, float))
                              or not speed.value >= 0):  # infinite after 0 s, never NaN
        speed.fail(f"expected a number of at least 0, got {_shown(speed.value)}")
    if fields["precision"] in (0.0, 1.0):
        root.key("precision").fail("expected a relative half-width between 0 and 1")

    high = histories * resolution  # the most failed steps a time unit may hold
    counts = _counts(root, horizon, high,
                     read_counts and (lambda rows, most: read_counts(rows, most,
                                                                     model.time_unit)))
    total = sum(counts)
    failed_steps = sum(b[2] for b in batches)
    if total != failed_steps:
        root.key("batches").fail(f"their failed steps add to {failed_steps:,}, but the"
                                 f" per-unit counts to {total:,}: the files are of different"
                                 " runs, or altered")
    fields["counts"] = counts

    distributions_field = root.key("distributions", optional=True)
    fields["distributions"] = None
    if not distributions_field.missing:
        fields["distributions"] = _distributions(distributions_field, histories, steps, total)
    elif len(batches) < 2:
        root.key("batches").fail("one sub-batch, and no per-history distributions: the"
                                 " intervals of such a result are by batch means, which need"
                                 " at least two")
    # A run with a calendar: its figures (calendar_validation.py), its mean over required time.
    mean = total / (steps * histories)
    if calendar_fields is not None:
        fields["distributions"], mean = calendar_fields(
            root, fields["distributions"], model_data, histories, steps, horizon, total)
    _check_figures(root, fields["distributions"] is not None, mean, horizon,
                   total / (steps * histories) * horizon)
    return fields


def _batches(field: Field, steps: int
             ) -> tuple[tuple[int, int, int, float, int | None, float | None], ...]:
    batches = []
    for batch in field.items(1):
        table = batch.table()
        for name in table:
            if name not in _BATCH_KEYS:
                batch.fail(f'unknown key "{str(name)[:60]}"; expected {", ".join(_BATCH_KEYS)}')
        first = batch.key("first_seed").integer(0, INT_MAX, "a seed")
        histories = batch.key("histories").integer(1, INT_MAX - first + 1,
                                                   "a number of histories")
        failed = batch.key("failed_steps").integer(0, histories * steps,
                                                   "a number of failed steps")
        # Lost production (models with capacities; data/production.py checks its sum).
        lost = batch.key("lost", optional=True).optional(Field.integer)
        cost = batch.key("cost", optional=True).optional(lambda f: f.number(0.0))
        batches.append((first, histories, failed, batch.key("seconds").number(0.0), lost, cost))
    ordered = sorted(batches)
    for before, after in zip(ordered, ordered[1:]):
        if after[0] <= before[0] + before[1] - 1:
            field.fail(f"two sub-batches share seeds from {after[0]} on: a run uses each seed"
                       " once")
    return tuple(batches)


def _check_seeds(field: Field, batches) -> None:
    ranges: list[list[int]] = []
    for first, histories, *_ in sorted(batches):
        if ranges and ranges[-1][1] + 1 == first:
            ranges[-1][1] = first + histories - 1
        else:
            ranges.append([first, first + histories - 1])
    if field.value != ranges:
        field.fail(f"expected the seed ranges of the sub-batches, {_shown(ranges)}")


def _counts(root: Field, horizon: int, high: int, read_counts) -> list[int]:
    """The per-unit failed steps, from the JSON or (past its limit) from read_counts."""
    field = root.key("failed_steps_per_unit", optional=True)
    if field.missing:
        per_unit = root.key("per_unit", optional=True)
        if read_counts is None:
            (per_unit if not per_unit.missing else field).fail(
                "the per-unit counts are not in the JSON, and no curve.csv to read them from")
        return list(read_counts(horizon, high))
    values = field.listing(horizon, horizon)
    if not all(type(v) is int for v in values):
        bad = next(i for i, v in enumerate(values) if type(v) is not int)
        field.item(bad).integer(0, high)
    if values and (min(values) < 0 or max(values) > high):
        bad = next(i for i, v in enumerate(values) if not 0 <= v <= high)
        field.item(bad).integer(0, high, f"a count of failed steps (at most resolution x"
                                         f" histories = {high:,})")
    for name in ("unavailability", "band_low", "band_high"):
        column = root.key(name, optional=True)
        if column.missing:
            continue
        column.listing(horizon, horizon)
        for index, value in enumerate(column.value):
            if isinstance(value, bool) or not isinstance(value, (int, float)) \
                    or not 0 <= value <= 1:
                column.item(index).number(0.0, 1.0)
        if name == "unavailability":
            scale = 1.0 / high
            for index, (value, count) in enumerate(zip(column.value, values)):
                if abs(value - count * scale) > _AGREE * max(1.0, count * scale):
                    column.item(index).fail(f"{value!r}, but its count gives"
                                            f" {count * scale!r}")
    return values


def _histogram(field: Field, histories: int, max_value: int | None):
    """A histogram of per-history values, checked: bins within the engine's binning (at most
    HISTOGRAM_BINS_MAX, and no bin above `max_value`), counts adding to at most histories."""
    exact = field.key("exact").integer(1, EXACT_BINS_MAX)
    width = field.key("width").integer(1, 1 << 62)
    if width & (width - 1):
        field.key("width").fail(f"expected a power of two, got {width:,}")
    bins_field = field.key("bins")
    pairs = []
    previous = -1
    for pair in bins_field.items(0, HISTOGRAM_BINS_MAX):
        pair.listing(2, 2)
        index = pair.item(0).integer(previous + 1, 2 * exact - 1, "a bin number")
        lower = index if index < exact else exact + (index - exact) * width
        if max_value is not None and lower > max_value:
            pair.item(0).fail(f"bin {index:,} holds values from {lower:,}, above the most"
                              f" possible, {max_value:,}")
        pairs.append((index, pair.item(1).integer(1, histories, "a number of histories")))
        previous = index
    counts = np.zeros(pairs[-1][0] + 1 if pairs else 0, dtype=np.uint64)
    for index, count in pairs:
        counts[index] = count
    return Histogram(counts, exact, width), pairs


def _value_range(pairs, exact: int, width: int, power: int) -> tuple[int, int]:
    """The least and the most the sum of value**power over the histories may be."""
    low = high = 0
    for index, count in pairs:
        if index < exact:
            low += count * index**power
            high += count * index**power
        else:
            edge = exact + (index - exact) * width
            low += count * edge**power
            high += count * (edge + width - 1)**power
    return low, high


def _distributions(field: Field, histories: int, steps: int, total: int):
    field.table()
    downtime, downtime_bins = _histogram(field.key("downtime"), histories, steps)
    failures, failures_bins = _histogram(field.key("failures"), histories, None)
    first, _ = _histogram(field.key("first_failure"), histories, steps - 1)
    never = field.key("never_failed").integer(0, histories, "a number of histories")
    for name, histogram, expected in (("downtime", downtime, histories),
                                      ("failures", failures, histories),
                                      ("first_failure", first, histories - never)):
        if histogram.total != expected:
            field.key(name).fail(f"its bins hold {histogram.total:,} histories, expected"
                                 f" {expected:,}")
    zero_failures = int(failures.counts[0]) if len(failures.counts) else 0
    if zero_failures != never:
        field.key("never_failed").fail(f"{never:,}, but {zero_failures:,} histories have no"
                                       " failure in failures")
    sums_field = field.key("sums")
    names = ("downtime", "downtime_squares", "failures", "failures_squares",
             "downtime_failures")
    for name in sums_field.table():
        if name not in names:
            sums_field.fail(f'unknown key "{str(name)[:60]}"')
    sums = Sums(*(sums_field.key(name).big_integer() for name in names))
    if sums.downtime != total:
        sums_field.key("downtime").fail(f"{sums.downtime:,}, but the per-unit counts add to"
                                        f" {total:,}")
    for name, value, pairs, histogram, power in (
            ("downtime", sums.downtime, downtime_bins, downtime, 1),
            ("downtime_squares", sums.downtime_squares, downtime_bins, downtime, 2),
            ("failures", sums.failures, failures_bins, failures, 1),
            ("failures_squares", sums.failures_squares, failures_bins, failures, 2)):
        low, high = _value_range(pairs, histogram.exact, histogram.width, power)
        if not low <= value <= high:
            sums_field.key(name).fail(f"{value:,}, but the histogram allows {low:,} .. {high:,}")
    if sums.downtime_failures**2 > sums.downtime_squares * sums.failures_squares:
        sums_field.key("downtime_failures").fail("larger than the sums of squares allow")
    logistics = field.key("logistics", optional=True)
    return Distributions(downtime, failures, first, never, sums, logistics=(
        None if logistics.missing else _logistic_sums(logistics, histories)))


def _logistic_sums(field: Field, histories: int) -> LogisticsSums:
    """The sums of the histories' logistic figures (engine/logistics.py); their number is
    checked against the model's logistics by data/logistics.py."""
    names = ("histories", "scale_bits", "sums", "squares", "cost_sums", "cost_squares")
    for name in field.table():
        if name not in names:
            field.fail(f'unknown key "{str(name)[:60]}"; expected {", ".join(names)}')
    if field.key("histories").integer(0, histories, "a number of histories") != histories:
        field.key("histories").fail(f"{field.key('histories').value:,}, but the run holds"
                                    f" {histories:,} histories")
    scale_bits = field.key("scale_bits").integer(0, 32, "a number of bits")
    lists = []
    for name in names[2:]:
        lists.append(tuple(item.big_integer() for item in field.key(name).items()))
    return LogisticsSums.from_lists(histories, scale_bits, *lists)


def _check_figures(root: Field, has_distributions: bool, mean: float, horizon: int,
                   downtime: float) -> None:
    """The figures results.json repeats: each a well-formed interval, the mean unavailability
    and the expected downtime those of the counts."""
    for name, expected in (("mean_unavailability", mean), ("expected_downtime", downtime)):
        estimate = root.key(name).interval()["estimate"]
        if estimate is None or abs(estimate - expected) > _AGREE * max(abs(expected), 1e-300):
            root.key(name).key("estimate").fail(f"{_shown(estimate)}, but the counts give"
                                                f" {expected!r}")
    for name in _RUN_MEASURES:
        figure = root.key(name, optional=True)
        if has_distributions or not figure.missing:
            figure.interval()
    quantiles = root.key("downtime_quantiles", optional=True)
    if has_distributions or not quantiles.missing:
        for name in quantiles.table():
            quantiles.key(str(name)).interval()

