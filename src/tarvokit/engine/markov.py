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
  A member's "failed state" is its state named "failed", else its state 1.
- Common-cause groups strike as a Poisson process: at rate beta x lambda for a beta factor
  (every member then keeps (1 - beta) x lambda of its failure working -> failed alone), at the
  shock law's rate for a shock. A strike puts every member that works (standby included) into
  its failed state; then the consequences of each follow, in component order.
- Standby units start in standby and leave it only by their dormant law (to the failed state)
  or when demanded. When a component goes down, the standby units covering it are demanded in
  component order, skipping those not in standby, until one starts: each fails to start with
  its start_failure chance (it goes to its failed state, a component going down with
  consequences of its own, which come first) or runs (its state 0 transitions apply). A running
  unit that goes down while a unit it covers is down is replaced: the units covering the first
  of its covered units (in its `covers` order) that is down are demanded, before those covering
  the unit itself. When a component comes back up, every running unit covering it that covers
  nothing down any more returns to standby; a standby unit back from repair waits in standby
  and, if a unit it covers is down, is demanded at once (by itself).
- Repair crews: a pool member that goes down joins its pool's queue (ordered by the time it went
  down, then by component order; with order "listed", by its place in the pool's list). While
  queued, its transitions back to state 0 cannot happen; its other transitions can. Once an
  instant has settled, free crews take the head of the queue; a crew stays with its component
  until the component works again (no preemption).
- Repair logistics (Exponential delays, mobilisation and lead times): a component that goes down
  first waits its logistic delay, if it has one; then a crew of its pool, if it has one (the
  crew's mobilisation follows, the crew held); then a part from its stock, if it has one
  (taken from the shelf, else awaited in the order asked for; every part asked for is ordered
  at once, one for one, and each part on order arrives at the lead time's rate, going to the
  unit that has waited longest); only then can it go back to work. A component's step in this
  sequence and each stock's shelf, parts on order and waiting units are part of the state.
- The system is failed when every member of some cut set is down. It is judged once an instant
  has settled, so a standby unit that starts at once hides the failure it covers.

Figures over [0, horizon] are exact integrals, not sums of point values: the chain is marched
one time unit at a time, with the probability of being failed and the rate of entering the
failed set integrated along. A small chain uses its dense one-unit propagator exp(Q) and its
integral, taken once; a larger one uniformization, p(t + s) = sum_k Poisson(k; rate s) p(t) P^k
with P = I + Q / rate, a sum of non-negative terms whose integrals over the unit have closed
forms (the terms left out weigh less than 1e-18 per step). Once the distribution has settled on the
steady state, each later unit repeats the last. Reliability marches the chain restricted to
working states (failed states absorbing, dropped). The steady state is a sparse solve per closed
class of the chain, the classes weighted by the chance of reaching each from the start.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np
import scipy.sparse as sparse
from scipy.linalg import expm
from scipy.sparse.csgraph import breadth_first_order, connected_components
from scipy.sparse.linalg import LinearOperator, gmres, spilu, spsolve

from ..model import memory
from ..model.errors import ModelError
from .markov_capacity import production_of, reward_rows

DEFAULT_STATE_LIMIT = 200_000


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
    mean_time_to_failure: float  # expected time to the first system failure; inf if none may come
    steady_unavailability: float  # long-run fraction of time failed, from the same start
    steady_failure_frequency: float  # long-run system failures per time unit
    production: Any = None  # markov_capacity.MarkovProduction of a model with capacities


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
    delay_rate: float = 0.0  # logistic delay before the crew is called; 0: none
    stock: int | None = None  # the stock its parts come from

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
    mobilisation_rate: float = 0.0  # 0: the crew is at the unit at once


@dataclass
class _Stock:
    initial: int
    lead_rate: float  # each part on order arrives at this rate


# A component's step in its repair's logistics (models with logistics).
_IDLE, _DELAY, _MOBILISING, _AWAITING_PART = 0, 1, 2, 3

@dataclass
class _Group:
    members: tuple[int, ...]
    rate: float


class _Reader:
    """Reads the description's components, dependencies and cut sets, refusing any law that
    is not Exponential with the key path of the transition."""

    def __init__(self, description: dict, source: str,
                 transition_key: Callable[[str, int], str] | None = None):
        self.description, self.source = description, source
        # The key the file wrote for a transition of the description (its shorthand, if any).
        self.transition_key = transition_key or (
            lambda name, index: f"components.{name}.transitions[{index}]")
        self.index = {name: i for i, name in enumerate(description["components"])}

    def fail(self, path: str, message: str) -> None:
        raise MarkovError(f"{self.source}: {path}: {message}")

    def indices(self, names: list[str], path: str) -> tuple[int, ...]:
        unknown = [name for name in names if name not in self.index]
        if unknown:
            self.fail(path, f'unknown component "{unknown[0]}"')
        return tuple(self.index[name] for name in names)

    def rate(self, law: Any, path: str, what: str) -> float:
        name = law.get("law") if isinstance(law, dict) else law
        if name != "Exponential":
            article = "an" if str(name)[:1].upper() in "AEIO" else "a"
            self.fail(path, f"{what} follows {article} {name} law; the exact Markov answer needs"
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
                rate = self.rate(law, self.transition_key(name, index), what)
                moves.setdefault(source, []).append((target, rate))
            units.append(_Unit(name, states, failed, moves))
        self._standby(units)
        return units

    def _standby(self, units: list[_Unit]) -> None:
        for unit in units:
            standby = self.description["components"][unit.name].get("standby")
            if standby is None:
                continue
            unit.is_standby = True
            unit.covers = self.indices(standby["covers"], f"components.{unit.name}.standby.covers")
            unit.start_failure = float(standby.get("start_failure", 0.0))
            if standby.get("dormant") is not None:
                unit.dormant_rate = self.rate(standby["dormant"],
                                              f"components.{unit.name}.standby.dormant",
                                              "the dormant failure")

    def groups(self, units: list[_Unit]) -> list[_Group]:
        """Common-cause groups; a beta factor also takes its share off each member's failure."""
        groups = []
        for name, entry in self.description.get("common_cause", {}).items():
            members = self.indices(entry["members"], f"common_cause.{name}.members")
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
        pools = []
        for name, entry in self.description.get("crews", {}).items():
            members = self.indices(entry["repairs"], f"crews.{name}.repairs")
            mobilisation = 0.0
            if "mobilisation" in entry:
                mobilisation = self.rate(entry["mobilisation"], f"crews.{name}.mobilisation",
                                         "the mobilisation")
            pools.append(_Pool(int(entry.get("count", 1)),
                               entry.get("order", "first_failed") == "listed",
                               members, {m: position for position, m in enumerate(members)},
                               mobilisation))
            for member in members:
                units[member].pool = len(pools) - 1
        return pools

    def logistics(self, units: list[_Unit]) -> list[_Stock]:
        """Logistic delays and stocks; an (s, S) policy has no chain here."""
        for unit in units:
            repair = self.description["components"][unit.name].get("repair_logistics", {})
            if "delay" in repair:
                unit.delay_rate = self.rate(repair["delay"],
                                            f"components.{unit.name}.repair_logistics.delay",
                                            "the logistic delay")
        stocks = []
        for name, entry in self.description.get("spares", {}).items():
            path = f"spares.{name}"
            if "reorder_point" in entry:
                self.fail(f"{path}.reorder_point", "the exact Markov answer takes one-for-one"
                                                   " stocks only (tarvo run simulates (s, S))")
            rate = self.rate(entry["lead_time"], f"{path}.lead_time", "the lead time")
            for member in self.indices(entry["parts"], f"{path}.parts"):
                units[member].stock = len(stocks)
            stocks.append(_Stock(int(entry["stock"]), rate))
        return stocks

    def cut_sets(self) -> list[tuple[int, ...]]:
        return [self.indices(members, f"system.cut_sets[{i}]")
                for i, members in enumerate(self.description["system"]["cut_sets"])]


# --- The chain -----------------------------------------------------------------------------

# A chain state: every component's mode (its state index, or its standby_mode), then one tuple
# per pool, the components waiting for a crew of that pool, head first.
State = tuple


# What remains to be done in an instant, done last-in first-out so that the consequences of a
# change come before the rest of what caused it (depth first):
#   ("went_down", c, was_running)  c went down; was_running: a standby unit that was running
#   ("came_up", c)                 c came back up
#   ("replace", s)                 running standby unit s went down: cover what it covered
#   ("demand", c, first)           demand the standby units covering c, from position `first`
Task = tuple


@dataclass
class _World:
    """One branch of an instant being settled: its probability, the changes so far and the
    tasks left (a stack)."""

    probability: float
    modes: list[int]
    went_down: list[int]
    tasks: list[Task]
    steps: list[int] | None = None  # with logistics: each component's step
    stocks: list[list] | None = None  # with logistics: each stock's [shelf, on order, waiting]

    def fork(self, probability: float) -> "_World":
        return _World(self.probability * probability, list(self.modes), list(self.went_down),
                      list(self.tasks), None if self.steps is None else list(self.steps),
                      None if self.stocks is None else
                      [[shelf, ordered, list(line)] for shelf, ordered, line in self.stocks])


@dataclass(frozen=True)
class MarkovChain:
    """The chain of a model: generator (CSR; off-diagonal rates, rows summing to 0), failed
    states, the start (state 0) and every state's description for inspection."""

    generator: sparse.csr_matrix
    failed: np.ndarray  # bool per state: the system is failed
    states: tuple[State, ...]
    names: tuple[str, ...]  # component names, in the order of a state's modes
    mode_names: tuple[tuple[str, ...], ...]  # per component, its states' names (then "standby")
    source: str = "<dict>"  # the model's file, for messages
    pools: int | None = None  # crew queues in a state; None: every entry after the modes

    @property
    def size(self) -> int:
        return len(self.states)

    def state_text(self, index: int) -> str:
        """'pump[1]=failed, spare=standby; crews waiting: pump[2]'."""
        state = self.states[index]
        modes = ", ".join(f"{name}={self.mode_names[c][state[c]]}"
                          for c, name in enumerate(self.names))
        n = len(self.names)
        queues = state[n:] if self.pools is None else state[n:n + self.pools]
        waiting = [self.names[c] for queue in queues for c in queue]
        text = modes + (f"; crews waiting: {', '.join(waiting)}" if waiting else "")
        if self.pools is not None:
            steps, stocks = state[n + self.pools]
            busy = [f"{self.names[c]} {('delay', 'mobilising', 'awaiting a part')[step - 1]}"
                    for c, step in enumerate(steps) if step]
            text += "".join(f"; {b}" for b in busy)
            text += "".join(f"; stock {i}: {shelf} on the shelf, {ordered} on order"
                            for i, (shelf, ordered, _) in enumerate(stocks))
        return text


class _ChainBuilder:
    def __init__(self, description: dict, source: str,
                 transition_key: Callable[[str, int], str] | None = None):
        reader = _Reader(description, source, transition_key)
        self.units = reader.units()
        self.groups = reader.groups(self.units)
        self.pools = reader.pools(self.units)
        self.stocks = reader.logistics(self.units)
        # With logistics a state ends with (each component's step, each stock's
        # (shelf, on order, units waiting in order)).
        self.logistic = bool(self.stocks) or any(u.delay_rate > 0 for u in self.units) or any(
            p.mobilisation_rate > 0 for p in self.pools)
        self.cut_sets = reader.cut_sets()
        self.source = source
        # covering[c]: the standby units covering component c, in file order.
        self.covering: list[list[int]] = [[] for _ in self.units]
        for s, unit in enumerate(self.units):
            for c in unit.covers:
                self.covering[c].append(s)

    # --- States ---

    def start(self) -> State:
        modes = tuple(u.standby_mode if u.is_standby else 0 for u in self.units)
        state = modes + tuple(() for _ in self.pools)
        if self.logistic:
            state += ((tuple(0 for _ in self.units), tuple((s.initial, 0, ()) for s in self.stocks)),)
        return state

    def is_down(self, modes, c: int) -> bool:
        return self.units[c].is_down(modes[c])

    def system_failed(self, state: State) -> bool:
        # A state's first entries are the modes, one per component.
        return any(all(self.is_down(state, c) for c in members) for members in self.cut_sets)

    def upper_bound(self) -> float:
        """A bound on the number of states: every mode combination times every queue."""
        bound = 1.0
        for unit in self.units:
            bound *= len(unit.states) + unit.is_standby
        for pool in self.pools:
            n = len(pool.members)
            bound *= sum(math.perm(n, k) for k in range(n + 1))
        if self.logistic:
            bound *= 4.0 ** len(self.units)
            for stock in self.stocks:
                bound *= (stock.initial + len(self.units) + 1) ** 2
        return bound

    # --- Events ---

    def events(self, state: State) -> Iterator[tuple[float, str, int, int]]:
        """(rate, kind, subject, target) of everything that can happen next."""
        n = len(self.units)
        waiting = {c for queue in state[n:n + len(self.pools)] for c in queue}
        steps, stocks = state[-1] if self.logistic else ((0,) * n, ())
        for c, unit in enumerate(self.units):
            mode = state[c]
            if unit.is_standby and mode == unit.standby_mode:
                if unit.dormant_rate > 0:
                    yield unit.dormant_rate, "move", c, unit.failed
                continue
            for target, rate in unit.moves.get(mode, ()):
                if target == 0 and unit.pool is not None and c in waiting:
                    continue  # back to work needs a crew
                if target == 0 and steps[c] != _IDLE:
                    continue  # ... and the end of its logistics
                yield rate, "move", c, target
            if steps[c] == _DELAY:
                yield unit.delay_rate, "delay_over", c, 0
            elif steps[c] == _MOBILISING:
                yield self.pools[unit.pool].mobilisation_rate, "crew_there", c, 0
        for i, (_, ordered, _) in enumerate(stocks):
            if ordered:
                yield ordered * self.stocks[i].lead_rate, "delivery", i, 0
        for g, group in enumerate(self.groups):
            if any(not self.is_down(state, m) for m in group.members):
                yield group.rate, "strike", g, 0

    def outcomes(self, state: State, kind: str, subject: int, target: int
                 ) -> dict[State, float]:
        """The states the event leads to once its instant has settled, with their chances."""
        n = len(self.units)
        modes = list(state[:n])
        world = _World(1.0, modes, [], [])
        queues = state[n:n + len(self.pools)]
        if self.logistic:
            world.steps = list(state[-1][0])
            world.stocks = [[shelf, ordered, list(line)] for shelf, ordered, line in state[-1][1]]
        if kind in ("delay_over", "crew_there", "delivery"):
            return {self._logistic_event(world, queues, kind, subject): 1.0}
        if kind == "strike":
            # Every member is put down first, then the consequences of each follow, in
            # component order: a shock does not demand a standby unit it fails itself.
            struck = [m for m in sorted(self.groups[subject].members)
                      if not self.is_down(modes, m)]
            running = [self._is_running(modes, m) for m in struck]
            for m in struck:
                modes[m] = self.units[m].failed
            world.went_down += struck
            world.tasks += [("went_down", m, r) for m, r in reversed(list(zip(struck, running)))]
        else:
            self._move(world, subject, target)
        result: dict[State, float] = {}
        for settled in self._settle(world):
            final = self._queue(settled, queues)
            result[final] = result.get(final, 0.0) + settled.probability
        return result

    def _is_running(self, modes, c: int) -> bool:
        unit = self.units[c]
        return unit.is_standby and modes[c] != unit.standby_mode and not unit.is_down(modes[c])

    def _move(self, world: _World, c: int, target: int) -> None:
        unit, modes = self.units[c], world.modes
        was_down, was_running = unit.is_down(modes[c]), self._is_running(modes, c)
        if unit.is_standby and was_down and not unit.is_down(target):
            target = unit.standby_mode  # back from repair, it waits in standby
        modes[c] = target
        if not was_down and unit.is_down(target):
            world.went_down.append(c)
            world.tasks.append(("went_down", c, was_running))
        elif was_down and not unit.is_down(target):
            world.tasks.append(("came_up", c))

    def _settle(self, world: _World) -> list[_World]:
        """Runs the standby rules of the instant to the end, branching on start failures."""
        done, pending = [], [world]
        while pending:
            current = pending.pop()
            if current.tasks:
                pending += self._do(current, current.tasks.pop())
            else:
                done.append(current)
        return done

    def _do(self, world: _World, task: Task) -> list[_World]:
        kind, c = task[0], task[1]
        modes = world.modes
        if kind == "went_down":
            # Replacing a running unit comes before demanding the units covering c.
            if self.covering[c]:
                world.tasks.append(("demand", c, 0))
            if task[2]:
                world.tasks.append(("replace", c))
        elif kind == "replace":
            down = [x for x in self.units[c].covers if self.is_down(modes, x)]
            if down:
                world.tasks.append(("demand", down[0], 0))
        elif kind == "demand":
            standbys = self.covering[c]
            for position in range(task[2], len(standbys)):
                s = standbys[position]
                if modes[s] == self.units[s].standby_mode:
                    return self._try_start(world, s, ("demand", c, position + 1))
        else:  # came_up
            for s in self.covering[c]:
                if (self._is_running(modes, s)
                        and not any(self.is_down(modes, x) for x in self.units[s].covers)):
                    modes[s] = self.units[s].standby_mode
            unit = self.units[c]
            if (unit.is_standby and modes[c] == unit.standby_mode
                    and any(self.is_down(modes, x) for x in unit.covers)):
                return self._try_start(world, c, None)
        return [world]

    def _try_start(self, world: _World, s: int, on_failure: Task | None) -> list[_World]:
        """Demands standby unit s: it runs, or fails to start (with its chance) and goes down,
        whose consequences come before `on_failure`."""
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
            if on_failure is not None:
                failed.tasks.append(on_failure)
            failed.tasks.append(("went_down", s, False))
            branches.append(failed)
        return branches

    def _queue(self, world: _World, queues: tuple, joining: tuple[int, ...] = ()) -> State:
        """The settled state: new pool members down join their queues, free crews start.
        `joining`: components whose logistic delay just ended, joining in that order."""
        modes = world.modes
        if self.logistic:
            # Components that came up leave the logistics; those that went down start them.
            for c, unit in enumerate(self.units):
                if not unit.is_down(modes[c]) and world.steps[c] != _IDLE:
                    self._leave_logistics(world, c)
            went_down = []
            for c in sorted(world.went_down):
                if not self.is_down(modes, c):
                    continue
                if self.units[c].delay_rate > 0:
                    world.steps[c] = _DELAY
                elif self.units[c].pool is not None:
                    went_down.append(c)
                else:
                    self._take_part(world, c)
        else:
            went_down = world.went_down
        new_queues = []
        for p, pool in enumerate(self.pools):
            queue = list(queues[p]) + sorted(c for c in went_down if self.units[c].pool == p)
            queue += [c for c in joining if self.units[c].pool == p]
            if pool.listed:
                queue.sort(key=pool.rank.__getitem__)
            waiting = set(queue)
            busy = sum(1 for m in pool.members if self.is_down(modes, m) and m not in waiting
                       and (not self.logistic or world.steps[m] != _DELAY))
            free = max(pool.count - busy, 0)
            new_queues.append(tuple(queue[free:]))
            if self.logistic:
                for c in queue[:free]:  # the crews taken now
                    if pool.mobilisation_rate > 0:
                        world.steps[c] = _MOBILISING
                    else:
                        self._take_part(world, c)
        state = tuple(modes) + tuple(new_queues)
        if self.logistic:
            state += ((tuple(world.steps),
                       tuple((shelf, ordered, tuple(line)) for shelf, ordered, line in world.stocks)),)
        return state

    # --- Logistics ---

    def _take_part(self, world: _World, c: int) -> None:
        """The crew is at c (or c needs none): a part if its repair takes one."""
        s = self.units[c].stock
        world.steps[c] = _IDLE
        if s is None:
            return
        stock = world.stocks[s]
        stock[1] += 1  # one for one: every part asked for is ordered
        if stock[0] > 0:
            stock[0] -= 1
        else:
            world.steps[c] = _AWAITING_PART
            stock[2].append(c)

    def _leave_logistics(self, world: _World, c: int) -> None:
        if world.steps[c] == _AWAITING_PART:
            world.stocks[self.units[c].stock][2].remove(c)
        world.steps[c] = _IDLE

    def _logistic_event(self, world: _World, queues: tuple, kind: str, subject: int) -> State:
        if kind == "delay_over":
            world.steps[subject] = _IDLE
            if self.units[subject].pool is not None:
                return self._queue(world, queues, joining=(subject,))
            self._take_part(world, subject)
        elif kind == "crew_there":
            self._take_part(world, subject)
        else:  # a delivery: the part goes to the unit that has waited longest
            stock = world.stocks[subject]
            stock[1] -= 1
            if stock[2]:
                world.steps[stock[2].pop(0)] = _IDLE
            else:
                stock[0] += 1
        return self._queue(world, queues)

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
        return MarkovChain(generator, failed, tuple(states), tuple(u.name for u in self.units),
                           tuple((*u.states, "standby") for u in self.units), self.source,
                           len(self.pools) if self.logistic else None)

    def _too_large(self, state_limit: int) -> None:
        raise MarkovError(f"{self.source}: the Markov chain of this model has more than"
                          f" {state_limit:,} states (up to {self.upper_bound():.3g}); the exact"
                          " answer is limited to that size: simulate it with tarvo run, or raise"
                          " the state limit")


def build_chain(description: dict, state_limit: int = DEFAULT_STATE_LIMIT,
                source: str = "<dict>",
                transition_key: Callable[[str, int], str] | None = None) -> MarkovChain:
    """The Markov chain of a model description; raises MarkovError for a law that is not
    Exponential (naming it by `transition_key(component, index)`, the key the file wrote) or a
    chain of more than `state_limit` states."""
    return _ChainBuilder(description, source, transition_key).build(state_limit)


# --- Solving -------------------------------------------------------------------------------

# Uniformization leaves out the Poisson terms whose weight, summed, is below this per step.
_TAIL = 1e-18
# Steps are cut so that rate x step stays at most this: e^(-rate step) stays far from
# underflow and a step needs about rate x step + 10 sqrt(rate x step) terms.
_RATE_STEP = 50.0
# A march stops early once the normalised distribution moves by less than _SETTLED (L1) per
# time unit for _SETTLED_UNITS units in a row (and, for the whole chain, lies within
# _NEAR_STEADY of its steady state); every later unit then repeats the last, scaled by its
# decay. Slow changes of larger amplitude keep it marching.
_SETTLED = 1e-15
_SETTLED_UNITS = 3
_NEAR_STEADY = 1e-10
# Chains up to this size march by their dense one-unit propagator (two dense products a unit);
# larger ones by uniformization (a dozen sparse products a unit, more for fast rates).
_DENSE_STATES = 400
# Linear systems up to this size are factorised; larger ones go to GMRES, since the factors of
# chains with crew queues fill in badly (8 units sharing 2 crews: 55,000 states, gigabytes).
_DIRECT_SIZE = 2_000


def _poisson_weights(mean: float, rate: float) -> tuple[np.ndarray, np.ndarray]:
    """For k = 0 .. K: P(Poisson(mean) = k), and the integral over the step of the k-th term's
    weight, P(Poisson(mean) > k) / rate; K the first k whose tail is below _TAIL."""
    k = np.arange(int(mean + 40 + 12 * math.sqrt(mean)))
    pmf = np.exp(-mean + k * math.log(mean) - np.array([math.lgamma(i + 1) for i in k]))
    tail = np.cumsum(pmf[::-1])[::-1] - pmf  # P(N > k), summed from the small end
    last = int(np.argmax(tail < _TAIL))
    return pmf[:last + 1], tail[:last + 1] / rate


class _Propagator:
    """One time unit of a chain: the distribution a unit on and the integrals of weights @ p
    over the unit. Vectors are columns: `column_generator` is Q transposed.

    A small chain (up to _DENSE_STATES states) takes its dense one-unit propagator once:
    exp([[Q, 0], [I, 0]]) holds exp(Q) and its integral over the unit, so that a unit is two
    dense products. A larger one goes by uniformization: with P = I + Q / rate (rate at least
    every state's exit rate), p(s) = sum_k P(Poisson(rate s) = k) p P^k, a sum of non-negative
    terms, and the integral of the k-th weight over a step h is P(Poisson(rate h) > k) / rate.
    """

    def __init__(self, column_generator: sparse.csr_matrix, weights: np.ndarray):
        n = column_generator.shape[0]
        self.weights = weights
        self.dense = n <= _DENSE_STATES
        if self.dense:
            block = np.zeros((2 * n, 2 * n))
            block[:n, :n] = column_generator.toarray()
            block[n:, :n] = np.identity(n)
            exponential = expm(block)
            self.unit_step = exponential[:n, :n]
            self.unit_integrals = weights @ exponential[n:, :n]
            return
        self.rate = float(max(-column_generator.diagonal().min(initial=0.0), 0.0))
        self.substeps = max(1, math.ceil(self.rate / _RATE_STEP))
        if self.rate == 0:
            self.matrix = None
            self.poisson, self.integral = np.ones(1), np.ones(1)
        else:
            self.matrix = (sparse.identity(n, format="csr") + column_generator / self.rate).tocsr()
            self.poisson, self.integral = _poisson_weights(self.rate / self.substeps, self.rate)

    def step(self, vector: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        if self.dense:
            return self.unit_step @ vector, self.unit_integrals @ vector
        weights = self.weights
        integrals = np.zeros(len(weights))
        for _ in range(self.substeps):
            term, following = vector, self.poisson[0] * vector
            integrals += self.integral[0] * (weights @ term)
            for k in range(1, len(self.poisson)):
                term = self.matrix @ term
                following += self.poisson[k] * term
                integrals += self.integral[k] * (weights @ term)
            vector = following
        return vector, integrals


@dataclass
class _March:
    """A chain marched over the horizon: at each boundary t = 0 .. horizon the weights'
    products with the distribution (`at`) and its mass; per unit their integrals (`over`)."""

    at: np.ndarray  # (horizon + 1, weights)
    mass: np.ndarray  # (horizon + 1,)
    over: np.ndarray  # (horizon, weights)


def _march(column_generator: sparse.csr_matrix, start: np.ndarray, horizon: int,
           weights: np.ndarray, steady: np.ndarray | None = None) -> _March:
    propagator = _Propagator(column_generator, weights)
    at = np.zeros((horizon + 1, len(weights)))
    over = np.zeros((horizon, len(weights)))
    mass = np.zeros(horizon + 1)
    vector = start
    at[0], mass[0] = weights @ vector, vector.sum()
    calm = 0
    for u in range(horizon):
        following, over[u] = propagator.step(vector)
        at[u + 1], mass[u + 1] = weights @ following, following.sum()
        if mass[u + 1] < 1e-300:  # absorbed: nothing left to follow
            break
        shape = following / mass[u + 1]
        settled = (np.abs(shape - vector / mass[u]).sum() <= _SETTLED
                   and (steady is None or np.abs(shape - steady).sum() <= _NEAR_STEADY))
        calm = calm + 1 if settled else 0
        vector = following
        if calm >= _SETTLED_UNITS:
            decay = (mass[u + 1] / mass[u]) ** np.arange(1, horizon - u)
            over[u + 1:] = over[u] * decay[:, None]
            at[u + 2:] = at[u + 1] * decay[:, None]
            mass[u + 2:] = mass[u + 1] * decay
            break
    return _March(at, mass, over)


def _solve(matrix: sparse.spmatrix, right: np.ndarray, source: str) -> np.ndarray:
    """x with matrix x = right, for the regular systems of a chain (a generator with a state
    fixed, or restricted to transient states): factorised when small, else GMRES
    preconditioned by the diagonal, then by an incomplete factorisation if that stalls."""
    matrix = sparse.csr_matrix(matrix)
    n = matrix.shape[0]
    if n <= _DIRECT_SIZE:
        return np.atleast_1d(spsolve(matrix.tocsc(), right))
    diagonal = matrix.diagonal()
    preconditioners = (lambda: LinearOperator((n, n), lambda x: x / diagonal),
                       lambda: LinearOperator((n, n), spilu(matrix.tocsc(), drop_tol=1e-6,
                                                            fill_factor=10).solve))
    for preconditioner in preconditioners:
        solution, info = gmres(matrix, right, M=preconditioner(), rtol=1e-12, atol=0.0,
                               restart=50, maxiter=100)
        if info == 0:
            return solution
    raise MarkovError(f"{source}: the steady state of the Markov chain ({n:,} states) did not"
                      " converge")


def _reliability(chain: MarkovChain, horizon: int) -> np.ndarray:
    """P(no system failure in [0, t]) at t = 1 .. horizon: the chain on working states."""
    if chain.failed[0]:
        return np.zeros(horizon)
    working = np.flatnonzero(~chain.failed)  # the start, 0, comes first
    start = np.zeros(len(working))
    start[0] = 1.0
    restricted = chain.generator[working][:, working].T.tocsr()
    return _march(restricted, start, horizon, np.zeros((0, len(working)))).mass[1:]


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
    times = _solve(-chain.generator[keep][:, keep], np.ones(len(keep)), chain.source)
    return float(times[0])


def _can_reach(generator: sparse.csr_matrix, targets: np.ndarray) -> np.ndarray:
    """Per state: whether some path of the chain leads from it into `targets`. A search
    backwards from an extra node joined to every target."""
    n = generator.shape[0]
    count = int(targets.sum())
    into_targets = sparse.csr_matrix((np.ones(count), (np.full(count, n), np.flatnonzero(targets))),
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
    between = generator.tocoo()
    between_classes = label[between.row] != label[between.col]
    open_class = np.zeros(count, dtype=bool)
    open_class[label[between.row[between_classes]]] = True
    is_transient = open_class[label]
    weights = np.zeros(count)
    if is_transient[0]:
        # The expected time spent in each transient state from the start, then the flow out
        # of them into each closed class.
        transient = np.flatnonzero(is_transient)  # the start, 0, comes first
        unit = np.zeros(len(transient))
        unit[0] = 1.0
        occupancy = _solve(-generator[transient][:, transient].T, unit, chain.source)
        flows = generator[transient].T @ occupancy
        np.add.at(weights, label[~is_transient], flows[~is_transient])
    else:
        weights[label[0]] = 1.0
    steady = np.zeros(chain.size)
    for closed in np.flatnonzero(weights > 0):
        members = np.flatnonzero(label == closed)
        steady[members] = weights[closed] * _stationary(generator[members][:, members],
                                                        chain.source)
    return steady


def _stationary(generator: sparse.csr_matrix, source: str) -> np.ndarray:
    """pi Q = 0 with sum(pi) = 1 on one closed class. Its first state (the first found, a
    likely one) is given probability 1 and dropped, which leaves a regular system for the
    others; then the whole is normalised. Fixing an unlikely state instead would scale the
    unknowns by the inverse of its tiny probability and stall iterative solvers."""
    n = generator.shape[0]
    if n == 1:
        return np.ones(1)
    columns = generator.T.tocsr()
    others = _solve(columns[1:][:, 1:], -columns[1:, 0].toarray().ravel(), source)
    pi = np.clip(np.concatenate([[1.0], others]), 0.0, None)
    return pi / pi.sum()


def solve_chain(chain: MarkovChain, horizon: int, name: str = "study",
                time_unit: str = "time unit", description: dict | None = None) -> MarkovAnswer:
    """Every figure of a chain over [0, horizon] time units and in the long run; with the
    model's `description`, its production figures too when it has capacities."""
    failed = chain.failed.astype(float)
    # Rate of entering the failed set from each working state (zero from failed states).
    entry_rates = (chain.generator @ failed) * (1.0 - failed)
    steady = _steady_state(chain)
    start = np.zeros(chain.size)
    start[0] = 1.0
    rewards = None if description is None else reward_rows(chain.states, chain.mode_names,
                                                           chain.names, description)
    weights = np.vstack([failed, entry_rates] + ([rewards[0]] if rewards else []))
    march = _march(chain.generator.T.tocsr(), start, horizon, weights, steady)
    production = None if rewards is None else production_of(rewards[1], march.over[:, 2:], steady,
                                                             rewards[0], horizon)
    reliability = np.clip(_reliability(chain, horizon), 0.0, 1.0)
    total_downtime = float(march.over[:, 0].sum())
    total_failures = float(march.over[:, 1].sum()) + float(chain.failed[0])
    return MarkovAnswer(
        name=name, time_unit=time_unit, horizon=horizon, states=chain.size,
        unavailability=np.clip(march.over[:, 0], 0.0, 1.0),
        point_unavailability=np.clip(march.at[:, 0], 0.0, 1.0),
        failures_per_unit=np.clip(march.over[:, 1], 0.0, None),
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
        production=production,
    )


def _refuse_if_too_large(horizon: int, states: int, source: str) -> None:
    refused = memory.markov_refusal(horizon, states)
    if refused is not None:
        key, message = refused
        raise MarkovError(f"{source}: {key}: {message}")


def solve_markov(description: dict, state_limit: int = DEFAULT_STATE_LIMIT,
                 source: str = "<dict>",
                 transition_key: Callable[[str, int], str] | None = None) -> MarkovAnswer:
    """The exact answer of a model description (the model reader's plain dict: components in
    the general form, common_cause, crews, standby keys, system.cut_sets and study).

    Raises MarkovError (a ModelError, hence a ValueError) naming the component and transition
    of the first law that is not Exponential (by `transition_key(component, index)`, the key
    the file wrote, if given), giving the size of a chain above `state_limit` states, or the
    memory the answer needs when this process does not have it (model/memory.py).
    """
    study = description.get("study", {})
    horizon = int(study["horizon"])
    _refuse_if_too_large(horizon, 1, source)  # before the chain is built, on its horizon
    chain = build_chain(description, state_limit, source, transition_key)
    _refuse_if_too_large(horizon, chain.size, source)
    return solve_chain(chain, horizon, str(study.get("name", "study")),
                       str(study.get("time_unit", "time unit")), description)
