"""Unavailability estimates with confidence intervals from tarvo's batch runners.

A batch runner returns, for every time unit, the number of failed histories. Histories are
independent, so one time unit's count is binomial and gets a Wilson score interval. A mean over
many time units is different: it averages each history's fraction of failed time, and the time
units of one history are correlated, which the summed counts cannot show. The histories are
therefore run in independent sub-batches (disjoint seed ranges), and the spread of the sub-batch
means gives that interval (the method of batch means, with Student's t).

Shared by the examples; the examples' tests import it too.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import sys
import tempfile
import time
from contextlib import contextmanager
from dataclasses import dataclass
from statistics import NormalDist
from typing import Callable, Iterator, Sequence

import numpy as np

import tarvo

CONFIDENCE = 0.95
DEFAULT_BATCHES = 20

# Lines the runners print for every call; anything else the engine prints (its warnings) is
# passed on.
_RUNNER_CHATTER = re.compile(
    r"^(Simulation \d+ done\.|All Simulations Done\.|Numero de threads disponiveis: \d+)$")
_THREAD_LINE = re.compile(r"^Numero de threads disponiveis: (\d+)$", re.MULTILINE)


@dataclass(frozen=True)
class Interval:
    """A point estimate with a two-sided confidence interval; `standard_error` is the estimate's."""

    estimate: float
    low: float
    high: float
    standard_error: float

    def scaled(self, factor: float) -> "Interval":
        return Interval(self.estimate * factor, self.low * factor, self.high * factor,
                        self.standard_error * factor)

    def contains(self, value: float) -> bool:
        return self.low <= value <= self.high

    def deviation(self, value: float) -> float:
        """How many standard errors `value` lies from the estimate (signed: value above is +)."""
        if self.standard_error == 0.0:
            return 0.0 if value == self.estimate else math.copysign(math.inf, value - self.estimate)
        return (value - self.estimate) / self.standard_error


def normal_quantile(probability: float) -> float:
    return NormalDist().inv_cdf(probability)


def student_t_quantile(probability: float, degrees_of_freedom: int) -> float:
    """Quantile of Student's t distribution.

    Exact for 1 and 2 degrees of freedom; from 3 on, the Cornish-Fisher expansion in 1/df
    (Abramowitz and Stegun 26.7.5): for the 97.5% quantile within 0.13% of the exact value at 3
    degrees of freedom, and within 1e-6 at the 19 that 20 sub-batches give.
    """
    if degrees_of_freedom < 1:
        raise ValueError("Student's t needs at least one degree of freedom")
    if degrees_of_freedom == 1:
        return math.tan(math.pi * (probability - 0.5))
    if degrees_of_freedom == 2:
        return (2 * probability - 1) / math.sqrt(2 * probability * (1 - probability))
    z = normal_quantile(probability)
    n = float(degrees_of_freedom)
    g1 = (z**3 + z) / 4
    g2 = (5 * z**5 + 16 * z**3 + 3 * z) / 96
    g3 = (3 * z**7 + 19 * z**5 + 17 * z**3 - 15 * z) / 384
    g4 = (79 * z**9 + 776 * z**7 + 1482 * z**5 - 1920 * z**3 - 945 * z) / 92160
    return z + g1 / n + g2 / n**2 + g3 / n**3 + g4 / n**4


def wilson_bounds(failed: np.ndarray | int, histories: int,
                  confidence: float = CONFIDENCE) -> tuple[np.ndarray, np.ndarray]:
    """Wilson score interval of a binomial proportion, element-wise over `failed` counts.

    Chosen over the normal approximation because it stays inside [0, 1] and keeps its coverage
    for proportions near 0 or 1, which availability studies are full of.
    """
    z = normal_quantile(0.5 + confidence / 2)
    p = np.asarray(failed, dtype=float) / histories
    denominator = 1 + z * z / histories
    centre = (p + z * z / (2 * histories)) / denominator
    half = z * np.sqrt(p * (1 - p) / histories + z * z / (4 * histories * histories)) / denominator
    return np.clip(centre - half, 0.0, 1.0), np.clip(centre + half, 0.0, 1.0)


def split_evenly(total: int, parts: int) -> list[int]:
    """`parts` sizes adding up to `total`, differing by at most one."""
    base, extra = divmod(total, parts)
    return [base + 1 if i < extra else base for i in range(parts)]


@dataclass(frozen=True)
class BatchedRun:
    """Counts of failed histories per time unit, kept per sub-batch."""

    batch_sizes: np.ndarray  # histories in each sub-batch
    counts: np.ndarray  # shape (sub-batches, time units): failed histories in each sub-batch
    seconds: float  # wall-clock time spent inside the runner calls
    threads: int | None  # worker threads the parallel runner reported, None for the serial one

    @property
    def histories(self) -> int:
        return int(self.batch_sizes.sum())

    @property
    def failed(self) -> np.ndarray:
        """Failed histories per time unit, over all sub-batches: the runner's own result."""
        return self.counts.sum(axis=0)

    @property
    def unavailability(self) -> np.ndarray:
        return self.failed / self.histories

    @property
    def histories_per_second(self) -> float:
        return self.histories / self.seconds if self.seconds > 0 else math.inf

    @property
    def workers(self) -> str:
        """'2 threads', '1 thread', or 'the calling thread' for the serial runner."""
        if self.threads is None:
            return "the calling thread"
        return f"{self.threads} thread{'' if self.threads == 1 else 's'}"

    def band(self, confidence: float = CONFIDENCE) -> tuple[np.ndarray, np.ndarray]:
        """Pointwise Wilson interval of the unavailability of every time unit."""
        return wilson_bounds(self.failed, self.histories, confidence)

    def at(self, time_unit: int, confidence: float = CONFIDENCE) -> Interval:
        """Unavailability during one time unit."""
        failed = int(self.failed[time_unit])
        low, high = wilson_bounds(failed, self.histories, confidence)
        p = failed / self.histories
        return Interval(p, float(low), float(high), math.sqrt(p * (1 - p) / self.histories))

    def mean(self, start: int = 0, stop: int | None = None,
             confidence: float = CONFIDENCE) -> Interval:
        """Mean unavailability over the time units [start, stop), by batch means.

        Each sub-batch b of m_b histories gives an independent mean A_b. With A the overall mean,
        s^2 = sum m_b (A_b - A)^2 / (B - 1) estimates the variance of one history's fraction of
        failed time, so A has standard error sqrt(s^2 / N) with B - 1 degrees of freedom.
        """
        stop = self.counts.shape[1] if stop is None else stop
        if not 0 <= start < stop <= self.counts.shape[1]:
            raise ValueError(f"empty or out-of-range window [{start}, {stop})")
        batches = len(self.batch_sizes)
        if batches < 2:
            raise ValueError("an interval by batch means needs at least two sub-batches")
        width = stop - start
        failed_time = self.counts[:, start:stop].sum(axis=1)
        batch_means = failed_time / (self.batch_sizes * width)
        overall = failed_time.sum() / (self.histories * width)
        spread = float(np.sum(self.batch_sizes * (batch_means - overall) ** 2)) / (batches - 1)
        standard_error = math.sqrt(spread / self.histories)
        half = student_t_quantile(0.5 + confidence / 2, batches - 1) * standard_error
        return Interval(float(overall), max(0.0, overall - half), min(1.0, overall + half),
                        standard_error)


@contextmanager
def engine_output_captured() -> Iterator[list[str]]:
    """Collects what native code writes on the process's standard output inside the block.

    The runners print on the C++ stream, below Python's sys.stdout, so the file descriptor itself
    is redirected. The list is filled with the captured lines when the block ends.
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


Runner = Callable[..., Sequence[int]]


def run_batches(runner: Runner, histories: int, sim_time: int, model, tree, seed: int,
                batches: int = DEFAULT_BATCHES,
                progress: Callable[[str], None] | None = None) -> BatchedRun:
    """Runs `histories` histories as `batches` runner calls on consecutive seed ranges.

    Sub-batch b starts at the seed where b - 1 ended, so together they run exactly the histories
    seed, seed + 1, ..., seed + histories - 1 that one call would: the summed counts equal that
    call's result (except with Maintenance laws, whose draws come from the C library's shared
    generator and are not reproducible). The runners' own progress lines, one set per call, are
    replaced by one `progress` line per sub-batch; other engine output is passed on to stderr.
    """
    if histories < 2:
        raise ValueError("at least two histories are needed for a confidence interval")
    if not 0 <= seed <= 2**31 - 1 - histories:
        raise ValueError(f"the seeds seed..seed+{histories - 1} must be non-negative 32-bit ints")
    sizes = split_evenly(histories, min(batches, histories))
    counts = np.zeros((len(sizes), sim_time), dtype=np.int64)
    threads = None
    seconds = 0.0
    first_seed = seed
    for b, size in enumerate(sizes):
        with engine_output_captured() as engine_lines:
            started = time.perf_counter()
            result = runner(size, sim_time, model, tree, first_seed)
            seconds += time.perf_counter() - started
        threads = _reported_threads(engine_lines) or threads
        _pass_on_engine_messages(engine_lines)
        if len(result) != sim_time:
            raise RuntimeError(f"the runner returned {len(result)} values instead of {sim_time}"
                               " (it could not allocate its buffers)")
        counts[b] = result
        first_seed += size
        if progress is not None:
            done = sum(sizes[: b + 1])
            progress(f"  {done:>9,} of {histories:,} histories simulated"
                     f"  ({seconds:.1f} s, batch {b + 1} of {len(sizes)})")
    return BatchedRun(np.array(sizes, dtype=np.int64), counts, seconds, threads)


def _reported_threads(engine_lines: list[str]) -> int | None:
    match = _THREAD_LINE.search("\n".join(engine_lines))
    return int(match.group(1)) if match else None


def _pass_on_engine_messages(engine_lines: list[str]) -> None:
    for line in engine_lines:
        if line and not _RUNNER_CHATTER.match(line):
            print(f"engine: {line}", file=sys.stderr)


def run_options(description: str, default_histories: int) -> argparse.ArgumentParser:
    """A parser with the options every example takes: --histories, --threads, --seed, --batches."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--histories", type=int, default=default_histories,
                        help=f"number of histories (default {default_histories})")
    parser.add_argument("--threads", type=int, default=None,
                        help="worker threads of the parallel runner (default: one per core)")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed of the first history; history i uses seed + i (default 1)")
    parser.add_argument("--batches", type=int, default=DEFAULT_BATCHES,
                        help="independent sub-batches for the intervals of means"
                             f" (default {DEFAULT_BATCHES})")
    return parser


def parse_run_options(parser: argparse.ArgumentParser,
                      argv: Sequence[str] | None) -> argparse.Namespace:
    """Parses and checks the options; --threads then applies to every later parallel run."""
    arguments = parser.parse_args(argv)
    if arguments.batches < 2 or arguments.histories < arguments.batches:
        parser.error("--batches must be at least 2 and --histories at least --batches")
    if arguments.threads is not None:
        if arguments.threads < 1:
            parser.error("--threads must be at least 1")
        tarvo.limitOMPThreads(arguments.threads)
    return arguments


def percent(value: float, digits: int = 3) -> str:
    return f"{100 * value:.{digits}f} %"


def interval_text(interval: Interval, digits: int = 3, as_percent: bool = True) -> str:
    """'1.234 %  [1.200 %, 1.270 %]' or the same with plain numbers."""
    show = (lambda v: percent(v, digits)) if as_percent else (lambda v: f"{v:.{digits}f}")
    return f"{show(interval.estimate)}  [{show(interval.low)}, {show(interval.high)}]"
