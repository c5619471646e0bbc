#include "register.h"

#include <memory>
#include <vector>

#include <pybind11/stl.h>

#include "distributions.h"
#include "initialisedArgument.h"

namespace py = pybind11;

namespace {

struct OperationDocs {
    const char* pdf = nullptr;
    const char* cdf = nullptr;
    const char* quantile = nullptr;
};

// pdf, cdf and quantile of one law, with unnamed parameters. Each call is the native virtual
// operation, so it dispatches on the native object's dynamic type. Self must be a law whose
// __init__ ran (never None).
template <class Law, class PyClass>
void bindLawOperations(PyClass& cls, OperationDocs docs = {}) {
    cls.def("pdf", [](Initialised<Law> law, double x) { return law->pdf(x); }, docs.pdf)
       .def("cdf", [](Initialised<Law> law, double x) { return law->cdf(x); }, docs.cdf)
       .def("quantile", [](Initialised<Law> law, double p, int time) { return law->quantile(p, time); },
            docs.quantile);
}

}  // namespace

void registerDistributions(py::module_& m) {
    py::class_<Distribution, std::unique_ptr<Distribution>> distribution(m, "Distribution");
    distribution.def(py::init<>());
    bindLawOperations<Distribution>(distribution, {"Probability density function",
                                                   "Cumulative distribution function",
                                                   "Quantile function"});

    py::class_<Normal, Distribution, std::unique_ptr<Normal>> normal(m, "Normal");
    normal.def(py::init<double, double>(), py::arg("mean"), py::arg("stddev"));
    bindLawOperations<Normal>(normal);

    py::class_<Exponential, Distribution, std::unique_ptr<Exponential>> exponential(m, "Exponential");
    exponential.def(py::init<double>(), py::arg("lambda"));
    bindLawOperations<Exponential>(exponential);

    py::class_<Uniform, Distribution, std::unique_ptr<Uniform>> uniform(m, "Uniform");
    uniform.def(py::init<double, double>(), py::arg("a"), py::arg("b"));
    bindLawOperations<Uniform>(uniform);

    py::class_<Weibull, Distribution, std::unique_ptr<Weibull>> weibull(m, "Weibull");
    weibull.def(py::init<double, double>(), py::arg("lambda"), py::arg("k"));
    bindLawOperations<Weibull>(weibull);

    py::class_<Inspection, Distribution, std::unique_ptr<Inspection>> inspection(m, "Inspection");
    inspection.def(py::init<int>(), py::arg("inspectionTime"));
    bindLawOperations<Inspection>(inspection);

    py::class_<Maintenance, Distribution, std::unique_ptr<Maintenance>> maintenance(m, "Maintenance");
    maintenance.def(py::init<const std::vector<int>&>(), py::arg("maintenanceTimes"));
    bindLawOperations<Maintenance>(maintenance);

    py::class_<InstantaneousFailure, Distribution, std::unique_ptr<InstantaneousFailure>> failure(
        m, "InstantaneousFailure");
    failure.def(py::init<int>(), py::arg("failureTime"));
    bindLawOperations<InstantaneousFailure>(failure);

    py::class_<Discrete, Distribution, std::unique_ptr<Discrete>> discrete(m, "Discrete");
    discrete.def(py::init<const std::vector<int>&>(), py::arg("values"));
    bindLawOperations<Discrete>(discrete);

    // The logarithm of the delay is Normal(mu, sigma).
    py::class_<Lognormal, Distribution, std::unique_ptr<Lognormal>> lognormal(m, "Lognormal");
    lognormal.def(py::init<double, double>(), py::arg("mu"), py::arg("sigma"));
    bindLawOperations<Lognormal>(lognormal);
}
