"""Backtests on local processes and a Dask LocalCluster, and the command line."""

import os
import warnings
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import exchange_calendars as xcals
import numpy as np
import pandas as pd
import pytest
from conftest import using_source

import plovera
from plovera.backtest import DASK_WORKER_CONFIG, Strategy, executors, run_backtest, run_backtests
from plovera.backtest.executors import BacktestError
from plovera.cli import EXIT_FAILED, EXIT_OK, EXIT_REFUSED, main
from plovera.exception import InvalidArgument
from quotaris.bundle import write_bundle
from quotaris.tables import BundleTables
from quotaris.validate import quiet_exchange_calendars

with quiet_exchange_calendars():
    SESSIONS = xcals.get_calendar("XSHG").sessions_in_range("2022-01-04", "2023-12-29")[:300]
S = [f"60000{i}.XSHG" for i in range(6)]
INDEX = "000300.XSHG"
START, END = SESSIONS[262].date(), SESSIONS[-1].date()
DEMO_POOL = ["600433.XSHG", "000100.XSHE", "002040.XSHE", "600148.XSHG", "600093.XSHG"]


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    """A tiny bundle; its risk model is kept in the cache, which the workers share."""
    root = tmp_path_factory.mktemp("backtest")
    rng = np.random.default_rng(5)
    changes = rng.normal(0.0, 0.01, (len(SESSIONS), 1)) + rng.normal(0.0003, 0.015, (300, 6))
    prices = pd.DataFrame(changes, index=SESSIONS, columns=S)
    prices[INDEX] = prices[S].mean(axis=1)
    instruments = pd.DataFrame(
        {
            "order_book_id": [*S, INDEX],
            "symbol": [*S, "index"],
            "type": ["CS"] * 6 + ["INDX"],
            "exchange": "XSHG",
            "listed_date": "2010-01-04",
            "de_listed_date": "0000-00-00",
        }
    )
    weights = pd.DataFrame(
        {"date": SESSIONS[0], "index_id": INDEX, "order_book_id": S, "weight": 1 / 6}
    )
    tables = BundleTables(
        instruments=instruments,
        calendar="XSHG",
        trading_dates=SESSIONS,
        price_change_rate=prices,
        index_weights=weights,
    )
    path = write_bundle(root / "bundle", tables)
    with using_source(path):
        plovera.portfolio_optimize(S, START)  # builds and stores the risk model once
        yield path


@pytest.fixture(scope="module")
def cluster(bundle):
    distributed = pytest.importorskip("distributed")
    import dask

    with (
        dask.config.set(DASK_WORKER_CONFIG),
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as local,
        distributed.Client(local) as client,
    ):
        yield client


@pytest.fixture
def market(bundle, use_source):
    use_source(bundle)
    return bundle


STRATEGIES = {
    "independent": lambda: Strategy(S, bnds={"*": (0.05, 0.4)}, benchmark=INDEX),
    "holdings": lambda: Strategy(S, plovera.MinTrackingError(), benchmark=INDEX, max_turnover=0.05),
}


@pytest.mark.parametrize("kind", list(STRATEGIES))
def test_serial_processes_and_dask_give_the_same_backtest(market, cluster, kind):
    address = cluster.scheduler.address
    results = {
        where: run_backtest(STRATEGIES[kind](), START, END, 8, 0.001, executor=executor)
        for where, executor in [("serial", None), ("processes", 2), ("dask", cluster)]
    }
    results["address"] = run_backtest(STRATEGIES[kind](), START, END, 8, 0.001, executor=address)
    serial = results.pop("serial")
    assert len(serial.weights) == 5 and not serial.failures
    for result in results.values():
        np.testing.assert_allclose(result.weights, serial.weights, atol=1e-10, rtol=0)
        np.testing.assert_allclose(result.nav, serial.nav, atol=1e-10, rtol=0)
        np.testing.assert_allclose(result.ex_ante, serial.ex_ante, atol=1e-10, rtol=0)


def test_many_strategies_on_worker_processes_match_one_at_a_time(market):
    strategies = [Strategy(S[:4], name="four"), Strategy(S, benchmark=INDEX, name="six")]
    together = run_backtests(strategies, START, END, 10, executor=2)
    for strategy in strategies:
        alone = run_backtest(strategy, START, END, 10)
        np.testing.assert_allclose(together[strategy.name].nav, alone.nav, atol=1e-10)


@pytest.mark.parametrize("kind", list(STRATEGIES))
@pytest.mark.parametrize("pool", [ThreadPoolExecutor, ProcessPoolExecutor])
def test_an_executor_of_the_callers_gives_the_serial_backtest_and_stays_open(
    market, monkeypatch, pool, kind
):
    with pool(2) as executor:
        # Its processes start now, before the run's threads: a fork copies no held lock.
        executor.submit(os.getpid).result()
        tasks = []

        def counted(task, *arguments, **options):
            tasks.append(task)
            return type(executor).submit(executor, task, *arguments, **options)

        monkeypatch.setattr(executor, "submit", counted)
        given = run_backtest(STRATEGIES[kind](), START, END, 8, 0.001, executor=executor)
        assert tasks  # the dates went through it
        assert executor.submit(abs, -1).result() == 1  # the caller's to shut down, not the run's
    serial = run_backtest(STRATEGIES[kind](), START, END, 8, 0.001)
    assert len(serial.weights) == 5 and not given.failures
    np.testing.assert_allclose(given.weights, serial.weights, atol=1e-10, rtol=0)
    np.testing.assert_allclose(given.nav, serial.nav, atol=1e-10, rtol=0)
    np.testing.assert_allclose(given.ex_ante, serial.ex_ante, atol=1e-10, rtol=0)


class DieOn:
    """A pool that kills its worker process on one date."""

    def __init__(self, day):
        self.day = day

    def __call__(self, date):
        if date == self.day:
            os._exit(3)
        return S


def test_a_dead_worker_process_fails_the_run_naming_the_lost_date(market):
    lost = SESSIONS[270].date()
    with pytest.raises(BacktestError, match=str(lost)):
        run_backtest(Strategy(DieOn(lost)), START, END, 8, executor=2)


@pytest.mark.parametrize(
    ("strategy", "executor", "message"),
    [
        (Strategy(lambda date: S, name="lambda"), 2, "its pool"),
        (Strategy(S), 0, "at least 1, got 0"),
        (Strategy(S), "tcp://127.0.0.1:9", "'tcp://127.0.0.1:9' does not answer"),
    ],
)
def test_executor_refusals_name_the_value(market, monkeypatch, strategy, executor, message):
    monkeypatch.setattr(executors, "CONNECT_TIMEOUT", "2s")
    with pytest.raises(InvalidArgument) as refused:
        run_backtest(strategy, START, END, 8, executor=executor)
    assert message in str(refused.value)


def test_command_line_backtest_on_the_demo_market(demo, tmp_path, capsys):
    output = tmp_path / "run"
    argv = [
        "backtest",
        *DEMO_POOL,
        "--benchmark",
        INDEX,
        "--data",
        str(demo),
        "--start",
        "2024-01-01",
        "--end",
        "2024-03-31",
        "--cost",
        "0.001",
        "--output",
        str(output),
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert main(argv) == EXIT_OK
    captured = capsys.readouterr()
    assert "3/3 dates" in captured.err and "left" in captured.err
    table = captured.out
    assert "annual_return" in table and "tracking_error_ratio" in table
    saved = plovera.BacktestResult.load(output)
    assert list(saved.weights.index.strftime("%Y-%m-%d")) == [
        "2024-01-31",
        "2024-02-29",
        "2024-03-29",
    ]
    assert saved.costs.iloc[0] == pytest.approx(0.001)
    assert main(argv) == EXIT_REFUSED
    assert f"{output} already exists; pass --overwrite" in capsys.readouterr().err


def test_command_line_config_runs_several_strategies(demo, tmp_path, capsys):
    config = tmp_path / "strategies.toml"
    config.write_text(
        f"""
start = "2024-01-01"
end = "2024-02-29"
rebalance = "monthly"

[[strategy]]
name = "variance"
pool = {DEMO_POOL!r}

[[strategy]]
name = "tracking"
pool = {DEMO_POOL[:4]!r}
objective = "min_tracking_error"
benchmark = "{INDEX}"
bound = ["*=0:0.4"]
""",
        encoding="utf-8",
    )
    output = tmp_path / "runs"
    assert (
        main(["backtest", "--data", str(demo), "--config", str(config), "--output", str(output)])
        == 0
    )
    header = capsys.readouterr().out.splitlines()[0].split()
    assert header == ["variance", "tracking"]
    assert plovera.BacktestResult.load(output / "tracking").weights.shape == (2, 4)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ('start = "2024-01-01"\n', "has no [[strategy]] tables"),
        ('[[strategy]]\npool = ["600433.XSHG"]\nspeed = 3\n', "strategy 1 sets unknown keys speed"),
        ('[[strategy]]\npool = ["NOPE.XSHG"]\n', "does not know NOPE.XSHG"),
        ("start = \n", "is not valid TOML"),
    ],
)
def test_command_line_refuses_bad_configs(demo, tmp_path, capsys, text, message):
    config = tmp_path / "bad.toml"
    config.write_text(text, encoding="utf-8")
    argv = ["backtest", "--data", str(demo), "--config", str(config), "--start", "2024-01-01"]
    assert main([*argv, "--end", "2024-02-29"]) == EXIT_REFUSED
    assert message in capsys.readouterr().err


# A run that holds its failed dates but fails on every one of them is still a failure.
@pytest.mark.parametrize(("on_failure", "status"), [("hold", EXIT_FAILED), ("raise", EXIT_REFUSED)])
def test_command_line_fails_when_every_date_fails(demo, capsys, on_failure, status):
    # Four stocks capped at 10% each cannot make up a whole portfolio.
    argv = ["backtest", "--data", str(demo), *DEMO_POOL[:4], "--bound", "*=0:0.1"]
    argv += ["--start", "2024-01-01", "--end", "2024-02-29", "--on-failure", on_failure]
    assert main(argv) == status
    assert "上限之和小于1" in capsys.readouterr().err


class DieOnceOn:
    """A pool that kills its worker process the first time it is asked for one date."""

    def __init__(self, day, marker):
        self.day, self.marker = day, marker

    def __call__(self, date):
        if date == self.day and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os._exit(3)
        return S


def test_dask_runs_again_a_task_whose_worker_died(market, cluster, tmp_path):
    strategy = Strategy(DieOnceOn(SESSIONS[270].date(), str(tmp_path / "died")), name="once")
    clustered = run_backtest(strategy, START, END, 8, executor=cluster)
    assert (tmp_path / "died").exists()
    serial = run_backtest(strategy, START, END, 8)
    np.testing.assert_allclose(clustered.nav, serial.nav, atol=1e-10, rtol=0)


def _dates_kept():
    from plovera.backtest.worker import THIS_PROCESS

    return len(THIS_PROCESS.kept)


def test_a_run_stopped_by_a_failure_leaves_no_date_kept_on_the_workers(market, cluster):
    # Upper bounds summing to 0.6 stop the run on its first date, the next ones prepared.
    strategy = Strategy(S, bnds={"*": (0.0, 0.1)})
    with pytest.raises(InvalidArgument, match="上限之和小于1"):
        run_backtest(strategy, START, END, 8, on_failure="raise", executor=cluster)
    assert set(cluster.run(_dates_kept).values()) == {0}


def _worker_settings():
    import dask

    return (
        os.environ.get("MALLOC_MMAP_THRESHOLD_"),
        dask.config.get("distributed.worker.profile.enabled"),
        dask.config.get("distributed.admin.tick.interval"),
    )


def test_dask_workers_start_with_the_recommended_settings(cluster):
    # Settings under keys Dask no longer reads would be dropped without a word.
    expected = (str(64 * 2**20), False, "200ms")
    assert set(cluster.run(_worker_settings).values()) == {expected}


def test_an_objective_per_date_from_a_signal_on_serial_and_processes(market):
    from plovera.signals import SignalObjective

    # A view that changes every month: each date's row, never a later one.
    days = pd.DatetimeIndex([pd.Timestamp(START)]).append(pd.bdate_range(START, END, freq="BMS"))
    rng = np.random.default_rng(4)
    signal = pd.DataFrame(rng.normal(size=(len(days), len(S))), index=days, columns=S)
    per_date = SignalObjective(signal)
    serial = run_backtest(Strategy(S, per_date, benchmark=INDEX), START, END, 8, 0.001)
    strategy = Strategy(S, per_date, benchmark=INDEX)
    processes = run_backtest(strategy, START, END, 8, 0.001, executor=2)
    assert not serial.failures and len(serial.weights) == 5
    np.testing.assert_allclose(processes.nav, serial.nav, atol=1e-10, rtol=0)
    # Two dates with different rows hold different portfolios.
    assert not np.allclose(serial.weights.iloc[1], serial.weights.iloc[3], atol=1e-3)


def test_an_objective_function_returning_no_objective_names_strategy_and_date(market):
    strategy = Strategy(S, objective=repr, benchmark=INDEX, name="wrong")
    with pytest.raises(
        BacktestError, match=r"objective function of strategy 'wrong' gave 'datetime.date"
    ):
        run_backtest(strategy, START, END, 8)
