"""Factor returns and the month-by-month simulation of prices, caps and turnover."""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple

import numpy as np

from quotaris.demo.calibration import (
    BETA_MARKET_LOADING,
    FACTOR_TAIL_DOF,
    HISTORY_MONTHS,
    INDUSTRY_VOLATILITY,
    MARKET_RETURN,
    REGIME_LEVELS,
    REGIME_SMOOTHING,
    REGIME_SWITCH,
    SPECIFIC_VOLATILITY,
    STYLE_POSITION,
    STYLE_RETURNS,
    SW_INDUSTRIES,
    TAIL_DOF,
    TYPICAL_TURNOVER,
)
from quotaris.demo.exposures import TradingHistory, style_exposures
from quotaris.demo.fundamentals import Reports
from quotaris.demo.numeric import student_t
from quotaris.demo.period import Period
from quotaris.demo.quotes import Quotes, close_within_limits
from quotaris.demo.universe import Industries, Traits, Universe
from quotaris.limits import limit_percent
from quotaris.tables import STYLE_FACTORS

__all__ = [
    "ExposureRows",
    "FactorReturns",
    "Prices",
    "Progress",
    "draw_factor_returns",
    "simulate_prices",
]

#: Called with the fraction of the build done (0 to 1) and the stage running.
Progress = Callable[[float, str], None]


class FactorReturns(NamedTuple):
    regime: np.ndarray  # the daily multiplier of the market's volatility
    country: np.ndarray  # days
    industry: np.ndarray  # days by Shenwan industries
    style: np.ndarray  # days by styles


class ExposureRows(NamedTuple):
    """The style exposures of one month, stored from ``day`` (the later of the
    month's first day and the listing) for each of ``stock``."""

    day: np.ndarray
    stock: np.ndarray
    values: np.ndarray


class Prices(NamedTuple):
    """Days by stocks, NaN where there is no value."""

    returns: np.ndarray
    cap: np.ndarray
    turnover: np.ndarray
    exposures: list[ExposureRows]
    closes: np.ndarray


class _Month(NamedTuple):
    """What holds for a whole month: the stocks' exposures and specific volatility."""

    index: int
    first: int
    stop: int
    exposure: np.ndarray  # stocks by styles, 0 outside the market
    sigma: np.ndarray


def draw_factor_returns(rng: np.random.Generator, n_days: int) -> FactorReturns:
    switch = rng.random(n_days) < REGIME_SWITCH
    upward = rng.random(n_days) < 0.5
    regime = np.empty(n_days)
    state, level = 1, REGIME_LEVELS[1]
    for day in range(n_days):
        if switch[day]:
            state = min(max(state + (1 if upward[day] else -1), 0), len(REGIME_LEVELS) - 1)
        level += REGIME_SMOOTHING * (REGIME_LEVELS[state] - level)
        regime[day] = level
    calm = np.sqrt(regime)[:, None]
    mean, volatility = MARKET_RETURN
    country = mean + volatility * regime * student_t(rng, FACTOR_TAIL_DOF, (n_days,))
    industry = (
        INDUSTRY_VOLATILITY * calm * student_t(rng, FACTOR_TAIL_DOF, (n_days, len(SW_INDUSTRIES)))
    )
    means = np.array([STYLE_RETURNS[s][0] for s in STYLE_FACTORS])
    scales = np.array([STYLE_RETURNS[s][1] for s in STYLE_FACTORS])
    style = means + scales * calm * student_t(rng, FACTOR_TAIL_DOF, (n_days, len(STYLE_FACTORS)))
    style[:, STYLE_POSITION["beta"]] += BETA_MARKET_LOADING * (country - mean)
    return FactorReturns(regime, country, industry, style)


def simulate_prices(
    rng: np.random.Generator,
    period: Period,
    universe: Universe,
    industries: Industries,
    suspended: np.ndarray,
    traits: Traits,
    reports: Reports,
    factors: FactorReturns,
    quotes: Quotes,
    progress: Progress,
) -> Prices:
    """Month by month: the exposures at the month's start from the data so far, then the
    month's returns from the factor model, as closes within the price limits."""
    n, n_days = universe.n, period.n_days
    specific = student_t(rng, TAIL_DOF, (n_days, n))
    turnover_noise = rng.standard_normal((n_days, n))
    history = TradingHistory.start(rng, universe, n_days, traits)
    prices = Prices(
        returns=np.full((n_days, n), np.nan),
        cap=np.full((n_days, n), np.nan),
        turnover=np.full((n_days, n), np.nan),
        exposures=[],
        closes=np.full((n_days, n), np.nan),
    )

    cap_before = np.where(universe.listed_before, universe.initial_cap, np.nan)
    close_before = np.where(universe.listed_before, quotes.first_price, np.nan)
    n_months = len(period.month_starts)
    for month, (first, stop) in enumerate(zip(period.month_starts, period.month_ends, strict=True)):
        members = np.flatnonzero((universe.list_index < stop) & (universe.delist_index > first))
        new = universe.list_index[members] >= first
        cap = np.where(new, universe.initial_cap[members], cap_before[members])
        exposure, volatility_raw = style_exposures(
            traits,
            reports,
            history,
            industries.daily[first, members],
            HISTORY_MONTHS + month,
            first,
            period.day_numbers[first],
            members,
            cap,
        )
        prices.exposures.append(
            ExposureRows(np.maximum(first, universe.list_index[members]), members, exposure)
        )

        full_exposure = np.zeros((n, len(STYLE_FACTORS)))
        full_exposure[members] = exposure
        sigma = np.zeros(n)
        sigma[members] = SPECIFIC_VOLATILITY * np.exp(0.3 * volatility_raw)
        cap_before[members] = cap
        _simulate_days(
            _Month(month, first, stop, full_exposure, sigma),
            period,
            universe,
            industries,
            suspended,
            traits,
            factors,
            quotes,
            specific,
            turnover_noise,
            cap_before,
            close_before,
            history,
            prices,
        )
        progress(0.8 * ((month + 1) / n_months), "prices")
    return prices


def _simulate_days(
    month: _Month,
    period: Period,
    universe: Universe,
    industries: Industries,
    suspended: np.ndarray,
    traits: Traits,
    factors: FactorReturns,
    quotes: Quotes,
    specific: np.ndarray,
    turnover_noise: np.ndarray,
    cap_before: np.ndarray,
    close_before: np.ndarray,
    history: TradingHistory,
    prices: Prices,
) -> None:
    """Returns, closes, caps and turnover of one month's days, written into ``prices``.

    ``cap_before`` and ``close_before`` (the caps and closes at the previous
    close) are advanced to the month's last close and ``history`` by the
    month's days.
    """
    first, stop, exposure = month.first, month.stop, month.exposure
    days = np.arange(first, stop)[:, None]
    regime = factors.regime[first:stop]
    industry = industries.daily[first:stop]
    returns = (
        factors.country[first:stop, None]
        + np.take_along_axis(factors.industry[first:stop], industry.astype(np.intp), axis=1)
        + factors.style[first:stop] @ exposure.T
        + month.sigma * np.sqrt(regime)[:, None] * specific[first:stop]
    )
    listed = (days >= universe.list_index) & (days < universe.delist_index)
    traded = listed & ~suspended[first:stop]
    quoted = traded & (days > universe.list_index)  # the listing day has no previous close
    listing = days == universe.list_index
    for row, day in enumerate(range(first, stop)):
        percent = limit_percent(quotes.board, quotes.special[day], period.day_numbers[day])
        free = day - universe.list_index < quotes.free_days
        close = close_within_limits(close_before, returns[row], percent, free)
        close = np.where(traded[row], np.where(listing[row], quotes.first_price, close), np.nan)
        # The change the market shows is the one between the closes in fen.
        returns[row] = np.where(quoted[row], close / close_before - 1.0, np.nan)
        close_before[:] = np.where(traded[row], close, close_before)
        prices.closes[day] = close
    gross = np.where(quoted, 1.0 + returns, 1.0)
    cap = cap_before * np.cumprod(gross, axis=0)
    cap_before[:] = cap[-1]
    prices.returns[first:stop] = returns
    prices.cap[first:stop] = np.where(listed, cap, np.nan)

    age = np.maximum(days - universe.list_index, 0)
    log_turnover = (
        np.log(TYPICAL_TURNOVER)
        - 0.45 * exposure[:, STYLE_POSITION["size"]]
        + 0.55 * traits.liquidity[HISTORY_MONTHS + month.index]
        + 0.3 * np.log(regime)[:, None]
        + 5.0 * np.abs(np.nan_to_num(returns))
        + 0.35 * turnover_noise[first:stop]
        + np.log1p(6.0 * np.exp(-age / 5.0))  # the frenzy of the first days after an IPO
    )
    turnover = np.where(traded, np.clip(np.exp(log_turnover), 1e-4, 0.75), np.nan)
    prices.turnover[first:stop] = turnover
    history.advance(first, np.log(gross), quoted, turnover, traded)
