// plovera.objective: the objectives that portfolio_optimize minimises.
//
// Every operation receives (g, zeta, helper): the non-negative weight variable,
// what g adds up to and the call's data helper.  Module globals (cp, np, pd,
// quotaris, ...) are looked up at call time so that callers can replace them.
#include <limits>

#include "objective/common.hpp"
#include "support/module.hpp"

namespace plovera::objective {

bool assertions_enabled = true;

namespace {

constexpr const char *kMeanVarianceDoc = R"(
    收益/风险优化

    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    :param risk_aversion_coefficient: 风险厌恶系数
    )";

constexpr const char *kMaxIndicatorDoc = R"(
    指标最大化

    :param indicator_series: 指标序列
    :type indicator_series: pd.Series
    )";

constexpr const char *kMinStyleDeviationDoc = R"(
    风格偏离最小化

    :param target_style: pd.Series, 目标风格
    :param relative: bool, 是否为相对于基准
    :param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，9为最高优先级，0为最低优先级；未指定的风格默认优先级为5
    )";

// Weight of a style's squared deviation, indexed by its priority 0..9.  Priority 0
// still counts a little; the default priority 5 weighs 25.
constexpr int kPriorityAdjustFactor[] = {1, 5, 10, 15, 20, 25, 30, 35, 40, 45};
constexpr int kDefaultPriority = 5;
constexpr int kMaxPriority = 9;

py::object ensure_series_impl(const Globals &globals, const Args &args) {
    py::handle obj = args[0];
    py::object series_type = globals["pd"].attr("Series");
    if (plovera::isinstance(obj, series_type)) {
        return py::reinterpret_borrow<py::object>(obj);
    }
    try {
        return series_type(obj);
    } catch (py::error_already_set &error) {
        // Interrupts and exits are not conversion failures: let them through.
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
        raise_while_handling(
            globals["InvalidArgument"],
            format("{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象", args[1]), error);
    }
}

py::object no_constraints(const Globals &, const Args &) { return py::list(); }

py::object pool_variance(const Globals &globals, py::handle g, py::handle helper) {
    return Risk::of_pool(globals, helper).variance(globals, g);
}

// ---- MinVariance ------------------------------------------------------------

py::object min_variance_expr(const Globals &globals, const Args &args) {
    assert_unit_budget(args[2]);
    return pool_variance(globals, args[1], args[3]);
}

// ---- MeanVariance -----------------------------------------------------------

py::object mean_variance_init(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::object expected_returns = py::reinterpret_borrow<py::object>(args[1]);
    py::handle coefficient = args[3];
    if (!expected_returns.is_none()) {
        expected_returns = unique_series(globals, expected_returns, "expected_returns");
    }
    // NaN and infinity compare false here too: they would only surface later as
    // unusable problem data, so they are refused like a negative value.
    if (!truthy(compare(coefficient, py::int_(0), Py_GE)) ||
        !truthy(compare(coefficient, py::float_(std::numeric_limits<double>::infinity()), Py_LT))) {
        raise(globals["InvalidArgument"],
              format("risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}",
                     coefficient));
    }
    self.attr("_expected_returns") = expected_returns;
    self.attr("_risk_aversion_coefficient") = coefficient;
    self.attr("_window") = args[2];
    return py::none();
}

// The typical size of an expected return, so that the risk term can be scaled to
// the return term: the mean of the positive entries, or, when there are none,
// the size of the mean of the best quarter.
py::object typical_return(py::handle mu, Py_ssize_t n) {
    py::object positive = compare(mu, py::int_(0), Py_GT);
    if (truthy(positive.attr("any")())) {
        return mu[positive].attr("mean")();
    }
    py::object ascending = mu.attr("copy")();
    ascending.attr("sort")();
    const Py_ssize_t best_quarter = (n + 3) / 4;
    auto tail = py::reinterpret_steal<py::object>(
        PySlice_New(py::int_(-best_quarter).ptr(), nullptr, nullptr));
    if (!tail) {
        throw py::error_already_set();
    }
    return absolute(ascending[tail].attr("mean")());
}

py::object mean_variance_expr(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle g = args[1];
    py::handle helper = args[3];
    assert_unit_budget(args[2]);
    if (self.attr("_expected_returns").is_none()) {
        self.attr("_expected_returns") = estimate_returns(globals, self.attr("_window"), helper);
    }
    py::object ids = helper.attr("order_book_ids");
    py::object mu =
        aligned_returns(globals, self.attr("_expected_returns"), helper, "expected_returns");
    if (truthy(compare(mu, py::int_(0), Py_EQ).attr("all")())) {
        // Stack level 3: the objective is called by portfolio_optimize, whose
        // caller the warning is about.
        warn(globals["warnings"],
             py::str("MeanVariance: expected_returns 全部为 0，退化为 MinVariance"),
             globals["OptimizerWarning"], 3);
        return pool_variance(globals, g, helper);
    }
    const Risk risk = Risk::of_pool(globals, helper);
    const Py_ssize_t n = py::len(ids);
    py::object weight = globals["np"].attr("repeat")(1.0 / static_cast<double>(n), n);
    py::object adjust_factor = typical_return(mu, n) / risk.variance_of(globals, weight);
    adjust_factor = inplace_multiply(adjust_factor, self.attr("_risk_aversion_coefficient"));
    py::object gain = matmul(-g, mu);
    return gain + risk.variance(globals, g) * adjust_factor;
}

// ---- RiskParity -------------------------------------------------------------

py::object risk_parity_expr(const Globals &globals, const Args &args) {
    py::handle g = args[1];
    py::object cp = globals["cp"];
    py::object variance = pool_variance(globals, g, args[3]);
    return variance - cp.attr("sum")(cp.attr("log")(g));
}

// ---- MinTrackingError -------------------------------------------------------

py::object min_tracking_error_expr(const Globals &globals, const Args &args) {
    py::handle helper = args[3];
    assert_unit_budget(args[2]);
    return active_risk(globals, args[1], py::handle(), helper);
}

// ---- MaxIndicator -----------------------------------------------------------

// The pool's indicator values as floats: text, NaN and infinities, or values
// that are all zero, leave nothing to maximise and are refused by name.
py::object indicator_values(const Globals &globals, py::handle pool_indicator) {
    py::object np = globals["np"];
    py::object invalid_argument = globals["InvalidArgument"];
    py::object values;
    try {
        values = np.attr("asarray")(pool_indicator.attr("values"), py::arg("dtype") = "float64");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) {
            throw;
        }
        raise_while_handling(
            invalid_argument,
            format("indicator_series 的值应为数值: {}", pool_indicator.attr("to_dict")()), error);
    }
    py::object finite = np.attr("isfinite")(values);
    if (!truthy(finite.attr("all")())) {
        py::object bad = pool_indicator.attr("index")[np.attr("logical_not")(finite)];
        raise(invalid_argument,
              format("indicator_series 中以下股票的值不是有限数值: {}", bad.attr("tolist")()));
    }
    if (!truthy(values.attr("any")())) {
        raise(invalid_argument, py::str("indicator_series 在股票池上的值全部为 0"));
    }
    return values;
}

py::object max_indicator_init(const Globals &globals, const Args &args) {
    args[0].attr("_indicator_series") = globals["ensure_series"](args[1], "indicator_series");
    return py::none();
}

py::object max_indicator_expr(const Globals &globals, const Args &args) {
    py::handle helper = args[3];
    py::object indicator = args[0].attr("_indicator_series");
    py::object ids = helper.attr("order_book_ids");
    py::object pool = py::reinterpret_steal<py::object>(PySet_New(ids.ptr()));
    if (!pool) {
        throw py::error_already_set();
    }
    py::object index = py::reinterpret_steal<py::object>(PySet_New(indicator.attr("index").ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    if (!truthy(pool.attr("issubset")(index))) {
        raise(globals["InvalidArgument"],
              py::str("传入股票池中的股票有部分在 indicator_series 中找不到值"));
    }
    py::object values = indicator_values(globals, indicator.attr("reindex")(ids));
    // Scaled to a mean absolute value of 1, so the indicator's units do not matter.
    py::object scaled = values / absolute(values).attr("mean")();
    return matmul(-args[1], scaled);
}

// ---- MinStyleDeviation ------------------------------------------------------

py::object min_style_deviation_init(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::object ensure_series = globals["ensure_series"];
    py::object target = unique_series(globals, args[1], "target_style");
    self.attr("_target_style") = target;
    py::object style_factors = globals["STYLE_FACTORS"];
    for (py::handle style : target.attr("index")) {
        const int known = PySequence_Contains(style_factors.ptr(), style.ptr());
        if (known < 0) {
            throw py::error_already_set();
        }
        if (known == 0) {
            raise(globals["InvalidArgument"],
                  format("目标风格值 {} 非法，请从 {} 中选取", style, style_factors));
        }
    }
    self.attr("_relative") = args[2];
    py::object priority = py::reinterpret_borrow<py::object>(args[3]);
    if (!priority.is_none()) {
        py::object given = unique_series(globals, priority, "priority");
        // NaN, infinities and text fail in pandas' cast with its own error.
        priority = given.attr("astype")(py::handle(reinterpret_cast<PyObject *>(&PyLong_Type)));
        priority =
            priority.attr("reindex")(target.attr("index"), py::arg("fill_value") = kDefaultPriority)
                .attr("clip")(0, kMaxPriority);
    }
    self.attr("_priority") = priority;
    return py::none();
}

py::object min_style_deviation_expr(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle g = args[1];
    py::handle helper = args[3];
    assert_unit_budget(args[2]);
    py::object benchmark_style = py::none();
    if (truthy(self.attr("_relative"))) {
        if (helper.attr("benchmark").is_none()) {
            raise(globals["InvalidArgument"],
                  py::str("在使用相对风格偏移时，必须指定 benchmark 参数"));
        }
        benchmark_style = helper.attr("get_benchmark_style")();
    }
    py::object factor_exposure = helper.attr("get_factor_exposure")();
    py::object diff = py::int_(0);
    py::object square = py::int_(2);
    for (py::handle item : self.attr("_target_style").attr("items")()) {
        py::object style = item[py::int_(0)];
        py::object target = item[py::int_(1)];
        if (truthy(self.attr("_relative"))) {
            target = inplace_add(target, benchmark_style[style]);
        }
        py::object priority = self.attr("_priority");
        py::object weight = priority.is_none()
                                ? py::object(py::int_(1))
                                : self.attr("PRIORITY_ADJUST_FACTOR")[priority[style]];
        py::object exposure = matmul(g, factor_exposure[style].attr("values"));
        diff = inplace_add(diff, weight * power(exposure - target, square));
    }
    return diff;
}

py::object priority_adjust_factor() {
    py::list factors;
    for (int factor : kPriorityAdjustFactor) {
        factors.append(factor);
    }
    return std::move(factors);
}

}  // namespace

py::object scs_solver(const Globals &globals, const Args &) { return globals["cp"].attr("SCS"); }

void assert_unit_budget(py::handle zeta) {
    if (assertions_enabled && !truthy(compare(zeta, py::float_(1.0), Py_EQ))) {
        raise(PyExc_AssertionError, py::handle());
    }
}

py::object estimate_returns(const Globals &globals, py::handle window, py::handle helper) {
    py::object quotaris = globals["quotaris"];
    py::object end_date = helper.attr("prev_trading_date");
    // The window is stored as given: a value that cannot be negated fails
    // here with the interpreter's error, one that is no count of days (it
    // would average nothing, a NaN in the problem) is refused by name.
    py::object back = -window;
    check_window(globals["InvalidArgument"], window);
    py::object start_date = quotaris.attr("trading_date_offset")(end_date, back);
    py::object ids = helper.attr("order_book_ids");
    py::object change_rate =
        quotaris.attr("get_price_change_rate")(ids, start_date, helper.attr("prev_trading_date"));
    return change_rate.attr("mean")() * py::int_(kTradingDaysPerYear);
}

py::object unique_series(const Globals &globals, py::handle value, const char *name) {
    py::object series = globals["ensure_series"](value, name);
    py::object index = series.attr("index");
    if (truthy(index.attr("has_duplicates"))) {
        py::object repeated = index[index.attr("duplicated")()].attr("unique")();
        raise(globals["InvalidArgument"],
              format("{} 的索引中有重复项: {}", name, repeated.attr("tolist")()));
    }
    return series;
}

py::object reindexed(const Globals &globals, py::handle series, py::handle order_book_ids) {
    // A new array: pandas may hand out read-only values.
    return globals["np"].attr("array")(series.attr("reindex")(order_book_ids).attr("values"),
                                       "float64");
}

py::object missing_values(const Globals &globals, py::handle series, py::handle values,
                          py::handle order_book_ids, const char *name, const char *treated_as) {
    py::object missing = globals["np"].attr("isnan")(values);
    if (!truthy(missing.attr("any")())) {
        return missing;
    }
    py::object unvalued = globals["pd"].attr("Index")(order_book_ids)[missing];
    py::object named = unvalued[unvalued.attr("isin")(series.attr("index"))];
    if (py::len(named) > 0) {
        // Stack level 3: the objective is called by portfolio_optimize, whose
        // caller the warning is about.
        warn(globals["warnings"],
             format("{} 中以下股票的值为 NaN（如估计窗口内没有行情），按{}处理: {}", name,
                    treated_as, named.attr("tolist")()),
             globals["OptimizerWarning"], 3);
    }
    return missing;
}

py::object aligned_returns(const Globals &globals, py::handle series, py::handle helper,
                           const char *name) {
    py::object ids = helper.attr("order_book_ids");
    py::object values = reindexed(globals, series, ids);
    py::object missing = missing_values(globals, series, values, ids, name, " 0 ");
    values[missing] = py::float_(0.0);
    return values;
}

py::object active_weight(const Globals &globals, py::handle g, py::handle zeta, py::handle helper) {
    const Py_ssize_t not_in_pool =
        py::len(helper.attr("union_components")) - py::len(helper.attr("order_book_ids"));
    py::object held = py::reinterpret_borrow<py::object>(g);
    if (not_in_pool > 0) {
        py::list parts;
        parts.append(g);
        parts.append(globals["np"].attr("repeat")(0.0, not_in_pool));
        held = globals["cp"].attr("hstack")(parts);
    }
    py::object benchmark = helper.attr("benchmark_weight").attr("values");
    if (zeta) {
        benchmark = zeta * benchmark;
    }
    return held - benchmark;
}

}  // namespace plovera::objective

PYBIND11_MODULE(objective, module) {
    using namespace plovera;
    using namespace plovera::objective;
    py::dict globals = module_globals(module);
    // Budget assertions follow the interpreter's -O switch, as `assert` does; it is
    // fixed when the interpreter starts, so reading it once is enough.
    assertions_enabled =
        py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;

    py::object metaclass = py::module_::import("abc").attr("ABCMeta");
    globals["ABCMeta"] = metaclass;
    globals["warnings"] = py::module_::import("warnings");
    globals["cp"] = py::module_::import("cvxpy");
    globals["np"] = py::module_::import("numpy");
    globals["pd"] = py::module_::import("pandas");
    globals["quotaris"] = py::module_::import("quotaris");
    globals["InvalidArgument"] = import_from_sibling(module, "exception", "InvalidArgument");
    globals["OptimizerWarning"] = import_from_sibling(module, "exception", "OptimizerWarning");
    globals["STYLE_FACTORS"] = import_from_sibling(module, "const", "STYLE_FACTORS");
    globals["ensure_series"] = make_function(globals, "ensure_series", "ensure_series",
                                             {"obj", "name"}, ensure_series_impl);

    const py::int_ window(kTradingDaysPerYear);
    const auto objective = [&](const char *name, const char *doc, Impl expr) {
        return ClassBuilder(globals, name, doc)
            .method("get_objective_expr", {"self", "g", "zeta", "helper"}, expr);
    };
    const auto build = [&](const char *name, const ClassBuilder &builder) {
        globals[name] =
            ClassBuilder(builder)
                .method("get_internal_constraints", {"self", "g", "zeta", "helper"}, no_constraints)
                .method("get_preferred_solver", {"self"}, scs_solver)
                .build(metaclass, py::make_tuple(globals["OptimizationObjective"]));
    };

    globals["OptimizationObjective"] =
        ClassBuilder(globals, "OptimizationObjective")
            .method("get_objective_expr", {"self", "g", "zeta", "helper"}, not_implemented)
            .method("get_internal_constraints", {"self", "g", "zeta", "helper"}, not_implemented)
            .method("get_preferred_solver", {"self"}, not_implemented)
            .build(metaclass);
    build("MinVariance", objective("MinVariance", "风险最小化", min_variance_expr));
    build("MeanVariance",
          ClassBuilder(globals, "MeanVariance", kMeanVarianceDoc)
              .method("__init__",
                      {"self",
                       {"expected_returns", py::none()},
                       {"window", window},
                       {"risk_aversion_coefficient", py::int_(1)}},
                      mean_variance_init)
              .method("get_objective_expr", {"self", "g", "zeta", "helper"}, mean_variance_expr));
    build("RiskParity", objective("RiskParity", "风险平价", risk_parity_expr));
    build("MinTrackingError",
          objective("MinTrackingError", "最小追踪误差", min_tracking_error_expr));
    py::object base = globals["OptimizationObjective"];
    globals["MaxInformationRatio"] = build_max_information_ratio(globals, metaclass, base);
    globals["MaxSharpeRatio"] = build_max_sharpe_ratio(globals, metaclass, base);
    build("MaxIndicator",
          ClassBuilder(globals, "MaxIndicator", kMaxIndicatorDoc)
              .method("__init__", {"self", "indicator_series"}, max_indicator_init)
              .method("get_objective_expr", {"self", "g", "zeta", "helper"}, max_indicator_expr));
    build(
        "MinStyleDeviation",
        ClassBuilder(globals, "MinStyleDeviation", kMinStyleDeviationDoc)
            .method(
                "__init__",
                {"self", "target_style", {"relative", py::bool_(false)}, {"priority", py::none()}},
                min_style_deviation_init)
            .attr("PRIORITY_ADJUST_FACTOR", priority_adjust_factor())
            .method("get_objective_expr", {"self", "g", "zeta", "helper"},
                    min_style_deviation_expr));
}
