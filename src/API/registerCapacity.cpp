#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capacity/capacityProgram.h"
#include "initialisedArgument.h"
#include "register.h"

namespace py = pybind11;

namespace {

CapacityOp opFromName(const std::string& name) {
    if (name == "sum") return CapacityOp::sum;
    if (name == "min") return CapacityOp::min;
    if (name == "max") return CapacityOp::max;
    if (name == "product") return CapacityOp::product;
    throw py::value_error("op must be \"sum\", \"min\", \"max\" or \"product\", got \"" + name +
                          "\"");
}

py::int_ wideInt(Wide value) {
    const py::int_ high(static_cast<std::uint64_t>(value >> 64));
    const py::int_ low(static_cast<std::uint64_t>(value));
    return py::int_((high << py::int_(64)) | low);
}

template <class T>
py::array_t<T> arrayOf(const std::vector<T>& values) {
    py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

constexpr const char* kClassDoc = R"(A system's capacity as a program over its components' states.

Every number is an integer in quanta: `scale` quanta make one capacity unit. Nodes are added
operands first; each returns its index and may be the operand of one later node; the last node
is the system's capacity. A product is the integer product divided by `scale`, truncated. Given
to runnerStudy(..., capacity=...), the study also returns what the system delivers against
`demand`, and the time at each level of `levels`.)";

}  // namespace

py::dict capacityFigures(CapacityResult&& result) {
    py::dict figures;
    figures["lost_per_unit"] = arrayOf(result.lostPerUnit);
    figures["lost_histogram"] = arrayOf(result.lostHistogram);
    figures["exact_bins"] = py::int_(0);
    figures["bin_width"] = py::int_(result.binWidth);
    figures["lost_sum"] = wideInt(result.lost.sum);
    figures["lost_sum_of_squares"] = wideInt(result.lost.sumOfSquares);
    py::list steps;
    py::list squares;
    for (Wide value : result.levelSteps) steps.append(wideInt(value));
    for (Wide value : result.levelStepsSquares) squares.append(wideInt(value));
    figures["level_steps"] = steps;
    figures["level_steps_sum_of_squares"] = squares;
    return figures;
}

void registerCapacity(py::module_& m) {
    using Self = Initialised<CapacityProgram>;
    py::class_<CapacityProgram, std::unique_ptr<CapacityProgram>>(m, "CapacityProgram", kClassDoc)
        .def(py::init<int, std::int64_t>(), py::arg("numComponents"), py::arg("scale"))
        .def(
            "setComponent",
            [](Self self, int component, std::vector<std::int64_t> perState, int initialState) {
                self->setComponent(component, std::move(perState), initialState);
            },
            py::arg("component"), py::arg("perState"), py::arg("initialState") = 0,
            "Set a component's capacity in each of its states (quanta) and its initial state.")
        .def(
            "addConstant", [](Self self, std::int64_t value) { return self->addConstant(value); },
            py::arg("value"), "Add a constant node (quanta); returns its index.")
        .def(
            "addComponent", [](Self self, int component) { return self->addComponent(component); },
            py::arg("component"), "Add a node holding a component's capacity; returns its index.")
        .def(
            "addOperation",
            [](Self self, const std::string& op, const std::vector<int>& operands) {
                return self->addOperation(opFromName(op), operands);
            },
            py::arg("op"), py::arg("operands"),
            "Add \"sum\", \"min\", \"max\" or \"product\" over earlier nodes; returns its index.")
        .def(
            "setDemand", [](Self self, std::int64_t value) { self->setDemand(value); },
            py::arg("demand"), "Set the demand (quanta).")
        .def(
            "setLevels",
            [](Self self, std::vector<std::int64_t> bounds) { self->setLevels(std::move(bounds)); },
            py::arg("lowerBounds"),
            "Set the levels' lower bounds (quanta): increasing, the first 0.")
        .def_property_readonly("scale", [](Self self) { return self->scale(); })
        .def_property_readonly("demand", [](Self self) { return self->demand(); })
        .def_property_readonly("levels", [](Self self) { return self->levels(); })
        .def(
            "capacityOf",
            [](Self self, const std::vector<int>& states) {
                if (static_cast<int>(states.size()) != self->components()) {
                    throw py::value_error("states must hold one state per component");
                }
                self->check(self->components());
                CapacityState state(*self.object);
                for (int c = 0; c < self->components(); ++c) {
                    state.set(c, states[static_cast<std::size_t>(c)]);
                }
                return state.value();
            },
            py::arg("states"),
            "The system's capacity (quanta) with component c in states[c], set one after the\n"
            "other from the initial states as a history would.");
}
