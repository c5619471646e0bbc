"""The failure logic under hostile input: expressions checked against minimal cut sets found by
brute force, the count of cut sets before SCRAM, coherent fault trees only, template units in
fault trees, and SCRAM held to its limits (time, memory, its process and folders)."""

import itertools
import math
import os
import re
import signal
import subprocess
import sys
import textwrap
import time
import warnings
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st

import tarvokit
from tarvokit import ModelError, ModelWarning
from tarvokit.model import logic

SRC = Path(__file__).resolve().parents[1] / "src"
EXPONENTIAL = {"law": "Exponential", "mean": 5}


def model(components: dict, system: dict, base_dir: Path | None = None) -> tarvokit.Model:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ModelWarning)
        return tarvokit.Model.from_dict({"study": {"horizon": 10}, "components": components,
                                         "system": system}, base_dir=base_dir)


def units(count: int, name: str = "u") -> dict:
    return {name: {"count": count, "failure": EXPONENTIAL}}


def named_sets(m) -> set[frozenset[str]]:
    return {frozenset(m.names[i] for i in s) for s in m.cut_sets}


# --- Expressions against brute force ------------------------------------------------------

# A formula of the test's own: ("event", name) | ("and"/"or", [formulas]) | ("atleast", k, [..]).
NAMES = ["a", "b", "c", "d", "e", "f"]


def formulas(depth: int = 3):
    leaf = st.sampled_from(NAMES).map(lambda n: ("event", n))
    if depth == 0:
        return leaf
    inner = formulas(depth - 1)
    return st.one_of(
        leaf,
        st.tuples(st.sampled_from(["and", "or"]),
                  st.lists(inner, min_size=2, max_size=3).map(tuple)),
        st.lists(inner, min_size=2, max_size=4, unique=True).map(tuple).flatmap(
            lambda args: st.integers(1, len(args)).map(lambda k: ("atleast", k, args))))


def text_of(formula) -> str:
    if formula[0] == "event":
        return formula[1]
    if formula[0] == "atleast":
        return f"atleast({formula[1]}, {', '.join(text_of(a) for a in formula[2])})"
    return "(" + f" {formula[0]} ".join(text_of(a) for a in formula[1]) + ")"


def fails(formula, failed: frozenset) -> bool:
    if formula[0] == "event":
        return formula[1] in failed
    if formula[0] == "atleast":
        return sum(fails(a, failed) for a in formula[2]) >= formula[1]
    outcomes = [fails(a, failed) for a in formula[1]]
    return all(outcomes) if formula[0] == "and" else any(outcomes)


def brute_force_minimal_cut_sets(formula) -> set[frozenset[str]]:
    failing = [frozenset(c) for r in range(1, len(NAMES) + 1)
               for c in itertools.combinations(NAMES, r) if fails(formula, frozenset(c))]
    return {s for s in failing if not any(t < s for t in failing)}


def read_once(formula) -> bool:
    def events(f):
        if f[0] == "event":
            return [f[1]]
        return [e for a in f[-1] for e in events(a)]
    found = events(formula)
    return len(found) == len(set(found))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(formulas())
def test_expressions_give_the_brute_force_minimal_cut_sets(formula):
    """Repeated names (a or b or a), nested and absorbed parts: SCRAM gets what it accepts and
    the result is what enumerating every set of failed components gives. The count before SCRAM
    is exact for read-once formulas and an upper bound otherwise."""
    text = text_of(formula)
    note(text)
    try:
        m = model({n: {"failure": EXPONENTIAL} for n in NAMES}, {"fails_when": text})
    except ModelError as error:
        # The one refusal: atleast naming one argument twice is no k-out-of-n.
        assert "twice among its arguments" in str(error)
        return
    expected = brute_force_minimal_cut_sets(formula)
    assert named_sets(m) == expected
    count = logic.count_cut_sets(logic.parse_expression(text, m.names, logic.Where("t")))
    assert count.value >= len(expected)
    if read_once(formula):
        assert count.exact and count.value == len(expected)


@pytest.mark.parametrize("text, expected", [
    ("a or b or a", {"a", "b"}),
    ("a or (b or a)", {"a", "b"}),
    ("a or a", {"a"}),
    ("(a and b) or (b and a) or a", {"a"}),
    ("atleast(1, a, b) or a", {"a", "b"}),
], ids=["or-repeat", "nested-repeat", "only-repeats", "and-repeat", "vote-and-repeat"])
def test_repeated_names_are_accepted(text, expected):
    got = named_sets(model({n: {"failure": EXPONENTIAL} for n in NAMES}, {"fails_when": text}))
    assert set().union(*got) == expected


def test_a_vote_over_arguments_that_share_components_is_reduced_right(tmp_path):
    # SCRAM 0.16 alone gives {a}, {c} for this vote: a or b counts as a second failure when a
    # (or b) fails, c needs a partner.
    expected = {frozenset({"a"}), frozenset({"b"})}
    three = {n: {"failure": EXPONENTIAL} for n in "abc"}
    assert named_sets(model(three, {"fails_when": "atleast(2, a, b, c, a or b)"})) == expected
    gates = ('<define-gate name="top"><atleast min="2"><basic-event name="a"/>'
             '<basic-event name="b"/><basic-event name="c"/><gate name="g"/></atleast>'
             '</define-gate><define-gate name="g"><or><basic-event name="a"/>'
             '<basic-event name="b"/></or></define-gate>')
    assert named_sets(tree_model(tmp_path, three, gates)) == expected


# --- Counting before SCRAM ----------------------------------------------------------------

@pytest.mark.parametrize("units_, text, count", [
    (40, "atleast(20, u[*])", math.comb(40, 20)),
    (60, "atleast(10, u[*])", math.comb(60, 10)),
    (30, "atleast(3, u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8]) and atleast(15, "
         + ", ".join(f"u[{i}]" for i in range(9, 31)) + ")",
     math.comb(8, 3) * math.comb(22, 15)),
], ids=["20-of-40", "10-of-60", "product-of-votes"])
def test_too_many_cut_sets_are_refused_before_scram(units_, text, count):
    started = time.monotonic()
    with pytest.raises(ModelError, match=rf"{count:,} minimal cut sets, more than the"
                                         rf" {logic.MAX_CUT_SETS:,}") as caught:
        model(units(units_), {"fails_when": text})
    assert time.monotonic() - started < 2  # SCRAM never ran on it
    assert "\n" not in str(caught.value)


def test_a_vote_of_200_000_cut_sets_or_fewer_is_reduced():
    # 22 choose 4 = 7315: counted, then reduced by SCRAM.
    m = model(units(22), {"fails_when": "atleast(4, u[*])"})
    assert len(m.cut_sets) == math.comb(22, 4) and all(len(s) == 4 for s in m.cut_sets)


# --- Fault trees --------------------------------------------------------------------------

def tree_file(tmp_path: Path, gates: str, extra: str = "") -> Path:
    path = tmp_path / "tree.xml"
    path.write_text('<?xml version="1.0"?>\n<opsa-mef><define-fault-tree name="ft">'
                    f"{gates}</define-fault-tree><model-data>{extra}</model-data></opsa-mef>\n")
    return path


def tree_model(tmp_path: Path, components: dict, gates: str, extra: str = ""):
    tree_file(tmp_path, gates, extra)
    return model(components, {"fault_tree": "tree.xml"}, base_dir=tmp_path)


TWO = {"a": {"failure": EXPONENTIAL}, "b": {"failure": EXPONENTIAL}}
A, B = '<basic-event name="a"/>', '<basic-event name="b"/>'


def house(name: str, value: str) -> str:
    return f'<define-house-event name="{name}"><constant value="{value}"/></define-house-event>'


@pytest.mark.parametrize("connective", ["not", "nand", "nor", "xor", "iff", "imply"])
def test_negating_gates_are_refused_naming_the_file_and_gate(tmp_path, connective):
    inner = A if connective == "not" else A + B
    gates = (f'<define-gate name="top"><or><gate name="g"/>{B}</or></define-gate>'
             f'<define-gate name="g"><{connective}>{inner}</{connective}></define-gate>')
    with pytest.raises(ModelError, match=rf'gate "g" of .*tree.xml uses <{connective}>'):
        tree_model(tmp_path, TWO, gates)


@pytest.mark.parametrize("top, house_value, outcome", [
    ("and", "false", "never"),   # a false house event in an and: the top can never fail
    ("or", "true", "always"),    # a true one in an or: failed whatever happens, cut set {}
], ids=["false-in-and", "true-in-or"])
def test_a_top_that_house_events_decide_is_refused_naming_the_gate(tmp_path, top, house_value,
                                                                     outcome):
    gates = (f'<define-gate name="top"><{top}><gate name="g"/>{B}</{top}></define-gate>'
             f'<define-gate name="g"><{top}><house-event name="h"/>{A}</{top}></define-gate>')
    with pytest.raises(ModelError, match=rf'gate "g" of .*tree.xml is always .* top gate "top"'
                                         rf" is {outcome} failed"):
        tree_model(tmp_path, TWO, gates, house("h", house_value))


def test_a_not_of_a_false_house_event_is_refused(tmp_path):
    gates = (f'<define-gate name="top"><or><not><house-event name="h"/></not>{B}</or>'
             "</define-gate>")
    with pytest.raises(ModelError, match=r'gate "top" of .*tree.xml uses <not>'):
        tree_model(tmp_path, TWO, gates, house("h", "false"))


@pytest.mark.parametrize("top, inner, house_value, expected", [
    ("or", "and", "false", {"b"}),  # switches a branch off
    ("and", "and", "true", {"a", "b"}),  # lets it through
    ("and", "or", "false", {"a", "b"}),
], ids=["false-switches-off", "true-lets-through", "false-in-or"])
def test_house_events_that_leave_the_top_to_the_components_are_kept(tmp_path, top, inner,
                                                                     house_value, expected):
    gates = (f'<define-gate name="top"><{top}><gate name="g"/>{B}</{top}></define-gate>'
             f'<define-gate name="g"><{inner}><house-event name="h"/>{A}</{inner}></define-gate>')
    got = named_sets(tree_model(tmp_path, TWO, gates, house("h", house_value)))
    assert got == {frozenset(expected)}


def test_a_deep_fault_tree_is_read_without_recursion(tmp_path):
    depth = 3000
    gates = "".join(f'<define-gate name="g{i}"><or><gate name="g{i + 1}"/>'
                    f'<basic-event name="u_{i % 5 + 1}"/></or></define-gate>'
                    for i in range(depth))
    gates += f'<define-gate name="g{depth}"><basic-event name="u_1"/></define-gate>'
    got = named_sets(tree_model(tmp_path, units(5), gates))
    assert got == {frozenset({f"u[{i}]"}) for i in range(1, 6)}


def test_a_fault_tree_vote_over_many_units_is_refused_before_scram(tmp_path):
    events = "".join(f'<basic-event name="u_{i}"/>' for i in range(1, 41))
    with pytest.raises(ModelError, match=rf"tree.xml has {math.comb(40, 20):,} minimal cut sets"):
        tree_model(tmp_path, units(40), f'<define-gate name="top"><atleast min="20">{events}'
                                        "</atleast></define-gate>")


# --- Template units in fault trees --------------------------------------------------------

PLANT = {"pump": {"count": 3, "failure": EXPONENTIAL}, "valve": {"failure": EXPONENTIAL}}


@pytest.mark.parametrize("spelling", ["pump_{}", "pump-{}"])
def test_a_fault_tree_names_template_units_with_an_underscore_or_a_dash(tmp_path, spelling):
    pumps = "".join(f'<basic-event name="{spelling.format(i)}"/>' for i in (1, 2, 3))
    gates = (f'<define-gate name="top"><or><atleast min="2">{pumps}</atleast>'
             '<basic-event name="valve"/></or></define-gate>')
    got = named_sets(tree_model(tmp_path, PLANT, gates))
    assert got == {frozenset({"valve"}), frozenset({"pump[1]", "pump[2]"}),
                   frozenset({"pump[1]", "pump[3]"}), frozenset({"pump[2]", "pump[3]"})}


@pytest.mark.parametrize("events, components, message", [
    (["pump[1]", "valve"], PLANT, r'"pump\[1\]" .*cannot hold brackets; name this unit "pump_1"'
                                  r' or "pump-1"'),
    (["pump_1", "pump-1"], PLANT, r'basic events "pump-1" and "pump_1" .* both name "pump\[1\]"'),
    (["pump_1", "valve"], {**PLANT, "pump_1": {"failure": EXPONENTIAL}},
     r'basic event "pump_1" .* could be component "pump_1" or unit "pump\[1\]"'),
    (["pump_4", "valve"], PLANT, r'basic event "pump_4" of .* is not a component'),
], ids=["brackets", "two-spellings", "ambiguous", "no-such-unit"])
def test_unit_names_in_fault_trees_refuse_what_is_unclear(tmp_path, events, components,
                                                          message):
    gates = ('<define-gate name="top"><or>'
             + "".join(f'<basic-event name="{e}"/>' for e in events) + "</or></define-gate>")
    with pytest.raises(ModelError, match=message):
        tree_model(tmp_path, components, gates)


# --- SCRAM's limits, process and folders --------------------------------------------------

# 22 units, 11 of them failed: 705,432 cut sets, which SCRAM needs minutes for. The repeated
# u[1] makes the count an upper bound, so the run goes to SCRAM and meets its limits.
SLOW_MODEL = textwrap.dedent("""\
    [study]
    horizon = 10
    [components.u]
    count = 22
    failure = {law = "Exponential", mean = 5}
    [system]
    fails_when = "atleast(11, u[*]) or (u[1] and u[2])"
    """)


def tarvo_check(path: Path, tmp: Path, env: dict, timeout: float = 60, **popen):
    """`tarvo check` in a child with its own temporary folder and a memory limit."""
    environment = {**os.environ, "PYTHONPATH": f"{SRC}{os.pathsep}{os.environ.get('PYTHONPATH', '')}",
                   "TMPDIR": str(tmp), **env}
    command = [sys.executable, "-c", "import resource, sys; resource.setrlimit("
               "resource.RLIMIT_AS, (4 << 30, 4 << 30)); from tarvokit.command.cli import main;"
               " sys.exit(main(sys.argv[1:]))", "check", str(path)]
    return subprocess.Popen(command, env=environment, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **popen)


def scram_processes_under(folder: Path) -> list[int]:
    """Processes whose command line names a file under `folder` (SCRAM's inputs are there)."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
            except OSError:
                continue
            if "scram" in command and str(folder) in command:
                found.append(int(entry.name))
    return found


@pytest.fixture
def slow_model(tmp_path):
    path = tmp_path / "slow.toml"
    path.write_text(SLOW_MODEL)
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    return path, scratch


@pytest.mark.parametrize("env, message", [
    ({"TARVO_SCRAM_SECONDS": "2"}, r"SCRAM did not finish within its time limit of 2 s"),
    ({"TARVO_SCRAM_MEMORY_MB": "80"}, r"SCRAM ran out of memory at its limit of 80 MB"),
], ids=["time", "memory"])
def test_scram_stops_at_its_limits_and_says_which(slow_model, env, message):
    path, scratch = slow_model
    process = tarvo_check(path, scratch, env)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 2, err
    assert re.search(message, err) and "Traceback" not in err and out == ""
    assert list(scratch.iterdir()) == [] and scram_processes_under(scratch) == []


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL],
                         ids=["ctrl-c", "terminated", "killed"])
def test_scram_ends_with_the_run_and_its_folder_goes(slow_model, how):
    path, scratch = slow_model
    process = tarvo_check(path, scratch, {})
    deadline = time.monotonic() + 30
    while not scram_processes_under(scratch) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert scram_processes_under(scratch), "SCRAM never started"
    time.sleep(0.3)
    process.send_signal(how)
    process.communicate(timeout=30)
    deadline = time.monotonic() + 10
    while scram_processes_under(scratch) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert scram_processes_under(scratch) == []
    if how == signal.SIGINT:  # cleaned up on the way out
        assert list(scratch.iterdir()) == []
    # A run killed before it could clean up leaves its folder to the next run.
    path.write_text(SLOW_MODEL.replace("atleast(11, u[*]) or", "u[3] or"))
    again = tarvo_check(path, scratch, {})
    again.communicate(timeout=60)
    assert again.returncode == 0
    assert list(scratch.iterdir()) == []


def test_bad_limits_in_the_environment_are_one_line(slow_model):
    path, scratch = slow_model
    process = tarvo_check(path, scratch, {"TARVO_SCRAM_SECONDS": "soon"})
    _, err = process.communicate(timeout=60)
    assert process.returncode == 2
    assert "TARVO_SCRAM_SECONDS: expected a positive number, got 'soon'" in err


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(formulas())
def test_small_formulas_reduced_here_agree_with_scram(formula):
    """Small expressions are reduced without SCRAM; both ways give the same minimal cut sets."""
    text = text_of(formula)
    note(text)
    try:
        parsed = logic.parse_expression(text, NAMES, logic.Where("t"))
    except ModelError:
        return  # refused whichever way it would be reduced
    here = set(logic.reduced_cut_sets(parsed))
    saved = logic.reduction.REDUCED_HERE_UP_TO
    logic.reduction.REDUCED_HERE_UP_TO = -1  # every formula to SCRAM
    try:
        by_scram = set(logic.cut_sets_of_formula(parsed, len(NAMES), logic.Where("t")))
    finally:
        logic.reduction.REDUCED_HERE_UP_TO = saved
    assert here == by_scram
