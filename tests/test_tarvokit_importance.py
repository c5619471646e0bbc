"""Importance of cut sets and components: against theory, and identities that pairing makes exact.

Statistical checks use fixed seeds and a tolerance of 4.5 standard errors of the estimate per
comparison (a correct simulator fails one with probability below 3e-4, even with the 19 degrees
of freedom of batch means).
"""

import json
import os
import signal
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from matplotlib import image

import tarvo
import tarvokit
from tarvokit.command.figures import importance_figure
from tarvokit.views import importance_views
from tarvokit.data.importance import COMPONENT, CUT_SET
from tarvokit.views.plots import PIXELS

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from theory_check import repairable_whole_units  # noqa: E402

TOLERANCE = 4.5
HORIZON = 100
# Exponential failure and repair rates per time unit of three independent components.
RATES = {"a": (0.02, 0.1), "b": (0.05, 0.2), "c": (0.01, 0.05)}


def repairable_model(cut_sets, horizon=HORIZON):
    """Two-state components with Exponential laws, counted in whole time units (resolution 1),
    so each one's unavailability is the whole-unit curve of the theory check."""
    names = sorted({name for cut_set in cut_sets for name in cut_set})
    return tarvokit.Model.from_dict({
        "study": {"name": "analytic", "horizon": horizon, "resolution": 1},
        "components": {n: {"failure": {"law": "Exponential", "rate": RATES[n][0]},
                           "repair": {"law": "Exponential", "rate": RATES[n][1]}} for n in names},
        "system": {"cut_sets": cut_sets},
    })


def _unavailability(name):
    return repairable_whole_units(*RATES[name], np.arange(HORIZON))


# Per time unit, with q the components' unavailabilities: the system's unavailability and, per
# measure, (the probability that it is failed along with the system, the probability that the
# system is failed and would not be without it).
def _series(q):
    a, b = q["a"], q["b"]
    only = {"a": a * (1 - b), "b": b * (1 - a)}  # the only one down
    measures = {(kind, n): (q[n], only[n]) for n in "ab" for kind in (CUT_SET, COMPONENT)}
    return 1 - (1 - a) * (1 - b), measures


def _parallel(q):
    both = q["a"] * q["b"]
    measures = {(CUT_SET, "a AND b"): (both, both), (COMPONENT, "a"): (both, both),
                (COMPONENT, "b"): (both, both)}
    return both, measures


def _two_out_of_three(q):
    a, b, c = q["a"], q["b"], q["c"]
    system = a * b + a * c + b * c - 2 * a * b * c
    measures = {}
    for x, y, z in (("a", "b", "c"), ("a", "c", "b"), ("b", "c", "a")):
        pair = q[x] * q[y]
        measures[(CUT_SET, f"{x} AND {y}")] = (pair, pair * (1 - q[z]))
    for x, y, z in (("a", "b", "c"), ("b", "a", "c"), ("c", "a", "b")):
        at_least_one_other = q[y] + q[z] - q[y] * q[z]
        exactly_one_other = q[y] + q[z] - 2 * q[y] * q[z]  # x decides
        measures[(COMPONENT, x)] = (q[x] * at_least_one_other, q[x] * exactly_one_other)
    return system, measures


@pytest.mark.parametrize("cut_sets, theory", [
    ([["a"], ["b"]], _series),
    ([["a", "b"]], _parallel),
    ([["a", "b"], ["a", "c"], ["b", "c"]], _two_out_of_three),
], ids=["series pair", "parallel pair", "2-out-of-3"])
def test_shares_and_reductions_match_theory(cut_sets, theory):
    result = repairable_model(cut_sets).importance(histories=20_000, seed=11)
    q = {name: _unavailability(name) for name in "abc"}
    system, expected = theory(q)
    rows = {(row.measure.kind, row.measure.name): row for row in result.rows()}
    assert rows.keys() == expected.keys()
    for key, (together, removed) in expected.items():
        share, reduction = rows[key].share, rows[key].reduction
        assert abs(share.deviation(together.sum() / system.sum())) < TOLERANCE, key
        assert abs(reduction.deviation(removed.mean())) < TOLERANCE, key
        assert rows[key].downtime.estimate == pytest.approx(reduction.estimate * HORIZON)
    assert abs(result.system_result.mean().deviation(system.mean())) < TOLERANCE


def test_identical_logics_are_run_once():
    # Series pair: {a} alone is also the system without {b} and the cut sets containing a.
    result = repairable_model([["a"], ["b"]]).importance(histories=20, seed=1, batches=2)
    assert len(result.runs) == 3
    # Parallel pair: every derived logic is the system's or empty (never fails, no run).
    result = repairable_model([["a", "b"]]).importance(histories=20, seed=1, batches=2)
    assert len(result.runs) == 1


# --- Exact identities on random models without Maintenance ---------------------------------

_LAWS = {
    "failure": st.one_of(
        st.builds(lambda mean: {"law": "Exponential", "mean": mean}, st.floats(3, 60)),
        st.builds(lambda scale, shape: {"law": "Weibull", "scale": scale, "shape": shape},
                  st.floats(3, 60), st.floats(0.5, 3)),
        st.builds(lambda low, width: {"law": "Uniform", "low": low, "high": low + width},
                  st.floats(1, 30), st.floats(1, 30))),
    "repair": st.one_of(
        st.none(),
        st.builds(lambda mean: {"law": "Exponential", "mean": mean}, st.floats(1, 20)),
        st.builds(lambda low, width: {"law": "Uniform", "low": low, "high": low + width},
                  st.floats(1, 5), st.floats(0.5, 10)),
        st.builds(lambda period: {"law": "Inspection", "period": period}, st.integers(2, 25))),
}


@st.composite
def random_models(draw):
    count = draw(st.integers(2, 4))
    names = [f"c{i}" for i in range(count)]
    components = {}
    for name in names:
        laws = {"failure": draw(_LAWS["failure"]), "repair": draw(_LAWS["repair"])}
        components[name] = {k: v for k, v in laws.items() if v is not None}
    cut_sets = draw(st.lists(st.lists(st.sampled_from(names), min_size=1, max_size=count,
                                      unique=True), min_size=1, max_size=4))
    data = {"study": {"name": "random", "horizon": draw(st.integers(10, 40)),
                      "resolution": draw(st.integers(1, 3))},
            "components": components, "system": {"cut_sets": cut_sets}}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tarvokit.ModelWarning)  # a component in no cut set
        model = tarvokit.Model.from_dict(data)
    return model, draw(st.integers(2, 12)), draw(st.integers(0, 10**6))


def _failed_histories(result, logic):
    """Per time unit, the failed steps with that logic (an empty logic never fails)."""
    if not logic:
        return np.zeros(len(result.system_result.counts), dtype=np.int64)
    return result.runs[logic].counts.astype(np.int64)


def _component_states(model, histories, seed):
    """failed[h, c, step] of every history, from one single-history run per component whose
    logic is that component alone: independent of the importance code."""
    laws, count = model.engine_laws(), len(model.components)
    trees = []
    for c in range(count):
        tree = tarvo.CutsetTree(count)
        tree.insertNode([int(i == c) for i in range(count)])
        trees.append(tree)
    return np.array([[tarvo.runnerSingleSim(model.steps, laws, trees[c], seed + h)
                      for c in range(count)] for h in range(histories)], dtype=bool)


def _brute_force_count(states, logic, resolution):
    """Per time unit, the failed steps summed over the histories with that logic."""
    failed = np.zeros(states.shape[::2], dtype=bool)  # [history, step]
    for cut_set in logic:
        failed |= np.all(states[:, sorted(cut_set), :], axis=1)
    return failed.sum(axis=0).reshape(-1, resolution).sum(axis=1)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(random_models())
def test_paired_counts_obey_the_identities_exactly(case):
    model, histories, seed = case
    result = model.importance(histories=histories, seed=seed, batches=2)
    system = _failed_histories(result, result.system)
    cut_sets = [m for m in result.measures if m.kind == CUT_SET]
    # Every derived logic's counts equal a direct evaluation over the components' histories.
    states = _component_states(model, histories, seed)
    for logic in result.runs:
        assert np.array_equal(_failed_histories(result, logic), _brute_force_count(states, logic, model.resolution))
    for measure in result.measures:
        together = _failed_histories(result, measure.share_logic)
        removed = system - _failed_histories(result, measure.rest_logic)
        assert np.all(together <= system)  # a share never exceeds 1
        assert np.all((0 <= removed) & (removed <= system))
        # Where the system fails only through it, it is failed too.
        assert np.all(removed <= together)
    # Some cut set is failed whenever the system is: the shares add up to at least 1.
    assert np.all(sum(_failed_histories(result, m.share_logic) for m in cut_sets) >= system)
    if len(cut_sets) == 1:
        assert np.array_equal(_failed_histories(result, cut_sets[0].share_logic), system)
    for component in (m for m in result.measures if m.kind == COMPONENT):
        for cut_set in (m for m in cut_sets if m.share_logic <= component.share_logic):
            # Removing a component removes every cut set holding it, and more.
            assert np.all(_failed_histories(result, component.rest_logic)
                          <= _failed_histories(result, cut_set.rest_logic))


class _CtrlCDuringTask(tarvokit.InProcessExecutor):
    """Presses Ctrl-C once, while task number `at` (counted over all runs) is running."""

    def __init__(self, at):
        self.at, self.started = at, 0

    def run(self, tasks):
        for task in tasks:
            self.started += 1
            if self.started == self.at:
                os.kill(os.getpid(), signal.SIGINT)
            yield tarvokit.run_task(task)


@pytest.mark.parametrize("study, message", [
    (lambda model, executor: model.importance(histories=40, batches=4, executor=executor),
     "run 2 of 3 interrupted after 20 of 40 histories"),
    (lambda model, executor: model.sweep(tarvokit.Sweep("components.a.repair.rate", (0.1, 0.2)),
                                         histories=40, batches=4, executor=executor),
     "value 2 of 2 interrupted after 20 of 40 histories"),
], ids=["importance", "sweep"])
def test_ctrl_c_stops_after_the_running_sub_batch_and_says_which_run(study, message):
    executor = _CtrlCDuringTask(at=6)  # the second sub-batch of the second run
    with pytest.raises(KeyboardInterrupt, match=message):
        study(repairable_model([["a"], ["b"]]), executor)
    assert executor.started == 6  # nothing ran after it


# --- Views ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def two_out_of_three():
    return repairable_model([["a", "b"], ["a", "c"], ["b", "c"]]).importance(
        histories=400, seed=3, batches=4)


def test_table_files_hold_every_row_ranked(two_out_of_three, tmp_path):
    result = two_out_of_three
    result.to_csv(tmp_path / "table.csv")
    result.to_json(tmp_path / "table.json")
    lines = (tmp_path / "table.csv").read_text().splitlines()
    saved = json.loads((tmp_path / "table.json").read_text())
    rows = result.rows()
    assert len(lines) == 1 + len(rows) == 1 + 3 + 3
    assert [(r["kind"], r["name"], r["rank"]) for r in saved["table"]] == \
        [(r.measure.kind, r.measure.name, r.rank) for r in rows]
    assert saved["runs"] == len(result.runs) == 7
    for kind in (CUT_SET, COMPONENT):
        reductions = [r.reduction.estimate for r in rows if r.measure.kind == kind]
        assert reductions == sorted(reductions, reverse=True)
    # The logics' counts in the JSON give the table again.
    for logic in saved["logics"]:
        assert sum(logic["failed_steps_per_unit"]) == sum(b["failed_steps"]
                                                           for b in logic["batches"])
    text = importance_views.summary(result)
    assert "7 runs on the same seeds" in text and "a AND b" in text


def test_plot_is_written_whole_at_the_usual_size(two_out_of_three, tmp_path):
    importance_figure(two_out_of_three, tmp_path / "importance.png", top=2)
    pixels = image.imread(tmp_path / "importance.png")
    assert (pixels.shape[1], pixels.shape[0]) == PIXELS
    assert [p.name for p in tmp_path.iterdir()] == ["importance.png"]


def test_curves_are_per_time_unit_shares_and_removals(two_out_of_three):
    result = two_out_of_three
    system = result.system_curve()
    for measure in result.measures:
        share, removed = result.share_curve(measure), result.reduction_curve(measure)
        low, high = result.share_band(measure)
        failed = system > 0
        assert np.all(np.isnan(share[~failed]))
        assert np.all((0 <= share[failed]) & (share[failed] <= 1))
        assert np.all((low[failed] <= share[failed]) & (share[failed] <= high[failed]))
        assert np.all(removed <= system + 1e-12)
        # Binned curves weigh each unit by the system's failed time.
        binned = result.share_curve(measure, bin_units=30)
        together = result.failed_steps_per_unit(measure.share_logic)[:30].sum()
        whole = result.failed_steps_per_unit(result.system)[:30].sum()
        assert binned[0] == pytest.approx(together / whole)
        assert len(binned) == 4  # 100 units: three bins of 30 and one of 10
