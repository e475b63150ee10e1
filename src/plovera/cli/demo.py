"""``plovera demo``: optimisations on the built-in demo market."""

from __future__ import annotations

import argparse
import sys

import quotaris

from .. import jobs
from ..exception import InvalidArgument
from ..riskmodel import risk_model
from ..riskmodel.exante import ex_ante_risk
from .options import EXIT_OK, calendar_date

__all__ = ["add_command", "run"]

DEMO_BENCHMARK = "000300.XSHG"
#: The tracking portfolio of the demo holds the largest benchmark constituents only.
DEMO_TRACKING_POOL = 100
DEMO_WEIGHT_CAP = 0.05


def add_command(subcommands: argparse._SubParsersAction) -> None:
    command = subcommands.add_parser(
        "demo",
        help="optimise on the built-in demo market",
        description=(
            "Minimum tracking error against 000300.XSHG with its largest constituents, and "
            "minimum variance over all of them, on the demo market (built on first use)."
        ),
    )
    command.add_argument(
        "--date", type=calendar_date, help="optimisation date (default: the last trading day)"
    )
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Two optimisations on the demo market's CSI 300 constituents."""
    out = sys.stdout
    calendar = quotaris.get_source().trading_dates()
    day = quotaris.to_date(args.date) if args.date else calendar[-1].date()
    constituents = quotaris.index_weights(DEMO_BENCHMARK, day)
    if constituents is None or constituents.empty:
        raise InvalidArgument(f"{DEMO_BENCHMARK} has no constituents on {day}")
    largest = list(constituents.sort_values(ascending=False).index[:DEMO_TRACKING_POOL])
    print(f"Demo market, {day}: {DEMO_BENCHMARK} has {len(constituents)} constituents\n", file=out)
    # Built here on first use, so its minute is not counted as the first solve's time.
    risk_model()

    tracking = jobs.optimize(largest, day, "min_tracking_error", benchmark=DEMO_BENCHMARK)
    jobs.describe(
        f"Minimum tracking error against {DEMO_BENCHMARK} "
        f"with its {DEMO_TRACKING_POOL} largest constituents",
        tracking,
        out,
    )
    print(file=out)
    capped = {"*": (0.0, DEMO_WEIGHT_CAP)}
    variance = jobs.optimize(list(constituents.index), day, "min_variance", capped)
    jobs.describe(
        f"Minimum variance over all {len(constituents)} constituents, "
        f"each at most {DEMO_WEIGHT_CAP:.0%}",
        variance,
        out,
    )
    index = constituents.reindex(variance.helper.order_book_ids)
    index_risk = ex_ante_risk(variance.helper.get_factor_model(), index).volatility
    print(f"  the index itself       {index_risk:.2%} a year", file=out)
    return EXIT_OK
