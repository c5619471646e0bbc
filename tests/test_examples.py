"""The examples at a small size.

Statistical checks use fixed seeds and tolerances in standard errors of the estimate: 4.5 for a
single comparison (a correct simulator fails it with probability below 3e-4, even with the 19
degrees of freedom of batch means).
"""

import math
import sys
from pathlib import Path

import pytest

import tarvo
import tarvokit

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import fault_tree_check  # noqa: E402
import theory_check  # noqa: E402

SINGLE_TOLERANCE = 4.5
LOOP = EXAMPLES / "cooling_water_loop.toml"


# --- Check against theory -----------------------------------------------------------------


def test_whole_step_theory_tends_to_the_continuous_one():
    lam, mu = theory_check.REPAIR_FAILURE_RATE, theory_check.REPAIR_REPAIR_RATE
    horizon = theory_check.REPAIR_HORIZON
    biases = []
    for resolution in (1, 10, 100):
        continuous, whole = theory_check.repairable_mean(lam, mu, horizon, resolution)
        biases.append(whole / continuous - 1)
    # Truncation shortens every delay by about half a step: the bias falls as 1 / resolution.
    assert biases[0] < biases[1] < biases[2] < 0
    assert biases[1] / biases[0] == pytest.approx(0.1, rel=0.1)
    period, lam = theory_check.INSPECTION_PERIOD, theory_check.INSPECTED_FAILURE_RATE
    continuous, whole = theory_check.inspected_mean_at(lam, period, 1)
    assert whole - continuous == pytest.approx(-math.expm1(-lam * period) / (2 * period),
                                               rel=0.01)
    continuous, whole = theory_check.inspected_mean_at(lam, period, 50)
    assert whole - continuous == pytest.approx(-math.expm1(-lam * period) / (100 * period),
                                               rel=0.01)


@pytest.mark.parametrize("resolution", [1, 15])
@pytest.mark.parametrize("check", [theory_check.check_repairable, theory_check.check_inspected],
                         ids=["exponential-repair", "periodic-inspection"])
def test_simulation_agrees_with_whole_step_theory(check, resolution):
    result = check(resolution, histories=100_000, seed=11)
    assert abs(result.simulated_mean.deviation(result.whole_step_mean)) <= SINGLE_TOLERANCE


def test_at_resolution_one_the_simulation_tells_the_bias_apart():
    # About 18 standard errors separate the whole-unit value from the continuous one here.
    result = theory_check.check_repairable(1, histories=100_000, seed=12)
    assert abs(result.simulated_mean.deviation(result.continuous_mean)) > SINGLE_TOLERANCE


# --- Fault tree from SCRAM ----------------------------------------------------------------


def test_fault_tree_simulation_agrees_with_scram():
    check = fault_tree_check.check_fault_tree(fault_tree_check.DEFAULT_TREE,
                                              fault_tree_check.DEFAULT_EVENTS,
                                              histories=20_000, seed=5)
    assert check.tree_disagreements == 0
    assert check.run.seed_ranges() == [(5, 20_004)]
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


def _alone(model: tarvokit.Model, name: str, histories: int, seed: int) -> tarvokit.Result:
    """One component of the loop simulated on its own."""
    data = model.description
    data["components"] = {name: data["components"][name]}
    data["system"] = {"cut_sets": [[name]]}
    return tarvokit.Model.from_dict(data).run(histories, seed)


def test_loop_unavailability_composes_from_its_independent_components():
    # The loop fails when the power supply, the controller or the valve does, or both pumps do,
    # and the components are independent. Per engine step, U = 1 - (1-Up)(1-Uc)(1-Uv)(1 - Ua Ub);
    # per hour it holds to within the (tiny) chance of two components changing in one hour, so
    # at a coarse resolution the composed mean must still match within the standard errors,
    # which to first order add in quadrature (the pumps' product term is of second order).
    model = tarvokit.load(LOOP).with_resolution(4)
    histories = 20_000
    loop = model.run(histories, seed=100)
    names = ["pump[1]", "valve", "controller", "power_supply"]
    runs = {name: _alone(model, name, histories, seed)
            for seed, name in enumerate(names, start=200_000)}
    up = [1 - runs[name].unavailability for name in ("valve", "controller", "power_supply")]
    composed = 1 - up[0] * up[1] * up[2] * (1 - runs["pump[1]"].unavailability ** 2)
    standard_error = math.hypot(loop.mean().standard_error,
                                *(run.mean().standard_error for run in runs.values()))
    assert abs(loop.mean().estimate - composed.mean()) <= SINGLE_TOLERANCE * standard_error
    # Every quarter the controller goes into maintenance for at least 4 h: the loop is down
    # except in the rare history whose controller came back from a repair at that very hour.
    maintenance = 2190
    assert loop.unavailability[maintenance:maintenance + 4].min() >= 0.995
    assert loop.seeded  # Maintenance durations come from each history's own generator


@pytest.mark.parametrize("path", sorted(Path(__file__).resolve().parent.parent.glob(
    "examples/*.toml")), ids=lambda p: p.stem)
def test_every_example_model_reads_and_checks(path):
    study = tarvokit.load(path)
    assert study.model.components and study.model.cut_sets


def test_the_dependent_plant_is_less_available_than_its_independent_twin():
    examples = Path(__file__).resolve().parent.parent / "examples"
    dependent, independent = (tarvokit.load(examples / f"plant_{name}.toml").run(
        histories=20_000, seed=1) for name in ("with_dependencies", "independent"))
    assert dependent.mean().low > independent.mean().high


def test_the_markov_example_agrees_with_its_simulation():
    study = tarvokit.load(Path(__file__).resolve().parent.parent / "examples" /
                          "pumps_markov.toml")
    exact = study.markov().answer
    found = study.run(histories=20_000, seed=5).measures()
    for measure, value in (("mean_unavailability", exact.mean_unavailability),
                           ("failure_frequency", exact.failure_frequency)):
        interval = getattr(found, measure)
        assert abs(interval.estimate - value) <= 4.5 * interval.standard_error
