"""The tables a data bundle holds, as pandas objects.

Importers and the demo market produce a :class:`BundleTables`;
:func:`quotaris.bundle.write_bundle` validates and stores it, and a bundle
source serves it back point in time.  Identifiers are ``order_book_id``
strings, dates are midnight ``pandas.Timestamp`` values, and every daily table
is wide: one row per trading day of ``trading_dates``, one column per
identifier, NaN where the instrument has no value that day.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

import pandas as pd

__all__ = [
    "FUNDAMENTAL_FIELDS",
    "INDUSTRY_SCHEMES",
    "INSTRUMENT_COLUMNS",
    "SIGNAL_COLUMNS",
    "SIGNAL_NAME",
    "SPECIAL_TREATMENT_COLUMNS",
    "STYLE_FACTORS",
    "TRADING_DAYS_PER_YEAR",
    "BundleTables",
]

INSTRUMENT_COLUMNS = (
    "order_book_id",
    "symbol",
    "type",
    "exchange",
    "listed_date",
    "de_listed_date",
)

#: Level-1 industry classifications a bundle can carry; "sws_nonbank_split" is
#: Shenwan level 1 with 非银金融 given as its level-2 parts.
INDUSTRY_SCHEMES = ("sws", "citic", "sws_nonbank_split")

#: Trading days in a year: the annualisation factor and the default look-back.
TRADING_DAYS_PER_YEAR = 252

#: The style factors of the risk model, in the order exposures are reported.
STYLE_FACTORS = [
    "beta",
    "momentum",
    "size",
    "earnings_yield",
    "residual_volatility",
    "growth",
    "book_to_price",
    "leverage",
    "liquidity",
    "non_linear_size",
]

#: Trailing-twelve-month flows and latest balances behind the style factors.
FUNDAMENTAL_FIELDS = (
    "book_value",
    "ttm_earnings",
    "ttm_operating_cash_flow",
    "ttm_sales",
    "total_debt",
    "total_assets",
)


#: The columns of the special-treatment table.
SPECIAL_TREATMENT_COLUMNS = ("order_book_id", "start_date", "end_date", "status")

#: The columns of a signal table.
SIGNAL_COLUMNS = ("date", "order_book_id", "value")

#: What a signal's name may be made of; each signal is stored in a file named after it.
SIGNAL_NAME = re.compile(r"[A-Za-z0-9_]+")


@dataclass
class BundleTables:
    """Everything one market's bundle holds.

    instruments
        One row per instrument, columns ``INSTRUMENT_COLUMNS``; dates as
        "YYYY-MM-DD" strings, ``de_listed_date`` "0000-00-00" while listed;
        ``type`` "CS" for common stocks, "INDX" for indices.  An optional
        ``board`` column (one of ``quotaris.limits.BOARDS``, empty to derive
        it) names a stock's board where its exchange and code would not.
    calendar
        Exchange-calendar code the trading days come from (e.g. "XSHG").
    trading_dates
        Ascending DatetimeIndex of the trading days covered.
    price_change_rate
        Daily fractional price change of stocks and indices (wide).
    market_cap_total, market_cap_float
        Daily total and free-float market capitalisation of stocks (wide).
    turnover
        Daily traded shares over free-float shares of stocks (wide).
    index_weights
        Long table ``date, index_id, order_book_id, weight``: the constituent
        weights of each index in force from ``date`` on; the weights of one
        index on one date sum to 1.
    industry
        Long table ``order_book_id, scheme, start_date, industry_code,
        industry_name``: membership from ``start_date`` until the next row of
        the same instrument and scheme.
    fundamentals
        Long table ``order_book_id, announce_date`` plus the columns of
        ``FUNDAMENTAL_FIELDS``: values known from ``announce_date`` on.
    style_exposure
        Optional long table ``date, order_book_id`` plus one column per style
        name of ``STYLE_FACTORS``: exposures in force from
        ``date`` on.
    signals
        Optional long tables ``SIGNAL_COLUMNS`` (``date, order_book_id,
        value``) by signal name (letters, digits and underscores): each
        stock's value known from ``date`` (a trading day) on.
    closes
        Optional daily close prices in yuan (index levels for indices), wide
        like ``price_change_rate``, NaN on days without a quote; each change
        is the close over the previous quoted close, minus one.
    special_treatment
        Optional long table ``SPECIAL_TREATMENT_COLUMNS``: each stock's
        periods under special treatment, ``status`` "ST" or "*ST" from
        ``start_date`` to ``end_date`` inclusive (NaT while it lasts).
    """

    instruments: pd.DataFrame
    calendar: str
    trading_dates: pd.DatetimeIndex
    price_change_rate: pd.DataFrame
    market_cap_total: pd.DataFrame | None = None
    market_cap_float: pd.DataFrame | None = None
    turnover: pd.DataFrame | None = None
    index_weights: pd.DataFrame | None = None
    industry: pd.DataFrame | None = None
    fundamentals: pd.DataFrame | None = None
    style_exposure: pd.DataFrame | None = None
    signals: dict[str, pd.DataFrame] | None = None
    closes: pd.DataFrame | None = None
    special_treatment: pd.DataFrame | None = None
