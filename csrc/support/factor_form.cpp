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

py::object factor_variance_of(const Globals &globals, const FactorForm &form, py::handle x) {
    py::object np = globals["np"];
    py::object common = ops::matmul(form.loadings_t, x);
    py::object specific = ops::mul(form.specific_root, x);
    return ops::add(np.attr("dot")(common, common), np.attr("dot")(specific, specific));
}

ActiveParts active_parts(const Globals &globals, const FactorForm &form, py::handle g,
                         py::handle zeta, py::handle benchmark_weight) {
    py::object np = globals["np"];
    py::object cp = globals["cp"];
    py::object b = np.attr("asarray")(benchmark_weight, "float64");
    const Py_ssize_t n = g.attr("shape")[py::int_(0)].cast<Py_ssize_t>();
    const Py_ssize_t m = py::len(b);
    const auto scaled = [&](py::handle constant) {
        return zeta ? ops::mul(zeta, constant) : py::reinterpret_borrow<py::object>(constant);
    };
    py::slice held(0, n, 1);
    py::object pool_loadings =
        form.loadings_t[py::make_tuple(py::slice(0, py::len(form.loadings_t), 1), held)];
    ActiveParts parts;
    parts.common = ops::sub(ops::matmul(pool_loadings, g), scaled(ops::matmul(form.loadings_t, b)));
    parts.specific = cp.attr("multiply")(form.specific_root[held], ops::sub(g, scaled(b[held])));
    parts.outside = py::none();
    if (m > n) {
        py::slice others(n, m, 1);
        py::object outside_risk =
            np.attr("linalg").attr("norm")(ops::mul(form.specific_root[others], b[others]));
        parts.outside = scaled(outside_risk);
    }
    return parts;
}

py::object active_variance(const Globals &globals, const ActiveParts &parts) {
    py::object cp = globals["cp"];
    py::object sum_squares = cp.attr("sum_squares");
    py::object variance = ops::add(sum_squares(parts.common), sum_squares(parts.specific));
    if (!parts.outside.is_none()) {
        variance = ops::add(variance, cp.attr("square")(parts.outside));
    }
    return variance;
}

py::object active_volatility(const Globals &globals, const ActiveParts &parts) {
    py::object cp = globals["cp"];
    py::list stacked;
    stacked.append(parts.common);
    stacked.append(parts.specific);
    if (!parts.outside.is_none()) {
        stacked.append(
            cp.attr("reshape")(parts.outside, py::make_tuple(1), py::arg("order") = "C"));
    }
    return cp.attr("norm")(cp.attr("hstack")(stacked), 2);
}

}  // namespace plovera
