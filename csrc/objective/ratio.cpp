// The ratio objectives, maximum information ratio and maximum Sharpe ratio.
//
// A ratio cannot be maximised directly as a convex problem; both use the
// homogenised form over g = zeta * w with zeta a scalar variable: minimise the
// (active) variance of g subject to mu'g == 1.
#include "objective/common.hpp"

namespace plovera::objective {
namespace {

constexpr const char *kMaxInformationRatioDoc = R"(
    最大信息比率

    :param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。
    :type expected_active_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益的长度，默认为252，即一年
    )";

constexpr const char *kMaxSharpeRatioDoc = R"(
    最大化夏普比率

    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    )";

// [mu'g == 1], with mu made satisfiable by a non-negative g: returns without any
// spread fall back to the budget (all ones, the problem becomes a minimum-risk
// one), and a negative mean is taken out so that some entry is positive.
py::object unit_return_constraint(const Globals &globals, py::handle g, py::object mu) {
    if (truthy(compare(mu, mu[py::int_(0)], Py_EQ).attr("all")())) {
        mu = globals["np"].attr("repeat")(1.0, py::len(mu));
    } else {
        py::object mean = mu.attr("mean")();
        if (truthy(compare(mean, py::int_(0), Py_LT))) {
            // A new array: the aligned values may be read-only or of integer type.
            mu = mu - mean;
        }
    }
    py::list constraints;
    constraints.append(compare(matmul(g, mu), py::int_(1), Py_EQ));
    return std::move(constraints);
}

// Stores a series argument that may be None, as both constructors do.
py::object optional_series(const Globals &globals, py::handle value, const char *name) {
    if (value.is_none()) {
        return py::none();
    }
    return unique_series(globals, value, name);
}

// ---- MaxInformationRatio ----------------------------------------------------

py::object information_ratio_init(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    self.attr("_expected_active_returns") =
        optional_series(globals, args[1], "expected_active_returns");
    check_window(globals["InvalidArgument"], args[2]);
    self.attr("_window") = args[2];
    return py::none();
}

py::object information_ratio_expr(const Globals &globals, const Args &args) {
    py::handle helper = args[3];
    py::object active = active_weight(globals, args[1], args[2], helper);
    return quad_form(globals, active, helper.attr("get_union_cov_matrix")());
}

py::object information_ratio_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle helper = args[3];
    py::object given = self.attr("_expected_active_returns");
    py::object active_returns;
    if (given.is_none()) {
        // Estimated afresh on every call: the benchmark's return depends on the date.
        active_returns = estimate_returns(globals, self.attr("_window"), helper);
        py::object benchmark = helper.attr("benchmark");
        py::object benchmark_return =
            benchmark.attr("get_expected_returns")(helper.attr("date"), self.attr("_window"));
        active_returns = inplace_subtract(active_returns, benchmark_return);
    } else {
        active_returns = std::move(given);
    }
    return unit_return_constraint(globals, args[1],
                                  aligned(active_returns, helper.attr("order_book_ids")));
}

// ---- MaxSharpeRatio ---------------------------------------------------------

py::object sharpe_ratio_init(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    self.attr("_expected_returns") = optional_series(globals, args[1], "expected_returns");
    check_window(globals["InvalidArgument"], args[2]);
    self.attr("_window") = args[2];
    return py::none();
}

py::object sharpe_ratio_expr(const Globals &globals, const Args &args) {
    return quad_form(globals, args[1], args[3].attr("get_cov_matrix")());
}

py::object sharpe_ratio_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle helper = args[3];
    if (self.attr("_expected_returns").is_none()) {
        // Kept on the instance: later calls reuse the first estimate.
        self.attr("_expected_returns") = estimate_returns(globals, self.attr("_window"), helper);
    }
    return unit_return_constraint(
        globals, args[1], aligned(self.attr("_expected_returns"), helper.attr("order_book_ids")));
}

}  // namespace

py::object build_max_information_ratio(const py::dict &globals, py::handle metaclass,
                                       py::handle base) {
    return ClassBuilder(globals, "MaxInformationRatio", kMaxInformationRatioDoc)
        .method("__init__",
                {"self",
                 {"expected_active_returns", py::none()},
                 {"window", py::int_(kTradingDaysPerYear)}},
                information_ratio_init)
        .method("get_objective_expr", {"self", "g", "zeta", "helper"}, information_ratio_expr)
        .method("get_internal_constraints", {"self", "g", "zeta", "helper"},
                information_ratio_constraints)
        .method("get_preferred_solver", {"self"}, scs_solver)
        .build(metaclass, py::make_tuple(base));
}

py::object build_max_sharpe_ratio(const py::dict &globals, py::handle metaclass, py::handle base) {
    return ClassBuilder(globals, "MaxSharpeRatio", kMaxSharpeRatioDoc)
        .method(
            "__init__",
            {"self", {"expected_returns", py::none()}, {"window", py::int_(kTradingDaysPerYear)}},
            sharpe_ratio_init)
        .method("get_objective_expr", {"self", "g", "zeta", "helper"}, sharpe_ratio_expr)
        .method("get_internal_constraints", {"self", "g", "zeta", "helper"},
                sharpe_ratio_constraints)
        .method("get_preferred_solver", {"self"}, scs_solver)
        .build(metaclass, py::make_tuple(base));
}

}  // namespace plovera::objective
