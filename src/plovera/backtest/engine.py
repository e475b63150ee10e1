"""The backtest loop: optimise on each rebalance date, then drift the holdings to the next.

On rebalance day d the optimisation sees what ``portfolio_optimize`` sees on
d; the trade happens at d's close and the new weights earn from the next
trading day on.  Between rebalances the holdings drift with prices; cash
earns nothing.  A stock without a quote on d keeps its drifted weight, one
closing at limit-up is not bought and one at limit-down not sold
(``pins.py``); a stock delisted while held goes to cash at its last quote.
With a capital the run holds whole lots of shares and cash
(``account.py``).  Where the dates are optimised, and in which order, is
the pipeline's business (``pipeline.py``); every runner gives the same
weights.
"""

from __future__ import annotations

import inspect
import math
import threading
import time
import warnings
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures.process import BrokenProcessPool

import pandas as pd

import quotaris

from ..exception import InvalidArgument, OptimizerWarning
from ..riskmodel.exante import held
from ..trading.costs import AShareCosts
from .account import Account, check_capital
from .dates import DateOutcome
from .executors import BacktestError, open_runner
from .ledger import Ledger
from .pins import NO_PINS, held_pins
from .pipeline import DatePipeline, open_pipeline
from .prices import Prices, benchmark_nav, restricted_ahead
from .result import BacktestResult
from .runners import Runner
from .schedule import rebalance_dates, trading_days
from .strategy import Strategy

__all__ = ["run_backtest", "run_backtests"]

ON_FAILURE = ("hold", "raise")


def run_backtest(
    strategy: Strategy,
    start: object,
    end: object,
    rebalance: object = "monthly",
    cost: float | AShareCosts = 0.0,
    on_failure: str = "hold",
    executor: object = None,
    progress: Callable[[int, int], None] | None = None,
    capital: float | None = None,
) -> BacktestResult:
    """Backtest ``strategy`` from ``start`` to ``end``; see the module's description.

    ``cost`` is a flat rate charged on Σ|w_new − w_drifted| at each rebalance, or an
    :class:`plovera.trading.AShareCosts`, which values the portfolio at its
    ``capital`` × NAV.  ``progress(done, total)`` is called as each rebalance date is
    optimised.  With ``capital`` (yuan; the market must have closes) the run holds
    whole lots of shares bought at the close and the rest in cash; its NAV is in
    fractions of the capital.
    """
    (result,) = run_backtests(
        [strategy], start, end, rebalance, cost, on_failure, executor, progress, capital
    ).values()
    return result


def run_backtests(
    strategies: Iterable[Strategy] | Mapping[str, Strategy],
    start: object,
    end: object,
    rebalance: object = "monthly",
    cost: float | AShareCosts = 0.0,
    on_failure: str = "hold",
    executor: object = None,
    progress: Callable[[int, int], None] | None = None,
    capital: float | None = None,
) -> dict[str, BacktestResult]:
    """Backtests of several strategies, in parallel on ``executor``, by strategy name."""
    named = _named(strategies)
    capital = _check(cost, on_failure, capital)
    runner = open_runner(executor)
    try:
        counter = _SharedProgress(progress)
        backtests = {
            name: _Backtest(
                strategy, start, end, rebalance, cost, on_failure, runner, counter, capital
            )
            for name, strategy in named.items()
        }
        counter.total = sum(len(backtest.schedule) for backtest in backtests.values())
        if not runner.remote or len(backtests) == 1:
            return {name: backtest.run() for name, backtest in backtests.items()}
        return _side_by_side(backtests)
    finally:
        runner.close()


def _named(strategies: Iterable[Strategy] | Mapping[str, Strategy]) -> dict[str, Strategy]:
    if isinstance(strategies, Mapping):
        named = dict(strategies)
    else:
        named = {}
        for strategy in strategies:
            if not isinstance(strategy, Strategy):
                raise InvalidArgument(f"expected a Strategy, got {strategy!r}")
            if strategy.name in named:
                raise InvalidArgument(f"two strategies are named {strategy.name!r}")
            named[strategy.name] = strategy
    if not named:
        raise InvalidArgument("no strategies to backtest")
    return named


def _check(cost: float | AShareCosts, on_failure: str, capital: object) -> float | None:
    """Refuse a bad cost, failure policy or capital; the capital in yuan."""
    # Trading everything turns over 2 in weight: a cost of half a unit or more
    # would charge all of the value and leave nothing to compound.
    valid = isinstance(cost, int | float) and not isinstance(cost, bool)
    if not (isinstance(cost, AShareCosts) or (valid and math.isfinite(cost) and 0 <= cost < 0.5)):
        raise InvalidArgument(
            f"cost must be a number from 0 up to 0.5 or an AShareCosts, got {cost!r}"
        )
    if on_failure not in ON_FAILURE:
        raise InvalidArgument(f"on_failure must be 'hold' or 'raise', got {on_failure!r}")
    capital = check_capital(capital)
    given = cost.capital if isinstance(cost, AShareCosts) else None
    if capital is not None and given is not None and given != capital:
        raise InvalidArgument(
            f"the run's capital of {capital:,.2f} yuan and the cost model's of "
            f"{given:,.2f} yuan differ: give one, or the same"
        )
    return capital


def _side_by_side(backtests: dict[str, _Backtest]) -> dict[str, BacktestResult]:
    """The backtests run on threads of their own: their drift passes run here side by
    side while the workers optimise, kept busy by all of them."""
    results: dict[str, BacktestResult] = {}
    errors: list[BaseException] = []

    def run(name: str) -> None:
        try:
            results[name] = backtests[name].run(side_by_side=True)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=run, args=(name,)) for name in backtests]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return {name: results[name] for name in backtests}


class _SharedProgress:
    """One count of the dates done over every backtest of a call."""

    def __init__(self, progress: Callable[[int, int], None] | None) -> None:
        self.progress, self.total, self.done = progress, 0, 0
        self.lock = threading.Lock()

    def __call__(self) -> None:
        with self.lock:
            self.done += 1
            if self.progress:
                self.progress(self.done, self.total)


class _Backtest:
    def __init__(
        self,
        strategy: Strategy,
        start: object,
        end: object,
        rebalance: object,
        cost: float | AShareCosts,
        on_failure: str,
        runner: Runner,
        progress: Callable[[], None],
        capital: float | None = None,
    ) -> None:
        self.strategy, self.on_failure, self.capital = strategy, on_failure, capital
        self.cost = cost if isinstance(cost, AShareCosts) else float(cost)
        self.runner, self.progress = runner, progress
        days = trading_days(start, end)
        self.schedule = rebalance_dates(rebalance, days)
        position = {day: i for i, day in enumerate(days.date)}
        first = position[self.schedule[0]]
        #: The run's days, from its first rebalance, and the rebalance dates' rows in them.
        self.days = days[first:]
        self.rows = [position[date] - first for date in self.schedule]
        if capital is not None:
            _check_closes(capital, self.schedule[0])
        if runner.remote:
            strategy.check_pickles()

    def run(self, side_by_side: bool = False) -> BacktestResult:
        """The backtest's result; ``side_by_side`` with others on the same runner."""
        started = time.perf_counter()
        pools = _pools_ahead(self.strategy, self.schedule)
        ids = sorted({i for pool in pools if pool for i in pool})
        prices = Prices(self.days, ids, closes=self.capital is not None)
        restricted = None
        if not self.strategy.depends_on_holdings:
            restricted = restricted_ahead(pools, prices, self.rows, self.strategy.price_limits)
        account = None if self.capital is None else Account(self.capital, prices)
        ledger = Ledger(self.days, self.rows, self.cost, account)
        holdings, pins = pd.Series(dtype=float), NO_PINS
        pipeline = open_pipeline(
            self.runner, self.strategy, self.schedule, restricted, side_by_side
        )
        try:
            for k, date in enumerate(self.schedule):
                outcome = self._dispatch(pipeline, k, holdings, pins)
                ledger.time(outcome)
                self.progress()
                ledger.trade(k, date, self._target(outcome, ledger), holdings, pins)
                holdings, unquoted = ledger.drift(k, prices)
                if k + 1 < len(self.schedule):
                    limits = self.strategy.price_limits
                    pins = held_pins(self.schedule[k + 1], holdings, unquoted, limits)
        finally:
            pipeline.close()
        self._judge(ledger)
        benchmark = benchmark_nav(self.strategy.benchmark, self.schedule, self.rows, prices)
        timings = {
            "seconds": time.perf_counter() - started,
            "optimise_seconds": ledger.optimise_seconds,
            "date_other_seconds": ledger.other_seconds,
            "rebalances": len(self.schedule),
            "prepared": len(self.schedule) if pipeline.prepares else 0,
            "optimised_again": ledger.optimised_again,
        }
        return ledger.result(self.strategy.name, benchmark, timings)

    def _dispatch(
        self, pipeline: DatePipeline, k: int, holdings: pd.Series, pins: pd.DataFrame
    ) -> DateOutcome:
        try:
            return pipeline.outcome(k, holdings, pins)
        except BrokenProcessPool:
            # A Dask cluster runs a lost task again elsewhere; a process pool cannot.
            raise BacktestError(
                f"a worker process died while optimising; lost: {self.schedule[k]}"
            ) from None

    def _target(self, outcome: DateOutcome, ledger: Ledger) -> pd.Series | None:
        """What to hold after the date: its optimised weights, or on failure (unless the
        run is to raise) None, for the holdings it had."""
        if outcome.error is None:
            ledger.forecast(outcome)
            return held(outcome.weights)
        if self.on_failure == "raise":
            raise outcome.error
        ledger.fail(outcome)
        return None

    def _judge(self, ledger: Ledger) -> None:
        """A run whose every date failed is no result: it never held what it was told to."""
        failures, name, total = ledger.failures, self.strategy.name, len(self.schedule)
        if failures and len(failures) == total:
            first = failures[0]
            why = f"\n{first.diagnosis}" if first.diagnosis else ""
            raise BacktestError(
                f"strategy {name!r}: every one of its {total} rebalance dates failed; the "
                f"first, {first.date}: {first.error_type}: {first.message}{why}"
            ) from ledger.first_error
        if failures:
            warnings.warn(
                f"strategy {name!r}: {len(failures)} of {total} rebalance dates failed and "
                "kept their holdings (see result.failures)",
                OptimizerWarning,
                stacklevel=_caller_level(),
            )


def _check_closes(capital: float, day) -> None:
    """Refuse a capital where the market data has no closes to buy shares at."""
    try:
        quotaris.get_close([], day, day)
    except quotaris.MissingData as error:
        raise InvalidArgument(
            f"a capital of {capital:,.2f} yuan buys whole shares at the close, and the "
            f"market data has no closes ({error}): run without a capital"
        ) from None


def _caller_level() -> int:
    """The ``stacklevel`` of a warning that names the line calling into this package,
    for its caller (``run_backtest`` calls ``run_backtests``)."""
    frame, level = inspect.currentframe().f_back, 1
    while frame is not None and frame.f_globals.get("__name__", "").startswith(__package__):
        frame, level = frame.f_back, level + 1
    return level


def _pools_ahead(strategy: Strategy, schedule: list) -> list[list[str] | None]:
    """Each rebalance date's pool read before the run, None where it cannot be: a pool
    given as a callable is called only on the workers, and a date whose pool cannot be
    read fails when it is optimised."""
    if callable(strategy.pool):
        return [None] * len(schedule)
    pools: list[list[str] | None] = []
    for date in schedule:
        try:
            pools.append(strategy.pool_on(date))
        except InvalidArgument:
            pools.append(None)
    return pools
