"""Module-level readers of market data over one swappable, process-wide source.

The functions accept the loose forms callers hold (an identifier string or any
iterable of them; dates as ``datetime.date``, ``datetime.datetime``,
``pandas.Timestamp`` or "YYYY-MM-DD"/"YYYYMMDD" text), normalise them and ask
the current :class:`~quotaris.source.DataSource`.  The source is looked up on
every call, so :func:`init` takes effect at once.  The trading calendar of the
current source is kept as plain Python lists, because calendar arithmetic sits
on the optimiser's hot path.
"""

from __future__ import annotations

import bisect
import datetime
import operator
import os
import re
import warnings
from collections.abc import Iterable

import pandas as pd

from .source import DataSource, Instrument, MissingData, QuotarisWarning
from .tables import FUNDAMENTAL_FIELDS, INDUSTRY_SCHEMES

__all__ = [
    "MARKET_CAP_KINDS",
    "all_instruments",
    "bundle_path",
    "find_instruments",
    "get_board",
    "get_close",
    "get_fundamentals",
    "get_industry",
    "get_market_cap",
    "get_previous_trading_date",
    "get_price_change_rate",
    "get_price_limits",
    "get_signal",
    "get_signal_history",
    "get_source",
    "get_special_treatment",
    "get_style_exposure",
    "get_trading_dates",
    "get_turnover",
    "index_weights",
    "init",
    "instruments",
    "signal_names",
    "to_date",
    "trading_date_offset",
]

#: The market capitalisations a source keeps: of all shares, of free-float shares.
MARKET_CAP_KINDS = ("total", "float")

_NOT_A_TIME = type(pd.NaT)

_source: DataSource | None = None
_calendar: _Calendar | None = None


class _Calendar:
    """The current source's trading days as dates and as ordinals for bisection."""

    __slots__ = ("dates", "first", "index", "last", "ordinals", "source")

    def __init__(self, source: DataSource) -> None:
        trading_dates = source.trading_dates()
        if len(trading_dates) == 0:
            raise MissingData("the data source has no trading days")
        self.source = source
        self.index = trading_dates
        self.dates = [timestamp.date() for timestamp in trading_dates]
        self.ordinals = [day.toordinal() for day in self.dates]
        self.first = self.dates[0]
        self.last = self.dates[-1]

    def check_covers(self, date: datetime.date) -> int:
        """The ordinal of ``date``, which must lie within the calendar."""
        ordinal = date.toordinal()
        if ordinal < self.ordinals[0] or ordinal > self.ordinals[-1]:
            raise MissingData(
                f"{date} is outside the trading calendar ({self.first} to {self.last})"
            )
        return ordinal

    def check_not_after(self, date: datetime.date) -> None:
        """Refuse a date the data does not reach yet: its answer would be stale."""
        if date.toordinal() > self.ordinals[-1]:
            raise MissingData(f"{date} is after the last trading day of the data, {self.last}")

    def span(self, start: datetime.date, end: datetime.date) -> tuple[int, int]:
        """Positions of the first and one past the last trading day from start to end."""
        first = bisect.bisect_left(self.ordinals, self.check_covers(start))
        stop = bisect.bisect_right(self.ordinals, self.check_covers(end))
        return first, stop


def init(source: DataSource | str | os.PathLike) -> DataSource:
    """Make ``source`` (a data source, or the path of a data bundle) the current source."""
    global _source, _calendar
    if isinstance(source, DataSource):
        new_source = source
    elif isinstance(source, (str, os.PathLike)):
        from .bundle import BundleSource

        new_source = BundleSource(source)
    else:
        raise TypeError(f"expected a DataSource or the path of a data bundle, got {source!r}")
    _source, _calendar = new_source, None
    return new_source


def get_source() -> DataSource:
    """The current source; the built-in demo market until :func:`init` is called."""
    if _source is None:
        from .demo import demo_bundle_path

        return init(demo_bundle_path())
    return _source


def bundle_path() -> str | None:
    """The directory of the current source when it is a data bundle, else None; asking
    opens no source, where ``get_source`` would open the demo market."""
    from .bundle import BundleSource

    return os.fspath(_source.path) if isinstance(_source, BundleSource) else None


def _current_calendar() -> _Calendar:
    global _calendar
    source = get_source()
    if _calendar is None or _calendar.source is not source:
        _calendar = _Calendar(source)
    return _calendar


def to_date(value: object) -> datetime.date:
    """The calendar day of a date, datetime, Timestamp or "YYYY-MM-DD"/"YYYYMMDD" text."""
    kind = type(value)
    if kind is datetime.date:
        return value
    if kind is _NOT_A_TIME:
        raise ValueError(f"expected a date, got {value!r}")
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    if isinstance(value, str):
        return _parse_date_text(value)
    raise TypeError(
        "expected a date, datetime, Timestamp or 'YYYY-MM-DD'/'YYYYMMDD' text, "
        f"got {value!r} of type {kind.__name__}"
    )


def _parse_date_text(text: str) -> datetime.date:
    if len(text) == 10 and text[4] == "-" and text[7] == "-":
        digits = text[:4] + text[5:7] + text[8:]
    elif len(text) == 8:
        digits = text
    else:
        digits = ""
    if not (digits.isascii() and digits.isdigit()):
        raise ValueError(f"expected a date as 'YYYY-MM-DD' or 'YYYYMMDD', got {text!r}")
    try:
        return datetime.date(int(digits[:4]), int(digits[4:6]), int(digits[6:]))
    except ValueError:
        raise ValueError(f"not a valid date: {text!r}") from None


def _id_list(order_book_ids: object) -> list[str]:
    if not isinstance(order_book_ids, Iterable):
        raise TypeError(f"expected an order_book_id or an iterable of them, got {order_book_ids!r}")
    ids = []
    for order_book_id in order_book_ids:
        if type(order_book_id) is not str:
            if not isinstance(order_book_id, str):
                raise TypeError(f"an order_book_id must be a string, got {order_book_id!r}")
            order_book_id = str(order_book_id)
        ids.append(order_book_id)
    return ids


def _one_or_many(order_book_ids: object) -> tuple[bool, list[str]]:
    if isinstance(order_book_ids, str):
        return True, [str(order_book_ids)]
    return False, _id_list(order_book_ids)


def _point_in_time_date(date: object) -> datetime.date:
    day = to_date(date)
    _current_calendar().check_not_after(day)
    return day


def _daily_window(start: object, end: object) -> tuple[datetime.date, datetime.date]:
    start_day, end_day = to_date(start), to_date(end)
    first, stop = _current_calendar().span(start_day, end_day)
    if first >= stop:
        raise MissingData(f"no trading days from {start_day} to {end_day}")
    return start_day, end_day


def instruments(order_book_ids: str | Iterable[str]) -> Instrument | list[Instrument] | None:
    """Instrument records.

    One identifier string gives its record, or None when it is unknown; any
    other iterable gives a list with one record per known occurrence, in the
    order asked (unknown identifiers are left out, repeats come back twice).
    """
    source = get_source()
    if isinstance(order_book_ids, str):
        found = source.instruments([str(order_book_ids)])
        return found[0] if found else None
    found, unknown = find_instruments(order_book_ids)
    if unknown:
        _warn_unknown(unknown)
    return found


def find_instruments(order_book_ids: Iterable[str]) -> tuple[list[Instrument], list[str]]:
    """The records of the known identifiers, as ``instruments`` gives them, and the
    unknown identifiers (once each, in the order asked), without a warning: for
    callers that refuse unknown identifiers themselves."""
    asked = _id_list(order_book_ids)
    found = get_source().instruments(asked)
    if len(found) == len(asked):
        return found, []
    known = {record.order_book_id for record in found}
    return found, [i for i in dict.fromkeys(asked) if i not in known]


# Codes written the way other data vendors write them: 600000.SH, 000001.sz.
_VENDOR_CODE = re.compile(r"^\d{6}\.(SH|SZ)$", re.IGNORECASE)


def _warn_unknown(unknown: list[str]) -> None:
    message = f"the market data does not know {', '.join(unknown)}: they are left out"
    if any(_VENDOR_CODE.match(i) for i in unknown):
        message += "; identifiers name the exchange as XSHG or XSHE, e.g. 600000.XSHG, 000001.XSHE"
    # Stack level 3: past this function and instruments(), at whoever asked.
    warnings.warn(message, QuotarisWarning, stacklevel=3)


def all_instruments(type: str | None = None) -> list[Instrument]:
    """Every instrument of the market by identifier, or those of one ``type`` ("CS", "INDX")."""
    records = get_source().all_instruments()
    return records if type is None else [record for record in records if record.type == type]


def index_weights(order_book_id: str, date: object) -> pd.Series | None:
    """Constituent weights of an index in force on ``date``; None before its first weights."""
    if not isinstance(order_book_id, str):
        raise TypeError(f"an index order_book_id must be a string, got {order_book_id!r}")
    return get_source().index_weights(str(order_book_id), _point_in_time_date(date))


def trading_date_offset(date: object, n: int) -> datetime.date:
    """The trading day ``n`` trading days away from ``date``.

    n < 0 counts trading days strictly before ``date``, n > 0 strictly after;
    n == 0 gives ``date`` itself when it is a trading day, else the latest
    trading day before it.  Leaving the calendar raises :class:`MissingData`.
    """
    try:
        steps = operator.index(n)
    except TypeError:
        raise TypeError(f"n must be an integer, got {n!r}") from None
    day = to_date(date)
    calendar = _current_calendar()
    try:
        ordinal = calendar.check_covers(day)
    except MissingData as error:
        raise MissingData(f"trading_date_offset({day}, {steps}): {error}") from None
    if steps < 0:
        position = bisect.bisect_left(calendar.ordinals, ordinal) + steps
    else:
        position = bisect.bisect_right(calendar.ordinals, ordinal) - 1 + steps
    if position < 0 or position >= len(calendar.dates):
        raise MissingData(
            f"trading_date_offset({day}, {steps}) runs off the trading calendar "
            f"({calendar.first} to {calendar.last})"
        )
    return calendar.dates[position]


def get_previous_trading_date(date: object) -> datetime.date:
    """The last trading day strictly before ``date``."""
    return trading_date_offset(date, -1)


def get_trading_dates(start: object, end: object) -> pd.DatetimeIndex:
    """The trading days from ``start`` to ``end``, both included (possibly none)."""
    calendar = _current_calendar()
    first, stop = calendar.span(to_date(start), to_date(end))
    return calendar.index[first:stop]


def get_price_change_rate(
    order_book_ids: str | Iterable[str], start_date: object, end_date: object
) -> pd.DataFrame | pd.Series:
    """Daily fractional price changes, trading days from start to end inclusive.

    A list of identifiers gives a table with one column per identifier in the
    order asked; one identifier string gives a Series named after it.  NaN
    marks days without a quote.
    """
    single, ids = _one_or_many(order_book_ids)
    start, end = _daily_window(start_date, end_date)
    frame = get_source().price_change_rate(ids, start, end)
    return frame.iloc[:, 0] if single else frame


def get_close(
    order_book_ids: str | Iterable[str], start_date: object, end_date: object
) -> pd.DataFrame | pd.Series:
    """Daily close prices in yuan (index levels for indices), trading days from start
    to end inclusive, shaped as ``get_price_change_rate`` gives changes.

    NaN marks days without a quote.  A market without closes raises
    :class:`~quotaris.source.MissingData` naming the closes table.
    """
    single, ids = _one_or_many(order_book_ids)
    start, end = _daily_window(start_date, end_date)
    frame = get_source().closes(ids, start, end)
    return frame.iloc[:, 0] if single else frame


def get_board(order_book_ids: str | Iterable[str]) -> pd.Series | str:
    """The board each stock trades on, one of ``BOARDS`` ("main", "chinext", "star",
    "bse"); one identifier gives its board.

    The instruments table's ``board`` column decides where it gives one; else
    the exchange and code do: Beijing's stocks are "bse", Shanghai's 688xxx and
    689xxx "star", Shenzhen's 30xxxx "chinext", the rest "main".
    """
    single, ids = _one_or_many(order_book_ids)
    boards = get_source().boards(ids)
    return boards.iloc[0] if single else boards


def get_special_treatment(order_book_ids: str | Iterable[str], date: object) -> pd.Series | str:
    """Each stock's special-treatment status on ``date``: "ST", "*ST", or "" for none.

    A period counts from its start date to its end date, both included; one
    starting after ``date`` is not seen.  One identifier gives its status.
    """
    single, ids = _one_or_many(order_book_ids)
    statuses = get_source().special_treatment(ids, _point_in_time_date(date))
    return statuses.iloc[0] if single else statuses


def get_price_limits(order_book_ids: str | Iterable[str], date: object) -> pd.DataFrame | pd.Series:
    """The daily price limits of stocks on ``date``, by identifier.

    Columns ``previous_close`` (the last close before ``date``), ``close`` (NaN
    without a quote that day), ``limit_up`` and ``limit_down`` (rounded to the
    fen), ``at_limit_up`` and ``at_limit_down`` (the close within half a fen
    of the limit).  The limit follows the rules of :mod:`quotaris.limits` for
    the stock's board and its special treatment that day; a market without a
    special_treatment table has no stock under it.  Where no limit applies
    (the first days after a listing) or there is no previous close or no
    close, the limit prices are NaN and both flags False.  One identifier
    gives a Series over the columns.
    """
    single, ids = _one_or_many(order_book_ids)
    frame = get_source().price_limits(ids, _point_in_time_date(date))
    return frame.iloc[0] if single else frame


def get_market_cap(
    order_book_ids: str | Iterable[str], start_date: object, end_date: object, kind: str = "total"
) -> pd.DataFrame | pd.Series:
    """Daily market capitalisation of all shares ("total") or free-float shares ("float")."""
    if kind not in MARKET_CAP_KINDS:
        raise ValueError(f"kind must be one of {MARKET_CAP_KINDS}, got {kind!r}")
    single, ids = _one_or_many(order_book_ids)
    start, end = _daily_window(start_date, end_date)
    frame = get_source().market_cap(ids, start, end, kind)
    return frame.iloc[:, 0] if single else frame


def get_turnover(
    order_book_ids: str | Iterable[str], start_date: object, end_date: object
) -> pd.DataFrame | pd.Series:
    """Daily traded shares over free-float shares."""
    single, ids = _one_or_many(order_book_ids)
    start, end = _daily_window(start_date, end_date)
    frame = get_source().turnover(ids, start, end)
    return frame.iloc[:, 0] if single else frame


def get_style_exposure(
    order_book_ids: str | Iterable[str], date: object
) -> pd.DataFrame | pd.Series:
    """Style-factor exposures in force on ``date``: identifiers by style names.

    One identifier string gives its exposures as a Series over the styles.
    """
    single, ids = _one_or_many(order_book_ids)
    frame = get_source().style_exposure(ids, _point_in_time_date(date))
    return frame.iloc[0] if single else frame


def get_industry(
    order_book_ids: str | Iterable[str], date: object, scheme: str = "sws"
) -> pd.Series | str:
    """Level-1 industry names on ``date`` under ``scheme``; one identifier gives one name."""
    if scheme not in INDUSTRY_SCHEMES:
        raise ValueError(f"scheme must be one of {INDUSTRY_SCHEMES}, got {scheme!r}")
    single, ids = _one_or_many(order_book_ids)
    names = get_source().industry(ids, _point_in_time_date(date), scheme)
    return names.iloc[0] if single else names


def get_fundamentals(
    order_book_ids: str | Iterable[str], date: object, fields: str | Iterable[str]
) -> pd.DataFrame | pd.Series:
    """The latest value of each field announced on or before ``date``: identifiers by fields.

    One identifier string gives a Series over the fields.  NaN marks a field
    not announced yet.
    """
    field_list = [fields] if isinstance(fields, str) else list(fields)
    unknown = [field for field in field_list if field not in FUNDAMENTAL_FIELDS]
    if unknown:
        raise ValueError(f"unknown fundamental fields {unknown}; known: {FUNDAMENTAL_FIELDS}")
    single, ids = _one_or_many(order_book_ids)
    frame = get_source().fundamentals(ids, _point_in_time_date(date), field_list)
    return frame.iloc[0] if single else frame


def signal_names() -> list[str]:
    """The names of the signals the market data holds, sorted."""
    return get_source().signal_names()


def _signal_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a signal name must be a string, got {name!r}")
    return str(name)


def get_signal(name: str, order_book_ids: str | Iterable[str], date: object) -> pd.Series | float:
    """Each stock's latest value of signal ``name`` dated on or before ``date``.

    A value dated d is known from d on, never before; NaN marks a stock
    without one yet.  One identifier string gives its value.  An unknown name
    raises :class:`~quotaris.source.MissingData` naming the known signals.
    """
    signal = _signal_name(name)
    single, ids = _one_or_many(order_book_ids)
    values = get_source().signal(signal, ids, _point_in_time_date(date))
    return values.iloc[0] if single else values


def get_signal_history(
    name: str, start_date: object = None, end_date: object = None
) -> pd.DataFrame:
    """The values of signal ``name`` dated from ``start_date`` to ``end_date``, for research.

    Rows are the dates carrying values, columns the stocks with a value among
    them, NaN where a stock has none on a date; nothing dated after
    ``end_date`` is given.  Without dates, the whole calendar.
    """
    signal = _signal_name(name)
    calendar = _current_calendar()
    start = calendar.first if start_date is None else start_date
    end = calendar.last if end_date is None else end_date
    return get_source().signal_history(signal, *_daily_window(start, end))
