"""Time the positive-semidefinite check of the objectives' quadratic forms: a
minimum-variance problem built and solved with the check (the objective's
expression, the matrix handed to cvxpy as certified) and without it (a plain
cp.quad_form, certified by cvxpy's own iterative test), at 300 and 1,000 names.

    python benchmarks/bench_psd_check.py [--stocks 300 1000] [--solves 3]
"""

import argparse
import statistics
import time

import cvxpy as cp
from bench_objectives import Helper
from scipy.sparse.linalg import ArpackNoConvergence

import plovera.objective as obj


def solve(helper, checked):
    """Seconds to build the expression, and to build and solve the problem."""
    g = cp.Variable(len(helper.order_book_ids), nonneg=True)
    start = time.perf_counter()
    if checked:
        expr = obj.MinVariance().get_objective_expr(g, 1.0, helper)
    else:
        expr = cp.quad_form(g, helper.get_cov_matrix())
    # Scaling asks cvxpy for the curvature, which sets off its PSD test.
    problem = cp.Problem(cp.Minimize(expr * 2.0), [cp.sum(g) == 1])
    problem.is_dcp()
    built = time.perf_counter() - start
    problem.solve(solver=cp.SCS, max_iters=10000)
    return built, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, nargs="+", default=[300, 1000])
    parser.add_argument("--solves", type=int, default=3)
    args = parser.parse_args()

    print(f"median of {args.solves} runs; build = expression and curvature, total = with the solve")
    print(f"{'stocks':>6}  {'check':<8} {'build ms':>10} {'total s':>9}")
    for n in args.stocks:
        helper = Helper(n)
        for checked in (True, False):
            label = "ours" if checked else "cvxpy's"
            try:
                runs = [solve(helper, checked) for _ in range(args.solves)]
            except ArpackNoConvergence:
                print(f"{n:>6}  {label:<8} {'ArpackNoConvergence':>20}")
                continue
            built = statistics.median(b for b, _ in runs)
            total = statistics.median(t for _, t in runs)
            print(f"{n:>6}  {label:<8} {built * 1e3:>10.1f} {total:>9.2f}")


if __name__ == "__main__":
    main()
