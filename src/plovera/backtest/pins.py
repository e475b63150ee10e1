"""What a rebalance may trade: the stocks it must leave alone, or may move one way only.

A stock without a quote on the date cannot trade: held, it keeps its drifted
weight; not held, it is not bought.  A stock closing at its limit-up price
cannot be bought at the close: held, its weight may fall but not rise above
its drifted weight; not held, it is not bought.  One closing at its
limit-down price cannot be sold: held, its weight may rise but not fall
below its drifted weight.  The strategy's own bounds still hold where they
can; where they cannot, the market's rule wins.  Each held stock so bound
is a pin of the date, and so is each stock of the pool at limit-up that is
not bought.

Price limits are read from ``quotaris.get_price_limits``, which needs the
market's closes: a market without a closes table (a bundle of daily returns
only) has no limits, and only its unquoted stocks are pinned.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import pandas as pd

import quotaris

__all__ = [
    "NO_PINS",
    "PIN_COLUMNS",
    "PIN_KINDS",
    "DateRules",
    "Restricted",
    "at_limits",
    "held_pins",
    "restricted_on",
]

#: Why a stock is pinned: no quote, a close at limit-up, a close at limit-down.
PIN_KINDS = ("suspended", "limit_up", "limit_down")
#: The columns of a run's record of its pins.
PIN_COLUMNS = ("date", "order_book_id", "kind", "weight")

#: The pins of a date without any: held stocks by ``kind`` and drifted ``weight``.
NO_PINS = pd.DataFrame(
    {"kind": pd.Series(dtype=object), "weight": pd.Series(dtype=float)},
    index=pd.Index([], dtype=object),
)


class Restricted(NamedTuple):
    """Stocks that cannot trade freely on a date."""

    #: Without a quote: neither bought nor sold.
    suspended: list[str]
    #: Closing at limit-up: not bought.
    limit_up: list[str]
    #: Closing at limit-down: not sold.
    limit_down: list[str]


def restricted_on(date, order_book_ids, price_limits: bool = True) -> Restricted:
    """The stocks of ``order_book_ids`` without a quote on ``date`` and, with
    ``price_limits``, the quoted ones closing at a limit."""
    ids = list(dict.fromkeys(order_book_ids))
    last = quotaris.get_price_change_rate(ids, date, date).iloc[-1]
    quoted = last.notna().to_numpy()
    up, down = at_limits(date, last.index[quoted].tolist()) if price_limits else ([], [])
    return Restricted(last.index[~quoted].tolist(), up, down)


def at_limits(date, order_book_ids: list[str]) -> tuple[list[str], list[str]]:
    """The stocks of ``order_book_ids`` closing at limit-up and at limit-down on
    ``date``; none where the market has no closes."""
    found, _ = quotaris.find_instruments(order_book_ids)
    # Only stocks have limits; an index in a pool is dropped by the optimisation.
    stocks = [i.order_book_id for i in found if i.type == "CS"]
    if not stocks:
        return [], []
    try:
        limits = quotaris.get_price_limits(stocks, date)
    except quotaris.MissingData:
        # The only table the reading needs beyond the quotes already read: the closes.
        return [], []
    up = limits["at_limit_up"].to_numpy(dtype=bool)
    down = limits["at_limit_down"].to_numpy(dtype=bool)
    return limits.index[up].tolist(), limits.index[down].tolist()


def held_pins(date, holdings: pd.Series, unquoted: pd.Series, price_limits: bool) -> pd.DataFrame:
    """The stocks of ``holdings`` (drifted weights) that cannot trade freely on
    ``date``, by kind and weight: ``unquoted`` (those without a quote) and, with
    ``price_limits``, the others closing at a limit."""
    up = down = []
    if price_limits and len(holdings) > len(unquoted):
        up, down = at_limits(date, [i for i in holdings.index if i not in unquoted.index])
    return _pins(Restricted(unquoted.index.tolist(), up, down), holdings)


def _pins(restricted: Restricted, holdings: pd.Series) -> pd.DataFrame:
    """The stocks of ``restricted`` that ``holdings`` hold, by kind and weight."""
    ids, kinds = [], []
    for kind, group in zip(PIN_KINDS, restricted, strict=True):
        held = [i for i in group if i in holdings.index]
        ids += held
        kinds += [kind] * len(held)
    if not ids:
        return NO_PINS
    weights = holdings.reindex(ids).to_numpy(dtype=float)
    return pd.DataFrame(
        {"kind": pd.Series(kinds, dtype=object).to_numpy(), "weight": weights},
        index=pd.Index(ids, dtype=object),
    )


def _strategy_bound(bnds: dict, order_book_id: str) -> tuple[float, float]:
    """The bounds ``portfolio_optimize`` gives a stock under ``bnds``: its own pair, else
    the wildcard's, else (0, 1); None on either side is no limit."""
    lower, upper = bnds.get(order_book_id, bnds.get("*", (0.0, 1.0)))
    return (0.0 if lower is None else float(lower)), (1.0 if upper is None else float(upper))


class DateRules:
    """How a date's restricted stocks enter its problem, with or without its holdings.

    ``pool`` is the strategy's pool with the stocks that may have to stay
    held (without a quote, at limit-down); ``zero`` the stocks held at zero
    unless a pin sets them (without a quote, at limit-up in the pool, at
    limit-down outside it); ``pinnable`` those a pin may set.
    """

    def __init__(self, pool: list[str], restricted: Restricted) -> None:
        in_pool = set(pool)
        self.limit_up = [i for i in restricted.limit_up if i in in_pool]
        outside = [i for i in restricted.limit_down if i not in in_pool]
        self.pool = list(dict.fromkeys([*pool, *restricted.suspended, *outside]))
        self.in_pool = in_pool
        self.zero = list(dict.fromkeys([*restricted.suspended, *self.limit_up, *outside]))
        self.pinnable = frozenset(self.zero) | frozenset(restricted.limit_down)

    def pins_of(self, current: pd.Series, restricted: Restricted) -> pd.DataFrame:
        """The pins of holdings ``current``: held stocks ``restricted`` on the date."""
        return self.usable(_pins(restricted, current))

    def usable(self, pins: pd.DataFrame) -> pd.DataFrame:
        """``pins`` without the held stocks at limit-up outside the pool: the strategy
        sells them, which the limit allows."""
        outside = (pins["kind"] == "limit_up").to_numpy() & ~pins.index.isin(self.in_pool)
        return pins[~outside] if outside.any() else pins

    def apply(self, weights: pd.Series, pins: pd.DataFrame) -> pd.Series:
        """``weights`` as the market lets them trade: ``pins`` without a quote, or at
        limit-down outside the pool, at exactly their weight, at limit-up at most and at
        limit-down at least theirs, the other stocks of ``zero`` at 0; the rest scaled
        to fill up to 1."""
        out = [i for i in self.zero if i in weights.index and i not in pins.index]
        if pins.empty and not out:
            return weights
        fixed = pins.index.append(pd.Index(out))
        where = weights.index.get_indexer(fixed)
        if (where < 0).any():
            weights = pd.concat([weights, pd.Series(0.0, index=fixed[where < 0])])
            where = weights.index.get_indexer(fixed)
        values = np.clip(weights.to_numpy(dtype=float), 0.0, None)
        n = len(pins)
        kinds = pins["kind"].to_numpy()
        held = pins["weight"].to_numpy(dtype=float)
        exact = (kinds == "suspended") | ~pins.index.isin(self.in_pool)
        chosen = values[where[:n]]
        values[where[:n]] = np.select(
            [exact, kinds == "limit_up"], [held, np.minimum(chosen, held)], np.maximum(chosen, held)
        )
        values[where[n:]] = 0.0
        free = np.ones(len(values), dtype=bool)
        free[where] = False
        rest = values[free].sum()
        room = max(1.0 - values[~free].sum(), 0.0)
        values[free] = values[free] * (room / rest) if rest > 0 else 0.0
        return pd.Series(values, index=weights.index)

    def bounds(self, pins: pd.DataFrame, bnds: dict | None) -> dict:
        """The bounds of the stocks of ``pins`` (by kind and weight w) under the strategy's
        ``bnds``: without a quote (w, w); at limit-up the strategy's capped at w, at
        limit-down floored at w, with (0, 0) as the strategy's outside the pool."""
        bnds = bnds or {}
        bounds = {}
        for order_book_id, kind, weight in zip(
            pins.index, pins["kind"], pins["weight"], strict=True
        ):
            w = float(weight)
            lower, upper = 0.0, 0.0
            if order_book_id in self.in_pool:
                lower, upper = _strategy_bound(bnds, order_book_id)
            if kind == "suspended":
                bounds[order_book_id] = (w, w)
            elif kind == "limit_up":
                bounds[order_book_id] = (min(lower, w), min(upper, w))
            else:
                bounds[order_book_id] = (max(lower, w), max(upper, w))
        return bounds

    def record(self, pins: pd.DataFrame) -> pd.DataFrame:
        """The date's pins as recorded: ``pins`` and the stocks of the pool at limit-up
        that are not held, at weight 0."""
        kept_out = [i for i in self.limit_up if i not in pins.index]
        if not kept_out:
            return pins
        shut = pd.DataFrame({"kind": "limit_up", "weight": 0.0}, index=pd.Index(kept_out))
        return pd.concat([pins, shut]) if len(pins) else shut
