"""The tables of a data bundle, assembled from the simulated market."""

from __future__ import annotations

import numpy as np
import pandas as pd

from quotaris.demo.calibration import (
    BOARDS,
    CITIC_CODES,
    CITIC_DIVERSIFIED_FINANCIALS,
    CITIC_INDUSTRIES,
    INDICES,
    SW_INDUSTRIES,
    SW_NON_BANK,
    SW_NON_BANK_PARTS,
)
from quotaris.demo.fundamentals import Reports
from quotaris.demo.indices import Indices
from quotaris.demo.period import DEMO_CALENDAR, Period
from quotaris.demo.quotes import Quotes
from quotaris.demo.signal import DEMO_SIGNAL
from quotaris.demo.simulation import ExposureRows, Prices
from quotaris.demo.universe import Industries, Universe
from quotaris.source import NOT_DELISTED
from quotaris.tables import INSTRUMENT_COLUMNS, STYLE_FACTORS, BundleTables

__all__ = ["assemble_tables"]


def assemble_tables(
    period: Period,
    universe: Universe,
    industries: Industries,
    reports: Reports,
    prices: Prices,
    indices: Indices,
    index_closes: np.ndarray,
    quotes: Quotes,
    signal: pd.DataFrame,
) -> BundleTables:
    days = period.days
    stock_ids = universe.order_book_id
    index_ids = np.array([index.order_book_id for index in INDICES], dtype=object)
    return BundleTables(
        instruments=_instruments(period, universe),
        calendar=DEMO_CALENDAR,
        trading_dates=days,
        price_change_rate=pd.DataFrame(
            np.column_stack([prices.returns, indices.returns]),
            index=days,
            columns=np.r_[stock_ids, index_ids],
        ).sort_index(axis=1),
        market_cap_total=pd.DataFrame(prices.cap, index=days, columns=stock_ids),
        market_cap_float=pd.DataFrame(indices.float_cap, index=days, columns=stock_ids),
        turnover=pd.DataFrame(prices.turnover, index=days, columns=stock_ids),
        index_weights=_index_weights(days, stock_ids, index_ids, indices.weight),
        industry=_industry_table(period, universe, industries),
        fundamentals=_fundamentals_table(period, universe, reports),
        style_exposure=_style_table(days, stock_ids, prices.exposures),
        signals={DEMO_SIGNAL: signal},
        closes=pd.DataFrame(
            np.column_stack([prices.closes, index_closes]),
            index=days,
            columns=np.r_[stock_ids, index_ids],
        ).sort_index(axis=1),
        special_treatment=_special_treatment_table(period, universe, quotes),
    )


def _instruments(period: Period, universe: Universe) -> pd.DataFrame:
    de_listed = np.full(universe.n, NOT_DELISTED, dtype=object)
    gone = universe.delist_index < period.n_days
    de_listed[gone] = period.days[universe.delist_index[gone]].strftime("%Y-%m-%d")
    stocks = pd.DataFrame(
        {
            "order_book_id": universe.order_book_id,
            "symbol": universe.symbol,
            "type": "CS",
            "exchange": [BOARDS[b].exchange for b in universe.board],
            "listed_date": pd.DatetimeIndex(universe.listed).strftime("%Y-%m-%d"),
            "de_listed_date": de_listed,
        }
    )
    indices = pd.DataFrame(
        [(s.order_book_id, s.symbol, "INDX", "XSHG", s.listed_date, NOT_DELISTED) for s in INDICES],
        columns=list(INSTRUMENT_COLUMNS),
    )
    return pd.concat([stocks, indices], ignore_index=True)[list(INSTRUMENT_COLUMNS)]


def _special_treatment_table(period: Period, universe: Universe, quotes: Quotes) -> pd.DataFrame:
    periods = quotes.treatment
    running = periods.end >= period.n_days
    end = period.days[np.minimum(periods.end, period.n_days - 1)].to_numpy()
    table = pd.DataFrame(
        {
            "order_book_id": universe.order_book_id[periods.stock],
            "start_date": period.days[periods.start],
            "end_date": np.where(running, np.datetime64("NaT"), end),
            "status": periods.status,
        }
    )
    return table.sort_values(["order_book_id", "start_date"], ignore_index=True)


def _index_weights(
    days: pd.DatetimeIndex, stock_ids: np.ndarray, index_ids: np.ndarray, weight: np.ndarray
) -> pd.DataFrame:
    # Read in memory order: by date, then index identifier, then constituent.
    day, index, stock = np.nonzero(weight)
    return pd.DataFrame(
        {
            "date": days[day],
            # Taken from the few distinct texts: no millions of string objects.
            "index_id": pd.array(index_ids, dtype="str").take(index),
            "order_book_id": pd.array(stock_ids, dtype="str").take(stock),
            "weight": weight[day, index, stock],
        }
    )


def _industry_table(period: Period, universe: Universe, industries: Industries) -> pd.DataFrame:
    changed, day, new = industries.reclassifications
    stock = np.r_[np.arange(universe.n), changed]
    start = np.r_[universe.listed, period.days.to_numpy()[day]]
    sw = np.r_[universe.sw, new]
    citic = np.array([SW_INDUSTRIES[k].citic for k in sw])
    citic[(sw == SW_NON_BANK) & industries.diversified_financial[stock]] = (
        CITIC_DIVERSIFIED_FINANCIALS
    )
    split_codes = np.array([SW_INDUSTRIES[k].code for k in sw], dtype=object)
    split_names = np.array([SW_INDUSTRIES[k].name for k in sw], dtype=object)
    non_bank = sw == SW_NON_BANK
    part = np.where(
        industries.diversified_financial[stock], 2, np.where(industries.securities[stock], 0, 1)
    )[non_bank]
    split_codes[non_bank] = [SW_NON_BANK_PARTS[k][0] for k in part]
    split_names[non_bank] = [SW_NON_BANK_PARTS[k][1] for k in part]
    frames = [
        pd.DataFrame(
            {
                "order_book_id": universe.order_book_id[stock],
                "scheme": scheme,
                "start_date": start,
                "industry_code": codes,
                "industry_name": names,
            }
        )
        for scheme, codes, names in (
            ("sws", [SW_INDUSTRIES[k].code for k in sw], [SW_INDUSTRIES[k].name for k in sw]),
            ("citic", [CITIC_CODES[c] for c in citic], [CITIC_INDUSTRIES[c] for c in citic]),
            ("sws_nonbank_split", split_codes, split_names),
        )
    ]
    table = pd.concat(frames, ignore_index=True)
    return table.sort_values(["order_book_id", "scheme", "start_date"], ignore_index=True)


def _fundamentals_table(period: Period, universe: Universe, reports: Reports) -> pd.DataFrame:
    n_quarters = reports.announce_day.shape[0]
    stock = np.tile(np.arange(universe.n), n_quarters)
    n_days, day_numbers = period.n_days, period.day_numbers
    # Reports from before the listing become public with the prospectus.
    listed_day = universe.listed.astype("datetime64[D]").astype(np.int64)
    announce = np.maximum(reports.announce_day, listed_day).ravel()
    delisted_day = np.where(
        universe.delist_index < n_days,
        day_numbers[np.minimum(universe.delist_index, n_days - 1)],
        np.iinfo(np.int64).max,
    )
    known = (announce <= day_numbers[-1]) & (announce < delisted_day[stock])
    table = pd.DataFrame(
        {
            "order_book_id": universe.order_book_id[stock],
            "announce_date": announce.astype("datetime64[D]").astype("datetime64[ns]"),
            **{field: v.ravel() for field, v in reports.values.items()},
        }
    )[known]
    # Several reports out on one day: the latest period is the one in force.
    table = table.drop_duplicates(["order_book_id", "announce_date"], keep="last")
    return table.sort_values(["order_book_id", "announce_date"], kind="stable", ignore_index=True)


def _style_table(
    days: pd.DatetimeIndex, stock_ids: np.ndarray, rows: list[ExposureRows]
) -> pd.DataFrame:
    day = np.concatenate([r.day for r in rows])
    stock = np.concatenate([r.stock for r in rows])
    values = np.vstack([r.values for r in rows])
    order = np.lexsort((stock, day))
    table = pd.DataFrame(values[order], columns=list(STYLE_FACTORS))
    table.insert(0, "order_book_id", stock_ids[stock[order]])
    table.insert(0, "date", days[day[order]])
    return table
