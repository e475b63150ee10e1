"""Optimising on bundles: a real public dataset, a small demo market, the command line."""

import importlib.util
import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import plovera
import quotaris
from plovera.cli import main
from plovera.const import CovModel
from plovera.helper import OptimizeHelper
from quotaris.bundle import write_bundle
from quotaris.demo import build_demo_tables

EXAMPLE = Path(__file__).parents[1] / "examples" / "import_sp500.py"


@pytest.fixture(scope="module")
def sp500(tmp_path_factory):
    module_spec = importlib.util.spec_from_file_location("import_sp500", EXAMPLE)
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    return example.import_sp500(tmp_path_factory.mktemp("real") / "sp500")


@pytest.fixture(scope="module")
def small_demo(tmp_path_factory):
    tables = build_demo_tables(start="2023-07-03", end="2024-12-31")
    return write_bundle(tmp_path_factory.mktemp("demo") / "demo", tables)


def test_minimum_variance_on_the_sp500_sample_satisfies_its_optimality_conditions(sp500):
    quotaris.init(sp500)
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


def test_max_sharpe_ratio_on_the_sp500_sample_estimates_returns_from_history(sp500):
    quotaris.init(sp500)
    pool = ["AAPL.US", "JNJ.US", "JPM.US", "XOM.US", "KO.US"]
    objective = plovera.MaxSharpeRatio()
    weights = plovera.portfolio_optimize(pool, "2021-12-31", objective, benchmark="SP500.US")
    assert weights.sum() == pytest.approx(1.0)
    assert (weights > -1e-6).all()
    assert objective._expected_returns.index.tolist() == sorted(pool)


def test_demo_bundle_serves_the_optimiser_point_in_time(small_demo):
    quotaris.init(small_demo)
    day = quotaris.to_date("2024-12-31")
    constituents = quotaris.index_weights("000300.XSHG", day)
    assert constituents.sum() == pytest.approx(1.0)
    listed = quotaris.instruments(list(constituents.index))
    assert all(i.listed_date < "2024-12-31" and i.de_listed_date == "0000-00-00" for i in listed)
    weights = plovera.portfolio_optimize(
        list(constituents.index), day, plovera.MinTrackingError(), benchmark="000300.XSHG"
    )
    # The pool holds the whole index: tracking it exactly is optimal.
    np.testing.assert_allclose(weights.to_numpy(), constituents.sort_index().to_numpy(), atol=2e-3)


def test_demo_command_prints_both_optimisations(small_demo, capsys):
    quotaris.init(small_demo)
    assert main(["demo"]) == 0
    out = capsys.readouterr().out
    assert "Minimum tracking error against 000300.XSHG" in out
    assert "ex-ante tracking error" in out and "ex-ante volatility" in out


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_optimize_command_writes_weights(small_demo, tmp_path, capsys, fmt):
    output = tmp_path / f"weights.{fmt}"
    status = main(
        [
            "optimize",
            "--data",
            str(small_demo),
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
    ],
)
def test_optimize_command_refusals(small_demo, capsys, arguments, status, message):
    base = ["optimize", "--data", str(small_demo), "--date", "2024-12-31"]
    assert main([*base, "--index-pool", "000300.XSHG", *arguments]) == status
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err


@pytest.mark.parametrize(("given", "expected"), [({"risk_aversion": 0.0}, 0.0), ({}, 1)])
def test_an_explicit_zero_risk_aversion_is_kept(given, expected):
    from plovera.jobs import _make_objective

    assert _make_objective("mean_variance", given)._risk_aversion_coefficient == expected
