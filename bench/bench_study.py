"""The study layer's overhead over a bare runnerParallelSim call.

Runs the cooling-water loop (examples/cooling_water_loop.toml, at its own resolution) as one bare
runner call on the layer's engine model and as studies (`Model.run`: sub-batches, capture of the
runners' output, counts gathered as numpy arrays, per-batch figures) with 20 sub-batches (the
default) and fewer, alternating, and prints the median times and the overheads. Most of a
study's overhead is paid per runner call (every call returns horizon x resolution counts as a
Python list), so it grows with the number of sub-batches. Usage:

    PYTHONPATH=src .venv/bin/python bench/bench_study.py [--histories 100000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import array
import resource
import statistics
import time
from contextlib import contextmanager
from pathlib import Path

import numpy as np

import tarvo
import tarvokit
from tarvokit.engine.tasks import available_cores, engine_output_captured

BATCH_COUNTS = (20, 10, 5, 2)
LOOP = Path(__file__).resolve().parent.parent / "examples" / "cooling_water_loop.toml"


@contextmanager
def timed(into: dict[str, list[float]]):
    """Appends the block's wall-clock seconds and the process's CPU seconds (all threads): on a
    busy machine the CPU time is the steadier measure of work done."""
    cpu = resource.getrusage(resource.RUSAGE_SELF)
    started = time.perf_counter()
    yield
    into["wall"].append(time.perf_counter() - started)
    after = resource.getrusage(resource.RUSAGE_SELF)
    into["cpu"].append(after.ru_utime - cpu.ru_utime + after.ru_stime - cpu.ru_stime)


def run_bare(model: tarvokit.Model, histories: int) -> None:
    laws, tree = model.engine_laws(), model.engine_tree()
    tarvo.limitOMPThreads(available_cores())
    with engine_output_captured():
        tarvo.runnerParallelSim(histories, model.steps, laws, tree, 1)


def per_call_floor(model: tarvokit.Model, repeats: int) -> tuple[float, float]:
    """Median seconds of what every sub-batch pays whatever its size: a runner call on one
    history (buffers of horizon x resolution counts, their sum and the returned list) and the
    conversion of that list into a numpy array."""
    laws, tree = model.engine_laws(), model.engine_tree()
    tarvo.limitOMPThreads(available_cores())
    calls, conversions = [], []
    for _ in range(max(5, repeats)):
        with engine_output_captured():
            started = time.perf_counter()
            counts = tarvo.runnerParallelSim(1, model.steps, laws, tree, 1)
            calls.append(time.perf_counter() - started)
        started = time.perf_counter()
        np.frombuffer(array.array("I", counts), dtype=np.uint32)
        conversions.append(time.perf_counter() - started)
    return statistics.median(calls), statistics.median(conversions)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--model", type=Path, default=LOOP)
    arguments = parser.parse_args()
    model = tarvokit.load(arguments.model)
    bare: dict[str, list[float]] = {"wall": [], "cpu": []}
    studies = {batches: {"wall": [], "cpu": []} for batches in BATCH_COUNTS}
    for _ in range(arguments.repeats):
        with timed(bare):
            run_bare(model, arguments.histories)
        for batches, times in studies.items():
            with timed(times):
                model.run(histories=arguments.histories, seed=1, batches=batches)
    print(f"{model.name}: {arguments.histories:,} histories of {model.horizon:,}"
          f" {model.time_unit} at resolution {model.resolution} ({model.steps:,} engine steps),"
          f" {available_cores()} cores, median of {arguments.repeats}; goal: at most 5 %")
    for kind in ("wall", "cpu"):
        b = statistics.median(bare[kind])
        print(f"  {kind} seconds: bare runnerParallelSim {b:.3f}")
        for batches, times in studies.items():
            s = statistics.median(times[kind])
            print(f"    study, {batches:>2} sub-batches: {s:8.3f}  overhead {100 * (s / b - 1):+7.1f} %"
                  f"  ({1000 * (s - b) / batches:+.1f} ms per runner call)")
    call, conversion = per_call_floor(model, arguments.repeats)
    floor = call + conversion
    print(f"  floor per sub-batch, whatever its size: runner call on 1 history {1000 * call:.1f} ms"
          f" + list to numpy {1000 * conversion:.1f} ms = {1000 * floor:.1f} ms;"
          f" {BATCH_COUNTS[0]} sub-batches pay at least"
          f" {100 * (BATCH_COUNTS[0] - 1) * floor / statistics.median(bare['wall']):.0f} %"
          f" over the bare call")


if __name__ == "__main__":
    main()
