"""Dependent components through the study layer: `run` against the exact Markov answer on the
cases engineers model, and the model file's new keys."""

import copy

import numpy as np
import pytest

import tarvokit

TOLERANCE = 4.5  # standard errors
HORIZON = 600


def unit(mean_up: float, mean_down: float, **more) -> dict:
    return {"failure": {"law": "Exponential", "mean": mean_up},
            "repair": {"law": "Exponential", "mean": mean_down}, **more}


def model(components: dict, fails_when: str, **more) -> dict:
    return {"study": {"name": "case", "time_unit": "h", "horizon": HORIZON},
            "components": components, "system": {"fails_when": fails_when}, **more}


CASES = {
    "2oo3-with-beta": model({"pump": {"count": 3, **unit(200, 10)}}, "atleast(2, pump[*])",
                            common_cause={"ccf": {"members": ["pump[*]"], "beta": 0.1}}),
    "cold-standby-one-crew": model(
        {"main": unit(100, 20), "spare": unit(100, 20, standby={"covers": ["main"]})},
        "main and spare", crews={"crew": {"count": 1, "repairs": ["main", "spare"]}}),
    "warm-standby-start-failures": model(
        {"main": unit(100, 15),
         "spare": unit(150, 15, standby={"covers": ["main"], "start_failure": 0.2,
                                         "dormant": {"law": "Exponential", "mean": 400}})},
        "main and spare"),
    "three-pumps-one-crew": model({"pump": {"count": 3, **unit(60, 20)}},
                                  "atleast(2, pump[*])",
                                  crews={"crew": {"count": 1, "repairs": ["pump[*]"]}}),
    "three-pumps-three-crews": model({"pump": {"count": 3, **unit(60, 20)}},
                                     "atleast(2, pump[*])",
                                     crews={"crew": {"count": 3, "repairs": ["pump[*]"]}}),
    "shock-over-standby-pair": model(
        {"main": unit(150, 10), "spare": unit(150, 10, standby={"covers": ["main"]})},
        "main and spare",
        common_cause={"storm": {"members": ["main", "spare"],
                                "shock": {"law": "Exponential", "mean": 300}}}),
}


@pytest.mark.parametrize("name", list(CASES))
def test_a_run_agrees_with_the_exact_markov_answer(name):
    study = tarvokit.Model.from_dict(CASES[name])
    exact = study.markov().answer
    found = study.run(histories=20_000, seed=7).measures()
    for measure, value in (("mean_unavailability", exact.mean_unavailability),
                           ("failure_frequency", exact.failure_frequency),
                           ("reliability", exact.reliability_over_horizon)):
        interval = getattr(found, measure)
        assert abs(interval.estimate - value) <= TOLERANCE * interval.standard_error, \
            (measure, interval, value)


def test_one_crew_leaves_a_pair_less_available_than_two():
    pair = model({"pump": {"count": 2, **unit(50, 25)}}, "pump[1] and pump[2]",
                 crews={"crew": {"count": 1, "repairs": ["pump[*]"]}})
    two = copy.deepcopy(pair)
    two["crews"]["crew"]["count"] = 2
    one_crew, two_crews = (tarvokit.Model.from_dict(d) for d in (pair, two))
    assert one_crew.markov().answer.mean_unavailability > \
        1.5 * two_crews.markov().answer.mean_unavailability
    simulated = [s.run(histories=20_000, seed=3).mean() for s in (one_crew, two_crews)]
    assert simulated[0].low > simulated[1].high


def test_a_common_cause_group_dominates_a_reliable_redundant_train():
    # Pumps down 0.5 % of the time: 2-out-of-3 independent failures are worth about 3 u^2;
    # a 5 % beta factor adds a shock rate beta x lambda, each shock keeping the train down until
    # two of its three repairs (rate mu each) are done: 1 / (3 mu) + 1 / (2 mu) on average.
    train = model({"pump": {"count": 3, **unit(2000, 10)}}, "atleast(2, pump[*])",
                  common_cause={"ccf": {"members": ["pump[*]"], "beta": 0.05}})
    independent = copy.deepcopy(train)
    del independent["common_cause"]
    with_beta = tarvokit.Model.from_dict(train).markov().answer.steady_unavailability
    without = tarvokit.Model.from_dict(independent).markov().answer.steady_unavailability
    u = 10 / 2010
    assert without == pytest.approx(3 * u * u - 2 * u ** 3, rel=1e-6)
    assert with_beta - without == pytest.approx(0.05 / 2000 * (10 / 3 + 10 / 2), rel=0.05)
    assert with_beta > 2.5 * without


def test_markov_refuses_a_law_that_is_not_exponential_naming_it():
    data = copy.deepcopy(CASES["three-pumps-one-crew"])
    data["components"]["pump"]["repair"] = {"law": "Uniform", "low": 1, "high": 3}
    with pytest.raises(tarvokit.ModelError,
                       match=r"^<dict>: components\.pump\.repair: .* follows a Uniform law"):
        tarvokit.Model.from_dict(data).markov()


def test_markov_refuses_a_chain_above_the_state_limit_with_its_size():
    data = model({"unit": {"count": 12, **unit(60, 20)}}, "atleast(6, unit[*])")
    with pytest.raises(tarvokit.ModelError, match="more than 1,000 states"):
        tarvokit.Model.from_dict(data).markov(state_limit=1000)


def test_sweeps_and_importance_work_on_dependent_models():
    study = tarvokit.Model.from_dict(CASES["three-pumps-one-crew"])
    sweep = study.sweep(tarvokit.Sweep("crews.crew.count", (1, 2, 3)), histories=4_000)
    means = [r.mean().estimate for r in sweep.results]
    assert means[0] > means[1] >= means[2] * 0.9
    importance = tarvokit.Model.from_dict(CASES["2oo3-with-beta"]).importance(histories=4_000)
    names = [row.measure.name for row in importance.rows()]
    assert "ccf" in names  # the group is a contributor of its own


@pytest.mark.parametrize("edit, message", [
    (lambda d: d["common_cause"]["ccf"].update(members=["pump[9]"]), "unknown component"),
    (lambda d: d["common_cause"]["ccf"].update(beta=1.0), "beta"),
    (lambda d: d["components"]["pump"].update(failure={"law": "Weibull", "scale": 100,
                                                       "shape": 2}), "Exponential"),
    (lambda d: d.update(crews={"a": {"count": 1, "repairs": ["pump[1]"]},
                               "b": {"count": 1, "repairs": ["pump[*]"]}}),
     "already repaired by crews.a"),
    (lambda d: d["components"]["pump"].update(standby={"covers": ["pump[1]"]}), "itself"),
], ids=["unknown-member", "beta-one", "beta-weibull", "two-pools", "covers-itself"])
def test_bad_dependency_keys_are_one_line_naming_the_key(edit, message):
    data = copy.deepcopy(CASES["2oo3-with-beta"])
    edit(data)
    with pytest.raises(tarvokit.ModelError, match=message) as caught:
        tarvokit.Model.from_dict(data)
    assert "\n" not in str(caught.value)
