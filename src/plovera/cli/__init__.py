"""The ``plovera`` command line.

One module a command: its ``add_command`` adds the parser to the subcommand
list and points it at the function that runs it; ``SUBCOMMANDS`` registers
them, and ``options`` holds what they share. A refused input prints one line
on stderr and exits with ``EXIT_REFUSED``.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Callable, Sequence

from quotaris.source import QuotarisError

from . import backtest, data, demo, optimize, report, riskmodel, signal
from .options import (
    EXIT_BROKEN_PIPE,
    EXIT_FAILED,
    EXIT_OK,
    EXIT_REFUSED,
    calendar_date,
    report_error,
)

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_FAILED",
    "EXIT_OK",
    "EXIT_REFUSED",
    "SUBCOMMANDS",
    "build_parser",
    "calendar_date",
    "main",
]

_EXIT_STATUS_HELP = f"""exit status:
  {EXIT_OK}    done
  {EXIT_FAILED}    the solver found no portfolio
  {EXIT_REFUSED}    refused: a usage error, or an argument or data the command cannot use
  {EXIT_BROKEN_PIPE}  the reader of the output went away (broken pipe)"""

#: Every subcommand's parser builder, in the order ``--help`` lists them.
SUBCOMMANDS: tuple[Callable[[argparse._SubParsersAction], None], ...] = (
    demo.add_command,
    optimize.add_command,
    report.add_command,
    backtest.add_command,
    data.add_command,
    riskmodel.add_command,
    signal.add_command,
)


class _Parser(argparse.ArgumentParser):
    """Reports a usage error on one line, like every other refusal."""

    def error(self, message: str):
        self.exit(EXIT_REFUSED, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


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
    from ..exception import InvalidArgument, OptimizationFailed

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
        return report_error(exc, EXIT_REFUSED)
    except OptimizationFailed as exc:
        return report_error(exc, EXIT_FAILED)
    finally:
        warnings.showwarning = shown_by


def _show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    """A warning as one line like the errors: where in plovera it arose means nothing here."""
    text = " ".join(str(message).split())
    out = sys.stderr if file is None else file
    print(f"plovera: warning: {category.__name__}: {text}", file=out)
