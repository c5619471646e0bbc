"""The runners' check of a component model's shape, against the rules written out in brute force:
every row holds one law per state of component 0, no law is None, and every component has a row
for state 0 and for each state that a law reachable from state 0 can lead to (a plain
Distribution leads nowhere)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvo

NEVER = tarvo.Distribution()
FIRES = tarvo.Uniform(1, 3)  # at least one time unit: a valid model runs to its end quickly
LAW_KINDS = {"never": NEVER, "fires": FIRES, "none": None}


def first_faulty_component(model):
    """Index of the first component whose shape is wrong, or None for a sound model."""
    states = len(model[0])
    for component, rows in enumerate(model):
        if any(len(row) != states or None in row for row in rows) or not rows:
            return component
        reached, pending = {0}, [0]
        while pending:
            state = pending.pop()
            for target, law in enumerate(rows[state]):
                if target in reached or law is NEVER:
                    continue
                if target >= len(rows):
                    return component
                reached.add(target)
                pending.append(target)
    return None


@st.composite
def models(draw):
    """Mostly well-formed models with, now and then, a row too short or too long, a None law or a
    missing row."""
    states = draw(st.integers(1, 3))
    law = st.sampled_from(["never", "never", "fires", "fires", "fires", "none"]).map(LAW_KINDS.get)
    row_length = st.one_of(st.just(states), st.integers(0, 4))
    row = row_length.flatmap(lambda length: st.lists(law, min_size=length, max_size=length))
    first = draw(st.lists(row, min_size=states, max_size=states))
    others = draw(st.lists(st.integers(0, 4).flatmap(lambda rows: st.lists(row, min_size=rows, max_size=rows)),
                           max_size=2))
    return [first, *others]


@pytest.mark.parametrize("run", [
    pytest.param(lambda model, tree: tarvo.runnerSingleSim(5, model, tree, 1), id="single"),
    pytest.param(lambda model, tree: tarvo.runnerMultipleSim(2, 5, model, tree, 1), id="multiple"),
    pytest.param(lambda model, tree: tarvo.runnerParallelSim(2, 5, model, tree, 1), id="parallel"),
])
@settings(max_examples=100, deadline=None)
@given(model=models())
def test_shape_check_agrees_with_the_rules(run, model):
    tree = tarvo.CutsetTree(len(model))
    tree.insertNode([1] * len(model))
    faulty = first_faulty_component(model)
    if faulty is None:
        assert len(run(model, tree)) == 5
    else:
        with pytest.raises(ValueError, match=rf"^Component {faulty}\b"):
            run(model, tree)
