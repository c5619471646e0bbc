#include "register.h"

void registerRunners(pybind11::module_&) {}
