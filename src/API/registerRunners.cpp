#include "register.h"

#include <pybind11/stl.h>

#include "SIMDUtils.h"
#include "simRunner.h"

namespace py = pybind11;

// The runners keep the interpreter lock for the whole call: their workers never touch a Python
// object, and the model's laws stay alive because the caller's lists hold them.
void registerRunners(py::module_& m) {
    m.def("runnerSingleSim", &runnerSingleSim, "Run a single simulation", py::arg("simTime"),
          py::arg("transitionsMatrix"), py::arg("cutSetTree"), py::arg("seed"));
    m.def("runnerMultipleSim", &runnerMultipleSim, "Run multiple simulations on a single thread",
          py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
          py::arg("cutSetTree"), py::arg("seed"));
    m.def("runnerParallelSim", &runnerParallelSim, "Run multiple simulations in parallel",
          py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
          py::arg("cutSetTree"), py::arg("seed"));
    m.def("reportSIMDSupport", &reportSIMDSupport, "Report SIMD support status");
    m.def("limitOMPThreads", &limitOMPThreads, "Limit the number of OMP threads",
          py::arg("maxThreads"));
}
