// plovera.optimize: the entry point portfolio_optimize and its module set-up.
#include "optimize/arguments.hpp"
#include "optimize/docstrings.hpp"
#include "optimize/problem.hpp"
#include "support/module.hpp"

namespace plovera::optimize {
namespace {

py::object portfolio_optimize(const Globals &globals, const Args &args) {
    if (py::object delegate = holdings_delegate(globals, args[4], "portfolio_optimize")) {
        return delegate(args[0], args[1], args[2], args[3], args[4], args[5], args[6]);
    }
    Setting setting = set_up(globals, args);
    if (setting.helper.is_none()) {
        return whole_weight(setting.order_book_ids);
    }
    py::handle objective = args[2];
    Assembly assembly = assemble(globals, objective, setting.order_book_ids, args[3], args[4],
                                 setting.helper, false);
    return solve(globals, assembly, objective, setting.order_book_ids);
}

void import_names(py::dict &globals, const py::module_ &module) {
    for (const char *name : {"warnings", "datetime", "time", "logging"}) {
        globals[name] = py::module_::import(name);
    }
    globals["Iterable"] = py::module_::import("typing").attr("Iterable");
    globals["parse_datetime"] = py::module_::import("dateutil.parser").attr("parse");
    globals["pd"] = py::module_::import("pandas");
    globals["np"] = py::module_::import("numpy");
    globals["cp"] = py::module_::import("cvxpy");
    globals["quotaris"] = py::module_::import("quotaris");
    for (const char *name : {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"}) {
        globals[name] = import_from_sibling(module, "exception", name);
    }
    star_import_from_sibling(module, "const");
    globals["OptimizeHelper"] = import_from_sibling(module, "helper", "OptimizeHelper");
    for (const char *name : {"IndexBenchmark", "OptimizeBenchmark"}) {
        globals[name] = import_from_sibling(module, "benchmark", name);
    }
    for (const char *name : {"OptimizationObjective", "MinVariance", "MaxInformationRatio",
                             "MaxSharpeRatio", "MinTrackingError", "RiskParity"}) {
        globals[name] = import_from_sibling(module, "objective", name);
    }
}

}  // namespace
}  // namespace plovera::optimize

PYBIND11_MODULE(optimize, module) {
    using namespace plovera;
    using namespace plovera::optimize;
    py::dict globals = module_globals(module);
    import_names(globals, module);
    globals["warnings"].attr("filterwarnings")("always",
                                               py::arg("category") = globals["OptimizerWarning"]);

    auto define = [&globals](const char *name, std::initializer_list<Param> params, Impl impl) {
        globals[name] = make_function(globals, name, name, params, impl);
    };
    define("to_enum", {"v", "enum_type"}, to_enum);
    define("to_date", {"dt"}, to_date);
    define("ensure_date_str", {"date"}, ensure_date_str);
    define("ensure_order_book_ids", {"order_book_ids", "date"}, ensure_order_book_ids);
    define("ensure_bound", {"v"}, ensure_bound);
    define("parse_bnds", {"bnds", "order_book_ids"}, parse_bnds);
    globals["DEFAULT_OBJECTIVE"] = globals["MinVariance"]();
    globals["portfolio_optimize"] = make_entry_function(globals, "portfolio_optimize",
                                                        portfolio_optimize, kPortfolioOptimizeDoc);
}
