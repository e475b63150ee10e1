#include "support/factor_form.hpp"

#include "support/ops.hpp"

namespace plovera {

FactorForm factor_form(const Globals &globals, py::handle model) {
    py::object np = globals["np"];
    py::object exposures = np.attr("asarray")(model.attr("exposures"), "float64");
    py::object factor_cov = np.attr("asarray")(model.attr("factor_covariance"), "float64");
    py::object specific = np.attr("asarray")(model.attr("specific_variance"), "float64");
    py::object symmetric =
        ops::truediv(ops::add(factor_cov, factor_cov.attr("T")), py::float_(2.0));
    py::tuple eig = np.attr("linalg").attr("eigh")(symmetric);
    py::object root = ops::mul(eig[1], np.attr("sqrt")(np.attr("clip")(eig[0], 0.0, py::none())));
    FactorForm form;
    // Contiguous rows: cvxpy copies the constant once either way, and a
    // transposed view would make it copy twice.
    form.loadings_t = np.attr("ascontiguousarray")(ops::matmul(exposures, root).attr("T"));
    form.specific_root = np.attr("sqrt")(np.attr("clip")(specific, 0.0, py::none()));
    return form;
}

py::object factor_variance(const Globals &globals, const FactorForm &form, py::handle x) {
    py::object cp = globals["cp"];
    py::object sum_squares = cp.attr("sum_squares");
    return ops::add(sum_squares(ops::matmul(form.loadings_t, x)),
                    sum_squares(cp.attr("multiply")(form.specific_root, x)));
}

py::object factor_volatility(const Globals &globals, const FactorForm &form, py::handle x) {
    py::object cp = globals["cp"];
    py::object stacked = cp.attr("hstack")(py::make_tuple(
        ops::matmul(form.loadings_t, x), cp.attr("multiply")(form.specific_root, x)));
    return cp.attr("norm")(stacked, 2);
}

py::object factor_variance_of(const Globals &globals, const FactorForm &form, py::handle x) {
    py::object np = globals["np"];
    py::object common = ops::matmul(form.loadings_t, x);
    py::object specific = ops::mul(form.specific_root, x);
    return ops::add(np.attr("dot")(common, common), np.attr("dot")(specific, specific));
}

}  // namespace plovera
