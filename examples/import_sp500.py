"""Import the S&P 500 sample data installed with skfolio into a bundle.

skfolio ships, inside its package, daily adjusted closing prices of 20 large
US stocks and of the S&P 500 index from 1990-01-02 to 2022-12-28; they are
read from the installed package, not downloaded.  The bundle uses the New
York Stock Exchange calendar ("XNYS"), which every US stock exchange shares.

Identifiers are the ticker with the suffix ".US": the data do not say where
each stock is listed (some trade on Nasdaq, some on the NYSE, and listings
have moved), so the suffix names the market rather than a venue.  The index
is "SP500.US" of type "INDX".  It carries no constituent weights: the sample
holds 20 of its roughly 500 members and no market caps, so any weights would
be invented.  Each instrument's listed date is its first day in the data: the
true listing dates are earlier and not in the package, and all we can vouch
for is that each was trading by then.

    PYTHONPATH=src python examples/import_sp500.py DEST [--overwrite]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import pandas as pd
from skfolio.datasets import load_sp500_dataset, load_sp500_index

from quotaris.importer import import_bundle

SUFFIX = ".US"
INDEX_COLUMN = "SP500"
CALENDAR = "XNYS"


def sp500_tables() -> tuple[pd.DataFrame, pd.DataFrame]:
    """The instruments and the long table of daily closes, in the importer's form."""
    stocks = load_sp500_dataset()
    closes = stocks.join(load_sp500_index(), how="outer")
    closes.columns = [f"{ticker}{SUFFIX}" for ticker in closes.columns]
    prices = (
        closes.rename_axis(index="date", columns="order_book_id")
        .melt(ignore_index=False, value_name="close")
        .reset_index()
        .dropna(subset=["close"])
    )
    first_day = prices.groupby("order_book_id")["date"].min()
    instruments = pd.DataFrame(
        {
            "order_book_id": first_day.index,
            "symbol": [
                "S&P 500"
                if order_book_id == f"{INDEX_COLUMN}{SUFFIX}"
                else order_book_id[: -len(SUFFIX)]
                for order_book_id in first_day.index
            ],
            "type": [
                "INDX" if order_book_id == f"{INDEX_COLUMN}{SUFFIX}" else "CS"
                for order_book_id in first_day.index
            ],
            "listed_date": first_day.dt.strftime("%Y-%m-%d").to_numpy(),
        }
    )
    return instruments, prices


def import_sp500(dest, *, overwrite: bool = False) -> Path:
    """Write the sample as a bundle at ``dest``; return its path."""
    instruments, prices = sp500_tables()
    return import_bundle(
        dest, instruments=instruments, prices=prices, calendar=CALENDAR, overwrite=overwrite
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dest", help="directory of the new bundle")
    parser.add_argument("--overwrite", action="store_true", help="replace an existing bundle")
    args = parser.parse_args()
    print(f"bundle written to {import_sp500(args.dest, overwrite=args.overwrite)}")


if __name__ == "__main__":
    main()
