"""The data-source interface behind the module-level functions of quotaris.

A source answers questions about one market with normalised arguments: lists
of identifiers, ``datetime.date`` values, already-validated options.  The
module-level functions of :mod:`quotaris` accept the looser forms callers use
and turn them into these calls.  Every answer is point in time: nothing dated
after the asked date is ever returned.
"""

from __future__ import annotations

import abc
import datetime
from collections.abc import Sequence
from dataclasses import dataclass

import pandas as pd

__all__ = [
    "NOT_DELISTED",
    "BundleError",
    "DataSource",
    "Instrument",
    "MissingData",
    "QuotarisError",
    "QuotarisWarning",
    "unknown_signal",
]

#: The ``de_listed_date`` of an instrument that is still listed.
NOT_DELISTED = "0000-00-00"


class QuotarisError(Exception):
    """Base class of the errors raised by quotaris."""


class QuotarisWarning(UserWarning):
    """Something in the data looks wrong but does not stop it being served."""


class MissingData(QuotarisError):
    """The source holds no data for what was asked; the message names it."""


class BundleError(QuotarisError):
    """A data bundle cannot be opened or written; the message names the file."""


def unknown_signal(name: str, known: Sequence[str]) -> MissingData:
    """The error for a signal name a source lacks, naming the signals it holds."""
    held = f"the known signals are {', '.join(known)}" if known else "the source holds no signals"
    return MissingData(f"unknown signal {name!r}: {held}")


@dataclass(frozen=True, slots=True)
class Instrument:
    """Metadata of one instrument; dates are "YYYY-MM-DD" strings."""

    order_book_id: str
    symbol: str
    type: str  # "CS" common stock, "INDX" index
    exchange: str
    listed_date: str
    de_listed_date: str = NOT_DELISTED


class DataSource(abc.ABC):
    """What quotaris needs from a market's data."""

    @abc.abstractmethod
    def instruments(self, order_book_ids: list[str]) -> list[Instrument]:
        """Records of the known identifiers, one per occurrence, in the order asked."""

    def all_instruments(self) -> list[Instrument]:
        """Every instrument of the market, by identifier; a source that cannot list says so."""
        raise MissingData(f"{type(self).__name__} cannot list its instruments")

    @abc.abstractmethod
    def trading_dates(self) -> pd.DatetimeIndex:
        """The market's trading calendar, ascending, as midnight timestamps."""

    @abc.abstractmethod
    def price_change_rate(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        """Daily fractional price changes, trading days from start to end by identifiers.

        Days on which an instrument has no quote (not yet listed, suspended,
        delisted) are NaN.  Raises :class:`MissingData` naming the identifier
        for one the source does not know.
        """

    @abc.abstractmethod
    def index_weights(self, index_id: str, date: datetime.date) -> pd.Series | None:
        """Constituent weights of an index in force on ``date``, or None before its first."""

    @abc.abstractmethod
    def style_exposure(self, order_book_ids: list[str], date: datetime.date) -> pd.DataFrame:
        """Style-factor exposures on ``date``, identifiers by style names.

        Raises :class:`MissingData` naming the identifiers without exposures.
        """

    @abc.abstractmethod
    def market_cap(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date, kind: str
    ) -> pd.DataFrame:
        """Daily market caps ("total" or "float"), trading days by identifiers."""

    @abc.abstractmethod
    def turnover(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        """Daily share turnover (traded shares over float shares), trading days by identifiers."""

    @abc.abstractmethod
    def industry(self, order_book_ids: list[str], date: datetime.date, scheme: str) -> pd.Series:
        """Level-1 industry names on ``date`` under ``scheme`` (of ``INDUSTRY_SCHEMES``), by id."""

    @abc.abstractmethod
    def fundamentals(
        self, order_book_ids: list[str], date: datetime.date, fields: list[str]
    ) -> pd.DataFrame:
        """The latest announced value of each field on or before ``date``, identifiers by fields."""

    def closes(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        """Daily close prices (index levels for indices), trading days by identifiers;
        NaN on days without a quote.  A source without closes says so."""
        raise MissingData(f"{type(self).__name__} holds no closes")

    def boards(self, order_book_ids: list[str]) -> pd.Series:
        """The board of each stock (one of ``quotaris.limits.BOARDS``), by identifier."""
        raise MissingData(f"{type(self).__name__} cannot tell the boards of its stocks")

    def special_treatment(self, order_book_ids: list[str], date: datetime.date) -> pd.Series:
        """Each stock's special-treatment status on ``date``: "ST", "*ST" or "", by id."""
        raise MissingData(f"{type(self).__name__} holds no special_treatment table")

    def price_limits(self, order_book_ids: list[str], date: datetime.date) -> pd.DataFrame:
        """The price limits of stocks on ``date``: identifiers by
        ``quotaris.limits.LIMIT_COLUMNS``, as :func:`quotaris.limits.limits_table`
        gives them."""
        raise MissingData(f"{type(self).__name__} cannot tell price limits")

    def signal_names(self) -> list[str]:
        """The names of the signals the source holds, sorted; a source may hold none."""
        return []

    def signal(self, name: str, order_book_ids: list[str], date: datetime.date) -> pd.Series:
        """Each stock's latest value of signal ``name`` dated on or before ``date``, by id.

        A value dated d is known from d on, never before; a stock without one
        answers NaN.  Raises :class:`MissingData` naming the known signals for
        a name the source lacks.
        """
        raise unknown_signal(name, self.signal_names())

    def signal_history(self, name: str, start: datetime.date, end: datetime.date) -> pd.DataFrame:
        """The values of signal ``name`` dated from start to end, for research.

        Rows are the dates that carry values, ascending; columns the stocks
        with a value among them, by identifier; NaN where a stock has none on
        a date.  Nothing dated after ``end`` is given.  An unknown name raises
        :class:`MissingData` naming the known signals.
        """
        raise unknown_signal(name, self.signal_names())
