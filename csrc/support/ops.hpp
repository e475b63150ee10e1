// Python operators on objects, exactly as the interpreter applies them, so
// that cvxpy and numpy see the same operations as from Python code.
#pragma once

#include <pybind11/pybind11.h>

namespace plovera::ops {

namespace py = pybind11;

inline py::object checked(PyObject *result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

inline py::object add(py::handle a, py::handle b) {
    return checked(PyNumber_Add(a.ptr(), b.ptr()));
}
inline py::object sub(py::handle a, py::handle b) {
    return checked(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
    return checked(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object matmul(py::handle a, py::handle b) {
    return checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}
inline py::object truediv(py::handle a, py::handle b) {
    return checked(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
inline py::object absolute(py::handle a) { return checked(PyNumber_Absolute(a.ptr())); }
inline py::object inplace_add(py::handle a, py::handle b) {
    return checked(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}
inline py::object inplace_subtract(py::handle a, py::handle b) {
    return checked(PyNumber_InPlaceSubtract(a.ptr(), b.ptr()));
}
inline py::object inplace_multiply(py::handle a, py::handle b) {
    return checked(PyNumber_InPlaceMultiply(a.ptr(), b.ptr()));
}
inline py::object power(py::handle a, py::handle b) {
    return checked(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
}
// a == b, a >= b, ... as rich comparisons, returning the object (a cvxpy
// constraint, a numpy array) rather than its truth value.
inline py::object compare(py::handle a, py::handle b, int op) {
    return checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

}  // namespace plovera::ops
