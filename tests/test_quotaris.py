import datetime
import pathlib
import re
import sys
import types

import numpy as np
import pandas as pd
import pytest

import quotaris
from quotaris import Instrument, MemorySource, MissingData

STOCKS = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600036.XSHG", "601318.XSHG", "688001.XSHG"]
INDEX = "000300.XSHG"
HOLIDAY = pd.Timestamp("2021-02-12")  # a Friday without trading
DAYS = pd.bdate_range("2021-01-04", periods=401).drop(HOLIDAY)
FIRST, LAST = DAYS[0].date(), DAYS[-1].date()
WEIGHT_DATES = ("2021-03-01", "2021-09-01")


def market_tables():
    rng = np.random.default_rng(7)
    instruments = pd.DataFrame(
        {
            "order_book_id": [*STOCKS, INDEX],
            "symbol": ["S1", "S2", "S3", "S4", "S5", "S6", "IDX"],
            "type": ["CS"] * 6 + ["INDX"],
            "exchange": ["XSHE", "XSHE", "XSHG", "XSHG", "XSHG", "XSHG", "XSHG"],
            "listed_date": ["1991-04-03"] * 5 + ["2021-11-01", "2005-04-08"],
            "de_listed_date": [None, "2022-01-04", None, "", None, None, None],
        }
    )
    prices = pd.DataFrame(
        rng.normal(0.0, 0.02, (len(DAYS), 7)), index=DAYS, columns=[*STOCKS, INDEX]
    )
    prices.loc[:"2021-10-29", STOCKS[5]] = np.nan
    prices.loc["2022-01-05":, STOCKS[1]] = np.nan  # delisted
    weights = pd.DataFrame(
        {
            "date": [WEIGHT_DATES[0]] * 3 + [WEIGHT_DATES[1]] * 2,
            "index_id": INDEX,
            "order_book_id": [STOCKS[2], STOCKS[0], STOCKS[3], STOCKS[4], STOCKS[2]],
            "weight": [0.5, 0.3, 0.2, 0.6, 0.4],
        }
    )
    return instruments, prices, weights


@pytest.fixture
def market(use_source):
    instruments, prices, weights = market_tables()
    exposures = pd.DataFrame(
        {
            "date": ["2021-01-04", "2021-06-01", "2021-01-04"],
            "order_book_id": [STOCKS[0], STOCKS[0], STOCKS[1]],
            "beta": [1.0, 1.5, 0.7],
        }
    )
    fundamentals = pd.DataFrame(
        {
            "order_book_id": [STOCKS[0]] * 2,
            "announce_date": ["2021-04-30", "2021-08-31"],
            "book_value": [10.0, np.nan],
            "ttm_sales": [5.0, 6.0],
        }
    )
    source = MemorySource(
        instruments,
        DAYS,
        prices,
        index_weights=weights,
        style_exposure=exposures,
        fundamentals=fundamentals,
        market_cap_total=prices.abs() * 1e9,
    )
    use_source(source)
    return prices


def test_instruments_single_and_many_forms(market):
    record = quotaris.instruments(STOCKS[1])
    assert record == Instrument(STOCKS[1], "S2", "CS", "XSHE", "1991-04-03", "2022-01-04")
    assert quotaris.instruments(STOCKS[3]).de_listed_date == "0000-00-00"
    assert quotaris.instruments("999999.XSHG") is None
    asked = [INDEX, "999999.XSHG", STOCKS[0], INDEX]
    for form in (asked, tuple(asked), pd.Series(asked), np.array(asked), iter(asked)):
        with pytest.warns(quotaris.QuotarisWarning, match=r"does not know 999999\.XSHG:"):
            found = quotaris.instruments(form)
        assert type(found) is list
        assert [r.order_book_id for r in found] == [INDEX, STOCKS[0], INDEX]
    assert quotaris.instruments([]) == []
    assert quotaris.find_instruments(asked) == (found, ["999999.XSHG"])


@pytest.mark.parametrize(
    ("asked", "hint"), [(["999999.XSHG"], False), (["600000.SH", "000001.sz"], True)]
)
def test_unknown_identifiers_are_named_with_the_expected_form(market, asked, hint):
    with pytest.warns(quotaris.QuotarisWarning) as record:
        quotaris.instruments([STOCKS[0], *asked])
    (warning,) = record
    message = str(warning.message)
    assert f"does not know {', '.join(asked)}" in message
    assert ("600000.XSHG, 000001.XSHE" in message) == hint
    assert warning.filename == __file__  # the caller's line, not quotaris'


@pytest.mark.parametrize(("bad", "named"), [(None, "None"), (42, "42"), ([STOCKS[0], 7], "7")])
def test_instruments_refuses_non_identifiers(market, bad, named):
    with pytest.raises(TypeError, match=named):
        quotaris.instruments(bad)


@pytest.mark.parametrize(
    ("date", "n", "expected"),
    [
        ("2021-02-11", -1, "2021-02-10"),
        ("2021-02-11", 1, "2021-02-15"),
        ("2021-02-11", 0, "2021-02-11"),
        ("2021-02-12", 0, "2021-02-11"),  # holiday
        ("2021-02-13", -1, "2021-02-11"),  # weekend after the holiday
        ("2021-02-13", 1, "2021-02-15"),
        ("20210212", 2, "2021-02-16"),
        (pd.Timestamp("2021-02-15 14:30"), -3, "2021-02-09"),
        (datetime.datetime(2021, 1, 5, 9), -1, str(FIRST)),
        (FIRST, 0, str(FIRST)),
        (LAST, 0, str(LAST)),
        (LAST, -(len(DAYS) - 1), str(FIRST)),
    ],
)
def test_trading_date_offset(market, date, n, expected):
    result = quotaris.trading_date_offset(date, n)
    assert type(result) is datetime.date
    assert result == datetime.date.fromisoformat(expected)


@pytest.mark.parametrize(
    ("date", "n"),
    [(FIRST, -1), (LAST, 1), (LAST, -len(DAYS)), ("2020-12-31", 0), ("2020-12-31", 1)],
)
def test_trading_date_offset_off_the_calendar(market, date, n):
    with pytest.raises(MissingData, match=rf"{quotaris.to_date(date)}, {n}"):
        quotaris.trading_date_offset(date, n)


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (20210104, TypeError),
        (None, TypeError),
        (np.datetime64("2021-01-04"), TypeError),
        ("2021/01/04", ValueError),
        ("2021-02-30", ValueError),
        ("Jan 4 2021", ValueError),
        (pd.NaT, ValueError),
    ],
)
def test_refused_dates_are_named(market, value, error):
    with pytest.raises(error, match=re.escape(repr(value))):
        quotaris.trading_date_offset(value, 0)


@pytest.mark.parametrize(
    ("date", "expected"),
    [
        ("2021-02-26", None),
        (WEIGHT_DATES[0], {STOCKS[2]: 0.5, STOCKS[0]: 0.3, STOCKS[3]: 0.2}),
        ("2021-08-31", {STOCKS[2]: 0.5, STOCKS[0]: 0.3, STOCKS[3]: 0.2}),
        (WEIGHT_DATES[1], {STOCKS[4]: 0.6, STOCKS[2]: 0.4}),
        (LAST, {STOCKS[4]: 0.6, STOCKS[2]: 0.4}),
    ],
)
def test_index_weights_point_in_time(market, date, expected):
    weights = quotaris.index_weights(INDEX, date)
    if expected is None:
        assert weights is None
    else:
        assert weights.to_dict() == expected
        assert list(weights.index) == sorted(expected)  # constituents come sorted


def test_index_weights_refusals(market):
    with pytest.raises(MissingData, match=STOCKS[0]):
        quotaris.index_weights(STOCKS[0], LAST)
    with pytest.raises(MissingData, match="after the last trading day"):
        quotaris.index_weights(INDEX, LAST + datetime.timedelta(days=1))


def test_price_change_rate_window_is_inclusive(market):
    prices = market
    asked = [STOCKS[3], INDEX, STOCKS[0]]
    frame = quotaris.get_price_change_rate(asked, "2021-02-11", "2021-03-01")
    expected = prices.loc["2021-02-11":"2021-03-01", asked]
    assert list(frame.columns) == asked
    assert frame.index[0] == pd.Timestamp("2021-02-11")
    assert frame.index[-1] == pd.Timestamp("2021-03-01")
    assert HOLIDAY not in frame.index
    np.testing.assert_array_equal(frame.to_numpy(), expected.to_numpy())
    series = quotaris.get_price_change_rate(STOCKS[3], "2021-02-12", "2021-02-15")
    assert isinstance(series, pd.Series)
    assert series.name == STOCKS[3]
    assert list(series.index) == [pd.Timestamp("2021-02-15")]
    assert np.isnan(quotaris.get_price_change_rate(STOCKS[5], LAST, LAST)).sum() == 0
    assert np.isnan(quotaris.get_price_change_rate(STOCKS[5], FIRST, FIRST)).all()


@pytest.mark.parametrize(
    ("ids", "start", "end", "named"),
    [
        ([STOCKS[0]], "2021-02-12", "2021-02-14", "2021-02-12"),  # no trading day
        ([STOCKS[0]], "2021-03-02", "2021-03-01", "2021-03-02"),  # reversed
        ([STOCKS[0]], "2020-12-31", "2021-01-05", "2020-12-31"),
        ([STOCKS[0]], FIRST, LAST + datetime.timedelta(days=3), str(LAST)),
        ([STOCKS[0], "999999.XSHG"], FIRST, LAST, "999999.XSHG"),
    ],
)
def test_price_change_rate_refusals_name_the_culprit(market, ids, start, end, named):
    with pytest.raises(MissingData, match=named):
        quotaris.get_price_change_rate(ids, start, end)


def test_point_in_time_readers(market):
    early = quotaris.get_style_exposure([STOCKS[1], STOCKS[0]], "2021-05-31")
    assert early["beta"].tolist() == [0.7, 1.0]
    assert quotaris.get_style_exposure(STOCKS[0], "2021-06-01")["beta"] == 1.5
    with pytest.raises(MissingData, match=STOCKS[2]):
        quotaris.get_style_exposure([STOCKS[0], STOCKS[2]], LAST)
    fundamentals = quotaris.get_fundamentals(
        [STOCKS[0], STOCKS[1]], "2021-09-01", ["book_value", "ttm_sales"]
    )
    # The later report lacks book_value: the earlier announcement stays in force.
    assert fundamentals.loc[STOCKS[0]].tolist() == [10.0, 6.0]
    assert fundamentals.loc[STOCKS[1]].isna().all()
    assert quotaris.get_fundamentals(STOCKS[0], "2021-04-29", "ttm_sales").isna().all()
    caps = quotaris.get_market_cap([STOCKS[2]], FIRST, LAST, kind="total")
    assert caps.shape == (len(DAYS), 1)
    with pytest.raises(MissingData, match="market_cap_float"):
        quotaris.get_market_cap([STOCKS[2]], FIRST, LAST, kind="float")
    with pytest.raises(ValueError, match="'free'"):
        quotaris.get_market_cap([STOCKS[2]], FIRST, LAST, kind="free")
    with pytest.raises(MissingData, match="industry"):
        quotaris.get_industry(STOCKS[0], LAST)


def test_init_takes_effect_at_once(market):
    instruments, prices, _ = market_tables()
    short = MemorySource(instruments, DAYS[:10], prices.iloc[:10])
    assert quotaris.init(short) is quotaris.get_source() is short
    with pytest.raises(MissingData, match="outside the trading calendar"):
        quotaris.trading_date_offset(DAYS[20], 0)
    with pytest.raises(TypeError, match="42"):
        quotaris.init(42)


def put(row, column, value):
    def change(table):
        table.loc[row, column] = value
        return table

    return change


def test_paths_and_the_default_open_bundles(market, monkeypatch):
    class FakeBundleSource(MemorySource):
        def __init__(self, path):
            instruments, prices, _ = market_tables()
            super().__init__(instruments, DAYS, prices)
            self.path = path

    monkeypatch.setitem(
        sys.modules, "quotaris.bundle", types.SimpleNamespace(BundleSource=FakeBundleSource)
    )
    monkeypatch.setitem(
        sys.modules, "quotaris.demo", types.SimpleNamespace(demo_bundle_path=lambda: "demo-dir")
    )
    assert quotaris.init(pathlib.Path("market")).path == pathlib.Path("market")
    monkeypatch.setattr(quotaris.client, "_source", None)
    assert quotaris.trading_date_offset(FIRST, 1) == DAYS[1].date()
    assert quotaris.get_source().path == "demo-dir"
    with pytest.raises(TypeError, match=r"-1\.0"):
        quotaris.trading_date_offset(FIRST, -1.0)


def _broken(table, change):
    instruments, prices, weights = market_tables()
    tables = {"instruments": instruments, "prices": prices, "weights": weights}
    tables[table] = change(tables[table])
    return tables


@pytest.mark.parametrize(
    ("table", "change", "message"),
    [
        (
            "instruments",
            lambda t: t.drop(columns="exchange"),
            r"instruments: missing column 'exchange'",
        ),
        ("instruments", put(6, "order_book_id", STOCKS[0]), f"duplicate key \\('{STOCKS[0]}'\\)"),
        ("instruments", put(0, "listed_date", "1991/04/03"), "row 1, column 'listed_date'"),
        ("instruments", put(1, "de_listed_date", "1990-01-01"), "comes before the listed date"),
        ("prices", lambda t: t.drop(index=DAYS[5]), "the rows must be the trading dates"),
        ("prices", lambda t: t.rename(index={DAYS[-1]: HOLIDAY}), "the rows must be the trading"),
        ("prices", lambda t: t.rename(columns={INDEX: "X"}), "column 'X': unknown order_book_id"),
        ("prices", lambda t: t.assign(**{INDEX: "flat"}), f"column '{INDEX}': values are not"),
        ("prices", put(DAYS[3], STOCKS[2], np.inf), f"'{STOCKS[2]}', {DAYS[3].date()}: inf is"),
        ("weights", put(0, "weight", 0.6), "add up to 1.1"),
        ("weights", put(1, "order_book_id", STOCKS[2]), f"duplicate key .*'{STOCKS[2]}'"),
        ("weights", put(0, "date", None), r"index_weights, row 1, column 'date': missing"),
    ],
)
def test_memory_source_names_the_broken_table(table, change, message):
    tables = _broken(table, change)
    with pytest.raises((TypeError, ValueError), match=message):
        MemorySource(tables["instruments"], DAYS, tables["prices"], index_weights=tables["weights"])
