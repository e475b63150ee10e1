"""A run with a capital in yuan: whole lots of shares and the cash left over.

At each rebalance the target weights (of the value after the trade's costs)
become shares bought and sold at the close in the lots of each board
(``plovera.trading.LOT_RULES``): every stock is rounded down to a position
it can reach from its holding, then, largest shortfall first, rounded up
where that is nearer the target and the cash allows.  The trade's costs are
charged to the cash; when they leave it short, purchases shrink, largest
excess first.  A stock that cannot be bought that day (at limit-up, without
a quote) is not bought, one that cannot be sold (at limit-down, without a
quote) not sold.  Between rebalances the portfolio is worth its shares at
each day's close (a stock without a quote at its last close) and its cash,
which earns nothing; a stock delisted while held is sold into cash at its
last close.
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np
import pandas as pd

import quotaris
from quotaris.source import NOT_DELISTED

from ..exception import InvalidArgument
from ..trading.orders import LOT_RULES
from .prices import Prices

__all__ = ["Account", "check_capital", "whole_lots"]

# A share count computed in floating point this close to a whole number is on it.
_SHARE_EPS = 1e-6
# Cash is counted to a hundredth of a fen: sums of yuan that spend the whole value
# then end at 0, not a hair below.
_CASH_DECIMALS = 4


def _floor_size(x: np.ndarray, minimum: np.ndarray, step: np.ndarray) -> np.ndarray:
    """The largest order size at most ``x``: 0, or ``minimum`` and then ``step``s."""
    lots = np.floor((x - minimum) / step + _SHARE_EPS)
    return np.where(x < minimum - _SHARE_EPS, 0, minimum + step * lots)


def _ceil_size(x: np.ndarray, minimum: np.ndarray, step: np.ndarray) -> np.ndarray:
    """The smallest order size at least ``x``."""
    lots = np.maximum(np.ceil((x - minimum) / step - _SHARE_EPS), 0)
    return np.where(x <= _SHARE_EPS, 0, minimum + step * lots)


def _lot_sizes(boards: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """The smallest purchase and the step after it on each stock's board."""
    rules = [LOT_RULES[board] for board in boards]
    minimum = np.array([rule.minimum for rule in rules], dtype=float)
    return minimum, np.array([rule.step for rule in rules], dtype=float)


def _reachable(
    target: np.ndarray,
    held: np.ndarray,
    minimum: np.ndarray,
    step: np.ndarray,
    can_buy: np.ndarray,
    can_sell: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """Per stock, the largest position at most ``target`` shares and the smallest at
    least it that orders can reach from ``held``: a purchase is an order size; a sale
    is one too, or the whole holding.  A stock that cannot trade the needed way stays
    at ``held`` on both sides."""
    buying = target >= held - _SHARE_EPS
    below_buy = held + np.where(can_buy, _floor_size(target - held, minimum, step), 0)
    below_sell = held - np.minimum(_ceil_size(held - target, minimum, step), held)
    below = np.where(buying, below_buy, np.where(can_sell, below_sell, held))
    above_buy = np.where(can_buy, held + _ceil_size(target - held, minimum, step), held)
    sale = np.where(target <= _SHARE_EPS, held, _floor_size(held - target, minimum, step))
    above_sell = np.where(can_sell, held - sale, held)
    above = np.where(target > held + _SHARE_EPS, above_buy, above_sell)
    return below.astype(np.int64), above.astype(np.int64)


def whole_lots(
    target: np.ndarray,
    held: np.ndarray,
    price: np.ndarray,
    boards: list[str],
    can_buy: np.ndarray,
    can_sell: np.ndarray,
    budget: float,
) -> np.ndarray:
    """Positions in shares near ``target`` (fractional shares) reachable from ``held``
    in the lots of ``boards``, worth at most ``budget`` yuan at ``price`` where the
    positions rounded down allow: each stock rounded down, then, largest shortfall in
    yuan first, up where that is nearer its target and fits in what is left."""
    minimum, step = _lot_sizes(boards)
    below, above = _reachable(target, held, minimum, step, can_buy, can_sell)
    positions = below.copy()
    spare = budget - float(positions @ price)
    shortfall = (target - below) * price
    for i in np.argsort(-shortfall, kind="stable"):
        if shortfall[i] <= 0:
            break
        cost = (above[i] - below[i]) * price[i]
        if above[i] - target[i] < target[i] - below[i] and cost <= spare:
            positions[i] = above[i]
            spare -= cost
    return positions


def _buy_less(
    positions: np.ndarray,
    held: np.ndarray,
    target: np.ndarray,
    price: np.ndarray,
    boards: list[str],
    need: float,
) -> np.ndarray | None:
    """``positions`` with purchases one size smaller, largest excess over the target in
    yuan first, until they free ``need`` yuan; None when the purchases cannot."""
    positions = positions.copy()
    minimum, step = _lot_sizes(boards)
    freed = 0.0
    while freed < need:
        bought = positions > held
        if not bought.any():
            return None
        excess = np.where(bought, (positions - target) * price, -np.inf)
        i = int(np.argmax(excess))
        smaller = held[i] + _floor_size(positions[i] - held[i] - 1.0, minimum[i], step[i])
        freed += (positions[i] - smaller) * price[i]
        positions[i] = int(smaller)
    return positions


class Account:
    """Shares by stock and cash in yuan, from ``capital`` yuan of cash; valued at the
    closes of ``prices`` (which must read them)."""

    def __init__(self, capital: float, prices: Prices) -> None:
        self.capital, self.prices = capital, prices
        self.shares = pd.Series(dtype=np.int64)
        self.cash = float(capital)

    def _closes(self, ids: list[str], row: int) -> np.ndarray:
        self.prices.add(ids)
        unknown = [i for i in ids if i not in self.prices.columns]
        if unknown:
            raise InvalidArgument(f"the market data does not know {', '.join(unknown)}")
        columns = [self.prices.columns[i] for i in ids]
        return self.prices.closes[row, columns]

    def value(self, row: int) -> float:
        """The shares at the close of the run's day ``row`` and the cash, in yuan."""
        ids = self.shares.index.tolist()
        return self.cash + float(self.shares.to_numpy() @ self._closes(ids, row))

    def trade(
        self,
        date,
        row: int,
        target: pd.Series | None,
        pins: pd.DataFrame,
        charge: Callable[[pd.Series, pd.Series, float], dict],
    ) -> tuple[dict, float, pd.Series]:
        """Trade to ``target`` (weights of the value after costs; None keeps the shares)
        at the close of ``date``, the run's day ``row``, moving the stocks of ``pins``
        only the ways they may trade; ``charge(before, after, value)`` gives the costs
        by kind of trading from weights ``before`` to ``after`` of ``value`` yuan, as
        fractions of it.

        Returns the costs by kind, Σ|after − before| and the weights held after the
        trade, of the value after it.
        """
        wanted = pd.Series(dtype=float) if target is None else target[target > 0]
        ids = list(dict.fromkeys([*self.shares.index, *wanted.index]))
        price = np.nan_to_num(self._closes(ids, row))
        held = self.shares.reindex(ids, fill_value=0).to_numpy(dtype=np.int64)
        value = self.cash + float(held @ price)
        before = pd.Series(held * price / value, index=ids)[held > 0]
        if target is None:
            positions, kinds = held, charge(before, before, value)
        else:
            positions, kinds = self._round(
                date, ids, price, held, value, before, wanted, pins, charge
            )
        after = pd.Series(positions * price / value, index=ids)
        spent = float(positions @ price)
        self.cash = round(value - spent - sum(kinds.values()) * value, _CASH_DECIMALS) + 0.0
        self.shares = pd.Series(positions, index=ids, dtype=np.int64)[positions > 0]
        traded = float(np.abs(after.to_numpy() - held * price / value).sum())
        weights = pd.Series(positions * price / (spent + self.cash), index=ids)
        return kinds, traded, weights[positions > 0]

    def _round(
        self, date, ids, price, held, value, before, target, pins, charge
    ) -> tuple[np.ndarray, dict]:
        """The positions of the trade to ``target``, cash never below 0 after its costs,
        and those costs by kind."""
        kinds = pins["kind"].reindex(ids).to_numpy()
        can_buy = (price > 0) & (kinds != "suspended") & (kinds != "limit_up")
        can_sell = (kinds != "suspended") & (kinds != "limit_down")
        budget = value * (1.0 - sum(charge(before, target, value).values()))
        weights = target.reindex(ids, fill_value=0.0).to_numpy()
        shares = np.where(price > 0, weights * budget / np.where(price > 0, price, 1.0), 0.0)
        boards = quotaris.get_board(ids).tolist()
        positions = whole_lots(shares, held, price, boards, can_buy, can_sell, budget)
        while True:
            after = pd.Series(positions * price / value, index=ids)[positions > 0]
            kinds = charge(before, after, value)
            costs = sum(kinds.values()) * value
            short = float(positions @ price) + costs - value
            if round(short, _CASH_DECIMALS) <= 0:
                return positions, kinds
            # Buying less costs less too: freeing the shortfall once is enough.
            fewer = _buy_less(positions, held, shares, price, boards, short)
            if fewer is None:
                raise InvalidArgument(
                    f"a capital of {self.capital:,.2f} yuan is too small for the rebalance of "
                    f"{date}: its costs, {costs:,.2f} yuan, exceed the cash and what its "
                    "sales bring"
                )
            positions = fewer

    def drift(self, first: int, last: int) -> tuple[np.ndarray, pd.Series, pd.Series]:
        """The value in yuan on each of the run's days after ``first`` up to ``last``;
        the holdings (weights) on ``last``, and those of them without a quote that day.

        A stock delisted by ``last`` is sold into cash at its last close.
        """
        ids = self.shares.index.tolist()
        if last <= first or not ids:
            values = np.full(max(last - first, 0), self.cash)
            holdings = self.weights(last)
            return values, holdings, holdings.iloc[:0]
        self._closes(ids, last)
        columns = np.array([self.prices.columns[i] for i in ids], dtype=np.int64)
        shares = self.shares.to_numpy(dtype=float)
        closes = self.prices.closes[first + 1 : last + 1, columns]
        values = np.nan_to_num(closes) @ shares + self.cash
        end = str(self.prices.days[last].date())
        gone = np.array(
            [(d := self.prices.de_listed[k]) != NOT_DELISTED and d <= end for k in columns],
            dtype=bool,
        )
        if gone.any():
            self.cash += float(shares[gone] @ np.nan_to_num(closes[-1, gone]))
            self.shares = self.shares[~gone]
        holdings = self.weights(last)
        unquoted = np.isnan(self.prices.changes[last, columns[~gone]])
        return values, holdings, holdings[unquoted]

    def weights(self, row: int) -> pd.Series:
        """The shares as weights of the value at the close of day ``row``."""
        ids = self.shares.index.tolist()
        worth = self.shares.to_numpy() * self._closes(ids, row)
        return pd.Series(worth / (self.cash + worth.sum()), index=self.shares.index)


def check_capital(capital: object) -> float | None:
    """``capital`` as yuan, None for none; refused unless a positive finite number."""
    if capital is None:
        return None
    ok = isinstance(capital, int | float) and not isinstance(capital, bool)
    if not (ok and math.isfinite(capital) and capital > 0):
        raise InvalidArgument(f"capital must be a positive number of yuan, got {capital!r}")
    return float(capital)
