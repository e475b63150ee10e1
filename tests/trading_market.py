"""A small market with closes on every board, for the tests of trading restrictions and
orders: on its last day chosen stocks close at their limit-up or limit-down price or
have no quote."""

from __future__ import annotations

import numpy as np
import pandas as pd

from quotaris import MemorySource
from quotaris.limits import round_to_fen

DAYS = pd.bdate_range("2023-01-02", periods=300)
LAST = DAYS[-1].date()
INDEX = "000300.XSHG"
CHINEXT, STAR, BSE = "300001.XSHE", "688001.XSHG", "830001.BJSE"
#: Delisted a month before the last day.
GONE = "600999.XSHG"


def main_board(count: int) -> list[str]:
    return [f"600{k:03d}.XSHG" for k in range(count)]


def market(
    stocks: list[str],
    *,
    seed: int,
    up=(),
    down=(),
    halted=(),
    prices: dict[str, float] | None = None,
) -> MemorySource:
    """Stocks moving with one common factor, closes in fen from 5 to 60 yuan (``prices``
    fixes the last close of some), an equally weighted ``INDEX`` of them and the ``GONE``
    stock; turnover and float caps for price impact.

    On the last day the stocks of ``up`` close 10 % (main board) or 20 % above the close
    before, those of ``down`` as far below, and those of ``halted`` have no quote.
    """
    rng = np.random.default_rng(seed)
    ids = [*stocks, GONE]
    n = len(ids)
    common = rng.normal(0.0, 0.01, (len(DAYS), 1))
    moves = common * rng.uniform(0.6, 1.4, n) + rng.normal(0.0, 0.015, (len(DAYS), n))
    moves = np.clip(moves, -0.09, 0.09)  # within every board's limits
    level = rng.uniform(5.0, 60.0, n)
    close = np.empty((len(DAYS), n))
    for row in range(len(DAYS)):
        level = np.maximum(round_to_fen(level * (1.0 + moves[row])), 0.01)
        close[row] = level
    close = pd.DataFrame(close, index=DAYS, columns=ids)
    for stock, price in (prices or {}).items():
        close[stock] *= price / close[stock].iloc[-1]
        close[stock] = round_to_fen(close[stock].to_numpy())
    before = close.iloc[-2]
    for stock in up:
        close.loc[DAYS[-1], stock] = round_to_fen(before[stock] * (1.0 + _limit(stock)))
    for stock in down:
        close.loc[DAYS[-1], stock] = round_to_fen(before[stock] * (1.0 - _limit(stock)))
    for stock in halted:
        close.loc[DAYS[-1], stock] = np.nan
    close.loc[DAYS[-22] :, GONE] = np.nan
    changes = close / close.ffill().shift(1) - 1.0
    changes.iloc[0] = 0.0
    changes[close.isna()] = np.nan
    index_change = changes[stocks].mean(axis=1)
    changes[INDEX] = index_change
    close[INDEX] = 1000.0 * (1.0 + index_change).cumprod()
    instruments = pd.DataFrame(
        {
            "order_book_id": [*ids, INDEX],
            "symbol": [*ids, "index"],
            "type": ["CS"] * n + ["INDX"],
            "exchange": [i.split(".")[1] for i in [*ids, INDEX]],
            "listed_date": "2010-01-04",
            "de_listed_date": ["0000-00-00"] * (n - 1) + [str(DAYS[-21].date()), "0000-00-00"],
        }
    )
    weights = pd.DataFrame(
        {"date": DAYS[0], "index_id": INDEX, "order_book_id": stocks, "weight": 1 / len(stocks)}
    )
    shape = (len(DAYS), n)
    quoted = close[ids].notna().to_numpy()
    turnover = np.where(quoted, rng.uniform(0.01, 0.05, shape), np.nan)
    float_cap = np.where(quoted, rng.uniform(1e9, 5e9, shape), np.nan)
    return MemorySource(
        instruments,
        DAYS,
        changes,
        closes=close,
        index_weights=weights,
        turnover=pd.DataFrame(turnover, DAYS, ids),
        market_cap_float=pd.DataFrame(float_cap, DAYS, ids),
    )


def _limit(stock: str) -> float:
    return 0.1 if stock.startswith("60") else (0.3 if stock.endswith("BJSE") else 0.2)
