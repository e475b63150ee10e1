"""What trading A-shares costs: commission, stamp duty, transfer fee and price impact."""

from __future__ import annotations

import bisect
import dataclasses
import datetime
import math
import numbers
from collections.abc import Iterable, Mapping

import numpy as np
import pandas as pd

import quotaris

from ..exception import InvalidArgument
from .market import day_of, numeric_series

__all__ = ["COST_KINDS", "STAMP_DUTY", "AShareCosts"]

#: The kinds of cost, in the order they are reported.
COST_KINDS = ("commission", "stamp_duty", "transfer_fee", "impact")

#: Stamp duty on sales, as (first trade date, rate) pairs: 0.1 % from 2008-09-19, when
#: it became a duty on sales only, and 0.05 % from 2023-08-28.
STAMP_DUTY = ((datetime.date(2008, 9, 19), 0.001), (datetime.date(2023, 8, 28), 0.0005))


def _number(name: str, value: object, upper: float = math.inf) -> float:
    """A finite real in [0, upper), refused naming ``name`` and the value otherwise."""
    ok = isinstance(value, numbers.Real) and not isinstance(value, bool)
    if not (ok and math.isfinite(value) and 0 <= value < upper):
        span = "at least 0" if math.isinf(upper) else f"from 0 up to {upper:g}"
        raise InvalidArgument(f"{name} must be a finite number {span}, got {value!r}")
    return float(value)


def _schedule(value: object) -> tuple[tuple[datetime.date, float], ...]:
    """A stamp duty given as a flat rate, a mapping from the first date of each rate to
    the rate, or (date, rate) pairs, as sorted (date, rate) pairs."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return ((datetime.date.min, _number("stamp_duty", value, 1.0)),)
    try:
        items = list(value.items() if isinstance(value, Mapping) else value)
        pairs = [
            (day_of("stamp_duty", day), _number("stamp_duty", rate, 1.0)) for day, rate in items
        ]
    except (TypeError, ValueError):
        raise InvalidArgument(
            f"stamp_duty must be a rate or a schedule {{first date: rate}}, got {value!r}"
        ) from None
    starts = [day for day, _ in pairs]
    if not pairs or len(set(starts)) < len(starts):
        raise InvalidArgument(f"stamp_duty needs one rate per first date, got {value!r}")
    return tuple(sorted(pairs))


def _weights(name: str, weights: object) -> pd.Series:
    return numeric_series(name, weights, "weight")


def _changes(before: pd.Series, after: pd.Series) -> tuple[pd.Index, np.ndarray]:
    """The stocks of either weights, and each one's change from ``before`` to ``after``."""
    before, after = _weights("before", before), _weights("after", after)
    ids = before.index.union(after.index, sort=False)
    delta = (
        after.reindex(ids, fill_value=0.0).to_numpy()
        - before.reindex(ids, fill_value=0.0).to_numpy()
    )
    return ids, delta


@dataclasses.dataclass(frozen=True)
class AShareCosts:
    """The cost of a rebalance on the Chinese A-share market, by kind, as fractions of the
    portfolio's value.

    ``commission`` is charged on purchases and sales, at least ``min_commission``
    yuan per order (each stock whose weight changes); ``stamp_duty`` on sales
    only, a flat rate or a schedule ``{first trade date: rate}`` (by default
    ``STAMP_DUTY``: 0.1 % up to 2023-08-27 and 0.05 % from 2023-08-28; a trade
    before the schedule's first date is refused); ``transfer_fee`` on
    purchases and sales.  Price impact follows the square-root law: a trade of
    value Q in a stock costs ``impact × σ × sqrt(Q / ADV)`` of Q, with σ the
    stock's daily volatility and ADV its average daily traded value (turnover
    × float market cap), both over the ``impact_window`` trading days before
    the trade date (data through the day before).  A stock with no quoted
    volatility or traded value in that window is charged at the largest
    σ / sqrt(ADV) of the stocks of the same call that have one.

    The minimum commission and the impact need the portfolio's value in yuan:
    ``capital``, or the value given to ``costs``.  Without one, the minimum
    is not applied and the impact is zero.  A backtest values the portfolio
    at ``capital`` × NAV.
    """

    commission: float = 0.00025
    min_commission: float = 5.0
    stamp_duty: float | Mapping | Iterable = STAMP_DUTY
    transfer_fee: float = 0.00001
    impact: float = 1.0
    impact_window: int = 20
    capital: float | None = None

    def __post_init__(self) -> None:
        for name in ("commission", "transfer_fee"):
            object.__setattr__(self, name, _number(name, getattr(self, name), 1.0))
        for name in ("min_commission", "impact"):
            object.__setattr__(self, name, _number(name, getattr(self, name)))
        object.__setattr__(self, "stamp_duty", _schedule(self.stamp_duty))
        window = self.impact_window
        if not (isinstance(window, numbers.Integral) and not isinstance(window, bool)) or (
            window < 2
        ):
            raise InvalidArgument(
                f"impact_window must be a whole number of at least 2 days, got {window!r}"
            )
        object.__setattr__(self, "impact_window", int(window))
        if self.capital is not None:
            object.__setattr__(self, "capital", _value("capital", self.capital))

    def stamp_duty_on(self, date: object) -> float:
        """The stamp duty rate on a sale on ``date``."""
        day = day_of("date", date)
        starts = [start for start, _ in self.stamp_duty]
        k = bisect.bisect_right(starts, day) - 1
        if k < 0:
            raise InvalidArgument(
                f"the stamp duty schedule starts on {starts[0]}: no rate for a trade on {day}"
            )
        return self.stamp_duty[k][1]

    def costs(
        self, date: object, before: pd.Series, after: pd.Series, value: float | None = None
    ) -> pd.Series:
        """The cost of trading from weights ``before`` to ``after`` on ``date``, by kind
        (``COST_KINDS``), as fractions of the portfolio's value ``value`` in yuan
        (by default ``capital``).  A stock missing from one side weighs 0 there."""
        value = self.capital if value is None else _value("value", value)
        ids, delta = _changes(before, after)
        traded = np.abs(delta)
        orders = traded > 0
        linear = traded.sum()
        if value is None:
            commission = self.commission * linear
        else:
            fees = np.maximum(self.commission * traded[orders] * value, self.min_commission)
            commission = fees.sum() / value
        impact = 0.0
        if orders.any():
            coefficients = self.impact_coefficients(date, ids[orders], value)
            impact = float(coefficients @ traded[orders] ** 1.5)
        sold = np.clip(-delta, 0.0, None).sum()
        values = [commission, self.stamp_duty_on(date) * sold, self.transfer_fee * linear, impact]
        return pd.Series(values, index=list(COST_KINDS), dtype=float, name="cost")

    def impact_coefficients(
        self, date: object, order_book_ids: Iterable[str], value: float | None
    ) -> np.ndarray:
        """Per stock, k such that trading a weight change Δ costs k × |Δ|^1.5 of a
        portfolio worth ``value`` yuan: impact × σ × sqrt(value / ADV).  Zeros when
        ``value`` is None or the impact coefficient is 0."""
        ids = list(order_book_ids)
        if value is None or self.impact == 0 or not ids:
            return np.zeros(len(ids))
        liquidity = self.liquidity(date, ids)
        traded = liquidity["traded_value"].to_numpy()
        with np.errstate(divide="ignore", invalid="ignore"):
            scale = liquidity["volatility"].to_numpy() / np.sqrt(traded)
        known = np.isfinite(scale)
        if not known.any():
            raise InvalidArgument(
                f"none of {', '.join(ids[:5])}{' ...' if len(ids) > 5 else ''} has quotes and "
                f"traded value in the {self.impact_window} trading days before {date}: their "
                "price impact cannot be measured"
            )
        scale = np.where(known, scale, scale[known].max())
        return self.impact * scale * math.sqrt(value)

    def liquidity(self, date: object, order_book_ids: Iterable[str]) -> pd.DataFrame:
        """Each stock's daily volatility (standard deviation of its daily price changes)
        and average daily traded value in yuan over the ``impact_window`` trading days
        before ``date``, NaN where the window holds fewer than two quotes or no traded
        value: the identifiers by ``volatility`` and ``traded_value``."""
        day = day_of("date", date)
        ids = list(order_book_ids)
        try:
            end = quotaris.trading_date_offset(day, -1)
        except quotaris.MissingData:
            raise InvalidArgument(
                f"no trading day before {day}: price impact needs the days before the trade"
            ) from None
        try:
            start = quotaris.trading_date_offset(day, -self.impact_window)
        except quotaris.MissingData:
            # The data begin less than a window before: use what there is.
            start = quotaris.get_source().trading_dates()[0].date()
        returns = quotaris.get_price_change_rate(ids, start, end)
        turnover = quotaris.get_turnover(ids, start, end).to_numpy()
        caps = quotaris.get_market_cap(ids, start, end, kind="float").to_numpy()
        daily = turnover * caps
        quoted = np.isfinite(daily)
        days = quoted.sum(axis=0)
        total = np.where(quoted, daily, 0.0).sum(axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            traded = np.where(days > 0, total / days, np.nan)
        traded = np.where(traded > 0, traded, np.nan)
        volatility = returns.std(ddof=1).to_numpy()
        return pd.DataFrame({"volatility": volatility, "traded_value": traded}, index=ids)


def _value(name: str, value: object) -> float:
    number = _number(name, value)
    if number <= 0:
        raise InvalidArgument(f"{name} must be a positive amount of yuan, got {value!r}")
    return number
