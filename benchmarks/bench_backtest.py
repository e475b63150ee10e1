"""Backtest throughput: serial, two local worker processes, a two-worker LocalCluster.

The strategy is minimum tracking error against 000300.XSHG on its
constituents, industry- and style-neutral, with a 3% tracking-error limit,
rebalanced monthly on the demo market from 2019 to 2025.  The serial run's
time per rebalance is split into the optimisation (``portfolio_optimize``)
and everything else (pool, quotes, ex-ante risk, drift).  Then four
strategies at once through ``run_backtests`` on the local processes.

Targets: everything else ≤ 5% of the serial time; two processes ≥ 1.7× the
serial throughput; the LocalCluster ≥ 0.85× the local processes.  The
machine may be shared and its speed drifts: the load average is printed beside
each run, the configurations take ``--repeat`` turns, and the ratios are the
medians of the turns' ratios.  Two serial runs side by side show what the
machine itself gives two processes, the ceiling of the local processes' ratio.

    python benchmarks/bench_backtest.py [--quick] [--repeat N]
"""

import argparse
import concurrent.futures
import functools
import logging
import multiprocessing
import os
import statistics
import time
import warnings

import plovera
import quotaris
from plovera.backtest import DASK_WORKER_CONFIG, Strategy, run_backtest, run_backtests
from plovera.jobs import make_constraints
from quotaris.demo import demo_bundle_path

INDEX = "000300.XSHG"


def strategy(name="tracking", te=0.03, industry=0.01, style=0.1):
    cons = make_constraints(industry_neutral=industry, style_neutral=style, tracking_error=te)
    return Strategy(INDEX, plovera.MinTrackingError(), None, cons, INDEX, name=name)


def timed(label, run):
    started = time.perf_counter()
    result = run()
    seconds = time.perf_counter() - started
    print(f"{label:<34}{seconds:8.1f} s   load {os.getloadavg()[0]:.2f}", flush=True)
    return result, seconds


def median(label, runs):
    """The run of median time among ``runs`` (each a result and its time)."""
    runs = sorted(runs, key=lambda found: found[1])
    result, seconds = runs[(len(runs) - 1) // 2]
    spread = ", ".join(f"{found[1]:.1f}" for found in runs)
    print(f"{label:<34}{seconds:8.2f} s   median of {spread}")
    return result, seconds


def in_a_fork(run, *arguments):
    """``run(*arguments)`` in a process forked from this one, which starts with this
    process's caches as the local worker processes do."""
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        return pool.submit(run, *arguments).result()


def two_at_once(run):
    """Two copies of ``run()`` side by side in forked processes: what the machine gives
    two processes that never wait for each other."""
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        started = time.perf_counter()
        concurrent.futures.wait([pool.submit(run) for _ in range(2)])
        seconds = time.perf_counter() - started
    print(f"{'2 serial runs side by side':<34}{seconds:8.1f} s   load {os.getloadavg()[0]:.2f}")
    return None, seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2024 only, not 2019 to 2025")
    parser.add_argument("--repeat", type=int, default=4, help="runs of each configuration")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    quotaris.init(demo_bundle_path(progress=False))
    start, end = ("2024-01-01", "2024-12-31") if args.quick else ("2019-01-01", "2025-12-31")
    print(f"demo market, {start} to {end}, monthly, {os.cpu_count()} cores")
    # Warm this process: the risk model, the compiled modules (workers warm up in their
    # first task, which the parallel figures include).
    run_backtest(strategy(), start[:4] + "-01-01", start[:4] + "-01-31")

    import dask
    from distributed import Client, LocalCluster

    # Importing distributed sets up its own logging.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)

    def on_a_cluster(settings):
        with (
            dask.config.set(settings),
            LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster,
            Client(cluster) as client,
        ):
            # Warm every worker: each loads the risk model once, as a forked process need not.
            run_backtest(strategy(), start, start[:4] + "-03-31", executor=client)
            return timed(
                f"2-worker LocalCluster, {'defaults' if not settings else 'config'}",
                lambda: run_backtest(strategy(), start, end, executor=client),
            )

    # Each run starts from the same caches: worker processes and the serial run are forked
    # from this process, each Dask run has a cluster of its own.  The configurations take
    # turns, every other turn in reverse order, so that a machine whose speed drifts
    # slows them alike; those compared run next to each other.
    measures = {
        "2 serial runs side by side": lambda: two_at_once(
            functools.partial(run_backtest, strategy(), start, end)
        ),
        "serial": lambda: in_a_fork(
            timed, "serial", functools.partial(run_backtest, strategy(), start, end)
        ),
        "2 local processes": lambda: timed(
            "2 local processes", lambda: run_backtest(strategy(), start, end, executor=2)
        ),
        "LocalCluster, DASK_WORKER_CONFIG": lambda: on_a_cluster(DASK_WORKER_CONFIG),
        "LocalCluster, Dask's defaults": lambda: on_a_cluster({}),
    }
    runs = {label: [] for label in measures}
    for turn in range(args.repeat):
        for label in list(measures)[:: -1 if turn % 2 else 1]:
            runs[label].append(measures[label]())
    print(f"medians of {args.repeat} runs each")
    side_by_side = "2 serial runs side by side"
    found = {label: median(label, runs[label]) for label in runs if label != side_by_side}
    local, _ = found["2 local processes"]
    serial, serial_seconds = found["serial"]
    n = serial.timings["rebalances"]
    optimise = serial.timings["optimise_seconds"]
    other = serial_seconds - optimise
    shares = ", ".join(f"{1 - r.timings['optimise_seconds'] / s:.1%}" for r, s in runs["serial"])
    print(
        f"  {n} rebalances: {serial_seconds / n:.3f} s each, optimisation "
        f"{optimise / n:.3f} s, everything else {other / n:.4f} s ({other / serial_seconds:.1%}; "
        f"runs: {shares})"
    )
    print(
        f"  {local.timings['prepared']} dates prepared ahead, "
        f"{local.timings['optimised_again']} optimised again for a held stock without a quote"
    )

    def times(label):
        return [seconds for _, seconds in runs[label]]

    # Runs of one turn ran next to each other in time: their ratios are what the drift spares.
    speed_ups = [
        ("2 local processes over serial", times("serial"), times("2 local processes")),
        (
            "the machine's own: 2 serial runs side by side over 1",
            [2 * seconds for seconds in times("serial")],
            times(side_by_side),
        ),
        *(
            (f"{label} over the local processes", times("2 local processes"), times(label))
            for label in ("LocalCluster, DASK_WORKER_CONFIG", "LocalCluster, Dask's defaults")
        ),
    ]
    for label, slower, faster in speed_ups:
        ratios = [a / b for a, b in zip(slower, faster, strict=True)]
        spread = ", ".join(f"{ratio:.2f}" for ratio in ratios)
        print(f"  {label}: {statistics.median(ratios):.2f}x (turns: {spread})")
    for label, (other_result, _) in found.items():
        gap = (other_result.nav - serial.nav).abs().max()
        print(f"  {label}: largest NAV difference from serial {gap:.1e}")
    # Four variants that each bind differently: the neutral tracker above, a 1% cap on
    # every stock, capped minimum variance, and the same with a 20% turnover limit (at 15%
    # the index's June 2024 reconstitution is out of reach and every later date holds).
    capped_variance = (plovera.MinVariance(), {"*": (0.0, 0.02)}, None, INDEX)
    four = [
        strategy("neutral, te 3%"),
        Strategy(INDEX, plovera.MinTrackingError(), {"*": (0.0, 0.01)}, None, INDEX, name="cap 1%"),
        Strategy(INDEX, *capped_variance, name="min variance"),
        Strategy(INDEX, *capped_variance, max_turnover=0.2, name="min variance, turnover 20%"),
    ]
    results, four_seconds = timed(
        "4 strategies, 2 local processes",
        lambda: run_backtests(four, start, end, executor=2),
    )
    _, four_serial = timed("4 strategies, serial", lambda: run_backtests(four, start, end))
    print(
        f"  {4 * n / four_seconds:.2f} rebalances a second, "
        f"{four_serial / four_seconds:.2f}x serial"
    )
    for name, result in results.items():
        stats = result.stats()
        print(
            f"  {name:<28} active {stats['active_return']:+.2%}"
            f"  TE {stats['tracking_error']:.2%}  turnover {stats['mean_turnover']:.1%}"
            f"  realised/forecast {stats['tracking_error_ratio']:.2f}"
        )


if __name__ == "__main__":
    main()
