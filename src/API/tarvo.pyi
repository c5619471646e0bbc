"""
Python bindings for the simulator library
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['Calendar', 'CapacityProgram', 'CutsetTree', 'Dependencies', 'Discrete', 'Distribution', 'Exponential', 'Inspection', 'InstantaneousFailure', 'Logistics', 'Lognormal', 'Maintenance', 'Normal', 'Uniform', 'Weibull', 'limitOMPThreads', 'reportSIMDSupport', 'runnerCalendarStudy', 'runnerMultipleSim', 'runnerParallelSim', 'runnerSingleSim', 'runnerStudy']
class Distribution:
    def __init__(self) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        """
        Cumulative distribution function
        """
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        """
        Probability density function
        """
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        """
        Quantile function
        """
class Normal(Distribution):
    def __init__(self, mean: typing.SupportsFloat, stddev: typing.SupportsFloat) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class Exponential(Distribution):
    def __init__(self, lambda_: typing.SupportsFloat, /) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class Uniform(Distribution):
    def __init__(self, a: typing.SupportsFloat, b: typing.SupportsFloat) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class Weibull(Distribution):
    def __init__(self, lambda_: typing.SupportsFloat, /, k: typing.SupportsFloat) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class Inspection(Distribution):
    def __init__(self, inspectionTime: typing.SupportsInt) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class Maintenance(Distribution):
    def __init__(self, maintenanceTimes: collections.abc.Sequence[typing.SupportsInt]) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class InstantaneousFailure(Distribution):
    def __init__(self, failureTime: typing.SupportsInt) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class Discrete(Distribution):
    def __init__(self, values: collections.abc.Sequence[typing.SupportsInt]) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class Lognormal(Distribution):
    def __init__(self, mu: typing.SupportsFloat, sigma: typing.SupportsFloat) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat, arg1: typing.SupportsInt) -> float:
        ...
class CutsetTree:
    def __init__(self, cutsetSize: typing.SupportsInt) -> None:
        ...
    def constructTree(self, cutsets: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt]]) -> None:
        """
        Construct the cutset tree from a list of cutsets
        """
    def findNode(self, cutset: collections.abc.Sequence[typing.SupportsInt]) -> list[int]:
        """
        Find a node in the cutset tree by its cutset
        """
    def getRoot(self) -> typing.NoReturn:
        """
        Get the root node of the cutset tree
        """
    def insertNode(self, cutset: collections.abc.Sequence[typing.SupportsInt]) -> None:
        """
        Insert a new node into the cutset tree
        """
class Dependencies:
    """
    Dependencies between the components of a model for runnerStudy.
    
    Components are numbered as in the model (transitionsMatrix); states as in its rows. By default
    every component starts in state 0, state 0 is its only working state, and components are
    independent. Each method checks its arguments and raises ValueError naming what is wrong; what
    depends on the model (state indices, down flags of the states named) is checked when a run
    starts. Laws given here are kept alive by this object. Not to be changed while a run uses it.
    """
    def __init__(self, numComponents: typing.SupportsInt) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def addCommonCause(self, members: collections.abc.Sequence[typing.SupportsInt], failedStates: collections.abc.Sequence[typing.SupportsInt], shock: Distribution) -> int:
        """
        Add a common-cause group and return its index. Shocks follow the law `shock` from
        time 0 and again from each shock; a shock puts every member that is not down into
        its failed state, failedStates[i] for members[i].
        """
    def addCrewPool(self, count: typing.SupportsInt, members: collections.abc.Sequence[typing.SupportsInt], order: str = 'first_failed') -> int:
        """
        Add a pool of `count` repair crews for `members` and return its index. A member that
        goes down waits for a free crew; its repair (its transition into state 0) is drawn
        when the crew starts. order: "first_failed" (the default) serves the one down the
        longest, "listed" the one first in `members`.
        """
    def addStandby(self, component: typing.SupportsInt, covers: collections.abc.Sequence[typing.SupportsInt], runningState: typing.SupportsInt, standbyState: typing.SupportsInt, failedState: typing.SupportsInt, dormant: Distribution | None = None, startFailure: typing.SupportsFloat = 0.0) -> None:
        """
        Make a component a standby unit covering the components `covers`. It starts in
        standbyState, which counts as working. When a covered component goes down it is
        demanded: it fails to start (into failedState) with probability startFailure, else
        runs in runningState; it returns to standby when no covered component is down.
        `dormant`, if given, is the law of its failure in standby (standbyState ->
        failedState).
        """
    def setDownStates(self, component: typing.SupportsInt, down: collections.abc.Sequence[bool]) -> None:
        """
        Set which states of a component count as down (failed) for the failure logic:
        down[s] for state s; states beyond the list are down.
        """
    def setInitialState(self, component: typing.SupportsInt, state: typing.SupportsInt) -> None:
        """
        Set the state a component starts in.
        """
    def setLogistics(self, logistics: Logistics) -> None:
        """
        Attach repair logistics: delays, mobilisation, spare parts, ages and costs.
        """
    @property
    def numComponents(self) -> int:
        """
        The number of components the dependencies describe
        """
class CapacityProgram:
    """
    A system's capacity as a program over its components' states.
    
    Every number is an integer in quanta: `scale` quanta make one capacity unit. Nodes are added
    operands first; each returns its index and may be the operand of one later node; the last node
    is the system's capacity. A product is the integer product divided by `scale`, truncated. Given
    to runnerStudy(..., capacity=...), the study also returns what the system delivers against
    `demand`, and the time at each level of `levels`.
    """
    def __init__(self, numComponents: typing.SupportsInt, scale: typing.SupportsInt) -> None:
        ...
    def addComponent(self, component: typing.SupportsInt) -> int:
        """
        Add a node holding a component's capacity; returns its index.
        """
    def addConstant(self, value: typing.SupportsInt) -> int:
        """
        Add a constant node (quanta); returns its index.
        """
    def addOperation(self, op: str, operands: collections.abc.Sequence[typing.SupportsInt]) -> int:
        """
        Add "sum", "min", "max" or "product" over earlier nodes; returns its index.
        """
    def capacityOf(self, states: collections.abc.Sequence[typing.SupportsInt]) -> int:
        """
        The system's capacity (quanta) with component c in states[c], set one after the
        other from the initial states as a history would.
        """
    def setComponent(self, component: typing.SupportsInt, perState: collections.abc.Sequence[typing.SupportsInt], initialState: typing.SupportsInt = 0) -> None:
        """
        Set a component's capacity in each of its states (quanta) and its initial state.
        """
    def setDemand(self, demand: typing.SupportsInt) -> None:
        """
        Set the demand (quanta).
        """
    def setLevels(self, lowerBounds: collections.abc.Sequence[typing.SupportsInt]) -> None:
        """
        Set the levels' lower bounds (quanta): increasing, the first 0.
        """
    @property
    def demand(self) -> int:
        ...
    @property
    def levels(self) -> list[int]:
        ...
    @property
    def scale(self) -> int:
        ...
class Logistics:
    """
    Repair logistics of a model for runnerStudy, attached with Dependencies.setLogistics.
    
    A repair waits, in order, for its component's logistic delay, a crew of its pool and the pool's
    mobilisation, and a part from its stock; then its repair law is drawn. A repair takes away
    (1 - restoration) of the age gained since the last one (Kijima I, or II of the whole age), and
    the next failure is drawn given survival to that virtual age. Times are engine steps. The
    figures of every history (downtime by cause, counts, shelf and crew time) are summed in the
    result's "logistics" entry; figureNames() says which is which. Laws given here are kept alive
    by this object.
    """
    def __init__(self, numComponents: typing.SupportsInt, pools: typing.SupportsInt = 0) -> None:
        ...
    def addStock(self, parts: collections.abc.Sequence[typing.SupportsInt], stock: typing.SupportsInt, leadTime: Distribution, reorderPoint: typing.SupportsInt = -1, orderUpTo: typing.SupportsInt = 0) -> int:
        """
        Add a stock of spare parts for the repairs of `parts` and return its index:
        `stock` parts on the shelf at time 0, reordered one for one (reorderPoint < 0) or
        up to orderUpTo when the position falls to reorderPoint; deliveries after leadTime.
        """
    def figureCount(self) -> int:
        """
        The number of figures a history keeps.
        """
    def figureNames(self) -> list[str]:
        """
        The name of each figure of a history, in order.
        """
    def setAgeing(self, component: typing.SupportsInt, restoration: typing.SupportsFloat, model: str = 'kijima1', age: typing.SupportsFloat = 0.0, weibullScale: typing.SupportsFloat = 0.0, weibullShape: typing.SupportsFloat = 0.0) -> None:
        """
        Set the restoration (in [0, 1]) of the component's repairs, the ageing model
        ("kijima1" or "kijima2") and its virtual age at time 0 (steps). weibullScale and
        weibullShape, the failure law's, give the closed form of the conditioned draw.
        """
    def setCostWeights(self, kind: typing.SupportsInt, weights: collections.abc.Sequence[typing.SupportsFloat], fixed: typing.SupportsFloat = 0.0) -> None:
        """
        Set the weights of a cost kind (0 system downtime, 1 lost production, 2 repairs,
        3 crews, 4 parts) over the figures of a history, and what the kind costs in every
        history.
        """
    def setMobilisation(self, pool: typing.SupportsInt, law: Distribution) -> None:
        """
        Set the time a crew of the pool takes from its call to the unit.
        """
    def setRepairDelay(self, component: typing.SupportsInt, delay: Distribution) -> None:
        """
        Set the logistic delay a repair of the component waits before anything else.
        """
class Calendar:
    """
    The plant's calendar for runnerCalendarStudy.
    
    Phases, each with a fixed duration in steps or a law drawn at its start, a required flag and a
    logic (cut sets added with addLogic); the sequence they follow, repeated to the horizon; per
    component the pace of its clocks out of its working states in each phase, the phase its repairs
    wait for, its planned states and its test. Each method checks its arguments and raises
    ValueError naming what is wrong; what depends on the model is checked when a run starts. Laws
    given here are kept alive by this object.
    """
    def __init__(self, numComponents: typing.SupportsInt) -> None:
        ...
    def addLogic(self, cutSets: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt]]) -> int:
        """
        Add a failure logic (cut sets of component indices); its index.
        """
    def addPhase(self, name: str, fixedSteps: typing.SupportsInt, duration: Distribution | None = None, required: bool = True, logic: typing.SupportsInt = 0) -> int:
        """
        Add a phase and return its index: a fixed duration in steps, or a law `duration`
        drawn at each start; whether the plant is required to run; its logic's index.
        """
    def addTest(self, component: typing.SupportsInt, period: typing.SupportsInt, offset: typing.SupportsInt, durationSteps: typing.SupportsInt = 0, efficiency: typing.SupportsFloat = 1.0, testState: typing.SupportsInt = -1) -> None:
        """
        Test the component at offset (>= 0), then every period: a working unit is
        taken out into testState for durationSteps, a failed one found with chance
        efficiency is back in state 0 when the test ends.
        """
    def setDuty(self, component: typing.SupportsInt, pace: collections.abc.Sequence[typing.SupportsFloat]) -> None:
        """
        The pace of the component's clocks out of its working states, one per phase.
        """
    def setHeldUntil(self, component: typing.SupportsInt, phase: typing.SupportsInt) -> None:
        """
        The component's repairs wait, the unit down, until `phase` begins.
        """
    def setOnSystemFailure(self, phase: typing.SupportsInt, next: typing.SupportsInt) -> None:
        """
        The system failing (unplanned) in `phase` starts phase `next` at once.
        """
    def setPlanned(self, component: typing.SupportsInt, planned: collections.abc.Sequence[bool]) -> None:
        """
        planned[s]: state s of the component is planned downtime.
        """
    def setSequence(self, phases: collections.abc.Sequence[typing.SupportsInt]) -> None:
        """
        The phases in order, repeated until the horizon.
        """
def limitOMPThreads(maxThreads: typing.SupportsInt) -> None:
    """
    Limit the number of OMP threads
    """
def reportSIMDSupport() -> None:
    """
    Report SIMD support status
    """
def runnerCalendarStudy(transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, simTime: typing.SupportsInt, nSimulations: typing.SupportsInt, seed: typing.SupportsInt, threads: typing.SupportsInt, stepsPerUnit: typing.SupportsInt, dependencies: Dependencies | None, calendar: Calendar, capacity: CapacityProgram | None = None, demands: collections.abc.Sequence[typing.SupportsInt] | None = None) -> dict:
    """
    runnerStudy with a calendar.
    
    Takes runnerStudy's arguments (dependencies may be None) and a Calendar. The system state of a
    history is the current phase's logic over the components' down flags; downtime counts only in
    required phases. Returns runnerStudy's dict (all downtime) with, besides:
      unplanned             the same dict for unplanned downtime only (planned states working)
      phases                a list, per phase: steps_per_unit (uint64 array, steps spent in the
                            phase per reported unit, summed over histories) and exact sums over
                            histories: steps, failed, unplanned, failures, unplanned_failures (each
                            `_sum` and `_sum_of_squares`), steps_times_failed_sum,
                            steps_times_unplanned_sum (failed and unplanned steps in the phase's
                            logic, required or not; failures as they happen in the phase)
      required_steps_sum, required_steps_sum_of_squares, required_times_failed_sum,
      required_times_unplanned_sum
                            exact sums over histories of their required steps and products
      events                the events of all histories (a phase's start and a test included)
    With `capacity` (a CapacityProgram), the key "production" as runnerStudy's, against `demands`
    (quanta, one per phase; default the program's demand in every phase), with besides
    demanded_per_unit (uint64 array) and demanded_sum: the demanded production, summed.
    """
def runnerMultipleSim(nSimulations: typing.SupportsInt, simTime: typing.SupportsInt, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt) -> list[int]:
    """
    Run multiple simulations on a single thread
    """
def runnerParallelSim(nSimulations: typing.SupportsInt, simTime: typing.SupportsInt, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt) -> list[int]:
    """
    Run multiple simulations in parallel
    """
def runnerSingleSim(simTime: typing.SupportsInt, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt) -> list[int]:
    """
    Run a single simulation
    """
def runnerStudy(transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, simTime: typing.SupportsInt, nSimulations: typing.SupportsInt, seed: typing.SupportsInt, threads: typing.SupportsInt, stepsPerUnit: typing.SupportsInt = 1, dependencies: Dependencies | None = None, capacity: CapacityProgram | None = None) -> dict[str, typing.Any]:
    """
    Run many histories and keep what a study reports, folded in the engine.
    
    History i is seeded with seed + i (modulo 2^32), as in runnerParallelSim, and runs on one of
    `threads` threads (the process's OpenMP thread count is left unchanged). simTime counts engine
    steps and must be a multiple of stepsPerUnit, the engine steps per reported time unit. A
    negative delay drawn in a component's first sampling fires at once; a delay too large for the
    engine, or NaN, never fires. Nothing is printed; engine warnings are RuntimeWarning. Ctrl-C
    raises KeyboardInterrupt and no result. `dependencies` (a Dependencies, or None for independent
    components) makes the components depend on each other: common-cause groups, standby units,
    repair crews, down flags and initial states; it must describe as many components as the model.
    `capacity` (a CapacityProgram, or None) adds the key "production": lost_per_unit (uint64 array,
    quanta x engine steps lost in each reported unit against the demand, summed), lost_histogram
    (per history, binned as the others), lost_sum, lost_sum_of_squares, level_steps and
    level_steps_sum_of_squares (lists of ints, one per level), exact_bins, bin_width.
    
    Returns a dict:
      failed_steps_per_unit      uint64 array, simTime / stepsPerUnit entries: failed engine steps
                                 in each reported unit, summed over the histories
      failed_steps_histogram     uint64 array: histories per bin of failed steps per history
      failures_histogram         uint64 array: histories per bin of their number of system
                                 failures (entries into the failed state, event by event: one
                                 repaired within its engine step counts; a history failed
                                 from its start counts one)
      first_failure_histogram    uint64 array: histories per bin of the step of their first
                                 failure (histories that failed at all)
      histories_without_failure  int
      exact_bins, bin_width      ints: value v falls in bin v below exact_bins, else in bin
                                 exact_bins + (v - exact_bins) // bin_width
      failed_steps_sum, failed_steps_sum_of_squares, failures_sum, failures_sum_of_squares,
      failed_steps_times_failures_sum
                                 ints, exact, over the histories
      histories, sim_time, steps_per_unit
                                 ints, the call's own
    Histograms end at their largest non-empty bin; all counts add across calls of the same simTime.
    """
