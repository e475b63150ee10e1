// Pieces shared by the objectives of plovera.objective.
#pragma once

#include <optional>

#include "support/constants.hpp"
#include "support/factor_form.hpp"
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

// `series` in the order of `order_book_ids` as a new float vector, NaN where
// a stock is missing.
py::object reindexed(const Globals &globals, py::handle series, py::handle order_book_ids);

// Warns naming the stocks whose value in `values` (`series` reindexed to
// `order_book_ids`) is NaN although `series` lists them, an estimate without
// a quote in its window or a caller's NaN, with what they are taken to be
// (`treated_as`); returns the mask of every NaN, listed or missing.
py::object missing_values(const Globals &globals, py::handle series, py::handle values,
                          py::handle order_book_ids, const char *name, const char *treated_as);

// Expected returns in the order of the pool; a stock missing from them, or
// whose value is NaN (warned about), gets 0.0.
py::object aligned_returns(const Globals &globals, py::handle series, py::handle helper,
                           const char *name);

// The active weights over helper.union_components: g, then zeros for the
// benchmark's components outside the pool, minus the benchmark weights (times
// `zeta` unless it is null).
py::object active_weight(const Globals &globals, py::handle g, py::handle zeta, py::handle helper);

// cp.quad_form(x, matrix), with a matrix this module has found positive
// semidefinite handed over as cp.psd_wrap(matrix): cvxpy's own iterative test
// can fail to converge on healthy covariance matrices.
py::object quad_form(const Globals &globals, py::handle x, py::handle matrix);

// The variance of the active weights over helper.union_components (see
// active_weight): in factor form when the helper offers the union's, the
// constituents outside the pool folded into one term; otherwise over the
// helper's dense union matrix.
py::object active_risk(const Globals &globals, py::handle g, py::handle zeta, py::handle helper);

// The covariance an objective measures the pool's risk with: in factor form
// when the helper offers it (get_factor_model), so that no n × n matrix is
// built; otherwise the helper's dense matrix.
class Risk {
public:
    static Risk of_pool(const Globals &globals, py::handle helper);

    // xᵀΣx as a cvxpy expression of the vector expression x.
    py::object variance(const Globals &globals, py::handle x) const;
    // xᵀΣx of a numeric vector.
    py::object variance_of(const Globals &globals, py::handle x) const;

private:
    std::optional<FactorForm> form_;
    py::object matrix_;
};

py::object scs_solver(const Globals &globals, const Args &args);

py::object build_max_information_ratio(const py::dict &globals, py::handle metaclass,
                                       py::handle base);
py::object build_max_sharpe_ratio(const py::dict &globals, py::handle metaclass, py::handle base);

}  // namespace plovera::objective
