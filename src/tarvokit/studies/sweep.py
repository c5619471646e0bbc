"""Sweeps: the model run once per value of one parameter, on the same seeds (data/sweep.py says
how the values are compared)."""

from __future__ import annotations

from ..data.sweep import SweepResult
from ..model.reading import Model, variants
from ..model.variants import Sweep, value_text
from .options import RunOptions
from .planner import PlannedRun, run_paired


def run_sweep(model: Model, sweep: Sweep, options: RunOptions) -> SweepResult:
    """Runs every variant on seeds seed .. seed + histories - 1, in the same sub-batches. The
    file's own [sweep] reuses the variants checked when the file was read."""
    models = (model.variants if sweep is model.sweep and model.variants
              else variants(model, sweep))
    runs = [PlannedRun(variant, None, f"{sweep.parameter} = {value_text(value)}")
            for value, variant in zip(sweep.values, models)]
    results, seconds = run_paired(runs, options, what="value")
    return SweepResult(sweep, tuple(results), seconds)
