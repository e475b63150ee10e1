"""Checks a table must pass before it goes into a bundle.

The bundle writer runs them on a :class:`~quotaris.tables.BundleTables`; the
importer runs the same checks on the user's own files, so that a refused value
is reported where the user can find it: the file, the row (counted from 1 at
the first data row below the header; for CSV files also the line) and the
column.  Every check looks at a whole column at once and reports the first
offending row together with how many more share the fault.
"""

from __future__ import annotations

import contextlib
import warnings
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, replace

import numpy as np
import pandas as pd

from quotaris.limits import BOARDS, SPECIAL_TREATMENT_STATUSES
from quotaris.source import NOT_DELISTED, BundleError
from quotaris.tables import (
    FUNDAMENTAL_FIELDS,
    INDUSTRY_SCHEMES,
    INSTRUMENT_COLUMNS,
    SIGNAL_COLUMNS,
    SIGNAL_NAME,
    SPECIAL_TREATMENT_COLUMNS,
    STYLE_FACTORS,
    BundleTables,
)

__all__ = [
    "CLOSE_CHANGE_TOLERANCE",
    "INSTRUMENT_TYPES",
    "WEIGHT_SUM_TOLERANCE",
    "InstrumentIndex",
    "Origin",
    "ValidationError",
    "check_closes",
    "check_daily_table",
    "check_fundamentals",
    "check_index_weights",
    "check_industry",
    "check_listing_window",
    "check_sessions",
    "check_signal",
    "check_signal_names",
    "check_special_treatment",
    "check_unique",
    "codes_of",
    "date_column",
    "day_text",
    "exchange_sessions",
    "number_column",
    "quiet_exchange_calendars",
    "reject_rows",
    "require_columns",
    "session_days",
    "stock_column",
    "text_column",
    "validate_tables",
]

#: Instrument type codes a bundle accepts, with what they mean.
INSTRUMENT_TYPES = {"CS": "common stock", "INDX": "index"}

#: How far the constituent weights of one index on one date may add up away from 1.
WEIGHT_SUM_TOLERANCE = 1e-4
#: How far a price change may lie from the one its closes give: changes given to four
#: decimals pass, a close a fen off on a 10-yuan stock (a change 0.001 off) does not.
CLOSE_CHANGE_TOLERANCE = 1e-4

_MISSING_TEXTS = frozenset({"", "nan", "na", "n/a", "null", "none"})
_NEVER = np.iinfo(np.int64).max
_SHOWN_VALUES = 5


class ValidationError(BundleError, ValueError):
    """A table was refused before anything was written.

    The message names the file or table, and where it applies the row and
    the column of the first offending value.
    """


def day_text(day: int) -> str:
    """A day number (days since 1970-01-01) as "YYYY-MM-DD"."""
    return str(np.datetime64(int(day), "D"))


@dataclass(frozen=True)
class Origin:
    """Where a table comes from, to point at its rows in messages.

    ``row_numbers`` gives for each row of the frame the data row the user sees
    (1 for the first row below the header); None numbers the frame's rows from
    1.  ``text_lines`` marks a text file whose header takes line 1, so that
    messages also give the line.
    """

    name: str
    row_numbers: np.ndarray | None = None
    text_lines: bool = False

    def row(self, position: int) -> int:
        if self.row_numbers is None:
            return position + 1
        return int(self.row_numbers[position])

    def column(self, column: str | Sequence[str]) -> str:
        return f"{self.name}, {_naming(column)}"

    def at(self, position: int, column: str | Sequence[str]) -> str:
        row = self.row(position)
        line = f" (line {row + 1})" if self.text_lines else ""
        return f"{self.name}, row {row}{line}, {_naming(column)}"


def _naming(column: str | Sequence[str]) -> str:
    if isinstance(column, str):
        return f"column {column!r}"
    return "columns " + ", ".join(repr(name) for name in column)


def reject_rows(origin: Origin, column, bad: np.ndarray, problem) -> None:
    """Raise for the first row flagged in ``bad``; ``problem(position)`` describes it.

    The message also counts the further rows flagged.
    """
    if not bad.any():
        return
    first = int(np.argmax(bad))
    count = int(np.count_nonzero(bad))
    message = problem(first)
    if count > 1:
        message += f" (and {count - 1} more row{'s' if count > 2 else ''})"
    raise ValidationError(f"{origin.at(first, column)}: {message}")


def require_columns(
    frame: pd.DataFrame, origin: Origin, required: Sequence[str], optional: Sequence[str] = ()
) -> None:
    """Every required column is present and no column is unexpected.

    An unexpected column is refused rather than ignored: a misspelt optional
    column would otherwise vanish silently.
    """
    if not isinstance(frame, pd.DataFrame):
        raise ValidationError(f"{origin.name}: expected a table, got {type(frame).__name__}")
    names = [str(name) for name in frame.columns]
    expected = ", ".join(list(required) + [f"{name} (optional)" for name in optional])
    duplicated = pd.Index(names)[pd.Index(names).duplicated()]
    if len(duplicated):
        raise ValidationError(f"{origin.column(duplicated[0])}: the column appears twice")
    for name in required:
        if name not in names:
            raise ValidationError(f"{origin.name}: missing column {name!r} (expected {expected})")
    for name in names:
        if name not in required and name not in optional:
            raise ValidationError(f"{origin.column(name)}: unexpected column (expected {expected})")


def _as_text(series: pd.Series) -> np.ndarray:
    """The cells as stripped strings, "" where missing."""
    text = series.astype("string").str.strip().fillna("")
    return text.to_numpy(dtype=object)


def text_column(frame: pd.DataFrame, origin: Origin, column: str) -> np.ndarray:
    """Non-empty text cells, as an object array of str."""
    text = _as_text(frame[column])
    reject_rows(origin, column, text == "", lambda _: "missing value")
    return text


def number_column(
    frame: pd.DataFrame,
    origin: Origin,
    column: str,
    *,
    allow_missing: bool,
    minimum: float | None = None,
) -> np.ndarray:
    """Finite numbers as float64, NaN where missing (when allowed), none below ``minimum``."""
    series = frame[column]
    if pd.api.types.is_numeric_dtype(series.dtype) and not pd.api.types.is_bool_dtype(series.dtype):
        values = series.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
        missing = np.isnan(values)
    else:
        text = _as_text(series)
        values = pd.to_numeric(pd.Series(text, dtype=object), errors="coerce").to_numpy(
            dtype=np.float64, na_value=np.nan, copy=True
        )
        missing = np.isnan(values)
        missing[missing] = [cell.lower() in _MISSING_TEXTS for cell in text[missing]]
        reject_rows(
            origin,
            column,
            np.isnan(values) & ~missing,
            lambda at: f"{text[at]!r} is not a number",
        )
        values[missing] = np.nan
    if not allow_missing:
        reject_rows(origin, column, missing, lambda _: "missing value")
    reject_rows(origin, column, np.isinf(values), lambda at: f"{values[at]} is not a finite number")
    if minimum is not None:
        reject_rows(
            origin,
            column,
            values < minimum,
            lambda at: f"{values[at]:.10g} is below the smallest allowed value {minimum:g}",
        )
    return values


def date_column(
    frame: pd.DataFrame, origin: Origin, column: str, *, not_delisted_ok: bool = False
) -> np.ndarray:
    """Dates as day numbers (int64 days since 1970-01-01).

    Text must read "YYYY-MM-DD"; date and datetime values must fall on
    midnight without a time zone.  With ``not_delisted_ok`` the text
    "0000-00-00" (or an empty cell) stands for "not delisted" and becomes the
    largest int64.
    """
    series = frame[column]
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        raise ValidationError(f"{origin.column(column)}: dates carry a time zone; give plain dates")
    if pd.api.types.is_datetime64_dtype(series.dtype):
        stamps = series.to_numpy()
        missing = np.isnat(stamps)
        days = stamps.astype("datetime64[D]")
        reject_rows(
            origin,
            column,
            ~missing & (days.astype(stamps.dtype) != stamps),
            lambda at: f"{stamps[at]} has a time of day; give plain dates",
        )
        numbers = days.astype(np.int64)
    else:
        text = _as_text(series)
        if not_delisted_ok:
            never = (text == NOT_DELISTED) | (text == "")
            text = np.where(never, "", text)
        missing = text == ""
        # Daily tables repeat each date many times: parse every distinct text once.
        codes, distinct = pd.factorize(text)
        parsed = pd.to_datetime(
            pd.Series(distinct, dtype=object), format="%Y-%m-%d", errors="coerce"
        ).to_numpy()[codes]
        reject_rows(
            origin,
            column,
            ~missing & np.isnat(parsed),
            lambda at: f"malformed date {text[at]!r} (expected YYYY-MM-DD)",
        )
        numbers = parsed.astype("datetime64[D]").astype(np.int64)
    if not_delisted_ok:
        numbers = np.where(missing, _NEVER, numbers)
    else:
        reject_rows(origin, column, missing, lambda _: "missing value")
    return numbers


def codes_of(
    origin: Origin, column: str, ids: np.ndarray, known: pd.Index, what: str = "order_book_id"
) -> np.ndarray:
    """Positions of ``ids`` in ``known``; an identifier not among them is refused."""
    codes = known.get_indexer(ids)
    reject_rows(
        origin,
        column,
        codes < 0,
        lambda at: f"unknown {what} {ids[at]!r} (not among the instruments)",
    )
    return codes


def check_unique(origin: Origin, columns: Sequence[str], keys: Sequence[np.ndarray]) -> None:
    """No two rows share the key made of ``keys`` (one array per column)."""
    frame = pd.DataFrame({name: key for name, key in zip(columns, keys, strict=True)})
    repeated = frame.duplicated(keep="first").to_numpy()
    if not repeated.any():
        return
    second = int(np.argmax(repeated))
    earlier = np.logical_and.reduce([key == key[second] for key in keys])
    first = int(np.argmax(earlier))

    def problem(at: int) -> str:
        shown = ", ".join(
            day_text(key[at]) if name in _DATE_KEYS else repr(key[at])
            for name, key in zip(columns, keys, strict=True)
        )
        return f"duplicate key ({shown}), first given in row {origin.row(first)}"

    reject_rows(origin, columns, repeated, problem)


_DATE_KEYS = frozenset({"date", "start_date", "announce_date"})


def session_days(trading_dates: pd.DatetimeIndex) -> np.ndarray:
    """Trading dates as day numbers."""
    return trading_dates.to_numpy().astype("datetime64[D]").astype(np.int64)


def _a_trading_day(calendar: str | None) -> str:
    return f"a {calendar} trading day" if calendar else "a trading day"


def check_sessions(
    origin: Origin, column: str, days: np.ndarray, sessions: np.ndarray, calendar: str
) -> None:
    """Every day is a trading day of the bundle's calendar."""
    at = np.clip(np.searchsorted(sessions, days), 0, len(sessions) - 1)
    off = sessions[at] != days

    def problem(row: int) -> str:
        day = days[row]
        if day < sessions[0] or day > sessions[-1]:
            return (
                f"{day_text(day)} is outside the calendar, which runs from "
                f"{day_text(sessions[0])} to {day_text(sessions[-1])}"
            )
        return f"{day_text(day)} is not {_a_trading_day(calendar)}"

    reject_rows(origin, column, off, problem)


@dataclass(frozen=True)
class InstrumentIndex:
    """The instruments of a bundle, as the other checks need them."""

    frame: pd.DataFrame
    ids: pd.Index
    types: np.ndarray
    listed_day: np.ndarray
    delisted_day: np.ndarray  # largest int64 while listed

    @classmethod
    def check(cls, frame: pd.DataFrame, origin: Origin) -> InstrumentIndex:
        """Validate an instruments table with all ``INSTRUMENT_COLUMNS`` and optionally
        ``board``; dates may be text or date values and come out as "YYYY-MM-DD" strings."""
        require_columns(frame, origin, INSTRUMENT_COLUMNS, ("board",))
        ids = text_column(frame, origin, "order_book_id")
        check_unique(origin, ["order_book_id"], [ids])
        symbols = _as_text(frame["symbol"])
        types = text_column(frame, origin, "type")
        known_types = ", ".join(INSTRUMENT_TYPES)
        reject_rows(
            origin,
            "type",
            ~np.isin(types, list(INSTRUMENT_TYPES)),
            lambda at: f"unknown instrument type {types[at]!r} (expected one of {known_types})",
        )
        exchanges = text_column(frame, origin, "exchange")
        listed = date_column(frame, origin, "listed_date")
        delisted = date_column(frame, origin, "de_listed_date", not_delisted_ok=True)
        reject_rows(
            origin,
            "de_listed_date",
            delisted < listed,
            lambda at: (
                f"delisting date {day_text(delisted[at])} comes before the listed date "
                f"{day_text(listed[at])}"
            ),
        )
        canonical = pd.DataFrame(
            {
                "order_book_id": ids,
                "symbol": symbols,
                "type": types,
                "exchange": exchanges,
                "listed_date": [day_text(day) for day in listed],
                "de_listed_date": [
                    NOT_DELISTED if day == _NEVER else day_text(day) for day in delisted
                ],
            }
        )
        if "board" in frame.columns:
            canonical["board"] = _check_boards(frame, origin, ids, types)
        return cls(canonical, pd.Index(ids), types, listed, delisted)


def _check_boards(
    frame: pd.DataFrame, origin: Origin, ids: np.ndarray, types: np.ndarray
) -> np.ndarray:
    """The boards given, in lower case; empty where the exchange and code tell it."""
    boards = np.array([board.lower() for board in _as_text(frame["board"])], dtype=object)
    given = boards != ""
    reject_rows(
        origin,
        "board",
        given & ~np.isin(boards, BOARDS),
        lambda at: (
            f"unknown board {boards[at]!r} (expected one of {', '.join(BOARDS)}, or empty "
            "to take it from the exchange and code)"
        ),
    )
    reject_rows(
        origin,
        "board",
        given & (types != "CS"),
        lambda at: f"{ids[at]} is not a stock (its type is {types[at]}); only stocks have a board",
    )
    return boards


def check_listing_window(
    origin: Origin,
    column: str,
    days: np.ndarray,
    codes: np.ndarray,
    instruments: InstrumentIndex,
) -> None:
    """No value of an instrument is dated before its listing or after its delisting."""
    listed = instruments.listed_day[codes]
    delisted = instruments.delisted_day[codes]
    ids = instruments.ids
    reject_rows(
        origin,
        column,
        days < listed,
        lambda at: (
            f"{day_text(days[at])} is before the listed date {day_text(listed[at])} "
            f"of {ids[codes[at]]}"
        ),
    )
    reject_rows(
        origin,
        column,
        days > delisted,
        lambda at: (
            f"{day_text(days[at])} is after the delisting date {day_text(delisted[at])} "
            f"of {ids[codes[at]]}"
        ),
    )


def check_daily_table(
    name: str,
    frame: pd.DataFrame,
    trading_dates: pd.DatetimeIndex,
    instruments: InstrumentIndex,
    minimum: float,
) -> np.ndarray:
    """A wide daily table: trading days by known identifiers, finite numbers or NaN.

    Returns the values as a float64 matrix.
    """
    if not isinstance(frame, pd.DataFrame):
        raise ValidationError(f"{name}: expected a table, got {type(frame).__name__}")
    if not frame.index.equals(trading_dates):
        raise ValidationError(f"{name}: the rows must be the trading dates, one per day, in order")
    columns = pd.Index([str(column) for column in frame.columns])
    repeated = columns[columns.duplicated()]
    if len(repeated):
        raise ValidationError(f"{name}, column {repeated[0]!r}: the column appears twice")
    codes = instruments.ids.get_indexer(columns)
    if (codes < 0).any():
        unknown = columns[int(np.argmax(codes < 0))]
        raise ValidationError(
            f"{name}, column {unknown!r}: unknown order_book_id (not among the instruments)"
        )
    try:
        values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        for column in frame.columns:
            if not pd.api.types.is_numeric_dtype(frame[column].dtype):
                raise ValidationError(
                    f"{name}, column {column!r}: values are not numbers"
                ) from None
        raise
    days = session_days(trading_dates)

    def reject(bad: np.ndarray, problem) -> None:
        _reject_cells(name, columns, days, bad, problem)

    reject(np.isinf(values), lambda row, col: f"{values[row, col]} is not a finite number")
    reject(
        values < minimum,
        lambda row, col: f"{values[row, col]:.10g} is below the smallest allowed value {minimum:g}",
    )
    present = ~np.isnan(values)
    reject(
        present & (days[:, None] < instruments.listed_day[codes][None, :]),
        lambda row, col: (
            f"value before the listed date {day_text(instruments.listed_day[codes[col]])}"
        ),
    )
    reject(
        present & (days[:, None] > instruments.delisted_day[codes][None, :]),
        lambda row, col: (
            f"value after the delisting date {day_text(instruments.delisted_day[codes[col]])}"
        ),
    )
    return values


def _reject_cells(name: str, columns, days: np.ndarray, bad: np.ndarray, problem) -> None:
    """Raise for the first cell flagged in ``bad`` (days by ``columns``) of the daily
    table ``name``; ``problem(row, column)`` describes it."""
    if bad.any():
        row, col = np.unravel_index(int(np.argmax(bad)), bad.shape)
        raise ValidationError(
            f"{name}, column {columns[col]!r}, {day_text(days[row])}: {problem(row, col)}"
        )


def check_closes(
    closes: pd.DataFrame,
    values: np.ndarray,
    changes: pd.DataFrame,
    change_values: np.ndarray,
) -> None:
    """Closes are positive, and each price change is the close over the previous quoted
    close, minus one; both tables already passed ``check_daily_table``.

    A change needs a close that day, and a close after an earlier one a change.
    """
    columns = pd.Index([str(column) for column in closes.columns])
    days = session_days(closes.index)
    _reject_cells(
        "closes",
        columns,
        days,
        values <= 0,
        lambda row, col: f"{values[row, col]:.10g} is not a positive price",
    )
    positions = pd.Index([str(column) for column in changes.columns]).get_indexer(columns)
    if (positions < 0).any():
        lacking = columns[int(np.argmax(positions < 0))]
        raise ValidationError(
            f"closes, column {lacking!r}: price_change_rate has no column {lacking!r}"
        )
    # Column blocks bound the temporary matrices of a market of thousands of stocks.
    for begin in range(0, len(columns), _CLOSE_BLOCK):
        block = slice(begin, begin + _CLOSE_BLOCK)
        _check_close_block(
            columns[block], days, values[:, block], change_values[:, positions[block]]
        )


def _check_close_block(
    columns: pd.Index, days: np.ndarray, close: np.ndarray, change: np.ndarray
) -> None:
    """``check_closes`` over some columns of closes and their changes (days by columns)."""
    present = ~np.isnan(close)
    rows = np.arange(len(days))[:, None]
    latest = np.maximum.accumulate(np.where(present, rows, -1), axis=0)
    before = np.vstack([np.full((1, close.shape[1]), -1), latest[:-1]])
    previous = np.where(
        before >= 0, np.take_along_axis(close, np.maximum(before, 0), axis=0), np.nan
    )
    changed = ~np.isnan(change)
    follows = present & ~np.isnan(previous)

    def reject(bad: np.ndarray, problem) -> None:
        _reject_cells("closes", columns, days, bad, problem)

    reject(
        changed & ~present,
        lambda row, col: (
            f"no close, but price_change_rate gives a change of {change[row, col]:.6g}"
        ),
    )

    def against(row: int, col: int) -> str:
        return (
            f"the close before is {previous[row, col]:.10g} on {day_text(days[before[row, col]])}"
        )

    reject(
        follows & ~changed,
        lambda row, col: (
            f"a close of {close[row, col]:.10g} but no price change; {against(row, col)}"
        ),
    )
    with np.errstate(invalid="ignore"):
        implied = close / previous - 1.0
        off = follows & changed & (np.abs(implied - change) > CLOSE_CHANGE_TOLERANCE)
    reject(
        off,
        lambda row, col: (
            f"price_change_rate gives {change[row, col]:.6g}, but the close of "
            f"{close[row, col]:.10g} is a change of {implied[row, col]:.6g}: {against(row, col)}"
        ),
    )


def stock_column(
    frame, origin: Origin, instruments: InstrumentIndex, why: str = ""
) -> tuple[np.ndarray, np.ndarray]:
    """The ``order_book_id`` column and its instruments' codes, every one a stock."""
    ids = text_column(frame, origin, "order_book_id")
    codes = codes_of(origin, "order_book_id", ids, instruments.ids)
    types = instruments.types[codes]
    reject_rows(
        origin,
        "order_book_id",
        types != "CS",
        lambda at: f"{ids[at]} is not a stock (its type is {types[at]}){why}",
    )
    return ids, codes


def check_special_treatment(frame, origin: Origin, instruments: InstrumentIndex) -> pd.DataFrame:
    """Stocks' periods under special treatment: a known status from a start date while
    listed to an end date (empty while it lasts), one period at a time per stock."""
    require_columns(frame, origin, SPECIAL_TREATMENT_COLUMNS)
    ids, codes = stock_column(frame, origin, instruments)
    statuses = text_column(frame, origin, "status")
    reject_rows(
        origin,
        "status",
        ~np.isin(statuses, SPECIAL_TREATMENT_STATUSES),
        lambda at: (
            f"unknown status {statuses[at]!r} (expected one of "
            f"{', '.join(SPECIAL_TREATMENT_STATUSES)})"
        ),
    )
    start = date_column(frame, origin, "start_date")
    end = date_column(frame, origin, "end_date", not_delisted_ok=True)
    reject_rows(
        origin,
        "end_date",
        end < start,
        lambda at: f"{day_text(end[at])} is before the start date {day_text(start[at])}",
    )
    check_listing_window(origin, "start_date", start, codes, instruments)
    order = np.lexsort((start, codes))
    same_stock = codes[order][1:] == codes[order][:-1]
    overlapping = np.zeros(len(codes), dtype=bool)
    overlapping[order[1:]] = same_stock & (start[order][1:] <= end[order][:-1])
    earlier = np.empty(len(codes), dtype=np.int64)
    earlier[order[1:]] = order[:-1]

    def overlap(at: int) -> str:
        before = earlier[at]
        until = "on" if end[before] == _NEVER else f"to {day_text(end[before])}"
        return (
            f"{ids[at]} is already under special treatment on {day_text(start[at])}: "
            f"row {origin.row(before)} runs from {day_text(start[before])} {until}"
        )

    reject_rows(origin, "start_date", overlapping, overlap)
    table = pd.DataFrame(
        {
            "order_book_id": ids,
            "start_date": start.astype("datetime64[D]").astype("datetime64[ns]"),
            # The smallest int64 is NaT: a period still running.
            "end_date": np.where(end == _NEVER, np.iinfo(np.int64).min, end)
            .astype("datetime64[D]")
            .astype("datetime64[ns]"),
            "status": statuses,
        }
    )
    return table.sort_values(["order_book_id", "start_date"], ignore_index=True)


def _check_trading_dates(trading_dates, calendar: str | None) -> np.ndarray:
    """Plain ascending dates, and with ``calendar`` exactly its sessions over their range."""
    where = "trading_dates"
    if not isinstance(trading_dates, pd.DatetimeIndex) or trading_dates.tz is not None:
        raise ValidationError(f"{where}: expected a DatetimeIndex of plain dates")
    if len(trading_dates) == 0:
        raise ValidationError(f"{where}: no trading days")
    if not trading_dates.equals(trading_dates.normalize()):
        raise ValidationError(f"{where}: dates carry a time of day")
    if not trading_dates.is_monotonic_increasing or not trading_dates.is_unique:
        raise ValidationError(f"{where}: dates must be ascending and distinct")
    days = session_days(trading_dates)
    if calendar is None:
        return days
    sessions = exchange_sessions(calendar, trading_dates[0], trading_dates[-1])
    expected = session_days(sessions)
    for day in np.setdiff1d(days, expected)[:1]:
        raise ValidationError(f"{where}: {day_text(day)} is not a {calendar} trading day")
    for day in np.setdiff1d(expected, days)[:1]:
        raise ValidationError(f"{where}: the {calendar} trading day {day_text(day)} is missing")
    return days


@contextlib.contextmanager
def quiet_exchange_calendars() -> Iterator[None]:
    """Silence, within the block, the warning exchange_calendars triggers in pandas.

    exchange_calendars reads a pandas attribute that pandas is retiring; the
    warning is the package's to act on, not our users'.
    """
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=r"Series\.values returning an ndarray")
        yield


def exchange_sessions(calendar: str, first, last) -> pd.DatetimeIndex:
    """The trading days of an exchange calendar from ``first`` to ``last``, as midnight stamps."""
    import exchange_calendars

    try:
        with quiet_exchange_calendars():
            sessions = exchange_calendars.get_calendar(calendar, start=first, end=last).sessions
    except exchange_calendars.errors.InvalidCalendarName:
        known = ", ".join(sorted(exchange_calendars.get_calendar_names(include_aliases=False)))
        raise ValidationError(
            f"unknown calendar {calendar!r}; the known calendars are {known} "
            "(XSHG for the A-share market)"
        ) from None
    except ValueError as exc:
        raise ValidationError(f"calendar {calendar!r}: {exc}") from None
    return pd.DatetimeIndex(sessions.tz_localize(None) if sessions.tz else sessions, name=None)


def check_index_weights(
    frame, origin: Origin, instruments: InstrumentIndex, sessions: np.ndarray, calendar: str
) -> pd.DataFrame:
    """Constituent weights dated on trading days, each index and date adding up to 1."""
    require_columns(frame, origin, ("date", "index_id", "order_book_id", "weight"))
    days = date_column(frame, origin, "date")
    check_sessions(origin, "date", days, sessions, calendar)
    index_ids = text_column(frame, origin, "index_id")
    index_codes = codes_of(origin, "index_id", index_ids, instruments.ids, "index_id")
    not_index = instruments.types[index_codes] != "INDX"
    reject_rows(
        origin,
        "index_id",
        not_index,
        lambda at: (
            f"{index_ids[at]} is not an index (its type is {instruments.types[index_codes[at]]})"
        ),
    )
    ids = text_column(frame, origin, "order_book_id")
    codes = codes_of(origin, "order_book_id", ids, instruments.ids)
    check_listing_window(origin, "date", days, codes, instruments)
    weights = number_column(frame, origin, "weight", allow_missing=False, minimum=0.0)
    check_unique(origin, ("date", "index_id", "order_book_id"), (days, index_ids, ids))
    table = pd.DataFrame(
        {
            "date": days.astype("datetime64[D]").astype("datetime64[ns]"),
            "index_id": index_ids,
            "order_book_id": ids,
            "weight": weights,
        }
    )
    sums = table.groupby(["index_id", "date"], sort=True)["weight"].sum()
    off = np.abs(sums.to_numpy() - 1.0) > WEIGHT_SUM_TOLERANCE
    if off.any():
        first = int(np.argmax(off))
        (index_id, date), total = sums.index[first], sums.iloc[first]
        members = np.flatnonzero((index_ids == index_id) & (table["date"] == date).to_numpy())
        rows = ", ".join(str(origin.row(at)) for at in members[:_SHOWN_VALUES])
        if len(members) > _SHOWN_VALUES:
            rows += ", ..."
        raise ValidationError(
            f"{origin.column('weight')}: the weights of index {index_id} on {date:%Y-%m-%d} "
            f"(rows {rows}) add up to {total:.8g}, not 1 (tolerance {WEIGHT_SUM_TOLERANCE:g})"
        )
    return table.sort_values(["index_id", "date", "order_book_id"], ignore_index=True)


def check_industry(frame, origin: Origin, instruments: InstrumentIndex) -> pd.DataFrame:
    """Industry memberships by instrument, scheme and start day (any calendar day)."""
    columns = ("order_book_id", "scheme", "start_date", "industry_code", "industry_name")
    require_columns(frame, origin, columns)
    ids = text_column(frame, origin, "order_book_id")
    codes_of(origin, "order_book_id", ids, instruments.ids)
    schemes = text_column(frame, origin, "scheme")
    reject_rows(
        origin,
        "scheme",
        ~np.isin(schemes, list(INDUSTRY_SCHEMES)),
        lambda at: (
            f"unknown industry scheme {schemes[at]!r} (expected one of "
            f"{', '.join(INDUSTRY_SCHEMES)})"
        ),
    )
    days = date_column(frame, origin, "start_date")
    check_unique(origin, ("order_book_id", "scheme", "start_date"), (ids, schemes, days))
    industry_codes = text_column(frame, origin, "industry_code")
    names = text_column(frame, origin, "industry_name")
    _check_one_name_per_code(origin, schemes, industry_codes, names)
    table = pd.DataFrame(
        {
            "order_book_id": ids,
            "scheme": schemes,
            "start_date": days.astype("datetime64[D]").astype("datetime64[ns]"),
            "industry_code": industry_codes,
            "industry_name": names,
        }
    )
    return table.sort_values(["scheme", "order_book_id", "start_date"], ignore_index=True)


def _check_one_name_per_code(
    origin: Origin, schemes: np.ndarray, industry_codes: np.ndarray, names: np.ndarray
) -> None:
    """Within a scheme, every row of an industry code gives the same name.

    A scheme is one version of its classification, so a second name for a code
    means two versions mixed (or a typing slip); codes of different schemes are
    unrelated.
    """
    keys = pd.DataFrame({"scheme": schemes, "code": industry_codes})
    group = keys.groupby(["scheme", "code"], sort=False).ngroup().to_numpy()
    earliest = np.unique(group, return_index=True)[1][group]
    reject_rows(
        origin,
        "industry_name",
        names != names[earliest],
        lambda at: (
            f"{schemes[at]} industry {industry_codes[at]} is named {names[at]!r} here but "
            f"{names[earliest[at]]!r} in row {origin.row(earliest[at])}"
        ),
    )


def _check_by_instrument_and_date(
    frame,
    origin: Origin,
    instruments: InstrumentIndex,
    date_name: str,
    value_names: Sequence[str],
    *,
    allow_missing: bool,
    sessions: tuple[np.ndarray, str] | None,
    minimums: dict[str, float] | None = None,
) -> pd.DataFrame:
    """A long table keyed by instrument and date with a subset of ``value_names``,
    none below its entry in ``minimums``."""
    minimums = minimums or {}
    # Every accepted name is offered, so that a misspelt column's message lists them.
    require_columns(frame, origin, ("order_book_id", date_name), value_names)
    given = {str(name) for name in frame.columns}
    fields = [name for name in value_names if name in given]
    if not fields:
        raise ValidationError(
            f"{origin.name}: no value columns (expected some of {', '.join(value_names)})"
        )
    ids = text_column(frame, origin, "order_book_id")
    codes_of(origin, "order_book_id", ids, instruments.ids)
    days = date_column(frame, origin, date_name)
    if sessions is not None:
        check_sessions(origin, date_name, days, *sessions)
    check_unique(origin, ("order_book_id", date_name), (ids, days))
    table = pd.DataFrame(
        {
            "order_book_id": ids,
            date_name: days.astype("datetime64[D]").astype("datetime64[ns]"),
            **{
                name: number_column(
                    frame,
                    origin,
                    name,
                    allow_missing=allow_missing,
                    minimum=minimums.get(name),
                )
                for name in fields
            },
        }
    )
    return table.sort_values(["order_book_id", date_name], ignore_index=True)


def check_fundamentals(frame, origin: Origin, instruments: InstrumentIndex) -> pd.DataFrame:
    """Announced values by instrument and announcement day (any calendar day)."""
    return _check_by_instrument_and_date(
        frame,
        origin,
        instruments,
        "announce_date",
        FUNDAMENTAL_FIELDS,
        allow_missing=True,
        sessions=None,
        minimums=_FUNDAMENTAL_MINIMUM,
    )


def check_signal_names(signals: object, where: str) -> None:
    """``signals`` maps names a bundle can store signals under (each in a file named
    after it) to their tables."""
    if not isinstance(signals, Mapping):
        raise ValidationError(
            f"{where}: expected tables by signal name, got {type(signals).__name__}"
        )
    seen: dict[str, str] = {}
    for name in signals:
        if not isinstance(name, str) or not SIGNAL_NAME.fullmatch(name):
            raise ValidationError(
                f"{where}: signal name {name!r} refused: a signal name is made of "
                "letters, digits and underscores only"
            )
        # Some file systems ignore case: two such names would share one file.
        earlier = seen.setdefault(name.lower(), name)
        if earlier != name:
            raise ValidationError(
                f"{where}: signal names {earlier!r} and {name!r} differ only in case"
            )


def check_signal(
    frame, origin: Origin, instruments: InstrumentIndex, sessions: np.ndarray, calendar: str
) -> pd.DataFrame:
    """One signal's values: one finite number per stock and trading day, while listed."""
    require_columns(frame, origin, SIGNAL_COLUMNS)
    days = date_column(frame, origin, "date")
    check_sessions(origin, "date", days, sessions, calendar)
    ids, codes = stock_column(frame, origin, instruments, "; signals rate stocks")
    check_listing_window(origin, "date", days, codes, instruments)
    values = number_column(frame, origin, "value", allow_missing=False)
    check_unique(origin, ("date", "order_book_id"), (days, ids))
    table = pd.DataFrame(
        {
            "date": days.astype("datetime64[D]").astype("datetime64[ns]"),
            "order_book_id": ids,
            "value": values,
        }
    )
    return table.sort_values(["date", "order_book_id"], ignore_index=True)


def _check_signals(
    signals, instruments: InstrumentIndex, sessions: np.ndarray, calendar: str
) -> dict[str, pd.DataFrame]:
    check_signal_names(signals, "signals")
    return {
        name: check_signal(frame, Origin(f"signals[{name!r}]"), instruments, sessions, calendar)
        for name, frame in signals.items()
    }


def validate_tables(
    tables: BundleTables, *, exchange_calendar: bool = True
) -> tuple[BundleTables, dict[str, np.ndarray]]:
    """Check every table of a bundle; return them in canonical form.

    The trading dates must be the sessions of the exchange calendar
    ``tables.calendar``; with ``exchange_calendar=False`` they are taken as
    given (a market with a calendar of its own) and ``calendar`` may be None.

    The canonical form has instrument dates as "YYYY-MM-DD" strings, long
    tables with midnight datetime columns sorted by their keys, and the wide
    daily tables' values as float64 matrices (second element, by table name).
    """
    if not isinstance(tables, BundleTables):
        raise ValidationError(f"expected BundleTables, got {type(tables).__name__}")
    calendar = tables.calendar
    if exchange_calendar and (not isinstance(calendar, str) or not calendar):
        raise ValidationError(f"calendar: expected an exchange calendar code, got {calendar!r}")
    sessions = _check_trading_dates(tables.trading_dates, calendar if exchange_calendar else None)
    instruments = InstrumentIndex.check(tables.instruments, Origin("instruments"))
    matrices = {}
    for name, minimum in _DAILY_MINIMUM.items():
        frame = getattr(tables, name)
        if frame is not None:
            matrices[name] = check_daily_table(
                name, frame, tables.trading_dates, instruments, minimum
            )
    if "price_change_rate" not in matrices:
        raise ValidationError("price_change_rate: the table is required")
    checked = replace(tables, instruments=instruments.frame)
    if tables.index_weights is not None:
        checked.index_weights = check_index_weights(
            tables.index_weights, Origin("index_weights"), instruments, sessions, calendar
        )
    if tables.industry is not None:
        checked.industry = check_industry(tables.industry, Origin("industry"), instruments)
    if tables.fundamentals is not None:
        checked.fundamentals = check_fundamentals(
            tables.fundamentals, Origin("fundamentals"), instruments
        )
    if tables.style_exposure is not None:
        checked.style_exposure = _check_by_instrument_and_date(
            tables.style_exposure,
            Origin("style_exposure"),
            instruments,
            "date",
            STYLE_FACTORS,
            allow_missing=False,
            sessions=(sessions, calendar),
        )
    if tables.signals is not None:
        checked.signals = _check_signals(tables.signals, instruments, sessions, calendar)
    if tables.closes is not None:
        check_closes(
            tables.closes,
            matrices["closes"],
            tables.price_change_rate,
            matrices["price_change_rate"],
        )
    if tables.special_treatment is not None:
        checked.special_treatment = check_special_treatment(
            tables.special_treatment, Origin("special_treatment"), instruments
        )
    return checked, matrices


#: Fundamentals that cannot be negative: assets can shrink to nothing but no
#: further, while equity, earnings and cash flows can turn negative.
_FUNDAMENTAL_MINIMUM = {"total_assets": 0.0}

#: Wide daily tables and the smallest value each may hold (a price can fall by 100 % at most;
#: closes are refused at 0 too, by check_closes).
_DAILY_MINIMUM = {
    "price_change_rate": -1.0,
    "market_cap_total": 0.0,
    "market_cap_float": 0.0,
    "turnover": 0.0,
    "closes": 0.0,
}
#: Columns of closes checked at a time.
_CLOSE_BLOCK = 512
