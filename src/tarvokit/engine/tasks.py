"""The seam between planning a study and running its histories.

A study is run as tasks: a `Task` is plain, picklable data (the model's description, an optional
override of its logic as cut sets, the first seed, the number of histories, the threads) and
`run_task` turns it into a `TaskResult` by building the engine's inputs from the description (once
per process for the tasks of one study, build.py) and making ONE runner call on the contiguous
seeds first_seed .. first_seed + histories - 1.
A TaskResult is data that merges: its counts (failed engine steps per time unit, summed over its
histories) and its per-history distributions (outputs.py) add, exactly as the engine's own sums
do.

An `Executor` takes tasks and yields their results as they finish, in any order; closing its
iterator early (an interrupted study) drops the tasks that have not started. The planner
(studies/planner.py) decides the tasks, merges the results and applies the stopping rules; it
works the same whatever executor runs the tasks: `InProcessExecutor` in this process, or one that
ships the tasks to other processes or machines (they only need the `tarvo` and `tarvokit`
packages).

`run_task` calls tarvo.runnerStudy, which prints nothing and hands its arrays over without a
Python object per element; its warnings come back in `TaskResult.messages`. The module's other
runners print progress lines on file descriptor 1: `engine_output_captured` collects them for
callers of those runners.
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
import time
import warnings
from abc import ABC, abstractmethod
from collections import Counter
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from typing import Callable, Iterable, Iterator, Sequence, TextIO

import numpy as np

import tarvo

from ..model.errors import ModelError
from .build import engine_inputs
from .outputs import Distributions



# How the engine says that a history cycles through transitions of zero delay.
_STUCK = "History stopped advancing"


@dataclass(frozen=True)
class Task:
    """One runner call: histories first_seed .. first_seed + histories - 1 of a model.

    `model` is a model's `description` (plain data); `cut_sets`, when given, replaces its logic
    (lists of component indices or names); `threads` None means one per available core.
    """

    model: dict
    first_seed: int
    histories: int
    threads: int | None = None
    cut_sets: tuple[tuple[int | str, ...], ...] | None = None


@dataclass(frozen=True)
class TaskResult:
    """What one task measured; results of one model merge by adding counts."""

    task: Task
    counts: np.ndarray  # uint64, failed engine steps per time unit, summed over the histories
    seconds: float  # wall-clock time of the runner call
    threads: int | None  # worker threads of the runner call
    messages: tuple[str, ...] = field(default=())  # the engine's warnings
    distributions: Distributions | None = None  # per-history figures (outputs.py)

    @property
    def failed_steps(self) -> int:
        """Failed steps summed over the task's histories: its batch mean's numerator."""
        return int(self.counts.sum(dtype=np.uint64))

    def __add__(self, other: "TaskResult") -> "TaskResult":
        """Two parts of one task (contiguous seeds) as one: counts and distributions add."""
        distributions = (self.distributions + other.distributions
                         if self.distributions is not None and other.distributions is not None
                         else self.distributions or other.distributions)
        first = min(self.task.first_seed, other.task.first_seed)
        task = replace(self.task, first_seed=first,
                       histories=self.task.histories + other.task.histories)
        return TaskResult(task, self.counts + other.counts, self.seconds + other.seconds,
                          self.threads or other.threads, self.messages + other.messages,
                          distributions)


def available_cores() -> int:
    return len(os.sched_getaffinity(0))


def run_task(task: Task) -> TaskResult:
    """Runs one task in this process: one runnerStudy call on the task's threads (one per core
    by default). The runner prints nothing; its warnings become the result's messages."""
    inputs = engine_inputs(task.model, task.cut_sets)
    threads = task.threads or available_cores()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        started = time.perf_counter()
        try:
            runner = (tarvo.runnerCalendarStudy if "calendar" in inputs.extra
                      else tarvo.runnerStudy)
            figures = runner(inputs.laws, inputs.tree, inputs.steps, task.histories,
                             task.first_seed, threads, inputs.steps_per_unit, **inputs.extra)
        except RuntimeError as error:
            # A model the reader let through can still cycle through transitions of zero
            # delay at a coarse resolution: that is the model's fault, said in one line.
            if str(error).startswith(_STUCK):
                raise ModelError(f"the model cannot be simulated at resolution"
                                 f" {inputs.steps_per_unit}: {error} Give the laws longer"
                                 " delays, or raise study.resolution") from None
            raise
        seconds = time.perf_counter() - started
    messages = tuple(str(w.message) for w in caught if issubclass(w.category, RuntimeWarning))
    return TaskResult(task, figures["failed_steps_per_unit"], seconds, threads, messages,
                      Distributions.from_runner(figures))


class Executor(ABC):
    """Runs tasks and yields their results as they finish."""

    @abstractmethod
    def run(self, tasks: Sequence[Task]) -> Iterator[TaskResult]:
        """Yields one result per task, in any order. Closing the iterator early cancels the
        tasks not yet started."""

    def each(self, tasks: Sequence[Task], progress: Callable[[int], None]
             ) -> Iterator[TaskResult]:
        """`run`, calling `progress(histories)` as histories finish: for every task before its
        result is yielded. An executor that runs a task in parts overrides it to report each
        part, so a progress bar moves while long tasks run."""
        results = self.run(tasks)
        try:
            for result in results:
                progress(result.task.histories)
                yield result
        finally:
            close = getattr(results, "close", None)
            if close:
                close()


class InProcessExecutor(Executor):
    """Runs the tasks one after the other in this process (each call uses all its threads)."""

    def run(self, tasks: Sequence[Task]) -> Iterator[TaskResult]:
        for task in tasks:
            yield run_task(task)


@contextmanager
def engine_output_captured() -> Iterator[list[str]]:
    """Collects what native code writes on file descriptor 1 inside the block.

    The runners print on the C++ stream, below Python's sys.stdout, so the descriptor itself is
    redirected into a temporary file. The list is filled with the lines when the block ends.
    """
    lines: list[str] = []
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with tempfile.TemporaryFile(mode="w+b") as sink:
            os.dup2(sink.fileno(), 1)
            try:
                yield lines
            finally:
                os.dup2(saved, 1)
                sink.seek(0)
                lines.extend(sink.read().decode(errors="replace").splitlines())
    finally:
        os.close(saved)


class EngineMessages:
    """Passes engine messages on, each kind once: lines of the same kind (a warning printed by
    thousands of histories, with other numbers each time) are counted, not repeated. The kind is
    the text before the first colon, since the threads' lines may come out interleaved."""

    def __init__(self, stream: TextIO | None = None):
        self.stream = stream
        self.repeats: Counter[str] = Counter()

    def add(self, messages: Iterable[str]) -> None:
        for line in messages:
            shape = re.sub(r"[-+]?\d[\d.e+-]*", "#", line.split(":", 1)[0])
            if shape not in self.repeats:
                print(f"engine: {line}", file=self.stream or sys.stderr, flush=True)
            self.repeats[shape] += 1

    def finish(self) -> None:
        more = sum(count - 1 for count in self.repeats.values())
        if more:
            print(f"engine: ({more:,} more lines like the ones above)",
                  file=self.stream or sys.stderr, flush=True)
