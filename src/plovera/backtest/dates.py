"""One rebalance date's optimisation, as a worker runs it: optimised with its holdings,
or prepared ahead of them and settled once they are known.

Stocks without a quote on the date cannot trade, and stocks at a price limit
trade one way only (``pins.py``): held ones are pinned, the others stay out or
stay free.  Errors are kept in the outcome, not raised, so that the run
decides what a failed date means.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import pandas as pd

from ..exception import OptimizationFailed
from ..riskmodel.exante import ex_ante_risk, held
from .pins import NO_PINS, DateRules, Restricted, restricted_on
from .strategy import Strategy
from .worker import one_blas_thread

if TYPE_CHECKING:
    from ..riskmodel import FactorModel

__all__ = [
    "DateOutcome",
    "PreparedDate",
    "RiskView",
    "diagnose_date",
    "optimise_date",
    "prepare_date",
    "settle",
]


@dataclass
class DateOutcome:
    """What a rebalance date came to: its weights and their forecast risk, or the error
    (and, for a problem without solution, why) that kept it from them."""

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
    #: The stocks the market held back, by ``kind`` and ``weight`` (``pins.py``).
    pins: pd.DataFrame = field(default_factory=lambda: NO_PINS)
    #: How holdings constraints were solved (a ``plovera.holdings.HoldingsReport``).
    holdings: object = None


@dataclass
class _DateProblem:
    """What a date's optimisation is given, bar the objective, which is made afresh for
    each use: objectives may keep estimates after first use."""

    pool: list[str]
    bnds: dict
    cons: list
    benchmark: object
    #: How the stocks that cannot trade freely that day enter the problem.
    rules: DateRules | None = None
    #: Held stocks that cannot trade freely, by kind and weight.
    pins: pd.DataFrame = field(default_factory=lambda: NO_PINS)

    @classmethod
    def of(
        cls,
        strategy: Strategy,
        date,
        current: pd.Series,
        first: bool,
        restricted: Restricted | None = None,
    ) -> _DateProblem:
        """The problem of ``date`` holding ``current``; ``restricted`` are the stocks that
        cannot trade freely that day, or None to read them for the pool and the holdings."""
        pool = strategy.pool_on(date)
        if restricted is None:
            ids = [*pool, *current.index.tolist()]
            restricted = restricted_on(date, ids, strategy.price_limits)
        rules = DateRules(pool, restricted)
        pins = rules.pins_of(current, restricted)
        bnds = dict(strategy.bnds or {})
        bnds.update((order_book_id, (0.0, 0.0)) for order_book_id in rules.zero)
        bnds.update(rules.bounds(pins, strategy.bnds))
        cons = strategy.constraints_on(date, current, first)
        return cls(rules.pool, bnds, cons, _benchmark_of(strategy), rules, pins)

    def arguments(self, strategy: Strategy, date) -> tuple:
        """The arguments of ``portfolio_optimize`` and its kin for this problem."""
        return (
            self.pool,
            date,
            strategy.objective_on(date),
            self.bnds or None,
            self.cons or None,
            self.benchmark,
            strategy.cov_model,
        )


def _benchmark_of(strategy: Strategy):
    from ..benchmark import IndexBenchmark

    benchmark = strategy.benchmark
    return IndexBenchmark(benchmark) if isinstance(benchmark, str) else benchmark


def optimise_date(strategy: Strategy, date, holdings: pd.Series | None, first: bool) -> DateOutcome:
    """The outcome of ``date`` optimised with ``holdings``."""
    from ..optimize import portfolio_optimize

    started = time.perf_counter()
    current = pd.Series(dtype=float) if holdings is None else held(holdings)
    try:
        problem = _DateProblem.of(strategy, date, current, first)
        arguments = problem.arguments(strategy, date)
        solve_started = time.perf_counter()
        weights = portfolio_optimize(*arguments)
        solve_seconds = time.perf_counter() - solve_started
        report = holdings_report(weights)
        weights = problem.rules.apply(pd.Series(weights, dtype=float), problem.pins)
        view = RiskView.of(date, weights.index.tolist(), problem.benchmark, strategy.cov_model)
        volatility, tracking_error = view.ex_ante(weights)
    except Exception as error:
        diagnosis = None
        if isinstance(error, OptimizationFailed):
            diagnosis = _diagnosis(strategy, date, problem)
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
        pins=problem.rules.record(problem.pins),
        holdings=report,
    )


def holdings_report(weights) -> object:
    """The report a call with holdings constraints puts on its weights, else None."""
    return getattr(weights, "attrs", {}).get("holdings")


def _diagnosis(strategy: Strategy, date, problem: _DateProblem) -> str:
    """Why the date's problem has no solution, as text that travels between processes."""
    from ..diagnosis import diagnose

    try:
        found = diagnose(*problem.arguments(strategy, date))
    except Exception as error:
        # The date is recorded as failed either way; say why it could not be explained.
        return f"无法诊断：{type(error).__name__}: {error}"
    return str(found)


@dataclass
class RiskView:
    """The factor model of a date's stocks and its benchmark, in its factor form, so the
    dense covariance over the pool and the benchmark is never built."""

    order_book_ids: pd.Index
    model: FactorModel
    benchmark: pd.Series | None

    @classmethod
    def of(cls, date, order_book_ids: list[str], benchmark, cov_model) -> RiskView:
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
    #: The date's pool, with the stocks that could be held and cannot be sold.
    pool: list | None = None
    bnds: dict | None = None
    #: How the stocks that cannot trade freely enter the problem.
    rules: DateRules | None = None
    #: Stocks of the compiled problem whose bounds the holdings' pins may set.
    pinnable: frozenset = frozenset()
    view: RiskView | None = None
    error: BaseException | None = None
    optimise_seconds: float = 0.0
    other_seconds: float = 0.0


def prepare_date(
    strategy: Strategy, date, restricted: Restricted | None, first: bool
) -> PreparedDate:
    """``date`` prepared ahead of its holdings, with the stocks of ``restricted`` (those
    of the date's pool and of what could be held then that cannot trade freely that
    day, or None to read them for the pool alone) held at zero where they could not be
    bought, and added to the pool where they could not be sold."""
    from ..prepared import prepare_optimize

    started = time.perf_counter()
    try:
        problem = _DateProblem.of(strategy, date, pd.Series(dtype=float), first, restricted)
        arguments = problem.arguments(strategy, date)
        prepare_started = time.perf_counter()
        compiled = prepare_optimize(*arguments)
        prepare_seconds = time.perf_counter() - prepare_started
        view = RiskView.of(date, compiled.order_book_ids, problem.benchmark, strategy.cov_model)
    except Exception as error:
        return PreparedDate(date, error=error, other_seconds=time.perf_counter() - started)
    return PreparedDate(
        date,
        compiled,
        problem.pool,
        problem.bnds,
        problem.rules,
        problem.rules.pinnable & frozenset(compiled.order_book_ids),
        view,
        optimise_seconds=prepare_seconds,
        other_seconds=time.perf_counter() - started - prepare_seconds,
    )


def diagnose_date(strategy: Strategy, date, pool: list, bnds: dict, first: bool) -> str:
    """Why a prepared date's problem, with its pins set, has no solution."""
    cons = strategy.constraints_on(date, pd.Series(dtype=float), first)
    problem = _DateProblem(pool, bnds, cons, _benchmark_of(strategy))
    return _diagnosis(strategy, date, problem)


def settle(
    strategy: Strategy,
    prepared: PreparedDate,
    pins: pd.DataFrame,
    first: bool,
    diagnose: Callable[..., str],
) -> DateOutcome | None:
    """A prepared date solved with ``pins`` (held stocks that cannot trade freely, by
    kind and weight) bound as ``pins.py`` says; None when the preparation did not
    foresee them.  ``diagnose`` takes the arguments of ``diagnose_date`` and explains
    a date without solution."""
    if prepared.error is not None:
        return None
    pins = prepared.rules.usable(pins)
    if not prepared.pinnable.issuperset(pins.index):
        return None
    started = time.perf_counter()
    bnds = prepared.rules.bounds(pins, strategy.bnds)
    try:
        with one_blas_thread():
            weights = prepared.problem.solve(bnds or None)
        solve_seconds = time.perf_counter() - started
        report = holdings_report(weights)
        weights = prepared.rules.apply(pd.Series(weights, dtype=float), pins)
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
        pins=prepared.rules.record(pins),
        holdings=report,
    )
