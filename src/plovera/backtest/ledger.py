"""What a run writes down date by date, and the result it makes of it."""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import pandas as pd

from .dates import DateOutcome
from .prices import Prices
from .result import BacktestResult, Failure

__all__ = ["Ledger"]


class Ledger:
    """A run's value day by day, its trades and their costs, each date's forecast risk or
    failure, and the time its dates took."""

    def __init__(self, days: pd.DatetimeIndex, rows: list[int], cost: float) -> None:
        """``days``: the run's, from its first rebalance; ``rows``: the rebalance dates'
        positions among them."""
        self.days, self.rows, self.cost = days, rows, cost
        self.nav = np.ones(len(days))
        #: The value at the rebalance being traded, before its costs.
        self.value = 1.0
        self.weights: dict = {}
        self.turnover: dict = {}
        self.costs: dict = {}
        self.ex_ante: dict = {}
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

    def fail(self, outcome: DateOutcome) -> None:
        error = outcome.error
        self.first_error = self.first_error or error
        self.failures.append(
            Failure(outcome.date, type(error).__name__, str(error), outcome.diagnosis)
        )

    def trade(self, date, target: pd.Series, holdings: pd.Series) -> None:
        """Trade from ``holdings`` to ``target`` at ``date``'s close, paying the cost."""
        traded = _traded(target, holdings)
        self.value *= 1.0 - self.cost * traded
        self.turnover[date], self.costs[date] = traded / 2, self.cost * traded
        self.weights[date] = target

    def drift(self, k: int, target: pd.Series, prices: Prices) -> tuple[pd.Series, pd.Series]:
        """Hold ``target`` from rebalance ``k`` up to the next one (or the run's end);
        the holdings it drifted to then, and those of them without a quote then."""
        here = self.rows[k]
        stop = self.rows[k + 1] if k + 1 < len(self.rows) else len(self.nav)
        self.nav[here] = self.value
        path, holdings, pins = prices.drift(target, here, min(stop, len(self.nav) - 1))
        self.nav[here + 1 : stop + 1] = self.value * path
        self.value = self.nav[stop] if stop < len(self.nav) else self.value
        return holdings, pins

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
            failures=self.failures,
            ex_ante=pd.DataFrame(
                list(self.ex_ante.values()),
                index=_stamps(self.ex_ante),
                columns=["volatility", "tracking_error"],
            ),
            timings=timings,
        )


def _traded(target: pd.Series, holdings: pd.Series) -> float:
    """Σ|target − holdings| over the stocks of either."""
    where = target.index.get_indexer(holdings.index)
    before = holdings.to_numpy()
    change = target.to_numpy(dtype=float, copy=True)
    kept = where >= 0
    change[where[kept]] -= before[kept]
    return float(np.abs(change).sum() + np.abs(before[~kept]).sum())


def _stamps(dates: Iterable) -> pd.DatetimeIndex:
    return pd.DatetimeIndex(pd.to_datetime(list(dates))).as_unit("ns")


def _dated(values: dict, name: str) -> pd.Series:
    return pd.Series(list(values.values()), index=_stamps(values), name=name)
