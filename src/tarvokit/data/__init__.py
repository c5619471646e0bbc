"""What a study measured: results, their statistics (stats.py, the one place they live), and
their files (results.json, curve.csv, written whole, in folders one run at a time)."""

from .._lazy import lazy_names

_WHERE = {
    "OutputError": "files",
    "OutputFolder": "files",
    "atomic_write_text": "files",
    "check_output_folder": "files",
    "ImportanceResult": "importance",
    "Measure": "importance",
    "Row": "importance",
    "Batch": "result",
    "Result": "result",
    "ResultError": "result",
    "combine": "result",
    "read": "result",
    "study_id": "result",
    "Interval": "stats",
    "SweepResult": "sweep",
}
__all__ = sorted(_WHERE)
__getattr__, __dir__ = lazy_names(__name__, _WHERE)
