"""Saving a backtest never loses a directory's files, whatever stops the save."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from plovera.backtest import BacktestResult
from plovera.exception import InvalidArgument
from quotaris.bundle import writing

DAYS = pd.bdate_range("2024-01-01", periods=60).as_unit("ns")
REBALANCES = DAYS[::20]


def result(name: str, drift: float) -> BacktestResult:
    rng = np.random.default_rng(7)
    nav = pd.Series(np.cumprod(1 + drift + rng.normal(0, 0.01, len(DAYS))), DAYS, name="nav")
    bench = pd.Series(np.cumprod(1 + rng.normal(0, 0.01, len(DAYS))), DAYS, name="benchmark_nav")
    return BacktestResult(
        name=name,
        weights=pd.DataFrame({"A": 0.4, "B": 0.6}, index=REBALANCES),
        nav=nav,
        benchmark_nav=bench,
        turnover=pd.Series(0.1, REBALANCES, name="turnover"),
        costs=pd.Series(0.001, REBALANCES, name="costs"),
        failures=[],
        ex_ante=pd.DataFrame({"volatility": 0.2, "tracking_error": 0.05}, index=REBALANCES),
    )


def contents(directory) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in directory.iterdir()}


def hidden(folder) -> list[str]:
    return sorted(path.name for path in folder.iterdir() if path.name.startswith("."))


@pytest.fixture
def saved(tmp_path):
    return result("old", 0.001).save(tmp_path / "run")


@pytest.mark.parametrize("exchange", [True, False], ids=["exchange", "two renames"])
def test_overwriting_a_saved_result_replaces_it_and_leaves_nothing_aside(
    saved, monkeypatch, exchange
):
    if not exchange:
        monkeypatch.setattr(writing, "_exchange_directories", lambda first, second: False)
    result("new", -0.001).save(saved, overwrite=True)
    assert BacktestResult.load(saved).name == "new"
    assert hidden(saved.parent) == []


@pytest.mark.parametrize(
    ("make", "overwrite", "message"),
    [
        (lambda path: (path / "notes.txt").write_text("mine"), True, "is not a saved backtest"),
        (lambda path: (path / "summary.csv").write_text("mine"), True, "no backtest.json"),
        (lambda path: (path / "notes.txt").write_text("mine"), False, "pass overwrite"),
        (lambda path: path.rmdir() or path.write_text("mine"), True, "is not a directory"),
    ],
    ids=["foreign directory", "only a summary", "without overwrite", "a file"],
)
def test_what_is_not_a_saved_backtest_is_refused_and_kept(tmp_path, make, overwrite, message):
    target = tmp_path / "mine"
    target.mkdir()
    make(target)
    before = target.read_bytes() if target.is_file() else contents(target)
    with pytest.raises(InvalidArgument, match=message) as refused:
        result("new", 0.0).save(target, overwrite=overwrite)
    assert str(target) in str(refused.value)
    assert (target.read_bytes() if target.is_file() else contents(target)) == before
    assert hidden(tmp_path) == []


def test_a_save_failing_half_way_keeps_the_old_result(saved, monkeypatch):
    before = contents(saved)
    written = []
    real = pd.DataFrame.to_parquet

    def fail_on_second(frame, path, *args, **kwargs):
        written.append(path)
        if len(written) == 2:
            raise OSError(28, "No space left on device")
        return real(frame, path, *args, **kwargs)

    monkeypatch.setattr(pd.DataFrame, "to_parquet", fail_on_second)
    with pytest.raises(OSError, match="No space left"):
        result("new", -0.001).save(saved, overwrite=True)
    assert contents(saved) == before
    assert hidden(saved.parent) == []


_KILLED_BETWEEN_RENAMES = """
import os, sys
from quotaris.bundle import writing
from tests.test_backtest_save import result

writing._exchange_directories = lambda first, second: False
real = os.rename


def killed_after(source, target):
    real(source, target)
    os._exit(9)  # as if killed: no clean-up runs


os.rename = killed_after
result("new", -0.001).save(sys.argv[1], overwrite=True)
"""


def test_a_save_killed_between_two_renames_is_put_back_by_the_next(saved):
    """Without an exchange: the old result moved aside, the destination missing."""
    pytest.importorskip("fcntl")  # a dead writer is told by its released lock
    before = contents(saved)
    root = Path(__file__).resolve().parents[1]
    killed = subprocess.run([sys.executable, "-c", _KILLED_BETWEEN_RENAMES, str(saved)], cwd=root)
    assert killed.returncode == 9 and not saved.exists()
    with pytest.raises(InvalidArgument, match="already exists"):
        result("new", -0.001).save(saved)
    assert contents(saved) == before
    result("new", -0.001).save(saved, overwrite=True)
    assert BacktestResult.load(saved).name == "new"
    assert hidden(saved.parent) == []


@pytest.mark.parametrize(
    ("name", "damage"),
    [
        ("weights.parquet", lambda data: data[: len(data) // 2]),
        ("failures.parquet", lambda data: b"not parquet"),
        ("backtest.json", lambda data: data[:-5]),
        ("backtest.json", lambda data: b"[1, 2]"),
    ],
)
def test_loading_a_damaged_result_names_the_file(saved, name, damage):
    path = saved / name
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(InvalidArgument, match=re.escape(str(path))):
        BacktestResult.load(saved)
