"""Result folders read as untrusted input: every field of results.json and curve.csv checked
(data/validation.py), one line naming the file and the field, exit code 2, and no allocation
sized by a number read from the folder before it is bounded."""

import json
import resource
import shutil
import subprocess
import sys

import numpy as np
import pytest

import tarvokit
from tarvokit.data import result as result_module
from tarvokit.data.files import MANIFEST_NAME

from test_tarvokit_cli import ENVIRONMENT

MODEL = {"study": {"name": "Two pumps", "time_unit": "h", "horizon": 120, "resolution": 4},
         "components": {"pump": {"count": 2,
                                 "failure": {"law": "Exponential", "mean": 40},
                                 "repair": {"law": "Exponential", "mean": 6}}},
         "system": {"fails_when": "pump[1] and pump[2]"}}
HISTORIES = 300


@pytest.fixture(scope="module")
def result():
    return tarvokit.Model.from_dict(MODEL).run(histories=HISTORIES, seed=1, threads=1)


@pytest.fixture
def folder(result, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    result.to_json(out / "results.json")
    result.to_csv(out / "curve.csv")
    return out


def edit(folder, change):
    """Applies `change` to the JSON of results.json (or replaces its text by what it returns)."""
    data = json.loads((folder / "results.json").read_text())
    text = change(data)
    (folder / "results.json").write_text(text if isinstance(text, str) else json.dumps(data))


def batch(key, value):
    return lambda data: data["batches"][0].update({key: value})


def bins(name, change):
    return lambda data: change(data["distributions"][name]["bins"])


STEPS_PER_UNIT_MAX = HISTORIES * 4
DAMAGES = {
    # name: (change of the JSON, the key path the message names, what it says)
    "negative-histories": (batch("histories", -5), "batches[0].histories", "got -5"),
    "histories-as-text": (lambda d: d.update(histories=str(d["histories"])), "histories",
                          "'300'"),
    "zero-histories": (batch("histories", 0), "batches[0].histories", "1 .."),
    "empty-model": (lambda d: d.update(model={}), "model", "missing"),
    "bin-at-10^12": (bins("downtime", lambda b: b.append([10**12, 1])),
                     "distributions.downtime.bins", "bin number"),
    "bin-at-minus-1": (bins("failures", lambda b: b.insert(0, [-1, 1])),
                       "distributions.failures.bins[0][0]", "bin number"),
    "bin-above-the-horizon": (bins("downtime", lambda b: b.append([HISTORIES * 1000, 1])),
                              "distributions.downtime.bins", "above the most possible"),
    "bins-out-of-order": (bins("downtime", lambda b: b.reverse()),
                          "distributions.downtime.bins", "bin number"),
    "count-above-histories": (lambda d: d["failed_steps_per_unit"].__setitem__(
        7, STEPS_PER_UNIT_MAX + 1), "failed_steps_per_unit[7]", "at most"),
    "negative-count": (lambda d: d["failed_steps_per_unit"].__setitem__(3, -1),
                       "failed_steps_per_unit[3]", "count of failed steps"),
    "never-failed-above-histories": (lambda d: d["distributions"].update(
        never_failed=HISTORIES * 2), "distributions.never_failed", "0 .. 300"),
    "never-failed-disagrees": (lambda d: d["distributions"].update(never_failed=1),
                               "distributions", "histories"),
    "failed-steps-disagree": (lambda d: d["batches"][0].update(
        failed_steps=d["batches"][0]["failed_steps"] + 1), "batches", "different runs"),
    "sums-disagree": (lambda d: d["distributions"]["sums"].update(downtime="1"),
                      "distributions.sums.downtime", "per-unit counts"),
    "squares-impossible": (lambda d: d["distributions"]["sums"].update(downtime_squares="0"),
                           "distributions.sums.downtime_squares", "histogram allows"),
    "sum-as-number": (lambda d: d["distributions"]["sums"].update(failures=12),
                      "distributions.sums.failures", "string of"),
    "width-not-a-power-of-two": (lambda d: d["distributions"]["first_failure"].update(
        width=3), "distributions.first_failure.width", "power of two"),
    "id-altered": (lambda d: d.update(id="0" * 32), "id", "altered"),
    "model-altered": (lambda d: d["model"]["components"]["pump[1]"]["transitions"][0].update(
        mean=41), "id", "altered"),
    "model-invalid": (lambda d: d["model"]["components"]["pump[1]"].update(
        states=["ok", "down"]), "model: components.pump[1].transitions[0].from", "unknown"),
    "model-not-as-written": (lambda d: d["model"]["components"].update(
        {"pump[2]": {"failure": {"law": "Exponential", "mean": 40}}}), "model", "form a run"),
    "model-with-a-fault-tree": (lambda d: d["model"]["system"].update(fault_tree="/etc/x"),
                                "model.system", "cut sets alone"),
    "seeds-shared": (lambda d: d["batches"].append(dict(d["batches"][0])), "batches",
                     "share seeds"),
    "seeds-disagree": (lambda d: d.update(seeds=[[5, 9]]), "seeds", "seed ranges"),
    "seconds-not-a-number": (lambda d: json.dumps(d).replace('"seconds": ', '"seconds": NaN,'
                                                             ' "x": ', 1),
                             "seconds", "finite number"),
    "no-distributions-one-batch": (lambda d: d.pop("distributions"), "batches",
                                   "at least two"),
    "speed-negative": (lambda d: d.update(histories_per_second=-1), "histories_per_second",
                       "at least 0"),
    "precision-out-of-range": (lambda d: d.update(precision=2), "precision", "in [0, 1]"),
    "precision-of-unknown": (lambda d: d.update(precision_measure="speed"),
                             "precision_measure", "one of"),
    "mean-disagrees": (lambda d: d["mean_unavailability"].update(
        estimate=d["mean_unavailability"]["estimate"] * 2, high=1),
                       "mean_unavailability.estimate", "counts give"),
    "interval-inverted": (lambda d: d["reliability"].update(low=1, high=0), "reliability",
                          "does not hold"),
    "unavailability-disagrees": (lambda d: d["unavailability"].__setitem__(4, 0.5),
                                 "unavailability[4]", "its count gives"),
    "unknown-cut-set-member": (lambda d: d.update(cut_sets=[["nope"]]), "cut_sets",
                               "nope"),
    "a-markov-answer": (lambda d: d.update(method="markov"), "method", "not a simulated run"),
    "unknown-batch-key": (batch("speed", 1), "batches[0]", "unknown key"),
    "integer-of-5000-digits": (lambda d: json.dumps(d).replace(
        '"histories": 300', '"histories": 3' + "0" * 5000, 1), "", "not JSON"),
    "nested-100000-deep": (lambda d: "[" * 100_000 + "]" * 100_000, "", "nested"),
    "nested-200-deep": (lambda d: json.dumps({**d, "x": json.loads("[" * 200 + "]" * 200)}),
                        "", "nested"),
    "not-a-table": (lambda d: "[1, 2]", "", "expected a JSON table"),
}


@pytest.mark.parametrize("name", DAMAGES)
def test_a_damaged_results_json_is_one_line_naming_the_field(folder, name):
    change, field, words = DAMAGES[name]
    edit(folder, change)
    with pytest.raises(tarvokit.ResultError) as caught:
        tarvokit.read(folder)
    message = str(caught.value)
    assert "\n" not in message and len(message) < 400, message
    assert message.startswith(f"{folder / 'results.json'}: {field}"), message
    assert words in message, message


def test_an_untouched_folder_reads_back_exactly(folder, result):
    again = tarvokit.read(folder)
    assert np.array_equal(again.counts, result.counts) and again.batches == result.batches
    assert again.measures().failure_frequency == result.measures().failure_frequency


@pytest.fixture
def long_folder(tmp_path, monkeypatch):
    """A result whose per-unit counts are in curve.csv alone."""
    monkeypatch.setattr(result_module, "JSON_UNITS_LIMIT", 50)
    out = tmp_path / "long"
    out.mkdir()
    run = tarvokit.Model.from_dict(MODEL).run(histories=HISTORIES, seed=1, threads=1)
    run.to_json(out / "results.json")
    run.to_csv(out / "curve.csv")
    return out


def edit_csv(folder, change):
    lines = (folder / "curve.csv").read_text().splitlines()
    change(lines)
    (folder / "curve.csv").write_text("\n".join(lines) + "\n")


def column(line: str, index: int, value: str) -> str:
    fields = line.split(",")
    fields[index] = value
    return ",".join(fields)


CSV_DAMAGES = {
    "2^70": (lambda lines: lines.__setitem__(3, column(lines[3], 5, str(2**70))),
             "failed_steps: line 4", "above the most possible"),
    "a million digits": (lambda lines: lines.__setitem__(3, column(lines[3], 5, "9" * 10**6)),
                         "", "cannot read"),
    "text": (lambda lines: lines.__setitem__(3, column(lines[3], 5, "ten")),
             "failed_steps: line 4", "whole number"),
    "negative": (lambda lines: lines.__setitem__(3, column(lines[3], 5, "-2")),
                 "failed_steps: line 4", "whole number"),
    "a line more": (lambda lines: lines.append(lines[-1]), "", "more than the 120 lines"),
    "a line less": (lambda lines: lines.pop(), "", "119 lines"),
    "units out of order": (lambda lines: lines.__setitem__(2, column(lines[2], 0, "7")),
                           "", "start_h"),
    "another run's counts": (lambda lines: lines.__setitem__(9, column(
        lines[9], 5, str(int(lines[9].split(",")[5]) + 1))), "", "different runs"),
}


@pytest.mark.parametrize("name", CSV_DAMAGES)
def test_a_damaged_curve_csv_is_one_line(long_folder, name):
    change, field, words = CSV_DAMAGES[name]
    edit_csv(long_folder, change)
    with pytest.raises(tarvokit.ResultError) as caught:
        tarvokit.read(long_folder)
    message = str(caught.value)
    assert "\n" not in message and words in message, message
    assert str(long_folder) in message and field in message, message


def limited(megabytes: int):
    """For preexec_fn: a process that cannot allocate more than `megabytes` of memory."""
    def limit():
        size = megabytes * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (size, size))
    return limit


@pytest.mark.parametrize("name", ["bin-at-10^12", "nested-100000-deep", "count-above-histories",
                                  "never-failed-above-histories", "empty-model"])
@pytest.mark.parametrize("verb", ["plot", "combine", "resume"])
def test_the_verbs_refuse_a_damaged_folder_with_exit_2(folder, tmp_path, name, verb):
    change, field, _ = DAMAGES[name]
    edit(folder, change)
    model = tmp_path / "pumps.toml"
    model.write_text(MODEL_TOML)
    argv = {"plot": ["plot", str(folder)],
            "combine": ["combine", str(folder), str(folder), "--out", str(tmp_path / "both")],
            "resume": ["run", str(model), "--resume", str(folder), "--histories", "10"]}[verb]
    done = subprocess.run([sys.executable, "-m", "tarvokit.command", *argv],
                          capture_output=True, text=True, env=ENVIRONMENT, timeout=120,
                          preexec_fn=limited(1500))
    assert done.returncode == 2, done.stderr
    assert done.stderr.startswith(f"tarvo: error: {folder / 'results.json'}: {field}")
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr


MODEL_TOML = """\
[study]
name = "Two pumps"
time_unit = "h"
horizon = 120
resolution = 4
[components.pump]
count = 2
failure = {law = "Exponential", mean = 40}
repair = {law = "Exponential", mean = 6}
[system]
fails_when = "pump[1] and pump[2]"
"""


def test_combine_names_the_folder_that_does_not_join(folder, tmp_path):
    other = tmp_path / "other"
    shutil.copytree(folder, other)
    done = subprocess.run([sys.executable, "-m", "tarvokit.command", "combine", str(folder),
                           str(other), "--out", str(tmp_path / "both")], capture_output=True,
                          text=True, env=ENVIRONMENT, timeout=120)
    assert done.returncode == 2
    assert done.stderr.startswith(f"tarvo: error: {other}: does not combine with {folder}:")
    assert "share" in done.stderr or "sharing" in done.stderr


def test_a_manifest_that_is_not_ours_is_refused(folder):
    (folder / MANIFEST_NAME).write_text("[]")
    with pytest.raises(tarvokit.ResultError, match="not a manifest tarvo wrote"):
        tarvokit.read(folder)
