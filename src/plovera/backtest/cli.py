"""``plovera backtest``: strategies from the command line or a TOML file.

A config file holds the run's settings at the top level and one
``[[strategy]]`` table per strategy, with the option names of the command
line (underscores for dashes)::

    start = "2019-01-01"
    end = "2025-12-31"
    rebalance = "monthly"
    cost = 0.001

    [[strategy]]
    name = "tracking"
    index_pool = "000300.XSHG"
    objective = "min_tracking_error"
    benchmark = "000300.XSHG"
    bound = ["*=0:0.05"]
    industry_neutral = 0.01

Settings given on the command line win over the file's.
"""

from __future__ import annotations

import argparse
import time
import tomllib
from pathlib import Path
from typing import TextIO

import pandas as pd

import quotaris

from ..exception import InvalidArgument
from .result import BacktestResult
from .strategy import Strategy

__all__ = ["STRATEGY_KEYS", "load_config", "run", "strategy_from_options"]

_OBJECTIVE_KEYS = (
    "expected_returns",
    "expected_active_returns",
    "indicator",
    "risk_aversion",
    "window",
    "style",
    "priority",
    "relative",
)
#: What a ``[[strategy]]`` table may set.
STRATEGY_KEYS = (
    "name",
    "pool",
    "pool_file",
    "index_pool",
    "objective",
    "bound",
    "benchmark",
    "cov_model",
    *_OBJECTIVE_KEYS,
    "industry_neutral",
    "industry_classification",
    "style_neutral",
    "tracking_error_limit",
    "component_floor",
    "max_turnover",
)
_SETTINGS = ("start", "end", "rebalance", "cost", "data")


def strategy_from_options(options: dict) -> Strategy:
    """A strategy from command-line style options (absent ones take their defaults)."""
    from ..const import CovModel
    from ..jobs import _make_objective, make_constraints, parse_bound

    pool = list(options.get("pool") or [])
    if options.get("pool_file"):
        with open(options["pool_file"], encoding="utf-8") as lines:
            pool += [line.strip() for line in lines if line.strip()]
    index_pool = options.get("index_pool")
    if index_pool and pool:
        raise InvalidArgument(
            f"give the pool either as identifiers or as --index-pool {index_pool}, not both"
        )
    if not (index_pool or pool):
        raise InvalidArgument("the pool is empty: give identifiers or --index-pool")
    bounds = options.get("bound") or []
    bnds = dict(parse_bound(text) for text in bounds) if bounds else None
    objective_name = options.get("objective") or "min_variance"
    objective = _make_objective(objective_name, {k: options.get(k) for k in _OBJECTIVE_KEYS})
    cons = make_constraints(
        industry_neutral=options.get("industry_neutral"),
        style_neutral=options.get("style_neutral"),
        tracking_error=options.get("tracking_error_limit"),
        component_floor=options.get("component_floor"),
        classification=options.get("industry_classification") or "sws",
    )
    cov_model = CovModel(options.get("cov_model") or "daily")
    return Strategy(
        index_pool or pool,
        objective,
        bnds,
        cons or None,
        options.get("benchmark"),
        cov_model,
        options.get("max_turnover"),
        options.get("name") or objective_name,
    )


def load_config(path: str | Path) -> tuple[dict, list[Strategy]]:
    """The settings and strategies of a TOML config file."""
    try:
        with open(path, "rb") as file:
            config = tomllib.load(file)
    except tomllib.TOMLDecodeError as error:
        raise InvalidArgument(f"{path} is not valid TOML: {error}") from None
    unknown = [key for key in config if key not in (*_SETTINGS, "strategy")]
    if unknown:
        raise InvalidArgument(f"{path}: unknown settings {', '.join(unknown)}")
    tables = config.get("strategy")
    if not isinstance(tables, list) or not tables:
        raise InvalidArgument(f"{path} has no [[strategy]] tables")
    strategies = []
    for number, table in enumerate(tables, 1):
        unknown = [key for key in table if key not in STRATEGY_KEYS]
        if unknown:
            raise InvalidArgument(
                f"{path}: strategy {number} sets unknown keys {', '.join(unknown)}"
            )
        strategies.append(strategy_from_options({"name": f"strategy {number}", **table}))
    return {key: config[key] for key in _SETTINGS if key in config}, strategies


def _rebalance_rule(text: object) -> object:
    if isinstance(text, (int, list)):
        return text
    text = str(text).strip()
    if text.isdigit():
        return int(text)
    if "," in text or text[:1].isdigit():
        return [day.strip() for day in text.split(",") if day.strip()]
    return text


class ProgressBar:
    """A bar over rebalance dates on ``out``, with the time left at the pace so far."""

    WIDTH = 30

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.started = time.monotonic()

    def __call__(self, done: int, total: int) -> None:
        elapsed = time.monotonic() - self.started
        left = elapsed / done * (total - done) if done else 0.0
        filled = int(self.WIDTH * done / max(total, 1))
        minutes, seconds = divmod(round(left), 60)
        self.out.write(
            f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{total} dates, "
            f"{minutes}:{seconds:02d} left"
        )
        if done == total:
            self.out.write("\n")
        self.out.flush()


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from ..cli import EXIT_FAILED, EXIT_OK, _occupied, _report
    from .engine import run_backtests
    from .executors import BacktestError

    settings: dict = {}
    if args.config:
        settings, strategies = load_config(args.config)
    else:
        options = {key: getattr(args, key, None) for key in STRATEGY_KEYS}
        strategies = [strategy_from_options(options)]
    data = args.data or settings.get("data")
    if data:
        quotaris.init(data)
    for strategy in strategies:
        if isinstance(strategy.pool, list):
            _, unknown = quotaris.find_instruments(strategy.pool)
            if unknown:
                raise InvalidArgument(
                    f"strategy {strategy.name!r}: the market data does not know "
                    f"{', '.join(unknown)}"
                )
    start = args.start or settings.get("start")
    end = args.end or settings.get("end")
    if start is None or end is None:
        raise InvalidArgument("a backtest needs --start and --end (or start and end in --config)")
    rebalance = (
        settings.get("rebalance", "monthly") if args.rebalance == "monthly" else args.rebalance
    )
    cost = args.cost if args.cost else settings.get("cost", 0.0)
    if args.output and not args.overwrite and _occupied(args.output):
        raise InvalidArgument(f"{args.output} already exists; pass --overwrite to replace it")
    executor = args.workers or args.dask
    try:
        results = run_backtests(
            strategies,
            start,
            end,
            _rebalance_rule(rebalance),
            cost,
            args.on_failure,
            executor=executor,
            progress=ProgressBar(err),
        )
    except BacktestError as error:
        return _report(error, EXIT_FAILED)
    print_statistics(results, out)
    if args.output:
        save_all(results, Path(args.output), args.overwrite)
        print(f"saved to {args.output}", file=out)
    return EXIT_OK


def print_statistics(results: dict[str, BacktestResult], out: TextIO) -> None:
    table = pd.DataFrame({name: result.stats() for name, result in results.items()})
    out.write(table.to_string(float_format=lambda value: f"{value:.4f}") + "\n")
    for name, result in results.items():
        for failure in result.failures:
            print(f"{name}: {failure.date} kept its holdings: {failure.message}", file=out)


def save_all(results: dict[str, BacktestResult], output: Path, overwrite: bool) -> None:
    """One strategy's result in ``output``; several, each in a directory of its name."""
    if len(results) == 1:
        next(iter(results.values())).save(output, overwrite=overwrite)
        return
    for name, result in results.items():
        result.save(output / _directory_name(name), overwrite=overwrite)


def _directory_name(name: str) -> str:
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
