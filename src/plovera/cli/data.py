"""``plovera data import|info``: build and inspect market-data bundles."""

from __future__ import annotations

import argparse

from ..exception import InvalidArgument
from .options import EXIT_OK, refuse_to_replace

__all__ = ["add_command", "run_import", "run_info"]

#: The optional tables of an import, each with the columns its file holds.
OPTIONAL_TABLES = {
    "--market-caps": "date, order_book_id, total, float [, turnover]",
    "--index-weights": "date, index_id, order_book_id, weight",
    "--industries": "order_book_id, scheme, start_date, industry_code, industry_name",
    "--fundamentals": "order_book_id, announce_date, fields...",
    "--special-treatment": "order_book_id, start_date, end_date, status (ST or *ST)",
}


def add_command(subcommands: argparse._SubParsersAction) -> None:
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
    for flag, columns in OPTIONAL_TABLES.items():
        importing.add_argument(flag, metavar="FILE", help=columns)
    importing.add_argument(
        "--signal",
        action="append",
        default=[],
        type=_named_file,
        metavar="NAME=FILE",
        help="a signal table (date, order_book_id, value) under NAME; may be repeated",
    )
    importing.add_argument(
        "--calendar",
        default="XSHG",
        help="exchange_calendars code of the trading calendar (default: %(default)s)",
    )
    importing.add_argument(
        "--overwrite", action="store_true", help="replace an existing bundle at DEST"
    )
    importing.set_defaults(run=run_import)

    info = actions.add_parser(
        "info",
        help="verify a bundle and summarise its manifest",
        description="Open a bundle, verifying every file, and print its manifest's summary.",
    )
    info.add_argument(
        "path",
        metavar="PATH",
        nargs="?",
        help="directory of the bundle (default: the bundle in use, the demo market's unless "
        "chosen otherwise)",
    )
    info.set_defaults(run=run_info)


def _named_file(text: str) -> tuple[str, str]:
    name, equals, path = text.partition("=")
    if not (equals and name and path):
        raise argparse.ArgumentTypeError(f"expected NAME=FILE, got {text!r}")
    return name, path


def _signals(given: list[tuple[str, str]]) -> dict[str, str] | None:
    signals: dict[str, str] = {}
    for name, path in given:
        if name in signals:
            raise InvalidArgument(f"--signal {name} is given twice")
        signals[name] = path
    return signals or None


def run_import(args: argparse.Namespace) -> int:
    from quotaris.importer import import_bundle

    # The importer's own refusal names its Python keyword; say it in options.
    refuse_to_replace(args.dest, args.overwrite)
    path = import_bundle(
        args.dest,
        instruments=args.instruments,
        prices=args.prices,
        returns=args.returns,
        market_caps=args.market_caps,
        index_weights=args.index_weights,
        industries=args.industries,
        fundamentals=args.fundamentals,
        special_treatment=args.special_treatment,
        signals=_signals(args.signal),
        calendar=args.calendar,
        overwrite=args.overwrite,
    )
    print(f"bundle written to {path}")
    return EXIT_OK


def run_info(args: argparse.Namespace) -> int:
    import quotaris
    from quotaris.bundle import BundleSource
    from quotaris.validate import INSTRUMENT_TYPES

    if args.path is None:
        current = quotaris.get_source()
        if not isinstance(current, BundleSource):
            raise InvalidArgument(
                f"the data in use is a {type(current).__name__}, not a bundle: give a bundle's PATH"
            )
        # Opened by its path as with PATH, so that a bundle changed since it was
        # chosen is verified afresh.
        source = BundleSource(current.path)
    else:
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
    return EXIT_OK
