"""A model's calendar (model/calendar.py) in the engine's terms: a `tarvo.Calendar`.

`build_calendar` takes the component model the engine runs (laws[c][s][k], one state count for
all, with each component's engine state names) and returns it with the calendar that goes with
it, for `tarvo.runnerCalendarStudy`. What it does to the model:

- Phases are numbered in the order of the description's [phases] tables, logics from 0 (the
  system's) up, one per phase with its own; a model without [phases] has one phase, the whole
  study, required.
- A test (an Inspection into the working state with offset, duration or efficiency) is run by
  the engine's test slot instead of its law, which is taken out of the model; a test with a
  duration adds one state to every component (padding), the test state, down and planned.
- Durations and times in time units become whole steps at the study's resolution; duration laws
  are built by `laws_builder(table, path)` as every other law.
"""

from __future__ import annotations

from typing import Callable, Sequence

import tarvo

from ..model.calendar import HELD_KEY, WHOLE_STUDY, is_test, time_steps

LawsBuilder = Callable[[dict, str], tarvo.Distribution]


def build_calendar(description: dict, laws: list, states: Sequence[Sequence[str]],
                   laws_builder: LawsBuilder,
                   cut_sets: Sequence[Sequence[int | str]] | None = None
                   ) -> tuple[list, tarvo.Calendar]:
    """The component model with its tests taken out (and the test state added when a test has a
    duration), and the calendar; `cut_sets` (indices or names) replaces the system's logic."""
    resolution = int(description["study"]["resolution"])
    names = list(description["components"])
    position = {name: i for i, name in enumerate(names)}
    calendar = tarvo.Calendar(len(names))
    system = description["system"]["cut_sets"] if cut_sets is None else cut_sets
    calendar.addLogic([[position[m] if isinstance(m, str) else int(m) for m in s]
                       for s in system])

    table = description.get("phases")
    if table is None:
        phase_names = [WHOLE_STUDY]
        steps = int(description["study"]["horizon"]) * resolution
        calendar.addPhase(WHOLE_STUDY, max(steps, 1), None, True, 0)
        calendar.setSequence([0])
    else:
        phase_names = [name for name in table if name != "sequence"]
        for name in phase_names:
            entry = table[name]
            logic = 0
            if "cut_sets" in entry:
                logic = calendar.addLogic([[position[m] for m in s] for s in entry["cut_sets"]])
            duration = entry["duration"]
            if isinstance(duration, dict):
                law = laws_builder(duration, f"phases.{name}.duration")
                calendar.addPhase(name, 1, law, bool(entry["required"]), logic)
            else:
                calendar.addPhase(name, time_steps(duration, resolution), None,
                                  bool(entry["required"]), logic)
        for index, name in enumerate(phase_names):
            switch = table[name].get("on_system_failure")
            if switch is not None:
                calendar.setOnSystemFailure(index, phase_names.index(switch))
        calendar.setSequence([phase_names.index(name) for name in table["sequence"]])

    count = len(laws[0]) if laws else 0
    tests = []
    for c, (name, entry) in enumerate(description["components"].items()):
        engine_states = list(states[c])
        for transition in entry["transitions"]:
            source = engine_states.index(transition["from"])
            if HELD_KEY in transition:
                calendar.setHeldUntil(c, phase_names.index(transition[HELD_KEY]))
            if is_test(transition):
                laws[c][source][0] = tarvo.Distribution()  # the test slot repairs it
                tests.append((c, transition))
        if "duty" in entry:
            calendar.setDuty(c, [float(entry["duty"].get(p, 1.0)) for p in phase_names])
    with_duration = any(float(t.get("duration", 0)) > 0 for _, t in tests)
    if with_duration:
        never = tarvo.Distribution()
        laws = [[row + [never] for row in rows] + [[never] * (count + 1)] for rows in laws]
    for c, (name, entry) in enumerate(description["components"].items()):
        planned = [state in entry.get("planned", ()) for state in states[c]]
        if with_duration:
            planned += [False] * (count - len(planned)) + [True]
        if any(planned):
            calendar.setPlanned(c, planned)
    for c, transition in tests:
        period = time_steps(float(transition["period"]), resolution)
        offset = transition.get("offset")
        calendar.addTest(c, period,
                         period if offset is None else time_steps(float(offset), resolution),
                         time_steps(float(transition.get("duration", 0)), resolution),
                         float(transition.get("efficiency", 1.0)),
                         count if with_duration else -1)
    return laws, calendar
