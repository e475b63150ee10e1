"""``plovera signal check``: does a signal of the market data predict?"""

from __future__ import annotations

import argparse
import sys

from .options import DATA, EXIT_OK, add_options, calendar_date, refuse_to_replace

__all__ = ["add_command", "run_check"]


def add_command(subcommands: argparse._SubParsersAction) -> None:
    signal = subcommands.add_parser(
        "signal",
        help="check the signals of the market data",
        description="Signals (alphas) the market data carries.",
    )
    actions = signal.add_subparsers(dest="action", required=True, metavar="ACTION")
    check = actions.add_parser(
        "check",
        help="information coefficients, their decay and quantile returns of a signal",
        description=(
            "Measure a signal of the market data against the forward returns of its stocks "
            "over 1, 5 and 21 trading days: IC and rank IC by date, their means by horizon "
            "and the mean return of each quintile; print the summary and write a PNG."
        ),
    )
    check.add_argument("name", metavar="NAME", help="the signal's name, e.g. demo_alpha")
    check.add_argument("--start", type=calendar_date, help="first signal date (default: its first)")
    check.add_argument("--end", type=calendar_date, help="last signal date (default: its last)")
    add_options(check, (DATA,))
    check.add_argument(
        "--output",
        metavar="FILE.png",
        help="where to write the picture (default: signal-NAME.png)",
    )
    check.add_argument("--overwrite", action="store_true", help="replace an existing --output")
    check.set_defaults(run=run_check)


def run_check(args: argparse.Namespace) -> int:
    import quotaris

    from ..signals import check_signal

    if args.data:
        quotaris.init(args.data)
    output = args.output or f"signal-{args.name}.png"
    refuse_to_replace(output, args.overwrite)
    history = quotaris.get_signal_history(args.name, args.start, args.end)
    checked = check_signal(history, name=args.name)
    print(checked.summary(), file=sys.stdout)
    checked.plot(output)
    print(f"picture written to {output}", file=sys.stdout)
    return EXIT_OK
