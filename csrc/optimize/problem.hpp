// The problem of one call of portfolio_optimize: its checks and data, its
// assembly into a cvxpy problem and the solve loop, shared by the entry point
// and by prepared optimisations.
#pragma once

#include <functional>

#include "support/function.hpp"

namespace plovera::optimize {

// The solver's iteration limit in every solve.
inline constexpr int kMaxIterations = 10000;

// The problem of one call, with what the solve loop needs to rebuild it.
struct Assembly {
    py::object problem;
    py::object g;
    py::object zeta;
    py::list hard_cons;
    py::list soft_cons;
    // Set only for a prepared problem: the bounds as cvxpy Parameters, so that
    // they can change after the problem has been compiled.
    py::object lower = py::none();
    py::object upper = py::none();
    // Where each constraint came from, for a diagnosis to name and relax: the
    // budget, the objective's own constraints, the two bound constraints and
    // their vectors (or None without bounds), and one (object, hard,
    // constraints) triple per constraint object.
    py::object budget;
    py::list internal;
    py::list bound_cons;
    py::object lower_bound = py::none();
    py::object upper_bound = py::none();
    py::list objects;
};

// The cleaned pool of a call and, unless the pool is a single stock, the data
// helper its problem is built from.
struct Setting {
    py::object order_book_ids;
    py::object helper = py::none();
};

// The checks and the data of a call with portfolio_optimize's seven arguments.
Setting set_up(const Globals &globals, const Args &args);

// Whether the objective's zeta is a variable (the ratio objectives'), not a number.
bool has_variable_scale(const Globals &globals, py::handle objective);

// [g - zeta * lower >= 0, g - zeta * upper <= 0]: the bounds apply to g / zeta.
py::list bound_constraints(py::handle g, py::handle zeta, py::handle lower, py::handle upper);

// The problem over the pool; with `parameterised` its bounds are cvxpy
// Parameters, set from `bnds` until changed.  `bounds`, when not None, is the
// (lower, upper) pair to use instead of parse_bnds(bnds): a diagnosis reads
// bounds that cannot add up to 1, which parse_bnds refuses.
Assembly assemble(const Globals &globals, py::handle objective, py::handle order_book_ids,
                  py::handle bnds, py::handle cons, py::handle helper, bool parameterised,
                  py::handle bounds = py::none());

// Solves the problem as it stands, leaving its status and variables set, and
// returns its value; raises cvxpy's SolverError when the solver fails.
using Attempt = std::function<py::object(const Assembly &)>;

// Solves, dropping the soft constraints and retrying once when infeasible, and
// returns the weights as a Series over the pool.  The first attempt is
// `first_attempt` when given (the retry's problem is a new one and is always
// solved through cvxpy).
py::object solve(const Globals &globals, Assembly &assembly, py::handle objective,
                 py::handle order_book_ids, const Attempt &first_attempt = {});

// A function of the module with portfolio_optimize's parameters and defaults;
// `globals` must bind DEFAULT_OBJECTIVE and CovModel.
py::object make_entry_function(const py::dict &globals, const char *name, Impl impl,
                               const char *doc);

// The function `name` of plovera.holdings when `cons`, a list or a tuple, holds a
// combinatorial constraint (a maximum number of names, a minimum position): the
// convex problem cannot hold one, so the whole call is handed to that function,
// looked up at call time.  Null otherwise.
py::object holdings_delegate(const Globals &globals, py::handle cons, const char *name);

// The result for a pool of one stock: all of the weight on it.
py::object whole_weight(py::handle order_book_ids);

}  // namespace plovera::optimize
