"""Signals as market data, through the module-level readers; the demo market's signal."""

import numpy as np
import pandas as pd
import pytest

import quotaris
from quotaris import MemorySource, MissingData

A, B, INDEX = "600000.XSHG", "600001.XSHG", "000300.XSHG"
DAYS = pd.bdate_range("2024-01-01", periods=30)  # 15 January is DAYS[10], a Monday
QUALITY = pd.DataFrame(
    {
        "date": DAYS[[0, 10, 10, 20]],
        "order_book_id": [A, A, B, A],
        "value": [1.0, 2.0, -1.0, 3.0],
    }
)


@pytest.fixture
def market(use_source):
    instruments = pd.DataFrame(
        {
            "order_book_id": [A, B, INDEX],
            "symbol": [A, B, INDEX],
            "type": ["CS", "CS", "INDX"],
            "exchange": "XSHG",
            "listed_date": "2010-01-04",
        }
    )
    changes = pd.DataFrame(0.0, index=DAYS, columns=[A, B, INDEX])
    return use_source(MemorySource(instruments, DAYS, changes, signals={"quality": QUALITY}))


def test_get_signal_is_point_in_time(market):
    assert quotaris.signal_names() == ["quality"]
    assert quotaris.get_signal("quality", A, DAYS[9]) == 1.0  # the 15th's value not yet
    got = quotaris.get_signal("quality", [B, A], "2024-01-20")  # the Saturday after
    pd.testing.assert_series_equal(got, pd.Series([-1.0, 2.0], index=[B, A], name="quality"))
    with pytest.raises(MissingData, match="after the last trading day"):
        quotaris.get_signal("quality", [A], DAYS[-1] + pd.Timedelta(days=3))


@pytest.mark.parametrize(
    ("start", "end", "dates", "stocks"),
    [
        (None, None, [0, 10, 20], [A, B]),
        (None, DAYS[19], [0, 10], [A, B]),  # nothing dated after the end
        (DAYS[11], None, [20], [A]),
    ],
)
def test_get_signal_history(market, start, end, dates, stocks):
    history = quotaris.get_signal_history("quality", start, end)
    assert history.index.equals(DAYS[dates]) and history.columns.tolist() == stocks


def test_demo_signal_has_modest_skill(demo):
    """Its mean monthly rank IC against the next 21 trading days' returns is about 0.045."""
    signal = quotaris.get_signal_history("demo_alpha")
    assert signal.index.to_period("M").is_unique and len(signal) > 100
    days = quotaris.get_source().trading_dates()
    changes = quotaris.get_price_change_rate(list(signal.columns), days[0], days[-1])
    growth = np.cumprod(1.0 + changes.fillna(0.0).to_numpy(), axis=0)
    at = days.get_indexer(signal.index)
    ahead = pd.DataFrame(growth[at + 21] / growth[at] - 1.0, signal.index, signal.columns)
    information = signal.corrwith(ahead, axis=1, method="spearman")
    assert 0.03 <= information.mean() <= 0.06


def test_signal_check_command_prints_the_summary_and_writes_its_picture(demo, tmp_path, capsys):
    from plovera.cli import EXIT_OK, EXIT_REFUSED, main

    picture = tmp_path / "alpha.png"
    command = ["signal", "check", "demo_alpha", "--start", "2024-01-01", "--output", str(picture)]
    assert main(command) == EXIT_OK
    out = capsys.readouterr().out
    assert out.startswith("signal demo_alpha: 24 dates, 2024-01-02 to 2025-12-01\n")
    assert "21D" in out and picture.read_bytes().startswith(b"\x89PNG")
    assert main(command) == EXIT_REFUSED  # the picture is there now
    assert "pass --overwrite" in capsys.readouterr().err
    assert main(["signal", "check", "alpha", "--output", str(tmp_path / "x.png")]) == EXIT_REFUSED
    assert "unknown signal 'alpha': the known signals are demo_alpha" in capsys.readouterr().err
