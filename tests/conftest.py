"""Stand-ins for the market-data client and the data helper, shared by the tests of the
compiled modules."""

import datetime
import importlib.util
from pathlib import Path
from typing import ClassVar

import numpy as np
import pandas as pd
import pytest

EXAMPLE = Path(__file__).parents[1] / "examples" / "import_sp500.py"


@pytest.fixture(scope="session")
def sp500(tmp_path_factory):
    """The S&P 500 sample imported by the example script: a bundle of real prices only."""
    module_spec = importlib.util.spec_from_file_location("import_sp500", EXAMPLE)
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    return example.import_sp500(tmp_path_factory.mktemp("real") / "sp500")


class RecordingQuotaris:
    """A positional-only market-data client that records every call as (name, *args).

    ``records`` answers ``instruments``; ``annual`` gives each identifier's daily
    change rate as annual / 252 over two days, so the annualised mean is exactly
    ``annual``; ``index_changes`` is the series served for one identifier;
    ``start`` is what ``trading_date_offset`` returns (by default the date moved
    back by as many calendar days as trading days were asked).
    """

    def __init__(self, records=None, annual=None, weights=None, index_changes=None, start=None):
        self.calls = []
        self.records = records or {}
        self.annual = annual or {}
        self.weights = weights
        self.index_changes = index_changes
        self.start = start

    def instruments(self, order_book_ids, /):
        self.calls.append(("instruments", order_book_ids))
        if isinstance(order_book_ids, str):
            return self.records.get(order_book_ids)
        return [self.records[i] for i in order_book_ids if i in self.records]

    def index_weights(self, order_book_id, date, /):
        self.calls.append(("index_weights", order_book_id, date))
        return self.weights

    def trading_date_offset(self, date, n, /):
        self.calls.append(("trading_date_offset", date, n))
        return self.start if self.start is not None else date - datetime.timedelta(days=-n)

    def get_price_change_rate(self, order_book_ids, start, end, /):
        if isinstance(order_book_ids, str):
            self.calls.append(("get_price_change_rate", order_book_ids, start, end))
            return self.index_changes
        self.calls.append(("get_price_change_rate", list(order_book_ids), start, end))
        return pd.DataFrame({i: [self.annual[i] / 252] * 2 for i in order_book_ids})


class FakeHelper:
    """A data helper with a fixed covariance matrix.

    Built the way the entry builds one (the class attributes ``cov`` and
    ``built`` let a test set the matrix and see the constructions), or by a
    test with its own matrix, union and benchmark weights.
    """

    cov = None
    built: ClassVar[list] = []

    def __init__(
        self,
        order_book_ids,
        date=None,
        benchmark=None,
        cov_model=None,
        *,
        cov=None,
        union=None,
        bw=None,
        prev_trading_date=None,
    ):
        FakeHelper.built.append((order_book_ids, date, benchmark, cov_model))
        self.order_book_ids = list(order_book_ids)
        self.date, self.prev_trading_date, self.benchmark = date, prev_trading_date, benchmark
        n = len(self.order_book_ids)
        if cov is None:
            cov = (
                FakeHelper.cov
                if FakeHelper.cov is not None
                else np.diag(np.linspace(0.01, 0.04, n))
            )
            cov = cov[:n, :n]
        self.cov = np.asarray(cov)
        self.union_components = list(union or self.order_book_ids)
        self.benchmark_weight = pd.Series(bw or 0.0, index=self.union_components)
        self.exposure = pd.DataFrame(index=self.order_book_ids)
        self.benchmark_style = pd.Series(dtype=float)

    def get_cov_matrix(self):
        return self.cov

    get_union_cov_matrix = get_cov_matrix

    def get_factor_exposure(self):
        return self.exposure

    def get_benchmark_style(self):
        return self.benchmark_style
