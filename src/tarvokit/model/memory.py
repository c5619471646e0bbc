"""How much memory a run of a model needs, estimated from its shape before anything is built.

A model can be valid and still too large to run: a long horizon at a fine resolution, a template
of millions of units, a component of thousands of states (every component is padded to the
largest state count). The reader refuses such a model with the estimate, the machine's memory
and the key responsible, and the planner checks again with the thread count of the run.

The estimate is a sum of parts, each proportional to one dimension of the model, with costs per
element taken from the code that holds them (bench/bench_memory.py prints the estimate beside
the peak memory of real runs):
- the engine's per-thread buffers: a 64-bit sum per time unit and three histograms (failed
  steps, failures, first failure per history) of at most min(steps + 1, 2^23) 64-bit bins;
- time units: the study's sums and the result's per-unit figures (a few 64-bit values each);
- the laws table: components x states^2 law pointers, in the engine and in Python's nested lists;
- components: the model's objects, its description (plain data, sent with every task), the
  engine laws built for each, and the engine's per-thread state of each;
- cut-set members: the model's sets, their names in the description, the engine's tree;
- a fixed base: the interpreter with numpy and the engine module loaded.

The exact answer of a Markov model (`tarvo markov`) is estimated apart: its arrays over the
horizon (the march's products and integrals, the answer's per-unit figures and their copies while
the files are written) and its chain (each state's description, index entry and generator row).
"""

from __future__ import annotations

import os
import re
import resource
from dataclasses import dataclass
from typing import Sequence

MiB = 2**20
GiB = 2**30
BASE_BYTES = 100 * MiB
# Per element, in bytes (see the module's docstring).
UNIT_BYTES_PER_THREAD = 8
HISTOGRAMS_PER_THREAD = 3
HISTOGRAM_BIN_BYTES = 8
HISTOGRAM_BINS_MAX = 2**23
UNIT_BYTES = 128
LAW_ENTRY_BYTES = 40
COMPONENT_BYTES = 4096
COMPONENT_BYTES_PER_THREAD = 64
CUT_SET_MEMBER_BYTES = 128

# The exact answer of a Markov chain (bench/bench_memory.py measures them).
MARKOV_BASE_BYTES = 150 * MiB  # the interpreter with numpy and scipy loaded
MARKOV_UNIT_BYTES = 160
MARKOV_STATE_BYTES = 2048

_UNIT = re.compile(r"(.*)\[\d+\]")


@dataclass(frozen=True)
class Shape:
    """The dimensions of a model that its memory grows with, and the keys that set them."""

    horizon: int
    resolution: int
    components: int
    states: int  # the largest state count, to which every component is padded
    cut_set_members: int = 0
    count_key: str = "components"  # the template with the most units, or "components"
    states_key: str = "components"  # the component with the most states

    @classmethod
    def of(cls, horizon: int, resolution: int, names: Sequence[str],
           states: Sequence[int], cut_set_members: int = 0) -> "Shape":
        """The shape of expanded components (`names` such as pump[3], their state counts)."""
        units: dict[str, int] = {}
        for name in names:
            match = _UNIT.fullmatch(name)
            template = match.group(1) if match else name
            units[template] = units.get(template, 0) + 1
        largest = max(units, key=units.__getitem__, default=None)
        widest = max(range(len(names)), key=states.__getitem__, default=None)
        return cls(horizon, resolution, len(names), max(states, default=2), cut_set_members,
                   f"components.{largest}.count" if largest and units[largest] > 1
                   else "components",
                   f"components.{_template_of(names[widest])}.states" if widest is not None
                   else "components")

    @property
    def steps(self) -> int:
        return self.horizon * self.resolution


def _template_of(name: str) -> str:
    match = _UNIT.fullmatch(name)
    return match.group(1) if match else name


@dataclass(frozen=True)
class Part:
    what: str
    bytes: int
    key: str  # the key path whose value this part grows with


@dataclass(frozen=True)
class Estimate:
    parts: tuple[Part, ...]
    threads: int

    @property
    def total(self) -> int:
        return BASE_BYTES + sum(part.bytes for part in self.parts)

    @property
    def largest(self) -> Part:
        return max(self.parts, key=lambda part: part.bytes)


def estimate(shape: Shape, threads: int) -> Estimate:
    """The memory of a run of a model of this shape on `threads` worker threads."""
    sums = shape.horizon * UNIT_BYTES_PER_THREAD
    histograms = HISTOGRAMS_PER_THREAD * HISTOGRAM_BIN_BYTES * min(shape.steps + 1,
                                                                   HISTOGRAM_BINS_MAX)
    return Estimate((
        Part("per-thread sums and histograms", threads * (sums + histograms),
             "study.horizon" if sums >= histograms else "study.resolution"),
        Part("time units", shape.horizon * UNIT_BYTES, "study.horizon"),
        Part("laws table", shape.components * shape.states**2 * LAW_ENTRY_BYTES,
             shape.states_key if shape.states > 2 else shape.count_key),
        Part("components",
             shape.components * (COMPONENT_BYTES + COMPONENT_BYTES_PER_THREAD * threads),
             shape.count_key),
        Part("cut sets", shape.cut_set_members * CUT_SET_MEMBER_BYTES, "system"),
    ), threads)


def default_threads() -> int:
    """The threads a run uses when none are given: one per core this process may run on."""
    return len(os.sched_getaffinity(0))


def available_memory() -> tuple[int, str]:
    """The memory this process may use, and what limits it: the machine's physical memory, or
    the process's address-space limit when that is lower."""
    machine = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    limit, _ = resource.getrlimit(resource.RLIMIT_AS)
    if limit != resource.RLIM_INFINITY and limit < machine:
        return limit, f"this process may use {size_text(limit)} (its memory limit)"
    return machine, f"this machine has {size_text(machine)}"


def size_text(size: int) -> str:
    """'35 MB', '1.4 GB', '55 GB' (decimal units: an estimate, not an exact count)."""
    for unit, scale in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6)):
        if size >= scale:
            return f"{size / scale:.2g} {unit}" if size < 10 * scale else f"{size / scale:.0f} {unit}"
    return f"{size / 1e3:.0f} kB"


def refusal(shape: Shape, threads: int) -> tuple[str, str] | None:
    """(the key responsible, the message) when a run on `threads` threads would not fit in the
    memory available, else None."""
    run = estimate(shape, threads)
    available, what = available_memory()
    if run.total <= available:
        return None
    part = run.largest
    large = _large_count
    cause = {
        "per-thread sums and histograms": f"a horizon of {large(shape.horizon)} time units"
                                          f" at resolution {large(shape.resolution)} on"
                                          f" {threads} thread{'s' if threads != 1 else ''}",
        "time units": f"a horizon of {large(shape.horizon)} time units",
        "laws table": f"{large(shape.components)} components padded to {large(shape.states)}"
                      " states (every component gets as many states as the largest)",
        "components": f"{large(shape.components)} components",
        "cut sets": f"{large(shape.cut_set_members)} cut-set members",
    }[part.what]
    return part.key, (f"{cause}: a run needs {about(run.total)} ({about(part.bytes)} for the"
                      f" {part.what} alone), but {what}")


def about(size: int) -> str:
    """'about 35 MB', or 'more than 1,000 TB' for sizes past any machine."""
    return "more than 1,000 TB" if size >= 10**15 else f"about {size_text(size)}"


def _large_count(value: int) -> str:
    return f"{value:,}" if value < 10**15 else "more than 10^15"


def summary_line(shape: Shape, threads: int) -> str:
    """One line for `tarvo check`: the estimate of a run, and the memory available."""
    run = estimate(shape, threads)
    _, what = available_memory()
    return (f"Memory: a run on {threads} thread{'s' if threads != 1 else ''} needs"
            f" {about(run.total)} (estimated); {what}")


def markov_estimate(horizon: int, states: int) -> int:
    """The memory of the exact answer of a chain of `states` states over `horizon` units."""
    return MARKOV_BASE_BYTES + horizon * MARKOV_UNIT_BYTES + states * MARKOV_STATE_BYTES


def markov_refusal(horizon: int, states: int) -> tuple[str, str] | None:
    """(the key responsible, the message) when the exact answer of a chain of `states` states
    over `horizon` time units would not fit in the memory available, else None."""
    total = markov_estimate(horizon, states)
    available, what = available_memory()
    if total <= available:
        return None
    by_horizon = horizon * MARKOV_UNIT_BYTES >= states * MARKOV_STATE_BYTES
    cause = (f"a horizon of {_large_count(horizon)} time units" if by_horizon
             else f"a Markov chain of {_large_count(states)} states")
    return ("study.horizon" if by_horizon else "components",
            f"{cause}: the exact answer needs {about(total)}, but {what}")
