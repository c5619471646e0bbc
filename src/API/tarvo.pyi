"""
Python bindings for the simulator library
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['Calendar', 'CutsetTree', 'Dependencies', 'Discrete', 'Distribution', 'Exponential', 'Inspection', 'InstantaneousFailure', 'Maintenance', 'Normal', 'Uniform', 'Weibull', 'limitOMPThreads', 'reportSIMDSupport', 'runnerCalendarStudy', 'runnerMultipleSim', 'runnerParallelSim', 'runnerSingleSim', 'runnerStudy']
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
    @property
    def numComponents(self) -> int:
        """
        The number of components the dependencies describe
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
def runnerCalendarStudy(transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, simTime: typing.SupportsInt, nSimulations: typing.SupportsInt, seed: typing.SupportsInt, threads: typing.SupportsInt, stepsPerUnit: typing.SupportsInt, dependencies: Dependencies | None, calendar: Calendar) -> dict:
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
def runnerStudy(transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, simTime: typing.SupportsInt, nSimulations: typing.SupportsInt, seed: typing.SupportsInt, threads: typing.SupportsInt, stepsPerUnit: typing.SupportsInt = 1, dependencies: Dependencies | None = None) -> dict[str, typing.Any]:
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
