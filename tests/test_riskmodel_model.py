"""The risk model as a whole: point in time, factor form, new listings, fallbacks, extension."""

import dataclasses

import numpy as np
import pandas as pd
import pytest
from conftest import using_source

import quotaris
from plovera.const import CovModel
from plovera.exception import InvalidArgument
from plovera.riskmodel import covariance as cv
from plovera.riskmodel import model as model_module
from plovera.riskmodel.exposures import ExposureEngine
from plovera.riskmodel.model import HISTORY_DAYS, RiskModel, RiskModelError
from plovera.riskmodel.panel import MarketPanel
from quotaris import MemorySource

N, T, N_NEW = 120, 470, 3
START = pd.Timestamp("2022-01-03")
NAMES = ["银行", "电子", "医药生物", "计算机"]


def market_tables(n_days=T, seed=11):
    """Four industries, a market factor and size-dependent volatility; the last ``N_NEW``
    stocks list 15 trading days before the end, one stock is suspended for a while.
    Without sales and earnings there is no growth style, which would need years."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range(START, periods=n_days)
    n = N + N_NEW
    ids = [f"{600000 + i:06d}.XSHG" for i in range(n)]
    log_cap = rng.normal(22.0, 1.0, n)
    industry = rng.integers(0, len(NAMES), n)
    beta = 1.0 + 0.3 * rng.standard_normal(n)
    vol = 0.02 * np.exp(-0.2 * (log_cap - 22.0) + 0.2 * rng.standard_normal(n))
    returns = (
        beta * rng.normal(0.0003, 0.012, n_days)[:, None]
        + rng.normal(0.0, 0.006, (n_days, len(NAMES)))[:, industry]
        + vol * rng.standard_normal((n_days, n))
    )
    listed_day = np.full(n, -1000)
    listed_day[N:] = n_days - 15
    quoted = np.arange(n_days)[:, None] > listed_day
    returns = np.where(quoted, returns, np.nan)
    returns[200:230, 5] = np.nan
    cap = np.exp(log_cap) * np.cumprod(np.where(np.isfinite(returns), 1 + returns, 1.0), axis=0)
    cap = np.where(np.arange(n_days)[:, None] >= listed_day, cap, np.nan)
    turnover = np.where(
        np.isfinite(returns), np.exp(rng.normal(np.log(0.01), 0.3, (n_days, n))), np.nan
    )
    listed = [
        (START - pd.Timedelta(days=2000) if k < 0 else days[k]).strftime("%Y-%m-%d")
        for k in listed_day
    ]
    instruments = pd.DataFrame(
        {
            "order_book_id": ids,
            "symbol": ids,
            "type": "CS",
            "exchange": "XSHG",
            "listed_date": listed,
        }
    )
    industries = pd.DataFrame(
        {
            "order_book_id": ids,
            "scheme": "sws",
            "start_date": pd.DatetimeIndex(listed),
            "industry_code": [str(801000 + k) for k in industry],
            "industry_name": [NAMES[k] for k in industry],
        }
    )
    rows = []
    for q in range(-9, n_days // 63 + 1):
        scale = np.exp(log_cap) * 1.02**q
        rows.append(
            pd.DataFrame(
                {
                    "order_book_id": ids,
                    "announce_date": START + pd.Timedelta(days=91 * q + 10),
                    "book_value": scale * rng.uniform(0.3, 0.8, n),
                    "ttm_operating_cash_flow": scale * rng.uniform(0.02, 0.1, n),
                    "total_debt": scale * rng.uniform(0.2, 1.0, n),
                    "total_assets": scale * rng.uniform(2.0, 3.0, n),
                }
            )
        )
    frame = lambda values: pd.DataFrame(values, index=days, columns=ids)  # noqa: E731
    return dict(
        instruments=instruments,
        trading_dates=days,
        price_change_rate=frame(returns),
        market_cap_total=frame(cap),
        market_cap_float=frame(cap * 0.6),
        turnover=frame(turnover),
        industry=industries,
        fundamentals=pd.concat(rows),
    )


def load_panel(tables, n_days=None, n_stocks=None):
    """The panel of ``tables``, over its first ``n_days`` days and ``n_stocks`` stocks if given."""
    tables = dict(tables)
    days = tables["trading_dates"][:n_days]
    ids = list(tables["price_change_rate"].columns[:n_stocks])
    tables["trading_dates"] = days
    for name in ("price_change_rate", "market_cap_total", "market_cap_float", "turnover"):
        if name in tables:
            tables[name] = tables[name].loc[days]
    with using_source(
        MemorySource(tables.pop("instruments"), tables.pop("trading_dates"), **tables)
    ):
        return MarketPanel.load(order_book_ids=ids)


def changed(tables, day, column, factor):
    """``tables`` with one stock's return on panel day ``day`` multiplied by ``factor``."""
    returns = tables["price_change_rate"].copy()
    returns.iloc[day, column] *= factor
    return {**tables, "price_change_rate": returns}


@pytest.fixture(scope="module")
def tables():
    return market_tables()


@pytest.fixture(scope="module")
def model(tables):
    return RiskModel.build(load_panel(tables))


def alive_ids(model, day):
    return list(model.order_book_ids[model._alive(day)])


def test_a_forecast_reads_nothing_from_its_own_day(tables, model):
    # A refresh day: its exposures, covariance and specific risk are all new.
    day = int(model.refresh[model.refresh > model.day_of(model.first_date)][0])
    again = RiskModel.build(load_panel(changed(tables, day, 3, -20.0)))
    ids = alive_ids(model, day + 1)
    for cov_model in CovModel:
        before, after = (
            model.forecast(model.dates[day], ids, cov_model),
            again.forecast(model.dates[day], ids, cov_model),
        )
        pd.testing.assert_frame_equal(after.factor_covariance, before.factor_covariance)
        pd.testing.assert_series_equal(after.specific_variance, before.specific_variance)
        later, moved = (
            model.forecast(model.dates[day + 1], ids, cov_model),
            again.forecast(model.dates[day + 1], ids, cov_model),
        )
        assert moved.specific_variance.iloc[3] > 1.2 * later.specific_variance.iloc[3]
        assert not np.allclose(moved.factor_covariance, later.factor_covariance, rtol=1e-6)


@pytest.mark.parametrize("spoilt", ["stock", "factor"])
def test_a_forecast_beyond_belief_is_refused_naming_what_and_when(tables, model, spoilt):
    # A stock's closes recorded in yuan and fen by turns for its last 300 days, as a
    # careless merge of two sources gives them; or a factor's history a thousand
    # times too large.
    if spoilt == "stock":
        returns = tables["price_change_rate"].copy()
        returns.iloc[-300:, 7] = np.resize([99.0, -0.99], 300)
        spoiled = RiskModel.build(load_panel({**tables, "price_change_rate": returns}))
        name = model.order_book_ids[7]
    else:
        name = "电子"
        factor_returns = model.factor_returns.copy()
        factor_returns[:, model.factors.index(name)] *= 1000.0
        spoiled = dataclasses.replace(model, factor_returns=factor_returns)
    day = model.n_days - 1
    with pytest.raises(RiskModelError, match=rf"for {spoilt} {name} on {model.dates[day].date()}"):
        spoiled.forecast(model.dates[day], alive_ids(model, day), CovModel.FACTOR_MODEL_DAILY)


def reassembled_is_positive_definite(factor_model):
    x = factor_model.exposures.to_numpy()
    f = factor_model.factor_covariance.to_numpy()
    d = factor_model.specific_variance.to_numpy()
    assert np.array_equal(f, f.T)
    cov = cv.assemble(x, f, d)
    np.testing.assert_allclose(cov, x @ f @ x.T + np.diag(d), rtol=0, atol=1e-10 * cov.max())
    assert np.linalg.eigvalsh(cov)[0] > 0.5 * d.min()


@pytest.mark.parametrize("cov_model", list(CovModel))
@pytest.mark.parametrize("collinear", [False, True])
def test_the_factor_form_is_symmetric_positive_definite(tables, model, cov_model, collinear):
    if collinear:
        # Liquidity made a hair's breadth from size: the regressions and the covariance
        # must stay finite and definite, through the condition guard and the floor.
        panel = load_panel(tables)
        original = model
        model = RiskModel._empty(panel, model.refresh, model.styles, model.unavailable)
        model.exposures[:] = original.exposures
        model.universe[:] = original.universe
        model.industry[:] = original.industry
        size, liquidity = model.styles.index("size"), model.styles.index("liquidity")
        noise = np.random.default_rng(1).normal(0.0, 1e-9, model.exposures.shape[:2])
        model.exposures[..., liquidity] = model.exposures[..., size] + noise
        model._fill_factor_returns(panel, 0, lambda *_: None)
        model._precompute(0, lambda *_: None)
    day = model.n_days - 1
    reassembled_is_positive_definite(
        model.forecast(model.dates[day], alive_ids(model, day), cov_model)
    )


def test_a_recent_listing_gets_imputed_exposures_and_structural_risk(tables, model):
    day = model.n_days - 1
    new = list(model.order_book_ids[N:])
    forecast = model.forecast(
        model.dates[day], new + alive_ids(model, day)[:5], CovModel.FACTOR_MODEL_MONTHLY
    )
    assert forecast.imputed == new
    assert np.isfinite(forecast.exposures.to_numpy()).all()
    # Its own few days of specific returns do not count: quintupling them changes little,
    # while the same change to a seasoned stock's does.
    wild = dict(tables)
    for column in (N, 0):
        wild = changed(wild, slice(day - 10, day), column, 5.0)
    again = RiskModel.build(load_panel(wild)).forecast(
        model.dates[day], [new[0], model.order_book_ids[0]], CovModel.FACTOR_MODEL_MONTHLY
    )
    ratio = (
        again.specific_variance.to_numpy()
        / forecast.specific_variance[[new[0], model.order_book_ids[0]]].to_numpy()
    )
    assert abs(ratio[0] - 1) < 0.05 < ratio[1] - 1


def test_unknown_stocks_and_early_dates_are_named(model):
    with pytest.raises(InvalidArgument, match="does not know 999999.XSHG"):
        model.forecast(model.dates[-1], ["600000.XSHG", "999999.XSHG"], CovModel.FACTOR_MODEL_DAILY)
    early = model.dates[model.day_of(model.first_date) - 1]
    with pytest.raises(
        InvalidArgument, match=f"first date it can serve is {model.first_date.date()}"
    ):
        model.forecast(early, ["600000.XSHG"], CovModel.FACTOR_MODEL_DAILY)


@pytest.mark.parametrize("cov_model", list(CovModel))
def test_precomputed_parts_equal_those_computed_on_the_fly(model, cov_model, monkeypatch):
    # As if built for other standard parameters: everything is simulated and summed anew.
    bare = dataclasses.replace(model, standard_parameters=np.zeros((0, 8)))
    refresh = int(model.refresh[-1])
    ids = alive_ids(model, refresh)
    for day in (refresh, refresh + 6):
        fresh = bare.forecast(model.dates[day], ids, cov_model)
        with monkeypatch.context() as patch:
            for module, name in ((cv, "eigenfactor_bias"), (model_module, "newey_west_variance")):
                patch.setattr(module, name, lambda *_, n=name: pytest.fail(f"{n} called"))
            stored = model.forecast(model.dates[day], ids, cov_model)
        np.testing.assert_allclose(stored.specific_variance, fresh.specific_variance, rtol=1e-12)
        f, g = stored.factor_covariance.to_numpy(), fresh.factor_covariance.to_numpy()
        # On the refresh day the bias is the one simulated from the same covariance; later
        # in the month the eigenvalues have moved a little.
        tolerance = 1e-12 if day == refresh else 0.05
        np.testing.assert_allclose(f, g, rtol=0, atol=tolerance * np.abs(g).max())


def assert_same_model(a, b):
    for name in (f.name for f in dataclasses.fields(RiskModel) if f.init):
        left, right = getattr(a, name), getattr(b, name)
        if isinstance(left, np.ndarray) and left.dtype.kind == "f":
            np.testing.assert_allclose(left, right, rtol=1e-12, atol=1e-15, err_msg=name)
        elif isinstance(left, np.ndarray | pd.Index):
            np.testing.assert_array_equal(left, right, err_msg=name)
        elif name != "build_seconds":
            assert left == right, name


@pytest.fixture(scope="module")
def short_model(tables):
    """The model of the first stocks over all but the last 40 days (two refreshes)."""
    return RiskModel.build(load_panel(tables, n_days=T - 40, n_stocks=N))


def test_an_extension_equals_a_build_on_the_longer_panel(tables, model, short_model, monkeypatch):
    panel = load_panel(tables)
    calls = {"exposures": 0, "factor_returns_wls": 0}
    for module, name in ((ExposureEngine, "exposures"), (model_module, "factor_returns_wls")):
        original = getattr(module, name)

        def counted(*args, original=original, name=name):
            calls[name] += 1
            return original(*args)

        monkeypatch.setattr(module, name, counted)
    extended = short_model.extend(panel)
    # Only the new refreshes and days are estimated.
    assert calls == {
        "exposures": len(model.refresh) - len(short_model.refresh),
        "factor_returns_wls": model.n_days - short_model.n_days,
    }
    assert_same_model(extended, model)
    day = model.dates[-1]
    ids = alive_ids(model, model.n_days - 1)
    for cov_model in CovModel:
        a, b = extended.forecast(day, ids, cov_model), model.forecast(day, ids, cov_model)
        f = b.factor_covariance.to_numpy()
        np.testing.assert_allclose(a.factor_covariance, f, rtol=0, atol=1e-12 * np.abs(f).max())
        np.testing.assert_allclose(a.specific_variance, b.specific_variance, rtol=1e-12)


@pytest.mark.parametrize(
    ("panel", "message"),
    [
        (lambda t: load_panel(t, n_days=T - 50, n_stocks=N), "does not continue the model's dates"),
        (lambda t: load_panel(changed(t, 100, 7, 2.0)), "data through .* differs"),
        (lambda t: load_panel(t, n_stocks=N - 1), "lacks stocks of the model: 600119.XSHG"),
        (
            lambda t: load_panel({k: v for k, v in t.items() if k != "turnover"}),
            "data through .* differs",
        ),
    ],
)
def test_an_extension_refuses_a_panel_that_does_not_continue_the_model(
    tables, short_model, panel, message
):
    with pytest.raises(ValueError, match=message):
        short_model.extend(panel(tables))


def test_an_extension_refuses_new_early_listings_and_new_styles(tables):
    young = RiskModel.build(load_panel(tables, n_days=120, n_stocks=N - 1))
    assert "momentum" not in young.styles
    with pytest.raises(ValueError, match="listed before .*: 600119.XSHG"):
        young.extend(load_panel(tables, n_days=150, n_stocks=N))
    with pytest.raises(ValueError, match="the panel gives the styles beta, momentum"):
        young.extend(load_panel(tables, n_days=T, n_stocks=N - 1))


def test_the_digest_covers_the_old_days_only(tables, short_model):
    n_old = short_model.n_days
    digest = short_model.data_digest(load_panel(tables))
    assert digest == short_model.data_digest_hex
    assert short_model.data_digest(load_panel(changed(tables, n_old, 7, 2.0))) == digest
    assert short_model.data_digest(load_panel(changed(tables, n_old - 1, 7, 2.0))) != digest


def bai_ng_count(panel, max_factors=10):
    """IC_p2 of the standardised panel, by brute force over k."""
    t_days, n = panel.shape
    scaled = panel / panel.std(axis=0)
    best = None
    for k in range(1, min(max_factors, n - 1) + 1):
        u, s, vt = np.linalg.svd(scaled, full_matrices=False)
        residual = scaled - (u[:, :k] * s[:k]) @ vt[:k]
        criterion = np.log((residual**2).mean()) + k * (n + t_days) / (n * t_days) * np.log(
            min(n, t_days)
        )
        best = (criterion, k) if best is None or criterion < best[0] else best
    return best[1]


def test_a_market_without_structure_gets_a_statistical_model(sp500):
    with using_source(sp500):
        model = RiskModel.build(MarketPanel.load())
    assert model.statistical and model.factors == []
    day = model.day_of("2022-06-30")
    ids = alive_ids(model, day)
    forecast = model.forecast(model.dates[day], ids, CovModel.FACTOR_MODEL_MONTHLY)
    window = model.returns[day - HISTORY_DAYS : day, model.order_book_ids.get_indexer(ids)]
    k = bai_ng_count(np.nan_to_num(window))
    assert list(forecast.exposures.columns) == [f"statistical_{i + 1}" for i in range(k)]
    reassembled_is_positive_definite(forecast)


def test_a_market_too_short_for_exposures_builds_but_serves_no_date(use_source):
    from test_bundle import market

    use_source(quotaris.MemorySource.from_tables(market()))
    model = RiskModel.build(MarketPanel.load())
    assert len(model.refresh) == 0 and np.isnan(model.factor_returns).all()
    with pytest.raises(InvalidArgument, match="can serve no date"):
        model.first_date  # noqa: B018
