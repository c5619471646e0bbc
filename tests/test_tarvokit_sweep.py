"""Sensitivity sweeps: key paths, values, variants checked before any run, and paired runs."""

import copy
import json
import subprocess
import sys

import numpy as np
import pytest

import tarvokit
from tarvokit.data.files import MANIFEST_NAME
from tarvokit.views import sweep_views
from tarvokit.model.errors import Where
from tarvokit.data.stats import student_t_quantile
from tarvokit.model.variants import Sweep, parse_sweep_option, variant_data

from test_tarvokit_cli import ENVIRONMENT

LOOP = {
    "study": {"name": "loop", "time_unit": "h", "horizon": 400, "resolution": 2},
    "components": {
        "pump": {"count": 2, "failure": {"law": "Weibull", "scale": 300, "shape": 1.5},
                 "repair": {"law": "Exponential", "mean": 30}},
        "power": {"failure": {"law": "Exponential", "mean": 500},
                  "repair": {"law": "Uniform", "low": 2, "high": 10}},
        "valve[1]": {"states": ["working", "failed"],
                     "transitions": [{"from": "working", "to": "failed", "law": "Exponential",
                                      "mean": 800},
                                     {"from": "failed", "to": "working", "law": "Inspection",
                                      "period": 100}]},
    },
    "system": {"cut_sets": [["power"], ["valve[1]"], ["pump[1]", "pump[2]"]]},
}


def _model(data=LOOP):
    return tarvokit.Model.from_dict(copy.deepcopy(data), source="loop.toml")


@pytest.mark.parametrize("path, value, changed", [
    ("components.pump.failure.scale", 250, lambda d: d["components"]["pump"]["failure"]["scale"]),
    ("components.valve[1].transitions[1].period", 50,
     lambda d: d["components"]["valve[1]"]["transitions"][1]["period"]),
    ("study.resolution", 4, lambda d: d["study"]["resolution"]),
    ("components.power.repair", {"law": "Exponential", "mean": 6},
     lambda d: d["components"]["power"]["repair"]),
], ids=["template law parameter", "name with brackets, list index", "table key", "whole law"])
def test_a_key_path_changes_exactly_one_value(path, value, changed):
    data = variant_data(LOOP, path, value, Where("loop.toml", "sweep.parameter"))
    assert changed(data) == value
    changed_back = variant_data(data, path, changed(LOOP), Where("loop.toml", "sweep.parameter"))
    assert changed_back == LOOP  # and nothing else


def test_a_new_key_in_an_existing_table_makes_a_default_explicit():
    data = copy.deepcopy(LOOP)
    del data["study"]["resolution"]
    variant = variant_data(data, "study.resolution", 3, Where("loop.toml", "sweep.parameter"))
    assert variant["study"]["resolution"] == 3


@pytest.mark.parametrize("path, message", [
    ("components.pmup.failure.scale", 'no key "pmup" in components (did you mean "pump"?)'),
    ("components.valve[1].transitions[5].period", "transitions is a list of 2"),
    ("components.pump.failure.scale.x", "components.pump.failure.scale is a value (300)"),
    ("sweep.values", "a sweep cannot vary the sweep itself"),
    ("nothing", 'no key "nothing" in the model'),
])
def test_bad_key_paths_are_named(path, message):
    with pytest.raises(tarvokit.ModelError) as error:
        variant_data(LOOP, path, 1, Where("loop.toml", "sweep.parameter"))
    assert str(error.value).startswith("loop.toml: sweep.parameter: ")
    assert message in str(error.value)


@pytest.mark.parametrize("text, parameter, values", [
    ("components.pump.failure.scale=3000,4000", "components.pump.failure.scale", (3000, 4000)),
    ("study.horizon = 10, 20 ,30", "study.horizon", (10, 20, 30)),
    ("components.c.transitions[3].durations=[4,6,8],[2, 3]",
     "components.c.transitions[3].durations", ([4, 6, 8], [2, 3])),
    ("components.p.repair.law=Exponential,'Weibull'", "components.p.repair.law",
     ("Exponential", "Weibull")),
    ("a.b=1.5,2e3,true", "a.b", (1.5, 2000.0, True)),
])
def test_sweep_option_reads_toml_values(text, parameter, values):
    assert parse_sweep_option(text) == Sweep(parameter, values)


@pytest.mark.parametrize("text", ["a.b", "a.b=1", "=1,2", "a.b=,"])
def test_sweep_option_needs_a_key_and_two_values(text):
    with pytest.raises(ValueError, match="expected KEY=V1,V2"):
        parse_sweep_option(text)


@pytest.mark.parametrize("table, message", [
    ({"parameter": "components.power.failure.mean", "values": [500, -1]},
     "sweep.values[1]: components.power.failure.mean: expected a positive number, got -1"),
    ({"parameter": "components.power.failure.mean", "values": [500]},
     "sweep.values: expected a list of at least two values"),
    ({"parameter": "components.power.failure.mean", "value": [1, 2]},
     'sweep.value: unknown key "value" (did you mean "values"?)'),
    ({"parameter": "components.power.fail.mean", "values": [1, 2]},
     'sweep.parameter: no key "fail" in components.power (did you mean "failure"?)'),
    ({"parameter": "components.power.failure.mean", "values": [500, "soon"]},
     "sweep.values[1]: components.power.failure.mean: expected a finite number"),
])
def test_a_bad_sweep_table_is_rejected_when_the_model_is_read(table, message):
    with pytest.raises(tarvokit.ModelError) as error:
        _model({**LOOP, "sweep": table})
    assert str(error.value).startswith("loop.toml: ")
    assert message in str(error.value)


# --- Paired runs ---------------------------------------------------------------------------


def test_the_same_value_twice_gives_the_same_counts():
    sweep = Sweep("components.pump.repair.mean", (30, 30, 20))
    result = _model().sweep(sweep, histories=60, seed=5, batches=3)
    first, again, other = result.results
    assert np.array_equal(first.counts, again.counts)
    difference = result.difference(1)
    assert (difference.estimate, difference.low, difference.high) == (0.0, 0.0, 0.0)
    assert result.difference(2).estimate == pytest.approx(other.mean().estimate
                                                          - first.mean().estimate)


def test_the_sweep_table_and_a_sweep_given_run_the_same_histories():
    table = {"parameter": "components.valve[1].transitions[1].period", "values": [100, 40]}
    from_table = _model({**LOOP, "sweep": table}).sweep(histories=40, seed=9, batches=2)
    given = _model().sweep(Sweep(table["parameter"], (100, 40)), histories=40, seed=9, batches=2)
    for a, b in zip(from_table.results, given.results):
        assert np.array_equal(a.counts, b.counts)
        assert a.model == b.model
    assert from_table.results[1].model["components"]["valve[1]"]["transitions"][1]["period"] == 40


def test_paired_differences_are_much_tighter_than_independent_seeds():
    # The power supply's repair lasts longer: its events are rare, so the variants' histories
    # stay aligned and the difference is measured nearly without noise.
    sweep = Sweep("components.power.repair.high", (10, 14))
    model, histories = _model(), 4000
    paired = model.sweep(sweep, histories=histories, seed=1)
    # The same comparison with the second value on a disjoint seed range.
    independent = model.sweep(sweep, histories=histories, seed=1 + histories)
    first, second = paired.results[0].mean(), independent.results[1].mean()
    t = student_t_quantile(0.975, len(paired.reference.batches) - 1)
    independent_half_width = t * np.hypot(first.standard_error, second.standard_error)
    ratio = independent_half_width / paired.difference(1).half_width
    assert ratio > 4, ratio
    # Both see the same effect.
    assert abs(paired.difference(1).estimate - (second.estimate - first.estimate)) < \
        4.5 * np.hypot(first.standard_error, second.standard_error)


def test_views_write_one_line_per_value(tmp_path):
    result = _model().sweep(Sweep("components.pump.failure.scale", (300, 200, 400)),
                            histories=60, seed=2, batches=3)
    result.to_csv(tmp_path / "sweep.csv")
    result.to_json(tmp_path / "sweep.json")
    lines = (tmp_path / "sweep.csv").read_text().splitlines()
    assert [line.split(",")[0] for line in lines[1:]] == ["300", "200", "400"]
    saved = json.loads((tmp_path / "sweep.json").read_text())
    assert [v["value"] for v in saved["values"]] == [300, 200, 400]
    assert saved["runs"] == 3 and saved["seeds"] == [[2, 61]]
    assert saved["values"][0]["difference"]["estimate"] == 0.0
    assert "3 runs of 60 histories on the same seeds" in sweep_views.summary(result)


# --- Command line --------------------------------------------------------------------------


def _tarvo(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", "tarvokit.command", *map(str, arguments)],
                          capture_output=True, text=True, cwd=cwd, env=ENVIRONMENT, timeout=300)


MODEL_FILE = """
[study]
horizon = 200
resolution = 1
[components.pump]
count = 2
failure = { law = "Exponential", mean = 100 }
repair = { law = "Exponential", mean = 10 }
[system]
cut_sets = [["pump[1]", "pump[2]"]]
"""


@pytest.mark.parametrize("verb, options, files", [
    ("importance", ["--top", "1"], ["importance.csv", "importance.json", "importance.png",
                                    "importance.txt"]),
    ("sweep", ["--sweep", "components.pump.repair.mean=10,5"],
     ["sweep.csv", "sweep.json", "sweep.png", "sweep.txt"]),
])
def test_the_command_writes_the_report_and_files(tmp_path, verb, options, files):
    (tmp_path / "pumps.toml").write_text(MODEL_FILE)
    done = _tarvo(verb, "pumps.toml", "--histories", 200, "--no-progress", "--out", "out",
                  *options, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()
                  if p.name != MANIFEST_NAME) == sorted([*files, "report.html"])
    assert (tmp_path / "out" / files[-1]).read_text() in done.stdout


@pytest.mark.parametrize("options, message", [
    ([], "pumps.toml: no [sweep] table; give --sweep KEY=V1,V2,..."),
    (["--sweep", "components.pump.repair.mean=10,-5"],
     "sweep.values[1]: components.pump.repair.mean: expected a positive number"),
    (["--sweep", "components.pump.repair.mean"], "expected KEY=V1,V2,... with at least two"),
])
def test_a_bad_sweep_exits_2_and_writes_nothing(tmp_path, options, message):
    (tmp_path / "pumps.toml").write_text(MODEL_FILE)
    done = _tarvo("sweep", "pumps.toml", "--no-progress", "--out", "out", *options, cwd=tmp_path)
    assert done.returncode == 2
    assert message in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "out").exists()


def test_check_lists_the_sweep_of_the_file(tmp_path):
    sweep = '\n[sweep]\nparameter = "components.pump.repair.mean"\nvalues = [10, 5.5]\n'
    (tmp_path / "pumps.toml").write_text(MODEL_FILE + sweep)
    done = _tarvo("check", "pumps.toml", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "Sweep: components.pump.repair.mean = 10, 5.5" in done.stdout
