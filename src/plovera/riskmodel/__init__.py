"""The fundamental factor risk model: exposures, factor returns, covariance, specific risk."""

from plovera.riskmodel.covariance import (
    CovarianceForecast,
    assemble,
    check_factor_model,
    factor_covariance,
)
from plovera.riskmodel.exante import ExAnteRisk, RiskParts, ex_ante_risk
from plovera.riskmodel.exposures import (
    ExposureEngine,
    StyleExposures,
    StyleUnavailable,
    compute_exposures,
    exposure_history,
)
from plovera.riskmodel.model import FactorModel, RiskModel, RiskModelError
from plovera.riskmodel.panel import MarketPanel
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
from plovera.riskmodel.store import RiskModelWarning, build_risk_model, risk_model

__all__ = [
    "PARAMETERS",
    "CovarianceForecast",
    "ExAnteRisk",
    "ExposureEngine",
    "FactorModel",
    "FactorReturnHistory",
    "MarketPanel",
    "RiskModel",
    "RiskModelError",
    "RiskModelParameters",
    "RiskModelWarning",
    "RiskParts",
    "SpecificRiskForecast",
    "StatisticalModel",
    "StyleExposures",
    "StyleUnavailable",
    "assemble",
    "build_risk_model",
    "check_factor_model",
    "compute_exposures",
    "ex_ante_risk",
    "exposure_history",
    "factor_covariance",
    "factor_exposures",
    "factor_names",
    "factor_returns_batch",
    "factor_returns_wls",
    "parameters_for",
    "risk_model",
    "specific_variance",
    "statistical_model",
]
