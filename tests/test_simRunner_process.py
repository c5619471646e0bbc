"""Runner faults that end, hang or stop a whole process, each run in a child interpreter:
Ctrl-C during a long batch, a fork after the parent used worker threads, thread counts the
machine cannot hold, and running out of memory while the result list is built."""

import os
import re
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# A model whose histories are short and busy; the child scripts start with it.
PRELUDE = textwrap.dedent(
    """
    import os, sys
    import tarvo
    D = tarvo.Distribution()
    model = [[[D, tarvo.Exponential(0.05)], [tarvo.Uniform(1.0, 9.0), D]]] * 3
    tree = tarvo.CutsetTree(3)
    tree.constructTree([[1, 1, 0], [0, 0, 1]])
    """
)


def child(script, **kwargs):
    """Starts `script` after the prelude in a fresh interpreter; the runners' progress lines
    (standard output) are dropped, the script reports on standard error."""
    # A session of its own, so that a hung child can be ended together with the children it forked.
    return subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, **kwargs)


def end(process):
    """Kills the child and everything it forked."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def read_line(process, timeout):
    """The child's next line on standard error, or None when none comes within timeout."""
    ready, _, _ = select.select([process.stderr], [], [], timeout)
    return process.stderr.readline().strip() if ready else None


def finish(process, timeout=120):
    try:
        _, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        end(process)
        process.communicate()
        pytest.fail("the child did not finish: it hung")
    return process.returncode, err


# ---- Ctrl-C ----


@pytest.mark.parametrize("runner", ["runnerParallelSim", "runnerMultipleSim"])
def test_ctrl_c_stops_a_long_batch_within_a_second_and_leaves_nothing_behind(runner):
    # About two billion short histories: hours of work unless the run can be stopped. After
    # the interrupt, a complete run gives the same sums as before it.
    process = child(f"""
        tarvo.limitOMPThreads(2)
        expected = tarvo.{runner}(3000, 40, model, tree, 1)
        print("running", file=sys.stderr, flush=True)
        try:
            tarvo.{runner}(2_000_000_000, 40, model, tree, 1)
            sys.exit(2)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", file=sys.stderr, flush=True)
        sys.exit(0 if tarvo.{runner}(3000, 40, model, tree, 1) == expected else 3)
    """)
    assert read_line(process, 60) == "running"
    time.sleep(0.5)  # well inside the runner by now
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    line = read_line(process, 10)
    elapsed = time.monotonic() - sent
    if line is None:
        end(process)
    code, rest = finish(process)
    assert (line, code) == ("KeyboardInterrupt", 0), rest
    assert elapsed < 1.0, f"KeyboardInterrupt came {elapsed:.2f} s after SIGINT"


def test_ctrl_c_stops_a_long_study_within_a_second():
    # The study runner takes its own thread count; after the interrupt a complete call gives
    # the same figures as before it.
    process = child("""
        def figures():
            result = tarvo.runnerStudy(model, tree, 40, 3000, 1, 2, 4)
            return [v.tolist() if hasattr(v, "tolist") else v for v in result.values()]
        expected = figures()
        print("running", file=sys.stderr, flush=True)
        try:
            tarvo.runnerStudy(model, tree, 40, 2_000_000_000, 1, 2, 4)
            sys.exit(2)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", file=sys.stderr, flush=True)
        sys.exit(0 if figures() == expected else 3)
    """)
    assert read_line(process, 60) == "running"
    time.sleep(0.5)
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    line = read_line(process, 10)
    elapsed = time.monotonic() - sent
    if line is None:
        end(process)
    code, rest = finish(process)
    assert (line, code) == ("KeyboardInterrupt", 0), rest
    assert elapsed < 1.0, f"KeyboardInterrupt came {elapsed:.2f} s after SIGINT"


# ---- Fork ----


def test_parallel_runner_in_forked_children_gives_the_parents_sums():
    process = child("""
        import multiprocessing, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
        tarvo.limitOMPThreads(2)
        expected = tarvo.runnerParallelSim(500, 60, model, tree, 3)  # the parent's workers start

        pid = os.fork()
        if pid == 0:
            os._exit(0 if tarvo.runnerParallelSim(500, 60, model, tree, 3) == expected else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, "os.fork child gave other sums"

        def run(seed):
            return tarvo.runnerParallelSim(500, 60, model, tree, seed)

        with multiprocessing.get_context("fork").Pool(2) as pool:
            results = pool.map(run, [3, 3, 3])
        assert results == [expected] * 3, "multiprocessing children gave other sums"
        assert tarvo.runnerParallelSim(500, 60, model, tree, 3) == expected  # the parent still runs
        print("ok", file=sys.stderr)
    """)
    code, err = finish(process, timeout=60)
    assert code == 0 and err.strip() == "ok", err


def test_study_runner_in_a_forked_child_gives_the_parents_figures():
    process = child("""
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads

        def figures():
            result = tarvo.runnerStudy(model, tree, 60, 500, 3, 2, 6)  # the parent's workers start
            return [v.tolist() if hasattr(v, "tolist") else v for v in result.values()]

        expected = figures()
        pid = os.fork()
        if pid == 0:
            os._exit(0 if figures() == expected else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, "the forked child gave other figures"
        assert figures() == expected  # the parent still runs
        print("ok", file=sys.stderr)
    """)
    code, err = finish(process, timeout=60)
    assert code == 0 and err.strip() == "ok", err


# ---- Thread counts ----


def test_thread_counts_beyond_the_limit_are_refused_and_the_limit_itself_runs():
    process = child("""
        for count in (10**6, 50_000):
            try:
                tarvo.limitOMPThreads(count)
                sys.exit(2)
            except ValueError as error:
                message = str(error)
                print(message, file=sys.stderr)
        limit = int(message.split("at most ")[1].split()[0])
        tarvo.limitOMPThreads(limit)
        assert tarvo.runnerParallelSim(200, 30, model, tree, 1) == tarvo.runnerMultipleSim(200, 30, model, tree, 1)
        try:
            tarvo.limitOMPThreads(limit + 1)
            sys.exit(3)
        except ValueError:
            pass
    """)
    code, err = finish(process)
    assert code == 0, err
    messages = err.splitlines()
    assert len(messages) == 2 and messages[0] == messages[1]
    limit = int(re.fullmatch(r"maxThreads must be at most (\d+) \(.*\)", messages[0]).group(1))
    assert 1 <= limit <= 64 * os.cpu_count()


# ---- Memory ----


@pytest.mark.parametrize("call, budget_mb", [
    ("tarvo.runnerMultipleSim(300, SIM_TIME, failed, one, 0)", 400),
    ("tarvo.runnerSingleSim(SIM_TIME, failed, one, 0)", 200),
])
def test_result_list_that_does_not_fit_is_a_memory_error(call, budget_mb):
    # The system is failed from time 0 on. The run fits in the budget (a few buffers of 80 MB);
    # the list of 2 * 10^7 Python ints does not (8 bytes a pointer, and an object of 32 bytes
    # for every count above 256).
    process = child(f"""
        import resource
        SIM_TIME = 20_000_000
        failed, one = [[[D, tarvo.InstantaneousFailure(0)], [D, D]]], tarvo.CutsetTree(1)
        one.insertNode([1])
        with open("/proc/self/status") as status:
            used = int(next(line for line in status if line.startswith("VmSize")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + {budget_mb} * 2**20, resource.RLIM_INFINITY))
        try:
            {call}
        except MemoryError:
            print("MemoryError", file=sys.stderr)
    """)
    code, err = finish(process)
    assert (code, err.strip()) == (0, "MemoryError"), err
