"""Specific (idiosyncratic) variance forecasts.

Per stock: an exponentially weighted Newey–West variance of its specific returns;
for short or unclean histories a structural model (a regression of log specific
volatility on the exposures) is blended in; the result is shrunk towards the
cap-weighted mean of the stock's size decile, scaled by the volatility-regime
multiplier, annualised and floored above zero.
"""

from typing import NamedTuple

import numpy as np

from plovera.riskmodel.covariance import (
    bias_statistics,
    ew_variance_path,
    regime_multiplier,
)
from plovera.riskmodel.regression import factor_exposures
from quotaris.tables import TRADING_DAYS_PER_YEAR

__all__ = [
    "SHRINKAGE_INTENSITY",
    "SPECIFIC_VARIANCE_FLOOR",
    "SpecificRiskForecast",
    "blend_weight",
    "newey_west_from_sums",
    "newey_west_sums",
    "newey_west_variance",
    "regime_statistics",
    "shrink_to_size_deciles",
    "specific_variance",
    "structural_volatility",
]

#: Lowest annualised specific variance forecast: a specific volatility of 1%.
SPECIFIC_VARIANCE_FLOOR = 1e-4

#: Strength q of the shrinkage towards the size-decile mean.
SHRINKAGE_INTENSITY = 0.1

# A history counts fully from 180 valid days of the last year, not at all below 60.
_MIN_HISTORY = 60
_FULL_HISTORY = 180
# The ratio of the standard deviation to its interquartile estimate that a normal
# series would show is 1; a tail this far above it marks a history unclean.
_IQR_TO_STD = 1.349


class SpecificRiskForecast(NamedTuple):
    """Annualised specific variances (N) and how they were formed.

    ``time_series_weight`` is each stock's weight of its own history against the
    structural model (0 to 1); ``structural`` the structural model's annualised
    variance; ``regime_multiplier`` the variance multiplier applied (1.0 when off).
    """

    variance: np.ndarray
    time_series_weight: np.ndarray
    structural: np.ndarray
    regime_multiplier: float


def newey_west_sums(returns, half_life, lags, ends, start=0):
    """The weighted sums behind :func:`newey_west_variance`, over the rows before each of ``ends``.

    For each end e (ascending, at least ``start``) and lag l: Σ_t w_t x_t x_{t−l}
    and Σ_t w_t p_t p_{t−l} over start ≤ t < e with t − l ≥ 0, where x is 0 and p
    (present) 0 on a missing day and w_t = 0.5^((e − 1 − t)/HL). Rows before
    ``start`` serve only as the lagged partners. Returns len(ends) × 2 × (lags+1)
    × N: products, then presence. Sums to an end e roll forward to a later end e'
    as 0.5^((e' − e)/HL) times themselves plus the sums of rows e to e'.
    """
    returns = np.asarray(returns, dtype=np.float64)
    present = np.isfinite(returns)
    values = np.where(present, returns, 0.0)
    present = present.astype(np.float64)
    decay = 0.5 ** (1.0 / half_life)
    sums = np.zeros((2, lags + 1, returns.shape[1]))
    out = np.empty((len(ends), *sums.shape))
    previous = start
    for k, end in enumerate(ends):
        if end > previous:
            weights = decay ** np.arange(end - previous - 1, -1, -1.0)
            sums *= decay ** (end - previous)
            for lag in range(lags + 1):
                first = max(previous, lag)
                w = weights[first - previous :]
                late, early = slice(first, end), slice(first - lag, end - lag)
                sums[0, lag] += w @ (values[late] * values[early])
                sums[1, lag] += w @ (present[late] * present[early])
            previous = end
        out[k] = sums
    return out


def newey_west_from_sums(sums):
    """The Newey–West variance of each column from its sums (2 × (lags+1) × N, see above)."""
    lags = sums.shape[1] - 1
    with np.errstate(invalid="ignore", divide="ignore"):
        moments = np.where(sums[1] > 0, sums[0] / sums[1], np.nan)
    out = moments[0].copy()
    for lag in range(1, lags + 1):
        out += 2.0 * (1.0 - lag / (lags + 1.0)) * moments[lag]
    return np.maximum(out, 0.0)


def newey_west_variance(returns, half_life, lags):
    """Exponentially weighted Newey–West variance of each column of ``returns`` (T × N, NaN gaps).

    The same estimator as the factor covariance's diagonal: mean zero, each lagged
    product weighted by the age of its later day and normalised by the weights of
    the days where both are present; negative results (possible with gaps) become 0.
    """
    returns = np.asarray(returns, dtype=np.float64)
    return newey_west_from_sums(newey_west_sums(returns, half_life, lags, [returns.shape[0]])[0])


def regime_statistics(returns, half_life, weights):
    """Each day's bias statistic of specific returns (T × N) over their own volatility forecasts.

    The forecast for day t is the exponentially weighted root mean square of the
    days before t (once a stock has 60 of them); ``weights`` (T × N) weigh the
    stocks of each day. :func:`plovera.riskmodel.covariance.regime_from_statistics`
    turns the statistics before a date into its multiplier.
    """
    return bias_statistics(returns, _regime_forecast_vol(returns, half_life), weights)


def _regime_forecast_vol(returns, half_life):
    """The daily volatility forecasts the regime statistic measures returns against.

    Floored as the forecasts themselves are: a history of (near) zeros, such as
    a stock's that its factors fit exactly, must not turn the next ordinary
    return into a bias of many orders of magnitude.
    """
    variance = ew_variance_path(returns, half_life, _MIN_HISTORY)
    # np.maximum keeps the NaN of a stock without enough history.
    return np.sqrt(np.maximum(variance, SPECIFIC_VARIANCE_FLOOR / TRADING_DAYS_PER_YEAR))


def _column_quantiles(values, qs):
    """Per column, the q-quantiles of its finite entries (linear interpolation, as numpy's)."""
    ordered = np.sort(values, axis=0)  # NaN sorts last
    count = np.isfinite(values).sum(axis=0)
    columns = np.arange(values.shape[1])
    out = []
    for q in qs:
        position = q * (count - 1)
        low = np.floor(position).astype(np.int64)
        high = np.minimum(low + 1, count - 1)
        frac = position - low
        out.append(ordered[low, columns] * (1.0 - frac) + ordered[high, columns] * frac)
    return out


def blend_weight(returns, window=TRADING_DAYS_PER_YEAR):
    """Weight of each stock's own history against the structural model, 0 to 1.

    Over the last ``window`` rows of ``returns`` (T × N): the number h of valid days
    gives min(1, max(0, (h − 60) / 120)); a fat-tailed history, whose standard
    deviation exceeds the interquartile estimate by the ratio Z + 1, multiplies
    that by min(1, exp(1 − Z)).
    """
    recent = np.asarray(returns, dtype=np.float64)[-window:]
    count = np.isfinite(recent).sum(axis=0)
    weight = np.clip((count - _MIN_HISTORY) / (_FULL_HISTORY - _MIN_HISTORY), 0.0, 1.0)
    enough = count >= 2
    if not enough.any():
        return weight
    sample = recent[:, enough]
    std = np.nanstd(sample, axis=0, ddof=1)
    lower, upper = _column_quantiles(sample, (0.25, 0.75))
    robust = (upper - lower) / _IQR_TO_STD
    with np.errstate(invalid="ignore", divide="ignore"):
        z = np.abs(std / robust - 1.0)
    clean = np.where(np.isfinite(z), np.minimum(1.0, np.exp(1.0 - z)), 0.0)
    weight[enough] *= clean
    return weight


def structural_volatility(volatility, fit_weight, exposures, industry, cap, n_industries=None):
    """Specific volatility predicted from exposures, for every stock.

    log σ is regressed on country, industry dummies and the styles, each stock
    weighted by its cap times ``fit_weight`` (how far its own history can be
    trusted, 0 leaving it out); the prediction is scaled by the same-weighted ratio
    of the fitted stocks' σ to exp(prediction), which undoes the bias of
    exponentiating a fitted log.
    """
    industry = np.asarray(industry)
    if n_industries is None:
        n_industries = int(industry.max()) + 1
    design = factor_exposures(exposures, industry, n_industries)
    fit = (fit_weight > 0) & np.isfinite(volatility) & (volatility > 0)
    if not fit.any():
        raise ValueError("no stock has a clean specific-return history to fit the structural model")
    w = cap[fit] * fit_weight[fit]
    root = np.sqrt(w)
    coef = np.linalg.lstsq(design[fit] * root[:, None], np.log(volatility[fit]) * root, rcond=None)[
        0
    ]
    predicted = np.exp(design @ coef)
    return predicted * (w @ volatility[fit]) / (w @ predicted[fit])


def shrink_to_size_deciles(volatility, cap, q=SHRINKAGE_INTENSITY, groups=10):
    """Bayesian shrinkage of each volatility towards the cap-weighted mean of its size decile.

    With s̄ the decile's cap-weighted mean and Δ the decile's equal-weighted root mean
    squared deviation from it, a stock moves towards s̄ with intensity
    v = q |σ − s̄| / (Δ + q |σ − s̄|): the further out, the more it is shrunk.
    """
    order = np.argsort(cap, kind="stable")
    decile = np.empty(cap.size, dtype=np.int64)
    decile[order] = np.arange(cap.size) * groups // cap.size
    mass = np.bincount(decile, weights=cap, minlength=groups)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.bincount(decile, weights=cap * volatility, minlength=groups) / mass
    gap = np.abs(volatility - mean[decile])
    spread = np.sqrt(
        np.bincount(decile, weights=gap**2, minlength=groups)
        / np.maximum(np.bincount(decile, minlength=groups), 1)
    )[decile]
    denom = spread + q * gap
    intensity = np.divide(q * gap, denom, out=np.zeros_like(gap), where=denom > 0)
    return intensity * mean[decile] + (1.0 - intensity) * volatility


def specific_variance(
    specific_returns,
    exposures,
    industry,
    cap,
    params,
    n_industries=None,
    *,
    time_series_variance=None,
    multiplier=None,
):
    """Annualised specific variance forecasts of N stocks over the horizon of ``params``.

    ``specific_returns`` (T × N, oldest first, NaN where a stock had none) end on
    the last day before the forecast date; ``exposures`` (N × K styles, finite),
    ``industry`` (N codes, negative for unclassified) and ``cap`` (N, positive) are
    those in force on it. The horizon is the next trading day, the next 21 or the
    next 63 trading days (``params.horizon``); the variances are annualised (× 252).
    A stock with no usable history gets the structural forecast.

    ``time_series_variance`` (N, daily) and ``multiplier`` stand in for the
    Newey–West variances and the regime multiplier when the caller keeps them
    up to date; then only the last year of ``specific_returns`` is read.
    """
    returns = np.asarray(specific_returns, dtype=np.float64)
    exposures = np.asarray(exposures, dtype=np.float64)
    cap = np.asarray(cap, dtype=np.float64)
    n = returns.shape[1]
    if exposures.shape[0] != n or cap.shape != (n,):
        raise ValueError(
            f"{n} stocks of specific returns, {exposures.shape[0]} of exposures and "
            f"{cap.shape[0]} of caps"
        )
    bad = ~np.isfinite(exposures).all(axis=1)
    if bad.any():
        raise ValueError(f"exposures of stock {int(np.argmax(bad))} are not finite")
    bad = ~(np.isfinite(cap) & (cap > 0))
    if bad.any():
        raise ValueError(f"cap of stock {int(np.argmax(bad))} is not positive")

    if time_series_variance is None:
        time_series_variance = newey_west_variance(
            returns, params.specific_vol_half_life, params.specific_lags
        )
    vol = np.sqrt(time_series_variance)
    weight = blend_weight(returns)
    structural = structural_volatility(
        vol, weight, exposures, np.asarray(industry), cap, n_industries
    )
    # A weight above 0 needs 60 valid days, so vol is finite wherever it counts.
    blended = weight * np.nan_to_num(vol) + (1.0 - weight) * structural
    shrunk = shrink_to_size_deciles(blended, cap)
    if not params.regime:
        multiplier = 1.0
    elif multiplier is None:
        multiplier = regime_multiplier(
            returns,
            _regime_forecast_vol(returns, params.specific_vol_half_life),
            params.specific_regime_half_life,
            weights=cap,
        )
    variance = np.maximum(shrunk**2 * (multiplier * TRADING_DAYS_PER_YEAR), SPECIFIC_VARIANCE_FLOOR)
    return SpecificRiskForecast(variance, weight, structural**2 * TRADING_DAYS_PER_YEAR, multiplier)
