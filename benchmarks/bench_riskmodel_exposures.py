"""Style exposures of the whole demo market: load, one date, every monthly refresh.

Also checks that the exposures recover the ones the demo market generated its
returns from (its stored style_exposure table): the cross-sectional
correlation per style, over the refresh dates from 2017 on (before, the
five-year growth trend and the two-year momentum lack history).

    python benchmarks/bench_riskmodel_exposures.py
"""

import time

import numpy as np
import pandas as pd

import quotaris
from plovera.const import STYLE_FACTORS
from plovera.riskmodel.exposures import ExposureEngine, refresh_days
from plovera.riskmodel.panel import MarketPanel
from quotaris.demo import demo_bundle_path


def main():
    quotaris.init(demo_bundle_path())
    started = time.perf_counter()
    panel = MarketPanel.load()
    loaded = time.perf_counter() - started
    print(f"panel load       {loaded:6.2f} s  ({panel.n_days} days x {panel.n_stocks} stocks)")

    days = refresh_days(panel)
    engine = ExposureEngine(panel)
    engine.exposures(int(days[-1]))  # the shared market return, computed once
    one = []
    for day in days[-5:]:
        started = time.perf_counter()
        engine.exposures(int(day))
        one.append(time.perf_counter() - started)
    print(
        f"one date         {1e3 * min(one):6.1f} ms (best of 5; median {1e3 * np.median(one):.1f})"
    )

    started = time.perf_counter()
    fresh = ExposureEngine(panel)  # the market return included
    history = [fresh.exposures(int(day)) for day in days]
    every = time.perf_counter() - started
    print(
        f"every refresh    {every:6.2f} s  ({len(days)} monthly dates "
        f"{panel.dates[days[0]].date()} to {panel.dates[days[-1]].date()})"
    )

    rows = {}
    for exposures in history:
        truth = quotaris.get_style_exposure(list(exposures.order_book_ids), exposures.date)
        rows[exposures.date] = {
            style: np.corrcoef(exposures.exposures[style], truth[style])[0, 1]
            if style not in exposures.unavailable
            else np.nan
            for style in STYLE_FACTORS
        }
    table = pd.DataFrame.from_dict(rows, orient="index")
    later = table[table.index >= "2017-01-01"]
    print("\ncorrelation with the demo's stored exposures, per refresh date")
    print(f"{'style':20s} {'mean':>6s} {'min':>6s} {'max':>6s}  (2017 on; from 2015: mean)")
    for style in STYLE_FACTORS:
        column = later[style]
        print(
            f"{style:20s} {column.mean():6.3f} {column.min():6.3f} {column.max():6.3f}"
            f"  ({table[style].mean():.3f} over {table[style].notna().sum()} dates)"
        )


if __name__ == "__main__":
    main()
