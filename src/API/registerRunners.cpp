#include "register.h"

#include <pybind11/numpy.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SIMDUtils.h"
#include "componentModelCaster.h"
#include "dependent/dependentStudy.h"
#include "initialisedArgument.h"
#include "simRunner.h"
#include "studyFigures.h"
#include "study/studyRunner.h"

namespace py = pybind11;

namespace {

using IntList = py::typing::List<py::int_>;
using StudyFigures = py::typing::Dict<py::str, py::object>;

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

// ---- The study runner ----

// A numpy array over the vector's own buffer, which a capsule frees with the array: no copy.
template <class T>
py::array_t<T> arrayOwning(std::vector<T>&& values) {
    if (values.empty()) return py::array_t<T>(0);
    auto owner = std::make_unique<std::vector<T>>(std::move(values));
    py::capsule release(owner.get(), [](void* block) { delete static_cast<std::vector<T>*>(block); });
    std::vector<T>* vector = owner.release();
    return py::array_t<T>(static_cast<py::ssize_t>(vector->size()), vector->data(), release);
}

py::int_ exactInt(Wide value) {
    const py::int_ high(static_cast<std::uint64_t>(value >> 64));
    const py::int_ low(static_cast<std::uint64_t>(value));
    return py::int_((high << py::int_(64)) | low);
}

// The 32-bit pattern of a seed given as any int from -2^31 to 2^32 - 1.
std::uint32_t seedPattern(long long seed) {
    if (seed < -2147483648LL || seed > 4294967295LL) {
        throw py::value_error("seed must be between -2147483648 and 4294967295");
    }
    return static_cast<std::uint32_t>(seed);
}

// Each warning once, as RuntimeWarning; a filter that turns warnings into errors raises here.
void warnAll(const std::vector<std::string>& messages) {
    for (const std::string& message : messages) {
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) {
            throw py::error_already_set();
        }
    }
}

StudyFigures studyDict(StudyResult&& result, const StudyPlan& plan) {
    StudyFigures figures;
    figures["failed_steps_per_unit"] = arrayOwning(std::move(result.failedStepsPerUnit));
    figures["failed_steps_histogram"] = arrayOwning(std::move(result.failedStepsHistogram));
    figures["failures_histogram"] = arrayOwning(std::move(result.failuresHistogram));
    figures["first_failure_histogram"] = arrayOwning(std::move(result.firstFailureHistogram));
    figures["histories_without_failure"] = py::int_(result.historiesWithoutFailure);
    figures["exact_bins"] = py::int_(result.exactBins);
    figures["bin_width"] = py::int_(result.binWidth);
    figures["failed_steps_sum"] = exactInt(result.failedSteps.sum);
    figures["failed_steps_sum_of_squares"] = exactInt(result.failedSteps.sumOfSquares);
    figures["failures_sum"] = exactInt(result.failures.sum);
    figures["failures_sum_of_squares"] = exactInt(result.failures.sumOfSquares);
    figures["failed_steps_times_failures_sum"] = exactInt(result.failedStepsTimesFailures);
    figures["histories"] = py::int_(result.histories);
    figures["sim_time"] = py::int_(plan.simTime);
    figures["steps_per_unit"] = py::int_(plan.stepsPerUnit);
    if (!result.logistics.empty()) figures["logistics"] = logisticsFigures(result.logistics);
    return figures;
}

StudyFigures runStudyFromPython(PinnedComponentModel transitionsMatrix,
                            InitialisedOrNone<CutsetTree> cutSetTree, int simTime,
                            std::int64_t nSimulations, long long seed, int threads,
                            int stepsPerUnit, OptionalInitialised<Dependencies> dependencies,
                            OptionalInitialised<CapacityProgram> capacity) {
    StudyPlan plan;
    plan.simTime = simTime;
    plan.stepsPerUnit = stepsPerUnit;
    plan.histories = nSimulations;
    plan.seed = seedPattern(seed);
    plan.threads = threads;
    StudyResult result;
    CapacityResult delivered;
    try {
        const ScopedInterruptCheck check(&pythonSignalRaised);
        result = capacity.object != nullptr
                     ? runCapacityStudy(transitionsMatrix.laws, cutSetTree.object,
                                        dependencies.object, *capacity.object, plan, delivered)
                 : dependencies.object == nullptr
                     ? runStudy(transitionsMatrix.laws, cutSetTree.object, plan)
                     : runDependentStudy(transitionsMatrix.laws, cutSetTree.object,
                                         *dependencies.object, plan);
    } catch (const RunInterrupted&) {
        if (PyErr_Occurred() != nullptr) throw py::error_already_set();
        throw;
    }
    warnAll(result.warnings);
    StudyFigures figures = studyDict(std::move(result), plan);
    if (capacity.object != nullptr) figures["production"] = capacityFigures(std::move(delivered));
    return figures;
}

constexpr const char* kStudyDoc = R"(Run many histories and keep what a study reports, folded in the engine.

History i is seeded with seed + i (modulo 2^32), as in runnerParallelSim, and runs on one of
`threads` threads (the process's OpenMP thread count is left unchanged). simTime counts engine
steps and must be a multiple of stepsPerUnit, the engine steps per reported time unit. A
negative delay drawn in a component's first sampling fires at once; a delay too large for the
engine, or NaN, never fires. Nothing is printed; engine warnings are RuntimeWarning. Ctrl-C
raises KeyboardInterrupt and no result. `dependencies` (a Dependencies, or None for independent
components) makes the components depend on each other: common-cause groups, standby units,
repair crews, down flags and initial states; it must describe as many components as the model.
`capacity` (a CapacityProgram, or None) adds the key "production": lost_per_unit (uint64 array,
quanta x engine steps lost in each reported unit against the demand, summed), lost_histogram
(per history, binned as the others), lost_sum, lost_sum_of_squares, level_steps and
level_steps_sum_of_squares (lists of ints, one per level), exact_bins, bin_width.

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
Histograms end at their largest non-empty bin; all counts add across calls of the same simTime.)";

}  // namespace

// What the other study runners' bindings share with this one (studyFigures.h).
py::dict studyFiguresOf(StudyResult&& result, const StudyPlan& plan) {
    return studyDict(std::move(result), plan);
}
std::uint32_t studySeedPattern(long long seed) { return seedPattern(seed); }
bool studySignalRaised() { return pythonSignalRaised(); }
void studyWarnAll(const std::vector<std::string>& messages) { warnAll(messages); }
py::int_ studyExactInt(Wide value) { return exactInt(value); }

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
    m.def("runnerStudy", &runStudyFromPython, kStudyDoc, py::arg("transitionsMatrix"),
          py::arg("cutSetTree"), py::arg("simTime"), py::arg("nSimulations"), py::arg("seed"),
          py::arg("threads"), py::arg("stepsPerUnit") = 1, py::arg("dependencies") = py::none(),
          py::arg("capacity") = py::none());
}
