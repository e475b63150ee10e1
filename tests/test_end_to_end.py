"""portfolio_optimize over the real helper, index benchmark and an in-memory market."""

import numpy as np
import pandas as pd
import pytest

import plovera
import quotaris
from plovera.const import STYLE_FACTORS, CovModel
from plovera.helper import OptimizeHelper
from quotaris import MemorySource

DAYS = pd.bdate_range("2022-01-03", periods=320)
DATE = DAYS[-1].date()
STOCKS = [f"60000{i}.XSHG" for i in range(8)]
INDEX = "000300.XSHG"
INDEX_WEIGHTS = pd.Series([0.4, 0.3, 0.2, 0.1], index=STOCKS[:4])
LATE = "688999.XSHG"  # lists on the optimisation date


@pytest.fixture(autouse=True)
def market():
    rng = np.random.default_rng(2024)
    loadings = rng.normal(0.0, 1.0, (8, 2)) * [0.010, 0.006]
    changes = rng.normal(0.0, 1.0, (len(DAYS), 2)) @ loadings.T + rng.normal(
        0.0004, 0.012, (len(DAYS), 8)
    )
    prices = pd.DataFrame(changes, index=DAYS, columns=STOCKS)
    prices[INDEX] = prices[STOCKS[:4]].to_numpy() @ INDEX_WEIGHTS.to_numpy()
    prices[LATE] = np.nan
    instruments = pd.DataFrame(
        {
            "order_book_id": [*STOCKS, INDEX, LATE],
            "symbol": [*STOCKS, "HS300", "late"],
            "type": ["CS"] * 8 + ["INDX", "CS"],
            "exchange": "XSHG",
            "listed_date": ["2010-01-04"] * 9 + [str(DATE)],
        }
    )
    weights = pd.DataFrame(
        {
            "date": DAYS[0],
            "index_id": INDEX,
            "order_book_id": INDEX_WEIGHTS.index,
            "weight": INDEX_WEIGHTS.to_numpy(),
        }
    )
    exposures = pd.DataFrame({"date": DAYS[0], "order_book_id": STOCKS})
    for style in STYLE_FACTORS:
        exposures[style] = rng.normal(0.0, 1.0, 8)
    quotaris.init(
        MemorySource(instruments, DAYS, prices, index_weights=weights, style_exposure=exposures)
    )
    return exposures.set_index("order_book_id")


def helper_for(pool, benchmark=None):
    return OptimizeHelper(sorted(pool), DATE, benchmark, CovModel.FACTOR_MODEL_DAILY)


def test_cleaning_then_minimum_variance_in_closed_form():
    chosen = [STOCKS[i] for i in (1, 2, 5, 6, 7)]
    pool = [*reversed(chosen), INDEX, LATE]
    with pytest.warns(plovera.OptimizerWarning) as record:
        weights = plovera.portfolio_optimize(pool, DATE)
    assert sorted(str(w.message) for w in record) == [
        f"{INDEX} 不是股票，被剔除",
        f"{LATE} 在 {DATE} 当天上市，被剔除",
    ]
    cov = helper_for(chosen).get_cov_matrix()
    expected = np.linalg.solve(cov, np.ones(5))
    expected /= expected.sum()
    assert expected.min() > 0.02, "the closed form holds for an interior optimum only"
    assert list(weights.index) == chosen
    np.testing.assert_allclose(weights.to_numpy(), expected, atol=1e-3)


def test_min_tracking_error_replicates_an_index_inside_the_pool():
    weights = plovera.portfolio_optimize(STOCKS, DATE, plovera.MinTrackingError(), benchmark=INDEX)
    expected = INDEX_WEIGHTS.reindex(STOCKS, fill_value=0.0)
    np.testing.assert_allclose(weights.to_numpy(), expected.to_numpy(), atol=1e-3)


def test_risk_parity_equalises_risk_contributions():
    weights = plovera.portfolio_optimize(STOCKS, DATE, plovera.RiskParity())
    cov = helper_for(STOCKS).get_cov_matrix()
    contributions = weights.to_numpy() * (cov @ weights.to_numpy())
    np.testing.assert_allclose(contributions / contributions.sum(), 1 / 8, atol=2e-3)


def test_max_sharpe_ratio_in_closed_form():
    # Returns proportional to Σw make w, all positive, the tangency portfolio Σ⁻¹μ.
    target = np.linspace(0.05, 0.2, 8)
    target /= target.sum()
    cov = helper_for(STOCKS).get_cov_matrix()
    mu = pd.Series(cov @ target, index=STOCKS)
    weights = plovera.portfolio_optimize(
        STOCKS, DATE, plovera.MaxSharpeRatio(expected_returns=mu), benchmark=INDEX
    )
    np.testing.assert_allclose(weights.to_numpy(), target, atol=1e-3)


def test_max_information_ratio_beats_random_portfolios():
    active = pd.Series(np.linspace(-0.02, 0.03, 8), index=STOCKS)
    weights = plovera.portfolio_optimize(
        STOCKS,
        DATE,
        plovera.MaxInformationRatio(expected_active_returns=active),
        benchmark=INDEX,
    )
    helper = helper_for(STOCKS, plovera.IndexBenchmark(INDEX))
    cov = helper.get_union_cov_matrix()
    benchmark = helper.benchmark_weight.to_numpy()
    mu = active.to_numpy()

    def information_ratio(w):
        return mu @ w / np.sqrt((w - benchmark) @ cov @ (w - benchmark))

    best = information_ratio(weights.to_numpy())
    randoms = np.random.default_rng(5).dirichlet(np.ones(8), 200)
    assert best >= max(information_ratio(w) for w in randoms) * (1 - 1e-3)


def test_max_indicator_fills_the_highest_scores_up_to_their_bounds():
    scores = pd.Series(np.arange(8.0), index=STOCKS)
    weights = plovera.portfolio_optimize(
        STOCKS, DATE, plovera.MaxIndicator(scores), bnds={"*": (0, 0.3)}
    )
    np.testing.assert_allclose(weights.to_numpy(), [0] * 4 + [0.1, 0.3, 0.3, 0.3], atol=1e-3)


def test_mean_variance_without_risk_aversion_buys_the_best_return():
    mu = pd.Series(np.linspace(0.01, 0.08, 8), index=STOCKS)
    weights = plovera.portfolio_optimize(
        STOCKS,
        DATE,
        plovera.MeanVariance(mu, risk_aversion_coefficient=0),
        bnds={"*": (0, 0.4)},
    )
    np.testing.assert_allclose(weights.to_numpy(), [0] * 5 + [0.2, 0.4, 0.4], atol=1e-3)


def test_estimated_returns_come_from_the_market_history():
    objective = plovera.MaxSharpeRatio()
    plovera.portfolio_optimize(STOCKS, DATE, objective, benchmark=INDEX)
    start = quotaris.trading_date_offset(DAYS[-2].date(), -252)
    history = quotaris.get_price_change_rate(STOCKS, start, DAYS[-2].date())
    pd.testing.assert_series_equal(objective._expected_returns, history.mean() * 252)


@pytest.fixture
def demo_market(market):
    """The built-in demo market for one test, the in-memory market again afterwards."""
    from quotaris.demo import demo_bundle_path

    previous = quotaris.get_source()
    quotaris.init(demo_bundle_path(progress=False))
    yield
    quotaris.init(previous)


@pytest.mark.parametrize("date", ["2025-06-27", "2025-06-30", "2025-12-31"])
@pytest.mark.parametrize("objective", [plovera.MeanVariance, plovera.RiskParity])
def test_demo_index_pool_solves_where_cvxpy_could_not_certify_its_matrix(
    demo_market, objective, date
):
    # On these days cvxpy's own iterative PSD test of the 300 by 300 covariance
    # matrix never converged and the optimisation ended in ArpackNoConvergence.
    pool = sorted(quotaris.index_weights(INDEX, date).index)
    weights = plovera.portfolio_optimize(pool, date, objective())
    assert len(weights) == 300 and weights.sum() == pytest.approx(1.0)
    assert weights.min() > -1e-4


def test_min_style_deviation_hits_a_feasible_target(demo_market):
    date = "2024-06-28"
    pool = sorted(quotaris.index_weights(INDEX, date).index)[:12]
    exposures = OptimizeHelper(pool, quotaris.to_date(date), None, CovModel.FACTOR_MODEL_DAILY)
    styles = exposures.get_factor_exposure()[["size", "beta"]]
    target = styles.mean() * 0.5
    weights = plovera.portfolio_optimize(
        pool, date, plovera.MinStyleDeviation(target), bnds={"*": (0, 0.5)}
    )
    achieved = styles.T @ weights.to_numpy()
    np.testing.assert_allclose(achieved.to_numpy(), target.to_numpy(), atol=2e-3)
