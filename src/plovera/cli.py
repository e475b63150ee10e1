"""The ``plovera`` command line.

Each subcommand is a function that adds its parser to the subcommand list and
points it at the function that runs it; ``SUBCOMMANDS`` registers them.
A refused input prints one line on stderr and exits with status 2.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence

from quotaris.source import QuotarisError

__all__ = ["SUBCOMMANDS", "build_parser", "main"]

EXIT_REFUSED = 2


class _Parser(argparse.ArgumentParser):
    """Reports a usage error on one line, like every other refusal."""

    def error(self, message: str):
        self.exit(EXIT_REFUSED, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def add_data_command(subcommands: argparse._SubParsersAction) -> None:
    """``plovera data import|info``: build and inspect data bundles."""
    data = subcommands.add_parser(
        "data", help="build and inspect market-data bundles", description="Market-data bundles."
    )
    actions = data.add_subparsers(dest="action", required=True, metavar="ACTION")

    importing = actions.add_parser(
        "import",
        help="build a bundle from CSV or Parquet tables",
        description=(
            "Build a bundle from long tables (one row per instrument and date). Every table "
            "is checked before anything is written; a refused value is reported with its "
            "file, row (1 = first data row) and column."
        ),
    )
    importing.add_argument("dest", metavar="DEST", help="directory of the new bundle")
    importing.add_argument(
        "--instruments",
        required=True,
        metavar="FILE",
        help="order_book_id, type (CS or INDX), listed_date [, symbol, exchange, de_listed_date]",
    )
    daily = importing.add_mutually_exclusive_group(required=True)
    daily.add_argument("--prices", metavar="FILE", help="date, order_book_id, close")
    daily.add_argument("--returns", metavar="FILE", help="date, order_book_id, change_rate")
    importing.add_argument(
        "--market-caps",
        metavar="FILE",
        help="date, order_book_id, total, float [, turnover]",
    )
    importing.add_argument(
        "--index-weights", metavar="FILE", help="date, index_id, order_book_id, weight"
    )
    importing.add_argument(
        "--industries",
        metavar="FILE",
        help="order_book_id, scheme, start_date, industry_code, industry_name",
    )
    importing.add_argument(
        "--fundamentals", metavar="FILE", help="order_book_id, announce_date, fields..."
    )
    importing.add_argument(
        "--calendar",
        default="XSHG",
        help="exchange_calendars code of the trading calendar (default: %(default)s)",
    )
    importing.add_argument(
        "--overwrite", action="store_true", help="replace an existing bundle at DEST"
    )
    importing.set_defaults(run=run_data_import)

    info = actions.add_parser(
        "info",
        help="verify a bundle and summarise its manifest",
        description="Open a bundle, verifying every file, and print its manifest's summary.",
    )
    info.add_argument("path", metavar="PATH", help="directory of the bundle")
    info.set_defaults(run=run_data_info)


def run_data_import(args: argparse.Namespace) -> int:
    from quotaris.importer import import_bundle

    path = import_bundle(
        args.dest,
        instruments=args.instruments,
        prices=args.prices,
        returns=args.returns,
        market_caps=args.market_caps,
        index_weights=args.index_weights,
        industries=args.industries,
        fundamentals=args.fundamentals,
        calendar=args.calendar,
        overwrite=args.overwrite,
    )
    print(f"bundle written to {path}")
    return 0


def run_data_info(args: argparse.Namespace) -> int:
    from quotaris.bundle import BundleSource
    from quotaris.validate import INSTRUMENT_TYPES

    source = BundleSource(args.path)
    manifest = source.manifest
    counts = manifest.get("instruments", {})
    print(f"bundle       {source.path}")
    print(f"format       {manifest['format_version']}")
    print(
        f"calendar     {manifest['calendar']}, {manifest['trading_days']} trading days "
        f"from {manifest['start_date']} to {manifest['end_date']}"
    )
    print(
        "instruments  "
        + ", ".join(
            f"{count} {kind} ({INSTRUMENT_TYPES.get(kind, '?')})" for kind, count in counts.items()
        )
    )
    print(f"created      {manifest.get('created_at', '?')} by {manifest.get('created_by', '?')}")
    print("checksums    verified")
    print(f"{'file':<28}{'rows':>10}{'columns':>9}{'bytes':>13}  sha256")
    for name, entry in manifest["files"].items():
        print(
            f"{name:<28}{entry['rows']:>10,}{entry['columns']:>9,}{entry['bytes']:>13,}  "
            f"{entry['sha256'][:16]}"
        )
    return 0


#: Every subcommand's parser builder, in the order ``--help`` lists them.
SUBCOMMANDS: tuple[Callable[[argparse._SubParsersAction], None], ...] = (add_data_command,)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="plovera", description="Portfolio optimisation for equity research.")
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add_subcommand in SUBCOMMANDS:
        add_subcommand(subcommands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as stop:  # --help, or a usage error already reported
        return stop.code
    try:
        return args.run(args)
    except QuotarisError as exc:
        message = " ".join(str(exc).split())
        print(f"plovera: error: {message}", file=sys.stderr)
        return EXIT_REFUSED


if __name__ == "__main__":
    sys.exit(main())
