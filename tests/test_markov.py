"""The exact Markov answer against theory: closed forms, small chains written out by hand from
the dependency rules, and the product formula of independent components."""

import itertools
import math
import re
from unittest import mock

import numpy as np
import pytest
import scipy.linalg
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvokit.engine import markov
from tarvokit.engine.markov import MarkovError, build_chain, solve_markov
from tarvokit.model.errors import ModelError

# Gauss-Legendre nodes on [0, 1]: exact integrals of the smooth curves below, unit by unit.
_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(20)
NODES, WEIGHTS = (_NODES + 1) / 2, _WEIGHTS / 2


def unit(fail, repair=None):
    transitions = [{"from": "working", "to": "failed", "law": "Exponential", "rate": fail}]
    if repair is not None:
        transitions.append({"from": "failed", "to": "working", "law": "Exponential",
                            "mean": 1 / repair})
    return {"states": ["working", "failed"], "transitions": transitions}


def model(components, cut_sets, horizon=10, **dependencies):
    return {"study": {"name": "t", "time_unit": "h", "horizon": horizon, "resolution": 1},
            "components": components, "system": {"cut_sets": cut_sets}, **dependencies}


def crews(count, repairs, order="first_failed"):
    return {"crew": {"count": count, "repairs": repairs, "order": order}}


def stationary(generator):
    """pi Q = 0, sum 1, of a small dense irreducible generator."""
    n = len(generator)
    system = np.vstack([np.asarray(generator, float).T, np.ones(n)])
    right = np.zeros(n + 1)
    right[-1] = 1
    return np.linalg.lstsq(system, right, rcond=None)[0]


def dense_generator(rates, n):
    q = np.zeros((n, n))
    for (x, y), rate in rates.items():
        q[x, y] += rate
    np.fill_diagonal(q, -q.sum(axis=1))
    return q


def birth_death(births, deaths):
    weights = [1.0]
    for b, d in zip(births, deaths):
        weights.append(weights[-1] * b / d)
    return np.array(weights) / sum(weights)


def transient_figures(q, failed, horizon, start=0):
    """Point values and per-unit integrals of P(failed), and expected entries into the failed
    states over [0, horizon], from a dense generator: matrix exponentials and quadrature."""
    failed = np.asarray(failed, bool)
    p0 = np.zeros(len(q))
    p0[start] = 1

    def p(t):
        return p0 @ scipy.linalg.expm(q * t)

    entry = np.where(failed, 0.0, q[:, failed].sum(axis=1))
    point = np.array([p(t)[failed].sum() for t in range(horizon + 1)])
    per_unit, failures = [], 0.0
    for u in range(horizon):
        values = [p(u + x) for x in NODES]
        per_unit.append(sum(w * v[failed].sum() for w, v in zip(WEIGHTS, values)))
        failures += sum(w * v @ entry for w, v in zip(WEIGHTS, values))
    return point, np.array(per_unit), failures


@pytest.fixture(params=["factorised", "iterative"])
def solver(request, monkeypatch):
    """Runs a test with the steady state solved both ways: small systems are factorised,
    large ones go to GMRES."""
    if request.param == "iterative":
        monkeypatch.setattr(markov, "_DIRECT_SIZE", 0)
    return request.param


@pytest.fixture(params=["dense", "uniformized"])
def march(request, monkeypatch):
    """Runs a test with the chain marched both ways: small chains by their dense propagator,
    large ones by uniformization."""
    if request.param == "uniformized":
        monkeypatch.setattr(markov, "_DENSE_STATES", 0)
    return request.param


# --- One unit ------------------------------------------------------------------------------


@pytest.mark.parametrize("lam, mu, horizon", [
    (0.01, 0.2, 50), (0.5, 2.0, 7), (1e-4, 1 / 36, 400),
    (0.05, 1.0, 3000),  # settles long before the horizon
    (20.0, 300.0, 5)])  # rates far above one per time unit
def test_one_repairable_unit_matches_its_closed_forms(lam, mu, horizon, march):
    answer = solve_markov(model({"a": unit(lam, mu)}, [["a"]], horizon))
    s = lam + mu
    t = np.arange(horizon + 1)
    u = np.arange(horizon)
    assert answer.point_unavailability == pytest.approx(lam / s * (1 - np.exp(-s * t)),
                                                        rel=1e-9, abs=1e-14)
    # The integral of A'(t) = lam/s (1 - e^(-s t)) over [u, u + 1].
    integral = lam / s * (1 - (np.exp(-s * u) - np.exp(-s * (u + 1))) / s)
    assert answer.unavailability == pytest.approx(integral, rel=1e-9, abs=1e-14)
    # Failures come at rate lam while working: lam times the integral of A(t).
    uptime = mu * horizon / s + lam / s**2 * (1 - math.exp(-s * horizon))
    assert answer.failure_frequency == pytest.approx(lam * uptime, rel=1e-9)
    assert answer.reliability == pytest.approx(np.exp(-lam * (u + 1)), rel=1e-9)
    assert answer.mean_down_time == pytest.approx((horizon - uptime) / (lam * uptime), rel=1e-9)
    assert answer.mean_up_time == pytest.approx(1 / lam, rel=1e-9)
    assert answer.mean_time_to_failure == pytest.approx(1 / lam, rel=1e-9)
    assert answer.steady_unavailability == pytest.approx(lam / s, rel=1e-9)
    assert answer.steady_failure_frequency == pytest.approx(lam * mu / s, rel=1e-9)
    # In the long run an outage lasts 1/mu.
    assert (answer.steady_unavailability / answer.steady_failure_frequency
            == pytest.approx(1 / mu, rel=1e-9))


def test_a_unit_without_repair_fails_once_and_stays_down(march):
    lam, horizon = 0.1, 20
    answer = solve_markov(model({"a": unit(lam)}, [["a"]], horizon))
    assert answer.failure_frequency == pytest.approx(1 - math.exp(-lam * horizon), rel=1e-9)
    assert answer.steady_unavailability == pytest.approx(1.0)
    assert answer.steady_failure_frequency == pytest.approx(0.0, abs=1e-15)
    assert answer.mean_time_to_failure == pytest.approx(1 / lam)


def test_steady_state_weighs_each_closed_class_by_the_chance_of_reaching_it(solver):
    # x ends in one of two absorbing failure modes; y keeps cycling in either class.
    x = {"states": ["working", "failed", "broken"], "transitions": [
        {"from": "working", "to": "failed", "law": "Exponential", "rate": 0.3},
        {"from": "working", "to": "broken", "law": "Exponential", "rate": 0.1}]}
    lam, mu = 0.2, 0.7
    answer = solve_markov(model({"x": x, "y": unit(lam, mu)}, [["x", "y"]]))
    assert answer.steady_unavailability == pytest.approx(lam / (lam + mu), rel=1e-9)
    assert answer.steady_failure_frequency == pytest.approx(lam * mu / (lam + mu), rel=1e-9)


def test_a_system_that_cannot_fail_never_fails():
    never = {"states": ["working", "failed"], "transitions": []}
    answer = solve_markov(model({"a": unit(0.1, 1.0), "b": never}, [["a", "b"]], 5))
    assert answer.mean_time_to_failure == math.inf
    assert answer.failure_frequency == 0.0 and answer.steady_failure_frequency == 0.0
    assert answer.reliability == pytest.approx(np.ones(5), rel=1e-12)
    assert math.isnan(answer.mean_down_time) and answer.mean_up_time == math.inf


# --- k-out-of-n trains ---------------------------------------------------------------------


def test_two_out_of_three_train_reliability_without_repair(march):
    lam, horizon = 0.05, 30
    pumps = {f"p{i}": unit(lam) for i in range(3)}
    answer = solve_markov(model(pumps, [list(pair) for pair in itertools.combinations(pumps, 2)],
                                horizon))
    t = np.arange(1, horizon + 1)
    assert answer.reliability == pytest.approx(3 * np.exp(-2 * lam * t) - 2 * np.exp(-3 * lam * t),
                                               rel=1e-9)
    assert answer.mean_time_to_failure == pytest.approx(5 / (6 * lam), rel=1e-9)


def test_two_out_of_three_train_mean_time_to_failure_with_repair(solver):
    lam, mu = 0.01, 0.5
    pumps = {f"p{i}": unit(lam, mu) for i in range(3)}
    answer = solve_markov(model(pumps, [list(p) for p in itertools.combinations(pumps, 2)]))
    # From "all working": 3 lam to one down, then 2 lam to failure or mu back.
    assert answer.mean_time_to_failure == pytest.approx((5 * lam + mu) / (6 * lam**2), rel=1e-9)


def test_two_out_of_three_train_reliability_with_repair_over_a_long_horizon(march):
    lam, mu, horizon = 0.01, 0.5, 3000
    pumps = {f"p{i}": unit(lam, mu) for i in range(3)}
    answer = solve_markov(model(pumps, [list(p) for p in itertools.combinations(pumps, 2)],
                                horizon))
    # Working states: none or one pump down; failure is absorbing.
    working = dense_generator({(0, 1): 3 * lam, (1, 0): mu}, 2) - np.diag([0, 2 * lam])
    expected = [scipy.linalg.expm(working * t)[0].sum() for t in range(1, horizon + 1)]
    assert answer.reliability == pytest.approx(expected, rel=1e-8)


@pytest.mark.parametrize("units, fails_at, crew_count", [
    (2, 2, 1), (2, 2, 2), (2, 2, None), (3, 2, 1), (3, 2, 2), (3, 2, 3), (3, 2, None),
    (4, 3, 2)])
def test_identical_units_with_crews_follow_the_birth_death_chain(units, fails_at, crew_count,
                                                                 solver):
    lam, mu = 0.02, 0.25
    names = [f"u{i}" for i in range(units)]
    extra = {} if crew_count is None else {"crews": crews(crew_count, names)}
    answer = solve_markov(model({n: unit(lam, mu) for n in names},
                                [list(c) for c in itertools.combinations(names, fails_at)],
                                **extra))
    busy = units if crew_count is None else crew_count
    pi = birth_death([(units - j) * lam for j in range(units)],
                     [min(j, busy) * mu for j in range(1, units + 1)])
    assert answer.steady_unavailability == pytest.approx(pi[fails_at:].sum(), rel=1e-8)
    assert answer.steady_failure_frequency == pytest.approx(
        pi[fails_at - 1] * (units - fails_at + 1) * lam, rel=1e-8)


def test_a_pair_with_one_crew_is_less_available_than_with_two():
    pair = {"a": unit(0.05, 0.3), "b": unit(0.05, 0.3)}
    one = solve_markov(model(pair, [["a", "b"]], 100, crews=crews(1, ["a", "b"])))
    two = solve_markov(model(pair, [["a", "b"]], 100, crews=crews(2, ["a", "b"])))
    assert one.steady_unavailability > 1.2 * two.steady_unavailability
    assert one.mean_unavailability > 1.2 * two.mean_unavailability


def test_one_crew_pair_over_time_matches_its_birth_death_chain(march):
    lam, mu, horizon = 0.2, 0.9, 6
    answer = solve_markov(model({"a": unit(lam, mu), "b": unit(lam, mu)}, [["a", "b"]], horizon,
                                crews=crews(1, ["a", "b"])))
    q = dense_generator({(0, 1): 2 * lam, (1, 2): lam, (1, 0): mu, (2, 1): mu}, 3)
    point, per_unit, failures = transient_figures(q, [False, False, True], horizon)
    assert answer.point_unavailability == pytest.approx(point, rel=1e-8, abs=1e-14)
    assert answer.unavailability == pytest.approx(per_unit, rel=1e-8)
    assert answer.failure_frequency == pytest.approx(failures, rel=1e-8)


# --- The queue's order ---------------------------------------------------------------------


def one_crew_reference(fail, repair, priority=None):
    """A generator for independent units sharing one crew: a state is the queue, the unit in
    repair first. First failed first, or (priority given) the waiting ones by priority."""
    states, index, rates = [()], {(): 0}, {}

    def add(x, y, rate):
        if y not in index:
            index[y] = len(states)
            states.append(y)
        rates[index[x], index[y]] = rates.get((index[x], index[y]), 0.0) + rate

    for state in states:
        for i in range(len(fail)):
            if i not in state:
                queue = state + (i,)
                if priority is not None and len(queue) > 1:
                    queue = queue[:1] + tuple(sorted(queue[1:], key=priority.index))
                add(state, queue, fail[i])
        if state:
            add(state, state[1:], repair[state[0]])
    return states, dense_generator(rates, len(states))


@pytest.mark.parametrize("order, priority", [
    ("first_failed", None), ("listed", [0, 1, 2]), ("listed", [2, 0, 1]), ("listed", [1, 2, 0])])
def test_one_crew_serves_the_queue_in_its_order(order, priority, solver):
    fail, repair = [0.1, 0.3, 0.2], [0.5, 2.0, 1.0]
    names = ["a", "b", "c"]
    cut_sets = [["a"], ["b", "c"]]
    listed = [names[i] for i in (priority or [0, 1, 2])]
    answer = solve_markov(model({n: unit(f, r) for n, f, r in zip(names, fail, repair)},
                                cut_sets, crews=crews(1, listed, order)))
    states, q = one_crew_reference(fail, repair, priority)
    failed = [0 in s or {1, 2} <= set(s) for s in states]
    assert answer.states == len(states)
    assert answer.steady_unavailability == pytest.approx(stationary(q) @ failed, rel=1e-8)


def test_the_critical_unit_first_in_the_list_shortens_outages():
    units = {"critical": unit(0.1, 0.5), "x": unit(0.3, 0.5), "y": unit(0.3, 0.5)}
    cut_sets = [["critical"], ["x", "y"]]
    first = solve_markov(model(units, cut_sets, crews=crews(1, ["critical", "x", "y"], "listed")))
    last = solve_markov(model(units, cut_sets, crews=crews(1, ["x", "y", "critical"], "listed")))
    assert first.steady_unavailability < 0.95 * last.steady_unavailability


# --- Common cause --------------------------------------------------------------------------


@pytest.mark.parametrize("beta", [0.0, 0.05, 0.3])
def test_beta_factor_pair_matches_its_closed_form(beta):
    lam, mu = 0.01, 0.2
    answer = solve_markov(model({"a": unit(lam, mu), "b": unit(lam, mu)}, [["a", "b"]],
                                common_cause={"g": {"members": ["a", "b"], "beta": beta}}))
    # Units down: 0 -> 1 at 2 (1 - beta) lam, 0 -> 2 at beta lam, 1 -> 2 at lam (own failure
    # or a strike), repairs at mu each.
    pi1 = (2 - beta) * lam / mu
    pi2 = (beta * lam + pi1 * lam) / (2 * mu)
    total = 1 + pi1 + pi2
    assert answer.steady_unavailability == pytest.approx(pi2 / total, rel=1e-9)
    assert answer.steady_failure_frequency == pytest.approx((beta * lam + pi1 * lam) / total,
                                                            rel=1e-9)


def test_two_out_of_three_train_with_a_beta_factor_matches_its_lumped_chain(march):
    lam, mu, beta, horizon = 0.003, 0.1, 0.05, 40
    names = ["p1", "p2", "p3"]
    answer = solve_markov(model({n: unit(lam, mu) for n in names},
                                [list(c) for c in itertools.combinations(names, 2)], horizon,
                                common_cause={"ccf": {"members": names, "beta": beta}}))
    # The number of units down: each working one fails alone at (1 - beta) lam, a strike
    # takes them all, each down one is repaired at mu.
    rates = {}
    for down in range(4):
        if down < 3:
            rates[down, down + 1] = (3 - down) * (1 - beta) * lam
            rates[down, 3] = rates.get((down, 3), 0.0) + beta * lam
        if down > 0:
            rates[down, down - 1] = down * mu
    q = dense_generator(rates, 4)
    failed = [False, False, True, True]
    assert answer.steady_unavailability == pytest.approx(stationary(q) @ failed, rel=1e-8)
    point, per_unit, failures = transient_figures(q, failed, horizon)
    assert answer.unavailability == pytest.approx(per_unit, rel=1e-7)
    assert answer.failure_frequency == pytest.approx(failures, rel=1e-7)


# --- Standby units -------------------------------------------------------------------------


def test_cold_standby_pair_with_one_crew_matches_its_closed_form():
    lam, mu = 0.02, 0.3
    answer = solve_markov(model(
        {"a": unit(lam, mu), "s": unit(lam, mu) | {"standby": {"covers": ["a"],
                                                              "start_failure": 0.0}}},
        [["a", "s"]], 50, crews=crews(1, ["a", "s"])))
    # One unit runs at a time, one crew: units down 0 -> 1 -> 2 at lam, back at mu.
    total = lam**2 + lam * mu + mu**2
    assert answer.steady_unavailability == pytest.approx(lam**2 / total, rel=1e-9)
    assert answer.steady_failure_frequency == pytest.approx(lam**2 * mu / total, rel=1e-9)
    # The pair fails after two failures in a row: MTTF = (2 lam + mu) / lam^2.
    assert answer.mean_time_to_failure == pytest.approx((2 * lam + mu) / lam**2, rel=1e-9)


def warm_standby_chain(lam, mu, run, dormant, repair, p, shock=0.0):
    """A (lam, mu) covered by S (running rate `run`, dormant rate, repair rate, start failure
    p), repairs independent, a shock at rate `shock` over both. States: 0 A up, S standby;
    1 A down, S running; 2 both down; 3 A up, S down."""
    return dense_generator({
        (0, 1): (1 - p) * lam, (0, 2): p * lam + shock, (0, 3): dormant,
        (1, 0): mu, (1, 2): run + shock,
        (2, 3): mu, (2, 1): (1 - p) * repair,  # S back while A is down: demanded again
        (3, 0): repair, (3, 2): lam + shock}, 4)


@pytest.mark.parametrize("p, dormant, shock", [
    (0.0, 0.0, 0.0), (0.1, 0.0, 0.0), (0.1, 0.004, 0.0), (1.0, 0.004, 0.0), (0.0, 0.0, 0.01),
    (0.2, 0.004, 0.01)])
def test_standby_pair_matches_its_chain_written_out(p, dormant, shock, solver, march):
    lam, mu, run, repair, horizon = 0.05, 0.4, 0.08, 0.25, 12
    standby = {"covers": ["a"], "start_failure": p}
    if dormant:
        standby["dormant"] = {"law": "Exponential", "rate": dormant}
    extra = {"common_cause": {"g": {"members": ["a", "s"], "shock": {"law": "Exponential",
                                                                      "rate": shock}}}
             } if shock else {}
    answer = solve_markov(model({"a": unit(lam, mu), "s": unit(run, repair) | {"standby": standby}},
                                [["a", "s"]], horizon, **extra))
    q = warm_standby_chain(lam, mu, run, dormant, repair, p, shock)
    failed = [False, False, True, False]
    assert answer.steady_unavailability == pytest.approx(stationary(q) @ failed, rel=1e-8)
    point, per_unit, failures = transient_figures(q, failed, horizon)
    assert answer.point_unavailability == pytest.approx(point, rel=1e-8, abs=1e-15)
    assert answer.unavailability == pytest.approx(per_unit, rel=1e-8, abs=1e-15)
    assert answer.failure_frequency == pytest.approx(failures, rel=1e-8)


def test_second_standby_is_demanded_when_the_first_fails_to_start():
    # a is covered by s1, then s2 (file order); s1 never starts, s2 always does. The system
    # needs a or s2, so it behaves as the cold standby pair (a, s2) with independent repairs.
    lam, mu = 0.1, 0.5
    never = {"covers": ["a"], "start_failure": 1.0}
    always = {"covers": ["a"], "start_failure": 0.0}
    answer = solve_markov(model({"a": unit(lam, mu), "s1": unit(lam, mu) | {"standby": never},
                                 "s2": unit(lam, mu) | {"standby": always}},
                                [["a", "s2"]], 5))
    q = warm_standby_chain(lam, mu, lam, 0.0, mu, 0.0)
    assert answer.steady_unavailability == pytest.approx(stationary(q)[2], rel=1e-8)


def two_standby_chain(a, f, g):
    """Unit a covered by cold standby units f then g (file order), starting always, repairs
    independent; each given as (failure rate, repair rate). A state is (a, f, g): U up, D down,
    sb standby, run running. A running unit that fails while a is down hands over to the other
    if it waits in standby; a unit back from repair while a is down starts at once; when a
    comes back every running unit returns to standby."""
    (la, ma), (lf, mf), (lg, mg) = a, f, g
    rates = {
        ("U sb sb", "D run sb"): la,
        ("D run sb", "U sb sb"): ma, ("D run sb", "D D run"): lf,
        ("D D run", "U D sb"): ma, ("D D run", "D run run"): mf, ("D D run", "D D D"): lg,
        ("U D sb", "D D run"): la, ("U D sb", "U sb sb"): mf,
        ("D run run", "U sb sb"): ma, ("D run run", "D D run"): lf,
        ("D run run", "D run D"): lg,
        ("D D D", "U D D"): ma, ("D D D", "D run D"): mf, ("D D D", "D D run"): mg,
        ("D run D", "U sb D"): ma, ("D run D", "D D D"): lf, ("D run D", "D run run"): mg,
        ("U D D", "D D D"): la, ("U D D", "U sb D"): mf, ("U D D", "U D sb"): mg,
        ("U sb D", "D run D"): la, ("U sb D", "U sb sb"): mg}
    names = list(dict.fromkeys(x for pair in rates for x in pair))
    q = dense_generator({(names.index(x), names.index(y)): r for (x, y), r in rates.items()},
                        len(names))
    return names, q


@pytest.mark.parametrize("first, second", [("sturdy", "fragile"), ("fragile", "sturdy")])
def test_two_standby_units_start_in_file_order_and_replace_each_other(first, second, march):
    rates = {"a": (0.1, 0.5), "sturdy": (0.02, 0.4), "fragile": (0.3, 0.7)}
    horizon = 8
    components = {"a": unit(*rates["a"])}
    for name in (first, second):
        components[name] = unit(*rates[name]) | {"standby": {"covers": ["a"]}}
    answer = solve_markov(model(components, [["a", first, second]], horizon))
    states, q = two_standby_chain(rates["a"], rates[first], rates[second])
    failed = [state == "D D D" for state in states]
    assert answer.states == len(states)
    assert answer.steady_unavailability == pytest.approx(stationary(q) @ failed, rel=1e-8)
    point, per_unit, failures = transient_figures(q, failed, horizon)
    assert answer.unavailability == pytest.approx(per_unit, rel=1e-8)
    assert answer.failure_frequency == pytest.approx(failures, rel=1e-8)


# --- Independent components: the product formula -------------------------------------------


@st.composite
def independent_models(draw):
    rate = st.floats(0.05, 2.0)
    components = {}
    for c in range(draw(st.integers(1, 4))):
        if draw(st.booleans()):
            components[f"c{c}"] = unit(draw(rate), draw(rate))
            continue
        transitions = [
            {"from": "working", "to": "failed", "law": "Exponential", "rate": draw(rate)},
            {"from": "working", "to": "maintenance", "law": "Exponential", "rate": draw(rate)},
            {"from": "failed", "to": "working", "law": "Exponential", "rate": draw(rate)},
            {"from": "maintenance", "to": "working", "law": "Exponential", "rate": draw(rate)}]
        if draw(st.booleans()):
            transitions.append({"from": "failed", "to": "maintenance", "law": "Exponential",
                                "rate": draw(rate)})
        components[f"c{c}"] = {"states": ["working", "failed", "maintenance"],
                               "transitions": transitions}
    names = list(components)
    cut_sets = draw(st.lists(st.lists(st.sampled_from(names), min_size=1, unique=True),
                             min_size=1, max_size=3))
    return model(components, cut_sets, horizon=3)


def component_generator(entry):
    states = entry["states"]
    return dense_generator({(states.index(t["from"]), states.index(t["to"])):
                            t["rate"] if "rate" in t else 1 / t["mean"]
                            for t in entry["transitions"]}, len(states))


def union_probability(cut_sets, down):
    """P(some cut set entirely down), components independent: inclusion-exclusion."""
    total = 0.0
    for size in range(1, len(cut_sets) + 1):
        for chosen in itertools.combinations(cut_sets, size):
            members = set().union(*map(set, chosen))
            total += (-1) ** (size + 1) * math.prod(down[m] for m in members)
    return total


@pytest.mark.parametrize("dense_states", [markov._DENSE_STATES, 0], ids=["dense", "uniformized"])
@settings(max_examples=30, deadline=None)
@given(description=independent_models())
def test_independent_components_follow_the_product_formula(dense_states, description):
    with mock.patch.object(markov, "_DENSE_STATES", dense_states):
        answer = solve_markov(description)
    generators = {name: component_generator(entry)
                  for name, entry in description["components"].items()}
    cut_sets = description["system"]["cut_sets"]

    def unavailability(t):
        return union_probability(cut_sets, {n: 1 - scipy.linalg.expm(q * t)[0, 0]
                                            for n, q in generators.items()})

    horizon = description["study"]["horizon"]
    assert answer.point_unavailability == pytest.approx(
        [unavailability(t) for t in range(horizon + 1)], rel=1e-8, abs=1e-13)
    assert answer.unavailability == pytest.approx(
        [sum(w * unavailability(u + x) for x, w in zip(NODES, WEIGHTS)) for u in range(horizon)],
        rel=1e-8, abs=1e-13)
    steady = union_probability(cut_sets, {n: 1 - stationary(q)[0] for n, q in generators.items()})
    assert answer.steady_unavailability == pytest.approx(steady, rel=1e-8, abs=1e-13)


# --- Refusals ------------------------------------------------------------------------------


def transition_law(component, index, law):
    def change(description):
        transitions = description["components"][component]["transitions"]
        transitions[index] = {"from": transitions[index]["from"], "to": transitions[index]["to"],
                              **law}
    return change


def standby_dormant(law):
    return lambda description: description["components"]["spare"]["standby"].update(dormant=law)


def shock(law):
    return lambda description: description.update(
        common_cause={"g": {"members": ["pump", "valve"], "shock": law}})


@pytest.mark.parametrize("change, path, law_name", [
    (transition_law("valve", 0, {"law": "Weibull", "scale": 100, "shape": 2}),
     "components.valve.transitions[0]", "Weibull"),
    (transition_law("valve", 1, {"law": "Inspection", "period": 100}),
     "components.valve.transitions[1]", "Inspection"),
    (transition_law("valve", 1, {"law": "Maintenance", "durations": [1, 2]}),
     "components.valve.transitions[1]", "Maintenance"),
    (transition_law("valve", 0, {"law": "InstantaneousFailure", "at": 3}),
     "components.valve.transitions[0]", "InstantaneousFailure"),
    (transition_law("valve", 0, {"law": "Discrete", "values": [1, 2]}),
     "components.valve.transitions[0]", "Discrete"),
    (transition_law("pump", 1, {"law": "Normal", "mean": 10, "sd": 1}),
     "components.pump.transitions[1]", "Normal"),
    (standby_dormant({"law": "Uniform", "low": 1, "high": 9}),
     "components.spare.standby.dormant", "Uniform"),
    (shock({"law": "Weibull", "scale": 9, "shape": 3}), "common_cause.g.shock", "Weibull"),
])
def test_laws_that_are_not_exponential_are_refused_naming_the_transition(change, path, law_name):
    description = model({"pump": unit(0.1, 1.0), "valve": unit(0.2, 2.0),
                         "spare": unit(0.1, 1.0) | {"standby": {"covers": ["pump"]}}},
                        [["pump", "spare"], ["valve"]])
    change(description)
    with pytest.raises(MarkovError) as caught:
        solve_markov(description, source="plant.toml")
    message = str(caught.value)
    assert isinstance(caught.value, ModelError) and isinstance(caught.value, ValueError)
    assert message.startswith(f"plant.toml: {path}: ") and "\n" not in message
    assert law_name in message and "Exponential" in message


@pytest.mark.parametrize("change, path", [
    (lambda d: d["system"].update(cut_sets=[["pump", "valves"]]), "system.cut_sets[0]"),
    (lambda d: d.update(crews={"m": {"count": 1, "repairs": ["pumps"]}}), "crews.m.repairs"),
    (lambda d: d["components"]["spare"]["standby"].update(covers=["pomp"]),
     "components.spare.standby.covers"),
])
def test_unknown_components_are_refused_naming_the_key(change, path):
    description = model({"pump": unit(0.1, 1.0), "valve": unit(0.2, 2.0),
                         "spare": unit(0.1, 1.0) | {"standby": {"covers": ["pump"]}}},
                        [["pump", "spare"], ["valve"]])
    change(description)
    with pytest.raises(MarkovError, match=rf"^<dict>: {re.escape(path)}: unknown component"):
        solve_markov(description)


def test_a_chain_above_the_state_limit_is_refused_with_its_size():
    description = model({f"u{i}": unit(0.1, 1.0) for i in range(10)}, [["u0"]])
    assert build_chain(description, state_limit=1024).size == 1024
    with pytest.raises(MarkovError, match=r"more than 1,000 states \(up to 1\.02e\+03\)"):
        build_chain(description, state_limit=1000)
