// Each area of the module registers its own classes and functions; module.cpp calls them in the
// order the module exposes them (laws, tree, dependencies, functions).
#pragma once

#include <pybind11/pybind11.h>

#include "capacity/capacityStudy.h"

void registerDistributions(pybind11::module_& m);
void registerCutsetTree(pybind11::module_& m);
void registerDependencies(pybind11::module_& m);
void registerRunners(pybind11::module_& m);
void registerCalendar(pybind11::module_& m);
void registerCapacity(pybind11::module_& m);

struct CapacityResult;
// The capacity figures of a study call as the dict runnerStudy returns under "production".
pybind11::dict capacityFigures(CapacityResult&& result);
void registerLogistics(pybind11::module_& m);

struct LogisticsTally;
// A study's logistic sums as a dict of exact ints (registerLogistics.cpp).
pybind11::dict logisticsFigures(const LogisticsTally& tally);
