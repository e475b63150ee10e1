"""What the data helper costs an optimisation, with the risk model built and loaded.

Warm means the market's risk model is in memory (as it is after the first
optimisation of a process).  For each pool the script times a new helper
plus its covariance matrix on a date already forecast (the common case in a
session: many optimisations on one day) and on a date never forecast before
(the case of a backtest: each rebalance is a new day), and puts the helper's
time beside the solve that follows it.  The synthetic 4,000-stock market is
the demo market's simulation with more stocks; the peak memory is that of the
helper and its covariance (tracemalloc counts numpy's allocations).

Targets: ≤ 10 ms for 300 stocks and ≤ 30 ms for 800 on the demo market;
≤ 400 ms and ≤ 300 MB for 4,000 stocks.

    python benchmarks/bench_helper.py [--skip-synthetic]
"""

import argparse
import time
import tracemalloc

import numpy as np

import plovera
import quotaris
from plovera.const import CovModel
from plovera.helper import OptimizeHelper
from plovera.riskmodel import risk_model

DAILY = CovModel.FACTOR_MODEL_DAILY


def best_ms(call, repeat=5):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return 1e3 * min(times)


def helper_with_covariance(pool, date):
    helper = OptimizeHelper(pool, date, None, DAILY)
    helper.get_cov_matrix()
    return helper


def demo_market(dates):
    quotaris.init(quotaris.demo.demo_bundle_path())
    started = time.perf_counter()
    risk_model()
    print(f"risk model loaded in {time.perf_counter() - started:.2f} s")
    print(f"{'pool':>6} {'date':>11} {'same day ms':>12} {'new day ms':>11} {'solve ms':>9} share")
    for index, size in (("000300.XSHG", 300), ("000906.XSHG", 800)):
        for date in dates:
            day = quotaris.to_date(date)
            pool = sorted(quotaris.index_weights(index, day).index)
            started = time.perf_counter()
            helper_with_covariance(pool, day)  # the first forecast of this day
            new_day = 1e3 * (time.perf_counter() - started)
            same_day = best_ms(lambda pool=pool, day=day: helper_with_covariance(pool, day))
            solve = best_ms(lambda pool=pool, day=day: plovera.portfolio_optimize(pool, day), 2)
            print(
                f"{len(pool):>6} {day!s:>11} {same_day:>12.1f} {new_day:>11.1f} {solve:>9.0f} "
                f"{same_day / solve:.1%}"
            )
            assert len(pool) == size


def synthetic_market(n_stocks, date):
    from quotaris.demo import build_demo_tables

    started = time.perf_counter()
    tables = build_demo_tables(start="2015-01-05", end="2019-06-28", n_stocks=n_stocks)
    quotaris.init(quotaris.MemorySource.from_tables(tables))
    simulated = time.perf_counter() - started
    print(f"\nsynthetic market of {n_stocks} stocks simulated in {simulated:.0f} s")
    started = time.perf_counter()
    model = risk_model()
    print(f"risk model built in {time.perf_counter() - started:.0f} s")
    day = quotaris.to_date(date)
    text = str(day)
    ids = [
        record.order_book_id
        for record in quotaris.all_instruments("CS")
        if record.listed_date < text
        and (record.de_listed_date == "0000-00-00" or text < record.de_listed_date)
    ]
    model.forecast(day, ids[:1], DAILY)  # the day's forecast, as a first optimisation makes it
    tracemalloc.start()
    started = time.perf_counter()
    helper = helper_with_covariance(ids, day)
    elapsed = 1e3 * (time.perf_counter() - started)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    cov = helper.get_cov_matrix()
    print(
        f"{len(ids)} stocks: helper + covariance {elapsed:.0f} ms, peak {peak / 2**20:.0f} MB "
        f"(the matrix alone {cov.nbytes / 2**20:.0f} MB); min eigenvalue "
        f"{np.linalg.eigvalsh(cov).min():.2e}"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skip-synthetic", action="store_true")
    args = parser.parse_args()
    demo_market(["2021-06-30", "2024-12-31"])
    if not args.skip_synthetic:
        synthetic_market(4000, "2019-06-28")


if __name__ == "__main__":
    main()
