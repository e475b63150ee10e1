"""The readers every source of quotaris shares, over tables held in memory.

A source that holds one market's checked tables (a bundle read from disk, or
tables handed over in memory) keeps them in the forms here: instrument codes
(positions in the instruments table), trading days as day numbers (days since
1970-01-01), daily tables as days-by-identifiers matrices, and long tables as
point-in-time lookups keyed by (instrument code, day).  :class:`ServedSource`
answers every :class:`~quotaris.source.DataSource` question from them, so all
sources give the same answers and raise the same errors.

Choices every source follows:

- an identifier the instruments table lacks raises :class:`MissingData`
  naming it; so does a date outside the trading calendar;
- an index where a stock is expected (market caps, turnover, exposures,
  industries, fundamentals, signals, boards, special treatment, price
  limits) raises :class:`MissingData` naming it;
- a stock without a row in force on the asked date answers NaN (daily
  tables, fundamentals, signals) or None (industry); style exposures, which
  models cannot do without, raise :class:`MissingData` instead;
- a signal name the market lacks raises :class:`MissingData` naming the
  signals it holds;
- an end date before the start date raises :class:`ValueError`; a range
  without trading days gives an empty frame.
"""

from __future__ import annotations

import abc
import dataclasses
import datetime
from collections.abc import Callable, Iterable, Sequence

import numpy as np
import pandas as pd
import pyarrow as pa

from quotaris.limits import BOARDS, boards_of, limits_table
from quotaris.source import BundleError, DataSource, Instrument, MissingData, unknown_signal
from quotaris.tables import SIGNAL_NAME, BundleTables
from quotaris.validate import day_text

__all__ = [
    "DAILY_TABLES",
    "DATE_COLUMNS",
    "LONG_TABLES",
    "MARKET_CAP_TABLES",
    "DailyTable",
    "IndexWeights",
    "Labels",
    "PointInTime",
    "ServedSource",
    "SignalValues",
    "column_days",
    "column_numbers",
    "date_column_of",
    "day_number",
    "decode_instruments",
    "decode_long",
    "given_long_tables",
    "long_arrow",
    "read_only",
    "signal_of",
    "signal_table",
]

DAILY_TABLES = ("price_change_rate", "market_cap_total", "market_cap_float", "turnover", "closes")
LONG_TABLES = ("index_weights", "industry", "fundamentals", "style_exposure", "special_treatment")
MARKET_CAP_TABLES = {"total": "market_cap_total", "float": "market_cap_float"}
#: The column of each long table that dates its rows.
DATE_COLUMNS = {
    "index_weights": "date",
    "industry": "start_date",
    "fundamentals": "announce_date",
    "style_exposure": "date",
    "special_treatment": "start_date",
}
#: A signal's table, and so its bundle file, is named after it: "signal.<name>".
_SIGNAL_PREFIX = "signal."

_SHOWN_IDS = 10
#: Rows a first look back for the last close covers: a week of trading.
_FIRST_LOOK_BACK = 5
_EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()
# Point-in-time keys pack (instrument code, day) into one int64; the offset
# keeps days before 1970 non-negative.
_CODE_SHIFT = 32
_DAY_OFFSET = 1 << 31


def day_number(date: datetime.date) -> int:
    """Days since 1970-01-01 of a date (a datetime counts by its calendar day)."""
    if isinstance(date, datetime.datetime):
        date = date.date()
    return date.toordinal() - _EPOCH_ORDINAL


def signal_table(name: str) -> str:
    """The table holding the signal ``name``."""
    return _SIGNAL_PREFIX + name


def signal_of(table: str) -> str | None:
    """The name of the signal ``table`` holds; None for a table of another kind."""
    name = table.removeprefix(_SIGNAL_PREFIX)
    return name if name != table and SIGNAL_NAME.fullmatch(name) else None


def date_column_of(table: str) -> str:
    """The column that dates the rows of a long table."""
    return "date" if signal_of(table) else DATE_COLUMNS[table]


def given_long_tables(tables: BundleTables) -> dict[str, pd.DataFrame]:
    """The long tables given, signals included, by table name."""
    given = {name: getattr(tables, name) for name in LONG_TABLES}
    given.update({signal_table(name): frame for name, frame in (tables.signals or {}).items()})
    return {name: frame for name, frame in given.items() if frame is not None}


def read_only(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


def _listing(names: Sequence[str]) -> str:
    shown = ", ".join(repr(name) for name in names[:_SHOWN_IDS])
    if len(names) > _SHOWN_IDS:
        shown += f" and {len(names) - _SHOWN_IDS} more"
    return shown


class DailyTable:
    """A wide daily table in memory: trading days by the identifiers it holds."""

    def __init__(self, codes: np.ndarray, values: np.ndarray, instrument_count: int):
        self.values = read_only(values)
        self.column_of_code = np.full(instrument_count, -1, dtype=np.int64)
        self.column_of_code[codes] = np.arange(len(codes))
        self._spans: tuple[np.ndarray, np.ndarray] | None = None

    def spans(self) -> tuple[np.ndarray, np.ndarray]:
        """Each column's first and last row with a value; the number of rows and -1
        where it has none."""
        if self._spans is None:
            present = ~np.isnan(self.values)
            some = present.any(axis=0)
            first = np.where(some, present.argmax(axis=0), len(present))
            last = np.where(some, len(present) - 1 - present[::-1].argmax(axis=0), -1)
            self._spans = first, last
        return self._spans

    def select(self, codes: np.ndarray, begin: int, stop: int) -> np.ndarray:
        """Rows ``begin:stop`` of the instruments' columns; NaN for one the table lacks."""
        columns = self.column_of_code[codes]
        absent = columns < 0
        selected = self.values[begin:stop].take(np.where(absent, 0, columns), axis=1)
        if absent.any():
            selected[:, absent] = np.nan
        return selected

    def last_before(self, codes: np.ndarray, stop: int) -> np.ndarray:
        """Each instrument's last value in the rows before ``stop``; NaN where there is none."""
        columns = self.column_of_code[codes]
        found = np.full(len(codes), np.nan)
        first, last = self.spans()
        pending = np.flatnonzero(columns >= 0)
        pending = pending[first[columns[pending]] < stop]
        # A column whose values end before ``stop`` (a delisted stock) ends with the one.
        ended = last[columns[pending]] < stop
        done = pending[ended]
        found[done] = self.values[last[columns[done]], columns[done]]
        pending = pending[~ended]
        # The others were mostly quoted the day before: look back over a few rows,
        # then over ever more rows for the ones suspended longer.
        high, width = stop, _FIRST_LOOK_BACK
        while pending.size and high > 0:
            low = max(0, high - width)
            block = self.values[low:high, columns[pending]]
            present = ~np.isnan(block)
            seen = present.any(axis=0)
            at = high - low - 1 - np.argmax(present[::-1], axis=0)
            found[pending[seen]] = block[at[seen], np.flatnonzero(seen)]
            pending = pending[~seen]
            high, width = low, width * 8
        return found


class PointInTime:
    """The latest row on or before a day, per instrument.

    Rows are keyed by (instrument code, day) in one sorted int64 array, so a
    query for many instruments is a single ``searchsorted``.
    """

    def __init__(self, codes: np.ndarray, days: np.ndarray):
        keys = (codes.astype(np.int64) << _CODE_SHIFT) + (days.astype(np.int64) + _DAY_OFFSET)
        order = np.argsort(keys, kind="stable")
        self._keys = keys[order]
        self._codes = codes[order]
        self._rows = order

    def latest(self, codes: np.ndarray, day: int) -> np.ndarray:
        """Row of each code's latest entry on or before ``day``; -1 where there is none."""
        if len(self._keys) == 0:
            return np.full(len(codes), -1, dtype=np.int64)
        wanted = (codes << _CODE_SHIFT) + (day + _DAY_OFFSET)
        at = np.searchsorted(self._keys, wanted, side="right") - 1
        safe = np.maximum(at, 0)
        found = (at >= 0) & (self._codes[safe] == codes)
        return np.where(found, self._rows[safe], -1)


class SignalValues:
    """One signal's values, by instrument code and day."""

    def __init__(self, codes: np.ndarray, days: np.ndarray, values: np.ndarray):
        self._lookup = PointInTime(codes, days)
        self._codes, self._days, self._values = codes, days, read_only(values)

    def latest(self, codes: np.ndarray, day: int) -> np.ndarray:
        """Each code's latest value on or before ``day``; NaN where there is none."""
        rows = self._lookup.latest(codes, day)
        found = rows >= 0
        values = np.full(len(codes), np.nan)
        values[found] = self._values[rows[found]]
        return values

    def between(self, first: int, last: int, ids: pd.Index) -> pd.DataFrame:
        """The values dated from day ``first`` to day ``last``: those days by the
        identifiers (``ids`` by code) with a value among them, NaN elsewhere."""
        rows = (self._days >= first) & (self._days <= last)
        days, day_at = np.unique(self._days[rows], return_inverse=True)
        codes, code_at = np.unique(self._codes[rows], return_inverse=True)
        matrix = np.full((len(days), len(codes)), np.nan)
        matrix[day_at, code_at] = self._values[rows]
        dates = pd.DatetimeIndex(days.astype("datetime64[D]").astype("datetime64[ns]"))
        columns = pd.Index(ids.to_numpy()[codes])  # text, as other answers' identifiers
        return pd.DataFrame(matrix, index=dates, columns=columns).sort_index(axis=1)


class Labels:
    """A text column as its distinct values and each row's position among them."""

    def __init__(self, uniques: np.ndarray, positions: np.ndarray):
        self.uniques = uniques
        self.positions = positions

    @classmethod
    def of(cls, column: pa.ChunkedArray) -> Labels:
        encoded = column.dictionary_encode().combine_chunks()
        return cls(
            np.array(encoded.dictionary.to_pylist(), dtype=object),
            encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64),
        )

    def take(self, rows: np.ndarray) -> Labels:
        return Labels(self.uniques, self.positions[rows])

    def values(self) -> np.ndarray:
        return self.uniques[self.positions]


class IndexWeights:
    """Constituent weights by index and review day, sorted by constituent."""

    def __init__(self, columns: dict):
        # Rows come sorted by index, review day and constituent.
        index_ids, days = columns["index_id"].values(), columns["date"]
        self._ids = columns["order_book_id"].values()
        self._weights = read_only(columns["weight"])
        self._by_index: dict[str, tuple[np.ndarray, np.ndarray]] = {}
        new_block = np.ones(len(days), dtype=bool)
        new_block[1:] = (index_ids[1:] != index_ids[:-1]) | (days[1:] != days[:-1])
        starts = np.flatnonzero(new_block)
        ends = np.append(starts[1:], len(days))
        for index_id in np.unique(index_ids[starts]):
            mine = index_ids[starts] == index_id
            self._by_index[str(index_id)] = (
                days[starts[mine]],
                np.column_stack((starts[mine], ends[mine])),
            )
        self._constituents: dict[tuple[int, int], pd.Index] = {}

    def holds(self, index_id: str) -> bool:
        return index_id in self._by_index

    def on(self, index_id: str, day: int) -> pd.Series | None:
        days, spans = self._by_index[index_id]
        at = int(np.searchsorted(days, day, side="right")) - 1
        if at < 0:
            return None
        start, end = (int(bound) for bound in spans[at])
        constituents = self._constituents.get((start, end))
        if constituents is None:
            constituents = self._constituents.setdefault(
                (start, end), pd.Index(self._ids[start:end])
            )
        return pd.Series(self._weights[start:end].copy(), index=constituents, name=index_id)


def column_days(column: pa.ChunkedArray) -> np.ndarray:
    return column.cast(pa.date32()).to_numpy().astype("datetime64[D]").astype(np.int64)


def column_numbers(column: pa.ChunkedArray) -> np.ndarray:
    # Converting chunk by chunk is several times faster than through the chunked array.
    if column.num_chunks == 1:
        return column.chunk(0).to_numpy(zero_copy_only=False)
    return column.combine_chunks().to_numpy(zero_copy_only=False)


def long_arrow(frame: pd.DataFrame, date_column: str) -> pa.Table:
    """A checked long table with explicit types, so that even an empty one reads back.

    Dates are stored as dates, NaT (a period still running) as null.
    """
    columns = {}
    for name in frame.columns:
        values = frame[name].to_numpy()
        if name == date_column or values.dtype.kind == "M":
            columns[name] = pa.array(values.astype("datetime64[D]"), pa.date32())
        elif values.dtype.kind == "f":
            columns[name] = pa.array(values, pa.float64())
        else:
            columns[name] = pa.array(values.astype(object), pa.string())
    return pa.table(columns)


def decode_instruments(table: pa.Table) -> tuple[dict[str, Instrument], list[str]]:
    """Records by identifier, and the identifiers in table order."""
    columns = [table.column(field.name).to_pylist() for field in dataclasses.fields(Instrument)]
    records = {values[0]: Instrument(*values) for values in zip(*columns, strict=True)}
    return records, columns[0]


def decode_long(table: pa.Table, date_column: str) -> dict:
    """Columns by name: dates as day numbers (null as the smallest int64), numbers as
    float64, text as labels."""
    columns = {}
    for name in table.column_names:
        column = table.column(name)
        if name == date_column or pa.types.is_date(column.type):
            columns[name] = column_days(column)
        elif pa.types.is_floating(column.type):
            columns[name] = column_numbers(column)
        else:
            columns[name] = Labels.of(column)
    return columns


class ServedSource(DataSource):
    """A :class:`DataSource` over checked tables in the forms of this module.

    A subclass calls :meth:`_serve_market` once and answers :meth:`_table`
    with a table's in-memory form (built by :meth:`_build`), or None when the
    market lacks that table.
    """

    #: Who holds the tables, as messages name it.
    _holder = "the source"

    def _serve_market(
        self, instruments: pa.Table, days: np.ndarray, signal_names: Iterable[str]
    ) -> None:
        records, ids = decode_instruments(instruments)
        self._records: dict[str, Instrument] = records
        self._code_of = {order_book_id: code for code, order_book_id in enumerate(ids)}
        self._ids = pd.Index(ids, dtype=object)
        self._stocks = np.array([records[i].type == "CS" for i in ids], dtype=bool)
        self._boards = read_only(_boards(instruments, ids, [records[i].exchange for i in ids]))
        self._listed_days = read_only(
            np.array([records[i].listed_date for i in ids], dtype="datetime64[D]").astype(np.int64)
        )
        self._listing_sessions = read_only(_sessions_to(self._listed_days, days))
        self._days = read_only(days)
        self._calendar = pd.DatetimeIndex(days.astype("datetime64[D]").astype("datetime64[ns]"))
        self._signal_names = sorted(signal_names)

    @abc.abstractmethod
    def _table(self, table: str):
        """A table's in-memory form; None if the market lacks it."""

    def _where(self, table: str) -> str:
        """Where a table comes from, for messages."""
        return table

    # ---------------------------------------------------------------- building

    def _build(self, table: str, contents):
        """The in-memory form of a checked table.

        ``contents`` is, for a daily table, its identifiers and its
        days-by-identifiers matrix; for a long table, its decoded columns.
        """
        if table in DAILY_TABLES:
            ids, values = contents
            codes = self._ids.get_indexer(ids)
            self._refuse_unknown(table, ids, codes)
            return DailyTable(codes, values, len(self._ids))
        if signal_of(table):
            return self._build_signal(table, contents)
        return _BUILDERS[table](self, contents)

    def _refuse_unknown(self, table: str, ids: np.ndarray, codes: np.ndarray) -> None:
        if (codes < 0).any():
            unknown = ids[int(np.argmax(codes < 0))]
            raise BundleError(f"{self._where(table)}: unknown order_book_id {unknown!r}")

    def _codes_of(self, table: str, labels: Labels) -> np.ndarray:
        """Instrument codes of a column of identifiers; all must be known."""
        codes = self._ids.get_indexer(labels.uniques)
        self._refuse_unknown(table, labels.uniques, codes)
        return codes[labels.positions]

    def _point_in_time(self, table: str, labels: Labels, days: np.ndarray) -> PointInTime:
        return PointInTime(self._codes_of(table, labels), days)

    def _build_index_weights(self, columns: dict) -> IndexWeights:
        self._codes_of("index_weights", columns["index_id"])
        self._codes_of("index_weights", columns["order_book_id"])
        return IndexWeights(columns)

    def _build_industry(self, columns: dict) -> dict[str, tuple[PointInTime, np.ndarray]]:
        """Per scheme, the memberships by instrument and start day, and their names."""
        by_scheme = {}
        schemes = columns["scheme"].values()
        for scheme in np.unique(schemes):
            rows = schemes == scheme
            by_scheme[str(scheme)] = (
                self._point_in_time(
                    "industry", columns["order_book_id"].take(rows), columns["start_date"][rows]
                ),
                columns["industry_name"].take(rows).values(),
            )
        return by_scheme

    def _build_fundamentals(self, columns: dict) -> dict[str, tuple[PointInTime, np.ndarray]]:
        """Per field, the announcements that give it and their values."""
        by_field = {}
        for field in list(columns)[2:]:
            # Each field answers with its latest announced value: a report
            # that leaves a field empty does not hide the one before.
            announced = ~np.isnan(columns[field])
            by_field[field] = (
                self._point_in_time(
                    "fundamentals",
                    columns["order_book_id"].take(announced),
                    columns["announce_date"][announced],
                ),
                read_only(columns[field][announced]),
            )
        return by_field

    def _build_style_exposure(self, columns: dict) -> tuple[PointInTime, np.ndarray, pd.Index]:
        styles = list(columns)[2:]
        return (
            self._point_in_time("style_exposure", columns["order_book_id"], columns["date"]),
            read_only(np.column_stack([columns[style] for style in styles])),
            pd.Index(styles),
        )

    def _build_special_treatment(self, columns: dict) -> tuple[PointInTime, np.ndarray, np.ndarray]:
        """The periods by stock and start day, their last days and their statuses."""
        ends = columns["end_date"].copy()
        ends[ends == np.iinfo(np.int64).min] = np.iinfo(np.int64).max  # still running
        return (
            self._point_in_time(
                "special_treatment", columns["order_book_id"], columns["start_date"]
            ),
            read_only(ends),
            columns["status"].values(),
        )

    def _build_signal(self, table: str, columns: dict) -> SignalValues:
        codes = self._codes_of(table, columns["order_book_id"])
        return SignalValues(codes, columns["date"], columns["value"])

    # ---------------------------------------------------------------- DataSource

    def instruments(self, order_book_ids: list[str]) -> list[Instrument]:
        records = self._records
        return [
            records[order_book_id] for order_book_id in order_book_ids if order_book_id in records
        ]

    def all_instruments(self) -> list[Instrument]:
        return [self._records[order_book_id] for order_book_id in sorted(self._records)]

    def trading_dates(self) -> pd.DatetimeIndex:
        return self._calendar

    def price_change_rate(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        codes = self._codes(order_book_ids)
        return self._daily_frame("price_change_rate", order_book_ids, codes, start, end)

    def market_cap(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date, kind: str
    ) -> pd.DataFrame:
        if kind not in MARKET_CAP_TABLES:
            raise ValueError(f"unknown market cap kind {kind!r} (expected 'total' or 'float')")
        name = MARKET_CAP_TABLES[kind]
        codes = self._stock_codes(order_book_ids, name)
        return self._daily_frame(name, order_book_ids, codes, start, end)

    def turnover(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        codes = self._stock_codes(order_book_ids, "turnover")
        return self._daily_frame("turnover", order_book_ids, codes, start, end)

    def index_weights(self, index_id: str, date: datetime.date) -> pd.Series | None:
        self._codes([index_id])
        day = self._day_in_range(date)
        weights = self._table("index_weights")
        if weights is None or not weights.holds(index_id):
            kind = self._records[index_id].type
            raise MissingData(
                f"{self._holder} holds no constituent weights of {index_id} (type {kind})"
            )
        return weights.on(index_id, day)

    def style_exposure(self, order_book_ids: list[str], date: datetime.date) -> pd.DataFrame:
        codes = self._stock_codes(order_book_ids, "style_exposure")
        day = self._day_in_range(date)
        exposure = self._table("style_exposure")
        if exposure is None:
            raise MissingData(f"{self._holder} holds no style_exposure table")
        lookup, values, styles = exposure
        rows = lookup.latest(codes, day)
        if (rows < 0).any():
            lacking = [
                order_book_id
                for order_book_id, row in zip(order_book_ids, rows, strict=True)
                if row < 0
            ]
            raise MissingData(
                f"no style exposures on or before {date:%Y-%m-%d} for {_listing(lacking)}"
            )
        return pd.DataFrame(values[rows], index=pd.Index(order_book_ids), columns=styles)

    def industry(self, order_book_ids: list[str], date: datetime.date, scheme: str) -> pd.Series:
        codes = self._stock_codes(order_book_ids, "industry")
        day = self._day_in_range(date)
        industry = self._table("industry") or {}
        if scheme not in industry:
            raise MissingData(
                f"{self._holder} holds no industry classification under the scheme {scheme!r}"
            )
        lookup, names = industry[scheme]
        rows = lookup.latest(codes, day)
        found = rows >= 0
        values = np.full(len(rows), None, dtype=object)
        values[found] = names[rows[found]]
        return pd.Series(values, index=pd.Index(order_book_ids), name=scheme, dtype=object)

    def fundamentals(
        self, order_book_ids: list[str], date: datetime.date, fields: list[str]
    ) -> pd.DataFrame:
        codes = self._stock_codes(order_book_ids, "fundamentals")
        day = self._day_in_range(date)
        fundamentals = self._table("fundamentals") or {}
        absent = [field for field in fields if field not in fundamentals]
        if absent:
            raise MissingData(f"{self._holder} holds no fundamentals {_listing(absent)}")
        result = np.full((len(codes), len(fields)), np.nan)
        for column, field in enumerate(fields):
            lookup, values = fundamentals[field]
            rows = lookup.latest(codes, day)
            found = rows >= 0
            result[found, column] = values[rows[found]]
        return pd.DataFrame(result, index=pd.Index(order_book_ids), columns=pd.Index(fields))

    def closes(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        codes = self._codes(order_book_ids)
        return self._daily_frame("closes", order_book_ids, codes, start, end)

    def boards(self, order_book_ids: list[str]) -> pd.Series:
        codes = self._stock_codes(order_book_ids, "board")
        names = np.array(BOARDS, dtype=object)[self._boards[codes]]
        return pd.Series(names, index=pd.Index(order_book_ids), name="board", dtype=object)

    def special_treatment(self, order_book_ids: list[str], date: datetime.date) -> pd.Series:
        codes = self._stock_codes(order_book_ids, "special_treatment")
        day = self._day_in_range(date)
        periods = self._table("special_treatment")
        if periods is None:
            raise MissingData(f"{self._holder} holds no special_treatment table")
        return pd.Series(
            _statuses(periods, codes, day),
            index=pd.Index(order_book_ids),
            name="special_treatment",
            dtype=object,
        )

    def price_limits(self, order_book_ids: list[str], date: datetime.date) -> pd.DataFrame:
        codes = self._stock_codes(order_book_ids, "price limits")
        day = self._day_in_range(date)
        closes = self._table("closes")
        if closes is None:
            raise MissingData(f"{self._holder} holds no closes table")
        position = int(np.searchsorted(self._days, day, side="left"))
        if self._days[position] == day:
            close = closes.select(codes, position, position + 1)[0]
        else:  # a day without trading has no close
            close = np.full(len(codes), np.nan)
        periods = self._table("special_treatment")
        if periods is None:  # a market that records no special treatment has none
            special = np.zeros(len(codes), dtype=bool)
        else:
            special = _statuses(periods, codes, day) != ""
        return limits_table(
            order_book_ids,
            closes.last_before(codes, position),
            close,
            self._boards[codes],
            special,
            day,
            self._listed_days[codes],
            position - self._listing_sessions[codes],
        )

    def signal_names(self) -> list[str]:
        return list(self._signal_names)

    def signal(self, name: str, order_book_ids: list[str], date: datetime.date) -> pd.Series:
        signal = self._signal(name)
        codes = self._stock_codes(order_book_ids, f"{name} signal")
        values = signal.latest(codes, self._day_in_range(date))
        return pd.Series(values, index=pd.Index(order_book_ids), name=name)

    def signal_history(self, name: str, start: datetime.date, end: datetime.date) -> pd.DataFrame:
        signal = self._signal(name)
        return signal.between(*self._day_span(start, end), self._ids)

    # ---------------------------------------------------------------- helpers

    def _signal(self, name: str) -> SignalValues:
        if name not in self._signal_names:
            raise unknown_signal(name, self._signal_names)
        return self._table(signal_table(name))

    def _codes(self, order_book_ids: Sequence[str]) -> np.ndarray:
        code_of = self._code_of
        codes = np.fromiter(
            (code_of.get(order_book_id, -1) for order_book_id in order_book_ids),
            dtype=np.int64,
            count=len(order_book_ids),
        )
        if (codes < 0).any():
            unknown = [
                order_book_id
                for order_book_id, code in zip(order_book_ids, codes, strict=True)
                if code < 0
            ]
            raise MissingData(f"unknown order_book_id {_listing(unknown)}")
        return codes

    def _stock_codes(self, order_book_ids: Sequence[str], table: str) -> np.ndarray:
        """Codes of identifiers that must all be stocks: ``table`` holds no others."""
        codes = self._codes(order_book_ids)
        others = ~self._stocks[codes]
        if others.any():
            named = list(dict.fromkeys(self._ids[codes[others]]))
            raise MissingData(
                f"the {table} table holds stocks only; not a stock: {_listing(named)}"
            )
        return codes

    def _day_in_range(self, date: datetime.date) -> int:
        day = day_number(date)
        if day < self._days[0] or day > self._days[-1]:
            raise MissingData(
                f"no data for {date:%Y-%m-%d}: the data cover "
                f"{day_text(self._days[0])} to {day_text(self._days[-1])}"
            )
        return day

    def _day_span(self, start: datetime.date, end: datetime.date) -> tuple[int, int]:
        """Day numbers of start and end, both within the data, in order."""
        first, last = self._day_in_range(start), self._day_in_range(end)
        if first > last:
            raise ValueError(f"start date {start:%Y-%m-%d} is after end date {end:%Y-%m-%d}")
        return first, last

    def _daily_frame(
        self,
        name: str,
        order_book_ids: list[str],
        codes: np.ndarray,
        start: datetime.date,
        end: datetime.date,
    ) -> pd.DataFrame:
        first, last = self._day_span(start, end)
        table = self._table(name)
        if table is None:
            raise MissingData(f"{self._holder} holds no {name} table")
        begin = int(np.searchsorted(self._days, first, side="left"))
        stop = int(np.searchsorted(self._days, last, side="right"))
        return pd.DataFrame(
            table.select(codes, begin, stop),
            index=self._calendar[begin:stop],
            columns=pd.Index(order_book_ids),
            copy=False,
        )


def _boards(instruments: pa.Table, ids: list[str], exchanges: list[str]) -> np.ndarray:
    """Positions in ``BOARDS`` of the instruments: the instruments table's ``board``
    where it gives one, else the board of the exchange and code."""
    numbers = boards_of(ids, exchanges)
    if "board" in instruments.column_names:
        for at, board in enumerate(instruments.column("board").to_pylist()):
            if board:
                numbers[at] = BOARDS.index(board)
    return numbers


def _sessions_to(listed_days: np.ndarray, days: np.ndarray) -> np.ndarray:
    """The trading-day position of each listing day in the calendar ``days``.

    A listing on a day without trading counts from the next trading day; one
    before the calendar gets a negative position, counting the weekdays to
    its first day.
    """
    positions = np.searchsorted(days, listed_days, side="left")
    before = listed_days < days[0]
    positions[before] = -np.busday_count(
        listed_days[before].astype("datetime64[D]"), np.datetime64(int(days[0]), "D")
    )
    return positions


def _statuses(periods: tuple, codes: np.ndarray, day: int) -> np.ndarray:
    """Each stock's special-treatment status on ``day``; "" where it has none."""
    lookup, ends, statuses = periods
    rows = lookup.latest(codes, day)
    found = rows >= 0
    found[found] = ends[rows[found]] >= day
    values = np.full(len(codes), "", dtype=object)
    values[found] = statuses[rows[found]]
    return values


_BUILDERS: dict[str, Callable] = {
    "index_weights": ServedSource._build_index_weights,
    "industry": ServedSource._build_industry,
    "fundamentals": ServedSource._build_fundamentals,
    "style_exposure": ServedSource._build_style_exposure,
    "special_treatment": ServedSource._build_special_treatment,
}
