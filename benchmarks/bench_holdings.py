"""Holdings constraints: the heuristic against the exact solver, a continuous solve and skfolio.

1. On the demo market, the least tracking error to the CSI 300 from its
   constituents with at most 50 names, and with a 0.5% minimum position too:
   the heuristic's tracking error, bound and gap and its time against one
   continuous solve (target: at most 5 times), and the exact solver's best
   within ``--exact-seconds`` (target: the heuristic within 2% of it).
   Beside them, skfolio's cardinality-constrained mean-risk optimisation
   (``MeanRisk`` maximising ``μᵀw − λ wᵀΣw`` with ``μ = 2λΣb``, which is the
   least tracking error, on the same covariance, with SCIP) when skfolio is
   installed.  Then the heuristic alone with industries within 0.5% of the
   index's weights, for 30 to 100 names.
2. On a synthetic market of 5,500 stocks (as ``bench_full_market.py`` makes
   it), the enhancement mandate of the CSI 1000: the best information ratio
   from the whole market (every stock listed on the day) for a fixed random
   alpha, industry weights within 0.5% and style exposures within 0.05 of the
   index's, tracking error at most 5%, bounds 0-3%, at most 150 names and a
   0.3% minimum position
   (target: under 10 s), with its gap.

    python benchmarks/bench_holdings.py [--exact-seconds 60] [--skip-synthetic]
        [--date 2025-06-30] [--repeat 3] [--quick]

``--quick`` times the heuristic alone, without the exact solver and skfolio.
"""

import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

import plovera
import quotaris
from plovera.const import CovModel
from plovera.helper import OptimizeHelper
from plovera.holdings import MaxHoldings, MinPosition
from quotaris.demo import demo_bundle_path

HS300, CSI1000 = "000300.XSHG", "000852.XSHG"


def timed(run, repeat=1):
    """The result of the fastest of ``repeat`` runs and its seconds."""
    best = None
    for _ in range(repeat):
        started = time.perf_counter()
        result = run()
        seconds = time.perf_counter() - started
        if best is None or seconds < best[1]:
            best = (result, seconds)
    return best


def quietly(run):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return run()


# -- 1. the CSI 300 on the demo market -------------------------------------------------


def union_covariance(pool, day):
    """The dense covariance over the pool and the index's other constituents, and the
    index's weights over them: small enough here to hand to skfolio."""
    helper = OptimizeHelper(pool, day, plovera.IndexBenchmark(HS300), CovModel.FACTOR_MODEL_DAILY)
    model = helper.get_union_factor_model()
    x = model.exposures.to_numpy()
    sigma = x @ model.factor_covariance.to_numpy() @ x.T + np.diag(model.specific_variance)
    return sigma, helper.benchmark_weight.to_numpy(), len(pool)


def tracking_error(weights, sigma, b, n):
    active = np.concatenate([weights, np.zeros(len(b) - n)]) - b
    return float(np.sqrt(active @ sigma @ active))


def skfolio_tracking(pool, sigma, b, n, names, minimum, seconds):
    """skfolio's cardinality-constrained least tracking error: weights and seconds, or
    why there are none."""
    try:
        from skfolio.measures import RiskMeasure
        from skfolio.moments import BaseCovariance, BaseMu
        from skfolio.optimization import MeanRisk, ObjectiveFunction
        from skfolio.prior import EmpiricalPrior
    except ImportError as error:
        return None, None, f"skfolio not installed ({error})"
    pool_sigma = sigma[:n, :n]
    aversion = 1.0
    linear = 2 * aversion * (sigma[:n] @ b)

    class Given(BaseMu):
        def __init__(self):
            super().__init__()

        def fit(self, X, y=None):
            self.mu_ = linear
            return self

    class GivenCovariance(BaseCovariance):
        def __init__(self):
            super().__init__()

        def fit(self, X, y=None):
            self._set_covariance(pool_sigma)
            return self

    returns = pd.DataFrame(np.zeros((2, n)), columns=pool)
    model = MeanRisk(
        objective_function=ObjectiveFunction.MAXIMIZE_UTILITY,
        risk_measure=RiskMeasure.VARIANCE,
        risk_aversion=aversion,
        prior_estimator=EmpiricalPrior(
            mu_estimator=Given(), covariance_estimator=GivenCovariance()
        ),
        min_weights=0.0,
        cardinality=names,
        threshold_long=minimum or None,
        solver="SCIP",
        solver_params={"scip_params": {"limits/time": seconds}},
    )
    started = time.perf_counter()
    try:
        quietly(lambda: model.fit(returns))
    except Exception as error:  # what skfolio or its solver says, reported as found
        return None, time.perf_counter() - started, f"{type(error).__name__}: {error}"
    return np.asarray(model.weights_, dtype=float), time.perf_counter() - started, ""


def csi300(day, exact_seconds, repeat, quick=False):
    pool = sorted(quotaris.index_weights(HS300, day).index)
    sigma, b, n = union_covariance(pool, day)
    arguments = (pool, day, plovera.MinTrackingError())
    quietly(lambda: plovera.portfolio_optimize(*arguments, benchmark=HS300))  # first compilations
    continuous, plain = timed(
        lambda: quietly(lambda: plovera.portfolio_optimize(*arguments, benchmark=HS300)), repeat
    )
    print(
        f"\n1. least tracking error to the CSI 300 from its {len(pool)} constituents, {day}; "
        f"continuous: {plain:.2f} s, "
        f"tracking error {tracking_error(continuous.to_numpy(), sigma, b, n):.3%}"
    )
    print(
        f"{'limits':<22} {'path':<10} {'seconds':>8} {'x cont.':>8} {'TE':>8} {'TE bound':>9} "
        f"{'gap':>7} {'names':>6}  notes"
    )
    for minimum in (0.0, 0.005):
        label = "50 names" + (f", ≥{minimum:.1%}" if minimum else "")
        results = {}
        for method in ("heuristic",) if quick else ("heuristic", "exact"):
            cons = [MaxHoldings(50, method=method, time_limit=exact_seconds)]
            if minimum:
                cons.append(MinPosition(minimum))
            runs = repeat if method == "heuristic" else 1
            weights, seconds = timed(
                lambda c=cons: quietly(
                    lambda: plovera.portfolio_optimize(*arguments, cons=c, benchmark=HS300)
                ),
                runs,
            )
            report = weights.attrs["holdings"]
            results[method] = report
            te = tracking_error(weights.to_numpy(), sigma, b, n)
            notes = report.note
            if method == "exact" and report.exact_objective is not None:
                notes = f"SCIP's own best TE {np.sqrt(report.exact_objective):.3%}; " + notes
            print(
                f"{label:<22} {method:<10} {seconds:>8.2f} {seconds / plain:>7.1f}x {te:>8.3%} "
                f"{np.sqrt(max(report.bound, 0)):>9.3%} {report.gap:>7.2%} "
                f"{report.holdings:>6}  {notes}",
                flush=True,
            )
        if quick:
            continue
        heuristic, exact = results["heuristic"], results["exact"]
        if exact.exact_objective is not None:
            versus = heuristic.objective / exact.exact_objective - 1
            print(
                f"{'':<22} heuristic vs the exact solver's best in {exact_seconds:g} s: "
                f"{versus:+.2%} in variance ({np.sqrt(1 + versus) - 1:+.2%} in tracking error)"
            )
        sk, seconds, why = skfolio_tracking(pool, sigma, b, n, 50, minimum, exact_seconds)
        if sk is None:
            shown = "-" if seconds is None else f"{seconds:.2f}"
            print(f"{label:<22} {'skfolio':<10} {shown:>8}  {why}", flush=True)
        else:
            print(
                f"{label:<22} {'skfolio':<10} {seconds:>8.2f} {seconds / plain:>7.1f}x "
                f"{tracking_error(sk, sigma, b, n):>8.3%} {'':>9} {'':>7} "
                f"{int((sk > 1e-6).sum()):>6}  SCIP within {exact_seconds:g} s",
                flush=True,
            )


def csi300_industries(day, repeat):
    """The same with industries within 0.5% of the index's: the heuristic alone."""
    pool = sorted(quotaris.index_weights(HS300, day).index)
    neutral = plovera.WildcardIndustryConstraint(
        lower_limit=-0.005, upper_limit=0.005, relative=True
    )
    print(f"\n   the same, industries within 0.5% of the index's, {day}")
    print(f"{'limits':<22} {'seconds':>8} {'TE':>8} {'TE bound':>9} {'gap':>7} {'names':>6}")
    for names, minimum in ((30, 0.0), (50, 0.0), (50, 0.005), (100, 0.0)):
        cons = [neutral, MaxHoldings(names)] + ([MinPosition(minimum)] if minimum else [])
        weights, seconds = timed(
            lambda c=cons: quietly(
                lambda: plovera.portfolio_optimize(
                    pool, day, plovera.MinTrackingError(), cons=c, benchmark=HS300
                )
            ),
            repeat,
        )
        report = weights.attrs["holdings"]
        label = f"{names} names" + (f", ≥{minimum:.1%}" if minimum else "")
        print(
            f"{label:<22} {seconds:>8.2f} {np.sqrt(report.objective):>8.3%} "
            f"{np.sqrt(report.bound):>9.3%} {report.gap:>7.2%} {report.holdings:>6}",
            flush=True,
        )


# -- 2. the CSI 1000 mandate on the synthetic market ------------------------------------


def csi1000(day, repeat):
    sys.path.insert(0, str(Path(__file__).parent))
    import bench_full_market as full  # the synthetic market's bundle and alpha

    from plovera.jobs import make_constraints

    quotaris.init(full.synthetic_bundle(5500))
    day = quotaris.to_date(day)
    plovera.riskmodel.risk_model(progress=False)
    pool = full.listed_stocks(day)  # the whole market: the 150 names come from anywhere
    alpha = full.market_alpha()
    cons = make_constraints(industry_neutral=0.005, style_neutral=0.05)
    cons.append(plovera.TrackingErrorLimit(0.05))
    arguments = (pool, day, plovera.MaxInformationRatio(expected_active_returns=alpha))
    keywords = {"bnds": {"*": (0.0, 0.03)}, "benchmark": CSI1000}
    quietly(lambda: plovera.portfolio_optimize(*arguments, cons=cons, **keywords))
    continuous, plain = timed(
        lambda: quietly(lambda: plovera.portfolio_optimize(*arguments, cons=cons, **keywords)),
        repeat,
    )
    holdings = [MaxHoldings(150, time_limit=10.0), MinPosition(0.003)]
    weights, seconds = timed(
        lambda: quietly(
            lambda: plovera.portfolio_optimize(*arguments, cons=cons + holdings, **keywords)
        ),
        repeat,
    )
    report = weights.attrs["holdings"]
    print(
        f"\n2. CSI 1000 enhancement mandate from the whole market, the {len(pool)} stocks "
        f"listed on {day}: at most 150 names, ≥0.3%, industries ±0.5%, styles ±0.05, "
        "TE ≤ 5%, 0-3%"
    )
    print(f"  continuous: {plain:.2f} s, {int((continuous > 1e-6).sum())} names")
    print(
        f"  holdings: {seconds:.2f} s ({seconds / plain:.1f}x), {report.method}, "
        f"{report.holdings} names, smallest {weights[weights > 0].min():.3%}; information "
        f"ratio {1 / np.sqrt(report.objective):.2f}, bound {1 / np.sqrt(report.bound):.2f} "
        f"(gap {report.gap:.2%} in 1/IR², the ratio objective's homogenised value); "
        f"{report.solves} solves"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--date", default="2025-06-30")
    parser.add_argument("--exact-seconds", type=float, default=60.0)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each timing, best kept")
    parser.add_argument("--skip-synthetic", action="store_true")
    parser.add_argument(
        "--quick", action="store_true", help="the heuristic alone: no exact solver, no skfolio"
    )
    args = parser.parse_args()
    quotaris.init(demo_bundle_path(progress=False))
    csi300(quotaris.to_date(args.date), args.exact_seconds, args.repeat, args.quick)
    csi300_industries(quotaris.to_date(args.date), args.repeat)
    if not args.skip_synthetic:
        csi1000(args.date, args.repeat)


if __name__ == "__main__":
    main()
