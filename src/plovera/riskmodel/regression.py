"""Daily factor returns by cross-sectional weighted least squares.

Each day's excess returns are regressed on a country factor (exposure 1 for every
stock), level-1 industry dummies and the style exposures, with weights proportional
to the square root of market cap. Country and industries are collinear, so the
cap-weighted industry factor returns are constrained to sum to zero: the country
factor is then the cap-weighted market and each industry return is relative to it.
The constraint is imposed with a restriction matrix that expresses the largest
industry through the others.

An industry with few stocks would have its factor return fitted to their own
returns, leaving them no specific return: a single stock's specific risk would
vanish into its industry factor.  Each industry whose effective number of stocks
(Σw)²/Σw² falls below ``THIN_INDUSTRY_STOCKS`` therefore gets a dummy
observation with exposure to that industry alone and return 0, weighing as the
stocks it lacks: its factor return is shrunk towards the market's.

The fit reads each day's returns clipped at ``RETURN_CLIP`` robust standard
deviations from their median, so that one wrong price stays that stock's
specific return instead of moving every factor.
"""

from typing import NamedTuple

import numpy as np

__all__ = [
    "MAX_CONDITION",
    "RETURN_CLIP",
    "THIN_INDUSTRY_STOCKS",
    "FactorReturnHistory",
    "factor_exposures",
    "factor_names",
    "factor_returns_batch",
    "factor_returns_wls",
]

#: Directions of the normal equations whose eigenvalue falls below the largest
#: divided by this are left out of the solve (minimum-norm there) instead of
#: amplifying noise: near-collinear exposures cannot blow the factor returns up.
MAX_CONDITION = 1e12

#: Robust standard deviations (1.4826 × the median absolute deviation) from the
#: day's median beyond which a return is clipped for the fit, though not for its
#: own specific return: one wrong price must not move every stock's factor returns.
RETURN_CLIP = 10.0

#: Effective number of stocks below which an industry's factor return is shrunk
#: towards the market's by a dummy observation (see the module docstring).
THIN_INDUSTRY_STOCKS = 5.0


class FactorReturnHistory(NamedTuple):
    """Factor returns (T × (1+I+K)), specific returns (T × N) and fit R² (T) of many days."""

    factor_returns: np.ndarray
    specific_returns: np.ndarray
    r2: np.ndarray


def factor_names(industry_names, style_names):
    """Factor order of every result here: "country", the industries, the styles."""
    return ["country", *industry_names, *style_names]


def factor_exposures(style_exposures, industry, n_industries):
    """Exposures to every factor (N × (1+I+K)): country 1, industry dummies, the styles.

    A stock with a negative industry code (unclassified) has no industry exposure.
    """
    industry = np.asarray(industry)
    known = industry >= 0
    dummies = np.zeros((industry.size, n_industries))
    dummies[np.flatnonzero(known), industry[known]] = 1.0
    return np.hstack([np.ones((industry.size, 1)), dummies, style_exposures])


def factor_returns_wls(
    returns, exposures, industry, weights, industry_cap, n_industries=None, max_condition=None
):
    """One day's factor returns, specific returns and weighted R².

    ``returns`` (N), ``exposures`` (N × K styles), ``industry`` (N, integer codes
    0..I-1; a negative code means unclassified), ``weights`` (N, the regression
    weights, square root of cap), ``industry_cap`` (N, the caps that weigh the
    industry constraint). A stock takes part when its return, exposures, weight and
    cap are finite, its weight and cap positive and its industry known; the others
    get a NaN specific return. Industries without a participating stock are left
    out of the regression and get a NaN factor return.

    Returns ``(factor_returns, specific, r2)``: factor returns in the order
    country, industries 0..I-1, styles; R² is the weighted uncentred one,
    1 − Σ w e² / Σ w r², as the country factor is part of the fit.
    """
    returns = np.asarray(returns, dtype=np.float64)
    exposures = np.asarray(exposures, dtype=np.float64)
    industry = np.asarray(industry)
    weights = np.asarray(weights, dtype=np.float64)
    industry_cap = np.asarray(industry_cap, dtype=np.float64)
    n, k = exposures.shape
    for name, arr in (("returns", returns), ("industry", industry), ("weights", weights)):
        if arr.shape != (n,):
            raise ValueError(f"{name} has shape {arr.shape}, expected ({n},) like the exposures")
    if industry_cap.shape != (n,):
        raise ValueError(f"industry_cap has shape {industry_cap.shape}, expected ({n},)")
    if n_industries is None:
        n_industries = int(industry.max()) + 1 if n else 0
    if n and industry.max() >= n_industries:
        raise ValueError(f"industry code {int(industry.max())} is not below {n_industries}")
    max_condition = MAX_CONDITION if max_condition is None else max_condition

    factor_returns = np.full(1 + n_industries + k, np.nan)
    specific = np.full(n, np.nan)
    use = (
        np.isfinite(returns)
        & np.isfinite(exposures).all(axis=1)
        & np.isfinite(weights)
        & (weights > 0)
        & np.isfinite(industry_cap)
        & (industry_cap > 0)
        & (industry >= 0)
    )
    if not use.any():
        return factor_returns, specific, np.nan

    codes = industry[use]
    cap_by_industry = np.bincount(codes, weights=industry_cap[use], minlength=n_industries)
    present = np.flatnonzero(cap_by_industry > 0)
    # Position of each participating stock's industry among the present ones.
    column = np.searchsorted(present, codes)
    m = int(use.sum())
    n_present = present.size
    design = np.zeros((m, 1 + n_present + k))
    design[:, 0] = 1.0
    design[np.arange(m), 1 + column] = 1.0
    design[:, 1 + n_present :] = exposures[use]

    # f = R θ: the largest present industry is minus the cap-weighted sum of the others.
    share = cap_by_industry[present] / cap_by_industry[present].sum()
    dropped = int(np.argmax(share))
    restriction = np.delete(np.eye(1 + n_present + k), 1 + dropped, axis=1)
    restriction[1 + dropped, 1 : 1 + n_present - 1] = -np.delete(share, dropped) / share[dropped]

    w = weights[use]
    dummies = _thin_industry_dummies(column, w, n_present)
    rows = np.vstack([design, np.eye(1 + n_present + k)[1 + dummies.industry]])
    root_w = np.sqrt(np.r_[w, dummies.weight])
    scaled = rows * root_w[:, None]
    normal = restriction.T @ (scaled.T @ scaled) @ restriction
    # The dummies' returns are 0: they add to the normal equations only.
    rhs = restriction.T @ (scaled[:m].T @ (_clipped(returns[use]) * root_w[:m]))
    values, vectors = np.linalg.eigh(normal)
    keep = values > values[-1] / max_condition
    theta = vectors[:, keep] @ ((vectors[:, keep].T @ rhs) / values[keep])
    coef = restriction @ theta
    residual = returns[use] - design @ coef
    specific[use] = residual

    factor_returns[0] = coef[0]
    factor_returns[1 + present] = coef[1 : 1 + n_present]
    factor_returns[1 + n_industries :] = coef[1 + n_present :]
    total = w @ (returns[use] ** 2)
    r2 = 1.0 - (w @ residual**2) / total if total > 0 else np.nan
    return factor_returns, specific, r2


def _clipped(returns):
    """``returns`` with values beyond ``RETURN_CLIP`` robust deviations clipped."""
    median = np.median(returns)
    spread = RETURN_CLIP * 1.4826 * np.median(np.abs(returns - median))
    return np.clip(returns, median - spread, median + spread) if spread > 0 else returns


class _Dummies(NamedTuple):
    industry: np.ndarray
    weight: np.ndarray


def _thin_industry_dummies(column, weights, n_present) -> _Dummies:
    """The dummy observations of the thin industries: their positions and weights.

    An industry of effective size n_eff < N (N = ``THIN_INDUSTRY_STOCKS``) gets
    a dummy weighing N − n_eff of its average stocks, (N − n_eff) Σw / n_eff.
    """
    total = np.bincount(column, weights=weights, minlength=n_present)
    squares = np.bincount(column, weights=weights**2, minlength=n_present)
    effective = total**2 / squares
    thin = np.flatnonzero(effective < THIN_INDUSTRY_STOCKS)
    weight = (THIN_INDUSTRY_STOCKS - effective[thin]) * total[thin] / effective[thin]
    return _Dummies(thin, weight)


def factor_returns_batch(
    returns, exposures, industry, weights, industry_cap, n_industries, snapshot=None
):
    """Factor and specific returns for T days.

    ``returns``, ``industry``, ``weights`` and ``industry_cap`` are T × N.
    ``exposures`` is S × N × K: exposures are refreshed on a schedule, so day t
    uses snapshot ``snapshot[t]`` (by default S = T and day t uses exposures t).
    The caller makes sure each snapshot was computed from data before the days it
    serves.
    """
    returns = np.asarray(returns, dtype=np.float64)
    exposures = np.asarray(exposures, dtype=np.float64)
    t_days, n = returns.shape
    if exposures.ndim != 3 or exposures.shape[1] != n:
        raise ValueError(f"exposures has shape {exposures.shape}, expected (S, {n}, K)")
    if snapshot is None:
        if exposures.shape[0] != t_days:
            raise ValueError(
                f"{exposures.shape[0]} exposure snapshots for {t_days} days need a snapshot index"
            )
        snapshot = np.arange(t_days)
    snapshot = np.asarray(snapshot)
    if snapshot.shape != (t_days,):
        raise ValueError(f"snapshot has shape {snapshot.shape}, expected ({t_days},)")
    k = exposures.shape[2]
    factor_returns = np.empty((t_days, 1 + n_industries + k))
    specific = np.empty((t_days, n))
    r2 = np.empty(t_days)
    for t in range(t_days):
        factor_returns[t], specific[t], r2[t] = factor_returns_wls(
            returns[t],
            exposures[snapshot[t]],
            industry[t],
            weights[t],
            industry_cap[t],
            n_industries,
        )
    return FactorReturnHistory(factor_returns, specific, r2)
