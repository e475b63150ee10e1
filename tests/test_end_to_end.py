"""portfolio_optimize over the real helper, index benchmark and an in-memory market."""

import numpy as np
import pandas as pd
import pytest
import scipy.optimize

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
def market(use_source):
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
    use_source(
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


def active_view(alpha, pool):
    """Expected active returns over the union, a stock without one at the benchmark's
    weighted average of those that have one; the benchmark weights; the union covariance."""
    helper = helper_for(pool, plovera.IndexBenchmark(INDEX))
    benchmark = helper.benchmark_weight
    mu = alpha.reindex(benchmark.index)
    known = mu.notna() & (benchmark > 0)
    mu = mu.fillna(np.average(mu[known], weights=benchmark[known])).to_numpy()
    return mu, benchmark.to_numpy(), helper.get_union_cov_matrix()


def information_ratio(w, mu, benchmark, cov):
    active = np.concatenate([w, np.zeros(len(benchmark) - len(w))]) - benchmark
    return mu @ active / np.sqrt(active @ cov @ active)


# Views on five stocks: 600006 and 600007 in the pool, and 600000, held by the
# benchmark and outside the pool of the tests below, have none.
ALPHA = pd.Series([0.03, -0.01, 0.02, 0.05, -0.02], index=STOCKS[1:6])


def test_max_information_ratio_beats_random_portfolios():
    weights = plovera.portfolio_optimize(
        STOCKS, DATE, plovera.MaxInformationRatio(expected_active_returns=ALPHA), benchmark=INDEX
    )
    view = active_view(ALPHA, STOCKS)
    best = information_ratio(weights.to_numpy(), *view)
    randoms = np.random.default_rng(5).dirichlet(np.ones(8), 200)
    assert best >= max(information_ratio(w, *view) for w in randoms) * (1 - 1e-3)


def test_max_information_ratio_is_the_best_ratio_against_the_benchmark():
    # Maximised directly over the long-only weights of a pool without 600000.
    pool = STOCKS[1:]
    view = active_view(ALPHA, pool)
    weights = plovera.portfolio_optimize(
        pool, DATE, plovera.MaxInformationRatio(ALPHA), benchmark=INDEX
    ).to_numpy()
    found = max(
        (
            scipy.optimize.minimize(
                lambda w: -information_ratio(w, *view),
                start,
                method="SLSQP",
                bounds=[(0, 1)] * len(pool),
                constraints=[{"type": "eq", "fun": lambda w: w.sum() - 1}],
                options={"ftol": 1e-12, "maxiter": 1000},
            )
            for start in np.random.default_rng(1).dirichlet(np.ones(len(pool)), 3)
        ),
        key=lambda result: -result.fun,
    )
    np.testing.assert_allclose(weights, found.x, atol=1e-3)
    assert information_ratio(weights, *view) == pytest.approx(-found.fun, rel=1e-4)


def test_max_information_ratio_ignores_a_constant_added_to_every_view():
    weights = [
        plovera.portfolio_optimize(
            STOCKS[1:], DATE, plovera.MaxInformationRatio(ALPHA + shift), benchmark=INDEX
        ).to_numpy()
        for shift in (-0.02, 0.0, 0.02)
    ]
    np.testing.assert_allclose(weights[0], weights[1], atol=1e-4)
    np.testing.assert_allclose(weights[2], weights[1], atol=1e-4)


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
def demo_market(market, demo, use_source):
    """The built-in demo market for one test, the in-memory market again afterwards."""
    use_source(demo)


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


@pytest.fixture
def listed_yesterday(demo_market):
    """A demo stock listed on the trading day before the date, and a pool holding it."""
    listed, new = min(
        (i.listed_date, i.order_book_id)
        for i in quotaris.all_instruments("CS")
        if i.listed_date >= "2023-01-01"
    )
    date = quotaris.trading_date_offset(quotaris.to_date(listed), 1)
    return new, date, [*sorted(quotaris.index_weights(INDEX, date).index)[:15], new]


NO_QUOTE = "expected_returns 中以下股票的值为 NaN（如估计窗口内没有行情），按 0 处理: ['{}']"
NO_ACTIVE_QUOTE = (
    "expected_active_returns 中以下股票的值为 NaN（如估计窗口内没有行情），"
    "按基准的平均主动收益处理: ['{}']"
)


@pytest.mark.parametrize(
    ("objective", "warning"),
    [
        (lambda pool: plovera.MinVariance(), None),
        (lambda pool: plovera.MeanVariance(), NO_QUOTE),
        (lambda pool: plovera.RiskParity(), None),
        (lambda pool: plovera.MinTrackingError(), None),
        (lambda pool: plovera.MaxInformationRatio(), NO_ACTIVE_QUOTE),
        (lambda pool: plovera.MaxSharpeRatio(), NO_QUOTE),
        (lambda pool: plovera.MaxIndicator(pd.Series(np.arange(len(pool)) + 1.0, index=pool)), None),
        (lambda pool: plovera.MinStyleDeviation({"size": 0.0}), None),
    ],
    ids=[
        "MinVariance", "MeanVariance", "RiskParity", "MinTrackingError", "MaxInformationRatio",
        "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation",
    ],
)  # fmt: skip
def test_a_stock_listed_the_day_before_takes_part(listed_yesterday, objective, warning):
    # Its estimated return has no quote in the window: NaN, named and filled.
    new, date, pool = listed_yesterday
    if warning is None:
        weights = plovera.portfolio_optimize(pool, date, objective(pool), benchmark=INDEX)
    else:
        with pytest.warns(plovera.OptimizerWarning) as record:
            weights = plovera.portfolio_optimize(pool, date, objective(pool), benchmark=INDEX)
        assert [str(w.message) for w in record] == [warning.format(new)]
    assert list(weights.index) == sorted(pool)
    assert weights.sum() == pytest.approx(1.0) and weights.min() > -1e-4
