"""The optimisation data helper: benchmark holdings, and the risk model's forecasts."""

import datetime
import itertools

import numpy as np
import pandas as pd
import pytest

import plovera
import plovera.helper
import quotaris
from plovera.const import STYLE_FACTORS, CovModel
from plovera.exception import InvalidArgument
from plovera.helper import OptimizeHelper

S = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600036.XSHG", "601318.XSHG", "688001.XSHG"]
DAYS = pd.bdate_range("2021-01-04", periods=400)
DATE = DAYS[-1].date()
DAILY = CovModel.FACTOR_MODEL_DAILY
INDEX, DEMO_DATE = "000300.XSHG", datetime.date(2023, 3, 15)


class FixedBenchmark:
    def __init__(self, weights):
        self.weights, self.calls = weights, 0

    def get_weight(self, date):
        self.calls += 1
        return self.weights


@pytest.fixture
def market(small_market):
    """Six stocks of different betas to one market factor, and nothing else."""
    betas = np.array([0.6, 0.8, 1.0, 1.2, 1.4, 1.1])
    small_market(DAYS, S, seed=11, factor=(0.0005, 0.012), betas=betas)


def demo_helper(cov_model=DAILY, pool_size=40, date=DEMO_DATE, benchmark=INDEX):
    """A helper over part of an index on the demo market, the rest of it as benchmark."""
    constituents = sorted(quotaris.index_weights(INDEX, date).index)
    pool = constituents[::7][:pool_size]
    bench = None if benchmark is None else plovera.IndexBenchmark(benchmark)
    return OptimizeHelper(pool, date, bench, cov_model)


def test_union_order_and_normalised_benchmark_weights(market):
    benchmark = FixedBenchmark(pd.Series({S[2]: 2.0, S[0]: 1.0, S[3]: 1.0}))
    helper = OptimizeHelper([S[1], S[0]], DATE, benchmark, DAILY)
    assert helper.union_components == [S[1], S[0], S[2], S[3]]
    weights = helper.benchmark_weight
    assert list(weights.index) == helper.union_components
    np.testing.assert_allclose(weights.to_numpy(), [0.0, 0.25, 0.5, 0.25])
    assert helper.prev_trading_date == DAYS[-2].date()
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


@pytest.mark.parametrize("cov_model", list(CovModel))
def test_covariances_are_the_factor_form(demo, cov_model):
    helper = demo_helper(cov_model)
    for cov, model, ids in (
        (helper.get_cov_matrix(), helper.get_factor_model(), helper.order_book_ids),
        (helper.get_union_cov_matrix(), helper.get_union_factor_model(), helper.union_components),
    ):
        assert list(model.exposures.index) == ids == list(model.specific_variance.index)
        x = model.exposures.to_numpy()
        expected = x @ model.factor_covariance.to_numpy() @ x.T + np.diag(model.specific_variance)
        np.testing.assert_allclose(cov, expected, rtol=0, atol=1e-10 * np.abs(expected).max())
        assert np.array_equal(cov, cov.T) and not cov.flags.writeable
        assert np.linalg.eigvalsh(cov).min() > 0
    n = len(helper.order_book_ids)
    np.testing.assert_array_equal(helper.get_union_cov_matrix()[:n, :n], helper.get_cov_matrix())


def test_factor_form_columns_and_style_exposures(demo):
    helper = demo_helper(benchmark=INDEX)
    model = helper.get_union_factor_model()
    columns = list(model.exposures.columns)
    assert columns[0] == "country" and columns[-len(STYLE_FACTORS) :] == list(STYLE_FACTORS)
    industries = columns[1 : -len(STYLE_FACTORS)]
    assert len(industries) > 20
    assert list(model.factor_covariance.index) == columns == list(model.factor_covariance.columns)
    # Every stock has one industry, and country exposure 1.
    np.testing.assert_array_equal(model.exposures["country"], 1.0)
    np.testing.assert_array_equal(model.exposures[industries].sum(axis=1), 1.0)
    styles = helper.get_factor_exposure()
    assert list(styles.index) == helper.order_book_ids
    assert list(styles.columns) == list(STYLE_FACTORS)
    pd.testing.assert_frame_equal(styles, model.exposures.loc[helper.order_book_ids, STYLE_FACTORS])
    expected = helper.benchmark_weight.to_numpy() @ model.exposures[list(STYLE_FACTORS)].to_numpy()
    np.testing.assert_allclose(helper.get_benchmark_style()[list(STYLE_FACTORS)], expected)


def test_each_cov_model_forecasts_its_own_horizon(demo):
    covariances = [demo_helper(model).get_cov_matrix() for model in CovModel]
    for first, second in itertools.pairwise(covariances):
        assert np.abs(first - second).max() > 1e-3 * np.abs(first).max()


def test_handed_out_data_cannot_change_the_helper(demo):
    helper = demo_helper()
    model = helper.get_factor_model()
    model.exposures.iloc[:, :] = 0.0
    model.specific_variance.iloc[:] = 0.0
    styles = helper.get_factor_exposure()
    styles.iloc[:, :] = 0.0
    again = helper.get_factor_model()
    assert (again.specific_variance > 0).all() and again.exposures["country"].eq(1.0).all()
    np.testing.assert_array_equal(helper.get_cov_matrix(), demo_helper().get_cov_matrix())


def test_a_recent_listing_gets_imputed_exposures(demo):
    recent, date = "002933.XSHE", datetime.date(2019, 1, 25)  # listed 2019-01-17
    pool = sorted(quotaris.index_weights(INDEX, date).index)[:10]
    model = OptimizeHelper([*pool, recent], date, None, DAILY).get_factor_model()
    assert model.imputed == [recent]
    assert np.isfinite(model.exposures.loc[recent]).all()
    assert model.specific_variance[recent] > 0


@pytest.mark.parametrize(
    ("pool", "date", "message"),
    [
        (["000001.XSHE", "999999.XSHE"], DEMO_DATE, r"does not know 999999\.XSHE"),
        (["000001.XSHE", "000005.XSHE"], datetime.date(2016, 6, 1), r"first date it can serve"),
    ],
)
def test_what_the_model_cannot_serve_is_refused(demo, pool, date, message):
    with pytest.raises(InvalidArgument, match=message):
        OptimizeHelper(pool, date, None, DAILY).get_cov_matrix()


def test_a_market_without_structure_gets_a_statistical_model(market):
    helper = OptimizeHelper([S[3], S[0], S[5]], DATE, None, DAILY)
    cov = helper.get_cov_matrix()
    assert cov.shape == (3, 3) and np.linalg.eigvalsh(cov).min() > 0
    assert all(c.startswith("statistical_") for c in helper.get_factor_model().exposures.columns)
    with pytest.raises(InvalidArgument, match="statistical"):
        helper.get_factor_exposure()


def test_the_risk_model_is_looked_up_once_per_helper_at_call_time(demo, monkeypatch):
    calls = []
    real = plovera.helper.risk_model

    def counting():
        calls.append(1)
        return real()

    monkeypatch.setattr(plovera.helper, "risk_model", counting)
    helper = demo_helper()
    assert not calls
    for _ in range(2):
        helper.get_cov_matrix()
        helper.get_union_cov_matrix()
        helper.get_factor_exposure()
        helper.get_benchmark_style()
    assert len(calls) == 1


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


def test_the_pool_is_kept_as_read_and_apart_from_the_callers_list(demo):
    pool = sorted(quotaris.index_weights(INDEX, DEMO_DATE).index)[:2][::-1]
    one_pass = OptimizeHelper(iter(pool), DEMO_DATE, None, DAILY)
    assert one_pass.order_book_ids == pool
    assert list(one_pass.get_factor_exposure().index) == pool
    helper = OptimizeHelper(pool, DEMO_DATE, None, DAILY)
    pool.append(S[1])
    helper.order_book_ids.append(S[3])
    assert helper.get_cov_matrix().shape == (2, 2) and helper.union_components == pool[:2]
