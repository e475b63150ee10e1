"""What a run writes down date by date, and the result it makes of it.

A run holds weights (fractions of its value, drifting with the price changes)
or, with a capital, whole shares and cash (``account.py``).
"""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import pandas as pd

from ..exception import InvalidArgument
from ..trading.costs import AShareCosts
from .account import Account
from .dates import DateOutcome
from .pins import PIN_COLUMNS
from .prices import Prices
from .result import FLAT_COST, HOLDINGS_COLUMNS, BacktestResult, Failure

__all__ = ["Ledger"]


class Ledger:
    """A run's value day by day, its trades and their costs, each date's forecast risk or
    failure, and the time its dates took."""

    def __init__(
        self,
        days: pd.DatetimeIndex,
        rows: list[int],
        cost: float | AShareCosts,
        account: Account | None = None,
    ) -> None:
        """``days``: the run's, from its first rebalance; ``rows``: the rebalance dates'
        positions among them; ``cost``: a flat rate on the weight traded or a cost model;
        ``account``: the shares and cash of a run with a capital."""
        self.days, self.rows, self.cost, self.account = days, rows, cost, account
        self.nav = np.ones(len(days))
        #: The value at the rebalance being traded, before its costs.
        self.value = 1.0
        #: The weights held after the last trade.
        self.held = pd.Series(dtype=float)
        self.weights: dict = {}
        self.pins: list[pd.DataFrame] = []
        self.shares: dict = {}
        self.cash: dict = {}
        self.turnover: dict = {}
        self.costs: dict = {}
        self.cost_kinds: dict = {}
        self.ex_ante: dict = {}
        self.holdings: dict = {}
        self.failures: list[Failure] = []
        self.first_error: BaseException | None = None
        self.optimise_seconds = 0.0
        self.other_seconds = 0.0
        self.optimised_again = 0

    def time(self, outcome: DateOutcome) -> None:
        self.optimised_again += outcome.optimised_again
        self.optimise_seconds += outcome.optimise_seconds
        self.other_seconds += outcome.other_seconds

    def forecast(self, outcome: DateOutcome) -> None:
        self.ex_ante[outcome.date] = (outcome.volatility, outcome.tracking_error)
        if len(outcome.pins):
            pins = outcome.pins.rename_axis("order_book_id").reset_index()
            self.pins.append(pins.assign(date=outcome.date))
        if outcome.holdings is not None:
            self.holdings[outcome.date] = outcome.holdings

    def fail(self, outcome: DateOutcome) -> None:
        error = outcome.error
        self.first_error = self.first_error or error
        self.failures.append(
            Failure(outcome.date, type(error).__name__, str(error), outcome.diagnosis)
        )

    def trade(
        self, k: int, date, target: pd.Series | None, holdings: pd.Series, pins: pd.DataFrame
    ) -> None:
        """Trade from ``holdings`` to ``target`` (None keeps the holdings) at the close of
        rebalance date ``k``, ``date``, paying the cost; ``pins``: held stocks that
        cannot trade freely then."""
        if self.account is None:
            target = holdings if target is None else target
            traded = _traded(target, holdings)
            capital = self.cost.capital if isinstance(self.cost, AShareCosts) else None
            value = None if capital is None else capital * self.value
            kinds = self._charge(date, holdings, target, value)
            self.value *= 1.0 - sum(kinds.values())
        else:
            row = self.rows[k]

            def charge(before: pd.Series, after: pd.Series, value: float) -> dict:
                return self._charge(date, before, after, value)

            kinds, traded, target = self.account.trade(date, row, target, pins, charge)
            self.value = self.account.value(row) / self.account.capital
            self.shares[date], self.cash[date] = self.account.shares, self.account.cash
        self.turnover[date], self.costs[date] = traded / 2, sum(kinds.values())
        self.cost_kinds[date] = kinds
        self.weights[date] = self.held = target

    def _charge(self, date, before: pd.Series, after: pd.Series, value: float | None) -> dict:
        """The costs by kind of trading from weights ``before`` to ``after`` of a value of
        ``value`` yuan (None where the run does not know it), as fractions of it."""
        if isinstance(self.cost, AShareCosts):
            kinds = self.cost.costs(date, before, after, value).to_dict()
        else:
            kinds = {FLAT_COST: self.cost * _traded(after, before)}
        total = sum(kinds.values())
        if total >= 1.0:
            raise InvalidArgument(
                f"the rebalance of {date} would cost {total:.0%} of the portfolio's value: "
                f"{kinds}; check the cost model {self.cost!r}"
            )
        return kinds

    def drift(self, k: int, prices: Prices) -> tuple[pd.Series, pd.Series]:
        """Hold what rebalance ``k`` traded to up to the next one (or the run's end);
        the holdings it drifted to then, and those of them without a quote then."""
        here = self.rows[k]
        stop = self.rows[k + 1] if k + 1 < len(self.rows) else len(self.nav)
        last = min(stop, len(self.nav) - 1)
        self.nav[here] = self.value
        if self.account is None:
            path, holdings, unquoted = prices.drift(self.held, here, last)
            self.nav[here + 1 : stop + 1] = self.value * path
        else:
            values, holdings, unquoted = self.account.drift(here, last)
            self.nav[here + 1 : stop + 1] = values / self.account.capital
        self.value = self.nav[stop] if stop < len(self.nav) else self.value
        return holdings, unquoted

    def result(self, name: str, benchmark_nav: pd.Series, timings: dict) -> BacktestResult:
        weights = pd.DataFrame(self.weights).T.fillna(0.0).sort_index(axis=1)
        weights.index = _stamps(self.weights)
        return BacktestResult(
            name=name,
            weights=weights,
            nav=pd.Series(self.nav, index=self.days.as_unit("ns"), name="nav"),
            benchmark_nav=benchmark_nav,
            turnover=_dated(self.turnover, "turnover"),
            costs=_dated(self.costs, "costs"),
            costs_by_kind=pd.DataFrame(
                list(self.cost_kinds.values()), index=_stamps(self.cost_kinds)
            ),
            failures=self.failures,
            ex_ante=pd.DataFrame(
                list(self.ex_ante.values()),
                index=_stamps(self.ex_ante),
                columns=["volatility", "tracking_error"],
            ),
            timings=timings,
            pins=_pins(self.pins),
            holdings=_holdings(self.holdings),
            shares=None if self.account is None else _shares(self.shares),
            cash=None if self.account is None else _dated(self.cash, "cash"),
            capital=None if self.account is None else self.account.capital,
        )


def _traded(target: pd.Series, holdings: pd.Series) -> float:
    """Σ|target − holdings| over the stocks of either."""
    where = target.index.get_indexer(holdings.index)
    before = holdings.to_numpy()
    change = target.to_numpy(dtype=float, copy=True)
    kept = where >= 0
    change[where[kept]] -= before[kept]
    return float(np.abs(change).sum() + np.abs(before[~kept]).sum())


def _pins(pins: list[pd.DataFrame]) -> pd.DataFrame:
    """The run's pins, one row each, in the order of ``PIN_COLUMNS``."""
    if not pins:
        return pd.DataFrame({column: [] for column in PIN_COLUMNS}).astype(
            {"date": "datetime64[ns]", "order_book_id": object, "kind": object, "weight": float}
        )
    table = pd.concat(pins, ignore_index=True)
    table["date"] = _stamps(table["date"])
    return table[list(PIN_COLUMNS)]


def _holdings(reports: dict) -> pd.DataFrame | None:
    """How each date's holdings constraints were solved; None for a run without them."""
    if not reports:
        return None
    rows = [
        {column: getattr(report, column) for column in HOLDINGS_COLUMNS}
        for report in reports.values()
    ]
    table = pd.DataFrame(rows, index=_stamps(reports), columns=list(HOLDINGS_COLUMNS))
    return table.astype({"objective": float, "bound": float, "gap": float})


def _shares(shares: dict) -> pd.DataFrame:
    table = pd.DataFrame(shares).T.fillna(0).astype(np.int64).sort_index(axis=1)
    table.index = _stamps(shares)
    return table


def _stamps(dates: Iterable) -> pd.DatetimeIndex:
    return pd.DatetimeIndex(pd.to_datetime(list(dates))).as_unit("ns")


def _dated(values: dict, name: str) -> pd.Series:
    return pd.Series(list(values.values()), index=_stamps(values), name=name)
