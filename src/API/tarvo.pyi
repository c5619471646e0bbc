"""
Python bindings for the simulator library
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['CutsetTree', 'Distribution', 'Exponential', 'Inspection', 'InstantaneousFailure', 'Maintenance', 'Normal', 'Uniform', 'Weibull', 'limitOMPThreads', 'reportSIMDSupport', 'runnerMultipleSim', 'runnerParallelSim', 'runnerSingleSim']
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
def limitOMPThreads(maxThreads: typing.SupportsInt) -> None:
    """
    Limit the number of OMP threads
    """
def reportSIMDSupport() -> None:
    """
    Report SIMD support status
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
