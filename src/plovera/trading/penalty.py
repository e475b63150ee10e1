"""An objective that also weighs what its rebalance costs to trade."""

from __future__ import annotations

import pandas as pd

from ..exception import InvalidArgument
from ..objective import (
    MaxInformationRatio,
    MaxSharpeRatio,
    OptimizationObjective,
    RiskParity,
)
from .costs import AShareCosts, _number, _weights
from .limit import rebalance_cost

__all__ = ["TransactionCostPenalty"]


class TransactionCostPenalty(OptimizationObjective):
    """``objective`` plus ``aversion`` times the cost of trading from ``current_holding``
    to the optimised weights, as a fraction of the portfolio's value, costed by ``costs``
    (an :class:`AShareCosts`, its defaults when None) as
    :class:`~plovera.trading.TransactionCostLimit` costs it.

    ``aversion`` converts the cost into the objective's own units: with
    :class:`~plovera.objective.MinTrackingError`, whose value is the annual
    tracking-error variance, an aversion of 1 trades 1% of cost against 1% of
    variance.  The ratio objectives and risk parity take no penalty (their
    value has no unit a cost could be added to): limit their cost with
    :class:`~plovera.trading.TransactionCostLimit`.
    """

    def __init__(
        self,
        objective: OptimizationObjective,
        current_holding: pd.Series,
        costs: AShareCosts | None = None,
        aversion: float = 1.0,
    ) -> None:
        if not isinstance(objective, OptimizationObjective):
            raise InvalidArgument(f"objective must be an objective instance, got {objective!r}")
        if isinstance(objective, MaxInformationRatio | MaxSharpeRatio | RiskParity):
            raise InvalidArgument(
                f"{type(objective).__name__} takes no cost penalty: its value has no unit a "
                "cost could be added to; limit the cost with TransactionCostLimit"
            )
        costs = AShareCosts() if costs is None else costs
        if not isinstance(costs, AShareCosts):
            raise InvalidArgument(f"costs must be an AShareCosts, got {costs!r}")
        self.objective = objective
        self.current_holding = _weights("current_holding", current_holding)
        self.costs = costs
        self.aversion = _number("aversion", aversion)
        self._built: tuple = ()

    def __getstate__(self) -> dict:
        # The expressions of one problem are rebuilt for the next.
        return {**self.__dict__, "_built": ()}

    def _cost(self, g, zeta, helper):
        if not self._built or self._built[0] is not g:
            cost, cones = rebalance_cost(self.costs, self.current_holding, g, zeta, helper, 1.0)
            self._built = (g, cost, cones)
        return self._built[1], self._built[2]

    def get_objective_expr(self, g, zeta, helper):
        cost, _ = self._cost(g, zeta, helper)
        return self.objective.get_objective_expr(g, zeta, helper) + self.aversion * cost

    def get_internal_constraints(self, g, zeta, helper):
        _, cones = self._cost(g, zeta, helper)
        return [*self.objective.get_internal_constraints(g, zeta, helper), *cones]

    def get_preferred_solver(self) -> str:
        return self.objective.get_preferred_solver()

    def __repr__(self) -> str:
        return f"TransactionCostPenalty({self.objective!r}, aversion={self.aversion!r})"
