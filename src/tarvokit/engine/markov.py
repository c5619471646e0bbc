"""The exact answer for models whose laws are all Exponential: the system's Markov chain.

When every transition, dormant failure and shock of a model is Exponential, the whole system is
a continuous-time Markov chain whose state is every component's state (a standby unit adds its
standby state) and, per repair-crew pool, the queue of components waiting for a crew, in the
order they will get one. This module builds that chain from the model's description (the plain
dict of the model reader) with scipy.sparse and solves it: unavailability, failures,
reliability and steady state, all exact up to floating point. It reads the description on its
own and shares no code with the simulation, so each checks the other.

What the chain does, event by event (the simulator's rules):
- Component states: state 0 works, every other state is down; a standby unit in standby works.
  A member's "failed state" is the state named "failed", else state 1.
- Common-cause groups strike as a Poisson process: at rate beta x lambda for a beta factor
  (every member then keeps (1 - beta) x lambda of its failure working -> failed alone), at the
  shock law's rate for a shock. A strike puts every member that works (standby included) into
  its failed state.
- Standby units start in standby and leave it only by their dormant law (to the failed state)
  or when demanded. A unit that goes down demands the standby units covering it, in file
  order, skipping those not in standby: the first one fails to start with probability
  start_failure (it goes to its failed state, which is itself a unit going down) and the next
  is then demanded, or it runs (its state 0 transitions apply). A standby unit coming back to
  state 0 from a down state is demanded at once if a unit it covers is down, else it goes to
  standby. Once an instant has settled, a running standby unit none of whose covered units is
  down goes back to standby.
- Repair crews: a pool member that goes down joins its pool's queue (the components going
  down in one instant join in file order; with order "listed" the queue is kept sorted by the
  pool's list instead). While queued, its transitions back to state 0 cannot happen; its other
  transitions can. Free crews take the head of the queue once the instant has settled; a crew
  stays with its component until the component is back in state 0 (no preemption).
- The system is failed when every member of some cut set is down. It is judged once an instant
  has settled, so a standby unit that starts at once hides the failure it covers.

Figures over [0, horizon] are exact integrals: the generator is augmented with two accumulator
states, one integrating the probability of being failed, the other the rate of entering the
failed set, and the augmented system is propagated with expm_multiply to every time unit
boundary. Reliability propagates the chain restricted to working states (failed states are
absorbing and dropped). The steady state is a sparse solve per closed class of the chain, the
classes weighted by the chance of reaching each from the start.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterator

import numpy as np
import scipy.sparse as sparse
from scipy.sparse.csgraph import breadth_first_order, connected_components
from scipy.sparse.linalg import expm_multiply, spsolve

from ..model.errors import ModelError

DEFAULT_STATE_LIMIT = 200_000
# expm_multiply returns every requested time point at once: chunks of time units keep that
# array within about this many numbers.
_NUMBERS_PER_CHUNK = 8_000_000


class MarkovError(ModelError):
    """The model has no exact Markov answer here: a law that is not Exponential, or a chain
    above the state limit. `str(error)` is one line naming the source and the key."""


@dataclass(frozen=True)
class MarkovAnswer:
    """The exact figures of a model, in the study's time units.

    Per-unit arrays have one value per time unit u = 0 .. horizon - 1, for the unit [u, u + 1);
    `point_unavailability` has one per boundary t = 0 .. horizon.
    """

    name: str
    time_unit: str
    horizon: int
    states: int  # the chain's number of states
    unavailability: np.ndarray  # mean probability of being failed over [u, u + 1)
    point_unavailability: np.ndarray  # probability of being failed at t
    failures_per_unit: np.ndarray  # expected entries into the failed set during [u, u + 1)
    reliability: np.ndarray  # probability of no system failure in [0, u + 1]
    mean_unavailability: float  # over [0, horizon]
    expected_downtime: float  # time units failed over [0, horizon]
    failure_frequency: float  # expected system failures over [0, horizon] (one if failed at 0)
    reliability_over_horizon: float  # probability of no system failure in [0, horizon]
    mean_down_time: float  # downtime / failures over [0, horizon]; nan without failures
    mean_up_time: float  # uptime / failures over [0, horizon]; inf without failures
    mean_time_to_failure: float  # expected time of the first system failure; inf if it may never come
    steady_unavailability: float  # long-run fraction of time failed, from the same start
    steady_failure_frequency: float  # long-run system failures per time unit


# --- The model, as the chain reads it ------------------------------------------------------


@dataclass
class _Unit:
    name: str
    states: tuple[str, ...]
    failed: int  # the failed state's index
    moves: dict[int, list[tuple[int, float]]]  # state -> [(target, rate)]
    covers: tuple[int, ...] = ()  # a standby unit's covered components
    start_failure: float = 0.0
    dormant_rate: float = 0.0
    is_standby: bool = False
    pool: int | None = None

    @property
    def standby_mode(self) -> int:
        """The standby state's number in the chain: one past the component's own states."""
        return len(self.states)

    def is_down(self, mode: int) -> bool:
        return 0 < mode < len(self.states)


@dataclass
class _Pool:
    count: int
    listed: bool
    members: tuple[int, ...]
    rank: dict[int, int]  # component -> position in the pool's list


@dataclass
class _Group:
    members: tuple[int, ...]
    rate: float


class _Reader:
    """Reads the description's components, dependencies and cut sets, refusing any law that
    is not Exponential with the key path of the transition."""

    def __init__(self, description: dict, source: str):
        self.description, self.source = description, source

    def fail(self, path: str, message: str) -> None:
        raise MarkovError(f"{self.source}: {path}: {message}")

    def rate(self, law: Any, path: str, what: str) -> float:
        name = law.get("law") if isinstance(law, dict) else law
        if name != "Exponential":
            self.fail(path, f"{what} follows a {name} law; the exact Markov answer needs"
                            " Exponential laws everywhere (tarvo run simulates any law)")
        if "rate" in law:
            value = law["rate"]
        elif "mean" in law and isinstance(law["mean"], (int, float)) and law["mean"] > 0:
            value = 1.0 / law["mean"]
        else:
            value = None
        if (isinstance(value, bool) or not isinstance(value, (int, float))
                or not math.isfinite(value) or value <= 0):
            self.fail(path, f"{what}: an Exponential law needs a positive rate or mean")
        return float(value)

    def units(self) -> list[_Unit]:
        units = []
        for name, entry in self.description["components"].items():
            path = f"components.{name}"
            states = tuple(entry["states"])
            failed = states.index("failed") if "failed" in states else 1
            moves: dict[int, list[tuple[int, float]]] = {}
            for index, item in enumerate(entry["transitions"]):
                law = {k: v for k, v in item.items() if k not in ("from", "to")}
                source, target = states.index(item["from"]), states.index(item["to"])
                what = f'the transition "{item["from"]}" -> "{item["to"]}"'
                rate = self.rate(law, f"{path}.transitions[{index}]", what)
                moves.setdefault(source, []).append((target, rate))
            units.append(_Unit(name, states, failed, moves))
        self._standby(units)
        return units

    def _standby(self, units: list[_Unit]) -> None:
        index = {unit.name: i for i, unit in enumerate(units)}
        for unit in units:
            standby = self.description["components"][unit.name].get("standby")
            if standby is None:
                continue
            unit.is_standby = True
            unit.covers = tuple(index[name] for name in standby["covers"])
            unit.start_failure = float(standby.get("start_failure", 0.0))
            if standby.get("dormant") is not None:
                unit.dormant_rate = self.rate(standby["dormant"],
                                              f"components.{unit.name}.standby.dormant",
                                              "the dormant failure")

    def groups(self, units: list[_Unit]) -> list[_Group]:
        """Common-cause groups; a beta factor also takes its share off each member's failure."""
        index = {unit.name: i for i, unit in enumerate(units)}
        groups = []
        for name, entry in self.description.get("common_cause", {}).items():
            members = tuple(index[member] for member in entry["members"])
            if "shock" in entry:
                rate = self.rate(entry["shock"], f"common_cause.{name}.shock", "the shock")
            else:
                beta = float(entry["beta"])
                rates = [self._take_share(units[m], beta, f"common_cause.{name}") for m in members]
                if not np.allclose(rates, rates[0], rtol=1e-9, atol=0):
                    self.fail(f"common_cause.{name}.beta", "a beta factor needs members failing"
                                                           " at one rate")
                rate = beta * rates[0]
            groups.append(_Group(members, rate))
        return groups

    def _take_share(self, unit: _Unit, beta: float, path: str) -> float:
        """Leaves (1 - beta) of the unit's working -> failed rate; returns the rate it had."""
        moves = unit.moves.get(0, [])
        for position, (target, rate) in enumerate(moves):
            if target == unit.failed:
                moves[position] = (target, (1.0 - beta) * rate)
                return rate
        self.fail(path, f'member "{unit.name}" has no transition from "{unit.states[0]}" to'
                        f' "{unit.states[unit.failed]}" for the beta factor to share')
        raise AssertionError  # not reached

    def pools(self, units: list[_Unit]) -> list[_Pool]:
        index = {unit.name: i for i, unit in enumerate(units)}
        pools = []
        for entry in self.description.get("crews", {}).values():
            members = tuple(index[name] for name in entry["repairs"])
            pools.append(_Pool(int(entry["count"]), entry.get("order", "first_failed") == "listed",
                               members, {m: position for position, m in enumerate(members)}))
            for member in members:
                units[member].pool = len(pools) - 1
        return pools

    def cut_sets(self, units: list[_Unit]) -> list[tuple[int, ...]]:
        index = {unit.name: i for i, unit in enumerate(units)}
        return [tuple(index[name] for name in members)
                for members in self.description["system"]["cut_sets"]]


# --- The chain -----------------------------------------------------------------------------

# A chain state: every component's mode (its state index, or its standby_mode), then one tuple
# per pool, the components waiting for a crew of that pool, head first.
State = tuple


@dataclass
class _World:
    """One branch of an instant being settled: its probability and the changes so far."""

    probability: float
    modes: list[int]
    went_down: list[int]
    agenda: list[tuple[str, int]]  # ("down", c) or ("back", standby unit), in order

    def fork(self, probability: float) -> "_World":
        return _World(self.probability * probability, list(self.modes), list(self.went_down),
                      list(self.agenda))


@dataclass(frozen=True)
class MarkovChain:
    """The chain of a model: generator (CSR; off-diagonal rates, rows summing to 0), failed
    states, the start (state 0) and every state's description for inspection."""

    generator: sparse.csr_matrix
    failed: np.ndarray  # bool per state: the system is failed
    states: tuple[State, ...]
    names: tuple[str, ...]  # component names, in the order of a state's modes

    @property
    def size(self) -> int:
        return len(self.states)

    def state_text(self, index: int) -> str:
        modes = self.states[index][:len(self.names)]
        return ", ".join(f"{name}={mode}" for name, mode in zip(self.names, modes))


class _ChainBuilder:
    def __init__(self, description: dict, source: str):
        reader = _Reader(description, source)
        self.units = reader.units()
        self.groups = reader.groups(self.units)
        self.pools = reader.pools(self.units)
        self.cut_sets = reader.cut_sets(self.units)
        self.source = source
        # covering[c]: the standby units covering component c, in file order.
        self.covering: list[list[int]] = [[] for _ in self.units]
        for s, unit in enumerate(self.units):
            for c in unit.covers:
                self.covering[c].append(s)

    # --- States ---

    def start(self) -> State:
        modes = tuple(u.standby_mode if u.is_standby else 0 for u in self.units)
        return modes + tuple(() for _ in self.pools)

    def is_down(self, modes, c: int) -> bool:
        return self.units[c].is_down(modes[c])

    def system_failed(self, state: State) -> bool:
        return any(all(self.is_down(state, c) for c in members) for members in self.cut_sets)

    def upper_bound(self) -> float:
        """A bound on the number of states: every mode combination times every queue."""
        bound = 1.0
        for unit in self.units:
            bound *= len(unit.states) + unit.is_standby
        for pool in self.pools:
            n = len(pool.members)
            bound *= sum(math.perm(n, k) for k in range(n + 1))
        return bound

    # --- Events ---

    def events(self, state: State) -> Iterator[tuple[float, str, int, int]]:
        """(rate, kind, subject, target) of everything that can happen next."""
        waiting = {c for queue in state[len(self.units):] for c in queue}
        for c, unit in enumerate(self.units):
            mode = state[c]
            if unit.is_standby and mode == unit.standby_mode:
                if unit.dormant_rate > 0:
                    yield unit.dormant_rate, "move", c, unit.failed
                continue
            for target, rate in unit.moves.get(mode, ()):
                if target == 0 and unit.pool is not None and c in waiting:
                    continue  # back to work needs a crew
                yield rate, "move", c, target
        for g, group in enumerate(self.groups):
            if any(not self.is_down(state, m) for m in group.members):
                yield group.rate, "strike", g, 0

    def outcomes(self, state: State, kind: str, subject: int, target: int
                 ) -> dict[State, float]:
        """The states the event leads to once its instant has settled, with their chances."""
        modes = list(state[:len(self.units)])
        world = _World(1.0, modes, [], [])
        if kind == "strike":
            for m in self.groups[subject].members:
                if not self.is_down(modes, m):
                    modes[m] = self.units[m].failed
                    world.went_down.append(m)
                    world.agenda.append(("down", m))
        else:
            was_down = self.is_down(modes, subject)
            modes[subject] = target
            if not was_down and self.is_down(modes, subject):
                world.went_down.append(subject)
                world.agenda.append(("down", subject))
            elif was_down and target == 0 and self.units[subject].is_standby:
                world.agenda.append(("back", subject))
        queues = state[len(self.units):]
        result: dict[State, float] = {}
        for settled in self._settle(world):
            final = self._queue(settled, queues)
            result[final] = result.get(final, 0.0) + settled.probability
        return result

    def _settle(self, world: _World) -> list[_World]:
        """Runs the standby rules of the instant to the end, branching on start failures."""
        done, pending = [], [world]
        while pending:
            current = pending.pop()
            if not current.agenda:
                self._back_to_standby(current)
                done.append(current)
                continue
            kind, c = current.agenda.pop(0)
            if kind == "down":
                pending += self._demand_cover(current, c, 0)
            elif any(self.is_down(current.modes, x) for x in self.units[c].covers):
                pending += self._demand(current, c)
            else:
                current.modes[c] = self.units[c].standby_mode
                pending.append(current)
        return done

    def _demand(self, world: _World, s: int) -> list[_World]:
        """Starts standby unit s: [running, failed to start] (only those with a chance)."""
        p = self.units[s].start_failure
        branches = []
        if p < 1:
            running = world.fork(1.0 - p)
            running.modes[s] = 0
            branches.append(running)
        if p > 0:
            failed = world.fork(p)
            failed.modes[s] = self.units[s].failed
            failed.went_down.append(s)
            failed.agenda.append(("down", s))
            branches.append(failed)
        return branches

    def _demand_cover(self, world: _World, c: int, first: int) -> list[_World]:
        """Demands the standby units covering c from position `first` on, in file order, until
        one starts."""
        standbys = self.covering[c]
        for position in range(first, len(standbys)):
            s = standbys[position]
            if world.modes[s] != self.units[s].standby_mode:
                continue
            branches = self._demand(world, s)
            result = []
            for branch in branches:
                if branch.modes[s] == 0:
                    result.append(branch)
                else:
                    result += self._demand_cover(branch, c, position + 1)
            return result
        return [world]

    def _back_to_standby(self, world: _World) -> None:
        for s, unit in enumerate(self.units):
            if (unit.is_standby and world.modes[s] == 0
                    and not any(self.is_down(world.modes, x) for x in unit.covers)):
                world.modes[s] = unit.standby_mode

    def _queue(self, world: _World, queues: tuple) -> State:
        """The settled state: new pool members down join their queues, free crews start."""
        modes = world.modes
        new_queues = []
        for p, pool in enumerate(self.pools):
            queue = list(queues[p]) + sorted(c for c in world.went_down if self.units[c].pool == p)
            if pool.listed:
                queue.sort(key=pool.rank.__getitem__)
            waiting = set(queue)
            busy = sum(1 for m in pool.members if self.is_down(modes, m) and m not in waiting)
            free = pool.count - busy
            new_queues.append(tuple(queue[max(free, 0):]))
        return tuple(modes) + tuple(new_queues)

    # --- The whole chain ---

    def build(self, state_limit: int) -> MarkovChain:
        start = self.start()
        index = {start: 0}
        states = [start]
        rows: list[int] = []
        cols: list[int] = []
        rates: list[float] = []
        for x, state in enumerate(states):  # grows while it is walked: a breadth-first search
            for rate, kind, subject, target in self.events(state):
                for following, chance in self.outcomes(state, kind, subject, target).items():
                    if following == state:
                        continue
                    y = index.get(following)
                    if y is None:
                        if len(states) >= state_limit:
                            self._too_large(state_limit)
                        y = index[following] = len(states)
                        states.append(following)
                    rows.append(x)
                    cols.append(y)
                    rates.append(rate * chance)
        n = len(states)
        off = sparse.csr_matrix((rates, (rows, cols)), shape=(n, n))  # duplicates are summed
        generator = (off - sparse.diags(np.asarray(off.sum(axis=1)).ravel())).tocsr()
        failed = np.array([self.system_failed(s) for s in states], dtype=bool)
        return MarkovChain(generator, failed, tuple(states), tuple(u.name for u in self.units))

    def _too_large(self, state_limit: int) -> None:
        raise MarkovError(f"{self.source}: the Markov chain of this model has more than"
                          f" {state_limit:,} states (up to {self.upper_bound():.3g}); the exact"
                          " answer is limited to that size: simulate it with tarvo run, or raise"
                          " the state limit")


def build_chain(description: dict, state_limit: int = DEFAULT_STATE_LIMIT,
                source: str = "<dict>") -> MarkovChain:
    """The Markov chain of a model description; raises MarkovError for a law that is not
    Exponential or a chain of more than `state_limit` states."""
    return _ChainBuilder(description, source).build(state_limit)


# --- Solving -------------------------------------------------------------------------------


def _propagate(matrix: sparse.csr_matrix, start: np.ndarray, horizon: int) -> Iterator[np.ndarray]:
    """The solution of v' = matrix v, v(0) = start, at t = 1 .. horizon, in chunks of rows."""
    chunk = max(1, min(horizon, _NUMBERS_PER_CHUNK // max(len(start), 1)))
    vector, done = start, 0
    while done < horizon:
        length = min(chunk, horizon - done)
        values = expm_multiply(matrix, vector, start=0.0, stop=float(length), num=length + 1,
                               endpoint=True)
        yield values[1:]
        vector, done = values[-1], done + length


def _accumulated(chain: MarkovChain, entry_rates: np.ndarray, horizon: int
                 ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """At t = 0 .. horizon: P(failed at t), the integral of it and the expected failures
    over [0, t] (entries into the failed set, the start not counted)."""
    n = chain.size
    failed = chain.failed.astype(float)
    rows = sparse.vstack([chain.generator.T, sparse.csr_matrix(failed),
                          sparse.csr_matrix(entry_rates)])
    augmented = sparse.hstack([rows, sparse.csr_matrix((n + 2, 2))]).tocsr()
    start = np.zeros(n + 2)
    start[0] = 1.0
    point, downtime, failures = [failed[0]], [0.0], [0.0]
    for values in _propagate(augmented, start, horizon):
        point.extend(values[:, :n] @ failed)
        downtime.extend(values[:, n])
        failures.extend(values[:, n + 1])
    return np.array(point), np.array(downtime), np.array(failures)


def _reliability(chain: MarkovChain, horizon: int) -> np.ndarray:
    """P(no system failure in [0, t]) at t = 1 .. horizon: the chain on working states."""
    if chain.failed[0]:
        return np.zeros(horizon)
    working = np.flatnonzero(~chain.failed)  # the start, 0, comes first
    restricted = chain.generator[working][:, working].T.tocsr()
    start = np.zeros(len(working))
    start[0] = 1.0
    return np.concatenate([values.sum(axis=1) for values in _propagate(restricted, start, horizon)])


def _mean_time_to_failure(chain: MarkovChain) -> float:
    """The expected time of the first entry into the failed set: inf when the chain may stay
    among working states forever."""
    if chain.failed[0]:
        return 0.0
    if not chain.failed.any():
        return math.inf
    working = np.flatnonzero(~chain.failed)  # the start, 0, comes first
    among_working = chain.generator[working][:, working]
    reached = working[breadth_first_order(abs(among_working), 0, directed=True,
                                          return_predecessors=False)]
    can_fail = _can_reach(chain.generator, chain.failed)
    if not can_fail[reached].all():
        return math.inf
    # States that cannot fail are never reached from the start: leaving them out keeps the
    # system regular without changing the start's answer.
    keep = working[can_fail[working]]
    times = spsolve(-chain.generator[keep][:, keep].tocsc(), np.ones(len(keep)))
    return float(np.atleast_1d(times)[0])


def _can_reach(generator: sparse.csr_matrix, targets: np.ndarray) -> np.ndarray:
    """Per state: whether some path of the chain leads from it into `targets`. A search
    backwards from an extra node joined to every target."""
    n = generator.shape[0]
    into_targets = sparse.csr_matrix((np.ones(int(targets.sum())),
                                      (np.full(int(targets.sum()), n), np.flatnonzero(targets))),
                                     shape=(n + 1, n + 1))
    backwards = sparse.bmat([[abs(generator).T, None], [None, sparse.csr_matrix((1, 1))]])
    order = breadth_first_order((backwards + into_targets).tocsr(), n, directed=True,
                                return_predecessors=False)
    found = np.zeros(n + 1, dtype=bool)
    found[order] = True
    return found[:n]


def _steady_state(chain: MarkovChain) -> np.ndarray:
    """The long-run distribution from the start: each closed class's stationary
    distribution, weighted by the chance of ending in that class."""
    generator = chain.generator
    count, label = connected_components(abs(generator), directed=True, connection="strong")
    leaves = sparse.triu(generator, 1) + sparse.tril(generator, -1)
    leaves = leaves.tocoo()
    open_class = np.zeros(count, dtype=bool)
    open_class[label[leaves.row[label[leaves.row] != label[leaves.col]]]] = True
    transient = np.flatnonzero(~np.isin(label, np.flatnonzero(~open_class)))
    weights = np.zeros(count)
    if open_class[label[0]]:
        # Expected time in each transient state from the start, then the flow into each class.
        position = {x: i for i, x in enumerate(transient)}
        unit = np.zeros(len(transient))
        unit[position[0]] = 1.0
        occupancy = np.atleast_1d(spsolve(-generator[transient][:, transient].T.tocsc(), unit))
        flows = sparse.csr_matrix(occupancy) @ generator[transient]
        flows = np.asarray(flows.todense()).ravel()
        np.add.at(weights, label, np.where(np.isin(np.arange(chain.size), transient), 0.0, flows))
    else:
        weights[label[0]] = 1.0
    steady = np.zeros(chain.size)
    for closed in np.flatnonzero(weights > 0):
        members = np.flatnonzero(label == closed)
        steady[members] = weights[closed] * _stationary(generator[members][:, members])
    return steady


def _stationary(generator: sparse.csr_matrix) -> np.ndarray:
    """pi Q = 0 with sum(pi) = 1 on one closed class: Q^T pi = 0 with its last equation
    replaced by the normalisation (the equations are dependent, any one can go)."""
    n = generator.shape[0]
    if n == 1:
        return np.ones(1)
    system = sparse.vstack([generator.T.tocsr()[:n - 1], sparse.csr_matrix(np.ones((1, n)))])
    right = np.zeros(n)
    right[-1] = 1.0
    return np.atleast_1d(spsolve(system.tocsc(), right))


def solve_chain(chain: MarkovChain, horizon: int, name: str = "study",
                time_unit: str = "time unit") -> MarkovAnswer:
    """Every figure of a chain over [0, horizon] time units and in the long run."""
    failed = chain.failed.astype(float)
    # Rate of entering the failed set from each working state (zero from failed states).
    entry_rates = (chain.generator @ failed) * (1.0 - failed)
    point, downtime, failures = _accumulated(chain, entry_rates, horizon)
    reliability = np.clip(_reliability(chain, horizon), 0.0, 1.0)
    total_failures = float(failures[-1]) + float(chain.failed[0])
    total_downtime = float(downtime[-1])
    steady = _steady_state(chain)
    return MarkovAnswer(
        name=name, time_unit=time_unit, horizon=horizon, states=chain.size,
        unavailability=np.clip(np.diff(downtime), 0.0, 1.0),
        point_unavailability=np.clip(point, 0.0, 1.0),
        failures_per_unit=np.clip(np.diff(failures), 0.0, None),
        reliability=reliability,
        mean_unavailability=total_downtime / horizon,
        expected_downtime=total_downtime,
        failure_frequency=total_failures,
        reliability_over_horizon=float(reliability[-1]),
        mean_down_time=total_downtime / total_failures if total_failures > 0 else math.nan,
        mean_up_time=(horizon - total_downtime) / total_failures if total_failures > 0
        else math.inf,
        mean_time_to_failure=_mean_time_to_failure(chain),
        steady_unavailability=float(steady @ failed),
        steady_failure_frequency=float(steady @ entry_rates),
    )


def solve_markov(description: dict, state_limit: int = DEFAULT_STATE_LIMIT,
                 source: str = "<dict>") -> MarkovAnswer:
    """The exact answer of a model description (the model reader's plain dict: components in
    the general form, common_cause, crews, standby keys, system.cut_sets and study).

    Raises MarkovError (a ModelError, hence a ValueError) naming the component and transition
    of the first law that is not Exponential, or giving the size of a chain above
    `state_limit` states.
    """
    study = description.get("study", {})
    chain = build_chain(description, state_limit, source)
    return solve_chain(chain, int(study["horizon"]), str(study.get("name", "study")),
                       str(study.get("time_unit", "time unit")))
