// Pieces shared by the objectives of plovera.objective.
#pragma once

#include "support/function.hpp"
#include "support/pyutil.hpp"

namespace plovera::objective {

// Daily change rates are annualised with this factor; it is also the default
// look-back window.
constexpr int kTradingDaysPerYear = 252;

// False when the interpreter runs with -O: budget assertions are then skipped.
extern bool assertions_enabled;

// Python operators that pybind11 does not offer, through the C API so that
// cvxpy and numpy see exactly the Python operation.
inline py::object checked(PyObject *result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}
inline py::object compare(py::handle a, py::handle b, int op) {
    return checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}
inline py::object matmul(py::handle a, py::handle b) {
    return checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}
inline py::object power(py::handle a, py::handle b) {
    return checked(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
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

// `assert zeta == 1.0` for the objectives built for a fixed budget of 1.
void assert_unit_budget(py::handle zeta);

// Annualised expected returns of the pool, estimated from the daily change rates
// of the `window` trading days that end on the helper's previous trading date.
py::object estimate_returns(const Globals &globals, py::handle window, py::handle helper);

// `series` in the order of the pool as a numpy vector; instruments missing from
// the series get 0.0.
py::object aligned(py::handle series, py::handle order_book_ids);

// The active weights over helper.union_components: g, then zeros for the
// benchmark's components outside the pool, minus the benchmark weights (times
// `zeta` unless it is null).
py::object active_weight(const Globals &globals, py::handle g, py::handle zeta, py::handle helper);

py::object scs_solver(const Globals &globals, const Args &args);

py::object build_max_information_ratio(const py::dict &globals, py::handle metaclass,
                                       py::handle base);
py::object build_max_sharpe_ratio(const py::dict &globals, py::handle metaclass, py::handle base);

}  // namespace plovera::objective
