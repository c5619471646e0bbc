"""Properties of runs with random calendars: what must hold between all and unplanned downtime,
the phases and the required time, whatever the calendar, and runs reproducible from the seed on
any number of threads."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvokit
from tarvokit.data.calendar_measures import check

DURATIONS = st.one_of(st.integers(5, 120).map(float),
                      st.tuples(st.integers(5, 60), st.integers(1, 60)).map(
                          lambda t: {"law": "Uniform", "low": t[0], "high": t[0] + t[1]}))


@st.composite
def calendars(draw):
    count = draw(st.integers(1, 3))
    names = [f"p{i}" for i in range(count)]
    required = draw(st.lists(st.booleans(), min_size=count, max_size=count))
    required[draw(st.integers(0, count - 1))] = True  # the plant is asked to run sometimes
    phases = {"sequence": names}
    for name, flag in zip(names, required):
        phases[name] = {"duration": draw(DURATIONS), "required": flag}
        if draw(st.booleans()):
            phases[name]["fails_when"] = draw(st.sampled_from(["a", "b", "a and b", "c"]))
    if count > 1 and draw(st.booleans()):
        phases[names[0]]["on_system_failure"] = names[1]
    a = {"failure": {"law": "Weibull", "scale": draw(st.integers(20, 200)), "shape": 1.5},
         "repair": {"law": "Exponential", "mean": draw(st.integers(1, 20))}}
    if draw(st.booleans()):
        a["duty"] = {draw(st.sampled_from(names)): draw(st.sampled_from([0.0, 0.5, 2.0]))}
    if draw(st.booleans()):
        a["repair"]["held_until"] = draw(st.sampled_from(names))
    b = {"failure": {"law": "Exponential", "mean": draw(st.integers(20, 200))},
         "repair": {"law": "Inspection", "period": draw(st.integers(10, 60))}}
    if draw(st.booleans()):
        b["repair"]["offset"] = draw(st.integers(0, 30))
        b["repair"]["duration"] = draw(st.integers(0, 5))
        b["repair"]["efficiency"] = draw(st.sampled_from([0.0, 0.5, 1.0]))
    planned = draw(st.booleans())
    c = {"states": ["working", "failed", "service"],
         "transitions": [
             {"from": "working", "to": "failed", "law": "Exponential", "mean": 300},
             {"from": "failed", "to": "working", "law": "Exponential", "mean": 5},
             {"from": "working", "to": "service", "law": "Inspection", "period": 70},
             {"from": "service", "to": "working", "law": "Maintenance", "durations": [2, 4]}]}
    if planned:
        c["planned"] = ["service"]
    return {"study": {"horizon": 400, "resolution": 1},
            "phases": phases, "components": {"a": a, "b": b, "c": c},
            "system": {"fails_when": "(a and b) or c"}}


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(calendars())
def test_downtime_splits_and_adds_up_whatever_the_calendar(data):
    model = tarvokit.Model.from_dict(data)
    one = model.run(histories=60, seed=7, threads=1)
    two = model.run(histories=60, seed=7, threads=2)
    assert np.array_equal(one.counts, two.counts)
    assert one.to_dict()["phases"] == two.to_dict()["phases"]
    figures, sums = one.distributions.calendar, one.distributions.sums
    problems = []
    check(figures, one.model, one.histories, 400, 400, sums.downtime,
          lambda path, message: problems.append(f"{path}: {message}"))
    assert problems == []
    assert np.all(figures.unplanned_counts <= one.counts)
    assert figures.unplanned.never_failed >= one.distributions.never_failed
    tests_out = data["components"]["b"]["repair"].get("duration", 0) > 0
    if "planned" not in data["components"]["c"] and not tests_out:
        assert figures.unplanned.sums == sums
    required = figures.required["required_steps_sum"]
    assert sums.downtime <= required <= one.histories * 400
    by_phase = {p: f.sums for p, f in zip(data["phases"]["sequence"], figures.phases)}
    required_phases = [p for p in by_phase if data["phases"][p]["required"]]
    assert required == sum(by_phase[p]["steps_sum"] for p in required_phases)
