"""The market-data client on the demo market, warm: the four calls the optimiser makes.

Builds the demo market first if it is not cached yet.  Opening is timed in a
fresh process, as a user's first call would meet it.

    python benchmarks/bench_client_demo.py
"""

import subprocess
import sys
import timeit

import numpy as np

import quotaris
from quotaris.demo import demo_bundle_path

_OPEN = """
import sys, time
from quotaris.bundle import BundleSource
started = time.perf_counter()
BundleSource(sys.argv[1])
print((time.perf_counter() - started) * 1e3)
"""


def best_ms(call, number=200):
    return min(timeit.repeat(call, number=number, repeat=5)) / number * 1e3


def main():
    path = demo_bundle_path()
    quotaris.init(path)
    opens = sorted(
        float(
            subprocess.run(
                [sys.executable, "-c", _OPEN, str(path)], capture_output=True, text=True, check=True
            ).stdout
        )
        for _ in range(5)
    )
    day = quotaris.to_date("2025-06-30")
    ids = list(quotaris.index_weights("000906.XSHG", day).index)
    rng = np.random.default_rng(3)
    pool = list(rng.choice(ids, 300, replace=False))
    start = quotaris.trading_date_offset(day, -251)
    timings = [
        ("open a bundle (fresh process, median)", opens[2], 300.0),
        (
            "get_price_change_rate 300 ids x 252 days",
            best_ms(lambda: quotaris.get_price_change_rate(pool, start, day)),
            2.0,
        ),
        ("instruments 800 ids", best_ms(lambda: quotaris.instruments(ids)), 1.0),
        (
            "index_weights 000300.XSHG",
            best_ms(lambda: quotaris.index_weights("000300.XSHG", day)),
            1.0,
        ),
        (
            "trading_date_offset(date, -252)",
            best_ms(lambda: quotaris.trading_date_offset(day, -252), 2000),
            0.020,
        ),
    ]
    print(f"{'call':44}{'measured':>12}{'target':>10}{'ratio':>8}")
    for label, measured, target in timings:
        print(f"{label:44}{measured:>9.3f} ms{target:>8.3f} ms{measured / target:>8.2f}")


if __name__ == "__main__":
    main()
