#include "register.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "dependent/dependencies.h"
#include "initialisedArgument.h"

namespace py = pybind11;

namespace {

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string describe(const Dependencies& d) {
    const auto components = static_cast<std::size_t>(d.components());
    return "<tarvo.Dependencies of " + plural(components, "component", "components") + ": " +
           plural(d.commonCauseGroups().size(), "common-cause group", "common-cause groups") +
           ", " + plural(d.standbyUnits().size(), "standby unit", "standby units") + ", " +
           plural(d.crewPools().size(), "crew pool", "crew pools") + ">";
}

constexpr const char* kClassDoc = R"(Dependencies between the components of a model for runnerStudy.

Components are numbered as in the model (transitionsMatrix); states as in its rows. By default
every component starts in state 0, state 0 is its only working state, and components are
independent. Each method checks its arguments and raises ValueError naming what is wrong; what
depends on the model (state indices, down flags of the states named) is checked when a run
starts. Laws given here are kept alive by this object. Not to be changed while a run uses it.)";

}  // namespace

// Self must be an object whose __init__ ran (Initialised); laws too, None where it is allowed.
void registerDependencies(py::module_& m) {
    using Self = Initialised<Dependencies>;
    py::class_<Dependencies, std::unique_ptr<Dependencies>>(m, "Dependencies", kClassDoc)
        .def(py::init<int>(), py::arg("numComponents"))
        .def_property_readonly(
            "numComponents", [](Self self) { return self->components(); },
            "The number of components the dependencies describe")
        .def(
            "setDownStates",
            [](Self self, int component, std::vector<bool> down) {
                self->setDownStates(component, std::move(down));
            },
            py::arg("component"), py::arg("down"),
            "Set which states of a component count as down (failed) for the failure logic:\n"
            "down[s] for state s; states beyond the list are down.")
        .def(
            "setInitialState",
            [](Self self, int component, int state) { self->setInitialState(component, state); },
            py::arg("component"), py::arg("state"), "Set the state a component starts in.")
        .def(
            "addCommonCause",
            [](Self self, std::vector<int> members, std::vector<int> failedStates,
               Initialised<Distribution> shock) {
                return self->addCommonCause(std::move(members), std::move(failedStates),
                                            shock.object);
            },
            py::arg("members"), py::arg("failedStates"), py::arg("shock"), py::keep_alive<1, 4>(),
            "Add a common-cause group and return its index. Shocks follow the law `shock` from\n"
            "time 0 and again from each shock; a shock puts every member that is not down into\n"
            "its failed state, failedStates[i] for members[i].")
        .def(
            "addStandby",
            [](Self self, int component, std::vector<int> covers, int runningState,
               int standbyState, int failedState, OptionalInitialised<Distribution> dormant,
               double startFailure) {
                self->addStandby(component, std::move(covers), runningState, standbyState,
                                 failedState, dormant.object, startFailure);
            },
            py::arg("component"), py::arg("covers"), py::arg("runningState"),
            py::arg("standbyState"), py::arg("failedState"), py::arg("dormant") = py::none(),
            py::arg("startFailure") = 0.0, py::keep_alive<1, 7>(),
            "Make a component a standby unit covering the components `covers`. It starts in\n"
            "standbyState, which counts as working. When a covered component goes down it is\n"
            "demanded: it fails to start (into failedState) with probability startFailure, else\n"
            "runs in runningState; it returns to standby when no covered component is down.\n"
            "`dormant`, if given, is the law of its failure in standby (standbyState ->\n"
            "failedState).")
        .def(
            "addCrewPool",
            [](Self self, int count, std::vector<int> members, const std::string& order) {
                return self->addCrewPool(count, std::move(members), crewOrderFromName(order));
            },
            py::arg("count"), py::arg("members"), py::arg("order") = "first_failed",
            "Add a pool of `count` repair crews for `members` and return its index. A member that\n"
            "goes down waits for a free crew; its repair (its transition into state 0) is drawn\n"
            "when the crew starts. order: \"first_failed\" (the default) serves the one down the\n"
            "longest, \"listed\" the one first in `members`.")
        .def("__repr__", [](Self self) { return describe(*self.object); });
}
