#include "register.h"

#include <pybind11/typing.h>

#include "SIMDUtils.h"
#include "componentModelCaster.h"
#include "initialisedArgument.h"
#include "simRunner.h"

namespace py = pybind11;

namespace {

using IntList = py::typing::List<py::int_>;

// The result as a Python list, built here so that running out of memory is a MemoryError
// (the automatic conversion would report a TypeError).
IntList toPythonList(const std::vector<unsigned int>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) throw py::error_already_set();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(values[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            throw py::error_already_set();
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return py::reinterpret_steal<IntList>(list);
}

// Runs Python's signal handlers (the runner's thread holds the interpreter lock); true when
// one raised, KeyboardInterrupt for Ctrl-C, which then stops the run.
bool pythonSignalRaised() { return PyErr_CheckSignals() != 0; }

// A batch runner taking the model through the caster that keeps its laws alive, stoppable by
// a signal: the exception its handler raised replaces the result.
template <auto runner>
IntList runBatch(int nSimulations, int simTime, PinnedComponentModel transitionsMatrix,
                 InitialisedOrNone<CutsetTree> cutSetTree, int seed) {
    std::vector<unsigned int> sums;
    try {
        const ScopedInterruptCheck check(&pythonSignalRaised);
        sums = runner(nSimulations, simTime, std::move(transitionsMatrix.laws), cutSetTree.object,
                      seed);
    } catch (const RunInterrupted&) {
        if (PyErr_Occurred() != nullptr) throw py::error_already_set();
        throw;
    }
    return toPythonList(sums);
}

}  // namespace

// The runners keep the interpreter lock for the whole call: their workers never touch a Python
// object. The laws stay alive through the model argument, which keeps every level of the model
// referenced until the call returns (see componentModelCaster.h). A tree or law whose __init__
// never ran is refused with TypeError (see initialisedArgument.h); None still reaches the checks.
void registerRunners(py::module_& m) {
    m.def(
        "runnerSingleSim",
        [](int simTime, PinnedComponentModel transitionsMatrix,
           InitialisedOrNone<CutsetTree> cutSetTree, int seed) {
            return toPythonList(runnerSingleSim(simTime, std::move(transitionsMatrix.laws),
                                                cutSetTree.object, seed));
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
