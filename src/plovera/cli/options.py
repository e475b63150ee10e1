"""What the commands share: exit statuses, option types and definitions, error lines.

An option is defined once, as an ``Option``: parsers are built from it, and a
command that also reads options from a file takes the file's keys from it.
``PortfolioOptions`` reads the portfolio's options by those keys, from the
command line or from a file's table alike.
"""

from __future__ import annotations

import argparse
import datetime
import math
import os
import re
import sys
from collections.abc import Iterable, Mapping

from .. import jobs
from ..exception import InvalidArgument

__all__ = [
    "BENCHMARK",
    "CAPITAL",
    "CONSTRAINTS",
    "COV_MODEL",
    "DATA",
    "EXIT_BROKEN_PIPE",
    "EXIT_FAILED",
    "EXIT_OK",
    "EXIT_REFUSED",
    "OBJECTIVE_INPUTS",
    "POOL",
    "PORTFOLIO",
    "Option",
    "PortfolioOptions",
    "add_options",
    "calendar_date",
    "positive_int",
    "positive_yuan",
    "refuse_to_replace",
    "report_error",
]

EXIT_OK = 0
EXIT_FAILED = 1  # the solver found no portfolio
EXIT_REFUSED = 2  # a usage error, or an argument or data the command refused
# The reader of the output went away (`| head`): the status of a process
# ended by SIGPIPE, as shells report it.
EXIT_BROKEN_PIPE = 128 + 13

_DATE_TEXT = re.compile(r"(\d{4})-(\d{2})-(\d{2})|(\d{4})(\d{2})(\d{2})")


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


def positive_yuan(text: str) -> float:
    """An amount of money in yuan, above 0."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"not a positive number of yuan: {text!r}")
    return value


class Option:
    """One ``add_argument`` call kept as data, so that its name is written once."""

    def __init__(self, flag: str, **settings: object) -> None:
        self.flag = flag
        self.settings = settings

    @property
    def key(self) -> str:
        """Its name once parsed, and in files: ``--pool-file`` is ``pool_file``."""
        return self.flag.lstrip("-").replace("-", "_")

    @property
    def default(self) -> object:
        return self.settings.get("default")


def add_options(parser: argparse.ArgumentParser, options: Iterable[Option]) -> None:
    """Add ``options`` to ``parser`` (or to one of its argument groups)."""
    for option in options:
        parser.add_argument(option.flag, **option.settings)


DATA = Option("--data", metavar="PATH", help="data bundle (default: the demo market)")
BENCHMARK = Option("--benchmark", metavar="INDEX", help="benchmark index order_book_id")
COV_MODEL = Option("--cov-model", default="daily", choices=("daily", "monthly", "quarterly"))
CAPITAL = Option(
    "--capital",
    type=positive_yuan,
    metavar="YUAN",
    help="the money to start with: hold whole lots of shares bought at the close and the "
    "rest in cash (needs the market's closes)",
)

POOL = (
    Option("pool", nargs="*", metavar="ID", help="order_book_ids of the pool"),
    Option("--pool-file", help="file of order_book_ids, one per line"),
    Option("--index-pool", metavar="INDEX", help="the index's constituents as pool"),
)
#: What the objectives read besides the market data; each refuses those it does not read.
OBJECTIVE_INPUTS = (
    Option(
        "--expected-returns",
        metavar="CSV",
        help="order_book_id,value rows: annual expected returns (mean_variance, max_sharpe_ratio)",
    ),
    Option(
        "--expected-active-returns",
        metavar="CSV",
        help="order_book_id,value rows: annual returns over the benchmark (max_information_ratio)",
    ),
    Option("--indicator", metavar="CSV", help="order_book_id,value rows"),
    Option("--risk-aversion", type=float, help="mean_variance coefficient"),
    Option(
        "--window",
        type=positive_int,
        help="look-back of estimated returns, in trading days (default: a year)",
    ),
    Option("--style", action="append", default=[], metavar="STYLE=TARGET", help="style target"),
    Option("--priority", action="append", default=[], metavar="STYLE=P", help="style priority 0-9"),
    Option("--relative", action="store_true", help="style targets over benchmark"),
)
CONSTRAINTS = (
    Option(
        "--industry-neutral",
        type=float,
        metavar="GAP",
        help="every industry weight within GAP of the benchmark's, e.g. 0.01",
    ),
    Option(
        "--industry-classification",
        default="sws",
        choices=("sws", "citic", "sws_nonbank_split"),
        help="industry scheme of --industry-neutral",
    ),
    Option(
        "--style-neutral",
        type=float,
        metavar="GAP",
        help="every style exposure within GAP of the benchmark's, e.g. 0.1",
    ),
    Option(
        "--tracking-error-limit", type=float, metavar="TE", help="annual tracking error at most TE"
    ),
    Option(
        "--component-floor",
        type=float,
        metavar="W",
        help="weight in the benchmark's constituents at least W",
    ),
    Option("--max-holdings", type=positive_int, metavar="N", help="hold at most N stocks"),
    Option(
        "--min-weight",
        type=float,
        metavar="W",
        help="every stock held holds at least W, e.g. 0.005",
    ),
)
#: The pool, objective, bound and constraint options of every optimising command.
PORTFOLIO = (
    *POOL,
    Option("--objective", choices=jobs.OBJECTIVES, default="min_variance"),
    Option(
        "--bound",
        action="append",
        default=[],
        metavar="ID=LOW:HIGH",
        help="weight bounds of one stock, or of all others with ID '*' (repeatable)",
    ),
    BENCHMARK,
    COV_MODEL,
    *OBJECTIVE_INPUTS,
    *CONSTRAINTS,
)


class PortfolioOptions:
    """The ``PORTFOLIO`` options as given: parsed (``vars(args)``) or a file's table alike."""

    def __init__(self, given: Mapping) -> None:
        self.given = given

    def pool(self) -> list[str]:
        """The identifiers given one by one, then those of the pool file."""
        pool = list(self.given.get("pool") or [])
        if self.given.get("pool_file"):
            with open(self.given["pool_file"], encoding="utf-8") as lines:
                pool += [line.strip() for line in lines if line.strip()]
        return jobs.stock_ids(pool)

    def bounds(self) -> dict | None:
        texts = self.given.get("bound")
        if not texts:
            return None
        bounds = [jobs.parse_bound(text) for text in texts]
        ids = iter(jobs.stock_ids([key for key, _ in bounds if key != "*"]))
        return {key if key == "*" else next(ids): limits for key, limits in bounds}

    def objective_inputs(self) -> dict:
        return {option.key: self.given.get(option.key) for option in OBJECTIVE_INPUTS}

    def constraints(self, **more: object) -> list:
        """The constraints these options ask for, then those of ``make_constraints``' ``more``."""
        return jobs.make_constraints(
            industry_neutral=self.given.get("industry_neutral"),
            style_neutral=self.given.get("style_neutral"),
            tracking_error=self.given.get("tracking_error_limit"),
            component_floor=self.given.get("component_floor"),
            classification=self.given.get("industry_classification") or "sws",
            max_holdings=self.given.get("max_holdings"),
            min_weight=self.given.get("min_weight"),
            **more,
        )


def refuse_to_replace(path: str, overwrite: bool) -> None:
    """Refuse to write at ``path`` over what is there, unless --overwrite was passed.

    An empty directory holds nothing that could be lost.
    """
    if overwrite or not os.path.lexists(path):
        return
    if os.path.isdir(path) and not os.listdir(path):
        return
    raise InvalidArgument(f"{path} already exists; pass --overwrite to replace it")


def report_error(error: Exception, status: int) -> int:
    """Print ``error`` on one line of stderr, as every refusal is; return ``status``."""
    message = " ".join(str(error).split())
    print(f"plovera: error: {type(error).__name__}: {message}", file=sys.stderr)
    return status
