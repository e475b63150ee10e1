"""The constraints end to end on the demo market, checked against quotaris and the helper."""

import datetime
import warnings

import numpy as np
import pandas as pd
import pytest

import quotaris
from plovera import (
    BenchmarkComponentWeightLimit,
    IndustryConstraint,
    MaxSharpeRatio,
    MinTrackingError,
    MinVariance,
    OptimizationFailed,
    OptimizerWarning,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
    WildcardStyleConstraint,
    portfolio_optimize,
)
from plovera.benchmark import IndexBenchmark
from plovera.const import CovModel, IndustryClassification
from plovera.helper import OptimizeHelper

DATE = datetime.date(2023, 3, 15)
INDEX = "000300.XSHG"
TOL = 2e-3


pytestmark = pytest.mark.usefixtures("demo")


@pytest.fixture(scope="module")
def constituents():
    return sorted(quotaris.index_weights(INDEX, DATE).index)


def helper_for(pool):
    return OptimizeHelper(sorted(pool), DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY)


def tracking_error(weights, helper):
    union = helper.union_components
    active = weights.reindex(union, fill_value=0.0).to_numpy() - helper.benchmark_weight.to_numpy()
    return float(np.sqrt(active @ helper.get_union_cov_matrix() @ active))


@pytest.mark.parametrize("scheme", list(IndustryClassification)[:2])
def test_helper_gives_industries_of_the_union_in_its_order(constituents, scheme):
    helper = helper_for(constituents[:30])
    industry = helper.get_industry(scheme)
    assert list(industry.index) == helper.union_components
    expected = quotaris.get_industry(helper.union_components, DATE, scheme.value)
    assert industry.tolist() == expected.tolist()
    assert helper.get_industry(scheme.value).equals(industry)


def test_min_tracking_error_industry_and_style_neutral(constituents):
    weights = portfolio_optimize(
        constituents,
        DATE,
        MinTrackingError(),
        cons=[
            WildcardIndustryConstraint(lower_limit=-0.01, upper_limit=0.01, relative=True),
            WildcardStyleConstraint(lower_limit=-0.1, upper_limit=0.1, relative=True),
        ],
        benchmark=INDEX,
    )
    benchmark = quotaris.index_weights(INDEX, DATE)
    benchmark = benchmark / benchmark.sum()
    industry = quotaris.get_industry(constituents, DATE)
    held = weights.groupby(industry).sum()
    target = benchmark.reindex(constituents).groupby(industry).sum()
    assert (held - target).abs().max() <= 0.01 + TOL
    helper = helper_for(constituents)
    exposure = weights.to_numpy() @ helper.get_factor_exposure().to_numpy()
    style_gap = exposure - helper.get_benchmark_style().to_numpy()
    assert np.abs(style_gap).max() <= 0.1 + TOL
    assert abs(weights.sum() - 1) < 1e-6 and weights.min() > -1e-4


def test_max_sharpe_within_tracking_error_and_turnover(constituents):
    holding = pd.Series(1 / 60, index=constituents[:60])
    weights = portfolio_optimize(
        constituents,
        DATE,
        MaxSharpeRatio(),
        cons=[TrackingErrorLimit(0.05), TurnoverLimit(holding, 0.3)],
        benchmark=INDEX,
    )
    turnover = 0.5 * (weights - holding.reindex(weights.index, fill_value=0.0)).abs().sum()
    assert turnover <= 0.3 + TOL
    assert tracking_error(weights, helper_for(constituents)) <= 0.05 * (1 + 0.02)


def test_benchmark_component_floor_on_a_wider_pool(constituents):
    outsiders = sorted(quotaris.index_weights("000905.XSHG", DATE).index)[:40]
    pool = constituents[:40] + outsiders
    weights = portfolio_optimize(
        pool, DATE, MinVariance(), cons=[BenchmarkComponentWeightLimit(0.9)], benchmark=INDEX
    )
    assert weights.reindex(constituents).sum() >= 0.9 - TOL


def bank_weight(weights):
    industry = quotaris.get_industry(list(weights.index), DATE)
    return weights[industry == "银行"].sum()


def test_a_soft_conflict_is_dropped_in_the_one_retry(constituents):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights = portfolio_optimize(
            constituents,
            DATE,
            cons=[
                IndustryConstraint("银行", upper_limit=0.05),
                IndustryConstraint("801780", lower_limit=0.2, hard=False),
            ],
        )
    retries = [w for w in caught if issubclass(w.category, OptimizerWarning)]
    assert [str(w.message) for w in retries] == ["约束无法满足，放弃所有软约束重试"]
    assert bank_weight(weights) <= 0.05 + TOL


def test_a_hard_conflict_fails(constituents):
    with pytest.raises(OptimizationFailed):
        portfolio_optimize(
            constituents,
            DATE,
            cons=[
                IndustryConstraint("银行", upper_limit=0.05),
                IndustryConstraint("银行", lower_limit=0.2),
            ],
        )


def test_nonbank_split_limits_the_brokers_alone(constituents):
    scheme = "sws_nonbank_split"
    weights = portfolio_optimize(
        constituents,
        DATE,
        cons=[
            IndustryConstraint("证券", lower_limit=0.05, upper_limit=0.06, classification=scheme)
        ],
    )
    industry = quotaris.get_industry(constituents, DATE, scheme)
    assert 0.05 - TOL <= weights[industry == "证券"].sum() <= 0.06 + TOL
