"""Benchmarks the optimisation measures active weights against (compiled module)."""

import datetime
from abc import abstractmethod as abstractmethod

import pandas

import quotaris as quotaris

from .exception import InvalidArgument as InvalidArgument

class OptimizeBenchmark:
    @abstractmethod
    def get_weight(self, date: datetime.date) -> pandas.Series: ...
    @abstractmethod
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float: ...

class IndexBenchmark(OptimizeBenchmark):
    _order_book_id: str
    def __init__(self, order_book_id: str) -> None: ...
    def get_weight(self, date: datetime.date) -> pandas.Series: ...
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float: ...
