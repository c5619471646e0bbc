"""What a calendar costs per event: the cooling-water loop with and without phases.

    PYTHONPATH=src .venv/bin/python bench/bench_calendar.py [--histories 20000] [--repeats 5]

Runs the same histories of examples/cooling_water_loop.toml on one thread four ways and prints
the time per history and per event of each (best of the repeats) and the ratio per event to the
first:
  plain         runnerStudy, no calendar (today's engine path)
  one phase     runnerCalendarStudy with one required phase: the calendar's bookkeeping alone
                (all and unplanned downtime, per-phase sums) on the very same events
  phases        an operation of Normal(2000, 100) h and a maintenance stop of 160 h, both
                required: a few more events per history (the phase changes), the pumps' clocks
                re-paced (duty 0.5 in the stop), their repairs held until the stop
  tests         the phases, and the valve tested with an offset, a duration and an efficiency
Events per history are counted by the calendar's output (each event, a phase's start and a test
included); the plain run has the one-phase run's. Goal: at most 1.3 times the plain cost per
event.
"""

from __future__ import annotations

import argparse
import copy
import time
from pathlib import Path

import tarvo
import tarvokit
from tarvokit.engine.build import engine_inputs

LOOP = Path(__file__).resolve().parent.parent / "examples" / "cooling_water_loop.toml"


def variants() -> dict[str, dict]:
    model = tarvokit.load(LOOP).model
    base = model.input
    phased = copy.deepcopy(base)
    phased["phases"] = {
        "sequence": ["operation", "stop"],
        "operation": {"duration": {"law": "Normal", "mean": 2000, "sd": 100}},
        "stop": {"duration": 160},
    }
    pump = phased["components"]["pump"]
    pump["duty"] = {"stop": 0.5}
    pump["repair"] = {**pump["repair"], "held_until": "stop"}
    tested = copy.deepcopy(phased)
    tested["components"]["valve"]["repair"] = {"law": "Inspection", "period": 730,
                                               "offset": 365, "duration": 2,
                                               "efficiency": 0.9}
    return {"phases": phased, "tests": tested, "plain": base}


def timed(call, repeats: int) -> tuple[float, dict]:
    """The best time of `repeats` calls, and what the call returned."""
    best, figures = float("inf"), {}
    for _ in range(repeats):
        started = time.perf_counter()
        figures = call()
        best = min(best, time.perf_counter() - started)
    return best, figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--histories", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=5)
    arguments = parser.parse_args()
    n, repeats = arguments.histories, arguments.repeats
    models = {name: tarvokit.Model.from_dict(data, str(LOOP), LOOP.parent)
              for name, data in variants().items()}
    plain = engine_inputs(models["plain"].model.description)
    calendar = tarvo.Calendar(len(models["plain"].names))
    names = models["plain"].names
    calendar.addLogic([[names.index(m) for m in s]
                       for s in models["plain"].model.description["system"]["cut_sets"]])
    calendar.setSequence([calendar.addPhase("all", plain.steps, None, True, 0)])
    runs = {
        "plain": lambda: tarvo.runnerStudy(plain.laws, plain.tree, plain.steps, n, 1, 1,
                                           plain.steps_per_unit),
        "one phase": lambda: tarvo.runnerCalendarStudy(plain.laws, plain.tree, plain.steps, n,
                                                       1, 1, plain.steps_per_unit, None,
                                                       calendar),
    }
    for name in ("phases", "tests"):
        inputs = engine_inputs(models[name].model.description)
        runs[name] = (lambda i: lambda: tarvo.runnerCalendarStudy(
            i.laws, i.tree, i.steps, n, 1, 1, i.steps_per_unit, **i.extra))(inputs)
    print(f"{LOOP.name}: {n:,} histories of 8,760 h on one thread, best of {repeats}")
    print("  (the plain run's events are the one-phase run's: the same histories, draw for"
          " draw)")
    reference = None
    # Interleaved, so that a slower spell of a shared machine falls on every variant alike.
    seconds: dict[str, tuple[float, dict]] = {}
    for _ in range(repeats):
        for name, call in runs.items():
            cost, figures = timed(call, 1)
            if name not in seconds or cost < seconds[name][0]:
                seconds[name] = (cost, figures)
    plain_events = seconds["one phase"][1]["events"]
    for name, (cost, figures) in seconds.items():
        events = figures.get("events", plain_events)
        per_event = cost / events
        reference = reference or per_event
        print(f"  {name:10s} {1e6 * cost / n:7.2f} us per history, {events / n:6.1f} events per"
              f" history, {1e9 * per_event:6.1f} ns per event   x{per_event / reference:.2f}")


if __name__ == "__main__":
    main()
