from dataclasses import replace

import numpy as np
import pytest

from plovera.const import CovModel
from plovera.riskmodel import assemble, parameters_for
from plovera.riskmodel.statistical import choose_n_factors, statistical_model


def planted_panel(seed, k, n=120, t_days=600):
    rng = np.random.default_rng(seed)
    loadings = rng.normal(size=(n, k))
    factors = rng.normal(size=(t_days, k)) * np.linspace(0.02, 0.01, k)
    noise = rng.normal(size=(t_days, n)) * rng.uniform(0.005, 0.015, n)
    return factors @ loadings.T + noise, loadings


@pytest.mark.parametrize("k", [1, 3, 5])
def test_criterion_finds_the_planted_number_of_factors(k):
    panel, _ = planted_panel(k, k)
    assert choose_n_factors(panel) == k
    assert choose_n_factors(panel, max_factors=2) == min(k, 2)


def test_planted_structure_is_recovered():
    panel, loadings = planted_panel(9, 3)
    panel[::17, 4] = np.nan
    params = replace(parameters_for(CovModel.FACTOR_MODEL_DAILY), eigenfactor_simulations=50)
    model = statistical_model(panel, params)
    assert model.n_factors == 3
    assert np.isnan(model.specific_returns[::17, 4]).all()
    # The fitted loadings span the planted ones.
    q, _ = np.linalg.qr(loadings)
    canonical = np.linalg.svd(q.T @ model.exposures, compute_uv=False)
    assert canonical.min() > 0.99
    cov = assemble(model.exposures, model.factor_covariance.covariance, model.specific_variance)
    sample = np.cov(np.nan_to_num(panel[-252:]), rowvar=False) * 252
    ew = np.full(120, 1 / 120)
    assert ew @ cov @ ew == pytest.approx(ew @ sample @ ew, rel=0.3)


def test_fallback_on_the_sp500_sample():
    datasets = pytest.importorskip("skfolio.datasets")
    returns = datasets.load_sp500_dataset().pct_change().iloc[-504:].to_numpy()
    model = statistical_model(returns, parameters_for(CovModel.FACTOR_MODEL_MONTHLY))
    assert 1 <= model.n_factors <= 5
    cov = assemble(model.exposures, model.factor_covariance.covariance, model.specific_variance)
    assert np.array_equal(cov, cov.T)
    assert np.linalg.eigvalsh(cov)[0] > 0
    sample = np.cov(returns[-252:], rowvar=False) * 252
    ratio = np.sqrt(np.diag(cov) / np.diag(sample))
    assert 0.6 < np.median(ratio) < 1.6


def test_too_small_a_panel_is_refused():
    with pytest.raises(ValueError, match="a 1 × 5 return panel"):
        choose_n_factors(np.zeros((1, 5)))
