"""The risk model of one market: exposure and factor-return histories, and forecasts from them.

:meth:`RiskModel.build` estimates, from a :class:`MarketPanel`, everything a
forecast needs and nothing that depends on the forecast's horizon:

- style exposures on every refresh date (each month's first trading day, see
  :func:`plovera.riskmodel.exposures.refresh_days`), from data through the
  day before;
- daily factor returns by the constrained cross-sectional WLS, each day with
  the exposures of the latest refresh on or before it, fitted over that
  refresh's estimation universe, and every exposed stock's specific return.

:meth:`RiskModel.forecast` then forecasts for a date d from the histories
through the trading day before d only.  A market without industries or caps
has no cross-sectional structure to regress on: its model is statistical
(principal components of the returns, see :mod:`plovera.riskmodel.statistical`).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

import quotaris
from plovera.const import STYLE_FACTORS, CovModel
from plovera.exception import InvalidArgument

from .covariance import factor_covariance
from .exposures import ExposureEngine, fill_missing, refresh_days
from .panel import MarketPanel
from .parameters import RiskModelParameters, parameters_for
from .regression import factor_exposures, factor_names, factor_returns_wls
from .specific import specific_variance
from .statistical import statistical_model

__all__ = ["HISTORY_DAYS", "MIN_HISTORY_DAYS", "FactorModel", "RiskModel"]

#: Factor-return days a forecast needs before its date: a year.
MIN_HISTORY_DAYS = 252
#: Days of history a forecast reads: beyond four of the longest half-lives
#: (504 days) a day weighs less than 7% of the latest.
HISTORY_DAYS = 2016

#: Called with the fraction of the build done (0 to 1) and the stage.
Progress = Callable[[float, str], None]


@dataclass(eq=False)
class FactorModel:
    """The factor form of a covariance forecast over some stocks, annualised.

    ``exposures`` (stocks × factors), ``factor_covariance`` (factors ×
    factors) and ``specific_variance`` (stocks) give the covariance
    exposures @ factor_covariance @ exposuresᵀ + diag(specific_variance).
    ``imputed`` lists the stocks listed too recently for exposures of their
    own: theirs are predicted from industry and size, their specific risk is
    the structural model's.
    """

    exposures: pd.DataFrame
    factor_covariance: pd.DataFrame
    specific_variance: pd.Series
    imputed: list[str] = field(default_factory=list)

    def subset(self, order_book_ids: list[str]) -> FactorModel:
        """The same model over ``order_book_ids`` (a subset of its stocks), in that order."""
        wanted = set(order_book_ids)
        return FactorModel(
            self.exposures.loc[order_book_ids],
            self.factor_covariance,
            self.specific_variance.loc[order_book_ids],
            [i for i in self.imputed if i in wanted],
        )


@dataclass(eq=False)
class RiskModel:
    """Histories of one market's factor model; see the module docstring.

    dates, order_book_ids
        The panel's trading days (T) and stocks (N).
    industry_names, styles
        The industries (None for a statistical model) and the styles the
        market's tables allow, in ``STYLE_FACTORS`` order.
    refresh
        Panel day positions of the exposure refreshes (S).
    exposures
        S × N × len(styles), NaN where a stock was not alive on the refresh
        or the style unavailable then.
    industry
        S × N industry codes on each refresh (-1 unclassified or not alive).
    daily_industry
        T × N industry codes in force each day.
    universe
        S × N, the refresh's estimation universe.
    cap
        T × N weighting caps (None for a statistical model).
    returns
        T × N daily returns.
    factor_returns, r2
        T × factors and T; NaN before the first refresh.
    specific_returns
        T × N, NaN where a stock had no exposures or no return.
    listed_dates, de_listed_dates
        Per stock, datetime64[D] (NaT: not delisted).
    unavailable
        Style -> why the market's tables cannot give it.
    build_seconds
        How long the build took.
    """

    dates: pd.DatetimeIndex
    order_book_ids: pd.Index
    industry_names: tuple[str, ...] | None
    styles: tuple[str, ...]
    refresh: np.ndarray
    exposures: np.ndarray
    industry: np.ndarray
    daily_industry: np.ndarray
    universe: np.ndarray
    cap: np.ndarray | None
    returns: np.ndarray
    factor_returns: np.ndarray
    r2: np.ndarray
    specific_returns: np.ndarray
    listed_dates: np.ndarray
    de_listed_dates: np.ndarray
    unavailable: dict[str, str]
    build_seconds: float = 0.0
    _forecasts: dict = field(default_factory=dict, repr=False)

    @property
    def statistical(self) -> bool:
        """True when the market has no industries or caps: principal components stand in."""
        return self.industry_names is None

    @property
    def factors(self) -> list[str]:
        """The fundamental model's factors: "country", the industries, the styles."""
        if self.statistical:
            return []
        return factor_names(self.industry_names, self.styles)

    @classmethod
    def build(cls, panel: MarketPanel, progress: Progress | None = None) -> RiskModel:
        """Estimate the histories from ``panel``; ``progress`` hears of each stage."""
        import time

        report = progress if progress is not None else _ignore
        started = time.perf_counter()
        fundamental = panel.industry is not None and panel.weighting_cap is not None
        n_days, n = panel.n_days, panel.n_stocks
        if not fundamental:
            empty = np.zeros((0, n), dtype=np.int16)
            model = cls(
                dates=panel.dates,
                order_book_ids=panel.order_book_ids,
                industry_names=None,
                styles=(),
                refresh=np.zeros(0, dtype=np.int64),
                exposures=np.zeros((0, n, 0)),
                industry=empty,
                daily_industry=empty,
                universe=empty.astype(bool),
                cap=None,
                returns=panel.returns,
                factor_returns=np.zeros((n_days, 0)),
                r2=np.full(n_days, np.nan),
                specific_returns=np.zeros((0, n)),
                listed_dates=panel.listed_dates,
                de_listed_dates=panel.de_listed_dates,
                unavailable={},
            )
            model.build_seconds = time.perf_counter() - started
            return model

        engine = ExposureEngine(panel)
        days = refresh_days(panel)
        first = engine.exposures(int(days[-1])) if len(days) else None
        # The last refresh has the most history: what it lacks, the tables cannot give.
        unavailable = {} if first is None else dict(first.unavailable)
        styles = tuple(s for s in STYLE_FACTORS if s not in unavailable)
        k = len(styles)
        exposures = np.full((len(days), n, k), np.nan)
        industry = np.full((len(days), n), -1, dtype=np.int16)
        universe = np.zeros((len(days), n), dtype=bool)
        column = [STYLE_FACTORS.index(s) for s in styles]
        for step, day in enumerate(days):
            snapshot = first if step == len(days) - 1 else engine.exposures(int(day))
            rows = panel.order_book_ids.get_indexer(snapshot.order_book_ids)
            exposures[step, rows] = snapshot.exposures.to_numpy()[:, column]
            industry[step, rows] = snapshot.industry
            universe[step, rows] = snapshot.estimation_universe
            report(0.7 * (step + 1) / len(days), "exposures")

        n_industries = len(panel.industry_names)
        factor_count = 1 + n_industries + k
        factor_returns = np.full((n_days, factor_count), np.nan)
        r2 = np.full(n_days, np.nan)
        specific = np.full((n_days, n), np.nan)
        cap = panel.weighting_cap
        ends = np.r_[days[1:], n_days]
        for step, (begin, end) in enumerate(zip(days, ends, strict=True)):
            x = exposures[step]
            codes = industry[step].astype(np.int64)
            # The styles of this refresh: early on, some lack the history.
            present = np.isfinite(x[universe[step]]).all(axis=0) if universe[step].any() else []
            use = np.flatnonzero(present)
            design = factor_exposures(x[:, use], codes, n_industries)
            keep = np.r_[np.arange(1 + n_industries), 1 + n_industries + use]
            for t in range(begin, end):
                weight_cap = np.where(universe[step], cap[t - 1], np.nan)
                f, _, r2[t] = factor_returns_wls(
                    panel.returns[t],
                    x[:, use],
                    codes,
                    np.sqrt(weight_cap),
                    weight_cap,
                    n_industries,
                )
                factor_returns[t, keep] = f
                fitted = np.nan_to_num(f)
                exposed = (codes >= 0) & np.isfinite(x[:, use]).all(axis=1)
                specific[t] = np.where(exposed, panel.returns[t] - design @ fitted, np.nan)
            report(0.7 + 0.3 * (step + 1) / len(days), "factor returns")
        model = cls(
            dates=panel.dates,
            order_book_ids=panel.order_book_ids,
            industry_names=panel.industry_names,
            styles=styles,
            refresh=days.astype(np.int64),
            exposures=exposures,
            industry=industry,
            daily_industry=panel.industry,
            universe=universe,
            cap=cap,
            returns=panel.returns,
            factor_returns=factor_returns,
            r2=r2,
            specific_returns=specific,
            listed_dates=panel.listed_dates,
            de_listed_dates=panel.de_listed_dates,
            unavailable=unavailable,
        )
        model.build_seconds = time.perf_counter() - started
        return model

    # ------------------------------------------------------------ forecasts

    @property
    def first_date(self) -> pd.Timestamp:
        """The first date a forecast can be made for."""
        return self.dates[self._first_day]

    @property
    def _first_day(self) -> int:
        if self.statistical:
            return min(MIN_HISTORY_DAYS, self.n_days - 1)
        if not len(self.refresh):
            return self.n_days
        # Every style must be in the exposures in force, every factor fitted long enough.
        complete = np.isfinite(self.exposures[:, self.universe.any(axis=0)]).any(axis=1).all(axis=1)
        ready = self.refresh[complete] if complete.any() else np.array([self.n_days])
        observed = np.cumsum(np.isfinite(self.factor_returns[:, [0, *self._style_columns]]), axis=0)
        enough = np.flatnonzero((observed >= MIN_HISTORY_DAYS).all(axis=1))
        history = int(enough[0]) + 1 if len(enough) else self.n_days
        return max(int(ready[0]), history)

    @property
    def _style_columns(self) -> list[int]:
        start = 1 + len(self.industry_names)
        return list(range(start, start + len(self.styles)))

    @property
    def n_days(self) -> int:
        return len(self.dates)

    @property
    def mean_r2(self) -> float:
        """Mean daily fit R² of the factor-return regressions (NaN for a statistical model)."""
        fitted = self.r2[np.isfinite(self.r2)]
        return float(fitted.mean()) if len(fitted) else float("nan")

    def day_of(self, date: object) -> int:
        """Panel position of the first trading day on or after ``date``.

        A forecast for it reads the days before that position only.
        """
        day = pd.Timestamp(quotaris.to_date(date))
        position = int(self.dates.searchsorted(day))
        if position >= self.n_days:
            raise InvalidArgument(
                f"the risk model's data ends on {self.dates[-1].date()}: "
                f"no forecast for {day.date()}"
            )
        if position < self._first_day:
            first = self.dates[self._first_day].date() if self._first_day < self.n_days else None
            raise InvalidArgument(
                f"the risk model has too little history for {day.date()}: "
                + (f"the first date it can serve is {first}" if first else "it can serve no date")
            )
        return position

    def forecast(
        self,
        date: object,
        order_book_ids: list[str],
        cov_model: CovModel,
        params: RiskModelParameters | None = None,
    ) -> FactorModel:
        """The factor model of ``order_book_ids`` for ``date``, from data through the day before.

        Annualised forecasts of the risk over ``cov_model``'s horizon: the next
        trading day (``FACTOR_MODEL_DAILY``), the next 21 trading days
        (``FACTOR_MODEL_MONTHLY``) or the next 63 (``FACTOR_MODEL_QUARTERLY``).
        ``params`` overrides the parameters of ``cov_model`` (to switch
        adjustments off).  An identifier the market does not know, or a stock
        not listed before ``date`` or delisted by it, is an InvalidArgument
        naming it.
        """
        day = self.day_of(date)
        params = parameters_for(cov_model) if params is None else params
        known = self.order_book_ids.get_indexer(order_book_ids)
        unknown = [i for i, k in zip(order_book_ids, known, strict=True) if k < 0]
        if unknown:
            raise InvalidArgument(f"the market data does not know {', '.join(unknown)}")
        key = (day, params)
        whole = self._forecasts.get(key)
        if whole is None:
            whole = (
                self._statistical(day, params)
                if self.statistical
                else self._fundamental(day, params)
            )
            self._forecasts[key] = whole
        absent = [i for i in order_book_ids if i not in whole.specific_variance.index]
        if absent:
            raise InvalidArgument(
                f"not listed before {self.dates[day].date()} or delisted by then: "
                f"{', '.join(absent)}"
            )
        return whole.subset(list(order_book_ids))

    def _alive(self, day: int) -> np.ndarray:
        date = self.dates[day].to_datetime64().astype("datetime64[D]")
        delisted = ~np.isnat(self.de_listed_dates) & (self.de_listed_dates <= date)
        return (self.listed_dates < date) & ~delisted

    def _fundamental(self, day: int, params: RiskModelParameters) -> FactorModel:
        step = int(np.searchsorted(self.refresh, day, side="right")) - 1
        alive = np.flatnonzero(self._alive(day))
        x = self.exposures[step, alive]
        codes = self.daily_industry[day, alive].astype(np.int64)
        universe = self.universe[step, alive]
        cap = self.cap[day - 1, alive]
        # A stock with no usable cap weighs as the smallest: it still needs a decile.
        positive = np.isfinite(cap) & (cap > 0)
        cap = np.where(positive, cap, np.min(cap[positive]))
        imputed = ~np.isfinite(x).all(axis=1)
        if imputed.any():
            x = self._impute(x, codes, cap, universe, imputed)
        start = max(0, day - HISTORY_DAYS)
        factors = self.factor_returns[start:day]
        used = np.flatnonzero(np.isfinite(factors).sum(axis=0) >= 2)
        forecast = factor_covariance(factors[:, used], params)
        n_industries = len(self.industry_names)
        design = factor_exposures(x, codes, n_industries)[:, used]
        specific = specific_variance(
            self.specific_returns[start:day, alive], x, codes, cap, params, n_industries
        )
        names = [self.factors[i] for i in used]
        ids = list(self.order_book_ids[alive])
        return FactorModel(
            pd.DataFrame(design, index=ids, columns=names),
            pd.DataFrame(forecast.covariance, index=names, columns=names),
            pd.Series(specific.variance, index=ids, name="specific_variance"),
            [i for i, flag in zip(ids, imputed, strict=True) if flag],
        )

    def _impute(self, x, codes, cap, universe, imputed):
        """Exposures of stocks without their own, predicted from industry and size."""
        x = x.copy()
        industry = codes if (codes >= 0).any() else None
        size = None
        if "size" in self.styles:
            column = self.styles.index("size")
            values, _ = fill_missing(x[:, column], industry, None, cap, universe)
            x[imputed, column] = values[imputed]
            size = x[:, column]
        for column, style in enumerate(self.styles):
            if style == "size":
                continue
            values, _ = fill_missing(x[:, column], industry, size, cap, universe)
            x[imputed, column] = values[imputed]
        return x

    def _statistical(self, day: int, params: RiskModelParameters) -> FactorModel:
        alive = np.flatnonzero(self._alive(day))
        start = max(0, day - HISTORY_DAYS)
        fitted = statistical_model(self.returns[start:day, alive], params)
        names = [f"statistical_{i + 1}" for i in range(fitted.n_factors)]
        ids = list(self.order_book_ids[alive])
        return FactorModel(
            pd.DataFrame(fitted.exposures, index=ids, columns=names),
            pd.DataFrame(fitted.factor_covariance.covariance, index=names, columns=names),
            pd.Series(fitted.specific_variance, index=ids, name="specific_variance"),
        )


def _ignore(fraction: float, stage: str) -> None:
    del fraction, stage
