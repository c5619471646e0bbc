// Each area of the module registers its own classes and functions; module.cpp calls them in the
// order the module exposes them (laws, tree, dependencies, functions).
#pragma once

#include <pybind11/pybind11.h>

void registerDistributions(pybind11::module_& m);
void registerCutsetTree(pybind11::module_& m);
void registerDependencies(pybind11::module_& m);
void registerRunners(pybind11::module_& m);
void registerCalendar(pybind11::module_& m);
