"""Numeric helpers of the simulation: random processes, standardisation and weighted fits."""

from __future__ import annotations

import numpy as np

__all__ = [
    "ar1",
    "capped_weights",
    "combine",
    "fill_missing",
    "residual",
    "standardise",
    "student_t",
    "weighted_fit",
]


def ar1(rng: np.random.Generator, steps: int, width: int, persistence: float) -> np.ndarray:
    """A standard-normal AR(1) process per column, started in its stationary law."""
    shocks = rng.standard_normal((steps, width))
    out = np.empty((steps, width))
    out[0] = shocks[0]
    innovation = np.sqrt(1.0 - persistence**2)
    for step in range(1, steps):
        out[step] = persistence * out[step - 1] + innovation * shocks[step]
    return out


def student_t(rng: np.random.Generator, dof: float, size: tuple[int, ...]) -> np.ndarray:
    """Student-t draws scaled to unit variance."""
    return rng.standard_t(dof, size) / np.sqrt(dof / (dof - 2.0))


def standardise(raw: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Cap-weighted mean 0 and unit standard deviation, clipped at 3 and standardised again.

    NaN stays NaN.
    """

    def scale(values: np.ndarray) -> np.ndarray:
        present = np.isfinite(values)
        mean = np.average(values[present], weights=cap[present])
        return (values - mean) / np.std(values[present])

    return scale(np.clip(scale(raw), -3.0, 3.0))


def combine(parts: list[np.ndarray], weights: list[float]) -> np.ndarray:
    """Weighted sum of descriptors, the weights renormalised over the ones present."""
    total = np.zeros_like(parts[0])
    weight = np.zeros_like(parts[0])
    for part, w in zip(parts, weights, strict=True):
        present = np.isfinite(part)
        total += np.where(present, part * w, 0.0)
        weight += present * w
    with np.errstate(invalid="ignore"):
        return np.where(weight > 0, total / weight, np.nan)


def weighted_fit(design: np.ndarray, target: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Coefficients of a square-root-cap weighted least-squares fit on the rows where
    ``target`` is present.  Through the normal equations: the designs are narrow."""
    present = np.isfinite(target)
    weighted = design[present] * np.sqrt(cap[present])[:, None]
    gram = design[present].T @ weighted
    return np.linalg.lstsq(gram, weighted.T @ target[present], rcond=None)[0]


def residual(target: np.ndarray, regressors: list[np.ndarray], cap: np.ndarray) -> np.ndarray:
    """What a square-root-cap weighted regression with intercept leaves of ``target``."""
    design = np.column_stack([np.ones_like(target), *regressors])
    return target - design @ weighted_fit(design, target, cap)


def fill_missing(
    exposure: np.ndarray, dummies: np.ndarray, size: np.ndarray, cap: np.ndarray
) -> np.ndarray:
    """Predict missing exposures from industry and size, fitted on the ones present."""
    missing = ~np.isfinite(exposure)
    if not missing.any():
        return exposure
    if missing.all():
        return np.zeros_like(exposure)
    design = np.column_stack([dummies, size])
    return np.where(missing, design @ weighted_fit(design, exposure, cap), exposure)


def capped_weights(cap: np.ndarray, limit: float) -> np.ndarray:
    """Cap weights with no weight above ``limit``, the excess spread pro rata over the rest."""
    limit = max(limit, 1.0 / len(cap))
    weights = cap / cap.sum()
    capped = np.zeros(len(cap), dtype=bool)
    while (over := (weights > limit) & ~capped).any():
        capped |= over
        free = ~capped
        weights = np.where(capped, limit, cap / cap[free].sum() * (1.0 - limit * capped.sum()))
    return weights
