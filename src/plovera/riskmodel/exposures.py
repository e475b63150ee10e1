"""Style exposures of the risk model, point in time, from a market panel.

Exposures for a date d use the panel's data through the previous trading
day only (numbers) and the industries in force on d (a classification is
public before it takes effect, and a new listing's is in its prospectus).
The model refreshes them on the first trading day of every month
(:func:`refresh_days`; weekly on request), and they hold until the next.

Per style, over the stocks an optimisation on d can hold:

1. raw descriptors (:mod:`plovera.riskmodel.descriptors`);
2. outliers: a value more than ``OUTLIER_ERROR`` standard deviations from
   the cap-weighted mean is an error and becomes missing;
3. standardise (cap-weighted mean 0, equal-weighted standard deviation 1 over
   the estimation universe), clip at ±``OUTLIER_CLIP`` and standardise again;
4. combine a style's descriptors with their weights, renormalised over the
   descriptors a stock has;
5. orthogonalise (square-root-cap weighted regression with intercept over
   the estimation universe, residual kept): residual_volatility to beta and
   size, liquidity and non_linear_size (the cube of size) to size;
6. winsorise and standardise again;
7. fill what is missing by a square-root-cap weighted regression of the
   present exposures on industry dummies and size, and flag it; then
   standardise once more, so the estimation universe the factor returns are
   fitted on is exactly standardised, imputed members included.

The estimation universe (ESTU) is the stocks listed for at least
``ESTU_MIN_LISTED_DAYS`` trading days, quoted on the previous day and with a
cap then.  Caps weight by total cap (free-float cap if the source has only
that, equal weights if it has neither).  A style the source's tables cannot
give, or that too few ESTU members have the history for (less than
``MIN_COVERAGE`` of them), is unavailable on that date: its column is NaN
and asking for it raises :class:`StyleUnavailable` with the reason, naming
the missing table.  A missing exposure is never read as 0.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import pandas as pd

from plovera.const import STYLE_FACTORS
from quotaris import MissingData

from . import descriptors as d
from .panel import MarketPanel

__all__ = [
    "DESCRIPTOR_WEIGHTS",
    "MIN_COVERAGE",
    "OUTLIER_CLIP",
    "OUTLIER_ERROR",
    "REFRESH_FREQUENCIES",
    "ExposureEngine",
    "StyleExposures",
    "StyleUnavailable",
    "compute_exposures",
    "exposure_history",
    "fill_missing",
    "orthogonalise",
    "refresh_days",
    "screen_outliers",
    "standardise",
    "winsorise_standardise",
]

#: Robust standard deviations beyond which a descriptor value is taken for an error.
OUTLIER_ERROR = 10.0
#: Standard deviations at which standardised values are clipped.
OUTLIER_CLIP = 3.0
#: Share of the estimation universe that must have a style before it is fitted.
MIN_COVERAGE = 0.5
REFRESH_FREQUENCIES = ("monthly", "weekly")

#: Descriptors of each composite style and their weights; forward earnings and
#: analyst growth forecasts have no source, so the weights renormalise without them.
DESCRIPTOR_WEIGHTS = {
    "earnings_yield": {"earnings_to_price": 0.11, "cash_flow_to_price": 0.21},
    "residual_volatility": {
        "daily_volatility": 0.74,
        "cumulative_range": 0.16,
        "beta_residual": 0.10,
    },
    "growth": {"sales_growth": 0.47, "earnings_growth": 0.24},
    "leverage": {"market_leverage": 0.38, "debt_to_assets": 0.35, "book_leverage": 0.27},
    "liquidity": {"turnover_1m": 0.35, "turnover_3m": 0.35, "turnover_12m": 0.30},
}

# The tables each style reads beyond prices.
_NEEDS = {
    "beta": (),
    "momentum": (),
    "residual_volatility": (),
    "size": ("market_cap_total",),
    "non_linear_size": ("market_cap_total",),
    "earnings_yield": ("market_cap_total", "fundamentals"),
    "growth": ("market_cap_total", "fundamentals"),
    "book_to_price": ("market_cap_total", "fundamentals"),
    "leverage": ("market_cap_total", "fundamentals"),
    "liquidity": ("turnover",),
}
# The fundamental fields behind each descriptor.
_FIELDS = {
    "earnings_to_price": ("ttm_earnings",),
    "cash_flow_to_price": ("ttm_operating_cash_flow",),
    "book_to_price": ("book_value",),
    "market_leverage": ("total_debt",),
    "debt_to_assets": ("total_debt", "total_assets"),
    "book_leverage": ("book_value", "total_debt"),
    "sales_growth": ("ttm_sales",),
    "earnings_growth": ("ttm_earnings",),
}


class StyleUnavailable(MissingData):
    """A style the data cannot give on a date; the message names the missing table or history."""


@dataclass(eq=False)
class StyleExposures:
    """The style exposures of one refresh date.

    order_book_ids
        The stocks an optimisation on ``date`` can hold (listed before it,
        not delisted), ascending; every array below follows them.
    exposures
        Stocks × ``STYLE_FACTORS``; the columns of unavailable styles are NaN.
    filled
        Stocks × ``STYLE_FACTORS``, True where the exposure was imputed from
        industry and size.
    industry
        Level-1 industry codes in force on ``date`` (-1 unclassified), into
        ``industry_names``; None when the source has no industries.
    estimation_universe
        The stocks the standardisation (and the factor-return fit) is over.
    cap
        The weighting caps at the previous close, NaN where unknown; None
        without caps.
    unavailable
        Style -> why it is unavailable on this date.
    """

    date: pd.Timestamp
    order_book_ids: pd.Index
    exposures: pd.DataFrame
    filled: pd.DataFrame
    industry: np.ndarray | None
    industry_names: tuple[str, ...] | None
    estimation_universe: np.ndarray
    cap: np.ndarray | None
    unavailable: dict[str, str]

    @property
    def styles(self) -> list[str]:
        """The available styles, in ``STYLE_FACTORS`` order."""
        return [style for style in STYLE_FACTORS if style not in self.unavailable]

    def style(self, name: str) -> pd.Series:
        """One style's exposures; an unavailable style raises :class:`StyleUnavailable`."""
        if name not in STYLE_FACTORS:
            raise KeyError(f"unknown style {name!r}; the styles are {STYLE_FACTORS}")
        if name in self.unavailable:
            raise StyleUnavailable(
                f"style {name} is unavailable on {self.date.date()}: {self.unavailable[name]}"
            )
        return self.exposures[name]


# ---------------------------------------------------------------- the cross-section steps


def standardise(values: np.ndarray, cap: np.ndarray, universe: np.ndarray) -> np.ndarray:
    """Shift and scale to cap-weighted mean 0 and equal-weighted standard deviation 1.

    Both moments are taken over the present values of ``universe``; NaN stays NaN.
    """
    use = universe & np.isfinite(values)
    if use.sum() < 2:
        return np.full_like(values, np.nan)
    mean = np.average(values[use], weights=cap[use])
    spread = np.std(values[use])
    if not spread > 0:
        return np.full_like(values, np.nan)
    return (values - mean) / spread


def screen_outliers(values: np.ndarray, cap: np.ndarray, universe: np.ndarray) -> np.ndarray:
    """Values beyond ``OUTLIER_ERROR`` standard deviations (standardised as above) set to NaN.

    Repeated until none is left: a second error can hide behind the spread
    that a first one inflates.
    """
    screened = values
    while True:
        with np.errstate(invalid="ignore"):
            errors = np.abs(standardise(screened, cap, universe)) > OUTLIER_ERROR
        if not errors.any():
            return screened
        screened = np.where(errors, np.nan, screened)


def winsorise_standardise(values: np.ndarray, cap: np.ndarray, universe: np.ndarray) -> np.ndarray:
    """Standardise, clip at ±``OUTLIER_CLIP``, standardise again."""
    clipped = np.clip(standardise(values, cap, universe), -OUTLIER_CLIP, OUTLIER_CLIP)
    return standardise(clipped, cap, universe)


def _weighted_fit(
    design: np.ndarray, target: np.ndarray, cap: np.ndarray, rows: np.ndarray
) -> np.ndarray:
    """Square-root-cap weighted least-squares coefficients over ``rows`` (minimum norm).

    Through the normal equations: the designs are narrow, and the pseudo-inverse
    of the small Gram matrix gives the same minimum-norm solution as the full one.
    The products are summed by einsum rather than BLAS, whose threads only
    contend with each other on matrices this thin.
    """
    used = design[rows]
    weighted = used * np.sqrt(cap[rows])[:, None]
    gram = np.einsum("ij,ik->jk", used, weighted)
    return np.linalg.lstsq(gram, np.einsum("ij,i->j", weighted, target[rows]), rcond=None)[0]


def orthogonalise(
    target: np.ndarray, regressors: list[np.ndarray], cap: np.ndarray, universe: np.ndarray
) -> np.ndarray:
    """What a square-root-cap weighted regression with intercept on ``regressors`` leaves.

    Fitted over the universe's stocks that have the target and every
    regressor; NaN for a stock lacking any of them.
    """
    design = np.column_stack([np.ones_like(target), *regressors])
    present = np.isfinite(target) & np.isfinite(design).all(axis=1)
    rows = present & universe
    if rows.sum() <= design.shape[1]:
        return np.where(present, target, np.nan)
    return np.where(present, target - design @ _weighted_fit(design, target, cap, rows), np.nan)


def fill_missing(
    values: np.ndarray,
    industry: np.ndarray | None,
    size: np.ndarray | None,
    cap: np.ndarray,
    universe: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """Missing values predicted from industry dummies and size; and which were filled.

    The regression (intercept, one dummy per industry, size; square-root-cap
    weights) is fitted over the universe's stocks that have the value; a
    stock without a size is predicted from its industry alone.
    """
    missing = ~np.isfinite(values)
    if not missing.any():
        return values, missing
    columns = [np.ones_like(values)]
    if industry is not None:
        codes = np.unique(industry[(industry >= 0) & universe & ~missing])
        columns.extend((industry == code).astype(np.float64) for code in codes)
    filled = values.copy()
    fitted = np.zeros(len(values), dtype=bool)
    for regressors in ([*columns, size], columns) if size is not None else (columns,):
        design = np.column_stack(regressors)
        rows = universe & ~missing & np.isfinite(design).all(axis=1)
        target = missing & ~fitted & np.isfinite(design).all(axis=1)
        if not target.any() or not rows.any():
            continue
        filled[target] = design[target] @ _weighted_fit(design, values, cap, rows)
        fitted |= target
    return filled, fitted


def refresh_days(panel: MarketPanel, frequency: str = "monthly") -> np.ndarray:
    """Panel day positions of the refresh dates: every month's (week's) first trading day.

    The panel's first day has no previous day and is left out.
    """
    if frequency not in REFRESH_FREQUENCIES:
        raise ValueError(f"frequency must be one of {REFRESH_FREQUENCIES}, got {frequency!r}")
    period = panel.dates.to_period("M" if frequency == "monthly" else "W")
    starts = np.flatnonzero(np.r_[True, period[1:] != period[:-1]])
    return starts[starts > 0]


# ---------------------------------------------------------------- the engine


class ExposureEngine:
    """Computes style exposures on dates of one panel; the market return is shared."""

    def __init__(self, panel: MarketPanel) -> None:
        self.panel = panel
        missing = panel.missing
        self._lacking = {
            style: [table for table in needs if table in missing] for style, needs in _NEEDS.items()
        }

    @functools.cached_property
    def market(self) -> np.ndarray:
        return d.market_returns(self.panel)

    def exposures(self, day: int) -> StyleExposures:
        """The exposures for panel day ``day`` (at least 1), from data through ``day - 1``."""
        panel = self.panel
        if not 1 <= day < panel.n_days:
            raise ValueError(
                f"exposures need a previous trading day in the panel: day {day} "
                f"is outside 1 to {panel.n_days - 1}"
            )
        end = day - 1
        alive = np.flatnonzero(panel.alive(day))
        cap_all = panel.weighting_cap
        cap = np.ones(len(alive)) if cap_all is None else cap_all[end, alive]
        universe = (
            (panel.days_listed(end)[alive] >= d.ESTU_MIN_LISTED_DAYS)
            & np.isfinite(panel.returns[end, alive])
            & np.isfinite(cap)
            & (cap > 0)
        )
        industry = None if panel.industry is None else panel.industry[day, alive].astype(np.int64)
        raw = self._descriptors(end, alive)
        unavailable: dict[str, str] = {}
        exposure: dict[str, np.ndarray] = {}
        filled: dict[str, np.ndarray] = {}
        date = panel.dates[day].date()

        def finish(style: str, values: np.ndarray, size: np.ndarray | None) -> None:
            coverage = np.isfinite(values[universe]).mean() if universe.any() else 0.0
            if not coverage >= MIN_COVERAGE:
                unavailable[style] = (
                    f"too little history on {date}: {np.isfinite(values[universe]).sum()} "
                    f"of {universe.sum()} estimation-universe stocks have it"
                )
                return
            values, imputed = fill_missing(values, industry, size, cap, universe)
            exposure[style] = standardise(values, cap, universe)
            filled[style] = imputed

        def prepared(name: str) -> np.ndarray | None:
            values = raw.get(name)
            if values is None:
                return None
            return winsorise_standardise(screen_outliers(values, cap, universe), cap, universe)

        def composite(style: str) -> np.ndarray | None:
            parts = {name: prepared(name) for name in DESCRIPTOR_WEIGHTS[style]}
            present = {name: part for name, part in parts.items() if part is not None}
            if not present:
                return None
            weights = DESCRIPTOR_WEIGHTS[style]
            return _combine(list(present.values()), [weights[name] for name in present])

        for style in STYLE_FACTORS:
            if self._lacking[style]:
                unavailable[style] = self._missing_reason(self._lacking[style])

        # Size first: the others are orthogonalised to it and filled from it.
        if "size" not in unavailable:
            finish("size", prepared("size"), None)
        size = exposure.get("size")
        if "beta" not in unavailable:
            finish("beta", prepared("beta"), size)
        if "momentum" not in unavailable:
            finish("momentum", prepared("momentum"), size)
        if "non_linear_size" not in unavailable:
            if size is None:
                unavailable["non_linear_size"] = unavailable["size"]
            else:
                cube = orthogonalise(size**3, [size], cap, universe)
                finish("non_linear_size", winsorise_standardise(cube, cap, universe), size)
        for style, against in (
            ("residual_volatility", ("beta", "size")),
            ("liquidity", ("size",)),
            ("earnings_yield", ()),
            ("growth", ()),
            ("leverage", ()),
            ("book_to_price", ()),
        ):
            if style in unavailable:
                continue
            combined = prepared(style) if style == "book_to_price" else composite(style)
            if combined is None:
                unavailable[style] = self._missing_fields(style)
                continue
            regressors = [exposure[name] for name in against if name in exposure]
            if regressors:
                combined = orthogonalise(combined, regressors, cap, universe)
            finish(style, winsorise_standardise(combined, cap, universe), size)

        n = len(alive)
        table = np.column_stack([exposure.get(s, np.full(n, np.nan)) for s in STYLE_FACTORS])
        flags = np.column_stack([filled.get(s, np.zeros(n, dtype=bool)) for s in STYLE_FACTORS])
        ids = panel.order_book_ids[alive]
        return StyleExposures(
            date=panel.dates[day],
            order_book_ids=ids,
            exposures=pd.DataFrame(table, index=ids, columns=list(STYLE_FACTORS)),
            filled=pd.DataFrame(flags, index=ids, columns=list(STYLE_FACTORS)),
            industry=industry,
            industry_names=panel.industry_names,
            estimation_universe=universe,
            cap=None if cap_all is None else cap,
            unavailable={s: unavailable[s] for s in STYLE_FACTORS if s in unavailable},
        )

    def _descriptors(self, end: int, alive: np.ndarray) -> dict[str, np.ndarray]:
        """Every raw descriptor the panel's tables allow, over the alive stocks."""
        panel = self.panel
        raw: dict[str, np.ndarray] = {}
        beta, residual = d.beta_and_residual_volatility(panel, self.market, end)
        raw["beta"], raw["beta_residual"] = beta, residual
        raw["momentum"] = d.momentum(panel, end)
        raw["daily_volatility"] = d.daily_volatility(panel, end)
        raw["cumulative_range"] = d.cumulative_range(panel, end)
        if panel.cap_total is not None:
            raw["size"] = d.size(panel, end)
            if panel.fundamentals is not None:
                raw.update(d.fundamental_ratios(panel, end))
                raw.update(d.growth_trends(panel, end))
        if panel.turnover is not None:
            names = ("turnover_1m", "turnover_3m", "turnover_12m")
            raw.update(zip(names, d.log_turnover(panel, end), strict=True))
        return {name: values[alive] for name, values in raw.items()}

    def _missing_reason(self, tables: list[str]) -> str:
        return "; ".join(
            f"needs the {table} table, which the data lacks ({self.panel.missing[table]})"
            for table in tables
        )

    def _missing_fields(self, style: str) -> str:
        names = DESCRIPTOR_WEIGHTS.get(style, {style: 1.0})
        fields = sorted({f for name in names for f in _FIELDS[name]})
        lacking = [f"fundamentals.{f}" for f in fields if f"fundamentals.{f}" in self.panel.missing]
        return f"needs the fundamentals {', '.join(lacking)}, which the data lacks"


def _combine(parts: list[np.ndarray], weights: list[float]) -> np.ndarray:
    """Weighted sum of descriptors, the weights renormalised over the ones a stock has."""
    total = np.zeros_like(parts[0])
    weight = np.zeros_like(parts[0])
    for part, w in zip(parts, weights, strict=True):
        present = np.isfinite(part)
        total += np.where(present, part * w, 0.0)
        weight += present * w
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(weight > 0, total / weight, np.nan)


def compute_exposures(panel: MarketPanel, date: object) -> StyleExposures:
    """The style exposures for one trading day of the panel (data through the day before)."""
    return ExposureEngine(panel).exposures(panel.position(date))


def exposure_history(
    panel: MarketPanel,
    frequency: str = "monthly",
    progress: Callable[[float, str], None] | None = None,
) -> list[StyleExposures]:
    """The exposures of every refresh date of the panel (:func:`refresh_days`), in date order."""
    engine = ExposureEngine(panel)
    days = refresh_days(panel, frequency)
    out = []
    for k, day in enumerate(days):
        out.append(engine.exposures(int(day)))
        if progress is not None:
            progress((k + 1) / len(days), "exposures")
    return out
