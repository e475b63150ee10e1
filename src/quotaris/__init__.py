"""Market data for plovera: instruments, calendar, prices, index weights."""

from .client import (
    MARKET_CAP_KINDS,
    get_fundamentals,
    get_industry,
    get_market_cap,
    get_previous_trading_date,
    get_price_change_rate,
    get_source,
    get_style_exposure,
    get_trading_dates,
    get_turnover,
    index_weights,
    init,
    instruments,
    to_date,
    trading_date_offset,
)
from .memory import MemorySource
from .source import NOT_DELISTED, BundleError, DataSource, Instrument, MissingData, QuotarisError

__all__ = [
    "MARKET_CAP_KINDS",
    "NOT_DELISTED",
    "BundleError",
    "DataSource",
    "Instrument",
    "MemorySource",
    "MissingData",
    "QuotarisError",
    "get_fundamentals",
    "get_industry",
    "get_market_cap",
    "get_previous_trading_date",
    "get_price_change_rate",
    "get_source",
    "get_style_exposure",
    "get_trading_dates",
    "get_turnover",
    "index_weights",
    "init",
    "instruments",
    "to_date",
    "trading_date_offset",
]
