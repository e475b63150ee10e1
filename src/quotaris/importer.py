"""Build a bundle from one's own tables.

Each table is a CSV file, a Parquet file or a pandas DataFrame, in long form
(one row per instrument and date).  Every table is checked before anything is
written; a refused value raises :class:`ImportValidationError` naming the
file, the row (1 for the first data row below the header; CSV files also get
the line) and the column.  The trading calendar is the exchange's own, taken
from the exchange_calendars package over the date range of the daily prices
or returns.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa

from quotaris.bundle import check_destination, write_bundle
from quotaris.codes import CodeReader
from quotaris.tables import BundleTables
from quotaris.validate import (
    InstrumentIndex,
    Origin,
    ValidationError,
    check_fundamentals,
    check_index_weights,
    check_industry,
    check_listing_window,
    check_sessions,
    check_signal,
    check_signal_names,
    check_special_treatment,
    check_unique,
    codes_of,
    date_column,
    day_text,
    exchange_sessions,
    number_column,
    reject_rows,
    require_columns,
    session_days,
    text_column,
)

__all__ = [
    "FLOAT_CAP_TOLERANCE",
    "LARGEST_CLOSE",
    "LONGEST_GAP_DAYS",
    "ImportValidationError",
    "import_bundle",
]

#: The error an import raises for a refused table; the writer's own checks raise the same.
ImportValidationError = ValidationError

#: No share or index closes this high; a close above it is a unit or typing mistake.
LARGEST_CLOSE = 1e12
#: The longest stretch without any trading a table may show (calendar days); more
#: means a row dated in the wrong year, which would stretch the calendar.
LONGEST_GAP_DAYS = 60
#: How far (relatively) a float market cap may exceed the total one: sources round
#: the two separately, so a fully floated company's may differ in the last digits.
FLOAT_CAP_TOLERANCE = 1e-3

_CSV_SUFFIXES = (".csv",)
_PARQUET_SUFFIXES = (".parquet", ".pq")


def import_bundle(
    dest,
    *,
    instruments,
    prices=None,
    returns=None,
    market_caps=None,
    index_weights=None,
    industries=None,
    fundamentals=None,
    signals=None,
    special_treatment=None,
    calendar: str = "XSHG",
    overwrite: bool = False,
) -> Path:
    """Check the given tables and write them as a bundle at ``dest``; return its path.

    instruments
        ``order_book_id, type, listed_date`` and optionally ``symbol`` (default:
        the identifier), ``exchange`` (default: the identifier's suffix after
        the last ".") and ``de_listed_date`` (empty or "0000-00-00" while
        listed).  Types are "CS" (common stock) and "INDX" (index).  An
        optional ``board`` ("main", "chinext", "star", "bse"; empty to take it
        from the exchange and code) names a stock's board.
    prices or returns (exactly one)
        ``date, order_book_id, close``: daily closing prices, kept in the
        bundle, from which each instrument's daily change is computed against
        its previous close; or ``date, order_book_id, change_rate``: the daily
        changes themselves.
    market_caps
        ``date, order_book_id, total, float`` and optionally ``turnover``.
    index_weights
        ``date, index_id, order_book_id, weight``: weights in force from
        ``date`` on; each index's weights on a date add up to 1.
    industries
        ``order_book_id, scheme, start_date, industry_code, industry_name``;
        ``scheme`` is one of ``INDUSTRY_SCHEMES`` ("sws", "citic", and
        "sws_nonbank_split": Shenwan level 1 with 非银金融 given as its
        level-2 parts 证券, 保险 and 多元金融).
    fundamentals
        ``order_book_id, announce_date`` and some of ``book_value, ttm_earnings,
        ttm_operating_cash_flow, ttm_sales, total_debt, total_assets``; an
        empty cell means the announcement did not give that field.
    signals
        Tables ``date, order_book_id, value`` by signal name (letters, digits
        and underscores): each stock's value known from ``date``, a trading
        day, on; one finite value per stock and date.
    special_treatment
        ``order_book_id, start_date, end_date, status``: each stock's periods
        under special treatment, ``status`` "ST" or "*ST" from ``start_date``
        to ``end_date`` inclusive (empty while it lasts); a stock's periods may
        not overlap.

    Dates are "YYYY-MM-DD" text or date values.  ``calendar`` is an
    exchange_calendars code; daily dates must be its trading days.
    """
    if (prices is None) == (returns is None):
        raise ImportValidationError("give the daily prices or the daily returns (exactly one)")
    # Refuse an occupied destination before the long work of checking the tables.
    check_destination(Path(os.path.abspath(os.fspath(dest))), overwrite)
    if signals is not None:
        check_signal_names(signals, "signals")
    codes = CodeReader()

    def read(source, label: str) -> tuple[pd.DataFrame, Origin]:
        frame, origin = _read(source, label)
        return codes.of_table(frame), origin

    instrument_frame, instrument_origin = _read(instruments, "instruments")
    instrument_index = _instruments(codes.of_instruments(instrument_frame), instrument_origin)
    codes.known = set(instrument_index.ids)
    if prices is not None:
        # A day without a close is a day without a row: an empty close is a mistake.
        daily = _Daily(
            *read(prices, "prices"),
            {"close": None},
            instrument_index,
            required=("close",),
        )
        closes = daily.values["close"]
        reject_rows(
            daily.origin,
            "close",
            closes <= 0,
            lambda at: f"{closes[at]:.10g} is not a positive price",
        )
        reject_rows(
            daily.origin,
            "close",
            closes > LARGEST_CLOSE,
            lambda at: f"{closes[at]:.10g} is not a plausible price (above {LARGEST_CLOSE:g})",
        )
    else:
        # A price can at most fall to nothing.
        daily = _Daily(
            *read(returns, "returns"),
            {"change_rate": -1.0},
            instrument_index,
            required=("change_rate",),
        )
    daily.check_gaps()
    daily.check_indices_priced(instrument_origin)
    first, last = daily.days.min(), daily.days.max()
    trading_dates = exchange_sessions(
        calendar, np.datetime64(int(first), "D"), np.datetime64(int(last), "D")
    )
    sessions = session_days(trading_dates)
    daily.check_dates(sessions, calendar)
    close_table = daily.wide("close", sessions) if prices is not None else None
    if close_table is not None:
        change_rate = _change_rates(close_table)
    else:
        change_rate = daily.wide("change_rate", sessions)

    tables = BundleTables(
        instruments=instrument_index.frame,
        calendar=calendar,
        trading_dates=trading_dates,
        price_change_rate=change_rate,
        closes=close_table,
    )
    if market_caps is not None:
        # The caps are the table's values as the close is the prices': a day
        # without them is a day without a row.  Turnover, optional, may be empty.
        caps = _Daily(
            *read(market_caps, "market caps"),
            {"total": 0.0, "float": 0.0},
            instrument_index,
            optional={"turnover": 0.0},
            required=("total", "float"),
        )
        caps.check_dates(sessions, calendar)
        caps.check_caps()
        tables.market_cap_total = caps.wide("total", sessions)
        tables.market_cap_float = caps.wide("float", sessions)
        if "turnover" in caps.values:
            tables.turnover = caps.wide("turnover", sessions)
    if index_weights is not None:
        tables.index_weights = check_index_weights(
            *read(index_weights, "index weights"),
            instrument_index,
            sessions,
            calendar,
        )
    if industries is not None:
        tables.industry = check_industry(*read(industries, "industries"), instrument_index)
    if fundamentals is not None:
        tables.fundamentals = check_fundamentals(
            *read(fundamentals, "fundamentals"), instrument_index
        )
    if signals is not None:
        tables.signals = {
            name: check_signal(*read(table, f"signal {name}"), instrument_index, sessions, calendar)
            for name, table in signals.items()
        }
    if special_treatment is not None:
        tables.special_treatment = check_special_treatment(
            *read(special_treatment, "special treatment"), instrument_index
        )
    codes.notify()
    return write_bundle(dest, tables, overwrite=overwrite)


def _read(source, label: str) -> tuple[pd.DataFrame, Origin]:
    """A table from a CSV or Parquet file or a DataFrame, with where its rows come from."""
    if isinstance(source, pd.DataFrame):
        return _tidy(source), Origin(f"{label} table")
    if not isinstance(source, str | os.PathLike):
        raise ImportValidationError(
            f"{label}: expected a CSV or Parquet file or a DataFrame, got {type(source).__name__}"
        )
    path = Path(source)
    name = os.fspath(source)
    suffixes = [suffix.lower() for suffix in path.suffixes]
    try:
        if suffixes and suffixes[-1] in _PARQUET_SUFFIXES:
            return _tidy(pd.read_parquet(path)), Origin(name)
        if any(suffix in _CSV_SUFFIXES for suffix in suffixes[-2:]):
            return _read_csv(path, name)
    except FileNotFoundError:
        raise ImportValidationError(f"{name}: no such file") from None
    except (OSError, ValueError, UnicodeDecodeError, pa.ArrowException) as exc:
        raise ImportValidationError(f"{name}: cannot be read: {exc}") from None
    raise ImportValidationError(f"{name}: unknown file type (expected .csv or .parquet)")


def _read_csv(path: Path, name: str) -> tuple[pd.DataFrame, Origin]:
    # Every cell is read as text, so that a bad value can be quoted as written;
    # blank lines are kept while reading so that rows keep the numbers the
    # user sees, then dropped.
    frame = pd.read_csv(
        path,
        dtype=str,
        keep_default_na=False,
        na_filter=False,
        skip_blank_lines=False,
        encoding="utf-8-sig",
    )
    frame.columns = [str(column).strip() for column in frame.columns]
    blank = (frame.apply(lambda column: column.str.strip()) == "").all(axis=1).to_numpy()
    rows = np.flatnonzero(~blank)
    return frame.iloc[rows].reset_index(drop=True), Origin(
        name, row_numbers=rows + 1, text_lines=True
    )


def _tidy(frame: pd.DataFrame) -> pd.DataFrame:
    """Named index levels become columns; column names are stripped text."""
    if any(level is not None for level in frame.index.names):
        frame = frame.reset_index()
    return frame.rename(columns=lambda column: str(column).strip())


def _instruments(frame: pd.DataFrame, origin: Origin) -> InstrumentIndex:
    require_columns(
        frame,
        origin,
        ("order_book_id", "type", "listed_date"),
        ("symbol", "exchange", "de_listed_date", "board"),
    )
    ids = text_column(frame, origin, "order_book_id")
    filled = frame.copy()
    if "symbol" not in frame.columns:
        filled["symbol"] = ids
    if "exchange" not in frame.columns:
        has_suffix = np.array(["." in order_book_id for order_book_id in ids], dtype=bool)
        if not has_suffix.all():
            at = int(np.argmax(~has_suffix))
            raise ImportValidationError(
                f"{origin.at(at, 'order_book_id')}: {ids[at]!r} has no exchange suffix "
                "to take the exchange from; add an exchange column"
            )
        filled["exchange"] = [order_book_id.rsplit(".", 1)[1] for order_book_id in ids]
    if "de_listed_date" not in frame.columns:
        filled["de_listed_date"] = ""
    return InstrumentIndex.check(filled, origin)


class _Daily:
    """A long daily table (``date, order_book_id`` and value columns), checked.

    ``columns`` maps each value column to the smallest value it may hold (None
    for no bound); ``optional`` likewise for columns that may be absent;
    ``required`` names the value columns whose cells may not be empty.
    """

    def __init__(
        self,
        frame: pd.DataFrame,
        origin: Origin,
        columns: dict[str, float | None],
        instruments: InstrumentIndex,
        optional: dict[str, float | None] | None = None,
        *,
        required: Sequence[str] = (),
    ):
        optional = optional or {}
        require_columns(frame, origin, ("date", "order_book_id", *columns), tuple(optional))
        self.origin, self.instruments = origin, instruments
        self.days = date_column(frame, origin, "date")
        if len(self.days) == 0:
            raise ImportValidationError(f"{origin.name}: no rows")
        self.ids = text_column(frame, origin, "order_book_id")
        self.codes = codes_of(origin, "order_book_id", self.ids, instruments.ids)
        check_unique(origin, ("date", "order_book_id"), (self.days, self.ids))
        given = {**columns, **{name: bound for name, bound in optional.items() if name in frame}}
        self.values = {
            name: number_column(
                frame, origin, name, allow_missing=name not in required, minimum=minimum
            )
            for name, minimum in given.items()
        }

    def check_gaps(self) -> None:
        """No stretch of more than ``LONGEST_GAP_DAYS`` without a row.

        The rows on the smaller side of the first such gap are the ones
        refused: they are the strays.
        """
        distinct = np.unique(self.days)
        gaps = np.flatnonzero(np.diff(distinct) > LONGEST_GAP_DAYS)
        if not len(gaps):
            return
        before, after = distinct[gaps[0]], distinct[gaps[0] + 1]
        late = self.days >= after
        stray = late if late.sum() <= (~late).sum() else ~late
        reject_rows(
            self.origin,
            "date",
            stray,
            lambda at: (
                f"{day_text(self.days[at])} is far from the other dates: no row from "
                f"{day_text(before)} to {day_text(after)} ({after - before} days; at most "
                f"{LONGEST_GAP_DAYS} allowed)"
            ),
        )

    def check_indices_priced(self, instruments_origin: Origin) -> None:
        """Every index has daily rows: a benchmark without prices cannot be measured."""
        instruments = self.instruments
        unpriced = (instruments.types == "INDX") & ~np.isin(
            np.arange(len(instruments.ids)), self.codes
        )
        reject_rows(
            instruments_origin,
            "order_book_id",
            unpriced,
            lambda at: f"the index {instruments.ids[at]} has no rows in {self.origin.name}",
        )

    def check_caps(self) -> None:
        """Market caps a listed company can have, and turnover a day can show.

        Each is refused rather than warned about: it comes from a unit mistake
        or a column given for another, not from a market.
        """
        total, free = self.values["total"], self.values["float"]
        for name, values in (("total", total), ("float", free)):
            reject_rows(
                self.origin,
                name,
                values == 0,
                lambda _: "a market cap of 0 (leave out the row of a day without caps)",
            )
        reject_rows(
            self.origin,
            "float",
            free > total * (1 + FLOAT_CAP_TOLERANCE),
            lambda at: f"{free[at]:.10g} is above the total market cap {total[at]:.10g}",
        )
        if "turnover" in self.values:
            turnover = self.values["turnover"]
            # Turnover is the fraction of the shares traded that day, at most 1
            # under T+1 trading: a percentage (50 for 50 %) shows up here.
            reject_rows(
                self.origin,
                "turnover",
                turnover > 1,
                lambda at: (
                    f"{turnover[at]:.10g} is above 1 (turnover is the fraction of the "
                    "shares traded, 0.05 for 5 %)"
                ),
            )

    def check_dates(self, sessions: np.ndarray, calendar: str) -> None:
        check_sessions(self.origin, "date", self.days, sessions, calendar)
        check_listing_window(self.origin, "date", self.days, self.codes, self.instruments)

    def wide(self, name: str, sessions: np.ndarray) -> pd.DataFrame:
        """Trading days by instruments (those with rows, in instruments order), NaN elsewhere."""
        present = np.unique(self.codes)
        matrix = np.full((len(sessions), len(present)), np.nan)
        rows = np.searchsorted(sessions, self.days)
        matrix[rows, np.searchsorted(present, self.codes)] = self.values[name]
        return pd.DataFrame(
            matrix,
            index=pd.DatetimeIndex(sessions.astype("datetime64[D]").astype("datetime64[ns]")),
            columns=list(self.instruments.ids[present]),
        )


def _change_rates(closes: pd.DataFrame) -> pd.DataFrame:
    """Each day's close over the instrument's previous close, minus one.

    After days without a close (suspension), the change is taken against the
    last close before them; the first close of an instrument has no change.
    """
    previous = closes.ffill().shift(1)
    return closes / previous - 1.0
