"""``plovera optimize``: one optimisation, its weights written as CSV or JSON."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from pathlib import Path
from typing import TextIO

import pandas as pd

from .. import jobs
from ..exception import InvalidArgument, OptimizationFailed
from ..trading.orders import Orders, held_weights, to_orders
from .options import (
    DATA,
    EXIT_OK,
    PORTFOLIO,
    PortfolioOptions,
    add_options,
    calendar_date,
)
from .report import write_risk_report

__all__ = ["ORDER_COLUMNS", "add_command", "run", "write_orders", "write_weights"]

#: A target weight at or below this, with no shares before or after, is left out of an
#: orders file: the solver's round-off, not a position.
HELD_TARGET = 1e-6
#: The columns of an orders file, after order_book_id.
ORDER_COLUMNS = (
    "state",
    "price",
    "held",
    "shares",
    "buy",
    "sell",
    "buy_value",
    "sell_value",
    "value",
)


def add_command(subcommands: argparse._SubParsersAction) -> None:
    command = subcommands.add_parser(
        "optimize",
        help="optimise a pool and write its weights",
        description="Optimise the weights of a pool of stocks on a date.",
    )
    add_options(command, (*PORTFOLIO, DATA))
    command.add_argument(
        "--date", type=calendar_date, required=True, help="optimisation date, e.g. 2025-06-30"
    )
    command.add_argument(
        "--turnover-limit", type=float, metavar="T", help="turnover against --holdings at most T"
    )
    command.add_argument("--holdings", metavar="CSV", help="order_book_id,weight rows held now")
    command.add_argument(
        "--trading-limits",
        action="store_true",
        help="keep stocks at limit-up (no buying), limit-down (no selling) or suspended on "
        "--date from moving past their --holdings weights",
    )
    command.add_argument(
        "--capital", type=float, metavar="YUAN", help="the portfolio's value, for --orders"
    )
    command.add_argument(
        "--orders",
        metavar="FILE.csv",
        help="write whole-lot orders at the close of --date that turn --held-shares into "
        "the weights (needs --capital)",
    )
    command.add_argument(
        "--held-shares", metavar="CSV", help="order_book_id,shares rows held now, for --orders"
    )
    command.add_argument(
        "--output", metavar="FILE", help="write the weights here (FILE.csv or FILE.json)"
    )
    command.add_argument("--overwrite", action="store_true", help="replace an existing --output")
    command.add_argument("--format", choices=("csv", "json"), help="default: by --output suffix")
    command.add_argument("--report", metavar="FILE.png", help="write a risk report of the weights")
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    import quotaris

    from ..diagnosis import diagnose

    fmt = args.format or ("json" if str(args.output).lower().endswith(".json") else "csv")
    if args.output:
        # Before optimising: a refusal should not wait for the solver.
        _check_output(args.output, fmt, args.overwrite)
    _check_orders(args)
    if args.data:
        quotaris.init(args.data)
    portfolio = PortfolioOptions(vars(args))
    pool = portfolio.pool()
    if args.index_pool:
        constituents = quotaris.index_weights(args.index_pool, args.date)
        if constituents is None or constituents.empty:
            raise InvalidArgument(f"{args.index_pool} has no constituents on {args.date}")
        pool += list(constituents.index)
    bnds = portfolio.bounds()
    held_shares = None
    if args.held_shares:
        held_shares = jobs.read_series(args.held_shares, "held shares")
    holdings = args.holdings
    wanted = args.trading_limits or args.turnover_limit is not None
    if wanted and holdings is None and held_shares is not None:
        # The shares held, as weights at the close the orders trade at.
        holdings = held_weights(held_shares, args.capital, args.date)
    cons = portfolio.constraints(
        turnover=args.turnover_limit, holdings=holdings, trading_limits=args.trading_limits
    )
    inputs = portfolio.objective_inputs()
    try:
        outcome = jobs.optimize(
            pool,
            args.date,
            args.objective,
            bnds,
            args.benchmark,
            args.cov_model,
            cons=cons,
            **inputs,
        )
    except OptimizationFailed as failure:
        # Say what the failure means and which constraints conflict; the
        # failure itself is still reported.
        print(f"plovera: {_failure_meaning(failure)}", file=sys.stderr)
        made = jobs.make_objective(args.objective, inputs)
        found = diagnose(pool, args.date, made, bnds, cons or None, args.benchmark, args.cov_model)
        print(found, file=sys.stderr)
        raise
    write_weights(outcome.weights, args.output, fmt, sys.stdout)
    if args.output:
        jobs.describe(f"{args.objective} on {args.date}", outcome, sys.stderr)
    if args.orders:
        orders = to_orders(
            outcome.weights, args.capital, args.date, held_shares, cov_model=args.cov_model
        )
        write_orders(orders, args.orders)
        print(orders, file=sys.stderr)
    if args.report:
        write_risk_report(
            outcome.weights,
            args.date,
            args.benchmark,
            args.cov_model,
            net=1.0,
            picture=args.report,
            out=sys.stderr,
        )
    return EXIT_OK


def _check_orders(args: argparse.Namespace) -> None:
    """Refuse order options that do not go together, before anything is optimised."""
    if (args.orders is None) != (args.capital is None):
        raise InvalidArgument(
            "--orders needs --capital (the portfolio's value in yuan), and --capital --orders"
        )
    if args.held_shares and not args.orders:
        raise InvalidArgument("--held-shares are read by --orders only: give --orders FILE.csv")
    if args.capital is not None and not (math.isfinite(args.capital) and args.capital > 0):
        raise InvalidArgument(f"--capital must be a positive number of yuan, got {args.capital}")
    if args.orders:
        _check_output(args.orders, "csv", args.overwrite, "--orders", "orders")


def write_orders(orders: Orders, destination: str) -> None:
    """The orders as CSV: one row per stock held before or after them, or that the
    target weights though the day's limits keep it out (solver round-off is no weight)."""
    table = orders.table
    kept = (table["held"] > 0) | (table["shares"] > 0) | (table["target_weight"] > HELD_TARGET)
    Path(destination).write_text(table.loc[kept, [*ORDER_COLUMNS]].to_csv(), encoding="utf-8")


def _check_output(
    path: str, fmt: str, overwrite: bool, option: str = "--output", what: str = "weights"
) -> None:
    """Refuse an --output (or ``option``) that names another format or would silently
    replace a file.

    A name without a suffix is taken as is; a device such as /dev/stdout is
    not a file that could be lost.
    """
    suffix = os.path.splitext(path)[1]
    if suffix and suffix.lower() != f".{fmt}":
        raise InvalidArgument(
            f"{option} {path}: the {what} are written as {fmt.upper()}, not {suffix}; "
            f"name the file .{fmt}"
        )
    if os.path.isdir(path):
        raise InvalidArgument(f"{option} {path} is a directory; name a file")
    if os.path.isfile(path) and not overwrite:
        raise InvalidArgument(f"{path} already exists; pass --overwrite to replace it")


def _failure_meaning(failure: Exception) -> str:
    """What an OptimizationFailed says, for a reader who does not know the solver's codes."""
    value = str(failure)
    if value == "inf":
        return (
            "no portfolio meets all the constraints: the solver found the problem "
            "infeasible (OptimizationFailed: inf). Which constraints conflict:"
        )
    if value == "failed":
        return "the solver failed on this problem (OptimizationFailed: failed). The constraints:"
    return f"the solver stopped without a solution (OptimizationFailed: {value}). The constraints:"


def write_weights(weights: pd.Series, destination: str | None, fmt: str, out: TextIO) -> None:
    """Weights as CSV (order_book_id,weight) or as a JSON object, to a file or ``out``."""
    if fmt == "json":
        text = json.dumps({k: float(v) for k, v in weights.items()}, indent=2) + "\n"
    else:
        text = weights.rename("weight").rename_axis("order_book_id").to_csv()
    if destination is None:
        out.write(text)
    else:
        Path(destination).write_text(text, encoding="utf-8")
