"""The calendar's keys in a model file: what is read, what is refused in one line, what `tarvo
check` lists, and a result with phases written and read back."""

import copy
import json
import re

import pytest

import tarvokit
from tarvokit.data.files import ResultError
from tarvokit.model.errors import ModelError

from test_tarvokit_cli import tarvo_command

BASE = {
    "study": {"horizon": 2000, "resolution": 1, "time_unit": "h"},
    "phases": {"sequence": ["operation", "outage"],
               "operation": {"duration": 700, "fails_when": "atleast(2, pump[*])"},
               "outage": {"duration": {"law": "Uniform", "low": 60, "high": 90},
                          "required": False}},
    "components": {
        "pump": {"count": 3, "failure": {"law": "Weibull", "scale": 2000, "shape": 1.6},
                 "repair": {"law": "Exponential", "mean": 24, "held_until": "outage"},
                 "duty": {"outage": 0.0}},
        "valve": {"failure": {"law": "Exponential", "mean": 5000},
                  "repair": {"law": "Inspection", "period": 72, "offset": 36, "duration": 2,
                             "efficiency": 0.95}},
        "controller": {"states": ["working", "failed", "maintenance"],
                       "planned": ["maintenance"],
                       "transitions": [
                           {"from": "working", "to": "failed", "law": "Exponential",
                            "mean": 2000},
                           {"from": "failed", "to": "working", "law": "Exponential",
                            "mean": 8},
                           {"from": "working", "to": "maintenance", "law": "Inspection",
                            "period": 500},
                           {"from": "maintenance", "to": "working", "law": "Maintenance",
                            "durations": [4, 6]}]},
    },
    "system": {"fails_when": "valve or controller or atleast(2, pump[*])"},
}


def edited(path: str, value):
    data = copy.deepcopy(BASE)
    *parents, last = path.split(".")
    table = data
    for key in parents:
        table = table[int(key)] if isinstance(table, list) else table[key]
    if value is DELETE:
        del table[last]
    else:
        table[last] = value
    return data


DELETE = object()


def test_the_calendar_reads_back_from_its_description():
    model = tarvokit.Model.from_dict(BASE)
    again = tarvokit.Model.from_dict(model.description)
    assert again.description == model.description
    calendar = model.calendar
    assert calendar.sequence == ("operation", "outage")
    assert calendar.held == {f"pump[{i}]": "outage" for i in (1, 2, 3)}
    assert calendar.duty["pump[2]"] == {"outage": 0.0}
    assert calendar.planned == {"controller": ("maintenance",)}
    assert [t.component for t in calendar.tests] == ["valve"]
    assert len(calendar.phase("operation").cut_sets) == 3


@pytest.mark.parametrize("path, value, message", [
    ("phases.sequence", ["operation", "outtage"],
     r"phases\.sequence\[1\]: unknown phase 'outtage' \(did you mean \"outage\"\?\)"),
    ("phases.sequence", ["operation", "outage", "operation"],
     r"phases\.sequence\[2\]: phase \"operation\" is in the sequence twice"),
    ("components.pump.duty", {"outage": -0.5},
     r"components\.pump\.duty\.outage: a pace must be at least 0"),
    ("components.pump.duty", {"outage": 1e7},
     r"components\.pump\.duty\.outage: a pace of at most 1e\+06 is taken"),
    ("components.pump.duty", {"shutdown": 0},
     r"components\.pump\.duty\.shutdown: unknown phase 'shutdown'"),
    ("components.valve.repair.efficiency", 1.2,
     r"components\.valve\.repair\.efficiency: expected a chance in \[0, 1\], got 1\.2"),
    ("components.valve.repair.offset", -3,
     r"components\.valve\.repair\.offset: expected a time of at least 0, got -3"),
    ("components.valve.repair.duration", 72,
     r"components\.valve\.repair\.duration: a test of 72 does not fit its period of 72"),
    ("components.pump.repair.held_until", "refuelling",
     r"components\.pump\.repair\.held_until: unknown phase 'refuelling'"),
    ("phases.sequence", ["operation"],
     r"components\.pump\.repair\.held_until: phase \"outage\" is not in phases\.sequence"),
    ("components.pump.failure.held_until", "outage",
     r"components\.pump\.failure\.held_until: only a repair"),
    ("components.pump.failure.offset", 3,
     r"components\.pump\.failure\.offset: only an Inspection that repairs"),
    ("components.controller.planned", ["working"],
     r"components\.controller\.planned\[0\]: \"working\" is the working state"),
    ("phases.outage.duration", {"law": "Inspection", "period": 10},
     r"phases\.outage\.duration\.law: Inspection is not a law of durations"),
    ("phases.operation.duration", 0,
     r"phases\.operation\.duration: expected a positive number of time units, got 0"),
    ("phases.operation.on_system_failure", "stop",
     r"phases\.operation\.on_system_failure: unknown phase 'stop'"),
    ("phases.operation.required", "yes", r"phases\.operation\.required: expected true or false"),
    ("phases.operation.required", False,
     r"phases\.sequence: no phase of the sequence is required"),
    ("phases.sequence", DELETE, r"phases: missing \"sequence\""),
    ("phases.operation.fails_when", "pump[1] and nothing",
     r"phases\.operation\.fails_when: .*nothing"),
])
def test_bad_calendar_keys_are_one_line_naming_the_key(path, value, message):
    with pytest.raises(ModelError) as caught:
        tarvokit.Model.from_dict(edited(path, value), source="plant.toml")
    text = str(caught.value)
    assert "\n" not in text
    assert re.search(message, text), text
    assert text.startswith("plant.toml: ")


def test_duty_without_phases_is_refused():
    data = edited("phases", DELETE)
    for pump_key in ("duty",):
        data["components"]["pump"]["repair"].pop("held_until")
    with pytest.raises(ModelError, match=r"components\.pump\.duty: duty needs \[phases\]"):
        tarvokit.Model.from_dict(data)


def test_check_lists_the_phases_and_a_bad_key_is_exit_2(tmp_path):
    path = tmp_path / "plant.toml"
    path.write_text(TOML)
    checked = tarvo_command("check", str(path))
    assert checked.returncode == 0, checked.stderr
    assert "Phases, in this order and repeated: operation -> outage" in checked.stdout
    assert "outage: Uniform(low 60 h, high 90 h); not required" in checked.stdout
    path.write_text(TOML.replace('duty = { outage = 0.0 }', 'duty = { outage = -1 }'))
    refused = tarvo_command("check", str(path))
    assert refused.returncode == 2
    assert refused.stderr.count("\n") == 1 and "components.pump.duty.outage" in refused.stderr


TOML = """
[study]
horizon = 2000
resolution = 1
time_unit = "h"

[phases]
sequence = ["operation", "outage"]

[phases.operation]
duration = 700

[phases.outage]
duration = { law = "Uniform", low = 60, high = 90 }
required = false

[components.pump]
count = 2
failure = { law = "Exponential", mean = 900 }
repair = { law = "Exponential", mean = 24, held_until = "outage" }
duty = { outage = 0.0 }

[system]
fails_when = "pump[1] and pump[2]"
"""


def test_a_result_with_phases_is_written_read_back_and_checked(tmp_path):
    result = tarvokit.Model.from_dict(BASE).run(histories=400, seed=3, threads=2)
    result.to_json(tmp_path / "results.json")
    data = json.loads((tmp_path / "results.json").read_text())
    assert {"unplanned", "phases", "required_share"} <= set(data)
    assert [p["name"] for p in data["phases"]] == ["operation", "outage"]
    assert data["unplanned"]["mean_unavailability"]["estimate"] <= \
        data["mean_unavailability"]["estimate"]
    again = tarvokit.read(tmp_path)
    assert again.to_dict()["phases"] == data["phases"]
    for name in ("mean_unavailability", "reliability", "failure_frequency"):
        assert getattr(again.calendar_measures().unplanned, name) == \
            getattr(result.calendar_measures().unplanned, name)

    calendar = data["distributions"]["calendar"]
    for field, change, named in [
        ("phases", lambda c: c["phases"].pop(), "distributions.calendar.phases"),
        ("steps", lambda c: c["phases"][0]["sums"].update(steps_sum="1"),
         "distributions.calendar.phases[0].steps_per_unit"),
        ("unplanned", lambda c: c["unplanned"]["sums"].update(downtime="999999999"),
         "distributions.calendar.unplanned"),
        ("negative", lambda c: c["required"].update(required_steps_sum="-4"),
         "required_steps_sum"),
    ]:
        tampered = copy.deepcopy(data)
        change(tampered["distributions"]["calendar"])
        with pytest.raises(ResultError, match=re.escape(named)):
            tarvokit.data.result.Result.from_dict(tampered)
    assert calendar == data["distributions"]["calendar"]


def test_a_model_without_calendar_keys_has_none_and_its_description_no_phases():
    plain = edited("phases", DELETE)
    for key in ("pump", "valve", "controller"):
        plain["components"].pop(key)
    plain["components"]["unit"] = {"failure": {"law": "Exponential", "mean": 10}}
    plain["system"] = {"fails_when": "unit"}
    model = tarvokit.Model.from_dict(plain)
    assert not model.calendar and "phases" not in model.description


def test_a_long_horizon_keeps_its_calendar_figures_but_not_their_per_unit_arrays(tmp_path):
    data = copy.deepcopy(BASE)
    data["study"]["horizon"] = 100_001
    data["phases"]["operation"]["duration"] = 40_000
    result = tarvokit.Model.from_dict(data).run(histories=20, seed=1, threads=1)
    result.to_json(tmp_path / "results.json")
    result.to_csv(tmp_path / "curve.csv")
    written = json.loads((tmp_path / "results.json").read_text())
    assert written["distributions"]["calendar"]["unplanned_counts"] == []
    again = tarvokit.read(tmp_path)
    assert again.to_dict()["phases"] == written["phases"]
    assert again.merge(tarvokit.Model.from_dict(data).run(histories=5, seed=50, threads=1)) \
        .calendar_measures().required_share.estimate > 0
