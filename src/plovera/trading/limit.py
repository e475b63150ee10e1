"""A limit on what the rebalance an optimisation asks for costs to trade."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd

from ..constraints import OptimizationConstraint
from ..exception import InvalidArgument
from .costs import AShareCosts, _number, _weights

__all__ = ["TransactionCostLimit"]


class TransactionCostLimit(OptimizationConstraint):
    """The cost of trading from ``current_holding`` to the optimised weights, as a
    fraction of the portfolio's value, at most ``upper_limit``; costed by ``costs`` (an
    :class:`AShareCosts`, its defaults when None) on the optimisation's date.

    The limit holds the convex part of the cost: commission and transfer fee
    on every change of weight, stamp duty on every decrease, and the impact
    k·|Δ|^1.5 of a portfolio worth the model's ``capital`` (none without one).
    The minimum commission per order, a fixed charge for each stock traded,
    is not convex and is left out: with a capital, the model's cost of the
    solved weights may exceed the limit by that minimum for each order that
    would have cost less.  A holding outside the pool is sold.
    """

    def __init__(
        self,
        current_holding: pd.Series,
        upper_limit: float,
        costs: AShareCosts | None = None,
        hard: bool = True,
    ) -> None:
        super().__init__(hard)
        holding = _weights("current_holding", current_holding)
        negative = holding.index[holding.to_numpy() < 0]
        if len(negative):
            raise InvalidArgument(
                f"current_holding has negative weights for {', '.join(map(str, negative[:5]))}"
            )
        costs = AShareCosts() if costs is None else costs
        if not isinstance(costs, AShareCosts):
            raise InvalidArgument(f"costs must be an AShareCosts, got {costs!r}")
        self._current_holding = holding
        self._upper_limit = _number("upper_limit", upper_limit, 1.0)
        self._costs = costs

    def __repr__(self) -> str:
        return f"TransactionCostLimit({self._upper_limit!r}, {self._costs!r})"

    # With g = zeta·w every term is zeta times the cost of w: zeta·c(g / zeta).  The
    # linear terms are so already; the impact's k·|Δ|^1.5 becomes k·|g − zeta·h|^1.5 /
    # sqrt(zeta), held per stock by a power cone t^(2/3)·zeta^(1/3) >= |c·(g − zeta·h)|
    # with c = (k / limit)^(2/3), so that t·limit is the stock's impact: t of the size of
    # zeta keeps the solver accurate, where t of the size of the cost stalls it once
    # zeta is a variable.
    def to_constraints(self, g: cp.Variable, zeta, helper) -> list[cp.Constraint]:
        limit = self._upper_limit
        cost, cones = rebalance_cost(
            self._costs, self._current_holding, g, zeta, helper, limit if limit > 0 else 1.0
        )
        return [cost <= zeta * limit, *cones]


def rebalance_cost(
    costs: AShareCosts, holding: pd.Series, g: cp.Variable, zeta, helper, unit: float
) -> tuple[cp.Expression, list[cp.Constraint]]:
    """The convex cost of trading from ``holding`` to ``g`` (homogeneous in ``zeta``) and
    the cones holding its impact; ``unit`` is the size of cost the cones are scaled to."""
    date, ids = helper.date, list(helper.order_book_ids)
    outside = holding[~holding.index.isin(ids)]
    outside = outside[outside.to_numpy() > 0]
    in_pool = holding.reindex(ids, fill_value=0.0).to_numpy()
    change = g - zeta * in_pool
    buy = costs.commission + costs.transfer_fee
    sell = buy + costs.stamp_duty_on(date)
    cost = buy * cp.sum(cp.pos(change)) + sell * cp.sum(cp.neg(change))
    cost = cost + zeta * (sell * float(outside.sum()))
    coefficients = costs.impact_coefficients(date, ids + outside.index.tolist(), costs.capital)
    within, beyond = coefficients[: len(ids)], coefficients[len(ids) :]
    cones = []
    priced = np.flatnonzero(within > 0)
    if len(priced):
        scaled = cp.multiply((within[priced] / unit) ** (2 / 3), change[priced])
        impact = cp.Variable(len(priced))
        cones.append(cp.PowCone3D(impact, zeta * np.ones(len(priced)), scaled, 2 / 3))
        cost = cost + unit * cp.sum(impact)
    if len(beyond):
        cost = cost + zeta * float(beyond @ outside.to_numpy() ** 1.5)
    return cost, cones
