"""Time the numeric kernels of the risk model on a synthetic market of A-share size:
the daily cross-sectional regressions over the whole history, the factor covariance
forecast per covariance model, the eigenfactor adjustment alone, the specific
variance forecast and the assembly of the stock covariance.

    python benchmarks/bench_riskmodel_kernels.py [--days 2700] [--stocks 1100] [--industries 31]

The kernels make many small BLAS calls: on a machine whose cores are busy, a
multi-threaded BLAS slows them down many times over; compare with
OPENBLAS_NUM_THREADS=1.
"""

import argparse
import os
import time
from dataclasses import replace

import numpy as np

from plovera.const import STYLE_FACTORS, CovModel
from plovera.riskmodel import (
    assemble,
    factor_covariance,
    factor_exposures,
    factor_returns_batch,
    parameters_for,
    specific_variance,
)
from plovera.riskmodel.covariance import eigenfactor_adjustment, half_life_weights


def synthetic_market(days, stocks, industries, seed=3):
    rng = np.random.default_rng(seed)
    k = len(STYLE_FACTORS)
    industry = rng.integers(0, industries, stocks)
    cap = rng.lognormal(3.0, 1.0, stocks)
    # Exposures refreshed monthly: one snapshot per 21 days.
    snapshots = rng.normal(size=(days // 21 + 1, stocks, k))
    snapshot = np.arange(days) // 21
    factor_draws = rng.normal(0.0, 0.006, (days, 1 + industries + k))
    x0 = factor_exposures(snapshots[0], industry, industries)
    returns = factor_draws @ x0.T + rng.normal(0.0, 0.02, (days, stocks))
    returns[rng.random((days, stocks)) < 0.05] = np.nan  # suspensions, late listings
    return returns, snapshots, snapshot, np.tile(industry, (days, 1)), np.tile(cap, (days, 1))


def timed(fn, repeats=1):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=2700)
    parser.add_argument("--stocks", type=int, default=1100)
    parser.add_argument("--industries", type=int, default=31)
    args = parser.parse_args()
    print(f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}")

    returns, snapshots, snapshot, industry, cap = synthetic_market(
        args.days, args.stocks, args.industries
    )
    n_factors = 1 + args.industries + len(STYLE_FACTORS)
    seconds, history = timed(
        lambda: factor_returns_batch(
            returns, snapshots, industry, np.sqrt(cap), cap, args.industries, snapshot
        )
    )
    print(
        f"daily WLS, {args.days} days x {args.stocks} stocks x {n_factors} factors: "
        f"{seconds:.2f} s ({1e3 * seconds / args.days:.2f} ms a day)"
    )

    factors = history.factor_returns
    for model in CovModel:
        params = parameters_for(model)
        seconds, _ = timed(lambda p=params: factor_covariance(factors, p), repeats=2)
        plain = parameters_for(model, eigenfactor=False, regime=False)
        bare, _ = timed(lambda p=plain: factor_covariance(factors, p), repeats=3)
        scales = factor_covariance(factors, params).eigenfactor_bias
        reused, _ = timed(
            lambda p=params, e=scales: factor_covariance(factors, p, eigenfactor_bias=e),
            repeats=3,
        )
        print(
            f"factor covariance {model.name}: {1e3 * seconds:.0f} ms; "
            f"{1e3 * reused:.1f} ms with the eigenfactor scales reused; "
            f"{1e3 * bare:.1f} ms without eigenfactor and regime adjustments"
        )

    params = parameters_for(CovModel.FACTOR_MODEL_MONTHLY)
    cov = factor_covariance(factors, replace(params, eigenfactor=False, regime=False)).covariance
    weights = half_life_weights(args.days, params.factor_corr_half_life)
    seconds, _ = timed(
        lambda: eigenfactor_adjustment(
            cov,
            weights,
            params.eigenfactor_simulations,
            params.eigenfactor_scale,
            params.eigenfactor_seed,
        ),
        repeats=2,
    )
    print(
        f"eigenfactor adjustment, {params.eigenfactor_simulations} simulations of "
        f"{args.days} days: {1e3 * seconds:.0f} ms"
    )

    exposures = snapshots[snapshot[-1]]
    seconds, _ = timed(
        lambda: specific_variance(
            history.specific_returns, exposures, industry[-1], cap[-1], params, args.industries
        ),
        repeats=2,
    )
    print(f"specific variance, {args.stocks} stocks: {1e3 * seconds:.0f} ms")

    # The assembly depends on the pool size only: pools drawn afresh, up to 4,000 stocks.
    forecast = factor_covariance(factors, replace(params, eigenfactor=False))
    rng = np.random.default_rng(5)
    for n in (300, 800, 4000):
        x = factor_exposures(
            rng.normal(size=(n, len(STYLE_FACTORS))),
            rng.integers(0, args.industries, n),
            args.industries,
        )
        specific = rng.uniform(0.01, 0.2, n)
        seconds, _ = timed(lambda x=x, d=specific: assemble(x, forecast.covariance, d), repeats=10)
        print(
            f"assemble X F X' + D, {n} stocks: {1e3 * seconds:.2f} ms "
            f"(result {n * n * 8 / 2**20:.0f} MB)"
        )


if __name__ == "__main__":
    main()
