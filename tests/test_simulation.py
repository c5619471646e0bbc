"""One history through the module: runnerSingleSim against hand-worked schedules and against
the independent reference simulator, its console warnings, and its failures."""

import random
import re
import subprocess
import sys

import pytest

import reference_simulator as ref
import tarvo
from models import make_model, make_tree, single_tree

# ---- Hand-worked schedules ----

N = ("never",)


@pytest.mark.parametrize(
    "specs, cutsets, sim_time, series",
    [
        pytest.param([[[N, ("failure", 3)], [N, N]]], [[1]], 6, [0, 0, 0, 1, 1, 1], id="failure-at-3"),
        pytest.param([[[N, ("failure", 6)], [N, N]]], [[1]], 6, [0] * 6, id="due-at-horizon"),
        pytest.param([[[N, ("failure", 3)], [N, N]]], [[1]], 0, [], id="simTime-0"),
        pytest.param(
            [[[N, ("failure", 3)], [("inspection", 5), N]]],
            [[1]],
            12,
            [0, 0, 0] + [1] * 9,
            id="inspection-repair-then-overdue-failure",
        ),
        pytest.param(
            [[[N, ("inspection", 4)], [("inspection", 3), N]]],
            [[1]],
            11,
            [0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0],
            id="two-schedules",
        ),
        pytest.param(
            [[[N, ("failure", 2)], [("inspection", 5), N]], [[N, ("failure", 4)], [N, N]]],
            [[1, 1]],
            8,
            [0, 0, 0, 0, 1, 1, 1, 1],
            id="parallel-pair",
        ),
    ],
)
def test_hand_worked_series(specs, cutsets, sim_time, series, capfd):
    model = make_model(specs)
    assert tarvo.runnerSingleSim(sim_time, model, make_tree(cutsets), 11) == series
    assert ref.simulate(sim_time, specs, cutsets, 11)[0] == series
    assert capfd.readouterr().out == ""


# ---- The engine against the reference simulator ----


def random_law(rng, from_state):
    # Fixed failure times only leave state 0: a cycle of overdue failures would never end, and
    # every other law sometimes draws a delay of at least one unit.
    kinds = ["never", "exponential", "uniform", "weibull", "inspection"]
    kind = rng.choice(kinds + ["failure"] if from_state == 0 else kinds)
    if kind == "never":
        return N
    if kind == "exponential":
        return ("exponential", rng.uniform(0.01, 0.5))
    if kind == "uniform":
        a = rng.uniform(-15.0, 20.0)  # below 0 some first samples are rejected with a warning
        return ("uniform", a, max(a + 0.5, 2.0) + rng.uniform(0.0, 30.0))
    if kind == "weibull":
        return ("weibull", rng.uniform(1.0, 40.0), rng.uniform(0.3, 4.0))
    if kind == "inspection":
        return ("inspection", rng.randint(1, 25))
    return ("failure", rng.randint(0, 150))


def random_model(rng):
    n_components = rng.randint(1, 5)
    n_states = rng.randint(2, 4)
    specs = [
        [[N if k == s else random_law(rng, s) for k in range(n_states)] for s in range(n_states)]
        for _ in range(n_components)
    ]
    cutsets = []
    while len(cutsets) < rng.randint(1, 4):
        cs = [rng.randint(0, 1) for _ in range(n_components)]
        if any(cs):
            cutsets.append(cs)
    return specs, cutsets


@pytest.mark.parametrize("model_seed", range(40))
def test_engine_matches_reference_bit_for_bit(model_seed, capfd):
    rng = random.Random(model_seed)
    specs, cutsets = random_model(rng)
    model = make_model(specs)
    tree = make_tree(cutsets)
    for seed in (rng.randint(-(2**31), 2**31 - 1), 0, -1):
        sim_time = rng.randint(0, 400)
        series = tarvo.runnerSingleSim(sim_time, model, tree, seed)
        expected, _, lines = ref.simulate(sim_time, specs, cutsets, seed)
        assert series == expected, (specs, cutsets, seed, sim_time)
        assert capfd.readouterr().out == "".join(line + "\n" for line in lines)


def test_reference_models_exercise_the_interesting_paths():
    # The comparison above only means something if the random models are busy.
    events = warnings = overdue = 0
    for model_seed in range(40):
        rng = random.Random(model_seed)
        specs, cutsets = random_model(rng)
        _, log, lines = ref.simulate(400, specs, cutsets, 5)
        events += len(log)
        warnings += len(lines)
        overdue += sum(1 for a, b in zip(log, log[1:]) if a[0] == b[0])
    assert events > 2000 and warnings >= 5 and overdue > 100


def test_reference_twister_matches_published_output():
    assert ref.MT19937(5489).next_u32() == 3499211612


# ---- Console warnings ----


def test_warning_line_byte_for_byte(capfd):
    # Seed 254923 opens with the draw 0.250000477, so the law answers -3.499999523.
    model = [[[tarvo.Uniform(-3.75, -2.75)]]]
    assert tarvo.runnerSingleSim(2, model, single_tree(), 254923) == [0, 0]
    out = capfd.readouterr().out
    assert out == "Warning: nextTimeDouble is out of bounds: -3.5  0.25\n"


def test_each_rejected_first_sample_prints_one_line(capfd):
    # Two components, three states: six draws, every law out of bounds but the never law.
    specs = [[[("uniform", -9.0, -1.0)] * 2 + [N], [N] * 3, [N] * 3]] * 2
    tarvo.runnerSingleSim(3, make_model(specs), make_tree([[1, 1]]), 77)
    _, _, lines = ref.simulate(3, specs, [[1, 1]], 77)
    out = capfd.readouterr().out
    assert out.splitlines() == lines
    assert len(lines) == 4


# ---- Failures ----

D = tarvo.Distribution
F3 = tarvo.InstantaneousFailure(3)


NONE_LAW = "Component 0, state 1: the law of the transition into state 1 is missing (None)."
SHORT_ROW = "Component 0, state 1: expected 2 transition laws, found 1."
LONG_ROW = "Component 0, state 0: expected 2 transition laws, found 3."
MISSING_ROW = "Component 1, state 0: the transition into state 1 leads to a state without a row of laws."
NO_ROWS = "Component 1 has no row of laws for its initial state 0."
EMPTY = "Transitions matrix must not be empty."


@pytest.mark.parametrize(
    "model, message",
    [
        pytest.param([[[D(), F3], [D(), None]]], NONE_LAW, id="none-law"),
        pytest.param([[[D(), F3], [D()]]], SHORT_ROW, id="short-row"),
        pytest.param([[[D(), F3, D()], [D(), D()]]], LONG_ROW, id="long-row"),
        pytest.param([[[D(), D()], [D(), D()]], [[D(), F3]]], MISSING_ROW, id="missing-reachable-row"),
        pytest.param([[[D(), F3], [D(), D()]], []], NO_ROWS, id="no-rows"),
        pytest.param([], EMPTY, id="empty-model"),
        pytest.param([[]], EMPTY, id="no-states"),
    ],
)
def test_malformed_model_is_a_value_error(model, message, capfd):
    with pytest.raises(ValueError) as info:
        tarvo.runnerSingleSim(10, model, single_tree(), 1)
    assert str(info.value) == message
    assert capfd.readouterr() == ("", "")


def test_missing_row_of_an_unreachable_state_is_accepted():
    model = [[[D(), F3], [D(), D()]], [[D(), D()]]]
    assert tarvo.runnerSingleSim(5, model, make_tree([[1, 1]]), 1) == [0] * 5


def test_null_tree_is_checked_before_the_model():
    with pytest.raises(ValueError, match=r"^Cutset matrix must not be null\.$"):
        tarvo.runnerSingleSim(10, [[[D(), None]]], None, 1)


def test_negative_sim_time_is_a_memory_error(capfd):
    with pytest.raises(MemoryError):
        tarvo.runnerSingleSim(-1, [[[D()]]], single_tree(), 1)
    assert capfd.readouterr() == ("", "")


def test_wrong_law_type_is_refused_before_anything_runs(capfd):
    with pytest.raises(TypeError):
        tarvo.runnerSingleSim(10, [[[D(), 3.5], [D(), D()]]], single_tree(), 1)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(
    "specs, unit",
    [
        pytest.param([[[N, ("uniform", 0.0, 1.0)], [("uniform", 0.0, 1.0), N]]], 0, id="zero-delay-cycle"),
        pytest.param([[[N, ("failure", 2)], [("failure", 1), N]]], 2, id="overdue-both-ways"),
    ],
)
def test_history_that_stops_advancing_is_a_runtime_error(specs, unit):
    with pytest.raises(RuntimeError, match=rf"time unit {unit}:"):
        tarvo.runnerSingleSim(10, make_model(specs), single_tree(), 4)


@pytest.mark.parametrize("runner", ["runnerSingleSim", "runnerMultipleSim"])
def test_zero_delay_cycle_among_many_components_is_found_without_a_hang(runner):
    # One looping component among 10,000 working ones; a search whose cost grows with the
    # components would take minutes, so the child gets a timeout.
    script = f"""
import tarvo
D, instant = tarvo.Distribution(), tarvo.Uniform(0.0, 1.0)
calm = [[D, tarvo.Exponential(0.001)], [tarvo.Exponential(0.1), D]]
model = [calm] * 9999 + [[[D, instant], [instant, D]]]
tree = tarvo.CutsetTree(10000)
tree.insertNode([1] * 10000)
args = (10, model, tree, 4) if "{runner}" == "runnerSingleSim" else (2, 10, model, tree, 4)
try:
    tarvo.{runner}(*args)
except RuntimeError as error:
    print(error)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert re.search(r"^History stopped advancing at time unit 0: component 9999 ", done.stdout, re.M), done


def test_a_zero_engine_output_does_not_stop_a_run_of_normal_laws(capfd):
    # Seed 27494765: the twister's 40th output is 0, which Normal.quantile would refuse as p.
    twister = ref.MT19937(27494765)
    assert [twister.next_u32() for _ in range(40)][39] == 0
    law = tarvo.Normal(5.0, 1.0)
    model, tree = [[[law, law], [law, law]]], single_tree()
    series = tarvo.runnerSingleSim(1000, model, tree, 27494765)
    assert len(series) == 1000 and set(series) <= {0, 1}
    assert tarvo.runnerMultipleSim(1, 1000, model, tree, 27494765) == series
    with pytest.raises(IndexError):
        law.quantile(0.0, 0)  # the law itself still refuses p = 0
    capfd.readouterr()


def test_same_seed_same_series():
    specs, cutsets = random_model(random.Random(1234))
    model, tree = make_model(specs), make_tree(cutsets)
    first = tarvo.runnerSingleSim(300, model, tree, 8)
    assert tarvo.runnerSingleSim(300, model, tree, 8) == first
    assert all(value in (0, 1) for value in first)
