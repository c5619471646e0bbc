"""The options of a study run, declared once for every study and for the command."""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

from ..data.measures import PRECISION_MEASURES
from ..engine.tasks import Executor, InProcessExecutor

if TYPE_CHECKING:
    from distributed import Client

INT_MAX = 2**31 - 1
DEFAULT_HISTORIES = 100_000
DEFAULT_BATCHES = 20


@dataclass(frozen=True)
class RunOptions:
    """How to run a study. `threads` None: one per core. `precision`: the relative half-width of
    the 95% interval of the mean to reach by adding histories, up to `max_histories` (default
    100 x histories). `progress`: a bar on standard error. `executor`: where tasks run (this
    process by default; `client`, a distributed.Client, runs them on that Dask cluster).
    `batches`: sub-batches of paired runs (importance, sweeps; default 20); a single run sizes
    its own. `precision_measure`: the measure a precision target applies to (a key of
    results.json; mean_unavailability by default)."""

    histories: int = DEFAULT_HISTORIES
    seed: int = 1
    threads: int | None = None
    precision: float | None = None
    max_histories: int | None = None
    progress: bool = False
    executor: Executor | None = None
    batches: int | None = None
    precision_measure: str | None = None

    @classmethod
    def of(cls, client: "Client | None" = None, **given: Any) -> "RunOptions":
        """The options from keyword arguments as the study functions take them; checks them."""
        executor = given.pop("executor", None)
        if client is not None:
            if executor is not None:
                raise ValueError("give either an executor or a client, not both")
            from ..engine.cluster import DaskExecutor

            executor = DaskExecutor(client)
        return cls(executor=executor, **given).checked()

    def checked(self) -> "RunOptions":
        """These options with max_histories filled in; ValueError naming the option (as the
        command spells it) that is out of range."""
        if isinstance(self.histories, bool) or not isinstance(self.histories, int) \
                or self.histories < 2:
            raise ValueError("--histories must be a whole number of at least 2")
        if self.threads is not None and (isinstance(self.threads, bool)
                                         or not isinstance(self.threads, int) or self.threads < 1):
            raise ValueError("--threads must be at least 1")
        if self.precision_measure is not None and self.precision_measure not in \
                PRECISION_MEASURES:
            raise ValueError(f"--precision-of: expected one of {', '.join(PRECISION_MEASURES)},"
                             f" got {self.precision_measure!r}")
        if self.precision is not None and not 0 < self.precision < 1:
            raise ValueError("--precision must lie between 0 and 1 (0.02 is +-2% of the mean)")
        most = self.max_histories
        if most is None:
            most = self.histories * 100 if self.precision is not None else self.histories
        if most < self.histories:
            raise ValueError("--max-histories must be at least --histories")
        if isinstance(self.seed, bool) or not isinstance(self.seed, int) or self.seed < 0 \
                or self.seed + most - 1 > INT_MAX:
            raise ValueError(f"--seed: the seeds {self.seed} .. {self.seed} + {most - 1} must lie"
                             f" in 0 .. {INT_MAX}")
        return replace(self, max_histories=most)

    def runner(self) -> Executor:
        return self.executor or InProcessExecutor()
