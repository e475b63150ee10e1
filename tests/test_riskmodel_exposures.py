import dataclasses

import numpy as np
import pandas as pd
import pytest
from conftest import using_source

from plovera.const import STYLE_FACTORS
from plovera.riskmodel import descriptors
from plovera.riskmodel.exposures import (
    OUTLIER_CLIP,
    ExposureEngine,
    StyleUnavailable,
    exposure_history,
    fill_missing,
    refresh_days,
    screen_outliers,
    standardise,
    winsorise_standardise,
)
from plovera.riskmodel.panel import Fundamentals, MarketPanel
from quotaris import MemorySource

N, T = 240, 520
DAYS = pd.bdate_range("2021-01-04", periods=T)
IDS = [f"{600000 + i:06d}.XSHG" for i in range(N)]
RECENT = [N - 3, N - 2, N - 1]  # listed 30 trading days before the last day
SUSPENDED = 7


def market_tables():
    """A market whose volatility and turnover fall with size, as in real markets."""
    rng = np.random.default_rng(5)
    log_cap = rng.normal(22.0, 1.0, N)
    z_size = (log_cap - log_cap.mean()) / log_cap.std()
    beta = 1.0 + 0.3 * rng.standard_normal(N)
    volatility = 0.02 * np.exp(-0.3 * z_size + 0.3 * rng.standard_normal(N))
    industry = rng.integers(0, 6, N)
    market = rng.normal(0.0003, 0.012, T)
    industry_return = rng.normal(0.0, 0.006, (T, 6))
    returns = (
        beta * market[:, None]
        + industry_return[:, industry]
        + volatility * rng.standard_t(5, (T, N)) / np.sqrt(5 / 3)
    )
    listed_day = np.full(N, -1000)
    listed_day[RECENT] = T - 30
    listed_day[:5] = 200
    day = np.arange(T)[:, None]
    quoted = day > listed_day
    returns[:, SUSPENDED] = np.where(
        (day[:, 0] >= 300) & (day[:, 0] < 340), np.nan, returns[:, SUSPENDED]
    )
    returns = np.where(quoted, returns, np.nan)
    cap = np.exp(log_cap) * np.cumprod(np.where(np.isfinite(returns), 1 + returns, 1.0), axis=0)
    cap = np.where(day >= listed_day, cap, np.nan)
    turnover = np.exp(
        np.log(0.01)
        - 0.5 * z_size
        + 0.3 * rng.standard_normal(N)
        + 0.2 * rng.standard_normal((T, N))
    )
    turnover = np.where(np.isfinite(returns), turnover, np.nan)

    listed = np.where(listed_day < 0, pd.Timestamp("2015-01-05"), DAYS[np.maximum(listed_day, 0)])
    instruments = pd.DataFrame(
        {
            "order_book_id": IDS,
            "symbol": IDS,
            "type": "CS",
            "exchange": "XSHG",
            "listed_date": pd.DatetimeIndex(listed).strftime("%Y-%m-%d"),
        }
    )
    names = ["银行", "电子", "医药生物", "计算机", "机械设备", "食品饮料"]
    industry_table = pd.DataFrame(
        {
            "order_book_id": IDS,
            "scheme": "sws",
            "start_date": pd.DatetimeIndex(listed),
            "industry_code": [str(801000 + k) for k in industry],
            "industry_name": [names[k] for k in industry],
        }
    )
    rows = []
    growth = rng.normal(0.02, 0.02, N)
    book_to_price = np.exp(rng.normal(-0.7, 0.5, N))
    for q in range(-8, T // 63 + 1):
        announce = np.clip(q * 63 + rng.integers(0, 20, N), -400, T - 1)
        scale = np.exp(log_cap) * (1 + growth) ** q
        when = [
            DAYS[a] if a >= 0 else DAYS[0] - pd.Timedelta(days=int(-a) * 7 // 5 + 1)
            for a in announce
        ]
        rows.append(
            pd.DataFrame(
                {
                    "order_book_id": IDS,
                    "announce_date": when,
                    "book_value": scale * book_to_price,
                    "ttm_earnings": scale * 0.08 * (1 + 0.3 * rng.standard_normal(N)),
                    "ttm_operating_cash_flow": scale * 0.1 * (1 + 0.3 * rng.standard_normal(N)),
                    "ttm_sales": scale * (1 + 0.02 * rng.standard_normal(N)),
                    "total_debt": scale * rng.uniform(0.2, 1.0, N),
                    "total_assets": scale * rng.uniform(2.0, 3.0, N),
                }
            )
        )
    fundamentals = pd.concat(rows).drop_duplicates(["order_book_id", "announce_date"], keep="last")
    frame = lambda values: pd.DataFrame(values, index=DAYS, columns=IDS)  # noqa: E731
    return dict(
        instruments=instruments,
        trading_dates=DAYS,
        price_change_rate=frame(returns),
        market_cap_total=frame(cap),
        market_cap_float=frame(cap * 0.6),
        turnover=frame(turnover),
        industry=industry_table,
        fundamentals=fundamentals,
    )


def load(**drop):
    tables = market_tables()
    for name in drop:
        del tables[name]
    with using_source(
        MemorySource(tables.pop("instruments"), tables.pop("trading_dates"), **tables)
    ):
        return MarketPanel.load(order_book_ids=IDS)


@pytest.fixture(scope="module")
def panel():
    return load()


@pytest.fixture(scope="module")
def last(panel):
    return ExposureEngine(panel).exposures(T - 1)


def weighted_moments(values, weights):
    mean = np.average(values, weights=weights)
    return mean, np.average((values - mean) ** 2, weights=weights)


def test_every_style_is_standardised_over_the_estimation_universe(last):
    assert last.unavailable == {} and last.styles == STYLE_FACTORS
    universe = last.estimation_universe
    table = last.exposures[universe]
    assert np.isfinite(last.exposures.to_numpy()).all()
    np.testing.assert_allclose(
        np.average(table, weights=last.cap[universe], axis=0), 0.0, atol=1e-12
    )
    np.testing.assert_allclose(table.std(ddof=0), 1.0, rtol=1e-12)


@pytest.mark.parametrize(
    ("style", "against", "raw"),
    [
        ("residual_volatility", ["beta", "size"], descriptors.daily_volatility),
        ("liquidity", ["size"], lambda panel, end: descriptors.log_turnover(panel, end)[0]),
        ("non_linear_size", ["size"], None),
    ],
)
def test_orthogonalised_styles_have_no_weighted_covariance_with_their_regressors(
    panel, last, style, against, raw
):
    universe = last.estimation_universe
    weights = np.sqrt(last.cap[universe])
    target = last.exposures[style][universe].to_numpy()
    for name in against:
        other = last.exposures[name][universe].to_numpy()
        covariance = np.cov(target, other, aweights=weights)[0, 1]
        # Exact after the regression; the clipping that follows leaves a little.
        assert abs(covariance) < 0.05, name
    if raw is not None:
        # The planted market makes the raw descriptor lean strongly on size.
        descriptor = raw(panel, T - 2)[panel.alive(T - 1)]
        size = last.exposures["size"].to_numpy()
        assert np.corrcoef(descriptor[universe], size[universe])[0, 1] < -0.3


def test_outliers_become_missing_and_extremes_are_clipped():
    rng = np.random.default_rng(1)
    values = rng.standard_normal(300)
    values[:3] = [1e9, 1e5, 6.0]  # two errors, the second hidden by the first; one extreme
    cap = np.ones(300)
    universe = np.ones(300, dtype=bool)
    screened = screen_outliers(values, cap, universe)
    assert np.isnan(screened[:2]).all() and np.isfinite(screened[2:]).all()
    out = winsorise_standardise(screened, cap, universe)
    rest = out[3:]
    assert out[2] == pytest.approx(out[2:].max())  # the extreme stays the largest
    clipped = np.clip(standardise(screened, cap, universe), -OUTLIER_CLIP, OUTLIER_CLIP)
    np.testing.assert_allclose(out[2:], standardise(clipped, cap, universe)[2:])
    assert np.nanmean(out) == pytest.approx(0.0, abs=1e-12)
    assert np.nanstd(out) == pytest.approx(1.0)
    assert np.isfinite(rest).all()


def test_standardise_uses_cap_weighted_mean_and_equal_weighted_spread():
    values = np.array([1.0, 2.0, 3.0, 10.0, np.nan])
    cap = np.array([1.0, 1.0, 2.0, 100.0, 5.0])
    universe = np.array([True, True, True, False, True])  # the large stock is outside
    mean = (1 * 1 + 2 * 1 + 3 * 2) / 4
    spread = np.std([1.0, 2.0, 3.0])
    np.testing.assert_allclose(standardise(values, cap, universe), (values - mean) / spread)


def test_fill_missing_predicts_from_industry_and_size():
    rng = np.random.default_rng(2)
    n = 60
    industry = rng.integers(0, 3, n)
    size = rng.standard_normal(n)
    cap = np.exp(rng.normal(0, 1, n))
    values = np.array([0.5, -0.2, 0.1])[industry] + 0.4 * size + 0.1 * rng.standard_normal(n)
    values[[3, 4]] = np.nan
    universe = np.ones(n, dtype=bool)
    universe[5] = False  # outside the universe: kept, but not fitted on
    filled, flags = fill_missing(values, industry, size, cap, universe)

    rows = universe & np.isfinite(values)
    design = np.column_stack([industry == k for k in range(3)] + [size]).astype(float)
    root = cap[rows] ** 0.25
    coefficients = np.linalg.lstsq(design[rows] * root[:, None], values[rows] * root, rcond=None)[0]
    np.testing.assert_allclose(filled[[3, 4]], design[[3, 4]] @ coefficients, rtol=1e-9)
    np.testing.assert_array_equal(flags, np.isin(np.arange(n), [3, 4]))
    np.testing.assert_array_equal(filled[~flags], values[~flags])


def test_a_recent_listing_gets_imputed_exposures_and_is_flagged(last):
    recent = [IDS[i] for i in RECENT]
    assert not last.estimation_universe[last.order_book_ids.isin(recent)].any()
    flags = last.filled.loc[recent]
    assert flags[["beta", "momentum", "residual_volatility", "growth"]].all().all()
    assert not flags[["size", "liquidity", "book_to_price"]].any().any()
    assert np.isfinite(last.exposures.loc[recent].to_numpy()).all()
    # Away from the fill-in, a stock keeps what its own data says.
    assert not last.filled.loc[IDS[100]].any()


def shifted(panel, day):
    """The panel with every table changed from ``day`` on."""
    fundamentals = panel.fundamentals
    later = np.full(N, day)
    news = Fundamentals(
        fields=fundamentals.fields,
        day=np.r_[fundamentals.day, later],
        stock=np.r_[fundamentals.stock, np.arange(N)],
        values=np.vstack([fundamentals.values, fundamentals.at(day) * 3.0]),
        n_days=T,
        n_stocks=N,
    )
    order = np.lexsort((news.day, news.stock))
    news = dataclasses.replace(
        news, day=news.day[order], stock=news.stock[order], values=news.values[order]
    )

    def later_rows(array, factor):
        changed = array.copy()
        changed[day:] *= factor
        return changed

    return dataclasses.replace(
        panel,
        returns=later_rows(panel.returns, -0.5),
        cap_total=later_rows(panel.cap_total, 0.1),
        cap_float=later_rows(panel.cap_float, 0.1),
        turnover=later_rows(panel.turnover, 20.0),
        fundamentals=news,
    )


def test_data_of_the_day_itself_does_not_move_its_exposures(panel):
    day = int(refresh_days(panel)[-1])
    before = ExposureEngine(panel).exposures(day)
    engine = ExposureEngine(shifted(panel, day))
    pd.testing.assert_frame_equal(engine.exposures(day).exposures, before.exposures)
    # The same change a day earlier is seen.
    moved = ExposureEngine(shifted(panel, day - 1)).exposures(day).exposures
    assert not np.allclose(moved.to_numpy(), before.exposures.to_numpy())


@pytest.mark.parametrize(
    ("drop", "lacking"),
    [
        (
            ["fundamentals"],
            {s: "fundamentals" for s in ["earnings_yield", "growth", "book_to_price", "leverage"]},
        ),
        (
            ["market_cap_total", "market_cap_float", "turnover", "industry", "fundamentals"],
            {
                "size": "market_cap_total",
                "earnings_yield": "market_cap_total",
                "growth": "fundamentals",
                "book_to_price": "market_cap_total",
                "leverage": "fundamentals",
                "liquidity": "turnover",
                "non_linear_size": "market_cap_total",
            },
        ),
    ],
)
def test_styles_the_data_lacks_name_the_missing_table(drop, lacking):
    exposures = ExposureEngine(load(**dict.fromkeys(drop))).exposures(T - 1)
    assert list(exposures.unavailable) == [s for s in STYLE_FACTORS if s in lacking]
    for style, table in lacking.items():
        with pytest.raises(
            StyleUnavailable, match=f"style {style} is unavailable on .*the {table} table"
        ):
            exposures.style(style)
        assert exposures.exposures[style].isna().all()
    for style in ("beta", "momentum", "residual_volatility"):
        assert np.isfinite(exposures.style(style)).all()
    if exposures.cap is None:  # equal weights stand in for caps
        beta = exposures.style("beta")[exposures.estimation_universe]
        assert beta.mean() == pytest.approx(0.0, abs=1e-12)


def test_partly_missing_fundamentals_renormalise_over_the_rest():
    tables = market_tables()
    fundamentals = tables["fundamentals"].drop(columns=["ttm_operating_cash_flow", "ttm_sales"])
    source = MemorySource(
        tables["instruments"],
        DAYS,
        tables["price_change_rate"],
        market_cap_total=tables["market_cap_total"],
        fundamentals=fundamentals,
    )
    with using_source(source):
        panel = MarketPanel.load(order_book_ids=IDS)
    exposures = ExposureEngine(panel).exposures(T - 1)
    assert "earnings_yield" in exposures.styles and "growth" in exposures.styles
    assert set(panel.missing) >= {"fundamentals.ttm_operating_cash_flow", "fundamentals.ttm_sales"}


def test_too_short_a_history_leaves_a_style_unavailable(panel):
    early = ExposureEngine(panel).exposures(int(refresh_days(panel)[2]))
    assert {"momentum", "growth"} <= set(early.unavailable)
    assert "too little history" in early.unavailable["momentum"]
    with pytest.raises(StyleUnavailable, match="style momentum is unavailable"):
        early.style("momentum")
    with pytest.raises(KeyError, match="unknown style 'value'"):
        early.style("value")


def test_refresh_schedule(panel):
    monthly = refresh_days(panel)
    assert (panel.dates[monthly].day <= 3).all() and len(monthly) == 23  # Feb 2021 on
    assert (panel.dates[monthly - 1].month != panel.dates[monthly].month).all()
    weekly = refresh_days(panel, "weekly")
    assert (panel.dates[weekly].day_of_week == 0).all() and weekly[0] == 5
    with pytest.raises(ValueError, match="frequency must be one of"):
        refresh_days(panel, "daily")
    history = exposure_history(panel)
    assert [x.date for x in history] == list(panel.dates[monthly])


def test_descriptors_match_direct_computations():
    rng = np.random.default_rng(9)
    t, n = 600, 4
    returns = rng.normal(0.0, 0.02, (t, n))
    returns[rng.random((t, n)) < 0.1] = np.nan
    returns[:450, 3] = np.nan  # 150 quoted days at most: too few for momentum
    tiny = MarketPanel(
        dates=pd.bdate_range("2020-01-01", periods=t),
        order_book_ids=pd.Index(IDS[:n]),
        returns=returns,
        cap_total=None,
        cap_float=None,
        turnover=None,
        industry=None,
        industry_names=None,
        industry_scheme="sws",
        fundamentals=None,
        listed_dates=np.full(n, np.datetime64("2010-01-04", "D")),
        de_listed_dates=np.full(n, np.datetime64("NaT", "D")),
    )
    market = rng.normal(0.0, 0.01, t)
    end = t - 1
    beta, residual = descriptors.beta_and_residual_volatility(tiny, market, end)
    volatility = descriptors.daily_volatility(tiny, end)
    span = descriptors.cumulative_range(tiny, end)
    trend = descriptors.momentum(tiny, end)
    for i in range(n):
        y, x = returns[end - 251 : end + 1, i], market[end - 251 : end + 1]
        w = 0.5 ** (np.arange(251, -1, -1) / 63)
        ok = np.isfinite(y)
        slope, intercept = np.polyfit(x[ok], y[ok], 1, w=np.sqrt(w[ok]))
        assert beta[i] == pytest.approx(slope, rel=1e-9)
        fitted = y[ok] - intercept - slope * x[ok]
        assert residual[i] == pytest.approx(np.sqrt(np.average(fitted**2, weights=w[ok])))
        v = 0.5 ** (np.arange(251, -1, -1) / 42)[ok]
        mean = np.average(y[ok], weights=v)
        assert volatility[i] == pytest.approx(np.sqrt(np.average((y[ok] - mean) ** 2, weights=v)))
        if i == 3:  # too short a history for the range of a year and for momentum
            assert np.isnan(span[i]) and np.isnan(trend[i])
            continue
        logs = np.log1p(np.nan_to_num(y))
        cumulative = [logs[252 - 21 * k :].sum() for k in range(1, 13)]
        assert span[i] == pytest.approx(max(cumulative) - min(cumulative))
        past = returns[end - 21 - 503 : end - 20, i]
        decay = 0.5 ** (np.arange(503, -1, -1) / 126)
        assert trend[i] == pytest.approx(np.sum(decay * np.log1p(np.nan_to_num(past))))
