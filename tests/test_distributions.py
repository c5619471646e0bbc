"""The transition laws as a Python caller meets them."""

import math

import pytest

import tarvo

NEVER = 2147483647.0
INF = math.inf
NAN = math.nan


def same(actual, expected):
    if isinstance(expected, float) and math.isnan(expected):
        return math.isnan(actual)
    return actual == expected and math.copysign(1, actual) == math.copysign(1, expected)


# (law, operation, arguments, expected): exact expectations from the laws' definitions.
EXACT = [
    (lambda: tarvo.Distribution(), "pdf", (1.0,), NEVER),
    (lambda: tarvo.Distribution(), "cdf", (1.0,), NEVER),
    (lambda: tarvo.Distribution(), "quantile", (0.5, 10), NEVER),
    (lambda: tarvo.Normal(10, 2), "cdf", (10.0,), 0.5),
    (lambda: tarvo.Normal(10, 2), "quantile", (0.5, 3), 10.0),
    (lambda: tarvo.Uniform(2, 4), "pdf", (2.0,), 0.5),
    (lambda: tarvo.Uniform(2, 4), "pdf", (4.0,), 0.5),
    (lambda: tarvo.Uniform(2, 4), "pdf", (4.000001,), 0.0),
    (lambda: tarvo.Uniform(2, 4), "cdf", (1.0,), 0.0),
    (lambda: tarvo.Uniform(2, 4), "cdf", (3.0,), 0.5),
    (lambda: tarvo.Uniform(2, 4), "cdf", (5.0,), 1.0),
    (lambda: tarvo.Uniform(2, 4), "quantile", (0.25, 0), 2.5),
    (lambda: tarvo.Uniform(2, 4), "quantile", (0.25, 500), 2.5),
    (lambda: tarvo.Uniform(2, 4), "quantile", (-0.1, 0), NEVER),
    (lambda: tarvo.Uniform(2, 4), "quantile", (1.0001, 0), NEVER),
    (lambda: tarvo.Uniform(2, 4), "quantile", (1.0, 0), 4.0),
    (lambda: tarvo.Weibull(2, 1), "cdf", (2.0,), 1 - math.exp(-1)),
    (lambda: tarvo.Weibull(2, 1), "quantile", (1.0, 0), INF),
    (lambda: tarvo.Exponential(0.5), "pdf", (-1.0,), 0.0),
    (lambda: tarvo.Exponential(0.5), "pdf", (0.0,), 0.5),
    (lambda: tarvo.Exponential(0.5), "cdf", (0.0,), 0.0),
    (lambda: tarvo.Exponential(0.5), "quantile", (0.0, 0), -0.0),
    (lambda: tarvo.Exponential(0.5), "quantile", (-0.01, 0), NEVER),
    (lambda: tarvo.Exponential(0.5), "quantile", (1.0, 0), INF),
    (lambda: tarvo.Exponential(0.5), "quantile", (1.5, 0), NAN),
    (lambda: tarvo.Inspection(10), "quantile", (0.5, 0), 10.0),
    (lambda: tarvo.Inspection(10), "quantile", (0.5, 9), 1.0),
    (lambda: tarvo.Inspection(10), "quantile", (0.5, 10), 10.0),
    (lambda: tarvo.Inspection(10), "quantile", (0.5, 25), 5.0),
    (lambda: tarvo.Inspection(10), "quantile", (-4.0, 25), 5.0),
    (lambda: tarvo.Inspection(10), "pdf", (10.0,), 1.0),
    (lambda: tarvo.Inspection(10), "pdf", (10.5,), 0.0),
    (lambda: tarvo.Inspection(10), "pdf", (20.0,), 0.0),
    (lambda: tarvo.Inspection(10), "cdf", (9.99,), 0.0),
    (lambda: tarvo.Inspection(10), "cdf", (10.0,), 1.0),
    (lambda: tarvo.Inspection(10), "cdf", (1e9,), 1.0),
    (lambda: tarvo.Inspection(2000000000), "quantile", (0.5, 2147483647), 1852516353.0),
    (lambda: tarvo.Maintenance([3]), "quantile", (0.9, 77), 3.0),
    (lambda: tarvo.Maintenance([5, 7, 9]), "pdf", (7.0,), NEVER),
    (lambda: tarvo.Maintenance([5, 7, 9]), "cdf", (-1.0,), NEVER),
    (lambda: tarvo.InstantaneousFailure(100), "quantile", (0.3, 40), 60.0),
    (lambda: tarvo.InstantaneousFailure(100), "quantile", (0.3, 100), 0.0),
    (lambda: tarvo.InstantaneousFailure(100), "quantile", (0.3, 130), -30.0),
    (lambda: tarvo.InstantaneousFailure(100), "quantile", (1.5, 40), NEVER),
    (lambda: tarvo.InstantaneousFailure(100), "quantile", (-0.2, 40), NEVER),
    (lambda: tarvo.InstantaneousFailure(100), "quantile", (1.0, 40), 60.0),
    (lambda: tarvo.InstantaneousFailure(100), "pdf", (100.0,), 1.0),
    (lambda: tarvo.InstantaneousFailure(100), "pdf", (99.5,), 0.0),
    (lambda: tarvo.InstantaneousFailure(100), "cdf", (99.0,), 0.0),
    (lambda: tarvo.InstantaneousFailure(100), "cdf", (100.0,), 1.0),
    (lambda: tarvo.InstantaneousFailure(0), "quantile", (0.5, 0), 0.0),
]


@pytest.mark.parametrize(("make", "operation", "args", "expected"), EXACT)
def test_law_values(make, operation, args, expected):
    assert same(getattr(make(), operation)(*args), expected)


@pytest.mark.parametrize(
    ("law", "operation", "args", "expected"),
    [
        (tarvo.Normal(10, 2), "pdf", (10.0,), 0.19947114020071635),
        (tarvo.Normal(10, 2), "quantile", (0.975, 0), 13.919927969080108),
        (tarvo.Weibull(2, 1), "quantile", (1 - math.exp(-1), 0), 2.0),
        (tarvo.Weibull(1000, 2.5), "quantile", (0.5, 0), 1000 * math.log(2) ** (1 / 2.5)),
    ],
)
def test_law_values_computed_through_transcendentals(law, operation, args, expected):
    assert getattr(law, operation)(*args) == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize(
    "law",
    [tarvo.Normal(5, 2), tarvo.Exponential(0.01), tarvo.Uniform(-3, 8), tarvo.Weibull(30, 0.7)],
)
def test_parametric_laws_ignore_the_time(law):
    for p in (0.001, 0.3, 0.999):
        assert law.quantile(p, 0) == law.quantile(p, 1000)


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: tarvo.Uniform(2.0, 2.0), ValueError, "Lower bound must be less than upper bound"),
        (lambda: tarvo.Uniform(3.0, 2.0), ValueError, "Lower bound must be less than upper bound"),
        (lambda: tarvo.Weibull(0, 1), ValueError, "Parameters must be positive"),
        (lambda: tarvo.Weibull(1, 0), ValueError, "Parameters must be positive"),
        (lambda: tarvo.Weibull(-1, 2), ValueError, "Parameters must be positive"),
        (lambda: tarvo.Inspection(0), ValueError, "Inspection time must be positive"),
        (lambda: tarvo.Inspection(-10), ValueError, "Inspection time must be positive"),
        (lambda: tarvo.Maintenance([]), ValueError, "Maintenance times cannot be empty"),
        (lambda: tarvo.InstantaneousFailure(-1), ValueError, "Failure time must be non-negative"),
        (lambda: tarvo.Normal(0, 1).quantile(0.0, 0), IndexError, "p must be in [0,1]"),
        (lambda: tarvo.Normal(0, 1).quantile(1.0, 0), IndexError, "p must be in [0,1]"),
        (
            lambda: tarvo.Normal(10, 2).quantile(1e-300, 0),
            OverflowError,
            "Error in function boost::math::erf_inv<double>(double, double): Overflow Error",
        ),
    ],
)
def test_native_errors_reach_python_translated(make, error, message):
    with pytest.raises(error) as raised:
        make()
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "make",
    [
        lambda: tarvo.Normal(0, 1),
        lambda: tarvo.Normal(mean=0, stddev=1),
        lambda: tarvo.Normal(stddev=1, mean=0),
        lambda: tarvo.Normal(0, stddev=1),
    ],
)
def test_normal_built_by_position_or_keyword_is_the_same_law(make):
    law = make()
    assert law.quantile(0.5, 0) == 0.0
    assert law.quantile(0.8413447460685429, 0) == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: tarvo.Exponential(0.5), 2 * math.log(2)),
        (lambda: tarvo.Exponential(**{"lambda": 0.5}), 2 * math.log(2)),
        (lambda: tarvo.Weibull(2, 1), 2 * math.log(2)),
        (lambda: tarvo.Weibull(**{"lambda": 2, "k": 1}), 2 * math.log(2)),
        (lambda: tarvo.Weibull(k=1, **{"lambda": 2}), 2 * math.log(2)),
        (lambda: tarvo.Uniform(a=0, b=4), 2.0),
        (lambda: tarvo.Uniform(b=4, a=0), 2.0),
        (lambda: tarvo.Inspection(inspectionTime=4), 4.0),
        (lambda: tarvo.Maintenance(maintenanceTimes=(4,)), 4.0),
        (lambda: tarvo.InstantaneousFailure(failureTime=4), 4.0),
    ],
)
def test_keyword_names_of_every_constructor(make, expected):
    assert make().quantile(0.5, 0) == pytest.approx(expected, rel=1e-15)


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: tarvo.Inspection(5), 5.0),
        (lambda: tarvo.Inspection(True), 1.0),
        (lambda: tarvo.Inspection(Index()), 7.0),
        (lambda: tarvo.Maintenance((6,)), 6.0),
        (lambda: tarvo.Maintenance(x for x in [6]), 6.0),
        (lambda: tarvo.Maintenance({6}), 6.0),
        (lambda: tarvo.Uniform(2, 4.0), 3.0),
        (lambda: tarvo.Uniform(Index(), 9), 8.0),
    ],
)
def test_accepted_argument_conversions(make, expected):
    assert make().quantile(0.5, 0) == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda: tarvo.Normal(0),
        lambda: tarvo.Normal("0", 1),
        lambda: tarvo.Normal(None, 1),
        lambda: tarvo.Inspection(5.0),
        lambda: tarvo.Inspection(2**31),
        lambda: tarvo.Inspection(-(2**31) - 1),
        lambda: tarvo.InstantaneousFailure("3"),
        lambda: tarvo.Maintenance("159"),
        lambda: tarvo.Maintenance(b"\x01"),
        lambda: tarvo.Maintenance([1.5]),
        lambda: tarvo.Maintenance(None),
        lambda: tarvo.Normal(0, 1).pdf(x=0.0),
        lambda: tarvo.Normal(0, 1).quantile(0.5, 0.0),
        lambda: tarvo.Normal(0, 1).quantile(0.5),
        lambda: tarvo.Exponential(rate=0.5),
    ],
)
def test_refused_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_int_argument_accepts_the_full_32_bit_range():
    assert tarvo.Inspection(2**31 - 1).quantile(0.5, 0) == 2147483647.0
    assert tarvo.InstantaneousFailure(0).quantile(0.5, -(2**31)) == 2147483648.0


def test_base_class_operations_dispatch_on_the_object_type():
    normal = tarvo.Normal(10, 2)
    assert tarvo.Distribution.pdf(normal, 10.0) == pytest.approx(0.19947114020071635, rel=1e-15)
    assert tarvo.Distribution.quantile(tarvo.Inspection(10), 0.5, 25) == 5.0


def test_laws_have_no_readable_or_writable_attributes():
    law = tarvo.Normal(0, 1)
    with pytest.raises(AttributeError):
        law.mean  # noqa: B018
    with pytest.raises(AttributeError):
        law.extra = 1


@pytest.mark.parametrize(
    ("times", "expected_shares"),
    [([5, 7, 9], {5.0: 1 / 3, 7.0: 1 / 3, 9.0: 1 / 3}), ([4, 4, 8], {4.0: 2 / 3, 8.0: 1 / 3})],
)
def test_maintenance_picks_entries_with_their_frequencies(times, expected_shares):
    law = tarvo.Maintenance(times)
    draws = 30000
    counts = {}
    for t in range(draws):
        value = law.quantile(0.5, t)
        counts[value] = counts.get(value, 0) + 1
    assert set(counts) == set(expected_shares)
    for value, share in expected_shares.items():
        sd = math.sqrt(draws * share * (1 - share))
        assert abs(counts[value] - draws * share) < 5 * sd, (value, counts)
