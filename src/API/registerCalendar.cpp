#include "register.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "calendar/calendar.h"
#include "calendar/calendarStudy.h"
#include "capacity/capacityProgram.h"
#include "componentModelCaster.h"
#include "initialisedArgument.h"
#include "study/runControl.h"
#include "studyFigures.h"

namespace py = pybind11;

namespace {

constexpr const char* kClassDoc = R"(The plant's calendar for runnerCalendarStudy.

Phases, each with a fixed duration in steps or a law drawn at its start, a required flag and a
logic (cut sets added with addLogic); the sequence they follow, repeated to the horizon; per
component the pace of its clocks out of its working states in each phase, the phase its repairs
wait for, its planned states and its test. Each method checks its arguments and raises
ValueError naming what is wrong; what depends on the model is checked when a run starts. Laws
given here are kept alive by this object.)";

constexpr const char* kRunnerDoc = R"(runnerStudy with a calendar.

Takes runnerStudy's arguments (dependencies may be None) and a Calendar. The system state of a
history is the current phase's logic over the components' down flags; downtime counts only in
required phases. Returns runnerStudy's dict (all downtime) with, besides:
  unplanned             the same dict for unplanned downtime only (planned states working)
  phases                a list, per phase: steps_per_unit (uint64 array, steps spent in the
                        phase per reported unit, summed over histories) and exact sums over
                        histories: steps, failed, unplanned, failures, unplanned_failures (each
                        `_sum` and `_sum_of_squares`), steps_times_failed_sum,
                        steps_times_unplanned_sum (failed and unplanned steps in the phase's
                        logic, required or not; failures as they happen in the phase)
  required_steps_sum, required_steps_sum_of_squares, required_times_failed_sum,
  required_times_unplanned_sum
                        exact sums over histories of their required steps and products
  events                the events of all histories (a phase's start and a test included)
With `capacity` (a CapacityProgram), the key "production" as runnerStudy's, against `demands`
(quanta, one per phase; default the program's demand in every phase), with besides
demanded_per_unit (uint64 array) and demanded_sum: the demanded production, summed.)";

void putMoments(py::dict& into, const std::string& name, const ExactMoments& moments) {
    into[(name + "_sum").c_str()] = studyExactInt(moments.sum);
    into[(name + "_sum_of_squares").c_str()] = studyExactInt(moments.sumOfSquares);
}

py::dict phaseDict(const PhaseFigures& figures) {
    py::dict d;
    d["steps_per_unit"] = py::array_t<std::uint64_t>(
        static_cast<py::ssize_t>(figures.stepsPerUnit.size()), figures.stepsPerUnit.data());
    putMoments(d, "steps", figures.steps);
    putMoments(d, "failed", figures.failed);
    putMoments(d, "unplanned", figures.unplanned);
    putMoments(d, "failures", figures.failures);
    putMoments(d, "unplanned_failures", figures.unplannedFailures);
    d["steps_times_failed_sum"] = studyExactInt(figures.stepsTimesFailed);
    d["steps_times_unplanned_sum"] = studyExactInt(figures.stepsTimesUnplanned);
    return d;
}

py::dict runCalendarFromPython(PinnedComponentModel transitionsMatrix,
                               InitialisedOrNone<CutsetTree> cutSetTree, int simTime,
                               std::int64_t nSimulations, long long seed, int threads,
                               int stepsPerUnit, OptionalInitialised<Dependencies> dependencies,
                               Initialised<Calendar> calendar,
                               OptionalInitialised<CapacityProgram> capacity,
                               std::optional<std::vector<std::int64_t>> demands) {
    StudyPlan plan;
    plan.simTime = simTime;
    plan.stepsPerUnit = stepsPerUnit;
    plan.histories = nSimulations;
    plan.seed = studySeedPattern(seed);
    plan.threads = threads;
    const int components = static_cast<int>(transitionsMatrix.laws.size());
    std::unique_ptr<Dependencies> none;
    const Dependencies* given = dependencies.object;
    if (given == nullptr) {
        none = std::make_unique<Dependencies>(std::max(components, 1));
        given = none.get();
    }
    PhasedCapacity phased;
    phased.program = capacity.object;
    if (capacity.object != nullptr) {
        phased.demands = demands ? *demands
                                 : std::vector<std::int64_t>(
                                       calendar->phases().size(),
                                       capacity.object->demand());
    } else if (demands) {
        throw py::value_error("demands are given without a capacity");
    }
    CalendarStudyResult result;
    CapacityResult delivered;
    try {
        const ScopedInterruptCheck check(&studySignalRaised);
        result = runCalendarStudy(transitionsMatrix.laws, cutSetTree.object, *given,
                                  *calendar.object, plan, phased, delivered);
    } catch (const RunInterrupted&) {
        if (PyErr_Occurred() != nullptr) throw py::error_already_set();
        throw;
    }
    studyWarnAll(result.all.warnings);
    py::dict figures = studyFiguresOf(std::move(result.all), plan);
    figures["unplanned"] = studyFiguresOf(std::move(result.unplanned), plan);
    py::list phases;
    for (const PhaseFigures& phase : result.phases) phases.append(phaseDict(phase));
    figures["phases"] = phases;
    putMoments(figures, "required_steps", result.required);
    figures["required_times_failed_sum"] = studyExactInt(result.requiredTimesFailed);
    figures["required_times_unplanned_sum"] = studyExactInt(result.requiredTimesUnplanned);
    figures["events"] = py::int_(result.events);
    if (capacity.object != nullptr) {
        py::array_t<std::uint64_t> perUnit(
            static_cast<py::ssize_t>(delivered.demandedPerUnit.size()),
            delivered.demandedPerUnit.data());
        const Wide demanded = delivered.demanded;
        py::dict production = capacityFigures(std::move(delivered));
        production["demanded_per_unit"] = perUnit;
        production["demanded_sum"] = studyExactInt(demanded);
        figures["production"] = production;
    }
    return figures;
}

}  // namespace

void registerCalendar(py::module_& m) {
    using Self = Initialised<Calendar>;
    py::class_<Calendar, std::unique_ptr<Calendar>>(m, "Calendar", kClassDoc)
        .def(py::init<int>(), py::arg("numComponents"))
        .def(
            "addLogic",
            [](Self self, std::vector<std::vector<int>> cutSets) {
                return self->addLogic(std::move(cutSets));
            },
            py::arg("cutSets"), "Add a failure logic (cut sets of component indices); its index.")
        .def(
            "addPhase",
            [](Self self, const std::string& name, int fixedSteps,
               OptionalInitialised<Distribution> duration, bool required, int logic) {
                return self->addPhase(name, fixedSteps, duration.object, required, logic);
            },
            py::arg("name"), py::arg("fixedSteps"), py::arg("duration") = py::none(),
            py::arg("required") = true, py::arg("logic") = 0, py::keep_alive<1, 4>(),
            "Add a phase and return its index: a fixed duration in steps, or a law `duration`\n"
            "drawn at each start; whether the plant is required to run; its logic's index.")
        .def(
            "setOnSystemFailure",
            [](Self self, int phase, int next) { self->setOnSystemFailure(phase, next); },
            py::arg("phase"), py::arg("next"),
            "The system failing (unplanned) in `phase` starts phase `next` at once.")
        .def(
            "setSequence", [](Self self, std::vector<int> phases) {
                self->setSequence(std::move(phases));
            },
            py::arg("phases"), "The phases in order, repeated until the horizon.")
        .def(
            "setDuty",
            [](Self self, int component, std::vector<double> pace) {
                self->setDuty(component, std::move(pace));
            },
            py::arg("component"), py::arg("pace"),
            "The pace of the component's clocks out of its working states, one per phase.")
        .def(
            "setHeldUntil",
            [](Self self, int component, int phase) { self->setHeldUntil(component, phase); },
            py::arg("component"), py::arg("phase"),
            "The component's repairs wait, the unit down, until `phase` begins.")
        .def(
            "setPlanned",
            [](Self self, int component, std::vector<bool> planned) {
                self->setPlanned(component, std::move(planned));
            },
            py::arg("component"), py::arg("planned"),
            "planned[s]: state s of the component is planned downtime.")
        .def(
            "addTest",
            [](Self self, int component, int period, int offset, int durationSteps,
               double efficiency, int testState) {
                self->addTest(
                    CalendarTest{component, period, offset, durationSteps, efficiency, testState});
            },
            py::arg("component"), py::arg("period"), py::arg("offset"),
            py::arg("durationSteps") = 0, py::arg("efficiency") = 1.0, py::arg("testState") = -1,
            "Test the component at offset (>= 0), then every period: a working unit is\n"
            "taken out into testState for durationSteps, a failed one found with chance\n"
            "efficiency is back in state 0 when the test ends.");
    m.def("runnerCalendarStudy", &runCalendarFromPython, kRunnerDoc,
          py::arg("transitionsMatrix"), py::arg("cutSetTree"), py::arg("simTime"),
          py::arg("nSimulations"), py::arg("seed"), py::arg("threads"), py::arg("stepsPerUnit"),
          py::arg("dependencies"), py::arg("calendar"), py::arg("capacity") = py::none(),
          py::arg("demands") = py::none());
}
