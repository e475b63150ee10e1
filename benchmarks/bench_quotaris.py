"""Timings of a bundle the size of the demo market.

Builds a synthetic market of random data (1,000 stocks and 4 indices over the
XSHG trading days 2015-01-05 to 2025-12-31) in a temporary directory, writes
it as a bundle and prints how long opening it and each query take.

    PYTHONPATH=src python benchmarks/bench_quotaris.py
"""

from __future__ import annotations

import datetime
import os
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

import numpy as np
import pandas as pd

from plovera.const import STYLE_FACTORS
from quotaris.bundle import BundleSource, write_bundle
from quotaris.tables import FUNDAMENTAL_FIELDS, BundleTables
from quotaris.validate import exchange_sessions

STOCKS = 1000
INDICES = {"000016.XSHG": 50, "000300.XSHG": 300, "000905.XSHG": 500, "000852.XSHG": 1000}
FIRST, LAST = "2015-01-05", "2025-12-31"
STOCK_FOR_TIMING = "000000.XSHE"


def synthetic_market(seed: int = 7) -> BundleTables:
    rng = np.random.default_rng(seed)
    dates = exchange_sessions("XSHG", FIRST, LAST)
    days = len(dates)
    stocks = [f"{600000 + i}.XSHG" if i % 2 else f"{i:06d}.XSHE" for i in range(STOCKS)]
    # A quarter of the stocks list during the period, a twentieth delist.
    listed_at = np.where(rng.random(STOCKS) < 0.25, rng.integers(1, days // 2, STOCKS), 0)
    delisted_at = np.where(rng.random(STOCKS) < 0.05, rng.integers(days // 2, days, STOCKS), -1)
    listed = ["2010-01-04" if at == 0 else f"{dates[at]:%Y-%m-%d}" for at in listed_at]
    delisted = ["0000-00-00" if at < 0 else f"{dates[at]:%Y-%m-%d}" for at in delisted_at]
    instruments = pd.DataFrame(
        {
            "order_book_id": stocks + list(INDICES),
            "symbol": [f"S{i}" for i in range(STOCKS)] + [f"I{i}" for i in range(len(INDICES))],
            "type": ["CS"] * STOCKS + ["INDX"] * len(INDICES),
            "exchange": [order_book_id[-4:] for order_book_id in stocks + list(INDICES)],
            "listed_date": listed + ["2005-01-04"] * len(INDICES),
            "de_listed_date": delisted + ["0000-00-00"] * len(INDICES),
        }
    )
    row = np.arange(days)[:, None]
    trading = (row >= listed_at[None, :]) & ((delisted_at < 0) | (row <= delisted_at[None, :]))

    def stock_table(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(np.where(trading, values, np.nan), index=dates, columns=stocks)

    returns = stock_table(rng.normal(0.0003, 0.02, (days, STOCKS)))
    for index_id in INDICES:
        returns[index_id] = rng.normal(0.0002, 0.012, days)
    total = stock_table(np.exp(rng.normal(23, 1, STOCKS))[None, :] * np.ones((days, 1)))
    floating = total * rng.uniform(0.3, 1.0, STOCKS)

    month_starts = np.flatnonzero(np.r_[True, dates.month[1:] != dates.month[:-1]])
    weight_rows = []
    for at in month_starts:
        alive = np.flatnonzero(trading[at])
        for index_id, size in INDICES.items():
            members = np.sort(rng.choice(alive, size=min(size, len(alive)), replace=False))
            weights = rng.dirichlet(np.ones(len(members)))
            weight_rows.append(
                pd.DataFrame(
                    {
                        "date": dates[at],
                        "index_id": index_id,
                        "order_book_id": np.array(stocks)[members],
                        "weight": weights,
                    }
                )
            )
    industry = pd.DataFrame(
        {
            "order_book_id": np.repeat(stocks, 2),
            "scheme": ["sws", "citic"] * STOCKS,
            "start_date": pd.Timestamp("2010-01-04"),
            "industry_code": [f"C{code}" for code in rng.integers(0, 30, 2 * STOCKS)],
            "industry_name": [f"industry {code}" for code in rng.integers(0, 30, 2 * STOCKS)],
        }
    )
    quarters = pd.date_range("2014-04-30", LAST, freq="QE")
    fundamentals = pd.DataFrame(
        {
            "order_book_id": np.tile(stocks, len(quarters)),
            "announce_date": np.repeat(quarters, STOCKS),
            **{field: rng.lognormal(20, 1, STOCKS * len(quarters)) for field in FUNDAMENTAL_FIELDS},
        }
    )
    exposure_rows = [
        pd.DataFrame(
            {
                "date": dates[at],
                "order_book_id": np.array(stocks)[np.flatnonzero(trading[at])],
                **{
                    style: rng.normal(size=np.count_nonzero(trading[at])) for style in STYLE_FACTORS
                },
            }
        )
        for at in month_starts
    ]
    return BundleTables(
        instruments=instruments,
        calendar="XSHG",
        trading_dates=dates,
        price_change_rate=returns,
        market_cap_total=total,
        market_cap_float=floating,
        turnover=stock_table(rng.uniform(0.001, 0.05, (days, STOCKS))),
        index_weights=pd.concat(weight_rows, ignore_index=True),
        industry=industry,
        fundamentals=fundamentals,
        style_exposure=pd.concat(exposure_rows, ignore_index=True),
    )


_OPEN_ONCE = """
import datetime, sys, time
from quotaris.bundle import BundleSource
started = time.perf_counter()
source = BundleSource(sys.argv[1])
opened = time.perf_counter()
source.price_change_rate([sys.argv[2]], datetime.date(2025, 1, 2), datetime.date(2025, 12, 31))
print((opened - started) * 1e3, (time.perf_counter() - opened) * 1e3)
"""


def _time_first_open(root: Path, order_book_id: str) -> tuple[float, float]:
    """Milliseconds a new process takes to open the bundle (imports excluded) and to
    answer its first price query, which decodes the price table."""
    source_dir = Path(__file__).resolve().parents[1] / "src"
    search_path = [str(source_dir), os.environ.get("PYTHONPATH", "")]
    result = subprocess.run(
        [sys.executable, "-c", _OPEN_ONCE, str(root), order_book_id],
        check=True,
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(search_path)},
    )
    opening, first_query = result.stdout.split()
    return float(opening), float(first_query)


def best_of(call, number: int = 200) -> float:
    """Best time of one call in milliseconds."""
    return min(timeit.repeat(call, number=number, repeat=5)) / number * 1e3


def main() -> None:
    started = time.perf_counter()
    tables = synthetic_market()
    print(f"built synthetic market          {time.perf_counter() - started:8.1f} s")
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch) / "bundle"
        started = time.perf_counter()
        write_bundle(root, tables)
        print(f"write_bundle                    {time.perf_counter() - started:8.2f} s")
        size = sum(path.stat().st_size for path in root.iterdir()) / 1e6
        print(f"bundle size                     {size:8.1f} MB")
        # Opening is timed in fresh processes, as a user's first open would be.
        runs = sorted(_time_first_open(root, STOCK_FOR_TIMING) for _ in range(5))
        print(f"open (fresh process, median)    {runs[2][0]:8.1f} ms")
        first_queries = sorted(first_query for _, first_query in runs)
        print(f"first price_change_rate, median {first_queries[2]:8.1f} ms  (decodes the table)")
        source = BundleSource(root)
        print(f"open (again, cached)            {best_of(lambda: BundleSource(root)):8.3f} ms")
        stocks = list(tables.instruments["order_book_id"][:STOCKS])
        rng = np.random.default_rng(1)
        pool = list(rng.choice(stocks, 300, replace=False))
        many = list(rng.choice(stocks, 800, replace=False))
        dates = source.trading_dates()
        start, end = dates[-252].date(), dates[-1].date()
        day = datetime.date(2023, 6, 15)
        timings = {
            "price_change_rate 300 x 252": lambda: source.price_change_rate(pool, start, end),
            "instruments 800": lambda: source.instruments(many),
            "index_weights 000300.XSHG": lambda: source.index_weights("000300.XSHG", day),
            "index_weights 000852.XSHG": lambda: source.index_weights("000852.XSHG", day),
            "market_cap float 300 x 252": lambda: source.market_cap(pool, start, end, "float"),
            "turnover 300 x 252": lambda: source.turnover(pool, start, end),
            "style_exposure 300": lambda: source.style_exposure(pool, day),
            "industry sws 300": lambda: source.industry(pool, day, "sws"),
            "fundamentals 300 x 6": lambda: source.fundamentals(
                pool, day, list(FUNDAMENTAL_FIELDS)
            ),
            "trading_dates": source.trading_dates,
        }
        for label, call in timings.items():
            print(f"{label:32}{best_of(call):8.3f} ms")


if __name__ == "__main__":
    main()
