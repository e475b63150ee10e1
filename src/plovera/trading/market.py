"""What the market allows on a day: which stocks trade, and which can be bought or sold.

Shared by the trading restriction of optimisations and by the orders, which
both read the day's price limits from ``quotaris``: a stock closing at its
limit-up price cannot be bought at the close, one at its limit-down price
cannot be sold, and one without a quote that day (suspended) can be neither.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterable

import numpy as np
import pandas as pd

import quotaris

from ..exception import InvalidArgument

__all__ = ["STATES", "trading_states"]

#: Why a stock cannot be traded freely, in the order a stock's state is named by.
STATES = ("suspended", "limit_up", "limit_down", "no_buy", "no_sell")

#: Identifiers a message names before it only counts the rest.
_SHOWN = 5


def names(ids: Iterable[object]) -> str:
    ids = list(ids)
    shown = ", ".join(str(i) for i in ids[:_SHOWN])
    return shown if len(ids) <= _SHOWN else f"{shown} and {len(ids) - _SHOWN} more"


def day_of(name: str, value: object) -> datetime.date:
    try:
        return quotaris.to_date(value)
    except (TypeError, ValueError) as error:
        raise InvalidArgument(f"{name}: {error}") from None


def id_list(name: str, value: object) -> list[str]:
    """Identifiers given as one string or an iterable of strings."""
    if isinstance(value, str):
        return [value]
    try:
        ids = list(value)
    except TypeError:
        raise InvalidArgument(f"{name} must be a list of order_book_ids, got {value!r}") from None
    not_text = [i for i in ids if not isinstance(i, str)]
    if not_text:
        raise InvalidArgument(f"{name} must hold order_book_id strings, got {not_text[:_SHOWN]!r}")
    return list(dict.fromkeys(ids))


def numeric_series(name: str, value: object, noun: str = "value") -> pd.Series:
    """``value`` as a Series of finite floats indexed by distinct identifiers, refused
    naming ``name`` otherwise."""
    if not isinstance(value, pd.Series) or value.index.has_duplicates:
        raise InvalidArgument(
            f"{name} must be a pandas Series of {noun}s indexed by distinct order_book_ids, "
            f"got {value!r}"
        )
    try:
        numeric = value.astype("float64")
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} holds {noun}s that are not numbers: {value!r}") from None
    bad = numeric.index[~np.isfinite(numeric.to_numpy())]
    if len(bad):
        raise InvalidArgument(f"{name} has no finite {noun} for {names(bad)}")
    return numeric


def check_stocks(
    ids: list[str], day: datetime.date, what: str, quoted_before: bool = False
) -> None:
    """Refuse identifiers the market data does not know, that are no stocks, or that are
    not listed on ``day`` (not yet, or delisted by then), naming them as ``what``'s;
    ``quoted_before`` refuses a stock listed on ``day`` too (no risk forecast has it)."""
    found, unknown = quotaris.find_instruments(ids)
    if unknown:
        raise InvalidArgument(f"{what}: the market data does not know {names(unknown)}")
    not_stocks = [i.order_book_id for i in found if i.type != "CS"]
    if not_stocks:
        raise InvalidArgument(f"{what}: {names(not_stocks)} are no stocks")
    text = day.isoformat()
    unlisted = [
        i.order_book_id
        for i in found
        if i.listed_date > text or (quoted_before and i.listed_date == text)
    ]
    if unlisted:
        when = "before" if quoted_before else "on"
        raise InvalidArgument(f"{what}: {names(unlisted)} are not listed {when} {day}")
    gone = [
        f"{i.order_book_id} (delisted {i.de_listed_date})"
        for i in found
        if i.de_listed_date != quotaris.NOT_DELISTED and i.de_listed_date <= text
    ]
    if gone:
        raise InvalidArgument(f"{what}: {names(gone)} cannot be traded on {day}")


def trading_states(
    order_book_ids: Iterable[str],
    date: object,
    no_buy: Iterable[str] = (),
    no_sell: Iterable[str] = (),
) -> pd.DataFrame:
    """What each stock allows at the close of ``date``, by identifier.

    Columns ``close`` (NaN without a quote that day), ``previous_close``,
    ``price`` (the close, else the last close before: what a suspended
    holding is worth), ``suspended``, ``limit_up`` and ``limit_down`` (the
    close at that limit), ``no_buy`` and ``no_sell`` (the day's states and the
    stocks given in ``no_buy`` / ``no_sell``), and ``state``: the first of
    ``STATES`` that holds, "" for a stock that trades freely.

    The stocks, and those of ``no_buy`` and ``no_sell``, must be stocks the
    market data knows and lists on ``date``, a trading day; a market without
    closes cannot tell, and is refused.
    """
    day = day_of("date", date)
    ids = id_list("order_book_ids", order_book_ids)
    blocked = {"no_buy": id_list("no_buy", no_buy), "no_sell": id_list("no_sell", no_sell)}
    check_stocks(ids + blocked["no_buy"] + blocked["no_sell"], day, "trading states")
    try:
        trading_day = quotaris.trading_date_offset(day, 0) == day
    except quotaris.MissingData as error:
        raise InvalidArgument(f"date {day}: {error}") from None
    if not trading_day:
        raise InvalidArgument(f"date {day} is no trading day: nothing trades at its close")
    if not ids:
        columns = ["close", "previous_close", "price", *STATES[:3], "no_buy", "no_sell", "state"]
        return pd.DataFrame(columns=columns, index=pd.Index([], dtype=object))
    try:
        limits = quotaris.get_price_limits(ids, day)
    except quotaris.MissingData as error:
        raise InvalidArgument(
            f"the market data cannot tell the price limits on {day} ({error}): "
            "which stocks can be traded needs its closes"
        ) from None
    close = limits["close"].to_numpy(dtype=float)
    previous = limits["previous_close"].to_numpy(dtype=float)
    bad = [i for i, c in zip(ids, close, strict=True) if c <= 0]
    if bad:
        raise InvalidArgument(f"the market data gives closes of 0 or less on {day}: {names(bad)}")
    suspended = np.isnan(close)
    up = limits["at_limit_up"].to_numpy(dtype=bool) & ~suspended
    down = limits["at_limit_down"].to_numpy(dtype=bool) & ~suspended
    given_buy = np.isin(ids, blocked["no_buy"])
    given_sell = np.isin(ids, blocked["no_sell"])
    flags = [suspended, up, down, given_buy, given_sell]
    state = np.full(len(ids), "", dtype=object)
    for name, flag in reversed(list(zip(STATES, flags, strict=True))):
        state[flag] = name
    return pd.DataFrame(
        {
            "close": close,
            "previous_close": previous,
            "price": np.where(suspended, previous, close),
            "suspended": suspended,
            "limit_up": up,
            "limit_down": down,
            "no_buy": suspended | up | given_buy,
            "no_sell": suspended | down | given_sell,
            "state": state,
        },
        index=pd.Index(ids, dtype=object),
    )
