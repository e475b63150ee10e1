"""The ``plovera`` command line.

Each subcommand is a function that adds its parser to the subcommand list and
points it at the function that runs it; ``SUBCOMMANDS`` registers them.
A refused input prints one line on stderr and exits with ``EXIT_REFUSED``.
"""

from __future__ import annotations

import argparse
import datetime
import os
import re
import sys
import warnings
from collections.abc import Callable, Sequence

from quotaris.source import QuotarisError

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_FAILED",
    "EXIT_OK",
    "EXIT_REFUSED",
    "SUBCOMMANDS",
    "build_parser",
    "main",
]

EXIT_OK = 0
EXIT_FAILED = 1  # the solver found no portfolio
EXIT_REFUSED = 2  # a usage error, or an argument or data the command refused
# The reader of the output went away (`| head`): the status of a process
# ended by SIGPIPE, as shells report it.
EXIT_BROKEN_PIPE = 128 + 13

_EXIT_STATUS_HELP = f"""exit status:
  {EXIT_OK}    done
  {EXIT_FAILED}    the solver found no portfolio
  {EXIT_REFUSED}    refused: a usage error, or an argument or data the command cannot use
  {EXIT_BROKEN_PIPE}  the reader of the output went away (broken pipe)"""

_DATE_TEXT = re.compile(r"(\d{4})-(\d{2})-(\d{2})|(\d{4})(\d{2})(\d{2})")


class _Parser(argparse.ArgumentParser):
    """Reports a usage error on one line, like every other refusal."""

    def error(self, message: str):
        self.exit(EXIT_REFUSED, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def calendar_date(text: str) -> datetime.date:
    """A whole calendar date, YYYY-MM-DD or YYYYMMDD: nothing is filled in from today."""
    match = _DATE_TEXT.fullmatch(text.strip())
    try:
        if match is None:
            raise ValueError(text)
        year, month, day = (int(part) for part in match.groups() if part is not None)
        return datetime.date(year, month, day)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a calendar date: {text!r} (expected YYYY-MM-DD, e.g. 2025-06-30)"
        ) from None


def positive_int(text: str) -> int:
    """A whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {text!r}")
    return value


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
    info.add_argument(
        "path",
        metavar="PATH",
        nargs="?",
        help="directory of the bundle (default: the bundle in use, the demo market's unless "
        "chosen otherwise)",
    )
    info.set_defaults(run=run_data_info)


def run_data_import(args: argparse.Namespace) -> int:
    from quotaris.importer import import_bundle

    from .exception import InvalidArgument

    # The importer's own refusal names its Python keyword; say it in options.
    if not args.overwrite and _occupied(args.dest):
        raise InvalidArgument(f"{args.dest} already exists; pass --overwrite to replace it")
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
    return EXIT_OK


def _occupied(path: str) -> bool:
    """Whether writing a bundle at ``path`` would replace something: not absent, not empty."""
    if not os.path.lexists(path):
        return False
    return not (os.path.isdir(path) and not os.listdir(path))


def run_data_info(args: argparse.Namespace) -> int:
    import quotaris
    from quotaris.bundle import BundleSource
    from quotaris.validate import INSTRUMENT_TYPES

    from .exception import InvalidArgument

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


def add_demo_command(subcommands: argparse._SubParsersAction) -> None:
    """``plovera demo``: optimisations on the built-in demo market."""
    demo = subcommands.add_parser(
        "demo",
        help="optimise on the built-in demo market",
        description=(
            "Minimum tracking error against 000300.XSHG with its largest constituents, and "
            "minimum variance over all of them, on the demo market (built on first use)."
        ),
    )
    demo.add_argument(
        "--date", type=calendar_date, help="optimisation date (default: the last trading day)"
    )
    demo.set_defaults(run=run_demo)


def run_demo(args: argparse.Namespace) -> int:
    from .jobs import run_demo as demo

    demo(args.date, sys.stdout)
    return EXIT_OK


def add_portfolio_options(command: argparse.ArgumentParser) -> None:
    """The pool, objective, bound and constraint options of every optimising command."""
    from .jobs import OBJECTIVES

    command.add_argument("pool", nargs="*", metavar="ID", help="order_book_ids of the pool")
    command.add_argument("--pool-file", help="file of order_book_ids, one per line")
    command.add_argument("--index-pool", metavar="INDEX", help="the index's constituents as pool")
    command.add_argument("--objective", choices=OBJECTIVES, default="min_variance")
    command.add_argument(
        "--bound",
        action="append",
        default=[],
        metavar="ID=LOW:HIGH",
        help="weight bounds of one stock, or of all others with ID '*' (repeatable)",
    )
    command.add_argument("--benchmark", metavar="INDEX", help="benchmark index order_book_id")
    command.add_argument("--cov-model", default="daily", choices=("daily", "monthly", "quarterly"))
    command.add_argument("--data", metavar="PATH", help="data bundle (default: the demo market)")
    command.add_argument(
        "--expected-returns",
        metavar="CSV",
        help="order_book_id,value rows: annual expected returns (mean_variance, max_sharpe_ratio)",
    )
    command.add_argument(
        "--expected-active-returns",
        metavar="CSV",
        help="order_book_id,value rows: annual returns over the benchmark (max_information_ratio)",
    )
    command.add_argument("--indicator", metavar="CSV", help="order_book_id,value rows")
    command.add_argument("--risk-aversion", type=float, help="mean_variance coefficient")
    command.add_argument(
        "--window",
        type=positive_int,
        help="look-back of estimated returns, in trading days (default: a year)",
    )
    command.add_argument(
        "--style", action="append", default=[], metavar="STYLE=TARGET", help="style target"
    )
    command.add_argument(
        "--priority", action="append", default=[], metavar="STYLE=P", help="style priority 0-9"
    )
    command.add_argument("--relative", action="store_true", help="style targets over benchmark")
    command.add_argument(
        "--industry-neutral",
        type=float,
        metavar="GAP",
        help="every industry weight within GAP of the benchmark's, e.g. 0.01",
    )
    command.add_argument(
        "--industry-classification",
        default="sws",
        choices=("sws", "citic", "sws_nonbank_split"),
        help="industry scheme of --industry-neutral",
    )
    command.add_argument(
        "--style-neutral",
        type=float,
        metavar="GAP",
        help="every style exposure within GAP of the benchmark's, e.g. 0.1",
    )
    command.add_argument(
        "--tracking-error-limit", type=float, metavar="TE", help="annual tracking error at most TE"
    )
    command.add_argument(
        "--component-floor",
        type=float,
        metavar="W",
        help="weight in the benchmark's constituents at least W",
    )


def add_optimize_command(subcommands: argparse._SubParsersAction) -> None:
    """``plovera optimize``: one optimisation, weights written as CSV or JSON."""
    command = subcommands.add_parser(
        "optimize",
        help="optimise a pool and write its weights",
        description="Optimise the weights of a pool of stocks on a date.",
    )
    add_portfolio_options(command)
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
    command.set_defaults(run=run_optimize)


def add_backtest_command(subcommands: argparse._SubParsersAction) -> None:
    """``plovera backtest``: a strategy rebalanced over a range of dates."""
    command = subcommands.add_parser(
        "backtest",
        help="backtest a strategy over a range of dates",
        description=(
            "Optimise on every rebalance date from --start to --end, trade at the close, let "
            "the holdings drift in between, and print the statistics. --config FILE.toml "
            "backtests several strategies at once."
        ),
    )
    add_portfolio_options(command)
    command.add_argument("--start", type=calendar_date, help="first day, e.g. 2019-01-01")
    command.add_argument("--end", type=calendar_date, help="last day, e.g. 2025-12-31")
    command.add_argument(
        "--rebalance",
        default="monthly",
        metavar="RULE",
        help="monthly, weekly, every N trading days, or dates separated by commas "
        "(default: %(default)s)",
    )
    command.add_argument(
        "--cost", type=float, default=0.0, help="cost per unit of traded value, e.g. 0.001"
    )
    command.add_argument(
        "--max-turnover", type=float, metavar="T", help="turnover at each rebalance at most T"
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
    command.add_argument("--name", help="name of the strategy (default: from its objective)")
    command.add_argument("--output", metavar="DIR", help="save tables, summary and plot here")
    command.add_argument("--overwrite", action="store_true", help="replace an existing --output")
    command.set_defaults(run=run_backtest)


def run_backtest(args: argparse.Namespace) -> int:
    from .backtest.cli import run

    return run(args, sys.stdout, sys.stderr)


def run_optimize(args: argparse.Namespace) -> int:
    import quotaris

    from .diagnosis import diagnose
    from .exception import InvalidArgument, OptimizationFailed
    from .jobs import (
        _make_objective,
        describe,
        make_constraints,
        optimize,
        parse_bound,
        write_weights,
    )

    fmt = args.format or ("json" if str(args.output).lower().endswith(".json") else "csv")
    if args.output:
        # Before optimising: a refusal should not wait for the solver.
        _check_weights_output(args.output, fmt, args.overwrite)
    if args.data:
        quotaris.init(args.data)
    pool = list(args.pool)
    if args.pool_file:
        with open(args.pool_file, encoding="utf-8") as lines:
            pool += [line.strip() for line in lines if line.strip()]
    if args.index_pool:
        constituents = quotaris.index_weights(args.index_pool, args.date)
        if constituents is None or constituents.empty:
            raise InvalidArgument(f"{args.index_pool} has no constituents on {args.date}")
        pool += list(constituents.index)
    bnds = dict(parse_bound(text) for text in args.bound) if args.bound else None
    cons = make_constraints(
        industry_neutral=args.industry_neutral,
        style_neutral=args.style_neutral,
        tracking_error=args.tracking_error_limit,
        turnover=args.turnover_limit,
        holdings=args.holdings,
        component_floor=args.component_floor,
        classification=args.industry_classification,
    )
    options = dict(
        expected_returns=args.expected_returns,
        expected_active_returns=args.expected_active_returns,
        indicator=args.indicator,
        risk_aversion=args.risk_aversion,
        window=args.window,
        style=args.style,
        priority=args.priority,
        relative=args.relative,
    )
    try:
        outcome = optimize(
            pool,
            args.date,
            args.objective,
            bnds,
            args.benchmark,
            args.cov_model,
            cons=cons,
            **options,
        )
    except OptimizationFailed as failure:
        # Say what the failure means and which constraints conflict; the
        # failure itself is still reported.
        print(f"plovera: {_failure_meaning(failure)}", file=sys.stderr)
        made = _make_objective(args.objective, options)
        found = diagnose(pool, args.date, made, bnds, cons or None, args.benchmark, args.cov_model)
        print(found, file=sys.stderr)
        raise
    write_weights(outcome.weights, args.output, fmt, sys.stdout)
    if args.output:
        describe(f"{args.objective} on {args.date}", outcome, sys.stderr)
    if args.report:
        _write_report(outcome.weights, args, args.report, 1.0, sys.stderr)
    return EXIT_OK


def _check_weights_output(path: str, fmt: str, overwrite: bool) -> None:
    """Refuse an --output that names another format or would silently replace a file.

    A name without a suffix is taken as is; a device such as /dev/stdout is
    not a file that could be lost.
    """
    from .exception import InvalidArgument

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


def add_report_command(subcommands: argparse._SubParsersAction) -> None:
    """``plovera report``: where the risk of a weights file comes from."""
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
    command.add_argument("--benchmark", metavar="INDEX", help="benchmark index order_book_id")
    command.add_argument("--cov-model", default="daily", choices=("daily", "monthly", "quarterly"))
    command.add_argument("--data", metavar="PATH", help="data bundle (default: the demo market)")
    command.add_argument(
        "--net",
        type=float,
        default=1.0,
        help="what the weights must add up to (default: %(default)s; 0 for a dollar-neutral book)",
    )
    command.add_argument("--output", metavar="FILE.png", help="write the report's picture here")
    command.set_defaults(run=run_report)


def run_report(args: argparse.Namespace) -> int:
    import quotaris

    from .jobs import read_series

    if args.data:
        quotaris.init(args.data)
    _write_report(read_series(args.weights, "weights"), args, args.output, args.net, sys.stdout)
    return EXIT_OK


def _write_report(weights, args: argparse.Namespace, picture, net, out) -> None:
    """Print the risk report of ``weights``; write its picture to ``picture`` if given."""
    from .report import risk_report

    report = risk_report(weights, args.date, args.benchmark, args.cov_model, net=net)
    print(report, file=out)
    if picture:
        report.plot(picture)
        print(f"risk report written to {picture}", file=out)


#: Every subcommand's parser builder, in the order ``--help`` lists them.
def add_riskmodel_command(subcommands: argparse._SubParsersAction) -> None:
    """``plovera riskmodel build|info``: the factor risk model of a bundle."""
    command = subcommands.add_parser(
        "riskmodel",
        help="build and inspect the factor risk model of a bundle",
        description=(
            "The risk model behind every covariance is built once per bundle, on first use, "
            "and kept in the cache; these commands build it ahead of time and summarise it."
        ),
    )
    actions = command.add_subparsers(dest="action", required=True, metavar="ACTION")
    build = actions.add_parser(
        "build",
        help="build (or extend) the bundle's risk model now",
        description="Build the bundle's risk model into the cache, unless it is built already.",
    )
    info = actions.add_parser(
        "info",
        help="summarise the bundle's risk model",
        description="Summarise the bundle's built risk model: dates, universe, factors, fit.",
    )
    for action in (build, info):
        action.add_argument("--data", metavar="PATH", help="data bundle (default: the demo market)")
    build.set_defaults(run=run_riskmodel_build)
    info.set_defaults(run=run_riskmodel_info)


def _bundle_source(args: argparse.Namespace):
    import quotaris
    from quotaris.bundle import BundleSource

    from .exception import InvalidArgument

    if args.data:
        quotaris.init(args.data)
    source = quotaris.get_source()
    if not isinstance(source, BundleSource):
        raise InvalidArgument(f"{source!r} is not a bundle: its risk model is not kept")
    return source


def run_riskmodel_build(args: argparse.Namespace) -> int:
    from .riskmodel import risk_model
    from .riskmodel.store import stored_model_path

    source = _bundle_source(args)
    model = risk_model()
    print(f"risk model of {source.path}: {stored_model_path(source)}")
    print(
        f"built in {model.build_seconds:.1f} s; first date it can serve {model.first_date.date()}"
    )
    return EXIT_OK


def run_riskmodel_info(args: argparse.Namespace) -> int:
    from .exception import InvalidArgument
    from .jobs import describe_risk_model
    from .riskmodel.store import stored_model

    source = _bundle_source(args)
    found = stored_model(source)
    if found is None:
        raise InvalidArgument(
            f"no risk model is built for {source.path}: run plovera riskmodel build"
        )
    describe_risk_model(*found, sys.stdout)
    return EXIT_OK


SUBCOMMANDS: tuple[Callable[[argparse._SubParsersAction], None], ...] = (
    add_demo_command,
    add_optimize_command,
    add_report_command,
    add_backtest_command,
    add_data_command,
    add_riskmodel_command,
)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="plovera",
        description="Portfolio optimisation for equity research.",
        epilog=_EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
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
    from .exception import InvalidArgument, OptimizationFailed

    # Only the display is changed, not the filters: the optimiser installs its
    # own at import, for the rest of the process.
    shown_by = warnings.showwarning
    warnings.showwarning = _show_warning
    try:
        return args.run(args)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except (QuotarisError, InvalidArgument, OSError) as exc:
        return _report(exc, EXIT_REFUSED)
    except OptimizationFailed as exc:
        return _report(exc, EXIT_FAILED)
    finally:
        warnings.showwarning = shown_by


def _show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    """A warning as one line like the errors: where in plovera it arose means nothing here."""
    text = " ".join(str(message).split())
    out = sys.stderr if file is None else file
    print(f"plovera: warning: {category.__name__}: {text}", file=out)


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


def _report(error: Exception, status: int) -> int:
    message = " ".join(str(error).split())
    print(f"plovera: error: {type(error).__name__}: {message}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
