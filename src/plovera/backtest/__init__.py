"""Backtests of optimised strategies: serial, on local processes or on a Dask cluster.

On a cluster the data bundle must live on storage every worker can read at
the same path: workers open it by its path, once per process, and load the
bundle's risk model from their own cache the same way.
"""

from .engine import run_backtest, run_backtests
from .result import BacktestResult, Failure
from .strategy import Strategy

__all__ = ["BacktestResult", "Failure", "Strategy", "run_backtest", "run_backtests"]
