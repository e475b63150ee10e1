"""A synthetic A-share market to try plovera on without a data subscription.

:func:`build_demo_tables` simulates 1,100 stocks (or ``n_stocks``) of both
exchanges on the real Shanghai trading calendar: listings before and during the period, IPOs,
delistings, suspensions, two level-1 industry schemes (and Shenwan with 非银金融
split into its level-2 parts) with a few
reclassifications, quarterly fundamentals published with reporting lags,
four size indices reviewed twice a year, periods of special treatment (ST,
*ST) for small loss-making companies, and a monthly alpha signal of modest
skill (``demo_alpha``).  Returns come from a factor model
(country, industries and the ten styles) under a slowly switching volatility
regime, with fat-tailed specific returns; closes are quoted in fen and held
within the daily price limits of each board, so limit-up and limit-down closes
occur, and the changes are those between the closes.

The style exposures are computed the way a risk model computes them, from the
caps, turnover, returns and fundamentals of the market itself, and they are
the exposures that drive the returns; they are stored with the market, so a
model fitted to it can be checked against the truth.

:func:`demo_bundle_path` builds the market once into the user's cache and
reuses it afterwards.

The stages, in the order a run takes them: :mod:`.period` (the trading days),
:mod:`.universe` (stocks, industries, halts, traits), :mod:`.fundamentals`,
:mod:`.quotes` (first prices, special treatment, closes within the limits),
:mod:`.simulation` (factor returns, then prices month by month with the
:mod:`.exposures` of each month), :mod:`.indices`, :mod:`.signal` and
:mod:`.assembly` (the bundle's tables); :mod:`.market` runs them,
:mod:`.calibration` holds what they are calibrated to, :mod:`.cache` keeps the
built bundle.
"""

from quotaris.demo.cache import DEMO_VERSION, demo_bundle_path
from quotaris.demo.market import (
    DEMO_END,
    DEMO_SEED,
    DEMO_START,
    DemoMarket,
    build_demo_tables,
    simulate_demo_market,
)
from quotaris.demo.period import DEMO_CALENDAR
from quotaris.demo.simulation import Progress

__all__ = [
    "DEMO_CALENDAR",
    "DEMO_END",
    "DEMO_SEED",
    "DEMO_START",
    "DEMO_VERSION",
    "DemoMarket",
    "Progress",
    "build_demo_tables",
    "demo_bundle_path",
    "simulate_demo_market",
]
