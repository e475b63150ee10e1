"""Optimisations prepared ahead, pickled and solved later, against portfolio_optimize."""

import datetime
import pickle
import re
import warnings

import numpy as np
import pytest

import quotaris
from plovera import (
    InvalidArgument,
    MaxSharpeRatio,
    MinTrackingError,
    MinVariance,
    OptimizerWarning,
    RiskParity,
    TrackingErrorLimit,
    portfolio_optimize,
)
from plovera.prepared import PreparedOptimization, prepare_optimize

DATE = datetime.date(2023, 3, 15)
INDEX = "000300.XSHG"


pytestmark = pytest.mark.usefixtures("demo")


@pytest.fixture(scope="module")
def pool():
    return quotaris.index_weights(INDEX, DATE).index[:40].tolist()


def both(pool, objective, bnds=None, cons=None, benchmark=None, solve_bnds=None):
    """portfolio_optimize with the bounds a prepared problem is solved with, and that
    problem prepared, sent through pickle and solved."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        direct = portfolio_optimize(
            pool, DATE, objective(), {**(bnds or {}), **(solve_bnds or {})} or None, cons, benchmark
        )
        prepared = prepare_optimize(pool, DATE, objective(), bnds, cons, benchmark)
        later = pickle.loads(pickle.dumps(prepared)).solve(solve_bnds)
    return direct, later


@pytest.mark.parametrize(
    ("objective", "bnds", "cons", "index"),
    [
        (MinVariance, {"*": (0.0, 0.1)}, None, None),
        (RiskParity, None, None, None),
        (MinTrackingError, {"*": (0.0, 0.1)}, None, INDEX),
        (MaxSharpeRatio, {"*": (0.0, 0.2)}, [TrackingErrorLimit(0.08)], INDEX),
    ],
    ids=["min variance", "risk parity", "tracking", "sharpe"],
)
def test_a_prepared_problem_solves_as_portfolio_optimize(pool, objective, bnds, cons, index):
    direct, later = both(pool, objective, bnds, cons, index)
    # The same problem: the bounds only reach the solver's data by another sum.
    np.testing.assert_allclose(later.to_numpy(), direct.to_numpy(), rtol=0, atol=1e-6)
    assert list(later.index) == list(direct.index)


# Minimum variance keeps its factorised solver; the Sharpe ratio's variable scale
# makes its bounds coefficients, and its problem is built again at other bounds.
@pytest.mark.parametrize(("objective", "index"), [(MinVariance, None), (MaxSharpeRatio, INDEX)])
def test_bounds_set_at_solve_time_are_those_of_portfolio_optimize(pool, objective, index):
    held = {pool[0]: (0.03, 0.03), pool[1]: (0.0, 0.0), pool[2]: (0.1, None)}
    bnds = {"*": (0.0, 0.1), pool[0]: (0.0, 0.0)}
    direct, later = both(pool, objective, bnds, benchmark=index, solve_bnds=held)
    # The solver keeps the scaling of the data it factorised, at the prepared bounds:
    # the two agree to the solver's accuracy, not to the last digits.
    np.testing.assert_allclose(later.to_numpy(), direct.to_numpy(), rtol=0, atol=2e-5)
    assert later[pool[0]] == pytest.approx(0.03, abs=1e-3)
    assert later[pool[1]] == pytest.approx(0.0, abs=1e-3)
    assert later[pool[2]] >= 0.1 - 1e-3
    # A later solve starts from the prepared bounds again.
    prepared = prepare_optimize(pool, DATE, objective(), bnds, None, index)
    prepared.solve(held)
    unpinned, _ = both(pool, objective, bnds, benchmark=index)
    np.testing.assert_allclose(prepared.solve().to_numpy(), unpinned.to_numpy(), rtol=0, atol=2e-5)


def test_the_kept_factorisation_gives_the_same_weights_in_any_process(pool):
    prepared = prepare_optimize(pool, DATE, MinVariance(), {"*": (0.0, 0.1)})
    pins = {pool[0]: (0.03, 0.03), pool[5]: (0.02, 0.02)}
    # A copy made before the factorisation, and one made after it (without the solver).
    before = pickle.loads(pickle.dumps(prepared))
    prepared.factorize()
    after = pickle.loads(pickle.dumps(prepared))
    here = prepared.solve(pins).to_numpy()
    np.testing.assert_array_equal(before.solve(pins).to_numpy(), here)
    np.testing.assert_array_equal(after.solve(pins).to_numpy(), here)
    # The pins of one solve do not carry over into the next.
    fresh = prepare_optimize(pool, DATE, MinVariance(), {"*": (0.0, 0.1)}).solve()
    np.testing.assert_allclose(prepared.solve().to_numpy(), fresh.to_numpy(), rtol=0, atol=2e-5)


@pytest.mark.parametrize(
    ("bnds", "message"),
    [
        ({"600000.XSHG-not": (0.0, 0.0)}, "600000.XSHG-not 不在准备优化的股票池中"),
        ("first", "bnds 应该是一个类似 dict 的结构"),
        ({0: (0.0, 1.5)}, "上限 1.5 无效"),
        ({0: (float("nan"), 0.5)}, "下限 nan 无效"),
        ({0: (0.4, 0.2)}, "上限 0.2 小于下限 0.4"),
        ({0: 0.3}, "上下限应该以 (lower, upper) 的形式指定"),
        ({0: ("a", 0.3)}, "约束的上限或下限非法: a"),
        ({"*": (0.0, 0.0)}, "上限之和小于1"),  # "*" caps every stock not named
    ],
)
def test_bad_bounds_at_solve_time_are_refused_naming_them(pool, bnds, message):
    prepared = prepare_optimize(pool, DATE, MinVariance(), {"*": (0.0, 0.1)})
    if isinstance(bnds, dict):
        bnds = {pool[k] if k == 0 else k: v for k, v in bnds.items()}
    with pytest.raises(InvalidArgument, match=re.escape(message)):
        prepared.solve(bnds)


def test_bounds_need_a_problem_prepared_with_bounds(pool):
    prepared = prepare_optimize(pool, DATE, MinVariance())
    assert isinstance(prepared, PreparedOptimization)
    assert prepared.solve({}).sum() == pytest.approx(1.0)
    with pytest.raises(InvalidArgument, match="准备优化时未给出 bnds"):
        prepared.solve({pool[0]: (0.0, 0.0)})


def test_bounds_whose_sums_cannot_hold_are_refused(pool):
    prepared = prepare_optimize(pool[:3], DATE, MinVariance(), {"*": (0.0, 0.5)})
    with pytest.raises(InvalidArgument, match="上限之和小于1"):
        prepared.solve({pool[0]: (0.0, 0.2), pool[1]: (0.0, 0.2)})
    with pytest.raises(InvalidArgument, match="下限之和大于1"):
        prepared.solve({pool[0]: (0.6, 0.6), pool[1]: (0.5, 0.5)})


def test_a_pool_of_one_takes_all_the_weight(pool):
    prepared = pickle.loads(pickle.dumps(prepare_optimize(pool[:1], DATE)))
    assert prepared.solve() == {pool[0]: 1.0}


@pytest.mark.parametrize("objective", [MinVariance, MaxSharpeRatio])
def test_a_wildcard_at_solve_time_covers_the_stocks_not_named(pool, objective):
    solve_bnds = {"*": (0.0, 0.05), pool[0]: (0.02, 0.02)}
    direct, later = both(pool, objective, {"*": (0.0, 0.1)}, benchmark=INDEX, solve_bnds=solve_bnds)
    np.testing.assert_allclose(later.to_numpy(), direct.to_numpy(), rtol=0, atol=2e-5)
    assert later.max() <= 0.05 + 1e-4 and later[pool[0]] == pytest.approx(0.02, abs=1e-4)
