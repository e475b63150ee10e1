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
            mu = inplace_subtract(mu, mean);
        }
    }
    py::list constraints;
    constraints.append(compare(matmul(g, mu), py::int_(1), Py_EQ));
    return std::move(constraints);
}

// [sum(g) == 1]: with the budget sum(g) == zeta it fixes zeta at 1, and the
// information ratio's problem becomes minimum tracking error.
py::object unit_budget_constraint(const Globals &globals, py::handle g) {
    py::list constraints;
    constraints.append(compare(globals["cp"].attr("sum")(g), py::int_(1), Py_EQ));
    return std::move(constraints);
}

// A difference of expected active returns this small, relative to the
// largest of them (or to 1), is rounding.
constexpr double kRoundingTolerance = 1e-12;

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
    self.attr("_window") = args[2];
    return py::none();
}

py::object information_ratio_expr(const Globals &globals, const Args &args) {
    py::handle helper = args[3];
    return active_risk(globals, args[1], args[2], helper);
}

// The expected active return of the scaled weights, measured against the
// benchmark over helper.union_components, is pinned to 1: mu'(g' - zeta b) ==
// 1, g' being g followed by zeros.  A stock without an estimate (a benchmark
// constituent outside the pool, one missing from the series, a NaN) is taken
// to earn the benchmark's average, the benchmark-weighted mean of the
// constituents that have one.  With the budget sum(g) == zeta the constraint
// is (mu_pool - b'mu)'g == 1, which is what is written: the benchmark's own
// active return is then 0, and a constant added to every expected active
// return changes nothing.
py::object information_ratio_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle g = args[1];
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
    py::object np = globals["np"];
    py::object ids = helper.attr("order_book_ids");
    const Py_ssize_t n = py::len(ids);
    py::object mu = reindexed(globals, active_returns, helper.attr("union_components"));
    py::object pool_mu = mu[py::slice(0, n, 1)];
    missing_values(globals, active_returns, pool_mu, ids, "expected_active_returns",
                   "基准的平均主动收益");
    py::object missing = np.attr("isnan")(mu);
    py::object weight =
        np.attr("asarray")(helper.attr("benchmark_weight").attr("values"), "float64");
    py::object known = np.attr("logical_and")(compare(weight, py::int_(0), Py_GT),
                                              np.attr("logical_not")(missing));
    py::object average = py::float_(0.0);
    if (truthy(known.attr("any")())) {
        average = np.attr("average")(mu[known], py::arg("weights") = weight[known]);
    }
    mu[missing] = average;
    // The benchmark's average carries rounding: a view that differs by no
    // more than that is flat, and no edge over the benchmark.
    py::object tolerance =
        ops::mul(py::float_(kRoundingTolerance),
                 np.attr("maximum")(py::float_(1.0), np.attr("abs")(mu).attr("max")()));
    py::object spread = ops::sub(mu.attr("max")(), mu.attr("min")());
    if (truthy(compare(spread, tolerance, Py_LE))) {
        return unit_budget_constraint(globals, g);
    }
    py::object excess = ops::sub(pool_mu, weight.attr("dot")(mu));
    if (!truthy(compare(excess, tolerance, Py_GT).attr("any")())) {
        // No long-only portfolio of the pool is expected to beat the
        // benchmark: the best ratio is not positive, and the homogenised form
        // has no solution.  The closest portfolio to the benchmark is the answer.
        warn(globals["warnings"],
             py::str("MaxInformationRatio: 股票池中没有预期主动收益高于基准的股票，退化为 "
                     "MinTrackingError"),
             globals["OptimizerWarning"], 3);
        return unit_budget_constraint(globals, g);
    }
    py::list constraints;
    constraints.append(compare(matmul(g, excess), py::int_(1), Py_EQ));
    return std::move(constraints);
}

// ---- MaxSharpeRatio ---------------------------------------------------------

py::object sharpe_ratio_init(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    self.attr("_expected_returns") = optional_series(globals, args[1], "expected_returns");
    self.attr("_window") = args[2];
    return py::none();
}

py::object sharpe_ratio_expr(const Globals &globals, const Args &args) {
    return Risk::of_pool(globals, args[3]).variance(globals, args[1]);
}

py::object sharpe_ratio_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle helper = args[3];
    if (self.attr("_expected_returns").is_none()) {
        // Kept on the instance: later calls reuse the first estimate.
        self.attr("_expected_returns") = estimate_returns(globals, self.attr("_window"), helper);
    }
    return unit_return_constraint(
        globals, args[1],
        aligned_returns(globals, self.attr("_expected_returns"), helper, "expected_returns"));
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
