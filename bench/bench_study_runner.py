"""runnerStudy against a bare runnerParallelSim call, its fixed cost per call, and its memory on
a long horizon.

On the cooling-water loop (examples/cooling_water_loop.toml, at its own resolution of 60 steps
per hour) it prints, as medians of alternating repeats:
- the seconds of one bare runnerParallelSim call and of one runnerStudy call at 100,000
  histories, both on the machine's cores (the runnerParallelSim call's console lines go to
  /dev/null, and its list is not converted further);
- the fixed cost of one runnerStudy call (1 history), and what 20 such calls (a study's calls)
  add to one 100,000-history call: goal at most 5 %;
- the peak resident memory of a child process running runnerStudy over 10^7 hours at
  resolution 60 (6 x 10^8 engine steps) on 2 threads: goal well under 1 GB.

    PYTHONPATH=build/NAME:src .venv/bin/python bench/bench_study_runner.py [--histories 100000] [--repeats 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import textwrap
import time
from contextlib import contextmanager
from pathlib import Path

import tarvo
import tarvokit

LOOP = Path(__file__).resolve().parent.parent / "examples" / "cooling_water_loop.toml"
STUDY_CALLS = 20
LONG_UNITS = 10**7


@contextmanager
def console_to_devnull():
    """Sends file descriptor 1 (the runners' progress lines) to /dev/null for the block."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def seconds(call) -> float:
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def engine_inputs():
    model = tarvokit.load(str(LOOP))
    return model.engine_laws(), model.engine_tree(), model.steps, model.resolution


def compare_at(histories: int, repeats: int, threads: int) -> tuple[float, float]:
    laws, tree, steps, resolution = engine_inputs()
    tarvo.limitOMPThreads(threads)
    bare, study = [], []
    for _ in range(repeats):
        with console_to_devnull():
            bare.append(seconds(lambda: tarvo.runnerParallelSim(histories, steps, laws, tree, 1)))
        study.append(seconds(lambda: tarvo.runnerStudy(laws, tree, steps, histories, 1, threads, resolution)))
    return statistics.median(bare), statistics.median(study)


def fixed_cost(threads: int, calls: int = 200) -> float:
    """Median seconds of a runnerStudy call on one history."""
    laws, tree, steps, resolution = engine_inputs()
    return statistics.median(
        seconds(lambda: tarvo.runnerStudy(laws, tree, steps, 1, seed, threads, resolution)) for seed in range(calls))


LONG_RUN = textwrap.dedent(f"""
    import resource, time, tarvo, tarvokit
    model = tarvokit.load({str(LOOP)!r})
    laws, tree, resolution = model.engine_laws(), model.engine_tree(), model.resolution
    started = time.perf_counter()
    result = tarvo.runnerStudy(laws, tree, {LONG_UNITS} * resolution, 4, 1, 2, resolution)
    elapsed = time.perf_counter() - started
    assert result["failed_steps_per_unit"].shape == ({LONG_UNITS},)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, elapsed, result["failed_steps_sum"])
""")


def long_horizon_peak() -> tuple[float, float, int]:
    """(peak resident MB, seconds, failed steps) of a child running 4 histories of 10^7 hours."""
    child = subprocess.run([sys.executable, "-c", LONG_RUN], capture_output=True, text=True, check=True)
    peak, elapsed, failed = child.stdout.split()
    return float(peak), float(elapsed), int(failed)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    _, _, steps, resolution = engine_inputs()
    print(f"cooling-water loop: {steps:,} engine steps ({steps // resolution:,} h at resolution {resolution}),"
          f" {threads} threads, medians of {args.repeats}")

    bare, study = compare_at(args.histories, args.repeats, threads)
    print(f"{args.histories:,} histories: runnerParallelSim {bare:.3f} s, runnerStudy {study:.3f} s"
          f" (runnerStudy / runnerParallelSim {study / bare:.2f})")

    one = fixed_cost(threads)
    share = STUDY_CALLS * one / study
    print(f"fixed cost of one runnerStudy call (1 history): {one * 1e3:.3f} ms;"
          f" {STUDY_CALLS} calls add {share:.2%} to one {args.histories:,}-history call"
          f" (goal <= 5 %: {'met' if share <= 0.05 else 'NOT met'})")

    peak, elapsed, failed = long_horizon_peak()
    print(f"{LONG_UNITS:,} h at resolution {resolution} ({LONG_UNITS * resolution:,} steps), 4 histories on 2 threads:"
          f" peak resident {peak:.0f} MB in {elapsed:.1f} s, {failed:,} failed steps"
          f" (goal well under 1024 MB: {'met' if peak < 1024 else 'NOT met'};"
          f" runnerParallelSim would hold 3 x {LONG_UNITS * resolution * 4 / 2**30:.1f} GiB of series)")


if __name__ == "__main__":
    main()
