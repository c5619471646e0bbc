"""Running studies: one options object (options.py), one planner for single and paired runs with
precision rounds and interruption (planner.py), and the studies on top of it: a run, importance,
sweeps (study.py, importance.py, sweep.py)."""

from .options import RunOptions
from .planner import PlannedRun, StudyInterrupted, run_paired, run_study
from .study import Study, load

__all__ = ["PlannedRun", "RunOptions", "Study", "StudyInterrupted", "load", "run_paired",
           "run_study"]
