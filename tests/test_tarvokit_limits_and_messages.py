"""Counts bounded where the model is read, `tarvo markov` within its memory and its arrays in
the CSV, messages that name what the user wrote, numbers written out, and quiet set-up and
progress where output is not a terminal."""

import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios
from pathlib import Path

import pytest

import tarvokit
from tarvokit.data.stats import Interval
from tarvokit.engine.markov import MarkovError
from tarvokit.model import memory
from tarvokit.views.text import duration_text, model_text, number, steps_per_unit

from test_tarvokit_cli import ENVIRONMENT, SMALL, tarvo_command

ROOT = Path(__file__).resolve().parent.parent

CREWS = """\
[study]
horizon = 100
[components.a]
count = 2
failure = { law = "Exponential", mean = 100 }
repair = { law = "Exponential", mean = 10 }
[crews.c]
count = COUNT
repairs = ["a[*]"]
[system]
fails_when = "a[1] and a[2]"
"""


@pytest.mark.parametrize("count", [10**10, 2**31, 0, -1])
def test_a_crew_count_beyond_the_engine_is_one_line_from_check(tmp_path, count):
    model = tmp_path / "crews.toml"
    model.write_text(CREWS.replace("COUNT", str(count)))
    checked = tarvo_command("check", str(model))
    assert checked.returncode == 2 and checked.stderr.count("\n") == 1
    assert checked.stderr.startswith(f"tarvo: error: {model}: crews.c.count: expected a number"
                                     " of crews, a whole number in 1 .. 2,147,483,647")


def test_a_sweep_to_a_crew_count_beyond_the_engine_runs_nothing(tmp_path):
    model = tmp_path / "crews.toml"
    model.write_text(CREWS.replace("COUNT", "1"))
    swept = tarvo_command("sweep", str(model), "--sweep", "crews.c.count=1,10000000000",
                          "--histories", "100", "--out", str(tmp_path / "out"))
    assert swept.returncode == 2 and "sweep.values[1]: crews.c.count" in swept.stderr
    assert "Traceback" not in swept.stderr and not (tmp_path / "out").exists()


def test_the_most_crews_run_as_one_crew_per_member():
    with_crews = tarvokit.Model.from_dict({
        "study": {"horizon": 100, "resolution": 2},
        "components": {"a": {"count": 2, "failure": {"law": "Exponential", "mean": 30},
                             "repair": {"law": "Exponential", "mean": 10}}},
        "crews": {"c": {"count": 2**31 - 1, "repairs": ["a[*]"]}},
        "system": {"fails_when": "a[1] and a[2]"}})
    one_each = with_crews.model.description
    one_each["crews"]["c"]["count"] = 2
    one_each = tarvokit.Model.from_dict(one_each)
    assert (with_crews.run(histories=500, threads=1).counts
            == one_each.run(histories=500, threads=1).counts).all()


@pytest.mark.parametrize("states", [["working", "x" * 5000], [f"s{i}" for i in range(3000)]],
                         ids=["a long name", "many states"])
def test_an_unknown_state_is_one_short_line_however_the_states_are_named(states):
    with pytest.raises(tarvokit.ModelError) as refused:
        tarvokit.Model.from_dict({
            "study": {"horizon": 10},
            "components": {"a": {"states": states, "transitions": [
                {"from": states[0], "to": "failed", "law": "Exponential", "mean": 5}]}},
            "system": {"cut_sets": [["a"]]}})
    message = str(refused.value)
    assert "unknown state 'failed'" in message and len(message) < 400, message


# --- tarvo markov ---------------------------------------------------------------------------

MARKOV = """\
[study]
time_unit = "h"
horizon = HORIZON
resolution = 1
[components.hx]
failure = { law = "Exponential", mean = 1000 }
repair = { law = "Exponential", mean = 10 }
[components.pump]
count = 2
failure = { law = "Exponential", mean = 500 }
repair = { law = "Exponential", mean = 20 }
[components.valve]
states = ["open", "stuck", "shut"]
transitions = [
  { from = "open", to = "stuck", law = "Exponential", mean = 900 },
  { from = "stuck", to = "open", law = "Exponential", mean = 9 },
]
[system]
fails_when = "hx or valve or (pump[1] and pump[2])"
"""


def test_markov_leaves_the_per_unit_arrays_of_a_long_horizon_to_the_csv(tmp_path):
    model = tmp_path / "long.toml"
    model.write_text(MARKOV.replace("HORIZON", "150000"))
    out = tmp_path / "out"
    done = tarvo_command("markov", str(model), "--out", str(out))
    assert done.returncode == 0, done.stderr
    saved = json.loads((out / "results.json").read_text())
    assert not {"unavailability", "failures_per_unit", "reliability_per_unit"} & set(saved)
    assert "curve.csv" in saved["per_unit"]
    with (out / "curve.csv").open() as lines:
        assert sum(1 for _ in lines) == 150_001


def test_markov_refuses_an_answer_that_would_not_fit_naming_the_horizon(monkeypatch):
    study = tarvokit.Model.from_dict({
        "study": {"horizon": 2_000_000, "resolution": 1},
        "components": {"a": {"failure": {"law": "Exponential", "mean": 10},
                             "repair": {"law": "Exponential", "mean": 1}}},
        "system": {"cut_sets": [["a"]]}})
    available = memory.markov_estimate(2_000_000, 2) - 1
    monkeypatch.setattr(memory, "available_memory",
                        lambda: (available, f"this process may use {available:,} bytes"))
    with pytest.raises(MarkovError) as refused:
        study.markov()
    assert str(refused.value).startswith("<dict>: study.horizon: a horizon of 2,000,000 time"
                                         " units: the exact answer needs about")


@pytest.mark.parametrize("law, key, article", [
    ('failure = { law = "Inspection", period = 10 }', "components.hx.failure", "an Inspection"),
    ('repair = { law = "Uniform", low = 1, high = 3 }', "components.hx.repair", "a Uniform"),
    ('pump_repair = { law = "Weibull", scale = 9, shape = 2 }', "components.pump.repair",
     "a Weibull"),
    ('valve_back = { law = "Normal", mean = 9, sd = 1 }', "components.valve.transitions[1]",
     "a Normal"),
])
def test_markov_names_the_key_the_file_wrote(tmp_path, law, key, article):
    text = MARKOV.replace("HORIZON", "100")
    if law.startswith("failure"):
        text = text.replace('failure = { law = "Exponential", mean = 1000 }', law)
    elif law.startswith("repair"):
        text = text.replace('repair = { law = "Exponential", mean = 10 }', law)
    elif law.startswith("pump_repair"):
        text = text.replace('repair = { law = "Exponential", mean = 20 }',
                            law.removeprefix("pump_"))
    else:
        text = text.replace('{ from = "stuck", to = "open", law = "Exponential", mean = 9 }',
                            '{ from = "stuck", to = "open", ' + law.split("{ ")[1])
    model = tmp_path / "m.toml"
    model.write_text(text)
    refused = tarvo_command("markov", str(model), "--out", str(tmp_path / "out"))
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1
    assert refused.stderr.startswith(f"tarvo: error: {model}: {key}: ")
    assert f"follows {article} law" in refused.stderr


# --- Numbers in reports ---------------------------------------------------------------------


@pytest.mark.parametrize("value, text", [
    (29950.3, "29,950"), (2229.4, "2229"), (1.5, "1.5"), (0.0004442, "0.0004442"),
    (1.2e-7, "1.2e-07"), (9999.6, "10,000"), (123456789.0, "123,500,000"), (0.0, "0"),
])
def test_numbers_are_written_out(value, text):
    assert number(value) == text


def test_reports_write_hours_and_steps_plainly():
    assert duration_text(Interval(29950.0, 29900.0, 30010.0, 20.0), "h") == \
        "29,950 h [29,900, 30,010]"
    assert steps_per_unit(1, "h") == "1 step per h" and steps_per_unit(60, "h") == \
        "60 steps per h"
    model = tarvokit.Model.from_dict({
        "study": {"horizon": 50, "resolution": 1, "time_unit": "h"},
        "components": {"a": {"failure": {"law": "Exponential", "mean": 10}}},
        "system": {"cut_sets": [["a"]]}}).model
    assert "resolution 1 step per h" in model_text(model)


# --- Set-up and progress where output is not a terminal ------------------------------------


def test_the_build_scripts_configure_cmake_without_a_warning(tmp_path):
    (tmp_path / "CMakeLists.txt").write_text("cmake_minimum_required(VERSION 3.15)\n"
                                             "project(probe NONE)\n")
    script = (f'source "{ROOT}/scripts/common.sh"; cmake -S "{tmp_path}" -B "{tmp_path}/b"'
              f' -G Ninja "$(quiet_unused_cli)" -DUNUSED_BY_IT=1')
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "deprecated" not in done.stderr.lower() and "warning" not in done.stderr.lower()


def _run_with_stderr(tmp_path, stderr) -> None:
    model = tmp_path / "pumps.toml"
    model.write_text(SMALL.replace("horizon = 200", "horizon = 3000"))
    return subprocess.run([sys.executable, "-m", "tarvokit.command", "run", str(model),
                           "--histories", "60000", "--threads", "1", "--out",
                           str(tmp_path / "out")], stdout=subprocess.DEVNULL, stderr=stderr,
                          env={**ENVIRONMENT, "COLUMNS": "100"}, timeout=300)


def test_progress_into_a_file_is_one_line_per_round(tmp_path):
    log = tmp_path / "progress.log"
    with log.open("w") as stream:
        assert _run_with_stderr(tmp_path, stream).returncode == 0
    text = log.read_text()
    lines = text.splitlines()
    assert "\r" not in text and 2 <= len(lines) <= 10, text
    assert all(line.endswith(" s") and "histories done in" in line for line in lines)
    assert lines[-1].startswith("60,000 of 60,000 histories") and "100%" not in text


def test_progress_on_a_terminal_is_a_bar(tmp_path):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        assert _run_with_stderr(tmp_path, slave).returncode == 0
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
    assert b"\r" in seen and b"100%" in seen and b"histories done in" not in seen
