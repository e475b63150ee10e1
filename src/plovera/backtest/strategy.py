"""What a backtest optimises on each rebalance date."""

from __future__ import annotations

import copy
import math
import numbers
import pickle
from collections.abc import Callable, Sequence

import pandas as pd

import quotaris

from ..const import CovModel
from ..exception import InvalidArgument

__all__ = ["Strategy"]


class Strategy:
    """One optimisation rule applied on every rebalance date.

    ``pool`` is a list of identifiers, an index identifier (its constituents
    on each rebalance date) or a callable ``date -> identifiers``;
    ``objective`` an objective instance (MinVariance() when None) or a
    callable ``date -> objective``, for a view that changes with the date
    (:class:`plovera.signals.SignalObjective` makes one from a signal table);
    ``cons`` is a list of constraint objects or a callable ``(date, holdings)
    -> list``; ``max_turnover`` limits the turnover against the drifted
    holdings at every rebalance after the first.  An objective instance is
    copied afresh for every date, so an objective that keeps an estimate after
    first use estimates from each date's own history.  Callables must pickle
    to run on worker processes.  With ``price_limits`` (the default) a stock
    closing at limit-up on a rebalance date is not bought and one at
    limit-down not sold, where the market data has closes; without, only
    stocks without a quote are held back.
    """

    def __init__(
        self,
        pool: Sequence[str] | str | Callable,
        objective: object = None,
        bnds: dict | None = None,
        cons: list | Callable | None = None,
        benchmark: object = None,
        cov_model: CovModel = CovModel.FACTOR_MODEL_DAILY,
        max_turnover: float | None = None,
        name: str | None = None,
        price_limits: bool = True,
    ) -> None:
        if not (isinstance(pool, str) or callable(pool)):
            pool = list(pool)
            if not pool:
                raise InvalidArgument("the strategy's pool is empty")
        if bnds is not None and not isinstance(bnds, dict):
            raise InvalidArgument(f"bnds must be a dict of (lower, upper) pairs, got {bnds!r}")
        _check_objective(objective, benchmark)
        if max_turnover is not None and not _is_turnover(max_turnover):
            raise InvalidArgument(
                f"max_turnover must be a number from 0 to 2 (the turnover of selling "
                f"everything and buying anew), got {max_turnover!r}"
            )
        if not isinstance(price_limits, bool):
            raise InvalidArgument(f"price_limits must be True or False, got {price_limits!r}")
        self.pool = pool
        self.objective = objective
        self.bnds = bnds
        self.cons = cons
        self.benchmark = benchmark
        self.cov_model = cov_model
        self.max_turnover = max_turnover
        self.name = name or _default_name(objective, pool)
        self.price_limits = price_limits

    def __repr__(self) -> str:
        return f"Strategy({self.name!r})"

    @property
    def depends_on_holdings(self) -> bool:
        """Whether a date's optimisation needs the holdings the earlier dates left."""
        return self.max_turnover is not None or callable(self.cons)

    def pool_on(self, date) -> list[str]:
        if callable(self.pool):
            pool = list(self.pool(date))
            if not pool:
                raise InvalidArgument(f"the pool of {self.name!r} is empty on {date}")
            return pool
        if isinstance(self.pool, str):
            constituents = quotaris.index_weights(self.pool, date)
            if constituents is None or constituents.empty:
                raise InvalidArgument(f"{self.pool} has no constituents on {date}")
            return constituents.index.tolist()
        return list(self.pool)

    def objective_on(self, date):
        """The objective of ``date``: a fresh copy of the instance, or what the callable
        gives for it, refused naming the strategy and the date when it is no objective."""
        from ..objective import MinVariance, OptimizationObjective

        if self.objective is None:
            return MinVariance()
        if isinstance(self.objective, OptimizationObjective):
            return copy.deepcopy(self.objective)
        made = self.objective(date)
        if not isinstance(made, OptimizationObjective):
            raise InvalidArgument(
                f"the objective function of strategy {self.name!r} gave {made!r} for {date}: "
                "it must return an objective instance such as MaxInformationRatio(...)"
            )
        if self.benchmark is None and isinstance(made, _needing_benchmark()):
            raise InvalidArgument(
                f"the objective function of strategy {self.name!r} gave "
                f"{type(made).__name__} for {date}, which needs a benchmark; none was given"
            )
        return made

    def constraints_on(self, date, holdings: pd.Series, first: bool) -> list:
        from ..constraints import TurnoverLimit

        made = list(self.cons(date, holdings) if callable(self.cons) else self.cons or [])
        if self.max_turnover is not None and not first:
            made.append(TurnoverLimit(holdings, self.max_turnover))
        return made

    def check_pickles(self) -> None:
        """Refuse, naming the part, a strategy that cannot be sent to worker processes."""
        for part in ("pool", "objective", "bnds", "cons", "benchmark"):
            try:
                pickle.dumps(getattr(self, part))
            except Exception as error:
                raise InvalidArgument(
                    f"strategy {self.name!r} cannot be sent to workers: its {part} "
                    f"{getattr(self, part)!r} does not pickle ({error})"
                ) from None


def _check_objective(objective: object, benchmark: object) -> None:
    """Refuse, when built, what would fail on every rebalance date."""
    # Here rather than at import: the compiled modules bring cvxpy, which
    # reading a saved backtest does not need.
    from ..benchmark import OptimizeBenchmark
    from ..objective import OptimizationObjective

    if objective is not None and not (
        isinstance(objective, OptimizationObjective)
        or (callable(objective) and not isinstance(objective, type))
    ):
        raise InvalidArgument(
            "the strategy's objective must be an objective instance such as MinVariance() "
            f"or MaxInformationRatio(...), or a function of the date giving one, got {objective!r}"
        )
    if benchmark is not None and not isinstance(benchmark, str | OptimizeBenchmark):
        raise InvalidArgument(
            "the strategy's benchmark must be an index identifier or an OptimizeBenchmark, "
            f"got {benchmark!r}"
        )
    if benchmark is None and isinstance(objective, _needing_benchmark()):
        raise InvalidArgument(
            f"the strategy's objective {type(objective).__name__} needs a benchmark; none was given"
        )


def _needing_benchmark() -> tuple[type, ...]:
    from ..objective import MaxInformationRatio, MaxSharpeRatio, MinTrackingError

    return (MinTrackingError, MaxSharpeRatio, MaxInformationRatio)


def _is_turnover(value: object) -> bool:
    return (
        isinstance(value, numbers.Real)
        and not isinstance(value, bool)
        and math.isfinite(value)
        and 0 <= value <= 2
    )


def _default_name(objective: object, pool: object) -> str:
    if objective is None:
        kind = "MinVariance"
    else:
        kind = getattr(objective, "name", None) or type(objective).__name__
        if kind == "function":
            kind = objective.__name__
    return f"{kind} on {pool}" if isinstance(pool, str) else kind
