"""From target weights to orders: whole lots of shares at a day's close.

A target weight asks for a fraction of a share count that the exchanges do
not trade: purchases come in lots (100 shares on the main boards and ChiNext;
at least 200 and then single shares on STAR; at least 100 and then single
shares in Beijing), and a sale is a whole number of lots, or takes the odd
shares beyond the whole lots along, or sells the whole holding.  Each stock
is rounded down or up to a position it can reach from its holding, and the
directions are chosen together to keep the ex-ante tracking error of the
rounded portfolio to the target small, with cash never negative.

The tracking-error variance of a deviation d (weights, rounded less target)
is dᵀXFXᵀd + Σ dᵢ²sᵢ² over the factor model: with z = FXᵀd kept, moving one
stock by δ changes it by 2δ(Xᵢz + sᵢ²dᵢ) + δ²(XᵢFXᵢᵀ + sᵢ²), O(k) for k
factors, so the search never forms an n × n matrix.
"""

from __future__ import annotations

import dataclasses
import datetime
import math
import numbers
from typing import NamedTuple

import numpy as np
import pandas as pd

import quotaris

from ..const import CovModel
from ..exception import InvalidArgument
from .costs import AShareCosts
from .market import check_stocks, day_of, id_list, names, numeric_series, trading_states

__all__ = ["LOT_RULES", "LotRule", "Orders", "held_weights", "to_orders"]


class LotRule(NamedTuple):
    """The shares a purchase may buy on a board: 0, or ``minimum`` and then ``step``s."""

    minimum: int
    step: int


#: The purchase sizes of each board (``quotaris.BOARDS``).  A sale is a whole number
#: of them, or takes the odd shares beyond whole lots along, or is the whole holding.
LOT_RULES = {
    "main": LotRule(100, 100),
    "chinext": LotRule(100, 100),
    "star": LotRule(200, 1),
    "bse": LotRule(100, 1),
}

#: Target weights below 0 by at most this much are solver round-off, taken as 0; so
#: are weights adding up to at most this much above 1.
WEIGHT_TOLERANCE = 1e-6
# A share count computed in floating point this close to a whole number is on it.
_SHARE_EPS = 1e-6
# Cash is counted to a hundredth of a fen, far above the round-off of sums of yuan, so
# that a portfolio spending its whole capital ends with 0, not a hair below.
_CASH_DECIMALS = 4
_CASH_SLACK = 1e-6
# The best single steps of each side that the search tries pairing with every other.
_PAIRED = 8


def _floor(x: float) -> int:
    return math.floor(x + _SHARE_EPS)


def _ceil(x: float) -> int:
    return math.ceil(x - _SHARE_EPS)


class _Lots:
    """The positions (share counts) one stock can reach from ``held`` on a day."""

    __slots__ = ("can_buy", "can_sell", "held", "minimum", "odd", "step")

    def __init__(self, held: int, rule: LotRule, can_buy: bool, can_sell: bool) -> None:
        self.held, self.minimum, self.step = held, rule.minimum, rule.step
        self.can_buy, self.can_sell = can_buy, can_sell
        # On lot boards the odd shares beyond whole lots may go along with a sale.
        self.odd = held % rule.step if rule.step > 1 else 0

    def _floor_buy(self, q: float) -> int:
        if q < self.minimum - _SHARE_EPS:
            return 0
        return self.minimum + self.step * _floor((q - self.minimum) / self.step)

    def _ceil_buy(self, q: float) -> int:
        if q <= _SHARE_EPS:
            return 0
        if q <= self.minimum + _SHARE_EPS:
            return self.minimum
        return self.minimum + self.step * _ceil((q - self.minimum) / self.step)

    def _floor_sale(self, s: float) -> int:
        if s >= self.held - _SHARE_EPS:
            return self.held
        best = self._floor_buy(s)
        if self.odd and s >= self.odd - _SHARE_EPS:
            best = max(best, self.odd + self.step * _floor((s - self.odd) / self.step))
        return best

    def _ceil_sale(self, s: float) -> int:
        best = self.held
        lots = self._ceil_buy(s)
        if lots <= self.held:
            best = lots
        if self.odd:
            with_odd = self.odd + self.step * _ceil(max(s - self.odd, 0.0) / self.step)
            if with_odd <= self.held:
                best = min(best, with_odd)
        return best

    def below(self, t: float) -> int | None:
        """The largest reachable position at most ``t``; None if there is none."""
        if t >= self.held - _SHARE_EPS:
            return self.held + (self._floor_buy(t - self.held) if self.can_buy else 0)
        if not self.can_sell or t < -_SHARE_EPS:
            return None
        return self.held - self._ceil_sale(self.held - t)

    def above(self, t: float) -> int | None:
        """The smallest reachable position at least ``t``; None if there is none."""
        if t <= self.held + _SHARE_EPS:
            return self.held - (self._floor_sale(self.held - max(t, 0.0)) if self.can_sell else 0)
        if not self.can_buy:
            return None
        return self.held + self._ceil_buy(t - self.held)


class _Fees:
    """What trading one stock to a position costs, in yuan, under an ``AShareCosts``."""

    def __init__(self, model: AShareCosts | None, day, ids, held, price, capital, tradable) -> None:
        self.model, self.held, self.price, self.capital = model, held, price, capital
        self.impact = np.zeros(len(ids))
        self.stamp = 0.0
        if model is not None:
            self.stamp = model.stamp_duty_on(day)
            if model.impact > 0 and tradable.any():
                traded = [ids[i] for i in np.flatnonzero(tradable)]
                scale = model.impact_coefficients(day, traded, capital)
                # k·|Δ|^1.5 of the capital for a weight Δ is k·C^-0.5·|value|^1.5 yuan.
                self.impact[tradable] = scale / math.sqrt(capital)
        # Plain floats for one stock at a time: numpy's scalars cost more than the sums.
        self._held, self._price = held.tolist(), price.tolist()
        self._impact = self.impact.tolist()

    def one(self, i: int, position: int) -> float:
        """The cost of trading stock ``i`` to ``position``, as ``of`` sums it."""
        change = position - self._held[i]
        if self.model is None or change == 0:
            return 0.0
        model = self.model
        value = abs(change) * self._price[i]
        fee = max(model.commission * value, model.min_commission) + model.transfer_fee * value
        if change < 0:
            fee += self.stamp * value
        return fee + self._impact[i] * value**1.5

    def of(self, positions: np.ndarray) -> np.ndarray:
        """The cost of trading every stock from its holding to ``positions``."""
        change = positions - self.held
        if self.model is None:
            return np.zeros(len(change))
        model = self.model
        value = np.abs(change) * self.price
        traded = change != 0
        fees = np.where(traded, np.maximum(model.commission * value, model.min_commission), 0.0)
        fees = fees + model.transfer_fee * value + np.where(change < 0, self.stamp * value, 0.0)
        return fees + self.impact * value**1.5


class _Rounding:
    """Positions of every stock, moved one reachable step at a time, with the deviation
    from the target, its factor part z = F Xᵀ d and the cash kept up to date."""

    def __init__(self, lots, target, price, capital, weights, model, fees) -> None:
        self.lots, self.price, self.capital = lots, price, capital
        self.weights, self.fees = weights, fees
        self.x = model.exposures.to_numpy(dtype=np.float64)
        self.f = model.factor_covariance.to_numpy(dtype=np.float64)
        self.s = model.specific_variance.to_numpy(dtype=np.float64)
        self.xf = self.x @ self.f
        self.own = np.einsum("ij,ij->i", self.xf, self.x) + self.s
        n = len(lots)
        down = [lot.below(t) for lot, t in zip(lots, target, strict=True)]
        up = [lot.above(t) for lot, t in zip(lots, target, strict=True)]
        # No reachable position on one side (a stock that cannot trade that way): the
        # other side's.
        self.down = np.array([u if d is None else d for d, u in zip(down, up, strict=True)])
        self.up = np.array([d if u is None else u for d, u in zip(down, up, strict=True)])
        nearer_up = self.up - target < target - self.down
        self.nearest = np.where(nearer_up, self.up, self.down)
        self.low, self.high = self.down.copy(), self.up.copy()
        self.steps = np.zeros((2, n), dtype=np.int64)  # the position one step down, up
        self.delta = np.zeros((2, n))  # the weight change of that step
        self.freed = np.zeros((2, n))  # the cash that step frees (negative: spends)
        self.place(self.nearest)

    def place(self, positions: np.ndarray) -> None:
        self.pos = positions.astype(np.int64)
        self.cost = self.fees.of(self.pos)
        self.d = self.pos * self.price / self.capital - self.weights
        self.z = self.f @ (self.x.T @ self.d)
        self.cash = self.cash_now()
        for i in range(len(self.lots)):
            self.neighbours(i)

    def cash_now(self) -> float:
        spent = float(np.sum(self.pos * self.price)) + float(np.sum(self.cost))
        return round(self.capital - spent, _CASH_DECIMALS) + 0.0  # no -0.0

    def variance(self) -> float:
        y = self.x.T @ self.d
        return float(y @ self.f @ y + self.s @ self.d**2)

    def neighbours(self, i: int) -> None:
        """Stock ``i``'s steps within [low, high]; a missing step stays where it is."""
        lot, here = self.lots[i], int(self.pos[i])
        below = lot.below(here - 0.5) if here > self.low[i] else None
        above = lot.above(here + 0.5) if here < self.high[i] else None
        for side, step in enumerate((below, above)):
            step = here if step is None or not self.low[i] <= step <= self.high[i] else step
            self.steps[side, i] = step
            price = self.fees._price[i]
            self.delta[side, i] = (step - here) * price / self.capital
            self.freed[side, i] = (here - step) * price + self.cost[i] - self.fees.one(i, step)

    def changes(self) -> tuple[np.ndarray, np.ndarray]:
        """The variance change of each stock's step down and of its step up."""
        slope = self.x @ self.z + self.s * self.d
        return tuple(2.0 * delta * slope + delta**2 * self.own for delta in self.delta)

    def move(self, i: int, side: int) -> None:
        delta = self.delta[side, i]
        self.pos[i] = self.steps[side, i]
        self.d[i] += delta
        self.z += delta * self.xf[i]
        self.cost[i] = self.fees.one(i, int(self.pos[i]))
        self.cash = self.cash_now()
        self.neighbours(i)

    def reach(self, low: np.ndarray, high: np.ndarray) -> None:
        self.low, self.high = low, high
        for i in range(len(self.lots)):
            self.neighbours(i)

    def pay(self) -> None:
        """Step down, cheapest in variance per yuan freed first, until cash is not
        negative: within the round-down positions, then below them if need be."""
        widened = False
        while self.cash < 0:
            moved = self.steps[0] != self.pos
            useful = moved & (self.freed[0] > 0)
            if not useful.any():
                if widened:
                    raise InvalidArgument(
                        f"the orders cannot keep cash from going negative: "
                        f"{-self.cash:,.2f} yuan short with every stock sold that can be"
                    )
                widened = True
                self.reach(np.zeros_like(self.low), self.high)
                continue
            freed = np.where(useful, self.freed[0], 1.0)
            score = np.where(useful, self.changes()[0] / freed, np.inf)
            self.move(int(np.argmin(score)), 0)

    def improve(self, limit: int) -> None:
        """Best single steps, else best pairs of steps, while either lowers the variance
        and keeps cash non-negative."""
        self.reach(np.minimum(self.pos, self.down), self.up)
        threshold = -1e-12 * max(self.variance(), 1e-16)
        for _ in range(limit):
            changes = self.changes()
            allowed = [
                (self.steps[side] != self.pos) & (self.cash + self.freed[side] >= -_CASH_SLACK)
                for side in (0, 1)
            ]
            gains = [np.where(allowed[side], changes[side], np.inf) for side in (0, 1)]
            side = int(np.argmin([gains[0].min(), gains[1].min()]))
            i = int(np.argmin(gains[side]))
            if gains[side][i] < threshold:
                self.move(i, side)
                continue
            pair = self.best_pair(changes, threshold)
            if pair is None:
                return
            for i, side in pair:
                self.move(i, side)

    def search(self, limit: int) -> np.ndarray:
        """The better of the searches from the nearest positions and from the round-down
        ones: a local search can stop short, and the two stop at different places."""
        found = []
        for start in (self.nearest, self.down):
            self.low, self.high = self.down.copy(), self.up.copy()
            self.place(start)
            self.pay()
            self.improve(limit)
            found.append((self.variance(), self.pos.copy()))
        best = min(found, key=lambda item: item[0])[1]
        self.place(best)
        return best

    def best_pair(self, changes, threshold) -> tuple[tuple[int, int], tuple[int, int]] | None:
        """The best two steps of two stocks taken together, the first among the best
        single steps of each side: a pair's change adds their cross term
        2δᵢδⱼXᵢFXⱼᵀ, and a pair may pay for a step up that cash alone blocks."""
        movable = [self.steps[side] != self.pos for side in (0, 1)]
        best, found = threshold, None
        for first in (0, 1):
            candidates = np.flatnonzero(movable[first])
            candidates = candidates[np.argsort(changes[first][candidates])[:_PAIRED]]
            for i in candidates:
                shared = 2.0 * self.delta[first, i] * (self.x @ self.xf[i])
                for second in (0, 1):
                    total = changes[first][i] + changes[second] + shared * self.delta[second]
                    paid = self.cash + self.freed[first, i] + self.freed[second] >= -_CASH_SLACK
                    total = np.where(movable[second] & paid, total, np.inf)
                    total[i] = np.inf
                    j = int(np.argmin(total))
                    if total[j] < best:
                        best, found = total[j], ((int(i), first), (j, second))
        return found


@dataclasses.dataclass(frozen=True)
class Orders:
    """The orders that turn a portfolio into whole lots close to target weights.

    ``table`` holds one row per stock of the target or the holdings:
    ``board``, ``state`` (why it cannot trade freely that day, as
    :func:`~plovera.trading.market.trading_states` names it, "" if it can),
    ``price`` (the close; a suspended holding at its last close), ``held``,
    ``target`` (shares, fractional), ``shares`` (after the orders), ``buy``
    and ``sell`` (shares), ``buy_value`` and ``sell_value`` (yuan),
    ``value`` (the position after the orders, yuan), ``cost`` (yuan),
    ``target_weight`` and ``weight`` (of the capital).

    ``cash`` is what is left after the orders and their costs;
    ``tracking_error`` the ex-ante tracking error (a year) of the rounded
    weights against the target ones, ``nearest_tracking_error`` and
    ``nearest_cash`` those of rounding every stock to its nearest reachable
    position (whose cash may be negative).
    """

    date: datetime.date
    capital: float
    table: pd.DataFrame
    cash: float
    costs: float
    tracking_error: float
    nearest_tracking_error: float
    nearest_cash: float

    @property
    def shares(self) -> pd.Series:
        return self.table["shares"].copy()

    @property
    def buy(self) -> pd.Series:
        return self.table["buy"].copy()

    @property
    def sell(self) -> pd.Series:
        return self.table["sell"].copy()

    @property
    def weights(self) -> pd.Series:
        return self.table["weight"].copy()

    @property
    def buy_value(self) -> float:
        return float(self.table["buy_value"].sum())

    @property
    def sell_value(self) -> float:
        return float(self.table["sell_value"].sum())

    def __str__(self) -> str:
        table = self.table
        return "\n".join(
            [
                f"orders on {self.date} for a capital of {self.capital:,.2f} yuan",
                f"  buy {int((table['buy'] > 0).sum())} stocks for {self.buy_value:,.2f} yuan, "
                f"sell {int((table['sell'] > 0).sum())} for {self.sell_value:,.2f} yuan, "
                f"costs {self.costs:,.2f} yuan",
                f"  residual cash {self.cash:,.2f} yuan ({self.cash / self.capital:.4%})",
                f"  tracking error to the target {self.tracking_error:.4%} a year "
                f"(round to nearest: {self.nearest_tracking_error:.4%}, "
                f"cash {self.nearest_cash:,.2f} yuan)",
            ]
        )


def _capital(value: object) -> float:
    ok = isinstance(value, numbers.Real) and not isinstance(value, bool)
    if not (ok and math.isfinite(value) and value > 0):
        raise InvalidArgument(f"capital must be a positive number of yuan, got {value!r}")
    return float(value)


def _series(name: str, value: object) -> pd.Series:
    if isinstance(value, pd.Series):
        id_list(f"{name}'s index", list(value.index))
    return numeric_series(name, value)


def _pairs(ids, values) -> str:
    return names(f"{i} ({v:g})" for i, v in zip(ids, values, strict=True))


def _target_weights(weights: object) -> pd.Series:
    weights = _series("weights", weights)
    values = weights.to_numpy(copy=True)
    negative = values < -WEIGHT_TOLERANCE
    if negative.any():
        raise InvalidArgument(
            f"weights must not be negative: {_pairs(weights.index[negative], values[negative])}"
        )
    values[values < 0] = 0.0
    if values.sum() > 1 + WEIGHT_TOLERANCE:
        raise InvalidArgument(
            f"weights add up to {values.sum():.8g}, more than the capital (1): orders cannot borrow"
        )
    return pd.Series(values, index=weights.index)


def _held_shares(holdings: object) -> pd.Series:
    if holdings is None:
        return pd.Series(dtype=np.int64)
    shares = _series("holdings", holdings)
    values = shares.to_numpy()
    bad = (values < 0) | (values != np.round(values))
    if bad.any():
        raise InvalidArgument(
            "holdings must be whole numbers of shares, at least 0: "
            f"{_pairs(shares.index[bad], values[bad])}"
        )
    return shares[values > 0].astype(np.int64)


def _valued(held: pd.Series, capital: float, day: datetime.date) -> tuple[pd.DataFrame, float]:
    """The trading states of the held stocks with their value in yuan at the close, and
    the holdings' whole value; refused when it exceeds ``capital`` or lacks a price."""
    ids = list(held.index)
    check_stocks(ids, day, "holdings", quoted_before=True)
    states = trading_states(ids, day)
    unpriced = states.index[np.isnan(states["price"].to_numpy())]
    if len(unpriced):
        raise InvalidArgument(
            f"holdings of {names(unpriced)} have no close on or before {day}: they cannot be valued"
        )
    value = held.to_numpy() * states["price"].to_numpy()
    worth = math.fsum(value)
    if worth > capital * (1 + 1e-12):
        raise InvalidArgument(
            f"capital {capital:,.2f} is below the value of the holdings at the close of "
            f"{day}, {worth:,.2f} yuan: it must count them"
        )
    return states.assign(value=value), worth


def held_weights(holdings: pd.Series, capital: float, date: object) -> pd.Series:
    """Holdings in shares as weights of ``capital`` yuan at the close of ``date`` (a
    suspended stock at its last close): the current weights a turnover limit or a
    :class:`TradingRestriction` compares against."""
    held, capital, day = _held_shares(holdings), _capital(capital), day_of("date", date)
    if held.empty:
        return pd.Series(dtype=np.float64)
    states, _ = _valued(held, capital, day)
    return pd.Series(states["value"].to_numpy() / capital, index=held.index)


def _cov_model(value: object) -> CovModel:
    for member in CovModel:
        if value is member or value == member.value:
            return member
    choices = ", ".join(member.value for member in CovModel)
    raise InvalidArgument(f"cov_model must be a CovModel or one of {choices}, got {value!r}")


def to_orders(
    weights: pd.Series,
    capital: float,
    date: object,
    holdings: pd.Series | None = None,
    cost_model: AShareCosts | None = None,
    cov_model: CovModel | str = CovModel.FACTOR_MODEL_DAILY,
    no_buy=(),
    no_sell=(),
) -> Orders:
    """The orders at the close of ``date`` that turn ``holdings`` (shares by stock; none
    by default) into whole lots close to ``weights`` of ``capital`` yuan.

    ``capital`` is the portfolio's value: cash plus the holdings at the close
    (a suspended holding at its last close), at least their value.  Weights
    are fractions of it, at least 0 and adding up to at most 1 (the rest is
    kept as cash).  On ``date`` a stock at its limit-up price is not bought,
    one at its limit-down price not sold, a suspended one neither (nor
    those listed in ``no_buy`` / ``no_sell``): each stays as the rules force
    it.  A stock the weights give no weight is only sold.

    Every stock starts at its nearest reachable position; while cash is
    negative (orders and costs above the capital) the stock whose step down
    adds least tracking-error variance per yuan it frees steps down; then
    single steps, and pairs of a step up with one down, within each stock's
    round-down and round-up positions are taken, best first, while they
    lower the tracking error and keep cash non-negative.  ``cost_model``
    (an :class:`AShareCosts`) charges each order's costs to the cash; the
    tracking error is measured with the risk model's ``cov_model`` forecast.
    """
    from ..helper import OptimizeHelper

    day = day_of("date", date)
    capital = _capital(capital)
    target = _target_weights(weights)
    held = _held_shares(holdings)
    if cost_model is not None and not isinstance(cost_model, AShareCosts):
        raise InvalidArgument(f"cost_model must be an AShareCosts, got {cost_model!r}")
    cov_model = _cov_model(cov_model)
    ids = sorted(set(target.index[target.to_numpy() > 0]) | set(held.index))
    if not ids:
        raise InvalidArgument("the weights hold nothing and there are no holdings: no orders")
    check_stocks(ids, day, "orders", quoted_before=True)
    if not held.empty:
        _valued(held, capital, day)
    states = trading_states(ids, day, no_buy, no_sell)
    boards = quotaris.get_board(ids)
    held_now = held.reindex(ids, fill_value=0).to_numpy(dtype=np.int64)
    # A stock without any close is neither held (refused above) nor bought.
    price = np.nan_to_num(states["price"].to_numpy(dtype=np.float64), nan=0.0)
    wanted = target.reindex(ids, fill_value=0.0).to_numpy()
    shares = np.where(price > 0, wanted * capital / np.where(price > 0, price, 1.0), 0.0)
    lots = [
        _Lots(int(h), LOT_RULES[board], bool(not nb and w > 0), bool(not ns))
        for h, board, nb, ns, w in zip(
            held_now,
            boards.reindex(ids),
            states["no_buy"],
            states["no_sell"],
            wanted,
            strict=True,
        )
    ]
    tradable = np.array([lot.can_buy or (lot.can_sell and lot.held > 0) for lot in lots])
    fees = _Fees(cost_model, day, ids, held_now, price, capital, tradable)
    model = OptimizeHelper(ids, day, None, cov_model).get_factor_model()
    rounding = _Rounding(lots, shares, price, capital, wanted, model, fees)
    nearest_te = math.sqrt(max(rounding.variance(), 0.0))
    nearest_cash = rounding.cash
    position = rounding.search(limit=20 * len(ids) + 100)
    change = position - held_now
    cost = fees.of(position)
    table = pd.DataFrame(
        {
            "board": boards.reindex(ids).to_numpy(),
            "state": states["state"].to_numpy(),
            "price": states["price"].to_numpy(),
            "held": held_now,
            "target": shares,
            "shares": position,
            "buy": np.maximum(change, 0),
            "sell": np.maximum(-change, 0),
            "buy_value": np.maximum(change, 0) * price,
            "sell_value": np.maximum(-change, 0) * price,
            "value": position * price,
            "cost": cost,
            "target_weight": wanted,
            "weight": position * price / capital,
        },
        index=pd.Index(ids, name="order_book_id"),
    )
    return Orders(
        date=day,
        capital=capital,
        table=table,
        cash=rounding.cash_now(),
        costs=math.fsum(cost),
        tracking_error=math.sqrt(max(rounding.variance(), 0.0)),
        nearest_tracking_error=nearest_te,
        nearest_cash=nearest_cash,
    )
