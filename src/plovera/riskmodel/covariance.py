"""Factor covariance forecasts and the assembly of the stock covariance matrix.

Daily factor returns are taken to have mean zero: their means are small next to
their volatilities, and estimating them only adds noise. A NaN factor return (an
industry without members that day) leaves that day out of every moment the factor
takes part in; each entry of a moment is normalised by the weights of the days it
uses.
"""

from typing import NamedTuple

import numpy as np

from quotaris.tables import TRADING_DAYS_PER_YEAR

__all__ = [
    "EIGENVALUE_FLOOR",
    "REGIME_MIN_OBS",
    "CovarianceForecast",
    "assemble",
    "check_factor_model",
    "eigenfactor_adjustment",
    "eigenfactor_scales",
    "ew_variance_path",
    "factor_covariance",
    "floor_eigenvalues",
    "half_life_weights",
    "newey_west_covariance",
    "recombine",
    "regime_multiplier",
]

#: Eigenvalues of a forecast are raised to at least this fraction of the largest,
#: so that its Cholesky factor exists and is well conditioned.
EIGENVALUE_FLOOR = 1e-10


#: Days of history a volatility forecast needs before its day enters the
#: regime statistic: forecasts from a handful of days would swamp it with noise.
REGIME_MIN_OBS = 21


class CovarianceForecast(NamedTuple):
    """An annualised factor covariance forecast, its Cholesky factor and its adjustments.

    ``eigenfactor_bias`` is the variance scale applied to each eigenfactor, smallest
    eigenvalue first (None when the adjustment is off); ``regime_multiplier`` the
    variance multiplier of the volatility-regime adjustment (1.0 when off).
    """

    covariance: np.ndarray
    cholesky: np.ndarray
    eigenfactor_bias: np.ndarray | None
    regime_multiplier: float


def half_life_weights(n_obs, half_life):
    """Weights of ``n_obs`` consecutive days, oldest first: a day aged a gets 0.5^(a/HL).

    The latest day has age 0 and weight 1.
    """
    age = np.arange(n_obs - 1, -1, -1, dtype=np.float64)
    return 0.5 ** (age / half_life)


def _lagged_moment(values, present, weights, lag):
    """Σ_t w_t x_t x_{t-lag}ᵀ over days where both are present, per entry normalised."""
    t_days = values.shape[0]
    late, early = values[lag:], values[: t_days - lag]
    w = weights[lag:, None]
    total = (present[lag:] * w).T @ present[: t_days - lag]
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(total > 0, ((late * w).T @ early) / total, np.nan)


def newey_west_covariance(returns, half_life, lags):
    """Exponentially weighted covariance of ``returns`` (T × K) with Newey–West lags.

    C = C₀ + Σ_{l=1..lags} (1 − l/(lags+1)) (C_l + C_lᵀ), where C_l is the weighted
    mean of x_t x_{t−l}ᵀ, each product weighted by the age of its later day. The
    result is the daily covariance of the longer-horizon return, per day.
    """
    returns = np.asarray(returns, dtype=np.float64)
    present = np.isfinite(returns)
    values = np.where(present, returns, 0.0)
    present = present.astype(np.float64)
    weights = half_life_weights(returns.shape[0], half_life)
    cov = _lagged_moment(values, present, weights, 0)
    for lag in range(1, lags + 1):
        moment = _lagged_moment(values, present, weights, lag)
        cov += (1.0 - lag / (lags + 1.0)) * (moment + moment.T)
    return cov


def recombine(vol_cov, corr_cov):
    """Volatilities of ``vol_cov`` with the correlations of ``corr_cov``."""
    vol = np.sqrt(np.diag(vol_cov))
    scale = np.sqrt(np.diag(corr_cov))
    corr = corr_cov / np.outer(scale, scale)
    return corr * np.outer(vol, vol)


def floor_eigenvalues(cov, floor=EIGENVALUE_FLOOR):
    """The symmetric matrix nearest ``cov`` with eigenvalues at least ``floor`` × the largest."""
    sym = (cov + cov.T) / 2.0
    values, vectors = np.linalg.eigh(sym)
    values = np.maximum(values, floor * values[-1])
    out = (vectors * values) @ vectors.T
    return (out + out.T) / 2.0


def eigenfactor_scales(values, weights, simulations, scale, seed):
    """Variance scales of the eigenfactors of a covariance with eigenvalues ``values`` (ascending).

    The sample eigenfactors with the smallest variances are those whose variance is
    most underestimated. Simulate ``simulations`` histories of len(weights) days
    from the covariance, re-estimate with the same weights, and measure for each
    eigenfactor (by rank) the ratio of its true variance to its estimated one. The
    square root of the mean ratio, its excess over 1 multiplied by ``scale``, squared,
    is the eigenvalue's scale.
    """
    values = np.maximum(np.asarray(values, dtype=np.float64), 0.0)
    weights = np.asarray(weights, dtype=np.float64) / np.sum(weights)
    rng = np.random.default_rng(seed)
    # A simulated day is scaled by its eigen-volatilities and the root of its weight at
    # once. In the eigenbasis the true covariance is diag(values): no rotation is needed.
    scale_days = np.sqrt(weights)[:, None] * np.sqrt(values)
    ratio = np.zeros_like(values)
    for _ in range(simulations):
        scaled = rng.standard_normal(scale_days.shape)
        scaled *= scale_days
        sim_values, sim_vectors = np.linalg.eigh(scaled.T @ scaled)
        true_values = (sim_vectors**2).T @ values
        ratio += true_values / np.maximum(sim_values, np.finfo(float).tiny)
    bias = np.sqrt(ratio / simulations)
    return (scale * (bias - 1.0) + 1.0) ** 2


def eigenfactor_adjustment(cov, weights, simulations, scale, seed, variance_scale=None):
    """Scale the eigenvalues of ``cov`` to correct their estimation bias, keeping its eigenvectors.

    ``variance_scale`` (one per eigenvalue, smallest first) skips the simulation:
    the scales change slowly, so a model may simulate once a month and reuse them.
    Returns the adjusted matrix and the scales used.
    """
    values, vectors = np.linalg.eigh(cov)
    values = np.maximum(values, 0.0)
    if variance_scale is None:
        variance_scale = eigenfactor_scales(values, weights, simulations, scale, seed)
    elif np.shape(variance_scale) != values.shape:
        raise ValueError(f"{np.size(variance_scale)} eigenfactor scales for {values.size} factors")
    adjusted = (vectors * (values * variance_scale)) @ vectors.T
    return (adjusted + adjusted.T) / 2.0, np.asarray(variance_scale)


def ew_variance_path(returns, half_life, min_obs=1):
    """Per day t, the exponentially weighted mean square of ``returns`` over the days before t.

    ``returns`` is T × K with NaN for missing days; the forecast for day t uses only
    days before t, and is NaN until ``min_obs`` days have been seen.
    """
    returns = np.asarray(returns, dtype=np.float64)
    decay = 0.5 ** (1.0 / half_life)
    present = np.isfinite(returns)
    squares = np.where(present, returns, 0.0) ** 2
    out = np.full(returns.shape, np.nan)
    total = np.zeros(returns.shape[1:])
    weight = np.zeros(returns.shape[1:])
    count = np.zeros(returns.shape[1:])
    for t in range(returns.shape[0]):
        with np.errstate(invalid="ignore", divide="ignore"):
            out[t] = np.where(count >= min_obs, total / weight, np.nan)
        total = decay * total + squares[t]
        weight = decay * weight + present[t]
        count += present[t]
    return out


def regime_multiplier(returns, forecast_vol, half_life, weights=None):
    """Variance multiplier of the volatility-regime adjustment.

    On each day the cross-sectional bias statistic B_t² is the mean (weighted by
    ``weights``, N, when given) of (r_t / σ_t)² over the series with both values;
    the multiplier is the exponentially weighted mean of B_t² over the days. It is 1
    when realised returns match their forecasts, above 1 in a calmer forecast than
    the market turned out to be.
    """
    z2 = (np.asarray(returns, dtype=np.float64) / np.asarray(forecast_vol)) ** 2
    present = np.isfinite(z2)
    w = np.ones(z2.shape[1]) if weights is None else np.asarray(weights, dtype=np.float64)
    mass = present @ w
    b2 = np.where(present, z2, 0.0) @ w
    days = mass > 0
    if not days.any():
        return 1.0
    day_weights = half_life_weights(z2.shape[0], half_life)[days]
    return float(day_weights @ (b2[days] / mass[days]) / day_weights.sum())


def factor_covariance(factor_returns, params, min_obs=2, eigenfactor_scales=None):
    """Annualised factor covariance forecast from daily factor returns (T × K), oldest first.

    ``factor_returns`` must end on the last day before the forecast date. The
    forecast is for the horizon of ``params`` (a ``RiskModelParameters``): the next
    trading day, the next 21 or the next 63 trading days, as annualised variances.
    Steps: exponentially weighted Newey–West covariances with the volatility and the
    correlation half-lives, recombined; eigenvalues floored; the eigenfactor
    adjustment (simulated with the correlation weights, which set the
    eigenvectors, unless ``eigenfactor_scales`` from an earlier forecast are
    given); the volatility-regime multiplier; annualisation by 252.
    """
    returns = np.asarray(factor_returns, dtype=np.float64)
    observed = np.isfinite(returns).sum(axis=0)
    if (observed < min_obs).any():
        column = int(np.argmax(observed < min_obs))
        raise ValueError(
            f"factor column {column} has {int(observed[column])} daily returns; "
            f"at least {min_obs} are needed"
        )
    cov = recombine(
        newey_west_covariance(returns, params.factor_vol_half_life, params.factor_vol_lags),
        newey_west_covariance(returns, params.factor_corr_half_life, params.factor_corr_lags),
    )
    cov = floor_eigenvalues(cov)
    bias = None
    if params.eigenfactor:
        cov, bias = eigenfactor_adjustment(
            cov,
            half_life_weights(returns.shape[0], params.factor_corr_half_life),
            params.eigenfactor_simulations,
            params.eigenfactor_scale,
            params.eigenfactor_seed,
            eigenfactor_scales,
        )
    multiplier = 1.0
    if params.regime:
        forecast_vol = np.sqrt(
            ew_variance_path(returns, params.factor_vol_half_life, REGIME_MIN_OBS)
        )
        multiplier = regime_multiplier(returns, forecast_vol, params.factor_regime_half_life)
    cov = floor_eigenvalues(cov * (multiplier * TRADING_DAYS_PER_YEAR))
    return CovarianceForecast(cov, np.linalg.cholesky(cov), bias, multiplier)


def check_factor_model(exposures, factor_cov, specific_var):
    """Check that X F Xᵀ + Δ is positive definite at the factor level; return F's Cholesky factor.

    F must be exactly symmetric and positive definite (its Cholesky factor exists),
    every specific variance finite and positive, and the exposures finite: then
    B Bᵀ + Δ with B = X L is positive definite without forming an n × n factorisation.
    """
    exposures = np.asarray(exposures, dtype=np.float64)
    factor_cov = np.asarray(factor_cov, dtype=np.float64)
    specific_var = np.asarray(specific_var, dtype=np.float64)
    n, k = exposures.shape
    if factor_cov.shape != (k, k):
        raise ValueError(f"factor covariance has shape {factor_cov.shape}, expected ({k}, {k})")
    if specific_var.shape != (n,):
        raise ValueError(f"specific variance has shape {specific_var.shape}, expected ({n},)")
    if not np.array_equal(factor_cov, factor_cov.T):
        raise ValueError("factor covariance is not symmetric")
    bad = ~(np.isfinite(specific_var) & (specific_var > 0))
    if bad.any():
        row = int(np.argmax(bad))
        value = float(specific_var[row])
        raise ValueError(f"specific variance {value!r} of row {row} is not positive")
    if not np.isfinite(exposures).all():
        row = int(np.argmax(~np.isfinite(exposures).all(axis=1)))
        raise ValueError(f"exposures of row {row} are not finite")
    try:
        return np.linalg.cholesky(factor_cov)
    except np.linalg.LinAlgError:
        raise ValueError("factor covariance is not positive definite") from None


def assemble(exposures, factor_cov, specific_var):
    """Covariance X F Xᵀ + Δ of N stocks: exposures (N × K), F (K × K), specific variances (N).

    Formed as B Bᵀ + Δ with B = X L, L the Cholesky factor of F: exactly symmetric
    (B Bᵀ is computed as a symmetric rank-K update) and positive definite, which is
    checked on F and Δ (``check_factor_model``).
    """
    cholesky = check_factor_model(exposures, factor_cov, specific_var)
    loadings = np.asarray(exposures, dtype=np.float64) @ cholesky
    cov = loadings @ loadings.T
    cov[np.diag_indices_from(cov)] += specific_var
    return cov
