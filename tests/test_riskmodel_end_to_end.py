"""A planted factor structure, simulated and recovered by regression, covariance and specific risk."""

from dataclasses import replace

import numpy as np
import pytest

from plovera.const import CovModel
from plovera.riskmodel import (
    assemble,
    factor_covariance,
    factor_returns_batch,
    parameters_for,
    specific_variance,
)

N, N_IND, K, T = 500, 5, 3, 1200


@pytest.fixture(scope="module")
def market():
    rng = np.random.default_rng(2026)
    industry = rng.integers(0, N_IND, N)
    cap = rng.lognormal(3.0, 1.0, N)
    styles = rng.normal(size=(N, K))
    x = np.hstack([np.ones((N, 1)), np.eye(N_IND)[industry], styles])
    # Planted daily factor covariance; industry returns obey the cap-weighted-zero rule.
    p = 1 + N_IND + K
    vol = np.r_[0.015, rng.uniform(0.006, 0.012, N_IND), rng.uniform(0.002, 0.005, K)]
    a = rng.normal(size=(p, p))
    corr = np.corrcoef(a @ a.T)
    share = np.bincount(industry, weights=cap, minlength=N_IND) / cap.sum()
    project = np.eye(p)
    project[1 : 1 + N_IND, 1 : 1 + N_IND] -= np.outer(np.ones(N_IND), share)
    f_true = project @ (corr * np.outer(vol, vol)) @ project.T
    f_true = (f_true + f_true.T) / 2
    specific_true = rng.uniform(0.01, 0.03, N) ** 2
    factor_draws = rng.multivariate_normal(np.zeros(p), f_true, T)
    specific_draws = rng.normal(size=(T, N)) * np.sqrt(specific_true)
    returns = factor_draws @ x.T + specific_draws
    history = factor_returns_batch(
        returns,
        styles[None],
        np.tile(industry, (T, 1)),
        np.tile(np.sqrt(cap), (T, 1)),
        np.tile(cap, (T, 1)),
        N_IND,
        snapshot=np.zeros(T, dtype=int),
    )
    # The regression's estimate is a fixed linear map A of the day's returns (the
    # bordered system of the constrained WLS), so its error adds A Δ Aᵀ to F.
    weights = np.sqrt(cap)
    c = np.r_[0.0, share, np.zeros(K)]
    bordered = np.block([[x.T @ (weights[:, None] * x), c[:, None]], [c[None], np.zeros((1, 1))]])
    a_map = np.linalg.solve(bordered, np.vstack([x.T * weights, np.zeros((1, N))]))[:p]
    residual_map = np.eye(N) - x @ a_map
    return {
        "x": x,
        "f_fitted": f_true + a_map @ (specific_true[:, None] * a_map.T),
        "specific_fitted": np.einsum("ij,j,ij->i", residual_map, specific_true, residual_map),
        "styles": styles,
        "industry": industry,
        "cap": cap,
        "f_true": f_true,
        "specific_true": specific_true,
        "factor_draws": factor_draws,
        "history": history,
    }


def flat_params():
    """Nearly equal weights and no adjustments: sampling error is then easy to bound."""
    base = parameters_for(CovModel.FACTOR_MODEL_DAILY, eigenfactor=False, regime=False)
    long = 1e7
    return replace(
        base,
        factor_vol_half_life=long,
        factor_corr_half_life=long,
        specific_vol_half_life=long,
    )


def test_factor_returns_track_the_planted_ones(market):
    fitted = market["history"].factor_returns
    for j in range(fitted.shape[1]):
        assert np.corrcoef(fitted[:, j], market["factor_draws"][:, j])[0, 1] > 0.9
    assert np.median(market["history"].r2) > 0.3


def test_factor_covariance_and_specific_risk_are_recovered(market):
    forecast = factor_covariance(market["history"].factor_returns, flat_params())
    f_hat = forecast.covariance / 252
    f_true = market["f_fitted"]
    # Variances from 1,200 days: relative sampling error about 4%.
    ratio = np.diag(f_hat) / np.diag(f_true)
    assert np.abs(ratio - 1).max() < 0.12
    corr_hat = f_hat / np.sqrt(np.outer(np.diag(f_hat), np.diag(f_hat)))
    corr_true = f_true / np.sqrt(np.outer(np.diag(f_true), np.diag(f_true)))
    assert np.abs(corr_hat - corr_true).max() < 0.12

    specific_forecast = specific_variance(
        market["history"].specific_returns,
        market["styles"],
        market["industry"],
        market["cap"],
        flat_params(),
    )
    specific_ratio = specific_forecast.variance / 252 / market["specific_fitted"]
    assert abs(np.median(specific_ratio) - 1) < 0.05
    # Shrinkage towards the decile mean pulls the extremes in a little.
    assert np.quantile(np.abs(np.log(specific_ratio)), 0.95) < 0.25

    # Forecast risk of random long-only portfolios against the planted truth.
    cov = assemble(market["x"], forecast.covariance, specific_forecast.variance)
    sigma_true = market["x"] @ market["f_true"] @ market["x"].T + np.diag(market["specific_true"])
    rng = np.random.default_rng(1)
    w = rng.dirichlet(np.ones(N), 50).T
    vol_ratio = np.sqrt(
        np.einsum("ip,ij,jp->p", w, cov, w) / 252 / np.einsum("ip,ij,jp->p", w, sigma_true, w)
    )
    assert np.abs(vol_ratio - 1).max() < 0.06
