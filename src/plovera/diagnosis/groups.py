"""The constraint groups of one optimisation, each a set of rows ``expr <= slack``.

A group is what a diagnosis can name and relax on its own: the budget, the
bounds of one stock, one row of a constraint object (one industry, one style,
the tracking-error limit) or all of the objective's own constraints together.
"""

from __future__ import annotations

import dataclasses

import cvxpy as cp
import numpy as np

from ..const import INDUSTRY_CODES, STYLE_FACTORS
from ..constraints import (
    BenchmarkComponentWeightLimit,
    IndustryConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
    WildcardStyleConstraint,
)

BUDGET, BOUND, OBJECTIVE, CONSTRAINT = "budget", "bound", "objective", "constraint"


@dataclasses.dataclass
class Group:
    """One relaxable unit: its name, where it came from and its limit in its own units."""

    name: str
    kind: str
    hard: bool
    # The limit as the user gave it (None when it has no single number), and
    # +1 when relaxing raises it (an upper limit), -1 when it lowers it.
    limit: float | None = None
    direction: int = 1
    percent: bool = True
    # For a stock's bounds: the stock, and its two limits.
    order_book_id: str | None = None
    bounds: tuple[float, float] | None = None


@dataclasses.dataclass
class Piece:
    """Rows of one constraint: ``expr[k] <= slack[groups[k]]``, both signs for an equality."""

    expr: cp.Expression
    groups: np.ndarray
    equality: bool = False


def _limit_for(limit, name):
    return limit.get(name) if isinstance(limit, dict) else limit


def _industry_names(obj, helper) -> list[str]:
    if isinstance(obj, IndustryConstraint):
        return list(obj._industries)
    present = set(helper.get_industry(obj._classification).tolist())
    scheme = INDUSTRY_CODES[obj._classification.value].values()
    return [name for name in scheme if name in present and name not in obj._exclude]


def _style_names(obj) -> list[str]:
    if isinstance(obj, StyleConstraint):
        return list(obj._styles)
    return [style for style in STYLE_FACTORS if style not in obj._exclude]


def _sided_rows(obj, names: list[str], what: str, percent: bool, hard: bool) -> list[list[Group]]:
    """Rows of an industry or style object, one list per side it constrains (lower first)."""
    relative = "相对基准" if obj._relative else ""
    sides = []
    for attribute, side, direction in (("_lower_limit", "下限", -1), ("_upper_limit", "上限", 1)):
        rows = [
            Group(f"{what} {name} {relative}{side}", CONSTRAINT, hard, value, direction, percent)
            for name in names
            if (value := _limit_for(getattr(obj, attribute), name)) is not None
        ]
        if rows:
            sides.append(rows)
    return sides


def _named_rows(obj, helper, hard: bool) -> list[list[Group]] | None:
    """The groups of each constraint a known object returns, in its order; None if unknown."""
    if isinstance(obj, TrackingErrorLimit):
        return [[Group("跟踪误差上限", CONSTRAINT, hard, obj._upper_limit, 1)]]
    if isinstance(obj, TurnoverLimit):
        return [[Group("换手率上限", CONSTRAINT, hard, obj._upper_limit, 1)]]
    if isinstance(obj, BenchmarkComponentWeightLimit):
        return [[Group("成分股权重之和下限", CONSTRAINT, hard, obj._lower_limit, -1)]]
    if isinstance(obj, IndustryConstraint | WildcardIndustryConstraint):
        return _sided_rows(obj, _industry_names(obj, helper), "行业", True, hard)
    if isinstance(obj, StyleConstraint | WildcardStyleConstraint):
        return _sided_rows(obj, _style_names(obj), "风格", False, hard)
    return None


def _difference(constraint) -> tuple[cp.Expression, bool]:
    """``lhs - rhs`` of a constraint, and whether it is an equality; TypeError for other kinds."""
    if isinstance(constraint, cp.constraints.Inequality | cp.constraints.Equality):
        lhs, rhs = constraint.args
        return cp.reshape(lhs - rhs, (-1,), order="C"), isinstance(
            constraint, cp.constraints.Equality
        )
    raise TypeError(f"cannot relax a {type(constraint).__name__} constraint")


def _generic(constraint, name: str, hard: bool) -> Group:
    """A group for a constraint of an object this module does not know: its constant side."""
    lhs, rhs = constraint.args
    if isinstance(constraint, cp.constraints.Inequality):
        for side, direction in ((rhs, 1), (lhs, -1)):
            if side.is_constant() and side.size == 1:
                return Group(name, CONSTRAINT, hard, float(side.value), direction, False)
    return Group(name, CONSTRAINT, hard, None, 1, False)


class Collector:
    """Gathers the groups and the pieces of one problem.

    Rows are read in units of the weights, with the budget at 1: the rows of
    a problem whose ``zeta`` is a number (1, or the pool size for risk
    parity) are divided by it, and a ``zeta`` that is a variable (the ratio
    objectives') is held at 1.
    """

    def __init__(self, zeta) -> None:
        self.groups: list[Group] = []
        self.pieces: list[Piece] = []
        # Constraints that cannot be relaxed (a cone other than ``<=``/``==``): always held.
        self.fixed: list[cp.Constraint] = []
        self.scale = 1.0
        if isinstance(zeta, cp.Variable):
            self.fixed.append(zeta == 1)
        else:
            self.scale = float(zeta)
        # Where the budget's and the bounds' (lower, upper) rows are among the pieces.
        self.budget_piece: int | None = None
        self.bound_pieces: list[int | None] = []

    def _new(self, group: Group) -> int:
        self.groups.append(group)
        return len(self.groups) - 1

    def add_rows(self, expr: cp.Expression, groups: list[Group] | np.ndarray, equality=False):
        ids = groups if isinstance(groups, np.ndarray) else [self._new(g) for g in groups]
        ids = np.asarray(ids, dtype=np.intp)
        if expr.size != len(ids):  # one group for all rows
            ids = np.full(expr.size, ids[0], dtype=np.intp)
        if self.scale != 1.0:
            expr = expr / self.scale
        self.pieces.append(Piece(expr, ids, equality))
        return ids

    def add_budget(self, budget: cp.Constraint) -> None:
        self.budget_piece = len(self.pieces)
        expr, _ = _difference(budget)
        self.add_rows(expr, [Group("权重之和", BUDGET, True, 1.0, 1)], equality=True)

    def add_bounds(self, bound_cons, lower: np.ndarray, upper: np.ndarray, ids: list[str]) -> None:
        """The rows of the two bound constraints, ``zeta·lower - g`` and ``g - zeta·upper``."""
        lower = np.asarray(lower, dtype=float)
        upper = np.asarray(upper, dtype=float)
        stocks = np.asarray(
            [
                self._new(Group(f"个股 {i}", BOUND, True, order_book_id=i, bounds=(lo, up)))
                for i, lo, up in zip(ids, lower.tolist(), upper.tolist(), strict=True)
            ],
            dtype=np.intp,
        )
        # A zero floor repeats g >= 0 and a cap of 1 the budget: their rows
        # would only split the multipliers and bring idle stocks into a conflict.
        self.bound_pieces = []
        for rows, constraint in zip((lower > 0, upper < 1), bound_cons, strict=True):
            if rows.any():
                self.bound_pieces.append(len(self.pieces))
                side, _ = _difference(constraint)
                self.add_rows(side[np.flatnonzero(rows)], stocks[rows])
            else:
                self.bound_pieces.append(None)

    def add_objective(self, constraints, name: str) -> None:
        """The objective's constraints as one group.

        A ratio objective pins the scaled expected return to 1 while its scale
        floats; with the scale held at 1 that says the return must be positive,
        which is what is kept here.
        """
        if not constraints:
            return
        group: np.ndarray | list[Group] = [Group(f"目标函数 {name} 的约束", OBJECTIVE, True)]
        for constraint in constraints:
            try:
                expr, equality = _difference(constraint)
            except TypeError:
                self.fixed.append(constraint)
                continue
            if equality:
                at_zero = _value_at_zero(expr)
                if np.all(at_zero < 0):
                    expr, equality = -(expr - at_zero), False
            group = self.add_rows(expr, group, equality)[:1]

    def add_object(self, obj, constraints, helper, hard: bool) -> None:
        named = _named_rows(obj, helper, hard)
        if named is not None and len(named) != len(constraints):
            named = None
        for k, constraint in enumerate(constraints):
            try:
                expr, equality = _difference(constraint)
            except TypeError:
                self.fixed.append(constraint)
                continue
            if named is not None and len(named[k]) == expr.size:
                rows = named[k]
            else:
                rows = [_generic(constraint, f"{type(obj).__name__} 第 {k + 1} 条约束", hard)]
            self.add_rows(expr, rows, equality)


def _value_at_zero(expr: cp.Expression) -> np.ndarray:
    """The constant part of an affine expression: its value with every variable at 0."""
    variables = expr.variables()
    saved = [variable.value for variable in variables]
    for variable in variables:
        variable.value = np.zeros(variable.shape)
    try:
        return np.asarray(expr.value, dtype=float)
    finally:
        for variable, value in zip(variables, saved, strict=True):
            variable.value = value
