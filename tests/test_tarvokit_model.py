"""Reading models: every law and parameter form, templates, the three kinds of logic, and every
class of bad input with its message (file or source, key path, what is expected)."""

import copy
import math
import re
import textwrap
import warnings

import pytest

import tarvokit
from tarvokit import ModelError, ModelWarning

PROBE = 0.3  # a draw given to quantile: delays are compared in engine steps


def model_with(component: dict, resolution: int = 10, logic=None) -> tarvokit.Model:
    return tarvokit.Model.from_dict({
        "study": {"name": "probe", "time_unit": "h", "horizon": 100, "resolution": resolution},
        "components": {"unit": component},
        "system": logic or {"cut_sets": [["unit"]]},
    })


def failure_law(law: dict, resolution: int = 10):
    model = model_with({"failure": law}, resolution)
    return model.engine_laws()[0][0][1]


# --- Laws and their parameter forms -------------------------------------------------------

# (law table in hours, its delay in hours for the draw PROBE)
LAW_FORMS = [
    ({"law": "Exponential", "rate": 0.5}, -math.log(1 - PROBE) / 0.5),
    ({"law": "Exponential", "mean": 2}, -math.log(1 - PROBE) * 2),
    ({"law": "Weibull", "scale": 40, "shape": 2}, 40 * (-math.log(1 - PROBE)) ** 0.5),
    ({"law": "Normal", "mean": 10, "sd": 2}, None),  # checked against the law's median below
    ({"law": "Uniform", "low": 2, "high": 10}, 2 + PROBE * 8),
    ({"law": "Inspection", "period": 7.5}, 7.5),
    ({"law": "Maintenance", "durations": [4.5]}, 4.5),
    ({"law": "InstantaneousFailure", "at": 12.25}, 12.25),
]


@pytest.mark.parametrize("resolution", [1, 4, 60])
@pytest.mark.parametrize("law, hours", LAW_FORMS, ids=[f[0]["law"] + "-" + "-".join(
    k for k in f[0] if k != "law") for f in LAW_FORMS])
def test_law_times_scale_to_engine_steps(law, hours, resolution):
    if resolution == 1 and law["law"] in ("Inspection", "Maintenance", "InstantaneousFailure"):
        with pytest.raises(ModelError, match="not a whole number of sub-steps"):
            failure_law(law, resolution)
        return
    engine = failure_law(law, resolution)
    if law["law"] == "Normal":
        assert engine.quantile(0.5, 0) == pytest.approx(10 * resolution)
        return
    assert engine.quantile(PROBE, 0) == pytest.approx(hours * resolution, rel=1e-12)


def test_instantaneous_failure_is_absolute_in_time_units():
    engine = failure_law({"law": "InstantaneousFailure", "at": 3}, resolution=4)
    assert engine.quantile(PROBE, 5) == 12 - 5  # steps from time step 5 to step 12


def test_two_state_shorthand_and_general_form_build_the_same_model():
    shorthand = model_with({"failure": {"law": "Exponential", "mean": 5},
                            "repair": {"law": "Uniform", "low": 1, "high": 2}})
    general = model_with({"states": ["up", "down"], "transitions": [
        {"from": "up", "to": "down", "law": "Exponential", "mean": 5},
        {"from": "down", "to": "up", "law": "Uniform", "low": 1, "high": 2}]})
    for a, b in zip(shorthand.engine_laws()[0], general.engine_laws()[0]):
        assert [law.quantile(PROBE, 0) for law in a] == [law.quantile(PROBE, 0) for law in b]


def test_components_are_padded_to_the_largest_number_of_states():
    model = tarvokit.Model.from_dict({
        "study": {"horizon": 10},
        "components": {
            "simple": {"failure": {"law": "Exponential", "mean": 5}},
            "three": {"states": ["ok", "failed", "maintenance"], "transitions": [
                {"from": "ok", "to": "maintenance", "law": "Inspection", "period": 3},
                {"from": "maintenance", "to": "ok", "law": "Maintenance", "durations": [1, 2]}]}},
        "system": {"cut_sets": [["simple"], ["three"]]},
    })
    laws = model.engine_laws()
    assert [len(rows) for rows in laws] == [3, 3] and all(len(r) == 3 for c in laws for r in c)
    assert laws[0][1][0].quantile(PROBE, 0) == 2147483647.0  # no repair: never
    assert model.has_maintenance and model.resolution == tarvokit.DEFAULT_RESOLUTION


def test_templates_expand_to_numbered_units_and_round_trip():
    model = tarvokit.Model.from_dict({
        "study": {"name": "train", "horizon": 50, "resolution": 2},
        "components": {"pump": {"count": 3, "failure": {"law": "Exponential", "mean": 9}},
                       "power": {"failure": {"law": "Exponential", "mean": 99}}},
        "system": {"fails_when": "power or atleast(2, pump[*])"},
    })
    assert model.names == ["pump[1]", "pump[2]", "pump[3]", "power"]
    again = tarvokit.Model.from_dict(copy.deepcopy(model.description))
    assert again.description == model.description
    assert set(again.cut_sets) == set(model.cut_sets)


# --- Logic --------------------------------------------------------------------------------

NAMES = {"a": 0, "b": 1, "c": 2, "d": 3}


def four_components(logic: dict) -> tarvokit.Model:
    return tarvokit.Model.from_dict({
        "study": {"horizon": 10, "resolution": 1},
        "components": {n: {"failure": {"law": "Exponential", "mean": 5}} for n in NAMES},
        "system": logic,
    })


def cut_sets_of(logic: dict) -> set[frozenset[str]]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ModelWarning)
        model = four_components(logic)
    return {frozenset(model.names[i] for i in s) for s in model.cut_sets}


def sets(*groups: str) -> set[frozenset[str]]:
    return {frozenset(g) for g in groups}


@pytest.mark.parametrize("logic, expected", [
    ({"cut_sets": [["a"], ["b", "c"], ["d", "c"]]}, sets("a", "bc", "cd")),
    ({"fails_when": "a or (b and c) or (c and d)"}, sets("a", "bc", "cd")),
    ({"fails_when": "a and b or a"}, sets("a")),  # absorbed: only minimal cut sets remain
    ({"fails_when": "(a or b) and (a or c)"}, sets("a", "bc")),
    ({"fails_when": "atleast(2, a, b, c)"}, sets("ab", "ac", "bc")),
    ({"fails_when": "atleast(3, a, b, c, d)"}, sets("abc", "abd", "acd", "bcd")),
    ({"fails_when": "d or atleast(1, a and b, c)"}, sets("d", "ab", "c")),
    ({"fails_when": "atleast(2, a, b) or atleast(1, c)"}, sets("ab", "c")),
    ({"fails_when": "\"a\" and 'b'"}, sets("ab")),
], ids=["cut-sets", "expression", "absorption", "distribution", "2-of-3", "3-of-4", "nested",
        "k-at-the-ends", "quoted"])
def test_logic_forms_give_minimal_cut_sets(logic, expected):
    assert cut_sets_of(logic) == expected


def test_fault_tree_file_gives_its_minimal_cut_sets(tmp_path):
    (tmp_path / "tree.xml").write_text(textwrap.dedent("""\
        <?xml version="1.0"?>
        <opsa-mef><define-fault-tree name="ft">
          <define-gate name="top"><or><gate name="g"/><basic-event name="a"/></or></define-gate>
          <define-gate name="g"><atleast min="2">
            <event name="b"/><basic-event name="c"/><basic-event name="d"/></atleast></define-gate>
        </define-fault-tree></opsa-mef>
        """))
    model_file = tmp_path / "m.toml"
    model_file.write_text(textwrap.dedent("""\
        [study]
        horizon = 10
        [components.a]
        failure = {law = "Exponential", mean = 5}
        [components.b]
        failure = {law = "Exponential", mean = 5}
        [components.c]
        failure = {law = "Exponential", mean = 5}
        [components.d]
        failure = {law = "Exponential", mean = 5}
        [system]
        fault_tree = "tree.xml"
        """))
    model = tarvokit.load(model_file)
    assert {frozenset(model.names[i] for i in s) for s in model.cut_sets} == sets(
        "a", "bc", "bd", "cd")


def test_a_component_in_no_cut_set_is_a_warning():
    with pytest.warns(ModelWarning, match='component "d" is in no cut set'):
        four_components({"fails_when": "a or b or c"})


# --- Bad input ----------------------------------------------------------------------------

GOOD = {
    "study": {"name": "s", "time_unit": "h", "horizon": 100},
    "components": {"pump": {"count": 2, "failure": {"law": "Weibull", "scale": 400, "shape": 2},
                            "repair": {"law": "Exponential", "mean": 8}},
                   "valve": {"states": ["ok", "stuck"], "transitions": [
                       {"from": "ok", "to": "stuck", "law": "Exponential", "mean": 900},
                       {"from": "stuck", "to": "ok", "law": "Inspection", "period": 24}]}},
    "system": {"fails_when": "valve or (pump[1] and pump[2])"},
}


def changed(path: str, value) -> dict:
    """GOOD with the value at a dotted key path replaced (None deletes it)."""
    data = copy.deepcopy(GOOD)
    *parents, last = re.findall(r"[^.\[\]]+|\[\d+\]", path)
    node = data
    for key in parents:
        node = node[int(key[1:-1])] if key.startswith("[") else node[key]
    key = int(last[1:-1]) if last.startswith("[") else last
    if value is None:
        del node[key]
    else:
        node[key] = value
    return data


BAD_INPUT = [
    ("unknown-top-key", changed("sytem", {}), r'<dict>: sytem: unknown key "sytem" \(did you mean "system"\?\)'),
    ("unknown-study-key", changed("study.horizn", 5), r'study.horizn: unknown key "horizn" \(did you mean "horizon"\?\)'),
    ("missing-horizon", changed("study.horizon", None), r'study: missing "horizon"'),
    ("horizon-not-int", changed("study.horizon", 10.5), r"study.horizon: expected a positive whole number, got 10.5"),
    ("horizon-zero", changed("study.horizon", 0), r"study.horizon: expected a positive whole number, got 0"),
    ("horizon-too-long", changed("study.horizon", 10**8), r"study: horizon x resolution = 6000000000 engine steps"),
    ("unknown-component-key", changed("components.pump.repiar", {}), r'components.pump.repiar: unknown key "repiar" \(did you mean "repair"\?\)'),
    ("unknown-law", changed("components.pump.failure.law", "Weibul"), r"components.pump.failure.law: unknown law 'Weibul' \(did you mean \"Weibull\"\?\)"),
    ("law-not-a-name", changed("components.pump.failure.law", ["Weibull"]), r"components.pump.failure.law: unknown law \['Weibull'\]"),
    ("component-not-a-table", changed("components.pump", 3), r"components.pump: expected a table with failure/repair or states/transitions, got 3"),
    ("infinite-duration", changed("components.valve.transitions[1]", {"from": "stuck", "to": "ok", "law": "Maintenance", "durations": [4, float("inf")]}), r"components.valve.transitions\[1\].durations\[1\]: inf time units are more than 2147483647 sub-steps"),
    ("no-law", changed("components.pump.failure", {"scale": 3}), r'components.pump.failure: a law needs "law"'),
    ("unknown-parameter", changed("components.pump.failure.scal", 3), r'components.pump.failure.scal: unknown key "scal" \(did you mean "scale"\?\)'),
    ("missing-parameter", changed("components.pump.failure.shape", None), r'components.pump.failure: Weibull needs "shape"'),
    ("law-own-message", changed("components.pump.failure.scale", -4), r"components.pump.failure: Weibull: Parameters must be positive"),
    ("uniform-own-message", changed("components.pump.repair", {"law": "Uniform", "low": 5, "high": 2}), r"components.pump.repair: Uniform: Lower bound must be less than upper bound"),
    ("parameter-not-number", changed("components.pump.repair.mean", "eight"), r"components.pump.repair.mean: expected a finite number, got 'eight'"),
    ("rate-and-mean", changed("components.pump.repair.rate", 0.1), r'components.pump.repair: Exponential needs exactly one of "rate" or "mean"'),
    ("negative-mean", changed("components.pump.repair.mean", -8), r"components.pump.repair.mean: expected a positive number, got -8"),
    ("period-not-whole-steps", changed("components.valve.transitions[1].period", 24.001), r"components.valve.transitions\[1\].period: 24.001 is not a whole number of sub-steps"),
    ("empty-durations", changed("components.valve.transitions[1]", {"from": "stuck", "to": "ok", "law": "Maintenance", "durations": []}), r"components.valve.transitions\[1\]: Maintenance: Maintenance times cannot be empty"),
    ("negative-failure-time", changed("components.valve.transitions[1]", {"from": "stuck", "to": "ok", "law": "InstantaneousFailure", "at": -1}), r"Failure time must be non-negative"),
    ("unknown-from-state", changed("components.valve.transitions[1].from", "stuk"), r"components.valve.transitions\[1\].from: unknown state 'stuk' \(did you mean \"stuck\"\?\); the states are ok, stuck"),
    ("self-transition", changed("components.valve.transitions[1].to", "stuck"), r'components.valve.transitions\[1\]: a transition from "stuck" to itself'),
    ("count-not-positive", changed("components.pump.count", 0), r"components.pump.count: expected a positive whole number, got 0"),
    ("bracket-name", changed("components", {"pu]mp": {"failure": {"law": "Exponential", "mean": 3}}}), r"components.pu\]mp: a component name may not"),
    ("no-logic", changed("system", {}), r"system: expected exactly one of cut_sets, fails_when, fault_tree"),
    ("two-logics", changed("system.cut_sets", [["valve"]]), r"system: expected exactly one of"),
    ("unknown-name-in-expression", changed("system.fails_when", "valve or pump[3]"), r'system.fails_when: unknown component "pump\[3\]" \(did you mean "pump\[[12]\]"\?\)'),
    ("unknown-name-in-cut-set", changed("system", {"cut_sets": [["valve"], ["vlave", "pump[1]"]]}), r'system.cut_sets\[1\]\[0\]: unknown component "vlave" \(did you mean "valve"\?\)'),
    ("expression-syntax", changed("system.fails_when", "valve or (pump[1] and"), r"system.fails_when: unexpected end in 'valve or \(pump\[1\] and'"),
    ("atleast-too-many", changed("system.fails_when", "atleast(3, pump[1], pump[2])"), r"atleast\(3, ...\) of 2 arguments: k must be 1 to 2"),
    ("missing-fault-tree", changed("system", {"fault_tree": "nowhere.xml"}), r"system.fault_tree: cannot read the fault tree nowhere.xml"),
    # Names that would be two components, and keys that are no names.
    ("unit-name-twice", {**GOOD, "components": {**GOOD["components"], "pump[2]": {"failure": {"law": "Exponential", "mean": 9}}}}, r"components.pump\[2\]: pump\[2\] is also a unit of the template components.pump \(count = 2\)"),
    ("non-string-component", changed("components", {7: {"failure": {"law": "Exponential", "mean": 9}}}), r"<dict>: components: component names must be strings, got 7"),
    ("non-string-key", changed("study", {"horizon": 100, (1, 2): 3}), r"<dict>: study: keys must be strings, got \(1, 2\)"),
    # Values a reader must not choke on: deep, huge, or shown wrongly.
    ("parentheses-1000-deep", changed("system.fails_when", "(" * 1000 + "valve" + ")" * 1000), r"system.fails_when: parentheses and atleast\(...\) nested more than 100 levels deep"),
    ("atleast-200-deep", changed("system.fails_when", "atleast(1, " * 200 + "valve" + ")" * 200), r"nested more than 100 levels deep"),
    ("parameter-400-digits", changed("components.pump.failure.scale", 10**400), r"components.pump.failure.scale: expected a finite number, got <an integer of about 401 digits>"),
    ("parameter-5000-digits", changed("components.pump.repair.mean", -10**5000), r"components.pump.repair.mean: expected a finite number, got -<an integer of about 5001 digits>"),
    ("duration-400-digits", changed("components.valve.transitions[1]", {"from": "stuck", "to": "ok", "law": "Maintenance", "durations": [10**400]}), r"durations\[0\]: inf time units are more than 2147483647 sub-steps"),
    ("horizon-400-digits", changed("study.horizon", 10**400), r"study: horizon x resolution = <an integer of about 402 digits> engine steps"),
    ("count-400-digits", changed("components.pump.count", 10**400), r"components.pump.count: more than 10\^15 components: a run needs more than 1,000 TB"),
    ("k-400-digits", changed("system.fails_when", "atleast(" + "9" * 400 + ", valve, pump[1])"), r"atleast\(999999..., ...\) of 2 arguments: k must be 1 to 2"),
    ("value-10000-deep", changed("components.pump", [[[[[[[[[[1]]]]]]]]]]), r"components.pump: expected a table .* got \[\[\[\[...\]\]\]\]"),
    ("period-exact-value", changed("components.valve.transitions[1].period", 4380.001), r"period: 4380.001 is not a whole number of sub-steps at resolution 60 \(1/60 time unit\); the nearest are 4380 and 4380.016667"),
    ("at-exact-value", changed("components.valve.transitions[1]", {"from": "stuck", "to": "ok", "law": "InstantaneousFailure", "at": 0.00001}), r"at: 1e-05 is not a whole number of sub-steps"),
    # Durations that cannot be.
    ("maintenance-mean-zero", changed("components.valve.transitions[1]", {"from": "stuck", "to": "ok", "law": "Maintenance", "durations": [0, 0]}), r"transitions\[1\].durations: the durations have a mean of 0"),
    ("normal-mean-zero", changed("components.pump.failure", {"law": "Normal", "mean": 0, "sd": 1}), r"components.pump.failure.mean: a duration needs a positive mean, got 0"),
]


@pytest.mark.parametrize("data, message", [case[1:] for case in BAD_INPUT],
                         ids=[case[0] for case in BAD_INPUT])
def test_bad_input_is_reported_with_its_key_path(data, message):
    with pytest.raises(ModelError, match=message) as caught:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ModelWarning)
            tarvokit.Model.from_dict(data)
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize("text, message", [
    ("[study]\nhorizon = 10\nname = \n", r"bad.toml: invalid TOML: .*\(at line 3, column 8\)"),
    ("[study]\nhorizon = -3\n[components.a]\nfailure = {law = \"Exponential\", mean = 1}\n"
     "[system]\ncut_sets = [[\"a\"]]\n", r"bad.toml: study.horizon: expected a positive whole number, got -3"),
], ids=["toml-syntax", "key-path-in-file"])
def test_file_errors_name_the_file(tmp_path, text, message):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(ModelError, match=message):
        tarvokit.load(path)


@pytest.mark.parametrize("top, message", [
    ('<gate name="missing"/><basic-event name="a"/>',
     r"system.fault_tree: SCRAM rejected it: .*missing"),
    ('<basic-event name="b"/><basic-event name="a"/>',
     r'system.fault_tree: basic event "b" of .*tree.xml is not a component'),
], ids=["scram-rejects", "event-not-a-component"])
def test_fault_tree_errors_are_named(tmp_path, top, message):
    (tmp_path / "tree.xml").write_text(
        '<?xml version="1.0"?><opsa-mef><define-fault-tree name="ft">'
        f'<define-gate name="top"><or>{top}</or></define-gate></define-fault-tree></opsa-mef>')
    data = {"study": {"horizon": 5}, "components": {"a": {"failure": {"law": "Exponential",
                                                                       "mean": 1}}},
            "system": {"fault_tree": "tree.xml"}}
    with pytest.raises(ModelError, match=message):
        tarvokit.Model.from_dict(data, base_dir=tmp_path)


def test_a_file_that_is_not_utf8_is_named(tmp_path):
    path = tmp_path / "latin.toml"
    path.write_bytes('[study]\nname = "Kühlwasser"\nhorizon = 10\n'.encode("latin-1"))
    with pytest.raises(ModelError, match=r"latin.toml: not a text file in UTF-8 \(byte 18 cannot"
                                         r" be read\)"):
        tarvokit.load(path)


@pytest.mark.parametrize("value", ["[" * 5000 + "]" * 5000, "{a = " * 5000 + "1" + "}" * 5000],
                         ids=["arrays", "tables"])
def test_toml_nested_too_deeply_is_one_line(tmp_path, value):
    path = tmp_path / "deep.toml"
    path.write_text(f"[study]\nname = {value}\n")
    with pytest.raises(ModelError, match=r"deep.toml: invalid TOML: arrays or tables nested too"):
        tarvokit.load(path)


# --- Normal laws and negative delays ------------------------------------------------------

@pytest.mark.parametrize("mean, sd", [(10, 10), (10, 3.3), (10, 3.1), (10, 2), (100, 30),
                                      (1, 0.5), (0.5, 0.01)])
def test_normal_laws_with_negative_delays_are_refused_with_a_weibull_of_the_same_moments(
        mean, sd):
    from scipy import stats

    negative = stats.norm.cdf(0, mean, sd)
    law = {"law": "Normal", "mean": mean, "sd": sd}
    if negative <= 1e-3:
        assert failure_law(law) is not None
        return
    with pytest.raises(ModelError, match=rf"components.unit.failure: Normal\(mean {mean:g}, sd"
                                         rf" {sd:g}\) gives a negative delay with chance"
                                         rf" {negative:.3g} ") as caught:
        failure_law(law)
    scale, shape = map(float, re.search(r'law = "Weibull", scale = ([\d.e+]+), shape = ([\d.e+]+)',
                                        str(caught.value)).groups())
    weibull = stats.weibull_min(shape, scale=scale)
    assert weibull.mean() == pytest.approx(mean, rel=2e-3)
    assert weibull.std() == pytest.approx(sd, rel=2e-2)  # the shape is given to 3 digits


# --- Warnings: valid input that is probably not what was meant ----------------------------

def warnings_of(data: dict) -> list[str]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tarvokit.Model.from_dict(data)
    assert all(issubclass(w.category, ModelWarning) for w in caught)
    return [str(w.message) for w in caught]


@pytest.mark.parametrize("path, value, expected", [
    ("components.valve.transitions[1].period", 99, []),
    ("components.valve.transitions[1].period", 100,
     [r"components.valve.transitions\[1\]: Inspection period 100 is not shorter than the horizon"
      r" \(100\): no inspection happens within the study"]),
    ("components.pump.repair", {"law": "Inspection", "period": 8760},
     [r"components.pump.repair: Inspection period 8760 is not shorter than the horizon"]),
    ("components.valve.transitions", [{"from": "stuck", "to": "ok", "law": "Exponential",
                                       "mean": 3}],
     [r'components.valve: no transition out of "ok": it never fails']),
    ("system", {"cut_sets": [["valve"], ["valve", "pump[1]"], ["pump[1]", "pump[2]"],
                             ["pump[*]", "valve"]]},
     [r"system.cut_sets: 2 cut sets are not minimal and were dropped \(the smaller set already"
      r" fails the system\): \{pump\[1\], valve\} contains \{valve\}; \{pump\[1\], pump\[2\],"
      r" valve\} contains \{(valve|pump\[1\], pump\[2\])\}$"]),
    ("system", {"cut_sets": [["valve"]]},
     [r'2 components are in no cut set, so they cannot fail the system: "pump\[1\]", "pump\[2\]"']),
    ("components.pump.count", 100_000,
     [r'99,998 components are in no cut set, so they cannot fail the system: "pump\[3\]",'
      r' "pump\[4\]", "pump\[5\]", "pump\[6\]", "pump\[7\]" and 99,993 more']),
], ids=["inspected-in-time", "never-inspected", "never-repaired", "never-fails",
        "not-minimal", "unused", "a-hundred-thousand-unused"])
def test_suspicious_input_is_one_warning_each(path, value, expected):
    found = warnings_of(changed(path, value))
    assert len(found) == len(expected), found
    for message, pattern in zip(found, expected):
        assert re.search(pattern, message) and "\n" not in message


def test_non_minimal_cut_sets_are_reduced():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ModelWarning)
        model = tarvokit.Model.from_dict(changed("system", {"cut_sets": [
            ["pump[1]", "pump[2]", "valve"], ["valve"], ["pump[2]", "pump[1]"]]}))
    assert {frozenset(model.names[i] for i in s) for s in model.cut_sets} == {
        frozenset({"valve"}), frozenset({"pump[1]", "pump[2]"})}


@pytest.mark.parametrize("law, resolution", [
    ({"law": "Uniform", "low": 0, "high": 0.5}, 1),
    ({"law": "Uniform", "low": 0, "high": 0.5}, 4),
    ({"law": "Normal", "mean": 0.3, "sd": 0.01}, 1),
    ({"law": "Exponential", "mean": 0.05}, 1),
    ({"law": "Exponential", "mean": 0.2}, 1),
    ({"law": "Weibull", "scale": 0.1, "shape": 3}, 1),
    ({"law": "Weibull", "scale": 0.1, "shape": 3}, 60),
])
def test_a_law_whose_delays_all_round_to_zero_steps_is_refused(law, resolution):
    """The engine counts a delay shorter than one step as 0: a law that almost never reaches
    one step fires at once, and a cycle of them stops a history. Judged by scipy's laws."""
    from scipy import stats

    frozen = {"Uniform": lambda t: stats.uniform(t["low"], t["high"] - t["low"]),
              "Normal": lambda t: stats.norm(t["mean"], t["sd"]),
              "Exponential": lambda t: stats.expon(scale=t["mean"]),
              "Weibull": lambda t: stats.weibull_min(t["shape"], scale=t["scale"])}[law["law"]]
    one_step_or_more = frozen(law).sf(1 / resolution)
    if one_step_or_more >= 1e-5:
        assert failure_law(law, resolution) is not None
        return
    with pytest.raises(ModelError, match=r"components.unit.failure: \w+: almost every delay is"
                                         r" shorter than one engine step"):
        failure_law(law, resolution)
