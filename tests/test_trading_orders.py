"""From target weights to whole-lot orders: the lot rules worked by hand, the limits the
day forces, cash, and the rounding's tracking error against an independent one."""

from __future__ import annotations

import math
import re

import numpy as np
import pandas as pd
import pytest
from trading_market import BSE, CHINEXT, GONE, INDEX, LAST, STAR, main_board, market

import plovera
import quotaris
from plovera import AShareCosts, to_orders
from plovera.cli import EXIT_OK, EXIT_REFUSED, main
from plovera.const import CovModel
from plovera.exception import InvalidArgument
from plovera.helper import OptimizeHelper
from plovera.trading import LOT_RULES, held_weights
from plovera.trading.orders import _Lots

M = main_board(8)
STOCKS = [*M, CHINEXT, STAR, BSE]
PRICE = 10.0  # the last close of every stock the hand-worked cases trade


@pytest.fixture
def priced(use_source):
    """Every stock closing at PRICE on the last day, none limited."""
    return use_source(market(STOCKS, seed=4, prices=dict.fromkeys(STOCKS, PRICE)))


@pytest.mark.parametrize(
    ("board", "held", "target", "below", "above"),
    [
        ("main", 0, 555.0, 500, 600),
        ("main", 0, 40.0, 0, 100),
        ("main", 0, 299.9999999, 300, 300),  # round-off on a whole lot
        ("main", 250, 120.0, 100, 150),  # selling 150 takes the odd 50 along
        ("main", 250, 260.0, 250, 350),  # buying keeps the odd lot
        ("main", 150, 20.0, 0, 50),  # selling 100 keeps the odd 50; the rest goes at once
        ("chinext", 0, 130.0, 100, 200),
        ("star", 0, 150.0, 0, 200),  # at least 200 shares
        ("star", 0, 250.4, 250, 251),  # then single shares
        ("star", 150, 100.0, 0, 150),  # an odd lot sells whole
        ("star", 500, 400.0, 300, 500),  # a sale of 100 is below the minimum
        ("star", 500, 250.5, 250, 251),  # sales of 200 or more in single shares
        ("bse", 0, 60.0, 0, 100),
        ("bse", 0, 100.5, 100, 101),
        ("bse", 50, 120.0, 50, 150),
        ("bse", 130, 60.0, 30, 130),  # a sale of 70 is below the minimum of 100
    ],
)
def test_reachable_positions_by_board_worked_by_hand(board, held, target, below, above):
    lots = _Lots(held, LOT_RULES[board], can_buy=True, can_sell=True)
    assert (lots.below(target), lots.above(target)) == (below, above)


@pytest.mark.parametrize(
    ("can_buy", "can_sell", "target", "below", "above"),
    [
        (False, True, 900.0, 500, None),  # limit-up: no buying
        (False, True, 340.0, 300, 400),
        (True, False, 340.0, None, 500),  # limit-down: no selling
        (True, False, 640.0, 600, 700),
        (False, False, 0.0, None, 500),  # suspended
    ],
)
def test_limits_leave_only_the_holding_on_their_side(can_buy, can_sell, target, below, above):
    lots = _Lots(500, LOT_RULES["main"], can_buy=can_buy, can_sell=can_sell)
    assert (lots.below(target), lots.above(target)) == (below, above)


@pytest.mark.parametrize(
    ("stock", "held", "target", "shares"),
    [
        (M[0], 0, 555, 600),
        (M[0], 0, 545, 500),
        (M[0], 0, 970, 1000),  # all the capital: cash 0 is not negative
        (M[0], 250, 120, 100),
        (M[0], 150, 0, 0),  # the odd lot sold entirely
        (STAR, 0, 150, 200),
        (STAR, 0, 250.7, 251),
        (STAR, 150, 100, 150),
        (BSE, 0, 60, 100),
        (CHINEXT, 0, 130, 100),
    ],
)
def test_one_stock_rounds_to_its_nearest_reachable_position(priced, stock, held, target, shares):
    # One stock's tracking error is its volatility times |weight - target|: the nearest.
    capital = 1000 * PRICE
    holdings = pd.Series({stock: held}) if held else None
    orders = to_orders(pd.Series({stock: target / 1000}), capital, LAST, holdings)
    row = orders.table.loc[stock]
    assert (row["shares"], row["buy"], row["sell"]) == (
        shares,
        max(shares - held, 0),
        max(held - shares, 0),
    )
    assert orders.cash == pytest.approx(capital - shares * PRICE, abs=1e-6)
    assert row["buy_value"] - row["sell_value"] == pytest.approx((shares - held) * PRICE)
    volatility = math.sqrt(
        OptimizeHelper([stock], LAST, None, CovModel.FACTOR_MODEL_DAILY).get_cov_matrix()[0, 0]
    )
    assert orders.tracking_error == pytest.approx(volatility * abs(shares - target) / 1000)


def test_costs_come_out_of_cash_as_the_cost_model_prices_them(priced):
    costs = AShareCosts(commission=0.0003, min_commission=5.0, impact=0.5)
    capital = 1000 * PRICE
    # Buying all 1000 shares would leave the costs unpaid: one lot less.
    orders = to_orders(pd.Series({M[0]: 1.0}), capital, LAST, cost_model=costs)
    assert orders.table.loc[M[0], "shares"] == 900
    value = 900 * PRICE
    traded = value / capital
    volatility, adv = costs.liquidity(LAST, [M[0]]).iloc[0]
    expected = (
        max(0.0003 * value, 5.0)
        + 0.00001 * value
        + 0.5 * volatility * math.sqrt(value / adv) * value
    )
    assert orders.costs == pytest.approx(expected, rel=1e-9)
    assert orders.cash == pytest.approx(capital - value - expected, abs=1e-4)
    by_model = costs.costs(LAST, pd.Series(dtype=float), pd.Series({M[0]: traded}), capital)
    assert orders.costs == pytest.approx(by_model.sum() * capital, rel=1e-9)


@pytest.fixture
def limited(use_source):
    return use_source(
        market(STOCKS, seed=8, up=[M[0], STAR], down=[M[1], BSE], halted=[M[2], M[3]])
    )


def test_limited_stocks_are_left_as_the_rules_force_them(limited):
    held = pd.Series({M[0]: 1000, M[1]: 3000, M[2]: 500, STAR: 300, BSE: 2000, M[4]: 1234})
    # The targets want to buy the limit-up, sell the limit-down and trade the suspended.
    weights = pd.Series(
        {M[0]: 0.15, STAR: 0.15, M[1]: 0.0, BSE: 0.01, M[2]: 0.0, M[3]: 0.1, M[4]: 0.2, M[5]: 0.3}
    )
    orders = to_orders(weights, 5e6, LAST, held)
    table = orders.table
    assert table.loc[[M[0], STAR], "buy"].tolist() == [0, 0]
    assert table.loc[[M[1], BSE], "sell"].tolist() == [0, 0]
    assert table.loc[[M[2], M[3]], "shares"].tolist() == [500, 0]
    assert table.loc[[M[0], M[1], M[2], M[3], STAR, BSE], "state"].tolist() == [
        "limit_up",
        "limit_down",
        "suspended",
        "suspended",
        "limit_up",
        "limit_down",
    ]
    # The suspended holding is worth its last close.
    assert table.loc[M[2], "price"] == quotaris.get_price_limits(M[2], LAST)["previous_close"]
    assert orders.cash >= 0


def lot_rules_hold(table: pd.DataFrame) -> None:
    for stock, row in table.iterrows():
        minimum, step = LOT_RULES[row["board"]]
        if row["buy"]:
            assert row["buy"] >= minimum and (row["buy"] - minimum) % step == 0, stock
        if row["sell"] and row["sell"] != row["held"]:
            odd = row["held"] % step if step > 1 else 0
            whole = row["sell"] >= minimum and (row["sell"] - minimum) % step == 0
            assert whole or (odd and (row["sell"] - odd) % step == 0), stock


REALISTIC = [*main_board(40), *[f"3000{k:02d}.XSHE" for k in range(10)], STAR, BSE]


@pytest.fixture
def realistic(use_source):
    return use_source(market(REALISTIC, seed=21))


@pytest.mark.parametrize("capital", [3e5, 1e6, 1e7])
def test_the_rounding_beats_round_to_nearest_and_no_single_step_improves_it(realistic, capital):
    rng = np.random.default_rng(int(capital))
    weights = pd.Series(rng.dirichlet(np.full(len(REALISTIC), 2.0)), index=REALISTIC)
    held = pd.Series(rng.integers(0, 30, 11) * 50 + 7, index=REALISTIC[::5])
    orders = to_orders(weights, capital, LAST, held)
    table = orders.table
    lot_rules_hold(table)
    assert orders.cash >= 0
    value = math.fsum(table["value"])
    assert orders.cash == pytest.approx(capital - value, abs=1e-3)
    # An independent tracking error, from the dense covariance.
    ids = list(table.index)
    cov = OptimizeHelper(ids, LAST, None, CovModel.FACTOR_MODEL_DAILY).get_cov_matrix()
    price, target = table["price"].to_numpy(), table["target_weight"].to_numpy()

    def tracking_error(shares):
        active = shares * price / capital - target
        return math.sqrt(active @ cov @ active)

    shares = table["shares"].to_numpy()
    assert orders.tracking_error == pytest.approx(tracking_error(shares), rel=1e-9)
    if orders.nearest_cash >= 0:
        assert orders.tracking_error <= orders.nearest_tracking_error + 1e-12
    for k, stock in enumerate(ids):
        lots = _Lots(
            int(table.loc[stock, "held"]), LOT_RULES[table.loc[stock, "board"]], True, True
        )
        t = table.loc[stock, "target"]
        for other in {lots.below(t), lots.above(t)} - {shares[k], None}:
            moved = shares.copy()
            moved[k] = other
            if capital - moved @ price >= 0:
                assert tracking_error(moved) >= orders.tracking_error * (1 - 1e-9), stock


def test_held_weights_value_shares_at_the_close(limited):
    shares = pd.Series({M[2]: 500, M[4]: 1200})
    limits = quotaris.get_price_limits([M[2], M[4]], LAST)
    expected = pd.Series(
        [500 * limits.loc[M[2], "previous_close"] / 1e5, 1200 * limits.loc[M[4], "close"] / 1e5],
        index=[M[2], M[4]],
    )
    pd.testing.assert_series_equal(held_weights(shares, 1e5, LAST), expected)


@pytest.mark.parametrize(
    ("weights", "capital", "options", "named"),
    [
        ({M[0]: 0.5}, -1.0, {}, "capital must be a positive number of yuan, got -1.0"),
        ({M[0]: 0.5}, float("nan"), {}, "got nan"),
        ({M[0]: 0.5}, True, {}, "got True"),
        ({M[0]: -0.1}, 1e6, {}, rf"{M[0]} \(-0.1\)"),
        ({M[0]: np.nan}, 1e6, {}, f"no finite value for {M[0]}"),
        ({M[0]: 0.7, M[1]: 0.5}, 1e6, {}, "add up to 1.2"),
        ({"601888.XSHG": 0.5}, 1e6, {}, "does not know 601888.XSHG"),
        ({GONE: 0.5}, 1e6, {}, f"{GONE} \\(delisted"),
        ({INDEX: 0.5}, 1e6, {}, f"{INDEX} are no stocks"),
        ({M[0]: 0.5}, 1e6, {"holdings": pd.Series({M[1]: 10.5})}, rf"{M[1]} \(10.5\)"),
        ({M[0]: 0.5}, 1e6, {"holdings": pd.Series({M[1]: -100})}, rf"{M[1]} \(-100\)"),
        ({M[0]: 0.5}, 1e3, {"holdings": pd.Series({M[1]: 1000})}, "below the value"),
        ({M[0]: 0.5}, 1e6, {"no_buy": ["000001.XSHE"]}, "does not know 000001.XSHE"),
        ({M[0]: 0.5}, 1e6, {"date": "2024-02-17"}, "2024-02-17 is no trading day"),
        ({M[0]: 0.5}, 1e6, {"cost_model": 0.001}, "cost_model must be an AShareCosts"),
        ({M[0]: 0.5}, 1e6, {"cov_model": "weekly"}, "'weekly'"),
    ],
)
def test_bad_arguments_are_refused_naming_the_value(priced, weights, capital, options, named):
    date = options.pop("date", LAST)
    with pytest.raises(InvalidArgument, match=named):
        to_orders(pd.Series(weights), capital, date, **options)


def test_the_csi300_mandate_on_the_demo_market_rounds_below_round_to_nearest(demo):
    day = "2025-06-30"
    try:
        quotaris.get_close(["000001.XSHE"], day, day)
    except quotaris.MissingData:
        pytest.skip("this demo market has no closes yet")
    pool = list(quotaris.index_weights("000300.XSHG", day).index)
    weights = plovera.portfolio_optimize(
        pool, day, plovera.MinTrackingError(), {"*": (0, 0.05)}, benchmark="000300.XSHG"
    )
    for capital in (1e7, 1e8):
        orders = to_orders(weights, capital, day)
        lot_rules_hold(orders.table)
        assert orders.cash >= 0
        assert orders.tracking_error <= orders.nearest_tracking_error


def test_optimize_command_writes_orders(priced, tmp_path, capsys):
    held = tmp_path / "shares.csv"
    pd.Series({M[0]: 250, STAR: 150}).to_csv(held, header=False)
    orders = tmp_path / "orders.csv"
    base = ["optimize", *STOCKS, "--date", str(LAST), "--bound", "*=0:0.2"]
    more = ["--capital", "1e6", "--orders", str(orders), "--held-shares", str(held)]
    assert main([*base, *more]) == EXIT_OK
    err = capsys.readouterr().err
    assert re.search(r"residual cash [\d,.]+ yuan", err)
    assert re.search(r"tracking error to the target [\d.]+% a year \(round to nearest", err)
    table = pd.read_csv(orders, index_col="order_book_id")
    columns = [
        "state",
        "price",
        "held",
        "shares",
        "buy",
        "sell",
        "buy_value",
        "sell_value",
        "value",
    ]
    assert table.columns.tolist() == columns
    assert table.loc[M[0], "held"] == 250 and table.loc[STAR, "held"] == 150
    assert (table["value"] == table["shares"] * table["price"]).all()
    assert table["value"].sum() <= 1e6
    assert ((table["buy"] % 100 == 0) | table.index.isin([STAR, BSE])).all()


def test_optimize_command_trading_limits_from_held_shares(limited, tmp_path, capsys):
    # Held shares, valued at the close, are the weights the limits keep.
    held = tmp_path / "shares.csv"
    pd.Series({M[1]: 20000, M[2]: 3000}).to_csv(held, header=False)
    orders = tmp_path / "orders.csv"
    output = tmp_path / "weights.csv"
    status = main(
        [
            "optimize",
            *STOCKS,
            "--date",
            str(LAST),
            "--trading-limits",
            *["--capital", "1e6", "--orders", str(orders), "--held-shares", str(held)],
            *["--output", str(output)],
        ]
    )
    assert status == EXIT_OK
    weights = pd.read_csv(output, index_col="order_book_id")["weight"]
    now = held_weights(pd.Series({M[1]: 20000, M[2]: 3000}), 1e6, LAST)
    assert weights[M[1]] >= now[M[1]] - 1e-3
    assert weights[M[2]] == pytest.approx(now[M[2]], abs=1e-3)
    assert weights.reindex([M[0], M[3], STAR], fill_value=0.0).max() <= 1e-3
    table = pd.read_csv(orders, index_col="order_book_id")
    assert table.loc[M[1], "sell"] == 0 and table.loc[M[2], "shares"] == 3000


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        (["--orders", "orders.csv"], "--orders needs --capital"),
        (["--capital", "1e6"], "--orders needs --capital"),
        (["--held-shares", "held.csv"], "--held-shares are read by --orders only"),
        (["--capital", "-5", "--orders", "orders.csv"], "--capital must be a positive"),
        (["--capital", "1e6", "--orders", "orders.json"], "written as CSV, not .json"),
        (["--capital", "1e6", "--orders", "taken.csv"], "already exists"),
    ],
)
def test_optimize_command_refuses_orders_options_that_do_not_go_together(
    priced, tmp_path, monkeypatch, capsys, extra, message
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "taken.csv").write_text("x\n")
    assert main(["optimize", *STOCKS, "--date", str(LAST), *extra]) == EXIT_REFUSED
    assert message in capsys.readouterr().err
