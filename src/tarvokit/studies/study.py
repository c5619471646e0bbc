"""A study: a checked model and what can be done with it (run, importance, sweep).

`tarvokit.load(path)` and `tarvokit.Model.from_dict(data)` give a Study. It holds the model
(model/reading.py, `study.model`) and answers the model's facts itself (name, components,
cut_sets, horizon, steps, ...), so scripts written against the model keep working.
"""

from __future__ import annotations

import time
from datetime import datetime, timezone
from pathlib import Path
from typing import TYPE_CHECKING, Any, Sequence

import tarvo

from ..data.importance import ImportanceResult
from ..data.result import Result, ResultError, study_id
from ..data.sweep import SweepResult
from ..engine.build import engine_laws, engine_tree
from ..engine.tasks import Executor
from ..model import reading
from ..model.variants import Sweep
from .importance import run_importance
from .options import DEFAULT_HISTORIES, RunOptions
from .._version import package_version
from .planner import PlannedRun, run_study
from .sweep import run_sweep

if TYPE_CHECKING:
    from distributed import Client

    from ..data.markov import MarkovResult


class Study:
    """A model ready to be studied."""

    def __init__(self, model: reading.Model):
        self.model = model

    @classmethod
    def from_dict(cls, data: Any, source: str = "<dict>", base_dir: Path | None = None
                  ) -> "Study":
        """Checks `data` (the model file's structure); see model.reading.Model.from_dict."""
        return cls(reading.Model.from_dict(data, source, base_dir))

    def __getattr__(self, name: str) -> Any:
        # The model's facts (name, horizon, components, cut_sets, description, ...).
        if name == "model":  # not yet set: during unpickling
            raise AttributeError(name)
        return getattr(self.model, name)

    def __repr__(self) -> str:
        return f"<Study {self.model.name!r} from {self.model.source}>"

    # --- The engine's inputs ---------------------------------------------------------------

    @property
    def steps(self) -> int:
        return self.model.steps

    def engine_laws(self) -> list:
        """The component model in engine steps: laws[c][s][k] times state s -> k."""
        return engine_laws(self.model.description)

    def engine_tree(self, cut_sets: Sequence[Sequence[int | str]] | None = None
                    ) -> tarvo.CutsetTree:
        """The cut sets as a CutsetTree; `cut_sets` (component indices or names) overrides the
        model's own logic."""
        override = None if cut_sets is None else \
            [sorted(s) for s in self.model.resolve_cut_sets(cut_sets)]
        return engine_tree(self.model.description, override)

    def with_resolution(self, resolution: int) -> "Study":
        return Study(self.model.with_resolution(resolution))

    # --- Studies ---------------------------------------------------------------------------

    def run(self, histories: int = DEFAULT_HISTORIES, seed: int = 1, threads: int | None = None,
            precision: float | None = None, max_histories: int | None = None,
            progress: bool = False, executor: Executor | None = None,
            batches: int | None = None, client: "Client | None" = None,
            resume: Result | None = None, precision_measure: str | None = None) -> Result:
        """Simulates the model (see RunOptions for the arguments). `resume`, a result of this
        model, is continued: the histories start at its next unused seed (`seed` is then
        ignored), the result returned holds both (interrupted only if this run was), and a
        precision target applies to the whole."""
        if resume is not None:
            self.check_resumable(resume)
            seed = resume.next_seed()
        options = RunOptions.of(client, histories=histories, seed=seed, threads=threads,
                                precision=precision, max_histories=max_histories,
                                progress=progress, executor=executor, batches=batches,
                                precision_measure=precision_measure)
        return run_study(PlannedRun(self.model), options, resume=resume)

    def importance(self, histories: int = DEFAULT_HISTORIES, seed: int = 1,
                   threads: int | None = None, progress: bool = False,
                   executor: Executor | None = None, batches: int | None = None,
                   client: "Client | None" = None) -> ImportanceResult:
        """Share and unique contribution / improvement potential of every cut set and
        component, from one run per derived logic on the same seeds."""
        options = RunOptions.of(client, histories=histories, seed=seed, threads=threads,
                                progress=progress, executor=executor, batches=batches)
        return run_importance(self.model, options)

    def sweep(self, sweep: Sweep | None = None, histories: int = DEFAULT_HISTORIES,
              seed: int = 1, threads: int | None = None, progress: bool = False,
              executor: Executor | None = None, batches: int | None = None,
              client: "Client | None" = None) -> SweepResult:
        """Runs the model once per value of a parameter (the file's [sweep] table unless
        `sweep` is given), all on the same seeds."""
        sweep = sweep or self.model.sweep
        if sweep is None:
            raise ValueError(f"{self.model.source}: no [sweep] table; give a sweep"
                             " (--sweep KEY=V1,V2,...)")
        options = RunOptions.of(client, histories=histories, seed=seed, threads=threads,
                                progress=progress, executor=executor, batches=batches)
        return run_sweep(self.model, sweep, options)

    def markov(self, state_limit: int = 200_000) -> "MarkovResult":
        """The exact answer of the model's continuous-time Markov chain, when every law is
        Exponential: MarkovError (a ModelError) names the first transition that is not, or
        gives the size of a chain above `state_limit` states."""
        # scipy.sparse is loaded by the studies that solve a chain, not by every command.
        from ..data.markov import MarkovResult
        from ..engine.markov import solve_markov

        started = time.perf_counter()
        if "phases" in self.model.description:  # one generator per phase
            from ..engine.markov_calendar import solve_phased

            answer = solve_phased(self.model.description, state_limit, self.model.source)
        else:
            answer = solve_markov(self.model.description, state_limit, self.model.source,
                                  self.model.transition_key)
        return MarkovResult(self.model.description, answer, time.perf_counter() - started,
                            model_path=None if self.model.source.startswith("<")
                            else self.model.source,
                            created=datetime.now(timezone.utc).isoformat(timespec="seconds"),
                            version=package_version())

    def check_resumable(self, result: Result) -> None:
        """ResultError unless `result` is of this very model (its id) and logic."""
        mine = study_id(self.model.description)
        if result.id != mine or result.cut_sets is not None:
            raise ResultError(f"{self.model.source}: the result to resume is of another study"
                              f" (id {result.id[:12]}, this model's is {mine[:12]})")


def load(path: str | Path) -> Study:
    """Reads and checks a TOML model file; raises ModelError naming the file and key path."""
    return Study(reading.load(path))
