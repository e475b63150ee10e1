"""Time the objectives at 300 stocks: building their expressions and constraints
(our part of every optimisation) against cvxpy's problem construction plus the
SCS solve.

    python benchmarks/bench_objectives.py [--stocks 300] [--repeats 20] [--solves 3]
"""

import argparse
import statistics
import time

import cvxpy as cp
import numpy as np
import pandas as pd

import plovera.objective as obj
from plovera.const import STYLE_FACTORS


class Helper:
    """Fixed data for a pool of n stocks and a benchmark with 100 further components."""

    def __init__(self, n, extra=100, seed=7):
        rng = np.random.default_rng(seed)
        m = n + extra
        self.order_book_ids = [f"{i:06d}.XSHE" for i in range(n)]
        self.union_components = self.order_book_ids + [f"{i:06d}.XSHG" for i in range(extra)]
        self.date = "2024-06-03"
        self.prev_trading_date = "2024-05-31"
        self.benchmark = object()
        bw = np.where(rng.random(m) < 0.5, rng.random(m), 0.0)
        self.benchmark_weight = pd.Series(bw / bw.sum(), index=self.union_components)
        loadings = rng.normal(0.0, 0.1, (m, 12))
        self._union_cov = loadings @ loadings.T + np.diag(rng.uniform(0.01, 0.09, m))
        self._cov = self._union_cov[:n, :n].copy()
        self._exposure = pd.DataFrame(
            rng.normal(size=(n, len(STYLE_FACTORS))),
            index=self.order_book_ids,
            columns=list(STYLE_FACTORS),
        )
        self._benchmark_style = pd.Series(rng.normal(0.0, 0.3, len(STYLE_FACTORS)), STYLE_FACTORS)
        self.expected = pd.Series(rng.normal(0.08, 0.1, n), index=self.order_book_ids)

    def get_cov_matrix(self):
        return self._cov

    def get_union_cov_matrix(self):
        return self._union_cov

    def get_factor_exposure(self):
        return self._exposure

    def get_benchmark_style(self):
        return self._benchmark_style


def objectives(helper):
    styles = dict.fromkeys(STYLE_FACTORS[:5], 0.2)
    return [
        obj.MinVariance(),
        obj.MeanVariance(helper.expected, risk_aversion_coefficient=2),
        obj.RiskParity(),
        obj.MinTrackingError(),
        obj.MaxInformationRatio(helper.expected - 0.05),
        obj.MaxSharpeRatio(helper.expected),
        obj.MaxIndicator(helper.expected.rank()),
        obj.MinStyleDeviation(styles, relative=True, priority={STYLE_FACTORS[0]: 9}),
    ]


def variables(objective, n):
    """g and zeta as the entry creates them for this objective."""
    if isinstance(objective, obj.MaxInformationRatio | obj.MaxSharpeRatio):
        return cp.Variable(n, nonneg=True), cp.Variable(nonneg=True)
    if isinstance(objective, obj.RiskParity):
        return cp.Variable(n, nonneg=True), n
    return cp.Variable(n, nonneg=True), 1.0


def build(objective, helper):
    g, zeta = variables(objective, len(helper.order_book_ids))
    start = time.perf_counter()
    internal = objective.get_internal_constraints(g, zeta, helper)
    expr = objective.get_objective_expr(g, zeta, helper)
    solver = objective.get_preferred_solver()
    return time.perf_counter() - start, g, zeta, internal, expr, solver


def solve(objective, helper):
    _, g, zeta, internal, expr, solver = build(objective, helper)
    start = time.perf_counter()
    if isinstance(objective, obj.RiskParity):  # the entry's unconstrained case
        problem = cp.Problem(cp.Minimize(expr))
    else:
        problem = cp.Problem(cp.Minimize(expr), [cp.sum(g) - zeta == 0, *internal])
    problem.solve(solver=solver, max_iters=10000)
    return time.perf_counter() - start, problem.status


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--solves", type=int, default=3)
    args = parser.parse_args()

    helper = Helper(args.stocks)
    print(f"{args.stocks} stocks; build: median of {args.repeats}, solve: median of {args.solves}")
    print(f"{'objective':<20} {'build ms':>10} {'solve ms':>10} {'build share':>12}  status")
    for objective in objectives(helper):
        build(objective, helper)  # warm-up: imports and caches inside cvxpy
        built = statistics.median(build(objective, helper)[0] for _ in range(args.repeats))
        runs = [solve(objective, helper) for _ in range(args.solves)]
        solved = statistics.median(t for t, _ in runs)
        share = built / (built + solved)
        name = type(objective).__name__
        print(
            f"{name:<20} {built * 1e3:>10.2f} {solved * 1e3:>10.1f} {share:>11.1%}  {runs[-1][1]}"
        )


if __name__ == "__main__":
    main()
