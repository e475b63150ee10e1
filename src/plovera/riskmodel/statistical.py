"""Statistical factor model: the fallback for data with no cross-sectional structure.

When a bundle has no industries, caps or fundamentals (prices only), the factors
are the principal components of the return panel. The number of factors is chosen
by the information criterion IC_p2 of Bai and Ng (2002) on the panel with each
stock scaled to unit variance: k minimises
ln V(k) + k · (N + T) / (N T) · ln min(N, T), where V(k) is the mean squared
residual left by the first k components, 1 ≤ k ≤ ``max_factors``.
"""

from typing import NamedTuple

import numpy as np

from plovera.riskmodel.covariance import (
    CovarianceForecast,
    ew_variance_path,
    factor_covariance,
    regime_multiplier,
)
from plovera.riskmodel.specific import SPECIFIC_VARIANCE_FLOOR, blend_weight, newey_west_variance
from quotaris.tables import TRADING_DAYS_PER_YEAR

__all__ = ["MAX_STATISTICAL_FACTORS", "StatisticalModel", "choose_n_factors", "statistical_model"]

#: Most principal components the criterion may choose.
MAX_STATISTICAL_FACTORS = 10

# Days of history a stock's own volatility forecast needs before its day counts
# in the regime statistic (as for the fundamental model's specific risk).
_REGIME_MIN_OBS = 60


class StatisticalModel(NamedTuple):
    """Principal-component factor model of N stocks over T days.

    ``exposures`` (N × k loadings), ``factor_returns`` (T × k), ``specific_returns``
    (T × N, NaN where the stock had no return), the annualised ``factor_covariance``
    forecast and annualised ``specific_variance`` (N), so that
    exposures F exposuresᵀ + diag(specific_variance) is the covariance forecast.
    """

    exposures: np.ndarray
    factor_returns: np.ndarray
    specific_returns: np.ndarray
    n_factors: int
    factor_covariance: CovarianceForecast
    specific_variance: np.ndarray


def choose_n_factors(panel, max_factors=MAX_STATISTICAL_FACTORS):
    """Number of factors by Bai and Ng's IC_p2 for a complete panel (T × N, no NaN).

    Each column is scaled to unit variance first, so that volatile stocks do not
    decide alone.
    """
    t_days, n = panel.shape
    limit = min(max_factors, min(t_days, n) - 1)
    if limit < 1:
        raise ValueError(f"a {t_days} × {n} return panel is too small for a factor model")
    scale = panel.std(axis=0)
    scaled = panel / np.where(scale > 0, scale, 1.0)
    eigen = np.linalg.svd(scaled, compute_uv=False) ** 2
    total = eigen.sum()
    ks = np.arange(1, limit + 1)
    residual = (total - np.cumsum(eigen)[:limit]) / (n * t_days)
    penalty = ks * (n + t_days) / (n * t_days) * np.log(min(n, t_days))
    return int(ks[np.argmin(np.log(np.maximum(residual, np.finfo(float).tiny)) + penalty)])


def statistical_model(returns, params, max_factors=MAX_STATISTICAL_FACTORS):
    """Principal-component model from daily returns (T × N, oldest first, NaN missing).

    ``returns`` end on the last day before the forecast date; the forecast is for
    the horizon of ``params`` (next trading day, next 21 or next 63 trading days),
    annualised. Missing returns count as 0 (the mean taken for daily returns) in
    the components, and are NaN in the specific returns. The factor covariance is
    forecast as for the fundamental model; a stock's specific variance is its
    Newey–West variance, blended for short or unclean histories with the
    cross-sectional median, regime-adjusted and floored.
    """
    returns = np.asarray(returns, dtype=np.float64)
    present = np.isfinite(returns)
    panel = np.where(present, returns, 0.0)
    k = choose_n_factors(panel, max_factors)
    left, values, right = np.linalg.svd(panel, full_matrices=False)
    exposures = right[:k].T
    factors = left[:, :k] * values[:k]
    specific = np.where(present, panel - factors @ exposures.T, np.nan)

    vol = np.sqrt(
        newey_west_variance(specific, params.specific_vol_half_life, params.specific_lags)
    )
    weight = blend_weight(specific)
    typical = np.median(vol[weight > 0]) if (weight > 0).any() else np.nanmedian(vol)
    blended = weight * np.nan_to_num(vol) + (1.0 - weight) * typical
    multiplier = 1.0
    if params.regime:
        forecast_vol = np.sqrt(
            ew_variance_path(specific, params.specific_vol_half_life, _REGIME_MIN_OBS)
        )
        multiplier = regime_multiplier(specific, forecast_vol, params.specific_regime_half_life)
    variance = np.maximum(
        blended**2 * (multiplier * TRADING_DAYS_PER_YEAR), SPECIFIC_VARIANCE_FLOOR
    )
    return StatisticalModel(
        exposures, factors, specific, k, factor_covariance(factors, params), variance
    )
