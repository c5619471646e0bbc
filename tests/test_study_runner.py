"""runnerStudy against the runners it summarises: per-unit failed steps against runnerParallelSim's
counts folded per unit, and every per-history figure against the series and transition log of
the reference simulator (its series checked against runnerSingleSim's) for the same seed; then its own rules (first draws, arguments, errors, silence) and Discrete."""

import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_simulator as ref
import tarvo
from models import make_law, make_model, make_tree

N = ("never",)
EXACT_BINS = 2**22


def history_seed(seed, i):
    """seed + i modulo 2^32, as the signed 32-bit int runnerSingleSim takes."""
    wrapped = (seed + i) & 0xFFFFFFFF
    return wrapped - 2**32 if wrapped >= 2**31 else wrapped


def folded(counts, steps_per_unit):
    return np.asarray(counts, dtype=np.uint64).reshape(-1, steps_per_unit).sum(axis=1, dtype=np.uint64)


def history_figures(series, log, within, cutsets, components):
    """(failed steps, failures, first failure step or None) of one history: its failed steps from
    the series, its failures from the transition log, the system state judged before each event
    drawn within its step (a positive delay under a step: it follows the event that drew it) and
    at the end of each step with events; a passage from working to failed is one failure. So a
    failure repaired within its step counts, though the series shows none of it, while events
    due at one step from earlier draws are simultaneous."""
    down = [False] * components
    judged, entries = False, []

    def judge(time):
        nonlocal judged
        failed = ref.system_failed(cutsets, down)
        if failed and not judged:
            entries.append(time)
        judged = failed

    for i, (time, _, next_state, component) in enumerate(log):
        if within[i]:
            judge(time)
        down[component] = next_state != 0
        if i + 1 == len(log) or log[i + 1][0] != time:
            judge(time)
    return int(np.sum(series)), len(entries), (entries[0] if entries else None)


def histogram(values):
    """Counts per value, up to the largest value seen (values below 2^22: bins of width 1)."""
    return np.bincount(np.asarray(values, dtype=np.int64), minlength=0).astype(np.uint64) if values else (
        np.zeros(0, dtype=np.uint64))


def expected_from_histories(n, sim_time, specs, cutsets, seed):
    """The figures of n histories from the reference simulator's series and logs, after checking
    its series against runnerSingleSim's."""
    laws, tree = make_model(specs), make_tree(cutsets)
    figures = []
    for i in range(n):
        within = []
        series, log, _ = ref.simulate(sim_time, specs, cutsets, history_seed(seed, i) & 0xFFFFFFFF,
                                      within)
        assert series == list(tarvo.runnerSingleSim(sim_time, laws, tree, history_seed(seed, i)))
        figures.append(history_figures(series, log, within, cutsets, len(specs)))
    failed = [f for f, _, _ in figures]
    failures = [k for _, k, _ in figures]
    firsts = [t for _, _, t in figures if t is not None]
    return {
        "failed_steps_histogram": histogram(failed),
        "failures_histogram": histogram(failures),
        "first_failure_histogram": histogram(firsts),
        "histories_without_failure": n - len(firsts),
        "failed_steps_sum": sum(failed),
        "failed_steps_sum_of_squares": sum(f * f for f in failed),
        "failures_sum": sum(failures),
        "failures_sum_of_squares": sum(k * k for k in failures),
        "failed_steps_times_failures_sum": sum(f * k for f, k in zip(failed, failures)),
        "histories": n,
    }


def assert_figures_equal(result, expected):
    for key, value in expected.items():
        if isinstance(value, np.ndarray):
            assert result[key].dtype == np.uint64, key
            np.testing.assert_array_equal(result[key], value, err_msg=key)
        else:
            assert result[key] == value, key


# ---- Random models whose draws are never negative (their first draws then mean the same in
# every runner) ----

LAWS = st.one_of(
    st.just(N),
    st.builds(lambda rate: ("exponential", rate), st.floats(0.02, 0.5)),
    st.builds(lambda a, width: ("uniform", a, max(a + 0.5, 2.0) + width), st.floats(0.0, 20.0),
              st.floats(0.0, 30.0)),
    st.builds(lambda scale, shape: ("weibull", scale, shape), st.floats(1.0, 40.0), st.floats(0.3, 4.0)),
    st.builds(lambda period: ("inspection", period), st.integers(1, 12)),
)
LAWS_FROM_STATE_0 = st.one_of(LAWS, st.builds(lambda t: ("failure", t), st.integers(0, 80)))


@st.composite
def random_models(draw):
    """(specs, cutsets): up to 30 components (scan and heap), 2 or 3 states; no cycle of zero
    delays can last (fixed failure times leave state 0 only, and uniform laws reach above 2)."""
    n_components = draw(st.integers(1, 30))
    n_states = draw(st.integers(2, 3))
    specs = [
        [[N if k == s else draw(LAWS_FROM_STATE_0 if s == 0 else LAWS) for k in range(n_states)]
         for s in range(n_states)]
        for _ in range(n_components)
    ]
    members = st.lists(st.integers(0, n_components - 1), min_size=1, max_size=4)
    cutsets = [[1 if c in chosen else 0 for c in range(n_components)]
               for chosen in draw(st.lists(members, min_size=1, max_size=6))]
    return specs, cutsets


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(model=random_models(), n=st.integers(0, 12), units=st.integers(0, 40),
       steps_per_unit=st.sampled_from([1, 2, 7, 60]), threads=st.integers(1, 3),
       seed=st.integers(-(2**31), 2**32 - 1))
def test_random_models_against_parallel_sums_and_single_series(model, n, units, steps_per_unit, threads,
                                                              seed, capfd):
    specs, cutsets = model
    laws, tree = make_model(specs), make_tree(cutsets)
    sim_time = units * steps_per_unit
    result = tarvo.runnerStudy(laws, tree, sim_time, n, seed, threads, steps_per_unit)
    sums = tarvo.runnerParallelSim(n, sim_time, laws, tree, history_seed(seed, 0))
    capfd.readouterr()

    assert result["failed_steps_per_unit"].dtype == np.uint64
    np.testing.assert_array_equal(result["failed_steps_per_unit"], folded(sums, steps_per_unit))
    assert_figures_equal(result, expected_from_histories(n, sim_time, specs, cutsets, seed))
    assert (result["sim_time"], result["steps_per_unit"], result["bin_width"]) == (sim_time, steps_per_unit, 1)


# A busy model (2-out-of-3 pumps; a worn valve found at inspection, with its backup failing at a
# fixed time and, once repaired, again at once), over a longer horizon, with enough histories
# that every thread takes several chunks of them.
PUMP = [[N, ("exponential", 0.001), N], [("uniform", 2.0, 30.0), N, N], [N, N, N]]
BUSY_SPECS = [
    PUMP, PUMP, PUMP,
    [[N, ("weibull", 300.0, 2.0), N], [("inspection", 48), N, ("exponential", 0.05)], [("uniform", 1.0, 6.0), N, N]],
    [[N, ("failure", 2500), N], [("uniform", 10.0, 20.0), N, N], [N, N, N]],
]
BUSY_CUTSETS = [[1, 1, 0, 0, 0], [1, 0, 1, 0, 0], [0, 1, 1, 0, 0], [0, 0, 0, 1, 1]]


@pytest.mark.parametrize(("threads", "seed", "steps_per_unit"),
                         [(1, 0, 24), (2, 123, 60), (3, 2**32 - 70, 1), (2, -5, 8)])
def test_busy_model_against_parallel_sums_and_single_series(threads, seed, steps_per_unit, capfd):
    laws, tree = make_model(BUSY_SPECS), make_tree(BUSY_CUTSETS)
    n, sim_time = 400, 120 * 24
    result = tarvo.runnerStudy(laws, tree, sim_time, n, seed, threads, steps_per_unit)
    sums = tarvo.runnerParallelSim(n, sim_time, laws, tree, history_seed(seed, 0))
    capfd.readouterr()
    np.testing.assert_array_equal(result["failed_steps_per_unit"], folded(sums, steps_per_unit))
    assert_figures_equal(result, expected_from_histories(n, sim_time, BUSY_SPECS, BUSY_CUTSETS, seed))
    assert 0 < result["histories_without_failure"] < n  # the figures are not trivial


def test_calls_on_consecutive_seeds_add_up_to_one_call(capfd):
    laws, tree = make_model(BUSY_SPECS), make_tree(BUSY_CUTSETS)
    sim_time, seed = 2400, 77
    whole = tarvo.runnerStudy(laws, tree, sim_time, 300, seed, 2, 24)
    first = tarvo.runnerStudy(laws, tree, sim_time, 120, seed, 1, 24)
    rest = tarvo.runnerStudy(laws, tree, sim_time, 180, seed + 120, 3, 24)
    for key, value in whole.items():
        if isinstance(value, np.ndarray):
            size = max(len(first[key]), len(rest[key]))
            added = np.pad(first[key], (0, size - len(first[key]))) + np.pad(rest[key], (0, size - len(rest[key])))
            np.testing.assert_array_equal(value, added, err_msg=key)
        elif key in ("sim_time", "steps_per_unit", "bin_width", "exact_bins"):
            assert value == first[key] == rest[key]
        else:
            assert value == first[key] + rest[key], key
    assert capfd.readouterr() == ("", "")


# ---- Long horizons: wide bins and sums past 2^64 ----


@pytest.mark.parametrize(("sim_time", "steps_per_unit", "width"),
                         [(EXACT_BINS + 1000, 8, 1), (3 * EXACT_BINS + 8, 8, 4), (2**31 - 2, 2**30 - 1, 512)])
def test_values_beyond_the_exact_bins_fall_in_wider_bins(sim_time, steps_per_unit, width):
    # One component that fails for good at a fixed step: failed steps sim_time - t, one failure
    # at step t. Every value lands in the bin the documented rule names, and the bins stay fewer
    # than 2^23.
    t = 5
    laws = [[[tarvo.Distribution(), tarvo.InstantaneousFailure(t)], [tarvo.Distribution()] * 2]]
    result = tarvo.runnerStudy(laws, make_tree([[1]]), sim_time, 3, 0, 1, steps_per_unit)
    assert (result["exact_bins"], result["bin_width"]) == (EXACT_BINS, width)
    failed = sim_time - t
    expected_bin = failed if failed < EXACT_BINS else EXACT_BINS + (failed - EXACT_BINS) // width
    low = expected_bin if expected_bin < EXACT_BINS else EXACT_BINS + (expected_bin - EXACT_BINS) * width
    assert low <= failed < low + width
    assert len(result["failed_steps_histogram"]) == expected_bin + 1 < 2 * EXACT_BINS
    assert result["failed_steps_histogram"][expected_bin] == 3
    assert result["failed_steps_histogram"].sum() == 3
    assert result["first_failure_histogram"].tolist() == [0] * t + [3]
    assert result["failures_histogram"].tolist() == [0, 3]
    assert result["failed_steps_sum_of_squares"] == 3 * failed**2


def test_sums_of_squares_are_exact_past_64_bits():
    # 2^31 - 3 failed steps in each of 5 histories: the squares add up past 2^64.
    laws = [[[tarvo.Distribution(), tarvo.InstantaneousFailure(1)], [tarvo.Distribution()] * 2]]
    result = tarvo.runnerStudy(laws, make_tree([[1]]), 2**31 - 2, 5, 0, 2, 2**30 - 1)
    assert result["failed_steps_sum"] == 5 * (2**31 - 3)
    assert result["failed_steps_sum_of_squares"] == 5 * (2**31 - 3) ** 2 > 2**64


def test_many_units_at_resolution_60_fold_every_step():
    # 10^6 reported units of 60 steps: a unit that fails at step 90 and is never repaired
    # leaves 30 failed steps in unit 1 and 60 in every later unit.
    laws = [[[tarvo.Distribution(), tarvo.InstantaneousFailure(90)], [tarvo.Distribution()] * 2]]
    result = tarvo.runnerStudy(laws, make_tree([[1]]), 60 * 10**6, 2, 9, 2, 60)
    per_unit = result["failed_steps_per_unit"]
    assert per_unit.shape == (10**6,)
    assert per_unit[:3].tolist() == [0, 60, 120]
    assert (per_unit[2:] == 120).all()


# ---- First draws ----


def one_unit(failure, repair=None):
    """One component: `failure` from state 0, `repair` (default never) back from state 1."""
    return [[[tarvo.Distribution(), failure], [repair or tarvo.Distribution(), tarvo.Distribution()]]]


@pytest.mark.parametrize("failure", [tarvo.Normal(-50.0, 1.0), tarvo.Uniform(-9.0, -2.0), tarvo.Exponential(-1.0)],
                         ids=["normal", "uniform", "exponential"])
def test_a_negative_first_draw_fires_at_once(failure, capfd):
    result = tarvo.runnerStudy(one_unit(failure), make_tree([[1]]), 100, 20, 3, 2, 10)
    assert result["first_failure_histogram"].tolist() == [20]
    assert result["failed_steps_per_unit"].tolist() == [200] * 10
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("failure", [tarvo.Exponential(0.0), tarvo.Exponential(float("nan")),
                                     tarvo.Weibull(1e20, 1.0)], ids=["infinite", "nan", "too-large"])
def test_a_first_draw_out_of_range_means_never_without_a_word(failure, capfd):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = tarvo.runnerStudy(one_unit(failure), make_tree([[1]]), 100, 20, 3, 2, 1)
    assert result["histories_without_failure"] == 20
    assert result["failed_steps_per_unit"].sum() == 0
    assert capfd.readouterr() == ("", "")


# ---- Arguments, errors and what the runner leaves alone ----


@pytest.mark.parametrize(("args", "message"), [
    ((10, 1, 0, 1, 3), "simTime (10) must be a multiple of stepsPerUnit (3)"),
    ((-6, 1, 0, 1, 3), "simTime must not be negative"),
    ((10, 1, 0, 1, 0), "stepsPerUnit must be at least 1"),
    ((10, -1, 0, 1, 1), "nSimulations must not be negative"),
    ((10, 1, 0, 0, 1), "threads must be at least 1"),
    ((10, 1, 0, 10**6, 1), "threads must be at most"),
    ((10, 1, 2**32, 1, 1), "seed must be between -2147483648 and 4294967295"),
    ((10, 1, -(2**31) - 1, 1, 1), "seed must be between -2147483648 and 4294967295"),
])
def test_arguments_out_of_range_are_value_errors(args, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        tarvo.runnerStudy(one_unit(tarvo.Exponential(0.1)), make_tree([[1]]), *args)


@pytest.mark.parametrize("n", [0, 5])
def test_model_checks_are_those_of_the_other_runners(n):
    with pytest.raises(ValueError, match="Cutset matrix must not be null."):
        tarvo.runnerStudy(one_unit(tarvo.Exponential(0.1)), None, 10, n, 0, 1)
    with pytest.raises(ValueError, match="Transitions matrix must not be empty."):
        tarvo.runnerStudy([], make_tree([[1]]), 10, n, 0, 1)
    with pytest.raises(ValueError, match="Component 0, state 1: expected 2 transition laws, found 1."):
        tarvo.runnerStudy([[[tarvo.Distribution()] * 2, [tarvo.Distribution()]]], make_tree([[1]]), 10, n, 0, 1)


@pytest.mark.parametrize("threads", [1, 2])
def test_an_error_in_a_history_reaches_the_caller_as_in_runnerParallelSim(threads, capfd):
    # Instant failure and instant repair for ever: the history cannot advance.
    never = tarvo.Distribution()
    laws = [[[never, tarvo.InstantaneousFailure(3)], [tarvo.Uniform(0.0, 0.5), never]]]
    with pytest.raises(RuntimeError) as parallel:
        tarvo.runnerParallelSim(4, 10, laws, make_tree([[1]]), 0)
    capfd.readouterr()
    with pytest.raises(RuntimeError) as study:
        tarvo.runnerStudy(laws, make_tree([[1]]), 10, 200, 0, threads)
    assert str(study.value) == str(parallel.value)
    assert str(study.value).startswith("History stopped advancing at time unit 3")
    assert capfd.readouterr() == ("", "")


def test_thread_count_of_the_process_is_left_alone(capfd):
    tarvo.limitOMPThreads(1)
    try:
        tarvo.runnerStudy(one_unit(tarvo.Exponential(0.1)), make_tree([[1]]), 10, 500, 0, 2)
        capfd.readouterr()
        tarvo.runnerParallelSim(1, 1, one_unit(tarvo.Exponential(0.1)), make_tree([[1]]), 0)
        assert capfd.readouterr().out.startswith("Numero de threads disponiveis: 1\n")
    finally:
        tarvo.limitOMPThreads(os.cpu_count())


def test_result_arrays_own_their_memory_and_outlive_the_call():
    result = tarvo.runnerStudy(make_model(BUSY_SPECS), make_tree(BUSY_CUTSETS), 240, 50, 1, 2, 24)
    per_unit = result.pop("failed_steps_per_unit")
    del result
    assert per_unit.flags.owndata is False and per_unit.base is not None  # the native buffer
    assert per_unit.flags.writeable and per_unit.shape == (10,)
    per_unit[0] += 1  # no other holder of the buffer sees or frees it


def test_empty_calls():
    result = tarvo.runnerStudy(one_unit(tarvo.Exponential(0.1)), make_tree([[1]]), 0, 3, 0, 2, 5)
    assert result["failed_steps_per_unit"].shape == (0,)
    assert result["failures_histogram"].tolist() == [3]
    assert result["histories_without_failure"] == 3
    result = tarvo.runnerStudy(one_unit(tarvo.Exponential(0.1)), make_tree([[1]]), 50, 0, 0, 2, 5)
    assert result["failed_steps_per_unit"].tolist() == [0] * 10
    assert all(len(result[k]) == 0 for k in ("failed_steps_histogram", "failures_histogram",
                                            "first_failure_histogram"))
    assert result["histories"] == 0


# ---- Discrete ----


@pytest.mark.parametrize(("values", "p", "expected"), [
    ([7], 0.0, 7.0), ([7], 0.99999994, 7.0), ([7], 1.0, 7.0),
    ([3, 9], 0.49999, 3.0), ([3, 9], 0.5, 9.0), ([3, 9], 1.0, 9.0),
    ([5, 1, 5, 2], 0.25, 1.0), ([5, 1, 5, 2], 0.74, 5.0), ([5, 1, 5, 2], 0.75, 2.0),
    ([4, 8], -0.1, 2147483647.0), ([4, 8], 1.1, 2147483647.0), ([4, 8], float("nan"), 2147483647.0),
])
def test_discrete_quantile_picks_the_entry_the_draw_points_at(values, p, expected):
    law = tarvo.Discrete(values)
    assert law.quantile(p, 0) == law.quantile(p, 5000) == expected


@pytest.mark.parametrize("values", [[1], [2, 2, 2], [5, 1, 5, 2, 9, 1, 1], [-3, 0, 4]])
def test_discrete_pdf_and_cdf_are_shares_of_the_entries(values):
    law = tarvo.Discrete(values)
    for x in sorted(set(values)) + [min(values) - 0.5, max(values) + 0.5, 1.5]:
        assert law.pdf(x) == pytest.approx(values.count(x) / len(values))
        assert law.cdf(x) == pytest.approx(sum(v <= x for v in values) / len(values))
    assert law.pdf(float("nan")) == law.cdf(float("nan")) == 0.0


def test_discrete_needs_values():
    with pytest.raises(ValueError, match="Discrete values cannot be empty"):
        tarvo.Discrete([])
    with pytest.raises(TypeError):
        tarvo.Discrete([1.5])


def test_discrete_durations_follow_the_seed_and_come_in_equal_shares(capfd):
    # A unit that fails after 5, 20 or 60 steps and is never repaired: its first failure is the
    # picked delay. Same seed, same picks; each delay comes up about a third of the time.
    never = tarvo.Distribution()
    laws = [[[never, tarvo.Discrete([5, 20, 60])], [never, never]]]
    tree = make_tree([[1]])
    n = 30000
    first = tarvo.runnerStudy(laws, tree, 100, n, 42, 2)
    again = tarvo.runnerStudy(laws, tree, 100, n, 42, 1)
    np.testing.assert_array_equal(first["first_failure_histogram"], again["first_failure_histogram"])
    counts = first["first_failure_histogram"][[5, 20, 60]]
    assert counts.sum() == n
    # Each count is binomial(n, 1/3): 5 standard deviations is about 408.
    assert np.all(np.abs(counts - n / 3) < 5 * np.sqrt(n * (1 / 3) * (2 / 3)))
    assert tarvo.runnerParallelSim(200, 100, laws, tree, 42) == tarvo.runnerParallelSim(200, 100, laws, tree, 42)
    capfd.readouterr()
