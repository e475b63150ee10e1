"""A diagnosis's time beside one solve of the same problem.

Minimum variance on the CSI 300's 300 constituents with ten constraint
groups besides the budget and the bounds: a bank floor and a bank cap, a
relative bank floor, a tracking-error limit, two more industry caps, two
style bands, a component-weight floor and a turnover limit. Each scenario
makes some of them conflict. One solve is what portfolio_optimize logs for
its (first, failing) solve, cvxpy's compilation included; the diagnosis is
timed whole, warm (second call).

Target: a diagnosis at most 12 times one solve. Figures on the 2-core
development machine:

    floor against cap:         solve ≈ 0.49 s, diagnosis ≈ 1.35 s (7 solves), ratio ≈ 2.8
    tilt against TE limit:     solve ≈ 0.56 s, diagnosis ≈ 1.3 s (7 solves), ratio ≈ 2.4
    bounds too short:          refused before solving; diagnosis ≈ 1.4 s (7 solves)
    all hold (soft conflict):  solve ≈ 0.55 s, diagnosis ≈ 1.0 s (8 solves), ratio ≈ 1.9

    python benchmarks/bench_diagnose.py
"""

import datetime
import logging
import re
import time
import warnings

import pandas as pd

import quotaris
from plovera import (
    BenchmarkComponentWeightLimit,
    IndustryConstraint,
    MinVariance,
    OptimizationFailed,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
    diagnose,
    portfolio_optimize,
)
from quotaris.demo import demo_bundle_path

DATE = datetime.date(2023, 3, 15)
INDEX = "000300.XSHG"


class SolveTimes(logging.Handler):
    """The solve times portfolio_optimize logs."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.seconds: list[float] = []

    def emit(self, record: logging.LogRecord) -> None:
        found = re.match(r"solve time: ([0-9.]+)", record.getMessage())
        if found:
            self.seconds.append(float(found.group(1)))


def groups(pool, floor=0.3, cap=0.1, tilt=-0.2, te=0.08, hard_floor=True):
    holding = pd.Series(1.0 / len(pool), index=pool)
    return [
        IndustryConstraint("银行", lower_limit=floor, hard=hard_floor),
        IndustryConstraint("银行", upper_limit=cap),
        IndustryConstraint("银行", lower_limit=tilt, relative=True),
        TrackingErrorLimit(te),
        IndustryConstraint("医药生物", upper_limit=0.6),
        IndustryConstraint("电子", upper_limit=0.6),
        StyleConstraint("size", lower_limit=-5.0, upper_limit=5.0),
        StyleConstraint("beta", lower_limit=-5.0, upper_limit=5.0),
        BenchmarkComponentWeightLimit(0.5),
        TurnoverLimit(holding, 1.0),
    ]


def main() -> None:
    quotaris.init(demo_bundle_path(progress=False))
    pool = sorted(quotaris.index_weights(INDEX, DATE).index)
    scenarios = {
        "floor against cap": dict(cons=groups(pool)),
        "tilt against TE limit": dict(cons=groups(pool, floor=0.0, cap=1.0, tilt=0.2, te=0.01)),
        "bounds too short": dict(bnds={"*": (0.0, 0.002)}, cons=groups(pool, 0.0, 1.0)),
        "all hold (soft conflict)": dict(cons=groups(pool, hard_floor=False)),
    }
    times = SolveTimes()
    logging.getLogger().addHandler(times)
    logging.getLogger().setLevel(logging.INFO)
    warnings.simplefilter("ignore")
    for name, arguments in scenarios.items():
        for _ in range(2):  # the second call is warm
            times.seconds.clear()
            try:
                portfolio_optimize(pool, DATE, MinVariance(), benchmark=INDEX, **arguments)
            except OptimizationFailed:
                pass
            except Exception as refused:  # the bounds are refused before solving
                solve = f"(refused: {refused})"
            start = time.perf_counter()
            found = diagnose(pool, DATE, MinVariance(), benchmark=INDEX, **arguments)
            seconds = time.perf_counter() - start
        if times.seconds:
            one = times.seconds[0]
            solve = f"solve {one:.2f} s, ratio {seconds / one:.1f}"
        print(f"{name:26s} {solve}; diagnosis {seconds:.2f} s ({found.solves} solves)")
        print("   " + str(found).replace("\n", "\n   "))


if __name__ == "__main__":
    main()
