"""Histories per second of a study in process and on Dask worker processes, and what a task costs.

    PYTHONPATH=src .venv/bin/python bench/bench_cluster.py [--histories N] [--model PATH]

Runs the same study (the cooling-water loop by default) in this process, on a local cluster of
one worker process with every core, and on one of one worker process per core, and prints
histories per second and how busy the runners were (runner seconds over process seconds of wall
time: the rest is each call's fixed cost, which a run in process pays too, and what the cluster
adds: scheduling, transport, merging and the tail). Each cluster is
started and warmed up (its workers import the packages) before the timed run, as a long-lived
cluster would be. Then the cost of one task: many tasks of one history of a tiny model, whose
wall time per task is nearly all overhead, and what that cost is as a share of a task of the
size the executor aims for.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import tarvokit
from tarvokit.cluster import CHUNK_SECONDS, DaskExecutor, local_cluster

ROOT = Path(__file__).resolve().parent.parent
TINY = {
    "study": {"name": "tiny", "horizon": 10, "resolution": 1},
    "components": {"a": {"failure": {"law": "Exponential", "mean": 5},
                         "repair": {"law": "Exponential", "mean": 1}}},
    "system": {"cut_sets": [["a"]]},
}


def runner_share(result: tarvokit.Result, processes: int) -> float:
    """Runner seconds over the worker processes' wall time."""
    return sum(b.seconds for b in result.batches) / (result.seconds * processes)


def timed_on_cluster(model: tarvokit.Model, histories: int, processes: int
                     ) -> tuple[tarvokit.Result, float]:
    started = time.perf_counter()
    with local_cluster(processes) as client:
        model.run(histories=max(200, histories // 100), seed=10**6, client=client)  # warm-up
        ready = time.perf_counter() - started
        return model.run(histories=histories, seed=1, client=client), ready


def task_overhead(processes: int, tasks: int) -> float:
    """Seconds of worker-process time per task beyond its runner time, for near-empty tasks."""
    tiny = tarvokit.Model.from_dict(TINY)
    with local_cluster(processes) as client:
        tiny.run(histories=200, client=client)  # warm-up
        result = tiny.run(histories=tasks, seed=1,
                          executor=DaskExecutor(client, chunk_histories=1))
    runner = sum(b.seconds for b in result.batches)
    return (result.seconds * processes - runner) / tasks


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=50_000)
    parser.add_argument("--model", type=Path, default=ROOT / "examples" / "cooling_water_loop.toml")
    parser.add_argument("--tasks", type=int, default=2000, help="near-empty tasks to time")
    arguments = parser.parse_args(argv)
    cores = len(os.sched_getaffinity(0))
    model = tarvokit.load(arguments.model)
    print(f"{model.name}: {model.horizon} {model.time_unit} at resolution {model.resolution},"
          f" {arguments.histories:,} histories, {cores} cores")

    local = model.run(histories=arguments.histories, seed=1)
    print(f"  in process ({local.threads} threads):{local.histories_per_second:>24,.0f} histories/s,"
          f" runners busy {100 * runner_share(local, 1):.1f}% of the time")
    for processes in (1, cores):
        result, ready = timed_on_cluster(model, arguments.histories, processes)
        threads = max(1, cores // processes)
        label = (f"{processes} worker process{'es' if processes > 1 else ''}"
                 f" ({threads} thread{'s' if threads > 1 else ''} each):")
        print(f"  {label:<36}{result.histories_per_second:>8,.0f} histories/s, runners busy"
              f" {100 * runner_share(result, processes):.1f}% of the workers' time"
              f" (cluster up and warm in {ready:.1f} s)")

    overhead = task_overhead(cores, arguments.tasks)
    print(f"  per-task overhead: {1000 * overhead:.1f} ms of worker-process time per task"
          f" ({arguments.tasks:,} one-history tasks on {cores} worker processes);"
          f" {100 * overhead / CHUNK_SECONDS:.2f}% of a {CHUNK_SECONDS:g} s task")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
