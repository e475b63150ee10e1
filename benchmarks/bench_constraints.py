"""An index-enhancement optimisation's time, split into helper, assembly and solve.

Minimum tracking error against the CSI 300 on its 300 constituents and
against the CSI 800 on its 800, industry- and style-neutral (wildcard, relative
±1% and ±0.1), a 3% tracking-error limit and a 30% turnover limit against the
index's own weights shifted towards its first constituents.  The helper's share
is the time spent in its members, the solve's what portfolio_optimize logs
(cvxpy's compilation included: it runs inside the solve call); assembly is
the rest: pool cleaning, the objective's and the constraints' expressions,
and of these the constraints' own share is shown apart.

Then the tracking-error cone alone: the factor form (K + m rows) beside the
dense Cholesky factor of the m × m union covariance, each built and solved
with the same objective.

Target: our own assembly under 5% of the total.  Figures on the 2-core
development machine, warm (second call):

    000300.XSHG: total ≈ 135 ms = helper 18 + assembly 10 (constraints 5.5) + solve 105
    000906.XSHG: total ≈ 650 ms = helper 21 + assembly 26 (constraints 6) + solve 600
    cone alone, factor vs dense form: 42 vs 136 ms (300), 136 vs 1,922 ms (800)

    python benchmarks/bench_constraints.py
"""

import datetime
import gc
import logging
import re
import time

import cvxpy as cp
import numpy as np

import plovera
import plovera.optimize
import quotaris
from plovera.benchmark import IndexBenchmark
from plovera.const import CovModel
from plovera.helper import OptimizeHelper
from quotaris.demo import demo_bundle_path

DATE = datetime.date(2024, 6, 28)


class Timed(OptimizeHelper):
    """The helper, with the time spent in its members counted."""

    spent = 0.0

    def __getattribute__(self, name):
        value = super().__getattribute__(name)
        if name.startswith("get_") and callable(value):

            def timed(*args, **kwargs):
                started = time.perf_counter()
                try:
                    return value(*args, **kwargs)
                finally:
                    Timed.spent += time.perf_counter() - started

            return timed
        return value

    def __init__(self, *args):
        started = time.perf_counter()
        super().__init__(*args)
        # The benchmark's weights are read on first use of these.
        self.union_components, self.benchmark_weight  # noqa: B018
        Timed.spent += time.perf_counter() - started


class TimedConstraint:
    """A constraint whose to_constraints is timed, less the helper's time inside it."""

    spent = 0.0

    def __init__(self, constraint):
        self.constraint, self.hard = constraint, constraint.hard

    def to_constraints(self, g, zeta, helper):
        started, in_helper = time.perf_counter(), Timed.spent
        made = self.constraint.to_constraints(g, zeta, helper)
        TimedConstraint.spent += time.perf_counter() - started - (Timed.spent - in_helper)
        return made


class SolveTimes(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.seconds = []

    def emit(self, record):
        found = re.match(r"solve time: ", record.msg)
        if found:
            self.seconds.append(record.args[0])


def constraints(index):
    weights = quotaris.index_weights(index, DATE)
    holding = weights / weights.sum()
    holding.iloc[:20] += 0.01
    return [
        plovera.WildcardIndustryConstraint(lower_limit=-0.01, upper_limit=0.01, relative=True),
        plovera.WildcardStyleConstraint(lower_limit=-0.1, upper_limit=0.1, relative=True),
        plovera.TrackingErrorLimit(0.03),
        plovera.TurnoverLimit(holding / holding.sum(), 0.3),
    ]


def split(index):
    pool = sorted(quotaris.index_weights(index, DATE).index)
    cons = [TimedConstraint(c) for c in constraints(index)]
    handler = SolveTimes()
    logging.getLogger().addHandler(handler)
    logging.getLogger().setLevel(logging.INFO)
    plovera.optimize.OptimizeHelper = Timed
    try:
        Timed.spent = TimedConstraint.spent = 0.0
        gc.collect()  # the previous call's problem, not this one's work
        started = time.perf_counter()
        plovera.portfolio_optimize(
            pool, DATE, plovera.MinTrackingError(), cons=cons, benchmark=index
        )
        total = time.perf_counter() - started
    finally:
        plovera.optimize.OptimizeHelper = OptimizeHelper
        logging.getLogger().removeHandler(handler)
    solve = sum(handler.seconds)
    assembly = total - solve - Timed.spent
    print(
        f"{index} ({len(pool)} stocks): total {total * 1e3:7.0f} ms = helper "
        f"{Timed.spent * 1e3:6.0f} ms + assembly {assembly * 1e3:5.0f} ms "
        f"({assembly / total:5.1%}; constraints {TimedConstraint.spent * 1e3:4.1f} ms) "
        f"+ solve {solve * 1e3:7.0f} ms"
    )


def cone_forms(index):
    pool = sorted(quotaris.index_weights(index, DATE).index)
    helper = OptimizeHelper(pool, DATE, IndexBenchmark(index), CovModel.FACTOR_MODEL_DAILY)
    cov = helper.get_union_cov_matrix()
    helper.get_union_factor_model()
    n, m = len(pool), len(helper.union_components)
    bench = helper.benchmark_weight.to_numpy()
    for name in ("factor form", "dense Cholesky"):
        started = time.perf_counter()
        g = cp.Variable(n, nonneg=True)
        active = (cp.hstack([g, np.zeros(m - n)]) if m > n else g) - bench
        if name == "factor form":
            (cone,) = plovera.TrackingErrorLimit(0.03).to_constraints(g, 1.0, helper)
        else:
            cone = cp.norm(np.linalg.cholesky(cov).T @ active, 2) <= 0.03
        # Most active weight on the first constituents, within the cone.
        problem = cp.Problem(cp.Maximize(cp.sum(g[: n // 10])), [cp.sum(g) == 1, cone])
        built = time.perf_counter() - started
        problem.solve(solver=cp.SCS, max_iters=10000)
        solved = time.perf_counter() - started - built
        print(
            f"  {name:15s} ({m} union): build {built * 1e3:6.1f} ms, "
            f"compile + solve {solved * 1e3:7.0f} ms, status {problem.status}"
        )


def main():
    quotaris.init(demo_bundle_path(progress=False))
    for index in ("000300.XSHG", "000906.XSHG"):
        split(index)  # the first call also loads the risk model and forecasts the date
        split(index)
        cone_forms(index)


if __name__ == "__main__":
    main()
