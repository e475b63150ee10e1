import numpy as np
import pytest

from plovera.const import CovModel
from plovera.riskmodel import (
    factor_exposures,
    factor_returns_batch,
    factor_returns_wls,
    parameters_for,
)
from plovera.riskmodel.regression import THIN_INDUSTRY_STOCKS


def cross_section(seed, n=40, n_ind=4, k=2):
    rng = np.random.default_rng(seed)
    industry = np.arange(n) % n_ind
    rng.shuffle(industry)
    cap = rng.lognormal(3.0, 1.0, n)
    exposures = rng.normal(size=(n, k))
    returns = rng.normal(0.0, 0.02, n)
    return returns, exposures, industry, np.sqrt(cap), cap


def kkt_solution(returns, exposures, industry, weights, cap, n_ind, penalty=None):
    """Solve the bordered system of the cap-weighted-zero constrained WLS directly;
    ``penalty`` (one per industry) adds penalty_i · f_i² to the weighted squares."""
    n = exposures.shape[0]
    x = np.hstack([np.ones((n, 1)), np.eye(n_ind)[industry], exposures])
    c = np.zeros(x.shape[1])
    c[1 : 1 + n_ind] = np.bincount(industry, weights=cap, minlength=n_ind) / cap.sum()
    p = x.shape[1]
    bordered = np.zeros((p + 1, p + 1))
    bordered[:p, :p] = x.T @ (weights[:, None] * x)
    if penalty is not None:
        bordered[1 : 1 + n_ind, 1 : 1 + n_ind] += np.diag(penalty)
    bordered[:p, p] = c
    bordered[p, :p] = c
    rhs = np.append(x.T @ (weights * returns), 0.0)
    return np.linalg.solve(bordered, rhs)[:p]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_constrained_wls_matches_kkt_solve(seed):
    returns, exposures, industry, weights, cap = cross_section(seed)
    f, specific, r2 = factor_returns_wls(returns, exposures, industry, weights, cap)
    expected = kkt_solution(returns, exposures, industry, weights, cap, 4)
    np.testing.assert_allclose(f, expected, rtol=0, atol=1e-12)
    x = np.hstack([np.ones((40, 1)), np.eye(4)[industry], exposures])
    np.testing.assert_allclose(specific, returns - x @ expected, atol=1e-12)
    shares = np.bincount(industry, weights=cap) / cap.sum()
    assert abs(shares @ f[1:5]) < 1e-14
    w = weights
    assert r2 == pytest.approx(1 - w @ specific**2 / (w @ returns**2), abs=1e-12)


def test_thin_industries_are_shrunk_towards_the_market():
    returns, exposures, industry, weights, cap = cross_section(5, n=41, n_ind=5)
    # Industry 4 holds one stock, industry 3 two of very unequal size.
    industry[:] = np.arange(41) % 3
    industry[0], industry[1:3] = 4, 3
    weights[1] *= 8.0
    f, specific, _ = factor_returns_wls(returns, exposures, industry, weights, cap)
    total = np.bincount(industry, weights=weights)
    effective = total**2 / np.bincount(industry, weights=weights**2)
    assert effective[4] == pytest.approx(1.0) and 1.0 < effective[3] < 2.0
    assert (effective[:3] > THIN_INDUSTRY_STOCKS).all()
    # Each thin industry weighs as if it had the stocks it lacks.
    penalty = np.where(
        effective < THIN_INDUSTRY_STOCKS, (THIN_INDUSTRY_STOCKS - effective) * total / effective, 0
    )
    expected = kkt_solution(returns, exposures, industry, weights, cap, 5, penalty)
    np.testing.assert_allclose(f, expected, rtol=0, atol=1e-12)
    # The lone stock keeps most of its own return instead of none.
    alone = returns[0] - expected[0] - exposures[0] @ expected[-2:]
    assert specific[0] == pytest.approx(alone - expected[5], abs=1e-12)
    assert abs(specific[0]) > 0.5 * abs(alone)


def test_a_wild_return_stays_its_own():
    returns, exposures, industry, weights, cap = cross_section(6)
    returns[3] = 50.0  # a price off by a factor of 51
    f, specific, _ = factor_returns_wls(returns, exposures, industry, weights, cap)
    median = np.median(returns)
    bound = median + 10 * 1.4826 * np.median(np.abs(returns - median))
    fitted = kkt_solution(np.minimum(returns, bound), exposures, industry, weights, cap, 4)
    np.testing.assert_allclose(f, fitted, rtol=0, atol=1e-12)
    x = np.hstack([np.ones((40, 1)), np.eye(4)[industry], exposures])
    np.testing.assert_allclose(specific, returns - x @ fitted, atol=1e-12)
    assert np.abs(np.delete(specific, 3)).max() < 0.2


def test_empty_industry_is_dropped():
    returns, exposures, industry, weights, cap = cross_section(4)
    # Codes 0..3 become 0, 1, 3, 4: industry 2 has no stock.
    spread = np.where(industry >= 2, industry + 1, industry)
    f, specific, _ = factor_returns_wls(returns, exposures, spread, weights, cap, n_industries=5)
    dense, dense_specific, _ = factor_returns_wls(returns, exposures, industry, weights, cap)
    assert np.isnan(f[3])
    np.testing.assert_allclose(np.delete(f, 3), dense, atol=1e-13)
    np.testing.assert_allclose(specific, dense_specific, atol=1e-13)


@pytest.mark.parametrize(
    "spoil",
    [
        lambda r, x, w: r.__setitem__(5, np.nan),
        lambda r, x, w: x.__setitem__((7, 1), np.nan),
        lambda r, x, w: w.__setitem__(9, 0.0),
    ],
    ids=["nan-return", "nan-exposure", "zero-weight"],
)
def test_unusable_stock_is_left_out(spoil):
    returns, exposures, industry, weights, cap = cross_section(5)
    r, x, w = returns.copy(), exposures.copy(), weights.copy()
    spoil(r, x, w)
    f, specific, _ = factor_returns_wls(r, x, industry, w, cap)
    bad = ~(np.isfinite(r) & np.isfinite(x).all(axis=1) & (w > 0))
    assert bad.sum() == 1
    keep = ~bad
    expected, expected_specific, _ = factor_returns_wls(
        returns[keep], exposures[keep], industry[keep], weights[keep], cap[keep]
    )
    np.testing.assert_allclose(f, expected, atol=1e-13)
    assert np.isnan(specific[bad]).all()
    np.testing.assert_allclose(specific[keep], expected_specific, atol=1e-13)


def test_planted_factor_returns_are_recovered():
    rng = np.random.default_rng(11)
    n, n_ind, k = 1500, 10, 5
    industry = rng.integers(0, n_ind, n)
    cap = rng.lognormal(3.0, 1.0, n)
    exposures = rng.normal(size=(n, k))
    shares = np.bincount(industry, weights=cap, minlength=n_ind) / cap.sum()
    planted = rng.normal(0.0, 0.01, 1 + n_ind + k)
    planted[1 : 1 + n_ind] -= shares @ planted[1 : 1 + n_ind] / shares.sum()
    x = np.hstack([np.ones((n, 1)), np.eye(n_ind)[industry], exposures])
    noise = rng.normal(0.0, 0.002, n)
    f, specific, r2 = factor_returns_wls(
        x @ planted + noise, exposures, industry, np.sqrt(cap), cap
    )
    # Standard errors here are near 0.002 / sqrt(150) for an industry: 6 of them is 1e-3.
    np.testing.assert_allclose(f, planted, atol=1e-3)
    assert np.corrcoef(specific, noise)[0, 1] > 0.99
    assert r2 > 0.9


def test_collinear_styles_are_guarded():
    returns, exposures, industry, weights, cap = cross_section(6, n=60, k=2)
    twin = np.hstack([exposures, exposures[:, :1]])
    f, specific, _ = factor_returns_wls(returns, twin, industry, weights, cap)
    plain, plain_specific, _ = factor_returns_wls(returns, exposures, industry, weights, cap)
    assert np.isfinite(f).all()
    # The fit is the same; the collinear pair splits the style return evenly.
    np.testing.assert_allclose(specific, plain_specific, atol=1e-10)
    np.testing.assert_allclose(f[5] + f[7], plain[5], atol=1e-10)
    assert f[5] == pytest.approx(f[7], abs=1e-10)


def test_batch_uses_exposure_snapshots():
    rng = np.random.default_rng(8)
    t_days, n, n_ind, k = 6, 50, 3, 2
    returns = rng.normal(0, 0.02, (t_days, n))
    returns[2, 4] = np.nan
    snapshots = rng.normal(size=(2, n, k))
    industry = np.tile(np.arange(n) % n_ind, (t_days, 1))
    cap = rng.lognormal(2.0, 1.0, (t_days, n))
    snapshot = np.array([0, 0, 0, 1, 1, 1])
    history = factor_returns_batch(returns, snapshots, industry, np.sqrt(cap), cap, n_ind, snapshot)
    for t in range(t_days):
        f, s, r2 = factor_returns_wls(
            returns[t], snapshots[snapshot[t]], industry[t], np.sqrt(cap[t]), cap[t], n_ind
        )
        np.testing.assert_array_equal(history.factor_returns[t], f)
        np.testing.assert_array_equal(history.specific_returns[t], s)
        assert history.r2[t] == r2
    with pytest.raises(ValueError, match="snapshot index"):
        factor_returns_batch(returns, snapshots, industry, np.sqrt(cap), cap, n_ind)


@pytest.mark.parametrize(
    ("model", "horizon"),
    [
        (CovModel.FACTOR_MODEL_DAILY, 1),
        (CovModel.FACTOR_MODEL_MONTHLY, 21),
        (CovModel.FACTOR_MODEL_QUARTERLY, 63),
    ],
)
def test_parameters_switch_adjustments(model, horizon):
    p = parameters_for(model, eigenfactor=False, regime=False)
    assert (p.horizon, p.eigenfactor, p.regime) == (horizon, False, False)
    assert parameters_for(model).eigenfactor
    with pytest.raises(ValueError, match="'daily'"):
        parameters_for("daily")


def test_factor_exposures_layout():
    styles = np.array([[0.5, -1.0], [2.0, 0.0], [-0.5, 1.5]])
    expected = [[1, 0, 1, 0, 0.5, -1.0], [1, 0, 0, 0, 2.0, 0.0], [1, 1, 0, 0, -0.5, 1.5]]
    np.testing.assert_array_equal(factor_exposures(styles, [1, -1, 0], 3), expected)
