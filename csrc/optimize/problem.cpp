// The problem of one call: checks, assembly and the solve loop.
#include "optimize/problem.hpp"

#include "optimize/arguments.hpp"
#include "support/ops.hpp"
#include "support/pyutil.hpp"

namespace plovera::optimize {
namespace {

void extend(py::list &target, py::handle iterable) {
    for (py::handle item : py::iter(iterable)) {
        target.append(item);
    }
}

// A constraint object's constraints; one that hands back something other than
// an iterable (typically a method that forgot its return) is named, since the
// interpreter's own TypeError would not say which of the objects it was.
py::object constraints_of(py::handle constraint, py::handle g, py::handle zeta, py::handle helper) {
    py::object added = constraint.attr("to_constraints")(g, zeta, helper);
    auto iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(added.ptr()));
    if (!iterator) {
        py::error_already_set error;
        if (!error.matches(PyExc_TypeError)) {
            throw error;
        }
        raise_while_handling(
            py::handle(PyExc_TypeError),
            format("{!r} 的 to_constraints 应返回约束的列表, 得到 {!r}", constraint, added), error);
    }
    return added;
}

}  // namespace

bool has_variable_scale(const Globals &globals, py::handle objective) {
    return plovera::isinstance(objective, globals["MaxInformationRatio"]) ||
           plovera::isinstance(objective, globals["MaxSharpeRatio"]);
}

py::list bound_constraints(py::handle g, py::handle zeta, py::handle lower, py::handle upper) {
    const py::int_ zero(0);
    py::list constraints;
    constraints.append(ops::compare(ops::sub(g, ops::mul(zeta, lower)), zero, Py_GE));
    constraints.append(ops::compare(ops::sub(g, ops::mul(zeta, upper)), zero, Py_LE));
    return constraints;
}

Assembly assemble(const Globals &globals, py::handle objective, py::handle order_book_ids,
                  py::handle bnds, py::handle cons, py::handle helper, bool parameterised,
                  py::handle bounds) {
    py::object cp = globals["cp"];
    const py::int_ n(py::len(order_book_ids));
    const py::int_ zero(0);
    Assembly assembly;
    assembly.g = cp.attr("Variable")(n, py::arg("nonneg") = true);
    if (has_variable_scale(globals, objective)) {
        assembly.zeta = cp.attr("Variable")(py::arg("nonneg") = true);
    } else if (plovera::isinstance(objective, globals["RiskParity"])) {
        assembly.zeta = n;
    } else {
        assembly.zeta = py::float_(1.0);
    }
    const py::object &g = assembly.g;
    const py::object &zeta = assembly.zeta;

    assembly.budget = ops::compare(ops::sub(cp.attr("sum")(g), zeta), zero, Py_EQ);
    assembly.hard_cons.append(assembly.budget);
    extend(assembly.internal, objective.attr("get_internal_constraints")(g, zeta, helper));
    extend(assembly.hard_cons, assembly.internal);
    if (!bnds.is_none()) {
        auto [lower_bound, upper_bound] =
            unpack_pair(bounds.is_none() ? globals["parse_bnds"](bnds, order_book_ids) : bounds);
        assembly.lower_bound = lower_bound;
        assembly.upper_bound = upper_bound;
        if (parameterised) {
            assembly.lower = cp.attr("Parameter")(n, py::arg("value") = lower_bound);
            assembly.upper = cp.attr("Parameter")(n, py::arg("value") = upper_bound);
            lower_bound = assembly.lower;
            upper_bound = assembly.upper;
        }
        assembly.bound_cons = bound_constraints(g, zeta, lower_bound, upper_bound);
        extend(assembly.hard_cons, assembly.bound_cons);
    }
    if (!cons.is_none()) {
        for (py::handle constraint : py::iter(cons)) {
            const bool hard = truthy(constraint.attr("hard"));
            py::list added;
            extend(added, constraints_of(constraint, g, zeta, helper));
            extend(hard ? assembly.hard_cons : assembly.soft_cons, added);
            assembly.objects.append(py::make_tuple(constraint, py::bool_(hard), added));
        }
    }
    // The log barrier of risk parity keeps g positive on its own; without
    // bounds or constraints its problem needs no budget either.
    const bool unconstrained =
        plovera::isinstance(objective, globals["RiskParity"]) && !truthy(bnds) && !truthy(cons);
    py::object minimize =
        cp.attr("Minimize")(objective.attr("get_objective_expr")(g, zeta, helper));
    if (unconstrained) {
        assembly.problem = cp.attr("Problem")(minimize);
    } else {
        assembly.problem =
            cp.attr("Problem")(minimize, ops::add(assembly.hard_cons, assembly.soft_cons));
    }
    return assembly;
}

namespace {

bool status_is(py::handle status, py::handle cp, const char *first, const char *second) {
    return equals(status, cp.attr(first)) || equals(status, cp.attr(second));
}

}  // namespace

py::object solve(const Globals &globals, Assembly &assembly, py::handle objective,
                 py::handle order_book_ids, const Attempt &first_attempt) {
    py::object cp = globals["cp"];
    py::object result;
    bool first = true;
    for (;;) {
        try {
            py::object perf_counter = globals["time"].attr("perf_counter");
            py::object start_at = perf_counter();
            if (first && first_attempt) {
                result = first_attempt(assembly);
            } else {
                result = assembly.problem.attr("solve")(
                    py::arg("solver") = objective.attr("get_preferred_solver")(),
                    py::arg("max_iters") = kMaxIterations);
            }
            first = false;
            globals["logging"].attr("info")("solve time: %f, optimization result = %f",
                                            ops::sub(perf_counter(), start_at), result);
        } catch (py::error_already_set &error) {
            if (!error.matches(cp.attr("SolverError"))) {
                throw;
            }
            raise_while_handling(globals["OptimizationFailed"], py::str("failed"), error);
        }
        if (status_is(assembly.problem.attr("status"), cp, "OPTIMAL", "OPTIMAL_INACCURATE")) {
            break;
        }
        if (!status_is(assembly.problem.attr("status"), cp, "INFEASIBLE",
                       "INFEASIBLE_INACCURATE") ||
            py::len(assembly.soft_cons) == 0) {
            raise(globals["OptimizationFailed"], result);
        }
        warn(globals["warnings"], py::str("约束无法满足，放弃所有软约束重试"),
             globals["OptimizerWarning"], 2);
        assembly.soft_cons.attr("clear")();
        assembly.problem =
            cp.attr("Problem")(assembly.problem.attr("objective"), assembly.hard_cons);
    }

    const py::object &g = assembly.g;
    const py::object &zeta = assembly.zeta;
    py::object zeta_value =
        plovera::isinstance(zeta, cp.attr("Variable")) ? py::object(zeta.attr("value")) : zeta;
    globals["logging"].attr("debug")("g.value.sum() = %f, zeta = %f", g.attr("value").attr("sum")(),
                                     zeta_value);
    if (equals(assembly.problem.attr("status"), cp.attr("OPTIMAL_INACCURATE"))) {
        // Stack level 2: the solve is part of portfolio_optimize itself, so the
        // warning names the line that called it.
        warn(globals["warnings"],
             py::str("达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"),
             globals["OptimizerWarning"], 2);
    }
    py::object weight = ops::truediv(g.attr("value"), g.attr("value").attr("sum")());
    return globals["pd"].attr("Series")(weight, py::arg("index") = order_book_ids);
}

Setting set_up(const Globals &globals, const Args &args) {
    py::handle objective = args[2];
    py::object benchmark = py::reinterpret_borrow<py::object>(args[5]);
    py::object invalid_argument = globals["InvalidArgument"];

    py::object date = globals["to_date"](args[1]);
    Setting setting;
    setting.order_book_ids = globals["ensure_order_book_ids"](args[0], date);
    const auto n = py::len(setting.order_book_ids);
    if (n == 0) {
        raise(invalid_argument, py::str("经过剔除后，股票池为空"));
    }
    if (n == 1) {
        return setting;
    }
    if (!plovera::isinstance(objective, globals["OptimizationObjective"])) {
        raise(invalid_argument, py::str("非法的目标函数"));
    }
    const bool needs_benchmark = plovera::isinstance(objective, globals["MinTrackingError"]) ||
                                 plovera::isinstance(objective, globals["MaxSharpeRatio"]) ||
                                 plovera::isinstance(objective, globals["MaxInformationRatio"]);
    if (needs_benchmark && benchmark.is_none()) {
        raise(invalid_argument, format("对于目标函数 {}，必须传入 benchmark 参数",
                                       objective.attr("__class__").attr("__name__")));
    }
    if (!benchmark.is_none()) {
        if (PyUnicode_Check(benchmark.ptr())) {
            benchmark = globals["IndexBenchmark"](benchmark);
        }
        if (!plovera::isinstance(benchmark, globals["OptimizeBenchmark"])) {
            raise(invalid_argument,
                  format("无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
                         "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
                         benchmark));
        }
    }
    py::object cov_model = globals["to_enum"](args[6], globals["CovModel"]);
    setting.helper = globals["OptimizeHelper"](setting.order_book_ids, date, benchmark, cov_model);
    return setting;
}

py::object make_entry_function(const py::dict &globals, const char *name, Impl impl,
                               const char *doc) {
    return make_function(globals, name, name,
                         {"order_book_ids",
                          "date",
                          {"objective", globals["DEFAULT_OBJECTIVE"]},
                          {"bnds", py::none()},
                          {"cons", py::none()},
                          {"benchmark", py::none()},
                          {"cov_model", globals["CovModel"].attr("FACTOR_MODEL_DAILY")}},
                         impl, doc);
}

py::object holdings_delegate(const Globals &globals, py::handle cons, const char *name) {
    if (!PyList_Check(cons.ptr()) && !PyTuple_Check(cons.ptr())) {
        return py::object();
    }
    for (py::handle constraint : cons) {
        if (truthy(py::getattr(constraint, "combinatorial", py::none()))) {
            py::str module(globals["__name__"]);
            py::object package = module.attr("rpartition")(".")[py::int_(0)];
            return py::module_::import("importlib")
                .attr("import_module")(".holdings", package)
                .attr(name);
        }
    }
    return py::object();
}

py::object whole_weight(py::handle order_book_ids) {
    py::dict single;
    single[order_book_ids[py::int_(0)]] = py::float_(1.0);
    return std::move(single);
}

}  // namespace plovera::optimize
