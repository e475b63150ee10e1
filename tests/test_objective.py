"""Tests of plovera.objective: expressions and constraints evaluated at chosen weights,
the estimates' data-client calls, the class machinery, and a few small solves."""

import abc
import inspect
import subprocess
import sys

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import plovera.objective as obj
from plovera.exception import InvalidArgument, OptimizerWarning

COV = np.array([[0.04, 0.006, 0.002], [0.006, 0.09, 0.01], [0.002, 0.01, 0.0225]])
POOL = ["A", "B", "C"]
W = np.array([0.5, 0.3, 0.2])


class FakeHelper:
    def __init__(self, ids=POOL, cov=COV, union=None, benchmark_weight=None, benchmark=None):
        self.order_book_ids = list(ids)
        self.date = "2024-06-03"
        self.prev_trading_date = "2024-05-31"
        self.benchmark = benchmark
        self.union_components = list(union or ids)
        self.benchmark_weight = pd.Series(
            benchmark_weight
            if benchmark_weight is not None
            else [0.0] * len(self.union_components),
            index=self.union_components,
        )
        self._cov = np.asarray(cov)
        self.exposure = pd.DataFrame(index=self.order_book_ids)
        self.benchmark_style = pd.Series(dtype=float)

    def get_cov_matrix(self):
        return self._cov

    def get_union_cov_matrix(self):
        return self._cov

    def get_factor_exposure(self):
        return self.exposure

    def get_benchmark_style(self):
        return self.benchmark_style


class FakeQuotaris:
    """Daily change rates r/252 per instrument, so that the annualised mean is r."""

    def __init__(self, annual):
        self.annual = annual
        self.calls = []

    def trading_date_offset(self, date, offset, /):
        self.calls.append(("trading_date_offset", date, offset))
        return "start"

    def get_price_change_rate(self, ids, start, end, /):
        self.calls.append(("get_price_change_rate", list(ids), start, end))
        return pd.DataFrame({i: [self.annual[i] / 252] * 2 for i in ids})


class FakeBenchmark:
    def __init__(self, annual):
        self.annual = annual
        self.calls = []

    def get_expected_returns(self, date, window, /):
        self.calls.append((date, window))
        return self.annual


@pytest.fixture
def quotaris(monkeypatch):
    fake = FakeQuotaris({"A": 0.25, "B": 0.75, "C": -0.1, "D": 0.3})
    monkeypatch.setattr(obj, "quotaris", fake)
    return fake


def at(expr, g, w):
    g.value = np.asarray(w, dtype=float)
    return expr.value


def mu_of(constraints, g):
    """The vector mu of the single constraint g @ mu == 1."""
    assert len(constraints) == 1
    lhs, rhs = constraints[0].args
    assert rhs.value == 1
    return np.array([at(lhs, g, row) for row in np.eye(g.shape[0])])


def solve(objective, helper, bounds=None, zeta=1.0):
    n = len(helper.order_book_ids)
    g = cp.Variable(n, nonneg=True)
    cons = [cp.sum(g) - zeta == 0, *objective.get_internal_constraints(g, zeta, helper)]
    if bounds is not None:
        lower, upper = (np.array(b, dtype=float) for b in bounds)
        cons += [g - zeta * lower >= 0, g - zeta * upper <= 0]
    expr = objective.get_objective_expr(g, zeta, helper)
    cp.Problem(cp.Minimize(expr), cons).solve(
        solver=objective.get_preferred_solver(), max_iters=10000
    )
    return g.value / g.value.sum()


# ---- module and class machinery ------------------------------------------------------


def test_module_binds_its_names_in_order():
    names = [n for n in vars(obj) if not n.startswith("__")]
    assert names == [
        "ABCMeta", "warnings", "cp", "np", "pd", "quotaris", "InvalidArgument",
        "OptimizerWarning", "STYLE_FACTORS", "ensure_series", "OptimizationObjective",
        "MinVariance", "MeanVariance", "RiskParity", "MinTrackingError",
        "MaxInformationRatio", "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation",
    ]  # fmt: skip


DOCS = {
    "MinVariance": "风险最小化",
    "RiskParity": "风险平价",
    "MinTrackingError": "最小追踪误差",
    "MeanVariance": "\n    收益/风险优化\n\n"
    "    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
    "    :param risk_aversion_coefficient: 风险厌恶系数\n    ",
    "MaxInformationRatio": "\n    最大信息比率\n\n"
    "    :param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。\n"
    "    :type expected_active_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益的长度，"
    "默认为252，即一年\n    ",
    "MaxSharpeRatio": "\n    最大化夏普比率\n\n"
    "    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，"
    "默认为252，即一年\n    ",
    "MaxIndicator": "\n    指标最大化\n\n    :param indicator_series: 指标序列\n"
    "    :type indicator_series: pd.Series\n    ",
    "MinStyleDeviation": "\n    风格偏离最小化\n\n    :param target_style: pd.Series, 目标风格\n"
    "    :param relative: bool, 是否为相对于基准\n"
    "    :param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，9为最高优先级，"
    "0为最低优先级；未指定的风格默认优先级为5\n    ",
}

INITS = {
    "MeanVariance": ("(self, expected_returns=None, window=252, risk_aversion_coefficient=1)"),
    "MaxInformationRatio": "(self, expected_active_returns=None, window=252)",
    "MaxSharpeRatio": "(self, expected_returns=None, window=252)",
    "MaxIndicator": "(self, indicator_series)",
    "MinStyleDeviation": "(self, target_style, relative=False, priority=None)",
}


@pytest.mark.parametrize("name", list(DOCS))
def test_objective_class(name):
    cls = getattr(obj, name)
    assert type(cls) is abc.ABCMeta and cls.__bases__ == (obj.OptimizationObjective,)
    assert cls.__doc__ == DOCS[name] and cls.__module__ == "plovera.objective"
    members = [m for m in vars(cls) if not m.startswith("_") or m == "__init__"]
    expected = ["get_objective_expr", "get_internal_constraints", "get_preferred_solver"]
    if name in INITS:
        expected.insert(0, "__init__")
        assert str(inspect.signature(cls.__init__)) == INITS[name]
    if name == "MinStyleDeviation":
        expected.insert(1, "PRIORITY_ADJUST_FACTOR")
        assert cls.PRIORITY_ADJUST_FACTOR == [1, 5, 10, 15, 20, 25, 30, 35, 40, 45]
    assert members == expected
    assert cls.get_objective_expr.__qualname__ == f"{name}.get_objective_expr"


def test_base_class_and_user_subclasses():
    base = obj.OptimizationObjective()
    assert (
        type(obj.OptimizationObjective) is abc.ABCMeta and obj.OptimizationObjective.__doc__ is None
    )
    for call in (
        lambda: base.get_objective_expr(1, 2, 3),
        lambda: base.get_internal_constraints(1, 2, 3),
        base.get_preferred_solver,
    ):
        with pytest.raises(NotImplementedError):
            call()

    class Partial(obj.OptimizationObjective):
        @abc.abstractmethod
        def get_objective_expr(self, g, zeta, helper): ...

    with pytest.raises(TypeError, match="abstract"):
        Partial()

    class Mine(obj.MinVariance):
        def get_preferred_solver(self):
            return "mine"

    mine = Mine()
    mine.note = 1
    assert mine.get_preferred_solver() == "mine" and vars(mine) == {"note": 1}
    assert obj.MaxSharpeRatio.__init__.__defaults__ == (None, 252)
    with pytest.raises(TypeError, match=r"MaxIndicator.__init__\(\) missing 1 required"):
        obj.MaxIndicator()


def test_ensure_series():
    s = pd.Series([1.0])
    assert obj.ensure_series(s, "x") is s
    assert obj.ensure_series({"A": 1}, "x").index.tolist() == ["A"]
    assert obj.ensure_series([3, 4], "x").index.tolist() == [0, 1]
    with pytest.raises(InvalidArgument) as info:
        obj.ensure_series({1, 2}, "expected_returns")
    assert info.value.args == (
        "expected_returns: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象",
    )
    assert isinstance(info.value.__context__, TypeError)


def test_ensure_series_lets_interrupts_through(monkeypatch):
    class Series:
        def __init__(self, data):
            raise KeyboardInterrupt

    monkeypatch.setattr(obj, "pd", type("pd", (), {"Series": Series}))
    with pytest.raises(KeyboardInterrupt):
        obj.ensure_series([1], "x")


ALL = [
    obj.MinVariance(),
    obj.MeanVariance({"A": 0.1}),
    obj.RiskParity(),
    obj.MinTrackingError(),
    obj.MaxInformationRatio({"A": 0.1}),
    obj.MaxSharpeRatio({"A": 0.1}),
    obj.MaxIndicator({"A": 1, "B": 2, "C": 3}),
    obj.MinStyleDeviation({"beta": 0.5}),
]


@pytest.mark.parametrize("objective", ALL, ids=lambda o: type(o).__name__)
def test_solver_and_fresh_constraint_lists(objective):
    assert objective.get_preferred_solver() == cp.SCS
    g = cp.Variable(3, nonneg=True)
    first = objective.get_internal_constraints(g, 1.0, FakeHelper())
    first.append("x")
    assert objective.get_internal_constraints(g, 1.0, FakeHelper()) is not first


@pytest.mark.parametrize(
    "objective", [ALL[0], ALL[1], ALL[3], ALL[7]], ids=lambda o: type(o).__name__
)
def test_fixed_budget_is_asserted(objective):
    with pytest.raises(AssertionError) as info:
        objective.get_objective_expr(cp.Variable(3), 2.0, FakeHelper())
    assert info.value.args == ()


def test_budget_assertion_follows_optimize_flag():
    code = (
        "import numpy as np, cvxpy as cp, plovera.objective as o\n"
        "class H: get_cov_matrix = staticmethod(lambda: np.eye(2))\n"
        "print(o.MinVariance().get_objective_expr(cp.Variable(2), 2.0, H()).shape)"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "()"


# ---- variance objectives -------------------------------------------------------------


def test_min_variance_and_risk_parity_values():
    g = cp.Variable(3, nonneg=True)
    helper = FakeHelper()
    assert at(obj.MinVariance().get_objective_expr(g, 1.0, helper), g, W) == pytest.approx(
        W @ COV @ W
    )
    for zeta in (1.0, 3, "anything"):
        expr = obj.RiskParity().get_objective_expr(g, zeta, helper)
        assert at(expr, g, 3 * W) == pytest.approx(9 * W @ COV @ W - np.log(3 * W).sum())


def mean_variance_value(mu, coefficient, rbar, w=W, cov=COV):
    n = len(w)
    risk = np.full(n, 1 / n) @ cov @ np.full(n, 1 / n)
    return -np.dot(mu, w) + coefficient * rbar / risk * (w @ cov @ w)


@pytest.mark.parametrize(
    ("mu", "coefficient", "rbar"),
    [
        ([0.02, 0.04, -0.01], 1, 0.03),
        ([0.02, 0.04, -0.01], 2.5, 0.03),
        ([0.02, 0.04, -0.01], 0, 0.03),
        ([-0.4, -0.3, -0.2, -0.1, 0.0], 1, 0.05),
        ([-0.1, 0.0, 0.0, 0.0], 1, 0.0),
    ],
)
def test_mean_variance_expression(mu, coefficient, rbar):
    n = len(mu)
    ids = [f"S{i}" for i in range(n)]
    cov = np.diag(np.linspace(0.01, 0.05, n)) + 0.002
    w = np.linspace(1, 2, n) / np.linspace(1, 2, n).sum()
    g = cp.Variable(n, nonneg=True)
    objective = obj.MeanVariance(dict(zip(ids[::-1], mu[::-1], strict=True)), 60, coefficient)
    expr = objective.get_objective_expr(g, 1.0, FakeHelper(ids, cov))
    assert at(expr, g, w) == pytest.approx(mean_variance_value(mu, coefficient, rbar, w, cov))


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        (
            {"risk_aversion_coefficient": -0.5},
            "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：-0.5",
        ),
        ({"risk_aversion_coefficient": float("nan")}, "传入值为：nan"),
        ({"risk_aversion_coefficient": float("inf")}, "传入值为：inf"),
        ({"expected_returns": {1, 2}, "risk_aversion_coefficient": -1}, "^expected_returns: "),
    ],
)
def test_mean_variance_refuses(kwargs, message):
    with pytest.raises(InvalidArgument, match=message):
        obj.MeanVariance(**kwargs)


def test_mean_variance_all_zero_falls_back_to_min_variance(monkeypatch):
    recorded = []

    class Warnings:
        def warn(self, *args, **kwargs):
            recorded.append((args, kwargs))

    monkeypatch.setattr(obj, "warnings", Warnings())
    g = cp.Variable(3, nonneg=True)
    expr = obj.MeanVariance({"X": 0.3}).get_objective_expr(g, 1.0, FakeHelper())
    assert at(expr, g, W) == pytest.approx(W @ COV @ W)
    assert recorded == [
        (
            ("MeanVariance: expected_returns 全部为 0，退化为 MinVariance",),
            {"stacklevel": 3, "category": OptimizerWarning},
        )
    ]


def test_mean_variance_estimates_once(quotaris):
    objective = obj.MeanVariance(window=60)
    g = cp.Variable(3, nonneg=True)
    expr = objective.get_objective_expr(g, 1.0, FakeHelper())
    assert quotaris.calls == [
        ("trading_date_offset", "2024-05-31", -60),
        ("get_price_change_rate", POOL, "start", "2024-05-31"),
    ]
    mu = [0.25, 0.75, -0.1]
    assert at(expr, g, W) == pytest.approx(mean_variance_value(mu, 1, 0.5))
    objective.get_objective_expr(cp.Variable(2), 1.0, FakeHelper(["A", "D"], COV[:2, :2]))
    assert len(quotaris.calls) == 2
    assert objective._expected_returns.to_dict() == pytest.approx(dict(zip(POOL, mu, strict=True)))


@pytest.mark.parametrize(
    ("union", "bw"),
    [(["X", "Y"], [0.3, 0.7]), (["X", "Y", "Z"], [0.0, 0.6, 0.4])],
)
def test_tracking_error_over_the_union(union, bw):
    m = len(union)
    cov = COV[:m, :m]
    helper = FakeHelper(["X", "Y"], cov, union, bw)
    g = cp.Variable(2, nonneg=True)
    active = np.concatenate([[0.45, 0.55], np.zeros(m - 2)]) - bw
    expr = obj.MinTrackingError().get_objective_expr(g, 1.0, helper)
    assert at(expr, g, [0.45, 0.55]) == pytest.approx(active @ cov @ active)


# ---- ratio objectives ----------------------------------------------------------------


@pytest.mark.parametrize("cls", [obj.MaxSharpeRatio, obj.MaxInformationRatio])
@pytest.mark.parametrize(
    ("given", "mu"),
    [
        ({"A": 0.1, "B": 0.2}, [0.1, 0.2, 0.0]),
        ({"A": 0.05, "B": 0.05, "C": 0.05}, [1, 1, 1]),
        ({"A": -0.2, "B": -0.2, "C": -0.2}, [1, 1, 1]),
        ({"X": 0.3}, [1, 1, 1]),
        ([-0.75, -0.25, 0.25], [-0.5, 0.0, 0.5]),
        ({"A": -0.5, "B": -0.25, "C": 0.0}, [-0.25, 0.0, 0.25]),
        ({"A": -3, "B": 1, "C": 0}, [-7 / 3, 5 / 3, 2 / 3]),  # integers are demeaned too
    ],
)
def test_ratio_constraint(cls, given, mu):
    if isinstance(given, list):
        given = dict(zip(POOL, given, strict=True))
    g = cp.Variable(3, nonneg=True)
    constraints = cls(given).get_internal_constraints(g, cp.Variable(nonneg=True), FakeHelper())
    assert mu_of(constraints, g) == pytest.approx(mu)


def test_max_sharpe_estimates_once_and_ignores_zeta(quotaris):
    objective = obj.MaxSharpeRatio(window=60)
    g = cp.Variable(3, nonneg=True)
    constraints = objective.get_internal_constraints(g, None, FakeHelper())
    assert mu_of(constraints, g) == pytest.approx([0.25, 0.75, -0.1])
    objective.get_internal_constraints(cp.Variable(2), None, FakeHelper(["A", "D"], COV[:2, :2]))
    assert quotaris.calls == [
        ("trading_date_offset", "2024-05-31", -60),
        ("get_price_change_rate", POOL, "start", "2024-05-31"),
    ]
    expr = objective.get_objective_expr(g, "ignored", FakeHelper())
    assert at(expr, g, W) == pytest.approx(W @ COV @ W)


def test_max_information_ratio_estimates_every_call(quotaris):
    benchmark = FakeBenchmark(0.5)
    helper = FakeHelper(["A", "B"], COV[:2, :2], benchmark=benchmark)
    objective = obj.MaxInformationRatio()
    g = cp.Variable(2, nonneg=True)
    for _ in range(2):
        constraints = objective.get_internal_constraints(g, None, helper)
        assert mu_of(constraints, g) == pytest.approx([-0.25, 0.25])
    assert quotaris.calls == 2 * [
        ("trading_date_offset", "2024-05-31", -252),
        ("get_price_change_rate", ["A", "B"], "start", "2024-05-31"),
    ]
    assert benchmark.calls == [("2024-06-03", 252)] * 2
    assert objective._expected_active_returns is None


@pytest.mark.parametrize(
    ("union", "bw"),
    [(["A", "B"], [0.3, 0.7]), (["A", "B", "C", "D"], [0.2, 0.0, 0.5, 0.3])],
)
def test_information_ratio_active_weight_scales_benchmark(union, bw):
    m = len(union)
    cov = np.diag(np.linspace(0.02, 0.05, m)) + 0.004
    helper = FakeHelper(["A", "B"], cov, union, bw)
    g, zeta = cp.Variable(2, nonneg=True), cp.Variable(nonneg=True)
    zeta.value = 2.5
    expr = obj.MaxInformationRatio().get_objective_expr(g, zeta, helper)
    active = np.concatenate([[1.0, 1.5], np.zeros(m - 2)]) - 2.5 * np.array(bw)
    assert at(expr, g, [1.0, 1.5]) == pytest.approx(active @ cov @ active)


# ---- indicator and style -------------------------------------------------------------


@pytest.mark.parametrize("factor", [1, 2])
def test_max_indicator_scales_by_mean_absolute_value(factor):
    objective = obj.MaxIndicator({"A": 2.0 * factor, "B": -1.0 * factor, "C": 3.0})
    g = cp.Variable(2, nonneg=True)
    expr = objective.get_objective_expr(g, 1.0, FakeHelper(["A", "B"]))
    assert at(expr, g, [0.3, 0.7]) == pytest.approx(-(4 / 3 * 0.3 - 2 / 3 * 0.7))


def test_max_indicator_refuses():
    with pytest.raises(InvalidArgument, match=r"^indicator_series: "):
        obj.MaxIndicator({1, 2})
    with pytest.raises(
        InvalidArgument, match=r"^传入股票池中的股票有部分在 indicator_series 中找不到值$"
    ):
        obj.MaxIndicator({"A": 1.0}).get_objective_expr(cp.Variable(2), 1.0, FakeHelper(["A", "B"]))


@pytest.fixture
def style_helper():
    helper = FakeHelper(["A", "B"], benchmark=object())
    helper.exposure = pd.DataFrame(
        {"beta": [1.0, 0.2], "size": [-0.5, 1.5], "growth": [0.4, 0.0]}, index=["A", "B"]
    )
    helper.benchmark_style = pd.Series({"beta": 0.3, "size": 0.1, "growth": -0.2})
    return helper


@pytest.mark.parametrize(
    ("target", "kwargs", "aims", "weights"),
    [
        ({"beta": 0.5}, {}, [0.5], [1]),
        ({"beta": 0.2}, {"relative": True}, [0.5], [1]),
        (
            {"beta": 0.5, "size": 1.0, "growth": 0.0},
            {"priority": {"beta": 9, "size": 12, "momentum": -1, "other": 3}},
            [0.5, 1.0, 0.0],
            [45, 45, 25],
        ),
        ({"beta": 0.5, "growth": 0.1}, {"priority": {"beta": 7.9}}, [0.5, 0.1], [35, 25]),
        (
            {"size": 0.2, "growth": 0.1},
            {"relative": True, "priority": {"size": -3}},
            [0.3, -0.1],
            [1, 25],
        ),
        ({}, {}, [], []),
    ],
)
def test_style_deviation(style_helper, target, kwargs, aims, weights):
    objective = obj.MinStyleDeviation(target, **kwargs)
    g = cp.Variable(2, nonneg=True)
    expr = objective.get_objective_expr(g, 1.0, style_helper)
    w = np.array([0.6, 0.4])
    exposure = style_helper.exposure[list(target)].to_numpy().T @ w
    expected = sum(p * (x - a) ** 2 for p, x, a in zip(weights, exposure, aims, strict=True))
    assert (expr if not target else at(expr, g, w)) == pytest.approx(expected)


def test_style_deviation_refuses(style_helper):
    with pytest.raises(InvalidArgument) as info:
        obj.MinStyleDeviation({"beta": 0.1, "colour": 1.0, "taste": 2.0})
    assert info.value.args == (f"目标风格值 colour 非法，请从 {obj.STYLE_FACTORS} 中选取",)
    with pytest.raises(InvalidArgument, match=r"^priority: "):
        obj.MinStyleDeviation({"beta": 0.1}, priority={1, 2})
    style_helper.benchmark = None
    objective = obj.MinStyleDeviation({"beta": 0.1}, relative=True)
    with pytest.raises(InvalidArgument, match=r"^在使用相对风格偏移时，必须指定 benchmark 参数$"):
        objective.get_objective_expr(cp.Variable(2), 1.0, style_helper)


# ---- solved problems -----------------------------------------------------------------


def test_solved_max_sharpe_is_the_tangency_portfolio():
    mu = np.array([0.08, 0.12, 0.06])
    tangency = np.linalg.solve(COV, mu)
    assert (tangency > 0).all()
    helper = FakeHelper()
    zeta = cp.Variable(nonneg=True)
    weights = solve(obj.MaxSharpeRatio(dict(zip(POOL, mu, strict=True))), helper, zeta=zeta)
    assert weights == pytest.approx(tangency / tangency.sum(), abs=1e-3)


def test_solved_max_indicator_fills_the_highest_scores():
    ids = list("ABCDE")
    helper = FakeHelper(ids, np.eye(5) * 0.04)
    objective = obj.MaxIndicator(dict(zip(ids, [0.5, 3.0, -1.0, 2.0, 1.0], strict=True)))
    weights = solve(objective, helper, bounds=([0] * 5, [0.4] * 5))
    assert weights == pytest.approx([0, 0.4, 0, 0.4, 0.2], abs=1e-3)


def test_solved_mean_variance_without_risk_aversion_takes_the_best_return():
    objective = obj.MeanVariance({"A": 0.05, "B": 0.09, "C": 0.07}, risk_aversion_coefficient=0)
    assert solve(objective, FakeHelper()) == pytest.approx([0, 1, 0], abs=1e-3)


def test_solved_risk_parity_equalises_contributions():
    objective = obj.RiskParity()
    helper = FakeHelper(["A", "B"], np.diag([0.04, 0.01]))
    g = cp.Variable(2, nonneg=True)
    cp.Problem(cp.Minimize(objective.get_objective_expr(g, 2, helper))).solve(
        solver=cp.SCS, max_iters=10000
    )
    assert g.value / g.value.sum() == pytest.approx([1 / 3, 2 / 3], abs=1e-3)
