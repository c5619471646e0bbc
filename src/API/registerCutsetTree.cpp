#include "register.h"

void registerCutsetTree(pybind11::module_&) {}
