"""Trust report of the risk model: bias statistics out of sample on the demo market.

For each CovModel, with its adjustments on, then with the eigenfactor and then
the volatility-regime adjustment off, the bias statistic (standard deviation of
z = realised return / forecast volatility, both over the model's horizon) of

- factors: every factor return series of the model;
- random: 100 random long-only portfolios of CSI 800 constituents (20 to 200
  names each, exponential weights, drawn anew on each forecast day);
- min_variance: the long-only minimum-variance portfolio of the CSI 800 and of
  four random halves of it, each built from the forecast it is judged by;
- tracking: the active return of five long-only 100-stock subsets of the CSI 300
  (drawn with probability rising with index weight) at minimum tracking error.

Timing: the forecast for day d uses data through d − 1 and covers the returns
of days d, d + 1, ..., d + h − 1 (h = 1, 21, 63); a portfolio is formed at the
close of d − 1 and held for h days.  Stock returns come from
quotaris.get_price_change_rate, compounded over the horizon, a day without a
quote counting as no change (a stock delisted within the horizon is held as
cash); factor returns are the model's fitted daily ones, summed.  Forecast
days in 2018–2025 with their horizon inside the data: every 5th trading day
for the daily model, every 21st for the monthly one, and every 21st for the
quarterly one too, whose 63-day horizons then overlap by two thirds: the
statistic is computed the same way, but its 95% band counts a third of the
outcomes as independent.

Also plotted (--png): the bias statistics over rolling 12-month windows,
averaged over each test's series; and printed: the correlation of the fitted
style factor returns with those the demo market was generated from.

    python benchmarks/riskmodel_trust.py [--quick] [--png PATH] [--jobs N]

--quick: 2018–2019 only and 50 eigenfactor simulations instead of the model's.
"""

import argparse
import os
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import replace
from multiprocessing import get_context
from pathlib import Path

import numpy as np
import pandas as pd

import quotaris
from plovera.const import STYLE_FACTORS, CovModel
from plovera.riskmodel.evaluation import bias_band, bias_statistic, long_only_min_variance
from plovera.riskmodel.model import RiskModel
from plovera.riskmodel.panel import MarketPanel
from plovera.riskmodel.parameters import parameters_for
from quotaris.demo import DEMO_SEED, demo_bundle_path, simulate_demo_market
from quotaris.tables import TRADING_DAYS_PER_YEAR

CSI300, CSI800 = "000300.XSHG", "000906.XSHG"
MODELS = {
    CovModel.FACTOR_MODEL_DAILY: ("daily", 5),
    CovModel.FACTOR_MODEL_MONTHLY: ("monthly", 21),
    CovModel.FACTOR_MODEL_QUARTERLY: ("quarterly", 21),
}
VARIANTS = {"adjusted": (True, True), "no eigenfactor": (False, True), "no regime": (True, False)}
TESTS = ("factors", "random", "min_variance", "tracking")
N_RANDOM, N_MIN_VARIANCE, N_TRACKING, TRACKING_NAMES = 100, 5, 5, 100
BAND = (0.8, 1.2)
SEED = 20180102

# Set before the workers fork, so that they share the built model and the data.
_MODEL: RiskModel | None = None
_DAYS: dict = {}


def forecast_days(model, cov_model, first, last):
    """Panel positions of the forecast days of ``cov_model`` from ``first`` to ``last``."""
    horizon = parameters_for(cov_model).horizon
    start = max(
        int(model.dates.searchsorted(pd.Timestamp(first))), model.dates.get_loc(model.first_date)
    )
    stop = min(
        int(model.dates.searchsorted(pd.Timestamp(last), side="right")), model.n_days - horizon + 1
    )
    return np.arange(start, stop, MODELS[cov_model][1])


class Day:
    """What one forecast day's tests hold, whatever the model variant."""

    def __init__(self, model, returns, day, horizon):
        date = model.dates[day]
        self.date = date
        alive = model.order_book_ids
        self.csi800 = _constituents(CSI800, date, alive)
        benchmark = quotaris.index_weights(CSI300, date)
        benchmark = benchmark[benchmark.index.isin(alive)]
        self.benchmark = benchmark / benchmark.sum()
        columns = model.order_book_ids.get_indexer(self.csi800)
        grown = np.prod(1.0 + np.nan_to_num(returns[day : day + horizon, columns]), axis=0)
        self.realised = pd.Series(grown - 1.0, index=self.csi800)
        factors = model.factor_returns[day : day + horizon]
        self.factor_realised = np.where(
            np.isfinite(factors).any(axis=0), np.nansum(factors, axis=0), np.nan
        )
        rng = np.random.default_rng([SEED, day])
        n = len(self.csi800)
        self.random = np.zeros((N_RANDOM, n))
        for row in self.random:
            names = rng.choice(n, rng.integers(20, 201), replace=False)
            row[names] = rng.exponential(size=names.size)
            row /= row.sum()
        self.halves = [
            np.sort(rng.choice(n, n // 2, replace=False)) for _ in range(N_MIN_VARIANCE - 1)
        ]
        prob = np.sqrt(self.benchmark.to_numpy())
        self.subsets = [
            np.sort(rng.choice(len(benchmark), TRACKING_NAMES, replace=False, p=prob / prob.sum()))
            for _ in range(N_TRACKING)
        ]


def _constituents(index, date, alive):
    weights = quotaris.index_weights(index, date)
    return [i for i in weights.index if i in alive]


def evaluate(task):
    """z of every series of every test on every forecast day of one model variant."""
    cov_model, params = task
    model, days = _MODEL, _DAYS[cov_model]
    years = params.horizon / TRADING_DAYS_PER_YEAR
    out = {
        "factors": np.full((len(days), len(model.factors)), np.nan),
        "random": np.full((len(days), N_RANDOM), np.nan),
        "min_variance": np.full((len(days), N_MIN_VARIANCE), np.nan),
        "tracking": np.full((len(days), N_TRACKING), np.nan),
    }
    for row, day in enumerate(days):
        fm = model.forecast(day.date, day.csi800, cov_model, params)
        x = fm.exposures.to_numpy()
        f = fm.factor_covariance.to_numpy()
        delta = fm.specific_variance.to_numpy()
        columns = [model.factors.index(name) for name in fm.factor_covariance.columns]
        out["factors"][row, columns] = day.factor_realised[columns] / np.sqrt(np.diag(f) * years)

        def z(weights, x=x, f=f, delta=delta, day=day):
            """Realised over forecast volatility of portfolios (rows of ``weights``)."""
            load = weights @ x
            variance = np.einsum("ij,jk,ik->i", load, f, load) + (weights**2) @ delta
            return (weights @ day.realised.to_numpy()) / np.sqrt(variance * years)

        out["random"][row] = z(day.random)
        everyone = np.arange(len(day.csi800))
        portfolios = np.zeros((N_MIN_VARIANCE, len(day.csi800)))
        for k, names in enumerate([everyone, *day.halves]):
            portfolios[k, names] = long_only_min_variance(x[names], f, delta[names])
        out["min_variance"][row] = z(portfolios)

        rows = pd.Index(day.csi800).get_indexer(day.benchmark.index)
        b = np.zeros(len(day.csi800))
        b[rows] = day.benchmark.to_numpy()
        sigma_b = x @ (f @ (x.T @ b)) + delta * b
        active = np.zeros((N_TRACKING, len(day.csi800)))
        for k, subset in enumerate(day.subsets):
            names = rows[subset]
            active[k, names] = long_only_min_variance(x[names], f, delta[names], sigma_b[names])
        out["tracking"][row] = z(active - b)
    return out


def run_all(tasks, jobs):
    if jobs == 1:
        return [evaluate(task) for task in tasks]
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    with ProcessPoolExecutor(jobs, mp_context=get_context("fork"), initializer=_one_thread) as pool:
        return list(pool.map(evaluate, tasks))


def _one_thread():
    from threadpoolctl import threadpool_limits

    threadpool_limits(1)


def summary(z, overlap):
    """Per test: the bias statistic of each series, and its band."""
    stats = np.array([bias_statistic(column, np.ones_like(column)) for column in z.T])
    stats = stats[np.isfinite(stats)]
    n_obs = int(np.isfinite(z).sum(axis=0).max())
    return stats, bias_band(n_obs, overlap)


def rolling(dates, z, window="365D"):
    """Mean over series of the bias statistic over the 12 months up to each date."""
    frame = pd.DataFrame(z, index=dates)
    values = []
    for date in dates:
        recent = frame[(frame.index > date - pd.Timedelta(window)) & (frame.index <= date)]
        stats = recent.std(ddof=1)
        values.append(stats.mean() if len(recent) >= 6 else np.nan)
    return pd.Series(values, index=dates)


def style_correlation(model, first, last):
    truth = simulate_demo_market(DEMO_SEED).factor_returns
    fitted = pd.DataFrame(model.factor_returns, index=model.dates, columns=model.factors)
    rows = {}
    for label, (begin, end) in {"all": (None, None), "out of sample": (first, last)}.items():
        span = slice(begin, end)
        both = pd.concat({"fit": fitted.loc[span], "true": truth.loc[span]}, axis=1).dropna()
        rows[label] = {
            s: both["fit"][s].corr(both["true"][s]) for s in STYLE_FACTORS if s in model.styles
        }
        rows[label + " days"] = {s: len(both) for s in rows[label]}
    return pd.DataFrame(rows)


def main():
    global _MODEL
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--png", default="benchmarks/output/riskmodel_trust.png")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    first, last = "2018-01-01", "2019-12-31" if args.quick else "2025-12-31"

    started = time.perf_counter()
    quotaris.init(demo_bundle_path())
    panel = MarketPanel.load()
    _MODEL = RiskModel.build(panel)
    print(
        f"model built in {time.perf_counter() - started:.1f} s; "
        f"first forecast date {_MODEL.first_date.date()}"
    )
    prices = quotaris.get_price_change_rate(
        list(_MODEL.order_book_ids), _MODEL.dates[0], _MODEL.dates[-1]
    )
    returns = prices.reindex(index=_MODEL.dates, columns=_MODEL.order_book_ids).to_numpy()
    for cov_model in MODELS:
        horizon = parameters_for(cov_model).horizon
        positions = forecast_days(_MODEL, cov_model, first, last)
        _DAYS[cov_model] = [Day(_MODEL, returns, int(p), horizon) for p in positions]

    tasks, labels = [], []
    for cov_model in MODELS:
        for variant, (eigenfactor, regime) in VARIANTS.items():
            params = parameters_for(cov_model, eigenfactor=eigenfactor, regime=regime)
            if args.quick:
                params = replace(params, eigenfactor_simulations=50)
            tasks.append((cov_model, params))
            labels.append((cov_model, variant))
    # The daily model's tasks are the long ones: start them first.
    order = sorted(range(len(tasks)), key=lambda i: -len(_DAYS[tasks[i][0]]))
    done = run_all([tasks[i] for i in order], args.jobs)
    results = {labels[i]: out for i, out in zip(order, done, strict=True)}
    print(f"forecasts and portfolios done in {time.perf_counter() - started:.1f} s")

    print_table(results)
    plot(results, Path(args.png))
    print("\ncorrelation of fitted style factor returns with the generating ones (target > 0.9)")
    print(style_correlation(_MODEL, first, last).round(3).to_string())
    print(f"\ntotal {time.perf_counter() - started:.1f} s")


def print_table(results):
    for cov_model, (_name, step) in MODELS.items():
        days = _DAYS[cov_model]
        horizon = parameters_for(cov_model).horizon
        overlap = max(1, -(-horizon // step))
        print(
            f"\n{cov_model.name}: {len(days)} forecast days {days[0].date.date()} to "
            f"{days[-1].date.date()}, every {step} trading days, horizon {horizon}"
            + (
                f" (overlapping: band for {len(days) // overlap} independent)"
                if overlap > 1
                else ""
            )
        )
        header = f"{'test':26s}" + "".join(f"{v:>16s}" for v in VARIANTS)
        print(header)
        lines = {}
        for variant in VARIANTS:
            out = results[(cov_model, variant)]
            for test in TESTS:
                stats, band = summary(out[test], overlap)
                inside = np.mean((stats >= BAND[0]) & (stats <= BAND[1]))
                if test in ("factors", "random"):
                    lines.setdefault(f"{test} mean", []).append(f"{stats.mean():.3f}")
                    lines.setdefault(f"{test} median", []).append(f"{np.median(stats):.3f}")
                    lines.setdefault(f"{test} min / max", []).append(
                        f"{stats.min():.2f}/{stats.max():.2f}"
                    )
                    lines.setdefault(f"{test} share in band", []).append(f"{inside:.0%}")
                else:
                    lines.setdefault(f"{test} mean", []).append(f"{stats.mean():.3f}")
                    lines.setdefault(f"{test} min / max", []).append(
                        f"{stats.min():.2f}/{stats.max():.2f}"
                    )
                lines.setdefault("95% band (one series)", [""])[0] = f"{band[0]:.2f}-{band[1]:.2f}"
        for label, cells in lines.items():
            print(f"{label:26s}" + "".join(f"{c:>16s}" for c in cells))


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(TESTS), 1, figsize=(10, 11), sharex=True)
    for axis, test in zip(axes, TESTS, strict=True):
        for cov_model, (name, _) in MODELS.items():
            dates = pd.DatetimeIndex([d.date for d in _DAYS[cov_model]])
            line = rolling(dates, results[(cov_model, "adjusted")][test])
            axis.plot(line.index, line.to_numpy(), label=name)
        for level in (*BAND, 1.0):
            axis.axhline(level, color="grey", lw=0.8, ls="--" if level != 1.0 else "-")
        axis.set_ylabel("bias statistic")
        axis.set_title(f"{test}: rolling 12 months, mean over series", fontsize=10)
        axis.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"\nrolling bias statistics: {path}")


if __name__ == "__main__":
    main()
