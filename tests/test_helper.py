import numpy as np
import pandas as pd
import pytest
from sklearn.covariance import LedoitWolf

import quotaris
from plovera.const import STYLE_FACTORS, TRADING_DAYS_PER_YEAR, CovModel
from plovera.exception import InvalidArgument
from plovera.helper import COV_WINDOW, MIN_VALID_DAYS, OptimizeHelper, ledoit_wolf
from quotaris import MemorySource, MissingData

S = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600036.XSHG", "601318.XSHG", "688001.XSHG"]
DAYS = pd.bdate_range("2021-01-04", periods=400)
DATE = DAYS[-1].date()
WINDOW = DAYS[-1 - COV_WINDOW : -1]
DAILY = CovModel.FACTOR_MODEL_DAILY


class CountingSource(MemorySource):
    """Records every identifier the helper asks prices and exposures for."""

    def __init__(self, *args, served_exposure_change=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.priced, self.exposed = [], []
        # Damage a source's own checks would refuse, applied to what it serves.
        self.served_exposure_change = served_exposure_change

    def price_change_rate(self, order_book_ids, start, end):
        self.priced.extend(order_book_ids)
        return super().price_change_rate(order_book_ids, start, end)

    def style_exposure(self, order_book_ids, date):
        self.exposed.extend(order_book_ids)
        served = super().style_exposure(order_book_ids, date)
        if self.served_exposure_change is not None:
            self.served_exposure_change(served)
        return served


class FixedBenchmark:
    def __init__(self, weights):
        self.weights, self.calls = weights, 0

    def get_weight(self, date):
        self.calls += 1
        return self.weights


def build_market(served_exposure_change=None):
    rng = np.random.default_rng(11)
    market = rng.normal(0.0005, 0.012, (len(DAYS), 1))
    betas = np.array([0.6, 0.8, 1.0, 1.2, 1.4, 1.1])
    prices = pd.DataFrame(
        market * betas + rng.normal(0.0, 0.015, (len(DAYS), 6)), index=DAYS, columns=S
    )
    prices.iloc[: -1 - MIN_VALID_DAYS + 20, 5] = np.nan  # 40 quoted days in the window
    prices.iloc[rng.choice(np.arange(200, 390), 50, replace=False), 4] = np.nan  # suspensions
    instruments = pd.DataFrame(
        {
            "order_book_id": S,
            "symbol": S,
            "type": "CS",
            "exchange": "XSHG",
            "listed_date": "2000-01-04",
        }
    )
    # One trading day beyond DATE, for an exposure dated after it.
    calendar = DAYS.append(pd.DatetimeIndex([DAYS[-1] + pd.offsets.BDay()]))
    dates = ["2021-01-04"] * 5 + [str(calendar[-1].date())]
    exposures = pd.DataFrame({"date": dates, "order_book_id": [*S[:5], S[0]]})
    for position, style in enumerate(STYLE_FACTORS):
        exposures[style] = rng.normal(0.0, 1.0, 6) + position
    source = CountingSource(
        instruments,
        calendar,
        prices.reindex(calendar),
        style_exposure=exposures,
        served_exposure_change=served_exposure_change,
    )
    quotaris.init(source)
    return source, prices, exposures


@pytest.fixture
def market():
    return build_market()


def reference_covariance(returns):
    """Own-mean centring, zero for unquoted days, columns scaled to their quoted days."""
    quoted = returns.notna()
    centred = (returns - returns.mean()).fillna(0.0) * np.sqrt(len(returns) / quoted.sum())
    return (
        LedoitWolf(assume_centered=True).fit(centred.to_numpy()).covariance_ * TRADING_DAYS_PER_YEAR
    )


def test_ledoit_wolf_matches_reference():
    data = np.random.default_rng(3).normal(size=(80, 30)) @ np.diag(np.linspace(1, 3, 30))
    centred = data - data.mean(axis=0)
    reference = LedoitWolf().fit(data)
    estimate, shrinkage = ledoit_wolf(centred)
    np.testing.assert_allclose(estimate, reference.covariance_, rtol=1e-12)
    assert shrinkage == pytest.approx(reference.shrinkage_, rel=1e-12)
    assert 0 < shrinkage < 1


def test_union_order_and_normalised_benchmark_weights(market):
    benchmark = FixedBenchmark(pd.Series({S[2]: 2.0, S[0]: 1.0, S[3]: 1.0}))
    helper = OptimizeHelper([S[1], S[0]], DATE, benchmark, DAILY)
    assert helper.union_components == [S[1], S[0], S[2], S[3]]
    weights = helper.benchmark_weight
    assert list(weights.index) == helper.union_components
    np.testing.assert_allclose(weights.to_numpy(), [0.0, 0.25, 0.5, 0.25])
    assert helper.prev_trading_date == WINDOW[-1].date()
    assert (helper.order_book_ids, helper.date, helper.cov_model) == ([S[1], S[0]], DATE, DAILY)


def test_without_benchmark(market):
    helper = OptimizeHelper([S[2], S[0]], DATE, None, DAILY)
    assert helper.union_components == [S[2], S[0]]
    assert helper.get_union_cov_matrix() is helper.get_cov_matrix()
    with pytest.raises(InvalidArgument, match="no benchmark"):
        helper.benchmark_weight  # noqa: B018
    with pytest.raises(InvalidArgument, match="needs a benchmark"):
        helper.get_benchmark_style()


@pytest.mark.parametrize(
    ("weights", "message"),
    [
        (None, "no weights"),
        (pd.Series(dtype=float), "holds nothing"),
        (pd.Series({S[0]: 0.5, S[2]: -0.1}), f"negative for {S[2]}"),
        (pd.Series({S[0]: 0.5, S[2]: np.nan}), f"missing or negative for {S[2]}"),
        (pd.Series([0.5, 0.5], index=[S[3], S[3]]), f"list {S[3]} more than once"),
        (pd.Series({S[0]: 0.5, 300: 0.5}), r"indexed by \[300\], expected order_book_id strings"),
        ({S[0]: 1.0}, "expected a pandas Series"),
    ],
)
def test_bad_benchmark_weights_are_refused(market, weights, message):
    helper = OptimizeHelper([S[0], S[1]], DATE, FixedBenchmark(weights), DAILY)
    with pytest.raises(InvalidArgument, match=message):
        helper.benchmark_weight  # noqa: B018


@pytest.mark.parametrize("pool", [[S[0], S[1], S[2], S[3]], [S[3], S[4], S[0]]])
def test_pool_covariance_matches_independent_estimate(market, pool):
    _, prices, _ = market
    covariance = OptimizeHelper(pool, DATE, None, DAILY).get_cov_matrix()
    np.testing.assert_allclose(
        covariance, reference_covariance(prices.loc[WINDOW, pool]), rtol=1e-9
    )
    assert covariance.shape == (len(pool), len(pool))
    assert np.array_equal(covariance, covariance.T)
    assert np.linalg.eigvalsh(covariance).min() > 0
    assert not covariance.flags.writeable
    if S[4] not in pool:  # fully quoted: the plain estimator of the reference library
        expected = LedoitWolf().fit(prices.loc[WINDOW, pool]).covariance_ * TRADING_DAYS_PER_YEAR
        np.testing.assert_allclose(covariance, expected, rtol=1e-9)


def test_union_covariance_follows_union_order(market):
    _, prices, _ = market
    benchmark = FixedBenchmark(pd.Series({S[4]: 0.5, S[1]: 0.3, S[3]: 0.2}))
    helper = OptimizeHelper([S[3], S[0]], DATE, benchmark, DAILY)
    union = helper.union_components
    assert union == [S[3], S[0], S[4], S[1]]
    expected = reference_covariance(prices.loc[WINDOW, union])
    np.testing.assert_allclose(helper.get_union_cov_matrix(), expected, rtol=1e-9)


def test_too_little_history_names_the_instrument(market):
    with pytest.raises(InvalidArgument, match=rf"{S[5]} \(40 days\)"):
        OptimizeHelper([S[0], S[5]], DATE, None, DAILY).get_cov_matrix()
    benchmark = FixedBenchmark(pd.Series({S[5]: 1.0}))
    helper = OptimizeHelper([S[0], S[1]], DATE, benchmark, DAILY)
    assert helper.get_cov_matrix().shape == (2, 2)
    with pytest.raises(InvalidArgument, match=S[5]):
        helper.get_union_cov_matrix()


def test_factor_exposure_is_point_in_time_in_pool_order(market):
    _, _, exposures = market
    exposure = OptimizeHelper([S[2], S[0]], DATE, None, DAILY).get_factor_exposure()
    assert list(exposure.index) == [S[2], S[0]]
    assert list(exposure.columns) == list(STYLE_FACTORS)
    # Rows 2 and 0 are in force; row 5 (for S[0]) is dated after the date.
    expected = exposures.loc[[2, 0], list(STYLE_FACTORS)].to_numpy()
    np.testing.assert_array_equal(exposure.to_numpy(), expected)


def test_missing_or_incomplete_exposures_are_errors():
    build_market()
    with pytest.raises(MissingData, match=S[5]):
        OptimizeHelper([S[0], S[5]], DATE, None, DAILY).get_factor_exposure()

    def blank(exposures):
        exposures.loc[S[1], "growth"] = np.nan

    build_market(blank)
    with pytest.raises(InvalidArgument, match=f"incomplete for {S[1]}"):
        OptimizeHelper([S[0], S[1]], DATE, None, DAILY).get_factor_exposure()


def test_benchmark_style_is_weighted_exposure(market):
    _, _, exposures = market
    benchmark = FixedBenchmark(pd.Series({S[4]: 3.0, S[1]: 1.0}))
    style = OptimizeHelper([S[0], S[2]], DATE, benchmark, DAILY).get_benchmark_style()
    expected = (
        0.75 * exposures.loc[4, list(STYLE_FACTORS)] + 0.25 * exposures.loc[1, list(STYLE_FACTORS)]
    )
    np.testing.assert_allclose(
        style[list(STYLE_FACTORS)].to_numpy(), expected.to_numpy(dtype=float)
    )


def test_every_piece_of_data_is_fetched_once(market):
    source, _, _ = market
    benchmark = FixedBenchmark(pd.Series({S[2]: 0.5, S[0]: 0.5}))
    helper = OptimizeHelper([S[0], S[1]], DATE, benchmark, DAILY)
    for _ in range(2):
        helper.get_cov_matrix()
        helper.get_union_cov_matrix()
        helper.get_factor_exposure()
        helper.get_benchmark_style()
        helper.benchmark_weight  # noqa: B018
    assert sorted(source.priced) == sorted([S[0], S[1], S[2]])
    assert sorted(source.exposed) == sorted([S[0], S[1], S[2]])
    assert benchmark.calls == 1


@pytest.mark.parametrize(
    ("pool", "cov_model", "message"),
    [
        ([], DAILY, "empty"),
        ([S[0], S[1], S[0]], DAILY, f"repeated in the pool: {S[0]}"),
        ([S[0], 1], DAILY, "must be strings"),
        (S[0], DAILY, f"a list of identifiers, got the string '{S[0]}'"),
        (None, DAILY, "a list of identifiers, got None"),
        ([S[0], S[1]], "daily", "CovModel"),
    ],
)
def test_constructor_refusals(market, pool, cov_model, message):
    with pytest.raises(InvalidArgument, match=message):
        OptimizeHelper(pool, DATE, None, cov_model)


def test_the_pool_is_kept_as_read_and_apart_from_the_callers_list(market):
    pool = [S[2], S[0]]
    one_pass = OptimizeHelper(iter(pool), DATE, None, DAILY)
    assert one_pass.order_book_ids == pool
    assert list(one_pass.get_factor_exposure().index) == pool
    helper = OptimizeHelper(pool, DATE, None, DAILY)
    pool.append(S[1])
    helper.order_book_ids.append(S[3])
    assert helper.get_cov_matrix().shape == (2, 2) and helper.union_components == [S[2], S[0]]
