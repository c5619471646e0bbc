#include "register.h"

#include <memory>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "cutsetTree.h"
#include "initialisedArgument.h"

namespace py = pybind11;

// Self must be a tree whose __init__ ran; None is refused by the named parameters (and by the
// wrapper for getRoot, which has none).
void registerCutsetTree(py::module_& m) {
    using Tree = Initialised<CutsetTree>;
    py::class_<CutsetTree, std::unique_ptr<CutsetTree>>(m, "CutsetTree")
        .def(py::init<int>(), py::arg("cutsetSize"))
        .def("insertNode", [](Tree tree, std::vector<int> cutset) { tree->insertNode(std::move(cutset)); },
             py::arg("cutset"), "Insert a new node into the cutset tree")
        .def("constructTree",
             [](Tree tree, const std::vector<std::vector<int>>& cutsets) { tree->constructTree(cutsets); },
             py::arg("cutsets"), "Construct the cutset tree from a list of cutsets")
        .def("findNode", [](Tree tree, const std::vector<int>& cutset) { return tree->findNode(cutset); },
             py::arg("cutset"), "Find a node in the cutset tree by its cutset")
        // CutsetTreeNode has no Python class, so converting the result raises TypeError before
        // any ownership is taken: the tree keeps its root and stays usable.
        .def("getRoot", [](Tree tree) { return tree->getRoot(); }, "Get the root node of the cutset tree");
}
