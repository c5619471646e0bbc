"""Running the engine: a model's description turned into engine inputs (build.py), tasks that are
one runner call each (tasks.py), and executors that run tasks in this process or on a Dask
cluster (cluster.py)."""

from .._lazy import lazy_names

_WHERE = {
    "EngineInputs": "build",
    "engine_inputs": "build",
    "engine_laws": "build",
    "engine_tree": "build",
    "Executor": "tasks",
    "InProcessExecutor": "tasks",
    "Task": "tasks",
    "TaskResult": "tasks",
    "available_cores": "tasks",
    "run_task": "tasks",
}
__all__ = sorted(_WHERE)
__getattr__, __dir__ = lazy_names(__name__, _WHERE)
