"""The elastic programme: every group's rows may give by a non-negative slack.

One cvxpy problem is compiled once and re-solved with new parameters: the
slack weights (which groups count), each slack's cap (0 holds a group, CAP
frees it) and a mask giving chosen groups one common extra slack ``t``.
"""

from __future__ import annotations

import cvxpy as cp
import numpy as np

from ..exception import OptimizationFailed
from .groups import Collector

# A slack this large frees its group: no weight of a budget-bound portfolio
# reaches it, nor does any tracking error or style exposure of one.
CAP = 10.0
# Weighted slack at or below this counts as zero.
TOL = 1e-6
# A row whose multiplier is above this supports the infeasibility.
DUAL_TOL = 1e-6


class Elastic:
    """The relaxed problem of one collection of groups, and a count of its solves."""

    def __init__(self, collector: Collector, solver: str) -> None:
        size = len(collector.groups)
        self.collector = collector
        self.solver = solver
        self.solves = 0
        self.slack = cp.Variable(size, nonneg=True)
        self.common = cp.Variable(nonneg=True)
        self.weights = cp.Parameter(size, nonneg=True)
        self.common_weight = cp.Parameter(nonneg=True)
        self.caps = cp.Parameter(size, nonneg=True)
        self.mask = cp.Parameter(size, nonneg=True)
        self.rows: list[tuple[cp.Constraint, np.ndarray]] = []
        for piece in collector.pieces:
            slack = self.slack[piece.groups]
            self.rows.append((piece.expr <= slack, piece.groups))
            if piece.equality:
                self.rows.append((-piece.expr <= slack, piece.groups))
        limits = [
            self.slack <= self.caps + cp.multiply(self.mask, self.common),
            self.common <= CAP,
        ]
        self.problem = cp.Problem(
            cp.Minimize(self.weights @ self.slack + self.common_weight * self.common),
            [row for row, _ in self.rows] + collector.fixed + limits,
        )

    def solve(self, weights, caps=None, mask=None) -> float | None:
        """The least weighted slack (plus ``t`` when a mask is given); None if infeasible."""
        size = len(self.collector.groups)
        self.weights.value = np.asarray(weights, dtype=float)
        self.caps.value = np.full(size, CAP) if caps is None else np.asarray(caps, dtype=float)
        self.mask.value = np.zeros(size) if mask is None else np.asarray(mask, dtype=float)
        self.common_weight.value = 0.0 if mask is None else 1.0
        self.solves += 1
        options = {} if self.solver == cp.CLARABEL else {"max_iters": 10000}
        self.problem.solve(solver=self.solver, **options)
        status = self.problem.status
        if status in (cp.INFEASIBLE, cp.INFEASIBLE_INACCURATE):
            return None
        if status not in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE):
            raise OptimizationFailed(f"诊断求解失败，求解状态为 {status}")
        return float(self.problem.value)

    def duals(self) -> np.ndarray:
        """Each group's total multiplier in the last solve."""
        total = np.zeros(len(self.collector.groups))
        for row, groups in self.rows:
            if row.dual_value is not None:
                np.add.at(total, groups, np.abs(np.ravel(row.dual_value)))
        return total

    def row_values(self, piece_index: int) -> np.ndarray:
        """The rows of one piece at the last solution."""
        return np.ravel(self.collector.pieces[piece_index].expr.value)
