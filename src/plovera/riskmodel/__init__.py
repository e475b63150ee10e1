"""The factor risk model: factor returns, factor covariance, specific risk and their assembly."""

from plovera.riskmodel.covariance import (
    CovarianceForecast,
    assemble,
    check_factor_model,
    factor_covariance,
)
from plovera.riskmodel.parameters import PARAMETERS, RiskModelParameters, parameters_for
from plovera.riskmodel.regression import (
    FactorReturnHistory,
    factor_exposures,
    factor_names,
    factor_returns_batch,
    factor_returns_wls,
)
from plovera.riskmodel.specific import SpecificRiskForecast, specific_variance
from plovera.riskmodel.statistical import StatisticalModel, statistical_model

__all__ = [
    "PARAMETERS",
    "CovarianceForecast",
    "FactorReturnHistory",
    "RiskModelParameters",
    "SpecificRiskForecast",
    "StatisticalModel",
    "assemble",
    "check_factor_model",
    "factor_covariance",
    "factor_exposures",
    "factor_names",
    "factor_returns_batch",
    "factor_returns_wls",
    "parameters_for",
    "specific_variance",
    "statistical_model",
]
