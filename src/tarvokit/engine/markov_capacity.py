"""The exact production figures of a Markov model: the capacity as a reward per chain state.

Each state of the chain (markov.py) fixes every component's state, hence the system's capacity c
(computed as the engine does, in quanta; a standby unit in standby delivers nothing). The chain
is marched with more weights: the delivered fraction min(c, D) / D of the demand D, and the
indicator of each capacity level. Their integrals over each time unit are the expected delivered
capacity of the unit and the expected time at each level; over the horizon, the production
availability and the shares of time. The lost production's spread over histories is not a
figure of the chain (only its mean is).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..model import capacity as capacities


@dataclass(frozen=True)
class MarkovProduction:
    unit: str
    demand: float  # capacity units
    availability: float  # delivered over demanded over [0, horizon]
    expected_lost: float  # capacity units x time units over [0, horizon]
    delivered: np.ndarray  # expected delivered capacity in each time unit
    levels: tuple[float, ...]  # lower bounds, capacity units
    shares: tuple[float, ...]  # of the time over [0, horizon], per level
    enumerated: bool
    steady_availability: float


def reward_rows(states: tuple, mode_names: tuple, names: tuple, description: dict
                ) -> tuple[np.ndarray, capacities.Capacity] | None:
    """Weights per chain state: the delivered fraction, then one indicator per level."""
    capacity = capacities.of_description(description)
    if capacity is None:
        return None
    tables = [capacity.components.get(name, {}) for name in names]
    own = [len(description["components"][name]["states"]) for name in names]
    levels = np.asarray(capacity.levels)
    rows = np.zeros((1 + len(levels), len(states)))
    for index, state in enumerate(states):
        quanta = [tables[c].get(mode_names[c][mode], 0) if mode < own[c] else 0
                  for c, mode in enumerate(state[:len(names)])]
        value = capacity.evaluate(quanta)
        rows[0, index] = min(value, capacity.demand) / capacity.demand
        rows[1 + int(np.searchsorted(levels, value, side="right")) - 1, index] = 1.0
    return rows, capacity


def production_of(capacity: capacities.Capacity, integrals: np.ndarray, steady: np.ndarray,
                  rows: np.ndarray, horizon: int) -> MarkovProduction:
    """From the integrals per time unit of the reward rows (horizon x rows)."""
    demand = capacity.value(capacity.demand)
    delivered = np.clip(integrals[:, 0], 0.0, 1.0)
    availability = float(delivered.sum()) / horizon
    shares = tuple(float(integrals[:, 1 + i].sum()) / horizon
                   for i in range(len(capacity.levels)))
    return MarkovProduction(capacity.unit or "", demand, availability,
                            (1.0 - availability) * demand * horizon, delivered * demand,
                            tuple(capacity.value(v) for v in capacity.levels), shares,
                            capacity.enumerated, float(steady @ rows[0]))
