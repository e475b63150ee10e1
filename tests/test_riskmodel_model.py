"""The risk model as a whole: point in time, factor form, new listings, fallbacks, extension."""

import dataclasses
import importlib.util
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quotaris
from plovera.const import CovModel
from plovera.exception import InvalidArgument
from plovera.riskmodel import covariance as cv
from plovera.riskmodel.model import HISTORY_DAYS, RiskModel
from plovera.riskmodel.panel import MarketPanel
from plovera.riskmodel.parameters import PARAMETERS
from quotaris import MemorySource

N, T, N_NEW = 120, 420, 3
START = pd.Timestamp("2022-01-03")
NAMES = ["银行", "电子", "医药生物", "计算机"]


def market_tables(n_days=T, seed=11):
    """Four industries, a market factor and size-dependent volatility; the last ``N_NEW``
    stocks list 15 trading days before the end, one stock is suspended for a while."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range(START, periods=n_days)
    n = N + N_NEW
    ids = [f"{600000 + i:06d}.XSHG" for i in range(n)]
    log_cap = rng.normal(22.0, 1.0, n)
    industry = rng.integers(0, len(NAMES), n)
    beta = 1.0 + 0.3 * rng.standard_normal(n)
    vol = 0.02 * np.exp(-0.2 * (log_cap - 22.0) + 0.2 * rng.standard_normal(n))
    returns = (
        beta * rng.normal(0.0003, 0.012, n_days)[:, None]
        + rng.normal(0.0, 0.006, (n_days, len(NAMES)))[:, industry]
        + vol * rng.standard_normal((n_days, n))
    )
    listed_day = np.full(n, -1000)
    listed_day[N:] = n_days - 15
    quoted = np.arange(n_days)[:, None] > listed_day
    returns = np.where(quoted, returns, np.nan)
    returns[200:230, 5] = np.nan
    cap = np.exp(log_cap) * np.cumprod(np.where(np.isfinite(returns), 1 + returns, 1.0), axis=0)
    cap = np.where(np.arange(n_days)[:, None] >= listed_day, cap, np.nan)
    turnover = np.where(
        np.isfinite(returns), np.exp(rng.normal(np.log(0.01), 0.3, (n_days, n))), np.nan
    )
    listed = [
        (START - pd.Timedelta(days=2000) if k < 0 else days[k]).strftime("%Y-%m-%d")
        for k in listed_day
    ]
    instruments = pd.DataFrame(
        {"order_book_id": ids, "symbol": ids, "type": "CS", "exchange": "XSHG", "listed_date": listed}
    )
    industries = pd.DataFrame(
        {
            "order_book_id": ids,
            "scheme": "sws",
            "start_date": pd.DatetimeIndex(listed),
            "industry_code": [str(801000 + k) for k in industry],
            "industry_name": [NAMES[k] for k in industry],
        }
    )
    rows = []
    for q in range(-9, n_days // 63 + 1):
        scale = np.exp(log_cap) * 1.02**q
        rows.append(
            pd.DataFrame(
                {
                    "order_book_id": ids,
                    "announce_date": START + pd.Timedelta(days=91 * q + 10),
                    "book_value": scale * rng.uniform(0.3, 0.8, n),
                    "ttm_earnings": scale * rng.uniform(0.02, 0.1, n),
                    "ttm_operating_cash_flow": scale * rng.uniform(0.02, 0.1, n),
                    "ttm_sales": scale * rng.uniform(0.9, 1.1, n),
                    "total_debt": scale * rng.uniform(0.2, 1.0, n),
                    "total_assets": scale * rng.uniform(2.0, 3.0, n),
                }
            )
        )
    frame = lambda values: pd.DataFrame(values, index=days, columns=ids)  # noqa: E731
    return dict(
        instruments=instruments,
        trading_dates=days,
        price_change_rate=frame(returns),
        market_cap_total=frame(cap),
        market_cap_float=frame(cap * 0.6),
        turnover=frame(turnover),
        industry=industries,
        fundamentals=pd.concat(rows),
    )


def load_panel(tables, n_days=None):
    """The panel of ``tables`` (its first ``n_days`` days only, when given)."""
    tables = dict(tables)
    if n_days is not None:
        days = tables["trading_dates"][:n_days]
        tables["trading_dates"] = days
        for name in ("price_change_rate", "market_cap_total", "market_cap_float", "turnover"):
            tables[name] = tables[name].loc[days]
    previous = quotaris.get_source()
    quotaris.init(MemorySource(tables.pop("instruments"), tables.pop("trading_dates"), **tables))
    try:
        ids = [i for i in quotaris.get_source().instruments["order_book_id"]] if False else None
        return MarketPanel.load(order_book_ids=list(tables["price_change_rate"].columns))
    finally:
        quotaris.init(previous)
