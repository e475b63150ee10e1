"""The backtest loop: optimise on each rebalance date, then drift the holdings to the next.

On rebalance day d the optimisation sees what ``portfolio_optimize`` sees on
d; the trade happens at d's close and the new weights earn from the next
trading day on.  Between rebalances the holdings drift with prices; cash
earns nothing.  A stock without a quote on d keeps its drifted weight; a
stock delisted while held goes to cash at its last quote.

A date's optimisation depends only on the strategy, the date and the
holdings, and on the holdings only through the stocks it must pin: a held
stock without a quote that day (or, for strategies with a turnover limit or
constraints made from the holdings, the holdings themselves).  Dates are
settled in date order.  When a strategy does not depend on the holdings, the
workers prepare every date ahead (data, problem, compilation), with each
stock that could be held and has no quote that day held at zero; settling a
date then only sets the weights of the held ones and solves.  Local processes
and Dask workers keep each date they prepare, its solver factorised, and settle
it where it is, so a compiled problem never travels.  A date whose
pinned stocks the preparation did not foresee is optimised again with its
holdings.  Either way every executor gives the same weights.
"""

from __future__ import annotations

import concurrent.futures
import copy
import math
import threading
import time
import uuid
import warnings
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

import quotaris
from quotaris.source import NOT_DELISTED

from ..exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from ..riskmodel.exante import HELD_WEIGHT, ex_ante_risk, held
from .executors import BacktestError, one_blas_thread, open_runner
from .result import BacktestResult, Failure
from .schedule import rebalance_dates, trading_days
from .strategy import Strategy

if TYPE_CHECKING:
    from ..riskmodel import FactorModel

__all__ = ["run_backtest", "run_backtests"]

ON_FAILURE = ("hold", "raise")
#: Dates prepared ahead and not yet settled, per worker: enough that no worker
#: waits for the next task, few enough that the compiled problems (a few MB
#: each) do not pile up.
AHEAD_PER_WORKER = 2


@dataclass
class DateOutcome:
    date: object
    weights: pd.Series | None
    volatility: float = math.nan
    tracking_error: float = math.nan
    error: BaseException | None = None
    diagnosis: str | None = None
    optimise_seconds: float = 0.0
    other_seconds: float = 0.0
    #: Prepared without foreseeing its pinned stocks, so optimised again with its holdings.
    optimised_again: bool = False


def call(job: tuple):
    """``function(*arguments)`` for ``job = (function, *arguments)``: one task argument."""
    function, *arguments = job
    return function(*arguments)


def _fresh_objective(strategy: Strategy):
    """The strategy's objective as new: objectives may keep estimates after first use."""
    from ..objective import MinVariance

    return copy.deepcopy(strategy.objective) if strategy.objective else MinVariance()


def _benchmark_of(strategy: Strategy):
    from ..benchmark import IndexBenchmark

    benchmark = strategy.benchmark
    return IndexBenchmark(benchmark) if isinstance(benchmark, str) else benchmark


def optimise_date(strategy: Strategy, date, holdings: pd.Series | None, first: bool) -> DateOutcome:
    """The outcome of ``date`` optimised with ``holdings``; errors are kept, not raised."""
    from ..optimize import portfolio_optimize

    started = time.perf_counter()
    current = pd.Series(dtype=float) if holdings is None else held(holdings)
    try:
        pool = strategy.pool_on(date)
        suspended = set(_unquoted(date, [*pool, *current.index.tolist()]))
        bnds = dict(strategy.bnds or {})
        # Suspended stocks cannot be traded: held ones keep their weight, others stay out.
        pins = current[current.index.isin(suspended)]
        for order_book_id in suspended:
            bnds[order_book_id] = (0.0, 0.0)
        for order_book_id, weight in pins.items():
            bnds[order_book_id] = (float(weight), float(weight))
        pool = list(dict.fromkeys([*pool, *pins.index]))
        cons = strategy.constraints_on(date, current, first)
        objective = _fresh_objective(strategy)
        benchmark = _benchmark_of(strategy)
        solve_started = time.perf_counter()
        weights = portfolio_optimize(
            pool, date, objective, bnds or None, cons or None, benchmark, strategy.cov_model
        )
        solve_seconds = time.perf_counter() - solve_started
        weights = _pinned(pd.Series(weights, dtype=float), pins)
        view = _RiskView.of(date, weights.index.tolist(), benchmark, strategy.cov_model)
        volatility, tracking_error = view.ex_ante(weights)
    except Exception as error:
        diagnosis = None
        if isinstance(error, OptimizationFailed):
            diagnosis = _diagnosis(pool, date, strategy, bnds, cons, benchmark)
        return DateOutcome(
            date,
            None,
            error=error,
            diagnosis=diagnosis,
            other_seconds=time.perf_counter() - started,
        )
    total = time.perf_counter() - started
    return DateOutcome(
        date,
        weights,
        volatility,
        tracking_error,
        optimise_seconds=solve_seconds,
        other_seconds=total - solve_seconds,
    )


def _unquoted(date, order_book_ids: list[str]) -> list[str]:
    """The stocks of ``order_book_ids`` without a quote on ``date``: they cannot trade."""
    quotes = quotaris.get_price_change_rate(list(dict.fromkeys(order_book_ids)), date, date)
    last = quotes.iloc[-1]
    return last.index[last.isna()].tolist()


def _diagnosis(pool, date, strategy: Strategy, bnds, cons, benchmark) -> str:
    """Why the date's problem has no solution, as text that travels between processes."""
    from ..diagnosis import diagnose

    try:
        found = diagnose(
            pool,
            date,
            _fresh_objective(strategy),
            bnds or None,
            cons or None,
            benchmark,
            strategy.cov_model,
        )
    except Exception as error:
        # The date is recorded as failed either way; say why it could not be explained.
        return f"无法诊断：{type(error).__name__}: {error}"
    return str(found)


def _pinned(weights: pd.Series, pins: pd.Series) -> pd.Series:
    """``weights`` with pinned stocks at exactly their weight, the rest scaled to fill up to 1."""
    if pins.empty:
        return weights
    pinned = weights.index.get_indexer(pins.index)
    if (pinned < 0).any():
        weights = pd.concat([weights, pd.Series(0.0, index=pins.index[pinned < 0])])
        pinned = weights.index.get_indexer(pins.index)
    values = weights.to_numpy(dtype=float, copy=True)
    free = np.ones(len(values), dtype=bool)
    free[pinned] = False
    rest = np.clip(values[free], 0.0, None)
    total = rest.sum()
    values[free] = rest * ((1.0 - pins.sum()) / total) if total > 0 else 0.0
    values[pinned] = pins.to_numpy()
    return pd.Series(values, index=weights.index)


@dataclass
class _RiskView:
    """The factor model of a date's stocks and its benchmark, in its factor form, so the
    dense covariance over the pool and the benchmark is never built."""

    order_book_ids: pd.Index
    model: FactorModel
    benchmark: pd.Series | None

    @classmethod
    def of(cls, date, order_book_ids: list[str], benchmark, cov_model) -> _RiskView:
        """The view of ``order_book_ids`` and, outside them, the benchmark's stocks.

        The date's optimisation has already checked the benchmark's weights.
        """
        from .. import helper

        ids = list(order_book_ids)
        benchmark_weights = None
        if benchmark is not None:
            index = benchmark.get_weight(date)
            weights, constituents = index.to_numpy(dtype=float), index.index.tolist()
            position = {order_book_id: k for k, order_book_id in enumerate(ids)}
            for order_book_id in constituents:
                position.setdefault(order_book_id, len(position))
            ids = list(position)
            benchmark_weights = pd.Series(weights / weights.sum(), index=constituents)
        forecast = helper.risk_model().forecast(date, ids, cov_model)
        return cls(pd.Index(ids), forecast, benchmark_weights)

    def ex_ante(self, weights: pd.Series) -> tuple[float, float]:
        """Forecast volatility and tracking error of ``weights``, stocks of the view."""
        risk = ex_ante_risk(self.model, weights, self.benchmark)
        return risk.volatility, risk.tracking_error


@dataclass
class PreparedDate:
    """A date prepared ahead of its holdings: its compiled problem, or why there is none."""

    date: object
    problem: object = None
    #: The date's pool, with the stocks that could be held and have no quote.
    pool: list | None = None
    bnds: dict | None = None
    #: Stocks held at zero for want of a quote, which the holdings may pin.
    pinnable: frozenset = frozenset()
    view: _RiskView | None = None
    error: BaseException | None = None
    optimise_seconds: float = 0.0
    other_seconds: float = 0.0


def prepare_date(strategy: Strategy, date, unquoted: list[str] | None, first: bool) -> PreparedDate:
    """``date`` prepared ahead of its holdings; errors are kept, not raised.

    ``unquoted`` are the stocks of the date's pool and of what could be held then
    that have no quote that day, or None to read them for the pool alone.
    """
    from ..prepared import prepare_optimize

    started = time.perf_counter()
    try:
        pool = strategy.pool_on(date)
        suspended = _unquoted(date, pool) if unquoted is None else unquoted
        bnds = dict(strategy.bnds or {})
        bnds.update((order_book_id, (0.0, 0.0)) for order_book_id in suspended)
        pool = list(dict.fromkeys([*pool, *suspended]))
        cons = strategy.constraints_on(date, pd.Series(dtype=float), first)
        objective = _fresh_objective(strategy)
        benchmark = _benchmark_of(strategy)
        prepare_started = time.perf_counter()
        problem = prepare_optimize(
            pool, date, objective, bnds or None, cons or None, benchmark, strategy.cov_model
        )
        prepare_seconds = time.perf_counter() - prepare_started
        view = _RiskView.of(date, problem.order_book_ids, benchmark, strategy.cov_model)
    except Exception as error:
        return PreparedDate(date, error=error, other_seconds=time.perf_counter() - started)
    return PreparedDate(
        date,
        problem,
        pool,
        bnds,
        frozenset(suspended) & frozenset(problem.order_book_ids),
        view,
        optimise_seconds=prepare_seconds,
        other_seconds=time.perf_counter() - started - prepare_seconds,
    )


def diagnose_date(strategy: Strategy, date, pool: list, bnds: dict, first: bool) -> str:
    """Why a prepared date's problem, with its pins set, has no solution."""
    cons = strategy.constraints_on(date, pd.Series(dtype=float), first)
    return _diagnosis(pool, date, strategy, bnds, cons, _benchmark_of(strategy))


def settle(
    strategy: Strategy, prepared: PreparedDate, pins: pd.Series, first: bool, diagnose
) -> DateOutcome | None:
    """A prepared date solved with ``pins`` (held stocks without a quote) at their weight;
    None when the preparation did not foresee them.  ``diagnose`` takes the arguments
    of ``diagnose_date`` and explains a date without solution."""
    if prepared.error is not None or not prepared.pinnable.issuperset(pins.index):
        return None
    started = time.perf_counter()
    bnds = {order_book_id: (float(w), float(w)) for order_book_id, w in pins.items()}
    try:
        with one_blas_thread():
            weights = prepared.problem.solve(bnds or None)
        solve_seconds = time.perf_counter() - started
        weights = _pinned(pd.Series(weights, dtype=float), pins)
        volatility, tracking_error = prepared.view.ex_ante(weights)
    except Exception as error:
        diagnosis = None
        if isinstance(error, OptimizationFailed):
            pinned_bnds = {**prepared.bnds, **bnds}
            diagnosis = diagnose(strategy, prepared.date, prepared.pool, pinned_bnds, first)
        return DateOutcome(
            prepared.date,
            None,
            error=error,
            diagnosis=diagnosis,
            optimise_seconds=prepared.optimise_seconds,
            other_seconds=prepared.other_seconds + time.perf_counter() - started,
        )
    return DateOutcome(
        prepared.date,
        weights,
        volatility,
        tracking_error,
        optimise_seconds=prepared.optimise_seconds + solve_seconds,
        other_seconds=prepared.other_seconds + time.perf_counter() - started - solve_seconds,
    )


def prepare_and_settle(
    strategy: Strategy, date, unquoted: list[str] | None, pins: pd.Series, holdings, first: bool
) -> DateOutcome:
    """``date`` prepared and settled in one go, as a run settles a prepared date, with the
    same numbers."""
    prepared = prepare_date(strategy, date, unquoted, first)
    outcome = settle(strategy, prepared, pins, first, diagnose_date)
    if outcome is None:
        outcome = optimise_date(strategy, date, holdings, first)
        outcome.optimised_again = True
    return outcome


#: Dates prepare_kept has left in this worker process for settle_kept, by key: each
#: the future of its preparation.
_KEPT: dict[tuple, concurrent.futures.Future] = {}
#: This worker process's thread that prepares the kept dates, started with the first.
_PREPARING: list[concurrent.futures.ThreadPoolExecutor] = []


def prepare_kept(
    key: tuple, strategy: Strategy, date, unquoted: list[str] | None, first: bool
) -> None:
    """``date`` prepared, its solver set up, and kept in this process under ``key``.

    The preparation runs on the process's own preparing thread, so that settling
    an earlier date here (mostly the solver, which lets go of the interpreter)
    does not wait for it.
    """
    if not _PREPARING:
        _PREPARING.append(concurrent.futures.ThreadPoolExecutor(1, "plovera-prepare"))
    _KEPT[key] = _PREPARING[0].submit(_factorised, strategy, date, unquoted, first)


def _factorised(strategy: Strategy, date, unquoted: list[str] | None, first: bool) -> PreparedDate:
    prepared = prepare_date(strategy, date, unquoted, first)
    if prepared.error is None:
        started = time.perf_counter()
        try:
            prepared.problem.factorize()
        except Exception as error:
            prepared.error = error
        prepared.optimise_seconds += time.perf_counter() - started
    return prepared


def settle_kept(
    key: tuple,
    strategy: Strategy,
    date,
    unquoted: list[str] | None,
    pins: pd.Series,
    first: bool,
    then: tuple | None = None,
) -> DateOutcome | None:
    """The date kept under ``key`` settled with ``pins``, as ``settle`` does; ``then``, the
    arguments of ``prepare_kept`` after the strategy, is a later date to prepare and keep
    here meanwhile.

    A date this process does not hold (its process died, and a Dask cluster runs
    the task elsewhere) is prepared here first, with the same numbers.
    """
    if then is not None:
        then_key, *then_date = then
        prepare_kept(then_key, strategy, *then_date)
    kept = _KEPT.pop(key, None)
    prepared = kept.result() if kept else _factorised(strategy, date, unquoted, first)
    return settle(strategy, prepared, pins, first, diagnose_date)


def forget_kept(token: str) -> None:
    """Drop the dates a backtest of ``token`` left kept in this process, unsettled."""
    for key in list(_KEPT):
        if key[0] == token:
            kept = _KEPT.pop(key, None)
            if kept is not None:
                kept.cancel()


def _check(cost: float, on_failure: str) -> None:
    # Trading everything turns over 2 in weight: a cost of half a unit or more
    # would charge all of the value and leave nothing to compound.
    valid = isinstance(cost, int | float) and not isinstance(cost, bool)
    if not (valid and math.isfinite(cost) and 0 <= cost < 0.5):
        raise InvalidArgument(f"cost must be a number from 0 up to 0.5, got {cost!r}")
    if on_failure not in ON_FAILURE:
        raise InvalidArgument(f"on_failure must be 'hold' or 'raise', got {on_failure!r}")


def run_backtest(
    strategy: Strategy,
    start: object,
    end: object,
    rebalance: object = "monthly",
    cost: float = 0.0,
    on_failure: str = "hold",
    executor: object = None,
    progress: Callable[[int, int], None] | None = None,
) -> BacktestResult:
    """Backtest ``strategy`` from ``start`` to ``end``; see the module's description.

    ``progress(done, total)`` is called as each rebalance date is optimised.
    """
    if not isinstance(strategy, Strategy):
        raise InvalidArgument(f"expected a Strategy, got {strategy!r}")
    _check(cost, on_failure)
    runner = open_runner(executor)
    try:
        return _Backtest(strategy, start, end, rebalance, cost, on_failure, runner, progress).run()
    finally:
        runner.close()


def run_backtests(
    strategies: Iterable[Strategy] | Mapping[str, Strategy],
    start: object,
    end: object,
    rebalance: object = "monthly",
    cost: float = 0.0,
    on_failure: str = "hold",
    executor: object = None,
    progress: Callable[[int, int], None] | None = None,
) -> dict[str, BacktestResult]:
    """Backtests of several strategies, in parallel on ``executor``, by strategy name."""
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
    _check(cost, on_failure)
    runner = open_runner(executor)
    counter = _SharedProgress(progress)
    try:
        settle_here = not runner.remote or len(named) == 1
        backtests = {
            name: _Backtest(
                s, start, end, rebalance, cost, on_failure, runner, counter.report, settle_here
            )
            for name, s in named.items()
        }
        counter.total = sum(len(b.schedule) for b in backtests.values())
        if not runner.remote:
            return {name: backtest.run() for name, backtest in backtests.items()}
        # The drift passes run here side by side while the workers optimise.
        results: dict[str, BacktestResult] = {}
        errors: list[BaseException] = []

        def run(name: str) -> None:
            try:
                results[name] = backtests[name].run()
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
    finally:
        runner.close()


class _SharedProgress:
    def __init__(self, progress) -> None:
        self.progress, self.total, self.done = progress, 0, 0
        self.lock = threading.Lock()

    def report(self, _done: int, _total: int) -> None:
        with self.lock:
            self.done += 1
            if self.progress:
                self.progress(self.done, self.total)


class _Backtest:
    def __init__(
        self, strategy, start, end, rebalance, cost, on_failure, runner, progress, settle_here=True
    ):
        self.strategy, self.cost, self.on_failure = strategy, float(cost), on_failure
        self.runner, self.progress = runner, progress
        self.days = trading_days(start, end)
        self.schedule = rebalance_dates(rebalance, self.days)
        if runner.remote:
            strategy.check_pickles()
        self.done = 0
        self.optimise_seconds = 0.0
        self.other_seconds = 0.0
        self.optimised_again = 0
        # Settle prepared dates here, or (for several strategies at once, which keep
        # the workers busy between them) on the worker that prepares them.
        self.settle_here = settle_here

    def _report(self) -> None:
        self.done += 1
        if self.progress:
            self.progress(self.done, len(self.schedule))

    def _judge(self, failures: list[Failure], first_error: BaseException | None) -> None:
        """A run whose every date failed is no result: it never held what it was told to."""
        name, total = self.strategy.name, len(self.schedule)
        if failures and len(failures) == total:
            first = failures[0]
            why = f"\n{first.diagnosis}" if first.diagnosis else ""
            raise BacktestError(
                f"strategy {name!r}: every one of its {total} rebalance dates failed; the "
                f"first, {first.date}: {first.error_type}: {first.message}{why}"
            ) from first_error
        if failures:
            # Stack level 4: run_backtest's caller, past run() and this check.
            warnings.warn(
                f"strategy {name!r}: {len(failures)} of {total} rebalance dates failed and "
                "kept their holdings (see result.failures)",
                OptimizerWarning,
                stacklevel=4,
            )

    def run(self) -> BacktestResult:
        started = time.perf_counter()
        days = self.days
        position = {day: i for i, day in enumerate(days.date)}
        first = position[self.schedule[0]]
        pools = _pools_ahead(self.strategy, self.schedule)
        prices = _Prices(days[first:], sorted({i for pool in pools if pool for i in pool}))
        ahead = self.unquoted = None
        if not self.strategy.depends_on_holdings:
            rows = [position[date] - first for date in self.schedule]
            self.unquoted = _unquoted_ahead(pools, prices, rows)
            if self.settle_here:
                ahead = (_Kept if self.runner.keeps else _Ahead)(
                    self.runner, self.strategy, self.schedule, self.unquoted
                )
        nav = np.ones(len(days) - first)
        holdings = pins = pd.Series(dtype=float)
        value = 1.0
        rows, ex_ante, turnover, costs, failures = {}, {}, {}, {}, []
        first_error = None
        try:
            for k, date in enumerate(self.schedule):
                if isinstance(ahead, _Kept):
                    outcome = ahead.settle(k, pins, k == 0) or self._again(date, holdings, k == 0)
                elif ahead:
                    outcome = self._settle(ahead.take(k), pins, holdings, k == 0)
                elif self.unquoted is not None:
                    outcome = self._settle_on_a_worker(k, pins, holdings, k == 0)
                else:
                    outcome = self._optimise_now(date, holdings, k == 0)
                self.optimised_again += outcome.optimised_again
                self.optimise_seconds += outcome.optimise_seconds
                self.other_seconds += outcome.other_seconds
                self._report()
                if outcome.error is not None:
                    if self.on_failure == "raise":
                        raise outcome.error
                    first_error = first_error or outcome.error
                    failures.append(
                        Failure(
                            date,
                            type(outcome.error).__name__,
                            str(outcome.error),
                            outcome.diagnosis,
                        )
                    )
                    target = holdings
                else:
                    target = held(outcome.weights)
                    ex_ante[date] = (outcome.volatility, outcome.tracking_error)
                traded = _traded(target, holdings)
                value *= 1.0 - self.cost * traded
                turnover[date], costs[date] = traded / 2, self.cost * traded
                rows[date] = target
                here = position[date] - first
                following = k + 1 < len(self.schedule)
                stop = position[self.schedule[k + 1]] - first if following else len(nav)
                nav[here] = value
                path, holdings, pins = prices.drift(target, here, min(stop, len(nav) - 1))
                nav[here + 1 : stop + 1] = value * path
                value = nav[stop] if stop < len(nav) else value
        finally:
            if ahead:
                ahead.close()
        self._judge(failures, first_error)
        index = days[first:].as_unit("ns")
        nav_series = pd.Series(nav, index=index, name="nav")
        benchmark_nav = self._benchmark_nav(index, prices)
        weights = pd.DataFrame(rows).T.fillna(0.0).sort_index(axis=1)
        weights.index = _stamps(rows)
        return BacktestResult(
            name=self.strategy.name,
            weights=weights,
            nav=nav_series,
            benchmark_nav=benchmark_nav,
            turnover=_dated(turnover, "turnover"),
            costs=_dated(costs, "costs"),
            failures=failures,
            ex_ante=pd.DataFrame(
                [ex_ante[d] for d in ex_ante],
                index=_stamps(ex_ante),
                columns=["volatility", "tracking_error"],
            ),
            timings={
                "seconds": time.perf_counter() - started,
                "optimise_seconds": self.optimise_seconds,
                "date_other_seconds": self.other_seconds,
                "rebalances": len(self.schedule),
                "prepared": len(self.schedule) if self.unquoted is not None else 0,
                "optimised_again": self.optimised_again,
            },
        )

    def _settle(self, prepared: PreparedDate, pins: pd.Series, holdings, first) -> DateOutcome:
        def diagnose(*arguments) -> str:
            job = (diagnose_date, *arguments)
            return self.runner.result(
                self.runner.submit(call, job, str(prepared.date), urgent=True)
            )

        outcome = settle(self.strategy, prepared, pins, first, diagnose)
        return outcome or self._again(prepared.date, holdings, first)

    def _again(self, date, holdings: pd.Series, first: bool) -> DateOutcome:
        """A prepared date whose pins its preparation did not foresee, optimised again."""
        outcome = self._optimise_now(date, holdings, first)
        outcome.optimised_again = True
        return outcome

    def _settle_on_a_worker(self, k: int, pins: pd.Series, holdings, first) -> DateOutcome:
        date = self.schedule[k]
        job = (prepare_and_settle, self.strategy, date, self.unquoted[k], pins, holdings, first)
        return self.runner.result(self.runner.submit(call, job, str(date), urgent=True))

    def _optimise_now(self, date, holdings: pd.Series, first: bool) -> DateOutcome:
        job = (optimise_date, self.strategy, date, holdings, first)
        return self.runner.result(self.runner.submit(call, job, str(date), urgent=True))

    def _benchmark_nav(self, index: pd.DatetimeIndex, prices: _Prices) -> pd.Series:
        """Daily NAV of the benchmark over ``index``, the run's days (``prices``' own)."""
        from ..benchmark import IndexBenchmark

        benchmark = self.strategy.benchmark
        if benchmark is None:
            return pd.Series(1.0, index=index, name="benchmark_nav")
        if isinstance(benchmark, IndexBenchmark):
            benchmark = benchmark._order_book_id
        if isinstance(benchmark, str):
            changes = quotaris.get_price_change_rate(benchmark, index[0], index[-1])
            growth = (1.0 + changes.fillna(0.0).to_numpy()).cumprod()
            return pd.Series(growth / growth[0], index=index, name="benchmark_nav")
        # Any other benchmark: its holdings on each rebalance date, drifting in between.
        nav = np.ones(len(index))
        position = {day: i for i, day in enumerate(index.date)}
        for k, date in enumerate(self.schedule):
            here = position[date]
            stop = position[self.schedule[k + 1]] if k + 1 < len(self.schedule) else len(nav) - 1
            weights = benchmark.get_weight(date)
            weights = weights / weights.sum()
            path, _, _ = prices.drift(weights, here, stop)
            nav[here + 1 : stop + 1] = nav[here] * path
        return pd.Series(nav, index=index, name="benchmark_nav")


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


def _unquoted_ahead(pools: list, prices: _Prices, rows: list[int]) -> list[list[str] | None]:
    """For each rebalance date (at ``rows`` of the run's days), the stocks of its pool
    and of what could be held then that have no quote that day; None where the pool is
    not known before the run, or names a stock the market data does not know.

    Judged before the run from the pools alone: what could be held after a date
    is its pool and the stocks pinned on it.  A date whose pool is not known
    keeps what it held.
    """
    ids = list(prices.columns)
    if not ids:
        return [None] * len(pools)
    unquoted_on = np.isnan(prices.changes[rows, : len(ids)])
    delisted = np.array(prices.de_listed)
    found, could_hold = [], np.zeros(len(ids), dtype=bool)
    for k, pool in enumerate(pools):
        date = str(prices.days[rows[k]].date())
        alive = (delisted == NOT_DELISTED) | (delisted > date)
        pinnable = could_hold & unquoted_on[k] & alive
        if pool is None:
            found.append(None)
            could_hold |= pinnable
            continue
        columns = np.array([prices.columns.get(i, -1) for i in pool], dtype=np.int64)
        known = columns[columns >= 0]
        if len(known) < len(columns):
            found.append(None)
        else:
            unquoted = [pool[j] for j in np.flatnonzero(unquoted_on[k, columns])]
            found.append(
                list(dict.fromkeys([*unquoted, *(ids[j] for j in np.flatnonzero(pinnable))]))
            )
        could_hold = np.zeros(len(ids), dtype=bool)
        could_hold[known] = True
        could_hold |= pinnable
    return found


class _Ahead:
    """Every date prepared ahead on the workers, a few at a time, taken in date order."""

    def __init__(self, runner, strategy: Strategy, schedule: list, unquoted: list) -> None:
        self.runner, self.strategy = runner, strategy
        self.schedule, self.unquoted = schedule, unquoted
        self.handles: dict[int, object] = {}
        self.limit = AHEAD_PER_WORKER * runner.workers
        self.next = 0
        self._refill()

    def _refill(self) -> None:
        while self.next < len(self.schedule) and len(self.handles) < self.limit:
            k, date = self.next, self.schedule[self.next]
            self.next += 1
            self.handles[k] = self._submit(k, date)

    def _submit(self, k: int, date):
        job = (prepare_date, self.strategy, date, self.unquoted[k], k == 0)
        return self.runner.submit(call, job, str(date))

    def take(self, k: int) -> PreparedDate:
        handle = self.handles.pop(k)
        # The next date goes to the workers before this one is waited for.
        self._refill()
        return self.runner.result(handle)

    def close(self) -> None:
        for handle in self.handles.values():
            self.runner.cancel(handle)


class _Kept(_Ahead):
    """Every date prepared ahead and kept, its solver set up, on the worker process that
    prepared it, and settled there: its compiled problem never travels."""

    def __init__(self, runner, strategy: Strategy, schedule: list, unquoted: list) -> None:
        # Keys of this backtest's dates, apart from any other's on the same processes.
        self.token = uuid.uuid4().hex
        super().__init__(runner, strategy, schedule, unquoted)

    def _submit(self, k: int, date):
        job = (prepare_kept, (self.token, k), self.strategy, date, self.unquoted[k], k == 0)
        return self.runner.submit(call, job, str(date), worker=k % self.runner.processes)

    def settle(self, k: int, pins: pd.Series, first: bool) -> DateOutcome | None:
        date, preparing = self.schedule[k], self.handles.pop(k)
        # The handle names the process that keeps the date; a date without a task of its
        # own was sent along with an earlier date's settling.
        future, worker, _ = preparing
        label, then = str(date), None
        # The next date to prepare goes with this one's settling, to the same process:
        # one task per date, not two, once the first few are out.
        if self.next < len(self.schedule):
            j, self.next = self.next, self.next + 1
            later = self.schedule[j]
            then = ((self.token, j), later, self.unquoted[j], j == 0)
            label = f"{date}, {later}"
            self.handles[j] = (None, worker, str(later))
        job = (
            settle_kept,
            (self.token, k),
            self.strategy,
            date,
            self.unquoted[k],
            pins,
            first,
            then,
        )
        if future is not None:
            # The date is kept before it is settled: a Dask keeper takes calls in any order.
            self.runner.result(preparing)
        return self.runner.result(self.runner.submit(call, job, label, urgent=True, worker=worker))

    def close(self) -> None:
        for handle in self.handles.values():
            if handle[0] is not None:
                self.runner.cancel(handle)
        # A run that stopped early, or that lost a worker, may have left dates kept.
        self.runner.everywhere(forget_kept, self.token)


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


class _Prices:
    """A run's daily price changes and delisting dates, read once for the stocks it can
    hold and for any other stock the first time it is held."""

    def __init__(self, days: pd.DatetimeIndex, order_book_ids: Iterable[str] = ()) -> None:
        self.days = days
        self.columns: dict[str, int] = {}
        self.changes = np.empty((len(days), 0))
        self.de_listed: list[str] = []
        self.add(order_book_ids)

    def add(self, order_book_ids: Iterable[str]) -> None:
        """Read the stocks of ``order_book_ids`` not read yet; unknown ones are left out."""
        new = [i for i in dict.fromkeys(order_book_ids) if i not in self.columns]
        if not new:
            return
        # The unknown ones are named where they are drifted or optimised.
        found, _ = quotaris.find_instruments(new)
        if not found:
            return
        new = [i.order_book_id for i in found]
        changes = quotaris.get_price_change_rate(new, self.days[0], self.days[-1])
        self.changes = np.hstack([self.changes, changes.to_numpy(dtype=float)])
        self.de_listed += [i.de_listed_date for i in found]
        self.columns.update((order_book_id, len(self.columns)) for order_book_id in new)

    def drift(
        self, weights: pd.Series, first: int, last: int
    ) -> tuple[np.ndarray, pd.Series, pd.Series]:
        """Value of ``weights`` (plus cash) on each of the days after ``first`` up to
        ``last`` (positions in the run's days), relative to ``first``; the drifted
        holdings on ``last``; those of them without a quote that day, which cannot trade.

        A day without a quote leaves a stock's price unchanged; a stock delisted by
        ``last`` is sold into cash at its last quote.
        """
        weights = held(weights)
        if last <= first or weights.empty:
            return np.ones(last - first), weights, weights.iloc[:0]
        ids = weights.index.tolist()
        self.add(ids)
        unknown = [i for i in ids if i not in self.columns]
        if unknown:
            raise InvalidArgument(f"the market data does not know {', '.join(unknown)}")
        columns = np.fromiter((self.columns[i] for i in ids), np.int64, len(ids))
        changes = self.changes[first + 1 : last + 1, columns]
        growth = np.cumprod(1.0 + np.nan_to_num(changes, nan=0.0), axis=0)
        amounts = weights.to_numpy()
        path = growth @ amounts + (1.0 - amounts.sum())
        end = str(self.days[last].date())
        kept = np.array(
            [(d := self.de_listed[k]) == NOT_DELISTED or d > end for k in columns], dtype=bool
        )
        drifted = amounts * growth[-1] / path[-1]
        pinned = kept & np.isnan(changes[-1]) & (drifted > HELD_WEIGHT)
        return (
            path,
            pd.Series(drifted[kept], index=weights.index[kept]),
            pd.Series(drifted[pinned], index=weights.index[pinned]),
        )
