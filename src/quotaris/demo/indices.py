"""The four size indices: semi-annual reviews by float cap, capped weights drifting with returns."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import pandas as pd

from quotaris.demo.calibration import (
    CSI500,
    CSI800,
    CSI1000,
    HS300,
    INDEX_MIN_LISTED,
    INDEX_WEIGHT_LIMIT,
    INDICES,
    SESSIONS_PER_YEAR,
)
from quotaris.demo.numeric import capped_weights
from quotaris.demo.period import Period
from quotaris.demo.universe import Universe

__all__ = ["Indices", "build_indices", "review_days"]


class Indices(NamedTuple):
    float_cap: np.ndarray  # days by stocks
    weight: np.ndarray  # opening weights, days by INDICES by stocks
    returns: np.ndarray  # days by INDICES


def review_days(days: pd.DatetimeIndex) -> list[tuple[int, int]]:
    """(ranking day, effective day) of each review; the first day opens with one.

    Reviews take effect after the second Friday of June and December, ranked
    on the last trading day of May and November.  A ranking day of -1 means
    the close before the first day.
    """
    reviews = [(-1, 0)]
    for year in range(days[0].year, days[-1].year + 1):
        for month in (6, 12):
            first = pd.Timestamp(year, month, 1)
            second_friday = first + pd.Timedelta(days=(4 - first.weekday()) % 7 + 7)
            effective = int(days.searchsorted(second_friday, side="right"))
            if 0 < effective < len(days):
                ranking = int(days.searchsorted(first)) - 1
                reviews.append((ranking, effective))
    return reviews


def build_indices(
    period: Period,
    universe: Universe,
    suspended: np.ndarray,
    cap: np.ndarray,
    returns: np.ndarray,
) -> Indices:
    """The indices from the stocks' daily ``cap`` and ``returns``."""
    days, n_days = period.days, period.n_days
    # New listings float a small part of their shares until the lock-up ends.
    locked = (np.arange(n_days)[:, None] < universe.list_index + SESSIONS_PER_YEAR) & (
        ~universe.listed_before
    )
    float_share = np.where(locked, universe.ipo_float_share, universe.float_share)
    float_cap = cap * float_share
    initial_float = np.where(universe.listed_before, universe.initial_cap * float_share[0], np.nan)
    close_before = np.vstack([initial_float, float_cap[:-1]])
    listed = pd.DatetimeIndex(universe.listed)

    index_returns = np.full((n_days, len(INDICES)), np.nan)
    index_weight = np.zeros((n_days, len(INDICES), universe.n))
    reviews = review_days(days)
    for k, (ranking, effective) in enumerate(reviews):
        stop = reviews[k + 1][1] if k + 1 < len(reviews) else n_days
        check = max(ranking, 0)
        ranking_date = days[0] if ranking < 0 else days[ranking]
        rank_cap = close_before[ranking + 1]
        eligible = np.flatnonzero(
            (listed <= ranking_date - INDEX_MIN_LISTED)
            & ~suspended[check]
            & (universe.delist_index > effective)
            & np.isfinite(rank_cap)
        )
        ranked = eligible[np.argsort(-rank_cap[eligible], kind="stable")]
        hs300, csi500, csi1000 = ranked[:300], ranked[300:800], ranked[800:1800]
        tiers = {HS300: hs300, CSI500: csi500, CSI800: ranked[:800], CSI1000: csi1000}
        for i, index in enumerate(INDICES):
            members = np.sort(tiers[index])
            if members.size:
                weights = capped_weights(close_before[effective, members], INDEX_WEIGHT_LIMIT)
                index_returns[effective:stop, i], index_weight[effective:stop, i, members] = _drift(
                    returns[effective:stop, members],
                    universe.delist_index[members] - effective,
                    weights,
                )
    return Indices(float_cap, index_weight, index_returns)


def _drift(
    returns: np.ndarray, delist_index: np.ndarray, weights: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Index returns and opening weights over the days of ``returns``, drifting with them.

    A constituent that is delisted (``delist_index`` counted from the first of
    the days) drops out and the others are renormalised.
    """
    returns = np.nan_to_num(returns)
    grown = np.vstack([np.ones(returns.shape[1]), np.cumprod(1.0 + returns, axis=0)[:-1]])
    alive = np.arange(len(returns))[:, None] < delist_index
    held = weights * grown * alive
    held /= held.sum(axis=1, keepdims=True)
    return (held * returns).sum(axis=1), held
