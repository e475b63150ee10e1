"""Time portfolio_optimize and split it into our own time and cvxpy/SCS time.

Our own time (argument handling, pool cleaning, bounds, problem assembly) is
measured by running the same call with cvxpy replaced by a stand-in whose
operations cost next to nothing; cvxpy/SCS time is the rest of the real call.
The stand-in's own Python overhead counts as ours, so our share is an upper
bound.  The helper is a fake with a fixed positive-definite covariance matrix,
so data access is not part of either figure.

    python benchmarks/bench_optimize.py [--sizes 50 300 1000] [--repeat 5]
"""

import argparse
import datetime
import statistics
import time
import types
import warnings

import cvxpy as cp
import numpy as np

import plovera.objective
import plovera.optimize as po
from quotaris.source import Instrument

DATE = datetime.date(2024, 6, 28)


class NullExpression:
    """Absorbs every cvxpy operation the entry and the objectives apply."""

    value = None

    def __init__(self, *args, **kwargs):
        self.shape = args[0] if args and isinstance(args[0], int) else ()

    def _same(self, *args, **kwargs):
        return self

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _same
    __matmul__ = __rmatmul__ = __neg__ = __pow__ = __truediv__ = _same
    __eq__ = __ge__ = __le__ = _same
    __hash__ = object.__hash__


class NullProblem:
    status = "optimal"

    def __init__(self, objective, constraints=()):
        self.objective = objective

    def solve(self, solver, max_iters):
        return 0.0


def null_cvxpy(pool_size):
    class NullVariable(NullExpression):
        def __init__(self, *args, **kwargs):
            super().__init__(*args)
            self.value = np.full(pool_size, 1.0 / pool_size) if args else 1.0

    null = types.SimpleNamespace(**{k: getattr(cp, k) for k in dir(cp) if not k.startswith("_")})
    null.Variable = NullVariable
    null.sum = null.quad_form = null.log = null.hstack = NullExpression
    null.Minimize = NullExpression
    null.Problem = NullProblem
    return null


def make_market(n, seed=1):
    rng = np.random.default_rng(seed)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(n)]
    records = {i: Instrument(i, i[:6], "CS", "XSHG", "2010-01-04") for i in ids}
    factors = rng.normal(size=(n, 10)) * 0.1
    cov = factors @ factors.T + np.diag(rng.uniform(0.02, 0.09, n))

    def instruments(order_book_ids):
        return [records[i] for i in order_book_ids if i in records]

    class Helper:
        def __init__(self, order_book_ids, date, benchmark, cov_model):
            self.order_book_ids = order_book_ids

        def get_cov_matrix(self):
            return cov

    return ids, types.SimpleNamespace(instruments=instruments), Helper


def best_of(repeat, call):
    timings = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        timings.append(time.perf_counter() - start)
    return min(timings), statistics.median(timings)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 300, 1000])
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    warnings.simplefilter("ignore")

    print(f"{'stocks':>7} {'total ms':>10} {'own ms':>9} {'cvxpy+SCS ms':>13} {'own share':>10}")
    for n in options.sizes:
        ids, quotaris, helper = make_market(n)
        po.quotaris, po.OptimizeHelper = quotaris, helper
        bnds = {"*": (0.0, 0.05)}

        def call(ids=ids, bnds=bnds):
            return po.portfolio_optimize(ids, DATE, bnds=bnds)

        real_cp = po.cp
        total, _ = best_of(options.repeat, call)
        po.cp = plovera.objective.cp = null_cvxpy(n)
        try:
            own, _ = best_of(options.repeat * 20, call)
        finally:
            po.cp = plovera.objective.cp = real_cp
        print(
            f"{n:>7} {total * 1e3:>10.2f} {own * 1e3:>9.3f} {(total - own) * 1e3:>13.2f} "
            f"{own / total:>10.2%}"
        )


if __name__ == "__main__":
    main()
