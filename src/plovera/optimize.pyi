"""The optimisation entry and its argument converters (compiled module)."""

import datetime as datetime
import logging as logging
import time as time
import warnings as warnings
from enum import Enum
from typing import Any, TypeVar

# The module binds typing's name, which callers may replace.
from typing import Iterable as Iterable  # noqa: UP035

import cvxpy
import numpy
import pandas
from dateutil.parser import parse
from numpy.typing import NDArray

import quotaris as quotaris

from .benchmark import IndexBenchmark as IndexBenchmark
from .benchmark import OptimizeBenchmark as OptimizeBenchmark
from .const import INDUSTRY_CODES as INDUSTRY_CODES
from .const import STYLE_FACTORS as STYLE_FACTORS
from .const import TRADING_DAYS_PER_YEAR as TRADING_DAYS_PER_YEAR
from .const import CovModel as CovModel
from .const import IndustryClassification as IndustryClassification
from .exception import InvalidArgument as InvalidArgument
from .exception import OptimizationFailed as OptimizationFailed
from .exception import OptimizerWarning as OptimizerWarning
from .helper import OptimizeHelper as OptimizeHelper
from .objective import MaxInformationRatio as MaxInformationRatio
from .objective import MaxSharpeRatio as MaxSharpeRatio
from .objective import MinTrackingError as MinTrackingError
from .objective import MinVariance as MinVariance
from .objective import OptimizationObjective as OptimizationObjective
from .objective import RiskParity as RiskParity

parse_datetime = parse
pd = pandas
np = numpy
cp = cvxpy

_E = TypeVar("_E", bound=Enum)

def to_enum(v: object, enum_type: type[_E]) -> _E: ...
def to_date(dt: datetime.date | str) -> datetime.date: ...
def ensure_date_str(date: datetime.date | str) -> str: ...
def ensure_order_book_ids(
    order_book_ids: Iterable[str], date: datetime.date | str
) -> list[str]: ...
def ensure_bound(v: object) -> float | None: ...
def parse_bnds(
    bnds: dict[str, tuple[float | None, float | None]], order_book_ids: list[str]
) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]: ...

DEFAULT_OBJECTIVE: MinVariance

def portfolio_optimize(
    order_book_ids: Iterable[str],
    date: datetime.date | str,
    objective: OptimizationObjective = ...,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: str | OptimizeBenchmark | None = None,
    cov_model: CovModel | str = ...,
) -> pandas.Series | dict[str, float]: ...
