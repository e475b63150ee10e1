"""Trading data: closes, boards, special treatment and the daily price limits.

One small market around ChiNext's reform of 24 August 2020 is served from
memory and from a bundle; the limits it shows are worked out by hand.
"""

from __future__ import annotations

import datetime

import numpy as np
import pandas as pd
import pytest

import quotaris
from quotaris import MemorySource
from quotaris.bundle import BundleSource, write_bundle
from quotaris.importer import ImportValidationError, import_bundle
from quotaris.limits import BOARDS, boards_of, limit_prices, limits_table
from quotaris.source import MissingData
from quotaris.tables import BundleTables
from quotaris.validate import ValidationError, exchange_sessions

pytestmark = pytest.mark.filterwarnings("ignore:Series.values returning an ndarray")

D = datetime.date
SESSIONS = exchange_sessions("XSHG", "2020-08-13", "2020-09-04")
MAIN, WARNED, HALTED, NEW_MAIN = "600000.XSHG", "600001.XSHG", "600003.XSHG", "600002.XSHG"
CHINEXT, BEFORE_REFORM, AFTER_REFORM = "300001.XSHE", "300998.XSHE", "300999.XSHE"
STAR, EARLY_STAR, BEIJING, INDEX = "688001.XSHG", "688002.XSHG", "830799.BJSE", "000300.XSHG"
STOCKS = {
    MAIN: "2010-01-04",
    WARNED: "2010-01-04",
    HALTED: "2010-01-04",
    NEW_MAIN: "2020-08-19",
    CHINEXT: "2010-01-04",
    BEFORE_REFORM: "2020-08-20",
    AFTER_REFORM: "2020-08-24",
    STAR: "2020-08-18",
    EARLY_STAR: "2020-08-12",  # a Wednesday before the calendar's first day
    BEIJING: "2010-01-04",
}
# Closes other than 10.00, by stock and day.
CLOSES = {
    MAIN: {"08-18": 9.95, "08-19": 10.95, "08-20": 11.00, "08-21": 10.05, "08-24": 9.05},
    WARNED: {"08-19": 10.05, "08-20": 10.55, "08-24": 10.00, "08-25": 9.50},
    CHINEXT: {"08-20": 20.00, "08-21": 21.00, "08-24": 25.20},
    BEIJING: {"08-25": 12.996, "08-26": 10.00, "08-27": 12.99},
    HALTED: {"08-17": 12.34, "09-03": 13.57},
}
SPECIAL_TREATMENT = pd.DataFrame(
    [
        (WARNED, "2020-08-19", "2020-08-25", "*ST"),
        (WARNED, "2020-09-01", "", "ST"),
        (CHINEXT, "2020-01-02", "", "ST"),
    ],
    columns=["order_book_id", "start_date", "end_date", "status"],
)


def closes() -> pd.DataFrame:
    table = pd.DataFrame(10.0, index=SESSIONS, columns=[*STOCKS, INDEX])
    for stock, listed in STOCKS.items():
        table.loc[table.index < listed, stock] = np.nan
    for stock, days in CLOSES.items():
        for day, close in days.items():
            table.loc[f"2020-{day}", stock] = close
    table.loc["2020-08-18":"2020-09-02", HALTED] = np.nan
    table[INDEX] = np.linspace(3000.0, 3100.0, len(SESSIONS)).round(2)
    return table


def changes(close: pd.DataFrame) -> pd.DataFrame:
    return close / close.ffill().shift(1) - 1.0


def tables(**changed) -> BundleTables:
    instruments = pd.DataFrame(
        {
            "order_book_id": [*STOCKS, INDEX],
            "symbol": [*STOCKS, "CSI 300"],
            "type": ["CS"] * len(STOCKS) + ["INDX"],
            "exchange": [stock.split(".")[1] for stock in [*STOCKS, INDEX]],
            "listed_date": [*STOCKS.values(), "2005-04-08"],
            "de_listed_date": "0000-00-00",
        }
    )
    close = closes()
    given = {
        "instruments": instruments,
        "calendar": "XSHG",
        "trading_dates": SESSIONS,
        "price_change_rate": changes(close),
        "closes": close,
        "special_treatment": SPECIAL_TREATMENT,
    }
    given.update(changed)
    return BundleTables(**given)


@pytest.fixture(scope="module", params=["memory", "bundle"])
def source(request, tmp_path_factory):
    if request.param == "memory":
        return MemorySource.from_tables(tables())
    return BundleSource(write_bundle(tmp_path_factory.mktemp("trading") / "market", tables()))


@pytest.fixture
def market(source, use_source):
    use_source(source)
    return source


# -- the rules ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("previous", "percent", "up", "down"),
    [
        (9.95, 10, 10.95, 8.96),  # 10.945 and 8.955 rounded away from zero
        (10.05, 10, 11.06, 9.05),  # 11.055 up, 9.045 up
        (10.05, 5, 10.55, 9.55),  # 10.5525, 9.5475
        (12.34, 10, 13.57, 11.11),  # 13.574, 11.106
        (3.33, 20, 4.00, 2.66),  # 3.996, 2.664
        (7.77, 30, 10.10, 5.44),  # 10.101, 5.439
        (0.01, 10, 0.01, 0.01),  # 0.011, 0.009: a one-fen stock cannot move
    ],
)
def test_limit_prices_round_to_the_fen_half_away_from_zero(previous, percent, up, down):
    got = limit_prices(np.array([previous]), np.array([float(percent)]))
    assert (got[0][0], got[1][0]) == (up, down)


def day(text: str) -> int:
    return int(np.datetime64(text, "D").astype(np.int64))


@pytest.mark.parametrize(
    ("order_book_id", "exchange", "board"),
    [
        ("600000.XSHG", "XSHG", "main"),
        ("001979.XSHE", "SZ", "main"),
        ("688001.XSHG", "XSHG", "star"),
        ("689009.XSHG", "sse", "star"),
        ("688001.XSHE", "XSHE", "main"),  # 688 is STAR in Shanghai only
        ("300750.XSHE", "XSHE", "chinext"),
        ("302132.XSHE", "XSHE", "chinext"),
        ("830799.BJSE", "BJSE", "bse"),
        ("430047.BJSE", "BJ", "bse"),
    ],
)
def test_boards_come_from_exchange_and_code(order_book_id, exchange, board):
    assert [BOARDS[b] for b in boards_of([order_book_id], [exchange])] == [board]


def test_no_limit_on_the_listing_day_even_with_a_close_before():
    # Only the rule can leave the listing day free: a listing day has no quote before.
    frame = limits_table(
        ["a", "b"],
        previous_close=np.array([10.0, 10.0]),
        close=np.array([14.4, 11.0]),
        board=np.array([0, 0]),
        special=np.array([False, False]),
        day=day("2023-06-01"),
        listed_day=np.array([day("2023-06-01"), day("2020-01-02")]),
        sessions_listed=np.array([0, 500]),
    )
    assert np.isnan(frame.loc["a", "limit_up"]) and not frame.loc["a", "at_limit_up"]
    assert frame.loc["b", "limit_up"] == 11.0 and frame.loc["b", "at_limit_up"]


# -- served: price limits ------------------------------------------------------------

UNLIMITED = (np.nan, np.nan, False, False)

# (stock, date): previous close, close, then limit up, limit down, at limit up, at limit down.
LIMITS = {
    (MAIN, "2020-08-19"): (9.95, 10.95, 10.95, 8.96, True, False),
    (MAIN, "2020-08-20"): (10.95, 11.00, 12.05, 9.86, False, False),
    (MAIN, "2020-08-24"): (10.05, 9.05, 11.06, 9.05, False, True),
    (WARNED, "2020-08-18"): (10.00, 10.00, 11.00, 9.00, False, False),  # not yet warned
    (WARNED, "2020-08-20"): (10.05, 10.55, 10.55, 9.55, True, False),
    (WARNED, "2020-08-25"): (10.00, 9.50, 10.50, 9.50, False, True),  # the last day, included
    (WARNED, "2020-08-26"): (9.50, 10.00, 10.45, 8.55, False, False),
    (WARNED, "2020-09-01"): (10.00, 10.00, 10.50, 9.50, False, False),
    (CHINEXT, "2020-08-21"): (20.00, 21.00, 21.00, 19.00, True, False),  # ST before the reform
    (CHINEXT, "2020-08-24"): (21.00, 25.20, 25.20, 16.80, True, False),  # and after it
    (BEFORE_REFORM, "2020-08-20"): (np.nan, 10.00, *UNLIMITED),  # its listing day
    (BEFORE_REFORM, "2020-08-21"): (10.00, 10.00, 11.00, 9.00, False, False),
    (BEFORE_REFORM, "2020-08-24"): (10.00, 10.00, 12.00, 8.00, False, False),
    (AFTER_REFORM, "2020-08-28"): (10.00, 10.00, *UNLIMITED),  # its fifth day
    (AFTER_REFORM, "2020-08-31"): (10.00, 10.00, 12.00, 8.00, False, False),
    (STAR, "2020-08-24"): (10.00, 10.00, *UNLIMITED),
    (STAR, "2020-08-25"): (10.00, 10.00, 12.00, 8.00, False, False),
    (EARLY_STAR, "2020-08-18"): (10.00, 10.00, *UNLIMITED),  # 12, 13, 14, 17, 18 August
    (EARLY_STAR, "2020-08-19"): (10.00, 10.00, 12.00, 8.00, False, False),
    (NEW_MAIN, "2020-08-20"): (10.00, 10.00, 11.00, 9.00, False, False),
    (BEIJING, "2020-08-25"): (10.00, 12.996, 13.00, 7.00, True, False),  # within half a fen
    (BEIJING, "2020-08-27"): (10.00, 12.99, 13.00, 7.00, False, False),
    (HALTED, "2020-08-26"): (12.34, np.nan, *UNLIMITED),  # suspended
    (HALTED, "2020-09-03"): (12.34, 13.57, 13.57, 11.11, True, False),  # the close before the halt
    (MAIN, "2020-08-22"): (10.05, np.nan, *UNLIMITED),  # a Saturday
}


@pytest.mark.parametrize(("stock", "date"), LIMITS, ids=[f"{s} {d}" for s, d in LIMITS])
def test_price_limits_worked_by_hand(market, stock, date):
    got = quotaris.get_price_limits([MAIN, stock], date).iloc[1]
    expected = pd.Series(LIMITS[stock, date], index=got.index, name=stock, dtype=object)
    pd.testing.assert_series_equal(got.astype(object), expected)


def test_price_limits_of_one_stock_and_their_shape(market):
    frame = quotaris.get_price_limits([STAR, MAIN, STAR], "2020-08-25")
    assert list(frame.index) == [STAR, MAIN, STAR]
    assert frame["at_limit_up"].dtype == bool and frame["at_limit_down"].dtype == bool
    single = quotaris.get_price_limits(MAIN, "2020-08-24")
    assert single["limit_down"] == 9.05 and single["at_limit_down"]


@pytest.mark.parametrize(
    ("call", "named"),
    [
        (lambda: quotaris.get_price_limits([MAIN, INDEX], "2020-08-24"), INDEX),
        (lambda: quotaris.get_price_limits(["600999.XSHG"], "2020-08-24"), "600999.XSHG"),
        (lambda: quotaris.get_price_limits([MAIN], "2020-09-07"), "2020-09-07"),
        (lambda: quotaris.get_special_treatment([INDEX], "2020-08-24"), INDEX),
        (lambda: quotaris.get_board([MAIN, INDEX]), INDEX),
    ],
)
def test_refusals_name_the_value(market, call, named):
    with pytest.raises(MissingData, match=named):
        call()


# -- served: closes, boards, special treatment ----------------------------------------


def test_closes_are_served_as_given(market):
    got = quotaris.get_close([HALTED, INDEX, STAR], "2020-08-14", "2020-08-19")
    pd.testing.assert_frame_equal(
        got, closes().loc["2020-08-14":"2020-08-19", [HALTED, INDEX, STAR]], check_freq=False
    )
    assert quotaris.get_close(MAIN, "2020-08-19", "2020-08-19").tolist() == [10.95]


@pytest.mark.parametrize(
    ("date", "statuses"),
    [
        ("2020-08-18", ["", "ST", ""]),  # a period starting later is not seen yet
        ("2020-08-19", ["*ST", "ST", ""]),
        ("2020-08-25", ["*ST", "ST", ""]),
        ("2020-08-26", ["", "ST", ""]),
        ("2020-09-04", ["ST", "ST", ""]),
    ],
)
def test_special_treatment_point_in_time(market, date, statuses):
    got = quotaris.get_special_treatment([WARNED, CHINEXT, MAIN], date)
    assert got.tolist() == statuses and got.index.tolist() == [WARNED, CHINEXT, MAIN]
    assert quotaris.get_special_treatment(WARNED, date) == statuses[0]


def test_boards_served_and_overridden(use_source):
    use_source(MemorySource.from_tables(tables()))
    assert quotaris.get_board([MAIN, AFTER_REFORM, STAR, BEIJING]).tolist() == [
        "main",
        "chinext",
        "star",
        "bse",
    ]
    given = tables()
    boards = {MAIN: "chinext", BEIJING: "STAR"}
    given.instruments["board"] = given.instruments["order_book_id"].map(boards).fillna("")
    use_source(MemorySource.from_tables(given))
    assert quotaris.get_board(MAIN) == "chinext"
    assert quotaris.get_board(BEIJING) == "star"
    # The board given decides the limit: ChiNext's 20 % instead of the main board's 10 %.
    assert quotaris.get_price_limits(MAIN, "2020-08-24")["limit_up"] == 12.06


def test_a_market_without_the_tables_says_which(use_source):
    bare = tables(closes=None, special_treatment=None)
    use_source(MemorySource.from_tables(bare))
    with pytest.raises(MissingData, match="closes"):
        quotaris.get_close([MAIN], "2020-08-17", "2020-08-21")
    with pytest.raises(MissingData, match="closes"):
        quotaris.get_price_limits([MAIN], "2020-08-21")
    with pytest.raises(MissingData, match="special_treatment"):
        quotaris.get_special_treatment([MAIN], "2020-08-21")
    # Without special treatment recorded, the warned stock has the main board's 10 %.
    use_source(MemorySource.from_tables(tables(special_treatment=None)))
    assert quotaris.get_price_limits(WARNED, "2020-08-20")["limit_up"] == 11.06


# -- validation ----------------------------------------------------------------------


def with_close(stock: str, date: str, value: float) -> dict:
    close = closes()
    close.loc[date, stock] = value
    return {"closes": close}


def with_change(stock: str, date: str, value: float) -> dict:
    change = changes(closes())
    change.loc[date, stock] = value
    return {"price_change_rate": change}


def with_treatment(*rows) -> dict:
    extra = pd.DataFrame(list(rows), columns=list(SPECIAL_TREATMENT.columns))
    return {"special_treatment": pd.concat([SPECIAL_TREATMENT, extra], ignore_index=True)}


BAD = {
    "zero close": (
        with_close(MAIN, "2020-08-20", 0.0),
        rf"closes, column '{MAIN}', 2020-08-20: 0 is not a positive price",
    ),
    "change off the closes": (
        with_change(MAIN, "2020-08-20", 0.0056),
        rf"closes, column '{MAIN}', 2020-08-20: price_change_rate gives 0.0056, but the "
        r"close of 11 is a change of 0.00456621: the close before is 10.95 on 2020-08-19",
    ),
    "change without close": (
        with_close(MAIN, "2020-08-20", np.nan),
        rf"closes, column '{MAIN}', 2020-08-20: no close, but price_change_rate gives",
    ),
    "close without change": (
        with_change(HALTED, "2020-09-03", np.nan),
        rf"closes, column '{HALTED}', 2020-09-03: a close of 13.57 but no price change; "
        r"the close before is 12.34 on 2020-08-17",
    ),
    "closes of an instrument without changes": (
        {"price_change_rate": changes(closes()).drop(columns=[BEIJING])},
        rf"closes, column '{BEIJING}': price_change_rate has no column",
    ),
    "unknown status": (
        with_treatment((MAIN, "2020-08-20", "", "st")),
        r"special_treatment, row 4, column 'status': unknown status 'st' \(expected one of ST",
    ),
    "status of an index": (
        with_treatment((INDEX, "2020-08-20", "", "ST")),
        rf"special_treatment, row 4, column 'order_book_id': {INDEX} is not a stock",
    ),
    "unknown stock": (
        with_treatment(("600999.XSHG", "2020-08-20", "", "ST")),
        r"row 4, column 'order_book_id': unknown order_book_id '600999.XSHG'",
    ),
    "overlap": (
        with_treatment((WARNED, "2020-08-25", "2020-08-28", "ST")),
        rf"special_treatment, row 4, column 'start_date': {WARNED} is already under special "
        r"treatment on 2020-08-25: row 1 runs from 2020-08-19 to 2020-08-25",
    ),
    "overlap with a running period": (
        with_treatment((CHINEXT, "2020-09-01", "", "*ST")),
        r"row 4, column 'start_date': .* row 3 runs from 2020-01-02 on",
    ),
    "end before start": (
        with_treatment((MAIN, "2020-08-20", "2020-08-19", "ST")),
        r"row 4, column 'end_date': 2020-08-19 is before the start date 2020-08-20",
    ),
    "before the listing": (
        with_treatment((STAR, "2020-08-17", "", "ST")),
        r"row 4, column 'start_date': 2020-08-17 is before the listed date 2020-08-18",
    ),
}


@pytest.mark.parametrize(("changed", "message"), BAD.values(), ids=BAD.keys())
def test_bad_trading_tables_are_refused_where_they_are_wrong(changed, message):
    with pytest.raises(ValidationError, match=message):
        MemorySource.from_tables(tables(**changed))


@pytest.mark.parametrize(
    ("stock_board", "index_board", "message"),
    [
        ("growth", "", r"row 1, column 'board': unknown board 'growth' \(expected one of main"),
        ("", "main", rf"row 11, column 'board': {INDEX} is not a stock"),
        ("ChiNext", "", None),
    ],
)
def test_board_column_checked(stock_board, index_board, message, use_source):
    given = tables()
    given.instruments["board"] = [stock_board] + [""] * (len(STOCKS) - 1) + [index_board]
    if message is None:
        use_source(MemorySource.from_tables(given))
        assert quotaris.get_board(MAIN) == stock_board.lower()
    else:
        with pytest.raises(ValidationError, match=message):
            MemorySource.from_tables(given)


def test_changes_given_to_four_decimals_pass():
    change = changes(closes()).round(4)
    MemorySource.from_tables(tables(price_change_rate=change))


# -- import --------------------------------------------------------------------------


def csv(path, frame: pd.DataFrame):
    frame.to_csv(path, index=False)
    return path


def test_import_keeps_the_closes_and_reads_special_treatment(tmp_path):
    close = closes()
    prices = (
        close.stack().dropna().rename("close").rename_axis(["date", "order_book_id"]).reset_index()
    )
    given = tables()
    instruments = given.instruments.drop(columns="exchange").assign(board="")
    instruments.loc[instruments["order_book_id"] == MAIN, "board"] = "star"
    from plovera.cli import EXIT_OK, main

    path = tmp_path / "bundle"
    command = ["data", "import", str(path)]
    command += ["--instruments", str(csv(tmp_path / "instruments.csv", instruments))]
    command += ["--prices", str(csv(tmp_path / "prices.csv", prices))]
    command += ["--special-treatment", str(csv(tmp_path / "st.csv", SPECIAL_TREATMENT))]
    assert main(command) == EXIT_OK
    source = BundleSource(path)
    pd.testing.assert_frame_equal(
        source.closes([MAIN, HALTED, INDEX], SESSIONS[0].date(), SESSIONS[-1].date()),
        close[[MAIN, HALTED, INDEX]],
        check_freq=False,
    )
    assert source.special_treatment([WARNED], D(2020, 8, 20)).tolist() == ["*ST"]
    assert source.boards([MAIN, CHINEXT]).tolist() == ["star", "chinext"]


def test_import_names_the_file_row_and_line_of_bad_special_treatment(tmp_path):
    prices = closes().stack().dropna().rename("close").rename_axis(["date", "order_book_id"])
    treatment = pd.concat(
        [
            SPECIAL_TREATMENT,
            pd.DataFrame([[MAIN, "2020-08-20", "", "S T"]], columns=SPECIAL_TREATMENT.columns),
        ]
    )
    bad = csv(tmp_path / "st.csv", treatment)
    with pytest.raises(
        ImportValidationError, match=rf"{bad}, row 4 \(line 5\), column 'status': unknown status"
    ):
        import_bundle(
            tmp_path / "bundle",
            instruments=tables().instruments,
            prices=prices.reset_index(),
            special_treatment=bad,
        )
