// Small helpers shared by the extension modules: messages, warnings, raising
// Python exceptions from C++ and Python's instance and truth tests.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace plovera {

namespace py = pybind11;

// `text.format(*args)`, as str.format renders the arguments.
template <typename... Ts>
py::str format(const char *text, Ts &&...args) {
    return py::str(text).format(std::forward<Ts>(args)...);
}

// Sets `exc_type(arg)` as the pending Python error and unwinds to the caller.
[[noreturn]] void raise(py::handle exc_type, py::handle arg);

// Raises `exc_type(arg)` the way a `raise` statement inside an `except` block
// does: `handled` becomes the new exception's __context__.
[[noreturn]] void raise_while_handling(py::handle exc_type, py::handle arg,
                                       py::error_already_set &handled);

// `warnings.warn(message, category=category, stacklevel=stacklevel)` through
// the `warnings` module the caller passes (a module global, so tests can swap
// it).  Our functions have no frames of their own, so a stack level counts
// from the Python code that called into the module.  A null category and a
// zero stack level are left out of the call.
void warn(py::handle warnings, py::handle message, py::handle category = py::handle(),
          int stacklevel = 0);

// A look-back window must be a whole number of days, at least 1: refuses
// anything else (bools, fractions, text, None) with InvalidArgument naming it.
void check_window(py::handle invalid_argument, py::handle window);

bool isinstance(py::handle obj, py::handle type);
bool truthy(py::handle obj);
bool equals(py::handle a, py::handle b);  // Python's ==, its truth value

}  // namespace plovera
