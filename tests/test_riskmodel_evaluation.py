import cvxpy as cp
import numpy as np
import pytest

from plovera.riskmodel.evaluation import bias_band, bias_statistic, long_only_min_variance


def test_bias_statistic_of_known_outcomes():
    # z = ±2 alternately: mean 0, sum of squares 16, three degrees of freedom.
    realised = np.array([0.02, -0.04, 0.06, -0.08])
    vol = np.array([0.01, 0.02, 0.03, 0.04])
    assert bias_statistic(realised, vol) == pytest.approx(np.sqrt(16 / 3), rel=1e-14)


def test_bias_statistic_skips_missing_pairs():
    realised = [0.02, np.nan, -0.04, 0.5, 0.06]
    vol = [0.01, 0.02, 0.02, np.nan, 0.03]
    assert bias_statistic(realised, vol) == pytest.approx(np.std([2, -2, 2], ddof=1), rel=1e-14)
    assert np.isnan(bias_statistic([0.01, np.nan], [0.01, 0.01]))


@pytest.mark.parametrize(("n_obs", "overlap", "half"), [(200, 1, 0.098), (300, 3, 0.1386)])
def test_bias_band(n_obs, overlap, half):
    low, high = bias_band(n_obs, overlap)
    assert (low, high) == pytest.approx((1 - half, 1 + half), abs=1e-4)


def factor_problem(n, k, seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    x[:, 0] = 1.0 + 0.3 * rng.normal(size=n)  # a market factor: long-only must pick names
    f = np.diag(rng.uniform(0.01, 0.05, k))
    f[0, 0] = 0.04
    delta = rng.uniform(0.02, 0.2, n)
    return x, f, delta


def test_min_variance_without_factors_is_inverse_variance():
    delta = np.array([0.04, 0.01, 0.09, 0.02])
    w = long_only_min_variance(np.zeros((4, 1)), np.eye(1), delta)
    np.testing.assert_allclose(w, (1 / delta) / (1 / delta).sum(), rtol=1e-12)


def test_tracking_a_benchmark_inside_the_universe_returns_it():
    x, f, delta = factor_problem(40, 4, 3)
    b = np.zeros(40)
    b[:25] = np.random.default_rng(4).uniform(0.5, 1.5, 25)
    b /= b.sum()
    sigma_b = x @ (f @ (x.T @ b)) + delta * b
    np.testing.assert_allclose(long_only_min_variance(x, f, delta, sigma_b), b, atol=1e-12)


@pytest.mark.parametrize("tracking", [False, True])
def test_active_set_matches_a_conic_solver(tracking):
    # Tracking: the first 40 of 60 stocks follow a benchmark over all 60.
    x, f, delta = factor_problem(60, 5, 7)
    b = np.random.default_rng(8).dirichlet(np.full(60, 0.3))
    c = (x @ f @ x.T + np.diag(delta))[:40] @ b if tracking else np.zeros(40)
    x, delta = x[:40], delta[:40]
    w = long_only_min_variance(x, f, delta, c)

    g = cp.Variable(40, nonneg=True)
    root = np.linalg.cholesky(f)
    objective = 0.5 * cp.sum_squares(root.T @ x.T @ g) + 0.5 * cp.sum(cp.multiply(delta, g**2))
    problem = cp.Problem(cp.Minimize(objective - c @ g), [cp.sum(g) == 1])
    problem.solve(solver=cp.SCS, eps_abs=1e-9, eps_rel=1e-9)
    np.testing.assert_allclose(w, g.value, atol=1e-3)
    assert (w == 0).sum() >= 3  # the bounds bind: the active set did work
    assert w.sum() == pytest.approx(1.0, abs=1e-12)


def test_min_variance_optimality_on_a_large_pool():
    x, f, delta = factor_problem(800, 40, 11)
    w = long_only_min_variance(x, f, delta)
    gradient = x @ (f @ (x.T @ w)) + delta * w
    held = w > 0
    level = gradient[held].mean()
    assert (w >= 0).all() and w.sum() == pytest.approx(1.0, abs=1e-12)
    np.testing.assert_allclose(gradient[held], level, rtol=1e-9)
    assert (gradient[~held] >= level * (1 - 1e-9)).all()
