"""The measures from per-history distributions kept as exact counts, against the same figures
computed directly from the per-history values."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats as scipy_stats

from tarvokit.data import stats
from tarvokit.engine.outputs import Distributions, Histogram, Sums
from tarvokit.data.measures import (measures,
                                    no_event_bound, quantile_interval, reliability_curve)


def histogram_of(values, exact=1 << 30, width=1):
    values = np.asarray(values, dtype=np.int64)
    bins = np.where(values < exact, values, exact + (values - exact) // width)
    counts = np.bincount(bins).astype(np.uint64) if len(values) else np.zeros(0, np.uint64)
    return Histogram(counts, exact, width)


def distributions_of(downtime, failures, first, exact=1 << 30, width=1):
    downtime, failures = list(map(int, downtime)), list(map(int, failures))
    failed_first = [f for f in first if f is not None]
    sums = Sums(sum(downtime), sum(d * d for d in downtime), sum(failures),
                sum(f * f for f in failures), sum(d * f for d, f in zip(downtime, failures)))
    return Distributions(histogram_of(downtime, exact, width), histogram_of(failures),
                         histogram_of(failed_first, exact, width),
                         sum(f is None for f in first), sums)


@st.composite
def histories(draw):
    steps = draw(st.integers(10, 500))
    count = draw(st.integers(2, 60))
    downtime = draw(st.lists(st.integers(0, steps), min_size=count, max_size=count))
    failures = [draw(st.integers(0 if d == 0 else 1, 5)) for d in downtime]
    first = [None if f == 0 else draw(st.integers(0, steps - 1)) for f in failures]
    return steps, downtime, failures, first


@settings(max_examples=200, deadline=None)
@given(histories())
def test_measures_equal_the_direct_computation(case):
    steps, downtime, failures, first = case
    n = len(downtime)
    found = measures(distributions_of(downtime, failures, first), n, steps, resolution=2)
    fractions = np.array(downtime) / steps
    t = scipy_stats.t.ppf(0.975, n - 1)
    if sum(downtime):
        error = fractions.std(ddof=1) / math.sqrt(n)
        assert found.mean_unavailability.estimate == pytest.approx(fractions.mean())
        assert found.mean_unavailability.standard_error == pytest.approx(error, abs=1e-12)
        assert found.mean_unavailability.high == pytest.approx(
            min(1.0, fractions.mean() + t * error), abs=1e-12)
    else:
        assert found.mean_unavailability.high == pytest.approx(no_event_bound(n))
    assert found.failure_frequency.estimate == pytest.approx(np.mean(failures))
    assert found.reliability.estimate == pytest.approx(failures.count(0) / n)
    if sum(failures):
        assert found.mean_down_time.estimate == pytest.approx(sum(downtime) / sum(failures) / 2)
        assert found.mean_up_time.estimate == pytest.approx(
            (n * steps - sum(downtime)) / sum(failures) / 2)
    ordered = sorted(downtime)
    for name, p in (("p50", 0.5), ("p90", 0.9), ("p99", 0.99)):
        interval = found.downtime_quantiles[name]
        assert interval.estimate == ordered[max(1, math.ceil(p * n)) - 1] / 2
        assert interval.low <= interval.estimate <= interval.high


def test_the_delta_method_interval_covers_the_ratio_of_a_known_process():
    # Downtime of a history: the sum of its failures' down times, exponential of mean 7 steps.
    rng = np.random.default_rng(5)
    covered = 0
    for trial in range(200):
        failures = rng.poisson(3, size=400)
        downtime = np.array([rng.exponential(7, f).round().sum() for f in failures], dtype=int)
        found = measures(distributions_of(downtime, failures, [0] * 400), 400, 10**6, 1)
        covered += found.mean_down_time.contains(np.mean(
            np.round(rng.exponential(7, 10**6))))  # the true mean of a rounded delay
    assert 180 <= covered <= 200  # about 95 % coverage


def test_quantile_interval_covers_the_true_quantile_as_often_as_it_says():
    rng = np.random.default_rng(11)
    true_median = 1000 * math.log(2)
    covered = sum(quantile_interval(histogram_of(rng.exponential(1000, 300).astype(int)), 0.5,
                                    300).contains(math.floor(true_median)) for _ in range(400))
    assert 0.93 * 400 <= covered <= 400


def test_histograms_add_and_read_back_with_wide_bins():
    values = [0, 3, 5, 17, 40, 41, 99]
    whole = histogram_of(values, exact=10, width=8)
    halves = histogram_of(values[:3], 10, 8) + histogram_of(values[3:], 10, 8)
    assert np.array_equal(whole.counts, halves.counts)
    assert [whole.value_at_rank(r) for r in range(1, 8)] == [0, 3, 5, 10 + 8 * 0, 34, 34, 98]
    again = Histogram.from_dict(whole.to_dict())
    assert np.array_equal(again.counts, whole.counts) and (again.exact, again.width) == (10, 8)
    with pytest.raises(ValueError):
        whole + histogram_of(values, exact=10, width=4)


def test_sums_beyond_64_bits_stay_exact():
    big = Sums(10**15, 10**30, 7, 49, 7 * 10**15)
    assert Sums.from_dict(big.to_dict()) == big
    assert (big + big).downtime_squares == 2 * 10**30


def test_reliability_curve_counts_first_failures_by_the_end_of_each_unit():
    first = [0, 3, 4, 9, None, None]  # resolution 2: units end at steps 2, 4, 6, 8, 10
    share, low, high = reliability_curve(distributions_of([1] * 6, [1, 1, 1, 1, 0, 0], first),
                                         6, horizon=5, resolution=2)
    assert share.tolist() == pytest.approx([5 / 6, 4 / 6, 3 / 6, 3 / 6, 2 / 6])
    assert np.all(low <= share) and np.all(share <= high)


def test_a_run_without_failures_reports_upper_bounds():
    found = measures(distributions_of([0] * 1000, [0] * 1000, [None] * 1000), 1000, 500, 1)
    assert found.mean_unavailability.high == pytest.approx(no_event_bound(1000))
    assert 0.0029 < found.mean_unavailability.high < 0.0031
    assert found.failure_frequency.high == pytest.approx(-math.log(0.05) / 1000)
    assert found.reliability.low < 1.0 == found.reliability.estimate
    assert math.isnan(found.mean_down_time.estimate)
