"""What a researcher sees: pictures with Chinese names, tables in a notebook, daily returns."""

import warnings
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest
from matplotlib import image

import plovera
from plovera.backtest import BacktestResult
from plovera.diagnosis import Conflict, Diagnosis
from plovera.report import RiskReport
from plovera.report.figure import axis_labels, drawable
from plovera.riskmodel import FactorModel

DATE = "2024-03-15"


class Cells(HTMLParser):
    """The text of every table cell, and whether the tags close as they open."""

    def __init__(self):
        super().__init__()
        self.cells, self.open, self.text = [], [], None

    def handle_starttag(self, tag, attrs):
        self.open.append(tag)
        if tag in ("td", "th"):
            self.text = ""

    def handle_endtag(self, tag):
        assert self.open.pop() == tag
        if tag in ("td", "th"):
            self.cells.append(self.text.strip())

    def handle_data(self, data):
        if self.text is not None:
            self.text += data


def cells(markup: str) -> list[str]:
    parser = Cells()
    parser.feed(markup)
    parser.close()
    assert parser.open == []
    return parser.cells


def report(names=("银行", "电子"), benchmark=(0.5, 0.5)):
    ids, factors = ["A", "B"], ["country", *names, "size"]
    exposures = pd.DataFrame([[1, 1, 0, 0.5], [1, 0, 1, -1.0]], index=ids, columns=factors)
    covariance = pd.DataFrame(np.diag([0.04, 0.01, 0.02, 0.03]), index=factors, columns=factors)
    model = FactorModel(exposures, covariance, pd.Series([0.05, 0.08], ids))
    weights = pd.Series({"A": 0.6, "B": 0.4})
    bench = None if benchmark is None else pd.Series(benchmark, index=ids)
    return RiskReport(DATE, plovera.CovModel.FACTOR_MODEL_DAILY, "I", model, weights, bench)


def result():
    days = pd.bdate_range("2024-01-01", periods=60)
    rng = np.random.default_rng(0)
    nav = pd.Series(np.cumprod(1 + rng.normal(0.001, 0.01, 60)), index=days)
    bench = pd.Series(np.cumprod(1 + rng.normal(0.0005, 0.01, 60)), index=days)
    nav, bench = nav / nav.iloc[0], bench / bench.iloc[0]
    rebalances = days[[0, 20, 40]]
    return BacktestResult(
        "s",
        pd.DataFrame({"A": 0.5, "B": 0.5}, index=rebalances),
        nav,
        bench,
        pd.Series([0.5, 0.1, 0.1], index=rebalances),
        pd.Series(0.0, index=rebalances),
        [],
        pd.DataFrame({"volatility": 0.2, "tracking_error": 0.05}, index=rebalances),
    )


def test_industries_are_named_in_chinese_without_a_missing_glyph(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # matplotlib warns of each glyph its font lacks
        path = report(names=("银行", "非银金融")).plot(tmp_path / "r.png")
    assert image.imread(path).shape[1] > 1000
    # A name with a character the font lacks is shown by its code, named in a legend.
    assert drawable("基础化工") and not drawable("𠀀")
    assert axis_labels(["银行", "𠀀业"]) == (["银行", "industry 2"], ["industry 2: 𠀀业"])


def test_a_risk_report_is_a_table_in_a_notebook():
    shown = cells(report()._repr_html_())
    assert shown[:4] == ["", "volatility", "factor_share", "specific_share"]
    assert "total" in shown and "active" in shown and "specific" in shown


def test_a_diagnosis_is_a_table_in_a_notebook():
    found = Diagnosis(
        False,
        False,
        (
            Conflict("跟踪误差上限", 0.01, 0.064, 0.054, conflict_set=0, together=0.059),
            Conflict("风格 size 相对基准上限", 0.1, 0.448, 0.348, False, conflict_set=1),
        ),
    )
    shown = cells(found._repr_html_())
    assert shown[:5] == ["冲突", "约束", "当前", "最小放宽后", "同时放宽后"]
    assert shown[5:10] == ["1", "跟踪误差上限", "1.0%", "1.0% → 6.4%", "1.0% → 6.9%"]
    assert shown[10:12] == ["2", "风格 size 相对基准上限"]


def test_backtest_returns_compound_to_its_values_and_show_as_a_table():
    backtest = result()
    assert (1 + backtest.returns).prod() == pytest.approx(backtest.nav.iloc[-1])
    assert (1 + backtest.benchmark_returns).prod() == pytest.approx(backtest.benchmark_nav.iloc[-1])
    assert backtest.returns.index.equals(backtest.nav.index[1:])
    monthly = backtest.monthly_active_returns()
    assert (1 + monthly).prod() == pytest.approx(backtest.active_nav.iloc[-1])
    shown = cells(backtest._repr_html_())
    assert shown[shown.index("failed_rebalances") + 1] == "0"


def test_backtest_picture_and_tearsheet(tmp_path):
    backtest = result()
    assert image.imread(backtest.plot(tmp_path / "b.png")).shape[0] > 1000
    pytest.importorskip("quantstats")
    page = backtest.tearsheet(tmp_path / "t.html").read_text(encoding="utf-8")
    assert "Backtest: s" in page and "<table" in page
