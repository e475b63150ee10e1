"""The runners behind a backtest, what a worker process keeps, and the warning of a run
with failed dates."""

import os
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool

import pandas as pd
import pytest

import plovera
import quotaris
from plovera.backtest import Strategy, run_backtest, run_backtests
from plovera.backtest.runners import ExecutorRunner, ProcessRunner, SerialRunner
from plovera.backtest.worker import WorkerProcess

DAYS = pd.bdate_range("2022-01-03", periods=300)
S = [f"60000{i}.XSHG" for i in range(4)]


@pytest.fixture(scope="module")
def processes(demo):
    runner = ProcessRunner(2, quotaris.bundle_path())
    yield runner
    runner.close()


def test_a_task_for_a_chosen_process_runs_there_every_time(processes):
    pids = [processes.submit(os.getpid, worker=k % 2).result() for k in range(4)]
    assert pids[0] != pids[1] and pids[:2] == pids[2:]
    assert os.getpid() not in pids


@pytest.mark.parametrize("kind", ["serial", "processes", "executor"])
def test_a_tasks_error_comes_back_unchanged(processes, kind):
    with ThreadPoolExecutor(1) as executor:
        runner = {
            "serial": SerialRunner(),
            "processes": processes,
            "executor": ExecutorRunner(executor, quotaris.bundle_path()),
        }[kind]
        future = runner.submit(int, "x")
        with pytest.raises(ValueError, match="invalid literal"):
            future.result()


def test_a_dead_process_fails_the_futures_of_its_tasks_not_the_submits(demo):
    runner = ProcessRunner(1, quotaris.bundle_path())
    try:
        with pytest.raises(BrokenProcessPool):
            runner.submit(os._exit, 3).result()
        # The run learns of the loss where it waits for a date, not where it sends one.
        later = runner.submit(abs, -1)
        with pytest.raises(BrokenProcessPool):
            later.result()
    finally:
        runner.close()


def test_a_worker_forgets_only_the_dates_of_the_run_it_is_told():
    process = WorkerProcess()
    process.keep(("first run", 0), abs, -1)
    process.keep(("second run", 0), abs, -2)
    process.forget("first run")
    assert process.take(("first run", 0)) is None
    assert process.take(("second run", 0)).result() == 2
    assert not process.kept


def test_the_bundle_path_names_a_bundle_only_and_opens_no_source(demo, small_market, monkeypatch):
    assert quotaris.bundle_path() == os.fspath(quotaris.get_source().path)
    small_market(DAYS, S, seed=1)
    assert quotaris.bundle_path() is None
    monkeypatch.setattr(quotaris.client, "_source", None)
    assert quotaris.bundle_path() is None
    assert quotaris.client._source is None  # the demo market was not opened


def one_failing_date(date):
    return [] if date == DAYS[270].date() else S


@pytest.mark.parametrize(
    "run",
    [run_backtest, lambda strategy, *arguments: run_backtests([strategy], *arguments)],
    ids=["run_backtest", "run_backtests"],
)
def test_the_warning_of_failed_dates_names_the_callers_line(small_market, run):
    small_market(DAYS, S, seed=3)
    with pytest.warns(plovera.OptimizerWarning, match="1 of 4 rebalance dates failed") as caught:
        run(Strategy(one_failing_date), DAYS[260].date(), DAYS[-1].date(), 10)
    (warned,) = [w for w in caught if "rebalance dates failed" in str(w.message)]
    assert warned.filename == __file__
