"""Market data for plovera: instruments, calendar, prices, index weights."""

from . import client
from .client import *  # noqa: F403 -- the readers are the package's interface
from .memory import MemorySource
from .source import (
    NOT_DELISTED,
    BundleError,
    DataSource,
    Instrument,
    MissingData,
    QuotarisError,
    QuotarisWarning,
)
from .version import __version__

__all__ = [
    *client.__all__,
    "NOT_DELISTED",
    "BundleError",
    "DataSource",
    "Instrument",
    "MemorySource",
    "MissingData",
    "QuotarisError",
    "QuotarisWarning",
    "__version__",
]
