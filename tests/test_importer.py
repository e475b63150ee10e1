"""Importing one's own tables, the command line, and a real public dataset."""

from __future__ import annotations

import datetime
import importlib.util
from pathlib import Path

import exchange_calendars
import numpy as np
import pandas as pd
import pytest

from plovera.cli import main
from quotaris.bundle import BundleSource
from quotaris.codes import to_order_book_id
from quotaris.importer import ImportValidationError, import_bundle
from quotaris.source import BundleError, MissingData, QuotarisWarning
from quotaris.tables import FUNDAMENTAL_FIELDS

# exchange_calendars itself reads a pandas attribute that pandas is retiring.
pytestmark = pytest.mark.filterwarnings("ignore:Series.values returning an ndarray")

D = datetime.date
A, B, INDEX = "600000.XSHG", "600001.XSHG", "000300.XSHG"

# Each table as the user writes it. B lists on 5 February 2024; the exchange
# is closed from 9 to 18 February.
TEXTS = {
    "instruments": """order_book_id,symbol,type,listed_date,de_listed_date
600000.XSHG,Bank,CS,2010-01-04,
600001.XSHG,New,CS,2024-02-05,0000-00-00
000300.XSHG,CSI 300,INDX,2005-04-08,
""",
    "prices": """date,order_book_id,close
2024-02-01,600000.XSHG,10.00
2024-02-02,600000.XSHG,11.00

2024-02-06,600000.XSHG,8.80
2024-02-05,600001.XSHG,20.00

2024-02-19,600001.XSHG,25.00
2024-02-01,000300.XSHG,3000
2024-02-19,000300.XSHG,3150
""",
    "market_caps": """date,order_book_id,total,float,turnover
2024-02-01,600000.XSHG,1.5e11,1.2e11,0.004
2024-02-05,600001.XSHG,2e9,5e8,0.35
""",
    "index_weights": """date,index_id,order_book_id,weight
2024-02-01,000300.XSHG,600000.XSHG,1.0
2024-02-19,000300.XSHG,600000.XSHG,0.75
2024-02-19,000300.XSHG,600001.XSHG,0.25
""",
    "industries": """order_book_id,scheme,start_date,industry_code,industry_name
600000.XSHG,sws,2010-01-04,801780,银行
600001.XSHG,sws,2024-02-05,801080,电子
600001.XSHG,sws_nonbank_split,2024-02-05,801193,证券
""",
    "fundamentals": """order_book_id,announce_date,book_value,ttm_earnings
600000.XSHG,2023-10-28,5.0e10,8e9
600000.XSHG,2024-02-10,5.5e10,
""",
}
# Closes above, day by day: A 10, 11, (none), 8.8; B lists at 20 and next trades at 25.
EXPECTED_CHANGES = {
    (A, "2024-02-02"): 0.1,
    (A, "2024-02-06"): -0.2,  # against the last close before the missing one
    (B, "2024-02-19"): 0.25,
    (INDEX, "2024-02-19"): 0.05,
}


def write_tables(folder: Path, texts: dict[str, str], form: str = "csv") -> dict:
    """The tables as files of ``form`` ("csv", "parquet") or as DataFrames ("frame")."""
    tables = {}
    for name, text in texts.items():
        path = folder / f"{name}.csv"
        path.write_text(text, encoding="utf-8")
        if form == "csv":
            tables[name] = path
            continue
        frame = pd.read_csv(path, dtype={"industry_code": str})
        if form == "frame":
            tables[name] = frame
        else:
            tables[name] = folder / f"{name}.parquet"
            frame.to_parquet(tables[name])
    return tables


def run_import(folder: Path, texts=TEXTS, form="csv", **options) -> Path:
    tables = write_tables(folder, texts, form)
    return import_bundle(folder / "bundle", **tables, **options)


@pytest.mark.parametrize("form", ["csv", "parquet", "frame"])
def test_import_round_trip(tmp_path, form):
    source = BundleSource(run_import(tmp_path, form=form))
    sessions = exchange_calendars.get_calendar("XSHG").sessions_in_range("2024-02-01", "2024-02-19")
    np.testing.assert_array_equal(source.trading_dates(), sessions.tz_localize(None))
    changes = source.price_change_rate([A, B, INDEX], D(2024, 2, 1), D(2024, 2, 19))
    assert changes.notna().sum().sum() == len(EXPECTED_CHANGES)
    for (order_book_id, day), change in EXPECTED_CHANGES.items():
        assert changes.loc[day, order_book_id] == pytest.approx(change, rel=1e-12)
    caps = source.market_cap([A, B], D(2024, 2, 1), D(2024, 2, 5), "float")
    assert caps.loc["2024-02-01", A] == 1.2e11 and caps.loc["2024-02-05", B] == 5e8
    assert source.turnover([B], D(2024, 2, 5), D(2024, 2, 5)).iat[0, 0] == 0.35
    assert source.index_weights(INDEX, D(2024, 2, 18)).to_dict() == {A: 1.0}
    assert source.index_weights(INDEX, D(2024, 2, 19)).to_dict() == {A: 0.75, B: 0.25}
    assert source.industry([A, B], D(2024, 2, 2), "sws").to_dict() == {A: "银行", B: None}
    split = source.industry([A, B], D(2024, 2, 5), "sws_nonbank_split")
    assert split.to_dict() == {A: None, B: "证券"}
    fundamentals = source.fundamentals([A], D(2024, 2, 19), ["book_value", "ttm_earnings"])
    assert fundamentals.loc[A].tolist() == [5.5e10, 8e9]
    first, index = source.instruments([A, INDEX])
    assert (first.exchange, first.de_listed_date, index.type) == ("XSHG", "0000-00-00", "INDX")


def test_returns_instead_of_prices(tmp_path):
    texts = dict(TEXTS)
    del texts["prices"]
    texts["returns"] = "date,order_book_id,change_rate\n2024-02-01,600000.XSHG,0.01\n"
    texts["returns"] += "2024-02-02,600000.XSHG,-0.02\n2024-02-02,000300.XSHG,0.0\n"
    texts = {name: texts[name] for name in ("instruments", "returns")}
    source = BundleSource(run_import(tmp_path, texts))
    got = source.price_change_rate([A, B], D(2024, 2, 1), D(2024, 2, 2))
    np.testing.assert_array_equal(got.to_numpy(), [[0.01, np.nan], [-0.02, np.nan]])


def edit(name: str, old: str, new: str) -> dict[str, str]:
    texts = dict(TEXTS)
    assert old in texts[name]
    texts[name] = texts[name].replace(old, new, 1)
    return texts


@pytest.mark.parametrize(
    ("texts", "message"),
    [
        (
            edit("prices", "2024-02-06,600000.XSHG", "2024-02-06,600009.XSHG"),
            r"prices.csv, row 4 \(line 5\), column 'order_book_id': unknown order_book_id "
            r"'600009.XSHG' \(not among the instruments\)",
        ),
        (
            edit("prices", "2024-02-06,600000.XSHG", "2024-02-02,600000.XSHG"),
            r"prices.csv, row 4 \(line 5\), columns 'date', 'order_book_id': duplicate key "
            r"\(2024-02-02, '600000.XSHG'\), first given in row 2",
        ),
        (
            edit("prices", "2024-02-06,", "2024-02-12,"),
            r"prices.csv, row 4 \(line 5\), column 'date': 2024-02-12 is not a XSHG trading day",
        ),
        (
            edit("market_caps", "2024-02-05,", "2024-02-20,"),
            r"market_caps.csv, row 2 \(line 3\), column 'date': 2024-02-20 is outside the "
            r"calendar, which runs from 2024-02-01 to 2024-02-19",
        ),
        (
            edit("prices", "8.80", "8,80"),
            r"prices.csv: cannot be read",  # one field too many on that line
        ),
        (
            edit("prices", "8.80", "8.8O"),
            r"prices.csv, row 4 \(line 5\), column 'close': '8.8O' is not a number",
        ),
        (
            edit("prices", "3150", "-3150"),
            r"prices.csv, row 9 \(line 10\), column 'close': -3150 is not a positive price",
        ),
        (
            edit("market_caps", "2e9", "-2e9"),
            r"market_caps.csv, row 2 \(line 3\), column 'total': -2000000000 is below the smallest",
        ),
        (
            edit("index_weights", "0.25", "0.2498"),
            r"index_weights.csv, column 'weight': the weights of index 000300.XSHG on "
            r"2024-02-19 \(rows 2, 3\) add up to 0.9998, not 1 \(tolerance 0.0001\)",
        ),
        (
            edit("index_weights", "000300.XSHG,600000.XSHG,1.0", "600001.XSHG,600000.XSHG,1.0"),
            r"index_weights.csv, row 1 \(line 2\), column 'index_id': 600001.XSHG is not an index",
        ),
        (
            edit("instruments", "New,CS", "New,ETF"),
            r"instruments.csv, row 2 \(line 3\), column 'type': unknown instrument type 'ETF' "
            r"\(expected one of CS, INDX\)",
        ),
        (
            edit("instruments", "2010-01-04", "2010/01/04"),
            r"instruments.csv, row 1 \(line 2\), column 'listed_date': malformed date "
            r"'2010/01/04' \(expected YYYY-MM-DD\)",
        ),
        (
            edit("prices", "2024-02-02,", "2024-02-30,"),
            r"prices.csv, row 2 \(line 3\), column 'date': malformed date '2024-02-30'",
        ),
        (
            edit("prices", "2024-02-19,600001", "2024-02-02,600001"),
            r"prices.csv, row 7 \(line 8\), column 'date': 2024-02-02 is before the listed "
            r"date 2024-02-05 of 600001.XSHG",
        ),
        (
            edit("industries", ",sws,2024", ",gics,2024"),
            r"industries.csv, row 2 \(line 3\), column 'scheme': unknown industry scheme 'gics'",
        ),
        (
            edit("fundamentals", "ttm_earnings", "ttm_earning"),
            r"fundamentals.csv, column 'ttm_earning': unexpected column",
        ),
        (
            edit("market_caps", "total,float", "total,free"),
            r"market_caps.csv: missing column 'float'",
        ),
    ],
)
def test_refused_tables_name_file_row_and_column(tmp_path, texts, message):
    with pytest.raises(ImportValidationError, match=message):
        run_import(tmp_path, texts)
    assert not (tmp_path / "bundle").exists()
    assert not [path for path in tmp_path.iterdir() if path.name.startswith(".")]


# A signal as the user writes it, out of order.
SIGNAL = """date,order_book_id,value
2024-02-19,600000.XSHG,0.75
2024-02-05,600001.XSHG,-1.25
2024-02-01,600000.XSHG,0.5
"""


def import_signals(folder: Path, signals: dict[str, str], form: str = "csv") -> Path:
    return run_import(folder, form=form, signals=write_tables(folder, signals, form))


@pytest.mark.parametrize("form", ["csv", "parquet", "frame"])
def test_import_signals(tmp_path, form):
    source = BundleSource(import_signals(tmp_path, {"alpha": SIGNAL, "beta_2": SIGNAL}, form))
    assert source.signal_names() == ["alpha", "beta_2"]
    for day, expected in ((D(2024, 2, 2), [0.5, np.nan]), (D(2024, 2, 19), [0.75, -1.25])):
        np.testing.assert_array_equal(source.signal("alpha", [A, B], day), expected)


@pytest.mark.parametrize(
    ("old", "new", "message"),
    [
        (
            "2024-02-05,600001",
            "2024-02-10,600001",
            r"row 2 \(line 3\), column 'date': 2024-02-10 is not a XSHG trading day",
        ),
        (
            "2024-02-05,600001",
            "2024-02-02,600001",
            r"row 2 \(line 3\), column 'date': 2024-02-02 is before the listed date 2024-02-05",
        ),
        (
            "19,600000.XSHG",
            "19,000300.XSHG",
            r"row 1 \(line 2\), column 'order_book_id': 000300.XSHG is not a stock",
        ),
        (
            "19,600000.XSHG",
            "19,600009.XSHG",
            r"row 1 \(line 2\), column 'order_book_id': unknown order_book_id '600009.XSHG'",
        ),
        ("-1.25", "-1.2S", r"row 2 \(line 3\), column 'value': '-1.2S' is not a number"),
        ("0.75", "inf", r"row 1 \(line 2\), column 'value': inf is not a finite number"),
        (
            "2024-02-01,600000",
            "2024-02-19,600000",
            r"row 3 \(line 4\), columns 'date', 'order_book_id': duplicate key "
            r"\(2024-02-19, '600000.XSHG'\), first given in row 1",
        ),
    ],
)
def test_refused_signals_name_file_row_and_column(tmp_path, old, new, message):
    assert old in SIGNAL
    with pytest.raises(ImportValidationError, match=rf"alpha.csv, {message}"):
        import_signals(tmp_path, {"alpha": SIGNAL.replace(old, new, 1)})
    assert not (tmp_path / "bundle").exists()


@pytest.mark.parametrize(
    ("signals", "message"),
    [
        ({"my-alpha": "nowhere.csv"}, "signal name 'my-alpha' refused: .*letters, digits and"),
        ({"": "nowhere.csv"}, "signal name '' refused"),
        (["nowhere.csv"], "expected tables by signal name, got list"),
    ],
)
def test_refused_signal_names(tmp_path, signals, message):
    # Names are refused before any file is read.
    with pytest.raises(ImportValidationError, match=f"signals: {message}"):
        run_import(tmp_path, signals=signals)


# Careless price files: each row replaces ``old`` by ``new`` and names where it is refused.
CARELESS_PRICES = [
    ("8.80", "1e300", r"row 4 \(line 5\), column 'close': 1e\+300 is not a plausible price"),
    ("8.80", "", r"row 4 \(line 5\), column 'close': missing value"),
    ("8.80", "NaN", r"row 4 \(line 5\), column 'close': missing value"),
    (
        "2024-02-06,600000",
        "2027-02-08,600000",
        r"row 4 \(line 5\), column 'date': 2027-02-08 is far from the other dates: "
        r"no row from 2024-02-19 to 2027-02-08",
    ),
    ("2024-02-01,600000", "2019-02-01,600000", r"row 1 \(line 2\), column 'date': 2019-02-01 is"),
]


@pytest.mark.parametrize(("old", "new", "message"), CARELESS_PRICES)
def test_careless_prices_are_refused(tmp_path, old, new, message):
    with pytest.raises(ImportValidationError, match=rf"prices.csv, {message}"):
        run_import(tmp_path, edit("prices", old, new))


def test_an_index_without_prices_is_refused(tmp_path):
    texts = edit("prices", "2024-02-01,000300.XSHG,3000\n2024-02-19,000300.XSHG,3150\n", "")
    with pytest.raises(
        ImportValidationError,
        match=r"instruments.csv, row 3 \(line 4\), column 'order_book_id': the index "
        r"000300.XSHG has no rows in .*prices.csv",
    ):
        run_import(tmp_path, texts)


def test_failed_import_keeps_the_existing_bundle(tmp_path):
    bundle = run_import(tmp_path)
    before = {path.name: path.read_bytes() for path in bundle.iterdir()}
    with pytest.raises(ImportValidationError):
        run_import(tmp_path, edit("prices", "8.80", "x"), overwrite=True)
    assert {path.name: path.read_bytes() for path in bundle.iterdir()} == before


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"calendar": "XXXX"}, r"unknown calendar 'XXXX'; the known calendars are .*XSHG"),
        ({"returns": "r.csv"}, "prices or the daily returns"),
        ({"instruments": 42}, "instruments: expected a CSV or Parquet file or a DataFrame"),
        ({"market_caps": "caps.xlsx"}, r"caps.xlsx: unknown file type"),
        ({"industries": "nowhere.csv"}, "nowhere.csv: no such file"),
    ],
)
def test_refused_options(tmp_path, options, message):
    tables = {**write_tables(tmp_path, TEXTS), **options}
    with pytest.raises(ImportValidationError, match=message):
        import_bundle(tmp_path / "bundle", **tables)


def test_command_line(tmp_path, capsys):
    tables = write_tables(tmp_path, TEXTS)
    arguments = ["data", "import", str(tmp_path / "bundle")]
    for name, path in tables.items():
        arguments += [f"--{name.replace('_', '-')}", str(path)]
    assert main(arguments) == 0
    assert main(["data", "info", str(tmp_path / "bundle")]) == 0
    out = capsys.readouterr().out
    assert "XSHG, 7 trading days from 2024-02-01 to 2024-02-19" in out
    assert "2 CS (common stock), 1 INDX (index)" in out
    assert main(arguments) == 2
    assert main(["data", "info", str(tmp_path)]) == 2
    errors = capsys.readouterr().err.splitlines()
    assert errors[0].startswith("plovera: error: ") and "already exists" in errors[0]
    assert errors[1].endswith("manifest.json: missing; not a bundle")
    assert len(errors) == 2


def test_command_line_validation_error(tmp_path, capsys):
    tables = write_tables(tmp_path, edit("instruments", "New,CS", "New,FUT"))
    arguments = ["data", "import", str(tmp_path / "b"), "--instruments", str(tables["instruments"])]
    code = main([*arguments, "--prices", str(tables["prices"])])
    err = capsys.readouterr().err
    assert code == 2
    assert err.count("\n") == 1 and "Traceback" not in err
    assert "instruments.csv, row 2 (line 3), column 'type': unknown instrument type 'FUT'" in err
    assert main(["data", "import", str(tmp_path / "b"), "--instruments", "i.csv"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "one of the arguments --prices --returns is required" in err


def load_example():
    path = Path(__file__).parents[1] / "examples" / "import_sp500.py"
    module_spec = importlib.util.spec_from_file_location("import_sp500", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_sp500_sample_from_skfolio(tmp_path):
    from skfolio.datasets import load_sp500_dataset, load_sp500_index

    source = BundleSource(load_example().import_sp500(tmp_path / "sp500"))
    prices = load_sp500_dataset().join(load_sp500_index())
    sessions = exchange_calendars.get_calendar("XNYS", start="1990-01-02", end="2022-12-28")
    np.testing.assert_array_equal(source.trading_dates(), sessions.sessions.tz_localize(None))
    records = source.instruments(["AAPL.US", "SP500.US", "AAPL"])
    assert [(r.order_book_id, r.type, r.listed_date) for r in records] == [
        ("AAPL.US", "CS", "1990-01-02"),
        ("SP500.US", "INDX", "1990-01-02"),
    ]
    got = source.price_change_rate(["AAPL.US", "XOM.US", "SP500.US"], D(2020, 3, 1), D(2020, 3, 31))
    expected = prices[["AAPL", "XOM", "SP500"]].pct_change().loc["2020-03-01":"2020-03-31"]
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-12)
    with pytest.raises(MissingData, match=r"no constituent weights of SP500\.US"):
        source.index_weights("SP500.US", D(2020, 3, 2))
    with pytest.raises(BundleError, match="already exists"):
        load_example().import_sp500(tmp_path / "sp500")


ASSETS = """order_book_id,announce_date,book_value,total_assets
600000.XSHG,2023-10-28,5.0e10,8e11
600000.XSHG,2024-02-10,5.5e10,-8e11
"""


# Each edit and where it is refused: file, row, column and the problem (a regex).
IMPLAUSIBLE = [
    (
        edit("market_caps", "5e8", "1e15"),
        ("market_caps", 2, "float", r"1e\+15 is above the total market cap 2000000000"),
    ),
    (edit("market_caps", "1.5e11", "0"), ("market_caps", 1, "total", "a market cap of 0")),
    (edit("market_caps", "5e8", "0.0"), ("market_caps", 2, "float", "a market cap of 0")),
    (edit("market_caps", "1.2e11", ""), ("market_caps", 1, "float", "missing value")),
    (edit("market_caps", "2e9", "NaN"), ("market_caps", 2, "total", "missing value")),
    (edit("market_caps", "0.35", "50"), ("market_caps", 2, "turnover", "50 is above 1")),
    (
        {**TEXTS, "fundamentals": ASSETS},
        ("fundamentals", 2, "total_assets", r"-8e\+11 is below the smallest allowed value 0"),
    ),
    (
        edit("industries", "801080,电子", "801780,电子"),
        (
            "industries",
            2,
            "industry_name",
            "sws industry 801780 is named '电子' here but '银行' in row 1",
        ),
    ),
]


@pytest.mark.parametrize(("texts", "where"), IMPLAUSIBLE)
def test_implausible_values_are_refused_naming_file_row_and_column(tmp_path, texts, where):
    name, row, column, problem = where
    with pytest.raises(
        ImportValidationError,
        match=rf"{name}\.csv, row {row} \(line {row + 1}\), column '{column}': {problem}",
    ):
        run_import(tmp_path, texts)
    assert not (tmp_path / "bundle").exists()


@pytest.mark.parametrize(
    "texts",
    [
        edit("market_caps", "5e8", "2.0001e9"),  # a fully floated company, rounded separately
        edit("market_caps", "0.35", "1"),
        edit("market_caps", "0.35", ""),
        edit("industries", "801193,证券", "801780,证券"),  # codes of another scheme are its own
        {**TEXTS, "fundamentals": ASSETS.replace("-8e11", "0")},
    ],
)
def test_plausible_edge_values_are_accepted(tmp_path, texts):
    assert BundleSource(run_import(tmp_path, texts)).trading_dates().size == 7


@pytest.mark.parametrize(
    ("old", "new", "message"),
    [
        ("ttm_earnings", "ttm_earning", r"column 'ttm_earning': unexpected column"),
        ("announce_date", "announced", r"missing column 'announce_date'"),
    ],
)
def test_a_refused_fundamentals_header_lists_the_fields(tmp_path, old, new, message):
    with pytest.raises(ImportValidationError, match=rf"fundamentals.csv.*{message}") as refused:
        run_import(tmp_path, edit("fundamentals", old, new))
    assert all(field in str(refused.value) for field in FUNDAMENTAL_FIELDS)


def test_codes_as_researchers_write_them_are_read_and_said_so_once(tmp_path):
    # The instruments in vendor form, the prices in another, the index bare.
    texts = {
        name: text.replace("600000.XSHG", "600000.SH").replace("000300.XSHG", "000300")
        for name, text in TEXTS.items()
    }
    texts["prices"] = texts["prices"].replace("600001.XSHG", "sh600001")
    for name in ("vendor", "plain"):
        (tmp_path / name).mkdir()
    with pytest.warns(QuotarisWarning, match=r"read 3 codes .* 600000\.SH → 600000\.XSHG") as seen:
        source = BundleSource(run_import(tmp_path / "vendor", texts))
    assert len(seen) == 1
    expected = BundleSource(run_import(tmp_path / "plain"))
    assert [i.order_book_id for i in source.all_instruments()] == [
        i.order_book_id for i in expected.all_instruments()
    ]
    assert source.index_weights(INDEX, D(2024, 2, 19)).equals(
        expected.index_weights(INDEX, D(2024, 2, 19))
    )


@pytest.mark.parametrize(
    ("code", "index", "expected"),
    [
        ("600000.SH", False, "600000.XSHG"),
        ("sz000001", False, "000001.XSHE"),
        ("830799.BJ", False, "830799.BJSE"),
        ("688981", False, "688981.XSHG"),
        ("000300", False, "000300.XSHE"),
        ("000300", True, "000300.XSHG"),
        ("399006", True, "399006.XSHE"),
        ("000001.XSHE", False, "000001.XSHE"),
        ("AAPL", False, "AAPL"),
    ],
)
def test_code_forms(code, index, expected):
    assert to_order_book_id(code, index) == expected


def test_command_line_imports_signals(tmp_path, capsys):
    tables = write_tables(tmp_path, TEXTS)
    signal = tmp_path / "alpha.csv"
    signal.write_text("date,order_book_id,value\n2024-02-02,600000.XSHG,0.5\n", encoding="utf-8")
    arguments = ["data", "import", str(tmp_path / "bundle")]
    for name, path in tables.items():
        arguments += [f"--{name.replace('_', '-')}", str(path)]
    assert main([*arguments, "--signal", f"alpha={signal}"]) == 0
    source = BundleSource(tmp_path / "bundle")
    assert source.signal_names() == ["alpha"]
    assert main([*arguments, "--signal", "alpha"]) == 2
    assert "expected NAME=FILE" in capsys.readouterr().err
