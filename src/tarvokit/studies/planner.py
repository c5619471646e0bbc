"""Planning a study's runs: sub-batches, the precision target, progress and interruption.

History i of a study with seed S uses seed S + i. The histories are run in contiguous
sub-batches, each one task (engine/tasks.py), so that together they are exactly the histories of
one runner call with seed S, and their counts add up to that call's. The sub-batches are
independent (disjoint seed ranges) and give the interval of the mean by batch means.

With a precision target the planner adds sub-batches, round by round, until the 95% interval of
the mean is within +-precision of it (relative) or the maximum number of histories is reached.
Ctrl-C stops after the sub-batch that is running and raises StudyInterrupted, which carries the
result of the sub-batches that finished.

Paired studies (importance, sweeps) run several models or logics on the same seeds in the same
sub-batches: `run_paired`, one run after the other through the same planner.
"""

from __future__ import annotations

import math
import signal
import sys
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime, timezone
from importlib import metadata
from typing import Iterator, Sequence

import numpy as np

from ..data.result import Batch, Result
from ..data.stats import split_evenly
from ..engine.tasks import EngineMessages, Executor, Task, TaskResult, available_cores
from ..model.reading import Model
from .options import DEFAULT_BATCHES, RunOptions

# When the target is not met, plan this much more than the estimate of what is missing, so
# that one more round usually suffices.
_ROUND_MARGIN = 1.2


def package_version() -> str:
    try:
        return metadata.version("tarvo")
    except metadata.PackageNotFoundError:  # run from the source tree
        return "0.1.0"


class StudyInterrupted(KeyboardInterrupt):
    """Ctrl-C during a study. `result` holds the finished sub-batches (None if fewer than two
    finished: one sub-batch gives no interval); `done` counts the histories they ran."""

    def __init__(self, result: Result | None, done: int, planned: int):
        super().__init__(f"interrupted after {done:,} of {planned:,} histories")
        self.result, self.done, self.planned = result, done, planned


@dataclass(frozen=True)
class PlannedRun:
    """One run of a paired study: a model, an optional logic override, a progress label."""

    model: Model
    cut_sets: tuple[tuple[int | str, ...], ...] | None = None
    label: str | None = None


class _Accumulator:
    """Merges task results into the counts and sub-batch records of a Result."""

    def __init__(self, run: PlannedRun):
        self.run = run
        self.counts = np.zeros(run.model.horizon, dtype=np.uint64)
        self.batches: list[Batch] = []
        self.threads: int | None = None

    def add(self, result: TaskResult) -> None:
        self.counts += result.counts
        self.batches.append(Batch(result.task.first_seed, result.task.histories,
                                  result.failed_steps, result.seconds))
        self.threads = result.threads or self.threads

    @property
    def histories(self) -> int:
        return sum(b.histories for b in self.batches)

    def result(self, seconds: float, precision: float | None = None,
               precision_met: bool | None = None, interrupted: bool = False) -> Result:
        model = self.run.model
        return Result(model.description, self.counts.copy(), tuple(self.batches), seconds,
                      self.threads, not model.has_maintenance, precision, precision_met,
                      interrupted, self.run.cut_sets,
                      model_path=None if model.source.startswith("<") else model.source,
                      created=datetime.now(timezone.utc).isoformat(timespec="seconds"),
                      version=package_version())


def run_study(run: PlannedRun, options: RunOptions) -> Result:
    """Runs options.histories histories (seeds seed, seed + 1, ...) of one model in sub-batches,
    adding rounds for a precision target; StudyInterrupted on Ctrl-C."""
    options = options.checked()
    run.model.refuse_if_too_large(options.threads or available_cores())
    executor = options.runner()
    sizes = split_evenly(options.histories, min(options.batches or DEFAULT_BATCHES,
                                                options.histories))
    if len(sizes) < 2:
        raise ValueError("batches must be at least 2: the interval of the mean needs them")
    description = run.model.description
    accumulator = _Accumulator(run)
    messages = EngineMessages()
    started = time.perf_counter()
    next_seed, met = options.seed, None
    with _progress_bar(options, run.label) as bar, _interrupt_flag() as interrupted:
        while sizes:
            tasks = []
            for size in sizes:
                tasks.append(Task(description, next_seed, size, options.threads, run.cut_sets))
                next_seed += size
            try:
                for result in _each(executor, tasks, bar.update):
                    accumulator.add(result)
                    messages.add(result.messages)
                    if interrupted():
                        raise KeyboardInterrupt
            except KeyboardInterrupt:
                # The flag after a sub-batch, or a second Ctrl-C that stopped the running one.
                messages.finish()
                partial = (accumulator.result(time.perf_counter() - started, options.precision,
                                              False, interrupted=True)
                           if len(accumulator.batches) >= 2 else None)
                raise StudyInterrupted(partial, accumulator.histories, bar.total) from None
            if options.precision is None:
                break
            current = accumulator.result(0.0).mean()
            met = current.relative_half_width <= options.precision
            sizes = [] if met else _next_round(current.relative_half_width, options.precision,
                                                accumulator.histories, options.max_histories,
                                                max(sizes))
            bar.total += sum(sizes)
            bar.refresh()
    messages.finish()
    return accumulator.result(time.perf_counter() - started, options.precision, met)


def run_paired(runs: Sequence[PlannedRun], options: RunOptions, what: str = "run"
               ) -> tuple[list[Result], float]:
    """Runs each model or logic on the same seeds, in the same sub-batches (no precision
    target: the runs must pair). Returns the results and their total seconds. Ctrl-C stops
    after the running sub-batch with a KeyboardInterrupt saying which run it stopped."""
    options = options.checked()
    if options.precision is not None:
        raise ValueError("--precision applies to a single run, not to paired runs")
    results, seconds = [], 0.0
    for number, run in enumerate(runs, start=1):
        try:
            result = run_study(run, options)
        except StudyInterrupted as interruption:
            raise KeyboardInterrupt(f"{what} {number} of {len(runs)} {interruption}") from None
        results.append(result)
        seconds += result.seconds
    return results, seconds


def _progress_bar(options: RunOptions, label: str | None):
    from tqdm import tqdm

    return tqdm(total=options.histories, desc=label, unit=" histories", file=sys.stderr,
                disable=not options.progress, unit_scale=True, dynamic_ncols=True)


def _each(executor: Executor, tasks: list[Task], progress) -> Iterator[TaskResult]:
    results = executor.each(tasks, progress)
    try:
        yield from results
    finally:
        close = getattr(results, "close", None)
        if close:
            close()


def _next_round(relative_half_width: float, precision: float, done: int, maximum: int,
                size: int) -> list[int]:
    """Sub-batches of `size` that should bring the interval within the target: its width
    shrinks as 1 / sqrt(histories). Stops at `maximum` histories."""
    if done >= maximum:
        return []
    if math.isinf(relative_half_width):  # no failure seen yet: double what was run
        wanted = done
    else:
        wanted = math.ceil(done * ((relative_half_width / precision) ** 2 * _ROUND_MARGIN - 1))
    wanted = min(max(wanted, size), maximum - done)
    sizes = [size] * (wanted // size)
    if wanted % size:
        sizes.append(wanted % size)
    return sizes


@contextmanager
def _interrupt_flag() -> Iterator:
    """While the block runs, Ctrl-C only sets a flag (a second one interrupts at once).

    The runners hold the interpreter lock, so a Ctrl-C is seen when the running sub-batch
    returns; the planner then stops instead of starting the next one.
    """
    if threading.current_thread() is not threading.main_thread():
        yield lambda: False
        return
    state = {"count": 0}

    def handler(signum, frame):
        state["count"] += 1
        if state["count"] > 1:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, handler)
    try:
        yield lambda: state["count"] > 0
    finally:
        signal.signal(signal.SIGINT, previous)
