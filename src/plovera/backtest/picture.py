"""The backtest's picture: value, active value, drawdowns, monthly active returns,
turnover and a box of the main statistics."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from .result import BacktestResult

__all__ = ["draw"]

#: The statistics the box shows, with their labels.
_BOX = (
    ("annual_return", "annual return"),
    ("volatility", "volatility"),
    ("sharpe_ratio", "Sharpe ratio"),
    ("max_drawdown", "max drawdown"),
    ("active_return", "active return"),
    ("tracking_error", "tracking error"),
    ("information_ratio", "information ratio"),
    ("mean_turnover", "mean turnover"),
    ("total_cost", "total cost"),
    ("failed_rebalances", "failed rebalances"),
)


def _statistics_text(result: BacktestResult) -> str:
    from .result import format_statistic

    stats = result.stats()
    return "\n".join(f"{label:<18}{format_statistic(key, stats[key]):>9}" for key, label in _BOX)


def draw(result: BacktestResult, path: Path) -> Path:
    """Write the result's PNG to ``path``."""
    from matplotlib.figure import Figure
    from matplotlib.ticker import PercentFormatter

    figure = Figure(figsize=(13, 12), layout="constrained")
    grid = figure.add_gridspec(5, 2, width_ratios=(4.0, 1.0))
    value = figure.add_subplot(grid[0, 0])
    axes = [value] + [figure.add_subplot(grid[k, 0], sharex=value) for k in range(1, 5)]
    dates = result.nav.index

    axes[0].plot(dates, result.nav, label=result.name)
    axes[0].plot(dates, result.benchmark_nav, label="benchmark")
    axes[0].set_ylabel("NAV")
    axes[0].legend(loc="upper left")
    axes[0].set_title(f"Backtest: {result.name}")

    axes[1].plot(dates, result.active_nav, color="tab:green")
    axes[1].axhline(1.0, color="grey", linewidth=0.8)
    axes[1].set_ylabel("active NAV")

    drawdown = result.nav / result.nav.cummax() - 1.0
    active = result.active_nav / result.active_nav.cummax() - 1.0
    axes[2].fill_between(dates, drawdown, 0.0, color="tab:red", alpha=0.35, label="absolute")
    axes[2].plot(dates, active, color="tab:green", linewidth=1.0, label="active")
    axes[2].yaxis.set_major_formatter(PercentFormatter(1.0, decimals=0))
    axes[2].set_ylabel("drawdown")
    axes[2].legend(loc="lower left")

    monthly = result.monthly_active_returns()
    ends = monthly.index.to_timestamp(how="end").normalize()
    shown = monthly.to_numpy()
    axes[3].bar(ends, shown, width=20, color=np.where(shown >= 0, "tab:green", "tab:red"))
    axes[3].axhline(0.0, color="black", linewidth=0.6)
    axes[3].yaxis.set_major_formatter(PercentFormatter(1.0, decimals=1))
    axes[3].set_ylabel("monthly active")

    axes[4].bar(result.turnover.index, result.turnover, width=5, color="tab:purple")
    axes[4].yaxis.set_major_formatter(PercentFormatter(1.0, decimals=0))
    axes[4].set_ylabel("turnover")
    for upper in axes[:-1]:
        upper.tick_params(labelbottom=False)

    box = figure.add_subplot(grid[:, 1])
    box.set_axis_off()
    box.text(
        0.0,
        1.0,
        _statistics_text(result),
        va="top",
        family="monospace",
        fontsize=10,
        bbox={"boxstyle": "round", "facecolor": "#f4f4f4", "edgecolor": "#999999"},
    )
    figure.savefig(path, dpi=100)
    return path
