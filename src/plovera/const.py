"""Constants shared by the optimiser, the data helper and the constraints."""

from enum import Enum

# The style names belong to the market data; the optimiser shares the same list.
from quotaris.tables import STYLE_FACTORS

__all__ = ["STYLE_FACTORS", "CovModel"]


class CovModel(Enum):
    """Covariance models of the factor risk model, by forecast horizon."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"
