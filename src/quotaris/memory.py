"""A data source over pandas tables held in memory.

Tests, examples and importers fill the tables; :class:`MemorySource` checks
them once on construction (every complaint names the table and the column)
and keeps them in the shapes that make the readers cheap: a dictionary of
instrument records, day-numbered numpy arrays with column-position
dictionaries for the daily tables, and sorted keys for the point-in-time
lookups of the long tables.
"""

from __future__ import annotations

import bisect
import datetime
import math

import numpy as np
import pandas as pd

from .client import to_date
from .source import NOT_DELISTED, DataSource, Instrument, MissingData
from .tables import FUNDAMENTAL_FIELDS, INDUSTRY_SCHEMES, INSTRUMENT_COLUMNS, BundleTables

__all__ = ["WEIGHT_SUM_TOLERANCE", "MemorySource"]

#: How far the constituent weights of one index on one date may sum away from 1.
WEIGHT_SUM_TOLERANCE = 1e-4

_EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()
# Sort keys of the long tables pack (identifier code, day number) into one
# int64; the offset keeps day numbers before 1970 non-negative.
_CODE_SHIFT = 32
_DAY_OFFSET = 1 << 31


def _day_number(date: datetime.date) -> int:
    return date.toordinal() - _EPOCH_ORDINAL


def _date_of(day_number: int) -> datetime.date:
    return datetime.date.fromordinal(int(day_number) + _EPOCH_ORDINAL)


def _day_numbers(values: object, label: str) -> np.ndarray:
    """Days since 1970-01-01 of midnight dates; missing or timed values are refused."""
    try:
        stamps = pd.DatetimeIndex(pd.to_datetime(values))
    except (TypeError, ValueError) as error:
        raise ValueError(f"{label}: expected dates ({error})") from None
    if stamps.tz is not None:
        raise ValueError(f"{label}: dates must not carry a time zone")
    if stamps.hasnans:
        raise ValueError(f"{label}: missing dates")
    timed = stamps != stamps.normalize()
    if timed.any():
        raise ValueError(f"{label}: expected midnight dates, got {stamps[timed][0]}")
    return stamps.values.astype("datetime64[D]").astype(np.int64)


def _require_frame(name: str, frame: object, columns: tuple[str, ...]) -> pd.DataFrame:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name}: expected a pandas DataFrame, got {type(frame).__name__}")
    missing = [column for column in columns if column not in frame.columns]
    if missing:
        raise ValueError(f"{name}: missing columns {missing}")
    if frame.columns.has_duplicates:
        repeated = frame.columns[frame.columns.duplicated()].unique().tolist()
        raise ValueError(f"{name}: repeated columns {repeated}")
    return frame


def _strings(name: str, column: str, values: object) -> np.ndarray:
    array = np.asarray(values, dtype=object)
    for value in array:
        if not isinstance(value, str) or not value:
            raise ValueError(f"{name}.{column}: expected non-empty strings, got {value!r}")
    return array


def _numbers(name: str, frame: pd.DataFrame, columns: list[str]) -> np.ndarray:
    """The columns as a float matrix (NaN where missing); infinities are refused."""
    for column in columns:
        dtype = frame[column].dtype
        if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
            raise TypeError(f"{name}.{column}: expected numbers, got dtype {dtype}")
    values = frame[columns].to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    infinite = np.isinf(values).any(axis=0)
    if infinite.any():
        raise ValueError(f"{name}.{columns[int(np.argmax(infinite))]}: infinite values")
    return values


def _known_ids(name: str, ids: np.ndarray, known: set[str] | dict[str, object]) -> None:
    unknown = sorted({order_book_id for order_book_id in ids if order_book_id not in known})
    if unknown:
        raise ValueError(f"{name}.order_book_id: not in the instruments table: {unknown}")


def _is_not_delisted(value: object) -> bool:
    if value is None or value is pd.NaT or value == NOT_DELISTED or value == "":
        return True
    return isinstance(value, float) and math.isnan(value)


def _date_text(value: object, label: str, order_book_id: str) -> str:
    try:
        date = to_date(value)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{label} of {order_book_id}: {error}") from None
    return f"{date.year:04d}-{date.month:02d}-{date.day:02d}"


def _instrument_records(table: object) -> dict[str, Instrument]:
    frame = _require_frame("instruments", table, INSTRUMENT_COLUMNS[:-1])
    text_columns = INSTRUMENT_COLUMNS[:4]
    texts = [_strings("instruments", column, frame[column]) for column in text_columns]
    listed = frame["listed_date"].tolist()
    if "de_listed_date" in frame.columns:
        de_listed = frame["de_listed_date"].tolist()
    else:
        de_listed = [NOT_DELISTED] * len(frame)
    records: dict[str, Instrument] = {}
    for order_book_id, symbol, kind, exchange, listed_value, de_listed_value in zip(
        *texts, listed, de_listed, strict=True
    ):
        if order_book_id in records:
            raise ValueError(f"instruments.order_book_id: {order_book_id} appears twice")
        listed_date = _date_text(listed_value, "instruments.listed_date", order_book_id)
        if _is_not_delisted(de_listed_value):
            de_listed_date = NOT_DELISTED
        else:
            de_listed_date = _date_text(
                de_listed_value, "instruments.de_listed_date", order_book_id
            )
            if de_listed_date < listed_date:
                raise ValueError(
                    f"instruments.de_listed_date of {order_book_id}: {de_listed_date} "
                    f"precedes its listed_date {listed_date}"
                )
        records[order_book_id] = Instrument(
            order_book_id, symbol, kind, exchange, listed_date, de_listed_date
        )
    return records


def _trading_calendar(trading_dates: object) -> tuple[pd.DatetimeIndex, np.ndarray]:
    days = _day_numbers(trading_dates, "trading_dates")
    if len(days) == 0:
        raise ValueError("trading_dates: no trading days")
    disordered = np.flatnonzero(np.diff(days) <= 0)
    if len(disordered):
        i = disordered[0]
        raise ValueError(
            f"trading_dates: must ascend strictly, {_date_of(days[i + 1])} "
            f"follows {_date_of(days[i])}"
        )
    index = pd.DatetimeIndex(days.astype("datetime64[D]").astype("datetime64[ns]"))
    return index, days


class _DailyTable:
    """A wide table, consecutive trading days by identifiers."""

    def __init__(
        self,
        name: str,
        table: object,
        calendar: pd.DatetimeIndex,
        calendar_days: np.ndarray,
        known: dict[str, Instrument],
    ) -> None:
        frame = _require_frame(name, table, ())
        days = _day_numbers(frame.index, f"{name} index")
        if len(days) == 0:
            raise ValueError(f"{name}: no rows")
        positions = np.searchsorted(calendar_days, days)
        inside = positions < len(calendar_days)
        off_calendar = ~inside | (calendar_days[np.where(inside, positions, 0)] != days)
        if off_calendar.any():
            raise ValueError(
                f"{name} index: {_date_of(days[np.argmax(off_calendar)])} is not a trading day"
            )
        gaps = np.flatnonzero(np.diff(positions) != 1)
        if len(gaps):
            i = gaps[0]
            raise ValueError(
                f"{name} index: rows must be consecutive trading days in ascending order, "
                f"{_date_of(days[i + 1])} follows {_date_of(days[i])}"
            )
        columns = _strings(name, "columns", frame.columns)
        _known_ids(name, columns, known)
        self.name = name
        self.values = _numbers(name, frame, list(frame.columns))
        self.days = days
        self.index = calendar[positions[0] : positions[-1] + 1]
        self.column_of = {order_book_id: i for i, order_book_id in enumerate(columns)}

    def window(self, ids: list[str], start: datetime.date, end: datetime.date) -> pd.DataFrame:
        start_day, end_day = _day_number(start), _day_number(end)
        if start_day < self.days[0]:
            raise MissingData(f"{self.name} starts on {_date_of(self.days[0])}: none on {start}")
        if end_day > self.days[-1]:
            raise MissingData(f"{self.name} ends on {_date_of(self.days[-1])}: none on {end}")
        column_of = self.column_of
        try:
            columns = [column_of[order_book_id] for order_book_id in ids]
        except KeyError:
            unknown = [order_book_id for order_book_id in ids if order_book_id not in column_of]
            raise MissingData(
                f"{self.name}: no data for {', '.join(dict.fromkeys(unknown))}"
            ) from None
        first = int(np.searchsorted(self.days, start_day))
        stop = int(np.searchsorted(self.days, end_day, side="right"))
        block = self.values[first:stop].take(columns, axis=1)
        return pd.DataFrame(block, index=self.index[first:stop], columns=ids, copy=False)


class _LatestRows:
    """Rows of a long table in force from their date on, looked up by identifier."""

    def __init__(self, name: str, ids: np.ndarray, days: np.ndarray, values: np.ndarray) -> None:
        codes, uniques = pd.factorize(ids)
        self.code_of = {order_book_id: code for code, order_book_id in enumerate(uniques)}
        keys = (codes.astype(np.int64) << _CODE_SHIFT) | (days + _DAY_OFFSET)
        order = np.argsort(keys, kind="stable")
        keys = keys[order]
        repeated = np.flatnonzero(keys[1:] == keys[:-1])
        if len(repeated):
            row = order[repeated[0]]
            raise ValueError(f"{name}: {ids[row]} has two rows dated {_date_of(days[row])}")
        self.keys = keys
        self.values = values[order]

    def latest(self, ids: list[str], date: datetime.date) -> tuple[np.ndarray, np.ndarray]:
        """Which identifiers have a row dated on or before ``date``, and those rows."""
        code_of = self.code_of
        codes = np.fromiter(
            (code_of.get(order_book_id, -1) for order_book_id in ids), np.int64, len(ids)
        )
        if len(self.keys) == 0:
            shape = (len(ids), *self.values.shape[1:])
            return np.zeros(len(ids), dtype=bool), np.empty(shape, dtype=self.values.dtype)
        query = (codes << _CODE_SHIFT) | (_day_number(date) + _DAY_OFFSET)
        positions = np.searchsorted(self.keys, query, side="right") - 1
        rows = np.maximum(positions, 0)
        found = (codes >= 0) & (positions >= 0) & ((self.keys[rows] >> _CODE_SHIFT) == codes)
        return found, self.values[rows]


def _long_table(
    name: str,
    table: object,
    date_column: str,
    columns: tuple[str, ...],
    known: dict[str, Instrument],
) -> tuple[pd.DataFrame, np.ndarray, np.ndarray]:
    """The frame, its identifiers and its day numbers, checked."""
    frame = _require_frame(name, table, ("order_book_id", date_column, *columns))
    ids = _strings(name, "order_book_id", frame["order_book_id"])
    _known_ids(name, ids, known)
    return frame, ids, _day_numbers(frame[date_column], f"{name}.{date_column}")


class _IndexWeights:
    """Snapshots of index constituent weights, each in force until the next."""

    def __init__(self, table: object, known: dict[str, Instrument]) -> None:
        name = "index_weights"
        frame, ids, days = _long_table(name, table, "date", ("index_id", "weight"), known)
        index_ids = _strings(name, "index_id", frame["index_id"])
        _known_ids(name, index_ids, known)
        weights = _numbers(name, frame, ["weight"])[:, 0]
        if np.isnan(weights).any():
            raise ValueError(f"{name}.weight: missing weights")
        if (weights < 0).any():
            raise ValueError(f"{name}.weight: negative weight {weights[weights < 0][0]}")
        rows = pd.DataFrame({"index_id": index_ids, "day": days, "id": ids, "weight": weights})
        self.snapshots: dict[str, tuple[list[int], list[tuple[np.ndarray, np.ndarray]]]] = {}
        for (index_id, day), group in rows.groupby(["index_id", "day"], sort=True):
            date = _date_of(day)
            if group["id"].duplicated().any():
                repeated = group["id"][group["id"].duplicated()].iloc[0]
                raise ValueError(f"{name}: {index_id} lists {repeated} twice on {date}")
            total = group["weight"].sum()
            if abs(total - 1.0) > WEIGHT_SUM_TOLERANCE:
                raise ValueError(
                    f"{name}: weights of {index_id} on {date} sum to {total:.6g}, not 1"
                )
            snapshot_days, snapshots = self.snapshots.setdefault(index_id, ([], []))
            snapshot_days.append(int(day))
            snapshots.append(
                (group["id"].to_numpy(dtype=object), group["weight"].to_numpy(dtype=np.float64))
            )

    def at(self, index_id: str, date: datetime.date) -> pd.Series | None:
        entry = self.snapshots.get(index_id)
        if entry is None:
            raise MissingData(f"index_weights: no constituent weights for {index_id}")
        snapshot_days, snapshots = entry
        position = bisect.bisect_right(snapshot_days, _day_number(date)) - 1
        if position < 0:
            return None
        ids, weights = snapshots[position]
        return pd.Series(
            weights.copy(), index=pd.Index(ids, name="order_book_id", dtype=object), name=index_id
        )


class MemorySource(DataSource):
    """One market held in pandas tables in memory.

    instruments
        Columns order_book_id, symbol, type, exchange, listed_date and
        optionally de_listed_date (missing, empty or "0000-00-00" while
        listed); dates in any form :func:`quotaris.to_date` reads.
    trading_dates
        The trading days, ascending.
    price_change_rate
        Daily fractional price changes, consecutive trading days by
        identifiers (a DatetimeIndex); NaN on days without a quote.
    market_cap_total, market_cap_float, turnover
        Optional daily tables of the same shape.
    index_weights
        Optional long table date, index_id, order_book_id, weight: the
        weights of an index in force from ``date`` on, summing to 1.
    industry
        Optional long table order_book_id, scheme, start_date, industry_code,
        industry_name: membership from ``start_date`` on.
    fundamentals
        Optional long table order_book_id, announce_date and fields of
        ``FUNDAMENTAL_FIELDS``: values known from ``announce_date`` on.
    style_exposure
        Optional long table date, order_book_id and one column per style:
        exposures in force from ``date`` on.

    Every identifier the tables use must be in the instruments table.  A
    reader whose table was not given raises :class:`MissingData`.
    """

    def __init__(
        self,
        instruments: pd.DataFrame,
        trading_dates: object,
        price_change_rate: pd.DataFrame,
        *,
        market_cap_total: pd.DataFrame | None = None,
        market_cap_float: pd.DataFrame | None = None,
        turnover: pd.DataFrame | None = None,
        index_weights: pd.DataFrame | None = None,
        industry: pd.DataFrame | None = None,
        fundamentals: pd.DataFrame | None = None,
        style_exposure: pd.DataFrame | None = None,
    ) -> None:
        self._records = _instrument_records(instruments)
        self._calendar, calendar_days = _trading_calendar(trading_dates)

        def daily(name: str, table: pd.DataFrame | None) -> _DailyTable | None:
            if table is None:
                return None
            return _DailyTable(name, table, self._calendar, calendar_days, self._records)

        self._price_change_rate = daily("price_change_rate", price_change_rate)
        self._market_cap = {
            "total": daily("market_cap_total", market_cap_total),
            "float": daily("market_cap_float", market_cap_float),
        }
        self._turnover = daily("turnover", turnover)
        self._index_weights = (
            None if index_weights is None else _IndexWeights(index_weights, self._records)
        )
        self._industry = None if industry is None else self._industry_tables(industry)
        self._fundamentals = (
            None if fundamentals is None else self._fundamental_tables(fundamentals)
        )
        self._style_names: list[str] = []
        self._style_exposure = None if style_exposure is None else self._style_table(style_exposure)

    @classmethod
    def from_tables(cls, tables: BundleTables) -> MemorySource:
        """A source serving the tables of a bundle."""
        return cls(
            tables.instruments,
            tables.trading_dates,
            tables.price_change_rate,
            market_cap_total=tables.market_cap_total,
            market_cap_float=tables.market_cap_float,
            turnover=tables.turnover,
            index_weights=tables.index_weights,
            industry=tables.industry,
            fundamentals=tables.fundamentals,
            style_exposure=tables.style_exposure,
        )

    def _industry_tables(self, table: pd.DataFrame) -> dict[str, _LatestRows]:
        name = "industry"
        columns = ("scheme", "industry_code", "industry_name")
        frame, ids, days = _long_table(name, table, "start_date", columns, self._records)
        schemes = _strings(name, "scheme", frame["scheme"])
        unknown = sorted(set(schemes) - set(INDUSTRY_SCHEMES))
        if unknown:
            raise ValueError(f"{name}.scheme: unknown schemes {unknown}, known: {INDUSTRY_SCHEMES}")
        names = _strings(name, "industry_name", frame["industry_name"])
        tables = {}
        for scheme in INDUSTRY_SCHEMES:
            rows = schemes == scheme
            if rows.any():
                tables[scheme] = _LatestRows(
                    f"{name} ({scheme})", ids[rows], days[rows], names[rows, None]
                )
        return tables

    def _fundamental_tables(self, table: pd.DataFrame) -> dict[str, _LatestRows]:
        name = "fundamentals"
        frame, ids, days = _long_table(name, table, "announce_date", (), self._records)
        fields = [
            column for column in frame.columns if column not in ("order_book_id", "announce_date")
        ]
        unknown = [field for field in fields if field not in FUNDAMENTAL_FIELDS]
        if unknown:
            raise ValueError(f"{name}: unknown fields {unknown}, known: {FUNDAMENTAL_FIELDS}")
        values = _numbers(name, frame, fields)
        tables = {}
        # Each field keeps its own latest announced value: a report that
        # lacks a field leaves the earlier value of that field in force.
        for position, field in enumerate(fields):
            announced = ~np.isnan(values[:, position])
            tables[field] = _LatestRows(
                f"{name}.{field}", ids[announced], days[announced], values[announced, position]
            )
        return tables

    def _style_table(self, table: pd.DataFrame) -> _LatestRows:
        name = "style_exposure"
        frame, ids, days = _long_table(name, table, "date", (), self._records)
        self._style_names = [
            column for column in frame.columns if column not in ("date", "order_book_id")
        ]
        if not self._style_names:
            raise ValueError(f"{name}: no style columns")
        return _LatestRows(name, ids, days, _numbers(name, frame, self._style_names))

    @staticmethod
    def _need(table: object, name: str) -> object:
        if table is None:
            raise MissingData(f"this source was built without the {name} table")
        return table

    def instruments(self, order_book_ids: list[str]) -> list[Instrument]:
        get = self._records.get
        return [
            record for order_book_id in order_book_ids if (record := get(order_book_id)) is not None
        ]

    def trading_dates(self) -> pd.DatetimeIndex:
        return self._calendar

    def price_change_rate(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        return self._price_change_rate.window(order_book_ids, start, end)

    def index_weights(self, index_id: str, date: datetime.date) -> pd.Series | None:
        return self._need(self._index_weights, "index_weights").at(index_id, date)

    def style_exposure(self, order_book_ids: list[str], date: datetime.date) -> pd.DataFrame:
        table = self._need(self._style_exposure, "style_exposure")
        found, rows = table.latest(order_book_ids, date)
        if not found.all():
            missing = [i for i, ok in zip(order_book_ids, found, strict=True) if not ok]
            raise MissingData(
                f"no style exposures on or before {date} for {', '.join(dict.fromkeys(missing))}"
            )
        return pd.DataFrame(rows, index=order_book_ids, columns=self._style_names, copy=False)

    def market_cap(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date, kind: str
    ) -> pd.DataFrame:
        table = self._need(self._market_cap[kind], f"market_cap_{kind}")
        return table.window(order_book_ids, start, end)

    def turnover(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        return self._need(self._turnover, "turnover").window(order_book_ids, start, end)

    def industry(self, order_book_ids: list[str], date: datetime.date, scheme: str) -> pd.Series:
        tables = self._need(self._industry, "industry")
        if scheme not in tables:
            raise MissingData(f"the industry table has no rows of the {scheme} scheme")
        found, rows = tables[scheme].latest(order_book_ids, date)
        if not found.all():
            missing = [i for i, ok in zip(order_book_ids, found, strict=True) if not ok]
            raise MissingData(
                f"no {scheme} industry on or before {date} for {', '.join(dict.fromkeys(missing))}"
            )
        return pd.Series(rows[:, 0], index=order_book_ids, name=scheme, dtype=object)

    def fundamentals(
        self, order_book_ids: list[str], date: datetime.date, fields: list[str]
    ) -> pd.DataFrame:
        tables = self._need(self._fundamentals, "fundamentals")
        unknown = [i for i in order_book_ids if i not in self._records]
        if unknown:
            raise MissingData(f"fundamentals: unknown instruments {', '.join(unknown)}")
        values = np.full((len(order_book_ids), len(fields)), np.nan)
        for position, field in enumerate(fields):
            if field not in tables:
                raise MissingData(f"the fundamentals table has no {field} column")
            found, rows = tables[field].latest(order_book_ids, date)
            values[found, position] = rows[found]
        return pd.DataFrame(values, index=order_book_ids, columns=fields, copy=False)
