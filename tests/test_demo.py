"""The demo market: structure, indices, determinism, the factor truth and the cache."""

import ast
import contextlib
import hashlib
import importlib
import itertools
import pkgutil
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import exchange_calendars
import numpy as np
import pandas as pd
import pytest

from plovera.const import STYLE_FACTORS
from quotaris import demo
from quotaris.demo import exposures, numeric, period, universe
from quotaris.demo.calibration import BOARDS
from quotaris.source import NOT_DELISTED, BundleError
from quotaris.tables import FUNDAMENTAL_FIELDS, INSTRUMENT_COLUMNS

HS300, CSI500, CSI800, CSI1000 = "000300.XSHG", "000905.XSHG", "000906.XSHG", "000852.XSHG"
INDICES = (HS300, CSI500, CSI800, CSI1000)
DAILY_TABLES = ("price_change_rate", "market_cap_total", "market_cap_float", "turnover")
SHORT = {"start": "2020-01-02", "end": "2020-12-31"}

# The Shenwan 2021 level-1 industries and their index codes, from the risk-model notes.
SHENWAN = {
    "801010": "农林牧渔", "801030": "基础化工", "801040": "钢铁", "801050": "有色金属",
    "801080": "电子", "801880": "汽车", "801110": "家用电器", "801120": "食品饮料",
    "801130": "纺织服饰", "801140": "轻工制造", "801150": "医药生物", "801160": "公用事业",
    "801170": "交通运输", "801180": "房地产", "801200": "商贸零售", "801210": "社会服务",
    "801230": "综合", "801710": "建筑材料", "801720": "建筑装饰", "801730": "电力设备",
    "801740": "国防军工", "801750": "计算机", "801760": "传媒", "801770": "通信",
    "801780": "银行", "801790": "非银金融", "801890": "机械设备", "801950": "煤炭",
    "801960": "石油石化", "801970": "环保", "801980": "美容护理",
}  # fmt: skip


@pytest.fixture(scope="module")
def market():
    return demo.simulate_demo_market()


@pytest.fixture(scope="module")
def tables(market):
    return market.tables


@pytest.fixture(scope="module")
def stocks(tables):
    frame = tables.instruments[tables.instruments["type"] == "CS"].set_index("order_book_id")
    listed = pd.to_datetime(frame["listed_date"])
    delisted = pd.to_datetime(frame["de_listed_date"].replace(NOT_DELISTED, "2262-01-01"))
    return frame.assign(listed=listed, delisted=delisted)


def first_trading_day_after_second_friday(days, year, month):
    first = pd.Timestamp(year, month, 1)
    second_friday = first + pd.Timedelta(days=(4 - first.weekday()) % 7 + 7)
    return days[days > second_friday][0]


def review_dates(days):
    return [
        first_trading_day_after_second_friday(days, year, month)
        for year in range(2015, 2026)
        for month in (6, 12)
    ]


# -- the universe ------------------------------------------------------------------


# The calendar package reads a pandas attribute that pandas is retiring.
@pytest.mark.filterwarnings("ignore:Series.values returning an ndarray")
def test_calendar_and_instruments(tables, stocks):
    sessions = exchange_calendars.get_calendar("XSHG").sessions_in_range(
        demo.DEMO_START, demo.DEMO_END
    )
    assert tables.calendar == "XSHG"
    assert tables.trading_dates.equals(pd.DatetimeIndex(sessions.to_numpy()))
    for name in DAILY_TABLES:
        assert getattr(tables, name).index.equals(tables.trading_dates)
    assert list(tables.instruments.columns) == list(INSTRUMENT_COLUMNS)
    assert tables.instruments["order_book_id"].is_unique
    assert 900 <= len(stocks) <= 1200 and stocks["symbol"].is_unique
    codes = stocks.index.to_series()
    assert codes.str.fullmatch(r"(60[0135]|688)\d{3}\.XSHG|(00[0-3]|30[01])\d{3}\.XSHE").all()
    assert (stocks["exchange"] == codes.str[-4:]).all()
    start = pd.Timestamp(demo.DEMO_START)
    assert 0.7 < (stocks["listed"] < start).mean() < 0.95
    assert (stocks.loc[codes.str.startswith("688"), "listed"] >= "2019-07-22").all()
    assert (stocks.loc[codes.str.startswith("301"), "listed"] >= "2020-08-24").all()
    assert 5 <= (stocks["de_listed_date"] != NOT_DELISTED).sum() <= 50
    indices = tables.instruments.set_index("order_book_id").loc[list(INDICES)]
    assert (indices["type"] == "INDX").all() and (indices["exchange"] == "XSHG").all()
    assert (pd.to_datetime(indices["listed_date"]) < start).all()


@pytest.mark.parametrize("name", DAILY_TABLES)
def test_values_only_while_listed(tables, stocks, name):
    frame = getattr(tables, name)[stocks.index]
    days = frame.index.to_numpy()[:, None]
    listed = stocks["listed"].to_numpy()[None, :]
    delisted = stocks["delisted"].to_numpy()[None, :]
    present = frame.notna().to_numpy()
    assert not (present & ((days < listed) | (days >= delisted))).any()
    if name == "price_change_rate":  # the listing day has no previous close
        assert not (present & (days == listed)).any()


def test_caps_follow_prices_and_stay_during_suspensions(tables, stocks):
    returns = tables.price_change_rate[stocks.index].to_numpy()
    total = tables.market_cap_total[stocks.index].to_numpy()
    free = tables.market_cap_float[stocks.index].to_numpy()
    assert np.nanmin(total) > 0
    share = free / total
    assert np.nanmin(share) >= 0.2 - 1e-12 and np.nanmax(share) <= 1 + 1e-12
    quoted = np.isfinite(returns[1:]) & np.isfinite(total[:-1])
    np.testing.assert_allclose(total[1:][quoted], total[:-1][quoted] * (1 + returns[1:][quoted]))
    halted = np.isnan(returns[1:]) & np.isfinite(total[:-1]) & np.isfinite(total[1:])
    assert halted.sum() > 1000
    np.testing.assert_array_equal(total[1:][halted], total[:-1][halted])
    turnover = tables.turnover[stocks.index]
    assert turnover.iloc[1:].isna().to_numpy()[halted].all()
    assert 0.005 < np.nanmedian(turnover) < 0.05
    # Small caps trade more of their float than large caps.
    recent = pd.DataFrame({"cap": total[-1], "turnover": turnover.iloc[-60:].mean().to_numpy()})
    assert recent.corr(method="spearman").loc["cap", "turnover"] < -0.2
    # Delisted stocks are quoted up to the day before they leave, halted or not.
    gone = stocks["delisted"] <= tables.trading_dates[-1]
    last_days = tables.trading_dates.searchsorted(stocks.loc[gone, "delisted"]) - 1
    assert np.isfinite(total[:, gone.to_numpy()][last_days, np.arange(gone.sum())]).all()


def fen_limits(tables, stocks):
    """Independently of quotaris.limits: each stock-day's limit prices in whole fen from
    the previous close, and where a limit applies (days by stocks)."""
    closes = tables.closes[stocks.index]
    days = closes.index
    codes = stocks.index.to_series()
    star = codes.str.match(r"68[89]\d{3}\.XSHG").to_numpy()
    chinext = codes.str.match(r"30\d{4}\.XSHE").to_numpy()
    reform = (days >= "2020-08-24")[:, None]
    special = np.zeros(closes.shape, dtype=bool)
    for row in tables.special_treatment.itertuples():
        end = row.end_date if pd.notna(row.end_date) else days[-1]
        special[
            (days >= row.start_date) & (days <= end), codes.index.get_loc(row.order_book_id)
        ] = True
    percent = np.where(star | (chinext & reform), 20, np.where(special, 5, 10))
    # The first five sessions (the listing day the first) of STAR and reformed ChiNext
    # listings trade freely; the listing day itself has no previous close.
    listing = days.searchsorted(stocks["listed"].to_numpy())
    age = np.arange(len(days))[:, None] - listing
    free = (star | (chinext & (stocks["listed"] >= "2020-08-24").to_numpy())) & (age < 5)
    previous = np.rint(closes.ffill().shift(1).to_numpy() * 100)
    with np.errstate(invalid="ignore"):
        up = np.floor((previous * (100 + percent) + 50) / 100)
        down = np.floor((previous * (100 - percent) + 50) / 100)
    limited = ~free & np.isfinite(previous) & closes.notna().to_numpy()
    return np.rint(closes.to_numpy() * 100), up, down, limited, special


def test_returns_within_price_limits(tables, stocks):
    fen, up, down, limited, special = fen_limits(tables, stocks)
    quoted = np.isfinite(fen)
    np.testing.assert_allclose(tables.closes[stocks.index].to_numpy()[quoted] * 100, fen[quoted])
    assert (fen[quoted] >= 1).all()
    assert ((fen[limited] <= up[limited]) & (fen[limited] >= down[limited])).all()
    at_up, at_down = limited & (fen == up), limited & (fen == down)
    assert 5_000 < at_up.sum() < 20_000 and 5_000 < at_down.sum() < 20_000
    chinext = stocks.index.str.startswith("30")
    assert at_up[:, chinext].sum() > 100 and (at_down & special).sum() > 10
    # A handful on most days, many on a day of panic.
    per_day = at_down.sum(axis=1)
    assert np.median(per_day) <= 5 and per_day.max() > 200


def test_changes_are_those_of_the_closes(tables, stocks):
    closes, changes = tables.closes, tables.price_change_rate
    assert closes.columns.equals(changes.columns) and closes.index.equals(changes.index)
    previous = closes.ffill().shift(1)
    implied = (closes / previous - 1.0).where(previous.notna(), changes)
    # Exactly: the stored changes are computed from the closes in fen.
    pd.testing.assert_frame_equal(implied[stocks.index], changes[stocks.index], check_exact=True)
    pd.testing.assert_frame_equal(implied[list(INDICES)], changes[list(INDICES)])
    assert not (changes.notna() & closes.isna()).any().any()
    # A change without a close before it in the table is the first of a stock listed
    # before the first day, against its close before then.
    first_change = changes.notna() & previous.isna()
    assert (first_change.sum() <= 1).all()
    early = first_change.any()[stocks.index]
    assert (stocks.loc[early, "listed"] < closes.index[0]).all()
    first = closes[stocks.index].bfill().iloc[0]
    assert first.min() > 2.5 and first.max() < 100 and 8 < first.median() < 18


def test_special_treatment_of_weak_small_stocks(tables, stocks):
    periods = tables.special_treatment
    assert 25 <= len(periods) <= 80 and set(periods["status"]) == {"ST", "*ST"}
    assert (periods.groupby("order_book_id")["start_date"].count() <= 3).all()
    days = tables.trading_dates
    last = periods["end_date"].fillna(days[-1])
    sessions = days.searchsorted(last) - days.searchsorted(periods["start_date"]) + 1
    assert sessions.min() >= 20 and sessions.max() <= 24 * 21
    # Warned companies are small: their caps on the first day of the warning.
    caps = tables.market_cap_total
    starts = zip(periods["start_date"], periods["order_book_id"], strict=True)
    at_start = [caps.at[day, stock] for day, stock in starts]
    market = caps.loc[periods["start_date"]].median(axis=1).to_numpy()
    assert np.mean(np.array(at_start) < market) > 0.75
    # Most companies that leave the market carry the warning to their last day.
    gone = stocks[stocks["de_listed_date"] != NOT_DELISTED]
    last_day = pd.Series(days[days.searchsorted(gone["delisted"]) - 1], index=gone.index)
    ends = periods.set_index("order_book_id")["end_date"]
    warned = ends[ends.index.isin(gone.index)]
    assert (warned == last_day.reindex(warned.index)).sum() >= len(gone) / 3


def test_industries(tables, stocks):
    industry = tables.industry
    sws = industry[industry["scheme"] == "sws"]
    citic = industry[industry["scheme"] == "citic"]
    pairs = sws[["industry_code", "industry_name"]].drop_duplicates()
    assert set(pairs.itertuples(index=False, name=None)) == set(SHENWAN.items())
    assert sorted(set(citic["industry_code"])) == [f"CI{5001 + i:06d}" for i in range(30)]
    # Every stock starts in both schemes on its listing day.
    first = industry.groupby(["order_book_id", "scheme"])["start_date"].min().unstack()
    assert (first["sws"] == stocks["listed"].reindex(first.index)).all()
    assert (first["citic"] == first["sws"]).all()
    # CITIC follows Shenwan: one industry for each, except non-bank financials that split.
    paired = sws.merge(citic, on=["order_book_id", "start_date"], suffixes=("_sw", "_ci"))
    assert len(paired) == len(sws) == len(citic)
    targets = paired.groupby("industry_name_sw")["industry_name_ci"].unique()
    assert set(targets.pop("非银金融")) == {"非银行金融", "综合金融"}
    assert (targets.map(len) == 1).all()
    changed = sws.groupby("order_book_id").size()
    assert 5 <= (changed > 1).sum() <= 50


# The sorted codes of the default market: larger markets must leave it as it was.
DEFAULT_CODES_DIGEST = "ee84fc9040c7cba6ab60b9712c9357055ea52aa74e9da45c306d885441a7f802"


def test_the_default_market_keeps_its_codes(stocks):
    codes = ",".join(sorted(stocks.index)).encode()
    assert hashlib.sha256(codes).hexdigest() == DEFAULT_CODES_DIGEST


def draw_universe(n_stocks, start=demo.DEMO_START):
    rng = np.random.Generator(np.random.PCG64(demo.DEMO_SEED))
    return universe.draw_universe(rng, period.demo_period(start, demo.DEMO_END), n_stocks)


@pytest.mark.parametrize(
    ("n_stocks", "start"),
    [(5500, demo.DEMO_START), (5500, "2016-01-04"), (8000, demo.DEMO_START), (12000, "2016-01-04")],
)
def test_large_markets_number_their_listings_in_six_digits(n_stocks, start):
    drawn = draw_universe(n_stocks, start)
    codes = pd.Series(drawn.order_book_id.astype(str))
    assert len(codes) == n_stocks and codes.is_unique and codes.is_monotonic_increasing
    # Shanghai's A-share codes begin with 6, Shenzhen's with 0 or 3.
    assert codes.str.fullmatch(r"6\d{5}\.XSHG|[03]\d{5}\.XSHE").all()
    assert (codes.str[:3].isin(["688", "689"]) == (drawn.board == 4)).all()
    # Some boards ran out of their own prefix, and went on in listing order.
    assert not codes.str[:3].isin([b.prefix for b in BOARDS]).all()
    for b in range(len(BOARDS)):
        on_board = drawn.board == b
        listed = drawn.listed[on_board][np.argsort(codes[on_board].to_numpy())]
        assert (np.diff(listed) >= np.timedelta64(0)).all(), BOARDS[b].prefix


def test_a_market_too_large_for_its_codes_is_refused():
    with pytest.raises(ValueError, match="n_stocks=40000 .* board 600"):
        draw_universe(40000)


@pytest.mark.parametrize(
    ("n_stocks", "largest"),
    [(93, {HS300: 93, CSI800: 93}), (5500, {HS300: 300, CSI500: 500, CSI800: 800, CSI1000: 1000})],
)
def test_markets_of_other_sizes(n_stocks, largest):
    tables = demo.build_demo_tables(n_stocks=n_stocks, **SHORT)
    instruments = tables.instruments
    stocks = instruments[instruments["type"] == "CS"]
    assert len(stocks) == n_stocks and instruments["order_book_id"].is_unique
    assert stocks["symbol"].is_unique
    assert (stocks["order_book_id"].str[-4:] == stocks["exchange"]).all()
    sws = tables.industry[tables.industry["scheme"] == "sws"]
    assert set(sws["industry_code"]) == set(SHENWAN)
    assert tables.price_change_rate.shape[1] == n_stocks + len(INDICES)
    # The indices take the largest stocks up to their sizes; a small market fills only some.
    held = tables.index_weights.groupby(["index_id", "date"]).size().groupby("index_id").max()
    assert set(held.index) == set(largest)
    assert all(0 < held[index] <= size for index, size in largest.items())
    assert n_stocks < 300 or held.to_dict() == largest


def test_fundamentals(tables, stocks):
    fundamentals = tables.fundamentals
    assert list(fundamentals.columns) == ["order_book_id", "announce_date", *FUNDAMENTAL_FIELDS]
    assert not fundamentals.duplicated(["order_book_id", "announce_date"]).any()
    when = fundamentals.merge(
        stocks[["listed", "delisted"]], left_on="order_book_id", right_index=True
    )
    assert (when["announce_date"] >= when["listed"]).all()
    assert (when["announce_date"] < when["delisted"]).all()
    assert (when["announce_date"] <= tables.trading_dates[-1]).all()
    assert set(fundamentals["order_book_id"]) == set(stocks.index)
    assert (fundamentals["book_value"] > 0).all()
    assert (fundamentals["total_debt"] <= fundamentals["total_assets"]).all()
    assert 0.03 < (fundamentals["ttm_earnings"] < 0).mean() < 0.3
    # Reports come out within the legal windows: annual by April 30, the first
    # quarter in the second half of April, the interim by August 31, the third
    # quarter in the second half of October; older ones with the prospectus.
    reported = when.loc[when["announce_date"] != when["listed"], "announce_date"]
    month, day = reported.dt.month, reported.dt.day
    in_window = (
        month.isin([3, 4, 8])
        | ((month == 2) & (day == 29))
        | ((month == 7) & (day >= 25))
        | ((month == 10) & (day >= 20))
    )
    assert in_window.all()
    assert (reported.dt.year.value_counts().loc[2016:2025] > 3000).all()


# -- the indices ---------------------------------------------------------------------


@pytest.fixture(scope="module")
def held(tables):
    """Each index's weights as a trading days by identifiers table, 0 outside the index."""
    weights = tables.index_weights
    days, ids = tables.trading_dates, tables.price_change_rate.columns
    rows = days.get_indexer(weights["date"])
    columns = ids.get_indexer(weights["order_book_id"])
    dense = {}
    for index_id in INDICES:
        mine = (weights["index_id"] == index_id).to_numpy()
        values = np.zeros((len(days), len(ids)))
        values[rows[mine], columns[mine]] = weights["weight"].to_numpy()[mine]
        dense[index_id] = pd.DataFrame(values, index=days, columns=ids)
    return dense


def test_index_weights_add_up_every_day(tables):
    weights = tables.index_weights
    assert list(weights.columns) == ["date", "index_id", "order_book_id", "weight"]
    sums = weights.groupby(["index_id", "date"])["weight"].sum()
    np.testing.assert_allclose(sums.to_numpy(), 1.0, rtol=0, atol=1e-12)
    assert (weights["weight"] > 0).all()
    for index_id in INDICES:
        dates = weights.loc[weights["index_id"] == index_id, "date"].unique()
        assert pd.DatetimeIndex(dates).equals(tables.trading_dates)


def test_constituents_are_seasoned_and_listed(tables, stocks):
    weights = tables.index_weights.join(stocks[["listed", "delisted"]], on="order_book_id")
    assert (weights["date"] - weights["listed"] >= pd.Timedelta(days=91)).all()
    assert (weights["date"] < weights["delisted"]).all()


def test_index_families(held):
    hs300, csi500, csi800, csi1000 = (held[index_id].to_numpy() > 0 for index_id in INDICES)
    assert not (hs300 & csi500).any() and not (csi800 & csi1000).any()
    np.testing.assert_array_equal(hs300 | csi500, csi800)
    assert hs300.sum(axis=1).max() == 300 and csi500.sum(axis=1).max() == 500
    assert csi1000.sum(axis=1).min() >= 10


def test_reviews_rank_by_float_cap_and_cap_weights(tables, stocks, held):
    days = tables.trading_dates
    returns = tables.price_change_rate
    float_cap = tables.market_cap_float
    largest = []
    for effective in review_dates(days):
        ranking = days[days < effective.replace(day=1)][-1]
        previous = days[days < effective][-1]
        listed = stocks["listed"] <= ranking - pd.Timedelta(days=91)
        halted = returns.loc[ranking, stocks.index].isna() & (stocks["listed"] < ranking)
        alive = stocks["delisted"] > effective
        eligible = stocks.index[listed & ~halted & alive]
        ranked = float_cap.loc[ranking, eligible].sort_values(ascending=False, kind="stable")
        for index_id, chosen in ((HS300, ranked.index[:300]), (CSI500, ranked.index[300:800])):
            members = held[index_id].loc[effective]
            assert set(members.index[members > 0]) == set(chosen)
        for index_id in INDICES:
            weights = held[index_id].loc[effective]
            weights = weights[weights > 0]
            assert weights.max() <= 0.1 + 1e-12
            free = weights[weights < 0.1 - 1e-12]
            ratio = free / float_cap.loc[previous, free.index]
            np.testing.assert_allclose(ratio, ratio.iloc[0], rtol=1e-10)
        largest.append(held[HS300].loc[effective].max())
    assert max(largest) == pytest.approx(0.1)  # the cap binds at some reviews


def test_index_returns_and_drift(tables, held):
    stock_returns = tables.price_change_rate.fillna(0.0).to_numpy()
    reviews = tables.trading_dates.isin(review_dates(tables.trading_dates))[1:]
    for index_id in INDICES:
        weights = held[index_id].to_numpy()
        expected = (weights * stock_returns).sum(axis=1)
        np.testing.assert_allclose(tables.price_change_rate[index_id], expected, atol=1e-14)
        # Between changes of membership each weight grows with its stock.
        grown = weights * (1 + stock_returns)
        grown = grown[:-1] / grown[:-1].sum(axis=1, keepdims=True)
        same = ((weights[1:] > 0) == (weights[:-1] > 0)).all(axis=1) & ~reviews
        np.testing.assert_allclose(weights[1:][same], grown[same], rtol=0, atol=1e-14)
        assert same.mean() > 0.9


# -- the factor truth ----------------------------------------------------------------


@pytest.fixture(scope="module")
def month_starts(tables):
    counts = tables.style_exposure["date"].value_counts()
    return pd.DatetimeIndex(sorted(counts[counts > 500].index))


def test_exposures_follow_the_data(tables, stocks, month_starts):
    exposure = tables.style_exposure
    assert list(exposure.columns) == ["date", "order_book_id", *STYLE_FACTORS]
    assert np.isfinite(exposure[list(STYLE_FACTORS)].to_numpy()).all()
    when = exposure.join(stocks[["listed", "delisted"]], on="order_book_id")
    assert ((when["date"] >= when["listed"]) & (when["date"] < when["delisted"])).all()
    fundamentals = tables.fundamentals.sort_values("announce_date")
    days = tables.trading_dates
    for date in month_starts[::12]:
        rows = exposure[exposure["date"] == date].set_index("order_book_id")
        alive = stocks.index[(stocks["listed"] <= date) & (stocks["delisted"] > date)]
        assert set(rows.index) == set(alive)
        previous = days[days < date]
        if len(previous) == 0:
            continue
        cap = tables.market_cap_total.loc[previous[-1], rows.index].dropna()
        rows = rows.loc[cap.index]
        ranks = pd.DataFrame({"exposure": rows["size"], "data": cap})
        assert ranks.corr(method="spearman").iloc[0, 1] > 0.995  # monotone but winsorised
        known = fundamentals[fundamentals["announce_date"] <= date]
        book = known.groupby("order_book_id")["book_value"].last().reindex(rows.index)
        ranks = pd.DataFrame({"exposure": rows["book_to_price"], "data": book / cap})
        assert ranks.corr(method="spearman").iloc[0, 1] > 0.95
        turnover = tables.turnover.loc[previous[-63:], rows.index].mean()
        ranks = pd.DataFrame({"exposure": rows["liquidity"], "data": np.log(turnover)})
        assert ranks.corr(method="spearman").iloc[0, 1] > 0.6


def test_cross_sectional_regression_recovers_style_returns(market, month_starts):
    tables = market.tables
    exposure = tables.style_exposure
    sws = tables.industry[tables.industry["scheme"] == "sws"].sort_values("start_date")
    returns = tables.price_change_rate
    bounds = [*month_starts, tables.trading_dates[-1] + pd.Timedelta(days=1)]
    estimates, truth = [], []
    for begin, end in itertools.pairwise(bounds):
        rows = exposure[exposure["date"] == begin].set_index("order_book_id")
        industry = sws[sws["start_date"] <= begin].groupby("order_book_id")["industry_code"].last()
        dummies = pd.get_dummies(industry.reindex(rows.index)).to_numpy(dtype=float)
        design = np.column_stack([dummies, rows[list(STYLE_FACTORS)].to_numpy()])
        days = returns.index[(returns.index >= begin) & (returns.index < end)]
        month = returns.loc[days, rows.index].to_numpy()
        quoted = np.isfinite(month).all(axis=0)  # few stocks halt: solve the month at once
        estimates.append(np.linalg.lstsq(design[quoted], month[:, quoted].T, rcond=None)[0][-10:].T)
        truth.append(market.factor_returns.loc[days, list(STYLE_FACTORS)].to_numpy())
    estimates, truth = np.vstack(estimates), np.vstack(truth)
    for k, style in enumerate(STYLE_FACTORS):
        correlation = np.corrcoef(estimates[:, k], truth[:, k])[0, 1]
        slope = np.polyfit(truth[:, k], estimates[:, k], 1)[0]
        assert correlation > 0.75, style
        assert 0.8 < slope < 1.2, style


def test_volatility_regimes_show_in_the_market(market):
    country = market.factor_returns["country"]
    regime = market.volatility_regime
    assert regime.min() < 0.8 and regime.max() > 1.5
    calm, stormy = country[regime < 0.9].std(), country[regime > 1.4].std()
    assert stormy > 1.8 * calm


# -- determinism and arguments -------------------------------------------------------


def content_digest(tables):
    digest = hashlib.sha256(tables.calendar.encode())
    digest.update(tables.trading_dates.to_numpy().tobytes())
    long_tables = ("instruments", "index_weights", "industry", "fundamentals", "style_exposure")
    for name in (*DAILY_TABLES, *long_tables):
        frame = getattr(tables, name)
        digest.update(pd.util.hash_pandas_object(frame, index=True).to_numpy().tobytes())
        digest.update(repr(list(frame.columns)).encode())
    return digest.hexdigest()


def test_same_seed_same_market_other_seed_other_market():
    seen = []
    first = demo.build_demo_tables(progress=lambda fraction, _: seen.append(fraction), **SHORT)
    again = demo.build_demo_tables(**SHORT)
    other = demo.build_demo_tables(seed=demo.DEMO_SEED + 1, **SHORT)
    assert content_digest(first) == content_digest(again)
    assert content_digest(first) != content_digest(other)
    assert first.trading_dates[0] == pd.Timestamp("2020-01-02")
    assert seen == sorted(seen) and seen[0] == 0.0 and seen[-1] == 1.0


@pytest.mark.parametrize(
    ("arguments", "named"),
    [
        ({"seed": -1}, "-1"),
        ({"seed": 1.5}, "1.5"),
        ({"seed": True}, "True"),
        ({"start": "2005-01-04"}, "2005-01-04"),
        ({"end": "2031-12-31"}, "2031-12-31"),
        ({"start": "2020-01-02", "end": "2020-03-31"}, "2020-03-31"),
        ({"n_stocks": 92}, "at least 93 .* got 92"),
        ({"n_stocks": 0}, "got 0"),
        ({"n_stocks": 5500.0}, "5500.0"),
        ({"n_stocks": "5500"}, "'5500'"),
        ({"n_stocks": True}, "True"),
    ],
)
def test_bad_arguments_are_named(arguments, named):
    with pytest.raises(ValueError, match=named):
        demo.build_demo_tables(**arguments)


# -- the stages ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("cap", "limit", "expected"),
    [
        ([50, 30, 10, 10], 0.4, [0.4, 0.36, 0.12, 0.12]),
        ([60, 30, 5, 5], 0.35, [0.35, 0.35, 0.15, 0.15]),  # the spread pushes a second over
        ([3, 1], 0.1, [0.5, 0.5]),  # a limit below equal weights cannot hold
        ([1, 2, 3], 0.9, [1 / 6, 2 / 6, 3 / 6]),
    ],
)
def test_capped_weights(cap, limit, expected):
    weights = numeric.capped_weights(np.array(cap, dtype=float), limit)
    np.testing.assert_allclose(weights, expected, rtol=1e-12)


def test_standardise_keeps_gaps_and_order():
    rng = np.random.default_rng(3)
    raw = rng.standard_t(3, 400)
    raw[[5, 17]] = np.nan
    cap = rng.lognormal(20, 1, 400)
    out = numeric.standardise(raw, cap)
    present = np.isfinite(raw)
    assert np.array_equal(np.isfinite(out), present)
    assert np.average(out[present], weights=cap[present]) == pytest.approx(0, abs=1e-12)
    assert np.std(out[present]) == pytest.approx(1, rel=1e-12)
    inner = present & (np.abs(raw - np.nanmedian(raw)) < 1)  # far from the clipping
    assert (np.diff(out[inner][np.argsort(raw[inner])]) > 0).all()


def history(n_days, *, returns=None, turnover=None, history_days=0, history_turnover=0.0):
    """A one-stock trading history advanced over ``n_days`` days, all traded and quoted;
    the stock brings a momentum of 0.3 along."""
    log_return = np.zeros((n_days, 1)) if returns is None else np.log1p(returns)[:, None]
    daily = np.zeros((n_days, 1)) if turnover is None else np.asarray(turnover)[:, None]
    record = exposures.TradingHistory(
        momentum_sum=np.full((n_days + 1, 1), 0.3),
        quoted_days=np.zeros((n_days + 1, 1), dtype=np.int64),
        turnover_sum=np.zeros((n_days + 1, 1)),
        traded_days=np.zeros((n_days + 1, 1), dtype=np.int64),
        history_days=np.array([history_days]),
        history_turnover=np.array([history_turnover]),
    )
    traded = np.ones((n_days, 1), dtype=bool)
    record.advance(0, log_return, traded, daily, traded)
    return record


@pytest.mark.parametrize(("day", "history_days"), [(5, 10), (5, 40), (5, 0), (30, 10), (2, 1)])
def test_mean_turnover_borrows_the_history_before_the_first_day(day, history_days):
    own = np.linspace(0.01, 0.04, 40)
    record = history(40, turnover=own, history_days=history_days, history_turnover=0.5)
    window = 21
    seen = [*[0.5] * min(history_days, max(window - day, 0)), *own[max(0, day - window) : day]]
    mean = record.mean_turnover(day, window, np.array([0]))[0]
    if len(seen) >= 7:  # a third of the window
        assert mean == pytest.approx(np.mean(seen), rel=1e-12)
    else:
        assert np.isnan(mean)


def test_momentum_is_the_decayed_sum_over_the_window_before_the_last_month():
    returns = np.random.default_rng(5).normal(0, 0.02, 700)
    record = history(700, returns=returns)
    decay = 0.5 ** (1 / 126)
    for day in (100, 200, 525, 700):
        end = day - 21
        t = np.arange(max(0, end - 504), end)
        brought = 0.3 * decay**end if end < 504 else 0.0
        expected = (decay ** (end - 1 - t) * np.log1p(returns[t])).sum() + brought
        value = record.momentum(day, np.array([0]))[0]
        if end < 126:  # too few quotes
            assert np.isnan(value)
        else:
            assert value == pytest.approx(expected, rel=1e-9)


def test_every_module_lists_its_public_names():
    for module_info in pkgutil.iter_modules(demo.__path__):
        module = importlib.import_module(f"quotaris.demo.{module_info.name}")
        tree = ast.parse(Path(module.__file__).read_text(encoding="utf-8"))
        defined = set()
        for node in tree.body:
            if isinstance(node, ast.FunctionDef | ast.ClassDef):
                defined.add(node.name)
            elif isinstance(node, ast.Assign | ast.AnnAssign):
                targets = node.targets if isinstance(node, ast.Assign) else [node.target]
                defined |= {t.id for t in targets if isinstance(t, ast.Name)}
        public = {name for name in defined if not name.startswith("_")}
        assert public == set(module.__all__), module.__name__
    for name in demo.__all__:
        assert hasattr(demo, name), name


# -- the cached bundle ---------------------------------------------------------------


@pytest.fixture
def fake_bundle(monkeypatch, tmp_path):
    """A bundle module that writes a marker file, and a build that costs nothing."""
    module = types.ModuleType("quotaris.bundle")
    module.format_version = "1"
    module.builds = []

    def write_bundle(path, tables, *, overwrite=False):
        assert not path.exists() and not overwrite
        path.mkdir()
        (path / "manifest").write_text(module.format_version)

    class BundleSource:
        def __init__(self, path):
            marker = path / "manifest"
            if not marker.is_file() or marker.read_text() != module.format_version:
                raise BundleError(f"{path}: not a bundle of format {module.format_version}")

    def build_demo_tables(progress=None):
        module.builds.append(threading.get_ident())
        if progress is not None:
            progress(0.5, "prices")
        time.sleep(0.2)  # long enough for a second builder to queue up
        return "tables"

    module.write_bundle, module.BundleSource = write_bundle, BundleSource
    monkeypatch.setitem(sys.modules, "quotaris.bundle", module)
    monkeypatch.setattr(demo.cache, "build_demo_tables", build_demo_tables)
    monkeypatch.setenv("PLOVERA_CACHE_DIR", str(tmp_path / "cache"))
    return module


@pytest.mark.parametrize(
    ("environment", "expected"),
    [
        ({"PLOVERA_CACHE_DIR": "{tmp}/mine", "XDG_CACHE_HOME": "{tmp}/xdg"}, "{tmp}/mine"),
        ({"XDG_CACHE_HOME": "{tmp}/xdg"}, "{tmp}/xdg/plovera"),
        ({"XDG_CACHE_HOME": "relative/xdg"}, "{tmp}/home/.cache/plovera"),
        ({}, "{tmp}/home/.cache/plovera"),
    ],
)
def test_cache_location(fake_bundle, monkeypatch, tmp_path, environment, expected):
    for name in ("PLOVERA_CACHE_DIR", "XDG_CACHE_HOME"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    for name, value in environment.items():
        monkeypatch.setenv(name, value.format(tmp=tmp_path))
    path = demo.demo_bundle_path(progress=False)
    assert path == Path(expected.format(tmp=tmp_path)) / f"demo-v{demo.DEMO_VERSION}"
    assert (path / "manifest").is_file()


def test_built_once_then_reused_and_rebuilt_on_new_versions(fake_bundle, monkeypatch):
    path = demo.demo_bundle_path(progress=False)
    assert demo.demo_bundle_path(progress=False) == path and len(fake_bundle.builds) == 1
    fake_bundle.format_version = "2"  # an installation that reads another bundle format
    assert demo.demo_bundle_path(progress=False) == path and len(fake_bundle.builds) == 2
    assert (path / "manifest").read_text() == "2"
    monkeypatch.setattr(demo.cache, "DEMO_VERSION", demo.DEMO_VERSION + 1)
    newer = demo.demo_bundle_path(progress=False)
    assert newer != path and newer.name == f"demo-v{demo.cache.DEMO_VERSION}"
    assert len(fake_bundle.builds) == 3
    leftovers = [p.name for p in path.parent.iterdir() if p.name.startswith(".")]
    assert leftovers == []


def test_concurrent_callers_build_once(fake_bundle):
    paths = []
    callers = [
        threading.Thread(target=lambda: paths.append(demo.demo_bundle_path(progress=False)))
        for _ in range(3)
    ]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert len(set(paths)) == 1 and len(paths) == 3
    assert len(fake_bundle.builds) == 1


@contextlib.contextmanager
def held_lock(path):
    """The lock a live builder holds, taken through a descriptor of our own."""
    fcntl = pytest.importorskip("fcntl")
    with open(path, "a") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


def test_a_build_removes_the_scratch_of_killed_builds_only(fake_bundle, tmp_path):
    cache = tmp_path / "cache"
    cache.mkdir()
    prefix = f".demo-v{demo.DEMO_VERSION}-"
    stale, live = cache / f"{prefix}k1ll3d", cache / f"{prefix}running"
    kept = [live, cache / ".partial-demo"]
    for path in [stale, *kept]:
        (path / "bundle").mkdir(parents=True)
        (path / "bundle" / "prices.parquet").write_bytes(b"x" * 1000)
    (cache / f"{prefix}k1ll3d.lock").touch()  # its builder died holding nothing
    with held_lock(cache / f"{prefix}running.lock"):  # a builder at work
        path = demo.demo_bundle_path(progress=False)
    assert (path / "manifest").is_file()
    assert not stale.exists() and not (cache / f"{prefix}k1ll3d.lock").exists()
    assert all(p.exists() for p in kept)


def test_the_scratch_of_a_killed_build_goes_with_the_next_build(fake_bundle, tmp_path):
    pytest.importorskip("fcntl")
    builder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import time\n"
            "from quotaris.demo import cache\n"
            "def build(progress=None):\n"
            "    print('building', flush=True)\n"
            "    time.sleep(60)\n"
            "cache.build_demo_tables = build\n"
            "cache.demo_bundle_path(progress=False)\n",
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert builder.stdout.readline() == "building\n"
    finally:
        builder.kill()
        builder.wait()
        builder.stdout.close()
    cache = tmp_path / "cache"
    assert [p.name[:9] for p in cache.glob(".demo-v*") if p.is_dir()] == [
        f".demo-v{demo.DEMO_VERSION}-"
    ]
    path = demo.demo_bundle_path(progress=False)
    assert [p.name for p in cache.iterdir() if p.name.startswith(".")] == []
    assert (path / "manifest").is_file() and len(fake_bundle.builds) == 1


@pytest.mark.parametrize("progress", [True, False])
def test_progress_bar_on_stderr_only_when_asked(fake_bundle, capsys, progress):
    demo.demo_bundle_path(progress=progress)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert ("demo market" in captured.err) == progress


def test_round_trip_through_a_real_bundle(tmp_path):
    bundle = pytest.importorskip("quotaris.bundle")
    tables = demo.build_demo_tables(**SHORT)
    source = bundle.BundleSource(bundle.write_bundle(tmp_path / "demo", tables))
    day = pd.Timestamp("2020-06-15")
    served = source.index_weights(HS300, day.date()).sort_index()
    stored = tables.index_weights.query("index_id == @HS300 and date == @day")
    np.testing.assert_allclose(served.to_numpy(), stored["weight"].to_numpy())
    ids = [HS300, stored["order_book_id"].iloc[0]]
    changes = source.price_change_rate(ids, day.date(), day.date())
    np.testing.assert_allclose(
        changes.to_numpy(), tables.price_change_rate.loc[[day], ids].to_numpy()
    )


def test_nonbank_split_scheme_gives_shenwan_with_the_nonbank_parts(tables):
    from quotaris.demo.calibration import SW_NON_BANK_PARTS

    industry = tables.industry
    keys = ["order_book_id", "start_date"]
    sws = industry[industry["scheme"] == "sws"].set_index(keys)
    split = industry[industry["scheme"] == "sws_nonbank_split"].set_index(keys)
    citic = industry[industry["scheme"] == "citic"].set_index(keys)
    assert split.index.equals(sws.index)
    non_bank = sws["industry_name"] == "非银金融"
    assert split[~non_bank][["industry_code", "industry_name"]].equals(
        sws[~non_bank][["industry_code", "industry_name"]]
    )
    parts = split[non_bank]
    assert set(parts["industry_name"]) == {"证券", "保险", "多元金融"}
    assert parts["industry_code"].map(dict(SW_NON_BANK_PARTS)).equals(parts["industry_name"])
    # The diversified financials are those CITIC puts apart.
    diversified = citic.loc[parts.index, "industry_name"] == "综合金融"
    assert ((parts["industry_name"] == "多元金融") == diversified).all()
