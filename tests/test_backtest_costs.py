"""Backtests charged by the A-share cost model, replayed by hand on a small market."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

import plovera
from plovera import AShareCosts, BacktestResult, Strategy, TransactionCostLimit, run_backtest
from plovera.exception import InvalidArgument
from plovera.trading import COST_KINDS

DAYS = pd.bdate_range("2022-06-01", "2023-10-31")
S = [f"60000{i}.XSHG" for i in range(5)]
#: Two rebalances on the last day of the 0.1 % stamp duty and the first of the 0.05 %.
REBALANCES = [pd.Timestamp(day) for day in ("2023-06-30", "2023-08-25", "2023-08-28", "2023-09-29")]


@pytest.fixture
def returns(traded_market):
    return traded_market(DAYS, S, seed=11)["returns"]


def backtest(cost, strategy=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plovera.OptimizerWarning)
        return run_backtest(
            strategy or Strategy(S, bnds={"*": (0.05, 0.5)}),
            REBALANCES[0].date(),
            DAYS[-1].date(),
            rebalance=[day.date() for day in REBALANCES],
            cost=cost,
        )


def replay(result: BacktestResult, returns: pd.DataFrame, costs: AShareCosts):
    """Each rebalance's costs by the model, from the holdings drifted to it and the value
    then, and the NAV after them."""
    held, cash, value = pd.Series(dtype=float), 1.0, 1.0
    charged, navs, previous = {}, {}, None
    for date in result.weights.index:
        if previous is not None:
            growth = (1.0 + returns.loc[previous:date].iloc[1:]).prod()
            grown = held * growth[held.index]
            total = grown.sum() + cash
            value, held, cash = value * total, grown / total, cash / total
        target = result.weights.loc[date]
        target = target[target > 0]
        worth = None if costs.capital is None else costs.capital * value
        charged[date] = costs.costs(date, held, target, worth)
        value *= 1.0 - charged[date].sum()
        navs[date], held, cash, previous = value, target, 1.0 - target.sum(), date
    return pd.DataFrame(charged).T, pd.Series(navs)


@pytest.mark.parametrize("capital", [None, 2e6])
def test_each_rebalance_pays_the_models_costs_of_its_trades(returns, capital):
    costs = AShareCosts(capital=capital)
    result = backtest(costs)
    expected, navs = replay(result, returns, costs)
    assert list(result.costs_by_kind.columns) == list(COST_KINDS)
    np.testing.assert_allclose(result.costs_by_kind.to_numpy(), expected.to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(result.costs_by_kind.sum(axis=1), result.costs, rtol=1e-12)
    np.testing.assert_allclose(result.nav[navs.index], navs, rtol=1e-9)
    # The first purchase sells nothing.
    stamp = result.costs_by_kind["stamp_duty"]
    assert stamp.iloc[0] == 0.0 and (stamp.iloc[1:] > 0).all()
    assert (expected["impact"] > 0).all() == (capital is not None)
    stats = result.stats()
    assert stats["total_cost"] == pytest.approx(result.costs.sum())
    for kind in COST_KINDS:
        assert stats[f"{kind}_cost"] == pytest.approx(expected[kind].sum())


def test_a_number_keeps_its_figures_and_is_one_flat_kind(returns):
    flat = backtest(0.001)
    np.testing.assert_allclose(flat.costs, 0.001 * 2 * flat.turnover, rtol=1e-12)
    pd.testing.assert_frame_equal(flat.costs_by_kind, flat.costs.rename("flat").to_frame())
    stats = flat.stats()
    assert stats["total_cost"] == pytest.approx(flat.costs.sum())
    assert all(math.isnan(stats[f"{kind}_cost"]) for kind in COST_KINDS)
    free = AShareCosts(commission=0.0, stamp_duty=0.0, transfer_fee=0.0, capital=None)
    pd.testing.assert_series_equal(backtest(free).nav, backtest(0.0).nav)


def test_saving_keeps_the_split_and_old_runs_load_as_flat(returns, tmp_path):
    result = backtest(AShareCosts(capital=2e6))
    result.save(tmp_path / "run")
    loaded = BacktestResult.load(tmp_path / "run")
    pd.testing.assert_frame_equal(loaded.costs_by_kind, result.costs_by_kind, check_freq=False)
    pd.testing.assert_series_equal(loaded.stats(), result.stats())
    # A run saved before costs were split by kind has no costs.parquet.
    (tmp_path / "run" / "costs.parquet").unlink()
    old = BacktestResult.load(tmp_path / "run")
    pd.testing.assert_frame_equal(
        old.costs_by_kind, result.costs.rename("flat").to_frame(), check_freq=False
    )


LINEAR = AShareCosts()
LIMIT = 3e-5


def cost_limited(date, holdings):
    """The cost limit from the drifted holdings, after the first purchase."""
    return [TransactionCostLimit(holdings, LIMIT, LINEAR)] if len(holdings) else []


def test_a_cost_limit_from_the_holdings_bounds_every_rebalance_after_the_first(returns):
    free = backtest(LINEAR)
    limited = backtest(LINEAR, Strategy(S, bnds={"*": (0.05, 0.5)}, cons=cost_limited))
    assert free.costs.iloc[1:].max() > 1.5 * LIMIT
    assert limited.costs.iloc[1:].max() == pytest.approx(LIMIT, rel=1e-3)


def test_a_rebalance_costing_all_the_value_is_refused(returns):
    with pytest.raises(InvalidArgument, match="rebalance of 2023-06-30 would cost"):
        backtest(AShareCosts(impact=1e4, capital=1e9))
