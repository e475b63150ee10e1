"""Per-call cost of the quotaris readers over an in-memory source, and of the helper covariance.

Run: python benchmarks/bench_memory_source.py
"""

import time

import numpy as np
import pandas as pd

import quotaris
from plovera.const import CovModel
from plovera.helper import OptimizeHelper

STOCKS = 1000
DAYS = pd.bdate_range("2018-01-02", periods=1500)


def build_source() -> quotaris.MemorySource:
    rng = np.random.default_rng(0)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(STOCKS)]
    instruments = pd.DataFrame(
        {
            "order_book_id": ids,
            "symbol": ids,
            "type": "CS",
            "exchange": "XSHG",
            "listed_date": "2000-01-04",
        }
    )
    market = rng.normal(0.0, 0.012, (len(DAYS), 1))
    prices = pd.DataFrame(
        market + rng.normal(0.0, 0.02, (len(DAYS), STOCKS)), index=DAYS, columns=ids
    )
    return quotaris.MemorySource(instruments, DAYS, prices)


def per_call(label: str, call, target: str, repeat: int) -> None:
    call()
    best = float("inf")
    for _ in range(5):
        started = time.perf_counter()
        for _ in range(repeat):
            call()
        best = min(best, (time.perf_counter() - started) / repeat)
    print(f"{label:<52} {best * 1e6:>10.1f} µs   (target {target})")


def main() -> None:
    source = build_source()
    quotaris.init(source)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(STOCKS)]
    date = DAYS[-1].date()
    start = DAYS[-252].date()
    per_call("instruments(800 ids)", lambda: quotaris.instruments(ids[:800]), "1 ms", 200)
    per_call(
        "trading_date_offset(date, -252)",
        lambda: quotaris.trading_date_offset(date, -252),
        "20 µs",
        20000,
    )
    per_call(
        "trading_date_offset('YYYY-MM-DD', -1)",
        lambda: quotaris.trading_date_offset("2023-06-05", -1),
        "20 µs",
        20000,
    )
    per_call(
        "get_price_change_rate(300 ids, 252 days)",
        lambda: quotaris.get_price_change_rate(ids[:300], start, date),
        "2 ms",
        200,
    )
    per_call(
        "OptimizeHelper(300 ids).get_cov_matrix()",
        lambda: OptimizeHelper(ids[:300], date, None, CovModel.FACTOR_MODEL_DAILY).get_cov_matrix(),
        "none",
        10,
    )


if __name__ == "__main__":
    main()
