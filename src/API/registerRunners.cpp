#include "register.h"

#include "SIMDUtils.h"
#include "componentModelCaster.h"
#include "simRunner.h"

namespace py = pybind11;

namespace {

// A batch runner taking the model through the caster that keeps its laws alive.
template <auto runner>
std::vector<unsigned int> runBatch(int nSimulations, int simTime,
                                   PinnedComponentModel transitionsMatrix, CutsetTree* cutSetTree,
                                   int seed) {
    return runner(nSimulations, simTime, std::move(transitionsMatrix.laws), cutSetTree, seed);
}

}  // namespace

// The runners keep the interpreter lock for the whole call: their workers never touch a Python
// object. The laws stay alive through the model argument, which keeps every level of the model
// referenced until the call returns (see componentModelCaster.h).
void registerRunners(py::module_& m) {
    m.def(
        "runnerSingleSim",
        [](int simTime, PinnedComponentModel transitionsMatrix, CutsetTree* cutSetTree, int seed) {
            return runnerSingleSim(simTime, std::move(transitionsMatrix.laws), cutSetTree, seed);
        },
        "Run a single simulation", py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"));
    m.def("runnerMultipleSim", &runBatch<runnerMultipleSim>,
          "Run multiple simulations on a single thread", py::arg("nSimulations"),
          py::arg("simTime"), py::arg("transitionsMatrix"), py::arg("cutSetTree"), py::arg("seed"));
    m.def("runnerParallelSim", &runBatch<runnerParallelSim>, "Run multiple simulations in parallel",
          py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
          py::arg("cutSetTree"), py::arg("seed"));
    m.def("reportSIMDSupport", &reportSIMDSupport, "Report SIMD support status");
    m.def("limitOMPThreads", &limitOMPThreads, "Limit the number of OMP threads",
          py::arg("maxThreads"));
}
