"""Risk reports: contributions that add up, a hand computation, refusals, tables, picture, CLI."""

import datetime
import math

import numpy as np
import pandas as pd
import pytest
from matplotlib import image

import plovera
import quotaris
from plovera.cli import main
from plovera.exception import InvalidArgument
from plovera.report import RiskReport
from plovera.report.figure import industry_labels
from plovera.riskmodel import FactorModel

DATE = datetime.date(2024, 12, 31)
INDEX = "000300.XSHG"


@pytest.fixture(scope="module")
def csi500(demo):
    weights = quotaris.index_weights("000905.XSHG", DATE)
    return weights / weights.sum()


def two_stock_report(benchmark=None):
    """Two stocks, a country factor, one industry each and one style, all by hand."""
    ids, factors = ["A", "B"], ["country", "银行", "电子", "size"]
    exposures = pd.DataFrame([[1, 1, 0, 0.5], [1, 0, 1, -1.0]], index=ids, columns=factors)
    f = np.array(
        [[0.04, 0.0, 0.0, 0.0], [0.0, 0.01, 0.002, 0.0], [0.0, 0.002, 0.02, 0.0], [0, 0, 0, 0.03]]
    )
    model = FactorModel(
        exposures, pd.DataFrame(f, index=factors, columns=factors), pd.Series([0.05, 0.08], ids)
    )
    weights = pd.Series({"A": 0.6, "B": 0.4})
    bench = None if benchmark is None else pd.Series(benchmark, index=ids)
    return RiskReport(DATE, plovera.CovModel.FACTOR_MODEL_DAILY, "I", model, weights, bench)


def test_a_two_stock_portfolio_against_a_hand_computation():
    report = two_stock_report([0.5, 0.5])
    # Portfolio exposures: country 1, 银行 0.6, 电子 0.4, size 0.6*0.5 - 0.4 = -0.1.
    contributions = {
        "country": 1 * 0.04,
        "银行": 0.6 * (0.01 * 0.6 + 0.002 * 0.4),
        "电子": 0.4 * (0.002 * 0.6 + 0.02 * 0.4),
        "size": 0.03 * 0.01,
    }
    specific = 0.05 * 0.36 + 0.08 * 0.16
    variance = sum(contributions.values()) + specific
    assert report.volatility == pytest.approx(math.sqrt(variance), rel=1e-12)
    factors = report.to_frame("factors", of="total")
    np.testing.assert_allclose(factors["variance"], list(contributions.values()), rtol=1e-12)
    np.testing.assert_allclose(factors["portfolio"], [1, 0.6, 0.4, -0.1], rtol=1e-12)
    assert list(factors["group"]) == ["country", "industry", "industry", "style"]
    # Active: 0.1 on A, -0.1 on B; exposures 0, 0.1, -0.1, 0.15.
    active = (
        0.1**2 * 0.01 - 2 * 0.01 * 0.002 + 0.1**2 * 0.02 + 0.15**2 * 0.03 + 0.01 * (0.05 + 0.08)
    )
    assert report.tracking_error == pytest.approx(math.sqrt(active), rel=1e-12)
    stocks = report.to_frame("stocks")
    # Stock A's active contribution: 0.1 × (X F x)_A + δ_A × 0.01.
    x = np.array([0.0, 0.1, -0.1, 0.15])
    marginal = report.model.exposures.to_numpy() @ (report.model.factor_covariance.to_numpy() @ x)
    assert stocks.loc["A", "variance"] == pytest.approx(0.1 * marginal[0] + 0.05 * 0.01)
    assert list(stocks["industry"]) == ["银行", "电子"]
    np.testing.assert_allclose(report.to_frame("industries")["benchmark"], [0.5, 0.5])


@pytest.mark.parametrize(("against", "of"), [(None, "total"), (INDEX, "total"), (INDEX, "active")])
def test_contributions_add_up_to_the_variance(csi500, against, of):
    report = plovera.risk_report(csi500, DATE, against)
    summary = report.to_frame("summary").loc[of]
    variance = summary["variance"]
    assert summary["factor_variance"] + summary["specific_variance"] == pytest.approx(variance)
    assert summary["volatility"] ** 2 == pytest.approx(variance)
    for table in ("groups", "stocks"):
        frame = report.to_frame(table, of=of)
        assert frame["variance"].sum() == pytest.approx(variance, rel=1e-10)
        assert frame["share"].sum() == pytest.approx(1.0, rel=1e-10)
        assert frame["volatility"].sum() == pytest.approx(summary["volatility"], rel=1e-10)
    factors = report.to_frame("factors", of=of)
    assert factors["variance"].sum() == pytest.approx(summary["factor_variance"], rel=1e-10)
    industries = report.to_frame("industries", of=of)
    assert industries["stocks_variance"].sum() == pytest.approx(variance, rel=1e-10)
    # The same risk, computed n × n from the helper's covariance.
    helper = plovera.helper.OptimizeHelper(
        list(csi500.index),
        DATE,
        plovera.IndexBenchmark(INDEX) if against else None,
        plovera.CovModel.FACTOR_MODEL_DAILY,
    )
    a = report.weights if of == "total" else report.active.weights
    cov = helper.get_union_cov_matrix() if against else helper.get_cov_matrix()
    assert a.to_numpy() @ cov @ a.to_numpy() == pytest.approx(variance, rel=1e-9)


def test_exposures_are_the_portfolios_the_benchmarks_and_active(csi500):
    report = plovera.risk_report(csi500, DATE, INDEX)
    styles = report.to_frame("styles")
    helper = plovera.helper.OptimizeHelper(
        list(csi500.index), DATE, plovera.IndexBenchmark(INDEX), plovera.CovModel.FACTOR_MODEL_DAILY
    )
    np.testing.assert_allclose(styles["benchmark"], helper.get_benchmark_style()[styles.index])
    np.testing.assert_allclose(styles["active"], styles["portfolio"] - styles["benchmark"])
    industries = report.to_frame("industries")
    assert industries["portfolio"].sum() == pytest.approx(1.0)
    assert industries["benchmark"].sum() == pytest.approx(1.0)


def test_a_portfolio_against_itself_has_no_active_risk(demo):
    weights = quotaris.index_weights(INDEX, DATE)
    report = plovera.risk_report(weights / weights.sum(), DATE, INDEX)
    assert report.tracking_error == pytest.approx(0.0, abs=1e-9)
    groups = report.to_frame("groups")
    assert np.isfinite(groups.to_numpy()).all()
    assert "tracking error" in str(report)


def test_a_dollar_neutral_book_reports_with_net_zero(csi500):
    weights = quotaris.index_weights(INDEX, DATE)
    book = csi500.sub(weights / weights.sum(), fill_value=0.0)
    report = plovera.risk_report(book, DATE, net=0.0)
    assert report.to_frame("factors").loc["country", "portfolio"] == pytest.approx(0.0, abs=1e-9)
    assert report.volatility == pytest.approx(
        plovera.risk_report(csi500, DATE, INDEX).tracking_error, rel=1e-9
    )


@pytest.mark.parametrize(
    ("weights", "options", "message"),
    [
        ({"000001.XSHE": 0.5, "000002.XSHE": 0.4}, {}, r"add up to 0\.9, not 1"),
        ({"000001.XSHE": 0.5, "000002.XSHE": 0.5}, {"net": 0.0}, r"add up to 1, not 0"),
        ({"000001.XSHE": 1.0, "999999.XSHE": 0.0}, {}, r"does not know 999999\.XSHE"),
        ({"000001.XSHE": np.nan, "000002.XSHE": 1.0}, {}, r"missing \(NaN\).*000001\.XSHE"),
        ({"000001.XSHE": "half", "000002.XSHE": 0.5}, {}, r"not numbers for 000001\.XSHE"),
        ({}, {}, "no weights"),
        ({"000001.XSHE": 1.0}, {"date": "2030-01-02"}, r"no forecast for 2030-01-02"),
        ({"000001.XSHE": 1.0}, {"date": "2015-03-02"}, r"too little history for 2015-03-02"),
        ({"000001.XSHE": 1.0}, {"date": "someday"}, r"someday"),
        ({"000001.XSHE": 1.0}, {"benchmark": "999999.XSHG"}, r"999999\.XSHG"),
        ({"000001.XSHE": 1.0}, {"cov_model": "weekly"}, r"'weekly'"),
        ({"000001.XSHE": 1.0}, {"net": "1"}, r"net must be .* got '1'"),
        ({"000001.XSHE": 1.0}, {"net": np.inf}, r"net must be .* got inf"),
        ({"000001.XSHE": 1.0}, {"benchmark": 5}, r"benchmark must be .* got 5"),
    ],
)
def test_bad_input_is_refused_naming_the_value(demo, weights, options, message):
    options = {"date": DATE, **options}
    with pytest.raises(InvalidArgument, match=message):
        plovera.risk_report(pd.Series(weights, dtype=object), **options)


def test_long_short_books_and_any_net_weight_are_reported_unscaled(csi500):
    first, second = csi500.index[:2]
    weights = pd.Series({first: 1.3, second: -0.3})
    report = plovera.risk_report(weights, DATE)
    assert report.weights[second] == -0.3
    assert plovera.risk_report(weights * 2, DATE, net=None).volatility == pytest.approx(
        2 * report.volatility
    )


@pytest.mark.parametrize(
    ("table", "of", "message"),
    [("everything", None, "unknown table 'everything'"), ("groups", "active", "needs a benchmark")],
)
def test_bad_table_requests_are_refused(table, of, message):
    with pytest.raises(InvalidArgument, match=message):
        two_stock_report().to_frame(table, of=of)


@pytest.mark.parametrize(
    ("font", "expected"),
    [
        (None, ["801780", "801080", "Energy", "industry 4"]),
        ("x.ttf", ["银行", "电子", "Energy", "其他"]),
    ],
)
def test_industry_labels_fall_back_to_codes_without_a_chinese_font(font, expected):
    assert industry_labels(["银行", "电子", "Energy", "其他"], font) == expected


@pytest.mark.parametrize("against", [None, [0.5, 0.5]])
def test_the_picture_is_one_png(tmp_path, against):
    path = two_stock_report(against).plot(tmp_path / "report.png")
    picture = image.imread(path)
    assert picture.shape[0] > 500 and picture.shape[1] > 1000


def test_report_command_prints_and_draws(csi500, tmp_path, capsys):
    weights, picture = tmp_path / "w.csv", tmp_path / "r.png"
    csi500.rename("weight").rename_axis("order_book_id").to_csv(weights)
    argv = ["report", str(weights), "--date", str(DATE), "--benchmark", INDEX]
    assert main([*argv, "--output", str(picture)]) == 0
    out = capsys.readouterr().out
    assert "tracking error by group" in out and f"written to {picture}" in out
    assert picture.stat().st_size > 10_000
    assert main([*argv, "--net", "0"]) == 2
    assert "add up to 1, not 0" in capsys.readouterr().err


def test_optimize_command_writes_the_report_of_its_weights(demo, tmp_path, capsys):
    picture = tmp_path / "report.png"
    argv = ["optimize", "--index-pool", INDEX, "--date", str(DATE), "--benchmark", INDEX]
    argv += ["--objective", "min_tracking_error", "--bound", "*=0:0.05"]
    assert main([*argv, "--output", str(tmp_path / "w.csv"), "--report", str(picture)]) == 0
    err = capsys.readouterr().err
    assert f"against {INDEX}" in err and f"written to {picture}" in err
    assert image.imread(picture).shape[1] > 1000


def test_a_statistical_model_reports_its_components_as_one_group(tmp_path):
    ids, factors = ["A", "B"], ["statistical_1", "statistical_2"]
    model = FactorModel(
        pd.DataFrame([[1.0, 0.5], [0.8, -1.0]], index=ids, columns=factors),
        pd.DataFrame(np.diag([0.04, 0.01]), index=factors, columns=factors),
        pd.Series([0.05, 0.06], ids),
    )
    weights = pd.Series({"A": 0.5, "B": 0.5})
    report = RiskReport(DATE, plovera.CovModel.FACTOR_MODEL_DAILY, None, model, weights, None)
    groups = report.to_frame("groups")
    # Exposures 0.9 and -0.25: 0.04 × 0.81 + 0.01 × 0.0625; specific 0.25 × 0.11.
    np.testing.assert_allclose(groups["variance"], [0.0330250, 0.0275], rtol=1e-12)
    assert report.to_frame("industries").empty and report.to_frame("styles").empty
    assert report.stocks == ids and report.industry.isna().all()
    assert image.imread(report.plot(tmp_path / "statistical.png")).shape[1] > 1000
