"""The study layer's overhead over a bare runnerParallelSim call.

Runs the cooling-water loop (examples/cooling_water_loop.toml, at its own resolution) as one bare
runner call on the layer's engine model and as a study (`Model.run`: 20 sub-batches, capture of
the runners' output, counts gathered as numpy arrays, per-batch figures), alternating, and prints
the median times and the overhead. Usage:

    PYTHONPATH=src .venv/bin/python bench/bench_study.py [--histories 100000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import resource
import statistics
import time
from contextlib import contextmanager
from pathlib import Path

import tarvo
import tarvokit
from tarvokit.execution import available_cores, engine_output_captured

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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--model", type=Path, default=LOOP)
    arguments = parser.parse_args()
    model = tarvokit.load(arguments.model)
    bare: dict[str, list[float]] = {"wall": [], "cpu": []}
    study: dict[str, list[float]] = {"wall": [], "cpu": []}
    for _ in range(arguments.repeats):
        with timed(bare):
            run_bare(model, arguments.histories)
        with timed(study):
            model.run(histories=arguments.histories, seed=1)
    print(f"{model.name}: {arguments.histories:,} histories of {model.horizon:,}"
          f" {model.time_unit} at resolution {model.resolution} ({model.steps:,} engine steps),"
          f" {available_cores()} cores, median of {arguments.repeats}")
    for kind in ("wall", "cpu"):
        b, s = statistics.median(bare[kind]), statistics.median(study[kind])
        print(f"  {kind:>4} seconds: bare runnerParallelSim {b:8.3f}, study (Model.run) {s:8.3f}:"
              f" overhead {100 * (s / b - 1):+.1f} %  (goal: at most 5 %)")


if __name__ == "__main__":
    main()
