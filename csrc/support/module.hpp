// Import-time helpers for the extension modules' bodies.
#pragma once

#include <pybind11/pybind11.h>

namespace plovera {

namespace py = pybind11;

// `from .<sibling> import <name>` for the package that holds `module`.  An
// extension module has no __package__ while it initialises, so the package is
// taken from its dotted name.
py::object import_from_sibling(const py::module_ &module, const char *sibling, const char *name);

// `from .<sibling> import *`: the names in the sibling's __all__, or else
// every name of its namespace that does not begin with an underscore.
void star_import_from_sibling(const py::module_ &module, const char *sibling);

// The module's global namespace, where its functions look names up at call time.
inline py::dict module_globals(const py::module_ &module) {
    return py::reinterpret_borrow<py::dict>(PyModule_GetDict(module.ptr()));
}

}  // namespace plovera
