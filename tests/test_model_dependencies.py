"""Reading common-cause groups, standby units and repair crews: every bad form is one line
naming the file and the key; good forms come out in the description's form."""

import copy

import pytest

from tarvokit.engine.markov import solve_markov
from tarvokit.model import Model, ModelError, Where
from tarvokit.model.dependencies import (COMPONENT_KEYS, CommonCauseGroup, CrewPool,
                                         Dependencies, StandbyUnit, read_dependencies)

EXP = "Exponential"
PLANT = {
    "study": {"name": "plant", "time_unit": "h", "horizon": 100, "resolution": 4},
    "components": {
        "pump": {"count": 3, "failure": {"law": EXP, "mean": 1000},
                 "repair": {"law": EXP, "mean": 10}},
        "spare": {"failure": {"law": "Weibull", "scale": 4000, "shape": 1.8},
                  "repair": {"law": EXP, "mean": 36}},
        "valve": {"failure": {"law": EXP, "rate": 0.001}, "repair": {"law": EXP, "mean": 5}},
        "fast": {"failure": {"law": EXP, "mean": 500}, "repair": {"law": EXP, "mean": 5}},
        "tank": {"failure": {"law": EXP, "mean": 5000}},
        # No state named "failed": its failed state is its state 1, "open".
        "relay": {"states": ["working", "open"], "transitions": [
            {"from": "working", "to": "open", "law": EXP, "mean": 1000},
            {"from": "open", "to": "working", "law": EXP, "mean": 2}]},
        # Fails only through "degraded": nothing goes straight from working to failed.
        "drive": {"states": ["working", "degraded", "failed"], "transitions": [
            {"from": "working", "to": "degraded", "law": EXP, "mean": 800},
            {"from": "degraded", "to": "failed", "law": EXP, "mean": 100},
            {"from": "failed", "to": "working", "law": EXP, "mean": 8}]},
    },
    "system": {"cut_sets": [["pump[1]", "pump[2]", "spare"], ["valve"], ["fast"], ["tank"],
                            ["relay"], ["drive"], ["pump[3]"]]},
}


def plant(common_cause=None, crews=None, standby=None, base=PLANT):
    data = copy.deepcopy(base)
    if common_cause is not None:
        data["common_cause"] = common_cause
    if crews is not None:
        data["crews"] = crews
    for name, table in (standby or {}).items():
        data["components"][name]["standby"] = table
    return data


def read(data, source="plant.toml"):
    """The dependencies of `data`, its components read by the model reader from a copy
    without the keys read here."""
    plain = copy.deepcopy(data)
    plain.pop("common_cause", None)
    plain.pop("crews", None)
    for entry in plain["components"].values():
        for key in COMPONENT_KEYS:
            entry.pop(key, None)
    model = Model.from_dict(plain, source)
    return read_dependencies(data, model.components, Where(source), model.resolution), model


def group(members=("pump[*]",), **rest):
    return {"g": {"members": list(members), **rest}}


def pool(repairs=("pump[*]",), **rest):
    return {"count": 1, "repairs": list(repairs), **rest}


BAD = [
    # Common-cause groups
    ({"common_cause": ["pump[*]"]}, "common_cause", "expected a table of named tables"),
    ({"common_cause": {"g": 0.05}}, "common_cause.g", "expected a table"),
    ({"common_cause": group(beta=0.05, betta=0.1)}, "common_cause.g.betta",
     'unknown key "betta" (did you mean "beta"?)'),
    ({"common_cause": {"g": {"beta": 0.05}}}, "common_cause.g", 'missing "members"'),
    ({"common_cause": group(members=(), beta=0.05)}, "common_cause.g.members",
     "expected a non-empty list"),
    ({"common_cause": group(members=("pmp[1]", "pump[2]"), beta=0.05)},
     "common_cause.g.members[0]", 'unknown component "pmp[1]" (did you mean "pump[1]"?)'),
    ({"common_cause": group(members=("valv[*]",), beta=0.05)}, "common_cause.g.members[0]",
     'no component template "valv"'),
    ({"common_cause": group(members=("pump[*]", "pump[2]"), beta=0.05)},
     "common_cause.g.members[1]", '"pump[2]" is named twice'),
    ({"common_cause": group(members=("valve",), beta=0.05)}, "common_cause.g.members",
     "at least two members"),
    ({"common_cause": group(members=("pump[1]", 7), beta=0.05)}, "common_cause.g.members[1]",
     "expected a component name"),
    ({"common_cause": group()}, "common_cause.g", 'exactly one of "beta"'),
    ({"common_cause": group(beta=0.1, shock={"law": EXP, "mean": 9})}, "common_cause.g",
     'exactly one of "beta"'),
    ({"common_cause": group(beta=1.0)}, "common_cause.g.beta", "at least 0 and below 1, got 1"),
    ({"common_cause": group(beta=-0.01)}, "common_cause.g.beta", "below 1, got -0.01"),
    ({"common_cause": group(beta="5%")}, "common_cause.g.beta", "expected a number"),
    ({"common_cause": group(beta=True)}, "common_cause.g.beta", "expected a number"),
    ({"common_cause": group(members=("pump[1]", "spare"), beta=0.05)}, "common_cause.g.beta",
     'member "spare" fails ("working" -> "failed") by a Weibull law'),
    ({"common_cause": group(members=("pump[1]", "fast"), beta=0.05)}, "common_cause.g.beta",
     'members "pump[1]" (rate 0.001) and "fast" (rate 0.002) fail at different rates'),
    ({"common_cause": group(members=("pump[1]", "drive"), beta=0.05)}, "common_cause.g.beta",
     'member "drive" has no failure "working" -> "failed"'),
    ({"common_cause": {"g": {"members": ["pump[*]"], "beta": 0.1},
                       "h": {"members": ["pump[1]", "valve"], "beta": 0.1}}},
     "common_cause.h.members", '"pump[1]" is already in the beta group common_cause.g'),
    ({"common_cause": group(shock={"law": "Expo", "mean": 9})}, "common_cause.g.shock.law",
     "unknown law 'Expo'"),
    ({"common_cause": group(shock={"law": EXP})}, "common_cause.g.shock",
     'needs exactly one of "rate" or "mean"'),
    ({"common_cause": group(shock={"law": EXP, "mean": -3})}, "common_cause.g.shock.mean",
     "expected a positive number"),
    ({"common_cause": {"pump": {"members": ["pump[*]"], "beta": 0.1}}}, "common_cause.pump",
     "a component's name"),
    # Standby units
    ({"standby": {"spare": ["pump[1]"]}}, "components.spare.standby", "expected a table"),
    ({"standby": {"spare": {"covers": ["pump[1]"], "start_fail": 0.1}}},
     "components.spare.standby.start_fail", '(did you mean "start_failure"?)'),
    ({"standby": {"spare": {"start_failure": 0.1}}}, "components.spare.standby",
     'missing "covers"'),
    ({"standby": {"spare": {"covers": []}}}, "components.spare.standby.covers",
     "expected a non-empty list"),
    ({"standby": {"spare": {"covers": ["spare"]}}}, "components.spare.standby.covers",
     '"spare" covers itself'),
    ({"standby": {"pump": {"covers": ["pump[*]"]}}}, "components.pump.standby.covers",
     '"pump[1]" covers itself'),
    ({"standby": {"spare": {"covers": ["pump[4]"]}}}, "components.spare.standby.covers[0]",
     'unknown component "pump[4]"'),
    ({"standby": {"spare": {"covers": ["valve", "valve"]}}},
     "components.spare.standby.covers[1]", '"valve" is named twice'),
    ({"standby": {"spare": {"covers": ["valve"], "start_failure": 1.5}}},
     "components.spare.standby.start_failure", "a probability from 0 to 1, got 1.5"),
    ({"standby": {"spare": {"covers": ["valve"], "start_failure": -0.1}}},
     "components.spare.standby.start_failure", "a probability from 0 to 1, got -0.1"),
    ({"standby": {"spare": {"covers": ["valve"], "start_failure": "2%"}}},
     "components.spare.standby.start_failure", "expected a number"),
    ({"standby": {"spare": {"covers": ["valve"], "dormant": {"law": "Weibull", "scale": 9}}}},
     "components.spare.standby.dormant", 'Weibull needs "shape"'),
    ({"standby": {"spare": {"covers": ["valve"], "dormant": 1e6}}},
     "components.spare.standby.dormant", "expected a law table"),
    # Repair crews
    ({"crews": ["pump[*]"]}, "crews", "expected a table of named tables"),
    ({"crews": {"m": "pump[*]"}}, "crews.m", "expected a table"),
    ({"crews": {"m": pool(counts=2)}}, "crews.m.counts", '(did you mean "count"?)'),
    ({"crews": {"m": pool(count=0)}}, "crews.m.count", "a whole number in 1 .. 2,147,483,647"),
    ({"crews": {"m": pool(count=1.5)}}, "crews.m.count", "got 1.5"),
    ({"crews": {"m": pool(count=True)}}, "crews.m.count", "got True"),
    ({"crews": {"m": {"count": 1}}}, "crews.m", 'missing "repairs"'),
    ({"crews": {"m": pool(repairs=("pump[*]", "valf"))}}, "crews.m.repairs[1]",
     'unknown component "valf" (did you mean "valve"?)'),
    ({"crews": {"m": pool(repairs=("valve", "pump[*]", "pump[1]"))}}, "crews.m.repairs[2]",
     '"pump[1]" is named twice'),
    ({"crews": {"m": pool(repairs=("pump[*]",)), "e": pool(repairs=("valve", "pump[2]"))}},
     "crews.e.repairs", '"pump[2]" is already repaired by crews.m'),
    ({"crews": {"m": pool(repairs=("valve", "tank"))}}, "crews.m.repairs",
     '"tank" has no repair'),
    ({"crews": {"m": pool(order="list")}}, "crews.m.order",
     "unknown order 'list' (did you mean \"listed\"?)"),
    ({"crews": {"m": pool(order="fifo")}}, "crews.m.order",
     "expected one of: first_failed, listed"),
]


@pytest.mark.parametrize("keys, path, fragment", BAD,
                         ids=[f"{i}-{case[1]}" for i, case in enumerate(BAD)])
def test_bad_forms_are_one_line_naming_the_key(keys, path, fragment):
    with pytest.raises(ModelError) as caught:
        read(plant(**keys))
    message = str(caught.value)
    assert message.startswith(f"plant.toml: {path}: "), message
    assert fragment in message
    assert "\n" not in message


def test_good_forms_come_out_expanded_with_their_defaults():
    data = plant(
        common_cause={"pumps": {"members": ["pump[*]", "relay"], "beta": 0.05},
                      "grid": {"members": ["valve", "spare"],
                               "shock": {"law": "Weibull", "scale": 5e4, "shape": 2}}},
        crews={"mechanics": {"count": 2, "repairs": ["spare", "pump[*]"], "order": "listed"},
               "electricians": {"count": 1, "repairs": ["relay", "valve"]}},
        standby={"valve": {"covers": ["relay"]},
                 "spare": {"covers": ["pump[1]", "pump[2]"], "start_failure": 0.02,
                           "dormant": {"law": EXP, "mean": 1e6}}})
    dependencies, _ = read(data)
    assert dependencies.common_cause == (
        CommonCauseGroup("pumps", ("pump[1]", "pump[2]", "pump[3]", "relay"), beta=0.05),
        CommonCauseGroup("grid", ("valve", "spare"),
                         shock={"law": "Weibull", "scale": 5e4, "shape": 2}))
    # Standby units in the order of the components, whatever the order of the file's keys.
    assert dependencies.standby == (
        StandbyUnit("spare", ("pump[1]", "pump[2]"), 0.02, {"law": EXP, "mean": 1e6}),
        StandbyUnit("valve", ("relay",), 0.0))
    assert dependencies.crews == (
        CrewPool("mechanics", 2, ("spare", "pump[1]", "pump[2]", "pump[3]"), "listed"),
        CrewPool("electricians", 1, ("relay", "valve"), "first_failed"))
    description = dependencies.description()
    assert description["components"]["valve"] == {"standby": {"covers": ["relay"],
                                                              "start_failure": 0.0}}
    assert description["crews"]["electricians"]["order"] == "first_failed"
    assert description["common_cause"]["pumps"] == {
        "members": ["pump[1]", "pump[2]", "pump[3]", "relay"], "beta": 0.05}


def test_a_pool_has_one_crew_unless_told_otherwise():
    dependencies, _ = read(plant(crews={"m": {"repairs": ["valve"]}}))
    assert dependencies.crews == (CrewPool("m", 1, ("valve",), "first_failed"),)


def test_a_template_of_standby_units_makes_each_unit_a_standby_unit():
    dependencies, _ = read(plant(standby={"pump": {"covers": ["valve"]}}))
    assert [s.name for s in dependencies.standby] == ["pump[1]", "pump[2]", "pump[3]"]


def test_no_dependencies_reads_as_none():
    dependencies, _ = read(plant())
    assert not dependencies
    assert dependencies.description() == {} and dependencies.text("h") == ""


def test_the_description_reads_back_to_the_same_dependencies():
    data = plant(common_cause={"g": {"members": ["pump[*]"], "beta": 0.1}},
                 crews={"m": {"count": 1, "repairs": ["valve", "pump[*]"], "order": "listed"}},
                 standby={"spare": {"covers": ["pump[*]"], "start_failure": 0.1,
                                    "dormant": {"law": EXP, "mean": 9000}}})
    dependencies, model = read(data)
    description = dependencies.add_to(model.description)
    assert read(description, "<dict>")[0] == dependencies
    assert "standby" not in model.description["components"]["spare"]  # a copy was changed


def test_check_lists_every_group_standby_unit_and_pool_with_its_members():
    dependencies, _ = read(plant(
        common_cause={"pumps": {"members": ["pump[*]"], "beta": 0.05},
                      "grid": {"members": ["valve", "spare"], "shock": {"law": EXP,
                                                                        "mean": 5e4}}},
        crews={"mechanics": {"count": 2, "repairs": ["spare", "valve"]}},
        standby={"spare": {"covers": ["pump[1]", "pump[2]"], "start_failure": 0.02}}))
    lines = dependencies.text("h").splitlines()

    def line_of(name):
        return next(line for line in lines if line.strip().startswith(f"{name}:"))

    assert all(f"pump[{i}]" in line_of("pumps") for i in (1, 2, 3)) and "0.05" in line_of("pumps")
    assert "valve, spare" in line_of("grid") and "50000 h" in line_of("grid")
    assert "pump[1], pump[2]" in line_of("spare") and "0.02" in line_of("spare")
    assert "spare, valve" in line_of("mechanics") and "2 crews" in line_of("mechanics")


def test_the_markov_chain_reads_the_description_the_reader_writes():
    # A cold standby pair sharing one crew, through the reader: the closed form
    # lam^2 / (lam^2 + lam mu + mu^2) of units down 0 -> 1 -> 2 at lam, back at mu.
    lam, mu = 0.02, 0.3
    unit = {"failure": {"law": EXP, "rate": lam}, "repair": {"law": EXP, "rate": mu}}
    data = {"study": {"horizon": 10, "resolution": 1},
            "components": {"a": dict(unit), "s": dict(unit, standby={"covers": ["a"]})},
            "crews": {"one": {"count": 1, "repairs": ["a", "s"]}},
            "system": {"cut_sets": [["a", "s"]]}}
    dependencies, model = read(data)
    answer = solve_markov(dependencies.add_to(model.description))
    assert answer.steady_unavailability == pytest.approx(
        lam**2 / (lam**2 + lam * mu + mu**2), rel=1e-9)
