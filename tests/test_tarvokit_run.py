"""Running studies: the counts are the engine's, sub-batches and seeds, the precision target,
interruption, merging, the fold back to time units, and the statistics behind the intervals."""

import copy
import math
import os
import pickle
import signal

import numpy as np
import pytest

import tarvo
import tarvokit
from tarvokit.data import stats
from tarvokit.studies import PlannedRun, RunOptions, planner, run_study
from tarvokit.engine.tasks import InProcessExecutor, Task, engine_output_captured, run_task

REPAIRABLE_PAIR = {
    "study": {"name": "pair", "time_unit": "h", "horizon": 60, "resolution": 4},
    "components": {"pump": {"count": 2, "failure": {"law": "Weibull", "scale": 20, "shape": 1.5},
                            "repair": {"law": "Exponential", "mean": 5}},
                   "valve": {"failure": {"law": "Exponential", "rate": 0.01},
                             "repair": {"law": "Inspection", "period": 12.5}}},
    "system": {"fails_when": "valve or (pump[1] and pump[2])"},
}


@pytest.fixture(scope="module")
def pair() -> tarvokit.Model:
    return tarvokit.Model.from_dict(REPAIRABLE_PAIR)


def engine_counts(model: tarvokit.Model, histories: int, seed: int, cut_sets=None) -> np.ndarray:
    """One runnerParallelSim call's counts folded per time unit, as a study reports them."""
    with engine_output_captured():
        counts = tarvo.runnerParallelSim(histories, model.steps, model.engine_laws(),
                                         model.engine_tree(cut_sets), seed)
    return np.array(counts, dtype=np.uint64).reshape(model.horizon, model.resolution).sum(axis=1)


@pytest.fixture
def small_calls(monkeypatch):
    """Calls of 20 histories: a first one, then the rest cut at the floor."""
    monkeypatch.setattr(planner, "FIRST_TASK_HISTORIES", 20)
    monkeypatch.setattr(planner, "MIN_TASK_HISTORIES", 20)
    monkeypatch.setattr(planner, "TASK_SECONDS", 1e-12)


@pytest.mark.parametrize("threads", [1, 2], ids=["threads=1", "threads=2"])
@pytest.mark.parametrize("histories, calls", [(17, 1), (173, 9)])
def test_counts_equal_one_runner_call_with_the_same_seed(pair, small_calls, threads, histories,
                                                         calls):
    result = pair.run(histories=histories, seed=41, threads=threads)
    assert np.array_equal(result.counts, engine_counts(pair, histories, 41))
    assert result.seed_ranges() == [(41, 40 + histories)] and result.histories == histories
    assert len(result.batches) == calls and result.seeded


def test_a_run_of_many_histories_makes_few_runner_calls(pair):
    # The intervals come from the histories themselves: calls only cost.
    result = pair.run(histories=100_000, seed=1)
    assert 2 <= len(result.batches) <= 3
    assert np.array_equal(result.counts, engine_counts(pair, 100_000, 1))


def test_a_logic_override_runs_the_same_histories_on_another_tree(pair):
    override = [["valve"], ["pump[1]"]]
    result = run_study(PlannedRun(pair.model, tuple(map(tuple, override))),
                       RunOptions(histories=90, seed=3))
    assert np.array_equal(result.counts, engine_counts(pair, 90, 3, override))
    assert not np.array_equal(result.counts, engine_counts(pair, 90, 3))


def test_a_task_is_plain_data_that_runs_anywhere(pair):
    task = Task(pair.description, first_seed=10, histories=25, threads=1)
    again = pickle.loads(pickle.dumps(task))
    assert np.array_equal(run_task(again).counts, engine_counts(pair, 25, 10))


def test_results_of_disjoint_seed_ranges_merge_into_one_run(pair):
    first = pair.run(histories=40, seed=100)
    second = pair.run(histories=60, seed=140)
    both = tarvokit.combine([first, second])
    assert np.array_equal(both.counts, engine_counts(pair, 100, 100))
    assert both.seed_ranges() == [(100, 199)] and len(both.batches) == 2
    # Every measure, not only the curve: the per-history distributions add exactly.
    assert repr(both.measures()) == repr(pair.run(histories=100, seed=100).measures())
    with pytest.raises(tarvokit.ResultError, match="different studies"):
        first.merge(tarvokit.Model.from_dict({**REPAIRABLE_PAIR, "study": {
            **REPAIRABLE_PAIR["study"], "horizon": 61}}).run(histories=4, batches=2))


@pytest.mark.parametrize("seed, histories, shared", [
    (100, 40, "100..139"),   # the same run twice
    (139, 10, "139..139"),   # one seed in common at the edge
    (90, 200, "100..139"),   # a run that holds the other
])
def test_results_sharing_seeds_do_not_merge(pair, seed, histories, shared):
    first = pair.run(histories=40, seed=100, batches=2)
    other = pair.run(histories=histories, seed=seed, batches=2)
    with pytest.raises(tarvokit.ResultError, match=f"both used seeds {shared}"):
        first.merge(other)
    with pytest.raises(tarvokit.ResultError):
        tarvokit.combine([other, first])


def test_the_id_names_what_was_simulated_not_its_label():
    renamed = {**REPAIRABLE_PAIR, "study": {**REPAIRABLE_PAIR["study"], "name": "other",
                                            "time_unit": "hour"}}
    slower = copy.deepcopy(REPAIRABLE_PAIR)
    slower["components"]["valve"]["repair"]["period"] = 25
    ids = [tarvokit.Model.from_dict(data).run(histories=2, batches=2).id
           for data in (REPAIRABLE_PAIR, renamed, slower)]
    assert ids[0] == ids[1] != ids[2]
    assert len(ids[0]) >= 16 and int(ids[0], 16) >= 0


def test_time_units_report_the_failed_fraction_of_their_steps():
    # Fails for good at 2.5 h: hour 2 is half failed in every history, later hours wholly.
    model = tarvokit.Model.from_dict({
        "study": {"horizon": 5, "resolution": 2},
        "components": {"unit": {"failure": {"law": "InstantaneousFailure", "at": 2.5}}},
        "system": {"cut_sets": [["unit"]]}})
    result = model.run(histories=10)
    assert result.unavailability.tolist() == [0, 0, 0.5, 1, 1]
    assert result.mean().estimate == pytest.approx(2.5 / 5)
    assert result.downtime().estimate == pytest.approx(2.5)
    low, high = result.band()
    assert low[2] < 0.5 < high[2] and high[0] > 0 and low[4] < 1


def test_precision_target_adds_sub_batches_until_it_is_met(pair):
    result = pair.run(histories=200, seed=5, precision=0.05, max_histories=200_000)
    mean = result.mean()
    assert result.precision_met and mean.half_width <= 0.05 * mean.estimate
    assert 200 < result.histories < 200_000
    assert result.seed_ranges() == [(5, 4 + result.histories)]
    assert np.array_equal(result.counts, engine_counts(pair, result.histories, 5))


def test_precision_target_stops_at_the_maximum(pair):
    result = pair.run(histories=100, seed=5, precision=1e-4, max_histories=1000)
    assert result.precision_met is False and result.histories == 1000
    assert "not met" in tarvokit.summary(result)


class _InterruptingExecutor(InProcessExecutor):
    """Presses Ctrl-C while the second task runs and counts the tasks it started. With
    `stop_running`, the running call stops too, as a second Ctrl-C makes the runner do."""

    def __init__(self, stop_running: bool):
        self.started, self.stop_running = 0, stop_running

    def run(self, tasks):
        for task in tasks:
            self.started += 1
            if self.started == 3 and self.stop_running:
                raise KeyboardInterrupt
            if self.started == 2 and not self.stop_running:
                os.kill(os.getpid(), signal.SIGINT)
            yield run_task(task)


@pytest.mark.parametrize("stop_running", [False, True], ids=["after-sub-batch", "second-ctrl-c"])
def test_ctrl_c_ends_a_study_with_the_sub_batches_that_finished(pair, small_calls, stop_running):
    executor = _InterruptingExecutor(stop_running)
    with pytest.raises(tarvokit.StudyInterrupted, match="after 40 of 100 histories") as caught:
        pair.run(histories=100, seed=7, executor=executor)
    assert executor.started == (3 if stop_running else 2)
    partial = caught.value.result
    assert partial.interrupted and partial.seed_ranges() == [(7, 46)]
    assert np.array_equal(partial.counts, engine_counts(pair, 40, 7))
    assert partial.mean().low <= partial.mean().estimate <= partial.mean().high
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_ctrl_c_in_the_first_call_keeps_it(pair, small_calls):
    executor = _InterruptingExecutor(stop_running=False)
    executor.started = 1  # the signal comes while the first task runs
    with pytest.raises(tarvokit.StudyInterrupted, match="after 20 of 100 histories") as caught:
        pair.run(histories=100, seed=7, executor=executor)
    assert caught.value.result.histories == 20


def test_a_run_prints_nothing(pair, capfd):
    pair.run(histories=300, threads=2)
    out, err = capfd.readouterr()
    assert out == "" and err == ""


@pytest.mark.parametrize("arguments, message", [
    (dict(histories=1), "histories must be"),
    (dict(seed=-1), "the seeds"),
    (dict(seed=2**31 - 50, histories=100), "the seeds"),
    (dict(threads=0), "threads must be"),
    (dict(precision=0), "precision must"),
    (dict(histories=100, max_histories=50), "--max-histories must be at least --histories"),
    (dict(precision=0.1, precision_measure="speed"), "--precision-of: expected one of"),
])
def test_run_arguments_are_checked_before_anything_runs(pair, arguments, message):
    with pytest.raises(ValueError, match=message):
        pair.run(**arguments)


def test_paired_runs_need_two_sub_batches(pair):
    with pytest.raises(ValueError, match="batches must be at least 2"):
        pair.importance(histories=10, batches=1)


# --- Statistics ---------------------------------------------------------------------------


@pytest.mark.parametrize("observed, trials, low, high", [
    (0.0, 10, 0.0, 0.2775),  # the upper bound is z^2 / (n + z^2) when nothing failed
    (1.0, 10, 0.7225, 1.0),
    (0.5, 10, 0.2366, 0.7634),
    (0.01, 100, 0.0018, 0.0545),
])
def test_wilson_interval_matches_textbook_values(observed, trials, low, high):
    interval = stats.wilson_interval(observed, trials)
    assert (interval.low, interval.high) == pytest.approx((low, high), abs=1e-4)


def test_batch_means_interval_covers_the_mean_of_correlated_histories():
    # Each history is failed for its whole horizon or not at all: its time units are perfectly
    # correlated. The batch-means interval must still cover the true mean in about 95% of the
    # experiments, with sub-batches of unequal size.
    rng = np.random.default_rng(2024)
    truth, sizes, experiments = 0.3, np.array([40, 50, 60] * 5), 2000
    covered = 0
    for _ in range(experiments):
        failed = rng.binomial(sizes, truth)
        covered += stats.batch_means(sizes, failed / sizes).contains(truth)
    assert abs(covered / experiments - 0.95) <= 4.5 * math.sqrt(0.95 * 0.05 / experiments)


def test_split_evenly_gives_sizes_that_differ_by_at_most_one():
    for total, parts in [(10, 3), (20, 20), (7, 1), (41, 4), (100_003, 20)]:
        sizes = stats.split_evenly(total, parts)
        assert sum(sizes) == total and len(sizes) == parts and max(sizes) - min(sizes) <= 1
