"""Constants shared by the optimiser, the data helper and the constraints."""

from enum import Enum

__all__ = ["STYLE_FACTORS", "CovModel"]


class CovModel(Enum):
    """Covariance models of the factor risk model, by forecast horizon."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"


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
