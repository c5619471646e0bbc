"""Objects that are not what they claim to be: None as self, and instances whose __init__ never
ran (made by __new__ alone). Each must be refused with TypeError before native code sees it.

A fault here ends the interpreter, so every case runs in a child process, which reports the
exception it met (or that there was none) on its standard output."""

import subprocess
import sys
import textwrap

import pytest

LAWS = ["Distribution", "Normal", "Exponential", "Uniform", "Weibull", "Inspection", "Maintenance",
        "InstantaneousFailure", "Discrete"]
LAW_ARGS = {"pdf": "0.5", "cdf": "0.5", "quantile": "0.5, 1"}

PRELUDE = """
import tarvo
never = tarvo.Distribution()
model = [[[never, tarvo.Exponential(0.5)], [tarvo.Exponential(0.5), never]]]
tree = tarvo.CutsetTree(1)
tree.insertNode([1])
bare_tree = tarvo.CutsetTree.__new__(tarvo.CutsetTree)

def report(call):
    try:
        call()
    except Exception as error:
        print(type(error).__name__ + ": " + str(error).splitlines()[0])
    else:
        print("no error")
"""


def reports_of(calls):
    """Runs each expression of `calls` in one child process; returns what each raised."""
    script = PRELUDE + "".join(f"report(lambda: {call})\n" for call in calls)
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True)
    assert child.returncode == 0, f"the child died ({child.returncode}): {child.stderr[-2000:]}"
    return child.stdout.splitlines()


def not_initialised(class_name):
    return f"TypeError: tarvo.{class_name} object is not initialised: its __init__() was never called"


@pytest.mark.parametrize("law", LAWS)
def test_law_methods_refuse_none_as_self(law):
    calls = [f"tarvo.{law}.{method}(None, {args})" for method, args in LAW_ARGS.items()]
    expected = [f"TypeError: {method}(): incompatible function arguments." for method in LAW_ARGS]
    assert [report.split(" The following")[0] for report in reports_of(calls)] == expected


@pytest.mark.parametrize("law", LAWS)
def test_law_methods_refuse_a_law_whose_init_never_ran(law):
    calls = [f"tarvo.{law}.__new__(tarvo.{law}).{method}({args})" for method, args in LAW_ARGS.items()]
    # Through the base class's methods as well: the object is still not there.
    calls.append(f"tarvo.Distribution.pdf(tarvo.{law}.__new__(tarvo.{law}), 0.5)")
    assert reports_of(calls) == [not_initialised(law)] * len(calls)


def test_a_python_subclass_whose_init_never_ran_is_named_by_its_own_class():
    [report] = reports_of(["(lambda cls: cls.__new__(cls))(type('Bare', (tarvo.Normal,), {})).pdf(0.5)"])
    assert report == "TypeError: Bare object is not initialised: its __init__() was never called"


@pytest.mark.parametrize(
    "call",
    [
        "bare_tree.insertNode([1])",
        "bare_tree.constructTree([[1]])",
        "bare_tree.findNode([1])",
        "bare_tree.getRoot()",
        "tarvo.runnerSingleSim(10, model, bare_tree, 1)",
        "tarvo.runnerMultipleSim(3, 10, model, bare_tree, 1)",
        "tarvo.runnerParallelSim(3, 10, model, bare_tree, 1)",
        "tarvo.runnerStudy(model, bare_tree, 10, 3, 1, 1)",
        # A model without any transition would never ask the tree: still refused.
        "tarvo.runnerSingleSim(10, [[[never]]], bare_tree, 1)",
    ],
)
def test_a_tree_whose_init_never_ran_is_refused_wherever_it_is_passed(call):
    assert reports_of([call]) == [not_initialised("CutsetTree")]


@pytest.mark.parametrize("runner", ["runnerSingleSim(10, {}, tree, 1)", "runnerMultipleSim(3, 10, {}, tree, 1)",
                                    "runnerParallelSim(3, 10, {}, tree, 1)", "runnerStudy({}, tree, 10, 3, 1, 1)"])
@pytest.mark.parametrize("law", LAWS)
def test_a_law_whose_init_never_ran_is_refused_in_a_model(runner, law):
    bare = f"tarvo.{law}.__new__(tarvo.{law})"
    models = [f"[[[never, {bare}], [never, never]]]",  # a transition the shape check follows
              f"[[[never, never], [{bare}, never]]]"]  # and one in a row it reads only
    calls = [f"tarvo.{runner.format(model)}" for model in models]
    assert reports_of(calls) == [not_initialised(law)] * len(calls)


def test_none_still_reaches_the_runner_checks():
    calls = ["tarvo.runnerSingleSim(10, model, None, 1)",
             "tarvo.runnerSingleSim(10, [[[never, None], [never, never]]], tree, 1)"]
    reports = reports_of(calls)
    assert reports[0] == "ValueError: Cutset matrix must not be null."
    assert reports[1].startswith("ValueError: Component 0, state 0:")

