"""Backtests that trade what the market lets them: price limits on rebalance dates, and
whole lots of shares with a capital, checked against replays from the closes."""

import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from conftest import using_source

import plovera
import quotaris
from plovera import AShareCosts, BacktestResult, Strategy, run_backtest
from plovera.backtest.account import whole_lots
from plovera.cli import EXIT_OK, EXIT_REFUSED, main
from plovera.exception import InvalidArgument
from quotaris import MemorySource
from quotaris.bundle import write_bundle
from quotaris.limits import limit_prices, round_to_fen
from quotaris.tables import BundleTables
from quotaris.validate import exchange_sessions

DAYS = exchange_sessions("XSHG", "2022-01-04", "2023-12-29")[:320]
INDEX = "000300.XSHG"
#: The index's stocks without DOWN from D on.
NARROW = "000905.XSHG"
MAIN = [f"60000{i}.XSHG" for i in range(5)]
STAR, BSE = "688001.XSHG", "830001.BJSE"
S = [*MAIN, STAR, BSE]
#: On rebalance date D the index review raises UP to 35% and NEW (not held before) to
#: 10%, both closing at limit-up, and cuts DOWN to 2% as it closes at limit-down;
#: HALTED has no quote on the next rebalance, HALT.
UP, DOWN, NEW, HALTED = MAIN[1], MAIN[2], MAIN[3], MAIN[4]
START, D, HALT = DAYS[260], DAYS[280], DAYS[290]
REVIEW = {UP: 0.35, DOWN: 0.02, NEW: 0.10}


def tables(closes: bool = True) -> BundleTables:
    rng = np.random.default_rng(3)
    moves = rng.normal(0.0003, 0.015, (len(DAYS), len(S))) + rng.normal(0, 0.008, (len(DAYS), 1))
    moves = np.clip(moves, -0.09, 0.09)  # within every board's limits
    close = np.empty((len(DAYS), len(S)))
    level = rng.uniform(8.0, 40.0, len(S))
    for row, day in enumerate(DAYS):
        level = round_to_fen(level * (1.0 + moves[row]))
        if day == D:
            up, down = limit_prices(close[row - 1], np.full(len(S), 10.0))
            for stock in (UP, NEW):
                level[S.index(stock)] = up[S.index(stock)]
            level[S.index(DOWN)] = down[S.index(DOWN)]
        close[row] = level
    close = pd.DataFrame(close, index=DAYS, columns=S)
    close.loc[HALT, HALTED] = np.nan
    changes = close / close.ffill().shift(1) - 1.0
    changes.iloc[0] = 0.0
    changes[close.isna()] = np.nan
    changes[INDEX] = changes[NARROW] = changes[S].mean(axis=1)
    close[INDEX] = close[NARROW] = 1000.0 * (1.0 + changes[INDEX]).cumprod()
    ids = [*S, INDEX, NARROW]
    instruments = pd.DataFrame(
        {
            "order_book_id": ids,
            "symbol": ids,
            "type": ["CS"] * len(S) + ["INDX"] * 2,
            "exchange": [i.split(".")[1] for i in ids],
            "listed_date": "2010-01-04",
            "de_listed_date": "0000-00-00",
        }
    )
    before = [i for i in S if i != NEW]
    narrow = [i for i in before if i != DOWN]
    rest = [i for i in S if i not in REVIEW]
    after = {**REVIEW, **{i: (1.0 - sum(REVIEW.values())) / len(rest) for i in rest}}
    weights = pd.concat(
        [
            pd.DataFrame(
                {"date": DAYS[0], "index_id": INDEX, "order_book_id": before, "weight": 1 / 6}
            ),
            pd.DataFrame(
                {"date": D, "index_id": INDEX, "order_book_id": list(after), "weight": 1.0}
            ).assign(weight=list(after.values())),
            pd.DataFrame(
                {"date": DAYS[0], "index_id": NARROW, "order_book_id": before, "weight": 1 / 6}
            ),
            pd.DataFrame({"date": D, "index_id": NARROW, "order_book_id": narrow, "weight": 1 / 5}),
        ]
    )
    return BundleTables(
        instruments=instruments,
        calendar="XSHG",
        trading_dates=DAYS,
        price_change_rate=changes,
        index_weights=weights,
        closes=close if closes else None,
    )


CLOSES = tables().closes[S].ffill()


@pytest.fixture
def market(use_source):
    use_source(MemorySource.from_tables(tables()))


def no_constraints(date, holdings):
    return []


def tracking(kind: str = "prepared", **options) -> Strategy:
    """The index tracked without limits of its own: the index's weights where the market
    allows.  Constraints made from the holdings settle the dates in date order."""
    cons = no_constraints if kind == "in date order" else None
    bnds = {"*": (0.0, 1.0)}
    return Strategy(INDEX, plovera.MinTrackingError(), bnds, cons, INDEX, **options)


def backtest(strategy=None, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plovera.OptimizerWarning)
        return run_backtest(
            strategy or tracking(), START.date(), DAYS[-1].date(), 10, 0.001, **options
        )


def drifted(result: BacktestResult, day) -> pd.Series:
    """The weights of the rebalance before ``day`` grown with the closes up to it."""
    before = result.weights.index[result.weights.index.get_loc(day) - 1]
    held = result.weights.loc[before]
    grown = held * CLOSES.loc[day, held.index] / CLOSES.loc[before, held.index]
    return grown / (grown.sum() + 1.0 - held.sum())


@pytest.mark.parametrize("kind", ["prepared", "in date order"])
def test_a_stock_at_limit_up_is_not_bought_and_one_at_limit_down_not_sold(market, kind):
    free = backtest(tracking(kind, price_limits=False))
    for stock, weight in REVIEW.items():  # what the run wants on D
        assert free.weights.loc[D, stock] == pytest.approx(weight, abs=1e-3)
    limited = backtest(tracking(kind))
    start = drifted(limited, D)
    assert limited.weights.loc[D, UP] <= start[UP] + 1e-12  # bought nothing
    assert limited.weights.loc[D, UP] == pytest.approx(start[UP], abs=1e-3)
    assert limited.weights.loc[D, DOWN] >= start[DOWN] - 1e-12  # sold nothing
    assert limited.weights.loc[D, DOWN] == pytest.approx(start[DOWN], abs=1e-3)
    assert limited.weights.loc[D, NEW] == 0.0
    assert limited.weights.loc[D].sum() == pytest.approx(1.0)
    halted = drifted(limited, HALT)[HALTED]
    assert limited.weights.loc[HALT, HALTED] == pytest.approx(halted, abs=1e-12)
    pins = limited.pins.set_index(["date", "order_book_id"])
    assert pins["kind"].to_dict() == {
        (D, UP): "limit_up",
        (D, DOWN): "limit_down",
        (D, NEW): "limit_up",
        (HALT, HALTED): "suspended",
    }
    expected = [start[UP], start[DOWN], 0.0, halted]
    np.testing.assert_allclose(pins["weight"].to_numpy(), expected, atol=1e-12)
    stats = limited.stats()
    assert (stats["limit_up_pins"], stats["limit_down_pins"], stats["suspended_pins"]) == (2, 1, 1)
    assert limited.timings["optimised_again"] == 0
    assert list(free.pins["kind"]) == ["suspended"]


def narrow_pool(date):
    return quotaris.index_weights(NARROW, date).index.tolist()


@pytest.mark.parametrize(
    ("pool", "cons", "optimised_again"),
    # A pool known before the run foresees the held stock that cannot be sold; one read
    # on each date cannot, and the date is optimised again with its holdings.
    [(NARROW, None, 0), (narrow_pool, None, 1), (NARROW, no_constraints, 0)],
    ids=["prepared", "pool read on the date", "in date order"],
)
def test_a_held_stock_leaving_the_pool_at_limit_down_keeps_its_weight(
    market, pool, cons, optimised_again
):
    result = backtest(Strategy(pool, plovera.MinTrackingError(), None, cons, INDEX))
    start = drifted(result, D)
    assert result.weights.loc[D, DOWN] == pytest.approx(start[DOWN], abs=1e-12)
    assert result.weights.loc[D].sum() == pytest.approx(1.0)
    assert result.timings["optimised_again"] == optimised_again
    on_d = result.pins[result.pins["date"] == D].set_index("order_book_id")
    assert on_d.loc[DOWN, "kind"] == "limit_down"
    # Sold at the next rebalance, once it trades again.
    assert result.weights.loc[HALT, DOWN] == 0.0


def test_a_market_without_closes_trades_as_before(use_source):
    use_source(MemorySource.from_tables(tables()))
    limits_off = backtest(tracking(price_limits=False))
    use_source(MemorySource.from_tables(tables(closes=False)))
    without = backtest()
    pd.testing.assert_frame_equal(without.weights, limits_off.weights, atol=0, rtol=0)
    pd.testing.assert_series_equal(without.nav, limits_off.nav, atol=0, rtol=0)
    assert without.shares is None and without.cash is None
    assert math.isnan(without.stats()["mean_cash"])


# -- whole lots with a capital ------------------------------------------------------


def replay(result: BacktestResult, cost: float) -> tuple[pd.Series, pd.Series]:
    """The NAV and the cash after each rebalance from the shares and the closes alone."""
    cash, held = result.capital, pd.Series(0, index=S)
    navs, left = [], {}
    for day in result.nav.index:
        close = CLOSES.loc[day]
        if day in result.shares.index:
            value = cash + (held * close).sum()
            new = result.shares.loc[day].reindex(S, fill_value=0)
            cash = value - (new * close).sum() - cost * ((new - held).abs() * close).sum()
            held, left[day] = new, cash
        navs.append((cash + (held * close).sum()) / result.capital)
    return pd.Series(navs, index=result.nav.index), pd.Series(left)


@pytest.mark.parametrize("capital", [3e5, 5e6])
def test_a_capital_run_holds_whole_lots_and_never_borrows(market, capital):
    result = backtest(capital=capital)
    shares = result.shares.reindex(columns=S, fill_value=0)
    assert (shares[MAIN] % 100 == 0).all().all()
    bought = shares.diff().fillna(shares).clip(lower=0)
    for stock, minimum in ((STAR, 200), (BSE, 100)):
        assert ((bought[stock] == 0) | (bought[stock] >= minimum)).all()
    assert (result.cash >= 0).all()
    nav, cash = replay(result, 0.001)
    np.testing.assert_allclose(result.nav, nav, rtol=1e-9)
    np.testing.assert_allclose(result.cash, cash, atol=1e-3)
    worth = (shares * CLOSES.loc[shares.index, S]).fillna(0.0)
    weights = worth.div(worth.sum(axis=1) + result.cash, axis=0)
    np.testing.assert_allclose(result.weights.reindex(columns=S, fill_value=0), weights)
    # The market's rules hold for shares as for weights.
    before = shares.index[shares.index.get_loc(D) - 1]
    assert shares.loc[D, UP] <= shares.loc[before, UP]
    assert shares.loc[D, DOWN] >= shares.loc[before, DOWN]
    assert shares.loc[D, NEW] == 0
    assert shares.loc[HALT, HALTED] == shares.loc[D, HALTED]
    # Rounding leaves less than a lot of each stock in cash.
    assert 0 < result.stats()["mean_cash"] < len(S) * 100 * CLOSES.max().max() / capital


def test_a_huge_capital_approaches_the_fractional_run(market):
    fractional = backtest()
    huge = backtest(capital=1e12)
    # Only the solver's accuracy at the pinned dates tells them apart.
    np.testing.assert_allclose(huge.nav, fractional.nav, atol=1e-4)
    np.testing.assert_allclose(huge.weights, fractional.weights, atol=1e-3)
    assert (huge.cash / (huge.nav[huge.cash.index] * 1e12) < 1e-5).all()


def pool_missing_on_d(date):
    return [] if date == D.date() else narrow_pool(date)


def test_a_failed_date_keeps_the_shares_and_the_cash(market):
    result = backtest(Strategy(pool_missing_on_d), capital=1e6)
    assert [failure.date for failure in result.failures] == [D.date()]
    before = result.shares.index[result.shares.index.get_loc(D) - 1]
    np.testing.assert_array_equal(result.shares.loc[D], result.shares.loc[before])
    assert result.cash[D] == result.cash[before] and result.costs[D] == 0.0


@pytest.mark.parametrize(
    ("target", "held", "price", "board", "budget", "expected"),
    [
        ([260.0], [0], [10.0], "main", 1e9, [300]),  # nearer the lot above
        ([250.0], [0], [10.0], "main", 1e9, [200]),  # halfway: down
        ([260.0], [0], [10.0], "main", 2900.0, [200]),  # the lot above does not fit
        ([150.0], [0], [10.0], "star", 1e9, [200]),  # STAR buys at least 200
        ([1234.6], [0], [10.0], "star", 1e9, [1235]),  # then single shares
        ([99.0], [0], [10.0], "bse", 1e9, [100]),  # Beijing: at least 100
        ([120.0], [300], [10.0], "main", 1e9, [100]),  # sell whole lots
        ([120.0], [250], [10.0], "star", 1e9, [50]),  # a sale of 200, not of 130
        ([0.0], [130], [10.0], "star", 1e9, [0]),  # or the whole holding
        # The cash goes to the larger shortfall in yuan first, else where a lot fits.
        ([160.0, 170.0], [0, 0], [10.0, 5.0], "main", 2500.0, [200, 100]),
        ([160.0, 170.0], [0, 0], [10.0, 5.0], "main", 2000.0, [100, 200]),
    ],
)
def test_whole_lots_by_hand(target, held, price, board, budget, expected):
    n = len(target)
    positions = whole_lots(
        np.array(target),
        np.array(held, dtype=np.int64),
        np.array(price),
        [board] * n,
        np.ones(n, dtype=bool),
        np.ones(n, dtype=bool),
        budget,
    )
    assert positions.tolist() == expected


@pytest.mark.parametrize(
    ("can_buy", "can_sell", "target", "expected"),
    [(False, True, 500.0, 300), (True, False, 100.0, 300), (False, True, 100.0, 100)],
)
def test_whole_lots_keep_what_cannot_trade(can_buy, can_sell, target, expected):
    one = np.ones(1, dtype=bool)
    positions = whole_lots(
        np.array([target]), np.array([300]), np.array([10.0]), ["main"], one & can_buy,
        one & can_sell, 1e9,
    )  # fmt: skip
    assert positions.tolist() == [expected]


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"capital": 0}, "got 0"),
        ({"capital": math.nan}, "got nan"),
        ({"capital": "1e6"}, "got '1e6'"),
        ({"capital": True}, "got True"),
        (
            {"capital": 1e6, "cost": AShareCosts(capital=2e6)},
            "capital of 1,000,000.00 yuan and the cost model's of 2,000,000.00",
        ),
    ],
)
def test_bad_capitals_are_refused_naming_them(market, options, message):
    with pytest.raises(InvalidArgument, match=re.escape(message)):
        run_backtest(Strategy(S), START.date(), DAYS[-1].date(), **options)


def test_a_capital_needs_the_markets_closes(use_source):
    use_source(MemorySource.from_tables(tables(closes=False)))
    with pytest.raises(InvalidArgument, match="market data has no closes"):
        backtest(capital=1e6)


def test_saving_keeps_pins_shares_and_cash_and_older_runs_load(market, tmp_path):
    result = backtest(capital=1e6)
    result.save(tmp_path / "run")
    loaded = BacktestResult.load(tmp_path / "run")
    pd.testing.assert_frame_equal(loaded.pins, result.pins)
    pd.testing.assert_frame_equal(loaded.shares, result.shares, check_freq=False)
    pd.testing.assert_series_equal(loaded.cash, result.cash, check_freq=False)
    assert loaded.capital == 1e6
    pd.testing.assert_series_equal(loaded.stats(), result.stats())
    for name in ("pins.parquet", "shares.parquet"):  # as a run saved before them
        (tmp_path / "run" / name).unlink()
    older = BacktestResult.load(tmp_path / "run")
    assert older.pins.empty and older.shares is None
    assert older.stats()[["suspended_pins", "limit_up_pins", "limit_down_pins"]].sum() == 0


# -- on worker processes and from the command line --------------------------------


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    """The market as a bundle, its risk model kept in the cache the workers share."""
    path = write_bundle(tmp_path_factory.mktemp("limits") / "bundle", tables())
    with using_source(path):
        plovera.portfolio_optimize(S, START.date())
        yield path


@pytest.mark.parametrize(
    ("kind", "capital"), [("prepared", None), ("in date order", None), ("prepared", 1e6)]
)
def test_worker_processes_give_the_serial_pins_weights_and_shares(
    bundle, use_source, kind, capital
):
    use_source(bundle)
    serial = backtest(tracking(kind), capital=capital)
    processes = backtest(tracking(kind), capital=capital, executor=2)
    assert len(serial.pins) == 4
    pd.testing.assert_frame_equal(processes.pins, serial.pins, atol=1e-10, rtol=0)
    pd.testing.assert_frame_equal(processes.weights, serial.weights, atol=1e-10, rtol=0)
    pd.testing.assert_series_equal(processes.nav, serial.nav, atol=1e-10, rtol=0)
    if capital:
        pd.testing.assert_frame_equal(processes.shares, serial.shares)


def test_command_line_capital_and_price_limits(bundle, tmp_path, capsys):
    argv = [
        "backtest", "--index-pool", INDEX, "--objective", "min_tracking_error",
        "--benchmark", INDEX, "--data", str(bundle), "--start", str(START.date()),
        "--end", str(DAYS[-1].date()), "--rebalance", "10",
    ]  # fmt: skip
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert main([*argv, "--capital", "1000000", "--output", str(tmp_path / "run")]) == 0
        assert main([*argv, "--no-price-limits", "--output", str(tmp_path / "free")]) == EXIT_OK
    run, free = (BacktestResult.load(tmp_path / name) for name in ("run", "free"))
    assert run.capital == 1e6 and (run.shares[MAIN] % 100 == 0).all().all()
    assert len(run.pins) == 4 and list(free.pins["kind"]) == ["suspended"]
    assert "limit_up_pins" in capsys.readouterr().out
    assert main([*argv, "--capital", "0"]) == EXIT_REFUSED
    assert "not a positive number of yuan: '0'" in capsys.readouterr().err
