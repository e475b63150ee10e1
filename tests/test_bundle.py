"""Writing, verifying and serving bundles."""

from __future__ import annotations

import datetime
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

from plovera.const import STYLE_FACTORS
from quotaris import MemorySource
from quotaris.bundle import FORMAT_VERSION, BundleSource, write_bundle, writing
from quotaris.source import BundleError, Instrument, MissingData, QuotarisWarning
from quotaris.tables import BundleTables
from quotaris.validate import ValidationError

D = datetime.date
A, B, C, INDEX = "600000.XSHG", "600001.XSHG", "000002.XSHE", "000300.XSHG"
# February 2024 on the Shanghai exchange: closed 9 to 18 February for the Spring Festival.
SESSIONS = pd.DatetimeIndex(
    [f"2024-02-{day:02d}" for day in (1, 2, 5, 6, 7, 8, 19, 20, 21, 22, 23, 26, 27, 28, 29)]
).as_unit("ns")
FIRST_REVIEW = [("2024-02-05", A, 0.5), ("2024-02-05", C, 0.5)]
SECOND_REVIEW = [("2024-02-19", A, 0.3), ("2024-02-19", B, 0.3), ("2024-02-19", C, 0.4)]
# Given out of order: the bundle keeps them by date and identifier.
VALUE_SIGNAL = [("2024-02-19", A, 2.0), ("2024-02-01", A, 1.0), ("2024-02-01", C, -1.0)]
VALUE_SIGNAL += [("2024-02-19", B, 0.5)]


def market() -> BundleTables:
    """Four instruments: B lists on 5 February, C delists on 20 February."""
    rng = np.random.default_rng(3)
    instruments = pd.DataFrame(
        {
            "order_book_id": [A, B, C, INDEX],
            "symbol": ["Bank", "New", "Gone", "CSI 300"],
            "type": ["CS", "CS", "CS", "INDX"],
            "exchange": ["XSHG", "XSHG", "XSHE", "XSHG"],
            "listed_date": ["2010-01-04", "2024-02-05", "2010-01-04", "2005-04-08"],
            "de_listed_date": ["0000-00-00", "0000-00-00", "2024-02-20", "0000-00-00"],
        }
    )
    trading = pd.DataFrame(True, index=SESSIONS, columns=[A, B, C])
    trading.loc[:"2024-02-02", B] = False
    trading.loc["2024-02-21":, C] = False

    def daily(low: float, high: float) -> pd.DataFrame:
        return pd.DataFrame(rng.uniform(low, high, trading.shape), SESSIONS, trading.columns).where(
            trading
        )

    returns = daily(-0.1, 0.1)
    returns[INDEX] = rng.uniform(-0.05, 0.05, len(SESSIONS))
    weights = pd.DataFrame(
        FIRST_REVIEW + SECOND_REVIEW, columns=["date", "order_book_id", "weight"]
    )
    weights.insert(1, "index_id", INDEX)
    weights["date"] = pd.to_datetime(weights["date"])
    exposures = pd.DataFrame(
        {
            "date": pd.to_datetime(["2024-02-01", "2024-02-01", "2024-02-19", "2024-02-19"]),
            "order_book_id": [A, C, A, B],
            **{style: rng.normal(size=4) for style in STYLE_FACTORS},
        }
    )
    return BundleTables(
        instruments=instruments,
        calendar="XSHG",
        trading_dates=SESSIONS,
        price_change_rate=returns,
        market_cap_total=daily(1e9, 2e9),
        market_cap_float=daily(5e8, 1e9),
        turnover=daily(0.0, 0.05),
        index_weights=weights,
        industry=pd.DataFrame(
            {
                "order_book_id": [A, A, B, C],
                "scheme": ["sws", "sws", "sws", "citic"],
                "start_date": pd.to_datetime(
                    ["2010-01-04", "2024-02-19", "2024-02-05", "2010-01-04"]
                ),
                "industry_code": ["801780", "801790", "801080", "CI005021"],
                "industry_name": ["银行", "非银金融", "电子", "银行"],
            }
        ),
        fundamentals=pd.DataFrame(
            {
                "order_book_id": [A, A, B],
                "announce_date": pd.to_datetime(["2024-01-30", "2024-02-07", "2024-02-17"]),
                "book_value": [1.0, 3.0, 7.0],
                "ttm_earnings": [2.0, np.nan, 8.0],  # the second report leaves earnings out
            }
        ),
        style_exposure=exposures,
        signals={
            "value": pd.DataFrame(VALUE_SIGNAL, columns=["date", "order_book_id", "value"]),
            "momentum_12m": pd.DataFrame(
                {"date": ["2024-02-29"], "order_book_id": [B], "value": [-3.0]}
            ),
        },
    )


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    """A bundle the tests only read."""
    return write_bundle(tmp_path_factory.mktemp("shared") / "market", market())


@pytest.fixture
def own_bundle(tmp_path):
    """A bundle the test may damage or replace."""
    return write_bundle(tmp_path / "market", market())


def weights_of(review) -> pd.Series:
    weights = {order_book_id: weight for _, order_book_id, weight in review}
    return pd.Series(weights, name=INDEX).sort_index()  # constituents come sorted


def test_round_trip(bundle):
    tables = market()
    source = BundleSource(bundle)
    expected = [Instrument(*row) for row in tables.instruments.itertuples(index=False)]
    assert source.instruments([C, "nothing", A, B, INDEX]) == [expected[i] for i in (2, 0, 1, 3)]
    pd.testing.assert_index_equal(source.trading_dates(), SESSIONS)
    first, last = SESSIONS[0].date(), SESSIONS[-1].date()
    everyone = [A, B, C, INDEX]
    for got, wanted in [
        (source.price_change_rate(everyone, first, last), tables.price_change_rate),
        (source.market_cap([A, B, C], first, last, "total"), tables.market_cap_total),
        (source.market_cap([A, B, C], first, last, "float"), tables.market_cap_float),
        (source.turnover([A, B, C], first, last), tables.turnover),
    ]:
        pd.testing.assert_frame_equal(got, wanted, check_freq=False)
    pd.testing.assert_series_equal(
        source.index_weights(INDEX, D(2024, 2, 19)), weights_of(SECOND_REVIEW)
    )
    exposures = tables.style_exposure.iloc[2:].set_index("order_book_id").drop(columns="date")
    pd.testing.assert_frame_equal(
        source.style_exposure([A, B], D(2024, 2, 29)), exposures, check_names=False
    )
    manifest = source.manifest
    assert (manifest["format_version"], manifest["calendar"]) == (FORMAT_VERSION, "XSHG")
    assert (manifest["start_date"], manifest["end_date"]) == ("2024-02-01", "2024-02-29")
    for name, entry in manifest["files"].items():
        assert entry["sha256"] == hashlib.sha256((bundle / name).read_bytes()).hexdigest()
        assert entry["rows"] == pq.read_metadata(bundle / name).num_rows


def test_answers_are_copies(bundle):
    source = BundleSource(bundle)
    changed = source.price_change_rate([A], D(2024, 2, 1), D(2024, 2, 29))
    changed.iloc[:, 0] = 99.0
    weights = source.index_weights(INDEX, D(2024, 2, 5))
    weights.iloc[:] = 0.0
    assert (source.price_change_rate([A], D(2024, 2, 1), D(2024, 2, 29)) < 1).all().all()
    pd.testing.assert_series_equal(
        source.index_weights(INDEX, D(2024, 2, 5)), weights_of(FIRST_REVIEW)
    )


def test_a_child_forked_mid_decode_can_decode(own_bundle):
    # Another thread of the parent is decoding a table when the process forks.
    source = BundleSource(own_bundle)
    decoding, release = threading.Event(), threading.Event()

    def decode_slowly():
        with source._decoding:
            decoding.set()
            release.wait()

    thread = threading.Thread(target=decode_slowly)
    thread.start()
    decoding.wait()
    try:
        pid = os.fork()
        if pid == 0:
            # The child must never return into pytest, whatever happens.
            code = 1
            try:
                signal.alarm(10)  # a lock copied as held would hang the child
                source.price_change_rate([A], D(2024, 2, 1), D(2024, 2, 29))
                BundleSource(own_bundle)
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
    finally:
        release.set()
        thread.join()
    assert os.waitstatus_to_exitcode(status) == 0


def test_opening_again_is_cached_until_rewritten(own_bundle, tmp_path):
    bundle = own_bundle
    source = BundleSource(bundle)
    os.symlink(bundle, tmp_path / "link")
    assert BundleSource(tmp_path / "link") is source
    assert BundleSource(os.fspath(bundle) + "/.") is source
    newer = market()
    newer.price_change_rate = newer.price_change_rate * 0 + 0.01
    write_bundle(bundle, newer, overwrite=True)
    reopened = BundleSource(bundle)
    assert reopened is not source
    assert reopened.price_change_rate([A], D(2024, 2, 1), D(2024, 2, 1)).iat[0, 0] == 0.01


@pytest.mark.parametrize(
    ("date", "expected"),
    [
        (D(2024, 2, 1), None),  # first calendar day, before the first review
        (D(2024, 2, 2), None),
        (D(2024, 2, 5), FIRST_REVIEW),  # review day
        (D(2024, 2, 12), FIRST_REVIEW),  # holiday between the reviews
        (D(2024, 2, 18), FIRST_REVIEW),  # the day before the second review
        (D(2024, 2, 19), SECOND_REVIEW),
        (D(2024, 2, 29), SECOND_REVIEW),  # last calendar day
    ],
)
def test_index_weights_in_force(bundle, date, expected):
    weights = BundleSource(bundle).index_weights(INDEX, date)
    if expected is None:
        assert weights is None
    else:
        pd.testing.assert_series_equal(weights, weights_of(expected))


@pytest.mark.parametrize(
    ("date", "expected"),
    [
        (D(2024, 2, 2), {A: "银行", B: None}),  # before B's first classification
        (D(2024, 2, 18), {A: "银行", B: "电子"}),
        (D(2024, 2, 19), {A: "非银金融", B: "电子"}),  # A reclassified that day
    ],
)
def test_industry_in_force(bundle, date, expected):
    got = BundleSource(bundle).industry([A, B], date, "sws")
    assert got.to_dict() == expected
    assert BundleSource(bundle).industry([C], date, "citic").to_dict() == {C: "银行"}


@pytest.mark.parametrize(
    ("date", "expected"),
    [
        (D(2024, 2, 6), [[1.0, 2.0], [np.nan, np.nan]]),  # before B's first report
        (D(2024, 2, 7), [[3.0, 2.0], [np.nan, np.nan]]),  # announced that day; earnings kept
        (D(2024, 2, 19), [[3.0, 2.0], [7.0, 8.0]]),  # B announced on a holiday
    ],
)
def test_fundamentals_latest_announced(bundle, date, expected):
    got = BundleSource(bundle).fundamentals([A, B], date, ["book_value", "ttm_earnings"])
    np.testing.assert_array_equal(got.to_numpy(), expected)
    assert list(got.index) == [A, B]


def test_style_exposure_latest_and_missing(bundle):
    source = BundleSource(bundle)
    tables = market()
    np.testing.assert_array_equal(
        source.style_exposure([C], D(2024, 2, 28)).to_numpy(),
        tables.style_exposure.iloc[[1], 2:].to_numpy(),
    )
    with pytest.raises(MissingData, match=f"'{B}'"):
        source.style_exposure([A, B], D(2024, 2, 8))


def test_price_change_rate_boundaries(bundle):
    source = BundleSource(bundle)
    returns = market().price_change_rate
    # From a holiday: the first rows are the trading days after it.
    got = source.price_change_rate([B, C], D(2024, 2, 12), D(2024, 2, 21))
    assert list(got.index.strftime("%m-%d")) == ["02-19", "02-20", "02-21"]
    assert not np.isnan(got.loc["2024-02-20", C]) and np.isnan(got.loc["2024-02-21", C])
    listing = source.price_change_rate([B], D(2024, 2, 2), D(2024, 2, 5))[B]
    assert np.isnan(listing.iloc[0]) and listing.iloc[1] == returns.loc["2024-02-05", B]
    whole = source.price_change_rate([INDEX], SESSIONS[0].date(), SESSIONS[-1].date())
    assert len(whole) == len(SESSIONS)
    assert source.price_change_rate([A, A], D(2024, 2, 29), D(2024, 2, 29)).shape == (1, 2)


@pytest.mark.parametrize(
    "call",
    [
        lambda s, day: s.price_change_rate([A], day, D(2024, 2, 29)),
        lambda s, day: s.price_change_rate([A], D(2024, 2, 1), day),
        lambda s, day: s.index_weights(INDEX, day),
        lambda s, day: s.industry([A], day, "sws"),
        lambda s, day: s.fundamentals([A], day, ["book_value"]),
        lambda s, day: s.style_exposure([A], day),
        lambda s, day: s.signal("value", [A], day),
        lambda s, day: s.signal_history("value", D(2024, 2, 1), day),
    ],
)
@pytest.mark.parametrize("day", [D(2024, 1, 31), D(2024, 3, 1)])
def test_dates_outside_the_data(bundle, call, day):
    with pytest.raises(MissingData, match=f"{day:%Y-%m-%d}.*2024-02-01 to 2024-02-29"):
        call(BundleSource(bundle), day)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.price_change_rate([A, "999999.XSHG"], D(2024, 2, 1), D(2024, 2, 2)),
        lambda s: s.market_cap(["999999.XSHG"], D(2024, 2, 1), D(2024, 2, 2), "float"),
        lambda s: s.turnover(["999999.XSHG"], D(2024, 2, 1), D(2024, 2, 2)),
        lambda s: s.index_weights("999999.XSHG", D(2024, 2, 5)),
        lambda s: s.industry(["999999.XSHG"], D(2024, 2, 5), "sws"),
        lambda s: s.fundamentals(["999999.XSHG"], D(2024, 2, 5), ["book_value"]),
        lambda s: s.style_exposure(["999999.XSHG"], D(2024, 2, 5)),
        lambda s: s.signal("value", ["999999.XSHG"], D(2024, 2, 5)),
    ],
)
def test_unknown_identifier(bundle, call):
    with pytest.raises(MissingData, match=r"unknown order_book_id '999999\.XSHG'"):
        call(BundleSource(bundle))


@pytest.mark.parametrize("empty", [False, True])
def test_index_without_weights_and_absent_tables(tmp_path, empty):
    tables = market()
    if empty:
        tables.index_weights, tables.industry = tables.index_weights[:0], tables.industry[:0]
    else:
        tables.index_weights, tables.industry = None, None
    tables.turnover = None
    source = BundleSource(write_bundle(tmp_path / "lean", tables))
    with pytest.raises(MissingData, match=f"no constituent weights of {INDEX}"):
        source.index_weights(INDEX, D(2024, 2, 19))
    with pytest.raises(MissingData, match="no turnover"):
        source.turnover([A], D(2024, 2, 1), D(2024, 2, 2))
    with pytest.raises(MissingData, match="'sws'"):
        source.industry([A], D(2024, 2, 1), "sws")


def flip_byte(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x01
    path.write_bytes(bytes(data))


def set_version(path):
    manifest = json.loads(path.read_text())
    manifest["format_version"] = FORMAT_VERSION + 1
    path.write_text(json.dumps(manifest))


@pytest.mark.parametrize(
    ("file_name", "damage", "message"),
    [
        ("price_change_rate.parquet", os.remove, "price_change_rate.parquet: missing"),
        ("index_weights.parquet", lambda p: os.truncate(p, 100), "truncated"),
        ("price_change_rate.parquet", flip_byte, "price_change_rate.parquet: checksum mismatch"),
        ("instruments.parquet", flip_byte, "instruments.parquet: checksum mismatch"),
        ("manifest.json", set_version, "format version 2 .*newer.*reads format 1"),
        ("manifest.json", lambda p: p.write_text('{"format_'), "manifest.json: unreadable"),
        ("manifest.json", os.remove, "manifest.json: missing"),
    ],
)
def test_damaged_bundle_is_refused(own_bundle, file_name, damage, message):
    bundle = own_bundle
    damage(bundle / file_name)
    with pytest.raises(BundleError, match=message):
        BundleSource(bundle)


def test_existing_bundle_is_kept_without_overwrite(own_bundle, tmp_path):
    bundle = own_bundle
    with pytest.raises(BundleError, match="already exists; pass overwrite=True"):
        write_bundle(bundle, market())
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "todo.txt").write_text("mine")
    with pytest.raises(BundleError, match="is not a bundle"):
        write_bundle(tmp_path / "notes", market(), overwrite=True)
    assert (tmp_path / "notes" / "todo.txt").read_text() == "mine"
    (tmp_path / "empty").mkdir()
    assert BundleSource(write_bundle(tmp_path / "empty", market())).trading_dates().equals(SESSIONS)


@pytest.mark.parametrize("overwrite", [False, True])
def test_failed_write_leaves_no_trace(tmp_path, monkeypatch, overwrite):
    target = tmp_path / "market"
    if overwrite:
        write_bundle(target, market())
    before = {path.name: path.read_bytes() for path in target.glob("*")}
    written = []

    def fail_on_third(table, where, **options):
        written.append(where)
        if len(written) == 3:
            raise OSError(28, "No space left on device")
        pq.write_table.__wrapped__(table, where, **options)

    fail_on_third.__wrapped__ = pq.write_table
    monkeypatch.setattr(pq, "write_table", fail_on_third)
    changed = market()
    changed.price_change_rate = changed.price_change_rate * 0.5
    with pytest.raises(BundleError, match="No space left on device"):
        write_bundle(target, changed, overwrite=overwrite)
    assert [path.name for path in tmp_path.iterdir()] == (["market"] if overwrite else [])
    assert {path.name: path.read_bytes() for path in target.glob("*")} == before


ROOT = Path(__file__).resolve().parents[1]
_KILLED_WRITE = """
import os, sys
from quotaris.bundle import writing
from tests.test_bundle import market

real = writing._write_contents


def killed(staging, tables, matrices):
    real(staging, tables, matrices)
    os._exit(9)  # as if killed: no clean-up runs


writing._write_contents = killed
writing.write_bundle(sys.argv[1], market(), overwrite=True)
"""


def hidden(folder):
    return sorted(path.name for path in folder.iterdir() if path.name.startswith("."))


def test_the_next_write_removes_a_killed_writers_scratch(tmp_path):
    fcntl = pytest.importorskip("fcntl")
    target = tmp_path / "market"
    for _ in range(3):
        subprocess.run([sys.executable, "-c", _KILLED_WRITE, str(target)], cwd=ROOT, check=False)
    # Each killed writer removed its predecessor's leftovers: only the last one's remain.
    left = hidden(tmp_path)
    assert [name.rsplit(".", 1)[1] for name in left] == ["lock", "partial"]
    assert not target.exists()
    # A scratch directory whose writer lives on is kept.
    alive = tmp_path / ".market.0123456789abcdef.partial"
    alive.mkdir()
    with open(tmp_path / ".market.0123456789abcdef.lock", "wb") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        write_bundle(target, market())
        assert hidden(tmp_path) == [".market.0123456789abcdef.lock", alive.name]
    BundleSource(target)


@pytest.mark.parametrize("then", ["open", "write"])
def test_a_bundle_moved_aside_by_a_killed_writer_is_put_back(own_bundle, then):
    """Killed between the two renames of a replacement: old bundle aside, none in place."""
    aside = own_bundle.with_name(f".{own_bundle.name}.{'ab' * 16}.replaced")
    os.rename(own_bundle, aside)
    if then == "open":
        assert BundleSource(own_bundle).trading_dates().equals(SESSIONS)
    else:
        with pytest.raises(BundleError, match="already exists"):
            write_bundle(own_bundle, market())
    assert not aside.exists()
    assert hidden(own_bundle.parent) == []


_KILLED_BETWEEN_RENAMES = """
import os, sys
from quotaris.bundle import writing
from tests.test_bundle import market

writing._exchange_directories = lambda first, second: False
real = os.rename


def killed_after(source, target):
    real(source, target)
    os._exit(9)  # as if killed: no clean-up runs


os.rename = killed_after
changed = market()
changed.price_change_rate = changed.price_change_rate * 0.5
writing.write_bundle(sys.argv[1], changed, overwrite=True)
"""


@pytest.mark.parametrize("then", ["open", "write"])
def test_a_replacement_killed_between_its_two_renames_is_undone(own_bundle, then):
    """The real fallback, killed after moving the old bundle aside: it comes back."""
    pytest.importorskip("fcntl")  # a dead writer is told by its released lock
    before = {path.name: path.read_bytes() for path in own_bundle.iterdir()}
    command = [sys.executable, "-c", _KILLED_BETWEEN_RENAMES, str(own_bundle)]
    assert subprocess.run(command, cwd=ROOT, check=False).returncode == 9
    assert not own_bundle.exists()
    if then == "open":
        BundleSource(own_bundle)
    else:
        with pytest.raises(BundleError, match="already exists"):
            write_bundle(own_bundle, market())
    assert {path.name: path.read_bytes() for path in own_bundle.iterdir()} == before
    write_bundle(own_bundle, market(), overwrite=True)
    assert hidden(own_bundle.parent) == []  # the dead writer's scratch went with the write


def test_only_the_destinations_own_bundle_is_put_back(own_bundle):
    """ ".market.v2.<token>.replaced" belongs to "market.v2", though it starts like "market"'s."""
    other = own_bundle.with_name("market.v2")
    aside = own_bundle.with_name(f".{other.name}.{'ab' * 16}.replaced")
    os.rename(own_bundle, aside)
    with pytest.raises(BundleError):
        BundleSource(own_bundle)
    assert aside.exists() and not own_bundle.exists()
    assert BundleSource(other).trading_dates().equals(SESSIONS)


def test_a_completed_swap_leaves_nothing_aside(own_bundle):
    aside = own_bundle.with_name(f".{own_bundle.name}.{'cd' * 16}.replaced")
    shutil.copytree(own_bundle, aside)
    write_bundle(own_bundle, market(), overwrite=True)
    assert hidden(own_bundle.parent) == []


def test_replacing_without_an_exchange(own_bundle, monkeypatch):
    monkeypatch.setattr(writing, "_exchange_directories", lambda first, second: False)
    changed = market()
    changed.price_change_rate = changed.price_change_rate * 0.5
    source = BundleSource(write_bundle(own_bundle, changed, overwrite=True))
    day = SESSIONS[3].date()
    assert source.price_change_rate([A], day, day).iloc[0, 0] == pytest.approx(
        changed.price_change_rate.loc[SESSIONS[3], A]
    )
    assert hidden(own_bundle.parent) == []


def test_unlisted_files_are_named(own_bundle):
    (own_bundle / "notes.txt").write_text("mine")
    with pytest.warns(QuotarisWarning, match="'notes.txt'"):
        BundleSource(own_bundle)
    with pytest.raises(BundleError, match="does not list: 'notes.txt'"):
        BundleSource(own_bundle, strict=True)


def _put(frame_name, row, column, value):
    def mutate(tables):
        frame = getattr(tables, frame_name).copy()
        frame.loc[row, column] = value
        setattr(tables, frame_name, frame)

    return mutate


def _put_signal(row, column, value):
    def mutate(tables):
        frame = tables.signals["value"].copy()
        frame.loc[row, column] = value
        tables.signals = {**tables.signals, "value": frame}

    return mutate


def _name_signals(*names):
    def mutate(tables):
        tables.signals = {name: tables.signals["value"] for name in names}

    return mutate


def _rename_column(tables):
    tables.price_change_rate = tables.price_change_rate.rename(columns={A: "601398.XSHG"})


@pytest.mark.parametrize(
    ("mutate", "message"),
    [
        (_rename_column, "price_change_rate, column '601398.XSHG': unknown order_book_id"),
        (
            _put("price_change_rate", "2024-02-06", A, -1.5),
            f"price_change_rate, column '{A}', 2024-02-06: -1.5 is below .* -1",
        ),
        (
            _put("turnover", "2024-02-01", B, 0.01),
            f"turnover, column '{B}', 2024-02-01: value before the listed date 2024-02-05",
        ),
        (
            lambda t: setattr(t, "trading_dates", SESSIONS.delete(6)),
            "trading_dates: the XSHG trading day 2024-02-19 is missing",
        ),
        (
            _put("index_weights", 4, "weight", 0.5),
            f"index_weights, column 'weight': the weights of index {INDEX} on 2024-02-19 "
            r"\(rows 3, 4, 5\) add up to 1.1",
        ),
        (
            _put("industry", 1, "start_date", pd.Timestamp("2010-01-04")),
            r"industry, row 2, columns 'order_book_id', 'scheme', 'start_date': duplicate key "
            rf"\('{A}', 'sws', 2010-01-04\), first given in row 1",
        ),
        (
            _put("style_exposure", 1, "size", np.nan),
            "style_exposure, row 2, column 'size': missing value",
        ),
        (
            _put("instruments", 3, "type", "ETF"),
            "instruments, row 4, column 'type': unknown instrument type 'ETF'",
        ),
        (
            _put_signal(1, "date", "2024-02-10"),
            r"signals\['value'\], row 2, column 'date': 2024-02-10 is not a XSHG trading day",
        ),
        (
            _put_signal(0, "order_book_id", INDEX),
            rf"signals\['value'\], row 1, column 'order_book_id': {INDEX} is not a stock",
        ),
        (
            _name_signals("value", "ev/ebit"),
            "signals: signal name 'ev/ebit' refused: .* letters, digits and underscores only",
        ),
        (_name_signals("Value", "value"), "names 'Value' and 'value' differ only in case"),
    ],
)
def test_tables_are_validated_before_writing(tmp_path, mutate, message):
    tables = market()
    mutate(tables)
    with pytest.raises(ValidationError, match=message):
        write_bundle(tmp_path / "market", tables)
    assert list(tmp_path.iterdir()) == []


def signal_of(rows) -> pd.DataFrame:
    """Signal rows as the dates carrying values by the stocks with values."""
    frame = pd.DataFrame(rows, columns=["date", "order_book_id", "value"])
    wide = frame.pivot(index="date", columns="order_book_id", values="value")
    dates = pd.DatetimeIndex(wide.index).as_unit("ns")
    return wide.set_axis(dates, axis=0).rename_axis(index=None, columns=None)


@pytest.fixture(params=["bundle", "memory"])
def served(request, bundle):
    """The market's tables served from a bundle and from memory."""
    if request.param == "bundle":
        return BundleSource(bundle)
    return MemorySource.from_tables(market())


def test_signals_round_trip(served, bundle):
    assert served.signal_names() == ["momentum_12m", "value"]
    pd.testing.assert_frame_equal(
        served.signal_history("value", D(2024, 2, 1), D(2024, 2, 29)), signal_of(VALUE_SIGNAL)
    )
    assert {"signal.value.parquet", "signal.momentum_12m.parquet"} <= set(
        BundleSource(bundle).manifest["files"]
    )


@pytest.mark.parametrize(
    ("date", "expected"),
    [
        (D(2024, 2, 1), [1.0, np.nan, -1.0]),  # dated that day: known that day
        (D(2024, 2, 18), [1.0, np.nan, -1.0]),  # a holiday before the next values
        (D(2024, 2, 19), [2.0, 0.5, -1.0]),  # C keeps its latest value
        (D(2024, 2, 29), [2.0, 0.5, -1.0]),
    ],
)
def test_signal_is_the_latest_value_on_or_before_the_date(served, date, expected):
    got = served.signal("value", [A, B, C], date)
    pd.testing.assert_series_equal(got, pd.Series(expected, index=[A, B, C], name="value"))


@pytest.mark.parametrize(
    ("signals", "named"),
    [
        (None, "the source holds no signals"),
        ("market", "the known signals are momentum_12m, value"),
    ],
)
def test_unknown_signal_names_the_known_ones(tmp_path, signals, named):
    tables = market()
    tables.signals = signals and tables.signals
    source = BundleSource(write_bundle(tmp_path / "market", tables))
    for ask in (
        lambda: source.signal("values", [A], D(2024, 2, 19)),
        lambda: source.signal_history("values", D(2024, 2, 1), D(2024, 2, 29)),
    ):
        with pytest.raises(MissingData, match=f"unknown signal 'values': {named}"):
            ask()


def test_a_signal_holds_stocks_only(bundle):
    with pytest.raises(MissingData, match=f"value signal table holds stocks only.*'{INDEX}'"):
        BundleSource(bundle).signal("value", [A, INDEX], D(2024, 2, 19))
