#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "dependent/dependencies.h"
#include "initialisedArgument.h"
#include "logistics/logistics.h"
#include "register.h"

namespace py = pybind11;

namespace {

py::int_ exactValue(unsigned __int128 value) {
    const py::int_ high(static_cast<std::uint64_t>(value >> 64));
    const py::int_ low(static_cast<std::uint64_t>(value));
    return py::int_((high << py::int_(64)) | low);
}

py::list exactList(const std::vector<unsigned __int128>& values) {
    py::list list;
    for (const auto value : values) list.append(exactValue(value));
    return list;
}

constexpr const char* kClassDoc = R"(Repair logistics of a model for runnerStudy, attached with Dependencies.setLogistics.

A repair waits, in order, for its component's logistic delay, a crew of its pool and the pool's
mobilisation, and a part from its stock; then its repair law is drawn. A repair takes away
(1 - restoration) of the age gained since the last one (Kijima I, or II of the whole age), and
the next failure is drawn given survival to that virtual age. Times are engine steps. The
figures of every history (downtime by cause, counts, shelf and crew time) are summed in the
result's "logistics" entry; figureNames() says which is which. Laws given here are kept alive
by this object.)";

}  // namespace

py::dict logisticsFigures(const LogisticsTally& tally) {
    py::dict figures;
    figures["scale_bits"] = py::int_(LogisticsTally::kScaleBits);
    figures["histories"] = py::int_(tally.histories);
    figures["sums"] = exactList(tally.sums);
    figures["squares"] = exactList(tally.squares);
    figures["cost_sums"] = exactList(tally.costSums);
    figures["cost_squares"] = exactList(tally.costSquares);
    return figures;
}

void registerLogistics(py::module_& m) {
    using Self = Initialised<Logistics>;
    py::class_<Logistics, std::unique_ptr<Logistics>>(m, "Logistics", kClassDoc)
        .def(py::init<int, int>(), py::arg("numComponents"), py::arg("pools") = 0)
        .def(
            "setRepairDelay",
            [](Self self, int component, Initialised<Distribution> delay) {
                self->setRepairDelay(component, delay.object);
            },
            py::arg("component"), py::arg("delay"), py::keep_alive<1, 3>(),
            "Set the logistic delay a repair of the component waits before anything else.")
        .def(
            "setAgeing",
            [](Self self, int component, double restoration, const std::string& model,
               double age, double weibullScale, double weibullShape) {
                self->setAgeing(component, restoration, ageingModelFromName(model), age,
                                weibullScale, weibullShape);
            },
            py::arg("component"), py::arg("restoration"), py::arg("model") = "kijima1",
            py::arg("age") = 0.0, py::arg("weibullScale") = 0.0, py::arg("weibullShape") = 0.0,
            "Set the restoration (in [0, 1]) of the component's repairs, the ageing model\n"
            "(\"kijima1\" or \"kijima2\") and its virtual age at time 0 (steps). weibullScale and\n"
            "weibullShape, the failure law's, give the closed form of the conditioned draw.")
        .def(
            "addStock",
            [](Self self, std::vector<int> parts, int stock, Initialised<Distribution> leadTime,
               int reorderPoint, int orderUpTo) {
                return self->addStock(std::move(parts), stock, leadTime.object, reorderPoint,
                                      orderUpTo);
            },
            py::arg("parts"), py::arg("stock"), py::arg("leadTime"), py::arg("reorderPoint") = -1,
            py::arg("orderUpTo") = 0, py::keep_alive<1, 4>(),
            "Add a stock of spare parts for the repairs of `parts` and return its index:\n"
            "`stock` parts on the shelf at time 0, reordered one for one (reorderPoint < 0) or\n"
            "up to orderUpTo when the position falls to reorderPoint; deliveries after leadTime.")
        .def(
            "setMobilisation",
            [](Self self, int pool, Initialised<Distribution> law) {
                self->setMobilisation(pool, law.object);
            },
            py::arg("pool"), py::arg("law"), py::keep_alive<1, 3>(),
            "Set the time a crew of the pool takes from its call to the unit.")
        .def(
            "setCostWeights",
            [](Self self, int kind, std::vector<double> weights, double fixed) {
                self->setCostWeights(kind, std::move(weights), fixed);
            },
            py::arg("kind"), py::arg("weights"), py::arg("fixed") = 0.0,
            "Set the weights of a cost kind (0 system downtime, 1 lost production, 2 repairs,\n"
            "3 crews, 4 parts) over the figures of a history, and what the kind costs in every\n"
            "history.")
        .def(
            "figureCount", [](Self self) { return self->layout().size(); },
            "The number of figures a history keeps.")
        .def(
            "figureNames",
            [](Self self) {
                const LogisticsLayout l = self->layout();
                std::vector<std::string> names(static_cast<std::size_t>(l.size()));
                const char* perComponent[] = {"down_repair", "down_delay", "down_crew",
                                              "down_part", "down_planned", "failures", "repairs"};
                const char* perStock[] = {"demands", "stock_outs", "shelf_steps", "orders",
                                          "parts_ordered"};
                const char* perPool[] = {"busy_steps", "calls"};
                for (int c = 0; c < l.components; ++c) {
                    for (int f = 0; f < LogisticsLayout::kPerComponent; ++f) {
                        names[static_cast<std::size_t>(l.component(c, f))] =
                            "component " + std::to_string(c) + " " + perComponent[f];
                    }
                }
                for (int s = 0; s < l.stocks; ++s) {
                    for (int f = 0; f < LogisticsLayout::kPerStock; ++f) {
                        names[static_cast<std::size_t>(l.stock(s, f))] =
                            "stock " + std::to_string(s) + " " + perStock[f];
                    }
                }
                for (int p = 0; p < l.pools; ++p) {
                    for (int f = 0; f < LogisticsLayout::kPerPool; ++f) {
                        names[static_cast<std::size_t>(l.pool(p, f))] =
                            "pool " + std::to_string(p) + " " + perPool[f];
                    }
                }
                for (int k = 0; k < LogisticsLayout::kCauses; ++k) {
                    names[static_cast<std::size_t>(l.system(k))] =
                        std::string("system ") + perComponent[k];
                }
                return names;
            },
            "The name of each figure of a history, in order.");

    // Dependencies carry the logistics to a run.
    auto dependencies =
        py::reinterpret_borrow<py::class_<Dependencies, std::unique_ptr<Dependencies>>>(
            m.attr("Dependencies"));
    dependencies.def(
        "setLogistics",
        [](Initialised<Dependencies> self, Initialised<Logistics> logistics) {
            self->setLogistics(logistics.object);
        },
        py::arg("logistics"), py::keep_alive<1, 2>(),
        "Attach repair logistics: delays, mobilisation, spare parts, ages and costs.");
}
