"""Forecast (ex-ante) risk of weights: volatility and tracking error from the factor form.

For weights a over a :class:`FactorModel`'s stocks, with x = Xᵀa, the variance
is xᵀFx (its factor part) plus Σ δᵢaᵢ² (its specific part); no n × n matrix is
formed.  The active weights, a less the benchmark's, give the tracking error.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

from plovera.exception import InvalidArgument

from .model import FactorModel

__all__ = ["HELD_WEIGHT", "ExAnteRisk", "RiskParts", "ex_ante_risk", "held", "risk_parts"]

#: A weight at or below this is no holding: solver round-off, not a position.
HELD_WEIGHT = 1e-12


def held(weights: pd.Series) -> pd.Series:
    """The weights that are holdings (above ``HELD_WEIGHT``)."""
    return weights[weights > HELD_WEIGHT]


@dataclass(frozen=True)
class RiskParts:
    """One weight vector's forecast variance, annualised, split into factor and specific."""

    factor_variance: float
    specific_variance: float

    @property
    def variance(self) -> float:
        return self.factor_variance + self.specific_variance

    @property
    def volatility(self) -> float:
        return math.sqrt(max(self.variance, 0.0))


@dataclass(frozen=True)
class ExAnteRisk:
    """The forecast risk of a portfolio (``total``) and of its active weights (``active``,
    None without a benchmark)."""

    total: RiskParts
    active: RiskParts | None = None

    @property
    def volatility(self) -> float:
        return self.total.volatility

    @property
    def tracking_error(self) -> float:
        """The active weights' volatility; NaN without a benchmark."""
        return math.nan if self.active is None else self.active.volatility


def risk_parts(model: FactorModel, weights) -> RiskParts:
    """The parts of the variance of ``weights``, an array over the model's stocks in order."""
    a = np.asarray(weights, dtype=np.float64)
    x = a @ model.exposures.to_numpy()
    return RiskParts(
        float(x @ model.factor_covariance.to_numpy() @ x),
        float(a**2 @ model.specific_variance.to_numpy()),
    )


def ex_ante_risk(
    model: FactorModel, weights: pd.Series, benchmark: pd.Series | None = None
) -> ExAnteRisk:
    """The forecast risk of ``weights`` and, given the ``benchmark``'s weights, its
    tracking error; both series are by stock, every stock in ``model``, missing ones 0."""
    stocks, rows = model.exposures.index, model.rows
    for name, series in (("weights", weights), ("benchmark", benchmark)):
        # A dict lookup per stock: pandas' isin costs milliseconds on every rebalance.
        outside = [] if series is None else [i for i in series.index if i not in rows]
        if outside:
            raise InvalidArgument(
                f"the risk model's forecast does not cover these stocks of the {name}: "
                f"{', '.join(map(str, outside))}"
            )
    a = weights.reindex(stocks, fill_value=0.0).to_numpy(dtype=np.float64)
    if benchmark is None:
        return ExAnteRisk(risk_parts(model, a))
    b = benchmark.reindex(stocks, fill_value=0.0).to_numpy(dtype=np.float64)
    return ExAnteRisk(risk_parts(model, a), risk_parts(model, a - b))
