"""How a run gets each rebalance date's outcome, in date order, from the workers.

A date's optimisation depends only on the strategy, the date and the
holdings, and on the holdings only through the stocks it must pin: a held
stock without a quote or at a price limit that day (or, for strategies with a
turnover limit or constraints made from the holdings, the holdings
themselves).  So a strategy that depends on its holdings has each date
optimised once the date before it is settled.  The dates of any other are
prepared ahead of their holdings (data, problem, compilation), with each
stock that could be held and cannot trade freely that day held at zero or
left at the strategy's bounds (``pins.py``); settling a date then only sets
the bounds of the held ones and solves.  Where the runner can send a task to
a chosen process (local processes, Dask workers), the workers prepare a few
dates ahead of the one being settled and keep each, its solver factorised,
to settle it where it is: a compiled problem never travels.  A caller's
executor sends the prepared dates here to be settled.  With nothing to gain
from preparing ahead (the serial runner, or runs side by side that keep the
workers busy between them) each date is prepared and settled in one task.  A
date whose pinned stocks the preparation did not foresee is optimised again
with its holdings.  Every way gives the same weights.
"""

from __future__ import annotations

import time
import uuid
from typing import NamedTuple

import pandas as pd

from . import worker
from .dates import (
    DateOutcome,
    PreparedDate,
    diagnose_date,
    optimise_date,
    prepare_date,
    settle,
)
from .pins import Restricted
from .runners import Future, Runner
from .strategy import Strategy

__all__ = [
    "AHEAD_PER_WORKER",
    "DatePipeline",
    "InDateOrder",
    "PreparedAhead",
    "SettledHere",
    "SettledWherePrepared",
    "forget_kept",
    "keep_prepared",
    "open_pipeline",
    "settle_kept",
]

#: Dates prepared ahead and not yet settled, per worker: enough that no worker
#: waits for the next task, few enough that the compiled problems (a few MB
#: each) do not pile up.
AHEAD_PER_WORKER = 2


def open_pipeline(
    runner: Runner,
    strategy: Strategy,
    schedule: list,
    restricted: list | None,
    side_by_side: bool = False,
) -> DatePipeline:
    """The pipeline of a run's dates.

    A strategy that depends on its holdings (``restricted`` None) has each date
    optimised in date order.  The dates of any other are prepared ahead of their
    holdings, each with its stocks of ``restricted`` (judged ahead, as
    ``prices.restricted_ahead`` gives them) set aside: a few dates ahead of the
    one being settled, and kept on the worker process that prepared them where
    the runner can send a task there, else sent here.  A run ``side_by_side``
    with others, which keep the workers busy between them, has each date
    prepared and settled in one task instead, on any worker.
    """
    if restricted is None:
        return InDateOrder(runner, strategy, schedule)
    window = 0 if side_by_side else AHEAD_PER_WORKER * runner.workers
    if runner.processes or not window:
        return SettledWherePrepared(runner, strategy, schedule, restricted, window)
    return SettledHere(runner, strategy, schedule, restricted, window)


class DatePipeline:
    """Hands out each rebalance date's outcome, asked for in date order."""

    #: Whether the dates are prepared ahead of their holdings.
    prepares = False

    def __init__(self, runner: Runner, strategy: Strategy, schedule: list) -> None:
        self.runner, self.strategy, self.schedule = runner, strategy, schedule

    def outcome(self, k: int, holdings: pd.Series, pins: pd.DataFrame) -> DateOutcome:
        """Rebalance date ``k``'s outcome, the date before it left ``holdings``, of which
        ``pins`` (by kind and weight) cannot trade freely on date ``k``."""
        raise NotImplementedError

    def optimise(self, k: int, holdings: pd.Series) -> DateOutcome:
        """Date ``k`` optimised with ``holdings`` on a worker."""
        date = self.schedule[k]
        return self.runner.submit(optimise_date, self.strategy, date, holdings, k == 0).result()

    def close(self) -> None:
        """Let go of the dates under way: the run is over."""


class InDateOrder(DatePipeline):
    """Each date optimised once the one before it is settled, with its holdings."""

    def outcome(self, k: int, holdings: pd.Series, pins: pd.DataFrame) -> DateOutcome:
        return self.optimise(k, holdings)


class PreparedAhead(DatePipeline):
    """Dates prepared ahead of their holdings and settled with their pins, ``window``
    dates after the one being settled under way."""

    prepares = True

    def __init__(
        self, runner: Runner, strategy: Strategy, schedule: list, restricted: list, window: int
    ) -> None:
        super().__init__(runner, strategy, schedule)
        self.restricted, self.window = restricted, window
        #: Dates sent to be prepared and not settled yet, by position in the schedule.
        self.preparing: dict = {}
        #: The first date not sent yet.
        self.next = 0

    def outcome(self, k: int, holdings: pd.Series, pins: pd.DataFrame) -> DateOutcome:
        outcome = self._settle(k, pins)
        if outcome is None:
            # The preparation held at zero a stock the holdings pin: optimise afresh.
            outcome = self.optimise(k, holdings)
            outcome.optimised_again = True
        return outcome

    def _settle(self, k: int, pins: pd.DataFrame) -> DateOutcome | None:
        """Date ``k`` settled as prepared; None where its preparation did not foresee
        ``pins``."""
        raise NotImplementedError

    def _prepare(self, k: int):
        """Send date ``k`` to be prepared; what ``preparing`` holds for it."""
        raise NotImplementedError

    def _prepare_up_to(self, last: int) -> None:
        """Send the dates up to ``last`` to be prepared, those not sent yet; the first
        ones go when the first date is asked for, so that a worker lost meanwhile is
        found where the run waits."""
        while self.next <= min(last, len(self.schedule) - 1):
            self.preparing[self.next] = self._prepare(self.next)
            self.next += 1

    def _arguments(self, k: int) -> tuple:
        """Date ``k``'s arguments of ``prepare_date`` after the strategy."""
        return self.schedule[k], self.restricted[k], k == 0


class SettledHere(PreparedAhead):
    """Dates prepared on any worker and settled here: for runners that cannot send a
    task to a chosen process."""

    def _prepare(self, k: int) -> Future:
        return self.runner.submit(prepare_date, self.strategy, *self._arguments(k))

    def _settle(self, k: int, pins: pd.DataFrame) -> DateOutcome | None:
        # The later dates go to the workers before this one is waited for.
        self._prepare_up_to(k + self.window)
        prepared: PreparedDate = self.preparing.pop(k).result()
        return settle(self.strategy, prepared, pins, k == 0, self._diagnose)

    def _diagnose(self, *arguments) -> str:
        return self.runner.submit(diagnose_date, *arguments).result()

    def close(self) -> None:
        for future in self.preparing.values():
            future.cancel()


class _Kept(NamedTuple):
    """Where a date is kept, and the future of the task that prepares it there; None
    for a date sent along with an earlier date's settling."""

    worker: int
    preparing: Future | None


class SettledWherePrepared(PreparedAhead):
    """Dates settled on the worker process that prepared them: a compiled problem never
    travels.  Dates prepared ahead are kept there, their solvers set up; without a
    window, each date is prepared and settled in one task, on any worker."""

    def __init__(
        self, runner: Runner, strategy: Strategy, schedule: list, restricted: list, window: int
    ) -> None:
        super().__init__(runner, strategy, schedule, restricted, window)
        # Keys of this run's dates, apart from any other's on the same processes.
        self.token = uuid.uuid4().hex

    def _prepare(self, k: int) -> _Kept:
        place = k % self.runner.processes
        key = (self.token, k)
        task = self.runner.submit(
            keep_prepared, self.strategy, key, *self._arguments(k), worker=place
        )
        return _Kept(place, task)

    def _settle(self, k: int, pins: pd.DataFrame) -> DateOutcome | None:
        # Without a window nothing is kept: the date is prepared where it is settled.
        place = later = None
        if self.window:
            self._prepare_up_to(k + self.window - 1)
            kept: _Kept = self.preparing.pop(k)
            place, later = kept.worker, self._send_next_along(kept.worker)
            if kept.preparing is not None:
                # The date is kept before it is settled: a Dask keeper takes calls in any
                # order.
                kept.preparing.result()
        arguments = (self.strategy, (self.token, k), *self._arguments(k), pins, later)
        return self.runner.submit(settle_kept, *arguments, worker=place).result()

    def _send_next_along(self, place: int) -> tuple | None:
        """The next date to prepare, as ``keep_prepared``'s arguments after the strategy,
        to go along with a settling on worker ``place``: one task per date, not two,
        once the first few are out.  None when every date is sent."""
        if self.next == len(self.schedule):
            return None
        j, self.next = self.next, self.next + 1
        self.preparing[j] = _Kept(place, None)
        return ((self.token, j), *self._arguments(j))

    def close(self) -> None:
        for kept in self.preparing.values():
            if kept.preparing is not None:
                kept.preparing.cancel()
        # A run that stopped early, or that lost a worker, may have left dates kept.
        self.runner.run_everywhere(forget_kept, self.token)


# What the worker processes run for SettledWherePrepared.


def keep_prepared(strategy: Strategy, key: tuple, date, restricted: Restricted | None, first: bool):
    """``date`` prepared, its solver set up, and kept in this process under ``key``."""
    worker.THIS_PROCESS.keep(key, _factorised, strategy, date, restricted, first)


def _factorised(
    strategy: Strategy, date, restricted: Restricted | None, first: bool
) -> PreparedDate:
    prepared = prepare_date(strategy, date, restricted, first)
    if prepared.error is None:
        started = time.perf_counter()
        try:
            prepared.problem.factorize()
        except Exception as error:
            prepared.error = error
        prepared.optimise_seconds += time.perf_counter() - started
    return prepared


def settle_kept(
    strategy: Strategy,
    key: tuple,
    date,
    restricted: Restricted | None,
    first: bool,
    pins: pd.DataFrame,
    later: tuple | None = None,
) -> DateOutcome | None:
    """The date kept under ``key`` settled with ``pins``, as ``settle`` does; ``later``,
    ``keep_prepared``'s arguments after the strategy, is a later date to prepare and
    keep here meanwhile.

    A date this process does not hold (not prepared ahead, or its process died and a
    Dask cluster runs the task elsewhere) is prepared here first, with the same numbers.
    """
    if later is not None:
        keep_prepared(strategy, *later)
    kept = worker.THIS_PROCESS.take(key)
    prepared = kept.result() if kept else _factorised(strategy, date, restricted, first)
    return settle(strategy, prepared, pins, first, diagnose_date)


def forget_kept(token: str) -> None:
    """Drop the dates a run of ``token`` left kept in this process, unsettled."""
    worker.THIS_PROCESS.forget(token)
