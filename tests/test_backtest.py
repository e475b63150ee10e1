"""Backtests on a tiny in-memory market, checked against hand computations."""

import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import plovera
from plovera.backtest import BacktestError, BacktestResult, Strategy, run_backtest, run_backtests
from plovera.backtest.schedule import rebalance_dates
from plovera.exception import InvalidArgument

DAYS = pd.bdate_range("2022-01-03", periods=320)
S = [f"60000{i}.XSHG" for i in range(6)]
INDEX = "000300.XSHG"
SUSPENDED, GONE = S[4], S[5]
#: Rebalance every 10 trading days from DAYS[260]: S[4] has no quote on the third
#: rebalance, S[5] is delisted two days after the fourth.
START, SUSPENSION, DELISTING = 260, slice(279, 283), 292
CAPPED = {"*": (0.05, 0.5)}


def build(small_market, shock=None):
    return small_market(
        DAYS,
        S,
        seed=7,
        drift=0.0004,
        index=INDEX,
        suspended={SUSPENDED: SUSPENSION},
        delisted={GONE: DELISTING},
        shock=shock,
    )


@pytest.fixture
def prices(small_market):
    return build(small_market)


def backtest(strategy=None, **options):
    options.setdefault("rebalance", 10)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plovera.OptimizerWarning)
        return run_backtest(
            strategy or Strategy(S, bnds=CAPPED, benchmark=INDEX),
            DAYS[START].date(),
            DAYS[-1].date(),
            **options,
        )


def replay(result: BacktestResult, prices: pd.DataFrame, cost: float):
    """NAV, drifted holdings before each rebalance and traded value, one day at a time."""
    held = pd.Series(0.0, index=S)
    cash, nav, navs, before, traded = 1.0, 1.0, [], {}, {}
    for day in result.nav.index:
        if day != result.nav.index[0]:
            growth = 1.0 + prices.loc[day, S].fillna(0.0)
            total = (held * growth).sum() + cash
            nav *= total
            held, cash = held * growth / total, cash / total
        if day >= DAYS[DELISTING]:
            cash, held[GONE] = cash + held[GONE], 0.0
        if day in result.weights.index:
            target = result.weights.loc[day].reindex(S, fill_value=0.0)
            before[day], traded[day] = held.copy(), (target - held).abs().sum()
            nav *= 1.0 - cost * traded[day]
            held, cash = target, 1.0 - target.sum()
        navs.append(nav)
    return pd.Series(navs, index=result.nav.index), before, pd.Series(traded)


def first_four_then_the_next_four(date):
    return S[:4] if date < DAYS[290].date() else S[2:6]


@pytest.mark.parametrize(
    "pool",
    # Stocks a callable pool brings in later are read the first time they are held.
    [S, first_four_then_the_next_four],
    ids=["list", "callable"],
)
def test_nav_costs_and_turnover_recomputed_by_hand(prices, pool):
    result = backtest(Strategy(pool, bnds=CAPPED, benchmark=INDEX), cost=0.002)
    nav, _, traded = replay(result, prices, 0.002)
    np.testing.assert_allclose(result.nav.to_numpy(), nav.to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(result.turnover.to_numpy(), traded.to_numpy() / 2, atol=1e-12)
    np.testing.assert_allclose(result.costs.to_numpy(), 0.002 * traded.to_numpy(), atol=1e-12)
    assert result.turnover.iloc[0] == pytest.approx(0.5)  # the first purchase, out of cash
    index = (1.0 + prices.loc[result.nav.index[1:], INDEX]).cumprod()
    np.testing.assert_allclose(result.benchmark_nav.iloc[1:], index.to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(result.active_nav, result.nav / result.benchmark_nav)
    assert list(result.weights.index) == list(DAYS[START::10])


class FixedWeights(plovera.OptimizeBenchmark):
    """A benchmark holding the same weights on every date."""

    WEIGHTS = pd.Series([0.5, 0.3, 0.2], index=S[:3])

    def get_weight(self, date):
        return self.WEIGHTS.copy()

    def get_expected_returns(self, date, window=252):
        return 0.0


def test_a_benchmark_of_holdings_drifts_between_rebalances(prices):
    result = backtest(Strategy(S, bnds=CAPPED, benchmark=FixedWeights()))
    nav, held = [1.0], FixedWeights.WEIGHTS
    for day in result.nav.index[1:]:
        grown = held * (1.0 + prices.loc[day, S[:3]])
        nav.append(nav[-1] * grown.sum())
        held = FixedWeights.WEIGHTS if day in result.weights.index else grown / grown.sum()
    np.testing.assert_allclose(result.benchmark_nav.to_numpy(), nav, rtol=1e-12)


def without_the_suspended_stock_while_it_is_suspended(date):
    return [i for i in S if i != SUSPENDED] if date == DAYS[280].date() else S


@pytest.mark.parametrize(
    ("pool", "optimised_again"),
    # The callable pool leaves the held suspended stock out: only the holdings show it.
    [(S, 0), (without_the_suspended_stock_while_it_is_suspended, 1)],
    ids=["list", "callable"],
)
def test_a_suspended_holding_keeps_its_weight_and_a_delisted_one_goes_to_cash(
    prices, pool, optimised_again
):
    result = backtest(Strategy(pool, bnds=CAPPED, benchmark=INDEX))
    assert result.timings["optimised_again"] == optimised_again
    _, before, _ = replay(result, prices, 0.0)
    suspended_on = DAYS[280]
    assert before[suspended_on][SUSPENDED] > 0.04
    assert result.weights.loc[suspended_on, SUSPENDED] == pytest.approx(
        before[suspended_on][SUSPENDED], abs=1e-12
    )
    assert result.weights.loc[suspended_on].sum() == pytest.approx(1.0)
    assert result.weights.loc[DAYS[290], GONE] >= 0.05  # held when it is delisted
    after = result.weights.loc[DAYS[300]]
    assert after[GONE] == 0.0 and after.sum() == pytest.approx(1.0)
    # Sold at its last quote: its drifted weight was in cash, not in the stock, on DAYS[300].
    assert before[DAYS[300]][GONE] == 0.0
    assert result.turnover[DAYS[300]] == pytest.approx(
        0.5 * (after - before[DAYS[300]]).abs().sum(), abs=1e-12
    )


def test_dates_prepared_ahead_match_dates_optimised_with_their_holdings(prices):
    ahead = backtest()
    # Constraints made from the holdings make every date wait for the one before.
    in_order = backtest(Strategy(S, bnds=CAPPED, cons=lambda date, holdings: [], benchmark=INDEX))
    assert ahead.timings["prepared"] == len(ahead.weights)
    assert in_order.timings["prepared"] == 0
    # A prepared date's solver keeps the scaling of the data it factorised before its
    # pins were set: the same answer to the solver's accuracy.
    pd.testing.assert_frame_equal(ahead.weights, in_order.weights, atol=2e-5, rtol=0)
    pd.testing.assert_frame_equal(ahead.ex_ante, in_order.ex_ante, atol=2e-5, rtol=0)


def test_a_price_shock_after_a_rebalance_does_not_change_its_weights(small_market):
    day = START + 10
    build(small_market)
    calm = backtest()
    build(small_market, shock=day + 1)
    shocked = backtest()
    np.testing.assert_allclose(
        shocked.weights.loc[: DAYS[day]], calm.weights.loc[: DAYS[day]], atol=1e-12
    )
    assert shocked.nav[DAYS[day + 1]] != pytest.approx(calm.nav[DAYS[day + 1]])
    assert not np.allclose(shocked.weights.loc[DAYS[day + 10]], calm.weights.loc[DAYS[day + 10]])


def pool_missing_on(day):
    return lambda date: [] if date == day else S


@pytest.mark.parametrize("on_failure", ["hold", "raise"])
def test_a_failed_date_keeps_the_holdings_and_is_recorded(prices, on_failure):
    failing = DAYS[START + 20].date()
    strategy = Strategy(pool_missing_on(failing), bnds=CAPPED, benchmark=INDEX, name="gappy")
    if on_failure == "raise":
        with pytest.raises(InvalidArgument):
            backtest(strategy, on_failure="raise")
        return
    result = backtest(strategy, cost=0.01)
    _, before, _ = replay(result, prices, 0.01)
    (failure,) = result.failures
    assert failure.date == failing and failure.error_type == "InvalidArgument"
    assert failure.diagnosis is None
    held = result.weights.loc[pd.Timestamp(failing)]
    np.testing.assert_allclose(held, before[pd.Timestamp(failing)], atol=1e-12)
    assert result.turnover[pd.Timestamp(failing)] == 0.0
    assert result.costs[pd.Timestamp(failing)] == 0.0
    assert pd.Timestamp(failing) not in result.ex_ante.index


def test_objectives_that_keep_an_estimate_are_fresh_on_every_date(prices):
    objective = plovera.MeanVariance()
    result = backtest(Strategy(S[:4], objective), rebalance=[DAYS[280], DAYS[300]])
    assert objective._expected_returns is None
    fresh = plovera.portfolio_optimize(S[:4], DAYS[300].date(), plovera.MeanVariance())
    held = result.weights.loc[DAYS[300]].reindex(S[:4], fill_value=0.0)
    np.testing.assert_allclose(held, fresh.clip(lower=0.0).where(fresh > 1e-12, 0.0), atol=1e-9)


def test_max_turnover_limits_every_rebalance_after_the_first(prices):
    free = backtest(Strategy(S[:4]), rebalance=5)
    limited = backtest(Strategy(S[:4], max_turnover=0.004), rebalance=5)
    assert free.turnover.iloc[1:].max() > 0.02
    assert limited.turnover.iloc[1:].max() <= 0.004 + 1e-3


def test_ex_ante_risk_is_that_of_the_helper_covariance(prices):
    from plovera.helper import OptimizeHelper

    result = backtest()
    day = DAYS[270]
    weights = result.weights.loc[day]
    helper = OptimizeHelper(S, day.date(), plovera.IndexBenchmark(INDEX), plovera.CovModel("daily"))
    cov = helper.get_union_cov_matrix()
    active = weights.to_numpy() - helper.benchmark_weight.to_numpy()
    volatility, tracking_error = result.ex_ante.loc[day]
    assert volatility == pytest.approx(math.sqrt(weights @ cov @ weights), rel=1e-9)
    assert tracking_error == pytest.approx(math.sqrt(active @ cov @ active), rel=1e-9)


def test_statistics_against_their_definitions(prices):
    result = backtest(cost=0.001)
    stats = result.stats()
    returns = result.nav.to_numpy()[1:] / result.nav.to_numpy()[:-1] - 1
    years = (len(result.nav) - 1) / 252
    assert stats["annual_return"] == pytest.approx(result.nav.iloc[-1] ** (1 / years) - 1)
    assert stats["volatility"] == pytest.approx(returns.std(ddof=1) * math.sqrt(252))
    assert stats["sharpe_ratio"] == pytest.approx(returns.mean() * 252 / stats["volatility"])
    peak = np.maximum.accumulate(result.nav.to_numpy())
    assert stats["max_drawdown"] == pytest.approx((1 - result.nav.to_numpy() / peak).max())
    assert stats["mean_turnover"] == pytest.approx(result.turnover.iloc[1:].mean())
    ratio = stats["tracking_error"] / result.ex_ante["tracking_error"].mean()
    assert stats["tracking_error_ratio"] == pytest.approx(ratio)
    monthly = result.nav.groupby(result.nav.index.to_period("M")).last()
    bench = result.benchmark_nav.groupby(result.nav.index.to_period("M")).last()
    port = monthly / monthly.shift(fill_value=1.0)
    index = bench / bench.shift(fill_value=1.0)
    assert stats["monthly_hit_rate"] == pytest.approx((port > index).mean())


def test_save_then_load_gives_the_same_result(prices, tmp_path):
    failing = DAYS[START + 20].date()
    result = backtest(Strategy(pool_missing_on(failing), bnds=CAPPED, benchmark=INDEX))
    result.save(tmp_path / "run")
    loaded = BacktestResult.load(tmp_path / "run")
    pd.testing.assert_frame_equal(loaded.weights, result.weights, check_freq=False)
    for name in ("nav", "benchmark_nav", "turnover", "costs"):
        pd.testing.assert_series_equal(
            getattr(loaded, name), getattr(result, name), check_freq=False, check_names=False
        )
    pd.testing.assert_frame_equal(loaded.ex_ante, result.ex_ante, check_freq=False)
    assert loaded.failures == result.failures
    pd.testing.assert_series_equal(loaded.stats(), result.stats())
    summary = pd.read_csv(tmp_path / "run" / "summary.csv", index_col=0)["value"]
    np.testing.assert_allclose(summary.to_numpy(), result.stats().to_numpy())
    assert (tmp_path / "run" / "backtest.png").stat().st_size > 10_000
    with pytest.raises(InvalidArgument, match="run already exists"):
        result.save(tmp_path / "run")
    result.save(tmp_path / "run", overwrite=True)


def test_several_strategies_come_back_by_name(prices):
    strategies = [Strategy(S[:3], name="three"), Strategy(S[:5], name="five")]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plovera.OptimizerWarning)
        results = run_backtests(strategies, DAYS[300].date(), DAYS[-1].date(), rebalance=10)
    assert list(results) == ["three", "five"]
    assert list(results["three"].weights.columns) == S[:3]
    alone = backtest(Strategy(S[:3], name="three"), rebalance=10)
    later = alone.nav.loc[DAYS[300] :]
    np.testing.assert_allclose(results["three"].nav, later / later.iloc[0], rtol=1e-9)


@pytest.mark.parametrize(
    ("rule", "expected"),
    [
        ("monthly", lambda days: days.to_series().groupby(days.to_period("M")).max()),
        ("weekly", lambda days: days.to_series().groupby(days.to_period("W")).max()),
        (7, lambda days: days[::7]),
        (["2022-12-30", DAYS[250].date(), "2022-12-30"], lambda days: [DAYS[250], DAYS[259]]),
    ],
)
def test_rebalance_schedules(prices, rule, expected):
    days = DAYS[200:300]
    dates = rebalance_dates(rule, days)
    wanted = [pd.Timestamp(day).date() for day in expected(days)]
    if rule == "monthly":  # the range ends mid-month: no rebalance on its last day
        wanted = wanted[:-1]
    assert dates == wanted


@pytest.mark.parametrize(
    ("start", "end", "options", "message"),
    [
        (DAYS[300], DAYS[280], {}, "start 2023-02-27 is after the end 2023-01-30"),
        (DAYS[300], "2024-06-28", {}, "2024-06-28 is outside the data"),
        (DAYS[300], DAYS[-1], {"rebalance": "daily"}, "unknown rebalance rule 'daily'"),
        (DAYS[300], DAYS[-1], {"rebalance": []}, "schedule [] has no rebalance dates"),
        (DAYS[300], DAYS[-1], {"rebalance": 0}, "every 0 trading days"),
        (DAYS[300], DAYS[-1], {"rebalance": ["2023-03-04"]}, "2023-03-04 are not trading days"),
        (DAYS[300], DAYS[-1], {"on_failure": "skip"}, "'skip'"),
        (DAYS[300], DAYS[-1], {"cost": -0.1}, "-0.1"),
        (DAYS[300], DAYS[-1], {"executor": 2}, "held in memory"),
        (DAYS[300], DAYS[-1], {"executor": "lots"}, "'lots'"),
    ],
)
def test_bad_input_is_refused_naming_the_value(prices, start, end, options, message):
    with pytest.raises(InvalidArgument) as refused:
        run_backtest(Strategy(S), start, end, **options)
    assert message in str(refused.value)


def test_a_run_whose_every_date_failed_is_an_error_naming_the_first(prices):
    # Everything is held in a stock outside the pool: selling it alone is turnover ½.
    outside = pd.Series({S[-1]: 1.0})
    strategy = Strategy(
        S[:-1], bnds=CAPPED, cons=[plovera.TurnoverLimit(outside, 0.1)], name="stuck"
    )
    with pytest.raises(BacktestError) as info:
        backtest(strategy)
    message = str(info.value)
    assert "'stuck': every one of its" in message
    assert f"the first, {DAYS[START].date()}: OptimizationFailed" in message
    assert "换手率" in message  # the first date's diagnosis
    assert isinstance(info.value.__cause__, plovera.OptimizationFailed)


def test_a_run_with_some_failed_dates_warns_once_with_their_count(prices):
    failing = DAYS[START + 20].date()
    strategy = Strategy(pool_missing_on(failing), bnds=CAPPED, benchmark=INDEX, name="gappy")
    with pytest.warns(plovera.OptimizerWarning) as record:
        result = run_backtest(strategy, DAYS[START].date(), DAYS[-1].date(), rebalance=10)
    counts = [str(w.message) for w in record if "rebalance dates failed" in str(w.message)]
    assert len(counts) == 1 and "'gappy': 1 of " in counts[0]
    assert result.stats()["failed_rebalances"] == 1


def test_drifting_a_stock_the_market_does_not_know_names_it(prices):
    from plovera.backtest.prices import Prices

    with pytest.raises(InvalidArgument, match="does not know 999999.XSHG"):
        Prices(DAYS[START:]).drift(pd.Series({S[0]: 0.5, "999999.XSHG": 0.5}), 0, 5)


@pytest.mark.parametrize(
    ("arguments", "named"),
    [
        ({"objective": object()}, "got <object object"),
        ({"objective": plovera.MinVariance}, "got <class "),
        ({"objective": plovera.MaxInformationRatio()}, "MaxInformationRatio needs a benchmark"),
        ({"objective": plovera.MinTrackingError(), "benchmark": 300}, "got 300"),
        ({"max_turnover": "0.1"}, "got '0.1'"),
        ({"max_turnover": math.inf}, "got inf"),
        ({"max_turnover": math.nan}, "got nan"),
        ({"max_turnover": 2.5}, "got 2.5"),
        ({"max_turnover": -0.1}, "got -0.1"),
        ({"max_turnover": True}, "got True"),
    ],
)
def test_a_strategy_that_would_fail_on_every_date_is_refused_when_built(arguments, named):
    with pytest.raises(InvalidArgument, match=re.escape(named)):
        Strategy(S, **arguments)


def test_a_strategy_accepts_the_whole_turnover_range():
    for limit in (0, 0.3, 2):
        assert Strategy(S, max_turnover=limit).max_turnover == limit


@pytest.mark.parametrize("cost", [True, 5, 0.5, -0.01, math.nan, "0.001"])
def test_a_cost_that_would_charge_away_the_value_is_refused(cost):
    with pytest.raises(InvalidArgument, match=re.escape(f"got {cost!r}")):
        run_backtest(Strategy(S), DAYS[START].date(), DAYS[-1].date(), cost=cost)
