"""Which constraints of an optimisation conflict when it has no solution."""

from __future__ import annotations

import cvxpy as cp
import numpy as np

import quotaris

from ..benchmark import IndexBenchmark, OptimizeBenchmark
from ..const import CovModel
from ..exception import InvalidArgument
from ..helper import OptimizeHelper
from ..objective import (
    MaxInformationRatio,
    MaxSharpeRatio,
    MinTrackingError,
    OptimizationObjective,
    RiskParity,
)
from ..optimize import DEFAULT_OBJECTIVE, ensure_order_book_ids, parse_bnds, to_date, to_enum
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
    still conflict) down to an irreducible set, and each member's least
    relaxation is found with the rest of the problem held (or, when another
    conflict remains, the rest of the set).

    At most 25 solves are made, all with Clarabel. Before each filter step
    one solve per remaining member is kept back for the relaxations; when the
    budget runs out first, the untested members stay in, the set may not be
    irreducible and ``irreducible`` is false. More than three stocks' bounds
    in a conflict are filtered and relaxed as one block, by a common amount.
    All groups are relaxed with the budget held at 1, so a ratio objective's
    own constraint reads as a non-negative expected (active) return.
    """
    date = to_date(date)
    risk_model().day_of(date)
    pool = list(order_book_ids)
    known = {instrument.order_book_id for instrument in quotaris.instruments(pool)}
    unknown = [i for i in dict.fromkeys(pool) if i not in known]
    if unknown:
        raise InvalidArgument(f"行情数据中没有这些合约: {', '.join(map(str, unknown))}")
    ids = ensure_order_book_ids(pool, date)
    if not ids:
        raise InvalidArgument("经过剔除后，股票池为空")
    if len(ids) == 1:
        return Diagnosis(True, True)
    if not isinstance(objective, OptimizationObjective):
        raise InvalidArgument("非法的目标函数")
    if (
        isinstance(objective, MinTrackingError | MaxSharpeRatio | MaxInformationRatio)
        and benchmark is None
    ):
        name = objective.__class__.__name__
        raise InvalidArgument(f"对于目标函数 {name}，必须传入 benchmark 参数")
    if isinstance(benchmark, str):
        benchmark = IndexBenchmark(benchmark)
    if benchmark is not None and not isinstance(benchmark, OptimizeBenchmark):
        raise InvalidArgument(
            f"无效的benchmark：{benchmark}；对于指数，可以直接传入对应的order_book_id；"
            "对于自定义基准，请传入一个 OptimizeBenchmark 的对象"
        )
    # Risk parity without bounds or constraints is solved without any constraint.
    if isinstance(objective, RiskParity) and not bnds and not cons:
        return Diagnosis(True, True)
    helper = OptimizeHelper(ids, date, benchmark, to_enum(cov_model, CovModel))
    g = cp.Variable(len(ids), nonneg=True)
    collector = Collector()
    collector.add_budget(g)
    internal = list(objective.get_internal_constraints(g, 1.0, helper))
    collector.add_objective(internal, objective.__class__.__name__, g)
    if bnds is not None:
        lower, upper = _bound_arrays(bnds, ids)
        collector.add_bounds(g, lower, upper, ids)
    for constraint in cons or ():
        hard = bool(constraint.hard)
        built = list(constraint.to_constraints(g, 1.0, helper))
        collector.add_object(constraint, built, helper, hard)
    clarabel = cp.CLARABEL in cp.installed_solvers()
    solver = cp.CLARABEL if clarabel else objective.get_preferred_solver()
    return search(collector, solver)


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
