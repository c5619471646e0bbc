"""Planning a study's runs: sub-batches, the precision target, progress and interruption.

History i of a study with seed S uses seed S + i. The histories are run in contiguous
sub-batches, each one task (engine/tasks.py), so that together they are exactly the histories of
one runner call with seed S, and their counts add up to that call's.

A single run's intervals come from its histories themselves (the engine keeps their exact
distributions), so its sub-batches only need to be few: every runner call has a fixed cost. The
first is small and measures the speed; the rest are cut into calls of about TASK_SECONDS, so that
Ctrl-C, which stops after the running call, loses little. With a precision target the planner
adds rounds, each sized from the interval so far (the histories it should need, never fewer than
a floor per call), until the 95% interval of the chosen measure is within +-precision of it
(relative) or the maximum number of histories is reached. Ctrl-C raises StudyInterrupted, which
carries the result of the sub-batches that finished.

Paired studies (importance, sweeps) run several models or logics on the same seeds in the same
sub-batches, whose paired means give the intervals of their differences: `run_paired`, one run
after the other through the same planner, with a fixed number of equal sub-batches.
"""

from __future__ import annotations

import math
import signal
import sys
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass, replace
from datetime import datetime, timezone
from typing import Iterator, Sequence

import numpy as np

from .._version import package_version
from ..data.result import Batch, Result
from ..data.stats import split_evenly
from ..engine.outputs import Distributions
from ..data.logistics import batch_cost
from ..engine.tasks import EngineMessages, Executor, Task, TaskResult, available_cores
from ..model.reading import Model
from .options import DEFAULT_BATCHES, PRECISION_MEASURES, RunOptions

# When the target is not met, plan this much more than the estimate of what is missing, so
# that one more round usually suffices.
_ROUND_MARGIN = 1.2
# A single run: the first call's histories (at most), and the runner time of the calls after it.
FIRST_TASK_HISTORIES = 2_000
TASK_SECONDS = 2.0
# No call of a precision round is smaller than this: below it the fixed cost of a call shows.
MIN_TASK_HISTORIES = 1_000



class StudyInterrupted(KeyboardInterrupt):
    """Ctrl-C during a study. `result` holds the finished sub-batches (None if none finished);
    `done` counts the histories they ran."""

    def __init__(self, result: Result | None, done: int, planned: int):
        super().__init__(f"interrupted after {done:,} of {planned:,} histories")
        self.result, self.done, self.planned = result, done, planned


@dataclass(frozen=True)
class PlannedRun:
    """One run of a paired study: a model, an optional logic override, a progress label, and
    an optional description that replaces the model's (a variant of it for the engine)."""

    model: Model
    cut_sets: tuple[tuple[int | str, ...], ...] | None = None
    label: str | None = None
    description: dict | None = None

    def engine_description(self) -> dict:
        return self.description if self.description is not None else self.model.description


class _Accumulator:
    """Merges task results into the counts and sub-batch records of a Result; `base`, a
    result being resumed, is merged into every result it gives."""

    def __init__(self, run: PlannedRun, base: Result | None = None):
        self.run, self.base = run, base
        self.counts = np.zeros(run.model.horizon, dtype=np.uint64)
        self.batches: list[Batch] = []
        self.threads: int | None = None
        self.distributions: Distributions | None = None
        self.runner_seconds = 0.0

    def add(self, result: TaskResult) -> None:
        self.counts += result.counts
        production = result.distributions.production if result.distributions else None
        self.batches.append(Batch(result.task.first_seed, result.task.histories,
                                  result.failed_steps, result.seconds,
                                  None if production is None else production.lost_sum,
                                  batch_cost(result)))
        self.threads = result.threads or self.threads
        if result.distributions is not None:
            self.distributions = (result.distributions if self.distributions is None
                                  else self.distributions + result.distributions)
        self.runner_seconds += result.seconds

    @property
    def histories(self) -> int:
        return sum(b.histories for b in self.batches)

    def result(self, seconds: float, precision: float | None = None,
               precision_met: bool | None = None, interrupted: bool = False) -> Result:
        model = self.run.model
        # Every law draws from the history's own generator (Maintenance runs as Discrete).
        result = Result(self.run.engine_description(), self.counts.copy(), tuple(self.batches),
                        seconds, self.threads, True, precision, precision_met,
                        interrupted, self.run.cut_sets,
                        model_path=None if model.source.startswith("<") else model.source,
                        created=datetime.now(timezone.utc).isoformat(timespec="seconds"),
                        version=package_version(), distributions=self.distributions)
        if self.base is None:
            return result
        # The whole is as finished as this call left it: a resume that runs what an interrupted
        # run missed completes it.
        return replace(self.base.merge(result), interrupted=interrupted, precision=precision,
                       precision_met=precision_met, created=result.created,
                       version=result.version)

    def speed(self) -> float:
        """Histories per second of runner time so far."""
        return self.histories / self.runner_seconds if self.runner_seconds > 0 else math.inf


def run_study(run: PlannedRun, options: RunOptions, paired: bool = False,
              resume: Result | None = None) -> Result:
    """Runs options.histories histories (seeds seed, seed + 1, ...) of one model, adding rounds
    for a precision target; StudyInterrupted on Ctrl-C. `paired`: in options.batches equal
    sub-batches (20 by default), the same for every run of the same options. `resume`: a
    result of the same model that the run continues; every result given (the final one, the
    partial one of an interruption) holds it, and a precision target applies to the whole
    (max_histories counts the histories this call adds)."""
    options = options.checked()
    run.model.refuse_if_too_large(options.threads or available_cores())
    executor = options.runner()
    accumulator = _Accumulator(run, resume)
    messages = EngineMessages()
    started = time.perf_counter()
    next_seed, met = options.seed, None
    measure = options.precision_measure or PRECISION_MEASURES[0]
    with _progress_bar(options, run.label) as bar, _interrupt_flag() as interrupted:
        planned = _first_round(options, paired)
        while planned:
            next_seed = _run_round(run, options, executor, accumulator, messages, planned,
                                   next_seed, bar, interrupted, started)
            if len(planned) == 1 and not paired and options.precision is None \
                    and accumulator.histories < options.histories:
                planned = _calls(options.histories - accumulator.histories, accumulator)
            elif options.precision is None or paired:
                planned = []
            else:
                whole = accumulator.result(0.0)
                current = _relative_half_width(whole, measure)
                met = current <= options.precision
                planned = [] if met else _calls(_next_round(
                    current, options.precision, whole.histories, accumulator.histories,
                    options.max_histories), accumulator)
            bar.total = max(bar.total, accumulator.histories + sum(planned))
            bar.refresh()
    messages.finish()
    result = accumulator.result(time.perf_counter() - started, options.precision, met)
    return replace(result, precision_measure=measure) if options.precision is not None \
        else result


def _first_round(options: RunOptions, paired: bool) -> list[int]:
    if paired:
        sizes = split_evenly(options.histories, min(options.batches or DEFAULT_BATCHES,
                                                    options.histories))
        if len(sizes) < 2:
            raise ValueError("batches must be at least 2: paired intervals need them")
        return sizes
    return [min(options.histories, FIRST_TASK_HISTORIES)]


def _calls(histories: int, accumulator: "_Accumulator") -> list[int]:
    """`histories` cut into calls of about TASK_SECONDS at the speed measured so far."""
    if histories <= 0:
        return []
    per_call = max(MIN_TASK_HISTORIES, int(accumulator.speed() * TASK_SECONDS)
                   if math.isfinite(accumulator.speed()) else histories)
    return split_evenly(histories, max(1, math.ceil(histories / per_call)))


def _run_round(run: PlannedRun, options: RunOptions, executor: Executor,
               accumulator: "_Accumulator", messages: EngineMessages, sizes: list[int],
               next_seed: int, bar, interrupted, started: float) -> int:
    """Runs one round of sub-batches; returns the next unused seed."""
    tasks = []
    for size in sizes:
        tasks.append(Task(run.engine_description(), next_seed, size, options.threads,
                          run.cut_sets))
        next_seed += size
    try:
        for result in _each(executor, tasks, bar.update):
            accumulator.add(result)
            messages.add(result.messages)
            # A Ctrl-C during the last sub-batch of a run without a target stops nothing.
            if interrupted() and (options.precision is not None
                                  or accumulator.histories < options.histories):
                raise KeyboardInterrupt
    except KeyboardInterrupt:
        # The flag after a sub-batch, or a second Ctrl-C that stopped the running one.
        messages.finish()
        partial = (accumulator.result(time.perf_counter() - started, options.precision, False,
                                      interrupted=True)
                   if accumulator.batches else None)
        raise StudyInterrupted(partial, accumulator.histories, bar.total) from None
    return next_seed


def _relative_half_width(result: Result, measure: str) -> float:
    if measure == "mean_unavailability":
        return result.mean().relative_half_width
    found = result.measures()
    if measure == "reliability":  # the interval of the chance of a failure, 1 - reliability
        interval = found.reliability
        unreliability = 1.0 - interval.estimate
        return interval.half_width / unreliability if unreliability > 0 else math.inf
    interval = getattr(found, measure)
    return interval.relative_half_width if interval.estimate == interval.estimate else math.inf


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
            result = run_study(run, options, paired=True)
        except StudyInterrupted as interruption:
            raise KeyboardInterrupt(f"{what} {number} of {len(runs)} {interruption}") from None
        results.append(result)
        seconds += result.seconds
    return results, seconds


class _RoundLines:
    """Progress where standard error is not a terminal (a log file, a pipe): a bar's redraws
    would pile up there as lines, so one line per round of sub-batches instead."""

    def __init__(self, total: int, label: str | None):
        self.total, self.label, self.done = total, label, 0
        self.started = time.perf_counter()

    def __enter__(self) -> "_RoundLines":
        return self

    def __exit__(self, *exc) -> None:
        pass

    def update(self, histories: int) -> None:
        self.done += histories

    def refresh(self) -> None:
        label = f"{self.label}: " if self.label else ""
        print(f"{label}{self.done:,} of {self.total:,} histories done in"
              f" {time.perf_counter() - self.started:.1f} s", file=sys.stderr, flush=True)


def _progress_bar(options: RunOptions, label: str | None):
    from tqdm import tqdm

    if options.progress and not _is_terminal(sys.stderr):
        return _RoundLines(options.histories, label)
    return tqdm(total=options.histories, desc=label, unit=" histories", file=sys.stderr,
                disable=not options.progress, unit_scale=True, dynamic_ncols=True)


def _is_terminal(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _each(executor: Executor, tasks: list[Task], progress) -> Iterator[TaskResult]:
    results = executor.each(tasks, progress)
    try:
        yield from results
    finally:
        close = getattr(results, "close", None)
        if close:
            close()


def _next_round(relative_half_width: float, precision: float, done: int, run_here: int,
                maximum: int) -> int:
    """The histories to add so that the interval of `done` histories should come within the
    target: its width shrinks as 1 / sqrt(histories). At least half what was run (an estimate
    from few histories is rough), at most what is left of `maximum` after the `run_here`
    histories this call ran."""
    if run_here >= maximum:
        return 0
    if math.isinf(relative_half_width):  # no failure seen yet: double what was run
        wanted = done
    else:
        wanted = math.ceil(done * ((relative_half_width / precision) ** 2 * _ROUND_MARGIN - 1))
    return min(max(wanted, done // 2, MIN_TASK_HISTORIES), maximum - run_here)


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
