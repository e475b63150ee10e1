"""The risk model of one market: exposure and factor-return histories, and forecasts from them.

:meth:`RiskModel.build` estimates, from a :class:`MarketPanel`, everything a
forecast needs and nothing that depends on the forecast's horizon:

- style exposures on every refresh date (each month's first trading day, see
  :func:`plovera.riskmodel.exposures.refresh_days`), from data through the
  day before;
- daily factor returns by the constrained cross-sectional WLS, each day with
  the exposures of the latest refresh on or before it, fitted over that
  refresh's estimation universe, and every exposed stock's specific return;
- for the parameters of each ``CovModel``, what a forecast would otherwise
  spend most of its time on: on every refresh from the first servable one the
  eigenfactor bias (simulated from the factor covariance of the days before
  it), and the sums and daily statistics behind the specific risk and its
  regime adjustment.

:meth:`RiskModel.forecast` then forecasts for a date d from the histories
through the trading day before d only; other parameters (say, adjustments
switched off) are simulated and summed on the fly.  :meth:`RiskModel.extend`
continues a model over a panel that gained days.  A market without industries or caps
has no cross-sectional structure to regress on: its model is statistical
(principal components of the returns, see :mod:`plovera.riskmodel.statistical`).
"""

from __future__ import annotations

import functools
import hashlib
import os
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

import quotaris
from plovera.const import STYLE_FACTORS, CovModel
from plovera.exception import InvalidArgument
from quotaris.tables import TRADING_DAYS_PER_YEAR

from .covariance import (
    EigenfactorSimulation,
    daily_factor_covariance,
    factor_covariance,
    factor_regime_multiplier,
    regime_from_statistics,
)
from .exposures import ExposureEngine, fill_missing, refresh_days
from .panel import MarketPanel
from .parameters import PARAMETERS, RiskModelParameters, parameters_for
from .regression import factor_exposures, factor_names, factor_returns_wls
from .specific import (
    newey_west_from_sums,
    newey_west_sums,
    newey_west_variance,
    regime_statistics,
    specific_variance,
)
from .statistical import statistical_model

__all__ = [
    "FORECASTS_KEPT",
    "HISTORY_DAYS",
    "MAX_FORECAST_VOLATILITY",
    "MIN_HISTORY_DAYS",
    "FactorModel",
    "RiskModel",
    "RiskModelError",
    "precomputed_parameters",
]

#: Factor-return days a forecast needs before its date: a year.
MIN_HISTORY_DAYS = 252
#: Days of history a forecast reads: beyond four of the longest half-lives
#: (504 days) a day weighs less than 7% of the latest.
HISTORY_DAYS = 2016

#: No stock's or factor's annualised volatility forecast is believable above this
#: (1000%: beyond the busiest day-to-day swings of listed shares); a forecast
#: beyond it comes from unsound data and is refused.
MAX_FORECAST_VOLATILITY = 10.0

#: Whole-market forecasts a model keeps for reuse, the latest ones.
FORECASTS_KEPT = 64

#: Called with the fraction of the build done (0 to 1) and the stage.
Progress = Callable[[float, str], None]

#: The fields of a parameter set that the precomputed eigenfactor bias depends on ...
_EIGEN_FIELDS = (
    "factor_vol_half_life",
    "factor_corr_half_life",
    "factor_vol_lags",
    "factor_corr_lags",
    "eigenfactor_simulations",
    "eigenfactor_seed",
)
#: ... and those the precomputed specific-risk sums and regime statistics depend on.
_SPECIFIC_FIELDS = ("specific_vol_half_life", "specific_lags")


class RiskModelError(InvalidArgument):
    """A forecast the risk model cannot stand behind; the message names the stock or
    factor, the date and the value."""


def precomputed_parameters() -> np.ndarray:
    """One row per ``CovModel``: the fields of its parameters that a build precomputes for."""
    return np.array(
        [
            [float(getattr(p, name)) for name in _EIGEN_FIELDS + _SPECIFIC_FIELDS]
            for p in PARAMETERS.values()
        ]
    )


def _row_of(table: np.ndarray, values: list[float]) -> int | None:
    """The first row of ``table`` equal to ``values``, or None."""
    if table.size == 0:
        return None
    hits = np.flatnonzero((table == np.asarray(values)).all(axis=1))
    return int(hits[0]) if len(hits) else None


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

    @functools.cached_property
    def rows(self) -> dict[str, int]:
        """Each stock's row."""
        return {i: k for k, i in enumerate(self.exposures.index.tolist())}

    def variance(self, weights) -> float:
        """wᵀ Σ w of weights over the model's stocks, in their order, without forming Σ."""
        from .exante import risk_parts

        return risk_parts(self, weights).variance

    def subset(self, order_book_ids: list[str]) -> FactorModel:
        """The same model over ``order_book_ids`` (a subset of its stocks), in that order."""
        positions = self.rows
        lost = [i for i in order_book_ids if i not in positions]
        if lost:
            raise KeyError(f"not in the factor model: {', '.join(lost)}")
        rows = np.fromiter((positions[i] for i in order_book_ids), np.int64, len(order_book_ids))
        ids = pd.Index(order_book_ids, dtype=object)
        imputed = set(self.imputed)
        return FactorModel(
            pd.DataFrame(
                self.exposures.to_numpy()[rows], index=ids, columns=self.exposures.columns
            ),
            self.factor_covariance,
            pd.Series(self.specific_variance.to_numpy()[rows], index=ids, name="specific_variance"),
            [i for i in order_book_ids if i in imputed] if imputed else [],
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
    standard_parameters
        P × fields: the parameters of each ``CovModel`` at build time that the
        precomputed arrays below depend on (see :func:`precomputed_parameters`).
    eigenfactor_bias
        S × P × factors: on each refresh from the first servable one, the
        simulated eigen-volatility bias (smallest eigenvalue first, NaN padded,
        before ``eigenfactor_scale``) of each standard parameter set's factor
        covariance from the factor returns before the refresh; NaN elsewhere.
    specific_sums
        S × M × N: each standard set's Newey–West sums of the specific returns
        before each refresh (2 × (lags + 1) rows per set, in set order).
    specific_regime
        P × T: each day's bias statistic of specific returns over each
        standard set's specific volatility forecasts.
    data_digest_hex
        :meth:`data_digest` of the panel the model was built from.
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
    standard_parameters: np.ndarray = field(default_factory=lambda: np.zeros((0, 8)))
    eigenfactor_bias: np.ndarray = field(default_factory=lambda: np.zeros((0, 0, 0)))
    specific_sums: np.ndarray = field(default_factory=lambda: np.zeros((0, 0, 0)))
    specific_regime: np.ndarray = field(default_factory=lambda: np.zeros((0, 0)))
    data_digest_hex: str = ""
    build_seconds: float = 0.0
    _forecasts: dict = field(default_factory=dict, init=False, repr=False)

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
        report = progress if progress is not None else _ignore
        started = time.perf_counter()
        if panel.industry is None or panel.weighting_cap is None:
            # No cross-sectional structure: principal components stand in at forecast time.
            model = cls._statistical_model(panel)
        else:
            engine = ExposureEngine(panel)
            days = refresh_days(panel)
            last = engine.exposures(int(days[-1])) if len(days) else None
            # The last refresh has the most history: what it lacks, the tables cannot give.
            unavailable = {} if last is None else dict(last.unavailable)
            styles = tuple(s for s in STYLE_FACTORS if s not in unavailable)
            model = cls._empty(panel, days, styles, unavailable)
            model._fill_exposures(engine, range(len(days)), last, report)
            model._fill_factor_returns(panel, 0, report)
            model._precompute(0, report)
        model.data_digest_hex = model.data_digest(panel)
        model.build_seconds = time.perf_counter() - started
        return model

    def extend(self, panel: MarketPanel, progress: Progress | None = None) -> RiskModel:
        """This model continued over ``panel``, whose dates begin with this model's.

        What the model holds is reused and only the new refreshes and days are
        estimated: the result is what :meth:`build` gives on ``panel``.  The
        panel may add stocks listed after this model's last day.  A panel
        that does not continue this model (other first dates, fewer dates,
        other stocks or data before the last day, other industries or
        styles) is a ValueError: build afresh then.
        """
        report = progress if progress is not None else _ignore
        started = time.perf_counter()
        n_old = self.n_days
        if panel.n_days < n_old or not panel.dates[:n_old].equals(self.dates):
            raise ValueError(
                f"the panel ({panel.dates[0].date()} to {panel.dates[-1].date()}, "
                f"{panel.n_days} days) does not continue the model's dates "
                f"({self.dates[0].date()} to {self.dates[-1].date()})"
            )
        if self.data_digest(panel) != self.data_digest_hex:
            raise ValueError(
                f"the panel's data through {self.dates[-1].date()} differs from the model's"
            )
        added = ~panel.order_book_ids.isin(self.order_book_ids)
        last_day = self.dates[-1].to_datetime64().astype("datetime64[D]")
        early = added & (panel.listed_dates < last_day)
        if early.any():
            raise ValueError(
                f"stocks listed before {self.dates[-1].date()} are new to the model: "
                f"{', '.join(panel.order_book_ids[early])}"
            )
        fundamental = panel.industry is not None and panel.weighting_cap is not None
        if fundamental == self.statistical or (
            fundamental and panel.industry_names != self.industry_names
        ):
            raise ValueError("the panel's industries or caps differ from the model's")
        if self.statistical:
            model = type(self)._statistical_model(panel)
        else:
            engine = ExposureEngine(panel)
            days = refresh_days(panel)
            last = engine.exposures(int(days[-1]))
            styles = tuple(s for s in STYLE_FACTORS if s not in last.unavailable)
            if styles != self.styles:
                raise ValueError(
                    f"the panel gives the styles {', '.join(styles)}, "
                    f"the model has {', '.join(self.styles)}"
                )
            model = type(self)._empty(panel, days, styles, dict(last.unavailable))
            old, columns = len(self.refresh), panel.order_book_ids.get_indexer(self.order_book_ids)
            model.exposures[:old, columns] = self.exposures
            model.industry[:old, columns] = self.industry
            model.universe[:old, columns] = self.universe
            model._fill_exposures(engine, range(old, len(days)), last, report)
            model.factor_returns[:n_old] = self.factor_returns
            model.r2[:n_old] = self.r2
            model.specific_returns[:n_old, columns] = self.specific_returns
            model._fill_factor_returns(panel, n_old, report)
            reusable = np.array_equal(self.standard_parameters, model.standard_parameters)
            if reusable:
                model.eigenfactor_bias[:old] = self.eigenfactor_bias
            model._precompute(old if reusable else 0, report)
        model.data_digest_hex = model.data_digest(panel)
        model.build_seconds = time.perf_counter() - started
        return model

    def data_digest(self, panel: MarketPanel, n_days: int | None = None) -> str:
        """sha256 (hex) of what a build reads from ``panel`` over its first ``n_days`` days.

        Restricted to this model's stocks (all of which ``panel`` must hold):
        dates, identifiers, returns, caps, turnover, industries, fundamentals
        announced by then, listing dates and delistings by then, and which
        tables the panel lacks.  ``n_days`` defaults to the model's own.
        """
        n_days = self.n_days if n_days is None else n_days
        columns = panel.order_book_ids.get_indexer(self.order_book_ids)
        if (columns < 0).any():
            lost = self.order_book_ids[columns < 0]
            raise ValueError(f"the panel lacks stocks of the model: {', '.join(lost[:5])}")
        digest = hashlib.sha256()

        def add(name: str, array: object) -> None:
            digest.update(name.encode())
            if array is None:
                digest.update(b"\0none")
                return
            array = np.ascontiguousarray(array)
            digest.update(f"{array.dtype.str}{array.shape}".encode())
            digest.update(array.tobytes())

        add("dates", panel.dates[:n_days].to_numpy().astype("datetime64[ns]"))
        digest.update("\0".join(self.order_book_ids).encode())
        for name in ("returns", "cap_total", "cap_float", "turnover", "industry"):
            array = getattr(panel, name)
            add(name, None if array is None else array[:n_days, columns])
        digest.update(repr((panel.industry_names, panel.industry_scheme)).encode())
        digest.update(repr(sorted(panel.missing)).encode())
        add("listed", panel.listed_dates[columns])
        last = panel.dates[n_days - 1].to_datetime64().astype("datetime64[D]")
        delisted = panel.de_listed_dates[columns]
        add("delisted", np.where(delisted <= last, delisted, np.datetime64("NaT", "D")))
        fundamentals = panel.fundamentals
        if fundamentals is None:
            add("fundamentals", None)
        else:
            position = np.full(panel.n_stocks, -1)
            position[columns] = np.arange(len(columns))
            keep = (fundamentals.day < n_days) & (position[fundamentals.stock] >= 0)
            digest.update(repr(fundamentals.fields).encode())
            add("fundamental_days", fundamentals.day[keep].astype(np.int64))
            add("fundamental_stocks", position[fundamentals.stock[keep]].astype(np.int64))
            add("fundamental_values", fundamentals.values[keep])
        return digest.hexdigest()

    # ------------------------------------------------------------ build steps

    @classmethod
    def _statistical_model(cls, panel: MarketPanel) -> RiskModel:
        n_days, n = panel.n_days, panel.n_stocks
        empty = np.zeros((0, n), dtype=np.int16)
        return cls(
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

    @classmethod
    def _empty(cls, panel, days, styles, unavailable) -> RiskModel:
        """A fundamental model of ``panel`` with every estimate still missing."""
        n_days, n, s = panel.n_days, panel.n_stocks, len(days)
        n_factors = 1 + len(panel.industry_names) + len(styles)
        standard = precomputed_parameters()
        width = int(sum(2 * (lags + 1) for lags in standard[:, -1]))
        return cls(
            dates=panel.dates,
            order_book_ids=panel.order_book_ids,
            industry_names=panel.industry_names,
            styles=styles,
            refresh=np.asarray(days, dtype=np.int64),
            exposures=np.full((s, n, len(styles)), np.nan),
            industry=np.full((s, n), -1, dtype=np.int16),
            daily_industry=panel.industry,
            universe=np.zeros((s, n), dtype=bool),
            cap=panel.weighting_cap,
            returns=panel.returns,
            factor_returns=np.full((n_days, n_factors), np.nan),
            r2=np.full(n_days, np.nan),
            specific_returns=np.full((n_days, n), np.nan),
            listed_dates=panel.listed_dates,
            de_listed_dates=panel.de_listed_dates,
            unavailable=unavailable,
            standard_parameters=standard,
            eigenfactor_bias=np.full((s, len(standard), n_factors), np.nan),
            specific_sums=np.zeros((s, width, n)),
            specific_regime=np.full((len(standard), n_days), np.nan),
        )

    def _fill_exposures(self, engine, steps, last, report) -> None:
        """The exposures of the refreshes ``steps``; ``last`` is the last refresh's, computed."""
        column = [STYLE_FACTORS.index(s) for s in self.styles]
        steps = list(steps)
        for count, step in enumerate(steps):
            day = int(self.refresh[step])
            snapshot = last if step == len(self.refresh) - 1 else engine.exposures(day)
            rows = self.order_book_ids.get_indexer(snapshot.order_book_ids)
            self.exposures[step, rows] = snapshot.exposures.to_numpy()[:, column]
            self.industry[step, rows] = snapshot.industry
            self.universe[step, rows] = snapshot.estimation_universe
            report(0.6 * (count + 1) / len(steps), "exposures")

    def _fill_factor_returns(self, panel: MarketPanel, first_day: int, report) -> None:
        """Factor returns, fit R² and specific returns of the days from ``first_day`` on."""
        n_industries = len(self.industry_names)
        cap = self.cap
        # Before the first refresh no stock has exposures: no day can be fitted.
        ends = np.r_[self.refresh[1:], self.n_days][: len(self.refresh)]
        steps = np.flatnonzero(ends > first_day)
        for count, step in enumerate(steps):
            x = self.exposures[step]
            codes = self.industry[step].astype(np.int64)
            universe = self.universe[step]
            # The styles of this refresh: early on, some lack the history.
            present = np.isfinite(x[universe]).all(axis=0) if universe.any() else []
            use = np.flatnonzero(present)
            design = factor_exposures(x[:, use], codes, n_industries)
            keep = np.r_[np.arange(1 + n_industries), 1 + n_industries + use]
            exposed = (codes >= 0) & np.isfinite(x[:, use]).all(axis=1)
            for t in range(max(int(self.refresh[step]), first_day), int(ends[step])):
                weight_cap = np.where(universe, cap[t - 1], np.nan)
                f, _, self.r2[t] = factor_returns_wls(
                    panel.returns[t],
                    x[:, use],
                    codes,
                    np.sqrt(weight_cap),
                    weight_cap,
                    n_industries,
                )
                self.factor_returns[t, keep] = f
                fitted = np.nan_to_num(f)
                self.specific_returns[t] = np.where(
                    exposed, panel.returns[t] - design @ fitted, np.nan
                )
            report(0.6 + 0.3 * (count + 1) / len(steps), "factor returns")

    def _precompute(self, first_step: int, report) -> None:
        """What forecasts with the standard parameters reuse: eigenfactor biases from the
        refresh ``first_step`` on, specific-risk sums and regime statistics throughout."""
        if not len(self.refresh):
            return  # no exposures yet: nothing a forecast could reuse
        servable = int(np.searchsorted(self.refresh, self._first_day, side="right")) - 1
        steps = range(max(first_step, servable, 0), len(self.refresh))
        simulations: dict[tuple[float, float, float], EigenfactorSimulation] = {}
        sets = list(PARAMETERS.values())
        for params in sets:
            key = _simulation_key(params)
            if key not in simulations:
                simulations[key] = EigenfactorSimulation(
                    self.factor_returns.shape[1],
                    params.eigenfactor_simulations,
                    params.eigenfactor_seed,
                )

        def bias(window, used, params):
            cov = daily_factor_covariance(window[:, used], params)
            eigenvalues = np.maximum(np.linalg.eigh(cov)[0], 0.0)
            return simulations[_simulation_key(params)].bias(eigenvalues)

        # The sets' simulations are independent and numpy lets go of the interpreter
        # in them: the cores share the work.
        with ThreadPoolExecutor(min(len(sets), os.cpu_count() or 1)) as pool:
            for count, step in enumerate(steps):
                day = int(self.refresh[step])
                window = self.factor_returns[max(0, day - HISTORY_DAYS) : day]
                used = np.flatnonzero(np.isfinite(window).sum(axis=0) >= 2)
                for (half_life, _, _), simulation in simulations.items():
                    if simulation.days < len(window):
                        ages = np.arange(simulation.days, len(window), dtype=np.float64)
                        simulation.extend(0.5 ** (ages / half_life))
                found = pool.map(bias, [window] * len(sets), [used] * len(sets), sets)
                for row, values in enumerate(found):
                    self.eigenfactor_bias[step, row, : len(used)] = values
                report(0.9 + 0.09 * (count + 1) / len(steps), "eigenfactor simulations")
        offset = 0
        weights = self._regime_weights(self.n_days)
        for row, params in enumerate(PARAMETERS.values()):
            half_life, lags = params.specific_vol_half_life, params.specific_lags
            sums = newey_west_sums(self.specific_returns, half_life, lags, self.refresh)
            width = 2 * (lags + 1)
            self.specific_sums[:, offset : offset + width] = sums.reshape(
                len(self.refresh), width, -1
            )
            offset += width
            self.specific_regime[row] = regime_statistics(self.specific_returns, half_life, weights)
        report(1.0, "specific risk")

    def _regime_weights(self, day: int) -> np.ndarray:
        """Each stock's weight in the regime statistic of the days before ``day``: its prior cap."""
        return np.vstack([np.full((1, self.cap.shape[1]), np.nan), self.cap[: day - 1]])

    # ------------------------------------------------------------ forecasts

    @property
    def first_date(self) -> pd.Timestamp:
        """The first date a forecast can be made for; InvalidArgument if there is none."""
        if self._first_day >= self.n_days:
            raise InvalidArgument(f"the risk model has too little history: {self._shortfall()}")
        return self.dates[self._first_day]

    def _shortfall(self) -> str:
        """Why no date can be served, with the number of trading days it would take."""
        have = f"the market has {self.n_days} trading days"
        if not len(self.refresh):
            return (
                "it can serve no date: exposures are first computed at the start of the "
                f"month after the first day, and a forecast needs {MIN_HISTORY_DAYS} trading "
                f"days of factor returns after that, at least {MIN_HISTORY_DAYS + 2} trading "
                f"days in all; {have}"
            )
        complete = np.isfinite(self.exposures[:, self.universe.any(axis=0)]).any(axis=1).all(axis=1)
        if not complete.any():
            return (
                "it can serve no date: no month has exposures to every style yet, and a "
                f"forecast needs {MIN_HISTORY_DAYS} trading days of factor returns after "
                f"the first that has; {have}"
            )
        ready = int(self.refresh[np.argmax(complete)])
        return (
            f"it can serve no date: every style has exposures from "
            f"{self.dates[ready].date()}, and a forecast needs {MIN_HISTORY_DAYS} trading "
            f"days of factor returns after that: at least {ready + MIN_HISTORY_DAYS + 1} "
            f"trading days in all; {have}"
        )

    @functools.cached_property
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
                + (f"the first date it can serve is {first}" if first else self._shortfall())
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
        order_book_ids = list(order_book_ids)
        unknown = [i for i in order_book_ids if i not in self._positions]
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
            _check_forecast(whole, self.dates[day])
            if len(self._forecasts) >= FORECASTS_KEPT:
                # A report forecasting every date must not keep them all.
                del self._forecasts[next(iter(self._forecasts))]
            self._forecasts[key] = whole
        absent = [i for i in order_book_ids if i not in whole.rows]
        if absent:
            raise InvalidArgument(
                f"not listed before {self.dates[day].date()} or delisted by then: "
                f"{', '.join(absent)}"
            )
        return whole.subset(order_book_ids)

    def industry_breadth(self) -> pd.Series:
        """Each industry's effective number of stocks (Σw)²/Σw² in the last month's
        estimation universe, w the regression weights; below ``THIN_INDUSTRY_STOCKS``
        its factor return is shrunk towards the market's."""
        if self.statistical or not len(self.refresh):
            return pd.Series(dtype=np.float64)
        refresh = int(self.refresh[-1])
        members = self.universe[-1] & (self.industry[-1] >= 0)
        weight = np.sqrt(np.nan_to_num(self.cap[refresh - 1, members]))
        codes = self.industry[-1, members].astype(np.int64)
        n_industries = len(self.industry_names)
        total = np.bincount(codes, weights=weight, minlength=n_industries)
        squares = np.bincount(codes, weights=weight**2, minlength=n_industries)
        with np.errstate(invalid="ignore", divide="ignore"):
            effective = np.where(squares > 0, total**2 / squares, 0.0)
        return pd.Series(effective, index=list(self.industry_names), name="effective_stocks")

    def regime_multipliers(self, cov_model: CovModel) -> pd.DataFrame:
        """The volatility-regime multipliers of ``cov_model``'s forecasts, columns "factor"
        and "specific", on each month's first trading day it can serve and its last day.

        A multiplier far from 1 for long says the forecasts before it missed the
        realised volatility by that factor (squared).
        """
        if self.statistical:
            raise InvalidArgument("a statistical risk model has no regime multipliers")
        params = parameters_for(cov_model)
        days = np.unique(np.r_[self.refresh[self.refresh >= self._first_day], self.n_days - 1])
        days = days[days >= self._first_day]
        found = []
        for day in days:
            factors = self.factor_returns[max(0, day - HISTORY_DAYS) : day]
            used = np.flatnonzero(np.isfinite(factors).sum(axis=0) >= 2)
            alive = np.flatnonzero(self._alive(day))
            step = int(np.searchsorted(self.refresh, day, side="right")) - 1
            found.append(
                (
                    factor_regime_multiplier(factors[:, used], params),
                    self._specific_history(day, step, alive, params)[1],
                )
            )
        return pd.DataFrame(
            np.array(found).reshape(-1, 2), index=self.dates[days], columns=["factor", "specific"]
        )

    @functools.cached_property
    def _positions(self) -> dict[str, int]:
        return {i: k for k, i in enumerate(self.order_book_ids.tolist())}

    def alive_on(self, date: object) -> np.ndarray:
        """Which stocks (a mask over ``order_book_ids``) a forecast for ``date`` covers."""
        return self._alive(self.day_of(date))

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
        forecast = factor_covariance(
            factors[:, used], params, eigenfactor_bias=self._stored_bias(step, params, len(used))
        )
        n_industries = len(self.industry_names)
        design = factor_exposures(x, codes, n_industries)[:, used]
        variance, multiplier = self._specific_history(day, step, alive, params)
        specific = specific_variance(
            self.specific_returns[max(0, day - TRADING_DAYS_PER_YEAR) : day, alive],
            x,
            codes,
            cap,
            params,
            n_industries,
            time_series_variance=variance,
            multiplier=multiplier,
        )
        names = [self.factors[i] for i in used]
        ids = pd.Index(self.order_book_ids[alive], dtype=object)
        return FactorModel(
            pd.DataFrame(design, index=ids, columns=names),
            pd.DataFrame(forecast.covariance, index=names, columns=names),
            pd.Series(specific.variance, index=ids, name="specific_variance"),
            list(ids[imputed]),
        )

    def _stored_bias(self, step: int, params: RiskModelParameters, n_factors: int):
        """The bias precomputed on refresh ``step`` for ``params``, or None to simulate."""
        if not params.eigenfactor:
            return None
        row = _row_of(
            self.standard_parameters[:, : len(_EIGEN_FIELDS)],
            [float(getattr(params, name)) for name in _EIGEN_FIELDS],
        )
        if row is None or step >= len(self.eigenfactor_bias):
            return None
        bias = self.eigenfactor_bias[step, row]
        bias = bias[np.isfinite(bias)]
        return bias if bias.size == n_factors else None

    def _specific_history(self, day: int, step: int, alive: np.ndarray, params):
        """Newey–West variances of the ``alive`` stocks' specific returns before ``day``
        and the regime multiplier, from the precomputed sums when ``params`` allow."""
        half_life, lags = params.specific_vol_half_life, params.specific_lags
        row = _row_of(
            self.standard_parameters[:, len(_EIGEN_FIELDS) :], [float(half_life), float(lags)]
        )
        if row is None or step >= len(self.specific_sums):
            variance = newey_west_variance(self.specific_returns[:day, alive], half_life, lags)
            statistics = regime_statistics(
                self.specific_returns[:day], half_life, self._regime_weights(day)
            )
        else:
            offset = int(sum(2 * (k + 1) for k in self.standard_parameters[:row, -1]))
            stored = self.specific_sums[step][offset : offset + 2 * (lags + 1)][:, alive]
            refresh = int(self.refresh[step])
            begin = max(0, refresh - lags)
            recent = newey_west_sums(
                self.specific_returns[begin:day, alive],
                half_life,
                lags,
                [day - begin],
                refresh - begin,
            )[0]
            decay = (0.5 ** (1.0 / half_life)) ** (day - refresh)
            variance = newey_west_from_sums(stored.reshape(2, lags + 1, -1) * decay + recent)
            statistics = self.specific_regime[row, :day]
        multiplier = (
            regime_from_statistics(statistics, params.specific_regime_half_life)
            if params.regime
            else 1.0
        )
        return variance, multiplier

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
        ids = pd.Index(self.order_book_ids[alive], dtype=object)
        return FactorModel(
            pd.DataFrame(fitted.exposures, index=ids, columns=names),
            pd.DataFrame(fitted.factor_covariance.covariance, index=names, columns=names),
            pd.Series(fitted.specific_variance, index=ids, name="specific_variance"),
        )


def _check_forecast(model: FactorModel, date: pd.Timestamp) -> None:
    """Refuse a forecast with a volatility that is not finite or beyond belief."""
    factor_vol = np.sqrt(np.diag(model.factor_covariance.to_numpy()))
    specific_vol = np.sqrt(model.specific_variance.to_numpy())
    # A stock's own bad data spills into the factors it is fitted with: name it first.
    for kind, names, vols in (
        ("stock", model.specific_variance.index, specific_vol),
        ("factor", model.factor_covariance.index, factor_vol),
    ):
        bad = np.flatnonzero(~(vols <= MAX_FORECAST_VOLATILITY))
        if len(bad):
            others = f" (and {len(bad) - 1} more {kind}s)" if len(bad) > 1 else ""
            what = "specific volatility" if kind == "stock" else "volatility"
            raise RiskModelError(
                f"the risk model's {what} forecast for {kind} {names[bad[0]]} on "
                f"{date.date()} is {vols[bad[0]]:.0%} a year{others}, beyond the "
                f"{MAX_FORECAST_VOLATILITY:.0%} any listed share shows: the market data "
                "behind it is unsound"
            )


def _simulation_key(params: RiskModelParameters) -> tuple[float, int, int]:
    """Parameter sets with equal keys share their simulated histories."""
    return params.factor_corr_half_life, params.eigenfactor_simulations, params.eigenfactor_seed


def _ignore(fraction: float, stage: str) -> None:
    del fraction, stage
