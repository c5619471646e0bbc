"""The exact answer of a model with a calendar of fixed durations: one generator per phase.

The chain's states are markov.py's (every component's mode and the crews' queues) with, per
state, the set of held components whose repair has been released: a component whose repairs wait
for phase h may come back to work only once h has begun since it went down (its repair then runs
on, whatever the phase, as in the simulation). In phase p:
- every move of a component out of a working mode has its rate times the component's pace in p
  (duty; pace 0: the move cannot happen); repairs and common-cause strikes keep their rates;
- the system is failed when every member of a cut set of p's logic is down; its downtime and
  failures count only when p is required (a phase's start that fails the system, or makes a
  failed system required, counts one failure, as the simulation counts a failed step after a
  working one);
- a held component that goes down in its phase has its repair released at once, and those down
  when their phase begins have theirs released then.
The phases follow the sequence from time 0, each for its fixed duration (whole time units),
until the horizon. The march is markov.py's, one propagator per phase, every figure an exact
integral; reliability marches the mass that has not yet seen a (required) system failure. The
long run is the periodic one: the distribution at the start of a cycle of the sequence that
the cycle maps onto itself, and the figures of that cycle per time unit.

Random durations, a phase started by a system failure, and tests (Inspection) have no such
chain: they are refused in one line naming the key.
"""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse as sparse
from scipy.linalg import expm

from ..model.calendar import HELD_KEY, WHOLE_STUDY
from .markov import MarkovAnswer, MarkovError, _ChainBuilder, _Propagator

# A state of the phased chain: the base chain's state and the released held components.
PhasedState = tuple


class _Phase:
    def __init__(self, name: str, duration: int, required: bool, cut_sets: list[tuple[int, ...]]):
        self.name, self.duration, self.required, self.cut_sets = name, duration, required, cut_sets


def _phases(description: dict, index: dict[str, int], source: str) -> tuple[list[_Phase],
                                                                             list[int]]:
    table = description.get("phases")
    system = [tuple(index[m] for m in s) for s in description["system"]["cut_sets"]]
    horizon = int(description["study"]["horizon"])
    if table is None:
        return [_Phase(WHOLE_STUDY, horizon, True, system)], [0]
    names = [name for name in table if name != "sequence"]
    phases = []
    for name in names:
        entry = table[name]
        path = f"{source}: phases.{name}"
        if isinstance(entry["duration"], dict):
            raise MarkovError(f"{path}.duration: a {entry['duration'].get('law')} duration has"
                              " no exact Markov answer; tarvo markov needs fixed durations"
                              " (tarvo run simulates any)")
        if entry.get("on_system_failure") is not None:
            raise MarkovError(f"{path}.on_system_failure: a phase started by a system failure"
                              " has no exact Markov answer here (tarvo run simulates it)")
        duration = float(entry["duration"])
        if duration != int(duration):
            raise MarkovError(f"{path}.duration: tarvo markov needs phases of whole time"
                              f" units, got {duration:g}")
        cut_sets = ([tuple(index[m] for m in s) for s in entry["cut_sets"]]
                    if "cut_sets" in entry else system)
        phases.append(_Phase(name, int(duration), bool(entry["required"]), cut_sets))
    return phases, [names.index(name) for name in table["sequence"]]


class _PhasedChain:
    """The phased chain's states, found breadth first from the start under every phase."""

    def __init__(self, description: dict, source: str, state_limit: int):
        self.builder = _ChainBuilder(description, source)
        names = list(description["components"])
        index = {name: i for i, name in enumerate(names)}
        self.phases, self.sequence = _phases(description, index, source)
        phase_index = {p.name: i for i, p in enumerate(self.phases)}
        self.pace = np.ones((len(names), len(self.phases)))
        self.held = [-1] * len(names)
        for c, (name, entry) in enumerate(description["components"].items()):
            for phase, pace in entry.get("duty", {}).items():
                self.pace[c, phase_index[phase]] = float(pace)
            for t in entry["transitions"]:
                if HELD_KEY in t:
                    self.held[c] = phase_index[t[HELD_KEY]]
        self.units = self.builder.units
        self.limit = state_limit
        self.source = source
        start: PhasedState = (self.builder.start(), frozenset())
        self.index: dict[PhasedState, int] = {start: 0}
        self.states: list[PhasedState] = [start]
        # Per phase: (rows, columns, rates) of its generator.
        self.moves: list[tuple[list[int], list[int], list[float]]] = \
            [([], [], []) for _ in self.phases]
        self._explore()

    def _down(self, base, c: int) -> bool:
        return self.units[c].is_down(base[c])

    def _add(self, state: PhasedState) -> int:
        found = self.index.get(state)
        if found is None:
            if len(self.states) >= self.limit:
                raise MarkovError(f"{self.source}: the phased Markov chain of this model has"
                                  f" more than {self.limit:,} states; simulate it with tarvo"
                                  " run, or raise the state limit")
            found = self.index[state] = len(self.states)
            self.states.append(state)
        return found

    def released_at_start(self, state: PhasedState, phase: int) -> PhasedState:
        base, released = state
        more = {c for c, h in enumerate(self.held) if h == phase and self._down(base, c)}
        return (base, released | more) if more - released else state

    def _explore(self) -> None:
        for x in range(10**12):  # the list grows while it is walked
            if x >= len(self.states):
                break
            base, released = self.states[x]
            for p in range(len(self.phases)):
                self._add(self.released_at_start(self.states[x], p))
                for rate, kind, c, target in self.builder.events(base):
                    if kind == "move":
                        if (target == 0 and self.held[c] >= 0 and self._down(base, c)
                                and c not in released):
                            continue  # its repair waits for its phase
                        if not self._down(base, c):
                            rate *= self.pace[c, p]
                    if rate == 0:
                        continue
                    for following, chance in self.builder.outcomes(base, kind, c,
                                                                   target).items():
                        kept = {d for d in released if self._down(following, d)}
                        kept |= {d for d, h in enumerate(self.held)
                                 if h == p and self._down(following, d)}
                        y = self._add((following, frozenset(kept)))
                        if y != x:
                            rows, cols, rates = self.moves[p]
                            rows.append(x)
                            cols.append(y)
                            rates.append(rate * chance)

    def generator(self, p: int) -> sparse.csr_matrix:
        n = len(self.states)
        rows, cols, rates = self.moves[p]
        off = sparse.csr_matrix((rates, (rows, cols)), shape=(n, n))
        return (off - sparse.diags(np.asarray(off.sum(axis=1)).ravel())).tocsr()

    def start_map(self, p: int) -> sparse.csr_matrix:
        """The distribution at a start of phase p: held repairs released (columns vectors)."""
        n = len(self.states)
        targets = [self.index[self.released_at_start(s, p)] for s in self.states]
        return sparse.csr_matrix((np.ones(n), (targets, np.arange(n))), shape=(n, n))

    def failed(self, p: int) -> np.ndarray:
        """Per state: the system failed in phase p and the phase required."""
        if not self.phases[p].required:
            return np.zeros(len(self.states))
        return np.array([float(any(all(self._down(base, c) for c in members)
                                   for members in self.phases[p].cut_sets))
                         for base, _ in self.states])


def solve_phased(description: dict, state_limit: int, source: str) -> MarkovAnswer:
    """The exact figures of a model with a calendar of fixed durations (see the module)."""
    _refuse_tests(description, source)
    chain = _PhasedChain(description, source, state_limit)
    study = description["study"]
    horizon = int(study["horizon"])
    n = len(chain.states)
    generators = [chain.generator(p) for p in range(len(chain.phases))]
    failed = [chain.failed(p) for p in range(len(chain.phases))]
    entry = [(g @ f) * (1.0 - f) for g, f in zip(generators, failed)]
    propagate = [_Propagator(g.T.tocsr(), np.vstack([f, e]))
                 for g, f, e in zip(generators, failed, entry)]
    # Reliability: the mass that has seen no required failure; moves into failed states lose it.
    surviving = [_Propagator((g @ sparse.diags(1.0 - f)).T.tocsr(), np.zeros((0, n)))
                 for g, f in zip(generators, failed)]
    maps = [chain.start_map(p) for p in range(len(chain.phases))]

    vector = np.zeros(n)
    vector[0] = 1.0
    alive = vector.copy()
    unavailability, failures = np.zeros(horizon), np.zeros(horizon)
    point = np.zeros(horizon + 1)
    reliability = np.zeros(horizon)
    required_time = 0.0
    previous = np.zeros(n)  # the failed flags before the phase begins: none before time 0
    t, position = 0, 0
    while t < horizon:
        p = chain.sequence[position]
        vector, alive = maps[p] @ vector, maps[p] @ alive
        # Entering a phase where the state counts as failed and did not before: a failure.
        failures[t] += float(vector @ (failed[p] * (1.0 - previous)))
        alive = alive * (1.0 - failed[p])
        point[t] = float(vector @ failed[p])
        end = min(t + chain.phases[p].duration, horizon)
        for u in range(t, end):
            vector, (down, entered) = propagate[p].step(vector)
            alive, _ = surviving[p].step(alive)
            unavailability[u], point[u + 1] = down, float(vector @ failed[p])
            failures[u] += entered
            reliability[u] = alive.sum()
        if chain.phases[p].required:
            required_time += end - t
        previous, t = failed[p], end
        position = (position + 1) % len(chain.sequence)
    total_downtime = float(unavailability.sum())
    total_failures = float(failures.sum())
    up = required_time - total_downtime
    steady_down, steady_failures = _periodic(chain, generators, failed, entry, maps)
    return MarkovAnswer(
        name=str(study.get("name", "study")), time_unit=str(study.get("time_unit", "time unit")),
        horizon=horizon, states=n,
        unavailability=np.clip(unavailability, 0.0, 1.0),
        point_unavailability=np.clip(point, 0.0, 1.0),
        failures_per_unit=np.clip(failures, 0.0, None),
        reliability=np.clip(reliability, 0.0, 1.0),
        mean_unavailability=total_downtime / required_time if required_time else math.nan,
        expected_downtime=total_downtime,
        failure_frequency=total_failures,
        reliability_over_horizon=float(np.clip(reliability[-1], 0.0, 1.0)),
        mean_down_time=total_downtime / total_failures if total_failures > 0 else math.nan,
        mean_up_time=up / total_failures if total_failures > 0 else math.inf,
        mean_time_to_failure=math.nan,
        steady_unavailability=steady_down,
        steady_failure_frequency=steady_failures)


def _periodic(chain: _PhasedChain, generators, failed, entry, maps) -> tuple[float, float]:
    """Over one cycle of the sequence started from its periodic distribution: the required
    downtime over the required time, and the system failures per time unit. Dense: NaN when the
    chain is too large for that."""
    n = len(chain.states)
    if n > 1500:
        return math.nan, math.nan
    steps = []
    cycle = np.identity(n)
    for p in chain.sequence:
        step = expm(generators[p].T.toarray() * chain.phases[p].duration) @ maps[p].toarray()
        steps.append(step)
        cycle = step @ cycle
    # The periodic distribution: cycle @ pi = pi, sum 1 (least squares on the stacked system).
    system = np.vstack([cycle - np.identity(n), np.ones((1, n))])
    right = np.zeros(n + 1)
    right[-1] = 1.0
    pi = np.clip(np.linalg.lstsq(system, right, rcond=None)[0], 0.0, None)
    pi /= pi.sum()
    down = count = required = 0.0
    vector = pi
    previous = failed[chain.sequence[-1]]
    for p in chain.sequence:
        vector = maps[p] @ vector
        count += float(vector @ (failed[p] * (1.0 - previous)))
        duration = chain.phases[p].duration
        propagator = _Propagator(generators[p].T.tocsr(), np.vstack([failed[p], entry[p]]))
        for _ in range(duration):
            vector, (d, e) = propagator.step(vector)
            down, count = down + d, count + e
        if chain.phases[p].required:
            required += duration
        previous = failed[p]
    length = sum(chain.phases[p].duration for p in chain.sequence)
    return (down / required if required else math.nan), count / length


def _refuse_tests(description: dict, source: str) -> None:
    for name, entry in description["components"].items():
        for index, t in enumerate(entry["transitions"]):
            if t.get("law") == "Inspection":
                raise MarkovError(f"{source}: components.{name}.transitions[{index}]: an"
                                  " Inspection (a test) has no exact Markov answer; tarvo"
                                  " markov needs Exponential laws (tarvo run simulates tests)")


__all__ = ["solve_phased"]
