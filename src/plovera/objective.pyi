"""Objectives that portfolio_optimize minimises (compiled module)."""

import warnings as warnings
from abc import ABCMeta as ABCMeta
from typing import Any, ClassVar

import cvxpy
import numpy
import pandas

import quotaris as quotaris

from .const import STYLE_FACTORS as STYLE_FACTORS
from .exception import InvalidArgument as InvalidArgument
from .exception import OptimizerWarning as OptimizerWarning

cp = cvxpy
np = numpy
pd = pandas

# What the data helper of one optimisation offers; objectives read it duck-typed.
_Helper = Any
# The value g adds up to: 1.0, the pool size, or a scalar cvxpy variable.
_Zeta = float | int | cp.Variable

def ensure_series(obj: object, name: str) -> pd.Series: ...

class OptimizationObjective(metaclass=ABCMeta):
    def get_objective_expr(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> cp.Expression | int: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MinVariance(OptimizationObjective):
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MeanVariance(OptimizationObjective):
    _expected_returns: pd.Series | None
    _risk_aversion_coefficient: float
    _window: int
    def __init__(
        self,
        expected_returns: pd.Series | Any | None = None,
        window: int = 252,
        risk_aversion_coefficient: float = 1,
    ) -> None: ...
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class RiskParity(OptimizationObjective):
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MinTrackingError(OptimizationObjective):
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MaxInformationRatio(OptimizationObjective):
    _expected_active_returns: pd.Series | None
    _window: int
    def __init__(
        self, expected_active_returns: pd.Series | Any | None = None, window: int = 252
    ) -> None: ...
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MaxSharpeRatio(OptimizationObjective):
    _expected_returns: pd.Series | None
    _window: int
    def __init__(
        self, expected_returns: pd.Series | Any | None = None, window: int = 252
    ) -> None: ...
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MaxIndicator(OptimizationObjective):
    _indicator_series: pd.Series
    def __init__(self, indicator_series: pd.Series | Any) -> None: ...
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MinStyleDeviation(OptimizationObjective):
    PRIORITY_ADJUST_FACTOR: ClassVar[list[int]]
    _target_style: pd.Series
    _relative: bool
    _priority: pd.Series | None
    def __init__(
        self,
        target_style: pd.Series | Any,
        relative: bool = False,
        priority: pd.Series | Any | None = None,
    ) -> None: ...
    # An empty target gives the integer 0.
    def get_objective_expr(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> cp.Expression | int: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...
