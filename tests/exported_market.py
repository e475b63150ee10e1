"""A slice of the demo market written out as the CSV tables a user would import."""

from __future__ import annotations

from pathlib import Path

import pandas as pd

INDEX = "000300.XSHG"


def export_demo_slice(bundle: Path, folder: Path, n_stocks: int, start: str, end: str) -> dict:
    """Write ``n_stocks`` stocks listed by ``start`` and the CSI 300 from ``start`` to ``end``.

    Closes are rebuilt from the price changes; the index weights are the CSI 300's
    over the chosen stocks, renormalised.  Returns the importer's keyword arguments.
    """
    bundle, folder = Path(bundle), Path(folder)
    folder.mkdir(parents=True, exist_ok=True)

    def read(name: str) -> pd.DataFrame:
        return pd.read_parquet(bundle / f"{name}.parquet")

    def within(frame: pd.DataFrame, column: str = "date") -> pd.DataFrame:
        days = pd.to_datetime(frame[column])
        return frame[(days >= start) & (days <= end)]

    instruments = read("instruments")
    # Every k-th stock listed by the start: large and small names, every industry.
    listed = instruments[(instruments["type"] == "CS") & (instruments["listed_date"] < start)]
    stocks = sorted(listed["order_book_id"])
    chosen = set(stocks[:: max(1, len(stocks) // n_stocks)][:n_stocks]) | {INDEX}
    weights = within(read("index_weights"))
    weights = weights[(weights["index_id"] == INDEX) & weights["order_book_id"].isin(chosen)]
    instruments = instruments[instruments["order_book_id"].isin(chosen)]
    changes = within(read("price_change_rate"))
    # A day without a change is a day without trading, hence without a row.
    changes = changes[changes["order_book_id"].isin(chosen)].dropna()
    changes = changes.sort_values(["order_book_id", "date"])
    # A close of 10 before the first day, then each day's change applied.
    growth = (1.0 + changes["price_change_rate"]).groupby(changes["order_book_id"]).cumprod()
    prices = changes[["date", "order_book_id"]].assign(close=10.0 * growth.to_numpy())

    caps = within(read("market_cap_total")).merge(
        within(read("market_cap_float")), on=["date", "order_book_id"]
    )
    caps = caps.merge(within(read("turnover")), on=["date", "order_book_id"], how="left")
    caps = (
        caps[caps["order_book_id"].isin(chosen)]
        .dropna(subset=["market_cap_total"])
        .rename(columns={"market_cap_total": "total", "market_cap_float": "float"})
    )
    weights = weights.copy()
    weights["weight"] = weights["weight"] / weights.groupby("date")["weight"].transform("sum")
    industries = read("industry")
    fundamentals = read("fundamentals")
    tables = {
        "instruments": instruments,
        "prices": prices,
        "market_caps": caps,
        "index_weights": weights,
        "industries": industries[industries["order_book_id"].isin(chosen)],
        "fundamentals": fundamentals[fundamentals["order_book_id"].isin(chosen)],
    }
    paths = {}
    for name, frame in tables.items():
        paths[name] = folder / f"{name}.csv"
        frame.to_csv(paths[name], index=False, float_format="%.10g")
    return paths
