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
    "EigenfactorSimulation",
    "assemble",
    "bias_statistics",
    "check_factor_model",
    "daily_factor_covariance",
    "eigenfactor_adjustment",
    "eigenfactor_bias",
    "eigenfactor_scales",
    "ew_variance_path",
    "factor_covariance",
    "factor_regime_multiplier",
    "floor_eigenvalues",
    "half_life_weights",
    "newey_west_covariance",
    "recombine",
    "regime_from_statistics",
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

    ``eigenfactor_bias`` is the simulated eigen-volatility bias of each eigenfactor,
    smallest eigenvalue first, before ``eigenfactor_scale`` (None when the adjustment
    is off); ``regime_multiplier`` the
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


#: Simulated days drawn at once: bounds the memory of a simulation step.
_SIMULATION_CHUNK = 128


class EigenfactorSimulation:
    """Weighted sample covariances of simulated unit-variance factor histories.

    Simulation s draws the return of factor j on the day aged a (0 the latest)
    as entry a·S + s of the normal stream seeded (seed, j), S the number of
    simulations. A shorter history is then a prefix of a longer one and fewer
    factors a leading block of more: one simulation, extended day by day into
    the past, serves every window length and factor count of a model.
    """

    def __init__(self, n_factors, simulations, seed):
        self._streams = [np.random.default_rng((seed, j)) for j in range(n_factors)]
        self.moments = np.zeros((simulations, n_factors, n_factors))
        self.mass = 0.0
        self.days = 0

    def extend(self, weights):
        """Add the next len(``weights``) days into the past, latest first, with these weights."""
        weights = np.asarray(weights, dtype=np.float64)
        simulations = self.moments.shape[0]
        for begin in range(0, len(weights), _SIMULATION_CHUNK):
            w = weights[begin : begin + _SIMULATION_CHUNK]
            draws = np.stack([s.standard_normal((len(w), simulations)) for s in self._streams], -1)
            draws = draws.transpose(1, 0, 2)  # simulations × days × factors
            self.moments += np.matmul(draws.transpose(0, 2, 1) * w, draws)
            self.mass += float(w.sum())
        self.days += len(weights)

    def bias(self, values):
        """Eigen-volatility bias by rank of a covariance with eigenvalues ``values`` (ascending).

        In its eigenbasis the covariance is diag(values), so the first len(values)
        simulated factors scaled by their eigen-volatilities are histories drawn
        from it. Re-estimated, each sample eigenfactor (by rank) has a true variance
        and an estimated one; the bias is the root of the mean ratio of the two.
        """
        values = np.maximum(np.asarray(values, dtype=np.float64), 0.0)
        k = values.size
        root = np.sqrt(values)
        sample = self.moments[:, :k, :k] * (np.outer(root, root) / self.mass)
        sim_values, sim_vectors = np.linalg.eigh(sample)
        true_values = np.einsum("sjk,j->sk", sim_vectors**2, values)
        ratio = true_values / np.maximum(sim_values, np.finfo(float).tiny)
        return np.sqrt(ratio.mean(axis=0))


def eigenfactor_bias(values, weights, simulations, seed):
    """Simulated eigen-volatility bias of a covariance with eigenvalues ``values`` (ascending).

    The covariance was estimated from len(``weights``) days weighted by ``weights``
    (oldest first); the bias of each eigenfactor (by rank) is the root of the mean
    ratio of its true variance to its re-estimated one over ``simulations``
    histories (see :class:`EigenfactorSimulation`). The sample eigenfactors with
    the smallest variances are those whose variance is most underestimated.
    """
    simulation = EigenfactorSimulation(np.size(values), simulations, seed)
    simulation.extend(np.asarray(weights, dtype=np.float64)[::-1])
    return simulation.bias(values)


def eigenfactor_scales(bias, scale):
    """Variance scale of each eigenfactor: the bias with its excess over 1 times ``scale``, squared.

    The simulation understates the bias of real data; ``scale`` corrects that,
    and applying it here lets it be retuned without simulating again.
    """
    return (scale * (np.asarray(bias, dtype=np.float64) - 1.0) + 1.0) ** 2


def eigenfactor_adjustment(cov, weights, simulations, scale, seed, bias=None):
    """Scale the eigenvalues of ``cov`` to correct their estimation bias, keeping its eigenvectors.

    ``bias`` (one per eigenvalue, smallest first, as :func:`eigenfactor_bias`
    gives) skips the simulation: it changes slowly, so a model simulates once a
    month and reuses it. Returns the adjusted matrix and the bias used.
    """
    values, vectors = np.linalg.eigh(cov)
    values = np.maximum(values, 0.0)
    if bias is None:
        bias = eigenfactor_bias(values, weights, simulations, seed)
    elif np.shape(bias) != values.shape:
        raise ValueError(f"{np.size(bias)} eigenfactor biases for {values.size} factors")
    adjusted = (vectors * (values * eigenfactor_scales(bias, scale))) @ vectors.T
    return (adjusted + adjusted.T) / 2.0, np.asarray(bias)


def ew_variance_path(returns, half_life, min_obs=1):
    """Per day t, the exponentially weighted mean square of ``returns`` over the days before t.

    ``returns`` is T × K with NaN for missing days; the forecast for day t uses only
    days before t, and is NaN until ``min_obs`` days have been seen.
    """
    returns = np.asarray(returns, dtype=np.float64)
    present = np.isfinite(returns)
    squares = np.where(present, returns, 0.0)
    squares *= squares
    total = _ew_running_sum(squares, half_life)
    weight = _ew_running_sum(present.astype(np.float64), half_life)
    count = np.cumsum(present, axis=0)
    out = np.full(returns.shape, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        out[1:] = np.where(count[:-1] >= min_obs, total[:-1] / weight[:-1], np.nan)
    return out


#: Days of a block of :func:`_ew_running_sum`: the decay across one stays far from underflow.
_EW_BLOCK = 16


def _ew_running_sum(values, half_life):
    """s_t = Σ_{u ≤ t} 0.5^((t − u)/HL) x_u down the rows of ``values``.

    Within a block of rows the sums are one product with the matrix of decays;
    across blocks the last row carries over, decayed.
    """
    decay = 0.5 ** (1.0 / half_life)
    block = max(1, min(_EW_BLOCK, values.shape[0]))
    lag = np.arange(block)[:, None] - np.arange(block)[None, :]
    kernel = np.where(lag >= 0, decay ** np.maximum(lag, 0), 0.0)
    carry_decay = decay ** (np.arange(block) + 1.0)
    out = np.empty_like(values)
    carry = np.zeros(values.shape[1:])
    for begin in range(0, values.shape[0], block):
        rows = values[begin : begin + block]
        n = rows.shape[0]
        summed = kernel[:n, :n] @ rows.reshape(n, -1)
        summed = summed.reshape(rows.shape) + np.multiply.outer(carry_decay[:n], carry)
        out[begin : begin + n] = summed
        carry = summed[-1]
    return out


def bias_statistics(returns, forecast_vol, weights=None):
    """Each day's cross-sectional bias statistic B_t²; NaN on a day without data.

    B_t² is the mean of (r_t / σ_t)² over the series with both values, weighted
    by ``weights``: one per series (N), one per day and series (T × N), or equal.
    """
    z2 = (np.asarray(returns, dtype=np.float64) / np.asarray(forecast_vol)) ** 2
    present = np.isfinite(z2)
    w = np.ones(z2.shape[1]) if weights is None else np.asarray(weights, dtype=np.float64)
    if w.ndim == 1:
        mass = present @ w
        total = np.where(present, z2, 0.0) @ w
    else:
        present &= np.isfinite(w)
        w = np.where(present, w, 0.0)
        mass = w.sum(axis=1)
        total = (np.where(present, z2, 0.0) * w).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(mass > 0, total / mass, np.nan)


def regime_from_statistics(statistics, half_life):
    """Exponentially weighted mean of the days' bias statistics (NaN days left out); 1 if none."""
    statistics = np.asarray(statistics, dtype=np.float64)
    days = np.isfinite(statistics)
    if not days.any():
        return 1.0
    day_weights = half_life_weights(statistics.size, half_life)[days]
    return float(day_weights @ statistics[days] / day_weights.sum())


def regime_multiplier(returns, forecast_vol, half_life, weights=None):
    """Variance multiplier of the volatility-regime adjustment.

    On each day the cross-sectional bias statistic B_t² is the mean (weighted by
    ``weights``, N or T × N, when given) of (r_t / σ_t)² over the series with both
    values; the multiplier is the exponentially weighted mean of B_t² over the days.
    It is 1 when realised returns match their forecasts, above 1 in a calmer
    forecast than the market turned out to be.
    """
    return regime_from_statistics(bias_statistics(returns, forecast_vol, weights), half_life)


def daily_factor_covariance(factor_returns, params):
    """The daily factor covariance before the eigenfactor and regime adjustments.

    Exponentially weighted Newey–West covariances with the volatility and the
    correlation half-lives of ``params``, recombined, eigenvalues floored.
    """
    returns = np.asarray(factor_returns, dtype=np.float64)
    cov = recombine(
        newey_west_covariance(returns, params.factor_vol_half_life, params.factor_vol_lags),
        newey_west_covariance(returns, params.factor_corr_half_life, params.factor_corr_lags),
    )
    return floor_eigenvalues(cov)


def factor_covariance(factor_returns, params, min_obs=2, eigenfactor_bias=None):
    """Annualised factor covariance forecast from daily factor returns (T × K), oldest first.

    ``factor_returns`` must end on the last day before the forecast date. The
    forecast is for the horizon of ``params`` (a ``RiskModelParameters``): the next
    trading day, the next 21 or the next 63 trading days, as annualised variances.
    Steps: :func:`daily_factor_covariance`; the eigenfactor adjustment (its bias
    simulated with the correlation weights, which set the eigenvectors, unless
    ``eigenfactor_bias`` from an earlier simulation is given, then scaled by
    ``params.eigenfactor_scale``); the volatility-regime multiplier; annualisation
    by 252.
    """
    returns = np.asarray(factor_returns, dtype=np.float64)
    observed = np.isfinite(returns).sum(axis=0)
    if (observed < min_obs).any():
        column = int(np.argmax(observed < min_obs))
        raise ValueError(
            f"factor column {column} has {int(observed[column])} daily returns; "
            f"at least {min_obs} are needed"
        )
    cov = daily_factor_covariance(returns, params)
    bias = None
    if params.eigenfactor:
        cov, bias = eigenfactor_adjustment(
            cov,
            half_life_weights(returns.shape[0], params.factor_corr_half_life),
            params.eigenfactor_simulations,
            params.eigenfactor_scale,
            params.eigenfactor_seed,
            eigenfactor_bias,
        )
    multiplier = factor_regime_multiplier(returns, params) if params.regime else 1.0
    cov = floor_eigenvalues(cov * (multiplier * TRADING_DAYS_PER_YEAR))
    return CovarianceForecast(cov, np.linalg.cholesky(cov), bias, multiplier)


def factor_regime_multiplier(factor_returns, params):
    """The factor covariance's volatility-regime multiplier from daily factor returns
    (T × K, oldest first, ending the day before the forecast)."""
    returns = np.asarray(factor_returns, dtype=np.float64)
    forecast_vol = np.sqrt(ew_variance_path(returns, params.factor_vol_half_life, REGIME_MIN_OBS))
    return regime_multiplier(returns, forecast_vol, params.factor_regime_half_life)


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
