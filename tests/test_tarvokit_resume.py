"""Resuming a run: it completes an interrupted one (which then says so no more), keeps a
precision target, and the Ctrl-C message gives the command that runs exactly what is missing."""

import re
import shlex
import signal
import subprocess
import sys
from dataclasses import replace

import numpy as np
import pytest

import tarvokit
from tarvokit.views.text import summary

from test_tarvokit_cli import ENVIRONMENT, SMALL, _read_until_a_sub_batch_finished

MODEL = {"study": {"horizon": 100, "resolution": 4},
         "components": {"pump": {"count": 2, "failure": {"law": "Exponential", "mean": 40},
                                 "repair": {"law": "Exponential", "mean": 6}}},
         "system": {"fails_when": "pump[1] and pump[2]"}}


@pytest.fixture(scope="module")
def study():
    return tarvokit.Model.from_dict(MODEL)


@pytest.mark.parametrize("interrupted", [True, False])
def test_a_resume_that_runs_to_its_end_is_not_interrupted(study, interrupted):
    before = replace(study.run(histories=300, seed=1, threads=1), interrupted=interrupted)
    whole = study.run(histories=200, resume=before, threads=1)
    assert not whole.interrupted and "Interrupted" not in summary(whole)
    assert whole.seed_ranges() == [(1, 500)]
    assert np.array_equal(whole.counts, study.run(histories=500, seed=1, threads=1).counts)


@pytest.mark.parametrize("measure", [None, "failure_frequency"])
def test_a_resume_with_a_precision_target_keeps_it_for_the_whole(study, measure):
    before = study.run(histories=2000, seed=1, threads=1)
    whole = study.run(histories=1000, resume=before, threads=1, precision=0.05,
                      precision_measure=measure)
    assert whole.precision == 0.05 and whole.precision_met
    assert whole.precision_measure == (measure or "mean_unavailability")
    assert whole.histories > 2000 and whole.seed_ranges() == [(1, whole.histories)]
    # Met for the whole, not for the histories added alone.
    interval = (whole.mean() if measure is None else whole.measures().failure_frequency)
    assert interval.relative_half_width <= 0.05
    assert "Precision target +-5 % of" in summary(whole)
    saved = whole.to_dict()
    assert saved["precision"] == 0.05 and saved["precision_met"] is True


@pytest.mark.parametrize("options", [(), ("--precision", "1e-6", "--max-histories", "9000000")],
                         ids=["histories", "precision"])
def test_the_command_after_ctrl_c_runs_what_is_missing(tmp_path, options):
    model = tmp_path / "pumps.toml"
    model.write_text(SMALL.replace("horizon = 200", "horizon = 5000"))
    out = tmp_path / "out"
    process = subprocess.Popen(
        [sys.executable, "-m", "tarvokit.command", "run", str(model), "--histories", "200000",
         "--out", str(out), "--threads", "1", *options],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENVIRONMENT)
    started = _read_until_a_sub_batch_finished(process)
    process.send_signal(signal.SIGINT)
    _, rest = process.communicate(timeout=120)
    stderr = (started + rest).decode()
    assert process.returncode == 130, stderr
    done = tarvokit.read(out).histories
    command = re.search(r"to run the rest: (.*)$", stderr, re.MULTILINE).group(1)
    words = shlex.split(command)
    planned = 9000000 if options else 200000
    expected = ["tarvo", "run", str(model), "--resume", str(out)]
    if options:
        expected += ["--histories", str(min(200000, planned - done)), "--precision", "1e-06",
                     "--max-histories", str(planned - done)]
    else:
        expected += ["--histories", str(planned - done)]
    assert words == expected + ["--threads", "1"]
    if options:
        return  # a target of 1e-6 is not met: the rest would run all 9,000,000
    resumed = subprocess.run([sys.executable, "-m", "tarvokit.command", *words[1:],
                              "--no-progress"], capture_output=True, text=True,
                             env=ENVIRONMENT, timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    whole = tarvokit.read(out)
    assert whole.histories == planned and not whole.interrupted
    assert whole.seed_ranges() == [(1, planned)]
    assert "Interrupted" not in (out / "report.txt").read_text()
