// The quadratic forms of the objectives: in factor form when the helper
// offers it, otherwise over its dense matrix, certified positive semidefinite
// here rather than by cvxpy.
//
// cvxpy certifies a constant matrix with an iterative eigenvalue search
// (ARPACK) that can fail to converge on a perfectly healthy covariance matrix,
// and the optimisation then ends in ArpackNoConvergence.  A Cholesky
// factorisation, and for a singular matrix a dense eigenvalue decomposition,
// cannot fail that way.  A matrix that passes is handed over as
// cp.psd_wrap(matrix), so cvxpy skips its own test; any other matrix goes to
// cvxpy as it is, to be judged (and refused) exactly as before.
#include <string>

#include "objective/common.hpp"

namespace plovera::objective {
namespace {

// Real numbers, finite, square and symmetric in cvxpy's own sense (np.allclose
// of the matrix and its transpose): what cvxpy would go on to test for PSD.
bool is_candidate(py::handle np, py::handle array) {
    if (array.attr("ndim").cast<int>() != 2) {
        return false;
    }
    py::tuple shape = array.attr("shape");
    if (!equals(shape[0], shape[1])) {
        return false;
    }
    const auto kind = array.attr("dtype").attr("kind").cast<std::string>();
    if (kind != "b" && kind != "i" && kind != "u" && kind != "f") {
        return false;
    }
    return truthy(np.attr("isfinite")(array).attr("all")()) &&
           truthy(np.attr("allclose")(array, array.attr("T")));
}

bool is_psd(const Globals &globals, py::handle matrix) {
    py::object np = globals["np"];
    py::object array = np.attr("asarray")(matrix);
    if (!is_candidate(np, array)) {
        return false;
    }
    py::object as_float = array.attr("astype")(np.attr("float64"));
    py::object symmetric = ops::truediv(as_float + as_float.attr("T"), py::float_(2.0));
    py::object linalg = np.attr("linalg");
    try {
        linalg.attr("cholesky")(symmetric);
        return true;
    } catch (py::error_already_set &error) {
        if (!error.matches(linalg.attr("LinAlgError"))) {
            throw;
        }
    }
    // Not positive definite: semidefinite still, if no eigenvalue lies below
    // the tolerance cvxpy itself allows.
    py::object smallest = linalg.attr("eigvalsh")(symmetric).attr("min")();
    py::object tolerance = globals["cp"].attr("settings").attr("EIGVAL_TOL");
    return truthy(compare(smallest, -tolerance, Py_GE));
}

}  // namespace

py::object quad_form(const Globals &globals, py::handle x, py::handle matrix) {
    py::object cp = globals["cp"];
    if (is_psd(globals, matrix)) {
        return cp.attr("quad_form")(x, cp.attr("psd_wrap")(matrix));
    }
    return cp.attr("quad_form")(x, matrix);
}

py::object active_risk(const Globals &globals, py::handle g, py::handle zeta, py::handle helper) {
    if (!py::hasattr(helper, "get_union_factor_model")) {
        return quad_form(globals, active_weight(globals, g, zeta, helper),
                         helper.attr("get_union_cov_matrix")());
    }
    const FactorForm form = factor_form(globals, helper.attr("get_union_factor_model")());
    return active_variance(globals, active_parts(globals, form, g, zeta,
                                                 helper.attr("benchmark_weight").attr("values")));
}

Risk Risk::of_pool(const Globals &globals, py::handle helper) {
    Risk risk;
    if (py::hasattr(helper, "get_factor_model")) {
        risk.form_ = factor_form(globals, helper.attr("get_factor_model")());
    } else {
        risk.matrix_ = helper.attr("get_cov_matrix")();
    }
    return risk;
}

py::object Risk::variance(const Globals &globals, py::handle x) const {
    if (form_) {
        return factor_variance(globals, *form_, x);
    }
    return quad_form(globals, x, matrix_);
}

py::object Risk::variance_of(const Globals &globals, py::handle x) const {
    if (form_) {
        return factor_variance_of(globals, *form_, x);
    }
    return x.attr("dot")(matrix_).attr("dot")(x);
}

}  // namespace plovera::objective
