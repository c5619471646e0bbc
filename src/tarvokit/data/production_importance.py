"""Importance by production: for each component and common-cause group, the production that
would not be lost if it never failed (a component delivering its working capacity in every
state; a group that never strikes), from runs on the same seeds in the same sub-batches.

The runs' histories pair: a component's capacity does not change what the engine draws, so the
variant of a component is the same histories with another capacity table, and the lost
production of each sub-batch is paired with the reference's. The production not lost is the mean
of the paired differences of the lost production per history, its interval by batch means.
"""

from __future__ import annotations

from dataclasses import dataclass

import math

import numpy as np

from . import stats
from .result import Result, interval_dict

COMPONENT, COMMON_CAUSE = "component", "common-cause group"


@dataclass(frozen=True)
class ProductionRow:
    kind: str
    name: str
    avoided: stats.Interval  # lost production avoided per history, capacity x time units
    share: float  # of the reference's mean lost production


@dataclass(frozen=True)
class ProductionImportance:
    unit: str  # of lost production, e.g. "t"
    lost: stats.Interval  # the reference's mean lost production per history
    rows: tuple[ProductionRow, ...]  # ranked, largest first

    def to_dict(self) -> dict:
        return {"unit": self.unit, "expected_lost": interval_dict(self.lost),
                "table": [{"kind": r.kind, "name": r.name,
                           "lost_avoided": interval_dict(r.avoided), "share_of_lost": r.share}
                          for r in self.rows]}


def _lost_per_history(result: Result, reference: Result) -> np.ndarray:
    """Per sub-batch of `reference` (in its order), the mean lost production per history of
    `result` on the same seeds, in quanta x engine steps."""
    by_seed = {b.first_seed: b for b in result.batches}
    return np.array([by_seed[b.first_seed].lost / b.histories for b in reference.batches],
                    dtype=float)


def production_importance(reference: Result, variants: dict[tuple[str, str], Result],
                          unit: str) -> ProductionImportance:
    """`variants`: (kind, name) -> the run without that component's or group's failures."""
    from ..model import capacity as capacities

    capacity = capacities.of_description(reference.model)
    assert capacity is not None
    to_units = 1.0 / (capacity.scale * reference.resolution)
    weights = [b.histories for b in reference.batches]
    own = _lost_per_history(reference, reference)
    lost = reference.production()
    assert lost is not None
    rows = []
    for (kind, name), run in variants.items():
        differences = own - _lost_per_history(run, reference)
        avoided = stats.batch_means(weights, differences,
                                    bounds=(-math.inf, math.inf)).scaled(to_units)
        share = avoided.estimate / lost.lost.estimate if lost.lost.estimate > 0 else 0.0
        rows.append(ProductionRow(kind, name, avoided, share))
    rows.sort(key=lambda r: -r.avoided.estimate)
    return ProductionImportance(unit, lost.lost, tuple(rows))


def production_importance_lines(found: ProductionImportance) -> list[str]:
    def amount(i: stats.Interval) -> str:
        return f"{i.estimate:,.4g} {found.unit} [{i.low:,.4g}, {i.high:,.4g}]"

    lines = ["", "Production not lost if it never failed (lost production per history:"
                 f" {amount(found.lost)})"]
    width = max([len(r.name) for r in found.rows] + [4])
    for rank, row in enumerate(found.rows, start=1):
        lines.append(f"  {rank:>2}  {row.name:<{width}}  {row.kind:<18}  {amount(row.avoided)}"
                     f"  ({100 * row.share:.3g} % of the lost)")
    lines.append("  (a component delivering its capacity in every state, a group that never"
                 " strikes; batch means of paired sub-batches)")
    return lines
