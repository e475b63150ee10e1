"""Market data for plovera: instruments, calendar, prices, price limits, index weights."""

from . import client
from .client import *  # noqa: F403 -- the readers are the package's interface
from .limits import BOARDS, SPECIAL_TREATMENT_STATUSES
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
    "BOARDS",
    "NOT_DELISTED",
    "BundleError",
    "DataSource",
    "Instrument",
    "MemorySource",
    "MissingData",
    "QuotarisError",
    "QuotarisWarning",
    "SPECIAL_TREATMENT_STATUSES",
    "__version__",
]
