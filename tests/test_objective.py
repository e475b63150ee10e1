"""plovera.objective: expressions and constraints evaluated at chosen weights, the
data-client calls of the estimates, the class machinery and a few small solves."""

import abc
import inspect
import subprocess
import sys
import types

import cvxpy as cp
import cvxpy.utilities.linalg as cvxpy_linalg
import numpy as np
import pandas as pd
import pytest
import scipy.sparse.linalg
from conftest import FakeHelper, RecordingQuotaris

import plovera.objective as obj
from plovera.exception import InvalidArgument, OptimizerWarning

COV = np.array([[0.04, 0.006, 0.002], [0.006, 0.09, 0.01], [0.002, 0.01, 0.0225]])
POOL = ["A", "B", "C"]
W = np.array([0.5, 0.3, 0.2])


def fake_helper(ids=POOL, cov=COV, union=None, bw=None, benchmark=None):
    return FakeHelper(
        ids, "2024-06-03", benchmark, cov=cov, union=union, bw=bw, prev_trading_date="2024-05-31"
    )


ANNUAL = {"A": 0.25, "B": 0.75, "C": -0.1, "D": 0.3}


@pytest.fixture
def quotaris(monkeypatch):
    monkeypatch.setattr(obj, "quotaris", RecordingQuotaris(annual=ANNUAL, start="start"))
    return obj.quotaris


def at(expr, g, w):
    g.value = np.asarray(w, dtype=float)
    return expr.value


def mu_of(constraints, g):
    """mu of the single constraint g @ mu == 1, read off at the unit vectors."""
    [(lhs, rhs)] = [c.args for c in constraints]
    assert rhs.value == 1
    return np.array([at(lhs, g, row) for row in np.eye(g.shape[0])])


def solve(objective, helper, bounds=None, zeta=1.0):
    g = cp.Variable(len(helper.order_book_ids), nonneg=True)
    cons = [cp.sum(g) - zeta == 0, *objective.get_internal_constraints(g, zeta, helper)]
    if bounds is not None:
        cons += [g - zeta * np.array(bounds[0]) >= 0, g - zeta * np.array(bounds[1]) <= 0]
    expr = objective.get_objective_expr(g, zeta, helper)
    cp.Problem(cp.Minimize(expr), cons).solve(solver=cp.SCS, max_iters=10000)
    return g.value / g.value.sum()


# ---- module and class machinery ------------------------------------------------------


def test_module_binds_its_names_in_order():
    # fmt: off
    assert [n for n in vars(obj) if not n.startswith("__")] == [
        "ABCMeta", "warnings", "cp", "np", "pd", "quotaris", "InvalidArgument",
        "OptimizerWarning", "STYLE_FACTORS", "ensure_series", "OptimizationObjective",
        "MinVariance", "MeanVariance", "RiskParity", "MinTrackingError", "MaxInformationRatio",
        "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation",
    ]
    # fmt: on


def doc(*lines):
    return "\n" + "".join(f"    {line}\n" if line else "\n" for line in lines) + "    "


WINDOW = ":param window: 使用历史收益率估计预期主动收益时，取历史收益{}的长度，默认为252，即一年"
RETURNS = ":param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。"
CLASSES = {
    "MinVariance": ("风险最小化", None),
    "RiskParity": ("风险平价", None),
    "MinTrackingError": ("最小追踪误差", None),
    "MeanVariance": (
        doc("收益/风险优化", "", RETURNS, ":type expected_returns: None | pd.Series",
            WINDOW.format("率"), ":param risk_aversion_coefficient: 风险厌恶系数"),
        "(self, expected_returns=None, window=252, risk_aversion_coefficient=1)",
    ),
    "MaxInformationRatio": (
        doc("最大信息比率", "",
            ":param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。",
            ":type expected_active_returns: None | pd.Series", WINDOW.format("")),
        "(self, expected_active_returns=None, window=252)",
    ),
    "MaxSharpeRatio": (
        doc("最大化夏普比率", "", RETURNS, ":type expected_returns: None | pd.Series",
            WINDOW.format("率")),
        "(self, expected_returns=None, window=252)",
    ),
    "MaxIndicator": (
        doc("指标最大化", "", ":param indicator_series: 指标序列",
            ":type indicator_series: pd.Series"),
        "(self, indicator_series)",
    ),
    "MinStyleDeviation": (
        doc("风格偏离最小化", "", ":param target_style: pd.Series, 目标风格",
            ":param relative: bool, 是否为相对于基准",
            ":param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，"
            "9为最高优先级，0为最低优先级；未指定的风格默认优先级为5"),
        "(self, target_style, relative=False, priority=None)",
    ),
}  # fmt: skip


@pytest.mark.parametrize("name", list(CLASSES))
def test_objective_class(name):
    cls, (docstring, init) = getattr(obj, name), CLASSES[name]
    assert type(cls) is abc.ABCMeta and cls.__bases__ == (obj.OptimizationObjective,)
    assert cls.__doc__ == docstring and cls.__module__ == "plovera.objective"
    members = ["get_objective_expr", "get_internal_constraints", "get_preferred_solver"]
    if init:
        members.insert(0, "__init__")
        assert str(inspect.signature(cls.__init__)) == init
    if name == "MinStyleDeviation":
        members.insert(1, "PRIORITY_ADJUST_FACTOR")
        assert cls.PRIORITY_ADJUST_FACTOR == [1, 5, 10, 15, 20, 25, 30, 35, 40, 45]
    assert [m for m in vars(cls) if not m.startswith("_") or m == "__init__"] == members
    assert cls.get_objective_expr.__qualname__ == f"{name}.get_objective_expr"


def test_base_class_and_user_subclasses():
    base = obj.OptimizationObjective()
    assert obj.OptimizationObjective.__doc__ is None
    for call, args in [(base.get_objective_expr, (1, 2, 3)), (base.get_preferred_solver, ())]:
        with pytest.raises(NotImplementedError):
            call(*args)

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


def test_ensure_series(monkeypatch):
    s = pd.Series([1.0])
    assert obj.ensure_series(s, "x") is s
    assert obj.ensure_series({"A": 1}, "x").index.tolist() == ["A"]
    assert obj.ensure_series([3, 4], "x").index.tolist() == [0, 1]
    with pytest.raises(InvalidArgument) as info:
        obj.ensure_series({1, 2}, "expected_returns")
    assert (
        str(info.value) == "expected_returns: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"
    )
    assert isinstance(info.value.__context__, TypeError)

    def interrupted(*args):
        raise KeyboardInterrupt

    fake_pd = types.SimpleNamespace(Series=type("Series", (), {"__new__": interrupted}))
    monkeypatch.setattr(obj, "pd", fake_pd)
    with pytest.raises(KeyboardInterrupt):  # an interrupt is no conversion failure
        obj.ensure_series([1], "x")


ALL = [
    obj.MinVariance(),
    obj.MeanVariance({"A": 0.1}),
    obj.MinTrackingError(),
    obj.MinStyleDeviation({"beta": 0.5}),
    obj.RiskParity(),
    obj.MaxInformationRatio({"A": 0.1}),
    obj.MaxSharpeRatio({"A": 0.1}),
    obj.MaxIndicator({"A": 1, "B": 2, "C": 3}),
]


@pytest.mark.parametrize("objective", ALL, ids=lambda o: type(o).__name__)
def test_solver_fresh_constraint_lists_and_budget_assertion(objective):
    assert objective.get_preferred_solver() == cp.SCS
    g = cp.Variable(3, nonneg=True)
    first = objective.get_internal_constraints(g, 1.0, fake_helper())
    first.append("x")
    assert objective.get_internal_constraints(g, 1.0, fake_helper()) is not first
    if objective in ALL[:4]:  # built for weights that add up to 1
        with pytest.raises(AssertionError) as info:
            objective.get_objective_expr(g, 2.0, fake_helper())
        assert info.value.args == ()


def test_budget_assertion_follows_optimize_flag():
    code = (
        "import numpy as np, cvxpy as cp, plovera.objective as o\n"
        "class H: get_cov_matrix = staticmethod(lambda: np.eye(2))\n"
        "print(o.MinVariance().get_objective_expr(cp.Variable(2), 2.0, H()).shape)"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert (out.returncode, out.stdout.strip()) == (0, "()"), out.stderr


# ---- variance objectives -------------------------------------------------------------


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
    expr = objective.get_objective_expr(g, 1.0, fake_helper(ids, cov))
    expected = -np.dot(mu, w) + coefficient * rbar / cov.mean() * (w @ cov @ w)
    assert at(expr, g, w) == pytest.approx(expected)


@pytest.mark.parametrize("value", [-0.5, float("nan"), float("inf")])
def test_mean_variance_refuses(value):
    with pytest.raises(InvalidArgument) as info:
        obj.MeanVariance(risk_aversion_coefficient=value)
    assert info.value.args == (
        f"risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{value}",
    )
    with pytest.raises(InvalidArgument, match=r"^expected_returns: "):  # the series first
        obj.MeanVariance({1, 2}, risk_aversion_coefficient=value)


def test_mean_variance_all_zero_falls_back_to_min_variance(monkeypatch):
    recorded = []
    fake_warnings = type("W", (), {"warn": lambda *args, **kwargs: recorded.append(kwargs)})
    monkeypatch.setattr(obj, "warnings", fake_warnings)
    g = cp.Variable(3, nonneg=True)
    expr = obj.MeanVariance({"X": 0.3}).get_objective_expr(g, 1.0, fake_helper())
    assert at(expr, g, W) == pytest.approx(W @ COV @ W)
    assert recorded == [{"stacklevel": 3, "category": OptimizerWarning}]
    message = "^MeanVariance: expected_returns 全部为 0，退化为 MinVariance$"
    with pytest.warns(OptimizerWarning, match=message):
        monkeypatch.undo()
        obj.MeanVariance({"X": 0.3}).get_objective_expr(g, 1.0, fake_helper())


@pytest.mark.parametrize("cls", [obj.MeanVariance, obj.MaxSharpeRatio])
def test_estimate_is_made_once(quotaris, cls):
    objective, g = cls(window=60), cp.Variable(3, nonneg=True)
    first = objective.get_internal_constraints(g, 1.0, fake_helper())
    objective.get_objective_expr(g, 1.0, fake_helper())
    objective.get_internal_constraints(cp.Variable(2), 1.0, fake_helper(["A", "D"], COV[:2, :2]))
    objective.get_objective_expr(cp.Variable(2), 1.0, fake_helper(["A", "D"], COV[:2, :2]))
    assert quotaris.calls == [
        ("trading_date_offset", "2024-05-31", -60),
        ("get_price_change_rate", POOL, "start", "2024-05-31"),
    ]
    assert objective._expected_returns.tolist() == pytest.approx([0.25, 0.75, -0.1])
    if cls is obj.MaxSharpeRatio:
        assert mu_of(first, g) == pytest.approx([0.25, 0.75, -0.1])


@pytest.mark.parametrize("cls", [obj.MinTrackingError, obj.MaxInformationRatio])
@pytest.mark.parametrize(
    ("union", "bw"), [(["X", "Y"], [0.3, 0.7]), (["X", "Y", "Z", "V"], [0.0, 0.5, 0.3, 0.2])]
)
def test_active_weight_over_the_union(cls, union, bw):
    m = len(union)
    cov = np.diag(np.linspace(0.02, 0.05, m)) + 0.004
    g, zeta = cp.Variable(2, nonneg=True), cp.Variable(nonneg=True)
    zeta.value = scale = 2.5
    if cls is obj.MinTrackingError:  # built for a budget of 1
        zeta = scale = 1.0
    expr = cls().get_objective_expr(g, zeta, fake_helper(["X", "Y"], cov, union, bw))
    active = np.concatenate([[0.4, 0.6], np.zeros(m - 2)]) - scale * np.array(bw)
    assert at(expr, g, [0.4, 0.6]) == pytest.approx(active @ cov @ active)


# ---- ratio objectives ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("given", "mu"),
    [
        ({"A": 0.1, "B": 0.2}, [0.1, 0.2, 0.0]),
        ({"A": 0.05, "B": 0.05, "C": 0.05}, [1, 1, 1]),
        ({"A": -0.2, "B": -0.2, "C": -0.2}, [1, 1, 1]),
        ({"X": 0.3}, [1, 1, 1]),
        ({"A": -0.75, "B": -0.25, "C": 0.25}, [-0.5, 0.0, 0.5]),
        ({"A": -0.5, "B": -0.25, "C": 0.0}, [-0.25, 0.0, 0.25]),
        ({"A": -3, "B": 1, "C": 0}, [-7 / 3, 5 / 3, 2 / 3]),  # integers are demeaned too
    ],
)
def test_sharpe_ratio_constraint(given, mu):
    g = cp.Variable(3, nonneg=True)
    constraints = obj.MaxSharpeRatio(given).get_internal_constraints(
        g, cp.Variable(nonneg=True), fake_helper()
    )
    assert mu_of(constraints, g) == pytest.approx(mu)


# Pool A, B, C; the benchmark holds A, C and, outside the pool, Y and Z (B not at all).
# Weights and the values of the cases that tie are powers of two: they tie exactly.
IR_UNION = ["A", "B", "C", "Y", "Z"]
IR_WEIGHTS = [0.25, 0.0, 0.125, 0.125, 0.5]
NAN_WARNING = (
    "expected_active_returns 中以下股票的值为 NaN（如估计窗口内没有行情），"
    "按基准的平均主动收益处理: ['C']"
)
NO_EXCESS_WARNING = (
    "MaxInformationRatio: 股票池中没有预期主动收益高于基准的股票，退化为 MinTrackingError"
)
BUDGET = [1.0, 1.0, 1.0]  # the constraint is sum(g) == 1


@pytest.mark.parametrize("shift", [0.0, -0.75])
@pytest.mark.parametrize(
    ("given", "excess", "warning"),
    [
        # Every stock has a value: b'mu = 0.025 + 0.0125 - 0.0125 + 0.05 = 0.075.
        ({"A": 0.1, "B": 0.2, "C": 0.1, "Y": -0.1, "Z": 0.1}, [0.025, 0.125, 0.025], None),
        # Y and Z take the average of A and C: (0.25 * 0.4 + 0.125 * 0.1) / 0.375 = 0.3.
        ({"A": 0.4, "B": 0.2, "C": 0.1}, [0.1, -0.1, -0.2], None),
        # B, missing, and C, NaN, take the average of A, Y and Z: (0.1 + 0.0375 - 0.05) / 0.875 = 0.1.
        ({"A": 0.4, "C": np.nan, "Y": 0.3, "Z": -0.1}, [0.3, 0.0, 0.0], NAN_WARNING),
        # Equal once filled, or nothing known at all: minimum tracking error.
        ({"A": 0.5, "C": 0.5}, BUDGET, None),
        ({"X": 0.3}, BUDGET, None),
        ({"A": 0.1, "B": 0.1, "C": 0.1, "Y": 0.1, "Z": 0.1}, BUDGET, None),
        # No pool stock beats the benchmark (b'mu = 0.5 exactly): no ratio to maximise.
        ({"A": 0.5, "B": 0.5, "C": 0.5, "Y": 1.0, "Z": 0.375}, BUDGET, NO_EXCESS_WARNING),
        ({"A": -0.1, "B": -0.2, "C": 0.0, "Y": 0.3, "Z": 0.1}, BUDGET, NO_EXCESS_WARNING),
    ],
)
def test_information_ratio_constraint(given, excess, warning, shift):
    """The expected active return over the union, (mu_pool - b'mu)'g == 1, after the fill;
    the same for any constant added to every return."""
    given = {k: v + shift for k, v in given.items()}
    helper = fake_helper(POOL, COV, IR_UNION, IR_WEIGHTS, benchmark=object())
    g = cp.Variable(3, nonneg=True)
    build = obj.MaxInformationRatio(given).get_internal_constraints
    if warning is None:
        constraints = build(g, cp.Variable(nonneg=True), helper)
    else:
        with pytest.warns(OptimizerWarning) as record:
            constraints = build(g, cp.Variable(nonneg=True), helper)
        assert [str(w.message) for w in record] == [warning]
    assert mu_of(constraints, g) == pytest.approx(excess, abs=1e-12)


@pytest.mark.parametrize(
    ("weights", "value"), [([0.1, 0.0, 0.2, 0.3, 0.4], 0.02), ([0.3, 0.0, 0.2, 0.1, 0.4], 0.11)]
)
def test_flat_view_over_the_pool_is_minimum_tracking_error(weights, value):
    # Y and Z take the benchmark's average of A and C, which is the same value.
    helper = fake_helper(POOL, COV, IR_UNION, weights, benchmark=object())
    g = cp.Variable(3, nonneg=True)
    objective = obj.MaxInformationRatio(dict.fromkeys(POOL, value))
    constraints = objective.get_internal_constraints(g, cp.Variable(nonneg=True), helper)
    assert mu_of(constraints, g) == pytest.approx(BUDGET)


def test_max_information_ratio_estimates_every_call(quotaris):
    calls = []
    benchmark = type("B", (), {"get_expected_returns": lambda *a: calls.append(a[1:]) or 0.5})()
    # D, held by the benchmark outside the pool, takes A's active return, -0.25.
    helper = fake_helper(["A", "B"], COV, ["A", "B", "D"], [0.5, 0.0, 0.5], benchmark)
    objective, g = obj.MaxInformationRatio(), cp.Variable(2, nonneg=True)
    for _ in range(2):
        mu = mu_of(objective.get_internal_constraints(g, None, helper), g)
        assert mu == pytest.approx([0.0, 0.5])
    estimate = [
        ("trading_date_offset", "2024-05-31", -252),
        ("get_price_change_rate", ["A", "B"], "start", "2024-05-31"),
    ]
    assert quotaris.calls == 2 * estimate
    assert calls == [("2024-06-03", 252)] * 2 and objective._expected_active_returns is None


# B is NaN, C simply missing (filled without a word), Z outside the pool.
WITH_NAN = pd.Series({"A": 0.2, "B": np.nan, "Z": 0.1})


@pytest.mark.parametrize(
    ("objective", "name", "treated_as", "coefficients"),
    [
        (obj.MeanVariance(WITH_NAN, 252, 0), "expected_returns", "按 0 处理", [0.2, 0, 0]),
        (obj.MaxSharpeRatio(WITH_NAN), "expected_returns", "按 0 处理", [0.2, 0, 0]),
        # B and C earn the benchmark's average of A and Z, (0.4 * 0.2 + 0.3 * 0.1) / 0.7: no excess.
        (obj.MaxInformationRatio(WITH_NAN), "expected_active_returns",
         "按基准的平均主动收益处理", [0.2 - 0.11 / 0.7, 0, 0]),
    ],
    ids=["MeanVariance", "MaxSharpeRatio", "MaxInformationRatio"],
)  # fmt: skip
def test_nan_expected_returns_are_named_and_filled(objective, name, treated_as, coefficients):
    helper, _ = quadratic_helper(np.diag([0.04, 0.09, 0.0225, 0.01]))
    g = cp.Variable(3, nonneg=True)
    zeta = 1.0 if isinstance(objective, obj.MeanVariance) else cp.Variable(nonneg=True)
    with pytest.warns(OptimizerWarning) as record:
        constraints = objective.get_internal_constraints(g, zeta, helper)
        expr = objective.get_objective_expr(g, zeta, helper)
    message = f"{name} 中以下股票的值为 NaN（如估计窗口内没有行情），{treated_as}: ['B']"
    assert [str(w.message) for w in record] == [message]
    if constraints:
        assert mu_of(constraints, g) == pytest.approx(coefficients)
    else:  # without risk aversion the expression is -mu'g
        assert [-at(expr, g, row) for row in np.eye(3)] == pytest.approx(coefficients)


# ---- indicator and style -------------------------------------------------------------


@pytest.mark.parametrize("factor", [1, 2])
def test_max_indicator_scales_by_mean_absolute_value(factor):
    objective = obj.MaxIndicator({"A": 2.0 * factor, "B": -1.0 * factor, "C": 3.0})
    g = cp.Variable(2, nonneg=True)
    expr = objective.get_objective_expr(g, 1.0, fake_helper(["A", "B"]))
    assert at(expr, g, [0.3, 0.7]) == pytest.approx(-(4 / 3 * 0.3 - 2 / 3 * 0.7))
    with pytest.raises(InvalidArgument, match=r"^传入股票池中的股票有部分在 indicator_series 中"):
        objective.get_objective_expr(g, 1.0, fake_helper(["A", "D"]))
    with pytest.raises(InvalidArgument, match=r"^indicator_series: "):
        obj.MaxIndicator({1, 2})


@pytest.fixture
def style_helper():
    helper = fake_helper(["A", "B"], benchmark=object())
    helper.exposure = pd.DataFrame({"beta": [1.0, 0.2], "size": [-0.5, 1.5], "growth": [0.4, 0.0]})
    helper.benchmark_style = pd.Series({"beta": 0.3, "size": 0.1, "growth": -0.2})
    return helper


@pytest.mark.parametrize(
    ("target", "kwargs", "aims", "weights"),
    [
        ({"beta": 0.5}, {}, [0.5], [1]),
        ({"beta": 0.2}, {"relative": True}, [0.5], [1]),
        ({"beta": 0.5, "size": 1.0, "growth": 0.0},
         {"priority": {"beta": 9, "size": 12, "momentum": -1, "other": 3}},
         [0.5, 1.0, 0.0], [45, 45, 25]),
        ({"beta": 0.5, "growth": 0.1}, {"priority": {"beta": 7.9}}, [0.5, 0.1], [35, 25]),
        ({"size": 0.2, "growth": 0.1}, {"relative": True, "priority": {"size": -3}},
         [0.3, -0.1], [1, 25]),
        ({}, {}, [], []),
    ],
)  # fmt: skip
def test_style_deviation(style_helper, target, kwargs, aims, weights):
    objective = obj.MinStyleDeviation(target, **kwargs)
    g, w = cp.Variable(2, nonneg=True), np.array([0.6, 0.4])
    expr = objective.get_objective_expr(g, 1.0, style_helper)
    exposure = style_helper.exposure[list(target)].to_numpy().T @ w
    expected = sum(p * (x - a) ** 2 for p, x, a in zip(weights, exposure, aims, strict=True))
    assert (at(expr, g, w) if target else expr) == pytest.approx(expected)


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


def test_solved_portfolios():
    ones = np.linalg.solve(COV, np.ones(3))  # interior: every entry positive
    assert solve(obj.MinVariance(), fake_helper()) == pytest.approx(ones / ones.sum(), abs=1e-3)
    mu = np.array([0.08, 0.12, 0.06])
    tangency = np.linalg.solve(COV, mu)  # interior: every entry positive
    returns = dict(zip(POOL, mu, strict=True))
    sharpe = solve(obj.MaxSharpeRatio(returns), fake_helper(), zeta=cp.Variable(nonneg=True))
    assert sharpe == pytest.approx(tangency / tangency.sum(), abs=1e-3)
    best_return = solve(obj.MeanVariance(returns, 252, 0), fake_helper())
    assert best_return == pytest.approx([0, 1, 0], abs=1e-3)
    indicator = obj.MaxIndicator(dict(zip("ABCDE", [0.5, 3.0, -1.0, 2.0, 1.0], strict=True)))
    capped = solve(indicator, fake_helper(list("ABCDE"), np.eye(5)), ([0] * 5, [0.4] * 5))
    assert capped == pytest.approx([0, 0.4, 0, 0.4, 0.2], abs=1e-3)


def test_solved_risk_parity_equalises_contributions():
    g = cp.Variable(2, nonneg=True)
    expr = obj.RiskParity().get_objective_expr(g, 2, fake_helper(["A", "B"], np.diag([0.04, 0.01])))
    cp.Problem(cp.Minimize(expr)).solve(solver=cp.SCS, max_iters=10000)
    assert g.value / g.value.sum() == pytest.approx([1 / 3, 2 / 3], abs=1e-3)


@pytest.mark.parametrize(
    ("build", "message"),
    [
        (lambda s: obj.MeanVariance(s), "expected_returns 的索引中有重复项: ['A']"),
        (lambda s: obj.MaxSharpeRatio(s), "expected_returns 的索引中有重复项: ['A']"),
        (
            lambda s: obj.MaxInformationRatio(s),
            "expected_active_returns 的索引中有重复项: ['A']",
        ),
    ],
)
def test_series_arguments_with_a_repeated_identifier_are_refused(build, message):
    with pytest.raises(InvalidArgument) as raised:
        build(pd.Series([0.1, 0.2, 0.3], index=["A", "B", "A"]))
    assert raised.value.args == (message,)


def test_an_indicator_with_a_repeated_identifier_fails_in_pandas_reindex():
    objective = obj.MaxIndicator(pd.Series([0.1, 0.2, 0.3], index=["A", "B", "A"]))
    with pytest.raises(ValueError, match="duplicate labels"):
        objective.get_objective_expr(cp.Variable(2), 1.0, fake_helper(["A", "B"]))


@pytest.mark.parametrize(
    ("window", "error"),
    [(None, TypeError), ("252", TypeError), (2.5, InvalidArgument), (0, InvalidArgument)],
)
@pytest.mark.parametrize("cls", [obj.MeanVariance, obj.MaxSharpeRatio])
def test_a_bad_window_fails_when_the_estimate_is_made(quotaris, cls, window, error):
    objective = cls(None, window)
    g = cp.Variable(3, nonneg=True)
    with pytest.raises(error):
        if cls is obj.MeanVariance:
            objective.get_objective_expr(g, 1.0, fake_helper())
        else:
            objective.get_internal_constraints(g, cp.Variable(nonneg=True), fake_helper())
    assert objective._expected_returns is None


def test_style_targets_and_priorities_with_a_repeated_style_are_refused():
    twice = pd.Series([1.0, 2.0], index=["size", "size"])
    with pytest.raises(InvalidArgument, match=r"^target_style 的索引中有重复项: \['size'\]$"):
        obj.MinStyleDeviation(twice)
    with pytest.raises(InvalidArgument, match=r"^priority 的索引中有重复项: \['size'\]$"):
        obj.MinStyleDeviation({"size": 1.0}, priority=pd.Series([1, 2], index=["size", "size"]))


@pytest.mark.parametrize("priority", [np.nan, np.inf, "high"])
def test_priorities_that_are_no_level_fail_in_pandas_cast(priority):
    with pytest.raises((ValueError, TypeError)) as raised:
        obj.MinStyleDeviation({"size": 1.0}, priority={"size": priority})
    assert not isinstance(raised.value, InvalidArgument)


@pytest.mark.parametrize(
    ("values", "message"),
    [
        ([0.0, 0.0, 0.0], "indicator_series 在股票池上的值全部为 0"),
        ([np.nan, 1.0, 2.0], "indicator_series 中以下股票的值不是有限数值: ['A']"),
        ([1.0, -np.inf, 2.0], "indicator_series 中以下股票的值不是有限数值: ['B']"),
        (["x", "y", "z"], "indicator_series 的值应为数值: {'A': 'x', 'B': 'y', 'C': 'z'}"),
    ],
)
def test_indicator_values_that_cannot_be_maximised_are_refused(values, message):
    # A value outside the pool does not matter, however bad.
    indicator = pd.Series([*values, np.nan], index=[*POOL, "Z"], dtype=object)
    with pytest.raises(InvalidArgument) as raised:
        obj.MaxIndicator(indicator).get_objective_expr(cp.Variable(3), 1.0, fake_helper())
    assert raised.value.args == (message,)


# ---- quadratic forms: positive semidefinite by our test, not cvxpy's ------------------

# A pool and a benchmark component outside it, so that the union matrix is 4 by 4.
UNION = ["A", "B", "C", "Z"]
FACTOR = np.array([[1.0, 0.2], [0.6, -0.4], [0.3, 0.9], [-0.5, 0.1]])
SINGULAR = FACTOR @ FACTOR.T * 0.01  # rank 2: semidefinite, not definite
QUADRATIC = [
    obj.MinVariance(),
    obj.MeanVariance({"A": 0.1, "B": 0.2}),
    obj.RiskParity(),
    obj.MinTrackingError(),
    obj.MaxInformationRatio({"A": 0.1, "B": 0.2}),
    obj.MaxSharpeRatio({"A": 0.1, "B": 0.2}),
]


def quad_form_matrix(expr):
    [form] = [e for e in [expr, *expr.args, *(a for e in expr.args for a in e.args)]
              if isinstance(e, cp.atoms.QuadForm)]  # fmt: skip
    return form.args[1]


def quadratic_helper(cov):
    """The pool's matrix is the top left of the union's."""
    helper, pool_cov = fake_helper(POOL, cov, UNION, [0.4, 0.0, 0.3, 0.3]), cov[:3, :3]
    helper.get_cov_matrix = lambda: pool_cov
    return helper, pool_cov


@pytest.fixture
def arpack_fails(monkeypatch):
    """cvxpy's iterative PSD test, failing to converge as it does on some healthy matrices."""

    def no_convergence(*args):
        raise scipy.sparse.linalg.ArpackNoConvergence("no convergence", None, None)

    monkeypatch.setattr(cvxpy_linalg, "is_psd_within_tol", no_convergence)


@pytest.mark.parametrize("objective", QUADRATIC, ids=lambda o: type(o).__name__)
@pytest.mark.parametrize("cov", [np.diag([0.04, 0.09, 0.0225, 0.01]) + 0.004, SINGULAR])
def test_psd_matrices_reach_cvxpy_certified(arpack_fails, objective, cov):
    helper, _ = quadratic_helper(cov)
    g, zeta = cp.Variable(3, nonneg=True), cp.Variable(nonneg=True)
    zeta = (
        1.0
        if type(objective) in (obj.MinVariance, obj.MeanVariance, obj.MinTrackingError)
        else zeta
    )
    expr = objective.get_objective_expr(g, zeta, helper)
    assert isinstance(quad_form_matrix(expr), cp.psd_wrap)
    assert (expr * 2.0).is_convex()  # the product that set off cvxpy's own test


def test_certified_forms_solve_as_before():
    helper, pool_cov = quadratic_helper(np.diag([0.04, 0.09, 0.0225, 0.01]) + 0.004)
    g = cp.Variable(3, nonneg=True)
    ours = obj.MinVariance().get_objective_expr(g, 1.0, helper)
    assert at(ours, g, W) == pytest.approx(W @ pool_cov @ W)
    ones = np.linalg.solve(pool_cov, np.ones(3))
    assert solve(obj.MinVariance(), helper) == pytest.approx(ones / ones.sum(), abs=1e-3)


@pytest.mark.parametrize(
    ("cov", "error"),
    [
        (np.array([[0.04, 0.05, 0], [0.05, 0.04, 0], [0, 0, 0.01]]), cp.error.DCPError),
        (np.array([[0.04, 0.01, 0], [0.0, 0.04, 0], [0, 0, 0.01]]), ValueError),
        (np.diag([0.04, np.nan, 0.01]), ValueError),
    ],
    ids=["indefinite", "not symmetric", "nan"],
)
def test_other_matrices_reach_cvxpy_as_they_are(cov, error):
    g = cp.Variable(3, nonneg=True)
    helper = fake_helper(POOL, cov)
    if error is ValueError:  # cvxpy's own refusal, unchanged
        with pytest.raises(ValueError, match="symmetric/Hermitian"):
            obj.MinVariance().get_objective_expr(g, 1.0, helper)
        return
    matrix = quad_form_matrix(obj.MinVariance().get_objective_expr(g, 1.0, helper))
    assert not isinstance(matrix, cp.psd_wrap)
    np.testing.assert_array_equal(matrix.value, cov)
    with pytest.raises(error):
        solve(obj.MinVariance(), helper)
