"""The cutset tree as a Python caller meets it."""

import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvo

TWO_SIDES = [[0, 1, 0], [1, 0, 1]]


def tree_of(cutsets, size=3):
    tree = tarvo.CutsetTree(size)
    tree.constructTree(cutsets=cutsets)
    return tree


@pytest.mark.parametrize(
    "build",
    [
        pytest.param(lambda: tree_of(TWO_SIDES), id="constructTree"),
        pytest.param(lambda: tree_of(tuple(tuple(c) for c in TWO_SIDES)), id="tuples"),
        pytest.param(lambda: tree_of(c for c in TWO_SIDES), id="generator"),
        pytest.param(lambda: tarvo.CutsetTree(cutsetSize=3), id="keyword-size"),
    ],
)
def test_sequences_and_keywords_are_accepted(build):
    tree = build()
    tree.insertNode(cutset=[0, 1, 0])
    tree.insertNode((1, 0, 1))
    assert tree.findNode(cutset=[0, 1, 1]) == [0, 1, 0]
    assert tree.findNode([1, 1, 1]) == [1, 0, 1]


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ([0, 1, 0], [0, 1, 0]),
        ([1, 1, 1], [1, 0, 1]),  # the query's own path answers first
        ([1, 1, 0], [0, 1, 0]),  # contained in the query, though in the other branch
        ([0, 0, 0], []),
        ([1, 0, 0], []),
    ],
)
def test_find_node_answers_any_contained_cutset(query, expected):
    assert tree_of(TWO_SIDES).findNode(query) == expected


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda: tarvo.CutsetTree(3.0), id="float-size"),
        pytest.param(lambda: tarvo.CutsetTree(2**31), id="size-too-large"),
        pytest.param(lambda: tarvo.CutsetTree(size=3), id="wrong-keyword"),
        pytest.param(lambda: tarvo.CutsetTree(3).insertNode("101"), id="str-cutset"),
        pytest.param(lambda: tarvo.CutsetTree(3).insertNode([1, 0.0, 1]), id="float-entry"),
        pytest.param(lambda: tarvo.CutsetTree(3).insertNode(None), id="none-cutset"),
        pytest.param(lambda: tarvo.CutsetTree(3).constructTree([[1, 0, 1], "011"]), id="str-in-cutsets"),
        pytest.param(lambda: tarvo.CutsetTree(3).findNode(b"\x01\x00\x01"), id="bytes-query"),
        pytest.param(lambda: tarvo.CutsetTree(3).findNode([1, 1, 1.5]), id="float-in-query"),
    ],
)
def test_wrong_argument_types_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_get_root_raises_type_error_and_leaves_tree_intact():
    tree = tree_of(TWO_SIDES)
    for _ in range(2):
        with pytest.raises(TypeError, match=r"^Unable to convert function return value to a Python type!") as info:
            tree.getRoot()
        assert isinstance(info.value.__cause__, TypeError)
        assert str(info.value.__cause__).startswith("Unregistered type : ")
    assert tree.findNode([1, 1, 0]) == [0, 1, 0]
    tree.insertNode([0, 0, 1])
    assert tree.findNode([0, 0, 1]) == [0, 0, 1]


def test_find_node_returns_a_new_list_each_time():
    tree = tree_of(TWO_SIDES)
    first = tree.findNode([0, 1, 1])
    first.append(7)
    first[0] = 9
    assert tree.findNode([0, 1, 1]) == [0, 1, 0]


@pytest.mark.parametrize(
    ("call", "result"),
    [
        pytest.param(lambda tree: tree.insertNode([]), None, id="insert-empty"),
        pytest.param(lambda tree: tree.findNode([]), [], id="find-empty"),
        pytest.param(lambda tree: tree.findNode([1]), [], id="query-shorter-than-path"),
    ],
)
def test_unusable_vectors_are_reported_on_native_stderr(capfd, call, result):
    tree = tree_of(TWO_SIDES)
    assert call(tree) == result
    assert capfd.readouterr() == ("", "cutset size wrong.\n")
    assert tree.findNode([1, 1, 0]) == [0, 1, 0]


LONG_PAIR_ON_A_SMALL_STACK = """
import sys, threading
import tarvo

def insert_pair(n):
    # Two sets that agree on all but their last two entries: one tree level per shared entry.
    first, second = [1] * n, [1] * n
    first[-1] = second[-2] = 0
    tree = tarvo.CutsetTree(n)
    tree.constructTree([first, second])
    print(tree.findNode(first) == first, tree.findNode(second) == second, tree.findNode([1] * n) == first)

threading.stack_size(1 << 20)
thread = threading.Thread(target=insert_pair, args=(int(sys.argv[1]),))
thread.start()
thread.join()
"""


@pytest.mark.parametrize("length", [50_000, 200_000])
def test_long_cut_sets_sharing_their_leading_entries_insert_on_a_small_stack(length):
    # A stack overflow ends the interpreter, hence the child process.
    child = subprocess.run([sys.executable, "-c", LONG_PAIR_ON_A_SMALL_STACK, str(length)],
                           capture_output=True, text=True)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout == "True True True\n"


def contains(failed, cutset):
    return all(f != 0 for f, member in zip(failed, cutset) if member != 0)


@st.composite
def families_and_queries(draw):
    """Cut sets of 0s and 1s over n components, in insertion order, and queries over the same."""
    n = draw(st.integers(1, 7))
    vector = st.lists(st.integers(0, 1), min_size=n, max_size=n)
    return n, draw(st.lists(vector, min_size=1, max_size=12)), draw(st.lists(vector, min_size=1, max_size=8))


@settings(max_examples=300, deadline=None)
@given(families_and_queries())
def test_lookup_is_sound_and_complete_against_brute_force(case):
    # After every insertion: the system is failed exactly when some inserted set is wholly
    # failed, and the answer is one of the inserted sets, wholly failed. Dropped and replaced
    # sets contain a kept one, so the inserted sets are the yardstick.
    n, cutsets, queries = case
    tree = tarvo.CutsetTree(n)
    for count, cutset in enumerate(cutsets, start=1):
        tree.insertNode(cutset)
        inserted = cutsets[:count]
        for query in queries:
            answer = tree.findNode(query)
            assert (answer != []) == any(contains(query, c) for c in inserted), (inserted, query)
            assert answer == [] or (answer in inserted and contains(query, answer)), (inserted, query, answer)
