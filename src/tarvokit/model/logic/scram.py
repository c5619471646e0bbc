"""SCRAM run as a bounded process (time, memory, a temporary folder that goes with it) and its
report read as a stream."""

from __future__ import annotations

import ctypes
import errno
import math
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, Sequence

from ..errors import ModelError, Where
from .cut_sets import MAX_CUT_SETS

# --- SCRAM --------------------------------------------------------------------------------


@dataclass(frozen=True)
class ScramLimits:
    """The most time (seconds of wall clock, and as much processor time) and memory (bytes of
    address space) one SCRAM run may take."""

    seconds: float
    memory: int

    @classmethod
    def from_environment(cls) -> "ScramLimits":
        """TARVO_SCRAM_SECONDS (default 300) and TARVO_SCRAM_MEMORY_MB (default half the
        machine's memory, at most 8 GiB)."""
        machine = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        seconds = _environment_number("TARVO_SCRAM_SECONDS", 300.0)
        megabytes = _environment_number("TARVO_SCRAM_MEMORY_MB",
                                        min(8 * 1024, machine / 2**21))
        return cls(seconds, int(megabytes * 2**20))


def _environment_number(name: str, default: float) -> float:
    text = os.environ.get(name)
    if text is None:
        return default
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise ModelError(f"{name}: expected a positive number, got {text!r}")
    return value


def run_scram(inputs: Sequence[str | Path], components: int, where: Where) -> list[list[str]]:
    """Minimal cut sets (lists of basic-event names) of the one top gate of a MEF model, at most
    MAX_CUT_SETS of them.

    `inputs` are file paths or XML texts. Any rejection by SCRAM becomes a ModelError at `where`.
    """
    with _scram_run(inputs, ["--limit-order", str(max(components, 1))], where) as report:
        return _products(report, where)


def scram_report(inputs: Sequence[str | Path], options: Sequence[str],
                 where: Where) -> ElementTree.Element:
    """SCRAM's XML report (BDD analysis) of a MEF model with extra command-line `options`."""
    with _scram_run(inputs, options, where) as report:
        return ElementTree.parse(report).getroot()


@contextmanager
def _scram_run(inputs: Sequence[str | Path], options: Sequence[str], where: Where,
               limits: ScramLimits | None = None) -> Iterator[str]:
    """Runs SCRAM on `inputs` in a temporary folder and gives the path of its report; the
    process and the folder are gone when the block ends, however it ends."""
    limits = limits or ScramLimits.from_environment()
    program = shutil.which("scram")
    if program is None:
        where.fail("the scram program is needed to find minimal cut sets (scripts/setup.sh"
                   " installs it)")
    remove_stale_scram_folders()
    folder = tempfile.mkdtemp(prefix=f"{_FOLDER_PREFIX}{os.getpid()}-")
    try:
        files = []
        for number, item in enumerate(inputs):
            if isinstance(item, Path):
                files.append(str(item))
            else:
                files.append(os.path.join(folder, f"input{number}.xml"))
                Path(files[-1]).write_text(item)
        report = os.path.join(folder, "report.xml")
        _run_bounded([program, "--bdd", *options, "-o", report, *files], limits, where)
        yield report
    finally:
        shutil.rmtree(folder, ignore_errors=True)


_FOLDER_PREFIX = "tarvo-scram-"
_PR_SET_PDEATHSIG = 1
try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):  # not Linux: SCRAM is still ended on every way out here
    _prctl = None


def _run_bounded(command: list[str], limits: ScramLimits, where: Where) -> None:
    """Runs SCRAM under the limits; fails naming the limit it hit, or SCRAM's own message."""
    parent = os.getpid()
    memory = _within_hard_limit(resource.RLIMIT_AS, limits.memory)
    cpu = _within_hard_limit(resource.RLIMIT_CPU, math.ceil(limits.seconds) + 1)

    def in_child() -> None:  # between fork and exec: no allocation-heavy work here
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu))
        if _prctl is not None:
            _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)  # dies with this process
            if os.getppid() != parent:  # this process died before that took hold
                os._exit(1)

    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, errors="replace",
                               preexec_fn=in_child)
    try:
        try:
            output, errors = process.communicate(timeout=limits.seconds)
        except subprocess.TimeoutExpired:
            where.fail(f"SCRAM did not finish within its time limit of {limits.seconds:g} s"
                       " (TARVO_SCRAM_SECONDS): the logic has too many cut sets to find"
                       " quickly; simplify it or raise the limit")
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
    if process.returncode == 0:
        return
    message = _one_line(errors or output)
    if process.returncode == -signal.SIGXCPU:
        where.fail(f"SCRAM did not finish within its time limit of {cpu} s of processor time"
                   " (TARVO_SCRAM_SECONDS): simplify the logic or raise the limit")
    if process.returncode == -signal.SIGKILL:
        where.fail("SCRAM was ended by SIGKILL: by the system when memory ran out, or at its"
                   f" limit of {cpu} s of processor time (TARVO_SCRAM_SECONDS)")
    if any(sign in message for sign in ("bad_alloc", "allocation failed", "failed to map",
                                        "Cannot allocate", "out of memory")):
        where.fail(f"SCRAM ran out of memory at its limit of {limits.memory / 2**20:,.0f} MB"
                   " (TARVO_SCRAM_MEMORY_MB): the logic has too many cut sets; simplify it or"
                   " raise the limit")
    if process.returncode < 0:
        name = signal.Signals(-process.returncode).name
        where.fail(f"SCRAM ended with {name}{': ' + message if message else ''}")
    where.fail(f"SCRAM rejected it: {message}")


def _within_hard_limit(kind: int, value: int) -> int:
    """`value`, or the process's hard limit of that kind when it is lower (a limit cannot be
    raised past it)."""
    hard = resource.getrlimit(kind)[1]
    return value if hard == resource.RLIM_INFINITY else min(value, hard)


def remove_stale_scram_folders() -> None:
    """Removes the temporary folders of SCRAM runs whose process is gone (a run killed before
    it could clean up). Folders of this user only; those of a live process stay."""
    directory = tempfile.gettempdir()
    try:
        entries = os.listdir(directory)
    except OSError:
        return
    for entry in entries:
        match = re.fullmatch(re.escape(_FOLDER_PREFIX) + r"(\d+)-.*", entry)
        if match is None or _process_alive(int(match.group(1))):
            continue
        folder = os.path.join(directory, entry)
        try:
            if os.stat(folder).st_uid != os.getuid():
                continue
        except OSError:
            continue
        shutil.rmtree(folder, ignore_errors=True)


def _process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    except OSError as error:
        return error.errno != errno.ESRCH
    return True


def _one_line(text: str) -> str:
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def _products(report: str, where: Where) -> list[list[str]]:
    """The products of the report's one sum of products, read as a stream: a report past
    MAX_CUT_SETS products is refused without being held whole."""
    tops: list[str] = []
    products: list[list[str]] = []
    try:
        for _, element in ElementTree.iterparse(report, events=("end",)):
            if element.tag == "product":
                if element.find(".//not") is not None:
                    where.fail("the logic is not coherent (a product has a negated event)")
                products.append([event.get("name", "") for event in element.iter("basic-event")])
                if len(products) > MAX_CUT_SETS:
                    where.fail(f"the logic has more than {MAX_CUT_SETS:,} minimal cut sets, the"
                               " most tarvo takes: split the system or simplify the logic")
                element.clear()
            elif element.tag == "sum-of-products":
                tops.append(element.get("name", "?"))
    except ElementTree.ParseError as error:
        where.fail(f"SCRAM's report could not be read: {error}")
    if len(tops) != 1:
        where.fail(f"expected one top gate, found {', '.join(tops) or 'none'}")
    return products
