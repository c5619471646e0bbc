"""Availability of a cooling-water loop over one year: tarvo's main example.

The loop (time unit: one hour; horizon: one year, 8760 h) has five components:
- two redundant pumps: the loop needs one of them. They wear out (Weibull failures, shape above
  1) and are repaired as good as new (Exponential repair times);
- an isolation valve whose failures are hidden: nobody notices until the monthly inspection,
  which finds and repairs it (an Inspection law on the repair);
- a controller with random failures (Exponential failure and repair) and a planned maintenance
  every quarter, started by the schedule (an Inspection law) and lasting 4, 6 or 8 hours (a
  Maintenance law); the loop is down while the controller is in maintenance. A controller
  that is under repair when maintenance is due skips that maintenance: the schedule is read
  again when it comes back, and the repair has done the job;
- a power supply, a single point of failure, replaced within 2 to 10 hours (Uniform).

The loop is failed when the power supply, the controller or the valve is down, or both pumps are:
minimal cut sets {power}, {controller}, {valve}, {pump A, pump B}.

The report gives the mean unavailability over the year with a 95% confidence interval (batch
means over independent sub-batches, see estimates.py), the unavailability at chosen hours (Wilson
intervals), the expected downtime and the speed of the run; a PNG shows the unavailability curve
with its pointwise 95% band.
"""

from __future__ import annotations

import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import tarvo

from estimates import (DEFAULT_BATCHES, BatchedRun, interval_text, parse_run_options, run_batches,
                       run_options)

HOURS_PER_YEAR = 8760
PROJECT_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_PLOT = PROJECT_ROOT / "out" / "cooling_water_loop.png"

PUMP_SCALE_H, PUMP_SHAPE, PUMP_MEAN_REPAIR_H = 4000.0, 1.8, 36.0
VALVE_MTTF_H, VALVE_INSPECTION_PERIOD_H = 50_000.0, 730
CONTROLLER_MTTF_H, CONTROLLER_MEAN_REPAIR_H = 20_000.0, 8.0
CONTROLLER_MAINTENANCE_PERIOD_H, CONTROLLER_MAINTENANCE_DURATIONS_H = 2190, (4, 6, 8)
POWER_MTTF_H, POWER_REPLACEMENT_H = 30_000.0, (2.0, 10.0)

# Hours whose unavailability the report lists, with what happens then.
REPORTED_HOURS = (
    (23, "end of the first day"),
    (729, "last hour before the first valve inspection"),
    (730, "first hour after it"),
    (CONTROLLER_MAINTENANCE_PERIOD_H, "first planned controller maintenance"),
    (CONTROLLER_MAINTENANCE_PERIOD_H + 5, "5 h into it (only 6 h and 8 h jobs left)"),
    (HOURS_PER_YEAR - 1, "last hour of the year"),
)


@dataclass(frozen=True)
class Component:
    name: str
    description: str
    laws: list  # laws[s][k] times the transition from state s into state k


# Every component has three states: 0 working, 1 failed, 2 in planned maintenance. Only the
# controller uses the third, but the engine takes the number of states from the first component
# for all of them.


def _two_state(failure, repair) -> list:
    """Laws of a component that fails and is repaired; it never enters maintenance."""
    never = tarvo.Distribution()
    return [[never, failure, never],
            [repair, never, never],
            [never, never, never]]


def build_components() -> list[Component]:
    never = tarvo.Distribution()
    pump_laws = _two_state(tarvo.Weibull(PUMP_SCALE_H, PUMP_SHAPE),
                           tarvo.Exponential(1 / PUMP_MEAN_REPAIR_H))
    pump_text = (f"wear-out failures Weibull(scale {PUMP_SCALE_H:.0f} h, shape {PUMP_SHAPE}), "
                 f"repair Exponential (mean {PUMP_MEAN_REPAIR_H:.0f} h)")
    controller_laws = [
        [never, tarvo.Exponential(1 / CONTROLLER_MTTF_H),
         tarvo.Inspection(CONTROLLER_MAINTENANCE_PERIOD_H)],
        [tarvo.Exponential(1 / CONTROLLER_MEAN_REPAIR_H), never, never],
        [tarvo.Maintenance(list(CONTROLLER_MAINTENANCE_DURATIONS_H)), never, never],
    ]
    durations = ", ".join(str(h) for h in CONTROLLER_MAINTENANCE_DURATIONS_H[:-1])
    return [
        Component("pump A", pump_text, pump_laws),
        Component("pump B", "the same as pump A, independently", pump_laws),
        Component("valve",
                  f"hidden failures Exponential (MTTF {VALVE_MTTF_H:,.0f} h), found and repaired"
                  f" at the inspection every {VALVE_INSPECTION_PERIOD_H} h",
                  _two_state(tarvo.Exponential(1 / VALVE_MTTF_H),
                             tarvo.Inspection(VALVE_INSPECTION_PERIOD_H))),
        Component("controller",
                  f"failures Exponential (MTTF {CONTROLLER_MTTF_H:,.0f} h), repair Exponential"
                  f" (mean {CONTROLLER_MEAN_REPAIR_H:.0f} h); planned maintenance every"
                  f" {CONTROLLER_MAINTENANCE_PERIOD_H} h lasting {durations} or"
                  f" {CONTROLLER_MAINTENANCE_DURATIONS_H[-1]} h",
                  controller_laws),
        Component("power supply",
                  f"single point of failure: Exponential (MTTF {POWER_MTTF_H:,.0f} h),"
                  f" replacement Uniform({POWER_REPLACEMENT_H[0]:.0f} h,"
                  f" {POWER_REPLACEMENT_H[1]:.0f} h)",
                  _two_state(tarvo.Exponential(1 / POWER_MTTF_H),
                             tarvo.Uniform(*POWER_REPLACEMENT_H))),
    ]


def minimal_cut_sets(components: list[Component]) -> list[list[int]]:
    """The loop's failure logic as indicator vectors over the components, in their order."""
    sets = [["power supply"], ["controller"], ["valve"], ["pump A", "pump B"]]
    return [[1 if c.name in members else 0 for c in components] for members in sets]


def build_tree(components: list[Component]) -> tarvo.CutsetTree:
    tree = tarvo.CutsetTree(len(components))
    tree.constructTree(minimal_cut_sets(components))
    return tree


def simulate(histories: int, seed: int, batches: int = DEFAULT_BATCHES,
             progress=None) -> BatchedRun:
    components = build_components()
    model = [c.laws for c in components]
    return run_batches(tarvo.runnerParallelSim, histories, HOURS_PER_YEAR, model,
                       build_tree(components), seed, batches, progress)


def report(run: BatchedRun, plot_path: Path) -> str:
    mean = run.mean()
    downtime = mean.scaled(HOURS_PER_YEAR)
    lines = [
        f"Cooling-water loop over one year ({HOURS_PER_YEAR} h), {run.histories:,} histories",
        "",
        "Model (time unit: 1 hour; every component starts working):",
    ]
    lines += [textwrap.fill(c.description, width=100, initial_indent=f"  {c.name:<13} ",
                            subsequent_indent=" " * 16) for c in build_components()]
    lines += [
        "  the loop fails when: power supply OR controller OR valve OR (pump A AND pump B)",
        "",
        "Mean unavailability over the year (95% confidence, batch means over"
        f" {len(run.batch_sizes)} independent sub-batches):",
        f"  {interval_text(mean)}",
        "Expected downtime:",
        f"  {downtime.estimate:.1f} h per year  [{downtime.low:.1f} h, {downtime.high:.1f} h]",
        "Unavailability during chosen hours (95% Wilson intervals; hour t runs from t to t+1):",
    ]
    for hour, what in REPORTED_HOURS:
        lines.append(f"  t = {hour:>4} h  {interval_text(run.at(hour)):<38} {what}")
    lines += [
        f"Run: {run.histories:,} histories on {run.workers} in {run.seconds:.2f} s:"
        f" {run.histories_per_second:,.0f} histories per second",
        "Note: the maintenance durations come from the C library's process-wide generator, not"
        " from",
        "the seed, so two runs with the same seed differ slightly (within the intervals above).",
        f"Plot of the unavailability curve: {plot_path}",
    ]
    return "\n".join(lines)


def plot(run: BatchedRun, path: Path) -> None:
    """The whole year on a log scale, and the first month on a linear one."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (year, month) = plt.subplots(2, 1, figsize=(11, 8.5), dpi=110,
                                      gridspec_kw={"height_ratios": [3, 2]})
    _draw_curve(year, run, 0, HOURS_PER_YEAR, log_scale=True)
    year.set_title(f"Cooling-water loop: unavailability over one year ({run.histories:,}"
                   " histories)")
    year.set_xticks(range(0, HOURS_PER_YEAR + 1, VALVE_INSPECTION_PERIOD_H))
    year.set_xlabel("time (h); grey lines: monthly valve inspections;"
                    " peaks: quarterly controller maintenance")
    first_month = VALVE_INSPECTION_PERIOD_H + 10
    _draw_curve(month, run, 0, first_month, log_scale=False)
    month.set_title("The first month: hidden valve failures accumulate until the inspection")
    month.set_xlabel("time (h)")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


def _draw_curve(ax, run: BatchedRun, start: int, stop: int, log_scale: bool) -> None:
    hours = np.arange(start, stop)
    unavailability = run.unavailability[start:stop]
    low, high = (bound[start:stop] for bound in run.band())
    mean = run.mean()
    if log_scale:
        # Hours without any failed history sit at the bottom of the axis.
        positive = unavailability[unavailability > 0]
        floor = 10 ** np.floor(np.log10(positive.min())) if positive.size else 0.5 / run.histories
        unavailability, low, high = (np.maximum(v, floor) for v in (unavailability, low, high))
        ax.set_yscale("log")
        ax.set_ylim(floor, 1.5)
    else:
        ax.set_ylim(0, 1.15 * high.max())
    ax.fill_between(hours, low, high, step="post", color="tab:blue", alpha=0.3, linewidth=0,
                    label="pointwise 95% interval")
    ax.step(hours, unavailability, where="post", color="tab:blue", linewidth=0.7,
            label="unavailability during each hour")
    ax.axhline(mean.estimate, color="tab:red", linewidth=1.2, linestyle="--",
               label=f"mean over the year {100 * mean.estimate:.3f} %"
                     f" [{100 * mean.low:.3f}, {100 * mean.high:.3f}] %")
    for t in range(VALVE_INSPECTION_PERIOD_H, stop, VALVE_INSPECTION_PERIOD_H):
        ax.axvline(t, color="grey", linewidth=0.5, alpha=0.6)
    ax.set_xlim(start, stop)
    ax.set_ylabel("unavailability")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(loc="lower right" if log_scale else "upper left", fontsize=9)


def parse_arguments(argv: list[str] | None):
    parser = run_options(__doc__.splitlines()[0], default_histories=100_000)
    parser.add_argument("--output", type=Path, default=DEFAULT_PLOT,
                        help=f"PNG file of the plot (default {DEFAULT_PLOT})")
    return parse_run_options(parser, argv)


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    print(f"Simulating {arguments.histories:,} years of the cooling-water loop...",
          file=sys.stderr, flush=True)
    run = simulate(arguments.histories, arguments.seed, arguments.batches,
                   progress=lambda line: print(line, file=sys.stderr, flush=True))
    output = arguments.output.resolve()
    plot(run, output)
    print(report(run, output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
