"""What a study measured: results, their statistics (stats.py, the one place they live), and
their files (results.json, curve.csv, written whole, in folders one run at a time)."""

from .files import OutputError, OutputFolder, atomic_write_text, check_output_folder
from .importance import ImportanceResult, Measure, Row
from .result import Batch, Result, ResultError, combine, read, study_id
from .stats import Interval
from .sweep import SweepResult

__all__ = ["Batch", "ImportanceResult", "Interval", "Measure", "OutputError", "OutputFolder",
           "Result", "ResultError", "Row", "SweepResult", "atomic_write_text",
           "check_output_folder", "combine", "read", "study_id"]
