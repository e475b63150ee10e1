"""Timings of the trading-data readers over a whole market.

Builds a synthetic market of 5,500 stocks of every board over the XSHG trading
days 2015-01-05 to 2025-12-31 (closes in fen, suspensions, listings during the
period, a few hundred periods of special treatment), serves it from memory and
prints how long one date's price limits, special treatment and boards take for
every stock, as a backtest asks for them on each rebalance.

    PYTHONPATH=src python benchmarks/bench_price_limits.py
"""

from __future__ import annotations

import time
import timeit

import numpy as np
import pandas as pd

import quotaris
from quotaris.limits import round_to_fen
from quotaris.validate import exchange_sessions

STOCKS = 5500
FIRST, LAST = "2015-01-05", "2025-12-31"
PREFIXES = ("600", "601", "000", "002", "300", "688", "830")
EXCHANGES = {"6": "XSHG", "0": "XSHE", "3": "XSHE", "8": "BJSE"}


def synthetic_market(seed: int = 11) -> quotaris.MemorySource:
    rng = np.random.default_rng(seed)
    dates = exchange_sessions("XSHG", FIRST, LAST)
    days = len(dates)
    codes = [f"{PREFIXES[i % len(PREFIXES)]}{i // len(PREFIXES):03d}" for i in range(STOCKS)]
    exchanges = [EXCHANGES[code[0]] for code in codes]
    ids = [f"{code}.{exchange}" for code, exchange in zip(codes, exchanges, strict=True)]
    listed_at = np.where(rng.random(STOCKS) < 0.3, rng.integers(1, days - 50, STOCKS), 0)
    instruments = pd.DataFrame(
        {
            "order_book_id": ids,
            "symbol": ids,
            "type": "CS",
            "exchange": exchanges,
            "listed_date": [f"{dates[at]:%Y-%m-%d}" if at else "2010-01-04" for at in listed_at],
        }
    )
    row = np.arange(days)[:, None]
    quoted = (row >= listed_at) & (rng.random((days, STOCKS)) > 0.02)
    closes = np.empty((days, STOCKS))
    closes[0] = round_to_fen(rng.uniform(3, 80, STOCKS))
    steps = np.clip(rng.standard_t(4, (days, STOCKS)) * 0.02, -0.1, 0.1)
    for day in range(1, days):
        closes[day] = np.maximum(round_to_fen(closes[day - 1] * (1 + steps[day])), 0.01)
    closes = pd.DataFrame(np.where(quoted, closes, np.nan), index=dates, columns=ids)
    changes = closes / closes.ffill().shift(1) - 1.0
    stocks = rng.choice(STOCKS, 400, replace=False)
    start = listed_at[stocks] + rng.integers(1, 40, stocks.size)
    special = pd.DataFrame(
        {
            "order_book_id": np.array(ids)[stocks],
            "start_date": dates[start],
            "end_date": dates[np.minimum(start + rng.integers(60, 500, stocks.size), days - 1)],
            "status": rng.choice(["ST", "*ST"], stocks.size),
        }
    )
    return quotaris.MemorySource(
        instruments,
        dates,
        changes,
        closes=closes,
        special_treatment=special,
        calendar="XSHG",
    )


def main() -> None:
    began = time.perf_counter()
    quotaris.init(synthetic_market())
    print(f"market of {STOCKS} stocks built and checked in {time.perf_counter() - began:.1f} s")
    ids = [record.order_book_id for record in quotaris.all_instruments("CS")]
    day = "2024-06-03"
    quotaris.get_price_limits(ids, day)  # the first call works out where each column's values lie
    for name, call in (
        ("get_price_limits", lambda: quotaris.get_price_limits(ids, day)),
        ("get_special_treatment", lambda: quotaris.get_special_treatment(ids, day)),
        ("get_board", lambda: quotaris.get_board(ids)),
        ("get_close, one day", lambda: quotaris.get_close(ids, day, day)),
    ):
        runs = 50
        seconds = min(timeit.repeat(call, number=runs, repeat=3)) / runs
        print(f"{name:>24}: {seconds * 1e3:.2f} ms for {len(ids)} stocks")
    limits = quotaris.get_price_limits(ids, day)
    print(limits[["at_limit_up", "at_limit_down"]].sum().to_string())


if __name__ == "__main__":
    main()
