#include "register.h"

#include <memory>
#include <vector>

#include <pybind11/stl.h>

#include "cutsetTree.h"

namespace py = pybind11;

void registerCutsetTree(py::module_& m) {
    py::class_<CutsetTree, std::unique_ptr<CutsetTree>>(m, "CutsetTree")
        .def(py::init<int>(), py::arg("cutsetSize"))
        .def("insertNode", &CutsetTree::insertNode, py::arg("cutset"),
             "Insert a new node into the cutset tree")
        .def("constructTree", &CutsetTree::constructTree, py::arg("cutsets"),
             "Construct the cutset tree from a list of cutsets")
        .def("findNode", &CutsetTree::findNode, py::arg("cutset"),
             "Find a node in the cutset tree by its cutset")
        // CutsetTreeNode has no Python class, so converting the result raises TypeError before
        // any ownership is taken: the tree keeps its root and stays usable.
        .def("getRoot", py::overload_cast<>(&CutsetTree::getRoot),
             "Get the root node of the cutset tree");
}
