"""Studies on a real Dask cluster (worker processes on this machine): the counts equal one engine
call whatever the chunks and workers, a killed worker changes nothing, a worker's error reaches
the caller as it was raised, Ctrl-C and errors cancel what is in flight, and asking for an
unreachable or missing cluster is one clear line."""

import json
import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import tomllib

import distributed
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvokit
from tarvokit.command import cli
from tarvokit.engine import cluster
from tarvokit.engine.cluster import (FIRST_CHUNK_HISTORIES, ChunkSizer, ClusterError, DaskExecutor,
                              TaskAssembly, chunks, connect, local_cluster)
from tarvokit.engine.tasks import Task, TaskResult, run_task

from test_tarvokit_run import engine_counts

# No Maintenance: every draw comes from the seeds, so counts are reproducible anywhere.
PUMPS_TOML = """\
[study]
name = "pumps"
time_unit = "h"
horizon = 500
resolution = 4

[components.pump]
count = 2
failure = {law = "Weibull", scale = 100, shape = 1.5}
repair = {law = "Exponential", mean = 10}

[components.power]
failure = {law = "Exponential", mean = 300}
repair = {law = "Uniform", low = 1, high = 5}

[system]
fails_when = "power or (pump[1] and pump[2])"
"""
PUMPS_AND_POWER = tomllib.loads(PUMPS_TOML)

# Delays that truncate to zero steps: the engine rejects the model when a history runs.
ZERO_DELAY_LOOP = {
    "study": {"name": "loop", "horizon": 50, "resolution": 1},
    "components": {"a": {"failure": {"law": "Exponential", "mean": 0.001},
                         "repair": {"law": "Exponential", "mean": 0.001}}},
    "system": {"cut_sets": [["a"]]},
}


@pytest.fixture(scope="module")
def client():
    """Two worker processes with one thread each, shared by this module's tests."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def pumps() -> tarvokit.Model:
    return tarvokit.Model.from_dict(PUMPS_AND_POWER)


def scheduler_tasks(client) -> int:
    return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))


def wait_until_idle(client, seconds: float = 15.0) -> bool:
    """True once the scheduler holds no task: everything finished, released or cancelled."""
    deadline = time.monotonic() + seconds
    while scheduler_tasks(client) and time.monotonic() < deadline:
        time.sleep(0.05)
    return scheduler_tasks(client) == 0


def sub_batches(result: tarvokit.Result) -> list[tuple[int, int, int]]:
    return sorted((b.first_seed, b.histories, b.failed_steps) for b in result.batches)


# --- Maintenance on workers ---------------------------------------------------------------

MAINTAINED_ONLY = {  # its downtime comes from Maintenance durations alone
    "study": {"horizon": 200, "resolution": 1},
    "components": {"unit": {
        "states": ["working", "maintenance"],
        "transitions": [
            {"from": "working", "to": "maintenance", "law": "Inspection", "period": 10},
            {"from": "maintenance", "to": "working", "law": "Maintenance",
             "durations": list(range(1, 10))},
        ]}},
    "system": {"cut_sets": [["unit"]]},
}


def test_maintenance_durations_follow_the_seeds_whatever_the_cut_into_parts():
    # Maintenance durations come from each history's own generator: parts of one seed range
    # give the counts of the whole, and another range gives other durations.
    description = tarvokit.Model.from_dict(MAINTAINED_ONLY).description
    whole = run_task(Task(description, 1, 400, 1))
    parts = cluster.run_parts([Task(description, 1, 150, 1), Task(description, 151, 250, 1)],
                              nthreads=2)
    assert np.array_equal(parts[0].counts + parts[1].counts, whole.counts)
    elsewhere = run_task(Task(description, 1001, 400, 1))
    assert not np.array_equal(elsewhere.counts, whole.counts)


# --- Identical counts ----------------------------------------------------------------------

@pytest.mark.parametrize("seed, histories, chunk_histories, batches", [
    (1, 6000, None, None),  # chunks sized from the measured speed
    (12345, 3001, 37, 7),  # ragged chunks across ragged sub-batches
    (2**31 - 1 - 4000, 4000, 1000, 2),  # the top of the seed range
    (99, 120, 1, 3),  # one history per chunk
], ids=["adaptive", "ragged", "top-seeds", "single-histories"])
def test_cluster_run_equals_one_engine_call_and_the_in_process_run(
        client, pumps, seed, histories, chunk_histories, batches):
    executor = DaskExecutor(client, chunk_histories=chunk_histories)
    remote = pumps.run(histories=histories, seed=seed, batches=batches, executor=executor)
    local = pumps.run(histories=histories, seed=seed, batches=batches)
    assert np.array_equal(remote.counts, engine_counts(pumps, histories, seed))
    assert remote.threads == 1  # each worker's own thread count, not the machine's cores
    # The same sub-batches (in the order they finished), so the same interval of the mean.
    assert sub_batches(remote) == sub_batches(local)
    here, there = local.mean(), remote.mean()  # equal up to the order of summation
    assert (there.estimate, there.low, there.high) == pytest.approx(
        (here.estimate, here.low, here.high), rel=1e-12)


def test_precision_target_goes_out_in_rounds_on_the_cluster(client, pumps):
    remote = pumps.run(histories=2000, seed=3, precision=0.02, max_histories=200_000,
                       client=client)
    local = pumps.run(histories=2000, seed=3, precision=0.02, max_histories=200_000)
    assert remote.precision_met and remote.mean().relative_half_width <= 0.02
    assert remote.histories == local.histories > 2000
    assert sub_batches(remote) == sub_batches(local)
    assert np.array_equal(remote.counts, engine_counts(pumps, remote.histories, 3))


def test_progress_counts_every_part_before_its_tasks_result(client, pumps):
    tasks = [Task(pumps.description, 1 + 400 * i, 400) for i in range(5)]
    reported, yielded = [], []
    for result in DaskExecutor(client, chunk_histories=150).each(tasks, reported.append):
        yielded.append(result.task.histories)
        assert sum(reported) >= sum(yielded)  # the bar is never behind the results
    assert sum(reported) == sum(yielded) == 2000
    assert max(reported) <= 150 and len(reported) > len(tasks)


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(1, 60), min_size=1, max_size=4), st.integers(1, 25),
       st.randoms(use_true_random=False))
def test_chunks_cover_the_tasks_and_parts_add_up_in_any_order(pumps, task_sizes, chunk_size,
                                                              order):
    """The cut and the reassembly alone, in this process: any chunk size, any finishing order."""
    tasks, seed = [], 5
    for size in task_sizes:
        tasks.append(Task(pumps.description, seed, size, threads=1))
        seed += size
    cut = list(chunks(tasks, lambda remaining: chunk_size))
    totals = [sum(part.histories for _, part in chunk) for chunk in cut]
    assert all(0 < total <= chunk_size for total in totals)
    # A chunk ends early only when the next part would not fit in it.
    assert all(total + following[0][1].histories > chunk_size
               for total, following in zip(totals, cut[1:]))
    parts = [(index, part) for chunk in cut for index, part in chunk]
    # A task is cut only into whole chunks and a rest.
    for (index, part), (next_index, _) in zip(parts, parts[1:]):
        assert index != next_index or part.histories == chunk_size
    assert [part.first_seed + i for _, part in parts for i in range(part.histories)] == list(
        range(5, seed))
    assert all(part.model is tasks[i].model and tasks[i].first_seed <= part.first_seed
               and part.first_seed + part.histories <= tasks[i].first_seed + tasks[i].histories
               for i, part in parts)
    order.shuffle(parts)
    assemblies = [TaskAssembly(task) for task in tasks]
    finished = [assemblies[i].add(run_task(part)) for i, part in parts]
    assembled = sorted((r for r in finished if r is not None), key=lambda r: r.task.first_seed)
    assert [r.task for r in assembled] == tasks  # each task once, when its last part is in
    for result in assembled:
        assert np.array_equal(result.counts, run_task(result.task).counts)
        assert result.threads == 1


@pytest.mark.parametrize("histories, seconds, chunk_seconds", [
    (1000, 0.5, 1.0), (50, 2.0, 1.0), (10**6, 4.0, 0.25), (3, 1e-4, 2.0)])
def test_chunks_last_about_the_chosen_runner_time_once_the_speed_is_known(
        pumps, histories, seconds, chunk_seconds):
    sizer = ChunkSizer(chunk_seconds)
    plenty = 10**12  # histories left: far from the end of the run
    assert sizer.size(plenty, workers=4) == FIRST_CHUNK_HISTORIES
    sizer.record(TaskResult(Task(pumps.description, 1, histories),
                            np.zeros(pumps.steps, np.uint32), seconds, 1))
    seconds_per_history = seconds / histories
    assert sizer.size(plenty, workers=4) * seconds_per_history == pytest.approx(
        chunk_seconds, abs=seconds_per_history)


@pytest.mark.parametrize("remaining, workers, expected", [
    (10**6, 4, 1000),  # far from the end: the target
    (4000, 4, 500),  # near it: half an even share
    (400, 4, 125),  # at the very end: an eighth of the target, not less
    (3, 4, 125),  # nothing smaller, even for the last few histories
])
def test_chunks_shrink_near_the_end_so_the_workers_finish_together(
        pumps, remaining, workers, expected):
    sizer = ChunkSizer(chunk_seconds=1.0)
    sizer.record(TaskResult(Task(pumps.description, 1, 1000),
                            np.zeros(pumps.steps, np.uint32), 1.0, 1))  # 1000 histories/s
    assert sizer.size(remaining, workers) == expected


# --- Faults --------------------------------------------------------------------------------

def test_a_worker_killed_during_a_run_changes_nothing(client, pumps):
    pids = set(client.run(os.getpid).values())
    state = {"killed": None, "running": True}

    def kill_a_busy_worker():
        while state["running"]:
            busy = [address for address, keys in client.processing().items() if keys]
            if busy and scheduler_tasks(client) >= 2:
                time.sleep(0.3)  # well into the run
                pid = client.run(os.getpid, workers=[busy[0]])[busy[0]]
                os.kill(pid, signal.SIGKILL)
                state["killed"] = (pid, state["running"])
                return
            time.sleep(0.02)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    try:
        result = pumps.run(histories=60_000, seed=11,
                           executor=DaskExecutor(client, chunk_histories=100))
    finally:
        state["running"] = False
        killer.join()
    assert state["killed"] is not None and state["killed"][1], "no worker was killed mid-run"
    assert state["killed"][0] in pids
    assert np.array_equal(result.counts, engine_counts(pumps, 60_000, 11))
    client.wait_for_workers(2, timeout=60)  # the nanny restarts it for the next tests
    assert state["killed"][0] not in client.run(os.getpid).values()


@pytest.mark.parametrize("make_bad", [
    lambda model: Task(model.description, 1, 10, cut_sets=(("pump[9]",),)),  # fails rebuilding
    lambda model: Task(ZERO_DELAY_LOOP, 1, 10),  # rejected by the engine while it runs
], ids=["model-error", "engine-error"])
def test_a_workers_error_reaches_the_caller_as_raised_and_cancels_the_rest(client, pumps,
                                                                           make_bad):
    bad = make_bad(pumps)
    with pytest.raises(Exception) as here:
        run_task(bad)
    good = [Task(pumps.description, 1 + 500 * i, 500) for i in range(40)]
    executor = DaskExecutor(client, chunk_histories=100)
    with pytest.raises(Exception) as there:
        for _ in executor.run(good[:3] + [bad] + good[3:]):
            pass
    assert type(there.value) is type(here.value)
    assert str(there.value) == str(here.value)
    assert wait_until_idle(client)


# --- The command line: cluster options, Ctrl-C ---------------------------------------------

def tarvo_run(*arguments: str, **options):
    command = [sys.executable, "-m", "tarvokit.command", "run", *arguments, "--no-progress"]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            **options)


def test_tarvo_run_on_a_scheduler_writes_the_engines_counts(client, pumps, tmp_path):
    model = tmp_path / "pumps.toml"
    model.write_text(PUMPS_TOML)
    process = tarvo_run(str(model), "--histories", "5000", "--seed", "8",
                        "--out", str(tmp_path / "out"), "--scheduler", client.scheduler.address)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 0, stderr
    written = json.loads((tmp_path / "out" / "results.json").read_text())
    per_unit = engine_counts(pumps, 5000, 8)
    assert written["failed_steps_per_unit"] == per_unit.tolist()
    assert written["seeds"] == [[8, 5007]]


def test_a_local_cluster_gives_its_workers_the_cores_and_the_same_counts(pumps):
    with local_cluster(1) as own:
        assert list(own.nthreads().values()) == [len(os.sched_getaffinity(0))]
        result = pumps.run(histories=3000, seed=21, client=own)
    assert np.array_equal(result.counts, engine_counts(pumps, 3000, 21))
    assert result.threads == len(os.sched_getaffinity(0))


def test_ctrl_c_cancels_the_clusters_work_and_exits_at_once(client, tmp_path):
    model = tmp_path / "pumps.toml"
    model.write_text(PUMPS_TOML.replace("horizon = 500", "horizon = 20000"))
    process = tarvo_run(str(model), "--histories", "5000000", "--scheduler",
                        client.scheduler.address, "--out", str(tmp_path / "out"))
    deadline = time.monotonic() + 60
    while not scheduler_tasks(client) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert scheduler_tasks(client), "the run never reached the cluster"
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    interrupted = time.monotonic()
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == cli.EXIT_INTERRUPTED, stderr
    # Not the minutes the run had left (about 9 on one core): a few seconds to cancel and to
    # write the files of what finished, which a machine loaded by the other suites stretches.
    assert time.monotonic() - interrupted < 30
    assert "interrupted after" in stderr and "Traceback" not in stderr
    # What finished is kept, marked interrupted; nothing else is written.
    out = tmp_path / "out"
    if (out / "results.json").exists():
        assert tarvokit.read(out).interrupted
    else:
        assert [p.name for p in out.iterdir()] == []
    assert wait_until_idle(client)


def closed_port_address() -> str:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp://127.0.0.1:{probe.getsockname()[1]}"


def test_an_unreachable_scheduler_fails_within_the_timeout_with_one_line():
    address = closed_port_address()
    started = time.monotonic()
    with pytest.raises(ClusterError) as failure:
        connect(address, timeout=1.5)
    assert time.monotonic() - started < 1.5 + 3
    message = str(failure.value)
    assert "\n" not in message and address in message and "Connection refused" in message


@pytest.mark.parametrize("greeting, message", [
    (None, "sent no greeting within"),               # an HTTP server waits for a request
    (b"SSH-2.0-OpenSSH_9.2\r\n", "greets with 'SSH-2.0-OpenSSH_9.2'"),
], ids=["silent", "another-protocol"])
def test_a_server_that_is_not_a_scheduler_is_named_in_one_line(greeting, message):
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    address = f"tcp://127.0.0.1:{server.getsockname()[1]}"

    def answer():
        connection, _ = server.accept()
        if greeting:
            connection.sendall(greeting)
        time.sleep(3)
        connection.close()

    threading.Thread(target=answer, daemon=True).start()
    started = time.monotonic()
    with pytest.raises(ClusterError) as failure:
        connect(address, timeout=1.0)
    assert time.monotonic() - started < 10
    assert f"{address} is not a Dask scheduler" in str(failure.value)
    assert message in str(failure.value) and "\n" not in str(failure.value)
    server.close()


def test_more_local_workers_than_cores_is_refused_at_once():
    started = time.monotonic()
    with pytest.raises(ValueError, match="--workers must be at most"):
        local_cluster(100_000).__enter__()
    assert time.monotonic() - started < 5


@pytest.mark.parametrize("ask", [
    lambda tmp_path: connect("tcp://127.0.0.1:8786"),
    lambda tmp_path: local_cluster(2).__enter__(),
    lambda tmp_path: DaskExecutor(object()).run([]).__next__(),
], ids=["connect", "local-cluster", "executor"])
def test_without_dask_asking_for_a_cluster_says_how_to_install_it(monkeypatch, tmp_path, ask):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed now fails
    with pytest.raises(ClusterError, match=r"pip install 'tarvo\[distributed\]'"):
        ask(tmp_path)


def test_without_dask_the_command_says_it_in_one_line(monkeypatch, tmp_path, capsys):
    model = tmp_path / "pumps.toml"
    model.write_text(PUMPS_TOML)
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert cli.main(["run", str(model), "--workers", "2", "--out", str(tmp_path / "out")]) == 2
    error = capsys.readouterr().err.strip()
    assert error.count("\n") == 0 and "pip install 'tarvo[distributed]'" in error
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("children", [1, 2], ids=["first-worker", "second-worker"])
def test_ctrl_c_while_a_local_cluster_starts_exits_130_without_a_traceback(tmp_path, children):
    import psutil

    model = tmp_path / "pumps.toml"
    model.write_text(PUMPS_TOML)
    process = tarvo_run(str(model), "--histories", "300000", "--workers", "2", "--out",
                        str(tmp_path / "out"))
    # The cluster is starting once the command has forked its worker processes.
    deadline = time.monotonic() + 60
    while (len(psutil.Process(process.pid).children()) < children
           and time.monotonic() < deadline and process.poll() is None):
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == cli.EXIT_INTERRUPTED, stderr
    assert "Traceback" not in stderr and "interrupted" in stderr
