"""Constraint objects that portfolio_optimize accepts in ``cons`` (compiled module)."""

from abc import ABCMeta as ABCMeta
from abc import abstractmethod as abstractmethod
from typing import Any

import cvxpy
import numpy
import pandas

from .const import INDUSTRY_CODES as INDUSTRY_CODES
from .const import STYLE_FACTORS as STYLE_FACTORS
from .const import IndustryClassification as IndustryClassification
from .exception import InvalidArgument as InvalidArgument

cp = cvxpy
np = numpy
pd = pandas

# What the data helper of one optimisation offers; constraints read it duck-typed.
_Helper = Any
# The value g adds up to: 1.0, the pool size, or a scalar cvxpy variable.
_Zeta = float | int | cp.Variable
# One name or a list of names.
_Names = str | list[str]
# A number, or per-name numbers; None leaves that side open.
_Limit = float | dict[str, float] | pd.Series | None
_Classification = IndustryClassification | str

class OptimizationConstraint(metaclass=ABCMeta):
    hard: bool
    def __init__(self, hard: bool = True) -> None: ...
    @abstractmethod
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...

class TrackingErrorLimit(OptimizationConstraint):
    _upper_limit: float
    def __init__(self, upper_limit: float, hard: bool = True) -> None: ...
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...

class TurnoverLimit(OptimizationConstraint):
    _current_holding: pd.Series
    _upper_limit: float
    def __init__(
        self, current_holding: pd.Series, upper_limit: float, hard: bool = True
    ) -> None: ...
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...

class BenchmarkComponentWeightLimit(OptimizationConstraint):
    _lower_limit: float
    def __init__(self, lower_limit: float, hard: bool = True) -> None: ...
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...

class IndustryConstraint(OptimizationConstraint):
    _industries: list[str]
    _lower_limit: float | dict[str, float] | None
    _upper_limit: float | dict[str, float] | None
    _relative: bool
    _classification: IndustryClassification
    def __init__(
        self,
        industries: _Names,
        lower_limit: _Limit = None,
        upper_limit: _Limit = None,
        relative: bool = False,
        classification: _Classification = ...,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...

class WildcardIndustryConstraint(OptimizationConstraint):
    _exclude: list[str]
    _lower_limit: float | dict[str, float] | None
    _upper_limit: float | dict[str, float] | None
    _relative: bool
    _classification: IndustryClassification
    def __init__(
        self,
        exclude: _Names | None = None,
        lower_limit: _Limit = None,
        upper_limit: _Limit = None,
        relative: bool = False,
        classification: _Classification = ...,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...

class StyleConstraint(OptimizationConstraint):
    _styles: list[str]
    _lower_limit: float | dict[str, float] | None
    _upper_limit: float | dict[str, float] | None
    _relative: bool
    def __init__(
        self,
        styles: _Names,
        lower_limit: _Limit = None,
        upper_limit: _Limit = None,
        relative: bool = False,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...

class WildcardStyleConstraint(OptimizationConstraint):
    _exclude: list[str]
    _lower_limit: float | dict[str, float] | None
    _upper_limit: float | dict[str, float] | None
    _relative: bool
    def __init__(
        self,
        exclude: _Names | None = None,
        lower_limit: _Limit = None,
        upper_limit: _Limit = None,
        relative: bool = False,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]: ...
