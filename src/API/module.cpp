#include "register.h"

PYBIND11_MODULE(tarvo, m) {
    m.doc() = "Python bindings for the simulator library";
    registerDistributions(m);
    registerCutsetTree(m);
    registerDependencies(m);
    registerCapacity(m);
    registerLogistics(m);
    registerRunners(m);
    registerCalendar(m);
}
