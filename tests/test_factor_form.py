"""Risk written over the factor model against the dense covariance, the information ratio
against the benchmark, and the one problem builder of the entry, prepared problems and the
diagnosis, on the demo market."""

import datetime

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import plovera.optimize
import quotaris
from plovera import (
    IndustryConstraint,
    MaxInformationRatio,
    MaxSharpeRatio,
    MeanVariance,
    MinTrackingError,
    MinVariance,
    RiskParity,
    StyleConstraint,
    TrackingErrorLimit,
    diagnose,
    portfolio_optimize,
)
from plovera.benchmark import IndexBenchmark
from plovera.const import CovModel
from plovera.helper import OptimizeHelper
from plovera.optimize import parse_bnds
from plovera.prepared import assemble_problem, prepare_optimize, set_up_optimization

DATE = datetime.date(2023, 3, 15)
INDEX = "000300.XSHG"
BOUNDS = {"*": (0.0, 0.05)}


pytestmark = pytest.mark.usefixtures("demo")


@pytest.fixture(scope="module")
def constituents():
    return sorted(quotaris.index_weights(INDEX, DATE).index)


@pytest.fixture(scope="module")
def pool(constituents):
    # A third of the benchmark outside the pool: the union's risk is not the pool's.
    return constituents[:200]


@pytest.fixture(scope="module")
def alpha(constituents):
    return pd.Series(np.random.default_rng(7).normal(0.02, 0.05, len(constituents)), constituents)


def helper_for(pool, helper=OptimizeHelper):
    return helper(pool, DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY)


class DenseHelper:
    """The real helper without its factor models: the objectives read the dense matrices."""

    built = 0

    def __init__(self, *args):
        DenseHelper.built += 1
        self._helper = OptimizeHelper(*args)

    def __getattr__(self, name):
        if name in ("get_factor_model", "get_union_factor_model"):
            raise AttributeError(name)
        return getattr(self._helper, name)


OBJECTIVES = {
    "MinVariance": lambda alpha: MinVariance(),
    "MeanVariance": lambda alpha: MeanVariance(alpha),
    "RiskParity": lambda alpha: RiskParity(),
    "MinTrackingError": lambda alpha: MinTrackingError(),
    "MaxInformationRatio": lambda alpha: MaxInformationRatio(alpha),
    "MaxSharpeRatio": lambda alpha: MaxSharpeRatio(alpha),
}


def largest_constant(expr):
    return max(constant.size for constant in expr.constants())


@pytest.mark.parametrize("name", list(OBJECTIVES))
def test_objective_value_is_that_of_the_dense_covariance(pool, alpha, name):
    factor, dense = helper_for(pool), helper_for(pool, DenseHelper)
    assert not hasattr(dense, "get_factor_model") and not hasattr(dense, "get_union_factor_model")
    n = len(pool)
    g = cp.Variable(n, nonneg=True)
    zeta = scale = n if name == "RiskParity" else 1.0
    if name in ("MaxInformationRatio", "MaxSharpeRatio"):  # g is zeta times the weights
        zeta, scale = cp.Variable(), 1.7
        zeta.value = scale
    g.value = scale * np.random.default_rng(3).dirichlet(np.ones(n))
    exprs = [OBJECTIVES[name](alpha).get_objective_expr(g, zeta, h) for h in (factor, dense)]
    assert exprs[0].value == pytest.approx(exprs[1].value, rel=1e-9, abs=0)
    # No n × n matrix enters the problem in factor form.
    assert largest_constant(exprs[1]) >= n * n > largest_constant(exprs[0])


@pytest.mark.parametrize("name", list(OBJECTIVES))
def test_factor_and_dense_forms_solve_to_the_same_weights(pool, alpha, name, monkeypatch):
    factor = portfolio_optimize(pool, DATE, OBJECTIVES[name](alpha), BOUNDS, benchmark=INDEX)
    monkeypatch.setattr(plovera.optimize, "OptimizeHelper", DenseHelper)
    built = DenseHelper.built
    dense = portfolio_optimize(pool, DATE, OBJECTIVES[name](alpha), BOUNDS, benchmark=INDEX)
    assert DenseHelper.built == built + 1
    np.testing.assert_allclose(factor.to_numpy(), dense.to_numpy(), rtol=0, atol=1e-4)
    assert factor.max() <= 0.05 + 1e-4


def test_tracking_error_limit_reads_the_union_covariance(pool):
    helper = helper_for(pool)
    g, zeta = cp.Variable(len(pool), nonneg=True), cp.Variable()
    zeta.value = 1.3
    g.value = 1.3 * np.random.default_rng(4).dirichlet(np.ones(len(pool)))
    (cone,) = TrackingErrorLimit(0.05).to_constraints(g, zeta, helper)
    union = helper.union_components
    active = np.concatenate([g.value, np.zeros(len(union) - len(pool))])
    active -= 1.3 * helper.benchmark_weight.to_numpy()
    expected = np.sqrt(active @ helper.get_union_cov_matrix() @ active)
    assert cone.args[0].value == pytest.approx(expected, rel=1e-9)
    assert cone.args[1].value == pytest.approx(1.3 * 0.05)


def test_information_ratio_of_the_index_pool_is_the_best_active_ratio(constituents, alpha):
    """The pool is the index: the best active weights are Σ⁻¹(μ - λ1) with 1'a = 0, the
    benchmark plus any small multiple of them, and the benchmark itself is no answer."""
    weights = portfolio_optimize(constituents, DATE, MaxInformationRatio(alpha), benchmark=INDEX)
    helper = helper_for(constituents)
    cov = helper.get_union_cov_matrix()
    mu = alpha.reindex(helper.union_components).to_numpy()
    active = weights.to_numpy() - helper.benchmark_weight.to_numpy()
    inv_mu, inv_one = np.linalg.solve(cov, mu), np.linalg.solve(cov, np.ones(len(mu)))
    best = inv_mu - inv_one * (inv_one @ mu) / inv_one.sum()
    ratio = mu @ active / np.sqrt(active @ cov @ active)
    assert ratio == pytest.approx(np.sqrt(mu @ best), rel=1e-3)
    assert active @ best / np.linalg.norm(active) / np.linalg.norm(best) > 0.999
    assert mu @ active > 0 and np.sqrt(active @ cov @ active) > 1e-3


# ---- one builder ---------------------------------------------------------------------


class Recording:
    """A constraint object that notes how it is called: g's shape and sign, zeta's kind."""

    hard = True

    def __init__(self):
        self.calls = []

    def to_constraints(self, g, zeta, helper):
        kind = "variable" if isinstance(zeta, cp.Variable) else float(zeta)
        self.calls.append((g.shape, g.is_nonneg(), kind, type(helper)))
        return [g[0] <= 0.5 * zeta]


@pytest.mark.parametrize(
    ("objective", "zeta"),
    [(MinVariance, 1.0), (RiskParity, 40.0), (lambda: MaxSharpeRatio({}), "variable")],
    ids=["MinVariance", "RiskParity", "MaxSharpeRatio"],
)
def test_every_entry_builds_the_problem_once_alike(pool, objective, zeta):
    for entry in (portfolio_optimize, prepare_optimize, diagnose):
        recording = Recording()
        entry(pool[:40], DATE, objective(), BOUNDS, [recording], INDEX)
        assert recording.calls == [((40,), True, zeta, OptimizeHelper)], entry.__name__


def kinds(constraints):
    return [(type(c).__name__, c.shape, c.args[0].shape) for c in constraints]


def test_assembled_problem_is_the_prepared_one_with_its_pieces_named(pool, alpha):
    cons = [
        TrackingErrorLimit(0.08),
        IndustryConstraint("银行", upper_limit=0.3),
        StyleConstraint("size", lower_limit=-1.0, hard=False),
    ]
    args = (pool[:40], DATE, MaxInformationRatio(alpha), BOUNDS, cons, INDEX)
    ids, helper = set_up_optimization(*args)
    prepared = prepare_optimize(*args)
    assert ids == prepared.order_book_ids == sorted(pool[:40])
    built = assemble_problem(args[2], ids, BOUNDS, cons, helper)
    assert kinds(built.problem.constraints) == kinds(prepared._problem.constraints)
    objects = [c for _, hard, made in built.objects if hard for c in made]
    pieces = [built.budget, *built.internal, *built.bound_cons, *objects]
    assert [id(c) for c in built.hard_cons] == [id(c) for c in pieces]
    assert [(type(o), hard) for o, hard, _ in built.objects] == [(type(c), c.hard) for c in cons]
    assert [id(c) for c in built.soft_cons] == [id(c) for c in built.objects[2][2]]
    np.testing.assert_array_equal(built.lower_bound, parse_bnds(BOUNDS, ids)[0])
    np.testing.assert_array_equal(built.upper_bound, parse_bnds(BOUNDS, ids)[1])
    assert set_up_optimization(pool[:1], DATE) == ([pool[0]], None)


def bank_view(constituents, sign):
    banks = quotaris.get_industry(constituents, DATE) == "银行"
    return pd.Series(np.where(banks, sign * 0.05, 0.0), index=constituents)


TILT = IndustryConstraint("银行", lower_limit=0.2, relative=True)


def test_diagnosis_reads_the_ratio_constraint_as_a_non_negative_active_return(constituents):
    # Banks expected to lag by 5%: an active return of 0.05 (b - w) over the banks' weights,
    # so a tilt of 20% towards them is an active return of -1%, held at a budget of 1.
    found = diagnose(
        constituents, DATE, MaxInformationRatio(bank_view(constituents, -1)), None, [TILT], INDEX
    )
    conflicts = {c.name: c for c in found.conflicts}
    assert set(conflicts) == {
        "权重之和",
        "目标函数 MaxInformationRatio 的约束",
        "行业 银行 相对基准下限",
    }
    assert conflicts["行业 银行 相对基准下限"].relaxed == pytest.approx(0.0, abs=1e-5)
    assert conflicts["目标函数 MaxInformationRatio 的约束"].relaxation == pytest.approx(
        0.01, abs=1e-5
    )
    # Without the budget, g may hold B + 0.2 in banks and (1 - B)(B + 0.2) / B elsewhere.
    weights = quotaris.index_weights(INDEX, DATE)
    held = (weights / weights.sum())[bank_view(constituents, 1) > 0].sum()
    assert conflicts["权重之和"].relaxed == pytest.approx((held + 0.2) / held, rel=1e-5)


def test_ratio_constraint_met_by_the_tilt_leaves_the_tracking_error_conflict(constituents):
    # Banks expected to lead: the tilt earns a positive active return, and the conflict
    # of the tilt with the tracking-error limit is that of a problem without the ratio.
    cons = [TILT, TrackingErrorLimit(0.01)]
    found = [
        diagnose(constituents, DATE, objective, None, cons, INDEX).conflicts
        for objective in (MinVariance(), MaxInformationRatio(bank_view(constituents, 1)))
    ]
    assert [c.name for c in found[1]] == [c.name for c in found[0]]
    assert {c.name for c in found[1]} == {"行业 银行 相对基准下限", "跟踪误差上限"}
    for ratio, plain in zip(*found, strict=True):
        assert ratio.relaxed == pytest.approx(plain.relaxed, abs=1e-4)
