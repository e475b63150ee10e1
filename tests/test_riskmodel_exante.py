"""Ex-ante risk from the factor form against the dense covariance."""

import numpy as np
import pandas as pd
import pytest

from plovera.exception import InvalidArgument
from plovera.riskmodel import FactorModel, ex_ante_risk


@pytest.fixture
def model():
    rng = np.random.default_rng(3)
    stocks, factors = [f"S{i}" for i in range(6)], ["country", "size"]
    root = rng.normal(size=(2, 2))
    return FactorModel(
        pd.DataFrame(rng.normal(size=(6, 2)), index=stocks, columns=factors),
        pd.DataFrame(root @ root.T, index=factors, columns=factors),
        pd.Series(rng.uniform(0.01, 0.1, 6), index=stocks),
    )


@pytest.mark.parametrize("with_benchmark", [False, True])
def test_parts_and_tracking_error_match_the_dense_covariance(model, with_benchmark):
    x, f = model.exposures.to_numpy(), model.factor_covariance.to_numpy()
    delta = model.specific_variance.to_numpy()
    # The portfolio holds three stocks; the benchmark two others and one of them.
    weights = pd.Series([0.5, 0.3, 0.2], index=["S0", "S2", "S5"])
    benchmark = pd.Series([0.6, 0.4], index=["S2", "S4"]) if with_benchmark else None
    risk = ex_ante_risk(model, weights, benchmark)
    a = weights.reindex(model.exposures.index, fill_value=0).to_numpy()
    assert risk.total.factor_variance == pytest.approx(a @ x @ f @ x.T @ a, rel=1e-12)
    assert risk.total.specific_variance == pytest.approx(a**2 @ delta, rel=1e-12)
    dense = x @ f @ x.T + np.diag(delta)
    assert risk.volatility == pytest.approx(np.sqrt(a @ dense @ a), rel=1e-12)
    if with_benchmark:
        active = a - benchmark.reindex(model.exposures.index, fill_value=0).to_numpy()
        assert risk.tracking_error == pytest.approx(np.sqrt(active @ dense @ active), rel=1e-12)
    else:
        assert risk.active is None and np.isnan(risk.tracking_error)


def test_a_stock_outside_the_forecast_is_named(model):
    with pytest.raises(InvalidArgument, match="benchmark: X1"):
        ex_ante_risk(model, pd.Series([1.0], index=["S0"]), pd.Series([1.0], index=["X1"]))
