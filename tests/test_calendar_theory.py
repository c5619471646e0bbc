"""The calendar against theory: staggered tests, test durations and efficiencies, duty and held
repairs, planned and unplanned downtime, and the engine's figures without a calendar unchanged."""

import copy
import math
from pathlib import Path

import numpy as np
import pytest

import tarvo
import tarvokit
from tarvokit.engine.build import engine_inputs

TOLERANCE = 4.5  # standard errors


def within(interval, value, tolerance=TOLERANCE):
    return abs(interval.estimate - value) <= tolerance * interval.standard_error + 1e-12


def study(components, system, horizon, resolution=10, phases=None):
    data = {"study": {"horizon": horizon, "resolution": resolution, "time_unit": "h"},
            "components": components, "system": {"fails_when": system}}
    if phases is not None:
        data["phases"] = phases
    return tarvokit.Model.from_dict(data)


# --- Tests at staggered times -------------------------------------------------------------


def exact_pair_mean(lam, period, offset_two, horizon, points=400_001):
    """The exact mean over [0, horizon] of q1(t) q2(t): each unit fails at rate lam and is
    renewed at its tests (unit 1 at period, 2 period, ...; unit 2 at offset_two, then every
    period), a failure hidden until then."""
    t = np.linspace(0.0, horizon, points)

    def age(first):
        return np.where(t < first, t, (t - first) % period)

    q1 = 1 - np.exp(-lam * age(period))
    q2 = 1 - np.exp(-lam * age(offset_two))
    product = q1 * q2
    return float(np.sum((product[1:] + product[:-1]) / 2 * np.diff(t)) / horizon)


@pytest.mark.parametrize("offset_two", [None, 100])
def test_two_redundant_units_tested_together_or_staggered_match_the_exact_integral(offset_two):
    lam, period, horizon = 1 / 1000, 200, 2000
    repair = {"law": "Inspection", "period": period}
    second = dict(repair) if offset_two is None else {**repair, "offset": offset_two}
    model = study({"a": {"failure": {"law": "Exponential", "rate": lam}, "repair": repair},
                   "b": {"failure": {"law": "Exponential", "rate": lam}, "repair": second}},
                  "a and b", horizon)
    found = model.run(histories=40_000, seed=11, threads=2).measures()
    exact = exact_pair_mean(lam, period, period if offset_two is None else offset_two,
                             horizon)
    assert within(found.mean_unavailability, exact)


def test_staggering_by_half_a_period_takes_the_mean_to_five_eighths_for_small_lambda_t():
    period = 100.0
    together = exact_pair_mean(1e-5, period, period, 100 * period)
    staggered = exact_pair_mean(1e-5, period, period / 2, 100 * period)
    assert staggered / together == pytest.approx(5 / 8, rel=0.02)


# --- A tested unit: duration, efficiency, offset --------------------------------------------


def renewal_of_tested_unit(lam, period, offset, duration, efficiency, horizon):
    """The expected (unplanned, planned) downtime of a unit failing at rate lam and tested at
    offset, offset + period, ...: a test takes a working unit out for `duration` (planned,
    its clock frozen), finds a failure with chance `efficiency` (down, unplanned, until the test
    ends; a missed one stays failed). Exact, interval by interval, by the chance of being failed
    at the start of each."""
    unplanned = planned = 0.0
    failed = 0.0  # chance of being failed at the start of the interval
    start, test = 0.0, offset
    while start < horizon:
        end = min(test, horizon)
        length = end - start
        survive = math.exp(-lam * length)
        unplanned += failed * length + (1 - failed) * (length - (1 - survive) / lam)
        if test >= horizon:
            break
        down = failed + (1 - failed) * (1 - survive)  # failed when the test begins
        out = min(duration, horizon - test)
        unplanned += down * out
        planned += (1 - down) * out
        failed = down * (1 - efficiency)
        start, test = test + duration, test + period
    return unplanned, planned


@pytest.mark.parametrize("offset, duration, efficiency", [
    (None, 0, 1.0),     # today's inspection
    (None, 4, 1.0),     # out for 4 h at each test
    (30, 0, 0.7),       # a staggered first test; 30 % of failures missed
    (50, 5, 0.8),
])
def test_a_tested_unit_matches_its_renewal_computation(offset, duration, efficiency):
    lam, period, horizon = 1 / 300, 100, 1000
    repair = {"law": "Inspection", "period": period, "duration": duration,
              "efficiency": efficiency}
    if offset is not None:
        repair["offset"] = offset
    model = study({"unit": {"failure": {"law": "Exponential", "rate": lam}, "repair": repair}},
                  "unit", horizon)
    result = model.run(histories=30_000, seed=5, threads=2)
    unplanned, planned = renewal_of_tested_unit(lam, period, period if offset is None else offset,
                                     duration, efficiency, horizon)
    assert within(result.measures().mean_unavailability, (unplanned + planned) / horizon)
    assert within(result.calendar_measures().unplanned.mean_unavailability, unplanned / horizon)


def test_a_test_duration_adds_duration_over_period_of_planned_downtime_exactly():
    # A unit that does not fail: its only downtime is its tests, 9 of 3 h in 1000 h.
    model = study({"unit": {"failure": {"law": "Exponential", "mean": 1e12},
                            "repair": {"law": "Inspection", "period": 100, "duration": 3}}},
                  "unit", 1000)
    result = model.run(histories=200, seed=1, threads=1)
    assert result.measures().mean_unavailability.estimate == pytest.approx(27 / 1000)
    assert result.calendar_measures().unplanned.mean_unavailability.estimate == 0


# --- Duty and held repairs ----------------------------------------------------------------


@pytest.mark.parametrize("law, pace", [
    ({"law": "Exponential", "mean": 2000}, 0.0),
    ({"law": "Exponential", "mean": 2000}, 0.5),
    ({"law": "Weibull", "scale": 2000, "shape": 2.0}, 0.0),
])
def test_a_unit_ages_only_at_its_pace(law, pace):
    # Phases of 300 h at pace 1 and 200 h at `pace`, two cycles: 600 + 400 pace hours.
    phases = {"sequence": ["run", "stop"], "run": {"duration": 300},
              "stop": {"duration": 200}}
    model = study({"unit": {"failure": law, "duty": {"stop": pace}}}, "unit", 1000,
                  phases=phases)
    found = model.run(histories=20_000, seed=7, threads=2).measures()
    age = 600 + 400 * pace
    if law["law"] == "Exponential":
        exact = math.exp(-age / law["mean"])
    else:
        exact = math.exp(-((age / law["scale"]) ** law["shape"]))
    assert abs(found.reliability.estimate - exact) < 4.5 * math.sqrt(exact * (1 - exact)
                                                                      / 20_000)


def test_a_repair_held_until_the_outage_leaves_the_unit_down_for_the_rest_of_the_run():
    lam, run = 1 / 400, 500
    phases = {"sequence": ["run", "outage"], "run": {"duration": run},
              "outage": {"duration": 100, "required": False}}
    model = study({"unit": {"failure": {"law": "Exponential", "rate": lam},
                            "repair": {"law": "Exponential", "mean": 2,
                                       "held_until": "outage"},
                            "duty": {"outage": 0}}},
                  "unit", 3000, phases=phases)
    result = model.run(histories=20_000, seed=9, threads=2)
    # Each run phase starts with the unit working (repaired in the outage, which it cannot
    # fail in): its downtime there is that of a hidden failure.
    exact = 1 - (1 - math.exp(-lam * run)) / (lam * run)
    assert within(result.measures().mean_unavailability, exact)
    assert result.calendar_measures().required_share.estimate == pytest.approx(5 / 6)


def test_a_system_failure_that_starts_the_outage_leaves_no_required_downtime():
    phases = {"sequence": ["run", "outage"],
              "run": {"duration": 1000, "on_system_failure": "outage"},
              "outage": {"duration": 50, "required": False}}
    components = {"unit": {"failure": {"law": "Exponential", "mean": 600},
                           "repair": {"law": "Exponential", "mean": 1,
                                      "held_until": "outage"},
                           "duty": {"outage": 0}}}  # it cannot fail there
    switched = study(components, "unit", 5000, phases=phases).run(histories=2000, seed=3)
    assert switched.measures().mean_unavailability.estimate == 0
    rows = {row.name: row for row in switched.calendar_measures().phases}
    # More outages than the calendar's five: every failure brought one forward.
    assert rows["run"].failures.estimate > 0
    assert switched.calendar_measures().required_share.estimate < 5000 / 5250


# --- Planned and unplanned ----------------------------------------------------------------


PLANNED_MODEL = {
    "controller": {"states": ["working", "failed", "maintenance"],
                   "transitions": [
                       {"from": "working", "to": "failed", "law": "Exponential", "mean": 900},
                       {"from": "failed", "to": "working", "law": "Exponential", "mean": 8},
                       {"from": "working", "to": "maintenance", "law": "Inspection",
                        "period": 250},
                       {"from": "maintenance", "to": "working", "law": "Maintenance",
                        "durations": [4, 6]}]},
    "pump": {"count": 2, "failure": {"law": "Weibull", "scale": 700, "shape": 1.5},
             "repair": {"law": "Exponential", "mean": 30}},
}


@pytest.mark.parametrize("planned", [[], ["maintenance"]])
def test_unplanned_downtime_never_exceeds_all_downtime_and_equals_it_without_planned_states(
        planned):
    components = {**PLANNED_MODEL, "controller": {**PLANNED_MODEL["controller"],
                                                  "planned": planned}}
    if not planned:
        components["controller"].pop("planned")
        components["pump"] = {**components["pump"], "repair": {
            **components["pump"]["repair"], "held_until": "work"}}
    phases = {"sequence": ["work", "pause"], "work": {"duration": 200},
              "pause": {"duration": 40, "required": False}}
    result = study(components, "controller or (pump[1] and pump[2])", 1000,
                   phases=phases).run(histories=3000, seed=2)
    sums, figures = result.distributions.sums, result.distributions.calendar
    unplanned = figures.unplanned.sums
    assert unplanned.downtime <= sums.downtime
    assert np.all(figures.unplanned_counts <= result.counts)
    if planned:
        assert unplanned.downtime < sums.downtime
        assert result.calendar_measures().unplanned.reliability.estimate > \
            result.measures().reliability.estimate
    else:
        assert unplanned == sums and np.array_equal(figures.unplanned_counts, result.counts)
    for phase in figures.phases:
        assert phase.sums["unplanned_sum"] <= phase.sums["failed_sum"] <= phase.sums["steps_sum"]
    assert sum(p.sums["steps_sum"] for p in figures.phases) == result.histories * 1000 * 10


# --- Without a calendar, the figures of today ---------------------------------------------


@pytest.mark.parametrize("path", ["examples/cooling_water_loop.toml",
                                  "examples/plant_with_dependencies.toml"])
def test_a_calendar_of_one_required_phase_changes_no_figure(path):
    data = copy.deepcopy(tarvokit.load(path).model.input)
    for entry in data["components"].values():
        entry.pop("planned", None)  # the model without a calendar
    model = tarvokit.Model.from_dict(data, path, Path(path).parent)
    inputs = engine_inputs(model.model.description)
    assert "calendar" not in inputs.extra
    steps, per_unit = inputs.steps // 20, inputs.steps_per_unit
    plain = tarvo.runnerStudy(inputs.laws, inputs.tree, steps, 500, 17, 2, per_unit,
                              **inputs.extra)
    calendar = tarvo.Calendar(len(model.names))
    names = model.names
    calendar.addLogic([sorted(names.index(n) for n in s)
                       for s in model.model.description["system"]["cut_sets"]])
    calendar.setSequence([calendar.addPhase("all", steps, None, True, 0)])
    phased = tarvo.runnerCalendarStudy(inputs.laws, inputs.tree, steps, 500, 17, 2, per_unit,
                                       inputs.extra.get("dependencies"), calendar)
    for key, value in plain.items():
        assert np.array_equal(phased[key], value), key
        assert np.array_equal(phased["unplanned"][key], value), key


def test_a_run_with_random_phases_is_reproducible_from_its_seed_on_any_number_of_threads():
    phases = {"sequence": ["run", "stop"],
              "run": {"duration": {"law": "Normal", "mean": 300, "sd": 20}},
              "stop": {"duration": {"law": "Uniform", "low": 20, "high": 60},
                       "required": False}}
    model = study({"unit": {"failure": {"law": "Weibull", "scale": 500, "shape": 2},
                            "repair": {"law": "Exponential", "mean": 10,
                                       "held_until": "stop"},
                            "duty": {"stop": 0.2}}}, "unit", 2000, phases=phases)
    one = model.run(histories=600, seed=4, threads=1)
    two = model.run(histories=600, seed=4, threads=2)
    assert np.array_equal(one.counts, two.counts)
    assert one.to_dict()["phases"] == two.to_dict()["phases"]
    assert one.distributions.calendar.required == two.distributions.calendar.required
