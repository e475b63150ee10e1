"""Optimising on bundles: a real public dataset, a small demo market, the command line."""

import datetime
import json
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from test_bundle import market

import plovera
import quotaris
from plovera.cli import EXIT_BROKEN_PIPE, EXIT_OK, EXIT_REFUSED, calendar_date, main
from plovera.const import CovModel
from plovera.exception import InvalidArgument
from plovera.helper import OptimizeHelper
from plovera.jobs import make_objective as _make_objective
from plovera.jobs import parse_bound
from quotaris.bundle import write_bundle


def test_minimum_variance_on_the_sp500_sample_satisfies_its_optimality_conditions(
    sp500, use_source
):
    use_source(sp500)
    pool = sorted(
        i
        for i in pd.read_parquet(sp500 / "instruments.parquet")["order_book_id"]
        if i != "SP500.US"
    )
    assert len(pool) == 20 and "AAPL.US" in pool
    weights = plovera.portfolio_optimize(pool, "2022-06-30")
    cov = OptimizeHelper(pool, pd.Timestamp("2022-06-30").date(), None, CovModel.FACTOR_MODEL_DAILY)
    marginal = cov.get_cov_matrix() @ weights.to_numpy()
    held = weights.to_numpy() > 1e-4
    # Long-only minimum variance: equal marginal variance where held, no less elsewhere.
    level = marginal[held].mean()
    np.testing.assert_allclose(marginal[held], level, rtol=1e-2)
    assert (marginal[~held] >= level * (1 - 1e-2)).all()


def test_max_sharpe_ratio_on_the_sp500_sample_estimates_returns_from_history(sp500, use_source):
    use_source(sp500)
    pool = ["AAPL.US", "JNJ.US", "JPM.US", "XOM.US", "KO.US"]
    objective = plovera.MaxSharpeRatio()
    weights = plovera.portfolio_optimize(pool, "2021-12-31", objective, benchmark="SP500.US")
    assert weights.sum() == pytest.approx(1.0)
    assert (weights > -1e-6).all()
    assert objective._expected_returns.index.tolist() == sorted(pool)


def test_demo_bundle_serves_the_optimiser_point_in_time(demo):
    day = quotaris.to_date("2024-12-31")
    constituents = quotaris.index_weights("000300.XSHG", day)
    assert constituents.sum() == pytest.approx(1.0)
    listed = quotaris.instruments(list(constituents.index))
    assert all(i.listed_date < "2024-12-31" for i in listed)
    assert all(i.de_listed_date == "0000-00-00" or i.de_listed_date > "2024-12-31" for i in listed)
    weights = plovera.portfolio_optimize(
        list(constituents.index), day, plovera.MinTrackingError(), benchmark="000300.XSHG"
    )
    # The pool holds the whole index: tracking it exactly is optimal.
    np.testing.assert_allclose(weights.to_numpy(), constituents.sort_index().to_numpy(), atol=2e-3)


def test_demo_command_prints_both_optimisations_and_the_research_loop(demo, capsys):
    assert main(["demo"]) == 0
    out = capsys.readouterr().out
    assert "Minimum tracking error against 000300.XSHG" in out
    assert "ex-ante tracking error" in out and "ex-ante volatility" in out
    summary = out.rstrip().splitlines()[-1]
    pattern = (
        r"  csi500_enhanced, 2019-01-02 to 2025-12-31, 84 rebalances: -?\d+\.\d% a year, "
        r"[+-]\d+\.\d% a year over the benchmark, tracking error \d\.\d%, "
        r"information ratio -?\d\.\d\d, maximum drawdown \d+\.\d%, costs \d+\.\d% in all"
    )
    assert re.fullmatch(pattern, summary), summary


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_optimize_command_writes_weights(demo, tmp_path, capsys, fmt):
    output = tmp_path / f"weights.{fmt}"
    status = main(
        [
            "optimize",
            "--data",
            str(demo),
            "--index-pool",
            "000905.XSHG",
            "--date",
            "2024-12-31",
            "--objective",
            "risk_parity",
            "--bound",
            "*=:0.01",
            "--output",
            str(output),
        ]
    )
    assert status == 0
    if fmt == "json":
        weights = pd.Series(json.loads(output.read_text()))
    else:
        weights = pd.read_csv(output, index_col="order_book_id")["weight"]
    assert len(weights) > 400 and weights.sum() == pytest.approx(1.0)
    assert weights.max() <= 0.01 + 1e-4
    assert "risk_parity on 2024-12-31" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("arguments", "status", "message"),
    [
        (["--objective", "max_indicator"], 2, "this objective needs --indicator"),
        (["--bound", "*=0.5"], 2, "expected ID=LOW:HIGH"),
        (["--objective", "min_tracking_error"], 2, "必须传入 benchmark 参数"),
        (["--bound", "*=0.6:1"], 2, "下限之和大于1"),
        (["FOO.XSHE", "BAR.XSHG"], 2, "the market data does not know FOO.XSHE, BAR.XSHG"),
        (["--bound", "000905.XSHG=0:0.1"], 2, "bounds given for 000905.XSHG, which are not in"),
        (["--indicator", "values.csv"], 2, "min_variance does not use --indicator"),
    ],
)
def test_optimize_command_refusals(demo, capsys, arguments, status, message):
    base = ["optimize", "--data", str(demo), "--date", "2024-12-31"]
    assert main([*base, "--index-pool", "000300.XSHG", *arguments]) == status
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err


@pytest.mark.parametrize(("given", "expected"), [({"risk_aversion": 0.0}, 0.0), ({}, 1)])
def test_an_explicit_zero_risk_aversion_is_kept(given, expected):
    assert _make_objective("mean_variance", given)._risk_aversion_coefficient == expected


@pytest.mark.parametrize(
    "text", ["2025-13-01", "yesterday", "2025-02-30", "2020", "10", "2024-1-31", "9" * 30, ""]
)
@pytest.mark.parametrize("command", [["demo"], ["optimize", "000001.XSHE"]])
def test_a_date_that_is_not_a_whole_calendar_date_is_a_usage_error(capsys, command, text):
    assert main([*command, "--date", text]) == EXIT_REFUSED
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"not a calendar date: {text!r}" in err


@pytest.mark.parametrize("text", ["2024-02-29", "20240229", " 2024-02-29 "])
def test_calendar_dates_in_both_forms(text):
    assert calendar_date(text) == datetime.date(2024, 2, 29)


@pytest.mark.parametrize(
    ("pool", "message"),
    [
        ([], "the pool is empty: no order_book_id was given"),
        (
            ["000300.XSHG", "000905.XSHG"],
            "none of 000300.XSHG, 000905.XSHG is a common stock listed before 2024-12-31",
        ),
    ],
)
def test_an_empty_pool_names_what_was_given(demo, capsys, pool, message):
    assert main(["optimize", "--data", str(demo), "--date", "2024-12-31", *pool]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err


def test_import_onto_an_existing_destination_names_the_option(tmp_path, capsys):
    (tmp_path / "bundle").mkdir()
    (tmp_path / "bundle" / "kept.txt").write_text("mine")
    arguments = ["--instruments", "i.csv", "--prices", "p.csv"]
    assert main(["data", "import", str(tmp_path / "bundle"), *arguments]) == EXIT_REFUSED
    err = capsys.readouterr().err
    assert "pass --overwrite to replace it" in err and "overwrite=True" not in err
    assert (tmp_path / "bundle" / "kept.txt").read_text() == "mine"


def test_a_reader_that_goes_away_gets_the_broken_pipe_status(demo):
    command = [sys.executable, "-m", "plovera", "data", "info", str(demo)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # before the command has written anything
    assert process.wait(timeout=120) == EXIT_BROKEN_PIPE
    assert process.stderr.read() == b""
    process.stderr.close()


def test_data_info_without_a_path_describes_the_demo_bundle_by_default(demo):
    # A fresh process: nothing has chosen a source, so the demo market is in use.
    command = [sys.executable, "-m", "plovera", "data", "info"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120, check=False)
    assert (done.returncode, done.stderr) == (EXIT_OK, "")
    assert done.stdout.startswith(f"bundle       {demo.resolve()}\n")
    assert "checksums    verified" in done.stdout


def test_data_info_without_a_path_describes_the_chosen_source(sp500, capsys, use_source):
    tables = market()
    memory = quotaris.MemorySource(
        tables.instruments, tables.trading_dates, tables.price_change_rate
    )
    use_source(memory)
    assert main(["data", "info"]) == EXIT_REFUSED
    assert "the data in use is a MemorySource, not a bundle" in capsys.readouterr().err
    use_source(sp500)
    assert main(["data", "info"]) == EXIT_OK
    out = capsys.readouterr().out
    assert out.startswith(f"bundle       {sp500.resolve()}\n")
    assert "calendar     XNYS" in out


@pytest.mark.parametrize(
    ("objective", "option", "attribute"),
    [
        ("mean_variance", "expected_returns", "_expected_returns"),
        ("max_sharpe_ratio", "expected_returns", "_expected_returns"),
        ("max_information_ratio", "expected_active_returns", "_expected_active_returns"),
    ],
)
def test_each_returns_option_feeds_its_objective(tmp_path, objective, option, attribute):
    path = tmp_path / "returns.csv"
    path.write_text("order_book_id,value\n000001.XSHE,0.1\n600000.XSHG,-0.05\n")
    made = _make_objective(objective, {option: str(path)})
    expected = pd.Series({"000001.XSHE": 0.1, "600000.XSHG": -0.05})
    pd.testing.assert_series_equal(getattr(made, attribute), expected, check_names=False)


def test_style_priorities_from_the_command_line():
    made = _make_objective(
        "min_style_deviation", {"style": ["size=1", "beta=0"], "priority": ["size=0", "beta=9"]}
    )
    assert made._priority.to_dict() == {"size": 0, "beta": 9}


def test_warnings_are_one_line_each_and_the_display_is_restored(demo, capsys):
    import warnings

    shown_by = warnings.showwarning
    pool = [
        "000300.XSHG",
        "000905.XSHG",
        *quotaris.index_weights("000300.XSHG", "2024-12-31").index[:3],
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        assert main(["optimize", "--data", str(demo), "--date", "2024-12-31", *pool]) == 0
    err = capsys.readouterr().err.splitlines()
    assert err == [
        "plovera: warning: OptimizerWarning: 000300.XSHG 不是股票，被剔除",
        "plovera: warning: OptimizerWarning: 000905.XSHG 不是股票，被剔除",
    ]
    assert warnings.showwarning is shown_by


@pytest.mark.parametrize("window", ["0", "-3", "2.5", "a year"])
def test_the_window_is_a_whole_number_of_days(capsys, window):
    command = ["optimize", "000001.XSHE", "--date", "2024-12-31", "--window", window]
    assert main(command) == EXIT_REFUSED
    assert f"--window: not a whole number of at least 1: {window!r}" in capsys.readouterr().err


@pytest.mark.parametrize("text", ["*=-0.1:0.5", "*=0:inf", "*=nan:", "000001.XSHE=0:1.5"])
def test_bounds_are_weights_from_0_to_1_for_the_wildcard_too(text):
    message = f"bound {text!r}: LOW and HIGH must lie between 0 and 1"
    with pytest.raises(InvalidArgument, match=re.escape(message)):
        parse_bound(text)


def test_a_lower_bound_above_the_upper_is_refused():
    with pytest.raises(InvalidArgument, match="LOW is above HIGH"):
        parse_bound("*=0.5:0.1")
    assert parse_bound("A=0.2:0.2") == ("A", (0.2, 0.2))


@pytest.mark.parametrize(
    ("objective", "options", "message"),
    [
        ("mean_variance", {"expected_active_returns": "x.csv", "relative": True}, "does not use "),
        ("max_information_ratio", {"expected_returns": "x.csv"}, "with --expected-active-returns"),
    ],
)
def test_options_the_objective_does_not_read_are_refused(objective, options, message):
    with pytest.raises(InvalidArgument, match=message):
        _make_objective(objective, {"window": None, "style": [], **options})


@pytest.mark.parametrize(
    ("priority", "message"),
    [
        ("size=42", "P a whole number from 0 to 9"),
        ("size=7.9", "from 0 to 9"),
        ("beta=1", "'beta' has no --style target"),
    ],
)
def test_priorities_are_whole_numbers_0_to_9_of_targeted_styles(priority, message):
    options = {"style": ["size=0"], "priority": [priority]}
    with pytest.raises(InvalidArgument, match=message):
        _make_objective("min_style_deviation", options)


def test_riskmodel_commands_build_then_summarise(tmp_path, capsys, monkeypatch):
    monkeypatch.setenv("PLOVERA_CACHE_DIR", str(tmp_path / "cache"))

    tables = market()
    for table in ("market_cap_total", "market_cap_float", "turnover", "industry", "fundamentals"):
        setattr(tables, table, None)
    path = str(write_bundle(tmp_path / "prices-only", tables))
    assert main(["riskmodel", "info", "--data", path]) == EXIT_REFUSED
    assert "no risk model is built" in capsys.readouterr().err
    assert main(["riskmodel", "build", "--data", path]) == EXIT_OK
    assert ".npz" in capsys.readouterr().out
    assert main(["riskmodel", "info", "--data", path]) == EXIT_OK
    out = capsys.readouterr().out
    assert "statistical: principal components" in out and "IC_p2" in out


def test_riskmodel_info_of_the_demo_market(demo, capsys):
    assert main(["riskmodel", "build", "--data", str(demo)]) == EXIT_OK
    capsys.readouterr()
    assert main(["riskmodel", "info", "--data", str(demo)]) == EXIT_OK
    out = capsys.readouterr().out
    assert "fundamental" in out and "10 styles" in out
    assert re.search(r"factors +\d+: country, \d+ industries", out)
    assert re.search(r"mean daily cross-sectional R² 0\.\d{3}", out)


def test_optimize_command_index_enhancement_meets_its_constraints(demo, tmp_path):
    date = "2024-12-31"
    constituents = sorted(quotaris.index_weights("000300.XSHG", date).index)
    holdings = tmp_path / "holdings.csv"
    pd.Series(1 / 50, index=constituents[:50]).to_csv(holdings, header=False)
    output = tmp_path / "weights.csv"
    base = ["optimize", "--data", str(demo), "--date", date, "--index-pool", "000300.XSHG"]
    status = main(
        [
            *base,
            "--objective",
            "min_tracking_error",
            "--benchmark",
            "000300.XSHG",
            "--industry-neutral",
            "0.01",
            "--style-neutral",
            "0.2",
            "--turnover-limit",
            "0.8",
            "--holdings",
            str(holdings),
            "--output",
            str(output),
        ]
    )
    assert status == 0
    weights = pd.read_csv(output, index_col="order_book_id")["weight"]
    held = pd.read_csv(holdings, header=None, index_col=0)[1].reindex(weights.index, fill_value=0)
    assert 0.5 * (weights - held).abs().sum() <= 0.8 + 2e-3
    bench = quotaris.index_weights("000300.XSHG", date)
    industry = quotaris.get_industry(list(weights.index), date)
    gap = weights.groupby(industry).sum() - (bench / bench.sum()).groupby(industry).sum()
    assert gap.abs().max() <= 0.01 + 2e-3


def test_optimize_command_turnover_needs_holdings(demo, capsys):
    base = ["optimize", "--data", str(demo), "--date", "2024-12-31", "--index-pool", "000300.XSHG"]
    assert main([*base, "--turnover-limit", "0.3"]) == EXIT_REFUSED
    assert "a turnover limit needs the current holdings" in capsys.readouterr().err


OPTIMIZE = ["optimize", "--index-pool", "000905.XSHG", "--date", "2024-12-31"]


@pytest.mark.parametrize(
    ("name", "extra", "message"),
    [
        ("weights.xlsx", [], "written as CSV, not .xlsx"),
        ("weights.json", ["--format", "csv"], "written as CSV, not .json"),
        ("weights.csv", ["--format", "json"], "written as JSON, not .csv"),
        ("held.csv", [], "already exists; pass --overwrite"),
        ("folder", [], "is a directory"),
    ],
)
def test_an_output_that_would_lose_or_mislabel_a_file_is_refused(
    demo, tmp_path, capsys, name, extra, message
):
    (tmp_path / "held.csv").write_text("mine")
    (tmp_path / "folder").mkdir()
    output = tmp_path / name
    arguments = [*OPTIMIZE, "--data", str(demo), "--output", str(output), *extra]
    assert main(arguments) == EXIT_REFUSED
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and str(output) in err
    assert (tmp_path / "held.csv").read_text() == "mine"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["folder", "held.csv"]


def test_overwrite_replaces_an_existing_output(demo, tmp_path):
    output = tmp_path / "weights.csv"
    output.write_text("mine")
    arguments = [*OPTIMIZE, "--data", str(demo), "--output", str(output), "--overwrite"]
    assert main([*arguments, "--objective", "risk_parity", "--bound", "*=:0.01"]) == EXIT_OK
    weights = pd.read_csv(output, index_col="order_book_id")["weight"]
    assert weights.sum() == pytest.approx(1.0)


def _codes_written_elsewhere(date: str) -> tuple[list[str], list[str]]:
    """Three CSI 300 constituents (one from each exchange where there is one), written as
    other sources write them, and as the market data does."""
    ids = sorted(quotaris.index_weights("000300.XSHG", date).index)
    chosen = [
        next(i for i in ids if i.endswith(".XSHE")),
        *[i for i in ids if i.endswith(".XSHG")][:2],
    ]
    digits = [i[:6] for i in chosen]
    written = [f"{digits[0]}.SZ", f"sh{digits[1]}", digits[2]]
    return written, chosen


def test_codes_as_researchers_write_them_are_read_in_files_pools_and_bounds(demo, tmp_path):
    from plovera.cli.options import PortfolioOptions

    written, chosen = _codes_written_elsewhere("2024-12-31")
    path = tmp_path / "weights.csv"
    path.write_text(
        "".join(f"{code},{w}\n" for code, w in zip(written, (0.5, 0.3, 0.2), strict=True))
    )
    with pytest.warns(
        quotaris.QuotarisWarning, match=r"read 3 codes written in other forms"
    ) as seen:
        weights = plovera.jobs.read_series(path, "weights")
    assert len(seen) == 1
    assert list(weights.index) == chosen
    options = PortfolioOptions({"pool": written, "bound": ["*=0:0.1", f"{written[0]}=0:0.02"]})
    with pytest.warns(quotaris.QuotarisWarning):
        assert options.pool() == chosen
    with pytest.warns(quotaris.QuotarisWarning):
        assert options.bounds() == {"*": (0.0, 0.1), chosen[0]: (0.0, 0.02)}


@pytest.mark.parametrize("code", ["60000X.SH", "600000.HK", "Ping An"])
def test_a_code_in_no_known_form_is_refused_showing_the_expected_form(demo, tmp_path, code):
    path = tmp_path / "holdings.csv"
    path.write_text(f"order_book_id,weight\n{code},1.0\n")
    message = f"holdings: {path} row 2: {code!r} is no identifier the market data knows; "
    with pytest.raises(InvalidArgument, match=re.escape(message) + ".*600000.XSHG"):
        plovera.jobs.read_series(path, "holdings")


@pytest.mark.parametrize(
    ("limits", "names", "smallest"),
    [
        (["--max-holdings", "40"], 40, 0.0),
        (["--max-holdings", "60", "--min-weight", "0.01"], 60, 0.01),
    ],
)
def test_holdings_limits_from_the_command_line_hold_and_say_how(
    demo, tmp_path, capsys, limits, names, smallest
):
    output = tmp_path / "weights.csv"
    base = ["optimize", "--date", "2024-12-31", "--index-pool", "000300.XSHG"]
    mandate = ["--objective", "min_tracking_error", "--benchmark", "000300.XSHG"]
    assert main([*base, *mandate, *limits, "--output", str(output)]) == EXIT_OK
    weights = pd.read_csv(output, index_col="order_book_id")["weight"]
    held = weights[weights > 1e-6]
    assert len(held) <= names and held.min() >= smallest - 1e-6
    assert held.sum() == pytest.approx(1.0, abs=1e-6)
    # With --output the description goes to stderr.
    line = next(x for x in capsys.readouterr().err.splitlines() if "holdings limits" in x)
    assert re.search(r"heuristic|exact|continuous", line) and "差距" in line


def test_a_backtest_with_holdings_limits_says_how_they_were_solved(demo, capsys):
    argv = ["backtest", "--index-pool", "000300.XSHG", "--objective", "min_tracking_error"]
    period = ["--start", "2023-01-01", "--end", "2023-03-31", "--rebalance", "monthly"]
    limits = ["--benchmark", "000300.XSHG", "--max-holdings", "30", "--min-weight", "0.01"]
    assert main([*argv, *period, *limits]) == EXIT_OK
    line = next(x for x in capsys.readouterr().out.splitlines() if "holdings limits" in x)
    assert re.fullmatch(r".*: holdings limits: heuristic on 3 dates, largest gap \d+\.\d%", line)
