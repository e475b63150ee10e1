"""Holdings constraints: small pools whose best support is found by enumeration, the
counting checks against enumeration of subsets, and the calls end to end on the demo market."""

import datetime
import itertools
import re

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

import quotaris
from plovera import (
    IndexBenchmark,
    IndustryConstraint,
    InvalidArgument,
    MaxHoldings,
    MaxIndicator,
    MaxSharpeRatio,
    MeanVariance,
    MinPosition,
    MinTrackingError,
    MinVariance,
    OptimizationFailed,
    OptimizerWarning,
    RiskParity,
    Strategy,
    WildcardIndustryConstraint,
    diagnose,
    portfolio_optimize,
    run_backtest,
)
from plovera.const import CovModel, IndustryClassification
from plovera.helper import OptimizeHelper
from plovera.holdings import PreparedHoldings, last_report
from plovera.holdings import solve as holdings_solve
from plovera.holdings.counting import Counts, needed_names, shortfall
from plovera.holdings.problem import Setting, Space
from plovera.holdings.quadratic import LinearRows
from plovera.holdings.search import _minimum
from plovera.prepared import prepare_optimize

DATE = datetime.date(2023, 3, 15)
INDEX = "000300.XSHG"
# SCS and Clarabel hold weights to about this.
WEIGHT_TOL = 1e-3


# --- counting, against enumeration of subsets --------------------------------------


def enumerated(lower, upper, m, max_names, groups):
    """Whether some set of stocks keeps to bounds, counts and minimum, by enumeration."""
    n = len(lower)
    forced = {i for i in range(n) if lower[i] > 0}
    for size in range(n + 1):
        for chosen in itertools.combinations(range(n), size):
            if not forced <= set(chosen) or (max_names is not None and size > max_names):
                continue
            if any(sum(mask[i] for i in chosen) > count for _, mask, count in groups):
                continue
            floors = [max(lower[i], m) for i in chosen]
            if any(upper[i] < f for i, f in zip(chosen, floors, strict=True)):
                continue
            if sum(floors) <= 1 + 1e-9 and sum(upper[i] for i in chosen) >= 1 - 1e-9:
                return True
    return False


@pytest.mark.parametrize("seed", range(40))
def test_counting_decides_as_enumeration_does(seed):
    rng = np.random.default_rng(seed)
    n = 7
    upper = rng.choice([0.1, 0.2, 0.35, 0.5, 1.0], n)
    lower = np.where(rng.random(n) < 0.2, rng.choice([0.05, 0.3], n), 0.0)
    lower = np.minimum(lower, upper)
    m = float(rng.choice([0.0, 0.1, 0.3, 0.45]))
    max_names = int(rng.integers(1, 5)) if rng.random() < 0.8 else None
    mask = rng.random(n) < 0.4
    groups = (("A", mask, int(rng.integers(0, 3))),) if rng.random() < 0.5 else ()
    found = shortfall([f"s{i}" for i in range(n)], lower, upper, m, Counts(max_names, groups))
    assert (found is None) == enumerated(lower, upper, m, max_names, groups)
    if found is not None and found.max_names is not None:
        # The least count that would do, and no smaller one.
        assert enumerated(lower, upper, m, found.max_names, groups)
        assert not enumerated(lower, upper, m, found.max_names - 1, groups)
    if found is not None and found.min_weight is not None:
        assert enumerated(lower, upper, found.min_weight, max_names, groups)
        assert not enumerated(lower, upper, found.min_weight + 2e-6, max_names, groups)


def has_portfolio(support, matrix, offset, equal, upper, floor):
    """Whether weights on ``support``, each in [floor, upper], add up to 1 and meet the rows."""
    from scipy.optimize import linprog

    if not len(support):
        return False
    a, b = matrix[:, support], -offset
    equalities = np.vstack([np.ones(len(support)), a[equal]])
    found = linprog(
        np.zeros(len(support)),
        A_ub=a[~equal] if (~equal).any() else None,
        b_ub=b[~equal] if (~equal).any() else None,
        A_eq=equalities,
        b_eq=np.append(1.0, b[equal]),
        bounds=list(zip(floor[support], upper[support], strict=True)),
    )
    return found.status == 0


@pytest.mark.parametrize("seed", range(20))
def test_what_the_other_limits_need_bounds_every_portfolio(seed):
    """Industries' lower and upper weights: no portfolio holds fewer stocks than they
    are said to need, none exists where a group is said to be crowded, and the screen
    of supports lets every support with a portfolio through."""
    rng = np.random.default_rng(seed)
    n = 7
    industry = rng.integers(0, 4, n)  # the fourth has no limits
    upper = rng.choice([0.15, 0.3, 0.6, 1.0], n)
    floor = np.full(n, float(rng.choice([0.0, 0.1, 0.3])))
    rows, offset, equal = [], [], []
    for k in range(3):
        members = (industry == k).astype(float)
        low, high = sorted(rng.uniform(0, 0.5, 2))
        rows += [-members, members]  # low - Σ g <= 0 and Σ g - high <= 0
        offset += [low, -high]
        equal += [False, False]
    matrix, offset, equal = np.array(rows), np.array(offset), np.array(equal)
    needs = needed_names(sp.csc_matrix(matrix), offset, equal, upper, floor)
    rows = LinearRows(sp.csc_matrix(matrix), offset, equal, [len(offset)])
    sizes = []
    for size in range(1, n + 1):
        for support in map(list, itertools.combinations(range(n), size)):
            inside = np.isin(np.arange(n), support)
            reachable = rows.reachable(np.where(inside, floor, 0), np.where(inside, upper, 0))
            if has_portfolio(support, matrix, offset, equal, upper, floor):
                assert reachable, support  # the screen never turns a portfolio away
                sizes.append(size)
    assert not sizes or (min(sizes) >= needs.names and not needs.crowded)


# --- the constraint objects ---------------------------------------------------------


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: MaxHoldings(0), "n 应为不小于 1 的整数，传入值为: 0"),
        (lambda: MaxHoldings(2.5), "n 应为非负整数，传入值为: 2.5"),
        (lambda: MaxHoldings(), "MaxHoldings 需要 n 或非空的 industry_limits"),
        (
            lambda: MaxHoldings(5, {"银行": -1}),
            "industry_limits['银行'] 应为非负整数，传入值为: -1",
        ),
        (lambda: MaxHoldings(5, {"水产": 1}), "未知的行业 '水产'"),
        (lambda: MaxHoldings(5, method="fast"), "method 应为 auto, exact, heuristic 之一"),
        (lambda: MaxHoldings(5, time_limit=0), "time_limit 应为正的秒数，传入值为: 0"),
        (lambda: MinPosition(0), "weight 应在 (0, 1] 之间，传入值为: 0"),
        (lambda: MinPosition(float("nan")), "weight 应在 (0, 1] 之间，传入值为: nan"),
    ],
)
def test_bad_arguments_are_refused_by_name(make, message):
    with pytest.raises(InvalidArgument, match=f"^{re.escape(message)}"):
        make()


def test_industries_are_read_by_name_or_code_in_the_scheme():
    rule = MaxHoldings(10, {"银行": 2}, classification="CITIC")
    assert rule.classification is IndustryClassification.CITIC
    assert rule.industry_limits == {"银行": 2}
    rule = MaxHoldings(10, {"801780": 2, "银行": 3, "801080": 1})
    assert rule.industry_limits == {"银行": 2, "电子": 1}


def test_outside_a_list_the_constraint_says_where_it_belongs():
    with pytest.raises(InvalidArgument, match="不是凸约束"):
        MaxHoldings(3).to_constraints(cp.Variable(3), 1.0, None)


# --- small pools on the demo market, against enumeration of supports ----------------


@pytest.fixture(scope="module")
def small(demo):
    """Eight constituents of the index, the heaviest, and the data to judge them by."""
    weights = quotaris.index_weights(INDEX, DATE)
    pool = sorted(weights.sort_values(ascending=False).index[:8])
    helper = OptimizeHelper(pool, DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY)
    return pool, helper


def covariance(model):
    x = model.exposures.to_numpy()
    return x @ model.factor_covariance.to_numpy() @ x.T + np.diag(model.specific_variance)


def judge(kind, helper):
    """The objective of a portfolio of the pool, computed from the factor model here."""
    if kind == "tracking":
        sigma = covariance(helper.get_union_factor_model())
        b = helper.benchmark_weight.to_numpy()
        n = len(helper.order_book_ids)

        def value(w):
            active = np.concatenate([w, np.zeros(len(b) - n)]) - b
            return active @ sigma @ active

        return value
    sigma = covariance(helper.get_factor_model())
    return lambda w: w @ sigma @ w


def best_by_enumeration(kind, helper, cap, m, max_names):
    """The best portfolio of at most ``max_names`` stocks, each in [m, cap] when held."""
    n = len(helper.order_book_ids)
    value = judge(kind, helper)
    if kind == "tracking":
        sigma = covariance(helper.get_union_factor_model())
        b = helper.benchmark_weight.to_numpy()
    else:
        sigma, b = covariance(helper.get_factor_model()), np.zeros(n)
    best = (np.inf, None)
    for size in range(1, max_names + 1):
        for chosen in itertools.combinations(range(n), size):
            if size * cap < 1 - 1e-9 or size * m > 1 + 1e-9:
                continue
            w = cp.Variable(size)
            s = list(chosen)
            # Active weights over the union: the chosen stocks minus the benchmark.
            full = np.zeros((len(b), size))
            full[s, range(size)] = 1
            objective = cp.quad_form(full @ w - b, cp.psd_wrap(sigma))
            problem = cp.Problem(cp.Minimize(objective), [cp.sum(w) == 1, w >= m, w <= cap])
            problem.solve(solver=cp.CLARABEL)
            weights = np.zeros(n)
            weights[s] = w.value
            if value(weights) < best[0]:
                best = (value(weights), weights)
    return best


CASES = [
    pytest.param("tracking", 0.6, 0.0, 3, id="tracking, 3 names"),
    pytest.param("tracking", 0.6, 0.3, 3, id="tracking, 3 names, 30% minimum"),
    pytest.param("variance", 0.5, 0.0, 2, id="variance, 2 names"),
    pytest.param("variance", 1.0, 0.35, 4, id="variance, 35% minimum"),
]


def call(kind, pool, cap, m, max_names, method):
    objective = MinTrackingError() if kind == "tracking" else MinVariance()
    cons = [MaxHoldings(max_names, method=method)]
    if m:
        cons.append(MinPosition(m))
    return portfolio_optimize(pool, DATE, objective, {"*": (0, cap)}, cons, INDEX)


@pytest.mark.parametrize(("kind", "cap", "m", "max_names"), CASES)
def test_exact_finds_the_best_support(small, kind, cap, m, max_names):
    pool, helper = small
    best, best_weights = best_by_enumeration(kind, helper, cap, m, max_names)
    weights = call(kind, pool, cap, m, max_names, "exact")
    report = weights.attrs["holdings"]
    assert report.method == "exact" and report.proven_optimal
    np.testing.assert_allclose(weights.to_numpy(), best_weights, atol=WEIGHT_TOL)
    assert report.objective == pytest.approx(best, rel=1e-4)
    assert judge(kind, helper)(weights.to_numpy()) == pytest.approx(best, rel=1e-3)


@pytest.mark.parametrize(("kind", "cap", "m", "max_names"), CASES)
def test_the_heuristic_gap_bounds_its_distance_from_the_best(small, kind, cap, m, max_names):
    pool, helper = small
    best, _ = best_by_enumeration(kind, helper, cap, m, max_names)
    weights = call(kind, pool, cap, m, max_names, "heuristic")
    report = last_report()
    assert report is weights.attrs["holdings"] and report.method == "heuristic"
    found = judge(kind, helper)(weights.to_numpy())
    assert found == pytest.approx(report.objective, rel=1e-3)
    # The bound is below the best, and the gap covers the distance to it.
    assert report.bound <= best * (1 + 1e-4)
    assert found - best <= report.gap * abs(found) + 1e-4 * best


INDUSTRIES = ["建筑装饰", "家用电器", "电力设备"]


@pytest.fixture(scope="module")
def best_with_industries(small):
    """The best tracking error of three names of the small pool with 10% or more in
    each of ``INDUSTRIES``, by enumeration."""
    pool, helper = small
    names = helper.get_industry(IndustryClassification.SWS).to_numpy(dtype=object)[: len(pool)]
    sigma = covariance(helper.get_union_factor_model())
    b = helper.benchmark_weight.to_numpy()
    best = np.inf
    for chosen in map(list, itertools.combinations(range(len(pool)), 3)):
        if not set(INDUSTRIES) <= set(names[chosen]):
            continue  # an industry without a stock cannot reach 10%
        w = cp.Variable(3)
        full = np.zeros((len(b), 3))
        full[chosen, range(3)] = 1
        rows = [cp.sum(w) == 1, w >= 0, w <= 0.6]
        rows += [(names[chosen] == industry).astype(float) @ w >= 0.1 for industry in INDUSTRIES]
        problem = cp.Problem(cp.Minimize(cp.quad_form(full @ w - b, cp.psd_wrap(sigma))), rows)
        problem.solve(solver=cp.CLARABEL)
        if problem.status == cp.OPTIMAL:
            best = min(best, problem.value)
    return names, best


@pytest.mark.parametrize("method", ["exact", "heuristic"])
def test_industry_lower_weights_enter_the_bound_and_keep_it_below_the_best(
    small, best_with_industries, method
):
    """Three industries each need a stock of three names: the bound knows it, and
    stays below the best portfolio."""
    pool, _ = small
    names, best = best_with_industries
    cons = [IndustryConstraint(INDUSTRIES, lower_limit=0.1), MaxHoldings(3, method=method)]
    weights = portfolio_optimize(pool, DATE, MinTrackingError(), {"*": (0, 0.6)}, cons, INDEX)
    report = weights.attrs["holdings"]
    assert report.bound <= best * (1 + 1e-6) and report.objective >= best * (1 - 1e-6)
    assert set(INDUSTRIES) <= set(names[weights.to_numpy() > 0]) and (weights > 0).sum() == 3
    if method == "exact":
        assert report.proven_optimal and report.objective == pytest.approx(best, rel=1e-4)


def space_of(pool, helper, objective, m=0.0, max_names=3):
    n = len(pool)
    setting = Setting(
        ids=pool,
        objective=objective,
        helper=helper,
        cons=[],
        lower=np.zeros(n),
        upper=np.ones(n),
        floor=np.full(n, m),
        counts=Counts(max_names, ()),
        min_weight=m,
        variable_scale=isinstance(objective, MaxSharpeRatio),
    )
    return Space(setting)


@pytest.mark.parametrize("make", [MinTrackingError, MinVariance, MaxSharpeRatio])
def test_prices_are_the_gradient_of_the_lagrangian(small, make):
    """The recognised form's gradient stands in for cvxpy's: both price alike."""
    pool, helper = small
    space = space_of(pool, helper, make())
    assert space.form is not None
    trial = space.on([0, 2, 5])
    prices = space.prices(trial)  # which sets the variables' values at the trial
    rows = [row for row in space.rows if isinstance(row, cp.constraints.Equality)]
    assert len(rows) == len(trial.duals)
    terms = [cp.sum(cp.multiply(d, r.expr)) for d, r in zip(trial.duals, rows, strict=True)]
    gradient = (space.expression + cp.sum(cp.hstack(terms))).grad.get(space.g)
    expected = np.asarray(gradient.todense()).ravel()
    assert np.abs(expected).max() > 0
    np.testing.assert_allclose(prices, expected, rtol=1e-8, atol=1e-12)


def programme_space(pool, helper, objective, m, cons, lower, groups):
    n = len(pool)
    counts = Counts(12, tuple(("银行", mask, 1) for mask in groups))
    setting = Setting(
        pool,
        objective,
        helper,
        cons,
        lower,
        np.full(n, 0.2),
        np.maximum(lower, m),
        counts,
        m,
        False,
    )
    return Space(setting)


PROGRAMMES = [
    pytest.param(MinTrackingError(), 0.0, [], False, False, id="tracking"),
    pytest.param(MinVariance(), 0.0, [], True, False, id="variance, a stock held"),
    pytest.param(
        MinTrackingError(),
        0.02,
        [IndustryConstraint("银行", lower_limit=0.05, upper_limit=0.15)],
        False,
        True,
        id="tracking, industry limits and count",
    ),
]


@pytest.mark.parametrize(("objective", "m", "cons", "held", "grouped"), PROGRAMMES)
def test_the_direct_programmes_solve_the_compiled_problems(
    constituents, objective, m, cons, held, grouped
):
    """A recognised form under linear constraints skips cvxpy: the support problem and
    the relaxation written out for Clarabel find the compiled problems' optimum, and
    their multipliers price the stocks alike."""
    pool = constituents
    helper = OptimizeHelper(pool, DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY)
    n = len(pool)
    lower = np.where(np.arange(n) == 7, 0.04, 0.0) if held else np.zeros(n)
    banks = helper.get_industry(IndustryClassification.SWS).to_numpy(dtype=object)[:n] == "银行"
    groups = [banks] if grouped else []
    space = programme_space(pool, helper, objective, m, cons, lower, groups)
    assert space.programme is not None
    compiled = programme_space(pool, helper, objective, m, cons, lower, groups)
    compiled.programme = None
    relaxed, expected = space.relax(), compiled.relax()
    assert relaxed.value == pytest.approx(expected.value, rel=1e-6)
    support = np.union1d(np.flatnonzero(banks)[:3], [0, 7, 11, 20, 31, 40, 52])
    penalty = np.linspace(0, 1e-4, n)
    for floor, costs in [(False, None), (True, None), (False, penalty)]:
        direct = space.on(support, floor=floor, penalty=costs)
        solved = compiled.on(support, floor=floor, penalty=costs)
        assert direct.value == pytest.approx(solved.value, rel=1e-6)
        np.testing.assert_allclose(direct.weights, solved.weights, atol=1e-5)
        scale = np.abs(compiled.prices(solved)).max()
        np.testing.assert_allclose(space.prices(direct), compiled.prices(solved), atol=1e-5 * scale)


@pytest.mark.parametrize("support", [[0, 2, 5], [1, 3], list(range(8))])
def test_the_least_value_on_a_support_bounds_its_optimum(small, support):
    """Below the optimum with the minimum positions, and equal to it where no bound binds."""
    pool, helper = small
    space = space_of(pool, helper, MinTrackingError(), m=0.1)
    least = space.least(support)
    assert least <= space.on(support, floor=True).value * (1 + 1e-7)
    free = space.on(support, floor=False)
    if free.weights[support].min() > 1e-4:
        assert least == pytest.approx(free.value, rel=1e-6)


@pytest.mark.parametrize(("m", "solves"), [(0.05, 0), (0.31, 1)])
def test_the_minimum_is_solved_for_only_when_a_holding_is_below_it(small, m, solves):
    pool, helper = small
    space = space_of(pool, helper, MinTrackingError(), m=m)
    trial = space.on([0, 2, 5], floor=False)
    assert trial.weights[[0, 2, 5]].min() < 0.31 <= trial.weights.max()
    before = space.solves
    found = _minimum(space, trial, 1e-4)
    assert space.solves - before >= solves and (solves or found is trial)
    assert found.weights[found.support].min() >= m - 1e-6


# --- every objective keeps to the counts and the thresholds -----------------------


@pytest.fixture(scope="module")
def constituents(demo):
    return sorted(quotaris.index_weights(INDEX, DATE).index)[:60]


def alpha(pool, seed=3):
    return pd.Series(np.random.default_rng(seed).normal(0, 0.05, len(pool)), index=pool)


OBJECTIVES = [
    pytest.param(lambda pool: MinVariance(), id="min variance"),
    pytest.param(lambda pool: MinTrackingError(), id="min tracking error"),
    pytest.param(lambda pool: MeanVariance(alpha(pool)), id="mean variance"),
    pytest.param(lambda pool: MaxSharpeRatio(alpha(pool) + 0.1), id="max Sharpe"),
    pytest.param(lambda pool: MaxIndicator(alpha(pool)), id="max indicator"),
    pytest.param(lambda pool: RiskParity(), id="risk parity"),
]


@pytest.mark.parametrize("make", OBJECTIVES)
def test_every_objective_keeps_to_counts_thresholds_and_bounds(constituents, make):
    banks = {"银行": 1, "电子": 2}
    cons = [MaxHoldings(12, industry_limits=banks, method="heuristic"), MinPosition(0.04)]
    cons.append(IndustryConstraint("医药生物", upper_limit=0.3))
    weights = portfolio_optimize(
        constituents, DATE, make(constituents), {"*": (0, 0.2)}, cons, INDEX
    )
    held = weights[weights > 0]
    assert weights.sum() == pytest.approx(1.0, abs=1e-9)
    assert len(held) <= 12 and held.min() >= 0.04 - 1e-9 and held.max() <= 0.2 + 1e-9
    industries = quotaris.get_industry(list(held.index), DATE, "sws")
    for industry, limit in banks.items():
        assert (industries == industry).sum() <= limit
    assert weights[industries.index[industries == "医药生物"]].sum() <= 0.3 + WEIGHT_TOL
    report = weights.attrs["holdings"]
    assert report.holdings == len(held) and (report.gap is None) == isinstance(
        make(constituents), RiskParity
    )


def test_constraints_that_do_not_bind_leave_the_problem_as_it_is(constituents):
    plain = portfolio_optimize(constituents, DATE, MinVariance(), {"*": (0, 0.2)})
    weights = portfolio_optimize(
        constituents, DATE, MinVariance(), {"*": (0, 0.2)}, (MaxHoldings(100),)
    )
    pd.testing.assert_series_equal(weights, plain, check_exact=False, atol=1e-9)
    assert weights.attrs["holdings"].method == "continuous"


# --- soft constraints and conflicts ---------------------------------------------------


def test_soft_holdings_constraints_are_dropped_with_the_soft_group(constituents):
    cons = [MaxHoldings(3, hard=False), IndustryConstraint("银行", upper_limit=0.05, hard=False)]
    with pytest.warns(OptimizerWarning, match="^约束无法满足，放弃所有软约束重试$"):
        weights = portfolio_optimize(constituents, DATE, MinVariance(), {"*": (0, 0.2)}, cons)
    plain = portfolio_optimize(constituents, DATE, MinVariance(), {"*": (0, 0.2)})
    np.testing.assert_allclose(weights.to_numpy(), plain.to_numpy(), atol=1e-9)
    assert weights.attrs["holdings"].soft_dropped


def test_a_hard_count_stays_when_the_soft_minimum_is_dropped(constituents):
    cons = [MaxHoldings(6), MinPosition(0.3, hard=False)]
    with pytest.warns(OptimizerWarning, match="放弃所有软约束"):
        weights = portfolio_optimize(constituents, DATE, MinVariance(), {"*": (0, 0.25)}, cons)
    assert (weights > 0).sum() <= 6 and weights.attrs["holdings"].soft_dropped


CONFLICTS = [
    pytest.param(
        [MaxHoldings(10), MinPosition(0.05)],
        0.05,
        "最多持有 10 只，最小持仓 5.00%：至多持有 10 只股票，其上限之和最多为 50.00%，不足 100%",
        ("最多持有股票数", 10, 20),
        id="ten names of at most 5%",
    ),
    pytest.param(
        [MinPosition(0.2)],
        0.1,
        "最小持仓 20.00%：最小持仓 20.00% 高于每只股票的上限（最大为 10.00%）",
        ("最小持仓", 0.2, 0.1),
        id="a minimum above every cap",
    ),
    pytest.param(
        [MinPosition(0.6), MaxHoldings(5)],
        0.7,
        "最多持有 5 只，最小持仓 60.00%：至少要持有 2 只股票，上限之和才能达到 100%，而每只不低于"
        "最小持仓 60.00%，合计至少 120.00%，超过 100%",
        ("最小持仓", 0.6, 0.5),
        id="two minimum positions above 100%",
    ),
]


@pytest.mark.parametrize(("cons", "cap", "message", "relaxation"), CONFLICTS)
def test_impossible_combinations_are_named_with_their_numbers(
    constituents, cons, cap, message, relaxation
):
    bnds = {"*": (0, cap)}
    with pytest.raises(OptimizationFailed) as raised:
        portfolio_optimize(constituents, DATE, MinVariance(), bnds, cons)
    assert raised.value.args == (message,)
    found = diagnose(constituents, DATE, MinVariance(), bnds, cons)
    name, limit, relaxed = relaxation
    named = next(c for c in found.conflicts if c.name.startswith(name))
    assert not found.feasible and named.limit == pytest.approx(limit)
    assert named.relaxed == pytest.approx(relaxed, abs=1e-5)


NEEDED = [
    pytest.param("names", 15, "合计至少需要持有 \\d+ 只股票，多于 15 只", id="too few names"),
    pytest.param("minimum", 0.03, "其下限要求持有的只数多于其上限", id="too large a minimum"),
    pytest.param("minimum alone", 0.03, "其下限要求持有的只数多于其上限", id="no count"),
]


@pytest.mark.parametrize(("limited", "limit", "message"), NEEDED)
def test_limits_the_industry_weights_cannot_meet_are_named(demo, limited, limit, message):
    """Industries held near the index's weights: each needs a stock, and a minimum
    position above an industry's upper weight leaves it none.  The refusal says so and
    the diagnosis relaxes the limit: the relaxed count has a portfolio; the relaxed
    minimum is refused no more for that reason (the heuristic may still find none so
    close to the edge), and a little above it is."""
    pool = sorted(quotaris.index_weights(INDEX, DATE).index)
    neutral = WildcardIndustryConstraint(lower_limit=-0.005, upper_limit=0.005, relative=True)

    def cons(value):
        if limited == "names":
            return [neutral, MaxHoldings(int(value))]
        count = [MaxHoldings(120)] if limited == "minimum" else []
        return [neutral, *count, MinPosition(value)]

    with pytest.raises(OptimizationFailed, match=message):
        portfolio_optimize(pool, DATE, MinTrackingError(), None, cons(limit), INDEX)
    found = diagnose(pool, DATE, MinTrackingError(), None, cons(limit), INDEX)
    [named] = found.conflicts
    assert not found.feasible and named.limit == limit and named.relaxed is not None
    if limited == "names":
        weights = portfolio_optimize(
            pool, DATE, MinTrackingError(), None, cons(named.relaxed), INDEX
        )
        assert (weights > 0).sum() <= named.relaxed < len(pool)
        return
    assert 0 < named.relaxed < limit
    with pytest.raises(OptimizationFailed, match=message):
        portfolio_optimize(pool, DATE, MinTrackingError(), None, cons(named.relaxed * 1.01), INDEX)
    try:
        portfolio_optimize(pool, DATE, MinTrackingError(), None, cons(named.relaxed), INDEX)
    except OptimizationFailed as error:
        assert not re.search(message, str(error))


class AtMostTheSecond:
    """The first stock of the pool held at most as much as the second."""

    hard = True

    def to_constraints(self, g, zeta, helper):
        return [g[0] <= g[1]]


def test_a_count_the_relaxation_cannot_meet_is_named_with_the_least_it_needs(constituents):
    """Five names would do by the bounds (the first may take 60%), but held at most as
    much as the second (10%), the first leaves 90% to stocks of 10%: the relaxation
    names the count, and the relaxed count has a portfolio."""
    bnds = {"*": (0, 0.1), constituents[0]: (0, 0.6)}
    cons = [AtMostTheSecond(), MaxHoldings(5)]
    with pytest.raises(OptimizationFailed):
        portfolio_optimize(constituents, DATE, MinVariance(), bnds, cons)
    [named] = diagnose(constituents, DATE, MinVariance(), bnds, cons).conflicts
    assert "松弛问题至少需要 10 只" in named.name and named.relaxed == 10
    relaxed = [AtMostTheSecond(), MaxHoldings(10)]
    weights = portfolio_optimize(constituents, DATE, MinVariance(), bnds, relaxed)
    np.testing.assert_allclose(np.sort(weights.to_numpy())[-10:], 0.1, atol=1e-6)


def test_a_large_pool_is_searched_among_the_stocks_the_relaxation_leans_on(
    constituents, monkeypatch
):
    """As a 5,000-stock pool is, here with a threshold of 30 stocks for 60: the same
    bound, the counts kept, about as good a portfolio as the whole pool's search."""
    arguments = (constituents, DATE, MinTrackingError(), {"*": (0, 0.3)}, [MaxHoldings(8)])
    whole = portfolio_optimize(*arguments, INDEX).attrs["holdings"]
    monkeypatch.setattr(holdings_solve, "SEARCHED_STOCKS", 30)
    weights = portfolio_optimize(*arguments, INDEX)
    report = weights.attrs["holdings"]
    assert (weights > 0).sum() <= 8 and report.bound == pytest.approx(whole.bound, rel=1e-9)
    assert whole.bound <= report.objective <= whole.objective * 1.05


# --- prepared problems and backtests ----------------------------------------------------


def test_prepared_calls_solve_with_new_bounds(constituents):
    cons = [MaxHoldings(8), MinPosition(0.05)]
    prepared = prepare_optimize(constituents, DATE, MinVariance(), {"*": (0, 0.3)}, cons)
    assert isinstance(prepared, PreparedHoldings)
    pinned = constituents[-1]
    weights = prepared.solve({pinned: (0.07, 0.07)})
    assert weights[pinned] == pytest.approx(0.07) and (weights > 0).sum() <= 8
    again = prepared.solve()
    direct = portfolio_optimize(constituents, DATE, MinVariance(), {"*": (0, 0.3)}, cons)
    np.testing.assert_allclose(again.to_numpy(), direct.to_numpy(), atol=WEIGHT_TOL)
    with pytest.raises(InvalidArgument, match="^合约 000001.XSHG.X 不在准备优化的股票池中$"):
        prepared.solve({"000001.XSHG.X": (0, 0.1)})


def test_a_backtest_keeps_to_the_counts_on_every_date(demo, tmp_path):
    """And says, date by date, how they were solved and how far from the bound."""
    strategy = Strategy(
        INDEX,
        MinTrackingError(),
        bnds={"*": (0, 0.06)},
        cons=[MaxHoldings(25), MinPosition(0.02)],
        benchmark=INDEX,
    )
    result = run_backtest(strategy, "2023-01-01", "2023-04-30", rebalance="monthly")
    held = result.weights.gt(0)
    assert not result.failures and (held.sum(axis=1) <= 25).all()
    assert (result.weights.where(held).min(axis=1) >= 0.02 - 1e-9).all()
    reports = result.holdings
    pd.testing.assert_index_equal(reports.index, result.weights.index)
    assert (reports["method"] == "heuristic").all()
    np.testing.assert_array_equal(reports["holdings"], held.sum(axis=1))
    gaps = (reports["objective"] - reports["bound"]) / reports["objective"]
    np.testing.assert_allclose(reports["gap"], gaps, rtol=1e-9)
    assert f"holdings limits: heuristic on {len(reports)} dates" in result.summary()
    loaded = type(result).load(result.save(tmp_path / "run"))
    pd.testing.assert_frame_equal(loaded.holdings, reports)
