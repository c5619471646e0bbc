"""Dependencies between components through the study runner: histories of standby units, repair
crews and common-cause groups against the exact answer of their Markov chains, the builder's and
the translation's checks, and reproducibility.

The exact answers come from continuous-time Markov chains written out here, state by state, and
solved with scipy (the mean of the unavailability over the horizon, an exact integral). The
engine counts whole steps and truncates delays, which biases the unavailability by about half a
step per delay: with mean times of 1,000 steps and more that is below 0.1 %, far inside the
tolerance of 4.5 standard errors of the simulated mean.
"""

from __future__ import annotations

import math
import re

import numpy as np
import pytest
from scipy.linalg import expm

import tarvo
from tarvokit.engine.dependencies import build_dependencies, has_dependencies
from tarvokit.engine.build import engine_law

LAMBDA = 1e-4  # failures per engine step
MU = 1e-3  # repairs per engine step
HORIZON = 200_000
HISTORIES = 20_000


# --- The exact answers ----------------------------------------------------------------------


def mean_unavailability(rates: dict[tuple[int, int], float], states: int, failed: set[int],
                        horizon: float = HORIZON) -> float:
    """Mean over [0, horizon] of the probability of a failed state, the chain starting in state 0.

    ∫ p(t) dt = p(0) ∫ exp(Qt) dt, the integral being the upper right block of
    exp([[Q, I], [0, 0]] horizon).
    """
    q = np.zeros((states, states))
    for (a, b), rate in rates.items():
        q[a, b] += rate
        q[a, a] -= rate
    block = np.zeros((2 * states, 2 * states))
    block[:states, :states] = q
    block[:states, states:] = np.eye(states)
    integral = expm(block * horizon)[:states, states:]
    start = np.zeros(states)
    start[0] = 1.0
    indicator = np.array([1.0 if s in failed else 0.0 for s in range(states)])
    return float(start @ integral @ indicator) / horizon


def cold_standby_pair(crews: int) -> float:
    """A unit and its cold standby, perfect switching: the chain of the number of units down (the
    running one fails at LAMBDA whichever it is)."""
    return mean_unavailability({(0, 1): LAMBDA, (1, 2): LAMBDA, (1, 0): MU, (2, 1): crews * MU},
                               3, {2})


def pumps_two_out_of_three(crews: int) -> float:
    """Three pumps, the system down with two: the chain of the number of pumps down, repaired by
    at most `crews` at once."""
    rates = {}
    for down in range(3):
        rates[(down, down + 1)] = (3 - down) * LAMBDA
        rates[(down + 1, down)] = min(down + 1, crews) * MU
    return mean_unavailability(rates, 4, {2, 3})


def warm_standby_with_start_failures(dormant: float, start_failure: float) -> float:
    """States: 0 (A up, B standby), 1 (A up, B down), 2 (A down, B running), 3 (both down);
    repairs independent. B back from repair while A is down is demanded at once."""
    p = start_failure
    return mean_unavailability({
        (0, 2): (1 - p) * LAMBDA, (0, 3): p * LAMBDA, (0, 1): dormant,
        (1, 3): LAMBDA, (1, 0): MU,
        (2, 3): LAMBDA, (2, 0): MU,
        (3, 1): MU, (3, 2): (1 - p) * MU,  # with p, B's repair ends in a failed start: no change
    }, 4, {3})


def beta_pair(beta: float) -> float:
    """Two units in parallel, each failing at LAMBDA in all, beta of it common; states are the
    pair (A down, B down) as 2 A + B."""
    alone, common = (1 - beta) * LAMBDA, beta * LAMBDA
    return mean_unavailability({
        (0, 2): alone, (0, 1): alone, (0, 3): common,
        (2, 3): alone + common, (2, 0): MU,
        (1, 3): alone + common, (1, 0): MU,
        (3, 1): MU, (3, 2): MU,
    }, 4, {3})


def shocked_standby_pair(shock: float) -> float:
    """A unit and its cold standby, both failed by shocks: 0 (A up, B standby), 1 (A down, B
    running), 2 (A up, B down), 3 (both down); repairs independent."""
    return mean_unavailability({
        (0, 1): LAMBDA, (0, 3): shock,
        (1, 3): LAMBDA + shock, (1, 0): MU,
        (2, 3): LAMBDA + shock, (2, 0): MU,
        (3, 2): MU, (3, 1): MU,
    }, 4, {3})


# --- Models as descriptions, run through the translation ----------------------------------


def exponential(mean: float) -> dict:
    return {"law": "Exponential", "mean": mean}


def two_state(failure_mean: float = 1 / LAMBDA, repair_mean: float = 1 / MU, **extra) -> dict:
    return {"states": ["working", "failed"],
            "transitions": [{"from": "working", "to": "failed", **exponential(failure_mean)},
                            {"from": "failed", "to": "working", **exponential(repair_mean)}],
            **extra}


def at_resolution_one(table: dict, path: str) -> tarvo.Distribution:
    return engine_law(table, path, 1)


def tree_of(names: list[str], cut_sets: list[list[str]]) -> tarvo.CutsetTree:
    tree = tarvo.CutsetTree(len(names))
    tree.constructTree([[1 if n in s else 0 for n in names] for s in cut_sets])
    return tree


def study(description: dict, histories: int = HISTORIES, seed: int = 1, threads: int = 2,
          dependencies: bool = True) -> dict:
    engine = build_dependencies(description, at_resolution_one, "<test>")
    names = list(description["components"])
    tree = tree_of(names, description["system"]["cut_sets"])
    return tarvo.runnerStudy(engine.laws, tree, HORIZON, histories, seed, threads, HORIZON,
                             dependencies=engine.dependencies if dependencies else None)


def estimate(figures: dict) -> tuple[float, float]:
    """Mean unavailability and its standard error, from the exact per-history sums."""
    n, steps = figures["histories"], figures["sim_time"]
    total, squares = figures["failed_steps_sum"], figures["failed_steps_sum_of_squares"]
    variance = (squares - total * total / n) / (n - 1)
    return total / (n * steps), math.sqrt(variance / n) / steps


def standby_pair(crews: int | None, start_failure: float = 0.0, dormant: float | None = None,
                 shock: float | None = None) -> dict:
    standby = {"covers": ["A"], "start_failure": start_failure}
    if dormant is not None:
        standby["dormant"] = exponential(1 / dormant)
    description = {"components": {"A": two_state(), "B": two_state(standby=standby)},
                   "system": {"cut_sets": [["A", "B"]]}}
    if crews is not None:
        description["crews"] = {"mechanics": {"count": crews, "repairs": ["A", "B"]}}
    if shock is not None:
        description["common_cause"] = {"storm": {"members": ["A", "B"],
                                                 "shock": exponential(1 / shock)}}
    return description


def three_pumps(crews: int) -> dict:
    pumps = ["pump[1]", "pump[2]", "pump[3]"]
    return {"components": {p: two_state() for p in pumps},
            "crews": {"mechanics": {"count": crews, "repairs": ["pump[*]"]}},
            "system": {"cut_sets": [[a, b] for i, a in enumerate(pumps) for b in pumps[i + 1:]]}}


THEORY = [
    pytest.param(standby_pair(crews=1), cold_standby_pair(1), id="cold standby, one crew"),
    pytest.param(standby_pair(crews=2), cold_standby_pair(2), id="cold standby, two crews"),
    pytest.param(standby_pair(crews=2, start_failure=0.1, dormant=2e-5),
                 warm_standby_with_start_failures(2e-5, 0.1), id="warm standby, start failures"),
    pytest.param({"components": {"A": two_state(), "B": two_state()},
                  "common_cause": {"ccf": {"members": ["A", "B"], "beta": 0.1}},
                  "system": {"cut_sets": [["A", "B"]]}},
                 beta_pair(0.1), id="beta pair"),
    pytest.param(standby_pair(crews=None, shock=2e-5), shocked_standby_pair(2e-5),
                 id="shocks over a standby pair"),
    pytest.param(three_pumps(crews=1), pumps_two_out_of_three(1), id="three pumps, one crew"),
    pytest.param(three_pumps(crews=3), pumps_two_out_of_three(3), id="three pumps, three crews"),
]


@pytest.mark.parametrize("description, exact", THEORY)
def test_mean_unavailability_matches_the_markov_chain(description, exact):
    mean, error = estimate(study(description))
    assert abs(mean - exact) < 4.5 * error, (mean, exact, error)


def test_one_crew_leaves_a_standby_pair_less_available_than_two():
    one, one_error = estimate(study(standby_pair(crews=1)))
    two, two_error = estimate(study(standby_pair(crews=2)))
    assert one - two > 4.5 * math.hypot(one_error, two_error)
    # The chains agree on the size of the difference.
    assert cold_standby_pair(1) - cold_standby_pair(2) == pytest.approx(one - two, rel=0.25)


def test_dependencies_change_the_answer_of_the_independent_model():
    # The same laws without dependencies: a plain parallel pair with independent repairs.
    description = standby_pair(crews=1)
    independent, error = estimate(study(description, dependencies=False))
    rho = LAMBDA / MU
    assert independent == pytest.approx((rho / (1 + rho)) ** 2, abs=4.5 * error)
    assert abs(independent - cold_standby_pair(1)) > 4.5 * error


# --- Reproducibility and the independent engine -------------------------------------------

ARRAYS = ["failed_steps_per_unit", "failed_steps_histogram", "failures_histogram",
          "first_failure_histogram"]


def same_figures(a: dict, b: dict) -> bool:
    return (all(np.array_equal(a[k], b[k]) for k in ARRAYS)
            and all(a[k] == b[k] for k in a if k not in ARRAYS))


def busy_model() -> tuple[list, tarvo.CutsetTree]:
    never = tarvo.Distribution()
    fail, repair = tarvo.Exponential(0.01), tarvo.Uniform(2, 30)
    laws = [[[never, fail, never], [repair, never, never], [never, never, never]]
            for _ in range(4)]
    tree = tarvo.CutsetTree(4)
    tree.constructTree([[1, 1, 0, 0], [0, 0, 1, 1], [1, 0, 1, 0]])
    return laws, tree


def busy_dependencies() -> tarvo.Dependencies:
    dependencies = tarvo.Dependencies(4)
    dependencies.addStandby(3, [0, 1], 0, 2, 1, tarvo.Exponential(0.001), 0.2)
    dependencies.addCommonCause([0, 1], [1, 1], tarvo.Exponential(0.002))
    dependencies.addCrewPool(1, [2, 1, 0], "listed")
    return dependencies


@pytest.mark.parametrize("threads", [1, 2], ids=["threads=1", "threads=2"])
def test_same_seed_same_figures_whatever_the_threads(threads):
    laws, tree = busy_model()
    dependencies = busy_dependencies()
    reference = tarvo.runnerStudy(laws, tree, 5000, 300, 7, 1, 10, dependencies=dependencies)
    again = tarvo.runnerStudy(laws, tree, 5000, 300, 7, threads, 10, dependencies=dependencies)
    assert same_figures(reference, again)
    other = tarvo.runnerStudy(laws, tree, 5000, 300, 8, threads, 10, dependencies=dependencies)
    assert not same_figures(reference, other)


def test_dependencies_without_mechanisms_give_the_independent_figures_bit_for_bit():
    laws, tree = busy_model()
    independent = tarvo.runnerStudy(laws, tree, 5000, 300, 7, 2, 10)
    none = tarvo.runnerStudy(laws, tree, 5000, 300, 7, 2, 10, dependencies=tarvo.Dependencies(4))
    assert same_figures(independent, none)


def test_laws_given_to_the_builder_live_as_long_as_it():
    laws, tree = busy_model()
    dependencies = busy_dependencies()  # its laws were created inline and dropped
    import gc

    gc.collect()
    figures = tarvo.runnerStudy(laws, tree, 5000, 50, 7, 1, 10, dependencies=dependencies)
    assert figures["histories"] == 50


# --- The builder's checks ---------------------------------------------------------------------

LAW = tarvo.Exponential(0.1)


@pytest.mark.parametrize("call, message", [
    (lambda d: d.setDownStates(3, [False]), "setDownStates: no component 3"),
    (lambda d: d.setInitialState(0, -2), "state -2 is negative"),
    (lambda d: d.addCommonCause([0, 0], [1, 1], LAW), "component 0 is given twice"),
    (lambda d: d.addCommonCause([0, 1], [1], LAW), "2 members but 1 failed states"),
    (lambda d: d.addStandby(1, [1], 0, 2, 1), "covers itself"),
    (lambda d: d.addStandby(1, [0], 0, 2, 1, None, 1.2), "must be in [0, 1]"),
    (lambda d: d.addCrewPool(0, [0]), "count must be at least 1"),
    (lambda d: d.addCrewPool(1, [0], "fifo"), 'crew order must be "first_failed" or "listed"'),
    (lambda d: (d.addCrewPool(1, [0]), d.addCrewPool(1, [2, 0])),
     "component 0 is already repaired by crew pool 0"),
], ids=["component", "initial state", "twice", "failed states", "covers itself", "start failure",
        "count", "order", "two pools"])
def test_the_builder_names_what_is_wrong(call, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        call(tarvo.Dependencies(3))


def test_the_run_checks_the_dependencies_against_the_model():
    laws, tree = busy_model()
    with pytest.raises(ValueError, match="describe 3 components but the model has 4"):
        tarvo.runnerStudy(laws, tree, 100, 1, 1, 1, 1, dependencies=tarvo.Dependencies(3))
    dependencies = tarvo.Dependencies(4)
    dependencies.setInitialState(2, 7)
    with pytest.raises(ValueError, match="component 2: initial state 7 is not a state"):
        tarvo.runnerStudy(laws, tree, 100, 1, 1, 1, 1, dependencies=dependencies)


def test_the_builder_describes_itself():
    dependencies = busy_dependencies()
    assert dependencies.numComponents == 4
    assert repr(dependencies) == ("<tarvo.Dependencies of 4 components: 1 common-cause group,"
                                  " 1 standby unit, 1 crew pool>")


# --- The translation --------------------------------------------------------------------------


def test_a_standby_unit_gains_a_standby_state_it_starts_in():
    engine = build_dependencies(standby_pair(crews=1), at_resolution_one)
    assert engine.states == [["working", "failed"], ["working", "failed", "standby"]]
    assert len(engine.laws[0]) == len(engine.laws[1]) == 3
    assert has_dependencies(standby_pair(crews=None))
    independent = {"components": {"A": two_state()}, "system": {"cut_sets": [["A"]]}}
    assert not has_dependencies(independent)
    assert build_dependencies(independent, at_resolution_one).dependencies is None


def rate_per_step(law: tarvo.Distribution) -> float:
    """An Exponential law's rate, from its median."""
    return math.log(2) / law.quantile(0.5, 0)


@pytest.mark.parametrize("failure", [{"mean": 1000.0}, {"rate": 1e-3}], ids=["mean", "rate"])
def test_beta_splits_each_members_rate_between_itself_and_the_group(failure):
    member = {"states": ["ok", "degraded", "failed"],
              "transitions": [{"from": "ok", "to": "failed", "law": "Exponential", **failure},
                              {"from": "failed", "to": "ok", **exponential(10)}]}
    description = {"components": {"a": member, "b": member},
                   "common_cause": {"g": {"members": ["a", "b"], "beta": 0.05}}}
    given = repr(description)
    engine = build_dependencies(description, lambda table, path: engine_law(table, path, 4))
    # State "failed" (2), not state 1, is the failed state; rates are per step (resolution 4).
    assert rate_per_step(engine.laws[0][0][2]) == pytest.approx(0.95e-3 / 4, rel=1e-6)
    assert type(engine.laws[0][0][1]) is tarvo.Distribution
    assert repr(description) == given  # the description is left as it was


def description_with(**tables) -> dict:
    components = {"pump[1]": two_state(), "pump[2]": two_state(), "valve": two_state()}
    components.update(tables.pop("components", {}))
    return {"components": components, "system": {"cut_sets": [["valve"]]}, **tables}


WEIBULL = {"law": "Weibull", "scale": 4000, "shape": 1.8}


@pytest.mark.parametrize("tables, message", [
    ({"crews": {"c": {"count": 1, "repairs": ["pump[3]"]}}},
     'crews.c.repairs[0]: unknown component "pump[3]"'),
    ({"crews": {"c": {"repairs": ["pump[*]"]}, "d": {"repairs": ["valve", "pump[2]"]}}},
     'crews.d.repairs: "pump[2]" is already repaired by crews.c'),
    ({"crews": {"c": {"count": 0, "repairs": ["valve"]}}}, "crews.c.count: expected a whole number"),
    ({"crews": {"c": {"repairs": ["valve"], "order": "fifo"}}}, 'crews.c.order: expected "first_failed"'),
    ({"common_cause": {"g": {"members": ["pump[*]"], "beta": 1.0}}},
     "common_cause.g.beta: expected a number in [0, 1)"),
    ({"common_cause": {"g": {"members": ["pump[*]"], "beta": -0.1}}},
     "common_cause.g.beta: expected a number in [0, 1)"),
    ({"components": {"pump[2]": {"states": ["working", "failed"], "transitions": [
        {"from": "working", "to": "failed", **WEIBULL}]}},
      "common_cause": {"g": {"members": ["pump[*]"], "beta": 0.1}}},
     'common_cause.g: beta needs Exponential failure laws, but "pump[2]" fails by Weibull'),
    ({"components": {"pump[2]": two_state(failure_mean=500)},
      "common_cause": {"g": {"members": ["pump[*]"], "beta": 0.1}}},
     'common_cause.g: beta needs one failure rate for every member, but "pump[2]" fails at rate 0.002'),
    ({"common_cause": {"g": {"members": ["valve"], "beta": 0.1, "shock": exponential(5)}}},
     'common_cause.g: expected exactly one of "beta" and "shock"'),
    ({"common_cause": {"g": {"members": ["valve", "valve"], "shock": exponential(5)}}},
     'common_cause.g.members[1]: component "valve" is given twice'),
    ({"common_cause": {"g": {"members": ["valve"], "beta": 0.1},
                       "h": {"members": ["valve"], "beta": 0.2}}},
     'common_cause.h.members: "valve" already has a beta factor in common_cause.g'),
    ({"components": {"valve": two_state(standby={"covers": ["valve"]})}},
     "components.valve.standby.covers: a standby unit cannot cover itself"),
    ({"components": {"valve": two_state(standby={"covers": ["pipe"]})}},
     'components.valve.standby.covers[0]: unknown component "pipe"'),
    ({"components": {"valve": two_state(standby={"covers": ["pump[1]"], "start_failure": 2})}},
     "components.valve.standby.start_failure: expected a probability"),
    ({"components": {"valve": two_state(standby={"covers": ["pump[1]"], "warm": True})}},
     'components.valve.standby.warm: unknown key "warm"'),
], ids=["unknown member", "two pools", "count", "order", "beta 1", "beta negative",
        "beta with Weibull", "beta with unequal rates", "beta and shock", "member twice",
        "two beta groups", "covers itself", "covers unknown", "start failure", "unknown key"])
def test_the_translation_names_the_key(tables, message):
    with pytest.raises(ValueError, match="^" + re.escape("<test>: " + message)):
        build_dependencies(description_with(**tables), at_resolution_one, "<test>")
