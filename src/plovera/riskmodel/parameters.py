"""Estimation parameters of the factor risk model, one set per ``CovModel``.

Half-lives are in trading days: the weight of an observation aged ``a`` days is
``0.5 ** (a / half_life)``, the latest day having age 0.
"""

from dataclasses import dataclass, replace

from plovera.const import CovModel

__all__ = ["PARAMETERS", "RiskModelParameters", "parameters_for"]


@dataclass(frozen=True)
class RiskModelParameters:
    """How the factor covariance and the specific risk are forecast for one horizon.

    Every forecast is an annualised variance (daily variance times 252) of the return
    over the next ``horizon`` trading days; the Newey–West lags carry the serial
    correlation of daily returns into that horizon.

    ``eigenfactor`` and ``regime`` switch the eigenfactor and volatility-regime
    adjustments on or off, so that what each adjustment buys can be measured.
    """

    horizon: int
    factor_vol_half_life: float
    factor_corr_half_life: float
    factor_vol_lags: int
    factor_corr_lags: int
    factor_regime_half_life: float
    specific_vol_half_life: float
    specific_lags: int
    specific_regime_half_life: float
    eigenfactor: bool = True
    regime: bool = True
    eigenfactor_simulations: int = 300
    # Scales the simulated eigen-volatility bias: the simulation understates it.
    eigenfactor_scale: float = 1.2
    eigenfactor_seed: int = 20260101


PARAMETERS = {
    CovModel.FACTOR_MODEL_DAILY: RiskModelParameters(
        horizon=1,
        factor_vol_half_life=42,
        factor_corr_half_life=252,
        factor_vol_lags=0,
        factor_corr_lags=0,
        factor_regime_half_life=21,
        specific_vol_half_life=42,
        specific_lags=0,
        specific_regime_half_life=21,
    ),
    CovModel.FACTOR_MODEL_MONTHLY: RiskModelParameters(
        horizon=21,
        factor_vol_half_life=84,
        factor_corr_half_life=504,
        factor_vol_lags=5,
        factor_corr_lags=2,
        factor_regime_half_life=42,
        specific_vol_half_life=84,
        specific_lags=5,
        specific_regime_half_life=42,
    ),
    CovModel.FACTOR_MODEL_QUARTERLY: RiskModelParameters(
        horizon=63,
        factor_vol_half_life=252,
        factor_corr_half_life=504,
        factor_vol_lags=5,
        factor_corr_lags=2,
        factor_regime_half_life=168,
        specific_vol_half_life=252,
        specific_lags=5,
        specific_regime_half_life=168,
    ),
}
"""The parameter set of each covariance model.

``FACTOR_MODEL_DAILY`` forecasts the risk of the next trading day,
``FACTOR_MODEL_MONTHLY`` that of the next 21 trading days and
``FACTOR_MODEL_QUARTERLY`` that of the next 63 trading days.
"""


def parameters_for(cov_model, *, eigenfactor=True, regime=True):
    """The parameters of ``cov_model`` (a ``CovModel``), with the adjustments switched as given.

    The forecast horizon is the next trading day for ``FACTOR_MODEL_DAILY``, the next
    21 trading days for ``FACTOR_MODEL_MONTHLY`` and the next 63 for
    ``FACTOR_MODEL_QUARTERLY``; forecasts are annualised whatever the horizon.
    """
    if not isinstance(cov_model, CovModel):
        raise ValueError(f"cov_model must be a CovModel member, got {cov_model!r}")
    return replace(PARAMETERS[cov_model], eigenfactor=eigenfactor, regime=regime)
