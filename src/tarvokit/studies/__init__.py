"""Running studies: one options object (options.py), one planner for single and paired runs with
precision rounds and interruption (planner.py), and the studies on top of it: a run, importance,
sweeps (study.py, importance.py, sweep.py)."""

from .._lazy import lazy_names

_WHERE = {
    "RunOptions": "options",
    "PlannedRun": "planner",
    "StudyInterrupted": "planner",
    "run_paired": "planner",
    "run_study": "planner",
    "Study": "study",
    "load": "study",
}
__all__ = sorted(_WHERE)
__getattr__, __dir__ = lazy_names(__name__, _WHERE)
