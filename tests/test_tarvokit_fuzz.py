"""Fuzzing the model reader: every input ends in a model or in one ModelError line, with only
ModelWarnings on the way; never another exception, a traceback or a hang.

Inputs: model structures built from valid models by replacing, deleting and adding values at
random key paths (any TOML value and some no file can hold: None, huge or non-string keys,
values thousands of digits long), random expressions over the components, random fault trees
(every MEF connective, house events, unit spellings, cycles, broken XML) and random file bytes.

A CI run makes few examples per property; for a long run:

    TARVO_FUZZ_EXAMPLES=20000 PYTHONPATH=src .venv/bin/python -m pytest \\
        tests/test_tarvokit_fuzz.py --hypothesis-show-statistics
"""

import copy
import contextlib
import os
import reprlib
import tempfile
import warnings
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvokit
from tarvokit import ModelError, ModelWarning

settings.register_profile(
    "tarvo-fuzz", max_examples=int(os.environ.get("TARVO_FUZZ_EXAMPLES", "40")), deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much])
FUZZ = settings.get_profile("tarvo-fuzz")

EXPONENTIAL = {"law": "Exponential", "mean": 50}
VALID = [
    {"study": {"name": "loop", "time_unit": "h", "horizon": 200, "resolution": 4},
     "components": {"pump": {"count": 3, "failure": {"law": "Weibull", "scale": 400, "shape": 2},
                             "repair": {"law": "Exponential", "mean": 8}},
                    "valve": {"states": ["ok", "stuck", "maintenance"], "transitions": [
                        {"from": "ok", "to": "stuck", "law": "Exponential", "mean": 900},
                        {"from": "stuck", "to": "ok", "law": "Inspection", "period": 24},
                        {"from": "ok", "to": "maintenance", "law": "Inspection", "period": 50},
                        {"from": "maintenance", "to": "ok", "law": "Maintenance",
                         "durations": [1, 2.5]}]}},
     "system": {"fails_when": "valve or atleast(2, pump[*])"}},
    {"study": {"horizon": 100, "resolution": 2},
     "components": {"a": {"failure": {"law": "Normal", "mean": 30, "sd": 5},
                          "repair": {"law": "Uniform", "low": 1, "high": 3}},
                    "b": {"failure": {"law": "InstantaneousFailure", "at": 40}},
                    "c": {"failure": EXPONENTIAL, "standby": {"covers": ["a"]}}},
     "system": {"cut_sets": [["a", "b"], ["c"]]},
     "common_cause": {"ab": {"members": ["a", "b"], "shock": EXPONENTIAL}},
     "crews": {"fitters": {"count": 1, "repairs": ["a", "c"]}},
     "sweep": {"parameter": "components.a.failure.mean", "values": [20, 40]}},
]
KEYS = ["study", "components", "system", "sweep", "name", "time_unit", "horizon", "resolution",
        "count", "failure", "repair", "states", "transitions", "from", "to", "law", "mean",
        "rate", "scale", "shape", "sd", "low", "high", "period", "durations", "at", "cut_sets",
        "fails_when", "fault_tree", "parameter", "values", "standby", "covers",
        "common_cause", "crews", "members", "beta", "shock", "repairs", "order", "pump[1]",
        "pump", "b[1]"]
WORDS = ["Exponential", "Weibull", "Normal", "Uniform", "Inspection", "Maintenance",
         "InstantaneousFailure", "pump", "pump[1]", "pump[2]", "pump[*]", "valve", "a", "b",
         "c", "ok", "stuck", "working", "failed", "tree.xml", "../tree.xml", "", " ", "a or b",
         "first_failed", "listed", "$x$", "\x00", "é", "pump[0]", "pump[99999999999]"]


def scalars():
    return st.one_of(
        st.integers(-3, 10**6), st.integers(),
        st.tuples(st.sampled_from([1, -1]), st.sampled_from([31, 63, 1400, 17000])).map(
            lambda sign_bits: sign_bits[0] * 2 ** sign_bits[1]),  # up to 5,000 digits
        st.floats(allow_nan=True, allow_infinity=True), st.booleans(), st.none(),
        st.sampled_from(WORDS), st.text(max_size=12))


def values():
    return st.recursive(
        scalars(),
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.dictionaries(st.one_of(st.sampled_from(KEYS), st.text(max_size=6)), inner,
                            max_size=4),
            st.dictionaries(st.integers(), inner, max_size=2)),
        max_leaves=12)


def deep(kind: str, depth: int):
    value = 1
    for _ in range(depth):
        value = [value] if kind == "list" else {"law": value}
    return value


def paths(data) -> list[tuple]:
    """Every key path of a structure, breadth first."""
    found, queue = [], [((), data)]
    while queue:
        path, node = queue.pop(0)
        children = node.items() if isinstance(node, dict) else (
            enumerate(node) if isinstance(node, list) else ())
        for key, child in children:
            found.append(path + (key,))
            queue.append((path + (key,), child))
    return found


class Shown:
    """A generated input, shown shortened: Hypothesis cannot print a value 3,000 levels deep."""

    def __init__(self, value):
        self.value = value

    def __repr__(self) -> str:
        return reprlib.Repr(maxlevel=6, maxlong=60).repr(self.value)


@st.composite
def mutated_models(draw):
    data = copy.deepcopy(draw(st.sampled_from(VALID)))
    for _ in range(draw(st.integers(1, 3))):
        every = paths(data)
        path = draw(st.sampled_from(every))
        parent = data
        for key in path[:-1]:
            parent = parent[key]
        action = draw(st.sampled_from(["replace", "replace", "delete", "add", "deep"]))
        if action == "replace":
            parent[path[-1]] = draw(values())
        elif action == "delete":
            del parent[path[-1]]
        elif action == "deep":
            parent[path[-1]] = deep(draw(st.sampled_from(["list", "dict"])),
                                    draw(st.sampled_from([50, 3000])))
        elif isinstance(parent, dict):
            parent[draw(st.sampled_from(KEYS))] = draw(values())
        else:
            parent.append(draw(values()))
    return Shown(data)


TOKENS = ["a", "b", "c", "pump[1]", "pump[2]", "pump[3]", "pump[*]", "pump[4]", "valve",
          "'a'", '"pump[2]"', "and", "or", "not", "(", ")", "(", ")", ",", "atleast", "atleast(",
          "0", "1", "2", "3", "99999999999999999999999", "[", "]", "*", "$", "é", "a.b", "-"]


def expressions():
    return st.one_of(
        st.lists(st.sampled_from(TOKENS), min_size=1, max_size=30).map(" ".join),
        st.integers(1, 400).map(lambda n: "(" * n + "a" + ")" * n),
        st.integers(2, 60).map(lambda n: "atleast(2, " + ", ".join(["a", "b", "c"] * n) + ")"),
        st.text(max_size=30))


GATE_NAMES = ["top", "g1", "g2", "g3"]
EVENT_NAMES = ["a", "b", "c", "valve", "pump_1", "pump-2", "pump_3", "pump[1]", "pump_9", "x",
               "h1", "g1"]


def formulas_xml(depth: int = 3):
    leaf = st.one_of(
        st.sampled_from(EVENT_NAMES).map(lambda n: f'<basic-event name="{n}"/>'),
        st.sampled_from(EVENT_NAMES + GATE_NAMES).map(lambda n: f'<event name="{n}"/>'),
        st.sampled_from(GATE_NAMES).map(lambda n: f'<gate name="{n}"/>'),
        st.sampled_from(["h1", "h2"]).map(lambda n: f'<house-event name="{n}"/>'),
        st.sampled_from(["true", "false", "maybe"]).map(lambda v: f'<constant value="{v}"/>'))
    if depth == 0:
        return leaf
    inner = formulas_xml(depth - 1)

    def gate(tag, arguments, k):
        opening = f'<atleast min="{k}">' if tag == "atleast" else f"<{tag}>"
        return f"{opening}{''.join(arguments)}</{tag}>"

    return st.one_of(leaf, st.builds(
        gate, st.sampled_from(["and", "or", "atleast", "not", "xor", "nand", "null", "imply",
                               "cardinality"]),
        st.lists(inner, min_size=1, max_size=4), st.integers(0, 5)))


@st.composite
def fault_trees(draw):
    gates = "".join(f'<define-gate name="{name}">{draw(formulas_xml())}</define-gate>'
                    for name in draw(st.lists(st.sampled_from(GATE_NAMES), min_size=1,
                                              max_size=4, unique=True)))
    houses = "".join(f'<define-house-event name="{n}"><constant value="{v}"/>'
                     "</define-house-event>"
                     for n, v in draw(st.lists(st.tuples(st.sampled_from(["h1", "h2"]),
                                                         st.sampled_from(["true", "false"])),
                                               max_size=2, unique_by=lambda p: p[0])))
    text = ('<?xml version="1.0"?>\n<opsa-mef><define-fault-tree name="ft">'
            f"{gates}</define-fault-tree><model-data>{houses}</model-data></opsa-mef>\n")
    if draw(st.integers(0, 9)) == 0:  # broken XML
        text = text[:draw(st.integers(0, len(text)))]
    return text


COMPONENTS = {"a": {"failure": EXPONENTIAL}, "b": {"failure": EXPONENTIAL},
              "c": {"failure": EXPONENTIAL}, "valve": {"failure": EXPONENTIAL},
              "pump": {"count": 3, "failure": EXPONENTIAL}}


@contextlib.contextmanager
def bounded_scram():
    """SCRAM held to a few seconds: a fuzzer may well write logic that needs more."""
    saved = os.environ.get("TARVO_SCRAM_SECONDS")
    os.environ["TARVO_SCRAM_SECONDS"] = "10"
    try:
        yield
    finally:
        if saved is None:
            del os.environ["TARVO_SCRAM_SECONDS"]
        else:
            os.environ["TARVO_SCRAM_SECONDS"] = saved


def ends_well(read) -> None:
    """`read()` gives a model or one ModelError line; it warns with ModelWarning only."""
    with warnings.catch_warnings(record=True) as caught, bounded_scram():
        warnings.simplefilter("always")
        try:
            read()
        except ModelError as error:
            text = str(error)
            assert text and "\n" not in text and len(text) < 2000, text
    others = [w for w in caught if not issubclass(w.category, ModelWarning)]
    assert not others, [str(w.message) for w in others]
    assert all("\n" not in str(w.message) for w in caught)


@FUZZ
@given(mutated_models())
def test_model_structures_end_in_a_model_or_one_line(data):
    ends_well(lambda: tarvokit.Model.from_dict(data.value))


@FUZZ
@given(expressions())
def test_expressions_end_in_cut_sets_or_one_line(text):
    ends_well(lambda: tarvokit.Model.from_dict({"study": {"horizon": 10},
                                                "components": COMPONENTS,
                                                "system": {"fails_when": text}}))


@FUZZ
@given(fault_trees())
def test_fault_trees_end_in_cut_sets_or_one_line(text):
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "tree.xml").write_text(text)
        ends_well(lambda: tarvokit.Model.from_dict(
            {"study": {"horizon": 10}, "components": COMPONENTS,
             "system": {"fault_tree": "tree.xml"}}, base_dir=Path(folder)))


VALID_FILE = """\
[study]
name = "loop"
horizon = 200
resolution = 4
[components.pump]
count = 2
failure = {law = "Weibull", scale = 400, shape = 2}
repair = {law = "Exponential", mean = 8}
[system]
fails_when = "atleast(2, pump[*])"
"""


@st.composite
def file_bytes(draw):
    kind = draw(st.sampled_from(["edit", "edit", "bytes", "text"]))
    if kind == "bytes":
        return draw(st.binary(max_size=200))
    if kind == "text":
        return draw(st.text(max_size=200)).encode("utf-8", "surrogatepass")
    data = bytearray(VALID_FILE.encode())
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        piece = draw(st.sampled_from([b"", b"\xff", b"[", b"]", b"=", b'"', b"\n", b"{", b"}",
                                      b"9" * 400, b"-", b".5", b"inf", b"nan", b"[[a]]",
                                      b"[" * 3000]))
        del data[at:at + draw(st.integers(0, 3))]
        data[at:at] = piece
    return bytes(data)


@FUZZ
@given(file_bytes())
def test_model_files_end_in_a_model_or_one_line(content):
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder, "model.toml")
        path.write_bytes(content)
        ends_well(lambda: tarvokit.load(path))


# --- The command's options ------------------------------------------------------------------

TINY_MODEL = """\
[study]
horizon = 20
resolution = 2

[components.pump]
count = 2
failure = { law = "Exponential", mean = 30 }
repair = { law = "Exponential", mean = 5 }

[system]
fails_when = "pump[1] and pump[2]"
"""

OPTION_VALUES = st.one_of(
    st.sampled_from(["0", "1", "2", "-1", "7", "300", "1e3", "0.02", "-0.5", "2.5", "nan", "inf",
                     "", " ", "x", "9" * 30, "2147483647", "2147483648", "--", "-", "=",
                     "pump", "components.pump.failure.mean=10,20", "a=b", "tcp://", "/proc/x",
                     "mean_unavailability", "reliability", "speed"]),
    st.text(max_size=12))
OPTIONS = ["--histories", "--seed", "--threads", "--precision", "--precision-of",
           "--max-histories", "--out", "--top", "--sweep", "--state-limit", "--resume",
           "--workers", "--no-progress", "--batches", "--bogus"]


@FUZZ
@given(st.sampled_from(["run", "check", "importance", "sweep", "markov", "combine", "plot",
                        "bogus", ""]),
       st.lists(st.tuples(st.sampled_from(OPTIONS), OPTION_VALUES), max_size=4))
def test_command_lines_end_in_exit_0_or_2_without_a_traceback(verb, options):
    from tarvokit.command import cli

    with tempfile.TemporaryDirectory() as folder:
        model = Path(folder) / "tiny.toml"
        model.write_text(TINY_MODEL)
        argv = [verb] if verb else []
        if verb in ("run", "check", "importance", "sweep", "markov"):
            argv.append(str(model))
        elif verb == "plot":
            argv.append(folder)
        for option, value in options:
            argv.append(option)
            if option not in ("--no-progress",):
                argv.append(value.replace("/proc/x", folder + "/out") if option == "--out"
                            else value)
        if verb in ("run", "importance", "sweep") and "--histories" not in argv:
            argv += ["--histories", "20"]
        if "--workers" in argv:  # a cluster is not what this explores
            return
        histories = [argv[i + 1] for i, a in enumerate(argv[:-1]) if a == "--histories"]
        if any(h.strip().isdigit() and 10**5 < int(h) < 2**31 for h in histories):
            return  # valid, merely long
        # In the temporary folder: the default output folder, out, is relative.
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), \
                contextlib.redirect_stderr(sink), contextlib.chdir(folder):
            try:
                code = cli.main(argv)
            except SystemExit as exit_:  # --help, or argparse's own exit
                code = exit_.code
        assert code in (0, 2, None), argv
