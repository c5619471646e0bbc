"""The study layer's overhead over a bare runnerParallelSim call.

Runs the cooling-water loop (examples/cooling_water_loop.toml, at its own resolution) as one bare
runner call on the layer's engine model and as a study (`Model.run`: 20 sub-batches, capture of
the runners' output, counts gathered as numpy arrays, per-batch figures), alternating, and prints
the median times and the overhead. Usage:

    PYTHONPATH=src .venv/bin/python bench/bench_study.py [--histories 100000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

import tarvo
import tarvokit
from tarvokit.execution import available_cores, engine_output_captured

LOOP = Path(__file__).resolve().parent.parent / "examples" / "cooling_water_loop.toml"


def bare_seconds(model: tarvokit.Model, histories: int) -> float:
    laws, tree = model.engine_laws(), model.engine_tree()
    tarvo.limitOMPThreads(available_cores())
    started = time.perf_counter()
    with engine_output_captured():
        tarvo.runnerParallelSim(histories, model.steps, laws, tree, 1)
    return time.perf_counter() - started


def study_seconds(model: tarvokit.Model, histories: int) -> float:
    started = time.perf_counter()
    model.run(histories=histories, seed=1)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--model", type=Path, default=LOOP)
    arguments = parser.parse_args()
    model = tarvokit.load(arguments.model)
    bare, study = [], []
    for _ in range(arguments.repeats):
        bare.append(bare_seconds(model, arguments.histories))
        study.append(study_seconds(model, arguments.histories))
    b, s = statistics.median(bare), statistics.median(study)
    print(f"{model.name}: {arguments.histories:,} histories of {model.horizon:,}"
          f" {model.time_unit} at resolution {model.resolution} ({model.steps:,} engine steps),"
          f" {available_cores()} cores, median of {arguments.repeats}")
    print(f"  bare runnerParallelSim: {b:8.3f} s  ({arguments.histories / b:,.0f} histories/s)")
    print(f"  study (Model.run):      {s:8.3f} s  ({arguments.histories / s:,.0f} histories/s)")
    print(f"  overhead: {100 * (s / b - 1):+.1f} %  (goal: at most 5 %)")


if __name__ == "__main__":
    main()
