"""The examples at a small size, and the statistics they rest on.

Statistical checks use fixed seeds and tolerances in standard errors of the estimate: 4.5 for a
single comparison (a correct simulator fails it with probability below 3e-4, even with the 19
degrees of freedom of batch means), 5 for the largest of up to 1000 pointwise comparisons (below
1e-3 by the union bound).
"""

import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarvo

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import cooling_water_loop  # noqa: E402
import estimates  # noqa: E402
import fault_tree_check  # noqa: E402
import theory_check  # noqa: E402

SINGLE_TOLERANCE = 4.5
CURVE_TOLERANCE = 5.0


# --- Statistics ---------------------------------------------------------------------------


@pytest.mark.parametrize("degrees_of_freedom, exact, tolerance", [
    (1, 12.7062, 1e-4), (2, 4.3027, 1e-4), (3, 3.1824, 5e-3), (5, 2.5706, 1e-3),
    (9, 2.2622, 1e-4), (19, 2.0930, 1e-4), (30, 2.0423, 1e-4),
])
def test_student_t_quantile_matches_tables(degrees_of_freedom, exact, tolerance):
    assert estimates.student_t_quantile(0.975, degrees_of_freedom) == pytest.approx(
        exact, abs=tolerance)


@pytest.mark.parametrize("failed, histories, low, high", [
    (0, 10, 0.0, 0.2775),  # the upper bound is z^2 / (n + z^2) when nothing failed
    (10, 10, 0.7225, 1.0),
    (5, 10, 0.2366, 0.7634),
    (1, 100, 0.0018, 0.0545),
])
def test_wilson_interval_matches_textbook_values(failed, histories, low, high):
    lower, upper = estimates.wilson_bounds(failed, histories)
    assert (float(lower), float(upper)) == pytest.approx((low, high), abs=1e-4)


@pytest.mark.parametrize("total, parts, sizes", [
    (10, 3, [4, 3, 3]), (20, 20, [1] * 20), (7, 1, [7]), (41, 4, [11, 10, 10, 10]),
])
def test_split_evenly(total, parts, sizes):
    assert estimates.split_evenly(total, parts) == sizes


def test_batch_means_interval_covers_the_mean_of_correlated_histories():
    # Each history is failed for its whole horizon or not at all: its time units are perfectly
    # correlated, so a binomial interval over histories x time units would be far too narrow.
    # The batch-means interval must still cover the true mean in about 95% of the experiments.
    rng = np.random.default_rng(2024)
    truth, batches, per_batch, horizon, experiments = 0.3, 20, 50, 8, 2000
    covered = 0
    for _ in range(experiments):
        failed = rng.binomial(per_batch, truth, size=batches)
        run = estimates.BatchedRun(np.full(batches, per_batch),
                                   np.repeat(failed[:, None], horizon, axis=1), 1.0, None)
        covered += run.mean().contains(truth)
    # 4.5 standard errors of a coverage estimated from 2000 experiments.
    assert abs(covered / experiments - 0.95) <= 4.5 * math.sqrt(0.95 * 0.05 / experiments)


def test_batches_run_exactly_the_histories_of_one_call():
    never = tarvo.Distribution()
    model = [[[never, tarvo.Exponential(0.05)], [tarvo.Exponential(0.2), never]]] * 2
    tree = tarvo.CutsetTree(2)
    tree.constructTree([[1, 1]])
    one_call = estimates.run_batches(tarvo.runnerMultipleSim, 103, 50, model, tree, 9, batches=1)
    in_batches = estimates.run_batches(tarvo.runnerParallelSim, 103, 50, model, tree, 9,
                                       batches=7)
    assert list(in_batches.batch_sizes) == [15, 15, 15, 15, 15, 14, 14]
    assert in_batches.failed.tolist() == one_call.failed.tolist()
    assert in_batches.failed.tolist() == tarvo.runnerMultipleSim(103, 50, model, tree, 9)


def test_engine_output_is_captured_below_python():
    with estimates.engine_output_captured() as lines:
        tarvo.reportSIMDSupport()
    assert len(lines) == 1 and lines[0] in {
        "AVX512 support is available.", "AVX2 support is available.",
        "No AVX2 or AVX512 support detected. Using fallback."}


# --- Check against theory -----------------------------------------------------------------


def test_whole_unit_theory_is_consistent():
    lam, mu = theory_check.REPAIR_FAILURE_RATE, theory_check.REPAIR_REPAIR_RATE
    continuous, whole = theory_check.repairable_stationary(lam, mu)
    late = np.array([10_000.0])
    assert theory_check.repairable_whole_units(lam, mu, late)[0] == pytest.approx(whole, rel=1e-12)
    assert theory_check.repairable_continuous(lam, mu, late)[0] == pytest.approx(continuous)
    period = theory_check.INSPECTION_PERIOD
    lam = theory_check.INSPECTED_FAILURE_RATE
    continuous, whole = theory_check.inspected_mean(lam, period)
    one_period = theory_check.inspected_whole_units(lam, period, np.arange(period))
    assert one_period.mean() == pytest.approx(whole, rel=1e-12)
    # The right-endpoint sum exceeds the integral by about half the rise over a period, / T.
    assert whole - continuous == pytest.approx(-math.expm1(-lam * period) / (2 * period),
                                               rel=0.01)


@pytest.mark.parametrize("check", [theory_check.check_repairable, theory_check.check_inspected],
                         ids=["exponential-repair", "periodic-inspection"])
def test_simulation_agrees_with_whole_unit_theory(check):
    # Enough histories for the whole-unit value to stand apart from the continuous one (about 14
    # standard errors for the repairable component, 4.5 for the inspected one).
    result = check(histories=200_000, seed=11)
    assert abs(result.simulated_mean.deviation(result.whole_unit_mean)) <= SINGLE_TOLERANCE
    assert result.whole_unit_curve.largest_deviation <= CURVE_TOLERANCE


# --- Fault tree from SCRAM ----------------------------------------------------------------


def test_fault_tree_simulation_agrees_with_scram():
    check = fault_tree_check.check_fault_tree(fault_tree_check.DEFAULT_TREE,
                                              fault_tree_check.DEFAULT_EVENTS,
                                              histories=20_000, seed=5)
    assert check.tree_disagreements == 0
    assert [a.hour for a in check.agreements] == [2190, 4380, 6570, 8760]
    for agreement in check.agreements:
        assert abs(agreement.deviation) <= SINGLE_TOLERANCE, agreement


class _ExactMatchTree:
    """A lookup that misses failed sets larger than a cut set, as a one-path lookup often does."""

    def __init__(self, cut_sets):
        self.cut_sets = [list(v) for v in cut_sets]

    def findNode(self, failed):
        return list(failed) if list(failed) in self.cut_sets else []


def test_tree_check_catches_a_lookup_that_misses_larger_failed_sets():
    events = ["a", "b", "c", "d"]
    cut_sets = [frozenset("ab"), frozenset("c")]
    vectors = fault_tree_check.indicator_vectors(cut_sets, events)
    disagreements, tried = fault_tree_check.tree_disagreements(_ExactMatchTree(vectors),
                                                               cut_sets, events)
    assert disagreements > 0
    tree = tarvo.CutsetTree(len(events))
    tree.constructTree(vectors)
    assert fault_tree_check.tree_disagreements(tree, cut_sets, events) == (0, tried)


# --- The main study -----------------------------------------------------------------------


def _alone(component, histories, seed):
    tree = tarvo.CutsetTree(1)
    tree.insertNode([1])
    return estimates.run_batches(tarvo.runnerParallelSim, histories,
                                 cooling_water_loop.HOURS_PER_YEAR, [component.laws], tree, seed)


def test_loop_unavailability_composes_from_its_independent_components():
    # The loop fails when the power supply, the controller or the valve does, or both pumps do,
    # and the components are independent: hour by hour, U = 1 - (1-Up)(1-Uc)(1-Uv)(1 - Ua Ub).
    # To first order in these small unavailabilities the composed mean's standard error is the
    # root sum of squares of the single components' (the pumps' product term is of second order).
    histories = 20_000
    loop = cooling_water_loop.simulate(histories, seed=100)
    pump, _, valve, controller, power = cooling_water_loop.build_components()
    runs = {c.name: _alone(c, histories, seed) for seed, c in
            enumerate([pump, valve, controller, power], start=200_000)}
    up = [1 - runs[name].unavailability for name in ("valve", "controller", "power supply")]
    pumps_down = runs["pump A"].unavailability ** 2
    composed = 1 - up[0] * up[1] * up[2] * (1 - pumps_down)
    standard_error = math.hypot(loop.mean().standard_error,
                                *(run.mean().standard_error for run in runs.values()))
    assert abs(loop.mean().estimate - composed.mean()) <= SINGLE_TOLERANCE * standard_error
    # Every quarter the controller goes into maintenance for at least 4 h: the loop is down
    # except in the rare history whose controller came back from a repair at that very hour.
    maintenance = cooling_water_loop.CONTROLLER_MAINTENANCE_PERIOD_H
    assert loop.unavailability[maintenance:maintenance + 4].min() >= 0.999


def test_main_study_reports_and_plots(tmp_path):
    plot = tmp_path / "loop.png"
    finished = subprocess.run(
        [sys.executable, str(EXAMPLES / "cooling_water_loop.py"), "--histories", "2000",
         "--threads", "2", "--seed", "3", "--output", str(plot)],
        capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    report = finished.stdout
    for heading in ("Mean unavailability over the year", "Expected downtime",
                    "Unavailability during chosen hours", "histories per second",
                    f"Plot of the unavailability curve: {plot}"):
        assert heading in report
    assert "on 2 threads" in report
    assert "Simulation 0 done." not in report  # the runners' own lines are replaced ...
    assert "2,000 of 2,000 histories simulated" in finished.stderr  # ... by progress lines
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
