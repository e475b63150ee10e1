"""What one backtest hands back: weights, NAVs, turnover, costs, failures, statistics."""

from __future__ import annotations

import dataclasses
import errno
import html
import json
import math
import os
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from quotaris.bundle.writing import (
    STAGING_SUFFIX,
    recover_replaced,
    replace_directory,
    scratch_prefix,
)
from quotaris.scratch import scratch_directory

from ..const import TRADING_DAYS_PER_YEAR
from ..exception import InvalidArgument
from ..trading.costs import COST_KINDS
from .pins import PIN_COLUMNS, PIN_KINDS

__all__ = [
    "FLAT_COST",
    "HOLDINGS_COLUMNS",
    "STATISTICS",
    "BacktestResult",
    "Failure",
    "format_statistic",
]

#: The one kind of cost of a run charged at a flat rate.
FLAT_COST = "flat"

#: The statistics ``stats()`` gives, in order.
STATISTICS = (
    "annual_return",
    "volatility",
    "sharpe_ratio",
    "max_drawdown",
    "active_return",
    "tracking_error",
    "information_ratio",
    "mean_turnover",
    "monthly_hit_rate",
    "tracking_error_ratio",
    "failed_rebalances",
    *(f"{kind}_pins" for kind in PIN_KINDS),
    "mean_cash",
    "total_cost",
    *(f"{kind}_cost" for kind in COST_KINDS),
)

#: What ``holdings`` records of each date's holdings constraints (``HoldingsReport``).
HOLDINGS_COLUMNS = (
    "method",
    "holdings",
    "objective",
    "bound",
    "gap",
    "proven_optimal",
    "solves",
    "seconds",
    "soft_dropped",
    "note",
)

_FILES = ("weights.parquet", "daily.parquet", "rebalances.parquet", "failures.parquet")
#: Costs by kind; runs saved before it had only flat-rate costs.
_COSTS_FILE = "costs.parquet"
#: The pins; runs saved before it have none recorded.
_PINS_FILE = "pins.parquet"
#: The shares held after each rebalance, in runs with a capital.
_SHARES_FILE = "shares.parquet"
#: How each date's holdings constraints were solved, in runs with them.
_HOLDINGS_FILE = "holdings.parquet"
#: The file whose presence marks a directory as a saved backtest.
_MARKER = "backtest.json"


@dataclasses.dataclass
class Failure:
    """A rebalance date whose optimisation failed; the holdings were kept.

    ``diagnosis`` is the report of `plovera.diagnose` when the problem had no solution.
    """

    date: object
    error_type: str
    message: str
    diagnosis: object = None


@dataclasses.dataclass
class BacktestResult:
    """The outcome of one backtest.

    ``weights``: target weights by rebalance date (the kept holdings on a
    failed date); ``nav`` and ``benchmark_nav``: daily from the first
    rebalance, starting at 1 (the first purchase's costs are taken at its
    close); ``turnover``: ½ Σ|w_new − w_drifted| and ``costs`` (as a share of
    the NAV) by rebalance date, and ``costs_by_kind`` the same split by kind (one
    column per kind of :data:`plovera.trading.COST_KINDS`, or the one column
    ``"flat"`` of a flat rate) adding up to ``costs``; ``ex_ante``: forecast
    volatility and tracking error of each new portfolio; ``failures``: the
    failed dates; ``pins``: each stock the market held back on a rebalance
    date (columns ``date``, ``order_book_id``, ``kind`` — "suspended",
    "limit_up" or "limit_down" — and ``weight``, the drifted weight it was
    held to, at most or at least; 0 for a stock at limit-up not bought).

    A run with a ``capital`` (yuan) also has ``shares`` (whole shares held
    after each rebalance, dates by stocks) and ``cash`` (yuan left after each
    rebalance's trades and costs); its ``weights`` are the shares' and its NAV
    is in fractions of the capital.

    A run with holdings constraints (``plovera.MaxHoldings``,
    ``plovera.MinPosition``) also has ``holdings``: by rebalance date, how they
    were solved (``method``: "exact", "heuristic" or "continuous"), the stocks
    held, the objective, its bound and their ``gap`` (NaN where no bound is
    known), whether proven optimal, the solves, seconds, whether the soft
    constraints were dropped and a note, as ``plovera.holdings.HoldingsReport``
    gives them.
    """

    name: str
    weights: pd.DataFrame
    nav: pd.Series
    benchmark_nav: pd.Series
    turnover: pd.Series
    costs: pd.Series
    failures: list[Failure]
    ex_ante: pd.DataFrame
    timings: dict = dataclasses.field(default_factory=dict)
    costs_by_kind: pd.DataFrame | None = None
    pins: pd.DataFrame | None = None
    shares: pd.DataFrame | None = None
    cash: pd.Series | None = None
    capital: float | None = None
    holdings: pd.DataFrame | None = None

    def __post_init__(self) -> None:
        if self.costs_by_kind is None:
            self.costs_by_kind = self.costs.rename(FLAT_COST).to_frame()
        if self.pins is None:
            self.pins = pd.DataFrame({column: [] for column in PIN_COLUMNS}).astype(
                {"date": "datetime64[ns]", "order_book_id": object, "kind": object}
            )

    @property
    def active_nav(self) -> pd.Series:
        """The NAV over the benchmark's NAV."""
        return (self.nav / self.benchmark_nav).rename("active_nav")

    def stats(self) -> pd.Series:
        """Annualised return, volatility, Sharpe ratio (no risk-free rate), maximum
        drawdown, annualised active return, realised tracking error, information ratio,
        mean turnover (of the rebalances after the first purchase), monthly hit rate
        against the benchmark, realised over mean forecast tracking error, the
        number of rebalance dates that failed and kept their holdings, the number
        of pins of each kind, the mean cash left after a rebalance as a share of
        the value (NaN without a capital), and the costs summed over the
        rebalances, in all and by kind (NaN for the kinds of a flat-rate run,
        which has none)."""
        years = max(len(self.nav) - 1, 1) / TRADING_DAYS_PER_YEAR
        returns = self.nav.pct_change().dropna()
        active = self.active_nav.pct_change().dropna()
        volatility = _annual_std(returns)
        tracking_error = _annual_std(active)
        drawdown = 1.0 - self.nav / self.nav.cummax()
        later = self.turnover.iloc[1:] if len(self.turnover) > 1 else self.turnover
        forecast = self.ex_ante["tracking_error"].mean() if len(self.ex_ante) else math.nan
        values = {
            "annual_return": self.nav.iloc[-1] ** (1 / years) - 1,
            "volatility": volatility,
            "sharpe_ratio": _ratio(returns.mean() * TRADING_DAYS_PER_YEAR, volatility),
            "max_drawdown": float(drawdown.max()),
            "active_return": self.active_nav.iloc[-1] ** (1 / years) - 1,
            "tracking_error": tracking_error,
            "information_ratio": _ratio(active.mean() * TRADING_DAYS_PER_YEAR, tracking_error),
            "mean_turnover": float(later.mean()),
            "monthly_hit_rate": self._monthly_hit_rate(),
            "tracking_error_ratio": _ratio(tracking_error, forecast),
            # Dates that kept their holdings: the figures above are not the strategy's alone.
            "failed_rebalances": len(self.failures),
            **{f"{kind}_pins": int((self.pins["kind"] == kind).sum()) for kind in PIN_KINDS},
            "mean_cash": self._mean_cash(),
            "total_cost": float(self.costs.sum()),
        }
        for kind in COST_KINDS:
            split = self.costs_by_kind.get(kind)
            values[f"{kind}_cost"] = math.nan if split is None else float(split.sum())
        return pd.Series(values, name=self.name, dtype=float)

    def _mean_cash(self) -> float:
        if self.cash is None or not len(self.cash) or self.capital is None:
            return math.nan
        value = self.nav.reindex(self.cash.index).to_numpy() * self.capital
        return float(np.mean(self.cash.to_numpy() / value))

    def _monthly_hit_rate(self) -> float:
        months = self.nav.index.to_period("M")
        ends = ~pd.Series(months).duplicated(keep="last").to_numpy()
        nav = np.r_[self.nav.iloc[0], self.nav.to_numpy()[ends]]
        bench = np.r_[self.benchmark_nav.iloc[0], self.benchmark_nav.to_numpy()[ends]]
        port, index = nav[1:] / nav[:-1], bench[1:] / bench[:-1]
        return float(np.mean(port > index)) if len(port) else math.nan

    def summary(self) -> str:
        """The run in one line: its period, return, active return, tracking error,
        information ratio, drawdown, costs and any failed dates."""
        stats = self.stats()
        line = (
            f"{self.name}, {self.nav.index[0].date()} to {self.nav.index[-1].date()}, "
            f"{len(self.turnover)} rebalances: {stats.annual_return:.1%} a year, "
            f"{stats.active_return:+.1%} a year over the benchmark, "
            f"tracking error {stats.tracking_error:.1%}, "
            f"information ratio {stats.information_ratio:.2f}, "
            f"maximum drawdown {stats.max_drawdown:.1%}, costs {self.costs.sum():.1%} in all"
        )
        if self.holdings is not None:
            line += f"; {self.holdings_summary()}"
        failed = len(self.failures)
        return line + (f"; {failed} dates failed and kept their holdings" if failed else "")

    def holdings_summary(self) -> str | None:
        """How the holdings constraints were solved over the run and the largest gap
        between a date's objective and its bound; None for a run without them."""
        if self.holdings is None:
            return None
        methods = self.holdings["method"].value_counts()
        line = "holdings limits: " + ", ".join(
            f"{method} on {count} dates" for method, count in methods.items()
        )
        gap = self.holdings["gap"].max()
        return line + ("" if math.isnan(gap) else f", largest gap {gap:.1%}")

    @property
    def returns(self) -> pd.Series:
        """Daily returns of the portfolio, net of costs, indexed by date (from the day
        after the first rebalance): the form performance libraries take as it is."""
        return self.nav.pct_change().iloc[1:].rename(self.name)

    @property
    def benchmark_returns(self) -> pd.Series:
        """Daily returns of the benchmark over the same days as ``returns``."""
        return self.benchmark_nav.pct_change().iloc[1:].rename("benchmark")

    def monthly_active_returns(self) -> pd.Series:
        """Each calendar month's return over the benchmark's: (1 + r) / (1 + r_b) − 1."""
        month_ends = self.active_nav.groupby(self.active_nav.index.to_period("M")).last()
        starts = np.r_[self.active_nav.iloc[0], month_ends.to_numpy()[:-1]]
        return pd.Series(month_ends.to_numpy() / starts - 1.0, index=month_ends.index)

    def plot(self, path) -> Path:
        """One PNG: NAV and benchmark, active NAV, absolute and active drawdown,
        monthly active returns and turnover, with a box of the main statistics."""
        from .picture import draw

        return draw(self, Path(path))

    def tearsheet(self, path) -> Path:
        """An HTML tearsheet of the daily returns against the benchmark's (needs the
        ``report`` extra: ``pip install 'plovera[report]'``)."""
        try:
            import quantstats
        except ImportError as exc:
            raise InvalidArgument(
                "a tearsheet needs quantstats: pip install 'plovera[report]'"
            ) from exc
        import logging

        import matplotlib

        path = Path(path)
        # The library's own deprecation noise and its search for fonts this machine may
        # lack are not the caller's concern; nor may it leave its style behind.
        fonts = logging.getLogger("matplotlib.font_manager")
        level = fonts.level
        fonts.setLevel(logging.ERROR)
        try:
            with warnings.catch_warnings(), matplotlib.rc_context():
                warnings.simplefilter("ignore")
                quantstats.reports.html(
                    self.returns,
                    benchmark=self.benchmark_returns,
                    output=str(path),
                    title=f"Backtest: {self.name}",
                )
        finally:
            fonts.setLevel(level)
        return path

    def _repr_html_(self) -> str:
        stats = self.stats()
        rows = "".join(
            f"<tr><th>{html.escape(name)}</th><td>{format_statistic(name, value)}</td></tr>"
            for name, value in stats.items()
        )
        period = f"{self.nav.index[0].date()} to {self.nav.index[-1].date()}"
        return (
            f"<div><strong>Backtest {html.escape(self.name)}</strong>, {period}, "
            f"{len(self.turnover)} rebalances<table>{rows}</table></div>"
        )

    def save(self, directory, overwrite: bool = False) -> Path:
        """Parquet tables, a CSV summary of ``stats()`` and the plot, in ``directory``.

        ``directory`` may be missing or empty; with ``overwrite`` it may also
        be a saved backtest, that is a directory holding ``backtest.json``.
        Anything else (a file, or a directory without ``backtest.json``) is
        refused, so that no file of its own is lost.  The files are written
        into a hidden directory beside ``directory`` and moved into place at
        the end: a failure or kill leaves the old result or the new one, never
        a mix.  Where two directories cannot be exchanged in one step, a save
        killed between its two renames leaves the old result aside, and the
        next save puts it back first.
        """
        given = Path(directory)
        destination = Path(os.path.realpath(given))
        recover_replaced(destination, marker=_MARKER)
        _check_destination(destination, given, overwrite)
        destination.parent.mkdir(parents=True, exist_ok=True)
        prefix = scratch_prefix(destination)
        with scratch_directory(destination.parent, prefix, STAGING_SUFFIX) as staging:
            self._write(staging)
            # Checked again: the destination may have changed while writing.
            if _check_destination(destination, given, overwrite):
                replace_directory(staging, destination, prefix)
            else:
                try:
                    os.rename(staging, destination)  # atomic onto a missing or empty directory
                except OSError as exc:
                    if exc.errno in (errno.EEXIST, errno.ENOTEMPTY):
                        raise InvalidArgument(
                            f"{given} appeared while the backtest was being saved"
                        ) from exc
                    raise
        return given

    def _write(self, directory: Path) -> None:
        self.weights.rename_axis("date").to_parquet(directory / "weights.parquet")
        daily = pd.DataFrame(
            {"nav": self.nav, "benchmark_nav": self.benchmark_nav, "active_nav": self.active_nav}
        )
        daily.rename_axis("date").to_parquet(directory / "daily.parquet")
        extra = [] if self.cash is None else [self.cash.rename("cash")]
        rebalances = pd.concat([self.turnover, self.costs, self.ex_ante, *extra], axis=1)
        rebalances.rename_axis("date").to_parquet(directory / "rebalances.parquet")
        self.costs_by_kind.rename_axis("date").to_parquet(directory / _COSTS_FILE)
        self.pins.to_parquet(directory / _PINS_FILE, index=False)
        if self.shares is not None:
            self.shares.rename_axis("date").to_parquet(directory / _SHARES_FILE)
        if self.holdings is not None:
            self.holdings.rename_axis("date").to_parquet(directory / _HOLDINGS_FILE)
        failures = pd.DataFrame(
            {
                "date": pd.to_datetime([str(f.date) for f in self.failures]),
                "error_type": pd.Series([f.error_type for f in self.failures], dtype=object),
                "message": pd.Series([f.message for f in self.failures], dtype=object),
                "diagnosis": pd.Series(
                    [None if f.diagnosis is None else str(f.diagnosis) for f in self.failures],
                    dtype=object,
                ),
            }
        )
        failures.to_parquet(directory / "failures.parquet", index=False)
        self.stats().rename("value").rename_axis("statistic").to_csv(directory / "summary.csv")
        meta = {"name": self.name, "timings": self.timings, "capital": self.capital}
        (directory / _MARKER).write_text(json.dumps(meta, indent=2), encoding="utf-8")
        self.plot(directory / "backtest.png")

    @classmethod
    def load(cls, directory) -> BacktestResult:
        """A result saved by ``save``."""
        directory = Path(directory)
        missing = [name for name in (*_FILES, _MARKER) if not (directory / name).exists()]
        if missing:
            raise InvalidArgument(
                f"{directory} is not a saved backtest: {', '.join(missing)} missing"
            )
        meta = _read(directory / _MARKER, lambda path: json.loads(path.read_text("utf-8")))
        if not (isinstance(meta, dict) and {"name", "timings"} <= meta.keys()):
            raise InvalidArgument(f"{directory / _MARKER} is not a saved backtest's summary")
        weights, daily, rebalances = (
            _dated_frame(_read(directory / name, pd.read_parquet))
            for name in ("weights.parquet", "daily.parquet", "rebalances.parquet")
        )
        costs_by_kind = pins = shares = holdings = None
        if (directory / _COSTS_FILE).exists():
            costs_by_kind = _dated_frame(_read(directory / _COSTS_FILE, pd.read_parquet))
        if (directory / _PINS_FILE).exists():
            pins = _read(directory / _PINS_FILE, pd.read_parquet)
            pins["date"] = pd.DatetimeIndex(pins["date"]).as_unit("ns")
        if (directory / _SHARES_FILE).exists():
            shares = _dated_frame(_read(directory / _SHARES_FILE, pd.read_parquet))
        if (directory / _HOLDINGS_FILE).exists():
            holdings = _dated_frame(_read(directory / _HOLDINGS_FILE, pd.read_parquet))
        table = _read(directory / "failures.parquet", pd.read_parquet)
        failures = [
            Failure(row.date.date(), row.error_type, row.message, row.diagnosis)
            for row in table.itertuples(index=False)
        ]
        return cls(
            name=meta["name"],
            weights=weights,
            nav=daily["nav"],
            benchmark_nav=daily["benchmark_nav"],
            turnover=rebalances["turnover"],
            costs=rebalances["costs"],
            failures=failures,
            ex_ante=rebalances[["volatility", "tracking_error"]].dropna(how="all"),
            timings=meta["timings"],
            costs_by_kind=costs_by_kind,
            pins=pins,
            shares=shares,
            cash=rebalances.get("cash"),
            capital=meta.get("capital"),
            holdings=holdings,
        )


def _read(path: Path, reader):
    """``reader(path)``, a damaged file (truncated, not Parquet, broken JSON) named as such."""
    import pyarrow

    try:
        return reader(path)
    except (ValueError, OSError, pyarrow.ArrowException) as error:
        # JSONDecodeError is a ValueError; a truncated Parquet file is ArrowInvalid.
        raise InvalidArgument(f"{path} is damaged and cannot be read: {error}") from error


def _check_destination(destination: Path, given: Path, overwrite: bool) -> bool:
    """Whether saving replaces a saved backtest at ``destination``; refuse what it may not."""
    if not os.path.lexists(destination):
        return False
    if destination.is_dir() and not any(destination.iterdir()):
        return False
    if not overwrite:
        raise InvalidArgument(f"{given} already exists; pass overwrite to replace it")
    if not destination.is_dir():
        raise InvalidArgument(f"{given} exists and is not a directory; refusing to replace it")
    if not (destination / _MARKER).is_file():
        raise InvalidArgument(
            f"{given} is not a saved backtest (no {_MARKER}); refusing to replace it"
        )
    return True


def _dated_frame(frame: pd.DataFrame) -> pd.DataFrame:
    frame.index = pd.DatetimeIndex(frame.index).as_unit("ns").rename(None)
    frame.columns = [str(c) for c in frame.columns]
    return frame


#: Statistics that are ratios, not percentages.
_RATIOS = ("sharpe_ratio", "information_ratio", "tracking_error_ratio")


def format_statistic(name: str, value: float) -> str:
    """One value of ``BacktestResult.stats()`` as it is shown."""
    if math.isnan(value):
        return "n/a"
    if name == "failed_rebalances" or name.endswith("_pins"):
        return f"{value:.0f}"
    return f"{value:.2f}" if name in _RATIOS else f"{value:.2%}"


def _annual_std(returns: pd.Series) -> float:
    return (
        float(returns.std(ddof=1) * math.sqrt(TRADING_DAYS_PER_YEAR))
        if len(returns) > 1
        else math.nan
    )


def _ratio(numerator: float, denominator: float) -> float:
    return numerator / denominator if denominator and math.isfinite(denominator) else math.nan
