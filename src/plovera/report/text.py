"""The readable summary of a risk report, in the command line's style."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

import numpy as np

from ..riskmodel.exante import HELD_WEIGHT

if TYPE_CHECKING:
    from .core import RiskDecomposition, RiskReport

__all__ = ["html_summary", "summary"]

#: Entries each "largest" line lists.
TOP = 5


def _split(name: str, risk: RiskDecomposition) -> str:
    share = risk.factor_variance / risk.variance if risk.variance > 0 else 0.0
    return (
        f"  {name:<22}{risk.volatility:6.2%} a year; factors {share:.1%}, "
        f"specific {1 - share if risk.variance > 0 else 0.0:.1%} of the variance"
    )


def _largest(values, form: str) -> str:
    numbers = values.to_numpy()
    top = np.argsort(-np.abs(numbers), kind="stable")[:TOP]
    return ", ".join(f"{values.index[k]} {format(numbers[k], form)}" for k in top)


def summary(report: RiskReport) -> str:
    """Risk, its split by group, and the largest exposures and stock contributions."""
    # A net portfolio's short positions are holdings too.
    held = int((report.weights.abs() > HELD_WEIGHT).sum())
    against = f" against {report.benchmark_name}" if report.benchmark_name else ""
    lines = [
        f"risk report on {report.date} ({report.cov_model.value} model), "
        f"{held} stocks held{against}",
        _split("volatility", report.total),
    ]
    if report.active is not None:
        lines.append(_split("tracking error", report.active))
    risk = report.total if report.active is None else report.active
    what = "volatility" if report.active is None else "tracking error"
    groups = report.to_frame("groups")
    lines.append(f"  {what + ' by group':<24}{'share':>8}{'a year':>9}")
    for name, row in groups.iterrows():
        lines.append(f"    {name:<22}{row['share']:8.1%}{row['volatility']:9.2%}")
    exposures = report.exposures()["active" if report.active is not None else "portfolio"]
    kind = "active" if report.active is not None else "portfolio"
    industries = exposures[report.groups.eq("industry").to_numpy()]
    styles = exposures[report.groups.eq("style").to_numpy()]
    if len(industries):
        lines.append(f"  {kind} industries  {_largest(industries, '+.2%')}")
    if len(styles):
        lines.append(f"  {kind} styles      {_largest(styles, '+.2f')}")
    shares = risk.stock_contribution / risk.variance if risk.variance > 0 else None
    if shares is not None:
        lines.append(f"  largest stock shares  {_largest(shares, '.1%')}")
    return "\n".join(lines)


def html_summary(report: RiskReport) -> str:
    """The report as a notebook shows it: its head line and the risk split by group."""
    head = html.escape(summary(report).splitlines()[0])
    summary_table = report.to_frame("summary")[
        ["volatility", "factor_share", "specific_share"]
    ].to_html(float_format=lambda value: f"{value:.2%}")
    groups = report.to_frame("groups").to_html(
        float_format=lambda value: f"{value:.4f}", columns=["variance", "share", "volatility"]
    )
    return f"<div><p>{head}</p>{summary_table}{groups}</div>"
