"""The `tarvo` command through a subprocess: exit codes, files written (and none on error or
interruption), the report and the plot's size."""

import json
import os
import select
import signal
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import tarvo
import tarvokit
from tarvokit.command.cli import OUTPUT_FILES, REPORT_FILE
from tarvokit.data.files import MANIFEST_NAME
from tarvokit.views.plots import PIXELS

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
# The subprocess imports the same tarvokit and engine as these tests.
ENVIRONMENT = {**os.environ, "PYTHONPATH": os.pathsep.join(
    [str(Path(tarvokit.__file__).parent.parent), str(Path(tarvo.__file__).parent),
     os.environ.get("PYTHONPATH", "")])}

SMALL = textwrap.dedent("""\
    [study]
    name = "Two pumps"
    time_unit = "h"
    horizon = 200
    resolution = 6

    [components.pump]
    count = 2
    failure = {law = "Exponential", mean = 50}
    repair = {law = "Uniform", low = 2, high = 12}

    [system]
    fails_when = "pump[1] and pump[2]"
    """)


def tarvo_command(*arguments: str, **options) -> subprocess.Popen | subprocess.CompletedProcess:
    command = [sys.executable, "-m", "tarvokit.command", *arguments]
    return subprocess.run(command, capture_output=True, text=True, env=ENVIRONMENT, timeout=300,
                          **options)


@pytest.fixture
def small_model(tmp_path) -> Path:
    path = tmp_path / "pumps.toml"
    path.write_text(SMALL)
    return path


def test_run_prints_the_report_and_writes_its_files(small_model, tmp_path):
    out = tmp_path / "out"
    finished = tarvo_command("run", str(small_model), "--histories", "3000", "--seed", "7",
                             "--threads", "2", "--out", str(out), "--no-progress")
    assert finished.returncode == 0, finished.stderr
    for text in ("Mean unavailability over the horizon", "Expected downtime",
                 "3,000 histories (seeds 7..3006)", "2 threads per runner call", "{pump[1], pump[2]}"):
        assert text in finished.stdout
    assert "Simulation 0 done." not in finished.stdout + finished.stderr
    assert sorted(p.name for p in out.iterdir()) == sorted([*OUTPUT_FILES, REPORT_FILE,
                                                            MANIFEST_NAME])
    assert (out / "report.txt").read_text() in finished.stdout
    results = json.loads((out / "results.json").read_text())
    assert results["histories"] == 3000 and results["seeds"] == [[7, 3006]]
    assert len(results["unavailability"]) == 200
    csv = (out / "curve.csv").read_text().splitlines()
    assert csv[0] == ("start_h,end_h,unavailability,low_95,high_95,failed_steps,reliability,"
                      "reliability_low_95,reliability_high_95") and len(csv) == 201
    png = (out / "plot.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", png[16:24]) == PIXELS


def test_precision_run_says_whether_the_target_was_met(small_model, tmp_path):
    finished = tarvo_command("run", str(small_model), "--histories", "400", "--precision",
                             "0.05", "--max-histories", "400000", "--out", str(tmp_path / "o"),
                             "--no-progress")
    assert finished.returncode == 0, finished.stderr
    assert "Precision target +-5 % of the mean: met" in finished.stdout


def test_check_lists_components_transitions_and_cut_sets(small_model):
    finished = tarvo_command("check", str(small_model))
    assert finished.returncode == 0, finished.stderr
    assert "pump[2]: states working, failed" in finished.stdout
    assert "failed -> working: Uniform(low 2 h, high 12 h)" in finished.stdout
    assert "Minimal cut sets (1):\n  {pump[1], pump[2]}" in finished.stdout


@pytest.mark.parametrize("edit, arguments, message", [
    (("mean = 50", "mean = -50"), (), "pumps.toml: components.pump.failure.mean: expected a"
                                      " positive number, got -50"),
    (("pump[1] and", "pump[3] and"), (), 'system.fails_when: unknown component "pump[3]"'),
    (("horizon = 200", "horizon = 200.5"), (), "study.horizon: expected a positive whole number"),
    (("[study]", "[study"), (), "pumps.toml: invalid TOML"),
    (None, ("--histories", "0"), "expected a positive whole number, got 0"),
    (None, ("--precision", "2"), "precision must lie between 0 and 1"),
    (None, ("--seed", "-4"), "the seeds"),
], ids=["law-parameter", "logic-name", "horizon", "toml-syntax", "histories", "precision",
        "seed"])
def test_invalid_input_is_one_line_exit_2_and_no_file(small_model, tmp_path, edit, arguments,
                                                      message):
    if edit:
        small_model.write_text(SMALL.replace(*edit))
    out = tmp_path / "out"
    finished = tarvo_command("run", str(small_model), *arguments, "--out", str(out))
    assert finished.returncode == 2
    assert finished.stderr.count("\n") == 1 and "Traceback" not in finished.stderr
    assert finished.stderr.startswith("tarvo: error: ") and message in finished.stderr
    assert not out.exists()


def test_missing_model_file_is_invalid_input(tmp_path):
    finished = tarvo_command("check", str(tmp_path / "nowhere.toml"))
    assert finished.returncode == 2 and "cannot read the model file" in finished.stderr


def test_help_shows_an_example_and_version_the_version():
    assert "tarvo run examples/cooling_water_loop.toml" in tarvo_command("run", "--help").stdout
    assert tarvo_command("--version").stdout.strip() == f"tarvo {tarvokit.__version__}"


def _read_until_a_sub_batch_finished(process: subprocess.Popen) -> bytes:
    """Reads the progress until a round of sub-batches is done: the study is then between its
    sub-batches. Standard error is a pipe here, so progress comes as a line per round."""
    seen = b""
    deadline = time.monotonic() + 120
    while b"histories done" not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([process.stderr], [], [], 1)
        if ready:
            chunk = os.read(process.stderr.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
    return seen


def test_ctrl_c_keeps_the_finished_histories_and_resume_continues_them(small_model, tmp_path):
    # A precision target that cannot be met keeps it running sub-batch after sub-batch.
    out = tmp_path / "out"
    process = subprocess.Popen(
        [sys.executable, "-m", "tarvokit.command", "run", str(small_model), "--histories", "20000",
         "--precision", "1e-6", "--max-histories", "2000000000", "--out", str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENVIRONMENT)
    started = _read_until_a_sub_batch_finished(process)
    process.send_signal(signal.SIGINT)
    stdout, rest = process.communicate(timeout=60)
    stderr = (started + rest).decode()
    assert process.returncode == 130, stderr
    assert "tarvo: interrupted after" in stderr and "written to" in stderr
    assert "Traceback" not in stderr
    partial = tarvokit.read(out)
    assert partial.interrupted and partial.seed_ranges() == [(1, partial.histories)]
    assert "Interrupted" in (out / "report.txt").read_text()
    # The next seeds continue it; together they are one run, bit for bit.
    resumed = tarvo_command("run", str(small_model), "--resume", str(out), "--histories", "1000")
    assert resumed.returncode == 0, resumed.stderr
    whole = tarvokit.read(out)
    assert whole.seed_ranges() == [(1, partial.histories + 1000)]
    direct = tarvokit.load(small_model).run(histories=whole.histories, seed=1)
    assert np.array_equal(whole.counts, direct.counts)


# --- Behaving like a Unix tool ---------------------------------------------------------------


@pytest.mark.parametrize("verb", ["check", "run"])
def test_a_reader_that_stops_early_ends_the_command_quietly(small_model, tmp_path, verb):
    command = [sys.executable, "-m", "tarvokit.command", verb, str(small_model)]
    if verb == "run":
        command += ["--histories", "500", "--no-progress", "--out", str(tmp_path / "out")]
    shell = f"{' '.join(map(str, command))} | head -n 1"
    finished = subprocess.run(["bash", "-o", "pipefail", "-c", shell], capture_output=True,
                              text=True, env=ENVIRONMENT, timeout=300)
    assert "Traceback" not in finished.stderr and "BrokenPipe" not in finished.stderr
    assert finished.returncode in (0, 141)  # as a tool ended by SIGPIPE
    assert finished.stdout.count("\n") == 1
    if verb == "run":  # the files were written before the report was printed
        assert tarvokit.read(tmp_path / "out").histories == 500


def test_sigterm_ends_a_run_like_ctrl_c_with_status_143(small_model, tmp_path):
    out = tmp_path / "out"
    process = subprocess.Popen(
        [sys.executable, "-m", "tarvokit.command", "run", str(small_model), "--histories", "20000",
         "--precision", "1e-6", "--max-histories", "2000000000", "--out", str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENVIRONMENT)
    started = _read_until_a_sub_batch_finished(process)
    process.send_signal(signal.SIGTERM)
    stdout, rest = process.communicate(timeout=60)
    stderr = (started + rest).decode()
    assert process.returncode == 143, stderr
    assert "Traceback" not in stderr and tarvokit.read(out).interrupted
    assert [p.name for p in out.iterdir() if p.name.startswith(".")] == [MANIFEST_NAME]


def test_runs_from_two_threads_at_once_give_their_own_results_and_keep_the_output(small_model):
    import threading

    stdout_before = os.readlink("/proc/self/fd/1")
    study = tarvokit.load(small_model)
    alone = [study.run(histories=3000, seed=seed).counts for seed in (1, 10_001)]
    together: dict[int, np.ndarray] = {}
    threads = [threading.Thread(target=lambda s=seed: together.__setitem__(
        s, study.run(histories=3000, seed=s).counts)) for seed in (1, 10_001)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert np.array_equal(together[1], alone[0]) and np.array_equal(together[10_001], alone[1])
    assert os.readlink("/proc/self/fd/1") == stdout_before  # nothing redirected the output


@pytest.mark.parametrize("verb", ["run", "check", "importance", "sweep", "combine", "plot",
                                  "markov", "report"])
def test_each_verb_explains_itself_on_its_own_example(verb):
    finished = tarvo_command(verb, "--help")
    assert finished.returncode == 0
    example = finished.stdout.split("example:", 1)[1]
    assert f"tarvo {verb} " in example and len(example.splitlines()) >= 3


def test_a_model_that_cycles_through_zero_delays_is_one_line(tmp_path):
    model = tmp_path / "stuck.toml"
    model.write_text(textwrap.dedent("""\
        [study]
        horizon = 5
        resolution = 1
        [components.a]
        states = ["working", "failed"]
        transitions = [
          { from = "working", to = "failed", law = "InstantaneousFailure", at = 0 },
          { from = "failed", to = "working", law = "InstantaneousFailure", at = 0 },
        ]
        [system]
        cut_sets = [["a"]]
        """))
    finished = tarvo_command("run", str(model), "--histories", "10", "--no-progress", "--out",
                             str(tmp_path / "out"))
    assert finished.returncode == 2 and finished.stderr.count("\n") == 1
    assert "cycle of transitions with zero delay" in finished.stderr
    assert "Traceback" not in finished.stderr and not (tmp_path / "out").exists()
