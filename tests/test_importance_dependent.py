"""Importance when components depend on each other: a component's improvement potential is the
plant's downtime minus that of the plant with the component made perfect, on the same seeds,
checked against the exact Markov answers of both plants; and what "perfect" removes."""

import numpy as np
import pytest

import tarvo
import tarvokit
from tarvokit.data.importance import COMMON_CAUSE, COMPONENT, Perfect
from tarvokit.engine.build import engine_inputs
from tarvokit.engine.dependencies import perfect_variant
from tarvokit.views.importance_views import summary

TOLERANCE = 4.5  # standard errors
HORIZON = 1000


def unit(mean_up: float, mean_down: float, **more) -> dict:
    return {"failure": {"law": "Exponential", "mean": mean_up},
            "repair": {"law": "Exponential", "mean": mean_down}, **more}


def plant(components: dict, fails_when: str, **more) -> dict:
    return {"study": {"name": "plant", "time_unit": "h", "horizon": HORIZON},
            "components": components, "system": {"fails_when": fails_when}, **more}


def downtime(data: dict) -> float:
    return tarvokit.Model.from_dict(data).markov().answer.mean_unavailability * HORIZON


SERIES_ONE_CREW = plant({"a": unit(100, 25), "b": unit(100, 25)}, "a or b",
                        crews={"crew": {"count": 1, "repairs": ["a", "b"]}})


def test_potential_in_series_with_one_crew_is_the_exact_one_not_the_logics():
    """Two units in series sharing one crew: made perfect, a leaves b a crew of its own. The
    logic answer (the system minus b's own downtime in the plant) misses the waits a caused."""
    exact = downtime(SERIES_ONE_CREW) - downtime(
        plant({"b": unit(100, 25)}, "b", crews={"crew": {"count": 1, "repairs": ["b"]}}))
    result = tarvokit.Model.from_dict(SERIES_ONE_CREW).importance(histories=40_000, seed=3)
    rows = {row.measure.name: row for row in result.rows() if row.measure.kind == COMPONENT}
    for name in ("a", "b"):
        found = rows[name].downtime
        assert isinstance(rows[name].measure.rest_logic, Perfect)
        assert abs(found.estimate - exact) <= TOLERANCE * found.standard_error, (name, found, exact)
        # The logics' answer, from the same runs, is far off.
        other = "b" if name == "a" else "a"
        logic = (result.batch_means(result.system) - result.batch_means(
            frozenset({frozenset({result.names.index(other)})}))).mean() * HORIZON
        assert exact - logic > 8 * found.standard_error, (logic, exact)


def test_alike_units_ranked_apart_by_a_crew_in_listed_order_are_explained():
    listed = plant({"pump": {"count": 2, **unit(100, 25)}}, "pump[1] or pump[2]",
                   crews={"crew": {"count": 1, "repairs": ["pump[2]", "pump[1]"],
                                   "order": "listed"}})
    result = tarvokit.Model.from_dict(listed).importance(histories=4_000, seed=1)
    notes = [line for line in summary(result).splitlines() if "alike" in line]
    assert len(notes) == 1
    assert "pump[1], pump[2]" in notes[0] or "pump[2], pump[1]" in notes[0]
    assert "crews.crew repairs them in listed order" in notes[0]
    assert "made perfect" in summary(result)
    # Without dependencies the logics are exact, and alike units need no word.
    independent = plant({"pump": {"count": 2, **unit(100, 25)}}, "pump[1] or pump[2]")
    plain = tarvokit.Model.from_dict(independent).importance(histories=2_000, seed=1)
    assert not plain.dependent and "alike" not in summary(plain)


def feedwater(pump_mean: tuple = (200, 200, 200), valve_mean: float = 400,
              beta: dict | None = None) -> dict:
    """Three pumps (two needed, with a standby spare), one crew for them all, a beta factor over
    the pumps and a storm over the spare and a valve in series."""
    pumps = {f"p{i}": unit(mean, 10) for i, mean in enumerate(pump_mean, start=1)}
    return plant(
        {**pumps,
         "spare": unit(150, 10, standby={"covers": ["p1", "p2", "p3"], "start_failure": 0.3,
                                         "dormant": {"law": "Exponential", "mean": 300}}),
         "valve": unit(valve_mean, 5)},
        "atleast(2, p1, p2, p3, spare) or valve",
        common_cause={"beta": beta or {"members": ["p1", "p2", "p3"], "beta": 0.2},
                      "storm": {"members": ["spare", "valve"],
                                "shock": {"law": "Exponential", "mean": 500}}},
        crews={"crew": {"count": 1, "repairs": ["p1", "p2", "p3", "spare"]}})


PLANT = feedwater()
NAMES = ["p1", "p2", "p3", "spare", "valve"]
NEVER = 1e15  # a mean life no history reaches: the exact chain of a perfect unit


@pytest.mark.parametrize("name", NAMES)
def test_a_perfect_component_is_never_down_and_the_others_still_are(name):
    """Made perfect, a unit has no downtime of its own (no failure, dormant failure, failed
    start or shock); every other unit still fails, shocks included."""
    description = tarvokit.Model.from_dict(PLANT).description
    variant = perfect_variant(description, name)
    assert "perfect" not in description["components"][name]  # the plant is left as it was
    for other in NAMES:
        inputs = engine_inputs(variant, [[other]])
        found = tarvo.runnerStudy(inputs.laws, inputs.tree, inputs.steps, 300, 1, 1,
                                  inputs.steps_per_unit, **inputs.extra)
        if other == name:
            assert found["failed_steps_sum"] == 0 and found["failures_sum"] == 0, other
        else:
            assert found["failures_sum"] > 0, other


def test_importance_of_a_dependent_plant_against_the_exact_answers():
    """A pump (crew member, covered by the spare) from a perfect-plant run, the valve (in a
    shock group only: its failures change no one else's history) from logics; both against
    the Markov answers of the plant and of the plant with that unit made perfect (its shocks
    given to the others at the same rate). The groups are ranked with the components."""
    result = tarvokit.Model.from_dict(PLANT).importance(histories=20_000, seed=5)
    rows = {(row.measure.kind, row.measure.name): row for row in result.rows()}
    assert isinstance(rows[COMPONENT, "p1"].measure.rest_logic, Perfect)
    assert not isinstance(rows[COMPONENT, "valve"].measure.rest_logic, Perfect)
    pump_perfect = feedwater(pump_mean=(NEVER, 200 / 0.8, 200 / 0.8))
    pump_perfect["common_cause"]["beta"] = {
        "members": ["p2", "p3"], "shock": {"law": "Exponential", "mean": 200 / 0.2}}
    pump_perfect["components"]["p1"]["failure"]["mean"] = NEVER
    # The storm then strikes the spare alone, running or in standby: its rates add to the
    # spare's own.
    valve_perfect = feedwater(valve_mean=NEVER)
    del valve_perfect["common_cause"]["storm"]
    spare = valve_perfect["components"]["spare"]
    spare["failure"]["mean"] = 1 / (1 / 150 + 1 / 500)
    spare["standby"]["dormant"]["mean"] = 1 / (1 / 300 + 1 / 500)
    for name, perfect in (("p1", pump_perfect), ("valve", valve_perfect)):
        exact = downtime(PLANT) - downtime(perfect)
        found = rows[COMPONENT, name].downtime
        assert abs(found.estimate - exact) <= TOLERANCE * found.standard_error, (name, found, exact)
    table = result.to_dict()["table"]
    assert {row["name"] for row in table if row["kind"] == COMMON_CAUSE} == {"beta", "storm"}
    perfect_runs = [logic["perfect_component"] for logic in result.to_dict()["logics"]
                    if "perfect_component" in logic]
    assert sorted(perfect_runs) == ["p1", "p2", "p3", "spare"]
    # The pumps are alike and share the crew and a beta factor: strikes queue them in file order.
    notes = [line for line in summary(result).splitlines() if "alike" in line]
    assert len(notes) == 1 and "p1" in notes[0] and "spare" not in notes[0]
    assert "crews.crew takes those a common cause fails in the same instant" in notes[0]
