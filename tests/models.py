"""Builds component models and trees for the tests from compact descriptions.

A law is described by a tuple: ("never",), ("exponential", rate), ("uniform", a, b),
("weibull", scale, shape), ("inspection", period) or ("failure", time).
"""

import tarvo

LAW_FACTORIES = {
    "never": tarvo.Distribution,
    "exponential": tarvo.Exponential,
    "uniform": tarvo.Uniform,
    "weibull": tarvo.Weibull,
    "inspection": tarvo.Inspection,
    "failure": tarvo.InstantaneousFailure,
}


def make_law(description):
    kind, *args = description
    return LAW_FACTORIES[kind](*args)


def make_model(descriptions):
    return [[[make_law(law) for law in row] for row in component] for component in descriptions]


def make_tree(cutsets):
    tree = tarvo.CutsetTree(len(cutsets[0]))
    tree.constructTree(cutsets)
    return tree


def single_tree():
    """One component whose failure fails the system."""
    return make_tree([[1]])
