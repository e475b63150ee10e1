"""How long the demo market takes to build, store and reuse.

Times building the demo market's tables, then goes through the cached path a
user takes (the first use builds and stores the bundle, later uses reopen
it) in a temporary cache directory, and prints the figures.

    PYTHONPATH=src python benchmarks/bench_demo.py
"""

from __future__ import annotations

import os
import resource
import tempfile
import time
from pathlib import Path

from quotaris import demo


def _timed(action):
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def _size(path: Path) -> int:
    return sum(entry.stat().st_size for entry in path.rglob("*") if entry.is_file())


def main() -> None:
    tables, build = _timed(demo.build_demo_tables)
    stocks = int((tables.instruments["type"] == "CS").sum())
    print(
        f"market: {stocks} stocks, {len(tables.trading_dates)} trading days, "
        f"{len(tables.index_weights):,} index weight rows"
    )
    print(f"build_demo_tables:        {build:6.1f} s")
    with tempfile.TemporaryDirectory() as cache:
        os.environ["PLOVERA_CACHE_DIR"] = cache
        path, first_use = _timed(lambda: demo.demo_bundle_path(progress=False))
        _, reuse = _timed(lambda: demo.demo_bundle_path(progress=False))
        print(f"demo_bundle_path, first:  {first_use:6.1f} s  (build and write; target 90 s)")
        print(f"  of which writing:       {first_use - build:6.1f} s  (about)")
        print(f"demo_bundle_path, reuse:  {reuse:6.1f} s  (opens and verifies the bundle)")
        print(f"bundle size:              {_size(path) / 2**20:6.0f} MiB")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**10
    print(f"peak memory:              {peak:6.0f} MiB")


if __name__ == "__main__":
    main()
