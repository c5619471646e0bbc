"""tarvokit: availability studies with tarvo, from a model file to a result with intervals.

    import tarvokit
    study = tarvokit.load("examples/cooling_water_loop.toml")
    result = study.run(histories=100_000, seed=1)
    print(tarvokit.summary(result))
    result.to_json("out/results.json")
    again = tarvokit.read("out")            # a folder a run wrote into

The package is in one-way layers, each importing only those below it:
- model:   reading and checking model files and dicts, describing them, sweep variants;
- engine:  a model's description turned into engine inputs, tasks, executors (here, Dask);
- data:    results, their statistics and files;
- studies: the options, the planner (single and paired runs, precision, interruption), and the
           studies on it: run, importance, sweep;
- views:   text reports and plots drawn on a caller's matplotlib axes;
- command: the `tarvo` command.
Names are resolved when first used, so that `import tarvokit` and the command start fast.
"""

from __future__ import annotations

import importlib
from typing import Any

# Public name -> the module that defines it.
_PUBLIC = {
    "DEFAULT_RESOLUTION": "model.reading",
    "ModelError": "model.errors",
    "ModelWarning": "model.errors",
    "Sweep": "model.variants",
    "parse_sweep_option": "model.variants",
    "Executor": "engine.tasks",
    "InProcessExecutor": "engine.tasks",
    "Task": "engine.tasks",
    "TaskResult": "engine.tasks",
    "run_task": "engine.tasks",
    "Batch": "data.result",
    "Result": "data.result",
    "ResultError": "data.result",
    "combine": "data.result",
    "read": "data.result",
    "Interval": "data.stats",
    "ImportanceResult": "data.importance",
    "SweepResult": "data.sweep",
    "OutputError": "data.files",
    "RunOptions": "studies.options",
    "StudyInterrupted": "studies.planner",
    "Study": "studies.study",
    "load": "studies.study",
    "summary": "views.text",
    "model_text": "views.text",
    "draw_result": "views.plots",
    "draw_unavailability": "views.plots",
    "draw_importance": "views.importance_views",
    "draw_sweep": "views.sweep_views",
}
# A study reads as the model it holds: `tarvokit.Model.from_dict(...)` gives one.
_ALIASES = {"Model": ("studies.study", "Study")}

__all__ = sorted([*_PUBLIC, *_ALIASES, "__version__"])


def __getattr__(name: str) -> Any:
    if name == "__version__":
        from ._version import package_version

        value = package_version()
    elif name in _PUBLIC:
        value = getattr(importlib.import_module(f".{_PUBLIC[name]}", __name__), name)
    elif name in _ALIASES:
        module, attribute = _ALIASES[name]
        value = getattr(importlib.import_module(f".{module}", __name__), attribute)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return __all__
