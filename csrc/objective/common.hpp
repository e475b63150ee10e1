// Pieces shared by the objectives of plovera.objective.
#pragma once

#include "support/constants.hpp"
#include "support/function.hpp"
#include "support/ops.hpp"
#include "support/pyutil.hpp"

namespace plovera::objective {

// False when the interpreter runs with -O: budget assertions are then skipped.
extern bool assertions_enabled;

using ops::absolute;
using ops::compare;
using ops::inplace_add;
using ops::inplace_multiply;
using ops::inplace_subtract;
using ops::matmul;
using ops::power;

// `assert zeta == 1.0` for the objectives built for a fixed budget of 1.
void assert_unit_budget(py::handle zeta);

// Annualised expected returns of the pool, estimated from the daily change rates
// of the `window` trading days that end on the helper's previous trading date.
py::object estimate_returns(const Globals &globals, py::handle window, py::handle helper);

// `ensure_series(value, name)`, refusing a series whose index repeats a label:
// a repeated identifier or style has no single value to align.
py::object unique_series(const Globals &globals, py::handle value, const char *name);

// `series` in the order of the pool as a numpy vector; instruments missing from
// the series get 0.0.
py::object aligned(py::handle series, py::handle order_book_ids);

// The active weights over helper.union_components: g, then zeros for the
// benchmark's components outside the pool, minus the benchmark weights (times
// `zeta` unless it is null).
py::object active_weight(const Globals &globals, py::handle g, py::handle zeta, py::handle helper);

// cp.quad_form(x, matrix), with a matrix this module has found positive
// semidefinite handed over as cp.psd_wrap(matrix): cvxpy's own iterative test
// can fail to converge on healthy covariance matrices.
py::object quad_form(const Globals &globals, py::handle x, py::handle matrix);

py::object scs_solver(const Globals &globals, const Args &args);

py::object build_max_information_ratio(const py::dict &globals, py::handle metaclass,
                                       py::handle base);
py::object build_max_sharpe_ratio(const py::dict &globals, py::handle metaclass, py::handle base);

}  // namespace plovera::objective
