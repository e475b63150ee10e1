"""The constraint objects: their cvxpy constraints at chosen g and zeta, and their refusals."""

import copy
import pickle

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import plovera
from plovera.const import INDUSTRY_CODES, STYLE_FACTORS, IndustryClassification
from plovera.constraints import (
    BenchmarkComponentWeightLimit,
    IndustryConstraint,
    OptimizationConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
    WildcardStyleConstraint,
)
from plovera.exception import InvalidArgument
from plovera.riskmodel import FactorModel

POOL = ["A", "B", "C", "D"]
UNION = [*POOL, "E", "F"]
BENCH = np.array([0.3, 0.0, 0.2, 0.0, 0.1, 0.4])
INDUSTRY = np.array(["银行", "电子", "银行", "传媒", "电子", "煤炭"], dtype=object)
WEIGHTS = np.array([0.4, 0.3, 0.2, 0.1])
RNG = np.random.default_rng(7)
X = RNG.normal(size=(len(UNION), 3))
FCOV = np.array([[0.04, 0.01, 0.0], [0.01, 0.02, 0.0], [0.0, 0.0, 0.0]])  # singular on purpose
DELTA = RNG.uniform(0.01, 0.05, len(UNION))
STYLE = pd.DataFrame(RNG.normal(size=(len(POOL), len(STYLE_FACTORS))), columns=STYLE_FACTORS)
BENCH_STYLE = pd.Series(RNG.normal(size=len(STYLE_FACTORS)), index=STYLE_FACTORS)


class Helper:
    """The members the constraints read, over a pool of four and a benchmark of four."""

    def __init__(self, benchmark="bench"):
        self.order_book_ids, self.union_components = list(POOL), list(UNION)
        self.benchmark = benchmark
        self.benchmark_weight = pd.Series(BENCH, index=UNION)
        self.classifications = []

    def get_union_factor_model(self):
        return FactorModel(
            pd.DataFrame(X, index=UNION), pd.DataFrame(FCOV), pd.Series(DELTA, index=UNION)
        )

    def get_industry(self, classification):
        self.classifications.append(classification)
        return pd.Series(INDUSTRY, index=UNION)

    def get_factor_exposure(self):
        return STYLE.set_axis(POOL)

    def get_benchmark_style(self):
        return BENCH_STYLE


def scaled(kind):
    """(g, zeta) with g.value = zeta · WEIGHTS, zeta 1.0, the pool size, or a variable."""
    g = cp.Variable(len(POOL), nonneg=True)
    if kind == "variable":
        zeta = cp.Variable(nonneg=True)
        zeta.value = 2.5
        factor = 2.5
    else:
        zeta = factor = 1.0 if kind == "unit" else len(POOL)
    g.value = factor * WEIGHTS
    return g, zeta


ZETAS = ["unit", "pool size", "variable"]


def holds(constraint, kind, helper=None):
    g, zeta = scaled(kind)
    return all(c.value() for c in constraint.to_constraints(g, zeta, helper or Helper()))


def active():
    return np.r_[WEIGHTS, 0.0, 0.0] - BENCH


def check_threshold(make, value, kind, upper=True):
    """The constraint holds just on the permitted side of `value` and fails just beyond it."""
    inside, outside = (value + 1e-6, value - 1e-6) if upper else (value - 1e-6, value + 1e-6)
    assert holds(make(inside), kind)
    assert not holds(make(outside), kind)


@pytest.mark.parametrize("kind", ZETAS)
def test_tracking_error_is_the_union_covariance_form(kind):
    cov = X @ FCOV @ X.T + np.diag(DELTA)
    te = np.sqrt(active() @ cov @ active())
    check_threshold(TrackingErrorLimit, te, kind)


def test_tracking_error_cone_has_factor_plus_pool_rows_and_one_for_the_rest():
    g, zeta = scaled("unit")
    (cone,) = TrackingErrorLimit(0.05).to_constraints(g, zeta, Helper())
    sizes = [arg.shape for arg in cone.args[0].args[0].args]
    # The constituents outside the pool cannot be held: their risk is one number.
    assert sizes == [(3,), (len(POOL),), (1,)] and len(UNION) > len(POOL) + 1


@pytest.mark.parametrize("kind", ZETAS)
@pytest.mark.parametrize(
    ("holding", "turnover"),
    [
        (pd.Series([0.4, 0.3, 0.3], index=POOL[:3]), 0.5 * (0.1 + 0.1)),
        (pd.Series([0.5, 0.5], index=["A", "B"]), 0.5 * (0.1 + 0.2 + 0.2 + 0.1)),
        # 0.3 held outside the pool can only be sold.
        (pd.Series([0.7, 0.3], index=["A", "Z"]), 0.5 * (0.3 + 0.3 + 0.2 + 0.1 + 0.3)),
    ],
)
def test_turnover_is_half_the_traded_weight(kind, holding, turnover):
    check_threshold(lambda limit: TurnoverLimit(holding, limit), turnover, kind)


@pytest.mark.parametrize("kind", ZETAS)
def test_benchmark_components_weight_is_that_of_the_held_constituents(kind):
    check_threshold(BenchmarkComponentWeightLimit, 0.4 + 0.2, kind, upper=False)


@pytest.mark.parametrize("kind", ZETAS)
@pytest.mark.parametrize(
    ("relative", "bank_weight"), [(False, 0.4 + 0.2), (True, 0.4 + 0.2 - (0.3 + 0.2))]
)
def test_industry_weight_absolute_and_relative(kind, relative, bank_weight):
    low = -1.0 if relative else 0.0

    def make_upper(limit):
        return IndustryConstraint("银行", upper_limit=limit, relative=relative)

    def make_lower(limit):
        return IndustryConstraint("801780", lower_limit=max(limit, low), relative=relative)

    check_threshold(make_upper, bank_weight, kind)
    check_threshold(make_lower, bank_weight, kind, upper=False)


@pytest.mark.parametrize("kind", ZETAS)
def test_wildcard_industry_covers_pool_and_benchmark_industries_but_the_excluded(kind):
    g, zeta = scaled(kind)
    cons = WildcardIndustryConstraint(exclude="煤炭", upper_limit=0.5).to_constraints(
        g, zeta, Helper()
    )
    # One upper limit over 电子, 传媒 and 银行 in the scheme's order; 煤炭, held only by
    # the benchmark, is excluded.
    (upper,) = cons
    weights = upper.args[0].value / (2.5 if kind == "variable" else zeta)
    np.testing.assert_allclose(weights, [0.3, 0.1, 0.6])
    assert not upper.value()  # 银行 0.6 is over 0.5
    # 煤炭 alone has a pool weight of 0, which a 10% floor rules out.
    floor = WildcardIndustryConstraint(exclude=["银行", "电子", "传媒"], lower_limit=0.1)
    assert not holds(floor, kind)


def test_per_industry_limits_by_name_or_code():
    constraint = IndustryConstraint(
        ["银行", "801080"], upper_limit={"801780": 0.7, "电子": 0.2}, lower_limit=0.1
    )
    assert constraint._upper_limit == {"银行": 0.7, "电子": 0.2}
    assert IndustryConstraint(801780, upper_limit=0.1)._industries == ["银行"]
    assert not holds(constraint, "unit")  # 电子 holds 0.3
    assert holds(IndustryConstraint(["银行", "801080"], upper_limit={"801080": 0.3}), "unit")


@pytest.mark.parametrize("scheme", ["citic", "CITIC", "Citic", IndustryClassification.CITIC])
def test_classification_reaches_the_helper(scheme):
    helper = Helper()
    constraint = IndustryConstraint("CI005021", upper_limit=1.0, classification=scheme)
    assert constraint._industries == ["银行"]
    g, zeta = scaled("unit")
    constraint.to_constraints(g, zeta, helper)
    assert helper.classifications == [IndustryClassification.CITIC]


@pytest.mark.parametrize("kind", ZETAS)
@pytest.mark.parametrize("relative", [False, True])
def test_style_exposure_absolute_and_relative(kind, relative):
    exposure = WEIGHTS @ STYLE["size"].to_numpy() - (BENCH_STYLE["size"] if relative else 0.0)
    check_threshold(
        lambda limit: StyleConstraint("size", upper_limit=limit, relative=relative), exposure, kind
    )
    check_threshold(
        lambda limit: StyleConstraint(["size"], lower_limit=limit, relative=relative),
        exposure,
        kind,
        upper=False,
    )


def test_wildcard_style_constrains_every_style_but_the_excluded():
    g, zeta = scaled("unit")
    constraint = WildcardStyleConstraint(exclude=["beta", "size"], lower_limit=-9, upper_limit=9)
    cons = constraint.to_constraints(g, zeta, Helper())
    lower, upper = cons
    kept = [s for s in STYLE_FACTORS if s not in ("beta", "size")]
    np.testing.assert_allclose(upper.args[0].value, WEIGHTS @ STYLE[kept].to_numpy())
    assert lower.value() and upper.value()


@pytest.mark.parametrize(
    "constraint",
    [
        TrackingErrorLimit(0.05),
        BenchmarkComponentWeightLimit(0.8),
        IndustryConstraint("银行", upper_limit=0.01, relative=True),
        WildcardIndustryConstraint(upper_limit=0.01, relative=True),
        StyleConstraint("beta", upper_limit=0.1, relative=True),
        WildcardStyleConstraint(upper_limit=0.1, relative=True),
    ],
    ids=lambda c: type(c).__name__,
)
def test_what_needs_a_benchmark_refuses_its_absence_by_class_name(constraint):
    g, zeta = scaled("unit")
    with pytest.raises(InvalidArgument, match=type(constraint).__name__):
        constraint.to_constraints(g, zeta, Helper(benchmark=None))


HOLDING = pd.Series([0.5, 0.5], index=["A", "B"])


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: TrackingErrorLimit(-0.01), "upper_limit 不能小于 0.0，传入值为: -0.01"),
        (lambda: TrackingErrorLimit(float("nan")), "upper_limit 应为有限数值.*nan"),
        (lambda: TrackingErrorLimit("5%"), "upper_limit 应为有限数值.*'5%'"),
        (lambda: TurnoverLimit(HOLDING, 1.5), r"upper_limit 应在 \[0.0, 1.0\].*1.5"),
        (lambda: TurnoverLimit({"A": 1.0}, 0.3), "current_holding .*'A': 1.0"),
        (lambda: TurnoverLimit(pd.Series([1.2, -0.2], index=["A", "B"]), 0.3), "current_holding"),
        (lambda: TurnoverLimit(pd.Series([np.nan], index=["A"]), 0.3), "current_holding"),
        (lambda: TurnoverLimit(pd.Series([0.5, 0.5], index=["A", "A"]), 0.3), "current_holding"),
        (lambda: BenchmarkComponentWeightLimit(1.2), "lower_limit .*1.2"),
        (lambda: IndustryConstraint("银行"), "lower_limit 与 upper_limit 不能同时为 None"),
        (lambda: IndustryConstraint("银行", upper_limit=1.1), "upper_limit .*1.1"),
        (lambda: IndustryConstraint("银行", lower_limit=-0.1), "lower_limit .*-0.1"),
        (
            lambda: IndustryConstraint("银行", lower_limit=-1.5, upper_limit=0.0, relative=True),
            "lower_limit .*-1.5",
        ),
        (
            lambda: IndustryConstraint("银行", lower_limit=0.3, upper_limit=0.2),
            "lower_limit 0.3 大于 upper_limit 0.2",
        ),
        (
            lambda: IndustryConstraint("银行", lower_limit={"银行": 0.3}, upper_limit=0.2),
            "银行: lower_limit 0.3 大于 upper_limit 0.2",
        ),
        (lambda: IndustryConstraint("金融", upper_limit=0.2), "未知的行业 '金融'.*银行"),
        (lambda: IndustryConstraint([], upper_limit=0.2), r"industries 不能为空.*\[\]"),
        (lambda: IndustryConstraint("银行", upper_limit={"钢": 0.2}), "未知的行业 '钢'"),
        (
            lambda: IndustryConstraint(
                "非银金融", upper_limit=0.2, classification="sws_nonbank_split"
            ),
            "未知的行业 '非银金融'.*证券",
        ),
        (
            lambda: IndustryConstraint("银行", upper_limit=0.2, classification="sw"),
            "classification.*'sw'",
        ),
        (lambda: WildcardIndustryConstraint(exclude="801999", upper_limit=0.2), "'801999'"),
        (lambda: StyleConstraint("value", upper_limit=1), "未知的风格 'value'.*book_to_price"),
        (lambda: StyleConstraint(3, upper_limit=1), "未知的风格 3"),
        (lambda: IndustryConstraint(801999, upper_limit=0.1), "未知的行业 801999"),
        (
            lambda: StyleConstraint("beta", upper_limit=float("inf")),
            "upper_limit 应为有限数值.*inf",
        ),
        (lambda: WildcardStyleConstraint(), "不能同时为 None"),
        (lambda: WildcardStyleConstraint(exclude=["momentum", "mom"], upper_limit=1), "'mom'"),
    ],
)
def test_constructors_refuse_bad_arguments_by_name_and_value(make, message):
    with pytest.raises(InvalidArgument, match=message):
        make()


def test_nonbank_split_names_its_parts():
    constraint = IndustryConstraint(
        ["证券", "801194"], upper_limit=0.1, classification="sws_nonbank_split"
    )
    assert constraint._industries == ["证券", "保险"]
    assert set(INDUSTRY_CODES["sws_nonbank_split"].values()) - set(
        INDUSTRY_CODES["sws"].values()
    ) == {
        "证券",
        "保险",
        "多元金融",
    }


ALL = [
    TrackingErrorLimit(0.03, hard=False),
    TurnoverLimit(HOLDING, 0.3),
    BenchmarkComponentWeightLimit(0.8),
    IndustryConstraint("银行", lower_limit={"银行": 0.1}, classification="citic"),
    WildcardIndustryConstraint(exclude="银行", upper_limit=0.01, relative=True),
    StyleConstraint(["beta", "size"], lower_limit=-0.1, upper_limit=0.1),
    WildcardStyleConstraint(exclude="beta", upper_limit=0.1, relative=True),
]


@pytest.mark.parametrize("constraint", ALL, ids=lambda c: type(c).__name__)
@pytest.mark.parametrize(
    "clone", [copy.copy, copy.deepcopy, lambda c: pickle.loads(pickle.dumps(c))]
)
def test_constraints_pickle_and_copy_with_their_settings(constraint, clone):
    twin = clone(constraint)
    assert type(twin) is type(constraint)
    assert twin.hard == constraint.hard
    for name, value in vars(constraint).items():
        other = vars(twin)[name]
        assert other.equals(value) if isinstance(value, pd.Series) else other == value
    g, zeta = scaled("unit")
    assert len(twin.to_constraints(g, zeta, Helper())) == len(
        constraint.to_constraints(g, zeta, Helper())
    )


def test_base_is_abstract_and_subclassable_from_python():
    with pytest.raises(TypeError):
        OptimizationConstraint()

    class FirstAtMost(OptimizationConstraint):
        def __init__(self, limit):
            super().__init__(hard=False)
            self.limit = limit

        def to_constraints(self, g, zeta, helper):
            return [g[0] <= zeta * self.limit]

    constraint = FirstAtMost(0.5)
    assert constraint.hard is False
    assert holds(constraint, "variable")
    assert not holds(FirstAtMost(0.3), "pool size")


def test_every_constraint_is_exported_from_the_package():
    for constraint in ALL:
        assert getattr(plovera, type(constraint).__name__) is type(constraint)
    assert plovera.OptimizationConstraint is OptimizationConstraint
    assert plovera.IndustryClassification is IndustryClassification


@pytest.mark.parametrize(
    "obj",
    [
        plovera.MinVariance(),
        plovera.MeanVariance(pd.Series({"A": 0.1}), window=60, risk_aversion_coefficient=2),
        plovera.MaxSharpeRatio(window=120),
        plovera.MinStyleDeviation(pd.Series({"size": 0.5}), relative=True),
        plovera.IndexBenchmark("000300.XSHG"),
    ],
    ids=lambda o: type(o).__name__,
)
def test_objectives_and_benchmarks_pickle_for_other_processes(obj):
    twin = pickle.loads(pickle.dumps(obj))
    assert type(twin) is type(obj)
    assert repr(vars(twin)) == repr(vars(obj))
