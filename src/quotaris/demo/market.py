"""The simulation of the demo market, stage by stage."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from quotaris.demo.assembly import assemble_tables
from quotaris.demo.calibration import (
    MIN_INDUSTRY_MEMBERS,
    N_STOCKS,
    SECURITIES_SHARE,
    SW_INDUSTRIES,
)
from quotaris.demo.fundamentals import draw_reports
from quotaris.demo.indices import build_indices
from quotaris.demo.period import demo_period
from quotaris.demo.quotes import draw_quotes, index_levels
from quotaris.demo.signal import demo_signal
from quotaris.demo.simulation import Progress, draw_factor_returns, simulate_prices
from quotaris.demo.universe import draw_industries, draw_suspensions, draw_traits, draw_universe
from quotaris.tables import STYLE_FACTORS, BundleTables

__all__ = [
    "DEMO_END",
    "DEMO_SEED",
    "DEMO_START",
    "DemoMarket",
    "build_demo_tables",
    "simulate_demo_market",
]

DEMO_SEED = 20150105
DEMO_START = "2015-01-05"
DEMO_END = "2025-12-31"


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
    n_stocks: int = N_STOCKS,
) -> BundleTables:
    """The tables of the demo market; the same seed, period and size give the same content."""
    return simulate_demo_market(seed, progress, start=start, end=end, n_stocks=n_stocks).tables


def simulate_demo_market(
    seed: int = DEMO_SEED,
    progress: Progress | None = None,
    *,
    start: str = DEMO_START,
    end: str = DEMO_END,
    n_stocks: int = N_STOCKS,
) -> DemoMarket:
    """Simulate the demo market of ``n_stocks`` stocks (listed at some time, delisted
    ones included) over the trading days from ``start`` to ``end``.

    ``progress``, when given, is called with the fraction done and the stage.
    """
    if isinstance(seed, bool) or not isinstance(seed, int | np.integer) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, got {seed!r}")
    fewest = MIN_INDUSTRY_MEMBERS * len(SW_INDUSTRIES)
    if (
        isinstance(n_stocks, bool)
        or not isinstance(n_stocks, int | np.integer)
        or n_stocks < fewest
    ):
        raise ValueError(
            f"n_stocks must be an integer of at least {fewest} "
            f"({MIN_INDUSTRY_MEMBERS} per industry), got {n_stocks!r}"
        )
    period = demo_period(start, end)
    report = progress if progress is not None else _ignore_progress
    # Every stage draws from the one generator: their order fixes the content.
    rng = np.random.Generator(np.random.PCG64(int(seed)))
    report(0.0, "universe")
    universe = draw_universe(rng, period, int(n_stocks))
    industries = draw_industries(rng, period, universe)
    suspended = draw_suspensions(rng, period, universe)
    traits = draw_traits(rng, period, universe.n)
    reports = draw_reports(rng, period, universe, traits.growth)
    factors = draw_factor_returns(rng, period.n_days)
    # First prices and special treatment draw from a generator of their own.
    quotes = draw_quotes(seed, period, universe, reports)
    prices = simulate_prices(
        rng, period, universe, industries, suspended, traits, reports, factors, quotes, report
    )
    # Drawn after everything else, so that the rest of the market stays as it was.
    industries = industries._replace(securities=rng.random(universe.n) < SECURITIES_SHARE)
    report(0.8, "indices")
    indices = build_indices(period, universe, suspended, prices.cap, prices.returns)
    index_closes = index_levels(indices.returns)
    # The signal draws from a generator of its own: the rest of the market stays as it was.
    signal = demo_signal(
        pd.DataFrame(prices.returns, index=period.days, columns=universe.order_book_id), seed
    )
    report(0.9, "tables")
    tables = assemble_tables(
        period, universe, industries, reports, prices, indices, index_closes, quotes, signal
    )
    factor_returns = pd.DataFrame(
        np.column_stack([factors.country, factors.industry, factors.style]),
        index=period.days,
        columns=["country", *(ind.name for ind in SW_INDUSTRIES), *STYLE_FACTORS],
    )
    regime = pd.Series(factors.regime, index=period.days, name="volatility_regime")
    report(1.0, "tables")
    return DemoMarket(tables, factor_returns, regime)


def _ignore_progress(fraction: float, stage: str) -> None:
    del fraction, stage
