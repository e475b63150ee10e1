"""``plovera optimize``: one optimisation, its weights written as CSV or JSON."""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path
from typing import TextIO

import pandas as pd

from .. import jobs
from ..exception import InvalidArgument, OptimizationFailed
from .options import (
    DATA,
    EXIT_OK,
    PORTFOLIO,
    PortfolioOptions,
    add_options,
    calendar_date,
)
from .report import write_risk_report

__all__ = ["add_command", "run", "write_weights"]


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
    cons = portfolio.constraints(turnover=args.turnover_limit, holdings=args.holdings)
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


def _check_output(path: str, fmt: str, overwrite: bool) -> None:
    """Refuse an --output that names another format or would silently replace a file.

    A name without a suffix is taken as is; a device such as /dev/stdout is
    not a file that could be lost.
    """
    suffix = os.path.splitext(path)[1]
    if suffix and suffix.lower() != f".{fmt}":
        raise InvalidArgument(
            f"--output {path}: the weights are written as {fmt.upper()}, not {suffix}; "
            f"name the file .{fmt}"
        )
    if os.path.isdir(path):
        raise InvalidArgument(f"--output {path} is a directory; name a file")
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
