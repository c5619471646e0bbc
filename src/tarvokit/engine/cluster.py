"""Studies on a Dask cluster: the same tasks, run by Dask's worker processes on many machines.

`DaskExecutor` plugs into the execution seam (execution.py). It lays the planner's tasks out
in seed order and cuts them into chunks of contiguous seeds (a large task over several chunks,
small tasks sharing one), hands the chunks to a `distributed.Client`, and adds each task's parts
up into the task's result, yielded when its last part is in. A part is itself a Task (plain
data: the model's description, its first seed and histories), so the worker rebuilds the model
from the description and makes one runnerStudy call per part with all of its threads.
Counts add modulo 2^32 whatever the cut or the order of completion, so a study's counts equal
one runner call over the same seeds on one machine bit for bit, and its sub-batches are those
of a run in process.

Dask does the scheduling, transport and fault handling; this module only decides what a chunk
is and keeps a small window of chunks in flight:
- Chunk size. Every chunk pays a fixed scheduling cost (a few milliseconds on one machine, more
  across a network), so a chunk should run for about CHUNK_SECONDS of runner time, which keeps
  that cost well below 5% of the run. The runner's speed is not known beforehand: the first
  chunks are small, later ones are sized from the measured histories per runner-second.
- Window. CHUNKS_IN_FLIGHT_PER_WORKER chunks per worker are submitted at a time, in seed order:
  one running and one waiting, so no worker idles during the round trip, and few enough that
  tasks finish one after the other and little is lost to a Ctrl-C.
- Faults. A worker process that dies has its chunks recomputed by Dask on another worker (the
  same seeds, so the same counts). An exception in a chunk (a model the engine rejects) reaches
  the caller with its own type and message, and every other chunk in flight is cancelled, as
  they are on Ctrl-C and when the planner closes the iterator early (a study that stops).

The runners hold the interpreter lock for a whole call, so a worker process runs one chunk at a
time: a second thread of the same worker would only wait, and would share the process's standard
output, which each call redirects while it runs.

Dask is an optional dependency (`pip install tarvo[distributed]`); asking for a cluster without
it raises ClusterError with that hint.
"""

from __future__ import annotations

import logging
import math
import re
import signal
import socket
import threading
from contextlib import contextmanager
from dataclasses import replace
from typing import TYPE_CHECKING, Any, Callable, Iterator, Sequence

from .tasks import Executor, Task, TaskResult, available_cores, run_task

if TYPE_CHECKING:
    from distributed import Client

CONNECT_TIMEOUT_SECONDS = 10.0
PROBE_SECONDS = 3.0
CHUNK_SECONDS = 1.0
FIRST_CHUNK_HISTORIES = 100
CHUNKS_IN_FLIGHT_PER_WORKER = 2
_INSTALL_HINT = "pip install 'tarvo[distributed]'"


class ClusterError(RuntimeError):
    """A cluster cannot be used: Dask is missing or the scheduler cannot be reached. One line."""


def _distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ClusterError(f"running on a Dask cluster needs the distributed package:"
                           f" {_INSTALL_HINT}") from None
    return distributed


def connect(address: str, timeout: float = CONNECT_TIMEOUT_SECONDS) -> "Client":
    """A client of the Dask scheduler at `address` (such as tcp://10.0.0.5:8786).

    Raises ClusterError if no scheduler answers within `timeout` seconds.
    """
    distributed = _distributed()
    _probe(address, min(timeout, PROBE_SECONDS))
    try:
        return distributed.Client(address, timeout=timeout)
    except Exception as error:  # refused, timed out, malformed address, not a scheduler
        reason = " ".join(str(error).split()) or type(error).__name__
        detail = "" if reason.startswith("Timed out") else f" ({reason})"
        raise ClusterError(f"cannot reach the Dask scheduler at {address} within"
                           f" {timeout:g} s{detail}") from None


def _probe(address: str, timeout: float) -> None:
    """ClusterError unless a Dask scheduler listens at a tcp:// address.

    A scheduler greets every connection with its handshake, which names the compression it
    offers. Dask's own client waits without end on a server that says nothing (an HTTP server)
    and takes the greeting of another protocol (an SSH server's) for the length of a message it
    cannot allocate; both deserve a plain answer. Other schemes (tls://, ...) are left to Dask.
    """
    match = re.fullmatch(r"(?:tcp://)?\[?([^\]/]+?)\]?:(\d+)/?", address.strip())
    if match is None:
        return
    host, port = match.group(1), int(match.group(2))
    greeting = b""
    try:
        probe = socket.create_connection((host, port), timeout=timeout)
    except socket.timeout:
        raise ClusterError(f"cannot reach the Dask scheduler at {address} within"
                           f" {timeout:g} s") from None
    except OSError as error:
        raise ClusterError(f"cannot reach the Dask scheduler at {address}:"
                           f" {error.strerror or error}") from None
    try:
        with probe:
            probe.settimeout(timeout)
            while b"compression" not in greeting and len(greeting) < 256:
                chunk = probe.recv(256)
                if not chunk:
                    break
                greeting += chunk
    except socket.timeout:
        pass  # judged on what came before the silence
    except OSError as error:
        raise ClusterError(f"cannot reach the Dask scheduler at {address}:"
                           f" {error.strerror or error}") from None
    if not greeting:
        raise ClusterError(f"{address} is not a Dask scheduler: it accepted the connection but"
                           f" sent no greeting within {timeout:g} s (another kind of server?)")
    if b"compression" not in greeting:
        shown = greeting[:40].decode("ascii", "replace").strip()
        raise ClusterError(f"{address} is not a Dask scheduler: it greets with {shown!r}")


@contextmanager
def local_cluster(workers: int) -> Iterator["Client"]:
    """A cluster of `workers` worker processes on this machine, closed when the block ends.

    The cores are shared out between the processes; Dask's own log lines below errors are
    silenced, since the study's progress bar says what the user needs to know.
    """
    if workers < 1:
        raise ValueError("a local cluster needs at least one worker process")
    if workers > available_cores():
        # Each worker process costs about 120 MB and runs histories on its own threads: more
        # processes than cores only add that cost.
        raise ValueError(f"--workers must be at most {available_cores()}, the cores of this"
                         " machine (each worker process runs its histories on threads of its"
                         " own)")
    distributed = _distributed()
    # Any free port for the scheduler's web pages: the default one may belong to another cluster.
    # Dask's start-up swallows a Ctrl-C that comes in the middle of it, or leaves a half-made
    # cluster for its exit handlers to trip over: the signal waits until the cluster is up,
    # which then closes in order.
    with _interrupts_deferred() as interrupted:
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=max(1, available_cores() // workers),
            processes=True, dashboard_address=":0", silence_logs=logging.ERROR)
    if interrupted():
        cluster.close()
        raise KeyboardInterrupt("interrupted while the local cluster started")
    try:
        with distributed.Client(cluster) as client:
            yield client
    finally:
        cluster.close()


@contextmanager
def client_for(scheduler: str | None = None, workers: int | None = None
               ) -> Iterator["Client | None"]:
    """The client a study asked for: the scheduler at `scheduler`, a local cluster of `workers`
    processes, or None (run in this process) when neither is given."""
    if scheduler is not None and workers is not None:
        raise ValueError("give either a scheduler address or a number of local workers, not both")
    if scheduler is not None:
        client = connect(scheduler)
        try:
            yield client
        finally:
            client.close()
    elif workers is not None:
        with local_cluster(workers) as client:
            yield client
    else:
        yield None


class ChunkSizer:
    """Histories per chunk: small until the runner's speed is known, then about
    `chunk_seconds` of runner time. `fixed`, if given, is used for every chunk instead."""

    def __init__(self, chunk_seconds: float = CHUNK_SECONDS, fixed: int | None = None):
        if fixed is not None and fixed < 1:
            raise ValueError("a chunk needs at least one history")
        self.chunk_seconds, self.fixed = chunk_seconds, fixed
        self.histories, self.seconds = 0, 0.0

    def record(self, result: TaskResult) -> None:
        self.histories += result.task.histories
        self.seconds += result.seconds

    def size(self, remaining: int, workers: int) -> int:
        """The next chunk's histories, with `remaining` histories left for `workers` workers.

        Near the end of a run the chunks shrink to half an even share of what is left, so the
        workers finish together instead of one finishing a full chunk alone (guided
        self-scheduling); never below an eighth of the target, where overhead would cost more
        than the wait it saves.
        """
        if self.fixed is not None:
            return self.fixed
        if self.seconds <= 0.0:
            target = FIRST_CHUNK_HISTORIES
        else:
            target = max(1, math.floor(self.histories / self.seconds * self.chunk_seconds))
        share = math.ceil(remaining / (2 * workers))
        return max(1, min(target, max(share, target // 8)))


Chunk = list[tuple[int, Task]]  # (index of its task, a contiguous part of that task)


def chunks(tasks: Sequence[Task], size: Callable[[int], int]) -> Iterator[Chunk]:
    """The tasks' histories in seed order, as chunks of at most `size(remaining)` histories,
    asked when a chunk is begun with the histories not yet in a chunk (so sizes follow what has
    been measured so far). Small tasks share a chunk; a task that does not fit in what is left
    of one starts the next, and only a task larger than a whole chunk is cut (into whole chunks
    and a rest). Each part is a runner call with a fixed cost per call, so tasks are cut no more
    than they must be."""
    remaining = sum(task.histories for task in tasks)
    chunk: Chunk = []
    room = 0
    for index, task in enumerate(tasks):
        seed, end = task.first_seed, task.first_seed + task.histories
        if chunk and end - seed > room:
            yield chunk
            chunk = []
        while seed < end:
            if not chunk:
                room = size(remaining)
            histories = min(room, end - seed)
            chunk.append((index, replace(task, first_seed=seed, histories=histories)))
            seed += histories
            room -= histories
            remaining -= histories
            if room == 0:
                yield chunk
                chunk = []
    if chunk:
        yield chunk


_ONE_RUN_AT_A_TIME = threading.Lock()


def run_chunk_on_worker(parts: Sequence[Task]) -> list[TaskResult]:
    """Runs on a Dask worker: one runner call per part, with the worker's threads unless the
    study set them. (Dask starts its workers with OMP_NUM_THREADS=1, and a machine may run
    several workers, so the count is always given.)"""
    from distributed import get_worker

    return run_parts(parts, get_worker().state.nthreads)


def run_parts(parts: Sequence[Task], nthreads: int) -> list[TaskResult]:
    """Runs a chunk's parts in this worker process, one runner call each."""
    with _ONE_RUN_AT_A_TIME:
        return [run_task(replace(part, threads=part.threads or nthreads)) for part in parts]


class TaskAssembly:
    """The parts of one task, added up into the task's own result as they come in, in any
    order."""

    def __init__(self, task: Task):
        self.task = task
        self.missing = task.histories
        self.sum: TaskResult | None = None

    def add(self, part: TaskResult) -> TaskResult | None:
        """Adds one part's result; returns the task's result once every part is in."""
        self.sum = part if self.sum is None else self.sum + part
        self.missing -= part.task.histories
        if self.missing > 0:
            return None
        return replace(self.sum, task=self.task)


class DaskExecutor(Executor):
    """Runs tasks on a Dask cluster as chunks (see chunks and ChunkSizer); yields one result
    per task, the sum of its parts, as soon as its last part is in.

    The task results are those an InProcessExecutor gives (bar the seconds), so studies made of
    several paired runs (the same sub-batches) work the same on a cluster. `chunk_histories`
    fixes the chunk size; the sizer lives as long as the executor, so later rounds of a
    precision target start with chunks of the right size.

    While it waits for the cluster, Ctrl-C raises KeyboardInterrupt at once (nothing of this
    process is half done; the planner turns it into StudyInterrupted with the sub-batches that
    finished), and the chunks in flight are cancelled.
    """

    def __init__(self, client: "Client", chunk_histories: int | None = None,
                 chunk_seconds: float = CHUNK_SECONDS):
        self.client = client
        self.sizer = ChunkSizer(chunk_seconds, chunk_histories)

    def run(self, tasks: Sequence[Task]) -> Iterator[TaskResult]:
        return self.each(tasks, lambda histories: None)

    def each(self, tasks: Sequence[Task], progress: Callable[[int], None]
             ) -> Iterator[TaskResult]:
        """`run`, calling `progress` with the histories of every part as it comes in."""
        distributed = _distributed()
        assemblies = [TaskAssembly(task) for task in tasks]
        workers = 1
        waiting = chunks(tasks, lambda remaining: self.sizer.size(remaining, workers))
        finished = distributed.as_completed()
        in_flight: dict[Any, list[int]] = {}  # future -> the task index of each of its parts

        def refill() -> None:
            nonlocal workers
            workers = max(1, len(self.client.nthreads()))
            while len(in_flight) < CHUNKS_IN_FLIGHT_PER_WORKER * workers:
                chunk = next(waiting, None)
                if chunk is None:
                    return
                parts = [part for _, part in chunk]
                future = self.client.submit(run_chunk_on_worker, parts, pure=False)
                in_flight[future] = [index for index, _ in chunk]
                finished.add(future)

        try:
            refill()
            while in_flight:
                with _ctrl_c_raises():
                    future = next(finished)
                    results = future.result()  # a part's exception is raised here, as raised
                owners = in_flight.pop(future)
                future.release()  # the worker may drop the counts now
                for result in results:
                    self.sizer.record(result)
                    progress(result.task.histories)
                refill()
                for index, result in zip(owners, results):
                    done = assemblies[index].add(result)
                    if done is not None:
                        yield done
        finally:
            if in_flight:
                self.client.cancel(list(in_flight))


@contextmanager
def _interrupts_deferred() -> Iterator[Callable[[], bool]]:
    """Inside the block, Ctrl-C is only noted; the caller asks afterwards."""
    if threading.current_thread() is not threading.main_thread():
        yield lambda: False
        return
    noted: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: noted.append(signum))
    try:
        yield lambda: bool(noted)
    finally:
        signal.signal(signal.SIGINT, previous)


@contextmanager
def _ctrl_c_raises() -> Iterator[None]:
    """Inside the block, Ctrl-C raises KeyboardInterrupt as Python's default handler does.

    The planner makes the first Ctrl-C only set a flag, because a runner in this process cannot
    be stopped halfway; waiting for a cluster can, and should stop at once.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
