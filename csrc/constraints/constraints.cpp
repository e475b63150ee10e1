// plovera.constraints: the constraint objects that portfolio_optimize accepts in
// `cons`.
//
// Every to_constraints(g, zeta, helper) is homogeneous in zeta: g is zeta times
// the weights, so each limit on the weights is multiplied by zeta and the
// problem stays convex whether zeta is 1.0, the pool size or a cvxpy variable.
#include <cmath>
#include <limits>

#include "support/factor_form.hpp"
#include "support/function.hpp"
#include "support/module.hpp"
#include "support/ops.hpp"
#include "support/pyutil.hpp"

namespace plovera::constraints {

namespace {

using ops::compare;
using ops::matmul;
using ops::mul;
using ops::sub;

constexpr double kInf = std::numeric_limits<double>::infinity();

// A finite number in [low, high], or InvalidArgument naming the argument and value.
double checked_number(const Globals &globals, py::handle value, const char *name, double low,
                      double high) {
    double number = 0.0;
    bool numeric = !PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr());
    if (numeric) {
        number = PyFloat_AsDouble(value.ptr());
        if (number == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
                !PyErr_ExceptionMatches(PyExc_ValueError)) {
                throw py::error_already_set();
            }
            PyErr_Clear();
            numeric = false;
        }
    }
    if (!numeric || !std::isfinite(number)) {
        raise(globals["InvalidArgument"], format("{} 应为有限数值，传入值为: {!r}", name, value));
    }
    if (number < low || number > high) {
        raise(globals["InvalidArgument"],
              std::isinf(high)
                  ? format("{} 不能小于 {}，传入值为: {!r}", name, low, value)
                  : format("{} 应在 [{}, {}] 之间，传入值为: {!r}", name, low, high, value));
    }
    return number;
}

using Resolve = py::object (*)(const Globals &globals, py::handle self, py::handle key);

// None, a float, or a dict from resolved name to float for per-name limits.
py::object checked_limit(const Globals &globals, py::handle self, py::handle value,
                         const char *name, double low, double high, Resolve resolve) {
    if (value.is_none()) {
        return py::none();
    }
    if (PyDict_Check(value.ptr()) || plovera::isinstance(value, globals["pd"].attr("Series"))) {
        py::dict limits;
        for (py::handle item : value.attr("items")()) {
            py::object key = resolve(globals, self, item[py::int_(0)]);
            limits[key] = checked_number(globals, item[py::int_(1)], name, low, high);
        }
        return std::move(limits);
    }
    return py::float_(checked_number(globals, value, name, low, high));
}

// The limit that applies to `name`: None leaves that side open.
py::object limit_for(py::handle limit, py::handle name) {
    if (PyDict_Check(limit.ptr())) {
        return py::reinterpret_borrow<py::dict>(limit).attr("get")(name);
    }
    return py::reinterpret_borrow<py::object>(limit);
}

// Sets the hard flag and the two limits; refuses an order that leaves nothing
// to constrain and a lower limit above the upper one.
void set_limits(const Globals &globals, py::handle self, const Args &args, std::size_t first,
                double low, double high, Resolve resolve) {
    py::object lower = checked_limit(globals, self, args[first], "lower_limit", low, high, resolve);
    py::object upper =
        checked_limit(globals, self, args[first + 1], "upper_limit", low, high, resolve);
    if (lower.is_none() && upper.is_none()) {
        raise(globals["InvalidArgument"], py::str("lower_limit 与 upper_limit 不能同时为 None"));
    }
    py::list names;
    for (py::handle side : {lower, upper}) {
        if (PyDict_Check(side.ptr())) {
            for (auto item : py::reinterpret_borrow<py::dict>(side)) {
                names.append(item.first);
            }
        }
    }
    if (names.empty()) {
        names.append(py::none());
    }
    for (py::handle key : names) {
        py::object l = limit_for(lower, key);
        py::object u = limit_for(upper, key);
        if (!l.is_none() && !u.is_none() && truthy(compare(l, u, Py_GT))) {
            raise(globals["InvalidArgument"],
                  key.is_none() ? format("lower_limit {} 大于 upper_limit {}", l, u)
                                : format("{}: lower_limit {} 大于 upper_limit {}", key, l, u));
        }
    }
    self.attr("_lower_limit") = lower;
    self.attr("_upper_limit") = upper;
}

bool iterable(py::handle value) {
    PyObject *iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return false;
    }
    Py_DECREF(iterator);
    return true;
}

// One name or a list of names, each resolved.
py::list name_list(const Globals &globals, py::handle self, py::handle value, Resolve resolve) {
    py::list names;
    if (value.is_none()) {
        return names;
    }
    // A lone name, or anything that is no list of names, is taken as one name:
    // resolving it refuses what is not a name.
    if (PyUnicode_Check(value.ptr()) || !iterable(value)) {
        names.append(resolve(globals, self, value));
        return names;
    }
    for (py::handle item : value) {
        py::object name = resolve(globals, self, item);
        if (!names.contains(name)) {
            names.append(name);
        }
    }
    return names;
}

// Appends lower <= rows @ g - zeta * base <= upper, one vector constraint per
// side over the names that have a limit on it: `rows` holds one row of
// coefficients per name, `base` (or null) the benchmark's value per name.
void add_bounds(const Globals &globals, py::list &out, py::handle self, py::handle names,
                py::handle rows, py::handle base, py::handle g, py::handle zeta) {
    py::object np = globals["np"];
    for (const char *side : {"_lower_limit", "_upper_limit"}) {
        py::list index;
        py::list limits;
        Py_ssize_t position = 0;
        for (py::handle name : names) {
            py::object limit = limit_for(self.attr(side), name);
            if (!limit.is_none()) {
                index.append(position);
                limits.append(limit);
            }
            ++position;
        }
        if (index.empty()) {
            continue;
        }
        py::object at = np.attr("asarray")(index, "intp");
        py::object bound = np.attr("asarray")(limits, "float64");
        if (base) {
            bound = ops::add(bound, base[at]);
        }
        const bool lower = side[1] == 'l';
        out.append(compare(matmul(rows[at], g), mul(zeta, bound), lower ? Py_GE : Py_LE));
    }
}

void require_benchmark(const Globals &globals, py::handle self, py::handle helper) {
    if (helper.attr("benchmark").is_none()) {
        raise(globals["InvalidArgument"], format("{} 需要基准，必须指定 benchmark 参数",
                                                 py::type::handle_of(self).attr("__name__")));
    }
}

py::object base_init(const Globals &, const Args &args) {
    args[0].attr("hard") = args[1];
    return py::none();
}

// ---- TrackingErrorLimit -----------------------------------------------------

py::object tracking_error_init(const Globals &globals, const Args &args) {
    args[0].attr("_upper_limit") = checked_number(globals, args[1], "upper_limit", 0.0, kInf);
    args[0].attr("hard") = args[2];
    return py::none();
}

// ‖[Bᵀa ; √Δ∘a]‖₂ ≤ zeta·limit over the union's factor model: its
// covariance in about K + n rows instead of a dense m × m factor.
py::object tracking_error_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle zeta = args[2];
    py::handle helper = args[3];
    require_benchmark(globals, self, helper);
    const FactorForm form = factor_form(globals, helper.attr("get_union_factor_model")());
    const ActiveParts parts =
        active_parts(globals, form, args[1], zeta, helper.attr("benchmark_weight").attr("values"));
    py::list out;
    out.append(
        compare(active_volatility(globals, parts), mul(zeta, self.attr("_upper_limit")), Py_LE));
    return std::move(out);
}

// ---- TurnoverLimit ----------------------------------------------------------

py::object turnover_init(const Globals &globals, const Args &args) {
    py::handle holding = args[1];
    py::object np = globals["np"];
    bool valid = plovera::isinstance(holding, globals["pd"].attr("Series")) &&
                 !truthy(holding.attr("index").attr("has_duplicates"));
    if (valid) {
        try {
            py::object values = np.attr("asarray")(holding.attr("values"), "float64");
            valid = truthy(np.attr("isfinite")(values).attr("all")()) &&
                    truthy(compare(values, py::int_(0), Py_GE).attr("all")());
        } catch (py::error_already_set &error) {
            if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) {
                throw;
            }
            valid = false;
        }
    }
    if (!valid) {
        raise(globals["InvalidArgument"],
              format("current_holding 应为以 order_book_id 为索引、权重为有限非负数且索引不重复的 "
                     "pd.Series，传入值为: {!r}",
                     holding));
    }
    args[0].attr("_current_holding") = holding.attr("astype")("float64");
    args[0].attr("_upper_limit") = checked_number(globals, args[2], "upper_limit", 0.0, 1.0);
    args[0].attr("hard") = args[3];
    return py::none();
}

// ½(Σ|gᵢ − zeta·hᵢ| + zeta·Σ h outside the pool) ≤ zeta·limit: a holding the
// pool leaves out can only be sold.
py::object turnover_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle zeta = args[2];
    py::object cp = globals["cp"];
    py::object holding = self.attr("_current_holding");
    py::object ids = args[3].attr("order_book_ids");
    py::object in_pool = holding.attr("reindex")(ids, py::arg("fill_value") = 0.0);
    py::object sold = ops::sub(holding.attr("sum")(), in_pool.attr("sum")());
    py::object traded =
        cp.attr("sum")(cp.attr("abs")(sub(args[1], mul(zeta, in_pool.attr("to_numpy")()))));
    py::object turnover = mul(ops::add(traded, mul(zeta, sold)), py::float_(0.5));
    py::list out;
    out.append(compare(turnover, mul(zeta, self.attr("_upper_limit")), Py_LE));
    return std::move(out);
}

// ---- BenchmarkComponentWeightLimit ------------------------------------------

py::object component_init(const Globals &globals, const Args &args) {
    args[0].attr("_lower_limit") = checked_number(globals, args[1], "lower_limit", 0.0, 1.0);
    args[0].attr("hard") = args[2];
    return py::none();
}

py::object component_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle helper = args[3];
    require_benchmark(globals, self, helper);
    py::object np = globals["np"];
    const Py_ssize_t n = py::len(helper.attr("order_book_ids"));
    py::object weights =
        np.attr("asarray")(helper.attr("benchmark_weight").attr("values"), "float64");
    py::object pool = weights[py::slice(0, n, 1)];
    py::object member = compare(pool, py::int_(0), Py_GT).attr("astype")("float64");
    py::list out;
    out.append(compare(matmul(args[1], member), mul(args[2], self.attr("_lower_limit")), Py_GE));
    return std::move(out);
}

// ---- Industries -------------------------------------------------------------

// The names of a scheme, code -> name, in the scheme's order.
py::dict scheme_table(const Globals &globals, py::handle classification) {
    return globals["INDUSTRY_CODES"][classification.attr("value")];
}

py::object resolve_industry(const Globals &globals, py::handle self, py::handle key) {
    py::dict table = scheme_table(globals, self.attr("_classification"));
    py::list names;
    for (auto item : table) {
        if (equals(item.second, key)) {
            return py::reinterpret_borrow<py::object>(item.second);
        }
        names.append(item.second);
    }
    if (PyUnicode_Check(key.ptr()) && table.contains(key)) {
        return table[key];
    }
    // Shenwan codes are numbers, and may be given as such.
    if (PyLong_CheckExact(key.ptr()) && table.contains(py::str(key))) {
        return table[py::str(key)];
    }
    raise(globals["InvalidArgument"],
          format("未知的行业 {!r}，可选的行业为: {}", key, py::str("，").attr("join")(names)));
}

void set_classification(const Globals &globals, py::handle self, py::handle value) {
    py::object kind = globals["IndustryClassification"];
    // A scheme may be named by its value or its member name, in any letter case.
    py::object name = py::reinterpret_borrow<py::object>(value);
    if (PyUnicode_Check(value.ptr())) {
        name = value.attr("lower")();
    }
    for (py::handle member : kind) {
        if (equals(member, value) || equals(member.attr("value"), name) ||
            equals(member.attr("name").attr("lower")(), name)) {
            self.attr("_classification") = member;
            return;
        }
    }
    py::list values;
    for (py::handle member : kind) {
        values.append(member.attr("value"));
    }
    raise(globals["InvalidArgument"], format("classification 非法: {!r}，可选值为 {}", value,
                                             py::str(", ").attr("join")(values)));
}

// Relative limits move the band around the benchmark's weight, so they may be negative.
double industry_low(const Args &args, std::size_t relative) {
    return truthy(args[relative]) ? -1.0 : 0.0;
}

// args: self, industries | exclude, lower, upper, relative, classification, hard
py::object industry_init(const Globals &globals, const Args &args, const char *names_attr) {
    py::handle self = args[0];
    set_classification(globals, self, args[5]);
    self.attr(names_attr) = name_list(globals, self, args[1], resolve_industry);
    set_limits(globals, self, args, 2, industry_low(args, 4), 1.0, resolve_industry);
    self.attr("_relative") = args[4];
    self.attr("hard") = args[6];
    return py::none();
}

py::object named_industry_init(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::object init = industry_init(globals, args, "_industries");
    if (py::len(self.attr("_industries")) == 0) {
        raise(globals["InvalidArgument"], format("industries 不能为空，传入值为: {!r}", args[1]));
    }
    return init;
}

py::object wildcard_industry_init(const Globals &globals, const Args &args) {
    return industry_init(globals, args, "_exclude");
}

py::object industry_bounds(const Globals &globals, py::handle self, py::handle names, py::handle g,
                           py::handle zeta, py::handle helper, py::handle industry) {
    py::object np = globals["np"];
    const bool relative = truthy(self.attr("_relative"));
    py::object benchmark;
    if (relative) {
        require_benchmark(globals, self, helper);
        benchmark = np.attr("asarray")(helper.attr("benchmark_weight").attr("values"), "float64");
    }
    const Py_ssize_t n = py::len(helper.attr("order_book_ids"));
    // One row per name: membership over the union, of which the pool is the head.
    py::object column = np.attr("asarray")(names, "object").attr("reshape")(-1, 1);
    py::object member =
        compare(industry.attr("reshape")(1, -1), column, Py_EQ).attr("astype")("float64");
    py::object base;
    if (relative) {
        base = matmul(member, benchmark);
    }
    py::object pool = member[py::make_tuple(py::slice(0, py::len(names), 1), py::slice(0, n, 1))];
    py::list out;
    add_bounds(globals, out, self, names, pool, base, g, zeta);
    return std::move(out);
}

// Industry names over helper.union_components, an object array.
py::object union_industries(const Globals &globals, py::handle self, py::handle helper) {
    return globals["np"].attr("asarray")(
        helper.attr("get_industry")(self.attr("_classification")).attr("values"), "object");
}

py::object industry_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::object industry = union_industries(globals, self, args[3]);
    return industry_bounds(globals, self, self.attr("_industries"), args[1], args[2], args[3],
                           industry);
}

// Every industry of the scheme held by the pool or the benchmark, in the
// scheme's order, but the excluded ones.
py::object wildcard_industry_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::object industry = union_industries(globals, self, args[3]);
    py::object present = py::reinterpret_steal<py::object>(PySet_New(industry.ptr()));
    if (!present) {
        throw py::error_already_set();
    }
    py::object exclude = self.attr("_exclude");
    py::list names;
    for (auto item : scheme_table(globals, self.attr("_classification"))) {
        if (PySet_Contains(present.ptr(), item.second.ptr()) == 1 &&
            !py::reinterpret_borrow<py::list>(exclude).contains(item.second)) {
            names.append(item.second);
        }
    }
    return industry_bounds(globals, self, names, args[1], args[2], args[3], industry);
}

// ---- Styles -----------------------------------------------------------------

py::object resolve_style(const Globals &globals, py::handle, py::handle key) {
    py::object styles = globals["STYLE_FACTORS"];
    const int known = PySequence_Contains(styles.ptr(), key.ptr());
    if (known < 0) {
        throw py::error_already_set();
    }
    if (known == 0) {
        raise(globals["InvalidArgument"], format("未知的风格 {!r}，请从 {} 中选取", key, styles));
    }
    return py::reinterpret_borrow<py::object>(key);
}

// args: self, styles | exclude, lower, upper, relative, hard
py::object style_init(const Globals &globals, const Args &args, const char *names_attr) {
    py::handle self = args[0];
    self.attr(names_attr) = name_list(globals, self, args[1], resolve_style);
    set_limits(globals, self, args, 2, -kInf, kInf, resolve_style);
    self.attr("_relative") = args[4];
    self.attr("hard") = args[5];
    return py::none();
}

py::object named_style_init(const Globals &globals, const Args &args) {
    py::object init = style_init(globals, args, "_styles");
    if (py::len(args[0].attr("_styles")) == 0) {
        raise(globals["InvalidArgument"], format("styles 不能为空，传入值为: {!r}", args[1]));
    }
    return init;
}

py::object wildcard_style_init(const Globals &globals, const Args &args) {
    return style_init(globals, args, "_exclude");
}

py::object style_bounds(const Globals &globals, py::handle self, py::handle names, py::handle g,
                        py::handle zeta, py::handle helper) {
    py::object benchmark_style;
    if (truthy(self.attr("_relative"))) {
        require_benchmark(globals, self, helper);
        benchmark_style = helper.attr("get_benchmark_style")();
    }
    py::object exposure = helper.attr("get_factor_exposure")();
    py::object np = globals["np"];
    py::object columns = py::list(py::reinterpret_borrow<py::object>(names));
    py::object rows = np.attr("asarray")(exposure[columns].attr("to_numpy")(), "float64").attr("T");
    py::object base;
    if (benchmark_style) {
        base = np.attr("asarray")(benchmark_style[columns].attr("to_numpy")(), "float64");
    }
    py::list out;
    add_bounds(globals, out, self, names, rows, base, g, zeta);
    return std::move(out);
}

py::object style_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    return style_bounds(globals, self, self.attr("_styles"), args[1], args[2], args[3]);
}

py::object wildcard_style_constraints(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::list names;
    py::list exclude = self.attr("_exclude");
    for (py::handle style : globals["STYLE_FACTORS"]) {
        if (!exclude.contains(style)) {
            names.append(style);
        }
    }
    return style_bounds(globals, self, names, args[1], args[2], args[3]);
}

constexpr const char *kTrackingErrorDoc = R"(
    跟踪误差约束

    :param upper_limit: 年化跟踪误差上限
    :param hard: 是否为硬约束
    )";

constexpr const char *kTurnoverDoc = R"(
    换手率约束

    :param current_holding: 当前持仓权重，index 为 order_book_id
    :type current_holding: pd.Series
    :param upper_limit: 换手率上限
    :param hard: 是否为硬约束
    )";

constexpr const char *kComponentDoc = R"(
    成分股权重约束，即要求优化结果中，基准成分股的权重之和的下限

    :param lower_limit: 成分股权重之和的下限
    :param hard: 是否为硬约束
    )";

constexpr const char *kIndustryDoc = R"(
    行业权重约束

    :param industries: 行业名称或代码，或其列表
    :param lower_limit: 下限，可以为数值或以行业为索引的 dict/pd.Series；None 表示不限制
    :param upper_limit: 上限，可以为数值或以行业为索引的 dict/pd.Series；None 表示不限制
    :param relative: 是否为相对于基准行业权重的约束
    :param classification: 行业分类，默认为申万一级
    :param hard: 是否为硬约束
    )";

constexpr const char *kWildcardIndustryDoc = R"(
    对股票池及基准中出现的所有行业（排除 exclude 中的行业）施加相同的行业权重约束

    :param exclude: 排除的行业名称或代码，或其列表
    :param lower_limit: 下限，可以为数值或以行业为索引的 dict/pd.Series；None 表示不限制
    :param upper_limit: 上限，可以为数值或以行业为索引的 dict/pd.Series；None 表示不限制
    :param relative: 是否为相对于基准行业权重的约束
    :param classification: 行业分类，默认为申万一级
    :param hard: 是否为硬约束
    )";

constexpr const char *kStyleDoc = R"(
    风格约束

    :param styles: 风格名称，或其列表
    :param lower_limit: 下限，可以为数值或以风格为索引的 dict/pd.Series；None 表示不限制
    :param upper_limit: 上限，可以为数值或以风格为索引的 dict/pd.Series；None 表示不限制
    :param relative: 是否为相对于基准风格暴露的约束
    :param hard: 是否为硬约束
    )";

constexpr const char *kWildcardStyleDoc = R"(
    对所有风格（排除 exclude 中的风格）施加相同的风格约束

    :param exclude: 排除的风格名称，或其列表
    :param lower_limit: 下限，可以为数值或以风格为索引的 dict/pd.Series；None 表示不限制
    :param upper_limit: 上限，可以为数值或以风格为索引的 dict/pd.Series；None 表示不限制
    :param relative: 是否为相对于基准风格暴露的约束
    :param hard: 是否为硬约束
    )";

}  // namespace

}  // namespace plovera::constraints

PYBIND11_MODULE(constraints, module) {
    using namespace plovera;
    using namespace plovera::constraints;
    py::dict globals = module_globals(module);
    py::module_ abc = py::module_::import("abc");
    py::object metaclass = abc.attr("ABCMeta");
    globals["ABCMeta"] = metaclass;
    globals["abstractmethod"] = abc.attr("abstractmethod");
    globals["cp"] = py::module_::import("cvxpy");
    globals["np"] = py::module_::import("numpy");
    globals["pd"] = py::module_::import("pandas");
    globals["InvalidArgument"] = import_from_sibling(module, "exception", "InvalidArgument");
    globals["STYLE_FACTORS"] = import_from_sibling(module, "const", "STYLE_FACTORS");
    globals["IndustryClassification"] =
        import_from_sibling(module, "const", "IndustryClassification");
    globals["INDUSTRY_CODES"] = import_from_sibling(module, "const", "INDUSTRY_CODES");

    const py::object yes = py::bool_(true);
    const py::object no = py::bool_(false);
    const py::object none = py::none();
    const py::object sws = globals["IndustryClassification"].attr("SWS");
    const std::initializer_list<Param> operation = {"self", "g", "zeta", "helper"};

    globals["OptimizationConstraint"] = ClassBuilder(globals, "OptimizationConstraint")
                                            .attr("hard", yes)
                                            .method("__init__", {"self", {"hard", yes}}, base_init)
                                            .method("to_constraints", operation, not_implemented,
                                                    nullptr, globals["abstractmethod"])
                                            .build(metaclass);
    const py::tuple bases = py::make_tuple(globals["OptimizationConstraint"]);
    const auto build = [&](const char *name, const char *doc, std::initializer_list<Param> params,
                           Impl init, Impl to_constraints) {
        globals[name] = ClassBuilder(globals, name, doc)
                            .method("__init__", params, init)
                            .method("to_constraints", operation, to_constraints)
                            .build(metaclass, bases);
    };
    build("TrackingErrorLimit", kTrackingErrorDoc, {"self", "upper_limit", {"hard", yes}},
          tracking_error_init, tracking_error_constraints);
    build("TurnoverLimit", kTurnoverDoc, {"self", "current_holding", "upper_limit", {"hard", yes}},
          turnover_init, turnover_constraints);
    build("BenchmarkComponentWeightLimit", kComponentDoc, {"self", "lower_limit", {"hard", yes}},
          component_init, component_constraints);
    build("IndustryConstraint", kIndustryDoc,
          {"self",
           "industries",
           {"lower_limit", none},
           {"upper_limit", none},
           {"relative", no},
           {"classification", sws},
           {"hard", yes}},
          named_industry_init, industry_constraints);
    build("WildcardIndustryConstraint", kWildcardIndustryDoc,
          {"self",
           {"exclude", none},
           {"lower_limit", none},
           {"upper_limit", none},
           {"relative", no},
           {"classification", sws},
           {"hard", yes}},
          wildcard_industry_init, wildcard_industry_constraints);
    build("StyleConstraint", kStyleDoc,
          {"self",
           "styles",
           {"lower_limit", none},
           {"upper_limit", none},
           {"relative", no},
           {"hard", yes}},
          named_style_init, style_constraints);
    build("WildcardStyleConstraint", kWildcardStyleDoc,
          {"self",
           {"exclude", none},
           {"lower_limit", none},
           {"upper_limit", none},
           {"relative", no},
           {"hard", yes}},
          wildcard_style_init, wildcard_style_constraints);
}
