"""Optimisations prepared before they are solved (compiled module)."""

import logging as logging
import time as time
import warnings as warnings
from collections.abc import Iterable
from types import SimpleNamespace as SimpleNamespace
from typing import Any

import cvxpy
import numpy
import pandas
import scs as scs
from cvxpy.reductions.solvers.conic_solvers.scs_conif import SCS as _ScsInterface
from cvxpy.reductions.solvers.conic_solvers.scs_conif import (
    dims_to_solver_dict as dims_to_solver_dict,
)

from .benchmark import IndexBenchmark as IndexBenchmark
from .benchmark import OptimizeBenchmark as OptimizeBenchmark
from .const import CovModel as CovModel
from .exception import InvalidArgument as InvalidArgument
from .exception import OptimizationFailed as OptimizationFailed
from .exception import OptimizerWarning as OptimizerWarning
from .helper import OptimizeHelper as OptimizeHelper
from .objective import MaxInformationRatio as MaxInformationRatio
from .objective import MaxSharpeRatio as MaxSharpeRatio
from .objective import MinTrackingError as MinTrackingError
from .objective import OptimizationObjective as OptimizationObjective
from .objective import RiskParity as RiskParity
from .optimize import DEFAULT_OBJECTIVE as DEFAULT_OBJECTIVE
from .optimize import ensure_bound as ensure_bound
from .optimize import ensure_order_book_ids as ensure_order_book_ids
from .optimize import parse_bnds as parse_bnds
from .optimize import to_date as to_date
from .optimize import to_enum as to_enum

pd = pandas
np = numpy
cp = cvxpy
ScsInterface = _ScsInterface

class PreparedOptimization:
    # Its instances carry the cleaned pool as ``order_book_ids``.
    def solve(
        self, bnds: dict[str, tuple[float | None, float | None]] | None = None
    ) -> pandas.Series | dict[str, float]: ...
    def factorize(self) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...

def prepare_optimize(
    order_book_ids: Iterable[str],
    date: Any,
    objective: OptimizationObjective = ...,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: str | OptimizeBenchmark | None = None,
    cov_model: CovModel | str = ...,
) -> PreparedOptimization: ...
def set_up_optimization(
    order_book_ids: Iterable[str],
    date: Any,
    objective: OptimizationObjective = ...,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: str | OptimizeBenchmark | None = None,
    cov_model: CovModel | str = ...,
) -> tuple[list[str], OptimizeHelper | None]: ...
def assemble_problem(
    objective: OptimizationObjective,
    order_book_ids: list[str],
    bnds: dict[str, tuple[float | None, float | None]] | None,
    cons: Iterable[Any] | None,
    helper: OptimizeHelper,
    bounds: tuple[numpy.ndarray, numpy.ndarray] | None = None,
) -> SimpleNamespace: ...
