"""Optimisations by objective name, from options as the command line gives them.

The work behind ``plovera optimize``, ``plovera demo`` and the backtest's
strategies, kept apart from the command line so that Python callers (the
benchmarks, a config file's strategies) share it: objectives and constraints
made from options, bounds and series parsed from text, and ``optimize``, which
refuses with a reason what ``portfolio_optimize`` would drop.
"""

from __future__ import annotations

import datetime
import time
import warnings
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO

import pandas as pd

import quotaris
from quotaris.codes import EXPECTED_FORM, ORDER_BOOK_ID, CodeReader, to_order_book_id

from .const import TRADING_DAYS_PER_YEAR, CovModel
from .exception import InvalidArgument
from .riskmodel.exante import ex_ante_risk, held

__all__ = [
    "OBJECTIVES",
    "Outcome",
    "describe",
    "make_constraints",
    "make_objective",
    "optimize",
    "parse_bound",
    "read_series",
    "stock_ids",
]

#: Identifiers a message names before it only counts the rest.
NAMED_IN_MESSAGES = 10
#: The priorities ``MinStyleDeviation`` weighs; it would clip others silently.
PRIORITIES = range(10)


def _names(ids) -> str:
    ids = list(ids)
    shown = ", ".join(str(i) for i in ids[:NAMED_IN_MESSAGES])
    rest = len(ids) - NAMED_IN_MESSAGES
    return shown if rest <= 0 else f"{shown} and {rest} more"


@dataclass
class Outcome:
    """Weights of one optimisation with what describes them."""

    weights: pd.Series
    pool_size: int
    solve_seconds: float
    risk: float  # ex-ante volatility, or tracking error against the benchmark
    risk_name: str
    helper: object  # the data helper the risk was measured with
    #: How holdings constraints were met (the method, its bound and gap), if any were given.
    holdings: object = None


def _code_reader() -> CodeReader:
    return CodeReader({instrument.order_book_id for instrument in quotaris.all_instruments()})


def stock_ids(codes: list[str], index: bool = False) -> list[str]:
    """``codes`` as the market data's identifiers, read as researchers write them
    (``600000.SH``, ``sh600000``, bare six digits; ``index`` reads those as indices');
    the converted ones are named once in a warning, codes known in no form stay as
    written."""
    reader = _code_reader()
    ids = [reader.resolve(code.strip(), index) for code in codes]
    reader.notify(stacklevel=2)
    return ids


def _read_code(reader: CodeReader, code: str) -> str | None:
    """A stock the market data knows, else the identifier a code in a known form names
    (to be dropped or refused downstream as the optimiser does), else None."""
    order_book_id = reader.resolve(code)
    if order_book_id in reader.known:
        return order_book_id
    standard = to_order_book_id(code)
    return standard if ORDER_BOOK_ID.match(standard) else None


def read_series(path: str | Path, what: str) -> pd.Series:
    """A two-column CSV (order_book_id, value) as a Series of floats, its codes read as
    :func:`stock_ids` reads them; a code neither known nor in a known form is refused."""
    try:
        table = pd.read_csv(path, header=None, comment="#", skipinitialspace=True, dtype={0: str})
    except (OSError, ValueError) as error:
        raise InvalidArgument(f"{what}: cannot read {path}: {error}") from error
    if table.shape[1] != 2:
        raise InvalidArgument(f"{what}: {path} must have two columns, found {table.shape[1]}")
    if not pd.api.types.is_numeric_dtype(table[1]):
        table = table.iloc[1:]  # a header row
    values = pd.to_numeric(table[1], errors="coerce")
    bad = values.isna()
    if bad.any():
        row = int(bad.to_numpy().argmax())
        raise InvalidArgument(
            f"{what}: {path} row {table.index[row] + 1}: not a number: {table[1].iloc[row]!r}"
        )
    reader = _code_reader()
    codes = table[0].fillna("").str.strip().tolist()
    ids = [_read_code(reader, code) for code in codes]
    if None in ids:
        row = ids.index(None)
        raise InvalidArgument(
            f"{what}: {path} row {table.index[row] + 1}: {codes[row]!r} is no identifier the "
            f"market data knows; {EXPECTED_FORM} (600000.SH, sh600000 and 600000 are read too)"
        )
    reader.notify(stacklevel=2)
    return pd.Series(values.to_numpy(dtype=float), index=ids)


def parse_bound(text: str) -> tuple[str, tuple[float, float]]:
    """``ID=LOW:HIGH`` (an empty side means no limit: 0 or 1) as a bounds entry.

    Both sides are weights from 0 to 1, LOW not above HIGH; for the wildcard
    ``*`` too, which the optimiser itself takes as given.
    """
    key, equals, limits = text.partition("=")
    low, colon, high = limits.partition(":")
    if not (key and equals and colon):
        raise InvalidArgument(f"bound {text!r}: expected ID=LOW:HIGH, e.g. '*=0:0.05'")
    try:
        bounds = (float(low) if low else 0.0, float(high) if high else 1.0)
    except ValueError:
        raise InvalidArgument(f"bound {text!r}: LOW and HIGH must be numbers") from None
    if not all(0.0 <= side <= 1.0 for side in bounds):  # NaN fails too
        raise InvalidArgument(f"bound {text!r}: LOW and HIGH must lie between 0 and 1")
    if bounds[0] > bounds[1]:
        raise InvalidArgument(f"bound {text!r}: LOW is above HIGH")
    return key, bounds


def _style_targets(pairs: list[str], what: str) -> pd.Series:
    targets = {}
    for pair in pairs:
        name, _, value = pair.partition("=")
        try:
            targets[name] = float(value)
        except ValueError:
            raise InvalidArgument(f"{what} {pair!r}: expected STYLE=NUMBER") from None
    return pd.Series(targets, dtype=float)


def _priorities(pairs: list[str], targets: pd.Series) -> pd.Series:
    priorities = {}
    for pair in pairs:
        name, _, value = pair.partition("=")
        if not value.strip().isdigit() or int(value) not in PRIORITIES:
            raise InvalidArgument(
                f"priority {pair!r}: expected STYLE=P with P a whole number from "
                f"{PRIORITIES[0]} to {PRIORITIES[-1]}"
            )
        if name not in targets.index:
            raise InvalidArgument(f"priority {pair!r}: {name!r} has no --style target")
        priorities[name] = int(value)
    return pd.Series(priorities, dtype=int)


def _given(value: object) -> bool:
    """Whether the command line set an option (a zero counts; absent, off or empty do not)."""
    return value is not None and value is not False and value != []


def make_objective(name: str, options: Mapping[str, object]):
    """The objective ``name`` made from options named as on the command line (``window``).

    An option given (a zero counts) that this objective does not read is
    refused, naming it, rather than ignored.
    """
    from . import objective as objectives

    def given(key: str, default=None):
        value = options.get(key)
        return default if value is None else value

    def returns(key: str) -> pd.Series | None:
        path = given(key)
        return None if path is None else read_series(path, key)

    def required(key: str):
        if not options.get(key):
            raise InvalidArgument(f"this objective needs --{key.replace('_', '-')}")
        return options[key]

    def style_deviation():
        targets = _style_targets(required("style"), "style target")
        priorities = _priorities(options["priority"], targets) if given("priority") else None
        return objectives.MinStyleDeviation(targets, bool(options.get("relative")), priorities)

    window = given("window", TRADING_DAYS_PER_YEAR)
    # Each objective with the options it reads, so that no option is ignored unnoticed.
    makers: dict[str, tuple[tuple[str, ...], Callable[[], object]]] = {
        "min_variance": ((), objectives.MinVariance),
        "risk_parity": ((), objectives.RiskParity),
        "min_tracking_error": ((), objectives.MinTrackingError),
        "mean_variance": (
            ("expected_returns", "window", "risk_aversion"),
            lambda: objectives.MeanVariance(
                returns("expected_returns"), window, given("risk_aversion", 1)
            ),
        ),
        "max_sharpe_ratio": (
            ("expected_returns", "window"),
            lambda: objectives.MaxSharpeRatio(returns("expected_returns"), window),
        ),
        "max_information_ratio": (
            ("expected_active_returns", "window"),
            lambda: objectives.MaxInformationRatio(returns("expected_active_returns"), window),
        ),
        "max_indicator": (
            ("indicator",),
            lambda: objectives.MaxIndicator(read_series(required("indicator"), "indicator")),
        ),
        "min_style_deviation": (("style", "priority", "relative"), style_deviation),
    }
    reads, make = makers[name]
    unread = [key for key, value in options.items() if _given(value) and key not in reads]
    if name == "max_information_ratio" and "expected_returns" in unread:
        raise InvalidArgument(
            "max_information_ratio reads expected returns over the benchmark: "
            "give them with --expected-active-returns"
        )
    if unread:
        listed = ", ".join(f"--{key.replace('_', '-')}" for key in unread)
        raise InvalidArgument(f"{name} does not use {listed}")
    return make()


#: Objective names accepted by ``plovera optimize``.
OBJECTIVES = (
    "min_variance",
    "mean_variance",
    "risk_parity",
    "min_tracking_error",
    "max_information_ratio",
    "max_sharpe_ratio",
    "max_indicator",
    "min_style_deviation",
)


def _ex_ante_risk(weights: pd.Series, date, benchmark, cov_model) -> tuple[float, str, object]:
    from . import helper as helper_module
    from .benchmark import IndexBenchmark

    pool = list(weights.index)
    if benchmark is None:
        helper = helper_module.OptimizeHelper(pool, date, None, cov_model)
        return ex_ante_risk(helper.get_factor_model(), weights).volatility, "volatility", helper
    if isinstance(benchmark, str):
        benchmark = IndexBenchmark(benchmark)
    helper = helper_module.OptimizeHelper(pool, date, benchmark, cov_model)
    risk = ex_ante_risk(helper.get_union_factor_model(), weights, helper.benchmark_weight)
    return risk.tracking_error, "tracking error", helper


def make_constraints(
    *,
    industry_neutral: float | None = None,
    style_neutral: float | None = None,
    tracking_error: float | None = None,
    turnover: float | None = None,
    holdings: str | Path | pd.Series | None = None,
    component_floor: float | None = None,
    classification: str = "sws",
    trading_limits: bool = False,
    max_holdings: int | None = None,
    min_weight: float | None = None,
) -> list:
    """The constraint objects of the command line's options, in this order.

    ``industry_neutral`` and ``style_neutral`` keep every industry weight and
    every style exposure within that distance of the benchmark's; ``turnover``
    is measured against the weights of the ``holdings`` (a CSV, or a Series),
    and ``trading_limits`` keeps the stocks that cannot be bought or sold on
    the date at their weights there (:class:`~plovera.trading.TradingRestriction`);
    ``max_holdings`` and ``min_weight`` limit the number of stocks held and the
    smallest holding (:mod:`plovera.holdings`).
    """
    from . import constraints

    made = []
    if industry_neutral is not None:
        made.append(
            constraints.WildcardIndustryConstraint(
                lower_limit=-industry_neutral,
                upper_limit=industry_neutral,
                relative=True,
                classification=classification,
            )
        )
    if style_neutral is not None:
        made.append(
            constraints.WildcardStyleConstraint(
                lower_limit=-style_neutral, upper_limit=style_neutral, relative=True
            )
        )
    if tracking_error is not None:
        made.append(constraints.TrackingErrorLimit(tracking_error))
    if turnover is not None and holdings is None:
        raise InvalidArgument("a turnover limit needs the current holdings (--holdings)")
    if trading_limits and holdings is None:
        raise InvalidArgument("trading limits need the current holdings (--holdings)")
    if holdings is not None and turnover is None and not trading_limits:
        raise InvalidArgument(
            "the current holdings are read by a turnover limit or trading limits: "
            "give --turnover-limit or --trading-limits"
        )
    if holdings is not None and not isinstance(holdings, pd.Series):
        holdings = read_series(holdings, "holdings")
    if turnover is not None:
        made.append(constraints.TurnoverLimit(holdings, turnover))
    if trading_limits:
        from .trading import TradingRestriction

        made.append(TradingRestriction(holdings))
    if component_floor is not None:
        made.append(constraints.BenchmarkComponentWeightLimit(component_floor))
    if max_holdings is not None or min_weight is not None:
        from . import holdings as limits

        if max_holdings is not None:
            made.append(limits.MaxHoldings(max_holdings))
        if min_weight is not None:
            made.append(limits.MinPosition(min_weight))
    return made


def optimize(
    pool: list[str],
    date: str | datetime.date,
    objective: str = "min_variance",
    bnds: dict | None = None,
    benchmark: str | None = None,
    cov_model: str | CovModel = CovModel.FACTOR_MODEL_DAILY,
    *,
    cons: list | None = None,
    **options: object,
) -> Outcome:
    """Run one optimisation by objective name and describe its result.

    Unlike ``portfolio_optimize``, which drops what it cannot use with a
    warning or without one, this refuses identifiers the market data does not
    know, bounds on stocks outside the pool and a pool that cleans down to
    nothing, naming them.
    """
    from .optimize import portfolio_optimize, to_date, to_enum

    if objective not in OBJECTIVES:
        raise InvalidArgument(
            f"unknown objective {objective!r}; choose from {', '.join(OBJECTIVES)}"
        )
    made = make_objective(objective, options)
    _check_pool(pool, to_date(date), bnds)
    start = time.perf_counter()
    weights = portfolio_optimize(pool, date, made, bnds, cons or None, benchmark, cov_model)
    seconds = time.perf_counter() - start
    if isinstance(weights, dict):  # a pool of one
        weights = pd.Series(weights, dtype=float)
    date = to_date(date)
    cov_model = to_enum(cov_model, CovModel)
    risk, risk_name, helper = _ex_ante_risk(weights, date, benchmark, cov_model)
    report = None
    if any(getattr(constraint, "combinatorial", False) for constraint in cons or ()):
        from .holdings import last_report

        report = last_report()
    return Outcome(weights, len(weights), seconds, risk, risk_name, helper, report)


def _check_pool(pool: list[str], date: datetime.date, bnds: dict | None) -> None:
    from .optimize import ensure_order_book_ids

    if not pool:
        raise InvalidArgument("the pool is empty: no order_book_id was given")
    _, unknown = quotaris.find_instruments(list(pool))
    if unknown:
        raise InvalidArgument(f"the market data does not know {_names(unknown)}")
    outside = [key for key in bnds or {} if key != "*" and key not in set(pool)]
    if outside:
        raise InvalidArgument(f"bounds given for {_names(outside)}, which are not in the pool")
    # The optimisation warns about each stock it drops; this only asks whether any is left.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cleaned = ensure_order_book_ids(list(pool), date)
    if not cleaned:
        raise InvalidArgument(
            f"the pool is empty after cleaning: none of {_names(dict.fromkeys(pool))} is a "
            f"common stock listed before {date} and not delisted"
        )


def describe(title: str, outcome: Outcome, out: TextIO, top: int = 10) -> None:
    """The pool size, solve time, ex-ante risk and largest weights of one outcome."""
    holdings = held(outcome.weights).sort_values(ascending=False)
    print(title, file=out)
    print(f"  stocks after cleaning  {outcome.pool_size}, {len(holdings)} held", file=out)
    print(f"  solve time             {outcome.solve_seconds:.2f} s", file=out)
    print(f"  ex-ante {outcome.risk_name:<15}{outcome.risk:.2%} a year", file=out)
    if outcome.holdings is not None:
        print(f"  holdings limits        {outcome.holdings}", file=out)
    print(f"  top {min(top, len(holdings))} weights", file=out)
    for order_book_id, weight in holdings.head(top).items():
        print(f"    {order_book_id}  {weight:6.2%}", file=out)
