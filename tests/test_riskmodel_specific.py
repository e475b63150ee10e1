import numpy as np
import pytest

from plovera.const import CovModel
from plovera.riskmodel import covariance as cv
from plovera.riskmodel import parameters_for
from plovera.riskmodel import specific as sp


@pytest.mark.parametrize("lags", [0, 2, 5])
def test_newey_west_variance_is_the_factor_estimators_diagonal(lags):
    rng = np.random.default_rng(1)
    x = rng.normal(0.0, 0.02, (80, 4))
    x[:, 1] += 0.5 * np.roll(x[:, 1], 1)  # serially correlated
    x[[3, 40], 2] = np.nan
    expected = np.diag(cv.newey_west_covariance(x, 20.0, lags))
    np.testing.assert_allclose(sp.newey_west_variance(x, 20.0, lags), expected, rtol=1e-13)


def test_blend_weight_follows_history_length_and_cleanliness():
    rng = np.random.default_rng(2)
    x = rng.normal(0.0, 0.02, (252, 5))
    x[:152, 1] = np.nan  # 100 days
    x[:222, 2] = np.nan  # 30 days
    x[::9, 3] *= 25.0  # fat tails from a few huge moves
    x[:, 4] = np.nan
    w = sp.blend_weight(np.vstack([rng.normal(size=(40, 5)) * 100, x]))
    assert w[0] == 1.0
    assert w[1] == pytest.approx(40 / 120)
    assert w[2] == 0.0 and w[4] == 0.0
    assert 0.0 <= w[3] < 0.5


def test_shrinkage_towards_the_size_decile_mean():
    cap = np.array([1.0, 2.0, 3.0, 10.0, 20.0, 30.0])
    vol = np.array([0.30, 0.20, 0.40, 0.10, 0.15, 0.35])
    out = sp.shrink_to_size_deciles(vol, cap, q=0.1, groups=2)
    for group in (slice(0, 3), slice(3, 6)):
        c, s = cap[group], vol[group]
        mean = c @ s / c.sum()
        gap = np.abs(s - mean)
        spread = np.sqrt(np.mean(gap**2))
        v = 0.1 * gap / (spread + 0.1 * gap)
        np.testing.assert_allclose(out[group], v * mean + (1 - v) * s, rtol=1e-14)
        assert (np.abs(out[group] - mean) < gap).all()
    np.testing.assert_array_equal(sp.shrink_to_size_deciles(np.full(6, 0.2), cap, groups=2), 0.2)


def planted_specific(seed, n=400, t_days=300):
    rng = np.random.default_rng(seed)
    exposures = rng.normal(size=(n, 3))
    industry = rng.integers(0, 4, n)
    cap = rng.lognormal(3.0, 1.0, n)
    log_vol = np.log(0.02) + 0.3 * exposures[:, 0] - 0.2 * exposures[:, 2] + 0.1 * (industry == 1)
    returns = rng.normal(size=(t_days, n)) * np.exp(log_vol)
    return returns, exposures, industry, cap, np.exp(log_vol)


def test_structural_model_serves_short_histories():
    returns, exposures, industry, cap, true_vol = planted_specific(3)
    short = np.arange(0, 400, 10)
    returns[:-20, short] = np.nan
    returns[:, 5] = np.nan  # no history at all
    returns[:, 6] = 0.0
    short = np.r_[short, 5, 6]
    params = parameters_for(CovModel.FACTOR_MODEL_DAILY, regime=False)
    forecast = sp.specific_variance(returns, exposures, industry, cap, params, n_industries=4)
    assert (forecast.time_series_weight[short] == 0).all()
    ratio = np.sqrt(forecast.structural / 252) / true_vol
    assert np.abs(np.log(ratio)).max() < 0.1
    # A flat series is no clean history either: it gets the structural forecast.
    assert np.isfinite(forecast.variance).all()
    assert np.abs(np.log(np.sqrt(forecast.variance[short] / 252) / true_vol[short])).max() < 0.2


@pytest.mark.parametrize("model", list(CovModel))
def test_specific_variance_recovers_planted_volatility(model):
    returns, exposures, industry, cap, true_vol = planted_specific(4)
    forecast = sp.specific_variance(returns, exposures, industry, cap, parameters_for(model))
    assert forecast.variance.shape == (400,)
    ratio = np.sqrt(forecast.variance / 252) / true_vol
    # Sampling error of an EW variance with half-life 42 is about 15% in volatility.
    assert abs(np.median(ratio) - 1.0) < 0.05
    assert np.quantile(np.abs(np.log(ratio)), 0.9) < 0.35
    assert 0.8 < forecast.regime_multiplier < 1.25


def test_floor_and_regime_multiplier():
    returns, exposures, industry, cap, _ = planted_specific(5, n=100)
    params = parameters_for(CovModel.FACTOR_MODEL_DAILY)
    quiet = sp.specific_variance(returns * 1e-3, exposures, industry, cap, params)
    np.testing.assert_array_equal(quiet.variance, sp.SPECIFIC_VARIANCE_FLOOR)
    calm = sp.specific_variance(returns, exposures, industry, cap, params)
    stormy = returns.copy()
    stormy[-10:] *= 3.0
    storm = sp.specific_variance(stormy, exposures, industry, cap, params)
    assert storm.regime_multiplier > 1.5 * calm.regime_multiplier


def test_bad_inputs_are_named():
    returns, exposures, industry, cap, _ = planted_specific(6, n=20)
    params = parameters_for(CovModel.FACTOR_MODEL_DAILY)
    exposures[3, 1] = np.nan
    with pytest.raises(ValueError, match="exposures of stock 3"):
        sp.specific_variance(returns, exposures, industry, cap, params)
    exposures[3, 1] = 0.0
    cap[2] = 0.0
    with pytest.raises(ValueError, match="cap of stock 2"):
        sp.specific_variance(returns, exposures, industry, cap, params)


def test_column_quantile_matches_numpy():
    rng = np.random.default_rng(9)
    x = rng.normal(size=(37, 6))
    x[rng.random(x.shape) < 0.3] = np.nan
    x[:, 5] = np.nan
    x[0, 5] = 2.0
    qs = (0.25, 0.75)
    for q, found in zip(qs, sp._column_quantiles(x, qs), strict=True):
        np.testing.assert_allclose(found, np.nanpercentile(x, 100 * q, axis=0), rtol=1e-14)
