"""Which constraints of an optimisation conflict when it has no solution."""

from __future__ import annotations

import cvxpy as cp
import numpy as np

import quotaris

from ..const import CovModel
from ..exception import InvalidArgument
from ..objective import RiskParity
from ..optimize import DEFAULT_OBJECTIVE, parse_bnds, to_date
from ..prepared import assemble_problem, set_up_optimization
from ..riskmodel import risk_model
from .groups import Collector
from .report import Conflict, Diagnosis
from .search import search

__all__ = ["Conflict", "Diagnosis", "diagnose"]


def diagnose(
    order_book_ids,
    date,
    objective=DEFAULT_OBJECTIVE,
    bnds=None,
    cons=None,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
) -> Diagnosis:
    """Tell whether the constraints of ``portfolio_optimize`` with these arguments can hold.

    The arguments are those of ``portfolio_optimize``. Each constraint group
    (the budget, the bounds of one stock, one row of a constraint object, the
    objective's own constraints) gets a non-negative slack; the least sum of
    slacks tells whether the hard constraints, and then hard and soft, can
    hold. When they cannot, the groups whose multipliers support that
    solution are filtered one by one (drop a group, keep it out if the rest
    still conflict) down to an irreducible set.  Its members are then set free
    and, while the rest still conflicts, the next set is found the same way.
    Each member's least relaxation is found with the rest of the problem held
    and the other sets' members free (or, when that cannot do, with only its
    own set held); with several sets, a common scaling of those relaxations
    that ends every set at once is reported too (``Conflict.together``).

    Holdings constraints (:mod:`plovera.holdings`) are not convex: the
    rest is diagnosed without them, and when it holds, bounds that leave no
    portfolio keeping to their counts and minimum positions are named as a
    conflict with the least count, and the largest minimum, that would do.
    Limits that the other constraints cannot meet (industry weights that need
    more stocks than the count allows) are named by their relaxation, with an
    indicator per stock in [0, 1]: the least count, or the largest minimum,
    that gives it a solution is at least what the problem needs.

    At most 40 solves are made, all with Clarabel. Before each filter step
    one solve per member found is kept back for the relaxations (at most
    eight); when the budget runs out first, the untested members stay in, a
    set may not be irreducible or another may be left unfound, and
    ``irreducible`` is false. More than three stocks' bounds
    in a conflict are filtered and relaxed as one block, by a common amount.
    All groups are relaxed with the budget held at 1, so a ratio objective's
    own constraint reads as a non-negative expected (active) return.
    """
    # Imported here: the holdings package reads this package's report classes.
    from ..holdings.diagnosis import diagnose_holdings, without_holdings

    date = to_date(date)
    risk_model().day_of(date)
    pool = list(order_book_ids)
    _, unknown = quotaris.find_instruments(pool)
    if unknown:
        raise InvalidArgument(f"行情数据中没有这些合约: {', '.join(map(str, unknown))}")
    for constraint in cons or ():
        if not (
            hasattr(constraint, "hard") and callable(getattr(constraint, "to_constraints", None))
        ):
            raise InvalidArgument(
                f"cons 中的 {constraint!r} 不是约束对象：约束对象需要 hard 属性和 "
                "to_constraints(g, zeta, helper) 方法"
            )
    holdings, cons = without_holdings(cons)
    ids, helper = set_up_optimization(pool, date, objective, bnds, cons, benchmark, cov_model)
    if helper is None:
        return Diagnosis(True, True)
    # Risk parity without bounds or constraints is solved without any constraint.
    if isinstance(objective, RiskParity) and not bnds and not cons:
        return Diagnosis(True, True)
    bounds = None if bnds is None else _bound_arrays(bnds, ids)
    assembly = assemble_problem(objective, ids, bnds, cons, helper, bounds)
    collector = Collector(assembly.zeta)
    collector.add_budget(assembly.budget)
    collector.add_objective(assembly.internal, objective.__class__.__name__)
    if assembly.bound_cons:
        collector.add_bounds(assembly.bound_cons, assembly.lower_bound, assembly.upper_bound, ids)
    for constraint, hard, built in assembly.objects:
        collector.add_object(constraint, built, helper, hard)
    clarabel = cp.CLARABEL in cp.installed_solvers()
    solver = cp.CLARABEL if clarabel else objective.get_preferred_solver()
    found = search(collector, solver)
    if holdings and found.feasible_with_soft:
        lower, upper = bounds if bounds is not None else (np.zeros(len(ids)), np.ones(len(ids)))
        return diagnose_holdings(ids, lower, upper, helper, holdings, objective, cons) or found
    return found


# The bounds' own sum checks: a conflict of the budget with the bounds, which
# the diagnosis names rather than refuses.
_SUM_MESSAGES = ("下限之和大于1", "上限之和小于1")


def _bound_arrays(bnds, ids: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """The bound vectors of ``parse_bnds``, also when they cannot add up to 1."""
    try:
        return parse_bnds(bnds, ids)
    except InvalidArgument as error:
        if str(error) not in _SUM_MESSAGES:
            raise
    # Every stock's pair passed (the sums are checked last): read them as parse_bnds does.
    wildcard = bnds.get("*", (0.0, 1.0))
    pairs = []
    for i in ids:
        if i in bnds:
            low, high = bnds[i]
            pairs.append((0.0 if low is None else low, 1.0 if high is None else high))
        else:
            pairs.append(tuple(wildcard))
    bounds = np.asarray(pairs, dtype=float)
    return bounds[:, 0].copy(), bounds[:, 1].copy()
