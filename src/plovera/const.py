"""Constants shared by the optimiser, the data helper and the constraints."""

from enum import Enum

# The style names and the trading year belong to the market data; the
# optimiser shares the same objects.
from quotaris.tables import STYLE_FACTORS, TRADING_DAYS_PER_YEAR

__all__ = ["STYLE_FACTORS", "TRADING_DAYS_PER_YEAR", "CovModel"]


class CovModel(Enum):
    """Covariance models of the factor risk model, by forecast horizon."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"
