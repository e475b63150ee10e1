"""A run's daily prices: how holdings drift between rebalances, what cannot trade
freely on a rebalance date, and the benchmark's NAV.

A day without a quote leaves a stock's price unchanged; a stock delisted while
held goes to cash at its last quote; cash earns nothing.
"""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import pandas as pd

import quotaris
from quotaris.source import NOT_DELISTED

from ..exception import InvalidArgument
from ..riskmodel.exante import HELD_WEIGHT, held
from .pins import Restricted, at_limits

__all__ = ["Prices", "benchmark_nav", "restricted_ahead"]


class Prices:
    """A run's daily price changes and delisting dates, read once for the stocks it can
    hold and for any other stock the first time it is held; with ``closes``, their
    closes in yuan too, a day without a quote at the last close before it."""

    def __init__(
        self, days: pd.DatetimeIndex, order_book_ids: Iterable[str] = (), closes: bool = False
    ) -> None:
        self.days = days
        self.columns: dict[str, int] = {}
        self.changes = np.empty((len(days), 0))
        self.closes = np.empty((len(days), 0)) if closes else None
        self.de_listed: list[str] = []
        self.add(order_book_ids)

    def add(self, order_book_ids: Iterable[str]) -> None:
        """Read the stocks of ``order_book_ids`` not read yet; unknown ones are left out."""
        new = [i for i in dict.fromkeys(order_book_ids) if i not in self.columns]
        if not new:
            return
        # The unknown ones are named where they are drifted or optimised.
        found, _ = quotaris.find_instruments(new)
        if not found:
            return
        new = [i.order_book_id for i in found]
        changes = quotaris.get_price_change_rate(new, self.days[0], self.days[-1])
        self.changes = np.hstack([self.changes, changes.to_numpy(dtype=float)])
        if self.closes is not None:
            closes = quotaris.get_close(new, self.days[0], self.days[-1])
            self.closes = np.hstack([self.closes, _filled(closes.to_numpy(dtype=float))])
        self.de_listed += [i.de_listed_date for i in found]
        self.columns.update((order_book_id, len(self.columns)) for order_book_id in new)

    def drift(
        self, weights: pd.Series, first: int, last: int
    ) -> tuple[np.ndarray, pd.Series, pd.Series]:
        """Value of ``weights`` (plus cash) on each of the days after ``first`` up to
        ``last`` (positions in the run's days), relative to ``first``; the drifted
        holdings on ``last``; those of them without a quote that day, which cannot trade.

        A day without a quote leaves a stock's price unchanged; a stock delisted by
        ``last`` is sold into cash at its last quote.
        """
        weights = held(weights)
        if last <= first or weights.empty:
            return np.ones(last - first), weights, weights.iloc[:0]
        ids = weights.index.tolist()
        self.add(ids)
        unknown = [i for i in ids if i not in self.columns]
        if unknown:
            raise InvalidArgument(f"the market data does not know {', '.join(unknown)}")
        columns = np.fromiter((self.columns[i] for i in ids), np.int64, len(ids))
        changes = self.changes[first + 1 : last + 1, columns]
        growth = np.cumprod(1.0 + np.nan_to_num(changes, nan=0.0), axis=0)
        amounts = weights.to_numpy()
        path = growth @ amounts + (1.0 - amounts.sum())
        end = str(self.days[last].date())
        kept = np.array(
            [(d := self.de_listed[k]) == NOT_DELISTED or d > end for k in columns], dtype=bool
        )
        drifted = amounts * growth[-1] / path[-1]
        pinned = kept & np.isnan(changes[-1]) & (drifted > HELD_WEIGHT)
        return (
            path,
            pd.Series(drifted[kept], index=weights.index[kept]),
            pd.Series(drifted[pinned], index=weights.index[pinned]),
        )


def restricted_ahead(
    pools: list, prices: Prices, rows: list[int], price_limits: bool
) -> list[Restricted | None]:
    """For each rebalance date (at ``rows`` of the run's days), the stocks of its pool
    and of what could be held then that cannot trade freely that day (``pins.py``;
    with ``price_limits``, those at a price limit too); None where the pool is not
    known before the run, or names a stock the market data does not know.

    Judged before the run from the pools alone: what could be held after a date
    is its pool and the stocks that could be held then and could not be sold
    (without a quote, or at limit-down).  A date whose pool is not known keeps
    what it held.
    """
    ids = list(prices.columns)
    if not ids:
        return [None] * len(pools)
    unquoted_on = np.isnan(prices.changes[rows, : len(ids)])
    delisted = np.array(prices.de_listed)
    found, could_hold = [], np.zeros(len(ids), dtype=bool)
    for k, pool in enumerate(pools):
        day = prices.days[rows[k]].date()
        alive = (delisted == NOT_DELISTED) | (delisted > str(day))
        columns = np.array([prices.columns.get(i, -1) for i in pool or []], dtype=np.int64)
        known = columns[columns >= 0]
        in_pool = np.zeros(len(ids), dtype=bool)
        in_pool[known] = True
        candidates = np.flatnonzero((in_pool | (could_hold & alive)) & ~unquoted_on[k])
        up, down = [], []
        if price_limits:
            up, down = at_limits(day, [ids[j] for j in candidates])
        stuck = could_hold & alive & (unquoted_on[k] | _mask(down, prices.columns, len(ids)))
        if pool is None or len(known) < len(columns):
            found.append(None)
        else:
            unquoted = [pool[j] for j in np.flatnonzero(unquoted_on[k, columns])]
            pinnable = (ids[j] for j in np.flatnonzero(could_hold & alive & unquoted_on[k]))
            found.append(Restricted(list(dict.fromkeys([*unquoted, *pinnable])), up, down))
        if pool is not None:
            could_hold = in_pool | stuck
    return found


def _mask(order_book_ids: list[str], columns: dict[str, int], size: int) -> np.ndarray:
    mask = np.zeros(size, dtype=bool)
    mask[[columns[i] for i in order_book_ids]] = True
    return mask


def _filled(values: np.ndarray) -> np.ndarray:
    """Days by stocks with each missing value at the last one before it (NaN before
    the first)."""
    rows = np.arange(len(values))[:, None]
    last = np.maximum.accumulate(np.where(np.isnan(values), -1, rows), axis=0)
    filled = np.take_along_axis(values, np.maximum(last, 0), axis=0)
    return np.where(last >= 0, filled, np.nan)


def benchmark_nav(benchmark, schedule: list, rows: list[int], prices: Prices) -> pd.Series:
    """Daily NAV of ``benchmark`` over the run's days, ``prices``' own; the rebalance
    dates of ``schedule`` stand at ``rows`` of them."""
    from ..benchmark import IndexBenchmark

    index = prices.days.as_unit("ns")
    if benchmark is None:
        return pd.Series(1.0, index=index, name="benchmark_nav")
    if isinstance(benchmark, IndexBenchmark):
        benchmark = benchmark._order_book_id
    if isinstance(benchmark, str):
        changes = quotaris.get_price_change_rate(benchmark, index[0], index[-1])
        growth = (1.0 + changes.fillna(0.0).to_numpy()).cumprod()
        return pd.Series(growth / growth[0], index=index, name="benchmark_nav")
    # Any other benchmark: its holdings on each rebalance date, drifting in between.
    nav = np.ones(len(index))
    for k, date in enumerate(schedule):
        here = rows[k]
        stop = rows[k + 1] if k + 1 < len(schedule) else len(nav) - 1
        weights = benchmark.get_weight(date)
        weights = weights / weights.sum()
        path, _, _ = prices.drift(weights, here, stop)
        nav[here + 1 : stop + 1] = nav[here] * path
    return pd.Series(nav, index=index, name="benchmark_nav")
