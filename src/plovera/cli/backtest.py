"""``plovera backtest``: strategies from the command line or a TOML file.

A config file holds the run's settings at the top level and one
``[[strategy]]`` table per strategy, with the option names of the command
line (underscores for dashes)::

    start = "2019-01-01"
    end = "2025-12-31"
    rebalance = "monthly"
    cost = 0.001  # or "ashare"
    capital = 10_000_000  # optional: whole lots of shares and cash

    [[strategy]]
    name = "tracking"
    index_pool = "000300.XSHG"
    objective = "min_tracking_error"
    benchmark = "000300.XSHG"
    bound = ["*=0:0.05"]
    industry_neutral = 0.01

Settings given on the command line win over the file's. Both the parser and
the file's keys come from ``STRATEGY_OPTIONS`` and ``SETTINGS``.
"""

from __future__ import annotations

import argparse
import sys
import time
import tomllib
from collections.abc import Mapping
from pathlib import Path
from typing import TextIO

import pandas as pd

import quotaris

from .. import jobs
from ..backtest import BacktestResult, Strategy
from ..exception import InvalidArgument
from .options import (
    CAPITAL,
    DATA,
    EXIT_FAILED,
    EXIT_OK,
    PORTFOLIO,
    Option,
    PortfolioOptions,
    add_options,
    calendar_date,
    positive_int,
    refuse_to_replace,
    report_error,
)

__all__ = [
    "SETTINGS",
    "SETTING_KEYS",
    "STRATEGY_KEYS",
    "STRATEGY_OPTIONS",
    "ProgressBar",
    "add_command",
    "load_config",
    "print_statistics",
    "run",
    "save_all",
    "strategy_from_options",
]

#: What makes a strategy: options of the command line, keys of a ``[[strategy]]`` table.
STRATEGY_OPTIONS = (
    *PORTFOLIO,
    Option("--max-turnover", type=float, metavar="T", help="turnover at each rebalance at most T"),
    Option("--name", help="name of the strategy (default: from its objective)"),
    Option(
        "--no-price-limits",
        action="store_true",
        help="buy stocks closing at limit-up and sell those at limit-down, as if there "
        "were no daily price limits",
    ),
)
STRATEGY_KEYS = tuple(option.key for option in STRATEGY_OPTIONS)
#: The run's settings: options of the command line, top-level keys of a config file.
SETTINGS = (
    Option("--start", type=calendar_date, help="first day, e.g. 2019-01-01"),
    Option("--end", type=calendar_date, help="last day, e.g. 2025-12-31"),
    Option(
        "--rebalance",
        default="monthly",
        metavar="RULE",
        help="monthly, weekly, every N trading days, or dates separated by commas "
        "(default: %(default)s)",
    ),
    Option(
        "--cost",
        default="0",
        metavar="RATE|ashare",
        help="cost per unit of traded value, e.g. 0.001, or 'ashare' for the market's "
        "commission, stamp duty, transfer fee and price impact (default: %(default)s)",
    ),
    CAPITAL,
    DATA,
)
SETTING_KEYS = tuple(option.key for option in SETTINGS)


def add_command(subcommands: argparse._SubParsersAction) -> None:
    command = subcommands.add_parser(
        "backtest",
        help="backtest a strategy over a range of dates",
        description=(
            "Optimise on every rebalance date from --start to --end, trade at the close, let "
            "the holdings drift in between, and print the statistics. --config FILE.toml "
            "backtests several strategies at once."
        ),
    )
    add_options(
        command.add_argument_group(
            "strategy",
            "the one strategy to backtest; with --config, the keys of each of its "
            "[[strategy]] tables instead (with _ for -)",
        ),
        STRATEGY_OPTIONS,
    )
    add_options(
        command.add_argument_group(
            "settings",
            "also the top-level keys of --config (with _ for -); given here, they win",
        ),
        SETTINGS,
    )
    command.add_argument(
        "--on-failure",
        choices=("hold", "raise"),
        default="hold",
        help="on a date whose optimisation fails, keep the holdings or stop (default: %(default)s)",
    )
    where = command.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive_int, metavar="N", help="N local processes")
    where.add_argument("--dask", metavar="ADDRESS", help="Dask scheduler, e.g. tcp://host:8786")
    command.add_argument("--config", metavar="FILE", help="TOML file of several strategies")
    command.add_argument("--output", metavar="DIR", help="save tables, summary and plot here")
    command.add_argument("--overwrite", action="store_true", help="replace an existing --output")
    command.set_defaults(run=run)


def strategy_from_options(options: Mapping) -> Strategy:
    """A strategy from options keyed as ``STRATEGY_KEYS`` (absent ones take their defaults)."""
    from ..const import CovModel

    portfolio = PortfolioOptions(options)
    pool = portfolio.pool()
    index_pool = options.get("index_pool")
    if index_pool and pool:
        raise InvalidArgument(
            f"give the pool either as identifiers or as --index-pool {index_pool}, not both"
        )
    if not (index_pool or pool):
        raise InvalidArgument("the pool is empty: give identifiers or --index-pool")
    bnds = portfolio.bounds()
    objective_name = options.get("objective") or "min_variance"
    objective = jobs.make_objective(objective_name, portfolio.objective_inputs())
    cons = portfolio.constraints()
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
        price_limits=not options.get("no_price_limits"),
    )


def load_config(path: str | Path) -> tuple[dict, list[Strategy]]:
    """The settings and strategies of a TOML config file."""
    try:
        with open(path, "rb") as file:
            config = tomllib.load(file)
    except tomllib.TOMLDecodeError as error:
        raise InvalidArgument(f"{path} is not valid TOML: {error}") from None
    unknown = [key for key in config if key not in (*SETTING_KEYS, "strategy")]
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
    return {key: config[key] for key in SETTING_KEYS if key in config}, strategies


def _settings(args: argparse.Namespace, from_file: Mapping) -> dict:
    """Each setting from the command line, or from the file where it is left at its default."""
    settings = {}
    for option in SETTINGS:
        given = getattr(args, option.key)
        settings[option.key] = (
            from_file.get(option.key, option.default) if given == option.default else given
        )
    return settings


def _cost(given: object) -> object:
    """A flat rate, or the A-share cost schedule for "ashare"."""
    if isinstance(given, str) and given.strip().lower() == "ashare":
        from ..trading import AShareCosts

        return AShareCosts()
    try:
        return float(given)
    except (TypeError, ValueError):
        raise InvalidArgument(f"cost must be a number or 'ashare', got {given!r}") from None


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


def run(args: argparse.Namespace) -> int:
    from ..backtest.engine import run_backtests
    from ..backtest.executors import BacktestError

    from_file: dict = {}
    if args.config:
        from_file, strategies = load_config(args.config)
    else:
        strategies = [strategy_from_options(vars(args))]
    settings = _settings(args, from_file)
    if settings["data"]:
        quotaris.init(settings["data"])
    for strategy in strategies:
        if isinstance(strategy.pool, list):
            _, unknown = quotaris.find_instruments(strategy.pool)
            if unknown:
                raise InvalidArgument(
                    f"strategy {strategy.name!r}: the market data does not know "
                    f"{', '.join(unknown)}"
                )
    if settings["start"] is None or settings["end"] is None:
        raise InvalidArgument("a backtest needs --start and --end (or start and end in --config)")
    if args.output:
        refuse_to_replace(args.output, args.overwrite)
    try:
        results = run_backtests(
            strategies,
            settings["start"],
            settings["end"],
            _rebalance_rule(settings["rebalance"]),
            _cost(settings["cost"]),
            args.on_failure,
            executor=args.workers or args.dask,
            progress=ProgressBar(sys.stderr),
            capital=settings["capital"],
        )
    except BacktestError as error:
        return report_error(error, EXIT_FAILED)
    print_statistics(results, sys.stdout)
    if args.output:
        save_all(results, Path(args.output), args.overwrite)
        print(f"saved to {args.output}")
    return EXIT_OK


def print_statistics(results: dict[str, BacktestResult], out: TextIO) -> None:
    table = pd.DataFrame({name: result.stats() for name, result in results.items()})
    out.write(table.to_string(float_format=lambda value: f"{value:.4f}") + "\n")
    for name, result in results.items():
        if result.holdings is not None:
            print(f"{name}: {result.holdings_summary()}", file=out)
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
