import datetime
from collections.abc import Iterable, Mapping
from enum import Enum
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd

from .benchmark import OptimizeBenchmark
from .const import CovModel
from .objective import OptimizationObjective

_E = TypeVar("_E", bound=Enum)

DEFAULT_OBJECTIVE: OptimizationObjective

def to_enum(v: object, enum_type: type[_E]) -> _E: ...
def to_date(dt: datetime.date | str) -> datetime.date: ...
def ensure_date_str(date: datetime.date | str) -> str: ...
def ensure_order_book_ids(
    order_book_ids: Iterable[str], date: datetime.date | str
) -> list[str]: ...
def ensure_bound(v: object) -> float | None: ...
def parse_bnds(
    bnds: Mapping[str, tuple[float | None, float | None]], order_book_ids: list[str]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def portfolio_optimize(
    order_book_ids: Iterable[str],
    date: datetime.date | str,
    objective: OptimizationObjective = ...,
    bnds: Mapping[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: str | OptimizeBenchmark | None = None,
    cov_model: CovModel | str = ...,
) -> pd.Series | dict[str, float]: ...
