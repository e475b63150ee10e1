"""``plovera report``: where the risk of a weights file comes from."""

from __future__ import annotations

import argparse
import datetime
import sys
from typing import TextIO

import pandas as pd

from .. import jobs
from .options import BENCHMARK, COV_MODEL, DATA, EXIT_OK, add_options, calendar_date

__all__ = ["add_command", "run", "write_risk_report"]


def add_command(subcommands: argparse._SubParsersAction) -> None:
    command = subcommands.add_parser(
        "report",
        help="report where the risk of a portfolio comes from",
        description=(
            "Decompose the forecast risk of a portfolio (and its tracking error against a "
            "benchmark) by factor group, industry, style and stock."
        ),
    )
    command.add_argument("weights", metavar="WEIGHTS.csv", help="order_book_id,weight rows")
    command.add_argument(
        "--date", type=calendar_date, required=True, help="report date, e.g. 2025-06-30"
    )
    add_options(command, (BENCHMARK, COV_MODEL, DATA))
    command.add_argument(
        "--net",
        type=float,
        default=1.0,
        help="what the weights must add up to (default: %(default)s; 0 for a dollar-neutral book)",
    )
    command.add_argument("--output", metavar="FILE.png", help="write the report's picture here")
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    import quotaris

    if args.data:
        quotaris.init(args.data)
    weights = jobs.read_series(args.weights, "weights")
    write_risk_report(
        weights,
        args.date,
        args.benchmark,
        args.cov_model,
        net=args.net,
        picture=args.output,
        out=sys.stdout,
    )
    return EXIT_OK


def write_risk_report(
    weights: pd.Series,
    date: datetime.date,
    benchmark: str | None,
    cov_model: str,
    *,
    net: float,
    picture: str | None,
    out: TextIO,
) -> None:
    """Print the risk report of ``weights`` on ``out``; write its picture if named."""
    from ..report import risk_report

    report = risk_report(weights, date, benchmark, cov_model, net=net)
    print(report, file=out)
    if picture:
        report.plot(picture)
        print(f"risk report written to {picture}", file=out)
