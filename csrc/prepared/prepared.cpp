// plovera.prepared: an optimisation prepared (pool, data, compiled problem)
// before it is solved, so that the two can run at different times or in
// different processes, with the stocks' bounds still open to change.
#include "optimize/arguments.hpp"
#include "optimize/problem.hpp"
#include "prepared/docstrings.hpp"
#include "support/module.hpp"
#include "support/ops.hpp"
#include "support/pyutil.hpp"

namespace plovera::prepared {
namespace {

using optimize::Assembly;
using optimize::Setting;
using optimize::unpack_pair;

py::object prepare_optimize(const Globals &globals, const Args &args) {
    if (py::object delegate = optimize::holdings_delegate(globals, args[4], "prepare_optimize")) {
        return delegate(args[0], args[1], args[2], args[3], args[4], args[5], args[6]);
    }
    Setting setting = optimize::set_up(globals, args);
    py::object prepared =
        globals["PreparedOptimization"].attr("__new__")(globals["PreparedOptimization"]);
    prepared.attr("order_book_ids") = setting.order_book_ids;
    prepared.attr("_objective") = py::reinterpret_borrow<py::object>(args[2]);
    if (setting.helper.is_none()) {
        prepared.attr("_problem") = py::none();
        return prepared;
    }
    py::handle objective = args[2];
    // Bounds as Parameters keep the compiled problem when they change, but
    // only a number zeta leaves them in the constraints' offsets.  Times a
    // variable zeta they are coefficients, and compiling the parametric
    // problem costs several plain compiles (seconds for a whole market):
    // such a problem is compiled anew when a solve changes its bounds.
    const bool parameterised = !optimize::has_variable_scale(globals, objective);
    Assembly assembly = optimize::assemble(globals, objective, setting.order_book_ids, args[3],
                                           args[4], setting.helper, parameterised);
    // Compiling is most of the work before the solver runs; the compiled
    // problem is cached on the problem object and travels with it when pickled.
    assembly.problem.attr("get_problem_data")(objective.attr("get_preferred_solver")());
    prepared.attr("_problem") = assembly.problem;
    prepared.attr("_g") = assembly.g;
    prepared.attr("_zeta") = assembly.zeta;
    prepared.attr("_hard_cons") = assembly.hard_cons;
    prepared.attr("_soft_cons") = assembly.soft_cons;
    prepared.attr("_lower") = assembly.lower;
    prepared.attr("_upper") = assembly.upper;
    prepared.attr("_bound_cons") = assembly.bound_cons;
    py::object np = globals["np"];
    for (auto [name, bound] : {std::pair{"_lower_bound", assembly.lower_bound},
                               std::pair{"_upper_bound", assembly.upper_bound}}) {
        prepared.attr(name) = bound.is_none() ? py::none() : np.attr("array")(bound, "float64");
    }
    return prepared;
}

// One bound of a stock as parse_bnds reads it: None is no limit, anything
// outside [0, 1] (NaN included) is refused.
double bound_of(const Globals &globals, py::handle order_book_id, py::handle value, bool lower) {
    py::object bound = globals["ensure_bound"](value);
    const double number = bound.is_none() ? (lower ? 0.0 : 1.0) : bound.cast<double>();
    if (!(number >= 0.0 && number <= 1.0)) {
        raise(globals["InvalidArgument"],
              format(lower ? "合约 {} 的下限 {} 无效" : "合约 {} 的上限 {} 无效", order_book_id,
                     value));
    }
    return number;
}

// The prepared bounds with those of `bnds` in place of their stocks' ("*"
// for every stock it does not name), or None when `bnds` is empty.  Each
// pair is read as parse_bnds reads it, but the sums are checked over the
// whole pool: parse_bnds over the named stocks alone would refuse a few
// small pins.
py::object bounds_with(const Globals &globals, py::handle prepared, py::handle bnds) {
    py::object invalid_argument = globals["InvalidArgument"];
    if (!PyDict_Check(bnds.ptr())) {
        raise(invalid_argument,
              py::str(
                  "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"));
    }
    if (py::len(bnds) == 0) {
        return py::none();
    }
    if (prepared.attr("_lower_bound").is_none()) {
        raise(invalid_argument, py::str("准备优化时未给出 bnds，求解时不能再设定个股权重上下界"));
    }
    py::dict position;
    py::ssize_t index = 0;
    for (py::handle order_book_id : prepared.attr("order_book_ids")) {
        position[order_book_id] = py::int_(index++);
    }
    py::object lower_bounds = prepared.attr("_lower_bound").attr("copy")();
    py::object upper_bounds = prepared.attr("_upper_bound").attr("copy")();
    const auto read = [&](py::handle key, py::handle value) {
        std::pair<py::object, py::object> pair;
        try {
            pair = unpack_pair(value);
        } catch (py::error_already_set &error) {
            if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
                throw;
            }
            raise_while_handling(invalid_argument,
                                 py::str("上下限应该以 (lower, upper) 的形式指定"), error);
        }
        const double low = bound_of(globals, key, pair.first, true);
        const double high = bound_of(globals, key, pair.second, false);
        if (high < low) {
            raise(invalid_argument,
                  format("合约 {} 的上限 {} 小于下限 {}", key, pair.second, pair.first));
        }
        return std::pair{low, high};
    };
    py::dict given = py::reinterpret_borrow<py::dict>(bnds);
    const py::str wildcard("*");
    // As in portfolio_optimize, "*" stands for every stock the dict does not name.
    if (given.contains(wildcard)) {
        const auto [low, high] = read(wildcard, given[wildcard]);
        for (auto item : position) {
            if (!given.contains(item.first)) {
                lower_bounds[item.second] = py::float_(low);
                upper_bounds[item.second] = py::float_(high);
            }
        }
    }
    for (auto item : given) {
        if (equals(item.first, wildcard)) {
            continue;
        }
        if (!position.contains(item.first)) {
            raise(invalid_argument, format("合约 {} 不在准备优化的股票池中", item.first));
        }
        const auto [low, high] = read(item.first, item.second);
        py::object at = position[item.first];
        lower_bounds[at] = py::float_(low);
        upper_bounds[at] = py::float_(high);
    }
    const py::int_ one(1);
    if (truthy(ops::compare(lower_bounds.attr("sum")(), one, Py_GT))) {
        raise(invalid_argument, py::str("下限之和大于1"));
    }
    if (truthy(ops::compare(upper_bounds.attr("sum")(), one, Py_LT))) {
        raise(invalid_argument, py::str("上限之和小于1"));
    }
    return py::make_tuple(lower_bounds, upper_bounds);
}

// The solver a prepared problem keeps between solves: SCS set up, its matrix
// factorised, with the data compiled at the prepared bounds.  With a constant
// zeta the bounds enter only the constraints' offsets, so a solve with other
// bounds hands SCS the new offsets and keeps the factorisation.
bool can_keep_solver(const Globals &globals, py::handle prepared) {
    py::object cp = globals["cp"];
    return !prepared.attr("_problem").is_none() &&
           !plovera::isinstance(prepared.attr("_zeta"), cp.attr("Variable")) &&
           equals(prepared.attr("_objective").attr("get_preferred_solver")(), cp.attr("SCS"));
}

void restore_prepared_bounds(py::handle prepared) {
    py::object lower = prepared.attr("_lower");
    if (!lower.is_none()) {
        lower.attr("value") = prepared.attr("_lower_bound").attr("copy")();
        prepared.attr("_upper").attr("value") = prepared.attr("_upper_bound").attr("copy")();
    }
}

py::object compiled_data(const Globals &globals, py::handle prepared) {
    return prepared.attr("_problem").attr("get_problem_data")(globals["cp"].attr("SCS"));
}

py::object data_item(py::handle data, const char *key) { return data.attr("get")(key); }

py::object factorize(const Globals &globals, const Args &args) {
    py::handle prepared = args[0];
    if (!can_keep_solver(globals, prepared) || py::hasattr(prepared, "_solver")) {
        return py::none();
    }
    restore_prepared_bounds(prepared);
    py::object data = compiled_data(globals, prepared)[py::int_(0)];
    py::dict scs_data;
    for (const char *key : {"A", "b", "c", "P"}) {
        py::object item = data_item(data, key);
        if (!item.is_none()) {
            scs_data[key] = item;
        }
    }
    // The settings cvxpy's own SCS interface would pass.
    py::dict settings;
    settings["max_iters"] = py::int_(optimize::kMaxIterations);
    settings = globals["ScsInterface"].attr("parse_solver_options")(settings);
    settings["verbose"] = py::bool_(false);
    py::object cones = globals["dims_to_solver_dict"](data["dims"]);
    py::object solver = globals["scs"].attr("SCS")(scs_data, cones, **settings);
    prepared.attr("_solver") =
        py::make_tuple(solver, data_item(data, "A"), data_item(data, "P"), data_item(data, "c"));
    return py::none();
}

bool same_values(const Globals &globals, py::handle kept, py::handle now) {
    if (kept.is_none() || now.is_none()) {
        return kept.is_none() && now.is_none();
    }
    // A sparse matrix compiled from the same problem keeps its pattern: its values tell.
    auto values = [](py::handle item) {
        return py::hasattr(item, "data") ? py::object(item.attr("data"))
                                         : py::reinterpret_borrow<py::object>(item);
    };
    return truthy(globals["np"].attr("array_equal")(values(kept), values(now)));
}

// The first attempt of a solve with the kept solver: only the offsets changed,
// so SCS is handed them and starts afresh from its factorisation.  Anything
// else changed, and the problem is solved through cvxpy as a new one.
optimize::Attempt kept_solver_attempt(const Globals &globals, py::handle prepared) {
    return [&globals, prepared](const Assembly &assembly) -> py::object {
        py::tuple compiled = compiled_data(globals, prepared);
        py::object data = compiled[0];
        py::tuple kept = prepared.attr("_solver");
        if (!same_values(globals, kept[1], data_item(data, "A")) ||
            !same_values(globals, kept[2], data_item(data, "P")) ||
            !same_values(globals, kept[3], data_item(data, "c"))) {
            return assembly.problem.attr("solve")(py::arg("solver") = globals["cp"].attr("SCS"),
                                                  py::arg("max_iters") = optimize::kMaxIterations);
        }
        py::object solver = kept[0];
        solver.attr("update")(py::arg("b") = data["b"]);
        py::object results = solver.attr("solve")(py::arg("warm_start") = false);
        assembly.problem.attr("unpack_results")(results, compiled[1], compiled[2]);
        return assembly.problem.attr("value");
    };
}

// The prepared problem with its bound constraints made anew at `bounds`, for
// a problem whose bounds are not Parameters: cvxpy compiles it at the solve.
void rebound(const Globals &globals, py::handle prepared, Assembly &assembly, py::handle bounds) {
    py::list old_bounds = prepared.attr("_bound_cons");
    py::list new_bounds = optimize::bound_constraints(assembly.g, assembly.zeta,
                                                      bounds[py::int_(0)], bounds[py::int_(1)]);
    py::list hard_cons;
    for (py::handle constraint : assembly.hard_cons) {
        if (constraint.is(old_bounds[0])) {
            hard_cons.append(new_bounds[0]);
        } else if (constraint.is(old_bounds[1])) {
            hard_cons.append(new_bounds[1]);
        } else {
            hard_cons.append(constraint);
        }
    }
    assembly.hard_cons = hard_cons;
    assembly.problem = globals["cp"].attr("Problem")(assembly.problem.attr("objective"),
                                                     ops::add(hard_cons, assembly.soft_cons));
}

py::object prepared_solve(const Globals &globals, const Args &args) {
    py::handle prepared = args[0];
    py::handle bnds = args[1];
    py::object order_book_ids = prepared.attr("order_book_ids");
    py::object problem = prepared.attr("_problem");
    if (problem.is_none()) {
        return optimize::whole_weight(order_book_ids);
    }
    factorize(globals, args);
    Assembly assembly;
    assembly.problem = problem;
    assembly.g = prepared.attr("_g");
    assembly.zeta = prepared.attr("_zeta");
    // The retry without soft constraints must not change what a later solve starts from.
    assembly.hard_cons = prepared.attr("_hard_cons");
    assembly.soft_cons = py::list(prepared.attr("_soft_cons"));
    // Every solve starts from the prepared bounds: bounds set by an earlier
    // solve do not carry over.
    restore_prepared_bounds(prepared);
    py::object bounds = bnds.is_none() ? py::none() : bounds_with(globals, prepared, bnds);
    if (!bounds.is_none()) {
        py::object lower = prepared.attr("_lower");
        if (!lower.is_none()) {
            lower.attr("value") = bounds[py::int_(0)];
            prepared.attr("_upper").attr("value") = bounds[py::int_(1)];
        } else {
            rebound(globals, prepared, assembly, bounds);
        }
    }
    optimize::Attempt first_attempt;
    if (py::hasattr(prepared, "_solver")) {
        first_attempt = kept_solver_attempt(globals, prepared);
    }
    return optimize::solve(globals, assembly, prepared.attr("_objective"), order_book_ids,
                           first_attempt);
}

py::object set_up_optimization(const Globals &globals, const Args &args) {
    Setting setting = optimize::set_up(globals, args);
    return py::make_tuple(setting.order_book_ids, setting.helper);
}

py::object assemble_problem(const Globals &globals, const Args &args) {
    Assembly assembly =
        optimize::assemble(globals, args[0], args[1], args[2], args[3], args[4], false, args[5]);
    return globals["SimpleNamespace"](
        py::arg("problem") = assembly.problem, py::arg("g") = assembly.g,
        py::arg("zeta") = assembly.zeta, py::arg("hard_cons") = assembly.hard_cons,
        py::arg("soft_cons") = assembly.soft_cons, py::arg("budget") = assembly.budget,
        py::arg("internal") = assembly.internal, py::arg("bound_cons") = assembly.bound_cons,
        py::arg("lower_bound") = assembly.lower_bound,
        py::arg("upper_bound") = assembly.upper_bound, py::arg("objects") = assembly.objects);
}

// Pickles without the kept solver, which lives in this process only; the
// process that loads it factorises again at its first solve.
py::object get_state(const Globals &, const Args &args) {
    py::dict state(args[0].attr("__dict__"));
    state.attr("pop")("_solver", py::none());
    return std::move(state);
}

void import_names(py::dict &globals, const py::module_ &module) {
    for (const char *name : {"warnings", "time", "logging"}) {
        globals[name] = py::module_::import(name);
    }
    globals["SimpleNamespace"] = py::module_::import("types").attr("SimpleNamespace");
    globals["pd"] = py::module_::import("pandas");
    globals["np"] = py::module_::import("numpy");
    globals["cp"] = py::module_::import("cvxpy");
    globals["scs"] = py::module_::import("scs");
    py::module_ scs_interface =
        py::module_::import("cvxpy.reductions.solvers.conic_solvers.scs_conif");
    globals["ScsInterface"] = scs_interface.attr("SCS");
    globals["dims_to_solver_dict"] = scs_interface.attr("dims_to_solver_dict");
    for (const char *name : {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"}) {
        globals[name] = import_from_sibling(module, "exception", name);
    }
    globals["CovModel"] = import_from_sibling(module, "const", "CovModel");
    globals["OptimizeHelper"] = import_from_sibling(module, "helper", "OptimizeHelper");
    for (const char *name : {"IndexBenchmark", "OptimizeBenchmark"}) {
        globals[name] = import_from_sibling(module, "benchmark", name);
    }
    for (const char *name : {"OptimizationObjective", "MaxInformationRatio", "MaxSharpeRatio",
                             "MinTrackingError", "RiskParity"}) {
        globals[name] = import_from_sibling(module, "objective", name);
    }
    for (const char *name : {"to_enum", "to_date", "ensure_order_book_ids", "ensure_bound",
                             "parse_bnds", "DEFAULT_OBJECTIVE"}) {
        globals[name] = import_from_sibling(module, "optimize", name);
    }
}

}  // namespace
}  // namespace plovera::prepared

PYBIND11_MODULE(prepared, module) {
    using namespace plovera;
    using namespace plovera::prepared;
    py::dict globals = module_globals(module);
    import_names(globals, module);
    globals["PreparedOptimization"] =
        ClassBuilder(globals, "PreparedOptimization", kPreparedOptimizationDoc)
            .method("solve", {"self", {"bnds", py::none()}}, prepared_solve, kPreparedSolveDoc)
            .method("factorize", {"self"}, factorize, kPreparedFactorizeDoc)
            .method("__getstate__", {"self"}, get_state)
            .build(reinterpret_cast<PyObject *>(&PyType_Type));
    globals["prepare_optimize"] = optimize::make_entry_function(
        globals, "prepare_optimize", prepare_optimize, kPrepareOptimizeDoc);
    globals["set_up_optimization"] = optimize::make_entry_function(
        globals, "set_up_optimization", set_up_optimization, kSetUpOptimizationDoc);
    globals["assemble_problem"] = make_function(
        globals, "assemble_problem", "assemble_problem",
        {"objective", "order_book_ids", "bnds", "cons", "helper", {"bounds", py::none()}},
        assemble_problem, kAssembleProblemDoc);
}
