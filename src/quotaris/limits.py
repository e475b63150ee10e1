"""The boards of the A-share market and the daily price limits of their stocks.

A stock may close at most a set percentage above or below its previous close
(the last close before the day, however long ago): the percentage depends on
the board, on whether the stock is under special treatment that day, and on
the rules in force that day.  Newly listed stocks trade without a limit for
their first days.  The exchanges round a limit price to the fen (0.01 yuan),
half away from zero, so a limit-up close may lie a little above or below the
percentage.

Everything here works on whole arrays: numbers of boards (positions in
``BOARDS``), days as day numbers (days since 1970-01-01), prices in yuan.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

import numpy as np
import pandas as pd

__all__ = [
    "BOARDS",
    "LIMIT_COLUMNS",
    "LIMIT_RULES",
    "LIMIT_TOLERANCE",
    "SPECIAL_TREATMENT_STATUSES",
    "LimitRule",
    "boards_of",
    "free_days",
    "limit_percent",
    "limit_prices",
    "limits_table",
    "round_to_fen",
]

#: The boards a stock trades on: the main boards of Shanghai and Shenzhen, ChiNext
#: (Shenzhen 30xxxx), STAR (Shanghai 688xxx, 689xxx) and the Beijing exchange.
BOARDS = ("main", "chinext", "star", "bse")

#: The statuses of a stock under special treatment: "ST", and "*ST" when it risks delisting.
SPECIAL_TREATMENT_STATUSES = ("ST", "*ST")

#: How far below the limit-up price (above the limit-down price) a close still counts as
#: at the limit: half a fen, so that prices stored with binary rounding still match.
LIMIT_TOLERANCE = 0.005

#: The columns of a table of price limits.
LIMIT_COLUMNS = (
    "previous_close",
    "close",
    "limit_up",
    "limit_down",
    "at_limit_up",
    "at_limit_down",
)


class LimitRule(NamedTuple):
    board: str
    since: str  # the first day the rule is in force
    percent: int  # the daily limit, in percent of the previous close
    special_percent: int  # the limit of a stock under special treatment
    free_days: int  # trading days from the listing (the first) without a limit


# The percentages hold on the days from `since` until the board's next rule; a
# board's first rule also covers the days before it.  The days without a limit
# follow the rule a stock was listed under, not the rule of the day: a ChiNext
# stock listed before 2020-08-24 never gets the five free days of the reform.
LIMIT_RULES = (
    #         board      in force from  limit %  ST %  free days
    LimitRule("main",    "1996-12-16",  10,       5,   1),
    LimitRule("chinext", "2009-10-30",  10,       5,   1),
    LimitRule("chinext", "2020-08-24",  20,      20,   5),
    LimitRule("star",    "2019-07-22",  20,      20,   5),
    LimitRule("bse",     "2021-11-15",  30,      30,   1),
)  # fmt: skip

_PERCENT = np.array([rule.percent for rule in LIMIT_RULES], dtype=np.float64)
_SPECIAL_PERCENT = np.array([rule.special_percent for rule in LIMIT_RULES], dtype=np.float64)
_FREE_DAYS = np.array([rule.free_days for rule in LIMIT_RULES], dtype=np.int64)


def _rules_by_board() -> list[tuple[np.ndarray, np.ndarray]]:
    """For each board, the day numbers its rules start on and their rows, by start."""
    by_board = []
    for board in BOARDS:
        rows = [k for k, rule in enumerate(LIMIT_RULES) if rule.board == board]
        starts = np.array([np.datetime64(LIMIT_RULES[k].since, "D") for k in rows])
        order = np.argsort(starts)
        by_board.append((starts[order].astype(np.int64), np.array(rows)[order]))
    return by_board


_RULES_BY_BOARD = _rules_by_board()

# Exchanges as other sources name them, by the MIC the identifiers use.
_EXCHANGES = {
    "XSHG": "XSHG",
    "SSE": "XSHG",
    "SH": "XSHG",
    "SS": "XSHG",
    "XSHE": "XSHE",
    "SZSE": "XSHE",
    "SZ": "XSHE",
    "BJSE": "BJSE",
    "BSE": "BJSE",
    "BJ": "BJSE",
}
# The boards apart from the main boards, by exchange and leading digits of the code.
_CODE_BOARDS = {("XSHG", "688"): "star", ("XSHG", "689"): "star", ("XSHE", "30"): "chinext"}
# Slack (in fen) against binary rounding: a previous close in fen times a whole
# percentage lands on a hundredth of a fen, so the half fen is never crossed by it.
_FEN_SLACK = 1e-6


def boards_of(order_book_ids: Sequence[str], exchanges: Sequence[str]) -> np.ndarray:
    """Positions in ``BOARDS`` of stocks, from their exchanges and codes.

    Every stock of the Beijing exchange is on its board; Shanghai's 688xxx and
    689xxx are STAR, Shenzhen's 30xxxx ChiNext; the rest are main-board stocks.
    """
    numbers = np.zeros(len(order_book_ids), dtype=np.int8)
    for at, (order_book_id, exchange) in enumerate(zip(order_book_ids, exchanges, strict=True)):
        market = _EXCHANGES.get(str(exchange).upper())
        if market == "BJSE":
            numbers[at] = BOARDS.index("bse")
            continue
        code = order_book_id.split(".", 1)[0]
        board = _CODE_BOARDS.get((market, code[:3])) or _CODE_BOARDS.get((market, code[:2]))
        if board is not None:
            numbers[at] = BOARDS.index(board)
    return numbers


def _rule_rows(board: np.ndarray, day: np.ndarray) -> np.ndarray:
    """The row of ``LIMIT_RULES`` in force on ``day`` for each stock's board."""
    rows = np.empty(len(board), dtype=np.int64)
    for number, (starts, board_rows) in enumerate(_RULES_BY_BOARD):
        mine = board == number
        at = np.searchsorted(starts, day[mine], side="right") - 1
        rows[mine] = board_rows[np.maximum(at, 0)]
    return rows


def limit_percent(board: np.ndarray, special: np.ndarray, day: int) -> np.ndarray:
    """Each stock's daily limit on ``day`` in percent, from its board and whether it is
    under special treatment."""
    rows = _rule_rows(board, np.full(len(board), day, dtype=np.int64))
    return np.where(special, _SPECIAL_PERCENT[rows], _PERCENT[rows])


def free_days(board: np.ndarray, listed_day: np.ndarray) -> np.ndarray:
    """How many trading days from its listing on (the listing day is the first) each
    stock trades without a limit, under the rules it was listed under."""
    return _FREE_DAYS[_rule_rows(board, np.asarray(listed_day, dtype=np.int64))]


def round_to_fen(prices: np.ndarray) -> np.ndarray:
    """Prices in yuan rounded to the fen, half away from zero (prices are positive)."""
    return np.floor(np.asarray(prices) * 100.0 + (0.5 + _FEN_SLACK)) / 100.0


def limit_prices(previous_close: np.ndarray, percent: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The limit-up and limit-down prices, each rounded to the fen; NaN where either
    argument is NaN."""
    # In fen, the limit is the previous close in yuan times 100 ± the percentage:
    # whole percentages keep the product exact where a factor like 1.1 would not.
    up = np.floor(previous_close * (100.0 + percent) + (0.5 + _FEN_SLACK)) / 100.0
    down = np.floor(previous_close * (100.0 - percent) + (0.5 + _FEN_SLACK)) / 100.0
    return up, down


def limits_table(
    order_book_ids: Sequence[str],
    previous_close: np.ndarray,
    close: np.ndarray,
    board: np.ndarray,
    special: np.ndarray,
    day: int,
    listed_day: np.ndarray,
    sessions_listed: np.ndarray,
) -> pd.DataFrame:
    """The price limits of stocks on ``day``, with ``LIMIT_COLUMNS`` by identifier.

    ``sessions_listed`` counts the trading days since each stock's listing (0 on
    the listing day).  A stock without a limit that day (within its first free
    days), without a previous close or without a close has NaN limit prices and
    is at neither limit.
    """
    percent = limit_percent(board, special, day)
    free = sessions_listed < free_days(board, listed_day)
    limited = ~free & np.isfinite(previous_close) & np.isfinite(close)
    up, down = limit_prices(np.where(limited, previous_close, np.nan), percent)
    with np.errstate(invalid="ignore"):
        at_up = limited & (close >= up - LIMIT_TOLERANCE)
        at_down = limited & (close <= down + LIMIT_TOLERANCE)
    return pd.DataFrame(
        {
            "previous_close": previous_close,
            "close": close,
            "limit_up": up,
            "limit_down": down,
            "at_limit_up": at_up,
            "at_limit_down": at_down,
        },
        index=pd.Index(order_book_ids),
    )
