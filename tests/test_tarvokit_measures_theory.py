"""The measures of a run against theory, and reproducibility with Maintenance."""

import math

import numpy as np
import pytest

import tarvokit

TOLERANCE = 4.5  # standard errors


def one_unit(mean_up: float, mean_down: float | None, horizon: int, resolution: int = 60,
             count: int = 1, logic: str = "unit[1]"):
    component = {"count": count, "failure": {"law": "Exponential", "mean": mean_up}}
    if mean_down is not None:
        component["repair"] = {"law": "Exponential", "mean": mean_down}
    return tarvokit.Model.from_dict({
        "study": {"horizon": horizon, "resolution": resolution, "time_unit": "h"},
        "components": {"unit": component}, "system": {"fails_when": logic}})


def within(interval, value, tolerance=TOLERANCE):
    return abs(interval.estimate - value) <= tolerance * interval.standard_error + 1e-12


def test_one_repairable_unit_matches_its_markov_answer():
    lam, mu, horizon = 1 / 50, 1 / 5, 400
    result = one_unit(50, 5, horizon).run(histories=20_000, seed=3)
    found = result.measures()
    # Failures over [0, T]: the integral of lam * P(up at t).
    s = lam + mu
    up_integral = mu / s * horizon + lam / s ** 2 * (1 - math.exp(-s * horizon))
    assert within(found.failure_frequency, lam * up_integral)
    assert within(found.mean_unavailability, 1 - up_integral / horizon)
    # Down time per failure: 1 / mu, less the repairs the horizon cuts short (a small bias).
    assert found.mean_down_time.estimate == pytest.approx(1 / mu, rel=0.05)
    assert found.mean_down_time.low < found.mean_down_time.estimate < found.mean_down_time.high


@pytest.mark.parametrize("horizon", [10, 100, 300])
def test_reliability_of_one_unit_is_exponential(horizon):
    result = one_unit(100, None, horizon).run(histories=20_000, seed=11)
    reliability = result.measures().reliability
    expected = math.exp(-horizon / 100)
    assert reliability.low <= expected <= reliability.high or within(reliability, expected)
    share, low, high = result.reliability_curve()
    units = np.arange(1, horizon + 1)
    exact = np.exp(-units / 100)
    errors = np.sqrt(exact * (1 - exact) / 20_000)
    assert np.all(np.abs(share - exact) <= TOLERANCE * errors + 1e-9)


def test_reliability_of_a_two_out_of_three_train():
    horizon, mean = 200, 300
    result = one_unit(mean, None, horizon, count=3, logic="atleast(2, unit[*])").run(
        histories=30_000, seed=5)
    p = math.exp(-horizon / mean)
    expected = p ** 3 + 3 * p ** 2 * (1 - p)  # at most one unit failed
    assert within(result.measures().reliability, expected)


def test_downtime_quantiles_agree_with_a_large_reference_run():
    model = one_unit(100, 10, 500, resolution=6)
    small = model.run(histories=4_000, seed=1).measures().downtime_quantiles
    reference = model.run(histories=200_000, seed=1_000_000).measures().downtime_quantiles
    for name in ("p50", "p90", "p99"):
        # The reference's quantile is nearly exact; the small run's interval covers it.
        slack = 1 / 6  # one engine step
        assert small[name].low - slack <= reference[name].estimate <= small[name].high + slack


MAINTAINED = {
    "study": {"horizon": 2000, "resolution": 4, "time_unit": "h"},
    "components": {
        "pump": {"count": 2, "failure": {"law": "Weibull", "scale": 300, "shape": 1.5},
                 "repair": {"law": "Exponential", "mean": 12}},
        "controller": {"states": ["working", "failed", "maintenance"], "transitions": [
            {"from": "working", "to": "failed", "law": "Exponential", "mean": 1500},
            {"from": "failed", "to": "working", "law": "Exponential", "mean": 8},
            {"from": "working", "to": "maintenance", "law": "Inspection", "period": 500},
            {"from": "maintenance", "to": "working", "law": "Maintenance",
             "durations": [4, 6, 8]}]}},
    "system": {"fails_when": "controller or (pump[1] and pump[2])"},
}


def test_the_same_seed_gives_the_same_results_with_maintenance():
    model = tarvokit.Model.from_dict(MAINTAINED)
    first, second = (model.run(histories=3_000, seed=9, threads=threads) for threads in (1, 2))
    assert np.array_equal(first.counts, second.counts)
    assert repr(first.measures()) == repr(second.measures())
    assert first.seeded


def test_importance_of_a_maintained_model_pairs_exactly():
    result = tarvokit.Model.from_dict(MAINTAINED).importance(histories=2_000, seed=4)
    rows = {row.measure.name: row for row in result.rows()}
    # The pumps' pair never shares the controller's maintenance: removing the controller's
    # cut set leaves exactly the pumps' downtime, history by history, so the paired identity
    # system = controller + pumps - both holds on every sub-batch without noise.
    system = result.batch_means(result.system)
    pumps = result.batch_means(rows["pump[1] AND pump[2]"].measure.share_logic)
    controller = result.batch_means(rows["controller"].measure.share_logic)
    assert np.all(system <= pumps + controller + 1e-15)
    assert np.all(system >= np.maximum(pumps, controller) - 1e-15)
    # The unique contribution of the pumps' cut set is what the system loses without it.
    without = result.batch_means(rows["pump[1] AND pump[2]"].measure.rest_logic)
    assert np.allclose(system - without, rows["pump[1] AND pump[2]"].reduction.estimate,
                       atol=np.ptp(system - without) + 1e-15)
    again = tarvokit.Model.from_dict(MAINTAINED).importance(histories=2_000, seed=4)
    assert [r.reduction for r in again.rows()] == [r.reduction for r in result.rows()]
