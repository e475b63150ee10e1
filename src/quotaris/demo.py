"""A synthetic A-share market to try plovera on without a data subscription.

:func:`build_demo_tables` simulates 1,100 stocks of both exchanges on the real
Shanghai trading calendar: listings before and during the period, IPOs,
delistings, suspensions, two level-1 industry schemes with a few
reclassifications, quarterly fundamentals published with reporting lags, and
four size indices reviewed twice a year.  Returns come from a factor model
(country, industries and the ten styles) under a slowly switching volatility
regime, with fat-tailed specific returns clipped at the daily price limits.

The style exposures are computed the way a risk model computes them, from the
caps, turnover, returns and fundamentals of the market itself, and they are
the exposures that drive the returns; they are stored with the market, so a
model fitted to it can be checked against the truth.

:func:`demo_bundle_path` builds the market once into the user's cache and
reuses it afterwards.
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

import exchange_calendars
import numpy as np
import pandas as pd

from quotaris.source import NOT_DELISTED, BundleError
from quotaris.tables import FUNDAMENTAL_FIELDS, INSTRUMENT_COLUMNS, STYLE_FACTORS, BundleTables

__all__ = [
    "DEMO_CALENDAR",
    "DEMO_END",
    "DEMO_SEED",
    "DEMO_START",
    "DEMO_VERSION",
    "DemoMarket",
    "build_demo_tables",
    "demo_bundle_path",
    "simulate_demo_market",
]

#: Bumped whenever the simulated content changes, so cached bundles are rebuilt.
DEMO_VERSION = 1
DEMO_SEED = 20150105
DEMO_START = "2015-01-05"
DEMO_END = "2025-12-31"
DEMO_CALENDAR = "XSHG"

#: Called with the fraction of the build done (0 to 1) and the stage running.
Progress = Callable[[float, str], None]

_N_STOCKS = 1100
_LISTED_BEFORE_START = 0.82
_DELISTED_SHARE = 0.02
_RECLASSIFIED_SHARE = 0.015
_MIN_TRADING_DAYS = 126
_TRADING_DAYS_PER_YEAR = 244
_HISTORY_MONTHS = 69  # five years of reports before the start, plus three quarters of warm-up
_WARM_UP_QUARTERS = 3


class _Industry(NamedTuple):
    name: str
    code: str
    companies: int  # relative number of listed companies
    size: float  # typical market cap relative to the market's
    book_to_price: float  # relative to the market's
    equity_ratio: float  # book equity over total assets
    sales_to_book: float
    citic: int  # position in _CITIC_INDUSTRIES
    endings: tuple[str, ...]  # endings of company short names


_SW_INDUSTRIES = (
    _Industry("农林牧渔", "801010", 100, 1.0, 0.8, 0.50, 1.2, 19, ("农业", "牧业", "种业", "渔业")),
    _Industry("基础化工", "801030", 400, 1.0, 1.0, 0.50, 1.0, 5, ("化工", "化学", "新材")),
    _Industry("钢铁", "801040", 45, 1.2, 1.6, 0.40, 1.5, 4, ("钢铁", "特钢", "钢管")),
    _Industry("有色金属", "801050", 130, 1.2, 1.0, 0.45, 1.6, 2, ("矿业", "有色", "铝业", "锂业")),
    _Industry("电子", "801080", 470, 1.0, 0.6, 0.55, 0.9, 24, ("电子", "微电", "光电", "芯源")),
    _Industry("汽车", "801880", 270, 1.1, 0.9, 0.50, 1.2, 12, ("汽车", "汽配", "动力")),
    _Industry("家用电器", "801110", 90, 1.5, 0.7, 0.45, 1.4, 15, ("电器", "家电", "厨电")),
    _Industry("食品饮料", "801120", 120, 1.8, 0.4, 0.65, 0.8, 18, ("食品", "酒业", "乳业", "饮品")),
    _Industry("纺织服饰", "801130", 110, 0.8, 0.9, 0.60, 1.0, 16, ("纺织", "服饰", "家纺")),
    _Industry("轻工制造", "801140", 150, 0.8, 0.9, 0.55, 1.0, 8, ("纸业", "家居", "包装")),
    _Industry("医药生物", "801150", 480, 1.1, 0.5, 0.65, 0.7, 17, ("医药", "药业", "生物", "医疗")),
    _Industry("公用事业", "801160", 130, 1.5, 1.2, 0.35, 0.4, 3, ("电力", "能源", "燃气", "热电")),
    _Industry("交通运输", "801170", 120, 1.4, 1.1, 0.45, 0.6, 23, ("物流", "航运", "港口", "高速")),
    _Industry("房地产", "801180", 110, 1.3, 1.6, 0.25, 0.4, 22, ("地产", "置业", "发展")),
    _Industry("商贸零售", "801200", 100, 0.9, 1.0, 0.45, 2.0, 13, ("商业", "百货", "贸易")),
    _Industry("社会服务", "801210", 80, 0.9, 0.6, 0.60, 0.6, 14, ("旅游", "酒店", "教育")),
    _Industry("综合", "801230", 20, 0.6, 1.0, 0.45, 0.6, 28, ("实业", "控股", "集团")),
    _Industry("建筑材料", "801710", 70, 1.0, 1.1, 0.50, 0.9, 7, ("建材", "水泥", "玻璃")),
    _Industry("建筑装饰", "801720", 160, 1.2, 1.5, 0.25, 1.4, 6, ("建设", "建工", "装饰")),
    _Industry("电力设备", "801730", 350, 1.1, 0.6, 0.50, 0.9, 10, ("电气", "新能", "光伏", "储能")),
    _Industry("国防军工", "801740", 130, 1.0, 0.5, 0.60, 0.6, 11, ("航天", "航空", "防务")),
    _Industry("计算机", "801750", 330, 1.0, 0.4, 0.65, 0.7, 26, ("软件", "信息", "数据", "科技")),
    _Industry("传媒", "801760", 150, 0.9, 0.6, 0.65, 0.6, 27, ("传媒", "文化", "影视", "网络")),
    _Industry("通信", "801770", 120, 1.3, 0.7, 0.55, 0.8, 25, ("通信", "通讯", "光网")),
    _Industry("银行", "801780", 42, 9.0, 2.2, 0.08, 0.15, 20, ("银行",)),
    _Industry("非银金融", "801790", 90, 3.0, 1.2, 0.20, 0.3, 21, ("证券", "保险", "信托")),
    _Industry("机械设备", "801890", 530, 1.0, 0.8, 0.50, 0.8, 9, ("机械", "重工", "装备", "智能")),
    _Industry("煤炭", "801950", 38, 1.8, 1.5, 0.45, 0.9, 1, ("煤业", "矿能")),
    _Industry("石油石化", "801960", 45, 4.0, 1.3, 0.45, 1.8, 0, ("石化", "石油", "油服")),
    _Industry("环保", "801970", 130, 0.9, 0.9, 0.40, 0.5, 3, ("环保", "环境", "水务")),
    _Industry("美容护理", "801980", 30, 1.0, 0.4, 0.60, 1.0, 5, ("美妆", "护理", "日化")),
)

_CITIC_INDUSTRIES = (
    "石油石化", "煤炭", "有色金属", "电力及公用事业", "钢铁", "基础化工", "建筑", "建材",
    "轻工制造", "机械", "电力设备及新能源", "国防军工", "汽车", "商贸零售", "消费者服务",
    "家电", "纺织服装", "医药", "食品饮料", "农林牧渔", "银行", "非银行金融", "房地产",
    "交通运输", "电子", "通信", "计算机", "传媒", "综合", "综合金融",
)  # fmt: skip
_CITIC_CODES = tuple(f"CI{5001 + i:06d}" for i in range(len(_CITIC_INDUSTRIES)))
# Shenwan's non-bank financials splits under CITIC: brokers and insurers stay
# together, diversified financials (trusts, leasing, holdings) go apart.
_SW_POSITION = {industry.name: k for k, industry in enumerate(_SW_INDUSTRIES)}
_SW_BANKS = _SW_POSITION["银行"]
_SW_NON_BANK = _SW_POSITION["非银金融"]
_CITIC_DIVERSIFIED_FINANCIALS = 29
_DIVERSIFIED_FINANCIALS_SHARE = 0.2


class _Board(NamedTuple):
    prefix: str
    exchange: str
    first_listing: str
    last_listing: str | None  # None while the board still lists companies
    weight: float  # relative share of the listings while open
    first_number: int
    wide_limit_from: str | None  # from this day the daily price limit is 20%


_BOARDS = (
    _Board("600", "XSHG", "1990-12-19", "2012-12-31", 3.0, 0, None),
    _Board("601", "XSHG", "2006-01-01", None, 1.0, 0, None),
    _Board("603", "XSHG", "2011-01-01", None, 2.5, 0, None),
    _Board("605", "XSHG", "2020-01-01", None, 1.0, 0, None),
    _Board("688", "XSHG", "2019-07-22", None, 1.5, 1, "2019-07-22"),
    _Board("000", "XSHE", "1991-01-01", "2007-12-31", 3.0, 1, None),
    _Board("001", "XSHE", "2015-01-01", None, 0.5, 0, None),
    _Board("002", "XSHE", "2004-05-27", "2021-04-05", 3.0, 0, None),
    _Board("003", "XSHE", "2020-01-01", None, 0.7, 0, None),
    _Board("300", "XSHE", "2009-10-30", None, 2.5, 1, "2020-08-24"),
    _Board("301", "XSHE", "2020-08-24", None, 2.0, 0, "2020-08-24"),
)
_STAR_BOARD = 4

# Relative number of IPOs by year, as the market saw them; other years 25.
_IPO_ACTIVITY = {
    2015: 22, 2016: 23, 2017: 44, 2018: 10, 2019: 20, 2020: 43,
    2021: 52, 2022: 42, 2023: 31, 2024: 10, 2025: 11,
}  # fmt: skip

# The market closed down on a large part of its stocks in the July 2015 crash.
_MASS_SUSPENSION = ("2015-07-06", "2015-07-09")
_MASS_SUSPENSION_SHARE = 0.35

_SYLLABLES = (
    "华东中金新海长国天宏恒瑞永远康嘉达通安盛鑫"
    "博凯隆光明兴泰德正信诚联合创星宇航润亚美鼎益万顺和福祥伟力"
)


class _IndexSpec(NamedTuple):
    order_book_id: str
    symbol: str
    listed_date: str


_HS300 = _IndexSpec("000300.XSHG", "沪深300", "2005-04-08")
_CSI500 = _IndexSpec("000905.XSHG", "中证500", "2007-01-15")
_CSI800 = _IndexSpec("000906.XSHG", "中证800", "2007-01-15")
_CSI1000 = _IndexSpec("000852.XSHG", "中证1000", "2014-10-17")
_INDICES = (_HS300, _CSI1000, _CSI500, _CSI800)  # in identifier order, as the tables hold them
_INDEX_WEIGHT_LIMIT = 0.10
_INDEX_MIN_LISTED = pd.Timedelta(days=91)

# Daily mean and calm-market volatility of the style factor returns.
_STYLE_RETURNS = {
    "beta": (0.0, 0.0010),
    "momentum": (-0.00005, 0.0025),
    "size": (-0.0001, 0.0040),
    "earnings_yield": (0.00015, 0.0020),
    "residual_volatility": (-0.0001, 0.0030),
    "growth": (0.0001, 0.0015),
    "book_to_price": (0.00005, 0.0020),
    "leverage": (-0.00003, 0.0015),
    "liquidity": (-0.0002, 0.0025),
    "non_linear_size": (-0.00005, 0.0020),
}
_BETA_MARKET_LOADING = 0.25  # a stock one standard deviation up in beta moves 1.25 times the market
_MARKET_RETURN = (0.00015, 0.012)
_INDUSTRY_VOLATILITY = 0.0055
_SPECIFIC_VOLATILITY = 0.017
_TYPICAL_TURNOVER = 0.012
_TAIL_DOF = 4.5
_FACTOR_TAIL_DOF = 5.0
_REGIME_LEVELS = (0.7, 1.0, 1.7)
_REGIME_SWITCH = 1 / 150  # daily chance of moving to a neighbouring regime
_REGIME_SMOOTHING = 0.1

# Days after the period end by which reports come out: quarterly reports by
# the end of the next month, interim by the end of August, annual by April 30.
_ANNOUNCE_LAG = {3: (20, 30), 6: (25, 62), 9: (20, 31), 12: (60, 119)}

_STYLE = {name: i for i, name in enumerate(STYLE_FACTORS)}


@dataclass
class DemoMarket:
    """The demo market and the truth behind it.

    tables
        What a data bundle holds.
    factor_returns
        The daily factor returns that generated the stock returns: column
        "country", one column per Shenwan level-1 industry name, one per style.
    volatility_regime
        The daily multiplier of the market's volatility.
    """

    tables: BundleTables
    factor_returns: pd.DataFrame
    volatility_regime: pd.Series


def build_demo_tables(
    seed: int = DEMO_SEED,
    progress: Progress | None = None,
    *,
    start: str = DEMO_START,
    end: str = DEMO_END,
) -> BundleTables:
    """The tables of the demo market; the same seed and period give the same content."""
    return simulate_demo_market(seed, progress, start=start, end=end).tables


def simulate_demo_market(
    seed: int = DEMO_SEED,
    progress: Progress | None = None,
    *,
    start: str = DEMO_START,
    end: str = DEMO_END,
) -> DemoMarket:
    """Simulate the demo market over the trading days from ``start`` to ``end``.

    ``progress``, when given, is called with the fraction done and the stage.
    """
    if isinstance(seed, bool) or not isinstance(seed, int | np.integer) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, got {seed!r}")
    days = _trading_days(start, end)
    report = progress if progress is not None else _ignore_progress
    return _Simulation(int(seed), days, report).run()


def _ignore_progress(fraction: float, stage: str) -> None:
    del fraction, stage


def _calendar() -> exchange_calendars.ExchangeCalendar:
    with warnings.catch_warnings():
        # exchange_calendars reads a pandas attribute that pandas is retiring;
        # the warning is the package's to act on, not our users'.
        warnings.filterwarnings("ignore", message=r"Series\.values returning an ndarray")
        return exchange_calendars.get_calendar(DEMO_CALENDAR)


def _trading_days(start: str, end: str) -> pd.DatetimeIndex:
    calendar = _calendar()
    first, last = pd.Timestamp(start), pd.Timestamp(end)
    # The market's history before the start needs a year of real sessions.
    earliest = calendar.first_session + pd.DateOffset(years=1)
    if first < earliest or last > calendar.last_session:
        raise ValueError(
            f"demo period {start} to {end} must lie within {earliest.date()} to "
            f"{calendar.last_session.date()}, the sessions of the {DEMO_CALENDAR} calendar"
        )
    days = pd.DatetimeIndex(calendar.sessions_in_range(first, last).to_numpy())
    if len(days) < _MIN_TRADING_DAYS:
        raise ValueError(
            f"demo period {start} to {end} has {len(days)} trading days, "
            f"at least {_MIN_TRADING_DAYS} are needed"
        )
    return days


def _ar1(rng: np.random.Generator, steps: int, width: int, persistence: float) -> np.ndarray:
    """A standard-normal AR(1) process per column, started in its stationary law."""
    shocks = rng.standard_normal((steps, width))
    out = np.empty((steps, width))
    out[0] = shocks[0]
    innovation = np.sqrt(1.0 - persistence**2)
    for step in range(1, steps):
        out[step] = persistence * out[step - 1] + innovation * shocks[step]
    return out


def _student_t(rng: np.random.Generator, dof: float, size: tuple[int, ...]) -> np.ndarray:
    """Student-t draws scaled to unit variance."""
    return rng.standard_t(dof, size) / np.sqrt(dof / (dof - 2.0))


def _standardise(raw: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Cap-weighted mean 0 and unit standard deviation, clipped at 3 and standardised again.

    NaN stays NaN.
    """

    def scale(values: np.ndarray) -> np.ndarray:
        present = np.isfinite(values)
        mean = np.average(values[present], weights=cap[present])
        return (values - mean) / np.std(values[present])

    return scale(np.clip(scale(raw), -3.0, 3.0))


def _combine(parts: list[np.ndarray], weights: list[float]) -> np.ndarray:
    """Weighted sum of descriptors, the weights renormalised over the ones present."""
    total = np.zeros_like(parts[0])
    weight = np.zeros_like(parts[0])
    for part, w in zip(parts, weights, strict=True):
        present = np.isfinite(part)
        total += np.where(present, part * w, 0.0)
        weight += present * w
    with np.errstate(invalid="ignore"):
        return np.where(weight > 0, total / weight, np.nan)


def _weighted_fit(design: np.ndarray, target: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Coefficients of a square-root-cap weighted least-squares fit on the rows where
    ``target`` is present.  Through the normal equations: the designs are narrow."""
    present = np.isfinite(target)
    weighted = design[present] * np.sqrt(cap[present])[:, None]
    gram = design[present].T @ weighted
    return np.linalg.lstsq(gram, weighted.T @ target[present], rcond=None)[0]


def _residual(target: np.ndarray, regressors: list[np.ndarray], cap: np.ndarray) -> np.ndarray:
    """What a square-root-cap weighted regression with intercept leaves of ``target``."""
    design = np.column_stack([np.ones_like(target), *regressors])
    return target - design @ _weighted_fit(design, target, cap)


def _fill_missing(
    exposure: np.ndarray, dummies: np.ndarray, size: np.ndarray, cap: np.ndarray
) -> np.ndarray:
    """Predict missing exposures from industry and size, fitted on the ones present."""
    missing = ~np.isfinite(exposure)
    if not missing.any():
        return exposure
    if missing.all():
        return np.zeros_like(exposure)
    design = np.column_stack([dummies, size])
    return np.where(missing, design @ _weighted_fit(design, exposure, cap), exposure)


def _capped_weights(cap: np.ndarray, limit: float) -> np.ndarray:
    """Cap weights with no weight above ``limit``, the excess spread pro rata over the rest."""
    limit = max(limit, 1.0 / len(cap))
    weights = cap / cap.sum()
    capped = np.zeros(len(cap), dtype=bool)
    while (over := (weights > limit) & ~capped).any():
        capped |= over
        free = ~capped
        weights = np.where(capped, limit, cap / cap[free].sum() * (1.0 - limit * capped.sum()))
    return weights


class _Simulation:
    """One run of the demo market: draws the universe, then simulates month by month."""

    def __init__(self, seed: int, days: pd.DatetimeIndex, progress: Progress):
        self.rng = np.random.Generator(np.random.PCG64(seed))
        self.days = days
        self.n_days = len(days)
        self.n = _N_STOCKS
        self.progress = progress
        self.day_numbers = days.to_numpy().astype("datetime64[D]").astype(np.int64)
        months = days.to_period("M")
        self.month_starts = np.flatnonzero(np.r_[True, months[1:] != months[:-1]])
        self.month_ends = np.r_[self.month_starts[1:], self.n_days]
        self.month_grid = pd.period_range(
            months[0] - _HISTORY_MONTHS, months[-1], freq="M", name="month"
        )

    def run(self) -> DemoMarket:
        self.progress(0.0, "universe")
        self._draw_universe()
        self._draw_industries()
        self._draw_suspensions()
        self._draw_latent_traits()
        self._draw_fundamentals()
        self._draw_factor_returns()
        self._simulate_months()
        self.progress(0.8, "indices")
        index_returns = self._build_indices()
        self.progress(0.9, "tables")
        tables = self._tables(index_returns)
        factor_returns = pd.DataFrame(
            np.column_stack([self.country_return, self.industry_return, self.style_return]),
            index=self.days,
            columns=["country", *(ind.name for ind in _SW_INDUSTRIES), *STYLE_FACTORS],
        )
        regime = pd.Series(self.regime, index=self.days, name="volatility_regime")
        self.progress(1.0, "tables")
        return DemoMarket(tables, factor_returns, regime)

    # -- the universe ------------------------------------------------------------

    def _draw_universe(self) -> None:
        rng, n, days = self.rng, self.n, self.days
        n_industries = len(_SW_INDUSTRIES)
        companies = np.array([ind.companies for ind in _SW_INDUSTRIES], dtype=float)
        # A few members in every industry so that each one has a factor return.
        sw = np.concatenate(
            [
                np.repeat(np.arange(n_industries), 3),
                rng.choice(n_industries, n - 3 * n_industries, p=companies / companies.sum()),
            ]
        )
        rng.shuffle(sw)

        n_before = round(_LISTED_BEFORE_START * n)
        before = np.arange(n) < n_before
        # Older listings are rarer: the market grew over the decades.
        age_years = 0.05 + 23.5 * rng.random(n_before) ** 1.8
        past = self._sessions_before_start()
        targets = days[0] - pd.to_timedelta(age_years * 365.25, unit="D")
        position = np.clip(past.searchsorted(targets, side="right") - 1, 0, None)
        listed = np.empty(n, dtype="datetime64[ns]")
        listed[:n_before] = past.to_numpy()[position]
        list_index = np.empty(n, dtype=np.int64)
        list_index[:n_before] = -np.maximum(1, np.round(age_years * _TRADING_DAYS_PER_YEAR))

        years = days.year.to_numpy()
        _, year_of_day, sessions_in_year = np.unique(years, return_inverse=True, return_counts=True)
        activity = np.array([_IPO_ACTIVITY.get(y, 25) for y in years], dtype=float)
        per_day = activity / sessions_in_year[year_of_day]
        per_day[0] = 0.0
        list_index[n_before:] = rng.choice(self.n_days, n - n_before, p=per_day / per_day.sum())
        listed[n_before:] = days.to_numpy()[list_index[n_before:]]

        board = self._draw_boards(listed)
        size = np.array([ind.size for ind in _SW_INDUSTRIES])[sw]
        cap = np.where(
            before,
            np.exp(rng.normal(np.log(4.5e9), 1.1, n))
            * size
            * (1.0 + 0.03 * np.r_[age_years, np.zeros(n - n_before)]),
            np.exp(rng.normal(np.log(2.5e9), 0.6, n)) * np.sqrt(size),
        )
        cap[board == _STAR_BOARD] *= 2.0

        # Delistings hit small companies more often, and more of them in later years.
        delist_index = np.full(n, self.n_days, dtype=np.int64)
        n_delisted = max(1, round(_DELISTED_SHARE * n))
        odds = before / np.sqrt(cap)
        delisted = rng.choice(n, n_delisted, replace=False, p=odds / odds.sum())
        day_odds = 1.0 + 3.0 * (years >= 2019)
        day_odds[: max(1, self.n_days // 8)] = 0.0
        delist_index[delisted] = rng.choice(self.n_days, n_delisted, p=day_odds / day_odds.sum())

        codes = self._number_codes(board, listed)
        order = np.argsort(codes)
        self.order_book_id = codes[order]
        self.board = board[order]
        self.sw = sw[order]
        self.listed = listed[order]
        self.list_index = list_index[order]
        self.delist_index = delist_index[order]
        self.initial_cap = cap[order]
        self.listed_before = before[order]
        self.symbol = self._draw_symbols()
        self.float_share = 0.2 + 0.8 * rng.beta(2.0, 1.5, n)
        self.ipo_float_share = np.minimum(self.float_share, 0.2 + 0.1 * rng.random(n))
        wide_from = np.array(
            [
                self.days.searchsorted(pd.Timestamp(b.wide_limit_from))
                if b.wide_limit_from
                else self.n_days
                for b in _BOARDS
            ]
        )
        self.wide_limit_from = wide_from[self.board]

    def _sessions_before_start(self) -> pd.DatetimeIndex:
        """Trading days before the start: the calendar's sessions, weekdays before them."""
        calendar = _calendar()
        sessions = calendar.sessions_in_range(
            calendar.first_session, self.days[0] - pd.Timedelta(days=1)
        )
        weekdays = pd.bdate_range(
            _BOARDS[0].first_listing, calendar.first_session - pd.Timedelta(days=1)
        )
        return pd.DatetimeIndex(np.concatenate([weekdays.to_numpy(), sessions.to_numpy()]))

    def _draw_boards(self, listed: np.ndarray) -> np.ndarray:
        first = np.array([np.datetime64(b.first_listing, "ns") for b in _BOARDS])
        last = np.array([np.datetime64(b.last_listing or "2262-01-01", "ns") for b in _BOARDS])
        weight = np.array([b.weight for b in _BOARDS])
        odds = ((listed[:, None] >= first) & (listed[:, None] <= last)) * weight
        cumulative = np.cumsum(odds / odds.sum(axis=1, keepdims=True), axis=1)
        draw = self.rng.random(len(listed))
        return np.minimum((draw[:, None] >= cumulative).sum(axis=1), len(_BOARDS) - 1)

    def _number_codes(self, board: np.ndarray, listed: np.ndarray) -> np.ndarray:
        """Codes numbered in order of listing within each board, as exchanges assign them."""
        codes = np.empty(len(board), dtype=object)
        order = np.lexsort((np.arange(len(board)), listed))
        for b, rules in enumerate(_BOARDS):
            members = order[board[order] == b]
            numbers = np.sort(
                self.rng.choice(np.arange(rules.first_number, 1000), len(members), replace=False)
            )
            codes[members] = [f"{rules.prefix}{num:03d}.{rules.exchange}" for num in numbers]
        return codes

    def _draw_symbols(self) -> np.ndarray:
        """Unique short names: two syllables and an ending that fits the industry."""
        rng = self.rng
        syllables = np.array(list(_SYLLABLES))
        symbols = np.full(self.n, "", dtype=object)
        todo = np.arange(self.n)
        while todo.size:
            first = rng.integers(len(syllables), size=todo.size)
            second = (first + rng.integers(1, len(syllables), size=todo.size)) % len(syllables)
            pick = rng.random(todo.size)
            for stock, a, b, p in zip(todo, first, second, pick, strict=True):
                endings = _SW_INDUSTRIES[self.sw[stock]].endings
                symbols[stock] = syllables[a] + syllables[b] + endings[int(p * len(endings))]
            _, first_seen = np.unique(symbols.astype(str), return_index=True)
            repeated = np.ones(self.n, dtype=bool)
            repeated[first_seen] = False
            todo = np.flatnonzero(repeated)
        return symbols

    def _draw_industries(self) -> None:
        """Daily Shenwan industry of every stock, with a few reclassifications."""
        rng, n = self.rng, self.n
        self.diversified_financial = rng.random(n) < _DIVERSIFIED_FINANCIALS_SHARE
        self.sw_daily = np.broadcast_to(self.sw.astype(np.int8), (self.n_days, n)).copy()
        n_changes = round(_RECLASSIFIED_SHARE * n)
        first = np.maximum(self.list_index, 0) + 63
        last = np.minimum(self.delist_index, self.n_days) - 1
        candidates = np.flatnonzero(last > first)
        changed = np.sort(rng.choice(candidates, n_changes, replace=False))
        day = first[changed] + (rng.random(n_changes) * (last[changed] - first[changed])).astype(
            int
        )
        shift = rng.integers(1, len(_SW_INDUSTRIES), size=n_changes)
        new = (self.sw[changed] + shift) % len(_SW_INDUSTRIES)
        for stock, change_day, industry in zip(changed, day, new, strict=True):
            self.sw_daily[change_day:, stock] = industry
        self.reclassifications = (changed, day, new)

    def _draw_suspensions(self) -> None:
        """Runs of days without trading: routine halts, long ones, the 2015 crash, pre-delisting."""
        rng, n, n_days = self.rng, self.n, self.n_days
        first_quote = np.maximum(self.list_index + 1, 0)
        last_quote = np.minimum(self.delist_index, n_days) - 1
        span = np.maximum(last_quote - first_quote, 0)
        events = rng.poisson(0.4 * span / _TRADING_DAYS_PER_YEAR)
        stock = np.repeat(np.arange(n), events)
        begin = first_quote[stock] + (rng.random(stock.size) * span[stock]).astype(int)
        length = 1 + rng.geometric(0.35, stock.size)
        long_halt = rng.random(stock.size) < 0.08
        length[long_halt] = rng.integers(20, 150, long_halt.sum())

        crash = self.days.slice_indexer(*_MASS_SUSPENSION)
        if crash.stop > crash.start:
            alive = np.flatnonzero((first_quote <= crash.start) & (last_quote > crash.stop))
            halted = alive[rng.random(alive.size) < _MASS_SUSPENSION_SHARE]
            stock = np.r_[stock, halted]
            begin = np.r_[begin, rng.integers(crash.start, crash.stop, halted.size)]
            length = np.r_[length, rng.integers(5, 45, halted.size)]

        # Most companies stop trading some weeks before they leave the market.
        delisted = np.flatnonzero(self.delist_index < n_days)
        halted = delisted[rng.random(delisted.size) < 0.6]
        halt_begin = np.maximum(
            self.delist_index[halted] - rng.integers(10, 80, halted.size), first_quote[halted]
        )
        stock = np.r_[stock, halted]
        begin = np.r_[begin, halt_begin]
        length = np.r_[length, self.delist_index[halted] - halt_begin]

        change = np.zeros((n_days + 1, n), dtype=np.int32)
        np.add.at(change, (np.minimum(begin, n_days), stock), 1)
        np.add.at(change, (np.minimum(begin + length, n_days), stock), -1)
        day = np.arange(n_days)[:, None]
        self.suspended = (
            (np.cumsum(change[:-1], axis=0) > 0)
            & (day > self.list_index)
            & (day < self.delist_index)
        )

    def _draw_latent_traits(self) -> None:
        """Slowly moving company traits, monthly from five years before the start."""
        rng, n, steps = self.rng, self.n, len(self.month_grid)
        self.beta_trait = _ar1(rng, steps, n, 0.97)
        self.volatility_trait = _ar1(rng, steps, n, 0.95)
        self.growth_trait = _ar1(rng, steps, n, 0.93)
        self.liquidity_trait = _ar1(rng, steps, n, 0.95)
        # Growth shows in the data as the trend of the last five years.
        cumulative = np.vstack([np.zeros(n), np.cumsum(self.growth_trait, axis=0)])
        end = np.arange(1, steps + 1)
        begin = np.maximum(end - 60, 0)
        self.growth_trend = (cumulative[end] - cumulative[begin]) / (end - begin)[:, None]

    # -- fundamentals ------------------------------------------------------------

    def _draw_fundamentals(self) -> None:
        """Quarterly reports from five years before the start, announced with lags."""
        rng, n = self.rng, self.n
        quarter_pos = np.flatnonzero(self.month_grid.month % 3 == 0)
        n_quarters = quarter_pos.size
        ind = [_SW_INDUSTRIES[k] for k in self.sw]
        equity_ratio = np.array([i.equity_ratio for i in ind])
        sales_to_book = np.array([i.sales_to_book for i in ind])
        book_to_price = np.array([i.book_to_price for i in ind])
        bank = self.sw == _SW_BANKS

        period_end = self.month_grid[quarter_pos].to_timestamp(how="end").normalize()
        reference = np.where(self.listed_before, self.days[0].to_datetime64(), self.listed)
        years_to_reference = (reference - period_end[0].to_datetime64()) / np.timedelta64(365, "D")
        target = 0.5 * book_to_price * np.exp(rng.normal(0.0, 0.5, n))
        book = self.initial_cap * target * np.exp(-0.055 * years_to_reference)
        floor = 0.05 * book
        log_sales = np.log(book * sales_to_book) + rng.normal(0.0, 0.4, n)
        roe_mean = rng.normal(0.08, 0.05, n) + 0.03 * bank
        roe = roe_mean.copy()
        equity_noise = _ar1(rng, n_quarters, n, 0.9)
        equity_base = np.clip(equity_ratio * np.exp(rng.normal(0.0, 0.3, n)), 0.04, 0.9)
        debt_share = np.where(bank, 0.9, rng.uniform(0.35, 0.8, n))

        quarterly_earnings = np.empty((n_quarters, n))
        values = {field: np.empty((n_quarters, n)) for field in FUNDAMENTAL_FIELDS}
        shocks = rng.standard_normal((3, n_quarters, n))
        for q, pos in enumerate(quarter_pos):
            roe = roe_mean + 0.85 * (roe - roe_mean) + 0.035 * shocks[0, q]
            earnings = roe / 4.0 * book
            book = np.maximum(book + earnings - 0.3 * np.maximum(earnings, 0.0), floor)
            log_sales += (0.07 + 0.12 * self.growth_trait[pos]) / 4.0 + 0.04 * shocks[1, q]
            quarterly_earnings[q] = earnings
            ttm_earnings = (
                quarterly_earnings[max(0, q - 3) : q + 1].sum(axis=0) * 4.0 / min(q + 1, 4)
            )
            sales = np.exp(log_sales)
            assets = book / np.clip(equity_base * np.exp(0.1 * equity_noise[q]), 0.03, 0.95)
            values["book_value"][q] = book
            values["ttm_earnings"][q] = ttm_earnings
            values["ttm_operating_cash_flow"][q] = 0.9 * ttm_earnings + 0.04 * sales * (
                1.0 + 0.8 * shocks[2, q]
            )
            values["ttm_sales"][q] = sales
            values["total_debt"][q] = (assets - book) * debt_share
            values["total_assets"][q] = assets

        timeliness = rng.random(n)
        lag_noise = rng.normal(0.0, 0.15, (n_quarters, n))
        lo = np.array([_ANNOUNCE_LAG[m][0] for m in self.month_grid.month[quarter_pos]])[:, None]
        hi = np.array([_ANNOUNCE_LAG[m][1] for m in self.month_grid.month[quarter_pos]])[:, None]
        lag = np.round(lo + (hi - lo) * np.clip(timeliness + lag_noise, 0.0, 1.0)).astype(np.int64)
        end_day = period_end.to_numpy().astype("datetime64[D]").astype(np.int64)[:, None]
        announce = np.maximum.accumulate(end_day + lag, axis=0)

        kept = slice(_WARM_UP_QUARTERS, None)
        self.announce_day = announce[kept]
        self.fundamentals = {field: np.round(v[kept]) for field, v in values.items()}

    # -- factor returns ----------------------------------------------------------

    def _draw_factor_returns(self) -> None:
        rng, n_days = self.rng, self.n_days
        switch = rng.random(n_days) < _REGIME_SWITCH
        upward = rng.random(n_days) < 0.5
        regime = np.empty(n_days)
        state, level = 1, _REGIME_LEVELS[1]
        for day in range(n_days):
            if switch[day]:
                state = min(max(state + (1 if upward[day] else -1), 0), len(_REGIME_LEVELS) - 1)
            level += _REGIME_SMOOTHING * (_REGIME_LEVELS[state] - level)
            regime[day] = level
        self.regime = regime
        calm = np.sqrt(regime)[:, None]
        mean, volatility = _MARKET_RETURN
        self.country_return = mean + volatility * regime * _student_t(
            rng, _FACTOR_TAIL_DOF, (n_days,)
        )
        self.industry_return = (
            _INDUSTRY_VOLATILITY
            * calm
            * _student_t(rng, _FACTOR_TAIL_DOF, (n_days, len(_SW_INDUSTRIES)))
        )
        means = np.array([_STYLE_RETURNS[s][0] for s in STYLE_FACTORS])
        scales = np.array([_STYLE_RETURNS[s][1] for s in STYLE_FACTORS])
        style = means + scales * calm * _student_t(
            rng, _FACTOR_TAIL_DOF, (n_days, len(STYLE_FACTORS))
        )
        style[:, _STYLE["beta"]] += _BETA_MARKET_LOADING * (self.country_return - mean)
        self.style_return = style

    # -- the monthly simulation --------------------------------------------------

    def _simulate_months(self) -> None:
        rng, n, n_days = self.rng, self.n, self.n_days
        specific = _student_t(rng, _TAIL_DOF, (n_days, n))
        turnover_noise = rng.standard_normal((n_days, n))

        self.returns = np.full((n_days, n), np.nan)
        self.cap = np.full((n_days, n), np.nan)
        self.turnover = np.full((n_days, n), np.nan)
        # History before the start: the momentum and turnover the stock brought along.
        history = np.where(self.listed_before, -self.list_index, 0)
        self.decay = 0.5 ** (1.0 / 126.0)
        self.momentum_sum = np.empty((n_days + 1, n))
        self.momentum_sum[0] = (
            0.3 * rng.standard_normal(n) * np.sqrt(np.minimum(history, 504) / 504)
        )
        self.quoted_days = np.empty((n_days + 1, n), dtype=np.int64)
        self.quoted_days[0] = np.minimum(history, 504)
        self.turnover_sum = np.zeros((n_days + 1, n))
        self.traded_days = np.zeros((n_days + 1, n), dtype=np.int64)
        self.history_days = history
        log_cap = np.log(self.initial_cap)
        size = (log_cap - log_cap[self.listed_before].mean()) / log_cap[self.listed_before].std()
        self.history_turnover = np.exp(
            np.log(_TYPICAL_TURNOVER) - 0.45 * size + 0.55 * self.liquidity_trait[_HISTORY_MONTHS]
        )

        self.exposure_rows: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        cap_before = np.where(self.listed_before, self.initial_cap, np.nan)
        n_months = len(self.month_starts)
        for month, (first, stop) in enumerate(zip(self.month_starts, self.month_ends, strict=True)):
            members = np.flatnonzero((self.list_index < stop) & (self.delist_index > first))
            new = self.list_index[members] >= first
            cap = np.where(new, self.initial_cap[members], cap_before[members])
            exposure, volatility_raw = self._exposures(_HISTORY_MONTHS + month, first, members, cap)
            self.exposure_rows.append(
                (np.maximum(first, self.list_index[members]), members, exposure)
            )

            full_exposure = np.zeros((n, len(STYLE_FACTORS)))
            full_exposure[members] = exposure
            sigma = np.zeros(n)
            sigma[members] = _SPECIFIC_VOLATILITY * np.exp(0.3 * volatility_raw)
            cap_before[members] = cap
            self._simulate_days(
                first, stop, full_exposure, sigma, cap_before, specific, turnover_noise, month
            )
            self.progress(0.8 * ((month + 1) / n_months), "prices")

    def _simulate_days(
        self, first, stop, exposure, sigma, cap_before, specific, turnover_noise, month
    ):
        """Returns, caps and turnover of the days ``first`` to ``stop`` of one month.

        ``exposure`` and ``sigma`` hold for the whole month; ``cap_before`` (the
        caps at the previous close) is advanced to the month's last close.
        """
        days = np.arange(first, stop)[:, None]
        industry = self.sw_daily[first:stop]
        returns = (
            self.country_return[first:stop, None]
            + np.take_along_axis(self.industry_return[first:stop], industry.astype(np.intp), axis=1)
            + self.style_return[first:stop] @ exposure.T
            + sigma * np.sqrt(self.regime[first:stop])[:, None] * specific[first:stop]
        )
        limit = np.where(days >= self.wide_limit_from, 0.2, 0.1)
        returns = np.clip(returns, -limit, limit)
        listed = (days >= self.list_index) & (days < self.delist_index)
        traded = listed & ~self.suspended[first:stop]
        quoted = traded & (days > self.list_index)  # the listing day has no previous close
        returns = np.where(quoted, returns, np.nan)
        gross = np.where(quoted, 1.0 + returns, 1.0)
        cap = cap_before * np.cumprod(gross, axis=0)
        cap_before[:] = cap[-1]
        self.returns[first:stop] = returns
        self.cap[first:stop] = np.where(listed, cap, np.nan)

        age = np.maximum(days - self.list_index, 0)
        log_turnover = (
            np.log(_TYPICAL_TURNOVER)
            - 0.45 * exposure[:, _STYLE["size"]]
            + 0.55 * self.liquidity_trait[_HISTORY_MONTHS + month]
            + 0.3 * np.log(self.regime[first:stop])[:, None]
            + 5.0 * np.abs(np.nan_to_num(returns))
            + 0.35 * turnover_noise[first:stop]
            + np.log1p(6.0 * np.exp(-age / 5.0))  # the frenzy of the first days after an IPO
        )
        turnover = np.where(traded, np.clip(np.exp(log_turnover), 1e-4, 0.75), np.nan)
        self.turnover[first:stop] = turnover

        steps = np.arange(1, stop - first + 1)[:, None]
        log_return = np.log(gross)
        power = self.decay ** (steps - 1)
        self.momentum_sum[first + 1 : stop + 1] = power * (
            self.decay * self.momentum_sum[first] + np.cumsum(log_return / power, axis=0)
        )
        self.quoted_days[first + 1 : stop + 1] = self.quoted_days[first] + np.cumsum(quoted, axis=0)
        self.turnover_sum[first + 1 : stop + 1] = self.turnover_sum[first] + np.cumsum(
            np.nan_to_num(turnover), axis=0
        )
        self.traded_days[first + 1 : stop + 1] = self.traded_days[first] + np.cumsum(traded, axis=0)

    def _mean_turnover(self, day: int, window: int, members: np.ndarray) -> np.ndarray:
        """Mean daily turnover over the ``window`` days before ``day``, history included."""
        begin = max(0, day - window)
        total = self.turnover_sum[day, members] - self.turnover_sum[begin, members]
        count = self.traded_days[day, members] - self.traded_days[begin, members]
        borrowed = np.minimum(max(window - day, 0), self.history_days[members])
        total = total + borrowed * self.history_turnover[members]
        count = count + borrowed
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(count >= min(window // 3, 20), total / count, np.nan)

    def _momentum(self, day: int, members: np.ndarray) -> np.ndarray:
        """Decayed log returns over two years, skipping the latest month."""
        end = max(day - 21, 0)
        value = self.momentum_sum[end, members]
        if end >= 504:
            value = value - self.decay**504 * self.momentum_sum[end - 504, members]
        return np.where(self.quoted_days[end, members] >= 126, value, np.nan)

    def _exposures(self, grid_month: int, day: int, members: np.ndarray, cap: np.ndarray):
        """Style exposures of ``members`` at the start of ``day``, from what is known by then.

        Returns the exposures (members by styles) and the raw volatility trait
        that sets each member's specific volatility.
        """
        latest = (self.announce_day[:, members] <= self.day_numbers[day]).sum(axis=0) - 1
        fund = {f: v[latest, members] for f, v in self.fundamentals.items()}
        industry = self.sw_daily[day, members]
        dummies = (industry[:, None] == np.arange(len(_SW_INDUSTRIES))).astype(float)

        size = _standardise(np.log(cap), cap)
        beta = _standardise(self.beta_trait[grid_month, members], cap)
        volatility_raw = self.volatility_trait[grid_month, members] - 0.25 * size
        residual_volatility = _standardise(
            _residual(_standardise(volatility_raw, cap), [beta, size], cap), cap
        )
        growth = _standardise(self.growth_trend[grid_month, members], cap)
        book_to_price = _standardise(fund["book_value"] / cap, cap)
        earnings_yield = _standardise(
            _combine(
                [
                    _standardise(fund["ttm_earnings"] / cap, cap),
                    _standardise(fund["ttm_operating_cash_flow"] / cap, cap),
                ],
                [0.11, 0.21],
            ),
            cap,
        )
        debt = fund["total_debt"]
        leverage = _standardise(
            _combine(
                [
                    _standardise((cap + debt) / cap, cap),
                    _standardise(debt / fund["total_assets"], cap),
                    _standardise((fund["book_value"] + debt) / fund["book_value"], cap),
                ],
                [0.38, 0.35, 0.27],
            ),
            cap,
        )
        momentum = self._momentum(day, members)
        if np.isfinite(momentum).sum() > 1:
            momentum = _standardise(momentum, cap)
        turnover = [self._mean_turnover(day, w, members) for w in (21, 63, 252)]
        liquidity = _combine([_standardise(np.log(t), cap) for t in turnover], [0.35, 0.35, 0.30])
        liquidity = _standardise(_residual(liquidity, [size], cap), cap)
        non_linear_size = _standardise(_residual(size**3, [size], cap), cap)

        exposure = {
            "beta": beta,
            "momentum": _fill_missing(momentum, dummies, size, cap),
            "size": size,
            "earnings_yield": earnings_yield,
            "residual_volatility": residual_volatility,
            "growth": growth,
            "book_to_price": book_to_price,
            "leverage": leverage,
            "liquidity": _fill_missing(liquidity, dummies, size, cap),
            "non_linear_size": non_linear_size,
        }
        return np.column_stack([exposure[s] for s in STYLE_FACTORS]), volatility_raw

    # -- indices -----------------------------------------------------------------

    def _review_days(self) -> list[tuple[int, int]]:
        """(ranking day, effective day) of each review; the first day opens with one.

        Reviews take effect after the second Friday of June and December, ranked
        on the last trading day of May and November.  A ranking day of -1 means
        the close before the first day.
        """
        reviews = [(-1, 0)]
        for year in range(self.days[0].year, self.days[-1].year + 1):
            for month in (6, 12):
                first = pd.Timestamp(year, month, 1)
                second_friday = first + pd.Timedelta(days=(4 - first.weekday()) % 7 + 7)
                effective = int(self.days.searchsorted(second_friday, side="right"))
                if 0 < effective < self.n_days:
                    ranking = int(self.days.searchsorted(first)) - 1
                    reviews.append((ranking, effective))
        return reviews

    def _build_indices(self) -> np.ndarray:
        """Daily index returns; the weights go to ``index_weight`` (days, indices, stocks)."""
        # New listings float a small part of their shares until the lock-up ends.
        locked = (np.arange(self.n_days)[:, None] < self.list_index + _TRADING_DAYS_PER_YEAR) & (
            ~self.listed_before
        )
        float_share = np.where(locked, self.ipo_float_share, self.float_share)
        self.float_cap = self.cap * float_share
        initial_float = np.where(self.listed_before, self.initial_cap * float_share[0], np.nan)
        close_before = np.vstack([initial_float, self.float_cap[:-1]])
        listed = pd.DatetimeIndex(self.listed)

        index_returns = np.full((self.n_days, len(_INDICES)), np.nan)
        self.index_weight = np.zeros((self.n_days, len(_INDICES), self.n))
        reviews = self._review_days()
        for k, (ranking, effective) in enumerate(reviews):
            stop = reviews[k + 1][1] if k + 1 < len(reviews) else self.n_days
            check = max(ranking, 0)
            ranking_date = self.days[0] if ranking < 0 else self.days[ranking]
            rank_cap = close_before[ranking + 1]
            eligible = np.flatnonzero(
                (listed <= ranking_date - _INDEX_MIN_LISTED)
                & ~self.suspended[check]
                & (self.delist_index > effective)
                & np.isfinite(rank_cap)
            )
            ranked = eligible[np.argsort(-rank_cap[eligible], kind="stable")]
            hs300, csi500, csi1000 = ranked[:300], ranked[300:800], ranked[800:1800]
            tiers = {_HS300: hs300, _CSI500: csi500, _CSI800: ranked[:800], _CSI1000: csi1000}
            for i, index in enumerate(_INDICES):
                members = np.sort(tiers[index])
                if members.size:
                    weights = _capped_weights(close_before[effective, members], _INDEX_WEIGHT_LIMIT)
                    (
                        index_returns[effective:stop, i],
                        self.index_weight[effective:stop, i, members],
                    ) = self._drift(effective, stop, members, weights)
        return index_returns

    def _drift(self, first, stop, members, weights):
        """Index returns and opening weights from ``first`` to ``stop``, drifting with returns.

        A constituent that is delisted drops out and the others are renormalised.
        """
        returns = np.nan_to_num(self.returns[first:stop, members])
        grown = np.vstack([np.ones(len(members)), np.cumprod(1.0 + returns, axis=0)[:-1]])
        alive = np.arange(first, stop)[:, None] < self.delist_index[members]
        held = weights * grown * alive
        held /= held.sum(axis=1, keepdims=True)
        return (held * returns).sum(axis=1), held

    # -- the tables --------------------------------------------------------------

    def _tables(self, index_returns: np.ndarray) -> BundleTables:
        days = self.days
        stock_ids = self.order_book_id
        index_ids = np.array([index.order_book_id for index in _INDICES], dtype=object)
        return BundleTables(
            instruments=self._instruments(),
            calendar=DEMO_CALENDAR,
            trading_dates=days,
            price_change_rate=pd.DataFrame(
                np.column_stack([self.returns, index_returns]),
                index=days,
                columns=np.r_[stock_ids, index_ids],
            ).sort_index(axis=1),
            market_cap_total=pd.DataFrame(self.cap, index=days, columns=stock_ids),
            market_cap_float=pd.DataFrame(self.float_cap, index=days, columns=stock_ids),
            turnover=pd.DataFrame(self.turnover, index=days, columns=stock_ids),
            index_weights=self._index_weights(index_ids),
            industry=self._industry_table(),
            fundamentals=self._fundamentals_table(),
            style_exposure=self._style_table(),
        )

    def _instruments(self) -> pd.DataFrame:
        de_listed = np.full(self.n, NOT_DELISTED, dtype=object)
        gone = self.delist_index < self.n_days
        de_listed[gone] = self.days[self.delist_index[gone]].strftime("%Y-%m-%d")
        stocks = pd.DataFrame(
            {
                "order_book_id": self.order_book_id,
                "symbol": self.symbol,
                "type": "CS",
                "exchange": [_BOARDS[b].exchange for b in self.board],
                "listed_date": pd.DatetimeIndex(self.listed).strftime("%Y-%m-%d"),
                "de_listed_date": de_listed,
            }
        )
        indices = pd.DataFrame(
            [
                (s.order_book_id, s.symbol, "INDX", "XSHG", s.listed_date, NOT_DELISTED)
                for s in _INDICES
            ],
            columns=list(INSTRUMENT_COLUMNS),
        )
        return pd.concat([stocks, indices], ignore_index=True)[list(INSTRUMENT_COLUMNS)]

    def _index_weights(self, index_ids: np.ndarray) -> pd.DataFrame:
        # Read in memory order: by date, then index identifier, then constituent.
        day, index, stock = np.nonzero(self.index_weight)
        return pd.DataFrame(
            {
                "date": self.days[day],
                # Taken from the few distinct texts: no millions of string objects.
                "index_id": pd.array(index_ids, dtype="str").take(index),
                "order_book_id": pd.array(self.order_book_id, dtype="str").take(stock),
                "weight": self.index_weight[day, index, stock],
            }
        )

    def _industry_table(self) -> pd.DataFrame:
        changed, day, new = self.reclassifications
        stock = np.r_[np.arange(self.n), changed]
        start = np.r_[self.listed, self.days.to_numpy()[day]]
        sw = np.r_[self.sw, new]
        citic = np.array([_SW_INDUSTRIES[k].citic for k in sw])
        citic[(sw == _SW_NON_BANK) & self.diversified_financial[stock]] = (
            _CITIC_DIVERSIFIED_FINANCIALS
        )
        frames = [
            pd.DataFrame(
                {
                    "order_book_id": self.order_book_id[stock],
                    "scheme": scheme,
                    "start_date": start,
                    "industry_code": codes,
                    "industry_name": names,
                }
            )
            for scheme, codes, names in (
                ("sws", [_SW_INDUSTRIES[k].code for k in sw], [_SW_INDUSTRIES[k].name for k in sw]),
                ("citic", [_CITIC_CODES[c] for c in citic], [_CITIC_INDUSTRIES[c] for c in citic]),
            )
        ]
        table = pd.concat(frames, ignore_index=True)
        return table.sort_values(["order_book_id", "scheme", "start_date"], ignore_index=True)

    def _fundamentals_table(self) -> pd.DataFrame:
        n_quarters = self.announce_day.shape[0]
        stock = np.tile(np.arange(self.n), n_quarters)
        # Reports from before the listing become public with the prospectus.
        listed_day = self.listed.astype("datetime64[D]").astype(np.int64)
        announce = np.maximum(self.announce_day, listed_day).ravel()
        delisted_day = np.where(
            self.delist_index < self.n_days,
            self.day_numbers[np.minimum(self.delist_index, self.n_days - 1)],
            np.iinfo(np.int64).max,
        )
        known = (announce <= self.day_numbers[-1]) & (announce < delisted_day[stock])
        table = pd.DataFrame(
            {
                "order_book_id": self.order_book_id[stock],
                "announce_date": announce.astype("datetime64[D]").astype("datetime64[ns]"),
                **{field: v.ravel() for field, v in self.fundamentals.items()},
            }
        )[known]
        # Several reports out on one day: the latest period is the one in force.
        table = table.drop_duplicates(["order_book_id", "announce_date"], keep="last")
        return table.sort_values(
            ["order_book_id", "announce_date"], kind="stable", ignore_index=True
        )

    def _style_table(self) -> pd.DataFrame:
        day = np.concatenate([d for d, _, _ in self.exposure_rows])
        stock = np.concatenate([s for _, s, _ in self.exposure_rows])
        values = np.vstack([x for _, _, x in self.exposure_rows])
        order = np.lexsort((stock, day))
        table = pd.DataFrame(values[order], columns=list(STYLE_FACTORS))
        table.insert(0, "order_book_id", self.order_book_id[stock[order]])
        table.insert(0, "date", self.days[day[order]])
        return table


# -- the cached bundle -------------------------------------------------------------


def _cache_dir() -> Path:
    explicit = os.environ.get("PLOVERA_CACHE_DIR")
    if explicit:
        return Path(explicit).expanduser()
    xdg = os.environ.get("XDG_CACHE_HOME")
    # Relative XDG paths are invalid and must be ignored.
    base = Path(xdg) if xdg and os.path.isabs(xdg) else Path.home() / ".cache"
    return base / "plovera"


@contextlib.contextmanager
def _exclusive(lock_path: Path) -> Iterator[None]:
    """Hold an exclusive lock on ``lock_path`` where the platform has advisory locks."""
    try:
        import fcntl
    except ImportError:  # no advisory locks: the atomic rename still keeps the cache whole
        yield
        return
    with open(lock_path, "a") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


def _is_usable(path: Path) -> bool:
    from quotaris.bundle import BundleSource

    if not path.exists():
        return False
    try:
        BundleSource(path)
    except BundleError:  # written in another bundle format, or damaged
        return False
    return True


def demo_bundle_path(progress: bool = True) -> Path:
    """The path of the demo market's bundle, built into the user's cache on first use.

    The cache is ``$PLOVERA_CACHE_DIR``, else ``$XDG_CACHE_HOME/plovera``, else
    ``~/.cache/plovera``.  A bundle from an older demo version or in a bundle
    format this installation cannot open is rebuilt.  ``progress`` shows a
    progress bar on standard error while building.
    """
    cache = _cache_dir()
    target = cache / f"demo-v{DEMO_VERSION}"
    if _is_usable(target):
        return target
    cache.mkdir(parents=True, exist_ok=True)
    with _exclusive(cache / f"{target.name}.lock"):
        if _is_usable(target):  # another process built it while we waited
            return target
        with tempfile.TemporaryDirectory(prefix=f".{target.name}-", dir=cache) as scratch:
            staging = Path(scratch) / target.name
            _write_demo_bundle(staging, progress)
            if target.exists():
                # Unusable leftovers go into the scratch directory, which is removed.
                os.replace(target, Path(scratch) / "outdated")
            try:
                os.replace(staging, target)
            except OSError:
                if not _is_usable(target):  # not a concurrent builder that got there first
                    raise
    return target


def _write_demo_bundle(path: Path, progress: bool) -> None:
    from tqdm import tqdm

    from quotaris.bundle import write_bundle

    if not progress:
        write_bundle(path, build_demo_tables())
        return
    with tqdm(total=100, desc="demo market", unit="%", file=sys.stderr) as bar:
        shown = ""

        def report(fraction: float, stage: str) -> None:
            nonlocal shown
            if stage != shown:
                bar.set_postfix_str(stage)
                shown = stage
            bar.update(round(90 * fraction) - bar.n)

        tables = build_demo_tables(progress=report)
        report(1.0, "writing")
        write_bundle(path, tables)
        bar.update(100 - bar.n)
