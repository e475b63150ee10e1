"""The data one optimisation reads: covariances, style exposures, benchmark holdings.

Covariances and exposures are forecasts of the factor risk model of the
current market data (:mod:`plovera.riskmodel`), which is built on first use
and kept in the cache; benchmark holdings come from the benchmark object.
Module globals (``quotaris``, ``risk_model``) are looked up at call time, and
everything is computed on first use and kept on the helper, which lives for
one optimisation.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable

import numpy as np
import pandas as pd

import quotaris

from .const import STYLE_FACTORS, CovModel
from .exception import InvalidArgument
from .riskmodel import FactorModel, RiskModel, assemble, risk_model

__all__ = ["OptimizeHelper"]


def _names(ids: Iterable[str]) -> str:
    return ", ".join(str(order_book_id) for order_book_id in ids)


def _copy(model: FactorModel) -> FactorModel:
    return FactorModel(
        model.exposures.copy(),
        model.factor_covariance.copy(),
        model.specific_variance.copy(),
        list(model.imputed),
    )


class OptimizeHelper:
    """Data of one optimisation of a pool on a date, against an optional benchmark.

    Covariances are the factor model's X F Xᵀ + Δ for the date, forecast
    from data through the previous trading day over ``cov_model``'s horizon
    (the next trading day, the next 21 or the next 63 trading days) and
    annualised.  Arrays handed out are read-only or copies: the helper's own
    data cannot be changed through them.
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
        self._factor_models: dict[tuple[str, ...], FactorModel] = {}
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
        not_text = [i for i in weights.index.tolist() if not isinstance(i, str)]
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
        others = [i for i in self._holdings.index.tolist() if i not in in_pool]
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

    # The factor model

    @functools.cached_property
    def _risk_model(self) -> RiskModel:
        return risk_model()

    def _factor_model(self, ids: tuple[str, ...]) -> FactorModel:
        cached = self._factor_models.get(ids)
        if cached is None:
            cached = self._risk_model.forecast(self.date, list(ids), self.cov_model)
            self._factor_models[ids] = cached
        return cached

    def _covariance(self, ids: tuple[str, ...]) -> np.ndarray:
        cached = self._covariances.get(ids)
        if cached is None:
            model = self._factor_model(ids)
            cached = assemble(
                model.exposures.to_numpy(),
                model.factor_covariance.to_numpy(),
                model.specific_variance.to_numpy(),
            )
            cached.flags.writeable = False
            self._covariances[ids] = cached
        return cached

    def get_cov_matrix(self) -> np.ndarray:
        """Annualised covariance of the pool, n by n in pool order (read-only)."""
        return self._covariance(self._pool)

    def get_union_cov_matrix(self) -> np.ndarray:
        """Annualised covariance over ``union_components``, in that order (read-only).

        The pool's matrix is its leading block.
        """
        return self._covariance(self._union)

    def get_factor_model(self) -> FactorModel:
        """The factor form of the pool's covariance (a copy).

        ``exposures`` (pool order by "country", the industries, the styles),
        ``factor_covariance`` and ``specific_variance``, annualised, give
        ``get_cov_matrix()`` as exposures @ factor_covariance @ exposuresᵀ +
        diag(specific_variance).
        """
        return _copy(self._factor_model(self._pool))

    def get_union_factor_model(self) -> FactorModel:
        """The factor form of ``get_union_cov_matrix()`` over ``union_components`` (a copy)."""
        return _copy(self._factor_model(self._union))

    # Style exposures

    def _style_exposures(self, ids: tuple[str, ...]) -> pd.DataFrame:
        """Exposures on the date, ``ids`` by ``STYLE_FACTORS``."""
        model = self._risk_model
        if model.statistical:
            raise InvalidArgument(
                "the risk model of this market data is statistical (principal components): "
                "it has no style exposures"
            )
        unavailable = [s for s in STYLE_FACTORS if s not in model.styles]
        if unavailable:
            reasons = "; ".join(f"{s}: {model.unavailable.get(s, 'no data')}" for s in unavailable)
            raise InvalidArgument(f"the market data gives no exposures to {reasons}")
        return self._factor_model(ids).exposures[list(STYLE_FACTORS)]

    def get_factor_exposure(self) -> pd.DataFrame:
        """Style exposures of the pool on the date: pool order by ``STYLE_FACTORS``."""
        return self._style_exposures(self._pool).copy()

    @functools.cached_property
    def _benchmark_style(self) -> pd.Series:
        if self.benchmark is None:
            raise InvalidArgument("the benchmark's style needs a benchmark; none was given")
        weights = self._benchmark_weight
        held = weights[weights != 0]
        exposures = self._style_exposures(tuple(held.index))
        return pd.Series(
            held.to_numpy() @ exposures.to_numpy(), index=list(STYLE_FACTORS), name="benchmark"
        )

    def get_benchmark_style(self) -> pd.Series:
        """The benchmark's exposure to each style: its weight-averaged constituent exposure."""
        return self._benchmark_style.copy()

    # Industries

    def get_industry(self, classification: object = "sws") -> pd.Series:
        """Industry names of ``union_components`` on the date (None where unclassified).

        ``classification`` is an ``IndustryClassification`` member or its value.
        """
        scheme = getattr(classification, "value", classification)
        names = quotaris.get_industry(self.union_components, self.date, scheme)
        return names.reindex(self.union_components)
