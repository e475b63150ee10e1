from dataclasses import replace

import numpy as np
import pytest

from plovera.const import CovModel
from plovera.riskmodel import covariance as cv
from plovera.riskmodel import parameters_for


def test_half_life_weights():
    w = cv.half_life_weights(5, 2.0)
    np.testing.assert_allclose(w, [0.25, 0.5**1.5, 0.5, 0.5**0.5, 1.0], rtol=1e-15)


def hand_newey_west(x, hl, lags):
    t_days, k = x.shape
    w = [0.5 ** ((t_days - 1 - t) / hl) for t in range(t_days)]
    out = np.zeros((k, k))
    for lag in range(lags + 1):
        c = np.zeros((k, k))
        for i in range(k):
            for j in range(k):
                num = sum(w[t] * x[t, i] * x[t - lag, j] for t in range(lag, t_days))
                c[i, j] = num / sum(w[lag:])
        out += c if lag == 0 else (1 - lag / (lags + 1)) * (c + c.T)
    return out


@pytest.mark.parametrize("lags", [0, 1, 2])
def test_newey_west_matches_hand_computation(lags):
    x = np.array(
        [[0.01, -0.02], [0.03, 0.01], [-0.02, 0.02], [0.00, -0.01], [0.02, 0.03], [-0.01, 0.0]]
    )
    np.testing.assert_allclose(
        cv.newey_west_covariance(x, 3.0, lags), hand_newey_west(x, 3.0, lags), rtol=1e-13
    )


def test_missing_day_leaves_only_its_factor_out():
    rng = np.random.default_rng(1)
    x = rng.normal(size=(30, 2))
    gap = x.copy()
    gap[10, 0] = np.nan
    cov = cv.newey_west_covariance(gap, 8.0, 0)
    w = cv.half_life_weights(30, 8.0)
    keep = np.arange(30) != 10
    assert cov[0, 0] == pytest.approx(w[keep] @ x[keep, 0] ** 2 / w[keep].sum(), rel=1e-13)
    assert cov[0, 1] == pytest.approx(
        w[keep] @ (x[keep, 0] * x[keep, 1]) / w[keep].sum(), rel=1e-13
    )
    assert cov[1, 1] == pytest.approx(w @ x[:, 1] ** 2 / w.sum(), rel=1e-13)


def test_vol_and_corr_recombine():
    vol_cov = np.array([[4.0, 100.0], [100.0, 9.0]])
    corr_cov = np.array([[1.0, 1.0], [1.0, 4.0]])  # correlation 0.5
    np.testing.assert_allclose(
        cv.recombine(vol_cov, corr_cov), [[4.0, 3.0], [3.0, 9.0]], rtol=1e-15
    )


def test_ew_variance_path_uses_only_earlier_days():
    rng = np.random.default_rng(2)
    x = rng.normal(size=(20, 3))
    x[4, 1] = np.nan
    path = cv.ew_variance_path(x, 5.0, min_obs=3)
    assert np.isnan(path[:3]).all() and np.isfinite(path[3]).all()
    for t in (7, 19):
        hist = x[:t]
        expected = np.empty(3)
        w = cv.half_life_weights(t, 5.0)
        for k in range(3):
            ok = np.isfinite(hist[:, k])
            expected[k] = w[ok] @ hist[ok, k] ** 2 / w[ok].sum()
        np.testing.assert_allclose(path[t], expected, rtol=1e-12)
    changed = x.copy()
    changed[12] *= 10
    np.testing.assert_array_equal(
        cv.ew_variance_path(changed, 5.0)[:13], cv.ew_variance_path(x, 5.0)[:13]
    )


@pytest.mark.parametrize(("scale", "expected"), [(1.0, 1.0), (2.0, 4.0), (0.5, 0.25)])
def test_regime_multiplier(scale, expected):
    rng = np.random.default_rng(3)
    vol = rng.uniform(0.005, 0.02, (50, 4))
    signs = rng.choice([-1.0, 1.0], (50, 4))
    assert cv.regime_multiplier(scale * signs * vol, vol, 10.0) == pytest.approx(
        expected, rel=1e-12
    )
    # A day's bias statistic is a cross-sectional mean: weights only matter inside a day.
    assert cv.regime_multiplier(
        scale * signs * vol, vol, 10.0, weights=np.arange(1.0, 5.0)
    ) == pytest.approx(expected, rel=1e-12)


def test_eigenfactor_adjustment_removes_eigenvalue_bias():
    rng = np.random.default_rng(4)
    k, t_days = 12, 60
    true_cov = np.diag(np.linspace(1.0, 3.0, k))
    before, after = [], []
    for seed in range(20):
        x = rng.multivariate_normal(np.zeros(k), true_cov, t_days)
        sample = x.T @ x / t_days
        adjusted, bias = cv.eigenfactor_adjustment(sample, np.ones(t_days), 200, 1.2, seed)
        scales = cv.eigenfactor_scales(bias, 1.2)
        values, vectors = np.linalg.eigh(sample)
        # Eigenvectors are kept; only the eigenvalues are rescaled, the smallest raised.
        np.testing.assert_allclose(adjusted @ vectors, vectors * (values * scales), atol=1e-12)
        assert scales[0] > 1.0 > scales[-1]
        # True over forecast variance of each sample eigenportfolio.
        true_var = np.einsum("ik,ij,jk->k", vectors, true_cov, vectors)
        before.append(true_var / values)
        after.append(true_var / np.einsum("ik,ij,jk->k", vectors, adjusted, vectors))
    before, after = np.mean(before, axis=0), np.mean(after, axis=0)
    assert before[0] > 2.0 and before[-1] < 0.75
    assert ((after > 0.8) & (after < 1.2)).all()


def near_collinear_returns(seed, t_days=400, k=6):
    rng = np.random.default_rng(seed)
    x = rng.normal(0.0, 0.01, (t_days, k))
    x[:, 1] = x[:, 0] + rng.normal(0.0, 1e-9, t_days)
    x[:, 3] = 0.5 * x[:, 2] - 0.25 * x[:, 4]
    x[::50, 5] = np.nan
    return x


@pytest.mark.parametrize("model", list(CovModel))
@pytest.mark.parametrize("adjust", [True, False])
def test_factor_covariance_is_symmetric_and_positive_definite(model, adjust):
    params = replace(
        parameters_for(model, eigenfactor=adjust, regime=adjust), eigenfactor_simulations=50
    )
    forecast = cv.factor_covariance(near_collinear_returns(5), params)
    f = forecast.covariance
    assert np.array_equal(f, f.T)
    values = np.linalg.eigvalsh(f)
    assert values[0] >= 0.99 * cv.EIGENVALUE_FLOOR * values[-1]
    np.testing.assert_allclose(
        forecast.cholesky @ forecast.cholesky.T, f, rtol=0, atol=1e-12 * values[-1]
    )
    assert (forecast.eigenfactor_bias is not None) == adjust
    # Annualised daily variance of a factor with 1% daily volatility.
    assert 0.5 * 252e-4 < f[0, 0] < 2.0 * 252e-4


def test_eigenfactor_bias_can_be_reused():
    params = replace(parameters_for(CovModel.FACTOR_MODEL_MONTHLY), eigenfactor_simulations=40)
    x = near_collinear_returns(7)
    first = cv.factor_covariance(x, params)
    again = cv.factor_covariance(x, params, eigenfactor_bias=first.eigenfactor_bias)
    np.testing.assert_array_equal(again.covariance, first.covariance)
    later = cv.factor_covariance(x[10:], params, eigenfactor_bias=first.eigenfactor_bias)
    np.testing.assert_array_equal(later.eigenfactor_bias, first.eigenfactor_bias)
    with pytest.raises(ValueError, match="3 eigenfactor biases for 6 factors"):
        cv.factor_covariance(x, params, eigenfactor_bias=np.ones(3))


def test_factor_covariance_refuses_an_unobserved_factor():
    x = near_collinear_returns(6)
    x[:, 2] = np.nan
    with pytest.raises(ValueError, match="factor column 2 has 0 daily returns"):
        cv.factor_covariance(x, parameters_for(CovModel.FACTOR_MODEL_DAILY))


def planted_model(seed, n=300, k=8):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    x[:, 1] = x[:, 0] + 1e-8 * rng.normal(size=n)  # near-collinear exposures
    a = rng.normal(size=(k, k))
    f = a @ a.T / k
    return x, (f + f.T) / 2, rng.uniform(0.01, 0.2, n)


def test_assemble_reassembles_and_is_positive_definite():
    x, f, d = planted_model(7)
    cov = cv.assemble(x, f, d)
    assert np.array_equal(cov, cov.T)
    np.testing.assert_allclose(cov, x @ f @ x.T + np.diag(d), rtol=0, atol=1e-10)
    assert np.linalg.eigvalsh(cov)[0] > 0.9 * d.min()


@pytest.mark.parametrize(
    ("spoil", "message"),
    [
        (lambda x, f, d: d.__setitem__(3, 0.0), "specific variance 0.0 of row 3"),
        (lambda x, f, d: d.__setitem__(4, np.nan), "of row 4 is not positive"),
        (lambda x, f, d: x.__setitem__((5, 0), np.inf), "exposures of row 5"),
        (lambda x, f, d: f.__setitem__((0, 1), f[0, 1] + 1e-3), "not symmetric"),
        (lambda x, f, d: f.__setitem__(slice(None), -f), "not positive definite"),
    ],
)
def test_factor_level_check_refuses_bad_parts(spoil, message):
    x, f, d = planted_model(8, n=10, k=3)
    spoil(x, f, d)
    with pytest.raises(ValueError, match=message):
        cv.assemble(x, f, d)
