"""Style exposures computed the way a risk model computes them, from the market's own data."""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from quotaris.demo.calibration import (
    HALF_YEAR,
    HISTORY_MONTHS,
    MONTH,
    QUARTER,
    SW_INDUSTRIES,
    TWO_YEARS,
    TYPICAL_TURNOVER,
    YEAR,
)
from quotaris.demo.fundamentals import Reports
from quotaris.demo.numeric import combine, fill_missing, residual, standardise
from quotaris.demo.universe import Traits, Universe
from quotaris.tables import STYLE_FACTORS

__all__ = [
    "LIQUIDITY_WINDOWS",
    "MOMENTUM_DECAY",
    "MOMENTUM_HALF_LIFE",
    "MOMENTUM_LAG",
    "MOMENTUM_MIN_QUOTES",
    "MOMENTUM_WINDOW",
    "StyleExposures",
    "TradingHistory",
    "style_exposures",
]

MOMENTUM_WINDOW = TWO_YEARS
MOMENTUM_LAG = MONTH  # the latest month is left out: it tends to reverse
MOMENTUM_HALF_LIFE = HALF_YEAR
MOMENTUM_MIN_QUOTES = HALF_YEAR
MOMENTUM_DECAY = 0.5 ** (1.0 / MOMENTUM_HALF_LIFE)
LIQUIDITY_WINDOWS = (MONTH, QUARTER, YEAR)


@dataclass(frozen=True)
class TradingHistory:
    """Running sums of what the stocks traded, row ``d`` up to the close before day ``d``.

    Stocks listed before the first day bring a history of their own: some
    momentum and quoted days, and ``history_turnover`` on each of their
    ``history_days`` sessions.
    """

    momentum_sum: np.ndarray  # decayed log returns
    quoted_days: np.ndarray
    turnover_sum: np.ndarray
    traded_days: np.ndarray
    history_days: np.ndarray
    history_turnover: np.ndarray

    @classmethod
    def start(
        cls, rng: np.random.Generator, universe: Universe, n_days: int, traits: Traits
    ) -> TradingHistory:
        n = universe.n
        history = np.where(universe.listed_before, -universe.list_index, 0)
        quoted = np.minimum(history, MOMENTUM_WINDOW)
        momentum_sum = np.empty((n_days + 1, n))
        momentum_sum[0] = 0.3 * rng.standard_normal(n) * np.sqrt(quoted / MOMENTUM_WINDOW)
        quoted_days = np.empty((n_days + 1, n), dtype=np.int64)
        quoted_days[0] = quoted
        log_cap = np.log(universe.initial_cap)
        before = universe.listed_before
        size = (log_cap - log_cap[before].mean()) / log_cap[before].std()
        return cls(
            momentum_sum=momentum_sum,
            quoted_days=quoted_days,
            turnover_sum=np.zeros((n_days + 1, n)),
            traded_days=np.zeros((n_days + 1, n), dtype=np.int64),
            history_days=history,
            history_turnover=np.exp(
                np.log(TYPICAL_TURNOVER) - 0.45 * size + 0.55 * traits.liquidity[HISTORY_MONTHS]
            ),
        )

    def advance(
        self,
        first: int,
        log_return: np.ndarray,
        quoted: np.ndarray,
        turnover: np.ndarray,
        traded: np.ndarray,
    ) -> None:
        """Add the days from ``first`` on (one row each, NaN turnover while halted)."""
        stop = first + len(log_return)
        steps = np.arange(1, stop - first + 1)[:, None]
        power = MOMENTUM_DECAY ** (steps - 1)
        self.momentum_sum[first + 1 : stop + 1] = power * (
            MOMENTUM_DECAY * self.momentum_sum[first] + np.cumsum(log_return / power, axis=0)
        )
        self.quoted_days[first + 1 : stop + 1] = self.quoted_days[first] + np.cumsum(quoted, axis=0)
        self.turnover_sum[first + 1 : stop + 1] = self.turnover_sum[first] + np.cumsum(
            np.nan_to_num(turnover), axis=0
        )
        self.traded_days[first + 1 : stop + 1] = self.traded_days[first] + np.cumsum(traded, axis=0)

    def mean_turnover(self, day: int, window: int, members: np.ndarray) -> np.ndarray:
        """Mean daily turnover over the ``window`` days before ``day``, history included."""
        begin = max(0, day - window)
        total = self.turnover_sum[day, members] - self.turnover_sum[begin, members]
        count = self.traded_days[day, members] - self.traded_days[begin, members]
        borrowed = np.minimum(max(window - day, 0), self.history_days[members])
        total = total + borrowed * self.history_turnover[members]
        count = count + borrowed
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(count >= min(window // 3, 20), total / count, np.nan)

    def momentum(self, day: int, members: np.ndarray) -> np.ndarray:
        """Decayed log returns over the momentum window, skipping the latest month."""
        end = max(day - MOMENTUM_LAG, 0)
        value = self.momentum_sum[end, members]
        if (begin := end - MOMENTUM_WINDOW) >= 0:
            value = value - MOMENTUM_DECAY**MOMENTUM_WINDOW * self.momentum_sum[begin, members]
        return np.where(self.quoted_days[end, members] >= MOMENTUM_MIN_QUOTES, value, np.nan)


class StyleExposures(NamedTuple):
    values: np.ndarray  # members by styles
    volatility_raw: np.ndarray  # the trait that sets each member's specific volatility


def style_exposures(
    traits: Traits,
    reports: Reports,
    history: TradingHistory,
    industry: np.ndarray,
    grid_month: int,
    day: int,
    day_number: int,
    members: np.ndarray,
    cap: np.ndarray,
) -> StyleExposures:
    """Style exposures of ``members`` at the start of ``day``, from what is known by then.

    ``industry`` is the members' Shenwan industry that day, ``day_number`` the
    day in days since 1970-01-01, ``cap`` their caps at the close before.
    """
    latest = (reports.announce_day[:, members] <= day_number).sum(axis=0) - 1
    fund = {f: v[latest, members] for f, v in reports.values.items()}
    dummies = (industry[:, None] == np.arange(len(SW_INDUSTRIES))).astype(float)

    size = standardise(np.log(cap), cap)
    beta = standardise(traits.beta[grid_month, members], cap)
    volatility_raw = traits.volatility[grid_month, members] - 0.25 * size
    residual_volatility = standardise(
        residual(standardise(volatility_raw, cap), [beta, size], cap), cap
    )
    growth = standardise(traits.growth_trend[grid_month, members], cap)
    book_to_price = standardise(fund["book_value"] / cap, cap)
    earnings_yield = standardise(
        combine(
            [
                standardise(fund["ttm_earnings"] / cap, cap),
                standardise(fund["ttm_operating_cash_flow"] / cap, cap),
            ],
            [0.11, 0.21],
        ),
        cap,
    )
    debt = fund["total_debt"]
    leverage = standardise(
        combine(
            [
                standardise((cap + debt) / cap, cap),
                standardise(debt / fund["total_assets"], cap),
                standardise((fund["book_value"] + debt) / fund["book_value"], cap),
            ],
            [0.38, 0.35, 0.27],
        ),
        cap,
    )
    momentum = history.momentum(day, members)
    if np.isfinite(momentum).sum() > 1:
        momentum = standardise(momentum, cap)
    turnover = [history.mean_turnover(day, w, members) for w in LIQUIDITY_WINDOWS]
    liquidity = combine([standardise(np.log(t), cap) for t in turnover], [0.35, 0.35, 0.30])
    liquidity = standardise(residual(liquidity, [size], cap), cap)
    non_linear_size = standardise(residual(size**3, [size], cap), cap)

    exposure = {
        "beta": beta,
        "momentum": fill_missing(momentum, dummies, size, cap),
        "size": size,
        "earnings_yield": earnings_yield,
        "residual_volatility": residual_volatility,
        "growth": growth,
        "book_to_price": book_to_price,
        "leverage": leverage,
        "liquidity": fill_missing(liquidity, dummies, size, cap),
        "non_linear_size": non_linear_size,
    }
    return StyleExposures(np.column_stack([exposure[s] for s in STYLE_FACTORS]), volatility_raw)
