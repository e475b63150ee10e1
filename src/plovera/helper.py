"""The data one optimisation reads: covariances, style exposures, benchmark holdings.

Market data comes from the module-level functions of :mod:`quotaris`, looked
up at call time.  Everything is fetched on first use and kept on the helper,
which lives for one optimisation; each piece of data is fetched only once.
"""

from __future__ import annotations

import datetime
import functools
from collections.abc import Iterable

import numpy as np
import pandas as pd

import quotaris

from .const import STYLE_FACTORS, TRADING_DAYS_PER_YEAR, CovModel
from .exception import InvalidArgument

__all__ = [
    "COV_WINDOW",
    "DIAGONAL_FLOOR",
    "MIN_VALID_DAYS",
    "OptimizeHelper",
    "ledoit_wolf",
]

#: Trading days of price history behind a covariance estimate: a year.
COV_WINDOW = TRADING_DAYS_PER_YEAR
#: Quoted days an instrument needs within the window to enter a covariance.
MIN_VALID_DAYS = 60
#: Relative lift of the diagonal, in units of the mean variance, applied only
#: when rounding leaves an estimate short of positive definite.  Far below
#: any estimation precision, it only keeps the solver's quadratic forms strict.
DIAGONAL_FLOOR = 1e-10


def ledoit_wolf(centred: np.ndarray) -> tuple[np.ndarray, float]:
    """Covariance of centred observations shrunk towards a scaled identity.

    ``centred`` holds one observation per row.  Returns the estimate
    (1 - s) S + s m I, where S is the sample covariance (divided by the number
    of rows), m its mean variance and s the intensity of Ledoit and Wolf
    (2004) that minimises the expected squared Frobenius loss; and s.
    """
    rows, columns = centred.shape
    sample = centred.T @ centred / rows
    mean_variance = np.trace(sample) / columns
    distance = sample.copy()
    distance[np.diag_indices(columns)] -= mean_variance
    target_distance = np.sum(distance**2) / columns
    # Mean squared distance of the one-day outer products x xᵀ from S:
    # Σ_t ||x_t x_tᵀ||² = Σ_t (x_tᵀ x_t)², so no n×n product per day is needed.
    row_norms = np.sum(centred**2, axis=1)
    spread = (np.sum(row_norms**2) / rows - np.sum(sample**2)) / (columns * rows)
    spread = min(max(spread, 0.0), target_distance)
    shrinkage = 0.0 if spread == 0 else spread / target_distance
    estimate = (1.0 - shrinkage) * sample
    estimate[np.diag_indices(columns)] += shrinkage * mean_variance
    return estimate, shrinkage


def _names(ids: Iterable[str]) -> str:
    return ", ".join(str(order_book_id) for order_book_id in ids)


class OptimizeHelper:
    """Data of one optimisation of a pool on a date, against an optional benchmark.

    Covariances are Ledoit–Wolf estimates from the daily price changes of the
    ``COV_WINDOW`` trading days that end on the previous trading day,
    annualised by ``TRADING_DAYS_PER_YEAR``; every member of ``CovModel``
    gives this estimate.  Arrays handed out are read-only or copies: the
    helper's own data cannot be changed through them.
    """

    def __init__(
        self,
        order_book_ids: list[str],
        date: object,
        benchmark: object,
        cov_model: CovModel,
    ) -> None:
        if isinstance(order_book_ids, str):
            # A lone identifier would otherwise become a pool of its characters.
            raise InvalidArgument(
                f"order_book_ids must be a list of identifiers, got the string {order_book_ids!r}"
            )
        try:
            pool = list(order_book_ids)
        except TypeError:
            raise InvalidArgument(
                f"order_book_ids must be a list of identifiers, got {order_book_ids!r}"
            ) from None
        if not pool:
            raise InvalidArgument("the pool of order_book_ids is empty")
        not_text = [order_book_id for order_book_id in pool if not isinstance(order_book_id, str)]
        if not_text:
            raise InvalidArgument(f"order_book_ids must be strings, got {not_text!r}")
        counts = pd.Series(pool).value_counts()
        if (counts > 1).any():
            raise InvalidArgument(
                f"order_book_ids repeated in the pool: {_names(counts.index[counts > 1])}"
            )
        if not isinstance(cov_model, CovModel):
            raise InvalidArgument(f"cov_model must be a CovModel member, got {cov_model!r}")
        self.order_book_ids = pool
        self.date = date
        self.benchmark = benchmark
        self.cov_model = cov_model
        self.prev_trading_date = quotaris.trading_date_offset(date, -1)
        self._pool = tuple(pool)
        self._returns = pd.DataFrame()
        self._exposures = pd.DataFrame(columns=list(STYLE_FACTORS), dtype=np.float64)
        self._covariances: dict[tuple[str, ...], np.ndarray] = {}

    # Benchmark holdings

    @functools.cached_property
    def _holdings(self) -> pd.Series:
        """The benchmark's weights on the date, checked, not yet normalised."""
        if self.benchmark is None:
            raise InvalidArgument("no benchmark was given: benchmark weights are not defined")
        weights = self.benchmark.get_weight(self.date)
        if weights is None:
            raise InvalidArgument(f"benchmark {self.benchmark!r} has no weights on {self.date}")
        if not isinstance(weights, pd.Series):
            raise InvalidArgument(
                f"benchmark {self.benchmark!r} gave weights as {type(weights).__name__}, "
                "expected a pandas Series indexed by order_book_id"
            )
        if weights.empty:
            raise InvalidArgument(f"benchmark {self.benchmark!r} holds nothing on {self.date}")
        not_text = [i for i in weights.index if not isinstance(i, str)]
        if not_text:
            raise InvalidArgument(
                f"benchmark {self.benchmark!r} gave weights indexed by {not_text[:3]!r}, "
                "expected order_book_id strings"
            )
        if weights.index.has_duplicates:
            repeated = weights.index[weights.index.duplicated()].unique()
            raise InvalidArgument(f"benchmark weights list {_names(repeated)} more than once")
        try:
            weights = weights.astype(np.float64)
        except (TypeError, ValueError):
            raise InvalidArgument(f"benchmark weights are not numbers: {weights!r}") from None
        bad = weights.index[~np.isfinite(weights.to_numpy()) | (weights.to_numpy() < 0)]
        if len(bad):
            raise InvalidArgument(f"benchmark weights missing or negative for {_names(bad)}")
        if weights.sum() <= 0:
            raise InvalidArgument(f"benchmark weights on {self.date} sum to zero")
        return weights

    @functools.cached_property
    def _union(self) -> tuple[str, ...]:
        if self.benchmark is None:
            return self._pool
        in_pool = set(self._pool)
        others = [i for i in self._holdings.index if i not in in_pool]
        return (*self._pool, *others)

    @property
    def union_components(self) -> list[str]:
        """The pool in pool order, then the benchmark's constituents outside it."""
        return list(self._union)

    @functools.cached_property
    def _benchmark_weight(self) -> pd.Series:
        holdings = self._holdings
        weights = holdings.reindex(list(self._union), fill_value=0.0) / holdings.sum()
        return weights.rename("benchmark_weight")

    @property
    def benchmark_weight(self) -> pd.Series:
        """Benchmark weights over ``union_components``, summing to 1 (0 outside it).

        Without a benchmark there are no benchmark weights and reading this
        raises :class:`InvalidArgument`, rather than posing as an empty one.
        """
        return self._benchmark_weight.copy()

    # Covariances

    @functools.cached_property
    def _window_start(self) -> datetime.date:
        return quotaris.trading_date_offset(self.prev_trading_date, -(COV_WINDOW - 1))

    def _window_returns(self, ids: tuple[str, ...]) -> np.ndarray:
        """Daily price changes of the window, days by ``ids``; each column fetched once."""
        missing = [i for i in ids if i not in self._returns.columns]
        if missing:
            fetched = quotaris.get_price_change_rate(
                missing, self._window_start, self.prev_trading_date
            )
            parts = [self._returns, fetched] if len(self._returns.columns) else [fetched]
            self._returns = pd.concat(parts, axis=1)
        return self._returns[list(ids)].to_numpy(dtype=np.float64)

    def _covariance(self, ids: tuple[str, ...]) -> np.ndarray:
        cached = self._covariances.get(ids)
        if cached is not None:
            return cached
        returns = self._window_returns(ids)
        days = len(returns)
        quoted = ~np.isnan(returns)
        counts = quoted.sum(axis=0)
        short = np.flatnonzero(counts < MIN_VALID_DAYS)
        if len(short):
            detail = _names(f"{ids[i]} ({counts[i]} days)" for i in short)
            raise InvalidArgument(
                f"too little price history for a covariance: {detail}; at least "
                f"{MIN_VALID_DAYS} quoted days are needed among the {days} trading days "
                f"ending {self.prev_trading_date}"
            )
        # Each series is centred on its own quoted days and unquoted days
        # count as zero deviations.  Scaling a column by √(days / quoted)
        # makes its variance the mean over its quoted days only, while the
        # centred matrix stays a real data matrix, so its Gram matrix (and
        # the shrunk estimate) is positive semi-definite by construction,
        # which pairwise-complete estimates are not.
        means = np.nansum(returns, axis=0) / counts
        centred = np.where(quoted, returns - means, 0.0) * np.sqrt(days / counts)
        estimate, _ = ledoit_wolf(centred)
        annual = (estimate + estimate.T) * (TRADING_DAYS_PER_YEAR / 2)
        covariance = self._positive_definite(annual, ids)
        covariance.flags.writeable = False
        self._covariances[ids] = covariance
        return covariance

    def _positive_definite(self, covariance: np.ndarray, ids: tuple[str, ...]) -> np.ndarray:
        mean_variance = np.trace(covariance) / len(covariance)
        if not mean_variance > 0:
            raise InvalidArgument(
                f"the prices of {_names(ids)} did not move in the {COV_WINDOW} trading days "
                f"ending {self.prev_trading_date}"
            )
        try:
            np.linalg.cholesky(covariance)
        except np.linalg.LinAlgError:
            covariance[np.diag_indices(len(covariance))] += DIAGONAL_FLOOR * mean_variance
            np.linalg.cholesky(covariance)  # still failing means broken data: let it raise
        return covariance

    def get_cov_matrix(self) -> np.ndarray:
        """Annualised covariance of the pool, n by n in pool order (read-only)."""
        return self._covariance(self._pool)

    def get_union_cov_matrix(self) -> np.ndarray:
        """Annualised covariance over ``union_components``, in that order (read-only).

        The shrinkage intensity depends on the instruments estimated together,
        so the pool's matrix is not a block of this one; both rest on the
        same fetched prices.
        """
        return self._covariance(self._union)

    # Style exposures

    def _style_exposures(self, ids: list[str]) -> pd.DataFrame:
        """Exposures on the date, ``ids`` by ``STYLE_FACTORS``; each row fetched once."""
        missing = [i for i in ids if i not in self._exposures.index]
        if missing:
            fetched = quotaris.get_style_exposure(missing, self.date)
            absent = [style for style in STYLE_FACTORS if style not in fetched.columns]
            if absent:
                raise InvalidArgument(f"the market data has no exposures to {_names(absent)}")
            fetched = fetched[list(STYLE_FACTORS)].astype(np.float64)
            incomplete = fetched.index[fetched.isna().any(axis=1)]
            if len(incomplete):
                raise InvalidArgument(
                    f"style exposures on {self.date} are incomplete for {_names(incomplete)}"
                )
            parts = [self._exposures, fetched] if len(self._exposures) else [fetched]
            self._exposures = pd.concat(parts)
        return self._exposures.loc[ids]

    def get_factor_exposure(self) -> pd.DataFrame:
        """Style exposures of the pool on the date: pool order by ``STYLE_FACTORS``."""
        return self._style_exposures(list(self._pool)).copy()

    @functools.cached_property
    def _benchmark_style(self) -> pd.Series:
        if self.benchmark is None:
            raise InvalidArgument("the benchmark's style needs a benchmark; none was given")
        weights = self._benchmark_weight
        held = weights[weights != 0]
        exposures = self._style_exposures(list(held.index))
        return pd.Series(
            held.to_numpy() @ exposures.to_numpy(), index=list(STYLE_FACTORS), name="benchmark"
        )

    def get_benchmark_style(self) -> pd.Series:
        """The benchmark's exposure to each style: its weight-averaged constituent exposure."""
        return self._benchmark_style.copy()
