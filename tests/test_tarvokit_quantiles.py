"""The quantiles behind every interval, against scipy.stats' distributions."""

import math

import pytest
from hypothesis import example, given, settings, strategies as st
from scipy import stats as scipy_stats

from tarvokit.data.stats import binomial_quantile, normal_quantile, student_t_quantile

probabilities = st.floats(min_value=1e-9, max_value=1 - 1e-9)


@settings(max_examples=300, deadline=None)
@given(probabilities, st.integers(min_value=1, max_value=10**9))
def test_the_normal_and_student_quantiles_are_scipy_stats(probability, freedom):
    assert normal_quantile(probability) == scipy_stats.norm.ppf(probability)
    assert math.isclose(student_t_quantile(probability, freedom),
                        scipy_stats.t.ppf(probability, freedom), rel_tol=1e-12, abs_tol=1e-12)


@settings(max_examples=400, deadline=None)
@given(probabilities, st.integers(min_value=1, max_value=10**7),
       st.floats(min_value=1e-6, max_value=1 - 1e-6))
@example(0.5625, 7646490, 0.5)  # special.bdtrik rounded up is a rank short here
def test_the_binomial_quantile_is_the_smallest_rank_reaching_the_probability(
        probability, trials, chance):
    rank = binomial_quantile(probability, trials, chance)
    assert rank == scipy_stats.binom.ppf(probability, trials, chance)
    assert scipy_stats.binom.cdf(rank, trials, chance) >= probability * (1 - 1e-9)
    if rank > 0:
        assert scipy_stats.binom.cdf(rank - 1, trials, chance) < probability * (1 + 1e-9)


def test_student_needs_a_degree_of_freedom():
    with pytest.raises(ValueError, match="degree of freedom"):
        student_t_quantile(0.975, 0)
