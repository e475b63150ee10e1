"""The market as aligned numpy arrays: what the risk model is estimated from.

:meth:`MarketPanel.load` reads every common stock of the current quotaris
source over a date range through quotaris' public readers, once, and keeps
the daily tables as trading days × stocks float64 arrays (NaN where a stock
has no value).  Tables the source lacks are None, and ``missing`` says why,
so that the styles which need them can say so by name.

Industries and fundamentals are point-in-time tables; they are read day by
day, so that what the panel holds for a day is exactly what the source
served on that day: industries as integer codes (``industry_names[code]``,
-1 unclassified), fundamentals as the announcements that changed them.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

import quotaris
from quotaris import MissingData
from quotaris.tables import FUNDAMENTAL_FIELDS

__all__ = ["Fundamentals", "MarketPanel", "source_stock_ids"]

#: Called with the fraction of the load done (0 to 1) and the table being read.
Progress = Callable[[float, str], None]

_NOT_DELISTED = np.datetime64("NaT", "D")


@dataclass(eq=False)
class Fundamentals:
    """Point-in-time fundamentals: the days on which a stock's values changed.

    ``day`` (E) are panel day positions, ``stock`` (E) panel stock positions,
    ``values`` (E × len(fields)) the values in force from that day on; the
    events are sorted by stock, then day.
    """

    fields: tuple[str, ...]
    day: np.ndarray
    stock: np.ndarray
    values: np.ndarray
    n_days: int
    n_stocks: int

    @functools.cached_property
    def _keys(self) -> np.ndarray:
        return self.stock.astype(np.int64) * self.n_days + self.day

    def at(self, day: int, stocks: np.ndarray | None = None) -> np.ndarray:
        """Values known at the close of panel day ``day``: stocks × fields, NaN before any."""
        stocks = np.arange(self.n_stocks) if stocks is None else np.asarray(stocks, np.int64)
        out = np.full((len(stocks), len(self.fields)), np.nan)
        if len(self.day) == 0:
            return out
        position = np.searchsorted(self._keys, stocks * self.n_days + day, side="right") - 1
        row = np.maximum(position, 0)
        known = (position >= 0) & (self.stock[row] == stocks)
        out[known] = self.values[row[known]]
        return out

    def field(self, name: str) -> int:
        """The column of ``name`` in ``values``; a field the source lacks is MissingData."""
        try:
            return self.fields.index(name)
        except ValueError:
            raise MissingData(f"the fundamentals table has no {name} column") from None


@dataclass(eq=False)
class MarketPanel:
    """Every common stock of a market over a range of trading days, as aligned arrays.

    dates
        The trading days (T), ascending.
    order_book_ids
        The stocks (N), ascending.
    returns
        Daily fractional price changes, T × N, NaN on days without a quote.
    cap_total, cap_float, turnover
        Daily total and free-float market caps and share turnover, T × N,
        or None when the source lacks the table.
    industry, industry_names, industry_scheme
        Level-1 industry codes in force each day, T × N int16 (-1 where a
        stock is unclassified or not listed), the names the codes stand for
        (sorted), and the scheme; None when the source lacks industries.
    fundamentals
        Point-in-time fundamentals, or None when the source lacks them.
    listed_dates, de_listed_dates
        Per stock, datetime64[D]; NaT for a stock that is not delisted.
    missing
        Table name -> why the panel lacks it (the source's message).
    """

    dates: pd.DatetimeIndex
    order_book_ids: pd.Index
    returns: np.ndarray
    cap_total: np.ndarray | None
    cap_float: np.ndarray | None
    turnover: np.ndarray | None
    industry: np.ndarray | None
    industry_names: tuple[str, ...] | None
    industry_scheme: str
    fundamentals: Fundamentals | None
    listed_dates: np.ndarray
    de_listed_dates: np.ndarray
    missing: dict[str, str] = field(default_factory=dict)

    @classmethod
    def load(
        cls,
        start: object = None,
        end: object = None,
        order_book_ids: Iterable[str] | None = None,
        *,
        scheme: str = "sws",
        progress: Progress | None = None,
    ) -> MarketPanel:
        """Read the panel from the current quotaris source.

        ``start`` and ``end`` default to the first and last trading days of
        the source; ``order_book_ids`` to every common stock of the source
        (see :func:`source_stock_ids`).  Identifiers that are not common
        stocks are left out; unknown ones are a ``ValueError`` naming them.
        """
        report = progress if progress is not None else _ignore_progress
        calendar = quotaris.get_source().trading_dates()
        first = calendar[0] if start is None else start
        last = calendar[-1] if end is None else end
        dates = quotaris.get_trading_dates(first, last)
        if len(dates) == 0:
            raise ValueError(f"no trading days from {first} to {last}")
        records = _stock_records(source_stock_ids() if order_book_ids is None else order_book_ids)
        ids = [record.order_book_id for record in records]
        listed = np.array([record.listed_date for record in records], dtype="datetime64[D]")
        de_listed = np.array(
            [
                _NOT_DELISTED
                if record.de_listed_date == quotaris.NOT_DELISTED
                else np.datetime64(record.de_listed_date, "D")
                for record in records
            ],
            dtype="datetime64[D]",
        )
        begin, stop = dates[0].date(), dates[-1].date()
        missing: dict[str, str] = {}

        report(0.0, "prices")
        returns = _array(quotaris.get_price_change_rate(ids, begin, stop))

        def daily(name: str, read: Callable[[list[str]], pd.DataFrame]) -> np.ndarray | None:
            try:
                read([])
            except MissingData as error:
                missing[name] = str(error)
                return None
            return _array(read(ids))

        cap_total = daily(
            "market_cap_total", lambda i: quotaris.get_market_cap(i, begin, stop, "total")
        )
        cap_float = daily(
            "market_cap_float", lambda i: quotaris.get_market_cap(i, begin, stop, "float")
        )
        turnover = daily("turnover", lambda i: quotaris.get_turnover(i, begin, stop))
        listed_by = listed[None, :] <= dates.to_numpy().astype("datetime64[D]")[:, None]
        industry, names = _industries(ids, dates, listed_by, scheme, missing, report)
        fundamentals = _fundamentals(ids, dates, missing, report)
        report(1.0, "fundamentals")
        return cls(
            dates=pd.DatetimeIndex(dates),
            order_book_ids=pd.Index(ids, dtype=object),
            returns=returns,
            cap_total=cap_total,
            cap_float=cap_float,
            turnover=turnover,
            industry=industry,
            industry_names=names,
            industry_scheme=scheme,
            fundamentals=fundamentals,
            listed_dates=listed,
            de_listed_dates=de_listed,
            missing=missing,
        )

    @property
    def n_days(self) -> int:
        return len(self.dates)

    @property
    def n_stocks(self) -> int:
        return len(self.order_book_ids)

    def position(self, date: object) -> int:
        """The panel day position of a trading day; other days are a ValueError naming it."""
        day = pd.Timestamp(quotaris.to_date(date))
        position = int(self.dates.searchsorted(day))
        if position == self.n_days or self.dates[position] != day:
            raise ValueError(
                f"{day.date()} is not a trading day of the panel "
                f"({self.dates[0].date()} to {self.dates[-1].date()})"
            )
        return position

    def alive(self, day: int) -> np.ndarray:
        """Stocks an optimisation on panel day ``day`` can hold: listed before it, not delisted."""
        date = self.dates[day].to_datetime64().astype("datetime64[D]")
        delisted = ~np.isnat(self.de_listed_dates) & (self.de_listed_dates <= date)
        return (self.listed_dates < date) & ~delisted

    def days_listed(self, day: int) -> np.ndarray:
        """Trading days from each stock's listing day through panel day ``day`` (0 before).

        Before the panel starts, weekdays stand in for trading days.
        """
        return np.maximum(day + 1 - self.listing_position, 0)

    @functools.cached_property
    def listing_position(self) -> np.ndarray:
        """Panel day position of each listing; negative for listings before the panel."""
        first = self.dates[0].to_datetime64().astype("datetime64[D]")
        inside = self.dates.searchsorted(
            pd.DatetimeIndex(self.listed_dates.astype("datetime64[ns]"))
        )
        before = np.busday_count(np.minimum(self.listed_dates, first), first)
        return np.where(self.listed_dates < first, -before, inside)

    @functools.cached_property
    def log_returns(self) -> np.ndarray:
        """log(1 + r), 0 on days without a quote."""
        return np.log1p(np.nan_to_num(self.returns))

    @functools.cached_property
    def quoted_count(self) -> np.ndarray:
        """Quoted days before each panel day, (T + 1) × N: days a..b hold row b+1 − row a."""
        counts = np.zeros((self.n_days + 1, self.n_stocks), dtype=np.int32)
        np.cumsum(np.isfinite(self.returns), axis=0, out=counts[1:])
        return counts

    @functools.cached_property
    def log_price(self) -> np.ndarray:
        """Cumulative log return of each stock from the panel's first day, T × N."""
        return np.cumsum(self.log_returns, axis=0)

    @functools.cached_property
    def weighting_cap(self) -> np.ndarray | None:
        """The caps that weight the cross-sections: total caps, else free-float caps."""
        return self.cap_total if self.cap_total is not None else self.cap_float


def _ignore_progress(fraction: float, stage: str) -> None:
    del fraction, stage


def source_stock_ids() -> list[str]:
    """The common stocks of the current source, ascending."""
    return [record.order_book_id for record in quotaris.all_instruments("CS")]


def _stock_records(order_book_ids: Iterable[str]) -> list[quotaris.Instrument]:
    ids = sorted(set(order_book_ids))
    records, unknown = quotaris.find_instruments(ids)
    if unknown:
        raise ValueError(f"unknown order_book_ids: {', '.join(unknown)}")
    return [record for record in records if record.type == "CS"]


def _array(frame: pd.DataFrame) -> np.ndarray:
    return frame.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)


#: Trading days between the full reads of a point-in-time table; the days
#: between are read only for the stocks whose values changed across them.
_SAMPLE_STRIDE = 5


def _changes(
    read: Callable[[int, np.ndarray], np.ndarray],
    n_days: int,
    n_stocks: int,
    width: int,
    blank: object,
    eligible: np.ndarray | None,
    report: Progress,
    stage: str,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every change of a point-in-time table, day by day: (day, stock, values) events.

    ``read(day, stocks)`` gives the values in force on ``day`` (stocks ×
    width); a stock not ``eligible`` on a day is not asked and holds
    ``blank``.  Values in force on two days are also in force between them
    unless something was announced in between, so full reads every
    ``_SAMPLE_STRIDE`` days, and day-by-day reads of the stocks that changed
    across a stride, see every announcement on its own day.
    """
    dtype = np.float64 if blank is not None else object

    def values_on(day: int, stocks: np.ndarray) -> np.ndarray:
        out = np.full((len(stocks), width), blank, dtype=dtype)
        asked = np.ones(len(stocks), bool) if eligible is None else eligible[day, stocks]
        if asked.any():
            out[asked] = read(day, stocks[asked])
        return out

    def differ(a: np.ndarray, b: np.ndarray) -> np.ndarray:
        return ~((a == b) | (pd.isna(a) & pd.isna(b))).all(axis=1)

    everyone = np.arange(n_stocks)
    previous = values_on(0, everyone)
    first = np.flatnonzero(~pd.isna(previous).all(axis=1))
    days, stocks, values = [np.zeros(len(first), np.int64)], [first], [previous[first]]
    samples = [*range(_SAMPLE_STRIDE, n_days - 1, _SAMPLE_STRIDE), n_days - 1]
    before = 0
    for sample in samples if n_days > 1 else []:
        current = values_on(sample, everyone)
        changed = np.flatnonzero(differ(previous, current))
        last = previous[changed]
        for day in range(before + 1, sample + 1) if len(changed) else ():
            now = current[changed] if day == sample else values_on(day, changed)
            moved = differ(last, now)
            days.append(np.full(int(moved.sum()), day, np.int64))
            stocks.append(changed[moved])
            values.append(now[moved])
            last = now
        previous, before = current, sample
        report(sample / n_days, stage)
    day_of, stock_of = np.concatenate(days), np.concatenate(stocks)
    order = np.lexsort((day_of, stock_of))
    return day_of[order], stock_of[order], np.vstack(values)[order]


def _industries(
    ids: list[str],
    dates: pd.DatetimeIndex,
    listed_by: np.ndarray,
    scheme: str,
    missing: dict[str, str],
    report: Progress,
) -> tuple[np.ndarray | None, tuple[str, ...] | None]:
    try:
        quotaris.get_industry([], dates[0], scheme)
    except MissingData as error:
        missing["industry"] = str(error)
        return None, None
    stock_ids = np.array(ids, dtype=object)

    def read(day: int, stocks: np.ndarray) -> np.ndarray:
        served = quotaris.get_industry(stock_ids[stocks].tolist(), dates[day], scheme)
        return served.to_numpy(dtype=object)[:, None]

    def stage(fraction: float, name: str) -> None:
        report(0.1 + 0.2 * fraction, name)

    day, stock, names = _changes(
        read, len(dates), len(ids), 1, None, listed_by, stage, "industries"
    )
    event_codes, uniques = pd.factorize(names[:, 0], sort=True, use_na_sentinel=True)
    codes = np.full((len(dates), len(ids)), -1, dtype=np.int16)
    # Each event holds until the stock's next one.
    until = np.r_[np.where(stock[1:] == stock[:-1], day[1:], len(dates)), len(dates)]
    for begin, end, column, code in zip(day, until, stock, event_codes, strict=True):
        codes[begin:end, column] = code
    return codes, tuple(str(name) for name in uniques)


def _fundamentals(
    ids: list[str], dates: pd.DatetimeIndex, missing: dict[str, str], report: Progress
) -> Fundamentals | None:
    fields, absent = [], {}
    for name in FUNDAMENTAL_FIELDS:
        try:
            quotaris.get_fundamentals([], dates[0], name)
        except MissingData as error:
            absent[f"fundamentals.{name}"] = str(error)
        else:
            fields.append(name)
    if not fields:
        missing["fundamentals"] = next(iter(absent.values()))
        return None
    missing.update(absent)
    stock_ids = np.array(ids, dtype=object)

    def read(day: int, stocks: np.ndarray) -> np.ndarray:
        served = quotaris.get_fundamentals(stock_ids[stocks].tolist(), dates[day], fields)
        return served.to_numpy(dtype=np.float64, na_value=np.nan)

    def stage(fraction: float, name: str) -> None:
        report(0.3 + 0.7 * fraction, name)

    day, stock, values = _changes(
        read, len(dates), len(ids), len(fields), np.nan, None, stage, "fundamentals"
    )
    return Fundamentals(
        fields=tuple(fields),
        day=day,
        stock=stock,
        values=values,
        n_days=len(dates),
        n_stocks=len(ids),
    )
