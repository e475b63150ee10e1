"""Timings and quality of turning optimised weights into whole-lot orders.

The CSI 300 minimum-tracking-error mandate on the demo market (bounds 0-5 %, on
2025-06-30) is turned into orders from cash for capitals of 1e6, 1e7 and 1e8
yuan, without costs and with the default A-share costs.  For each it prints the
ex-ante tracking error of the chosen rounding to the target weights, that of
rounding every stock to its nearest lot, the residual cash and the time the
orders took (the risk model's forecast included).  The demo market needs
closes.

    PYTHONPATH=src python benchmarks/bench_orders.py
"""

from __future__ import annotations

import sys
import time
import warnings

import plovera
import quotaris
from plovera import AShareCosts, to_orders
from quotaris.demo import demo_bundle_path

DAY = "2025-06-30"
INDEX = "000300.XSHG"
CAPITALS = (1e6, 1e7, 1e8)


def main() -> int:
    quotaris.init(demo_bundle_path())
    try:
        quotaris.get_close([INDEX], DAY, DAY)
    except quotaris.MissingData:
        print("the demo market has no closes: build a demo version that carries them")
        return 1
    pool = list(quotaris.index_weights(INDEX, DAY).index)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", plovera.OptimizerWarning)
        weights = plovera.portfolio_optimize(
            pool, DAY, plovera.MinTrackingError(), {"*": (0.0, 0.05)}, benchmark=INDEX
        )
    held = int((weights > 1e-6).sum())
    print(f"CSI 300 minimum tracking error on {DAY}: {held} stocks weighted")
    to_orders(weights, CAPITALS[0], DAY)  # the risk model's forecast, once
    header = (
        f"{'capital':>12} {'costs':>8} {'orders':>6} {'TE chosen':>10} {'TE nearest':>10} "
        f"{'cash':>14} {'nearest cash':>14} {'seconds':>8}"
    )
    print(header)
    for costs in (None, AShareCosts()):
        for capital in CAPITALS:
            start = time.perf_counter()
            orders = to_orders(weights, capital, DAY, cost_model=costs)
            seconds = time.perf_counter() - start
            traded = int((orders.table["buy"] > 0).sum())
            print(
                f"{capital:>12,.0f} {'A-share' if costs else 'none':>8} {traded:>6} "
                f"{orders.tracking_error:>10.4%} {orders.nearest_tracking_error:>10.4%} "
                f"{orders.cash:>14,.2f} {orders.nearest_cash:>14,.2f} {seconds:>8.2f}"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
