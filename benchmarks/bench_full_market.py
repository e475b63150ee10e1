"""Whole-market optimisation on a synthetic 5,500-stock market, against bare cvxpy programs.

The market is the demo market's simulation with 5,500 stocks (default seed,
2016-01-04 to 2025-12-31).  It is cached as a bundle in the plovera cache and
its risk model in the model store beside it, so a rerun neither simulates nor
builds again.  The risk model is in memory, and the date's forecast made,
before anything is timed.

1. On one date, for pools of 300, 1,000, 2,000 names and the whole market (all
   listed common stocks), three contenders:
   minimum variance, bounds 0-5%, the pool the largest stocks by total market
   cap on the day before;
   minimum tracking error against CSI 1000 (the synthetic market's index with
   the most constituents), bounds 0-5%;
   the enhancement mandate: the best information ratio against CSI 300 for a
   fixed random alpha (normal, 5% spread), industry- and style-neutral to the
   benchmark, tracking error ≤ 5%, bounds 0-3% (tight limits, ±0.5% industry
   and ±0.05 style, where exact neutrality has no solution).
   The benchmark contenders' pools are the benchmark's constituents, heaviest
   first, then the largest other stocks.  Each is timed through
   ``portfolio_optimize`` (the whole call, its helper's forecast included),
   through today's dense path (a helper without the factor form, up to
   ``--dense-max`` names) and as the same problem written as a bare cvxpy
   program in factor form, built and solved by Clarabel and by SCS with the
   factor model in hand (its fetch is printed apart).
2. The peak memory of one whole-market call (minimum variance, the mandate)
   above the process's own, in a forked child.
3. A monthly whole-market backtest of the mandate (fixed alpha) 2019 to 2025,
   serial, its time per rebalance split into the optimisation (and the
   problem's preparation within it), the risk model's forecasts and everything
   else.  It keeps the tight limits: held stocks without a quote keep their
   weight, and with exact neutrality that has no solution on some dates.

Targets: ``portfolio_optimize`` ≤ 1.5× the faster bare program; at 300 names
the factor path not slower than the dense one; < 300 MB above the process for
a whole-market call.

    python benchmarks/bench_full_market.py [--sizes 300 1000 2000 all] [--dense-max 2000]
        [--repeat 3] [--skip-memory] [--skip-backtest] [--backtest-start 2019-01-01]
        [--backtest-end 2025-12-31] [--exact-backtest] [--stocks 5500] [--date 2025-06-30]
"""

import argparse
import contextlib
import functools
import os
import resource
import time
import traceback
import warnings
from dataclasses import dataclass

import cvxpy as cp
import numpy as np
import pandas as pd

import plovera
import plovera.optimize
import plovera.prepared
import quotaris
from plovera.backtest import Strategy, run_backtest
from plovera.const import STYLE_FACTORS, CovModel
from plovera.helper import OptimizeHelper
from plovera.jobs import make_constraints
from plovera.riskmodel import RiskModel, risk_model
from plovera.riskmodel.store import stored_model_path
from quotaris.bundle import BundleSource, write_bundle
from quotaris.demo import DEMO_SEED, DEMO_VERSION, build_demo_tables
from quotaris.demo.cache import cache_dir
from quotaris.scratch import locked
from quotaris.source import BundleError

DAILY = CovModel.FACTOR_MODEL_DAILY
START, END = "2016-01-04", "2025-12-31"
HS300, CSI1000 = "000300.XSHG", "000852.XSHG"
ALPHA_SPREAD = 0.05
TIGHT = (0.005, 0.05)  # industry weight, style exposure
SCS_ITERATIONS = 10000  # as portfolio_optimize solves


# -- the market -------------------------------------------------------------------


def synthetic_bundle(n_stocks):
    """The bundle of the synthetic market, simulated and written on first use only."""
    cache = cache_dir()
    path = cache / f"synthetic-{n_stocks}-{DEMO_SEED}-{START}-{END}-v{DEMO_VERSION}"
    if _is_bundle(path):
        print(f"synthetic market of {n_stocks} stocks: the bundle at {path}")
        return path
    cache.mkdir(parents=True, exist_ok=True)
    with locked(cache / f"{path.name}.lock"):
        if not _is_bundle(path):  # unless a concurrent run wrote it while we waited
            started = time.perf_counter()
            tables = build_demo_tables(start=START, end=END, n_stocks=n_stocks)
            simulated = time.perf_counter() - started
            write_bundle(path, tables, overwrite=True)
            print(
                f"synthetic market of {n_stocks} stocks simulated in {simulated:.0f} s, "
                f"written in {time.perf_counter() - started - simulated:.0f} s to {path}"
            )
    return path


def _is_bundle(path):
    try:
        BundleSource(path)
    except BundleError:
        return False
    return True


def listed_stocks(day):
    """The common stocks listed before ``day`` and not delisted by it, as the pools admit."""
    text = str(day)
    return sorted(
        record.order_book_id
        for record in quotaris.all_instruments("CS")
        if record.listed_date < text
        and (record.de_listed_date == quotaris.NOT_DELISTED or text < record.de_listed_date)
    )


def by_size(day):
    """The listed stocks, largest total market cap on the day before first."""
    ids = listed_stocks(day)
    before = quotaris.get_previous_trading_date(day)
    cap = quotaris.get_market_cap(ids, before, before).iloc[0]
    return cap.sort_values(ascending=False, na_position="last").index.tolist()


def pool_of(size, ranked, benchmark, day):
    """``size`` names: the benchmark's constituents, heaviest first, then the largest others."""
    first = []
    if benchmark is not None:
        weights = quotaris.index_weights(benchmark, day)
        first = weights.sort_values(ascending=False).index.tolist()
    ordered = list(dict.fromkeys([*first, *ranked]))
    return sorted(ordered if size is None else ordered[:size])


def market_alpha(seed=DEMO_SEED):
    """A fixed random expected active return for every stock of the market."""
    ids = sorted(record.order_book_id for record in quotaris.all_instruments("CS"))
    rng = np.random.default_rng(seed)
    return pd.Series(rng.normal(0.0, ALPHA_SPREAD, len(ids)), index=ids)


# -- the contenders ---------------------------------------------------------------


@dataclass
class Contender:
    name: str
    benchmark: str | None
    cap: float
    neutral: tuple[float, float] | None = None  # industry and style limits, if any

    def arguments(self, alpha):
        """The objective and keyword arguments of ``portfolio_optimize``."""
        if self.neutral is None:
            objective = plovera.MinTrackingError() if self.benchmark else plovera.MinVariance()
            cons = None
        else:
            objective = plovera.MaxInformationRatio(expected_active_returns=alpha)
            industry, style = self.neutral
            cons = make_constraints(industry_neutral=industry, style_neutral=style)
            cons.append(plovera.TrackingErrorLimit(0.05))
        bnds = {"*": (0.0, self.cap)}
        return objective, {"bnds": bnds, "cons": cons, "benchmark": self.benchmark}


CONTENDERS = (
    Contender("min variance", None, 0.05),
    Contender("min TE vs CSI 1000", CSI1000, 0.05),
    Contender("enhancement", HS300, 0.03, (0.0, 0.0)),
)


def optimise(pool, day, contender, alpha):
    """``portfolio_optimize``'s weights, its time and how many warnings it gave."""
    objective, keywords = contender.arguments(alpha)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        started = time.perf_counter()
        weights = plovera.portfolio_optimize(pool, day, objective, **keywords)
        seconds = time.perf_counter() - started
    return pd.Series(weights, dtype=float), seconds, len(caught)


class DenseHelper(OptimizeHelper):
    """The helper without the factor form, which sends the objectives to the dense matrices."""

    HIDDEN = frozenset({"get_factor_model", "get_union_factor_model"})
    dense_calls = 0

    def __getattribute__(self, name):
        if name in DenseHelper.HIDDEN:
            raise AttributeError(name)
        if name in ("get_cov_matrix", "get_union_cov_matrix"):
            DenseHelper.dense_calls += 1
        return super().__getattribute__(name)


@contextlib.contextmanager
def dense_path():
    """``portfolio_optimize`` with the dense helper; the module reads its globals per call."""
    saved = plovera.optimize.OptimizeHelper
    plovera.optimize.OptimizeHelper = DenseHelper
    try:
        yield
    finally:
        plovera.optimize.OptimizeHelper = saved


def optimise_dense(pool, day, contender, alpha):
    """The dense path's time, or why it has none."""
    DenseHelper.dense_calls = 0
    try:
        with dense_path():
            _, seconds, _ = optimise(pool, day, contender, alpha)
    except AttributeError as error:
        # The tracking-error limit reads the union's factor model whatever the objective.
        return None, f"needs {error}"
    if DenseHelper.dense_calls == 0:
        return None, "did not read a dense matrix"
    return seconds, ""


# -- the bare programs ------------------------------------------------------------


@dataclass
class Data:
    """What a bare program starts from: the factor model over the pool, and over the
    benchmark's constituents outside it after the pool."""

    n: int
    exposures: np.ndarray
    factor_covariance: np.ndarray
    specific_variance: np.ndarray
    styles: np.ndarray  # the columns of the style exposures
    benchmark: np.ndarray | None = None
    industry: np.ndarray | None = None
    alpha: np.ndarray | None = None  # over the pool and the constituents outside it


def fetch(pool, day, contender, alpha):
    """The data of a bare program and the time its helper took to forecast it."""
    benchmark = plovera.IndexBenchmark(contender.benchmark) if contender.benchmark else None
    started = time.perf_counter()
    helper = OptimizeHelper(pool, day, benchmark, DAILY)
    model = helper.get_union_factor_model() if benchmark else helper.get_factor_model()
    seconds = time.perf_counter() - started
    data = Data(
        len(pool),
        model.exposures.to_numpy(),
        model.factor_covariance.to_numpy(),
        model.specific_variance.to_numpy(),
        model.exposures.columns.get_indexer(list(STYLE_FACTORS)),
    )
    if benchmark is not None:
        data.benchmark = helper.benchmark_weight.to_numpy()
        data.industry = helper.get_industry("sws").to_numpy(dtype=object)
        mu = alpha.reindex(helper.union_components).to_numpy(dtype=float, copy=True)
        # A constituent without an alpha earns the benchmark's weighted average.
        known = (data.benchmark > 0) & ~np.isnan(mu)
        mu[np.isnan(mu)] = np.average(mu[known], weights=data.benchmark[known])
        data.alpha = mu
    return data, seconds


def factor_loadings(data):
    """B = X L with F = L Lᵀ; an eigen-decomposition, since F may be singular."""
    values, vectors = np.linalg.eigh((data.factor_covariance + data.factor_covariance.T) / 2)
    return data.exposures @ (vectors * np.sqrt(np.clip(values, 0.0, None)))


def bare_min_variance(data, contender):
    loadings = factor_loadings(data)
    w = cp.Variable(data.n, nonneg=True)
    risk = cp.sum_squares(loadings.T @ w) + cp.sum_squares(
        cp.multiply(np.sqrt(data.specific_variance), w)
    )
    problem = cp.Problem(cp.Minimize(risk), [cp.sum(w) == 1, w <= contender.cap])
    return problem, lambda: w.value


def bare_min_tracking_error(data, contender):
    n, b = data.n, data.benchmark
    loadings = factor_loadings(data)
    w = cp.Variable(n, nonneg=True)
    # The constituents outside the pool add a constant, left out.
    risk = cp.sum_squares(loadings[:n].T @ w - loadings.T @ b) + cp.sum_squares(
        cp.multiply(np.sqrt(data.specific_variance[:n]), w - b[:n])
    )
    problem = cp.Problem(cp.Minimize(risk), [cp.sum(w) == 1, w <= contender.cap])
    return problem, lambda: w.value


def bare_enhancement(data, contender):
    """The information ratio homogenised: y = t·w, the active return of y pinned to 1."""
    n, b, mu = data.n, data.benchmark, data.alpha
    loadings = factor_loadings(data)
    root = np.sqrt(data.specific_variance)
    y = cp.Variable(n, nonneg=True)
    t = cp.Variable(nonneg=True)
    parts = [
        loadings[:n].T @ y - t * (loadings.T @ b),
        cp.multiply(root[:n], y - t * b[:n]),
    ]
    outside = float(np.linalg.norm(root[n:] * b[n:]))
    if outside > 0:
        parts.append(cp.reshape(outside * t, (1,), order="C"))
    active = cp.hstack(parts)
    constraints = [
        mu[:n] @ y - t * (mu @ b) == 1,
        cp.sum(y) == t,
        y <= contender.cap * t,
        cp.norm(active, 2) <= 0.05 * t,
    ]
    industry_limit, style_limit = contender.neutral
    labels = [name for name in dict.fromkeys(data.industry) if isinstance(name, str)]
    member = (data.industry[None, :] == np.array(labels, dtype=object)[:, None]).astype(float)
    styles = data.exposures[:, data.styles].T
    for rows, limit in ((member, industry_limit), (styles, style_limit)):
        held, base = rows[:, :n] @ y, rows @ b
        if limit == 0:
            constraints.append(held == t * base)
        else:
            constraints += [held >= t * (base - limit), held <= t * (base + limit)]
    problem = cp.Problem(cp.Minimize(cp.sum_squares(active)), constraints)
    return problem, lambda: y.value / y.value.sum()


BARE = {
    "min variance": bare_min_variance,
    "min TE vs CSI 1000": bare_min_tracking_error,
    "enhancement": bare_enhancement,
}


def solve_bare(data, contender, solver):
    """The bare program built and solved: its weights, time and status."""
    started = time.perf_counter()
    problem, weights = BARE[contender.name](data, contender)
    options = {"max_iters": SCS_ITERATIONS} if solver == cp.SCS else {}
    problem.solve(solver=solver, **options)
    seconds = time.perf_counter() - started
    solved = problem.status in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE)
    return (weights() if solved else None), seconds, problem.status


# -- 1. the pools -----------------------------------------------------------------


def load():
    return f"load {os.getloadavg()[0]:.2f}"


def best(run, repeat):
    """The run of least time among ``repeat``; ``run`` returns (result, seconds, ...)."""
    return min((run() for _ in range(repeat)), key=lambda found: found[1])


def compare_pools(day, sizes, dense_max, repeat, alpha):
    ranked = by_size(day)
    print(
        f"\n1. {day}: {len(ranked)} listed stocks; times in seconds, best of {repeat}, the "
        f"date's forecast made beforehand; {load()}"
    )
    print(
        f"{'pool':>5} {'contender':<19} {'fetch':>6} {'optimize':>8} {'dense':>7} "
        f"{'Clarabel':>8} {'SCS':>7} {'ratio':>6} {'max |dw|':>9}  notes"
    )
    for size in sizes:
        for contender in CONTENDERS:
            pool = pool_of(size, ranked, contender.benchmark, day)
            contender, weights, seconds, notes = _optimised(pool, day, contender, alpha, repeat)
            dense, why = None, "skipped"
            if len(pool) <= dense_max:
                runs = [optimise_dense(pool, day, contender, alpha) for _ in range(repeat)]
                dense, why = min(runs, key=lambda run: np.inf if run[0] is None else run[0])
            data, fetched = fetch(pool, day, contender, alpha)
            bare = {
                solver: best(lambda s=solver, d=data, c=contender: solve_bare(d, c, s), repeat)
                for solver in (cp.CLARABEL, cp.SCS)
            }
            faster = min(found[1] for found in bare.values())
            scs_weights = bare[cp.SCS][0]
            difference = (
                np.abs(weights.reindex(pool).to_numpy() - scs_weights).max()
                if scs_weights is not None
                else np.nan
            )
            for solver, (_, _, status) in bare.items():
                if status != cp.OPTIMAL:
                    notes.append(f"{solver} {status}")
            if dense is None:
                notes.append(f"dense {why}")
            print(
                f"{len(pool):>5} {contender.name:<19} {fetched:>6.3f} {seconds:>8.2f} "
                f"{_or_dash(dense, 7)} {bare[cp.CLARABEL][1]:>8.2f} {bare[cp.SCS][1]:>7.2f} "
                f"{seconds / faster:>5.2f}x {difference:>9.2e}  {'; '.join(notes)}",
                flush=True,
            )


def _optimised(pool, day, contender, alpha, repeat):
    """The contender's call timed; the mandate with tight limits where exact neutrality
    has no solution."""
    notes = []
    try:
        weights, seconds, warned = best(lambda: optimise(pool, day, contender, alpha), repeat)
    except plovera.OptimizationFailed:
        if contender.neutral is None:
            raise
        contender = Contender(contender.name, contender.benchmark, contender.cap, TIGHT)
        notes.append(f"exact neutrality failed: ±{TIGHT[0]:.1%} industry, ±{TIGHT[1]} style")
        weights, seconds, warned = best(lambda: optimise(pool, day, contender, alpha), repeat)
    if warned:
        notes.append(f"{warned} warnings")
    return contender, weights, seconds, notes


def _or_dash(value, width):
    return f"{value:>{width}.2f}" if value is not None else f"{'-':>{width}}"


# -- 2. memory --------------------------------------------------------------------


def _status_kb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def peak_above_start(run):
    """MB by which the resident memory of ``run()`` peaks above its process's, measured
    in a forked child (None if the call failed there) and the way it was read."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read)
            try:
                # Writing 5 resets the peak to the current resident size.
                with open("/proc/self/clear_refs", "w") as clear:
                    clear.write("5")
                start, how = _status_kb("VmRSS"), "VmHWM"
            except OSError:
                start, how = _status_kb("VmRSS"), "ru_maxrss"
            run()
            peak = (
                _status_kb("VmHWM")
                if how == "VmHWM"
                else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            )
            os.write(write, f"{(peak - start) / 1024:.0f} {how}".encode())
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    os.close(write)
    with os.fdopen(read) as pipe:
        text = pipe.read()
    os.waitpid(pid, 0)
    if not text:
        return None, ""
    megabytes, how = text.split()
    return int(megabytes), how


def whole_market_memory(day, alpha):
    pool = listed_stocks(day)
    print(f"\n2. peak memory above the process of a whole-market call ({len(pool)}), {load()}")
    for contender in (CONTENDERS[0], CONTENDERS[2]):
        megabytes, how = peak_above_start(functools.partial(optimise, pool, day, contender, alpha))
        shown = "failed" if megabytes is None else f"{megabytes} MB ({how})"
        print(f"  {contender.name:<19} {shown}", flush=True)


# -- 3. the backtest --------------------------------------------------------------


class Clock:
    """Time in RiskModel.forecast, and in the optimisation entries the engine calls."""

    ENTRIES = ((plovera.prepared, "prepare_optimize"), (plovera.optimize, "portfolio_optimize"))

    def __init__(self):
        self.entry = {name: 0.0 for _, name in self.ENTRIES}  # forecasts included
        self.inside = {name: 0.0 for _, name in self.ENTRIES}  # forecasts within each
        self.outside = 0.0  # forecasts outside them
        self.calls = 0
        self._within = []

    def _forecast(self, forecast):
        @functools.wraps(forecast)
        def timed(model, *arguments, **keywords):
            started = time.perf_counter()
            try:
                return forecast(model, *arguments, **keywords)
            finally:
                elapsed = time.perf_counter() - started
                self.calls += 1
                if self._within:
                    self.inside[self._within[-1]] += elapsed
                else:
                    self.outside += elapsed

        return timed

    def _entry(self, name, call):
        @functools.wraps(call)
        def timed(*arguments, **keywords):
            self._within.append(name)
            started = time.perf_counter()
            try:
                return call(*arguments, **keywords)
            finally:
                self.entry[name] += time.perf_counter() - started
                self._within.pop()

        return timed

    @contextlib.contextmanager
    def installed(self):
        """The clock around the calls; the engine imports the entries at each call."""
        forecast = RiskModel.forecast
        saved = [getattr(module, name) for module, name in self.ENTRIES]
        RiskModel.forecast = self._forecast(forecast)
        for (module, name), call in zip(self.ENTRIES, saved, strict=True):
            setattr(module, name, self._entry(name, call))
        try:
            yield self
        finally:
            RiskModel.forecast = forecast
            for (module, name), call in zip(self.ENTRIES, saved, strict=True):
                setattr(module, name, call)


def whole_market_pool(date):
    return listed_stocks(quotaris.to_date(date))


def backtest(start, end, alpha, neutral):
    industry, style = neutral
    cons = make_constraints(industry_neutral=industry, style_neutral=style, tracking_error=0.05)
    strategy = Strategy(
        whole_market_pool,
        plovera.MaxInformationRatio(expected_active_returns=alpha),
        {"*": (0.0, 0.03)},
        cons,
        HS300,
        name="enhancement",
    )
    print(
        f"\n3. monthly whole-market backtest of the mandate (±{industry:.1%} industry, "
        f"±{style} style), {start} to {end}, serial, {load()}"
    )
    clock = Clock()
    with clock.installed(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        started = time.perf_counter()
        result = run_backtest(strategy, start, end)
        seconds = time.perf_counter() - started
    n = result.timings["rebalances"]
    optimise_seconds = result.timings["optimise_seconds"]
    forecast_inside = sum(clock.inside.values())
    preparing = clock.entry["prepare_optimize"] - clock.inside["prepare_optimize"]
    other = seconds - optimise_seconds - clock.outside
    print(
        f"  {n} rebalances in {seconds:.1f} s, {seconds / n:.2f} s each: optimisation "
        f"{(optimise_seconds - forecast_inside) / n:.2f} s (building the problem "
        f"{preparing / n:.2f} s), forecast {(forecast_inside + clock.outside) / n:.2f} s "
        f"({clock.calls} calls), everything else {other / n:.3f} s"
    )
    print(
        f"  mean ex-ante tracking error {result.ex_ante['tracking_error'].mean():.2%}, "
        f"mean holdings {(result.weights > 1e-6).sum(axis=1).mean():.0f}"
    )
    if result.failures:
        # The engine diagnoses each failed date, in the time of everything else.
        dates = ", ".join(str(failure.date) for failure in result.failures)
        print(f"  {len(result.failures)} failed dates, held over: {dates}")
        print(f"  the first: {result.failures[0]}")


# -- the run ----------------------------------------------------------------------


def size_argument(text):
    return None if text == "all" else int(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=5500, help="stocks of the market")
    parser.add_argument("--date", default="2025-06-30")
    parser.add_argument(
        "--sizes",
        nargs="+",
        type=size_argument,
        default=[300, 1000, 2000, None],
        help="pool sizes; 'all' for the whole market",
    )
    parser.add_argument(
        "--dense-max", type=int, default=2000, help="largest pool on the dense path"
    )
    parser.add_argument("--repeat", type=int, default=3, help="runs of each timing, the best kept")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--skip-backtest", action="store_true")
    parser.add_argument("--backtest-start", default="2019-01-01")
    parser.add_argument("--backtest-end", default="2025-12-31")
    parser.add_argument(
        "--exact-backtest", action="store_true", help="exact neutrality in the backtest too"
    )
    args = parser.parse_args()

    path = synthetic_bundle(args.stocks)
    source = quotaris.init(path)
    stored = stored_model_path(source).exists()
    started = time.perf_counter()
    model = risk_model(progress=False)
    print(
        f"risk model {'loaded' if stored else 'built'} in {time.perf_counter() - started:.1f} s "
        f"({os.cpu_count()} cores)"
    )
    day = quotaris.to_date(args.date)
    started = time.perf_counter()
    model.forecast(day, listed_stocks(day)[:1], DAILY)  # the whole market's forecast for the day
    print(
        f"the forecast of {day} for the whole market made in {time.perf_counter() - started:.2f} s"
    )
    alpha = market_alpha()

    # One untimed round on a small pool: imports and first compilations.
    warm = pool_of(50, by_size(day), None, day)
    optimise(warm, day, CONTENDERS[0], alpha)
    for solver in (cp.CLARABEL, cp.SCS):
        solve_bare(fetch(warm, day, CONTENDERS[0], alpha)[0], CONTENDERS[0], solver)

    compare_pools(day, args.sizes, args.dense_max, args.repeat, alpha)
    if not args.skip_memory:
        whole_market_memory(day, alpha)
    if not args.skip_backtest:
        neutral = CONTENDERS[2].neutral if args.exact_backtest else TIGHT
        backtest(args.backtest_start, args.backtest_end, alpha, neutral)


if __name__ == "__main__":
    main()
