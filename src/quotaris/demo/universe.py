"""The stocks of the demo market: listings, codes and names, industries, halts and traits."""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import pandas as pd

from quotaris.demo.calibration import (
    BOARDS,
    DELISTED_SHARE,
    DIVERSIFIED_FINANCIALS_SHARE,
    GROWTH_TREND_MONTHS,
    IPO_ACTIVITY,
    LISTED_BEFORE_START,
    MASS_SUSPENSION,
    MASS_SUSPENSION_SHARE,
    MIN_INDUSTRY_MEMBERS,
    N_STOCKS,
    QUARTER,
    RECLASSIFIED_SHARE,
    SESSIONS_PER_YEAR,
    STAR_BOARD,
    SW_INDUSTRIES,
    SYLLABLES,
)
from quotaris.demo.numeric import ar1
from quotaris.demo.period import Period, demo_calendar

__all__ = [
    "Industries",
    "Reclassifications",
    "Traits",
    "Universe",
    "draw_industries",
    "draw_suspensions",
    "draw_traits",
    "draw_universe",
]


@dataclass(frozen=True)
class Universe:
    """The stocks, in identifier order.  Day positions count from the first trading
    day; a stock listed before it has a negative ``list_index`` (its age in
    sessions), one never delisted a ``delist_index`` of the number of days."""

    order_book_id: np.ndarray
    symbol: np.ndarray
    board: np.ndarray  # position in BOARDS
    sw: np.ndarray  # Shenwan industry at listing, position in SW_INDUSTRIES
    listed: np.ndarray  # listing date
    listed_before: np.ndarray  # listed before the first day
    list_index: np.ndarray
    delist_index: np.ndarray
    initial_cap: np.ndarray  # market cap on the first day, or at listing
    float_share: np.ndarray  # share of the cap that floats after the lock-up
    ipo_float_share: np.ndarray  # and during it

    @property
    def n(self) -> int:
        return len(self.order_book_id)


class Reclassifications(NamedTuple):
    stock: np.ndarray
    day: np.ndarray
    industry: np.ndarray  # the new Shenwan industry


class Industries(NamedTuple):
    daily: np.ndarray  # Shenwan industry of every stock, days by stocks
    reclassifications: Reclassifications
    diversified_financial: np.ndarray  # a non-bank financial CITIC puts apart
    securities: np.ndarray | None = None  # a broker rather than an insurer; drawn last


class Traits(NamedTuple):
    """Slowly moving company traits, months of the period's grid by stocks."""

    beta: np.ndarray
    volatility: np.ndarray
    growth: np.ndarray
    liquidity: np.ndarray
    growth_trend: np.ndarray  # mean growth over the last GROWTH_TREND_MONTHS


def draw_universe(rng: np.random.Generator, period: Period, n_stocks: int = N_STOCKS) -> Universe:
    n, days, n_days = n_stocks, period.days, period.n_days
    n_industries = len(SW_INDUSTRIES)
    companies = np.array([ind.companies for ind in SW_INDUSTRIES], dtype=float)
    # A few members in every industry so that each one has a factor return.
    sw = np.concatenate(
        [
            np.repeat(np.arange(n_industries), MIN_INDUSTRY_MEMBERS),
            rng.choice(
                n_industries, n - MIN_INDUSTRY_MEMBERS * n_industries, p=companies / companies.sum()
            ),
        ]
    )
    rng.shuffle(sw)

    n_before = round(LISTED_BEFORE_START * n)
    before = np.arange(n) < n_before
    # Older listings are rarer: the market grew over the decades.
    age_years = 0.05 + 23.5 * rng.random(n_before) ** 1.8
    past = _sessions_before(days[0])
    targets = days[0] - pd.to_timedelta(age_years * 365.25, unit="D")
    position = np.clip(past.searchsorted(targets, side="right") - 1, 0, None)
    listed = np.empty(n, dtype="datetime64[ns]")
    listed[:n_before] = past.to_numpy()[position]
    list_index = np.empty(n, dtype=np.int64)
    list_index[:n_before] = -np.maximum(1, np.round(age_years * SESSIONS_PER_YEAR))

    years = days.year.to_numpy()
    _, year_of_day, sessions_in_year = np.unique(years, return_inverse=True, return_counts=True)
    activity = np.array([IPO_ACTIVITY.get(y, 25) for y in years], dtype=float)
    per_day = activity / sessions_in_year[year_of_day]
    per_day[0] = 0.0
    list_index[n_before:] = rng.choice(n_days, n - n_before, p=per_day / per_day.sum())
    listed[n_before:] = days.to_numpy()[list_index[n_before:]]

    board = _draw_boards(rng, listed)
    size = np.array([ind.size for ind in SW_INDUSTRIES])[sw]
    cap = np.where(
        before,
        np.exp(rng.normal(np.log(4.5e9), 1.1, n))
        * size
        * (1.0 + 0.03 * np.r_[age_years, np.zeros(n - n_before)]),
        np.exp(rng.normal(np.log(2.5e9), 0.6, n)) * np.sqrt(size),
    )
    cap[board == STAR_BOARD] *= 2.0

    # Delistings hit small companies more often, and more of them in later years.
    delist_index = np.full(n, n_days, dtype=np.int64)
    n_delisted = max(1, round(DELISTED_SHARE * n))
    odds = before / np.sqrt(cap)
    delisted = rng.choice(n, n_delisted, replace=False, p=odds / odds.sum())
    day_odds = 1.0 + 3.0 * (years >= 2019)
    day_odds[: max(1, n_days // 8)] = 0.0
    delist_index[delisted] = rng.choice(n_days, n_delisted, p=day_odds / day_odds.sum())

    codes = _number_codes(rng, board, listed)
    order = np.argsort(codes)
    board = board[order]
    symbol = _draw_symbols(rng, sw[order])
    float_share = 0.2 + 0.8 * rng.beta(2.0, 1.5, n)
    return Universe(
        order_book_id=codes[order],
        symbol=symbol,
        board=board,
        sw=sw[order],
        listed=listed[order],
        listed_before=before[order],
        list_index=list_index[order],
        delist_index=delist_index[order],
        initial_cap=cap[order],
        float_share=float_share,
        ipo_float_share=np.minimum(float_share, 0.2 + 0.1 * rng.random(n)),
    )


def _sessions_before(first_day: pd.Timestamp) -> pd.DatetimeIndex:
    """Trading days before ``first_day``: the calendar's sessions, weekdays before them."""
    calendar = demo_calendar()
    sessions = calendar.sessions_in_range(calendar.first_session, first_day - pd.Timedelta(days=1))
    weekdays = pd.bdate_range(
        BOARDS[0].first_listing, calendar.first_session - pd.Timedelta(days=1)
    )
    return pd.DatetimeIndex(np.concatenate([weekdays.to_numpy(), sessions.to_numpy()]))


def _draw_boards(rng: np.random.Generator, listed: np.ndarray) -> np.ndarray:
    first = np.array([np.datetime64(b.first_listing, "ns") for b in BOARDS])
    last = np.array([np.datetime64(b.last_listing or "2262-01-01", "ns") for b in BOARDS])
    weight = np.array([b.weight for b in BOARDS])
    odds = ((listed[:, None] >= first) & (listed[:, None] <= last)) * weight
    cumulative = np.cumsum(odds / odds.sum(axis=1, keepdims=True), axis=1)
    draw = rng.random(len(listed))
    return np.minimum((draw[:, None] >= cumulative).sum(axis=1), len(BOARDS) - 1)


def _number_codes(rng: np.random.Generator, board: np.ndarray, listed: np.ndarray) -> np.ndarray:
    """Codes numbered in order of listing within each board, as exchanges assign them.

    A board with more listings than its prefix holds draws from as few of its
    spare prefixes as it needs, its later listings in the later prefixes; a
    board that fits draws from its own prefix alone, as the default market does.
    """
    codes = np.empty(len(board), dtype=object)
    order = np.lexsort((np.arange(len(board)), listed))
    for b, rules in enumerate(BOARDS):
        members = order[board[order] == b]
        per_prefix = 1000 - rules.first_number
        prefixes = (rules.prefix, *rules.spare_prefixes)
        used = max(1, -(-len(members) // per_prefix))
        if used > len(prefixes):
            raise ValueError(
                f"n_stocks={len(board)} is too many for the demo market: board {rules.prefix} "
                f"drew {len(members)} listings, its prefixes hold {len(prefixes) * per_prefix}"
            )
        # Numbers from 1000 on stand for the spare prefixes, in their order.
        slots = (np.arange(rules.first_number, 1000) + 1000 * np.arange(used)[:, None]).ravel()
        numbers = np.sort(rng.choice(slots, len(members), replace=False))
        codes[members] = [
            f"{prefixes[num // 1000]}{num % 1000:03d}.{rules.exchange}" for num in numbers
        ]
    return codes


def _draw_symbols(rng: np.random.Generator, sw: np.ndarray) -> np.ndarray:
    """Unique short names: two syllables and an ending that fits the industry."""
    syllables = np.array(list(SYLLABLES))
    symbols = np.full(len(sw), "", dtype=object)
    todo = np.arange(len(sw))
    while todo.size:
        first = rng.integers(len(syllables), size=todo.size)
        second = (first + rng.integers(1, len(syllables), size=todo.size)) % len(syllables)
        pick = rng.random(todo.size)
        for stock, a, b, p in zip(todo, first, second, pick, strict=True):
            endings = SW_INDUSTRIES[sw[stock]].endings
            symbols[stock] = syllables[a] + syllables[b] + endings[int(p * len(endings))]
        _, first_seen = np.unique(symbols.astype(str), return_index=True)
        repeated = np.ones(len(sw), dtype=bool)
        repeated[first_seen] = False
        todo = np.flatnonzero(repeated)
    return symbols


def draw_industries(rng: np.random.Generator, period: Period, universe: Universe) -> Industries:
    """Daily Shenwan industry of every stock, with a few reclassifications."""
    n, n_days = universe.n, period.n_days
    diversified_financial = rng.random(n) < DIVERSIFIED_FINANCIALS_SHARE
    daily = np.broadcast_to(universe.sw.astype(np.int8), (n_days, n)).copy()
    n_changes = round(RECLASSIFIED_SHARE * n)
    # Not reclassified in the first quarter after the listing.
    first = np.maximum(universe.list_index, 0) + QUARTER
    last = np.minimum(universe.delist_index, n_days) - 1
    candidates = np.flatnonzero(last > first)
    changed = np.sort(rng.choice(candidates, n_changes, replace=False))
    day = first[changed] + (rng.random(n_changes) * (last[changed] - first[changed])).astype(int)
    shift = rng.integers(1, len(SW_INDUSTRIES), size=n_changes)
    new = (universe.sw[changed] + shift) % len(SW_INDUSTRIES)
    for stock, change_day, industry in zip(changed, day, new, strict=True):
        daily[change_day:, stock] = industry
    return Industries(daily, Reclassifications(changed, day, new), diversified_financial)


def draw_suspensions(rng: np.random.Generator, period: Period, universe: Universe) -> np.ndarray:
    """Days without trading (days by stocks): routine halts, long ones, the 2015 crash,
    pre-delisting."""
    n, n_days = universe.n, period.n_days
    list_index, delist_index = universe.list_index, universe.delist_index
    first_quote = np.maximum(list_index + 1, 0)
    last_quote = np.minimum(delist_index, n_days) - 1
    span = np.maximum(last_quote - first_quote, 0)
    events = rng.poisson(0.4 * span / SESSIONS_PER_YEAR)
    stock = np.repeat(np.arange(n), events)
    begin = first_quote[stock] + (rng.random(stock.size) * span[stock]).astype(int)
    length = 1 + rng.geometric(0.35, stock.size)
    long_halt = rng.random(stock.size) < 0.08
    length[long_halt] = rng.integers(20, 150, long_halt.sum())

    crash = period.days.slice_indexer(*MASS_SUSPENSION)
    if crash.stop > crash.start:
        alive = np.flatnonzero((first_quote <= crash.start) & (last_quote > crash.stop))
        halted = alive[rng.random(alive.size) < MASS_SUSPENSION_SHARE]
        stock = np.r_[stock, halted]
        begin = np.r_[begin, rng.integers(crash.start, crash.stop, halted.size)]
        length = np.r_[length, rng.integers(5, 45, halted.size)]

    # Most companies stop trading some weeks before they leave the market.
    delisted = np.flatnonzero(delist_index < n_days)
    halted = delisted[rng.random(delisted.size) < 0.6]
    halt_begin = np.maximum(
        delist_index[halted] - rng.integers(10, 80, halted.size), first_quote[halted]
    )
    stock = np.r_[stock, halted]
    begin = np.r_[begin, halt_begin]
    length = np.r_[length, delist_index[halted] - halt_begin]

    change = np.zeros((n_days + 1, n), dtype=np.int32)
    np.add.at(change, (np.minimum(begin, n_days), stock), 1)
    np.add.at(change, (np.minimum(begin + length, n_days), stock), -1)
    day = np.arange(n_days)[:, None]
    return (np.cumsum(change[:-1], axis=0) > 0) & (day > list_index) & (day < delist_index)


def draw_traits(rng: np.random.Generator, period: Period, n: int) -> Traits:
    """The traits monthly, from HISTORY_MONTHS before the first day."""
    steps = len(period.month_grid)
    beta = ar1(rng, steps, n, 0.97)
    volatility = ar1(rng, steps, n, 0.95)
    growth = ar1(rng, steps, n, 0.93)
    liquidity = ar1(rng, steps, n, 0.95)
    cumulative = np.vstack([np.zeros(n), np.cumsum(growth, axis=0)])
    end = np.arange(1, steps + 1)
    begin = np.maximum(end - GROWTH_TREND_MONTHS, 0)
    growth_trend = (cumulative[end] - cumulative[begin]) / (end - begin)[:, None]
    return Traits(beta, volatility, growth, liquidity, growth_trend)
