"""Planning a study's runs: sub-batches, the precision target, progress and interruption.

History i of a study with seed S uses seed S + i. The histories are run in contiguous
sub-batches, each one task (execution.py), so that together they are exactly the histories of one
runnerParallelSim call with seed S, and their counts add up to that call's. The sub-batches are
independent (disjoint seed ranges) and give the interval of the mean by batch means.

With a precision target the planner adds sub-batches of the same size, round by round, until the
95% interval of the mean is within +-precision of it (relative) or the maximum number of
histories is reached. Ctrl-C stops after the sub-batch that is running and raises
StudyInterrupted, which carries the result of the sub-batches that finished.
"""

from __future__ import annotations

import math
import signal
import sys
import threading
import time
from contextlib import contextmanager
from typing import TYPE_CHECKING, Iterator

import numpy as np
from tqdm import tqdm

from .execution import EngineMessages, Executor, InProcessExecutor, Task, TaskResult
from .result import Batch, Result
from .stats import split_evenly

if TYPE_CHECKING:
    from .model import Model

DEFAULT_BATCHES = 20
INT_MAX = 2**31 - 1
# When the target is not met, plan this much more than the estimate of what is missing, so
# that one more round usually suffices.
_ROUND_MARGIN = 1.2


class StudyInterrupted(KeyboardInterrupt):
    """Ctrl-C during a study. `result` holds the finished sub-batches (None if fewer than two
    finished: one sub-batch gives no interval); `done` counts the histories they ran."""

    def __init__(self, result: Result | None, done: int, planned: int):
        super().__init__(f"interrupted after {done:,} of {planned:,} histories")
        self.result = result


class _Accumulator:
    """Merges task results into the counts and sub-batch records of a Result."""

    def __init__(self, model: "Model", cut_sets):
        self.model, self.cut_sets = model, cut_sets
        self.counts = np.zeros(model.steps, dtype=np.uint32)
        self.batches: list[Batch] = []
        self.threads: int | None = None

    def add(self, result: TaskResult) -> None:
        self.counts += result.counts  # modulo 2^32, as the engine sums
        self.batches.append(Batch(result.task.first_seed, result.task.histories,
                                  result.failed_steps, result.seconds))
        self.threads = result.threads or self.threads

    @property
    def histories(self) -> int:
        return sum(b.histories for b in self.batches)

    def result(self, seconds: float, precision: float | None = None,
               precision_met: bool | None = None, interrupted: bool = False) -> Result:
        return Result(self.model.description, self.counts.copy(), tuple(self.batches), seconds,
                      self.threads, not self.model.has_maintenance, precision, precision_met,
                      interrupted, self.cut_sets)


def check_arguments(histories: int, seed: int, threads: int | None, precision: float | None,
                    max_histories: int | None) -> int:
    """Checks the run arguments; returns the maximum number of histories."""
    if not isinstance(histories, int) or histories < 2:
        raise ValueError("histories must be a whole number of at least 2")
    if threads is not None and (not isinstance(threads, int) or threads < 1):
        raise ValueError("threads must be at least 1")
    if precision is not None and not 0 < precision < 1:
        raise ValueError("precision must lie between 0 and 1 (0.02 is +-2% of the mean)")
    if max_histories is None:
        max_histories = histories * 100 if precision is not None else histories
    if max_histories < histories:
        raise ValueError("max_histories must be at least histories")
    if not isinstance(seed, int) or seed < 0 or seed + max_histories - 1 > INT_MAX:
        raise ValueError(f"the seeds seed .. seed + {max_histories - 1} must lie in 0 .. {INT_MAX}")
    return max_histories


def run_study(model: "Model", histories: int = 100_000, seed: int = 1,
              threads: int | None = None, precision: float | None = None,
              max_histories: int | None = None, progress: bool = False,
              executor: Executor | None = None, batches: int | None = None,
              cut_sets=None, label: str | None = None) -> Result:
    """Runs `histories` histories of `model` (seeds seed, seed + 1, ...) in sub-batches.

    threads: worker threads per runner call (None: one per core). precision: relative half-width
    of the 95% interval of the mean to reach by adding sub-batches, up to max_histories (default
    100 x histories). progress: a bar on standard error. batches: sub-batches of the first round
    (default 20). cut_sets: replaces the model's logic (component indices or names). label:
    names the run on its progress bar, when a study makes several.
    """
    max_histories = check_arguments(histories, seed, threads, precision, max_histories)
    executor = executor or InProcessExecutor()
    sizes = split_evenly(histories, min(batches or DEFAULT_BATCHES, histories))
    if len(sizes) < 2:
        raise ValueError("batches must be at least 2: the interval of the mean needs them")
    override = None if cut_sets is None else tuple(tuple(s) for s in cut_sets)
    description = model.description
    accumulator = _Accumulator(model, override)
    messages = EngineMessages()
    started = time.perf_counter()
    next_seed, met = seed, None
    with tqdm(total=histories, desc=label, unit=" histories", file=sys.stderr,
              disable=not progress,
              unit_scale=True, dynamic_ncols=True) as bar, _interrupt_flag() as interrupted:
        while sizes:
            tasks = []
            for size in sizes:
                tasks.append(Task(description, next_seed, size, threads, override))
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
                partial = (accumulator.result(time.perf_counter() - started, precision,
                                              False, interrupted=True)
                           if len(accumulator.batches) >= 2 else None)
                raise StudyInterrupted(partial, accumulator.histories, bar.total) from None
            if precision is None:
                break
            current = accumulator.result(0.0).mean()
            met = current.relative_half_width <= precision
            sizes = [] if met else _next_round(current.relative_half_width, precision,
                                                accumulator.histories, max_histories,
                                                max(sizes))
            bar.total += sum(sizes)
            bar.refresh()
    messages.finish()
    return accumulator.result(time.perf_counter() - started, precision, met)


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
