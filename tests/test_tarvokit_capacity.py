"""Capacities and production: the closed form of independent pumps, the exact Markov answer of a
dependent train, capacity-defined failure against the same logic as cut sets, the compiled
program against the reader's own evaluation, results that merge and read back, and the reader's
refusals."""

import copy
import json
import math
import random

import numpy as np
import pytest
from scipy.integrate import quad
from scipy.special import comb

import tarvo
import tarvokit
from tarvokit.data.files import ResultError
from tarvokit.engine.capacity import capacity_program
from tarvokit.model import capacity as capacities
from tarvokit.model.errors import ModelError

TOLERANCE = 4.5  # standard errors
HORIZON = 600
UP, DOWN = 200.0, 20.0


def unit(mean_up: float, mean_down: float, **more) -> dict:
    return {"failure": {"law": "Exponential", "mean": mean_up},
            "repair": {"law": "Exponential", "mean": mean_down}, **more}


def pumps(system: dict, count: int = 3, **more) -> dict:
    return {"study": {"name": "pumps", "time_unit": "h", "horizon": HORIZON,
                      "capacity_unit": "t/h"},
            "components": {"pump": {"count": count, "capacity": 50, **unit(UP, DOWN)}},
            "system": system, **more}


def within(interval, value: float, slack: float = 0.0) -> bool:
    return abs(interval.estimate - value) <= TOLERANCE * interval.standard_error + slack


# --- Against theory and the exact answer -------------------------------------------------------


def test_three_independent_pumps_follow_the_binomial_closed_form():
    """Each pump works at t with p(t) = mu/s + lambda/s e^(-s t), s = lambda + mu, on its own:
    k of the three work with the binomial chance, the plant delivers 50 k, and the production
    availability is the mean of p over the horizon."""
    rate, repair = 1 / UP, 1 / DOWN
    s = rate + repair

    def p(t: float) -> float:
        return repair / s + rate / s * math.exp(-s * t)

    study = tarvokit.Model.from_dict(pumps({"capacity": "sum(pump[*])",
                                            "fails_when": "capacity < 50"}))
    found = study.run(histories=20_000, seed=11, progress=False).production()
    assert found.demand == 150 and found.enumerated
    assert [level.low for level in found.levels] == [0, 50, 100, 150]
    mean_p = quad(p, 0, HORIZON)[0] / HORIZON
    assert within(found.availability, mean_p), (found.availability, mean_p)
    for k, level in enumerate(found.levels):
        share = quad(lambda t: comb(3, k) * p(t) ** k * (1 - p(t)) ** (3 - k), 0,
                     HORIZON)[0] / HORIZON
        assert within(level.share, share), (k, level.share, share)
    expected_lost = (1 - mean_p) * 150 * HORIZON
    assert within(found.lost, expected_lost), (found.lost, expected_lost)
    assert found.lost_quantiles["p50"].estimate <= found.lost_quantiles["p90"].estimate \
        <= found.lost_quantiles["p99"].estimate


TRAIN = pumps({"capacity": "min(sum(pump[*]), 100)", "demand": 100,
               "fails_when": "capacity < 50"},
              common_cause={"ccf": {"members": ["pump[*]"], "beta": 0.1}},
              crews={"crew": {"count": 1, "repairs": ["pump[*]"]}})


def test_a_two_out_of_three_train_with_beta_and_one_crew_agrees_with_markov():
    study = tarvokit.Model.from_dict(TRAIN)
    exact = study.markov().answer.production
    found = study.run(histories=20_000, seed=3, progress=False).production()
    assert within(found.availability, exact.availability), (found.availability, exact)
    for level, share in zip(found.levels, exact.shares):
        assert within(level.share, share), (level, share)
    assert within(found.lost, exact.expected_lost)
    # The band of the delivered curve holds the exact one nearly everywhere.
    result = study.run(histories=4_000, seed=50_000, progress=False)
    _, low, high = result.delivered_curve()
    inside = np.mean((low <= exact.delivered + 1e-9) & (exact.delivered <= high + 1e-9))
    assert inside > 0.9


# --- Capacity-defined failure is the logic it stands for, bit for bit -----------------------


@pytest.mark.parametrize("condition, logic, extra", [
    ("capacity < 100", "atleast(2, pump[*])", {}),
    ("capacity <= 50", "atleast(2, pump[*])", {}),
    ("60 > capacity", "atleast(2, pump[*])", {}),
    ("capacity < 150", "pump[1] or pump[2] or pump[3]", {}),
    ("capacity < 40", "feed or (pump[1] and pump[2] and pump[3])",
     {"feed": {"capacity": 120, **unit(900, 30)}}),
])
def test_capacity_defined_failure_equals_the_same_logic_as_cut_sets(condition, logic, extra):
    expression = "min(feed, sum(pump[*]))" if extra else "sum(pump[*])"
    by_capacity = pumps({"capacity": expression, "fails_when": condition},
                        crews={"crew": {"count": 1, "repairs": ["pump[*]"]}})
    by_capacity["components"].update(extra)
    by_logic = copy.deepcopy(by_capacity)
    by_logic["system"]["fails_when"] = logic
    plain = copy.deepcopy(by_logic)
    del plain["system"]["capacity"]
    for component in plain["components"].values():
        component.pop("capacity", None)
    runs = [tarvokit.Model.from_dict(data).run(histories=3_000, seed=5, progress=False)
            for data in (by_capacity, by_logic, plain)]
    first = runs[0]
    for other in runs[1:]:
        assert np.array_equal(first.counts, other.counts)
        mine, theirs = first.distributions.to_dict(), other.distributions.to_dict()
        if "production" not in theirs:
            mine.pop("production")
        assert mine == theirs
    assert first.distributions.production.to_dict() == \
        runs[1].distributions.production.to_dict()


# --- The compiled program computes what the reader computes -----------------------------------


def random_expression(rng: random.Random, names: list[str], depth: int = 0) -> str:
    if depth > 2 or rng.random() < 0.3:
        return rng.choice(names + ["7", "0.5", "12.25"])
    kind = rng.choice(["sum", "min", "max", "+", "*"])
    parts = [random_expression(rng, names, depth + 1) for _ in range(rng.randint(1, 3))]
    if kind in "+*":
        return "(" + f" {kind} ".join(parts) + ")"
    return f"{kind}({', '.join(parts)})"


@pytest.mark.parametrize("seed", range(40))
def test_the_compiled_program_evaluates_as_the_reader_does(seed):
    rng = random.Random(seed)
    names = ["a", "b", "c[1]", "c[2]"]
    expression = random_expression(rng, names[:2] + ["c[1]", "c[2]", "sum(c[*])"])
    data = {"study": {"horizon": 10},
            "components": {"a": {"capacity": 40, **unit(5, 1)},
                           "b": {"states": ["working", "degraded", "failed"],
                                 "capacity": {"working": 30, "degraded": 12.5},
                                 "transitions": [{"from": "working", "to": "degraded",
                                                  "law": "Exponential", "mean": 5},
                                                 {"from": "degraded", "to": "working",
                                                  "law": "Exponential", "mean": 1}]},
                           "c": {"count": 2, "capacity": 9.75, **unit(5, 1)}},
            "system": {"capacity": expression, "demand": 1, "cut_sets": [names]}}
    model = tarvokit.Model.from_dict(data)
    program = capacity_program(model.description)
    capacity = model.capacity
    states = {c.name: c.states for c in model.components}
    for _ in range(20):
        chosen = [rng.randrange(len(states[n])) for n in names]
        quanta = [capacity.components.get(n, {}).get(states[n][s], 0)
                  for n, s in zip(names, chosen)]
        assert program.capacityOf(chosen) == capacity.evaluate(quanta), expression


# --- Results merge and read back exactly, and refuse what cannot be theirs -------------------


def test_two_runs_on_disjoint_seeds_merge_into_one_run_exactly(tmp_path):
    study = tarvokit.Model.from_dict(TRAIN)
    whole = study.run(histories=2_000, seed=1, progress=False)
    parts = [study.run(histories=1_000, seed=seed, progress=False) for seed in (1, 1_001)]
    merged = tarvokit.combine(parts)
    assert merged.distributions.production.to_dict() == whole.distributions.production.to_dict()
    whole.to_json(tmp_path / "results.json")
    again = tarvokit.data.result.Result.from_json(tmp_path / "results.json")
    assert again.to_dict()["production"] == whole.to_dict()["production"]


def test_a_long_horizon_keeps_its_lost_production_per_unit_in_the_csv(tmp_path, monkeypatch):
    from tarvokit.data import result as result_module

    monkeypatch.setattr(result_module, "JSON_UNITS_LIMIT", 100)
    found = tarvokit.Model.from_dict(TRAIN).run(histories=300, seed=1, progress=False)
    found.to_json(tmp_path / "results.json")
    found.to_csv(tmp_path / "curve.csv")
    data = json.loads((tmp_path / "results.json").read_text())
    assert isinstance(data["distributions"]["production"]["lost_per_unit"], str)
    again = tarvokit.read(tmp_path)
    assert np.array_equal(again.distributions.production.lost_per_unit,
                          found.distributions.production.lost_per_unit)


def test_results_of_another_demand_or_expression_do_not_merge():
    runs = []
    for change in ({}, {"demand": 90}, {"capacity": "min(sum(pump[*]), 90)"}):
        data = copy.deepcopy(TRAIN)
        data["system"].update(change)
        runs.append(tarvokit.Model.from_dict(data).run(histories=100, seed=len(runs) * 100 + 1,
                                                       progress=False))
    for other in runs[1:]:
        with pytest.raises(ResultError, match="different studies"):
            runs[0].merge(other)


def tampered(data: dict, path: str, value) -> dict:
    data = copy.deepcopy(data)
    *keys, last = path.split(".")
    target = data
    for key in keys:
        target = target[int(key)] if isinstance(target, list) else target[key]
    if value is KeyError:
        del target[last]
    else:
        target[last] = value
    return data


@pytest.mark.parametrize("path, value, field", [
    ("distributions.production.lost_sum", "-5", "lost_sum"),
    ("distributions.production.level_steps", ["1", "2"], "level_steps"),
    ("distributions.production.lost_per_unit", [0, 1], "lost_per_unit"),
    ("distributions.production.lost_squares", KeyError, "lost_squares"),
    ("production.production_availability", {"estimate": 1.5}, "production_availability"),
    ("production.production_availability", {"estimate": 0.2}, "production_availability"),
    ("distributions.production", KeyError, 'distributions: missing "production"'),
    ("batches.0.lost", KeyError, "batches"),
])
def test_a_result_folder_with_bad_production_is_refused_naming_folder_and_field(
        tmp_path, path, value, field):
    result = tarvokit.Model.from_dict(TRAIN).run(histories=200, seed=1, progress=False)
    data = result.to_dict()
    folder = tmp_path / "out"
    folder.mkdir()
    (folder / "results.json").write_text(json.dumps(tampered(data, path, value)))
    with pytest.raises(ResultError) as raised:
        tarvokit.read(folder)
    message = str(raised.value)
    assert str(folder) in message and field in message and "\n" not in message


# --- The reader's refusals --------------------------------------------------------------------


def with_system(**system) -> dict:
    return pumps({"cut_sets": [["pump[1]"]], **system})


REFUSALS = [
    (with_system(capacity="sum(pump[*]) + valve"), "system.capacity", 'unknown component "valve"'),
    (with_system(capacity="sum(pump)"), "system.capacity", "template of 3 units"),
    (with_system(capacity="pump[*] + 1"), "system.capacity", "put it inside sum()"),
    (with_system(capacity="sum(pump[*]) - 5"), "system.capacity", "negative numbers"),
    (with_system(capacity="-5 + sum(pump[*])"), "system.capacity", "negative numbers"),
    (with_system(capacity="sum(pump[*]) / 2"), "system.capacity", "division"),
    (with_system(capacity="sum(pump[*]"), "system.capacity", "end of the expression"),
    (with_system(capacity="max pump[1]"), "system.capacity", "parentheses"),
    (with_system(capacity=""), "system.capacity", "expected an expression"),
    (with_system(capacity="sum(pump[*])", demand=-1), "system.demand", "at least 0"),
    (with_system(capacity="sum(pump[*])", demand="lots"), "system.demand", "finite number"),
    (with_system(capacity="sum(pump[*])", demand=0), "system.demand", "positive"),
    (with_system(demand=100), "system.demand", "needs [system] capacity"),
    (pumps({"capacity": "sum(pump[*])", "fails_when": "capacity > 50"}),
     "system.fails_when", "write \"capacity < X\""),
    (pumps({"capacity": "sum(pump[*])", "fails_when": "capacity < 500"}),
     "system.fails_when", "failed with nothing failed"),
    (pumps({"capacity": "sum(pump[*]) + 200", "fails_when": "capacity < 100"}),
     "system.fails_when", "could never fail"),
    (pumps({"capacity": "sum(pump[*])", "fails_when": "capacity < 50 or pump[1]"}),
     "system.fails_when", "expected a comparison"),
    (pumps({"capacity": "sum(pump[*])", "cut_sets": [["pump[1]"]],
            "fails_when": "capacity < 50"}), "system",
     "exactly one of"),
    (pumps({"fails_when": "capacity < 50"}), "system.fails_when", "no capacity expression"),
    (pumps({"cut_sets": [["pump[1]"]]}), "components.pump.capacity", "needs [system] capacity"),
]


def _variant(base: dict, change) -> dict:
    data = copy.deepcopy(base)
    change(data)
    return data


REFUSALS += [
    (_variant(with_system(capacity="sum(pump[*])"),
              lambda d: d["components"]["pump"].update(capacity=-50)),
     "components.pump.capacity", "at least 0"),
    (_variant(with_system(capacity="sum(pump[*])"),
              lambda d: d["components"]["pump"].update(capacity={"wroking": 50})),
     "components.pump.capacity.wroking", 'did you mean "working"'),
    (_variant(with_system(capacity="sum(pump[*])"),
              lambda d: d["components"]["pump"].update(capacity="50")),
     "components.pump.capacity", "expected a number"),
    (_variant(with_system(capacity="sum(pump[*])"),
              lambda d: d["components"]["pump"].update(capacity=0.1234567)),
     "components", "decimals"),
    (_variant(with_system(capacity="sum(pump[*])", demand=1e9),
              lambda d: d["components"]["pump"].update(capacity=0.5)),
     "system.demand", "too large to count exactly"),
    (_variant(with_system(capacity="sum(pump[*])"),
              lambda d: d["study"].update(capacity_unit=5)),
     "study.capacity_unit", "label"),
    (_variant(pumps({"capacity": "sum(pump[*])", "fails_when": "capacity < 100"}),
              lambda d: d["components"].update(spare={
                  "capacity": 50, **unit(UP, DOWN, standby={"covers": ["pump[*]"]})})),
     "system.fails_when", "standby unit"),
]


@pytest.mark.parametrize("data, key, words", REFUSALS,
                         ids=[f"{i}-{key}" for i, (_, key, _) in enumerate(REFUSALS)])
def test_the_reader_refuses_bad_capacity_input_in_one_line_naming_the_key(data, key, words):
    with pytest.raises(ModelError) as raised:
        tarvokit.Model.from_dict(data)
    message = str(raised.value)
    assert f"<dict>: {key}" in message and words in message and "\n" not in message, message


def test_a_component_named_capacity_still_reads_as_logic():
    data = pumps({"capacity": "sum(pump[*], capacity)", "fails_when": "capacity or pump[1]"})
    data["components"]["capacity"] = {"capacity": 10, **unit(UP, DOWN)}
    data["components"]["pump"]["count"] = 1
    model = tarvokit.Model.from_dict(data).model
    assert sorted(sorted(s) for s in model.cut_sets) == [[0], [1]]


def test_levels_are_binned_when_the_capacity_takes_too_many_values():
    data = pumps({"capacity": "sum(pump[*])", "cut_sets": [["pump[1]"]]}, count=1)
    data["components"] = {f"u{i}": {"capacity": 2 ** i, **unit(UP, DOWN)} for i in range(7)}
    data["system"] = {"capacity": "sum(" + ", ".join(data["components"]) + ")",
                      "cut_sets": [list(data["components"])]}
    capacity = tarvokit.Model.from_dict(data).capacity
    assert not capacity.enumerated and 10 < len(capacity.levels) <= capacities.LEVEL_BINS
    # Bins of equal width from 0, the last one holding the highest capacity, 127.
    width = capacity.levels[1]
    assert capacity.levels == tuple(range(0, 128, width)) and capacity.levels[-1] + width > 127


def test_a_standby_unit_delivers_only_while_it_runs():
    data = pumps({"capacity": "sum(pump[*], spare)", "demand": 150,
                  "fails_when": "atleast(2, pump[*], spare)"})
    data["components"]["spare"] = {"capacity": 50,
                                   **unit(UP, DOWN, standby={"covers": ["pump[*]"]})}
    study = tarvokit.Model.from_dict(data)
    assert study.capacity.demand == 150
    found = study.run(histories=2_000, seed=9, progress=False).production()
    # Four units of 50 never deliver 200: the spare waits while the three pumps run.
    assert [level.low for level in found.levels][-1] == 200
    assert found.levels[-1].share.estimate == 0.0
    exact = study.markov().answer.production
    assert within(found.availability, exact.availability)


def test_a_program_that_breaks_its_own_rules_is_refused_by_the_engine():
    program = tarvo.CapacityProgram(2, 1)
    leaf = program.addComponent(0)
    program.addOperation("sum", [leaf])
    with pytest.raises(ValueError, match="used twice"):
        program.addOperation("max", [leaf])
    with pytest.raises(ValueError, match="op must be"):
        program.addOperation("minus", [leaf])
    with pytest.raises(ValueError, match="negative"):
        program.addConstant(-1)
    with pytest.raises(ValueError, match="increase"):
        program.setLevels([0, 5, 5])


def test_importance_by_production_splits_a_sums_lost_production_among_its_units():
    """With the demand the full sum, a history loses 50 t/h for each hour of each pump down:
    sparing one pump's failures saves exactly its own share, and the shares add up to the
    whole lost production, history by history (the runs share their seeds)."""
    data = pumps({"capacity": "sum(pump[*])", "fails_when": "capacity < 100"},
                 common_cause={"ccf": {"members": ["pump[*]"], "beta": 0.1}})
    data["components"]["pump"]["failure"] = {"law": "Exponential", "mean": UP}
    found = tarvokit.Model.from_dict(data).importance(histories=2_000, seed=4).production
    rows = {row.name: row for row in found.rows}
    assert [rows[f"pump[{i}]"].kind for i in (1, 2, 3)] == ["component"] * 3
    pumps_saved = sum(rows[f"pump[{i}]"].avoided.estimate for i in (1, 2, 3))
    assert pumps_saved == pytest.approx(found.lost.estimate, rel=1e-9)
    assert rows["ccf"].kind == "common-cause group"
    assert 0 < rows["ccf"].avoided.estimate < found.lost.estimate


def test_a_model_with_capacities_and_a_calendar_is_refused_in_one_line():
    data = pumps({"capacity": "sum(pump[*])", "fails_when": "capacity < 100"})
    data["phases"] = {"sequence": ["run", "outage"], "run": {"duration": 400},
                      "outage": {"duration": 50, "required": False}}
    with pytest.raises(ModelError) as raised:
        tarvokit.Model.from_dict(data)
    message = str(raised.value)
    assert "<dict>: system.capacity: " in message and "calendar" in message \
        and "\n" not in message, message
