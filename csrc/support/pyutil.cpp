#include "support/pyutil.hpp"

namespace plovera {

void raise(py::handle exc_type, py::handle arg) {
    PyErr_SetObject(exc_type.ptr(), arg.ptr());
    throw py::error_already_set();
}

void raise_while_handling(py::handle exc_type, py::handle arg, py::error_already_set &handled) {
    // Making `handled` the exception being handled lets the interpreter chain
    // exactly as it does for Python code, outer contexts included.
    PyObject *outer = PyErr_GetHandledException();
    PyErr_SetHandledException(handled.value().ptr());
    PyErr_SetObject(exc_type.ptr(), arg.ptr());
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    throw py::error_already_set();
}

void warn(py::handle warnings, py::handle message, py::handle category, int stacklevel) {
    py::object warn_function = warnings.attr("warn");
    if (category && stacklevel != 0) {
        warn_function(message, py::arg("stacklevel") = stacklevel, py::arg("category") = category);
    } else if (category) {
        warn_function(message, py::arg("category") = category);
    } else if (stacklevel != 0) {
        warn_function(message, py::arg("stacklevel") = stacklevel);
    } else {
        warn_function(message);
    }
}

bool isinstance(py::handle obj, py::handle type) {
    const int result = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

void check_window(py::handle invalid_argument, py::handle window) {
    PyObject *value = window.ptr();
    bool positive = false;
    if (PyIndex_Check(value) && !PyBool_Check(value)) {
        auto days = py::reinterpret_steal<py::object>(PyNumber_Index(value));
        if (!days) {
            throw py::error_already_set();
        }
        const int result = PyObject_RichCompareBool(days.ptr(), py::int_(0).ptr(), Py_GT);
        if (result < 0) {
            throw py::error_already_set();
        }
        positive = result == 1;
    }
    if (!positive) {
        raise(invalid_argument, format("window 应为正整数, 传入值为: {!r}", window));
    }
}

bool truthy(py::handle obj) {
    const int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

bool equals(py::handle a, py::handle b) {
    PyObject *result = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return truthy(py::reinterpret_steal<py::object>(result));
}

}  // namespace plovera
