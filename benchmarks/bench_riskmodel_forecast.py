"""Risk model forecasts, warm (model built and in memory): the demo market and a synthetic
4,000-stock market.

Prints the build time by stage; the full-market forecast of dates never forecast
before (targets: well under 100 ms on the demo, at most 300 ms at 4,000 stocks); the
forecast of 300 stocks on an already-forecast date (target 2 ms) and with the
covariance X F Xᵀ + Δ assembled from it (target 10 ms).

    python benchmarks/bench_riskmodel_forecast.py [--skip-demo] [--skip-synthetic]

The kernels make many small BLAS calls: on a busy machine compare with
OPENBLAS_NUM_THREADS=1.
"""

import argparse
import os
import time

import numpy as np
import pandas as pd

import quotaris
from plovera.const import CovModel
from plovera.riskmodel import assemble
from plovera.riskmodel.model import RiskModel
from plovera.riskmodel.panel import MarketPanel
from quotaris import MemorySource
from quotaris.demo import demo_bundle_path


def synthetic_tables(n_stocks=4000, n_days=640, n_industries=31, seed=7):
    """A market of prices, caps, turnover and industries (no fundamentals: their styles
    need years of announcements); a few stocks list late, so some exposures are imputed."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2021-01-04", periods=n_days)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(n_stocks)]
    industry = rng.integers(0, n_industries, n_stocks)
    log_cap = rng.normal(22.0, 1.0, n_stocks)
    vol = 0.02 * np.exp(-0.2 * (log_cap - 22.0) + 0.2 * rng.standard_normal(n_stocks))
    returns = (
        (1.0 + 0.3 * rng.standard_normal(n_stocks)) * rng.normal(0.0, 0.012, (n_days, 1))
        + rng.normal(0.0, 0.006, (n_days, n_industries))[:, industry]
        + vol * rng.standard_normal((n_days, n_stocks))
    )
    listed_day = np.where(rng.random(n_stocks) < 0.02, n_days - 30, -1000)
    day = np.arange(n_days)[:, None]
    returns = np.where(day > listed_day, returns, np.nan)
    cap = np.exp(log_cap) * np.cumprod(np.where(np.isfinite(returns), 1 + returns, 1.0), axis=0)
    cap = np.where(day >= listed_day, cap, np.nan)
    turnover = np.where(
        np.isfinite(returns), np.exp(rng.normal(np.log(0.01), 0.3, (n_days, n_stocks))), np.nan
    )
    listed = pd.DatetimeIndex(
        [days[k] if k >= 0 else pd.Timestamp("2015-01-05") for k in listed_day]
    )
    instruments = pd.DataFrame(
        {
            "order_book_id": ids,
            "symbol": ids,
            "type": "CS",
            "exchange": "XSHG",
            "listed_date": listed.strftime("%Y-%m-%d"),
        }
    )
    industries = pd.DataFrame(
        {
            "order_book_id": ids,
            "scheme": "sws",
            "start_date": listed,
            "industry_code": [str(801000 + 10 * k) for k in industry],
            "industry_name": [f"industry {k:02d}" for k in industry],
        }
    )
    frame = lambda values: pd.DataFrame(values, index=days, columns=ids)  # noqa: E731
    source = MemorySource(
        instruments,
        days,
        price_change_rate=frame(returns),
        market_cap_total=frame(cap),
        turnover=frame(turnover),
        industry=industries,
    )
    return source, ids


def build(label, load):
    started = time.perf_counter()
    panel = load()
    loaded = time.perf_counter() - started
    stages = {}
    last = [time.perf_counter(), None]

    def progress(fraction, stage):
        del fraction
        now = time.perf_counter()
        if last[1] is not None:
            stages[last[1]] = stages.get(last[1], 0.0) + now - last[0]
        last[:] = [now, stage]

    model = RiskModel.build(panel, progress)
    breakdown = ", ".join(f"{stage} {seconds:.1f} s" for stage, seconds in stages.items())
    print(f"{label}: {panel.n_days} days x {panel.n_stocks} stocks, panel load {loaded:.1f} s")
    print(f"  build {model.build_seconds:.1f} s ({breakdown})")
    return model


def forecasts(model, n_dates=4):
    """Full-market forecasts of dates never forecast before, then 300 stocks of the last."""
    first = model.day_of(model.first_date)
    days = np.linspace(first + 5, model.n_days - 1, n_dates).astype(int)
    for cov_model in CovModel:
        times = []
        for day in days:
            ids = list(model.order_book_ids[model._alive(int(day))])
            started = time.perf_counter()
            model.forecast(model.dates[day], ids, cov_model)
            times.append(time.perf_counter() - started)
        pool = ids[:300]
        cached, assembled = [], []
        for _ in range(30):
            started = time.perf_counter()
            part = model.forecast(model.dates[day], pool, cov_model)
            cached.append(time.perf_counter() - started)
            assemble(part.exposures, part.factor_covariance, part.specific_variance)
            assembled.append(time.perf_counter() - started)
        print(
            f"  {cov_model.name:24s} full market ({len(ids)}): best {1e3 * min(times):6.1f} ms,"
            f" median {1e3 * np.median(times):6.1f} ms | 300 stocks cached:"
            f" {1e3 * np.median(cached):.2f} ms,"
            f" with X F X' + D {1e3 * np.median(assembled):.2f} ms"
        )
    whole = model.forecast(model.dates[day], ids, CovModel.FACTOR_MODEL_DAILY)
    started = time.perf_counter()
    assemble(whole.exposures, whole.factor_covariance, whole.specific_variance)
    seconds = time.perf_counter() - started
    print(f"  X F X' + D over all {len(ids)} stocks: {1e3 * seconds:.0f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skip-demo", action="store_true")
    parser.add_argument("--skip-synthetic", action="store_true")
    args = parser.parse_args()
    print(f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}")
    if not args.skip_demo:
        quotaris.init(demo_bundle_path())
        forecasts(build("demo market", MarketPanel.load))
    if not args.skip_synthetic:
        source, ids = synthetic_tables()
        quotaris.init(source)
        forecasts(build("synthetic market", lambda: MarketPanel.load(order_book_ids=ids)))


if __name__ == "__main__":
    main()
