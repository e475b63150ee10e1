"""Quarterly reports of the demo companies, published with the lags the rules allow."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from quotaris.demo.calibration import ANNOUNCE_LAG, SW_BANKS, SW_INDUSTRIES, WARM_UP_QUARTERS
from quotaris.demo.numeric import ar1
from quotaris.demo.period import Period
from quotaris.demo.universe import Universe
from quotaris.tables import FUNDAMENTAL_FIELDS

__all__ = ["Reports", "draw_reports"]


class Reports(NamedTuple):
    """Quarters by stocks, from five years before the first day."""

    announce_day: np.ndarray  # days since 1970-01-01 the report comes out
    values: dict[str, np.ndarray]  # by fundamental field


def draw_reports(
    rng: np.random.Generator, period: Period, universe: Universe, growth_trait: np.ndarray
) -> Reports:
    """Quarterly reports from the period's grid of months, the warm-up quarters left out."""
    n = universe.n
    month_grid = period.month_grid
    quarter_pos = np.flatnonzero(month_grid.month % 3 == 0)
    n_quarters = quarter_pos.size
    ind = [SW_INDUSTRIES[k] for k in universe.sw]
    equity_ratio = np.array([i.equity_ratio for i in ind])
    sales_to_book = np.array([i.sales_to_book for i in ind])
    book_to_price = np.array([i.book_to_price for i in ind])
    bank = universe.sw == SW_BANKS

    period_end = month_grid[quarter_pos].to_timestamp(how="end").normalize()
    reference = np.where(universe.listed_before, period.days[0].to_datetime64(), universe.listed)
    years_to_reference = (reference - period_end[0].to_datetime64()) / np.timedelta64(365, "D")
    target = 0.5 * book_to_price * np.exp(rng.normal(0.0, 0.5, n))
    book = universe.initial_cap * target * np.exp(-0.055 * years_to_reference)
    floor = 0.05 * book
    log_sales = np.log(book * sales_to_book) + rng.normal(0.0, 0.4, n)
    roe_mean = rng.normal(0.08, 0.05, n) + 0.03 * bank
    roe = roe_mean.copy()
    equity_noise = ar1(rng, n_quarters, n, 0.9)
    equity_base = np.clip(equity_ratio * np.exp(rng.normal(0.0, 0.3, n)), 0.04, 0.9)
    debt_share = np.where(bank, 0.9, rng.uniform(0.35, 0.8, n))

    quarterly_earnings = np.empty((n_quarters, n))
    values = {field: np.empty((n_quarters, n)) for field in FUNDAMENTAL_FIELDS}
    shocks = rng.standard_normal((3, n_quarters, n))
    for q, pos in enumerate(quarter_pos):
        roe = roe_mean + 0.85 * (roe - roe_mean) + 0.035 * shocks[0, q]
        earnings = roe / 4.0 * book
        book = np.maximum(book + earnings - 0.3 * np.maximum(earnings, 0.0), floor)
        log_sales += (0.07 + 0.12 * growth_trait[pos]) / 4.0 + 0.04 * shocks[1, q]
        quarterly_earnings[q] = earnings
        ttm_earnings = quarterly_earnings[max(0, q - 3) : q + 1].sum(axis=0) * 4.0 / min(q + 1, 4)
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
    lo = np.array([ANNOUNCE_LAG[m][0] for m in month_grid.month[quarter_pos]])[:, None]
    hi = np.array([ANNOUNCE_LAG[m][1] for m in month_grid.month[quarter_pos]])[:, None]
    lag = np.round(lo + (hi - lo) * np.clip(timeliness + lag_noise, 0.0, 1.0)).astype(np.int64)
    end_day = period_end.to_numpy().astype("datetime64[D]").astype(np.int64)[:, None]
    announce = np.maximum.accumulate(end_day + lag, axis=0)

    kept = slice(WARM_UP_QUARTERS, None)
    return Reports(announce[kept], {field: np.round(v[kept]) for field, v in values.items()})
