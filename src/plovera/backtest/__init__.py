"""Backtests of optimised strategies: serial, on local processes or on a Dask cluster.

On a cluster the data bundle must live on storage every worker can read at
the same path: workers open it by its path, once per process, and load the
bundle's risk model from their own cache the same way.  Start the workers
under ``dask.config.set(DASK_WORKER_CONFIG)`` (or its equivalent in the
workers' Dask configuration) so they optimise as fast as a plain process.
"""

from .engine import run_backtest, run_backtests
from .executors import DASK_WORKER_CONFIG, BacktestError
from .result import BacktestResult, Failure
from .strategy import Strategy

__all__ = [
    "DASK_WORKER_CONFIG",
    "BacktestError",
    "BacktestResult",
    "Failure",
    "Strategy",
    "run_backtest",
    "run_backtests",
]
