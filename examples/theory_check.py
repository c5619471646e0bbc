"""Checks the simulator against unavailabilities known from theory.

1. A repairable component with Exponential failures (rate lam) and Exponential repairs (rate mu).
   In continuous time its unavailability is U(t) = lam/(lam+mu) * (1 - exp(-(lam+mu) t)).
2. A component whose failures (Exponential, rate lam) stay hidden until a periodic inspection
   (period T) repairs them. In continuous time its mean unavailability is
   1 - (1 - exp(-lam T)) / (lam T), about lam T / 2.

The engine does not run in continuous time: a transition's delay is its law's quantile truncated
toward zero, so every event happens at a whole engine step, and a delay of 0 fires at once. The
study layer runs the engine in steps of 1 / resolution time unit. Each check runs at several
resolutions and states, for each, the whole-step value that the engine should reproduce exactly
(derived below, independently of tarvo: the same formulas with rates per step and periods in
steps), how far it lies from the continuous formula, and how the simulation compares with both:
the bias shrinks as the resolution grows, and the default resolution makes it negligible.
"""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass

import numpy as np

from example_options import parse_run_options, run_options
from tarvokit import Model, Result
from tarvokit.studies.options import DEFAULT_BATCHES
from tarvokit.views.text import interval_text
from tarvokit.data.stats import Interval

# Check 1: mean up time 100, mean repair 10 time units, over 200 time units (the mean over the
# horizon includes the start-up transient, which dies out as exp(-0.11 t)).
REPAIR_FAILURE_RATE, REPAIR_REPAIR_RATE = 0.01, 0.1
REPAIR_HORIZON = 200
RESOLUTIONS = (1, 4, 15, 60)
# Check 2: mean up time 500, inspection every 100 time units, ten inspection periods.
INSPECTED_FAILURE_RATE, INSPECTION_PERIOD, INSPECTED_HORIZON = 0.002, 100, 1000


# --- Theory -------------------------------------------------------------------------------
#
# With whole-unit delays, the delay of an Exponential law of rate r is D = floor(X), which is
# geometric: P(D >= d + 1 | D >= d) = exp(-r). Look at the component after all events of a
# time unit have fired. If it is working, the failure that is pending is at least one unit away
# and, by the memorylessness of D, fires at the next unit with probability a = 1 - exp(-lam).
# When it fires, the repair drawn then is 0 with probability b = 1 - exp(-mu), and the failure
# drawn after that repair is 0 again with probability a, and so on within the same unit. So from
# one unit to the next the component goes from working to failed with probability
#     p01 = a (1 - b) / (1 - a b)
# and from failed to working with p10 = b (1 - a) / (1 - a b); time unit 0 starts like a step
# from working. This two-state chain gives U(t) = p01/(p01+p10) * (1 - (1 - p01 - p10)^(t+1)),
# with the stationary value (e^lam - 1) / ((e^lam - 1) + (e^mu - 1)): the mean up and down times
# E floor(X) = 1 / (e^r - 1) are about half a unit shorter than 1/r.


def repairable_continuous(lam: float, mu: float, times: np.ndarray) -> np.ndarray:
    return lam / (lam + mu) * (1 - np.exp(-(lam + mu) * times))


def repairable_whole_units(lam: float, mu: float, times: np.ndarray) -> np.ndarray:
    a, b = -math.expm1(-lam), -math.expm1(-mu)
    p01, p10 = a * (1 - b) / (1 - a * b), b * (1 - a) / (1 - a * b)
    return p01 / (p01 + p10) * (1 - (1 - p01 - p10) ** (times + 1))


def repairable_stationary(lam: float, mu: float) -> tuple[float, float]:
    """Stationary unavailability: (continuous time, whole time units)."""
    return lam / (lam + mu), math.expm1(lam) / (math.expm1(lam) + math.expm1(mu))


# A hidden failure is repaired at the first inspection strictly after it, and the failure drawn
# at that moment may be 0 again. Each period [kT, (k+1)T) thus starts afresh, and at offset j the
# component is failed when its failure delay is at most j: probability 1 - exp(-lam (j + 1)).
# Whole units count a failure during unit j as failed for all of unit j, so the period mean is
# the right-endpoint sum (1/T) sum_{j=1..T} (1 - exp(-lam j)) of the continuous curve, higher
# than its integral by about (1 - exp(-lam T)) / (2 T).


def inspected_continuous(lam: float, period: int, times: np.ndarray) -> np.ndarray:
    return -np.expm1(-lam * (times % period))


def inspected_whole_units(lam: float, period: int, times: np.ndarray) -> np.ndarray:
    return -np.expm1(-lam * (times % period + 1))


def inspected_mean(lam: float, period: int) -> tuple[float, float]:
    """Mean unavailability over whole periods: (continuous time, whole time units)."""
    continuous = 1 + math.expm1(-lam * period) / (lam * period)
    whole = 1 + math.exp(-lam) * math.expm1(-lam * period) / (period * -math.expm1(-lam))
    return continuous, whole


# Means over the horizon [0, H), which is what a study's mean unavailability is.


def repairable_mean(lam: float, mu: float, horizon: int, resolution: int) -> tuple[float, float]:
    """Mean unavailability over the horizon: (continuous time, whole steps at `resolution`)."""
    total = lam + mu
    continuous = lam / total * (1 + math.expm1(-total * horizon) / (total * horizon))
    steps = np.arange(horizon * resolution)
    whole = float(repairable_whole_units(lam / resolution, mu / resolution, steps).mean())
    return continuous, whole


def inspected_mean_at(lam: float, period: int, resolution: int) -> tuple[float, float]:
    """Mean over whole inspection periods: (continuous time, whole steps at `resolution`)."""
    continuous, _ = inspected_mean(lam, period)
    _, whole = inspected_mean(lam / resolution, period * resolution)
    return continuous, whole


# --- Simulation ---------------------------------------------------------------------------


def one_component_model(failure: dict, repair: dict, horizon: int, resolution: int) -> Model:
    return Model.from_dict({
        "study": {"name": "one component", "horizon": horizon, "resolution": resolution},
        "components": {"unit": {"failure": failure, "repair": repair}},
        "system": {"cut_sets": [["unit"]]},
    })


@dataclass(frozen=True)
class CheckResult:
    resolution: int
    run: Result
    continuous_mean: float
    whole_step_mean: float

    @property
    def simulated_mean(self) -> Interval:
        return self.run.mean()

    @property
    def bias(self) -> float:
        """Relative distance of the whole-step value from the continuous one."""
        return self.whole_step_mean / self.continuous_mean - 1


def check_repairable(resolution: int, histories: int, seed: int,
                     batches: int = DEFAULT_BATCHES, threads: int | None = None) -> CheckResult:
    lam, mu = REPAIR_FAILURE_RATE, REPAIR_REPAIR_RATE
    model = one_component_model({"law": "Exponential", "rate": lam},
                                {"law": "Exponential", "rate": mu}, REPAIR_HORIZON, resolution)
    run = model.run(histories, seed, threads=threads, batches=batches)
    return CheckResult(resolution, run, *repairable_mean(lam, mu, REPAIR_HORIZON, resolution))


def check_inspected(resolution: int, histories: int, seed: int,
                    batches: int = DEFAULT_BATCHES, threads: int | None = None) -> CheckResult:
    lam, period = INSPECTED_FAILURE_RATE, INSPECTION_PERIOD
    model = one_component_model({"law": "Exponential", "rate": lam},
                                {"law": "Inspection", "period": period}, INSPECTED_HORIZON,
                                resolution)
    run = model.run(histories, seed, threads=threads, batches=batches)
    return CheckResult(resolution, run, *inspected_mean_at(lam, period, resolution))


# --- Report -------------------------------------------------------------------------------


def table(results: list[CheckResult]) -> list[str]:
    lines = [f"  {'resolution':>10}  {'simulated (95%)':<34} {'whole-step theory':>18}"
             f" {'bias':>8}   simulated vs whole-step / continuous"]
    for r in results:
        mean = r.simulated_mean
        lines.append(f"  {r.resolution:>10}  {interval_text(mean):<34} {100 * r.whole_step_mean:>16.4f} %"
                     f" {100 * r.bias:>+7.2f} %   {mean.deviation(r.whole_step_mean):+5.1f}"
                     f" / {mean.deviation(r.continuous_mean):+5.1f} standard errors")
    return lines


def report_repairable(results: list[CheckResult]) -> str:
    lam, mu = REPAIR_FAILURE_RATE, REPAIR_REPAIR_RATE
    return "\n".join([
        f"Check 1: Exponential failure (rate lam = {lam}) and repair (rate mu = {mu}),"
        f" {REPAIR_HORIZON} time units, {results[0].run.histories:,} histories per resolution.",
        "  Continuous time: U(t) = lam/(lam+mu) (1 - exp(-(lam+mu) t)); its mean over the horizon"
        f" is {100 * results[0].continuous_mean:.4f} %.",
        "  Whole steps shorten the mean up and down times by about half a step (1/(e^r - 1)"
        " instead of 1/r):",
        "  the bias is the whole-step value's distance from the continuous one.",
        *table(results),
    ])


def report_inspected(results: list[CheckResult]) -> str:
    lam, period = INSPECTED_FAILURE_RATE, INSPECTION_PERIOD
    return "\n".join([
        f"Check 2: hidden Exponential failures (rate lam = {lam}) repaired at inspections every"
        f" T = {period} time units,",
        f"  {INSPECTED_HORIZON} time units, {results[0].run.histories:,} histories per resolution.",
        "  Continuous time: mean unavailability 1 - (1 - exp(-lam T))/(lam T) ="
        f" {100 * results[0].continuous_mean:.4f} %.",
        "  Whole steps count a failure during a step as failed for the whole step, about half a"
        " step more per period:",
        *table(results),
    ])


def main(argv: list[str] | None = None) -> int:
    parser = run_options(__doc__.splitlines()[0], default_histories=400_000)
    arguments = parse_run_options(parser, argv)
    options = dict(histories=arguments.histories, seed=arguments.seed,
                   batches=arguments.batches, threads=arguments.threads)
    print(report_repairable([check_repairable(r, **options) for r in RESOLUTIONS]), end="\n\n")
    print(report_inspected([check_inspected(r, **options) for r in RESOLUTIONS]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
