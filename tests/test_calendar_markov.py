"""`tarvo markov` with phases of fixed durations against the simulation, and what it refuses."""

import copy

import numpy as np
import pytest

import tarvokit
from tarvokit.engine.markov import MarkovError

TOLERANCE = 4.5  # standard errors

PLANT = {
    "study": {"horizon": 1200, "resolution": 10, "time_unit": "h"},
    "phases": {"sequence": ["run", "outage"],
               "run": {"duration": 250, "fails_when": "feed or (pump[1] and pump[2])"},
               "outage": {"duration": 50, "required": False}},
    "components": {
        "pump": {"count": 2, "failure": {"law": "Exponential", "mean": 300},
                 "repair": {"law": "Exponential", "mean": 20}},
        "feed": {"failure": {"law": "Exponential", "mean": 2000},
                 "repair": {"law": "Exponential", "mean": 5}},
    },
    "system": {"fails_when": "feed or (pump[1] and pump[2])"},
}


def plant(held: bool, duty: float | None, **phases):
    data = copy.deepcopy(PLANT)
    pump = data["components"]["pump"]
    if held:
        pump["repair"]["held_until"] = "outage"
    if duty is not None:
        pump["duty"] = {"outage": duty}
    for name, changes in phases.items():
        data["phases"][name].update(changes)
    return tarvokit.Model.from_dict(data)


@pytest.mark.parametrize("held, duty", [(False, 0.0), (True, 0.0), (True, 0.5), (True, None)])
def test_the_simulation_agrees_with_the_phased_chain(held, duty):
    model = plant(held, duty)
    exact = model.markov().answer
    found = model.run(histories=20_000, seed=21, threads=2).measures()
    for interval, value in ((found.mean_unavailability, exact.mean_unavailability),
                            (found.failure_frequency, exact.failure_frequency)):
        assert abs(interval.estimate - value) <= TOLERANCE * interval.standard_error
    spread = np.sqrt(exact.reliability_over_horizon * (1 - exact.reliability_over_horizon)
                     / 20_000)
    assert abs(found.reliability.estimate - exact.reliability_over_horizon) <= TOLERANCE * spread


def test_phases_that_change_nothing_give_the_plain_chain_exactly():
    data = copy.deepcopy(PLANT)
    data["phases"]["outage"]["required"] = True
    data["phases"]["run"].pop("fails_when")
    phased = tarvokit.Model.from_dict(data).markov().answer
    data.pop("phases")
    plain = tarvokit.Model.from_dict(data).markov().answer
    assert phased.mean_unavailability == pytest.approx(plain.mean_unavailability, rel=1e-9)
    assert phased.failure_frequency == pytest.approx(plain.failure_frequency, rel=1e-9)
    assert np.allclose(phased.reliability, plain.reliability, rtol=1e-9, atol=1e-12)
    assert phased.steady_unavailability == pytest.approx(plain.steady_unavailability, rel=1e-6)


def test_a_unit_that_cannot_fail_in_a_phase_is_exactly_exponential_in_pace_time():
    data = copy.deepcopy(PLANT)
    data["components"] = {"unit": {"failure": {"law": "Exponential", "mean": 1000},
                                   "duty": {"outage": 0.0}}}
    data["phases"]["run"]["fails_when"] = "unit"
    data["phases"]["outage"]["required"] = True
    data["system"]["fails_when"] = "unit"
    answer = tarvokit.Model.from_dict(data).markov().answer
    # 1200 h: 4 runs of 250 h and 4 outages of 50 h, at pace 1 then 0.
    assert answer.reliability_over_horizon == pytest.approx(np.exp(-1000 / 1000), rel=1e-9)


@pytest.mark.parametrize("change, message", [
    ({"run": {"duration": {"law": "Uniform", "low": 200, "high": 300}}},
     r"phases\.run\.duration: a Uniform duration has no exact Markov answer"),
    ({"run": {"on_system_failure": "outage"}},
     r"phases\.run\.on_system_failure: a phase started by a system failure"),
])
def test_random_durations_and_switches_on_failure_are_refused_in_one_line(change, message):
    with pytest.raises(MarkovError, match=message) as caught:
        plant(True, 0.0, **change).markov()
    assert "\n" not in str(caught.value)


def test_a_test_is_refused_in_one_line():
    data = copy.deepcopy(PLANT)
    data["components"]["feed"]["repair"] = {"law": "Inspection", "period": 100, "offset": 50}
    with pytest.raises(MarkovError, match=r"components\.feed\.transitions\[1\]: an Inspection"):
        tarvokit.Model.from_dict(data).markov()
