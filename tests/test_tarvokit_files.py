"""Results that last: output folders checked and locked before a run, files written as a set,
results read back, combined and plotted again."""

import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest
from matplotlib import image

import tarvokit
from tarvokit.command.cli import OUTPUT_FILES, REPORT_FILE
from tarvokit.data.files import LOCK_NAME, MANIFEST_NAME, OutputError, OutputFolder
from tarvokit.views.plots import PIXELS

from test_tarvokit_cli import ENVIRONMENT, SMALL, tarvo_command


@pytest.fixture
def small_model(tmp_path):
    path = tmp_path / "pumps.toml"
    path.write_text(SMALL)
    return path


def run(small_model, out, *more):
    return tarvo_command("run", str(small_model), "--histories", "400", "--no-progress",
                         "--out", str(out), *more)


# --- The output folder ---------------------------------------------------------------------


@pytest.mark.parametrize("make, where, message", [
    (lambda tmp: (tmp / "file").write_text("x"), "file", "exists and is not a folder"),
    (lambda tmp: (tmp / "file").write_text("x"), "file/below", "a part of the path is a file"),
    # /proc is a folder no one may write into, root included.
    (lambda tmp: None, "/proc", "cannot write there"),
    (lambda tmp: None, "/proc/tarvo-out", "cannot make the folder"),
], ids=["a-file", "under-a-file", "read-only", "under-read-only"])
def test_an_unusable_output_folder_is_one_line_before_anything_runs(small_model, tmp_path, make,
                                                                    where, message):
    make(tmp_path)
    out = tmp_path / where if not where.startswith("/") else where
    started = time.perf_counter()
    finished = tarvo_command("run", str(small_model), "--histories", "10000000", "--out",
                             str(out))
    assert finished.returncode == 2, finished.stderr
    assert finished.stderr.count("\n") == 1 and message in finished.stderr
    assert "Traceback" not in finished.stderr
    assert time.perf_counter() - started < 60  # refused before ten million histories ran


def test_a_folder_in_use_refuses_a_second_run_naming_the_first(small_model, tmp_path):
    out = tmp_path / "out"
    with OutputFolder(out, "tarvo run first.toml"):
        finished = run(small_model, out)
        assert finished.returncode == 2
        assert "in use by another tarvo run" in finished.stderr
        assert f"pid {os.getpid()}" in finished.stderr and "tarvo run first.toml" in finished.stderr
        with pytest.raises(OutputError, match="in use"):
            OutputFolder(out).__enter__()
    assert not (out / LOCK_NAME).exists()
    assert run(small_model, out).returncode == 0


def test_a_killed_run_leaves_the_folder_usable(small_model, tmp_path):
    out = tmp_path / "out"
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys, time; from pathlib import Path;"
         " from tarvokit.data.files import OutputFolder;"
         f" f = OutputFolder(Path({str(out)!r})).__enter__(); print('held', flush=True);"
         " time.sleep(60)"], stdout=subprocess.PIPE, text=True, env=ENVIRONMENT)
    assert holder.stdout.readline().strip() == "held"
    holder.kill()
    holder.communicate()
    assert (out / LOCK_NAME).exists()  # the file stays; its lock went with the process
    assert run(small_model, out).returncode == 0


def test_two_runs_into_one_folder_never_mix_their_files(small_model, tmp_path):
    out = tmp_path / "out"
    processes = [subprocess.Popen(
        [sys.executable, "-m", "tarvokit.command", "run", str(small_model), "--histories",
         "5000", "--seed", str(seed), "--no-progress", "--out", str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENVIRONMENT)
        for seed in (1, 50_001)]
    outcomes = [p.communicate(timeout=300) + (p.returncode,) for p in processes]
    codes = sorted(code for _, _, code in outcomes)
    assert codes[0] == 0 and codes[1] in (0, 2)
    if codes[1] == 2:
        assert any("in use by another tarvo run" in err for _, err, code in outcomes if code)
    # Whatever the order, the files on disk are one run's.
    result = tarvokit.read(out)
    report = (out / "report.txt").read_text()
    assert f"seeds {result.seeds_text()}" in report
    assert sorted(p.name for p in out.iterdir() if not p.name.startswith(".")) == \
        sorted((*OUTPUT_FILES, REPORT_FILE))


def test_a_failing_writer_leaves_the_previous_set_whole(tmp_path):
    out = tmp_path / "out"
    with OutputFolder(out) as folder:
        folder.write_set({"a.txt": lambda p: p.write_text("first"),
                          "b.txt": lambda p: p.write_text("first")})
        with pytest.raises(RuntimeError):
            folder.write_set({"a.txt": lambda p: p.write_text("second"),
                              "b.txt": lambda p: (_ for _ in ()).throw(RuntimeError("disk"))})
    assert [(out / n).read_text() for n in ("a.txt", "b.txt")] == ["first", "first"]
    assert sorted(p.name for p in out.iterdir()) == [MANIFEST_NAME, "a.txt", "b.txt"]


# --- Reading back, combining, resuming, plotting again ------------------------------------


def test_read_back_restores_every_figure(small_model, tmp_path):
    out = tmp_path / "out"
    assert run(small_model, out).returncode == 0
    again = tarvokit.read(out)
    original = tarvokit.load(small_model).run(histories=400, seed=1)
    assert again.id == original.id and np.array_equal(again.counts, original.counts)
    assert again.batches == tuple((b.__class__(b.first_seed, b.histories, b.failed_steps,
                                               a.seconds) for a, b in
                                   zip(again.batches, original.batches)))
    assert again.mean() == original.mean() and again.model_path == str(small_model)
    saved = json.loads((out / "results.json").read_text())
    for key in ("id", "version", "created", "model_path", "histories", "seeds", "interrupted",
                "mean_unavailability", "unavailability", "failed_steps_per_unit"):
        assert key in saved, key
    assert saved["created"][:4].isdigit() and "T" in saved["created"]


def test_plot_redraws_the_same_picture_from_the_files(small_model, tmp_path):
    out = tmp_path / "out"
    assert run(small_model, out).returncode == 0
    report = (out / "report.txt").read_text()
    (out / "plot.png").unlink()
    drawn = tarvo_command("plot", str(out))
    assert drawn.returncode == 0, drawn.stderr
    pixels = image.imread(out / "plot.png")
    assert (pixels.shape[1], pixels.shape[0]) == PIXELS
    assert (out / "report.txt").read_text() == report


def test_combine_of_two_seed_ranges_equals_one_run(small_model, tmp_path):
    assert run(small_model, tmp_path / "a", "--seed", "1").returncode == 0
    assert run(small_model, tmp_path / "b", "--seed", "401").returncode == 0
    combined = tarvo_command("combine", str(tmp_path / "a"), str(tmp_path / "b"), "--out",
                             str(tmp_path / "both"))
    assert combined.returncode == 0, combined.stderr
    both = tarvokit.read(tmp_path / "both")
    direct = tarvokit.load(small_model).run(histories=800, seed=1)
    assert np.array_equal(both.counts, direct.counts) and both.seed_ranges() == [(1, 800)]


@pytest.mark.parametrize("second, message", [
    (("--seed", "300"), "sharing seeds"),
    (("--seed", "401", "MODEL2"), "different studies"),
], ids=["overlapping-seeds", "another-model"])
def test_combine_refuses_what_does_not_merge(small_model, tmp_path, second, message):
    other = tmp_path / "other.toml"
    other.write_text(SMALL.replace("mean = 50", "mean = 60"))
    *options, = (str(other) if s == "MODEL2" else s for s in second)
    model = other if "MODEL2" in second else small_model
    options = [o for o in options if o != str(other)]
    assert run(small_model, tmp_path / "a").returncode == 0
    assert tarvo_command("run", str(model), "--histories", "400", "--no-progress", "--out",
                         str(tmp_path / "b"), *options).returncode == 0
    combined = tarvo_command("combine", str(tmp_path / "a"), str(tmp_path / "b"), "--out",
                             str(tmp_path / "both"))
    assert combined.returncode == 2 and combined.stderr.count("\n") == 1
    assert message in combined.stderr and not (tmp_path / "both").exists()


def test_resume_with_another_model_leaves_the_folder_unchanged(small_model, tmp_path):
    out = tmp_path / "out"
    assert run(small_model, out).returncode == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    other = tmp_path / "other.toml"
    other.write_text(SMALL.replace("mean = 50", "mean = 60"))
    resumed = tarvo_command("run", str(other), "--resume", str(out), "--histories", "100")
    assert resumed.returncode == 2 and "another study" in resumed.stderr
    assert resumed.stderr.count("\n") == 1
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


def test_resume_adds_histories_on_the_next_seeds(small_model, tmp_path):
    out = tmp_path / "out"
    assert run(small_model, out).returncode == 0
    resumed = tarvo_command("run", str(small_model), "--resume", str(out), "--histories", "300",
                            "--no-progress")
    assert resumed.returncode == 0, resumed.stderr
    whole = tarvokit.read(out)
    direct = tarvokit.load(small_model).run(histories=700, seed=1)
    assert whole.seed_ranges() == [(1, 700)] and np.array_equal(whole.counts, direct.counts)


def test_long_horizons_leave_the_per_unit_arrays_to_the_csv(tmp_path, monkeypatch):
    import tarvokit.data.result as result_module

    monkeypatch.setattr(result_module, "JSON_UNITS_LIMIT", 100)
    model = tarvokit.Model.from_dict({
        "study": {"horizon": 150, "resolution": 2},
        "components": {"a": {"failure": {"law": "Exponential", "mean": 40},
                             "repair": {"law": "Exponential", "mean": 5}}},
        "system": {"cut_sets": [["a"]]}})
    result = model.run(histories=50)
    result.to_json(tmp_path / "results.json")
    result.to_csv(tmp_path / "curve.csv")
    saved = json.loads((tmp_path / "results.json").read_text())
    assert "unavailability" not in saved and "curve.csv" in saved["per_unit"]
    assert np.array_equal(tarvokit.read(tmp_path).counts, result.counts)


@pytest.mark.parametrize("verb, extra", [("run", ()), ("importance", ()),
                                         ("sweep", ("--sweep", "components.$pump.failure.mean=50,60"))],
                         ids=["run", "importance", "sweep"])
def test_names_with_dollars_are_text_in_every_plot(tmp_path, verb, extra):
    model = tmp_path / "dollars.toml"
    model.write_text(SMALL.replace('name = "Two pumps"', 'name = "Cost $ and $x^2$"')
                     .replace('time_unit = "h"', 'time_unit = "$h"')
                     .replace("[components.pump]", '[components."$pump"]')
                     .replace("pump[1] and pump[2]", "'$pump[1]' and '$pump[2]'"))
    out = tmp_path / "out"
    finished = tarvo_command(verb, str(model), "--histories", "200", "--no-progress", "--out",
                             str(out), *extra)
    assert finished.returncode == 0, finished.stderr
    assert len([p for p in out.iterdir() if p.suffix == ".png"]) == 1


# --- The layout of a result's JSON ---------------------------------------------------------

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from tarvokit.data.files import json_text  # noqa: E402
from tarvokit.data.result import read  # noqa: E402

_PLAIN = st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=5)
_JSON = st.recursive(_PLAIN, lambda inner: st.lists(inner, max_size=4)
                     | st.dictionaries(st.text(max_size=4), inner, max_size=4), max_leaves=25)


@settings(max_examples=300, deadline=None)
@given(_JSON)
def test_json_layout_reads_back_as_json_dumps_writes(value):
    """The compact layout changes where lines break, never a value: what it writes reads back
    as json.dumps's text does (NaN included)."""
    written = json_text({"data": value})
    assert written.endswith("\n")
    assert json.dumps(json.loads(written)) == json.dumps({"data": value})


def test_json_layout_of_a_result_is_compact_and_exact(small_model, tmp_path):
    """A run's results.json: its curves and histograms each on one line, the float of every
    point as Python writes it (the figures read back are the same to the bit)."""
    out = tmp_path / "out"
    run(small_model, out)
    text = (out / "results.json").read_text()
    data = json.loads(text)
    curve_line = next(line for line in text.splitlines() if '"unavailability": [' in line)
    assert json.loads(curve_line.split(": ", 1)[1].rstrip(",")) == data["unavailability"]
    assert '"bins": [[' in text
    assert read(out).to_dict()["unavailability"] == data["unavailability"]
