"""Checks the simulator against unavailabilities known from theory.

1. A repairable component with Exponential failures (rate lam) and Exponential repairs (rate mu).
   In continuous time its unavailability is U(t) = lam/(lam+mu) * (1 - exp(-(lam+mu) t)).
2. A component whose failures (Exponential, rate lam) stay hidden until a periodic inspection
   (period T) repairs them. In continuous time its mean unavailability is
   1 - (1 - exp(-lam T)) / (lam T), about lam T / 2.

The engine does not run in continuous time: a transition's delay is its law's quantile truncated
toward zero, so every event happens at a whole time unit, and a delay of 0 fires at once. Each
check therefore states the whole-unit value that the engine should reproduce exactly (derived
below, independently of tarvo), how far it lies from the continuous formula and why; then it
compares the simulation with both.
"""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass

import numpy as np

import tarvo

from estimates import (DEFAULT_BATCHES, BatchedRun, Interval, interval_text, parse_run_options,
                       run_batches, run_options)

# Check 1: mean up time 100, mean repair 10 time units; the transient dies out as
# exp(-0.11 t), so from t = 100 on the curve is stationary to better than 1e-4 of its value.
REPAIR_FAILURE_RATE, REPAIR_REPAIR_RATE = 0.01, 0.1
REPAIR_HORIZON, REPAIR_STATIONARY_FROM = 200, 100
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


# --- Simulation ---------------------------------------------------------------------------


def single_component_tree() -> tarvo.CutsetTree:
    tree = tarvo.CutsetTree(1)
    tree.insertNode([1])
    return tree


def one_component_model(failure, repair) -> list:
    never = tarvo.Distribution()
    return [[[never, failure], [repair, never]]]


@dataclass(frozen=True)
class CurveComparison:
    """A simulated curve against a theoretical one, time unit by time unit."""

    inside_interval: int  # time units whose 95% interval contains the theory
    time_units: int
    largest_deviation: float  # largest |simulated - theory|, in binomial standard errors

    @staticmethod
    def of(run: BatchedRun, theory: np.ndarray) -> "CurveComparison":
        low, high = run.band()
        inside = int(np.count_nonzero((low <= theory) & (theory <= high)))
        # Where the theory is exactly 0 or 1 (the continuous curve at t = 0), a binomial count
        # has no spread; the simulated proportion gives the scale there instead.
        degenerate = (theory <= 0) | (theory >= 1)
        p = np.clip(np.where(degenerate, run.unavailability, theory),
                    1 / run.histories, 1 - 1 / run.histories)
        deviation = np.abs(run.unavailability - theory) / np.sqrt(p * (1 - p) / run.histories)
        return CurveComparison(inside, len(theory), float(deviation.max()))

    def text(self) -> str:
        return (f"{self.inside_interval:>4} of {self.time_units};"
                f" {self.largest_deviation:.1f} standard errors")


@dataclass(frozen=True)
class CheckResult:
    run: BatchedRun
    simulated_mean: Interval  # over the window the theoretical means refer to
    continuous_mean: float
    whole_unit_mean: float
    whole_unit_curve: CurveComparison
    continuous_curve: CurveComparison


def run_check(model, horizon: int, means: tuple[float, float], whole_unit_curve,
              continuous_curve, histories: int, seed: int, batches: int, progress,
              mean_from: int = 0) -> CheckResult:
    """Simulates one component and compares it with its continuous and whole-unit theory."""
    run = run_batches(tarvo.runnerParallelSim, histories, horizon, model,
                      single_component_tree(), seed, batches, progress)
    continuous, whole = means
    return CheckResult(run, run.mean(mean_from), continuous, whole,
                       CurveComparison.of(run, whole_unit_curve),
                       CurveComparison.of(run, continuous_curve))


def check_repairable(histories: int, seed: int, batches: int = DEFAULT_BATCHES,
                     progress=None) -> CheckResult:
    lam, mu = REPAIR_FAILURE_RATE, REPAIR_REPAIR_RATE
    times = np.arange(REPAIR_HORIZON)
    return run_check(one_component_model(tarvo.Exponential(lam), tarvo.Exponential(mu)),
                     REPAIR_HORIZON, repairable_stationary(lam, mu),
                     repairable_whole_units(lam, mu, times), repairable_continuous(lam, mu, times),
                     histories, seed, batches, progress, mean_from=REPAIR_STATIONARY_FROM)


def check_inspected(histories: int, seed: int, batches: int = DEFAULT_BATCHES,
                    progress=None) -> CheckResult:
    lam, period = INSPECTED_FAILURE_RATE, INSPECTION_PERIOD
    times = np.arange(INSPECTED_HORIZON)
    return run_check(one_component_model(tarvo.Exponential(lam), tarvo.Inspection(period)),
                     INSPECTED_HORIZON, inspected_mean(lam, period),
                     inspected_whole_units(lam, period, times), inspected_continuous(lam, period, times),
                     histories, seed, batches, progress)


# --- Report -------------------------------------------------------------------------------


def _comparison_lines(result: CheckResult) -> list[str]:
    mean = result.simulated_mean
    curve_header = "  time unit by time unit (inside the 95% interval; largest deviation):"
    return [
        f"  simulated:              {interval_text(mean)}",
        f"  whole-unit theory:      {100 * result.whole_unit_mean:.3f} %"
        f"  ({mean.deviation(result.whole_unit_mean):+.1f} standard errors)",
        f"  continuous-time theory: {100 * result.continuous_mean:.3f} %"
        f"  ({mean.deviation(result.continuous_mean):+.1f} standard errors)",
        curve_header,
        f"    whole-unit theory:      {result.whole_unit_curve.text()}",
        f"    continuous-time theory: {result.continuous_curve.text()}",
    ]


def report_repairable(result: CheckResult) -> str:
    lam, mu = REPAIR_FAILURE_RATE, REPAIR_REPAIR_RATE
    continuous, whole = result.continuous_mean, result.whole_unit_mean
    return "\n".join([
        f"Check 1: Exponential failure (rate lam = {lam}) and repair (rate mu = {mu}),"
        f" {REPAIR_HORIZON} time units,",
        f"  {result.run.histories:,} histories.",
        "  Continuous time: U(t) = lam/(lam+mu) (1 - exp(-(lam+mu) t)), stationary"
        f" {100 * continuous:.3f} %.",
        "  Whole time units shorten the mean up and down times from"
        f" {1 / lam:.0f} and {1 / mu:.0f} to 1/(e^lam - 1) = {1 / math.expm1(lam):.2f}",
        f"  and 1/(e^mu - 1) = {1 / math.expm1(mu):.3f}: expected stationary value"
        f" {100 * whole:.3f} %, {100 * (whole / continuous - 1):+.1f} % from the continuous one.",
        f"Mean unavailability over t = {REPAIR_STATIONARY_FROM}..{REPAIR_HORIZON - 1}"
        " (stationary), 95% confidence:",
        *_comparison_lines(result),
    ])


def report_inspected(result: CheckResult) -> str:
    lam, period = INSPECTED_FAILURE_RATE, INSPECTION_PERIOD
    continuous, whole = result.continuous_mean, result.whole_unit_mean
    return "\n".join([
        f"Check 2: hidden Exponential failures (rate lam = {lam}) repaired at inspections,",
        f"  every T = {period} time units, {INSPECTED_HORIZON} time units,"
        f" {result.run.histories:,} histories.",
        "  Continuous time: mean unavailability 1 - (1 - exp(-lam T))/(lam T) ="
        f" {100 * continuous:.3f} %",
        f"  (about lam T / 2 = {100 * lam * period / 2:.3f} %).",
        "  Whole time units count a failure during a unit as failed for the whole unit: expected"
        f" {100 * whole:.3f} %,",
        f"  {100 * (whole - continuous):+.3f} points ({100 * (whole / continuous - 1):+.1f} %)"
        " from the continuous value.",
        f"Mean unavailability over the {INSPECTED_HORIZON} time units, 95% confidence:",
        *_comparison_lines(result),
    ])


def main(argv: list[str] | None = None) -> int:
    parser = run_options(__doc__.splitlines()[0], default_histories=400_000)
    arguments = parse_run_options(parser, argv)
    repairable = check_repairable(arguments.histories, arguments.seed, arguments.batches)
    print(report_repairable(repairable), end="\n\n")
    inspected = check_inspected(arguments.histories, arguments.seed, arguments.batches)
    print(report_inspected(inspected))
    return 0


if __name__ == "__main__":
    sys.exit(main())
