"""The module's surface as a Python caller sees it: registration, signatures, conversions,
error translation, ownership and the interpreter lock."""

import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import tarvo
from models import single_tree

LAWS = ["Normal", "Exponential", "Uniform", "Weibull", "Inspection", "Maintenance", "InstantaneousFailure",
        "Discrete", "Lognormal"]
CLASSES = ["Distribution", *LAWS, "CutsetTree"]
FUNCTIONS = ["runnerSingleSim", "runnerMultipleSim", "runnerParallelSim", "reportSIMDSupport", "limitOMPThreads",
             "runnerStudy"]

F = "typing.SupportsFloat"
I = "typing.SupportsInt"
SEQ_INT = f"collections.abc.Sequence[{I}]"
MODEL = "collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[tarvo.Distribution]]]"
RUNNER_TAIL = f"transitionsMatrix: {MODEL}, cutSetTree: tarvo.CutsetTree, seed: {I}) -> list[int]"


def test_module_identity():
    assert tarvo.__name__ == "tarvo"
    assert tarvo.__doc__ == "Python bindings for the simulator library"


def test_registration_order():
    public = [name for name in vars(tarvo) if not name.startswith("_")]
    assert public == (CLASSES + ["Dependencies", "CapacityProgram", "Logistics"] + FUNCTIONS
                      + ["Calendar", "runnerCalendarStudy"])


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(tarvo, name)
    assert cls.__doc__ is None
    assert cls.__module__ == "tarvo"
    expected_bases = (tarvo.Distribution,) if name in LAWS else None
    if expected_bases:
        assert cls.__bases__ == expected_bases
        assert cls.__mro__[:2] == (cls, tarvo.Distribution)
    assert cls.__mro__[-1] is object
    assert cls.__mro__[-2].__name__ == "pybind11_object"
    methods = ["insertNode", "constructTree", "findNode", "getRoot"] if name == "CutsetTree" else (
        ["pdf", "cdf", "quantile"])
    assert [k for k in vars(cls) if k in methods] == methods
    assert "_pybind11_conduit_v1_" in vars(cls)


CONSTRUCTOR_ARGS = {
    "Distribution": (), "Normal": (0, 1), "Exponential": (1,), "Uniform": (0, 1), "Weibull": (1, 1),
    "Inspection": (1,), "Maintenance": ([1],), "InstantaneousFailure": (1,), "Discrete": ([1],),
    "Lognormal": (0, 1),
    "CutsetTree": (1,),
}


@pytest.mark.parametrize("name", CLASSES)
def test_instances_take_no_new_attributes_and_classes_can_be_subclassed(name):
    cls, args = getattr(tarvo, name), CONSTRUCTOR_ARGS[name]
    with pytest.raises(AttributeError):
        cls(*args).extra = 1
    subclass = type("Sub" + name, (cls,), {"extra": 1})
    assert subclass(*args).extra == 1
    if name != "CutsetTree":
        assert subclass(*args).quantile(0.5, 0) == cls(*args).quantile(0.5, 0)


@pytest.mark.parametrize(
    ("callable_", "doc"),
    [
        (tarvo.Distribution.__init__, "__init__(self: tarvo.Distribution) -> None\n"),
        (tarvo.Normal.__init__, f"__init__(self: tarvo.Normal, mean: {F}, stddev: {F}) -> None\n"),
        (tarvo.Exponential.__init__, f"__init__(self: tarvo.Exponential, lambda: {F}) -> None\n"),
        (tarvo.Uniform.__init__, f"__init__(self: tarvo.Uniform, a: {F}, b: {F}) -> None\n"),
        (tarvo.Weibull.__init__, f"__init__(self: tarvo.Weibull, lambda: {F}, k: {F}) -> None\n"),
        (tarvo.Inspection.__init__, f"__init__(self: tarvo.Inspection, inspectionTime: {I}) -> None\n"),
        (tarvo.Maintenance.__init__, f"__init__(self: tarvo.Maintenance, maintenanceTimes: {SEQ_INT}) -> None\n"),
        (tarvo.InstantaneousFailure.__init__,
         f"__init__(self: tarvo.InstantaneousFailure, failureTime: {I}) -> None\n"),
        (tarvo.Discrete.__init__, f"__init__(self: tarvo.Discrete, values: {SEQ_INT}) -> None\n"),
        (tarvo.CutsetTree.__init__, f"__init__(self: tarvo.CutsetTree, cutsetSize: {I}) -> None\n"),
        (tarvo.Distribution.pdf,
         f"pdf(self: tarvo.Distribution, arg0: {F}) -> float\n\nProbability density function\n"),
        (tarvo.Distribution.cdf,
         f"cdf(self: tarvo.Distribution, arg0: {F}) -> float\n\nCumulative distribution function\n"),
        (tarvo.Distribution.quantile,
         f"quantile(self: tarvo.Distribution, arg0: {F}, arg1: {I}) -> float\n\nQuantile function\n"),
        *[(getattr(getattr(tarvo, law), "pdf"), f"pdf(self: tarvo.{law}, arg0: {F}) -> float\n") for law in LAWS],
        *[(getattr(getattr(tarvo, law), "cdf"), f"cdf(self: tarvo.{law}, arg0: {F}) -> float\n") for law in LAWS],
        *[(getattr(getattr(tarvo, law), "quantile"),
           f"quantile(self: tarvo.{law}, arg0: {F}, arg1: {I}) -> float\n") for law in LAWS],
        (tarvo.CutsetTree.insertNode,
         f"insertNode(self: tarvo.CutsetTree, cutset: {SEQ_INT}) -> None\n\nInsert a new node into the cutset tree\n"),
        (tarvo.CutsetTree.constructTree,
         f"constructTree(self: tarvo.CutsetTree, cutsets: collections.abc.Sequence[{SEQ_INT}]) -> None\n\n"
         "Construct the cutset tree from a list of cutsets\n"),
        (tarvo.CutsetTree.findNode,
         f"findNode(self: tarvo.CutsetTree, cutset: {SEQ_INT}) -> list[int]\n\n"
         "Find a node in the cutset tree by its cutset\n"),
        (tarvo.runnerSingleSim, f"runnerSingleSim(simTime: {I}, {RUNNER_TAIL}\n\nRun a single simulation\n"),
        (tarvo.runnerMultipleSim,
         f"runnerMultipleSim(nSimulations: {I}, simTime: {I}, {RUNNER_TAIL}\n\n"
         "Run multiple simulations on a single thread\n"),
        (tarvo.runnerParallelSim,
         f"runnerParallelSim(nSimulations: {I}, simTime: {I}, {RUNNER_TAIL}\n\nRun multiple simulations in parallel\n"),
        (tarvo.reportSIMDSupport, "reportSIMDSupport() -> None\n\nReport SIMD support status\n"),
        (tarvo.limitOMPThreads, f"limitOMPThreads(maxThreads: {I}) -> None\n\nLimit the number of OMP threads\n"),
    ],
)
def test_signatures_and_docstrings(callable_, doc):
    assert callable_.__doc__ == doc


def test_study_runner_signature_and_the_keys_its_docstring_names():
    signature, _, doc = tarvo.runnerStudy.__doc__.partition("\n")
    assert signature == (
        f"runnerStudy(transitionsMatrix: {MODEL}, cutSetTree: tarvo.CutsetTree, simTime: {I}, "
        f"nSimulations: {I}, seed: {I}, threads: {I}, stepsPerUnit: {I} = 1, "
        f"dependencies: tarvo.Dependencies | None = None, "
        f"capacity: tarvo.CapacityProgram | None = None) -> dict[str, object]")
    one_unit = [[[tarvo.Distribution(), tarvo.Exponential(0.1)], [tarvo.Distribution()] * 2]]
    keys = tarvo.runnerStudy(one_unit, single_tree(), 10, 2, 0, 1).keys()
    assert all(key in doc for key in keys)
    program = tarvo.CapacityProgram(1, 1)
    program.setComponent(0, [5, 0])
    program.addComponent(0)
    program.setDemand(5)
    figures = tarvo.runnerStudy(one_unit, single_tree(), 10, 2, 0, 1, capacity=program)
    assert set(figures) == set(keys) | {"production"}
    assert all(key in doc for key in figures["production"])


def test_get_root_signature_names_the_unregistered_node_type():
    doc = tarvo.CutsetTree.getRoot.__doc__
    assert doc.startswith("getRoot(self: tarvo.CutsetTree) -> ")
    assert "CutsetTreeNode" in doc
    assert doc.endswith("\n\nGet the root node of the cutset tree\n")


class IndexOnly:
    def __index__(self):
        return 3


class IntOnly:
    def __int__(self):
        return 3


class FloatOnly:
    def __float__(self):
        return 3.0


def single_component_model(law):
    """One component, states {0, 1}: `law` times the failure, nothing repairs."""
    never = tarvo.Distribution()
    return [[[never, law], [never, never]]]




@pytest.mark.parametrize("value", [3, True, IndexOnly(), IntOnly(), 2**31 - 1, -(2**31)])
def test_int_parameter_accepts(value):
    assert tarvo.Inspection(2**31 - 1).quantile(0.0, value) >= 1.0
    assert tarvo.CutsetTree(value).findNode([1]) == []


@pytest.mark.parametrize("value", [3.0, "3", None, 2**31, -(2**31) - 1, [3]])
def test_int_parameter_refuses(value):
    with pytest.raises(TypeError):
        tarvo.CutsetTree(value)
    with pytest.raises(TypeError):
        tarvo.runnerSingleSim(value, single_component_model(tarvo.Distribution()), single_tree(), 1)


@pytest.mark.parametrize(("value", "expected"), [(3.0, 3.0), (3, 3.0), (True, 1.0), (IndexOnly(), 3.0), (FloatOnly(), 3.0)])
def test_float_parameter_accepts(value, expected):
    assert tarvo.Uniform(value, 10.0).quantile(0.0, 0) == expected


@pytest.mark.parametrize("value", ["3", None, [3.0]])
def test_float_parameter_refuses(value):
    with pytest.raises(TypeError):
        tarvo.Uniform(value, 10.0)


@pytest.mark.parametrize(
    "make",
    [
        lambda: [1, 0, 1],
        lambda: (1, 0, 1),
        lambda: (x for x in [1, 0, 1]),
        lambda: map(int, "101"),
        lambda: {1: "a", 0: "b", 2: "c"}.keys(),
        lambda: {"a": 1, "b": 0, "c": 1}.values(),
        lambda: range(1, -2, -1),
    ],
)
def test_sequence_parameter_accepts(make):
    tree = tarvo.CutsetTree(3)
    tree.insertNode([1, 0, 0])
    found = tree.findNode(make())
    assert found == [1, 0, 0] or found == []
    assert tree.findNode([1, 1, 1]) == [1, 0, 0]


def test_sets_and_zip_are_read_out():
    tree = tarvo.CutsetTree(1)
    tree.insertNode({1})
    assert tree.findNode(frozenset([1])) == [1]
    tree2 = tarvo.CutsetTree(2)
    tree2.constructTree(zip([1, 0], [0, 1]))
    assert tree2.findNode([1, 0]) == [1, 0]


@pytest.mark.parametrize("value", ["10", b"\x01\x00", None, 5, [1, "0"], [1.0, 0.0], {"a": 1}.items()])
def test_sequence_parameter_refuses(value):
    with pytest.raises(TypeError):
        tarvo.CutsetTree(2).insertNode(value)


def failure_at_3_rows():
    """Rows of one component failing at time 3, built afresh: nothing else refers to the laws."""
    return [[tarvo.Distribution(), tarvo.InstantaneousFailure(3)], [tarvo.Distribution(), tarvo.Distribution()]]


@pytest.mark.parametrize(
    "make_model",
    [
        pytest.param(lambda: (c for c in [failure_at_3_rows()]), id="generator-of-components"),
        pytest.param(lambda: [(row for row in failure_at_3_rows())], id="generator-of-rows"),
        pytest.param(lambda: [[(law for law in row) for row in failure_at_3_rows()]], id="generator-of-laws"),
        pytest.param(lambda: map(list, [failure_at_3_rows()]), id="map"),
        pytest.param(lambda: [[dict(enumerate(row)).values() for row in failure_at_3_rows()]], id="dict-values"),
        pytest.param(lambda: [zip(*zip(*failure_at_3_rows()))], id="zip"),
    ],
)
@pytest.mark.parametrize("runner", ["single", "multiple", "parallel", "study"])
def test_laws_made_inside_iterables_live_through_the_run(make_model, runner, capfd):
    # Read-out iterables are the only owners of these laws; the run must still see them.
    if runner == "single":
        assert tarvo.runnerSingleSim(6, make_model(), single_tree(), 1) == [0, 0, 0, 1, 1, 1]
    elif runner == "study":
        result = tarvo.runnerStudy(make_model(), single_tree(), 6, 4, 1, 2)
        assert result["failed_steps_per_unit"].tolist() == [0, 0, 0, 4, 4, 4]
    else:
        run = tarvo.runnerMultipleSim if runner == "multiple" else tarvo.runnerParallelSim
        assert run(4, 6, make_model(), single_tree(), 1) == [0, 0, 0, 4, 4, 4]
    capfd.readouterr()


@pytest.mark.parametrize("law_slot", [1.5, "law", object(), tarvo.CutsetTree(1)])
def test_component_model_refuses_non_laws_before_any_native_code(law_slot, capfd):
    model = [[[tarvo.Distribution(), law_slot], [tarvo.Distribution(), tarvo.Distribution()]]]
    with pytest.raises(TypeError):
        tarvo.runnerMultipleSim(3, 10, model, single_tree(), 1)
    assert capfd.readouterr() == ("", "")


def test_null_law_and_null_tree_reach_the_runner_checks():
    model = single_component_model(tarvo.InstantaneousFailure(3))
    with pytest.raises(ValueError, match="^Cutset matrix must not be null.$"):
        tarvo.runnerSingleSim(10, model, None, 1)
    with pytest.raises(ValueError, match="^Transitions matrix must not be empty.$"):
        tarvo.runnerSingleSim(10, [], single_tree(), 1)
    with pytest.raises(ValueError):
        tarvo.runnerSingleSim(10, [[[tarvo.Distribution(), None], [tarvo.Distribution()] * 2]], single_tree(), 1)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: tarvo.runnerSingleSim(-1, single_component_model(tarvo.Distribution()), single_tree(), 1),
         MemoryError, None),
        (lambda: tarvo.runnerMultipleSim(1, -1, single_component_model(tarvo.Distribution()), single_tree(), 1),
         RuntimeError, "Failed to allocate systemStates in runnerMultipleSim."),
        (lambda: tarvo.runnerMultipleSim(1, 10, single_component_model(tarvo.Distribution()), None, 1),
         ValueError, "Cutset matrix must not be null."),
        (lambda: tarvo.limitOMPThreads(0), ValueError, "maxThreads must be at least 1"),
    ],
)
def test_error_translation(call, error, message, capfd):
    with pytest.raises(error) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message
    capfd.readouterr()


def test_python_subclass_of_a_law_runs_as_the_native_law():
    class EarlyFailure(tarvo.Distribution):
        def quantile(self, p, time):
            return 0.0

    class LateRepair(tarvo.InstantaneousFailure):
        def quantile(self, p, time):
            return 0.0

    assert EarlyFailure().quantile(0.5, 0) == 0.0
    never = tarvo.Distribution()
    assert tarvo.runnerSingleSim(6, [[[never, EarlyFailure()], [never, never]]], single_tree(), 1) == [0] * 6
    assert tarvo.runnerSingleSim(6, [[[never, LateRepair(4)], [never, never]]], single_tree(), 1) == [0] * 4 + [1] * 2


def test_subclass_must_call_the_inherited_init():
    class Broken(tarvo.Normal):
        def __init__(self):
            pass

    # pybind11 3.0 names the registered class whose __init__ was skipped.
    with pytest.raises(TypeError, match=r"^tarvo\.Normal\.__init__\(\) must be called when overriding __init__$"):
        Broken()


def current_rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_native_objects_are_freed_with_their_python_objects():
    import random

    rng = random.Random(4)
    cutsets = [[int(rng.random() < 0.3) for _ in range(60)] for _ in range(20000)]
    tree = tarvo.CutsetTree(60)
    tree.constructTree(cutsets)
    del tree
    baseline = current_rss_bytes()
    for _ in range(15):
        tree = tarvo.CutsetTree(60)
        tree.constructTree(cutsets)
        del tree
    # One such tree takes several MB; fifteen leaked trees would show far above this bound.
    assert current_rss_bytes() - baseline < 40 * 2**20


def test_runners_hold_the_interpreter_lock():
    samples = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            samples.append(time.perf_counter())

    model = [[[tarvo.Distribution(), tarvo.Exponential(0.01)], [tarvo.Exponential(0.1), tarvo.Distribution()]]] * 8
    tree = tarvo.CutsetTree(8)
    tree.insertNode([1] * 8)
    thread = threading.Thread(target=ticker)
    thread.start()
    while not samples:  # the ticker is running
        time.sleep(0.001)
    try:
        histories = 1000
        while True:  # grow the call until it lasts long enough to tell
            samples.clear()
            start = time.perf_counter()
            tarvo.runnerMultipleSim(histories, 2000, model, tree, 1)
            end = time.perf_counter()
            if end - start > 0.3:
                break
            histories *= 2
    finally:
        stop.set()
        thread.join()
    # The ticker may run until the call takes the lock and after it returns, never in between.
    assert [t for t in samples if start + 0.1 < t < end - 0.1] == []


def test_reportSIMDSupport_and_limitOMPThreads_return_none(capfd):
    assert tarvo.reportSIMDSupport() is None
    assert tarvo.limitOMPThreads(2) is None
    out = capfd.readouterr().out
    assert out in (
        "AVX512 support is available.\n",
        "AVX2 support is available.\n",
        "No AVX2 or AVX512 support detected. Using fallback.\n",
    )


def other_python(version_prefix):
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    candidates = sorted(root.glob(f"{version_prefix}.*"), key=lambda p: [int(x) for x in p.name.split(".") if x.isdigit()])
    for candidate in reversed(candidates):
        python = candidate / "bin" / "python3"
        if python.exists():
            return python
    return None


LOAD_BY_PATH = """
import importlib.util, os, sys
if sys.argv[2] == "lazy":
    sys.setdlopenflags(os.RTLD_LAZY)
location = importlib.util.spec_from_file_location("tarvo", sys.argv[1])
try:
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
except ImportError as error:
    print("ImportError:", error)
else:
    print("loaded")
"""


@pytest.mark.parametrize("version_prefix", ["3.11", "3.13"])
def test_import_into_another_python_version_is_refused(version_prefix):
    python = other_python(version_prefix)
    if python is None:
        pytest.fail(f"no Python {version_prefix} interpreter found under pyenv to check the version guard")
    full_version = subprocess.run(
        [python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True, check=True
    ).stdout.strip()
    # Lazy binding lets the module's own version check run even where the interpreter lacks a
    # symbol the module links against (3.13 removed some private ones).
    result = subprocess.run(
        [python, "-c", LOAD_BY_PATH, tarvo.__file__, "lazy"], capture_output=True, text=True, check=True
    )
    assert result.stdout.strip() == (
        "ImportError: Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {full_version}."
    )
    eager = subprocess.run(
        [python, "-c", LOAD_BY_PATH, tarvo.__file__, "eager"], capture_output=True, text=True, check=True
    )
    assert eager.stdout.startswith("ImportError:")


def test_module_declares_no_support_for_subinterpreters():
    import _xxsubinterpreters as interpreters  # the 3.12 name of the module

    interp = interpreters.create(isolated=True)
    try:
        with pytest.raises(interpreters.RunFailedError, match="does not support loading in subinterpreters"):
            interpreters.run_string(interp, "import tarvo")
    finally:
        interpreters.destroy(interp)


def test_shipped_type_stub_matches_the_module():
    root = Path(__file__).resolve().parents[1]
    shipped = (root / "src" / "API" / "tarvo.pyi").read_text()
    generated = subprocess.run(
        [sys.executable, str(root / "scripts" / "generate_stub.py"), "/dev/stdout"],
        capture_output=True, text=True, check=True,
    ).stdout
    assert generated == shipped, "regenerate with: python scripts/generate_stub.py src/API/tarvo.pyi"
    assert Path(tarvo.__file__).with_name("tarvo.pyi").read_text() == shipped
    compile(shipped, "tarvo.pyi", "exec")  # a stub type checkers can parse
