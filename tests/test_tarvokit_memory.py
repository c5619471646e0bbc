"""A model too large for the memory at hand is refused before anything runs, naming the key
responsible, the estimate and the memory available; `tarvo check` prints the estimate.
(bench/bench_memory.py compares the estimate with the peak memory of real runs.)"""

import os
import subprocess
import sys
import textwrap
import time
import warnings
from pathlib import Path

import pytest

import tarvokit
from tarvokit import ModelError, ModelWarning
from tarvokit.model import memory
from tarvokit.views.text import model_text

SRC = Path(__file__).resolve().parents[1] / "src"
UNIT = {"failure": {"law": "Exponential", "mean": 50}, "repair": {"law": "Exponential",
                                                                  "mean": 5}}
GIB = 2**30


def data(horizon=100, resolution=1, **components) -> dict:
    return {"study": {"horizon": horizon, "resolution": resolution},
            "components": components or {"u": UNIT},
            "system": {"cut_sets": [[next(iter(components or {"u": 0}))]]}}


@pytest.fixture
def sixteen_gib(monkeypatch):
    """A machine of 16 GiB, whatever this one has."""
    monkeypatch.setattr(memory, "available_memory", lambda: (16 * GIB, "this machine has 17 GB"))


def big_states(states: int) -> dict:
    names = [f"s{i}" for i in range(states)]
    return {"states": names, "transitions": [
        {"from": "s0", "to": "s1", "law": "Exponential", "mean": 5},
        {"from": "s1", "to": "s0", "law": "Exponential", "mean": 5}]}


@pytest.mark.parametrize("model, key, cause", [
    (data(horizon=2 * 10**9), "study.horizon", "a horizon of 2,000,000,000 time units"),
    (data(u={**UNIT, "count": 10**7}), "components.u.count", "10,000,000 components"),
    (data(**{"big": big_states(2000), "u": {**UNIT, "count": 200}}), "components.big.states",
     "201 components padded to 2,000 states"),
], ids=["horizon", "count", "states"])
def test_a_model_too_large_for_the_machine_is_refused_naming_its_key(sixteen_gib, model, key,
                                                                     cause):
    started = time.monotonic()
    with pytest.raises(ModelError, match=rf"<dict>: {key}: {cause}.*: a run needs about [\d.]+ GB"
                                         r" \(.* alone\), but this machine has 17 GB$"):
        tarvokit.Model.from_dict(model)
    assert time.monotonic() - started < 1  # refused before the units were made


def test_a_run_on_more_threads_than_memory_allows_is_refused_before_it_starts(monkeypatch):
    # Horizon 10^6 at resolution 60: each thread keeps histograms of up to 2^23 bins (about
    # 200 MB); one thread fits in 2 GiB, 64 do not.
    monkeypatch.setattr(memory, "available_memory", lambda: (2 * GIB, "this machine has 2.1 GB"))
    study = tarvokit.Model.from_dict(data(horizon=10**6, resolution=60))
    with pytest.raises(ModelError, match=r"study.resolution: .* on 64 threads: a run needs"
                                         r" about 1\d GB .* but this machine has 2.1 GB"):
        study.run(histories=100, threads=64)


def test_check_prints_the_estimate_for_the_threads_given():
    study = tarvokit.Model.from_dict(data())
    assert "\nMemory: a run on 3 threads needs about " in model_text(study.model, threads=3)
    assert model_text(study.model).splitlines()[-1].startswith("Memory: a run on")


LONG = textwrap.dedent("""\
    [study]
    horizon = {horizon}
    resolution = 1
    [components.u]
    failure = {{law = "Exponential", mean = 50}}
    repair = {{law = "Exponential", mean = 5}}
    [system]
    cut_sets = [["u"]]
    """)


@pytest.mark.parametrize("horizon, fits", [(20_000_000, False), (200_000, True)])
def test_under_a_memory_limit_a_run_either_fits_or_is_refused_at_once(tmp_path, horizon, fits):
    """In a child limited to 1.5 GiB of address space: a horizon whose run would need more is
    refused with one line before anything runs; a smaller one runs within the limit."""
    model = tmp_path / "long.toml"
    model.write_text(LONG.format(horizon=horizon))
    limit = 3 * GIB // 2
    child = [sys.executable, "-c", "import resource, sys; resource.setrlimit(resource.RLIMIT_AS,"
             f" ({limit}, {limit})); from tarvokit.command.cli import main;"
             " sys.exit(main(sys.argv[1:]))", "run", str(model), "--histories", "200",
             "--threads", "2", "--out", str(tmp_path / "out"), "--no-progress"]
    environment = {**os.environ, "PYTHONPATH": f"{SRC}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"}
    finished = subprocess.run(child, capture_output=True, text=True, timeout=300, env=environment)
    if fits:
        assert finished.returncode == 0, finished.stderr
        return
    assert finished.returncode == 2
    assert finished.stderr.count("\n") == 1 and "Traceback" not in finished.stderr
    assert "study.horizon: a horizon of 20,000,000 time units" in finished.stderr
    assert "this process may use 1.6 GB (its memory limit)" in finished.stderr
    assert not (tmp_path / "out").exists()
