"""The A-share cost model against closed forms, and the cost limit in optimisations."""

import itertools
import math
import pickle
import re
import warnings
from functools import partial

import numpy as np
import pandas as pd
import pytest

import plovera
import quotaris
from plovera import AShareCosts, TransactionCostLimit
from plovera.exception import InvalidArgument
from plovera.trading import COST_KINDS

DAYS = pd.bdate_range("2023-06-01", "2023-09-29")
A, B, C, D = STOCKS = [f"60000{i}.XSHG" for i in range(4)]
BEFORE, AFTER = "2023-08-25", "2023-08-28"
RATES = {BEFORE: 0.001, AFTER: 0.0005}
#: The 20 trading days before AFTER, as positions in DAYS.
WINDOW = slice(DAYS.get_loc(AFTER) - 20, DAYS.get_loc(AFTER))


def model(**options):
    settings = dict(commission=0.0003, min_commission=5.0, transfer_fee=0.00001, impact=0.8)
    return AShareCosts(**(settings | options))


def window_liquidity(tables, date, days=20):
    """Volatility and mean traded value over the ``days`` trading days before ``date``."""
    end = DAYS.get_loc(pd.Timestamp(date))
    rows = slice(max(end - days, 0), end)
    traded = (tables["turnover"] * tables["float_cap"]).iloc[rows]
    return tables["returns"].iloc[rows].std(ddof=1), traded.mean()


@pytest.mark.parametrize("date", [BEFORE, AFTER])
@pytest.mark.parametrize("value", [None, 1e6])
def test_costs_by_kind_against_closed_forms(traded_market, date, value):
    tables = traded_market(DAYS, STOCKS, seed=3)
    before = pd.Series({A: 0.5, B: 0.3, C: 0.2})
    after = pd.Series({A: 0.2, B: 0.30002, D: 0.49998})
    costs = model().costs(date, before, after, value)
    assert list(costs.index) == list(COST_KINDS)
    if value is None:
        commission, impact = 0.0003 * 1.0, 0.0
    else:
        # B's order of 20 yuan pays the 5 yuan minimum; the others pay 0.03 %.
        commission = (90.0 + 5.0 + 60.0 + 149.994) / 1e6
        volatility, traded = window_liquidity(tables, date)
        change = pd.Series({A: 0.3, B: 0.00002, C: 0.2, D: 0.49998})
        impact = sum(
            0.8 * volatility[i] * math.sqrt(change[i] * value / traded[i]) * change[i]
            for i in change.index
        )
    expected = [commission, RATES[date] * 0.5, 0.00001 * 1.0, impact]
    np.testing.assert_allclose(costs.to_numpy(), expected, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("date", [BEFORE, AFTER])
@pytest.mark.parametrize(
    ("before", "after", "sold"),
    [
        ({}, {A: 1.0}, 0.0),
        ({A: 1.0}, {A: 0.4}, 0.6),
        ({A: 0.6, B: 0.4}, {B: 0.7, C: 0.3}, 0.6),
    ],
    ids=["buy from cash", "sell to cash", "swap"],
)
def test_stamp_duty_is_on_sales_only_at_the_trade_dates_rate(
    traded_market, date, before, after, sold
):
    traded_market(DAYS, STOCKS, seed=3)
    costs = model().costs(date, pd.Series(before, dtype=float), pd.Series(after, dtype=float))
    assert costs["stamp_duty"] == pytest.approx(RATES[date] * sold, abs=1e-15)


@pytest.mark.parametrize(
    ("schedule", "date", "rate"),
    [
        (0.002, "2001-01-02", 0.002),
        ({"2020-01-01": 0.003, "2021-06-01": 0.0}, "2021-05-31", 0.003),
        ([("2021-06-01", 0.0), ("2020-01-01", 0.003)], "2021-06-01", 0.0),
        (plovera.trading.STAMP_DUTY, "2008-09-19", 0.001),
    ],
    ids=["flat", "last day of a rate", "first day of a rate", "first day of the schedule"],
)
def test_stamp_duty_schedules(schedule, date, rate):
    assert AShareCosts(stamp_duty=schedule).stamp_duty_on(date) == rate


def test_a_trade_before_the_schedule_is_refused():
    with pytest.raises(
        InvalidArgument, match="starts on 2008-09-19: no rate for a trade on 2008-09-18"
    ):
        AShareCosts().stamp_duty_on("2008-09-18")


@pytest.mark.parametrize(
    ("options", "named"),
    [
        ({"commission": -0.0001}, "-0.0001"),
        ({"transfer_fee": math.nan}, "nan"),
        ({"impact": True}, "True"),
        ({"stamp_duty": {"2023-08-28": -0.001}}, "-0.001"),
        ({"stamp_duty": {"2023-02-30": 0.001}}, "2023-02-30"),
        ({"impact_window": 1}, "1"),
        ({"capital": 0}, "0"),
    ],
)
def test_bad_settings_are_refused_naming_the_value(options, named):
    with pytest.raises(InvalidArgument, match=re.escape(named)):
        AShareCosts(**options)


@pytest.mark.parametrize(
    ("before", "after", "named"),
    [({A: 0.5}, {A: math.nan}, A), ({A: "half"}, {A: 1.0}, "half")],
)
def test_bad_weights_are_refused_naming_them(traded_market, before, after, named):
    traded_market(DAYS, STOCKS, seed=3)
    with pytest.raises(InvalidArgument, match=re.escape(named)):
        model().costs(AFTER, pd.Series(before), pd.Series(after))


@pytest.mark.parametrize("position", [5, 40], ids=["short history", "full window"])
def test_liquidity_reads_the_days_before_the_date(traded_market, position):
    tables = traded_market(DAYS, STOCKS, seed=4)
    date = DAYS[position]
    liquidity = model().liquidity(date, STOCKS)
    volatility, traded = window_liquidity(tables, date)
    np.testing.assert_allclose(liquidity["volatility"], volatility, rtol=1e-12)
    np.testing.assert_allclose(liquidity["traded_value"], traded, rtol=1e-12)


def test_a_stock_without_a_window_is_charged_as_the_least_liquid(traded_market):
    traded_market(DAYS, STOCKS, seed=5, quiet={D: WINDOW})
    costs = model()
    coefficients = costs.impact_coefficients(AFTER, STOCKS, 1e7)
    assert coefficients[3] == coefficients[:3].max()
    with pytest.raises(InvalidArgument, match=f"none of {D} has quotes"):
        costs.impact_coefficients(AFTER, [D], 1e7)
    with pytest.raises(InvalidArgument, match="no trading day before"):
        costs.liquidity(DAYS[0], STOCKS)


def test_the_model_and_the_limit_pickle():
    costs = model(capital=1e8, stamp_duty={"2020-01-01": 0.001})
    assert pickle.loads(pickle.dumps(costs)) == costs
    limit = pickle.loads(pickle.dumps(TransactionCostLimit(pd.Series({A: 1.0}), 0.01, costs)))
    assert limit._costs == costs and limit.hard


# The limit in optimisations, on the demo market.

DAY = "2023-08-28"


@pytest.fixture(scope="module")
def constituents(demo):
    return list(quotaris.index_weights("000300.XSHG", DAY).index)


@pytest.fixture(scope="module")
def pool(constituents):
    return constituents[:60]


@pytest.fixture(scope="module")
def outside(constituents):
    """A stock held but outside the pool."""
    return constituents[60]


def optimise(pool, objective, cons=(), benchmark=None, date=DAY):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plovera.OptimizerWarning)
        return plovera.portfolio_optimize(
            pool, date, objective, bnds={"*": (0, 0.1)}, cons=list(cons), benchmark=benchmark
        )


@pytest.mark.parametrize(
    ("objective", "index"),
    [
        (plovera.MinVariance, None),
        (plovera.RiskParity, None),
        (plovera.MaxInformationRatio, "000300.XSHG"),
    ],
    ids=["zeta 1", "zeta the pool size", "zeta a variable"],
)
def test_a_binding_limit_holds_the_models_cost_at_it(pool, outside, objective, index):
    # A holding outside the pool is sold whatever the weights: its cost is in the limit too.
    holding = pd.Series(1 / 31, index=[*pool[:30], outside])
    costs = AShareCosts(min_commission=0.0, capital=1e9)
    free = costs.costs(DAY, holding, optimise(pool, objective(), benchmark=index)).sum()
    limit = free / 3
    cons = [TransactionCostLimit(holding, limit, costs)]
    weights = optimise(pool, objective(), cons, index)
    spent = costs.costs(DAY, holding, weights)
    assert spent["impact"] > spent.drop("impact").sum() > 0
    assert spent.sum() == pytest.approx(limit, rel=2e-3)


@pytest.mark.parametrize("date", ["2023-08-25", DAY])
def test_the_limit_charges_stamp_duty_on_sales_at_the_dates_rate(pool, date):
    holding = pd.Series(1 / 20, index=pool[:20])
    only_duty = AShareCosts(commission=0.0, transfer_fee=0.0)
    weights = optimise(
        pool, plovera.MinVariance(), [TransactionCostLimit(holding, 1e-4, only_duty)], date=date
    )
    sold = (holding - weights.reindex(holding.index, fill_value=0.0)).clip(lower=0.0).sum()
    assert sold == pytest.approx(1e-4 / RATES[date], abs=1e-3)


def test_a_linear_cost_limit_is_a_turnover_limit(pool, outside):
    holding = pd.Series(1 / 21, index=[*pool[:20], outside])
    flat = AShareCosts(commission=0.001, stamp_duty=0.0, transfer_fee=0.0)
    by_cost = optimise(pool, plovera.MinVariance(), [TransactionCostLimit(holding, 0.0004, flat)])
    by_turnover = optimise(pool, plovera.MinVariance(), [plovera.TurnoverLimit(holding, 0.2)])
    np.testing.assert_allclose(by_cost.to_numpy(), by_turnover.to_numpy(), atol=1e-3)


@pytest.mark.parametrize("kind", ["quadratic", "linear"])
def test_a_cost_penalty_trades_the_objective_against_the_cost(pool, kind):
    from plovera.trading import TransactionCostPenalty

    scores = pd.Series(np.linspace(0.0, 1.0, len(pool)), index=pool)
    objective = (
        plovera.MinVariance if kind == "quadratic" else partial(plovera.MaxIndicator, scores)
    )
    holding = pd.Series(1 / 20, index=pool[:20])
    costs = AShareCosts(capital=1e8)
    plain = optimise(pool, objective())
    spent = []
    for aversion in (0.0, 0.1, 1.0, 1e4):
        weights = optimise(pool, TransactionCostPenalty(objective(), holding, costs, aversion))
        spent.append(costs.costs(DAY, holding, weights).sum())
        if aversion == 0.0:
            np.testing.assert_allclose(weights.to_numpy(), plain.to_numpy(), atol=1e-3)
    assert all(later <= earlier * 1.001 for earlier, later in itertools.pairwise(spent)), spent
    # At a prohibitive aversion the holdings are kept: they meet every bound.
    np.testing.assert_allclose(
        weights.to_numpy(), holding.reindex(pool, fill_value=0.0).to_numpy(), atol=2e-3
    )
    assert spent[-1] < 1e-4 < spent[0]


@pytest.mark.parametrize("objective", [plovera.MaxSharpeRatio, plovera.RiskParity])
def test_a_cost_penalty_is_refused_where_it_means_nothing(objective):
    from plovera.trading import TransactionCostPenalty

    with pytest.raises(InvalidArgument, match=f"{objective.__name__} takes no cost penalty"):
        TransactionCostPenalty(objective(), pd.Series({"600000.XSHG": 1.0}))
