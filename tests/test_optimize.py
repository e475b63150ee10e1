"""The entry point: argument coercion, pool cleaning, bounds, assembly and the solve loop."""

import datetime
import inspect
import logging
import subprocess
import sys
import types
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from conftest import FakeHelper, RecordingQuotaris

import plovera.optimize as po
from plovera.benchmark import OptimizeBenchmark
from plovera.const import CovModel
from plovera.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from plovera.objective import (
    MaxInformationRatio,
    MaxSharpeRatio,
    MinTrackingError,
    MinVariance,
    OptimizationObjective,
    RiskParity,
)
from quotaris.source import Instrument

DATE = datetime.date(2020, 1, 2)
DATE_STR = "2020-01-02"


def stock(order_book_id, listed="2010-01-04", delisted="0000-00-00", kind="CS"):
    return Instrument(order_book_id, order_book_id[:6], kind, "XSHE", listed, delisted)


RECORDS = {
    r.order_book_id: r
    for r in [
        *(stock(f"00000{i}.XSHE") for i in range(1, 6)),
        stock("000300.XSHG", kind="INDX"),
        stock("000010.XSHE", listed=DATE_STR),
        stock("000011.XSHE", listed="2020-01-03"),
        stock("000012.XSHE", listed="2019-12-31"),
        stock("000013.XSHE", delisted=DATE_STR),
        stock("000014.XSHE", delisted="2020-01-03"),
        stock("000015.XSHE", kind="INDX", delisted="2015-01-05"),
    ]
}


@pytest.fixture
def quotaris(monkeypatch):
    fake = RecordingQuotaris(records=RECORDS)
    monkeypatch.setattr(po, "quotaris", fake)
    return fake


@pytest.fixture
def helper(monkeypatch, quotaris):
    FakeHelper.cov = None
    FakeHelper.built = []
    monkeypatch.setattr(po, "OptimizeHelper", FakeHelper)
    return FakeHelper


POOL = ["000003.XSHE", "000001.XSHE", "000002.XSHE"]


# --- coercion -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (datetime.datetime(2020, 1, 2, 23, 59), DATE),
        (datetime.datetime(2020, 1, 2, 23, 0, tzinfo=datetime.UTC), DATE),
        (pd.Timestamp("2020-01-02 15:00"), DATE),
        ("2020-01-02", DATE),
        ("20200102", DATE),
    ],
)
def test_to_date_accepts_date_like_values(value, expected):
    assert po.to_date(value) == expected
    assert type(po.to_date(value)) is datetime.date


def test_to_date_returns_a_date_unchanged():
    assert po.to_date(DATE) is DATE


@pytest.mark.parametrize(
    ("text", "cause"),
    [
        ("not a date", ValueError),
        ("2025-13-01", ValueError),
        ("2025-02-30", ValueError),
        ("9" * 40, OverflowError),
        # Partial dates: the parser would fill the rest from today.
        ("2020", None),
        ("10", None),
        ("2020-05", None),
        ("Feb 29", None),
        ("10:30", None),
    ],
)
def test_to_date_refuses_texts_that_name_no_whole_date(text, cause):
    # Text the parser cannot read fails with its own error; a partial date,
    # which it would complete from today, is refused.
    with pytest.raises(cause or InvalidArgument) as raised:
        po.to_date(text)
    if cause is None:
        message = f"expect a datetime like object, got <class 'str'>({text!r})"
        assert raised.value.args == (message,) and raised.value.__context__ is None
    else:
        assert not isinstance(raised.value, InvalidArgument)


@pytest.mark.parametrize("value", [20200102, None, np.datetime64("2020-01-02"), 3.5])
def test_to_date_refuses_other_types(value):
    with pytest.raises(InvalidArgument) as raised:
        po.to_date(value)
    assert raised.value.args == (f"expect a datetime like object, got {type(value)!r}({value!r})",)


def test_ensure_date_str_pads_fields():
    assert po.ensure_date_str(datetime.date(2020, 3, 5)) == "2020-03-05"
    assert po.ensure_date_str(datetime.datetime(2020, 3, 5, 12)) == "2020-03-05"
    assert po.ensure_date_str(datetime.date(987, 3, 5)) == "0987-03-05"


@pytest.mark.parametrize(
    "value", [CovModel.FACTOR_MODEL_DAILY, "daily"], ids=["member", "member value"]
)
def test_to_enum_maps_members_and_values(value):
    assert po.to_enum(value, CovModel) is CovModel.FACTOR_MODEL_DAILY


@pytest.mark.parametrize("value", ["FACTOR_MODEL_DAILY", 1, None])
def test_to_enum_refuses_names_and_strangers(value):
    with pytest.raises(InvalidArgument, match=rf"^invalid value {value} for CovModel$"):
        po.to_enum(value, CovModel)


# --- pool cleaning ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("order_book_id", "message"),
    [
        ("000300.XSHG", "000300.XSHG 不是股票，被剔除"),
        ("000015.XSHE", "000015.XSHE 不是股票，被剔除"),
        ("000011.XSHE", "000011.XSHE 在 2020-01-02 尚未上市，被剔除"),
        ("000010.XSHE", "000010.XSHE 在 2020-01-02 当天上市，被剔除"),
        ("000013.XSHE", "000013.XSHE 在 2020-01-02 时已退市，被剔除"),
    ],
)
def test_cleaning_drops_with_one_optimizer_warning(quotaris, order_book_id, message):
    with pytest.warns(OptimizerWarning) as record:
        kept = po.ensure_order_book_ids([order_book_id, "000001.XSHE"], DATE)
    assert kept == ["000001.XSHE"]
    assert [str(w.message) for w in record] == [message]


@pytest.mark.parametrize("order_book_id", ["000012.XSHE", "000014.XSHE", "000001.XSHE"])
def test_cleaning_keeps_listed_stocks(quotaris, order_book_id, recwarn):
    assert po.ensure_order_book_ids([order_book_id], DATE_STR) == [order_book_id]
    assert not recwarn.list


def test_cleaning_dedups_with_a_user_warning_and_sorts(quotaris):
    pool = ("000003.XSHE", "000001.XSHE", "000003.XSHE", "000010.XSHE", "000010.XSHE")
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        kept = po.ensure_order_book_ids(pool, DATE)
    assert kept == ["000001.XSHE", "000003.XSHE"]
    assert [(w.category, str(w.message)) for w in record] == [
        (UserWarning, "重复的 order_book_id: 000003.XSHE, 仅保留一个"),
        (OptimizerWarning, "000010.XSHE 在 2020-01-02 当天上市，被剔除"),
        (OptimizerWarning, "000010.XSHE 在 2020-01-02 当天上市，被剔除"),
    ]
    assert quotaris.calls == [("instruments", pool)]  # one call, with the pool exactly as passed


def test_cleaning_accepts_a_single_identifier(quotaris):
    assert po.ensure_order_book_ids("000002.XSHE", DATE) == ["000002.XSHE"]


@pytest.mark.parametrize("pool", [None, 300, types.SimpleNamespace(__getitem__=None)])
def test_cleaning_refuses_non_iterable_pools(quotaris, pool, recwarn):
    with pytest.raises(InvalidArgument, match="^order_book_ids 非法$"):
        po.ensure_order_book_ids(pool, DATE)
    assert quotaris.calls == []
    assert not recwarn.list


# --- bounds -------------------------------------------------------------------------------

IDS = ["a", "b", "c", "d", "e"]


@pytest.mark.parametrize(
    ("bnds", "lower", "upper"),
    [
        ({}, [0.0] * 5, [1.0] * 5),
        ({"b": (None, 0.3)}, [0.0] * 5, [1, 0.3, 1, 1, 1]),
        ({"*": (0, 1), "a": (0, 0.05), "zz": (0.9, 1)}, [0.0] * 5, [0.05, 1, 1, 1, 1]),
        ({"*": (0.1, 0.5), "a": (0.2, 0.2)}, [0.2, 0.1, 0.1, 0.1, 0.1], [0.2, 0.5, 0.5, 0.5, 0.5]),
        ({"*": (0.2, 1)}, [0.2] * 5, [1.0] * 5),
        ({"*": (-1, 2)}, [-1.0] * 5, [2.0] * 5),  # used as given, with no range check
    ],
)
def test_parse_bnds_fills_named_and_wildcard_positions(bnds, lower, upper):
    lower_bounds, upper_bounds = po.parse_bnds(bnds, IDS)
    assert lower_bounds.dtype == np.float64 and upper_bounds.dtype == np.float64
    np.testing.assert_array_equal(lower_bounds, lower)
    np.testing.assert_array_equal(upper_bounds, upper)


@pytest.mark.parametrize(
    ("bnds", "message", "context"),
    [
        (
            [("a", (0, 1))],
            "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)",
            None,
        ),
        ({"a": (0.5, 0.4)}, "合约 a 的上限 0.4 小于下限 0.5", None),
        ({"a": (1.5, None)}, "合约 a 的下限 1.5 无效", None),
        ({"a": (0, -0.1)}, "合约 a 的上限 -0.1 无效", None),
        ({"a": 0.3}, "上下限应该以 (lower, upper) 的形式指定", TypeError),
        ({"a": ("0", "1")}, "上下限应该以 (lower, upper) 的形式指定", TypeError),
        ({"*": (0, 0.1)}, "上限之和小于1", None),
        # The wildcard pair is used as given: out of order, it shows in the sums.
        ({"*": (0.3, 0.1)}, "下限之和大于1", None),
        ({"*": (0, float("inf"))}, "合约 * 的上限 inf 无效", None),
        ({"*": (float("nan"), 1)}, "合约 * 的下限 nan 无效", None),
        ({"a": (float("nan"), 0.5)}, "合约 a 的下限 nan 无效", None),
        ({"a": (0, float("nan"))}, "合约 a 的上限 nan 无效", None),
        ({"*": (None, 1)}, "约束的上限或下限非法: None", TypeError),
    ],
)
def test_parse_bnds_refusals(bnds, message, context):
    with pytest.raises(InvalidArgument) as raised:
        po.parse_bnds(bnds, IDS)
    assert raised.value.args == (message,)
    assert type(raised.value.__context__) is (context or type(None))


def test_parse_bnds_sums_of_exactly_one_pass_and_bad_lengths_propagate():
    po.parse_bnds({"*": (0.2, 0.2)}, IDS)
    with pytest.raises(ValueError, match="too many values to unpack"):
        po.parse_bnds({"a": (0, 0.5, 1)}, IDS)
    with pytest.raises(ValueError, match="not enough values"):
        po.parse_bnds({"*": (0,)}, IDS)


def test_parse_bnds_reads_dict_subclasses_through_their_own_lookup():
    import collections

    bnds = collections.defaultdict(lambda: (0.1, 0.9))
    lower, upper = po.parse_bnds(bnds, IDS)
    np.testing.assert_array_equal(lower, [0.1] * 5)
    np.testing.assert_array_equal(upper, [0.9] * 5)


@pytest.mark.parametrize(
    ("value", "expected"), [(None, None), ("0.5", 0.5), (1, 1.0), (0.25, 0.25)]
)
def test_ensure_bound_converts(value, expected):
    assert po.ensure_bound(value) == expected
    if expected is not None:
        assert type(po.ensure_bound(value)) is float


def test_ensure_bound_refusals():
    with pytest.raises(InvalidArgument, match="^约束的上限或下限非法: abc$") as raised:
        po.ensure_bound("abc")
    assert isinstance(raised.value.__context__, ValueError)
    with pytest.raises(TypeError):
        po.ensure_bound([0.5])


# --- module set-up ------------------------------------------------------------------------

PORTFOLIO_OPTIMIZE_DOC = """
    组合优化，根据给定的约束及目标函数计算最优组合权重。支持下列目标函数：
        * :class:`MinVariance`: 风险最小化
        * :class:`MeanVariance`: 均值（收益）方差（风险）模型
        * :class:`RiskParity`: 风险平价
        * :class:`MinTrackingError`: 最小追踪误差
        * :class:`MaxInformationRatio`: 最大信息比率
        * :class:`MaxSharpeRatio`: 最大夏普率
        * :class:`MaxIndicator`: 指标值最大化
        * :class:`MinStyleDeviation`: 风格偏离最小化
    支持以下约束类型：
        * :class:`TrackingErrorLimit`: 跟踪误差约束
        * :class:`TurnoverLimit`: 换手率约束
        * :class:`BenchmarkComponentWeightLimit`: 成分股权重约束，即要求优化结果中，基准成分股的权重之和的下限
        * :class:`IndustryConstraint`: 行业权重约束，默认行业分类为申万一级。可选中信一级及申万一级(拆分非银金融行业)
        * :class:`WildcardIndustryConstraint`:
        * :class:`StyleConstraint`: 风格约束
        * :class:`WildcardStyleConstraint`:

    :param order_book_ids: 候选合约
    :param date: 优化日期
    :param objective: 目标函数，默认为MinVariance（风险最小化）。
    :type objective: :class:`OptimizationObjective`
    :param bnds: 个股权重上下界。字典，key 为 order_book_id, value 为 (lower_limit, upper_limit) 组成的 tuple。
                 lower_limit/upper_limit 取值可以是 [0, 1] 的数或 None。当取值为 None 时，表示对应的界不做限制。
                 当 key 为 `'*'` 时，表示所有未在此字典中明确指定的其他合约。
                 所有合约默认上下界为 [0, 1]。
    :type bnds: {order_book_id | "*": (lower_limit, upper_limit)}
    :param cons: 约束列表
    :type cons: [:class:`OptimizationConstraint`]
    :param benchmark: 基准, 指数使用指数代码，自定义基准需要继承自 :class:`OptimizeBenchmark` 的类实例
    :type benchmark: str | :class:`OptimizeBenchmark`
    :param cov_model: 协方差模型，支持 daily/monthly/quarterly
    :return: pd.Series 组合最优化权重
    """


def test_module_set_up():
    assert po.portfolio_optimize.__doc__ == PORTFOLIO_OPTIMIZE_DOC
    assert isinstance(po.DEFAULT_OBJECTIVE, MinVariance)
    assert po.portfolio_optimize.__defaults__ == (
        po.DEFAULT_OBJECTIVE,
        None,
        None,
        None,
        CovModel.FACTOR_MODEL_DAILY,
    )
    assert po.portfolio_optimize.__defaults__[0] is po.DEFAULT_OBJECTIVE
    assert str(inspect.signature(po.portfolio_optimize)).startswith(
        "(order_book_ids, date, objective=<"
    )
    assert not hasattr(po, "__all__")
    names = [n for n in vars(po) if not n.startswith("__")]
    assert names[:4] == ["warnings", "datetime", "time", "logging"]
    assert names[-8:] == [
        "to_enum",
        "to_date",
        "ensure_date_str",
        "ensure_order_book_ids",
        "ensure_bound",
        "parse_bnds",
        "DEFAULT_OBJECTIVE",
        "portfolio_optimize",
    ]


def test_importing_installs_an_always_filter_for_optimizer_warnings():
    # A fresh interpreter: the test runner resets warning filters around each test.
    script = """
import warnings
import plovera.optimize
from plovera.exception import OptimizerWarning
with warnings.catch_warnings(record=True) as record:
    for _ in range(2):
        warnings.warn("again", OptimizerWarning)
print(len(record), warnings.filters[0][:3])
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (
        result.stdout.split("\n")[0]
        == "2 ('always', None, <class 'plovera.exception.OptimizerWarning'>)"
    )


# --- checks of portfolio_optimize, in their order -----------------------------------------


def test_one_instrument_returns_a_plain_dict_before_any_other_check(helper):
    with pytest.warns(UserWarning, match="重复的 order_book_id"):
        result = po.portfolio_optimize(
            ["000001.XSHE", "000001.XSHE"], DATE, objective="bad", benchmark=300, cov_model="bad"
        )
    assert type(result) is dict and result == {"000001.XSHE": 1.0}
    assert helper.built == []


def test_empty_pool_raises_before_the_objective_is_looked_at(helper):
    with (
        pytest.warns(OptimizerWarning),
        pytest.raises(InvalidArgument, match="^经过剔除后，股票池为空$"),
    ):
        po.portfolio_optimize(["000300.XSHG"], DATE, objective="bad")


@pytest.mark.parametrize("objective", [MinVariance, "MinVariance", None])
def test_objective_must_be_an_instance(helper, objective):
    with pytest.raises(InvalidArgument, match="^非法的目标函数$"):
        po.portfolio_optimize(POOL, DATE, objective=objective)


@pytest.mark.parametrize("objective", [MinTrackingError, MaxSharpeRatio, MaxInformationRatio])
def test_benchmark_objectives_need_a_benchmark(helper, objective):
    message = f"对于目标函数 {objective.__name__}，必须传入 benchmark 参数"
    with pytest.raises(InvalidArgument) as raised:
        po.portfolio_optimize(POOL, DATE, objective=objective())
    assert raised.value.args == (message,)


def test_benchmark_must_be_an_index_id_or_a_benchmark(helper):
    with pytest.raises(InvalidArgument) as raised:
        po.portfolio_optimize(POOL, DATE, benchmark=300)
    assert raised.value.args == (
        "无效的benchmark：300；对于指数，可以直接传入对应的order_book_id；"
        "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
    )


def test_a_benchmark_string_becomes_an_index_benchmark(helper, monkeypatch):
    made = []

    class RecordingIndex(OptimizeBenchmark):
        def __init__(self, order_book_id):
            made.append(order_book_id)

    monkeypatch.setattr(po, "IndexBenchmark", RecordingIndex)
    po.portfolio_optimize(POOL, DATE, benchmark="000300.XSHG")
    assert made == ["000300.XSHG"]
    pool, date, benchmark, cov_model = helper.built[0]
    assert pool == sorted(POOL) and date == DATE
    assert isinstance(benchmark, RecordingIndex) and cov_model is CovModel.FACTOR_MODEL_DAILY


def test_cov_model_is_converted_before_the_helper_is_built(helper):
    with pytest.raises(InvalidArgument, match="^invalid value hourly for CovModel$"):
        po.portfolio_optimize(POOL, DATE, cov_model="hourly")
    assert helper.built == []
    po.portfolio_optimize(POOL, "2020-01-02", cov_model="monthly")
    assert helper.built[0][1:] == (DATE, None, CovModel.FACTOR_MODEL_MONTHLY)


# --- numbers against closed forms ---------------------------------------------------------


def test_min_variance_matches_the_closed_form(helper):
    rng = np.random.default_rng(7)
    factor = rng.normal(size=(3, 6))
    helper.cov = factor @ factor.T / 6 * 0.05 + np.diag([0.02, 0.03, 0.04])
    weights = po.portfolio_optimize(POOL, DATE)
    inverse_ones = np.linalg.solve(helper.cov, np.ones(3))
    assert list(weights.index) == sorted(POOL)
    np.testing.assert_allclose(weights.values, inverse_ones / inverse_ones.sum(), atol=1e-3)
    assert weights.sum() == pytest.approx(1.0)


@pytest.mark.parametrize(
    ("bnds", "expected"),
    [(None, [2 / 3, 1 / 3]), ({}, [2 / 3, 1 / 3]), ({"*": (0, 1)}, [0.51, 0.49])],
)
def test_risk_parity_of_two_uncorrelated_assets(helper, bnds, expected):
    helper.cov = np.diag([0.01, 0.04])
    weights = po.portfolio_optimize(["000002.XSHE", "000001.XSHE"], DATE, RiskParity(), bnds)
    np.testing.assert_allclose(weights.values, expected, atol=5e-3)


def test_bounds_hold_the_weights(helper):
    weights = po.portfolio_optimize(POOL, DATE, bnds={"*": (0.2, 0.5), "000001.XSHE": (None, 0.25)})
    assert weights["000001.XSHE"] <= 0.25 + 1e-4
    assert weights.min() >= 0.2 - 1e-4 and weights.max() <= 0.5 + 1e-4


def test_min_tracking_error_returns_the_benchmark_inside_the_pool(helper, monkeypatch):
    benchmark_weights = pd.Series([0.5, 0.3, 0.2], index=sorted(POOL))

    class InPoolHelper(FakeHelper):
        def __init__(self, *args):
            super().__init__(*args)
            self.benchmark_weight = benchmark_weights

    class Fixed(OptimizeBenchmark):
        def get_weight(self, date):
            return benchmark_weights

    monkeypatch.setattr(po, "OptimizeHelper", InPoolHelper)
    weights = po.portfolio_optimize(POOL, DATE, MinTrackingError(), benchmark=Fixed())
    np.testing.assert_allclose(weights.values, benchmark_weights.values, atol=1e-3)


# --- the solve loop -----------------------------------------------------------------------


class ScriptedObjective(OptimizationObjective):
    """A user objective: minimises the sum of squares and counts solver requests."""

    def __init__(self):
        self.solver_requests = 0

    def get_internal_constraints(self, g, zeta, helper):
        return []

    def get_objective_expr(self, g, zeta, helper):
        return cp.sum_squares(g)

    def get_preferred_solver(self):
        self.solver_requests += 1
        return cp.SCS


class FloorConstraint:
    """Asks every weight to be at least `floor`: infeasible above 1/n."""

    def __init__(self, floor, hard):
        self.floor = floor
        self.hard = hard

    def to_constraints(self, g, zeta, helper):
        return [g >= self.floor]


@pytest.fixture
def solve_records(caplog):
    caplog.set_level(logging.DEBUG, logger="root")
    return caplog


def test_success_logs_once_at_info_and_debug(helper, solve_records, recwarn):
    objective = ScriptedObjective()
    weights = po.portfolio_optimize(POOL, DATE, objective, cons=[FloorConstraint(0.1, False)])
    np.testing.assert_allclose(weights.values, [1 / 3] * 3, atol=1e-4)
    formats = [(r.levelno, r.msg) for r in solve_records.records]
    assert formats == [
        (logging.INFO, "solve time: %f, optimization result = %f"),
        (logging.DEBUG, "g.value.sum() = %f, zeta = %f"),
    ]
    assert solve_records.records[1].args[1] == 1.0
    assert objective.solver_requests == 1
    assert not recwarn.list


def test_infeasible_hard_constraints_fail_after_one_solve(helper, solve_records):
    objective = ScriptedObjective()
    with pytest.raises(OptimizationFailed) as raised:
        po.portfolio_optimize(POOL, DATE, objective, cons=[FloorConstraint(0.5, True)])
    assert raised.value.args == (np.inf,)
    assert objective.solver_requests == 1


def test_soft_constraints_are_dropped_once(helper, solve_records):
    objective = ScriptedObjective()
    cons = [FloorConstraint(0.5, False), FloorConstraint(0.1, True)]
    with pytest.warns(OptimizerWarning, match="^约束无法满足，放弃所有软约束重试$") as record:
        weights = po.portfolio_optimize(POOL, DATE, objective, cons=cons)
    assert len(record) == 1
    np.testing.assert_allclose(weights.values, [1 / 3] * 3, atol=1e-4)
    assert objective.solver_requests == 2
    assert [r.levelno for r in solve_records.records] == [logging.INFO, logging.INFO, logging.DEBUG]


def test_infeasible_without_soft_constraints_fails_after_two_solves(helper):
    objective = ScriptedObjective()
    cons = [FloorConstraint(0.5, False), FloorConstraint(0.4, True)]
    with pytest.warns(OptimizerWarning) as record, pytest.raises(OptimizationFailed):
        po.portfolio_optimize(POOL, DATE, objective, cons=cons)
    assert len(record) == 1
    assert objective.solver_requests == 2


class ProblemDouble:
    """Stands in for cvxpy's Problem where SCS cannot be steered: fixed status or error."""

    def __init__(self, outcome, *args):
        self.objective = args[0]
        self.outcome = outcome
        self.status = None

    def solve(self, solver, max_iters):
        assert (solver, max_iters) == (cp.SCS, 10000)
        if isinstance(self.outcome, Exception):
            raise self.outcome
        self.status = self.outcome
        variable = next(v for v in self.objective.variables() if v.ndim == 1)
        variable.value = np.array([0.2, 0.3, 0.5])
        return 0.5


def patch_problem(monkeypatch, outcome):
    fake_cp = types.SimpleNamespace(**{k: getattr(cp, k) for k in dir(cp) if not k.startswith("_")})
    fake_cp.Problem = lambda *args: ProblemDouble(outcome, *args)
    monkeypatch.setattr(po, "cp", fake_cp)


def test_inaccurate_solutions_warn_and_return(helper, monkeypatch):
    patch_problem(monkeypatch, cp.OPTIMAL_INACCURATE)
    message = "^达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足$"
    with pytest.warns(OptimizerWarning, match=message):
        weights = po.portfolio_optimize(POOL, DATE)
    np.testing.assert_allclose(weights.values, [0.2, 0.3, 0.5])


@pytest.mark.parametrize("status", [cp.UNBOUNDED, cp.USER_LIMIT, cp.SOLVER_ERROR])
def test_other_statuses_fail_with_the_result(helper, monkeypatch, status):
    patch_problem(monkeypatch, status)
    with pytest.raises(OptimizationFailed) as raised:
        po.portfolio_optimize(POOL, DATE)
    assert raised.value.args == (0.5,)


def test_solver_errors_become_optimization_failed_with_context(helper, monkeypatch):
    error = cp.SolverError("boom")
    patch_problem(monkeypatch, error)
    with pytest.raises(OptimizationFailed) as raised:
        po.portfolio_optimize(POOL, DATE)
    assert raised.value.args == ("failed",)
    assert raised.value.__context__ is error


def test_other_errors_pass_through_unchanged(helper, monkeypatch):
    error = KeyError("mine")
    patch_problem(monkeypatch, error)
    with pytest.raises(KeyError) as raised:
        po.portfolio_optimize(POOL, DATE)
    assert raised.value is error


# --- subclassing from Python --------------------------------------------------------------


def test_user_objective_and_benchmark_subclasses(helper):
    class HalfAndHalfBenchmark(OptimizeBenchmark):
        def get_weight(self, date):
            return pd.Series([0.5, 0.5], index=["000001.XSHE", "000002.XSHE"])

    class UserTracking(MinTrackingError):
        pass

    weights = po.portfolio_optimize(POOL, DATE, UserTracking(), benchmark=HalfAndHalfBenchmark())
    assert helper.built[0][2].get_weight(DATE).sum() == 1.0
    assert weights.sum() == pytest.approx(1.0)


class ForgetfulConstraint:
    """A constraint whose to_constraints forgot its return statement."""

    hard = True

    def to_constraints(self, g, zeta, helper):
        g >= 0  # noqa: B015 -- the missing return is the point


def test_a_constraint_returning_nothing_is_named(helper):
    forgetful = ForgetfulConstraint()
    with pytest.raises(TypeError) as raised:
        po.portfolio_optimize(POOL, DATE, ScriptedObjective(), cons=[forgetful])
    assert raised.value.args == (f"{forgetful!r} 的 to_constraints 应返回约束的列表, 得到 None",)
    assert isinstance(raised.value.__context__, TypeError)
