"""Does a signal predict? Information coefficients, their decay and quantile returns.

A signal dated d is known at d's close, so it is measured against the returns
from that close to the close h trading days later, with prices from
``quotaris``.  The computation is alphalens-reloaded's (the ``signals``
extra): its clean factor data, rank information coefficients and mean returns
by quantile; the Pearson information coefficient is read from the same data.
"""

from __future__ import annotations

import contextlib
import io
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

import quotaris

from ..exception import InvalidArgument

__all__ = ["HORIZONS", "SignalCheck", "check_signal", "wide_signal"]

#: Forward horizons in trading days: a day, a week, a month.
HORIZONS = (1, 5, 21)


def wide_signal(signal: pd.DataFrame | pd.Series) -> pd.DataFrame:
    """A signal as dates by stocks, from that form or the long one (a Series indexed by
    date and order_book_id, or a frame with columns date, order_book_id, value)."""
    if isinstance(signal, pd.DataFrame) and {"date", "order_book_id", "value"} <= set(
        signal.columns
    ):
        signal = signal.set_index(["date", "order_book_id"])["value"]
    if isinstance(signal, pd.Series):
        if signal.index.nlevels != 2:
            raise InvalidArgument(
                "a long signal is indexed by date and order_book_id, "
                f"not by {list(signal.index.names)}"
            )
        if signal.index.duplicated().any():
            first = signal.index[signal.index.duplicated()][0]
            raise InvalidArgument(f"the signal has two values for {first[1]} on {first[0]}")
        signal = signal.unstack()
    if not isinstance(signal, pd.DataFrame):
        raise InvalidArgument(f"a signal is a DataFrame or a Series, got {type(signal).__name__}")
    frame = signal.astype(float)
    frame.index = pd.DatetimeIndex(pd.to_datetime(frame.index)).normalize()
    return frame.sort_index()


@dataclass(frozen=True)
class SignalCheck:
    """The predictive power of one signal.

    ``ic`` and ``rank_ic``: per signal date and horizon, the Pearson and the
    Spearman correlation of the signal with the forward returns;
    ``quantile_returns``: the mean forward return over each horizon of each
    quantile (1 the lowest signal), less that of all the stocks.
    """

    name: str
    ic: pd.DataFrame
    rank_ic: pd.DataFrame
    quantile_returns: pd.DataFrame

    @property
    def decay(self) -> pd.DataFrame:
        """Mean IC and rank IC per horizon, with the rank IC's t-statistic."""
        count = self.rank_ic.notna().sum()
        return pd.DataFrame(
            {
                "ic": self.ic.mean(),
                "rank_ic": self.rank_ic.mean(),
                "rank_ic_t": self.rank_ic.mean() / self.rank_ic.std() * np.sqrt(count),
                "dates": count,
            }
        )

    def summary(self) -> str:
        decay = self.decay
        lines = [
            f"signal {self.name}: {len(self.rank_ic)} dates, "
            f"{self.rank_ic.index[0].date()} to {self.rank_ic.index[-1].date()}",
            "  horizon      IC   rank IC   t(rank IC)",
        ]
        for horizon, row in decay.iterrows():
            lines.append(f"  {horizon:>7} {row.ic:7.3f} {row.rank_ic:9.3f} {row.rank_ic_t:12.2f}")
        spread = self.quantile_returns.iloc[-1] - self.quantile_returns.iloc[0]
        lines.append(
            "  top less bottom quantile over the horizon: "
            + ", ".join(f"{h} {v:+.3%}" for h, v in spread.items())
        )
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def plot(self, path) -> Path:
        """One PNG: rank IC by date (a month's horizon when checked), the decay over
        horizons and the quantile returns."""
        from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
        from matplotlib.figure import Figure
        from matplotlib.ticker import PercentFormatter

        figure = Figure(figsize=(14, 4.5), layout="constrained")
        by_date, decay, quantiles = figure.subplots(1, 3, width_ratios=(2.0, 1.0, 1.2))
        horizon = self.rank_ic.columns[-1]
        series = self.rank_ic[horizon]
        by_date.bar(
            series.index, series, width=15, color=np.where(series >= 0, "#3b6ea8", "#c0504d")
        )
        by_date.plot(
            series.index,
            series.rolling(12, min_periods=1).mean(),
            color="black",
            label="12-date mean",
        )
        by_date.axhline(0.0, color="grey", linewidth=0.6)
        dates = AutoDateLocator()
        by_date.xaxis.set_major_locator(dates)
        by_date.xaxis.set_major_formatter(ConciseDateFormatter(dates))
        by_date.set_title(f"rank IC by date, {horizon} forward", fontsize=10)
        by_date.legend(fontsize=8)
        table = self.decay
        positions = np.arange(len(table))
        decay.bar(positions - 0.2, table["ic"], 0.4, label="IC")
        decay.bar(positions + 0.2, table["rank_ic"], 0.4, label="rank IC")
        decay.set_xticks(positions, list(table.index))
        decay.axhline(0.0, color="grey", linewidth=0.6)
        decay.set_title("mean IC by horizon", fontsize=10)
        decay.legend(fontsize=8)
        quantiles.bar(
            np.arange(len(self.quantile_returns)),
            self.quantile_returns[horizon],
            tick_label=[str(q) for q in self.quantile_returns.index],
            color="#3b6ea8",
        )
        quantiles.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=2))
        quantiles.set_title(f"mean {horizon} return by quantile, less all", fontsize=10)
        figure.suptitle(f"signal {self.name}")
        path = Path(path)
        figure.savefig(path, dpi=110)
        return path


def check_signal(
    signal: pd.DataFrame | pd.Series,
    *,
    name: str = "signal",
    start: object = None,
    end: object = None,
    horizons: tuple[int, ...] = HORIZONS,
    quantiles: int = 5,
) -> SignalCheck:
    """The predictive power of ``signal`` (see :func:`wide_signal` for its forms)
    against the forward returns of ``quotaris`` prices, over its dates from ``start``
    to ``end``."""
    try:
        import alphalens
    except ImportError as exc:
        raise InvalidArgument(
            "checking a signal needs alphalens-reloaded: pip install 'plovera[signals]'"
        ) from exc
    horizons = tuple(int(h) for h in horizons)
    if not horizons or min(horizons) < 1:
        raise InvalidArgument(f"horizons are positive numbers of trading days, got {horizons}")
    frame = wide_signal(signal)
    if start is not None:
        frame = frame[frame.index >= pd.Timestamp(quotaris.to_date(start))]
    if end is not None:
        frame = frame[frame.index <= pd.Timestamp(quotaris.to_date(end))]
    frame = frame.dropna(how="all")
    if frame.empty:
        raise InvalidArgument(f"the signal {name} has no values between {start} and {end}")
    calendar = quotaris.get_trading_dates(frame.index[0], quotaris.get_source().trading_dates()[-1])
    last = calendar[min(len(calendar) - 1, calendar.searchsorted(frame.index[-1]) + max(horizons))]
    changes = quotaris.get_price_change_rate(list(frame.columns), frame.index[0], last)
    # A day without a quote leaves the price where it was.
    prices = (1.0 + changes.fillna(0.0)).cumprod()
    stacked = frame.stack()
    stacked.index.names = ["date", "asset"]
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        # The library reports its own bookkeeping on stdout and warns of pandas changes.
        warnings.simplefilter("ignore")
        data = alphalens.utils.get_clean_factor_and_forward_returns(
            stacked, prices, quantiles=quantiles, periods=horizons, max_loss=1.0
        )
        rank_ic = alphalens.performance.factor_information_coefficient(data)
        by_quantile = alphalens.performance.mean_return_by_quantile(data)[0]
    columns = [c for c in data.columns if c not in ("factor", "factor_quantile")]
    ic = data.groupby(level="date").apply(lambda day: day[columns].corrwith(day["factor"]))
    labels = [f"{h}D" for h in horizons]
    rename = dict(zip(columns, labels, strict=True))
    return SignalCheck(
        name,
        ic.rename(columns=rename),
        rank_ic.rename(columns=rename),
        by_quantile.rename(columns=rename),
    )
