"""Trading restrictions in solved optimisations: what cannot be bought or sold on the day
stays on its side of the holdings."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from trading_market import BSE, CHINEXT, GONE, INDEX, LAST, STAR, main_board, market

import plovera
from plovera import TradingRestriction
from plovera.cli import EXIT_OK, EXIT_REFUSED, main
from plovera.exception import InvalidArgument

M = main_board(7)
UP, DOWN, HALTED, HALTED_UNHELD, UP_UNHELD = M[0], M[1], M[2], M[3], STAR
POOL = [*M[:6], CHINEXT, STAR, BSE]
OUTSIDE = M[6]
HELD = pd.Series({UP: 0.02, DOWN: 0.30, HALTED: 0.05, M[4]: 0.10})
TOLERANCE = 1e-3  # SCS on weights


@pytest.fixture
def limited(use_source):
    return use_source(
        market(
            [*POOL, OUTSIDE],
            seed=11,
            up=[UP, UP_UNHELD],
            down=[DOWN],
            halted=[HALTED, HALTED_UNHELD],
        )
    )


def solve(objective, cons=None, bnds=None, pool=POOL):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plovera.OptimizerWarning)
        return plovera.portfolio_optimize(
            pool, LAST, objective, bnds, cons, benchmark=INDEX
        ).reindex(pool, fill_value=0.0)


def favouring(stocks):
    """Expected active returns that make the information ratio want ``stocks``."""
    returns = pd.Series(-0.05, index=POOL)
    returns[stocks] = 0.3
    return returns


@pytest.mark.parametrize(
    "make",
    [
        lambda: plovera.MinVariance(),
        lambda: plovera.MinTrackingError(),
        # Its budget zeta is a variable: the restriction must scale with it.
        lambda: plovera.MaxInformationRatio(
            favouring([UP, UP_UNHELD, HALTED_UNHELD, M[5], CHINEXT])
        ),
    ],
    ids=["min_variance", "min_tracking_error", "max_information_ratio"],
)
def test_limited_stocks_stay_on_their_side_of_the_holdings(limited, make):
    bnds = {"*": (0.0, 0.4)}
    free = solve(make(), bnds=bnds)
    restricted = solve(make(), [TradingRestriction(HELD)], bnds=bnds)
    assert restricted.sum() == pytest.approx(1.0)
    assert restricted[UP] <= HELD[UP] + TOLERANCE  # no buying at limit-up
    assert restricted[DOWN] >= HELD[DOWN] - TOLERANCE  # no selling at limit-down
    assert restricted[HALTED] == pytest.approx(HELD[HALTED], abs=TOLERANCE)
    assert restricted[[HALTED_UNHELD, UP_UNHELD]].max() <= TOLERANCE
    # Without the restriction the problem wants otherwise, so the restriction binds.
    free_wants = [
        free[UP] > HELD[UP] + 0.01 or free[[HALTED_UNHELD, UP_UNHELD]].max() > 0.01,
        free[DOWN] < HELD[DOWN] - 0.01,
    ]
    assert all(free_wants), free


def test_a_soft_restriction_is_dropped_with_the_soft_group_when_it_cannot_hold(limited):
    # The limit-down holding of 30% cannot be sold below the 20% bound.
    bnds = {"*": (0.0, 0.2)}
    with pytest.raises(plovera.OptimizationFailed):
        solve(plovera.MinVariance(), [TradingRestriction(HELD)], bnds=bnds)
    with pytest.warns(plovera.OptimizerWarning):
        weights = plovera.portfolio_optimize(
            POOL, LAST, plovera.MinVariance(), bnds, [TradingRestriction(HELD, hard=False)]
        )
    assert weights.max() <= 0.2 + TOLERANCE


def test_explicit_lists_hold_on_a_market_without_closes(small_market):
    stocks = main_board(5)
    small_market(pd.bdate_range("2023-01-02", periods=300), stocks, seed=2)
    day = pd.bdate_range("2023-01-02", periods=300)[-1].date()
    held = pd.Series({stocks[0]: 0.05, stocks[1]: 0.4})
    restriction = TradingRestriction(held, no_buy=[stocks[0]], no_sell=[stocks[1]], limits=False)
    weights = plovera.portfolio_optimize(stocks, day, cons=[restriction])
    assert weights[stocks[0]] <= 0.05 + TOLERANCE
    assert weights[stocks[1]] >= 0.4 - TOLERANCE
    with pytest.raises(InvalidArgument, match="closes"):
        plovera.portfolio_optimize(stocks, day, cons=[TradingRestriction(held)])


def test_a_held_stock_outside_the_pool_is_sold_unless_it_cannot_be(limited):
    sellable = solve(plovera.MinVariance(), [TradingRestriction(pd.Series({OUTSIDE: 0.2}))])
    assert OUTSIDE not in sellable.index and sellable.sum() == pytest.approx(1.0)
    pool = [stock for stock in POOL if stock != DOWN]
    with pytest.raises(InvalidArgument, match=rf"{DOWN} \(limit_down, weight 0.3\).*add them"):
        solve(plovera.MinVariance(), [TradingRestriction(HELD)], pool=pool)


def test_the_restrictions_table_says_which_stock_and_why(limited):
    restriction = TradingRestriction(HELD, no_buy=[CHINEXT], no_sell=[BSE])
    table = restriction.restrictions([UP_UNHELD, CHINEXT, BSE, M[5]], LAST)
    expected = pd.DataFrame(
        {
            "held": [0.0, 0.0, 0.0, 0.0, 0.02, 0.30, 0.05, 0.10],
            "no_buy": [True, True, False, False, True, False, True, False],
            "no_sell": [False, False, True, False, False, True, True, False],
            "state": [
                "limit_up",
                "no_buy",
                "no_sell",
                "",
                "limit_up",
                "limit_down",
                "suspended",
                "",
            ],
        },
        index=pd.Index([UP_UNHELD, CHINEXT, BSE, M[5], UP, DOWN, HALTED, M[4]], dtype=object),
    )
    pd.testing.assert_frame_equal(table, expected)


@pytest.mark.parametrize(
    ("holdings", "options", "named"),
    [
        (pd.Series({UP: np.nan}), {}, UP),
        (pd.Series({UP: -0.1}), {}, UP),
        (pd.Series({UP: 0.7, DOWN: 0.5}), {}, "add up to 1.2"),
        ({UP: 0.1}, {}, "pandas Series"),
        (HELD, {"limits": 1}, "limits must be True or False"),
        (HELD, {"no_buy": [1]}, "order_book_id strings"),
        (HELD, {"date": "2023-02-30"}, "date"),
    ],
    ids=["nan", "negative", "over one", "dict", "limits", "not text", "bad date"],
)
def test_bad_arguments_are_refused_when_made(holdings, options, named):
    with pytest.raises(InvalidArgument, match=named):
        TradingRestriction(holdings, **options)


@pytest.mark.parametrize(
    ("holdings", "options", "named"),
    [
        (pd.Series({"601888.XSHG": 0.1}), {}, "does not know 601888.XSHG"),
        (HELD, {"no_sell": ["000001.XSHE"]}, "does not know 000001.XSHE"),
        (pd.Series({GONE: 0.1}), {}, f"{GONE} \\(delisted"),
        (pd.Series({INDEX: 0.1}), {}, f"{INDEX} are no stocks"),
    ],
    ids=["unknown holding", "unknown in no_sell", "delisted holding", "index"],
)
def test_stocks_the_market_cannot_trade_are_refused_when_solved(limited, holdings, options, named):
    with pytest.raises(InvalidArgument, match=named):
        solve(plovera.MinVariance(), [TradingRestriction(holdings, **options)])


def test_optimize_command_keeps_trading_limits(limited, tmp_path, capsys):
    holdings = tmp_path / "held.csv"
    HELD.to_csv(holdings, header=False)
    output = tmp_path / "weights.csv"
    base = ["optimize", *POOL, "--date", str(LAST), "--bound", "*=0:0.4"]
    status = main([*base, "--holdings", str(holdings), "--trading-limits", "--output", str(output)])
    assert status == EXIT_OK
    weights = pd.read_csv(output, index_col="order_book_id")["weight"]
    assert weights.get(UP, 0.0) <= HELD[UP] + TOLERANCE
    assert weights[DOWN] >= HELD[DOWN] - TOLERANCE
    assert weights[HALTED] == pytest.approx(HELD[HALTED], abs=TOLERANCE)
    capsys.readouterr()
    assert main([*base, "--trading-limits"]) == EXIT_REFUSED
    assert "trading limits need the current holdings" in capsys.readouterr().err
    assert main([*base, "--holdings", str(holdings)]) == EXIT_REFUSED
    assert "give --turnover-limit or --trading-limits" in capsys.readouterr().err
