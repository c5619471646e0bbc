"""tarvokit: availability studies with tarvo, from a model file to a result with intervals.

    import tarvokit
    model = tarvokit.load("examples/cooling_water_loop.toml")
    result = model.run(histories=100_000, seed=1)
    print(result.summary())
    result.plot("out/plot.png")

The layers: model.py reads and checks a model (laws.py, logic.py), planner.py plans the runs
through the execution seam (execution.py), result.py holds the data and its views (report.py,
plotting.py), cli.py is the `tarvo` command.
"""

from importlib import metadata

from .errors import ModelError, ModelWarning
from .execution import Executor, InProcessExecutor, Task, TaskResult, run_task
from .importance import ImportanceResult
from .model import DEFAULT_RESOLUTION, Model, load
from .planner import StudyInterrupted
from .result import Batch, Result, combine
from .sweep import Sweep, SweepResult

try:
    __version__ = metadata.version("tarvo")
except metadata.PackageNotFoundError:  # run from the source tree
    __version__ = "0.1.0"

__all__ = ["Batch", "DEFAULT_RESOLUTION", "Executor", "ImportanceResult", "InProcessExecutor",
           "Model", "ModelError", "ModelWarning", "Result", "StudyInterrupted", "Sweep",
           "SweepResult", "Task", "TaskResult", "combine", "load", "run_task", "__version__"]
