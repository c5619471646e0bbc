"""The batch runners through the module: equal sums whatever the thread count, the reference
simulator's sums, the console lines, and every failure path of both runners."""

import os

import pytest

import reference_simulator as ref
import tarvo
from models import make_model, single_tree

N = ("never",)
# Two components in parallel: failures from a Weibull law and a fixed time, repairs on
# inspection and from a uniform law.
SPECS = [
    [
        [N, ("weibull", 12.0, 1.5), ("failure", 20)],
        [("inspection", 6), N, N],
        [("uniform", 1.0, 5.0), N, N],
    ],
    [[N, ("exponential", 0.1), N], [("uniform", 0.5, 9.0), N, N], [N, N, N]],
]
CUTSETS = [[1, 1]]


@pytest.fixture(scope="module")
def busy():
    model = make_model(SPECS)
    tree = tarvo.CutsetTree(2)
    tree.constructTree(CUTSETS)
    return model, tree


@pytest.fixture
def threads():
    """Sets the OpenMP thread count for one test and restores the machine's default after."""
    yield tarvo.limitOMPThreads
    tarvo.limitOMPThreads(os.cpu_count())


def history_seed(seed, i):
    """seed + i modulo 2^32, read back as a signed 32-bit int."""
    wrapped = (seed + i) & 0xFFFFFFFF
    return wrapped - 2**32 if wrapped >= 2**31 else wrapped


def sum_of_singles(n, sim_time, model, tree, seed):
    total = [0] * sim_time
    for i in range(n):
        series = tarvo.runnerSingleSim(sim_time, model, tree, history_seed(seed, i))
        total = [a + b for a, b in zip(total, series)]
    return total


# ---- Results ----


@pytest.mark.parametrize("seed", [0, 2147483647, -1, -2147483648, 987654])
def test_runners_agree_for_every_thread_count(busy, threads, seed, capfd):
    model, tree = busy
    n, sim_time = 110, 80
    expected = sum_of_singles(n, sim_time, model, tree, seed)
    assert tarvo.runnerMultipleSim(n, sim_time, model, tree, seed) == expected
    for count in (1, 2, 3):
        threads(count)
        assert tarvo.runnerParallelSim(n, sim_time, model, tree, seed) == expected, f"threads={count}"
    assert 0 < max(expected) and min(expected) < n
    capfd.readouterr()


def test_sums_match_the_reference_simulator(busy, capfd):
    model, tree = busy
    n, sim_time, seed = 60, 120, 2147483620  # the seeds wrap past 2^31 - 1 halfway
    expected = [0] * sim_time
    for i in range(n):
        series, _, _ = ref.simulate(sim_time, SPECS, CUTSETS, (seed + i) & 0xFFFFFFFF)
        expected = [a + b for a, b in zip(expected, series)]
    assert tarvo.runnerMultipleSim(n, sim_time, model, tree, seed) == expected
    assert tarvo.runnerParallelSim(n, sim_time, model, tree, seed) == expected
    capfd.readouterr()


@pytest.mark.parametrize("runner", [tarvo.runnerMultipleSim, tarvo.runnerParallelSim])
@pytest.mark.parametrize("sim_time", [0, 5, 17])
def test_short_and_empty_series(busy, runner, sim_time, capfd):
    model, tree = busy
    assert runner(30, sim_time, model, tree, 4) == sum_of_singles(30, sim_time, model, tree, 4)
    capfd.readouterr()


@pytest.mark.parametrize("runner", [tarvo.runnerMultipleSim, tarvo.runnerParallelSim])
@pytest.mark.parametrize("n", [0, -7])
def test_no_histories_give_zeros_without_any_check(runner, n, capfd):
    assert runner(n, 4, [], None, 1) == [0, 0, 0, 0]
    capfd.readouterr()


# ---- Console ----


def expected_lines(n):
    progress = [f"Simulation {i} done." for i in range(0, n, 10000)]
    return progress + [f"Simulation {n} done.", "All Simulations Done."]


@pytest.mark.parametrize("n", [25000, 1, 0, -2])
def test_progress_and_closing_lines(threads, n, capfd):
    model = [[[tarvo.Distribution()]]]
    tree = single_tree()
    threads(2)

    tarvo.runnerMultipleSim(n, 1, model, tree, 0)
    assert capfd.readouterr() == ("".join(line + "\n" for line in expected_lines(n)), "")

    tarvo.runnerParallelSim(n, 1, model, tree, 0)
    out, err = capfd.readouterr()
    lines = out.splitlines()
    assert out.endswith("\n") and err == ""
    assert lines[0] == "Numero de threads disponiveis: 2"
    # Workers print in any order, each line whole; the closing two lines come last.
    assert sorted(lines[1:-2]) == sorted(expected_lines(n)[:-2])
    assert lines[-2:] == expected_lines(n)[-2:]


# ---- Failures ----

D = tarvo.Distribution
F3 = tarvo.InstantaneousFailure(3)


@pytest.mark.parametrize(
    "model, tree, message",
    [
        pytest.param([[[D()]]], None, "Cutset matrix must not be null.", id="null-tree"),
        pytest.param([], None, "Cutset matrix must not be null.", id="null-tree-empty-model"),
        pytest.param([], "tree", "Transitions matrix must not be empty.", id="empty-model"),
        pytest.param([[]], "tree", "Transitions matrix must not be empty.", id="no-states"),
        pytest.param(
            [[[D(), F3], [D(), None]]],
            "tree",
            "Component 0, state 1: the law of the transition into state 1 is missing (None).",
            id="none-law",
        ),
        pytest.param(
            [[[D(), F3], [D(), D()]], [[D(), F3]]],
            "tree",
            "Component 1, state 0: the transition into state 1 leads to a state without a row of laws.",
            id="missing-row",
        ),
    ],
)
def test_model_errors_are_the_same_in_every_runner(threads, model, tree, message, capfd):
    threads(3)
    tree = single_tree() if tree == "tree" else tree
    with pytest.raises(ValueError) as single:
        tarvo.runnerSingleSim(5, model, tree, 0)
    with pytest.raises(ValueError) as multiple:
        tarvo.runnerMultipleSim(4, 5, model, tree, 0)
    assert capfd.readouterr() == ("", "")
    with pytest.raises(ValueError) as parallel:
        tarvo.runnerParallelSim(4, 5, model, tree, 0)
    assert capfd.readouterr() == ("Numero de threads disponiveis: 3\n", "")
    assert str(single.value) == str(multiple.value) == str(parallel.value) == message


@pytest.mark.parametrize("count", [1, 2, 3])
def test_stuck_history_in_a_worker_is_the_callers_runtime_error(threads, count, capfd):
    instant = tarvo.Uniform(0.0, 1.0)  # every delay truncates to 0
    model = [[[D(), tarvo.Exponential(0.05)], [D(), D()]], [[D(), instant], [instant, D()]]]
    tree = tarvo.CutsetTree(2)
    tree.insertNode([1, 1])
    with pytest.raises(RuntimeError) as serial:
        tarvo.runnerMultipleSim(200, 30, model, tree, 9)
    threads(count)
    with pytest.raises(RuntimeError) as parallel:
        tarvo.runnerParallelSim(200, 30, model, tree, 9)
    assert str(parallel.value) == str(serial.value)
    assert "time unit 0:" in str(serial.value)
    out, err = capfd.readouterr()
    assert "All Simulations Done." not in out and err == ""


def test_negative_sim_time(busy, capfd):
    model, tree = busy
    with pytest.raises(RuntimeError, match=r"^Failed to allocate systemStates in runnerMultipleSim\.$"):
        tarvo.runnerMultipleSim(3, -1, model, tree, 0)
    assert capfd.readouterr() == ("", "")
    # Allocation comes before the checks of tree and model.
    with pytest.raises(RuntimeError, match=r"^Failed to allocate systemStates in runnerParallelSim\.$"):
        tarvo.runnerParallelSim(3, -8, [], None, 0)
    out, err = capfd.readouterr()
    assert out.startswith("Numero de threads disponiveis: ") and out.count("\n") == 1
    assert err == "Erro ao alocar memória para os estados locais.\n"


@pytest.mark.parametrize("value", [0, -1, -(2**31)])
def test_limit_omp_threads_rejects_counts_below_one(threads, value, capfd):
    threads(2)
    with pytest.raises(ValueError, match=r"^maxThreads must be at least 1$"):
        tarvo.limitOMPThreads(value)
    tarvo.runnerParallelSim(0, 1, [], None, 0)
    assert capfd.readouterr().out.startswith("Numero de threads disponiveis: 2\n")
