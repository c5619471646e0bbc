"""Running the engine: a model's description turned into engine inputs (build.py), tasks that are
one runner call each (tasks.py), and executors that run tasks in this process or on a Dask
cluster (cluster.py)."""

from .build import EngineInputs, engine_inputs, engine_laws, engine_tree
from .tasks import Executor, InProcessExecutor, Task, TaskResult, available_cores, run_task

__all__ = ["EngineInputs", "Executor", "InProcessExecutor", "Task", "TaskResult",
           "available_cores", "engine_inputs", "engine_laws", "engine_tree", "run_task"]
