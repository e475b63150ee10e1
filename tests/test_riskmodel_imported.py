"""A market a user exports and imports again gets the risk model the demo market has."""

from __future__ import annotations

import re

import numpy as np
import pytest
from conftest import using_source
from exported_market import export_demo_slice

import plovera
from plovera.cli import main
from plovera.const import CovModel
from plovera.exception import InvalidArgument
from plovera.riskmodel import risk_model
from quotaris.demo import demo_bundle_path

DATE = "2020-12-31"
OPTIONS = ("instruments", "prices", "market_caps", "index_weights", "industries", "fundamentals")


def imported(folder, start, end):
    """The bundle ``plovera data import`` makes of 150 demo stocks from ``start`` to ``end``."""
    tables = export_demo_slice(demo_bundle_path(progress=False), folder, 150, start, end)
    options = [f"--{name.replace('_', '-')}={tables[name]}" for name in OPTIONS]
    assert main(["data", "import", str(folder / "bundle"), *options]) == 0
    return folder / "bundle"


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    return imported(tmp_path_factory.mktemp("exported"), "2017-01-01", "2020-12-31")


def specific_volatility(bundle, ids):
    with using_source(bundle):
        forecast = risk_model(progress=False).forecast(DATE, ids, CovModel.FACTOR_MODEL_MONTHLY)
    return np.sqrt(forecast.specific_variance)


def test_specific_risk_matches_the_demo_models(market, demo, use_source):
    use_source(market)
    model = risk_model(progress=False)
    ids = [i for i in model.order_book_ids[model.alive_on(DATE)] if i != "000300.XSHG"]
    ratio = specific_volatility(market, ids) / specific_volatility(demo, ids)
    # 150 stocks cannot pin the factors as 1,100 do, but the stocks' own risk is theirs.
    assert 0.8 < ratio.median() < 1.25
    assert ratio.between(0.5, 2.0).all(), ratio.sort_values()
    for cov_model in CovModel:
        multipliers = model.regime_multipliers(cov_model)
        assert multipliers.stack().between(0.5, 2.0).all(), (cov_model, multipliers.describe())
    for objective in (plovera.MinVariance(), plovera.RiskParity()):
        weights = plovera.portfolio_optimize(ids, DATE, objective)
        assert weights.sum() == pytest.approx(1.0, abs=1e-6)


def test_info_reports_the_forecasts_health(market, capsys):
    assert main(["riskmodel", "info", "--data", str(market)]) == 0
    shown = capsys.readouterr().out
    assert re.search(r"^thin +\d+ industries with fewer than 5 effective stocks", shown, re.M)
    rows = re.findall(
        r"^  (FACTOR_MODEL_\w+) +([\d.% ]+?) +([\d.]+) to ([\d.]+) +([\d.]+) to", shown, re.M
    )
    assert [row[0] for row in rows] == [m.name for m in CovModel]
    for _, vols, low, high, _ in rows:
        median = float(vols.split()[2].rstrip("%")) / 100
        assert 0.15 < median < 0.5 and 0.5 < float(low) <= float(high) < 2.0


def test_a_market_too_short_says_how_long_it_must_be(tmp_path):
    with (
        using_source(imported(tmp_path, "2020-01-01", "2020-12-31")),
        pytest.raises(InvalidArgument, match="can serve no date") as refused,
    ):
        risk_model(progress=False).first_date  # noqa: B018
    need, have = map(
        int,
        re.search(
            r"at least (\d+) trading days in all; the market has (\d+)", str(refused.value)
        ).groups(),
    )
    assert have == 243 and have < need < 2 * have
