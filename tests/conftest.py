"""What the tests share: the data sources they run on, each put back afterwards, and
stand-ins for the market-data client and the data helper for the tests of the compiled
modules."""

import contextlib
import datetime
import importlib.util
from pathlib import Path
from typing import ClassVar

import numpy as np
import pandas as pd
import pytest

import quotaris
from quotaris import MemorySource
from quotaris.demo import demo_bundle_path

EXAMPLE = Path(__file__).parents[1] / "examples" / "import_sp500.py"


@pytest.fixture(scope="session")
def sp500(tmp_path_factory):
    """The S&P 500 sample imported by the example script: a bundle of real prices only."""
    module_spec = importlib.util.spec_from_file_location("import_sp500", EXAMPLE)
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    return example.import_sp500(tmp_path_factory.mktemp("real") / "sp500")


def _chosen_source():
    # Read, not asked for: get_source() would open the demo market when no source was
    # chosen yet, and "none chosen" is then what has to come back.
    return quotaris.client._source


def _choose(source) -> None:
    if source is None:
        quotaris.client._source = None
    else:
        quotaris.init(source)


@contextlib.contextmanager
def using_source(source):
    """Make ``source`` (a data source or a bundle's path) current for the block and yield
    it opened; then the source chosen before is current again."""
    previous = _chosen_source()
    try:
        yield quotaris.init(source)
    finally:
        _choose(previous)


@pytest.fixture(autouse=True)
def _source_put_back():
    """Every test leaves the data source as it found it, also when a command it runs
    chose another."""
    previous = _chosen_source()
    yield
    _choose(previous)


@pytest.fixture
def use_source():
    """Makes a source (or a bundle's path) current until the test ends; returns it opened."""
    with contextlib.ExitStack() as used:
        yield lambda source: used.enter_context(using_source(source))


@pytest.fixture(scope="module")
def demo():
    """The demo market's bundle: its path, and the current source from the first test of
    the module that asks for it to the module's end."""
    path = demo_bundle_path(progress=False)
    with using_source(path):
        yield path


@pytest.fixture
def small_market(use_source):
    """Makes a small market in memory the current source until the test ends; returns
    its daily returns, ``days`` by ``stocks`` (and ``index``).

    A stock's return is ``beta * common + own``: ``common`` is drawn from the normal
    distribution of ``factor`` (mean, standard deviation), ``own`` from one of mean
    ``drift`` and deviation 1.5%, both from ``seed``.  An ``index`` returns the stocks'
    mean and weighs them equally, and again the ones left on a delisting day.
    ``suspended`` maps a stock to the positions of its days without a quote,
    ``delisted`` to the position of its delisting day; on day ``shock`` the first
    stock gains 30% (neither changes the index's returns).
    """

    def make(
        days,
        stocks,
        *,
        seed,
        factor=(0.0, 0.01),
        betas=1.0,
        drift=0.0,
        index=None,
        suspended=None,
        delisted=None,
        shock=None,
    ):
        rng = np.random.default_rng(seed)
        common = rng.normal(*factor, (len(days), 1))
        own = rng.normal(drift, 0.015, (len(days), len(stocks)))
        prices = pd.DataFrame(common * betas + own, index=days, columns=stocks)
        delisted = delisted or {}
        ids, weights = list(stocks), None
        if index is not None:
            prices[index] = prices[stocks].mean(axis=1)
            ids.append(index)
            members, reviews = list(stocks), [(days[0], list(stocks))]
            for stock, day in sorted(delisted.items(), key=lambda item: item[1]):
                members.remove(stock)
                reviews.append((days[day], list(members)))
            weights = pd.concat(
                pd.DataFrame(
                    {
                        "date": date,
                        "index_id": index,
                        "order_book_id": held,
                        "weight": 1 / len(held),
                    }
                )
                for date, held in reviews
            )
        for stock, off in (suspended or {}).items():
            prices.iloc[off, stocks.index(stock)] = np.nan
        for stock, day in delisted.items():
            prices.iloc[day:, stocks.index(stock)] = np.nan
        if shock is not None:
            prices.iloc[shock, 0] = 0.3
        instruments = pd.DataFrame(
            {
                "order_book_id": ids,
                "symbol": [*stocks, "index"][: len(ids)],
                "type": ["CS"] * len(stocks) + ["INDX"] * (len(ids) - len(stocks)),
                "exchange": "XSHG",
                "listed_date": "2010-01-04",
                "de_listed_date": [
                    str(days[delisted[i]].date()) if i in delisted else "0000-00-00" for i in ids
                ],
            }
        )
        use_source(MemorySource(instruments, days, prices, index_weights=weights))
        return prices

    return make


@pytest.fixture
def traded_market(use_source):
    """Makes a market with turnover and float market caps in memory the current source
    until the test ends; returns its tables ``returns``, ``turnover`` and ``float_cap``,
    ``days`` by ``stocks``.

    Returns are normal (mean 0.03%, deviation 1.5%), turnover uniform over 1–5% and
    float caps over 1–5 billion yuan, all drawn from ``seed``; ``quiet`` maps a stock
    to the positions of its days without a quote.
    """

    def make(days, stocks, *, seed, quiet=None):
        rng = np.random.default_rng(seed)
        shape = (len(days), len(stocks))
        tables = {
            "returns": pd.DataFrame(rng.normal(0.0003, 0.015, shape), days, stocks),
            "turnover": pd.DataFrame(rng.uniform(0.01, 0.05, shape), days, stocks),
            "float_cap": pd.DataFrame(rng.uniform(1e9, 5e9, shape), days, stocks),
        }
        for stock, off in (quiet or {}).items():
            for table in tables.values():
                table.iloc[off, stocks.index(stock)] = np.nan
        instruments = pd.DataFrame(
            {
                "order_book_id": stocks,
                "symbol": stocks,
                "type": "CS",
                "exchange": "XSHG",
                "listed_date": "2010-01-04",
            }
        )
        use_source(
            MemorySource(
                instruments,
                days,
                tables["returns"],
                market_cap_float=tables["float_cap"],
                turnover=tables["turnover"],
            )
        )
        return tables

    return make


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
