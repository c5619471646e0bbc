"""The calendar composed with capacities and with logistics: a calendar of one required phase
changes no figure of either, a phased plant's production against its closed form, planned
downtime in the split by cause, and the bad forms of a phase's demand."""

import copy
import json
import math

import numpy as np
import pytest
from scipy.integrate import quad

import tarvo
import tarvokit
from tarvokit.data.files import ResultError
from tarvokit.engine.build import engine_inputs
from tarvokit.engine.logistics import figure_layout
from tarvokit.model.errors import ModelError

TOLERANCE = 4.5  # standard errors
UP, DOWN = 300.0, 30.0

PUMPS = {
    "study": {"name": "pumps", "time_unit": "h", "horizon": 2000, "resolution": 2,
              "capacity_unit": "t/h"},
    "components": {"pump": {"count": 3, "capacity": 50,
                            "failure": {"law": "Weibull", "scale": 900, "shape": 1.5},
                            "repair": {"law": "Exponential", "mean": 40}},
                   "feed": {"capacity": 120, "failure": {"law": "Exponential", "mean": 3000},
                            "repair": {"law": "Exponential", "mean": 12}}},
    "crews": {"crew": {"count": 1, "repairs": ["pump[*]"]}},
    "system": {"capacity": "min(feed, sum(pump[*]), 100)", "demand": 100,
               "fails_when": "capacity < 50"},
}

LOGISTICS = {
    "study": {"name": "plant", "time_unit": "h", "horizon": 3000, "resolution": 2},
    "components": {
        "pump": {"count": 2, "failure": {"law": "Weibull", "scale": 1500, "shape": 2.0},
                 "repair": {"law": "Exponential", "mean": 24,
                            "delay": {"law": "Uniform", "low": 2, "high": 8},
                            "restoration": 0.5, "ageing": "kijima1"},
                 "cost": {"repair": 4000, "per_hour_down": 10}}},
    "spares": {"parts": {"parts": ["pump[*]"], "stock": 1,
                         "lead_time": {"law": "Exponential", "mean": 100}}},
    "crews": {"mechanics": {"count": 1, "repairs": ["pump[*]"],
                            "mobilisation": {"law": "Exponential", "mean": 4},
                            "cost": {"per_hour": 95, "per_call": 300}}},
    "costs": {"currency": "EUR", "system_down_per_hour": 12000},
    "system": {"fails_when": "pump[1] and pump[2]"},
}


def one_phase_calendar(model, steps):
    """A calendar of one required phase over the whole run, with the system's logic."""
    names = model.names
    calendar = tarvo.Calendar(len(names))
    calendar.addLogic([sorted(names.index(n) for n in s)
                       for s in model.model.description["system"]["cut_sets"]])
    calendar.setSequence([calendar.addPhase("all", steps, None, True, 0)])
    return calendar


@pytest.mark.parametrize("data, threads", [(PUMPS, 1), (PUMPS, 2), (LOGISTICS, 1),
                                           (LOGISTICS, 2)])
def test_a_calendar_of_one_required_phase_changes_no_production_or_logistic_figure(data,
                                                                                  threads):
    model = tarvokit.Model.from_dict(copy.deepcopy(data))
    inputs = engine_inputs(model.model.description)
    assert "calendar" not in inputs.extra
    steps = inputs.steps
    plain = tarvo.runnerStudy(inputs.laws, inputs.tree, steps, 400, 23, threads,
                              inputs.steps_per_unit, **inputs.extra)
    extra = dict(inputs.extra)
    phased = tarvo.runnerCalendarStudy(inputs.laws, inputs.tree, steps, 400, 23, threads,
                                       inputs.steps_per_unit, extra.pop("dependencies", None),
                                       one_phase_calendar(model, steps), **extra)
    compared = [k for k in ("production", "logistics") if k in plain]
    assert len(compared) == 1
    for key, value in plain.items():
        if key in compared:
            for inner, figure in value.items():
                assert np.array_equal(phased[key][inner], figure), (key, inner)
        else:
            assert np.array_equal(phased[key], value), key
    if "production" in plain:
        production = phased["production"]
        assert production["demanded_sum"] == 400 * steps * inputs.extra["capacity"].demand
        assert int(np.sum(production["demanded_per_unit"])) == production["demanded_sum"]


def one_unit(outage: dict, run_demand: float | None = None) -> dict:
    run = {"duration": 400} if run_demand is None else {"duration": 400, "demand": run_demand}
    return {"study": {"name": "unit", "time_unit": "h", "horizon": 1800, "resolution": 2},
            "components": {"unit": {"capacity": 10,
                                    "failure": {"law": "Exponential", "mean": UP},
                                    "repair": {"law": "Exponential", "mean": DOWN}}},
            "phases": {"sequence": ["run", "outage"], "run": run,
                       "outage": {"duration": 100, **outage}},
            "system": {"capacity": "unit", "fails_when": "capacity < 10"}}


@pytest.mark.parametrize("outage, run_demand", [({"required": False}, None),
                                                ({"demand": 0}, None),
                                                ({"demand": 4}, 8)])
def test_a_phased_unit_loses_the_demand_of_each_phase_while_it_is_down(outage, run_demand):
    """One unit, up and down at Exponential rates whatever the phase, so it is down at t with
    q(t) = l / s (1 - e^(-s t)), s = l + m. It loses the phase's demand while down: over the
    phases of the calendar, the expected lost and demanded production are integrals of q and
    of the demand, and the production availability their ratio."""
    rate, repair = 1 / UP, 1 / DOWN
    s = rate + repair

    def q(t: float) -> float:
        return rate / s * (1 - math.exp(-s * t))

    demand_run = 10.0 if run_demand is None else run_demand
    demand_out = outage.get("demand", 0.0)
    lost = demanded = 0.0
    for start in range(0, 1800, 500):
        for low, high, demand in ((start, start + 400, demand_run),
                                  (start + 400, start + 500, demand_out)):
            low, high = min(low, 1800), min(high, 1800)
            lost += demand * quad(q, low, high)[0]
            demanded += demand * (high - low)
    found = tarvokit.Model.from_dict(one_unit(outage, run_demand)).run(
        histories=20_000, seed=5, progress=False).production()
    assert abs(found.lost.estimate - lost) <= TOLERANCE * found.lost.standard_error, \
        (found.lost, lost)
    availability = 1 - lost / demanded
    assert abs(found.availability.estimate - availability) <= \
        TOLERANCE * found.availability.standard_error, (found.availability, availability)


def test_phased_runs_merge_read_back_and_refuse_altered_demand(tmp_path):
    study = tarvokit.Model.from_dict(one_unit({"required": False}))
    whole = study.run(histories=600, seed=1, progress=False)
    parts = [study.run(histories=300, seed=seed, progress=False) for seed in (1, 301)]
    merged = tarvokit.combine(parts)
    assert merged.distributions.production.to_dict() == whole.distributions.production.to_dict()
    data = whole.to_dict()
    folder = tmp_path / "out"
    folder.mkdir()
    (folder / "results.json").write_text(json.dumps(data))
    assert tarvokit.read(folder).to_dict()["production"] == data["production"]
    for field, value in (("demanded_sum", "1"), ("demanded_per_unit", [0] * 1800)):
        altered = copy.deepcopy(data)
        altered["distributions"]["production"][field] = value
        (folder / "results.json").write_text(json.dumps(altered))
        with pytest.raises(ResultError) as raised:
            tarvokit.read(folder)
        message = str(raised.value)
        assert str(folder) in message and field in message and "\n" not in message, message


PLANNED = {
    "study": {"name": "planned", "time_unit": "h", "horizon": 2000, "resolution": 2},
    "components": {"unit": {"states": ["working", "failed", "maintenance"],
                            "transitions": [
                                {"from": "working", "to": "failed", "law": "Exponential",
                                 "mean": 400},
                                {"from": "working", "to": "maintenance", "law": "Exponential",
                                 "mean": 500},
                                {"from": "failed", "to": "working", "law": "Exponential",
                                 "mean": 20},
                                {"from": "maintenance", "to": "working", "law": "Exponential",
                                 "mean": 10}],
                            "planned": ["maintenance"],
                            "cost": {"repair": 100}}},
    "costs": {"system_down_per_hour": 50},
    "system": {"fails_when": "unit"},
}


def test_planned_downtime_in_the_split_by_cause_is_the_calendar_s_planned_downtime():
    model = tarvokit.Model.from_dict(copy.deepcopy(PLANNED))
    inputs = engine_inputs(model.model.description)
    assert "calendar" in inputs.extra
    figures = tarvo.runnerCalendarStudy(inputs.laws, inputs.tree, inputs.steps, 2000, 3, 2,
                                        inputs.steps_per_unit, **inputs.extra)
    sums = figures["logistics"]
    scale = 2 ** sums["scale_bits"]
    layout = figure_layout(model.model.description)
    planned = sums["sums"][layout.system("planned")] / scale
    repair = sums["sums"][layout.system("repair")] / scale
    calendar_planned = figures["failed_steps_sum"] - figures["unplanned"]["failed_steps_sum"]
    assert calendar_planned > 0
    assert planned == pytest.approx(calendar_planned, abs=1e-3 * 2000)
    assert repair == pytest.approx(figures["unplanned"]["failed_steps_sum"], abs=1e-3 * 2000)
    unit_planned = sums["sums"][layout.component(0, "down_planned")] / scale
    assert unit_planned == pytest.approx(calendar_planned, abs=1e-3 * 2000)
    # Maintenance is not a failure: the unit's failures are the unplanned ones.
    assert sums["sums"][layout.component(0, "failures")] / scale == \
        figures["unplanned"]["failures_sum"]


def test_a_phased_plant_with_logistics_reports_planned_downtime_and_costs():
    result = tarvokit.Model.from_dict(copy.deepcopy(PLANNED)).run(histories=1000, seed=8,
                                                                  progress=False)
    data = result.to_dict()
    assert "costs" in data and "logistics" in data and "unplanned" in data


@pytest.mark.parametrize("change, key, words", [
    ({"outage": {"duration": 100, "demand": -1}}, "phases.outage.demand", "at least 0"),
    ({"outage": {"duration": 100, "demand": 11}}, "phases.outage.demand",
     "above the system's demand"),
    ({"outage": {"duration": 100, "demand": 2.5}}, "phases.outage.demand", "decimals"),
    ({"outage": {"duration": 100, "demand": "x"}}, "phases.outage.demand", "at least 0"),
])
def test_a_bad_phase_demand_is_one_line_naming_the_key(change, key, words):
    data = one_unit({"required": False})
    data["phases"].update(change)
    with pytest.raises(ModelError) as raised:
        tarvokit.Model.from_dict(data)
    message = str(raised.value)
    assert f"{key}: " in message and words in message and "\n" not in message, message


def test_a_phase_demand_without_capacities_is_refused_naming_the_key():
    data = one_unit({"demand": 0})
    del data["system"]["capacity"]
    data["system"]["fails_when"] = "unit"
    del data["components"]["unit"]["capacity"]
    with pytest.raises(ModelError) as raised:
        tarvokit.Model.from_dict(data)
    assert "phases.outage.demand: " in str(raised.value)


def test_capacities_with_logistics_keep_the_logistic_figures_and_costs_of_the_plant():
    """The capacity only watches the histories: with or without it, the same logistic
    figures bit for bit, and the run reports costs beside production."""
    data = copy.deepcopy(LOGISTICS)
    data["components"]["pump"]["capacity"] = 50
    data["system"] = {"capacity": "sum(pump[*])", "fails_when": "capacity < 50"}
    model = tarvokit.Model.from_dict(data)
    inputs = engine_inputs(model.model.description)
    assert "capacity" in inputs.extra
    runs = []
    for extra in (inputs.extra, {"dependencies": inputs.extra["dependencies"]}):
        runs.append(tarvo.runnerStudy(inputs.laws, inputs.tree, inputs.steps, 300, 9, 2,
                                      inputs.steps_per_unit, **extra))
    for inner, figure in runs[1]["logistics"].items():
        assert np.array_equal(runs[0]["logistics"][inner], figure), inner
    assert runs[0]["failed_steps_sum"] == runs[1]["failed_steps_sum"]
    result = model.run(histories=300, seed=9, progress=False).to_dict()
    assert "production" in result and "costs" in result and "logistics" in result
