"""Histories per second of a study in process and on Dask worker processes, and what a task costs.

    PYTHONPATH=src .venv/bin/python bench/bench_cluster.py [--histories N] [--repeats R] [--model PATH]

Runs the same study (the cooling-water loop by default) in this process, on a local cluster of
one worker process with every core, and on one of one worker process per core, and prints
histories per second and how busy the runners were (runner seconds over process seconds of wall
time: the rest is each call's fixed cost, which a run in process pays too, and what the cluster
adds: scheduling, transport, merging and the tail). Both clusters are started and warmed up (their
workers import the packages) before anything is timed, as long-lived clusters would be; the
three set-ups then take turns, R times, and the median of each is printed, so that a machine
whose load changes during the benchmark favours none of them. Last, the cost of one task: many
tasks of one history of a tiny model, whose wall time per task is nearly all overhead, and that
cost as a share of a task of the size the executor aims for.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from contextlib import ExitStack
from pathlib import Path
from typing import Callable

import tarvokit
from tarvokit.engine.cluster import CHUNK_SECONDS, DaskExecutor, local_cluster

ROOT = Path(__file__).resolve().parent.parent
TINY = {
    "study": {"name": "tiny", "horizon": 10, "resolution": 1},
    "components": {"a": {"failure": {"law": "Exponential", "mean": 5},
                         "repair": {"law": "Exponential", "mean": 1}}},
    "system": {"cut_sets": [["a"]]},
}


def runner_share(result: tarvokit.Result, processes: int) -> float:
    """Runner seconds over the processes' wall time."""
    return sum(b.seconds for b in result.batches) / (result.seconds * processes)


def task_overhead(client, processes: int, tasks: int) -> float:
    """Seconds of worker-process time per task beyond its runner time, for near-empty tasks."""
    tiny = tarvokit.Model.from_dict(TINY)
    tiny.run(histories=200, client=client)  # warm-up
    result = tiny.run(histories=tasks, seed=1, executor=DaskExecutor(client, chunk_histories=1))
    runner = sum(b.seconds for b in result.batches)
    return (result.seconds * processes - runner) / tasks


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=50_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--model", type=Path, default=ROOT / "examples" / "cooling_water_loop.toml")
    parser.add_argument("--tasks", type=int, default=2000, help="near-empty tasks to time")
    arguments = parser.parse_args(argv)
    cores = len(os.sched_getaffinity(0))
    model = tarvokit.load(arguments.model)
    print(f"{model.name}: {model.horizon} {model.time_unit} at resolution {model.resolution},"
          f" {arguments.histories:,} histories, {cores} cores, median of {arguments.repeats}")

    with ExitStack() as stack:
        started = time.perf_counter()
        clients = {processes: stack.enter_context(local_cluster(processes))
                   for processes in sorted({1, cores})}
        for client in clients.values():
            model.run(histories=max(200, arguments.histories // 100), seed=10**6, client=client)
        print(f"  (clusters up and warm in {time.perf_counter() - started:.1f} s)")

        setups: dict[str, tuple[int, Callable[[], tarvokit.Result]]] = {
            f"in process ({cores} threads):": (1, lambda: model.run(
                histories=arguments.histories, seed=1))}
        for processes, client in clients.items():
            threads = max(1, cores // processes)
            label = (f"{processes} worker process{'es' if processes > 1 else ''}"
                     f" ({threads} thread{'s' if threads > 1 else ''} each):")
            setups[label] = (processes, lambda client=client: model.run(
                histories=arguments.histories, seed=1, client=client))
        rates: dict[str, list[float]] = {label: [] for label in setups}
        shares: dict[str, list[float]] = {label: [] for label in setups}
        for _ in range(arguments.repeats):
            for label, (processes, run) in setups.items():
                result = run()
                rates[label].append(result.histories_per_second)
                shares[label].append(runner_share(result, processes))
        for label in setups:
            print(f"  {label:<36}{statistics.median(rates[label]):>8,.0f} histories/s,"
                  f" runners busy {100 * statistics.median(shares[label]):.1f}% of the time"
                  f" (runs: {', '.join(f'{rate:,.0f}' for rate in rates[label])})")

        overhead = task_overhead(clients[cores], cores, arguments.tasks)
    print(f"  per-task overhead: {1000 * overhead:.1f} ms of worker-process time per task"
          f" ({arguments.tasks:,} one-history tasks on {cores} worker processes);"
          f" {100 * overhead / CHUNK_SECONDS:.2f}% of a {CHUNK_SECONDS:g} s task")


if __name__ == "__main__":
    main()
