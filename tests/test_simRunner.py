"""The batch runners through the module: equal sums whatever the thread count, the reference
simulator's sums, the console lines, and every failure path of both runners."""

import os
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

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


# ---- The runners' accumulation of changes against whole series ----

# Laws that make ties (schedules), overdue transitions (fixed failure times already passed),
# rejected first samples (uniform laws below 0) and plain randomness. Fixed failure times only
# leave state 0 and uniform laws reach above 2, so no model cycles through zero delays forever.
LAWS_FROM_ANY_STATE = st.one_of(
    st.just(N),
    st.builds(lambda rate: ("exponential", rate), st.floats(0.02, 0.5)),
    st.builds(lambda a, width: ("uniform", a, max(a + 0.5, 2.0) + width),
              st.floats(-10.0, 20.0), st.floats(0.0, 30.0)),
    st.builds(lambda scale, shape: ("weibull", scale, shape), st.floats(1.0, 40.0), st.floats(0.3, 4.0)),
    st.builds(lambda period: ("inspection", period), st.integers(1, 12)),
)
LAWS_FROM_STATE_0 = st.one_of(LAWS_FROM_ANY_STATE, st.builds(lambda t: ("failure", t), st.integers(0, 80)))


@st.composite
def random_models(draw):
    """(specs, cutsets): up to 40 components, so that both ways of finding the next event run."""
    n_components = draw(st.integers(1, 40))
    n_states = draw(st.integers(2, 3))
    specs = [
        [[N if k == s else draw(LAWS_FROM_STATE_0 if s == 0 else LAWS_FROM_ANY_STATE) for k in range(n_states)]
         for s in range(n_states)]
        for _ in range(n_components)
    ]
    members = st.lists(st.integers(0, n_components - 1), min_size=1, max_size=4)
    cutsets = [[1 if c in chosen else 0 for c in range(n_components)]
               for chosen in draw(st.lists(members, min_size=1, max_size=6))]
    return specs, cutsets


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(model=random_models(), n=st.integers(1, 12), sim_time=st.integers(0, 150),
       seed=st.integers(-(2**31), 2**31 - 1))
def test_sums_of_changes_equal_sums_of_whole_series(model, n, sim_time, seed, capfd):
    # The reference simulator writes whole series and finds each event by scanning every
    # component; the runners add changes only and use a heap from 24 components on.
    specs, cutsets = model
    expected = [0] * sim_time
    for i in range(n):
        series, _, _ = ref.simulate(sim_time, specs, cutsets, (seed + i) & 0xFFFFFFFF)
        expected = [a + b for a, b in zip(expected, series)]
    tarvo_model, tree = make_model(specs), tarvo.CutsetTree(len(specs))
    tree.constructTree(cutsets)
    assert tarvo.runnerMultipleSim(n, sim_time, tarvo_model, tree, seed) == expected
    assert tarvo.runnerParallelSim(n, sim_time, tarvo_model, tree, seed) == expected
    assert sum_of_singles(n, sim_time, tarvo_model, tree, seed) == expected
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


WARNING_LINE = re.compile(r"Warning: nextTimeDouble is out of bounds: -?[0-9.e+-]+  [0-9.e+-]+")


def test_warnings_of_parallel_workers_come_out_as_whole_lines(threads, capfd):
    # Every first sample of a Normal law centred far below 0 is rejected with a warning line.
    below = tarvo.Normal(-1000.0, 1.0)
    model = [[[tarvo.Distribution(), below], [below, tarvo.Distribution()]]] * 3
    threads(2)
    tarvo.runnerParallelSim(4000, 2, model, single_tree_of(3), 5)
    lines = capfd.readouterr().out.splitlines()
    warnings = [line for line in lines if line.startswith("Warning")]
    others = [line for line in lines[1:] if not line.startswith("Warning")]
    assert len(warnings) == 3 * 4000
    assert all(WARNING_LINE.fullmatch(line) for line in warnings)
    assert all(re.fullmatch(r"Simulation \d+ done\.|All Simulations Done\.", line) for line in others)


def single_tree_of(n_components):
    tree = tarvo.CutsetTree(n_components)
    tree.insertNode([1] * n_components)
    return tree


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
