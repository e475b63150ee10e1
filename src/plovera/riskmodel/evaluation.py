"""How far a risk model's forecasts can be trusted, out of sample.

The bias statistic of a series of outcomes is the standard deviation of its
standardised returns z = realised return / forecast volatility, both over the
forecast's horizon: near 1 when the forecasts are right, above 1 when they
understate the risk.  :func:`long_only_min_variance` builds the portfolios
that test a model hardest (minimum variance, minimum tracking error) from its
factor form, without forming the stock covariance matrix.
"""

import numpy as np

__all__ = ["bias_band", "bias_statistic", "long_only_min_variance"]


def bias_statistic(realised, forecast_vol):
    """Standard deviation (ddof 1) of realised / forecast_vol over the pairs with both finite.

    NaN when fewer than two pairs remain.
    """
    z = np.asarray(realised, dtype=np.float64) / np.asarray(forecast_vol, dtype=np.float64)
    z = z[np.isfinite(z)]
    return float(np.std(z, ddof=1)) if z.size >= 2 else float("nan")


def bias_band(n_obs, overlap=1, quantile=1.96):
    """Interval the bias statistic of ``n_obs`` normal outcomes falls in, at about 95%.

    1 ± quantile / sqrt(2 n), n the number of independent outcomes: ``n_obs`` over
    ``overlap`` when each horizon overlaps the next ``overlap`` − 1 ones.
    """
    half = quantile / np.sqrt(2.0 * n_obs / overlap)
    return 1.0 - half, 1.0 + half


def long_only_min_variance(exposures, factor_cov, specific_var, linear=None, tol=1e-12):
    """Fully invested long-only weights minimising ½ wᵀΣw − linearᵀw, Σ = X F Xᵀ + Δ.

    ``exposures`` X (N × K), ``factor_cov`` F (K × K, positive definite),
    ``specific_var`` Δ's diagonal (N, positive), ``linear`` (N, default 0: the
    minimum-variance portfolio; Σ b for the minimum tracking error to weights b).
    A primal active-set method from the best single stock: at each stationary
    point every stock whose entry lowers the objective is freed, and a step
    stops where a free stock reaches zero, fixing it there.  Each step solves
    on the free stocks with the Woodbury identity, so its cost is linear in N.
    """
    x = np.asarray(exposures, dtype=np.float64)
    delta = np.asarray(specific_var, dtype=np.float64)
    n = delta.size
    c = np.zeros(n) if linear is None else np.asarray(linear, dtype=np.float64)
    loadings = x @ np.linalg.cholesky(np.asarray(factor_cov, dtype=np.float64))
    scaled = loadings / delta[:, None]
    # Per stock: 1/δ and c/δ, the two right-hand sides every step solves for.
    sides = np.column_stack([1.0 / delta, c / delta])
    identity = np.eye(loadings.shape[1])

    def solve(index):
        """Σ_FF⁻¹ [1, c_F] by Woodbury on the free stocks."""
        b, bd = loadings[index], scaled[index]
        return sides[index] - bd @ np.linalg.solve(identity + b.T @ bd, b.T @ sides[index])

    own = np.einsum("ij,ij->i", loadings, loadings) + delta
    start = int(np.argmin(0.5 * own - c))
    w = np.zeros(n)
    w[start] = 1.0
    free = np.zeros(n, dtype=bool)
    free[start] = True
    for _ in range(20 * n + 10):
        index = np.flatnonzero(free)
        both = solve(index)
        # Stationary on the free stocks: w_F = Σ_FF⁻¹ (c_F + ν 1) with Σ w_F = 1.
        nu = (1.0 - both[:, 1].sum()) / both[:, 0].sum()
        step = both[:, 1] + nu * both[:, 0] - w[index]
        if np.max(np.abs(step)) <= tol:
            multiplier = loadings @ (loadings.T @ w) + delta * w - c - nu
            # Free every stock that lowers the objective; those that overshoot fall back.
            entering = ~free & (multiplier < -tol * max(1.0, abs(nu)))
            if not entering.any():
                return w
            free |= entering
            continue
        falling = step < 0
        ratio = np.full(index.size, np.inf)
        ratio[falling] = w[index[falling]] / -step[falling]
        alpha = min(1.0, ratio.min())
        w[index] += alpha * step
        if alpha < 1.0:
            blocked = index[ratio <= alpha]
            w[blocked] = 0.0
            free[blocked] = False
    raise RuntimeError(f"the active-set method did not converge on {n} stocks")
