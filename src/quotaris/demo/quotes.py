"""What the demo stocks trade at: first prices, special treatment and closes within the
daily price limits.

Closes are kept in fen, as the exchanges quote them: each day's modelled change
moves the previous close, the result is rounded to the fen and held within the
day's limit prices (:mod:`quotaris.limits`), and the change the market data
shows is the one between the two closes.  The first prices and the periods of
special treatment are drawn from a generator of their own, so the rest of the
market is drawn as it was.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from quotaris.demo.calibration import (
    FIRST_PRICE,
    FIRST_PRICE_RANGE,
    INDEX_BASE_LEVELS,
    INDICES,
    MONTH,
    STEPPED_DOWN_MONTHS,
    STEPPED_DOWN_SHARE,
    WARM_UP_QUARTERS,
    WARNED_BEFORE_DELISTING,
    WARNED_SHARE,
    WARNING_BEFORE_DELISTING_MONTHS,
    WARNING_MONTHS,
)
from quotaris.demo.fundamentals import Reports
from quotaris.demo.period import Period
from quotaris.demo.universe import Universe
from quotaris.limits import boards_of, free_days, limit_prices, round_to_fen

__all__ = [
    "LOWEST_CLOSE",
    "Quotes",
    "SpecialTreatment",
    "close_within_limits",
    "draw_quotes",
    "index_levels",
]

#: The smallest close a stock can show: one fen.
LOWEST_CLOSE = 0.01
#: Added to the market's seed for the generator of prices and special treatment.
_SEED_OFFSET = 0x7155


class SpecialTreatment(NamedTuple):
    """Periods of special treatment, by day position from the first trading day."""

    stock: np.ndarray
    start: np.ndarray  # the first day under the status
    end: np.ndarray  # the last day; the number of days or more while it lasts
    status: np.ndarray  # "ST" or "*ST"

    def daily(self, n_days: int, n_stocks: int) -> np.ndarray:
        """Days by stocks: under special treatment."""
        change = np.zeros((n_days + 1, n_stocks), dtype=np.int32)
        np.add.at(change, (np.minimum(self.start, n_days), self.stock), 1)
        np.add.at(change, (np.minimum(self.end + 1, n_days), self.stock), -1)
        return np.cumsum(change[:-1], axis=0) > 0


class Quotes(NamedTuple):
    """What the stocks' closes are made from, beside their modelled changes."""

    first_price: np.ndarray  # the close before the first day, or on the listing day
    board: np.ndarray  # position in quotaris.limits.BOARDS
    free_days: np.ndarray  # trading days from the listing on without a limit
    special: np.ndarray  # days by stocks: under special treatment
    treatment: SpecialTreatment


def draw_quotes(seed: int, period: Period, universe: Universe, reports: Reports) -> Quotes:
    rng = np.random.Generator(np.random.PCG64(int(seed) + _SEED_OFFSET))
    median, spread = FIRST_PRICE
    first_price = round_to_fen(
        np.clip(np.exp(rng.normal(np.log(median), spread, universe.n)), *FIRST_PRICE_RANGE)
    )
    exchanges = [order_book_id.rsplit(".", 1)[1] for order_book_id in universe.order_book_id]
    board = boards_of(list(universe.order_book_id), exchanges)
    listed_day = universe.listed.astype("datetime64[D]").astype(np.int64)
    treatment = _draw_special_treatment(rng, period, universe, reports)
    return Quotes(
        first_price=first_price,
        board=board,
        free_days=free_days(board, listed_day),
        special=treatment.daily(period.n_days, universe.n),
        treatment=treatment,
    )


def _months(rng: np.random.Generator, bounds: tuple[int, int], size: int) -> np.ndarray:
    """Lengths in trading days of periods lasting a whole number of months within bounds."""
    return MONTH * rng.integers(bounds[0], bounds[1] + 1, size)


def _draw_special_treatment(
    rng: np.random.Generator, period: Period, universe: Universe, reports: Reports
) -> SpecialTreatment:
    n_days = period.n_days
    list_index, delist_index = universe.list_index, universe.delist_index
    # The reports' rows are the quarters of the month grid, the warm-up ones left out.
    grid = period.month_grid
    months = grid.month[np.flatnonzero(grid.month % 3 == 0)][WARM_UP_QUARTERS:]
    annual = np.flatnonzero(months == 12)
    earnings = reports.values["ttm_earnings"]
    this_year, last_year = annual[1:], annual[:-1]
    # The warning comes with the second annual loss and takes effect on the second
    # trading day after the report.
    announced = reports.announce_day[this_year]
    start = np.searchsorted(period.day_numbers, announced, "right") + 1
    eligible = (
        (earnings[this_year] < 0)
        & (earnings[last_year] < 0)
        & (announced >= period.day_numbers[0])
        & (start > list_index)
        & (start < np.minimum(delist_index, n_days))
    )
    year, stock = np.nonzero(eligible)
    # The small companies, with the least equity, are the ones the warnings catch.
    odds = 1.0 / np.maximum(reports.values["book_value"][this_year][year, stock], 1.0)
    count = min(round(WARNED_SHARE * universe.n), len(stock))
    chosen = np.zeros(0, dtype=np.int64)
    if count:
        chosen = rng.choice(len(stock), count, replace=False, p=odds / odds.sum())
    stock, start = stock[chosen], start[year[chosen], stock[chosen]]
    end = start + _months(rng, WARNING_MONTHS, count) - 1

    stepped = rng.random(count) < STEPPED_DOWN_SHARE
    after = end[stepped] + 1
    stepped_end = after + _months(rng, STEPPED_DOWN_MONTHS, int(stepped.sum())) - 1

    delisted = np.flatnonzero(delist_index < n_days)
    warned = delisted[rng.random(delisted.size) < WARNED_BEFORE_DELISTING]
    warned_start = np.maximum(
        delist_index[warned] - _months(rng, WARNING_BEFORE_DELISTING_MONTHS, warned.size),
        np.maximum(list_index[warned] + 1, 0),
    )

    periods = SpecialTreatment(
        stock=np.r_[stock, stock[stepped], warned],
        start=np.r_[start, after, warned_start],
        end=np.r_[end, stepped_end, delist_index[warned] - 1],
        status=np.array(["*ST"] * count + ["ST"] * int(stepped.sum()) + ["*ST"] * warned.size),
    )
    begun = periods.start < n_days
    # A delisted company's period ends on its last day; the others may run on.
    last_day = np.where(delist_index < n_days, delist_index - 1, np.iinfo(np.int64).max)
    return _one_at_a_time(SpecialTreatment(*(field[begun] for field in periods)), last_day)


def _one_at_a_time(periods: SpecialTreatment, last_day: np.ndarray) -> SpecialTreatment:
    """The periods cut at the stocks' ``last_day``, in order of stock and start, each
    one overlapping an earlier one of its stock left out."""
    order = np.lexsort((periods.start, periods.stock))
    stock, start, status = periods.stock[order], periods.start[order], periods.status[order]
    end = np.minimum(periods.end[order], last_day[stock])
    keep = start <= end
    last_end = {}
    for at in np.flatnonzero(keep):
        if start[at] <= last_end.get(stock[at], -1):
            keep[at] = False
        else:
            last_end[stock[at]] = end[at]
    return SpecialTreatment(stock[keep], start[keep], end[keep], status[keep])


def close_within_limits(
    previous_close: np.ndarray, change: np.ndarray, percent: np.ndarray, free: np.ndarray
) -> np.ndarray:
    """The closes a day's changes lead to: rounded to the fen and, where a limit
    applies (not ``free``), held between the limit prices of ``percent``."""
    close = round_to_fen(previous_close * (1.0 + change))
    up, down = limit_prices(previous_close, percent)
    return np.maximum(np.where(free, close, np.clip(close, down, up)), LOWEST_CLOSE)


def index_levels(returns: np.ndarray) -> np.ndarray:
    """The indices' closes (days by ``INDICES``) from their returns.

    Unlike a share price, a level is not rounded: an index's return is its
    constituents' returns weighted, exactly, and its levels follow it.
    """
    base = np.array([INDEX_BASE_LEVELS[index] for index in INDICES])
    return base * np.cumprod(1.0 + returns, axis=0)
