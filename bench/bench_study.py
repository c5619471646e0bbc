"""The study layer's cost, each figure against its goal.

    .venv/bin/python bench/bench_study.py [--histories 100000] [--repeats 5] [--long-hours N]

Prints, as medians of alternating repeats on the cooling-water loop (examples/):
- the layer's time around the engine: `Study.run` at --histories against one bare runnerStudy
  call on the same histories (goal: within 5 %);
- `tarvo run --histories 1000` as a whole command against its start-up (`tarvo --version`) plus
  the plot (`tarvo plot` of the same folder): goal within 0.3 s;
- the start-up of `tarvo --version` and `tarvo --help` (goal 0.3 s each) and of `tarvo check` on
  the example (goal 0.5 s);
- a long horizon: `tarvo run` of one repairable unit over --long-hours hours at resolution 1
  (default 10^7), the seconds it simulates and the seconds and peak memory of the whole command,
  files included.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import tarvo
import tarvokit
from tarvokit.engine.build import engine_inputs

ROOT = Path(__file__).resolve().parent.parent
LOOP = ROOT / "examples" / "cooling_water_loop.toml"
TARVO = [sys.executable, "-m", "tarvokit.command"]
ENVIRONMENT = {**os.environ, "PYTHONPATH": os.pathsep.join(
    [str(Path(tarvokit.__file__).parent.parent), os.environ.get("PYTHONPATH", "")])}


def seconds(action) -> float:
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def command_seconds(*arguments: str) -> float:
    return seconds(lambda: subprocess.run([*TARVO, *arguments], check=True, env=ENVIRONMENT,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


def medians(repeats: int, **actions) -> dict[str, float]:
    """Each action timed `repeats` times, taking turns so that drifts hit all alike."""
    times: dict[str, list[float]] = {name: [] for name in actions}
    for _ in range(repeats):
        for name, action in actions.items():
            times[name].append(action())
    return {name: statistics.median(values) for name, values in times.items()}


def verdict(ok: bool) -> str:
    return "goal met" if ok else "goal NOT met"


def layer_overhead(histories: int, repeats: int) -> None:
    study = tarvokit.load(LOOP)
    cores = len(os.sched_getaffinity(0))
    # The runner Study.run calls for the loop (its planned maintenance: the calendar's).
    inputs = engine_inputs(study.model.description)
    runner = tarvo.runnerCalendarStudy if "calendar" in inputs.extra else tarvo.runnerStudy

    def bare() -> float:
        return seconds(lambda: runner(inputs.laws, inputs.tree, inputs.steps, histories, 1,
                                      cores, inputs.steps_per_unit, **inputs.extra))

    def layer() -> float:
        return seconds(lambda: study.run(histories=histories, seed=1))

    times = medians(repeats, bare=bare, study=layer)
    overhead = times["study"] / times["bare"] - 1
    print(f"{histories:,} histories of the loop: bare runnerStudy {times['bare']:.3f} s,"
          f" Study.run {times['study']:.3f} s: the layer adds {100 * overhead:+.1f} %"
          f" (goal at most +5 %: {verdict(overhead <= 0.05)})")


def small_run(repeats: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        out = str(Path(folder) / "out")
        times = medians(
            repeats,
            run=lambda: command_seconds("run", str(LOOP), "--histories", "1000", "--out", out,
                                        "--no-progress"),
            startup=lambda: command_seconds("--version"),
            plot=lambda: command_seconds("plot", out))
    # `tarvo plot` starts up too: its start-up is counted once.
    floor = times["plot"]
    extra = times["run"] - floor
    print(f"tarvo run --histories 1000: {times['run']:.2f} s; start-up {times['startup']:.2f} s,"
          f" start-up and plot (tarvo plot) {floor:.2f} s: {extra:+.2f} s beyond"
          f" (goal within 0.3 s: {verdict(extra <= 0.3)})")


def startup(repeats: int) -> None:
    times = medians(repeats, version=lambda: command_seconds("--version"),
                    help=lambda: command_seconds("--help"),
                    check=lambda: command_seconds("check", str(LOOP)))
    print(f"start-up: tarvo --version {times['version']:.2f} s, --help {times['help']:.2f} s"
          f" (goal 0.3 s: {verdict(max(times['version'], times['help']) <= 0.3)});"
          f" tarvo check on the loop {times['check']:.2f} s"
          f" (goal 0.5 s: {verdict(times['check'] <= 0.5)})")


LONG_MODEL = """\
[study]
name = "One unit, a long horizon"
time_unit = "h"
horizon = {hours}
resolution = 1

[components.unit]
failure = {{ law = "Exponential", mean = 1000 }}
repair = {{ law = "Exponential", mean = 10 }}

[system]
cut_sets = [["unit"]]
"""


def long_horizon(hours: int, histories: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        model = Path(folder) / "long.toml"
        model.write_text(LONG_MODEL.format(hours=hours))
        out = Path(folder) / "out"
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        elapsed = command_seconds("run", str(model), "--histories", str(histories), "--out",
                                  str(out), "--no-progress")
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        result = tarvokit.read(out)
        sizes = {p.name: p.stat().st_size for p in out.iterdir()}
    print(f"{hours:,} h at resolution 1, {histories:,} histories: simulated in"
          f" {sum(b.seconds for b in result.batches):.1f} s; the whole command {elapsed:.1f} s,"
          f" peak memory {max(peak, before) / 1024:.0f} MB; files "
          + ", ".join(f"{name} {size / 1e6:.1f} MB" for name, size in sorted(sizes.items())))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--long-hours", type=int, default=10**7)
    parser.add_argument("--long-histories", type=int, default=20)
    arguments = parser.parse_args()
    layer_overhead(arguments.histories, arguments.repeats)
    startup(arguments.repeats)
    small_run(arguments.repeats)
    long_horizon(arguments.long_hours, arguments.long_histories)


if __name__ == "__main__":
    main()
