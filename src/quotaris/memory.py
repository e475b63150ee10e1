"""A data source over pandas tables held in memory.

Tests, examples and importers fill the tables; :class:`MemorySource` checks
them once on construction with the checks a bundle must pass (every complaint
names the table, the row or day and the column) and serves them with the
readers a bundle is served with, so that both answer alike.
"""

from __future__ import annotations

import dataclasses

import numpy as np
import pandas as pd
import pyarrow as pa

from quotaris.served import (
    ServedSource,
    date_column_of,
    decode_long,
    given_long_tables,
    long_arrow,
)
from quotaris.source import NOT_DELISTED
from quotaris.tables import BundleTables
from quotaris.validate import ValidationError, session_days, validate_tables

__all__ = ["MemorySource"]


class MemorySource(ServedSource):
    """One market held in pandas tables in memory.

    instruments
        Columns order_book_id, symbol, type, exchange, listed_date and
        optionally de_listed_date (missing, empty or "0000-00-00" while
        listed); dates as "YYYY-MM-DD" text or date values.
    trading_dates
        The trading days, ascending: the market's own calendar.
    price_change_rate
        Daily fractional price changes, one row per trading day, identifiers
        as columns; NaN on days without a quote.
    market_cap_total, market_cap_float, turnover, closes
        Optional daily tables of the same shape.
    index_weights, industry, fundamentals, style_exposure, special_treatment
        Optional long tables as :class:`~quotaris.tables.BundleTables`
        describes them.
    signals
        Optional signal tables (``date, order_book_id, value``) by signal name.

    Every identifier the tables use must be in the instruments table.  A
    refused table raises :class:`~quotaris.validate.ValidationError` (a
    ValueError); a reader whose table was not given raises
    :class:`~quotaris.source.MissingData`.
    """

    _holder = "the in-memory source"

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
        signals: dict[str, pd.DataFrame] | None = None,
        closes: pd.DataFrame | None = None,
        special_treatment: pd.DataFrame | None = None,
        calendar: str | None = None,
    ) -> None:
        if isinstance(instruments, pd.DataFrame) and "de_listed_date" not in instruments:
            instruments = instruments.assign(de_listed_date=NOT_DELISTED)
        tables = BundleTables(
            instruments, calendar, _calendar_index(trading_dates), price_change_rate
        )
        tables.market_cap_total, tables.market_cap_float = market_cap_total, market_cap_float
        tables.turnover, tables.index_weights = turnover, index_weights
        tables.industry, tables.fundamentals = industry, fundamentals
        tables.style_exposure, tables.signals = style_exposure, signals
        tables.closes, tables.special_treatment = closes, special_treatment
        checked, matrices = validate_tables(tables, exchange_calendar=calendar is not None)
        self._serve_market(
            pa.Table.from_pandas(checked.instruments, preserve_index=False),
            session_days(checked.trading_dates),
            checked.signals or {},
        )
        self._tables = {}
        for name, values in matrices.items():
            ids = np.array([str(column) for column in getattr(checked, name).columns], dtype=object)
            self._tables[name] = self._build(name, (ids, values))
        for name, frame in given_long_tables(checked).items():
            dated_by = date_column_of(name)
            columns = decode_long(long_arrow(frame, dated_by), dated_by)
            self._tables[name] = self._build(name, columns)

    @classmethod
    def from_tables(cls, tables: BundleTables) -> MemorySource:
        """A source serving the tables of a bundle, on its exchange calendar."""
        optional = {
            field.name: getattr(tables, field.name)
            for field in dataclasses.fields(tables)
            if field.name not in ("instruments", "calendar", "trading_dates", "price_change_rate")
        }
        return cls(
            tables.instruments,
            tables.trading_dates,
            tables.price_change_rate,
            calendar=tables.calendar,
            **optional,
        )

    def _table(self, table: str):
        return self._tables.get(table)


def _calendar_index(trading_dates: object) -> pd.DatetimeIndex:
    if isinstance(trading_dates, pd.DatetimeIndex):
        return trading_dates
    try:
        return pd.DatetimeIndex(pd.to_datetime(trading_dates))
    except (TypeError, ValueError) as exc:
        raise ValidationError(f"trading_dates: expected dates ({exc})") from None
