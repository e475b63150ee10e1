import numpy as np
import pandas as pd
import pytest

from plovera.riskmodel.panel import MarketPanel, source_stock_ids
from quotaris import MemorySource
from quotaris.bundle import write_bundle
from quotaris.tables import BundleTables

DAYS = pd.bdate_range("2024-06-11", periods=30)
A, B, C, INDEX = "000001.XSHE", "600000.XSHG", "688001.XSHG", "000300.XSHG"
STOCKS = [A, B, C]


def tables(**drop) -> BundleTables:
    rng = np.random.default_rng(3)
    instruments = pd.DataFrame(
        {
            "order_book_id": [*STOCKS, INDEX],
            "symbol": ["a", "b", "c", "i"],
            "type": ["CS", "CS", "CS", "INDX"],
            "exchange": ["XSHE", "XSHG", "XSHG", "XSHG"],
            # C lists on the eleventh day; B leaves on the twenty-first.
            "listed_date": ["2000-01-04", "2001-01-04", str(DAYS[10].date()), "2005-04-08"],
            "de_listed_date": ["0000-00-00", str(DAYS[20].date()), "0000-00-00", "0000-00-00"],
        }
    )
    prices = pd.DataFrame(rng.normal(0, 0.01, (30, 4)), index=DAYS, columns=[*STOCKS, INDEX])
    prices.iloc[:11, 2] = np.nan
    prices.iloc[20:, 1] = np.nan
    caps = pd.DataFrame(1e9 * (1 + np.arange(3)) + np.zeros((30, 1)), index=DAYS, columns=STOCKS)
    caps.iloc[:10, 2] = np.nan
    caps.iloc[20:, 1] = np.nan
    industry = pd.DataFrame(
        {
            "order_book_id": [A, A, A, B, C],
            "scheme": "sws",
            # A moves twice between two full reads of the panel (every fifth day).
            "start_date": [
                pd.Timestamp("2000-01-04"),
                DAYS[6],
                DAYS[8],
                pd.Timestamp("2001-01-04"),
                DAYS[10],
            ],
            "industry_code": ["801780", "801790", "801080", "801780", "801080"],
            "industry_name": ["银行", "非银金融", "电子", "银行", "电子"],
        }
    )
    fundamentals = pd.DataFrame(
        {
            "order_book_id": [A, A, A, B],
            "announce_date": [pd.Timestamp("2023-10-30"), DAYS[7], DAYS[8], DAYS[3]],
            "book_value": [1.0, 2.0, 3.0, 5.0],
            "ttm_earnings": [0.1, np.nan, 0.2, 0.5],
        }
    )
    full = BundleTables(
        instruments=instruments,
        calendar="XSHG",
        trading_dates=DAYS,
        price_change_rate=prices,
        market_cap_total=caps,
        market_cap_float=caps * 0.5,
        turnover=caps * 1e-11,
        industry=industry,
        fundamentals=fundamentals,
    )
    for name in drop:
        setattr(full, name, None)
    return full


def test_panel_aligns_the_tables_of_a_full_source(use_source):
    full = tables()
    use_source(MemorySource.from_tables(full))
    panel = MarketPanel.load(order_book_ids=[C, INDEX, A, B])

    assert list(panel.order_book_ids) == STOCKS  # sorted, the index left out
    assert panel.dates.equals(DAYS)
    np.testing.assert_array_equal(panel.returns, full.price_change_rate[STOCKS].to_numpy())
    np.testing.assert_array_equal(panel.cap_float, full.market_cap_float.to_numpy())
    absent = ["ttm_operating_cash_flow", "ttm_sales", "total_debt", "total_assets"]
    assert list(panel.missing) == [f"fundamentals.{field}" for field in absent]

    assert panel.industry_names == ("电子", "银行", "非银金融")
    names = np.array([*panel.industry_names, None], dtype=object)[panel.industry]
    assert list(names[:, 0]) == ["银行"] * 6 + ["非银金融"] * 2 + ["电子"] * 22
    assert list(names[:, 2]) == [None] * 10 + ["电子"] * 20  # listed on day 10

    fundamentals = panel.fundamentals
    assert fundamentals.fields == ("book_value", "ttm_earnings")
    np.testing.assert_array_equal(fundamentals.at(6), [[1.0, 0.1], [5.0, 0.5], [np.nan, np.nan]])
    # A report without earnings leaves the earlier earnings in force.
    np.testing.assert_array_equal(fundamentals.at(7)[0], [2.0, 0.1])
    np.testing.assert_array_equal(fundamentals.at(8)[0], [3.0, 0.2])
    np.testing.assert_array_equal(fundamentals.at(2, np.array([1])), [[np.nan, np.nan]])

    np.testing.assert_array_equal(panel.alive(10), [True, True, False])  # C lists that day
    np.testing.assert_array_equal(panel.alive(11), [True, True, True])
    np.testing.assert_array_equal(panel.alive(20), [True, False, True])  # B delisted that day
    np.testing.assert_array_equal(panel.days_listed(12)[2], 3)
    assert panel.position(DAYS[4].date()) == 4
    # Weekdays from A's listing on 2000-01-04 to the panel's first day.
    assert panel.days_listed(0)[0] == np.busday_count("2000-01-04", "2024-06-11") + 1
    with pytest.raises(ValueError, match="2024-06-15 is not a trading day"):
        panel.position("2024-06-15")


def test_panel_of_a_source_with_prices_only_names_what_is_missing(use_source):
    lean = tables(market_cap_total=1, market_cap_float=1, turnover=1, industry=1, fundamentals=1)
    use_source(MemorySource.from_tables(lean))
    panel = MarketPanel.load(DAYS[2], DAYS[-3], STOCKS)

    assert panel.returns.shape == (26, 3)
    assert panel.cap_total is panel.turnover is panel.industry is panel.fundamentals is None
    assert panel.weighting_cap is None
    assert set(panel.missing) == {
        "market_cap_total",
        "market_cap_float",
        "turnover",
        "industry",
        "fundamentals",
    }
    assert "market_cap_total" in panel.missing["market_cap_total"]


def test_unknown_identifiers_are_refused(use_source):
    use_source(MemorySource.from_tables(tables()))
    with pytest.raises(ValueError, match=r"unknown order_book_ids: 999999\.XSHE"):
        MarketPanel.load(order_book_ids=[A, "999999.XSHE"])
    assert source_stock_ids() == STOCKS


def test_a_bundle_lists_its_common_stocks(use_source, tmp_path):
    path = write_bundle(tmp_path / "bundle", tables(fundamentals=1))
    use_source(path)
    assert source_stock_ids() == STOCKS
    panel = MarketPanel.load()
    assert list(panel.order_book_ids) == STOCKS
    assert set(panel.missing) == {"fundamentals"}
    # The bundle serves no industry for a stock before its listing: unclassified.
    assert panel.industry[4, 2] == -1
