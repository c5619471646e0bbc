"""Fuzzing the result reader: every folder, however altered, ends in a result whose report,
measures and merges work, or in one ResultError line; the command then exits 0 or 2, never
with a traceback, a MemoryError or a hang.

Inputs: the results.json and curve.csv of real runs (one with the per-unit counts in the JSON,
one with them in the CSV alone) altered at random key paths (values replaced by any JSON value,
by their neighbours, negatives, halves and doubles, by text; keys deleted; list items repeated,
dropped or reordered), and as raw text (bytes inserted or cut, brackets nested thousands deep).

A CI run makes a few hundred examples; scripts/fuzz_readers.sh runs every fuzz property of the
model reader and the result reader for a time budget and prints what it ran.
"""

import contextlib
import io
import json
import math
import os
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvokit
from tarvokit.data import result as result_module
from tarvokit.views.text import summary

settings.register_profile(
    "tarvo-fuzz-results", max_examples=int(os.environ.get("TARVO_FUZZ_RESULT_EXAMPLES", "150")),
    deadline=None, suppress_health_check=list(HealthCheck))
FUZZ = settings.get_profile("tarvo-fuzz-results")

MODEL = {"study": {"name": "Two pumps", "time_unit": "h", "horizon": 60, "resolution": 3},
         "components": {"pump": {"count": 2, "failure": {"law": "Exponential", "mean": 20},
                                 "repair": {"law": "Exponential", "mean": 4}},
                        "valve": {"states": ["open", "stuck", "shut"], "transitions": [
                            {"from": "open", "to": "stuck", "law": "Weibull", "scale": 90,
                             "shape": 1.5},
                            {"from": "stuck", "to": "open", "law": "Inspection",
                             "period": 12}]}},
         "crews": {"fitters": {"count": 1, "repairs": ["pump[*]"]}},
         "system": {"fails_when": "valve or (pump[1] and pump[2])"}}


def _files(json_limit: int) -> tuple[str, str]:
    """The text of results.json and curve.csv of a small run."""
    saved = result_module.JSON_UNITS_LIMIT
    result_module.JSON_UNITS_LIMIT = json_limit
    try:
        run = tarvokit.Model.from_dict(MODEL).run(histories=80, seed=3, threads=1)
        with tempfile.TemporaryDirectory() as folder:
            run.to_json(Path(folder, "results.json"))
            run.to_csv(Path(folder, "curve.csv"))
            return (Path(folder, "results.json").read_text(),
                    Path(folder, "curve.csv").read_text())
    finally:
        result_module.JSON_UNITS_LIMIT = saved


FOLDERS = {"counts in the JSON": _files(100_000), "counts in the CSV": _files(10)}


def json_values():
    scalars = st.one_of(
        st.integers(-3, 10**6), st.integers(-2**70, 2**70), st.sampled_from([2**63, 2**64]),
        st.floats(allow_nan=True, allow_infinity=True), st.booleans(), st.none(),
        st.text(max_size=8), st.sampled_from(["0", "-1", "1" * 70, "markov", "h", "pump[1]"]))
    return st.recursive(scalars, lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=6), inner, max_size=3)),
        max_leaves=8)


def paths(data) -> list[tuple]:
    found, queue = [], [((), data)]
    while queue:
        path, node = queue.pop()
        children = node.items() if isinstance(node, dict) else (
            enumerate(node) if isinstance(node, list) else ())
        for key, child in children:
            found.append(path + (key,))
            if len(found) < 4000:
                queue.append((path + (key,), child))
    return found


def near(value, draw):
    """A value close to `value`, the kind an edit by hand makes."""
    if isinstance(value, bool) or value is None:
        return draw(st.sampled_from([not value, 0, 1, "true", None]))
    if isinstance(value, (int, float)):
        return draw(st.sampled_from([value + 1, value - 1, -value, value * 2, value // 2
                                     if isinstance(value, int) else value / 2, 0, str(value),
                                     float(value), value * 10**12]))
    if isinstance(value, str):
        return draw(st.sampled_from([value + "x", "", value.upper(), value[:-1], "7" * 30]))
    if isinstance(value, list):
        return draw(st.sampled_from([value[::-1], value + value[-1:], value[1:], [], [value]]))
    return draw(st.sampled_from([{}, dict(list(value.items())[1:]), [value]]))


@st.composite
def altered_folders(draw):
    kind = draw(st.sampled_from(list(FOLDERS)))
    text, curve = FOLDERS[kind]
    how = draw(st.sampled_from(["fields", "fields", "fields", "text", "csv"]))
    if how == "text":
        data = bytearray(text.encode())
        for _ in range(draw(st.integers(1, 3))):
            at = draw(st.integers(0, len(data)))
            piece = draw(st.sampled_from([b"", b"[", b"]", b"{", b"}", b",", b'"', b"-",
                                          b"9" * 30, b"NaN", b"Infinity", b"\xff", b"0",
                                          b"[" * 5000, b"e999"]))
            del data[at:at + draw(st.integers(0, 4))]
            data[at:at] = piece
        return kind, bytes(data), curve.encode()
    if how == "csv":
        lines = curve.splitlines()
        for _ in range(draw(st.integers(1, 3))):
            row = draw(st.integers(0, len(lines) - 1))
            fields = lines[row].split(",")
            column = draw(st.integers(0, len(fields) - 1))
            fields[column] = draw(st.sampled_from(["", "-1", "x", str(2**70), "1e3", "9" * 5000,
                                                   '"', "0", fields[column] + "1"]))
            change = draw(st.sampled_from(["edit", "edit", "drop", "repeat"]))
            if change == "drop":
                del lines[row]
            elif change == "repeat":
                lines.insert(row, lines[row])
            else:
                lines[row] = ",".join(fields)
        return kind, text.encode(), ("\n".join(lines) + "\n").encode()
    data = json.loads(text)
    for _ in range(draw(st.integers(1, 3))):
        where = paths(data)
        path = draw(st.sampled_from(where))
        parent = data
        for key in path[:-1]:
            parent = parent[key]
        key = path[-1]
        action = draw(st.sampled_from(["replace", "near", "near", "delete"]))
        if action == "delete":
            del parent[key]
        elif action == "near":
            parent[key] = near(parent[key], draw)
        else:
            parent[key] = draw(json_values())
    try:
        return kind, json.dumps(data).encode(), curve.encode()
    except ValueError:  # an integer past what json writes
        return kind, text.encode(), curve.encode()


def ends_well(results: bytes, curve: bytes) -> None:
    """The property: read back, a folder is a result that every view takes, or one line."""
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "results.json").write_bytes(results)
        Path(folder, "curve.csv").write_bytes(curve)
        try:
            result = tarvokit.read(folder)
        except tarvokit.ResultError as error:
            text = str(error)
            assert text and "\n" not in text and len(text) < 2000, text
            return
        assert result.histories > 0
        report = summary(result)
        assert "nan %" not in report and "inf" not in report.replace("Infinity", "")
        mean = result.mean()
        assert 0 <= mean.estimate <= 1 and math.isfinite(mean.estimate)
        if result.distributions is not None:
            found = result.measures()
            assert 0 <= found.reliability.estimate <= 1
            assert found.failure_frequency.estimate >= 0
        result.to_dict()


@FUZZ
@given(altered_folders())
def test_altered_result_folders_end_in_a_result_or_one_line(folder):
    kind, results, curve = folder
    ends_well(results, curve)


@pytest.mark.parametrize("kind", list(FOLDERS))
def test_the_folders_fuzzed_read_back(kind):
    results, curve = FOLDERS[kind]
    ends_well(results.encode(), curve.encode())


@settings(FUZZ, max_examples=max(FUZZ.max_examples // 10, 5))
@given(altered_folders(), st.sampled_from(["plot", "combine"]))
def test_the_verbs_on_altered_folders_exit_0_or_2_without_a_traceback(folder, verb):
    from tarvokit.command import cli

    kind, results, curve = folder
    with tempfile.TemporaryDirectory() as where:
        Path(where, "in").mkdir()
        Path(where, "in", "results.json").write_bytes(results)
        Path(where, "in", "curve.csv").write_bytes(curve)
        argv = {"plot": ["plot", str(Path(where, "in"))],
                "combine": ["combine", str(Path(where, "in")), "--out",
                            str(Path(where, "out"))]}[verb]
        stderr, stdout = io.StringIO(), io.StringIO()
        with contextlib.redirect_stderr(stderr), contextlib.redirect_stdout(stdout):
            code = cli.main(argv)
    assert code in (0, 2), stderr.getvalue()
    assert "Traceback" not in stderr.getvalue()
    if code == 2:
        assert stderr.getvalue().count("\n") == 1, stderr.getvalue()
