"""The risk report's picture: contributions by group, industry and style exposures."""

from __future__ import annotations

import functools
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from ..const import INDUSTRY_CODES

if TYPE_CHECKING:
    from .core import RiskReport

__all__ = ["cjk_font", "draw", "industry_labels"]

#: Characters a font must draw to label industries in their own names.
_PROBE = "银行医药生物电子"
#: A font that maps every character to a placeholder box draws nothing readable.
_PLACEHOLDER_FONTS = ("Last Resort",)


@functools.cache
def cjk_font() -> str | None:
    """The path of a font matplotlib can draw Chinese industry names with, or None."""
    from matplotlib import font_manager
    from matplotlib.ft2font import FT2Font

    for entry in font_manager.fontManager.ttflist:
        if entry.name.startswith(_PLACEHOLDER_FONTS):
            continue
        try:
            font = FT2Font(entry.fname)
        except (OSError, RuntimeError):
            continue
        if all(font.get_char_index(ord(c)) for c in _PROBE):
            return entry.fname
    return None


def industry_labels(names, font: str | None) -> list[str]:
    """Industry names as labels; without a Chinese font, their codes (else their place)."""
    if font is not None:
        return list(names)
    codes = {name: code for scheme in INDUSTRY_CODES.values() for code, name in scheme.items()}
    return [
        name if name.isascii() else codes.get(name, f"industry {k + 1}")
        for k, name in enumerate(names)
    ]


def _bars(axes, values, labels, title, form, font=None) -> None:
    order = np.argsort(values.to_numpy())
    positions = np.arange(len(order))
    shown = values.to_numpy()[order]
    axes.barh(positions, shown, color=np.where(shown >= 0, "#3b6ea8", "#c0504d"))
    axes.set_yticks(positions, [labels[k] for k in order])
    if font is not None:
        from matplotlib.font_manager import FontProperties

        for tick in axes.get_yticklabels():
            tick.set_fontproperties(FontProperties(fname=font))
    axes.axvline(0.0, color="black", linewidth=0.6)
    axes.xaxis.set_major_formatter(form)
    axes.set_title(title, fontsize=10)
    axes.tick_params(labelsize=8)


def draw(report: RiskReport, path: Path) -> Path:
    """Write the report's PNG to ``path``."""
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, PercentFormatter

    font = cjk_font()
    exposures = report.exposures()
    kind = "active" if report.active is not None else "portfolio"
    industries = exposures[kind][report.groups.eq("industry").to_numpy()]
    styles = exposures[kind][report.groups.eq("style").to_numpy()]
    figure = Figure(figsize=(14, 7), layout="constrained")
    grid = figure.add_gridspec(1, 3, width_ratios=(1.0, 1.1, 1.0))

    groups = figure.add_subplot(grid[0])
    decompositions = {"total": report.total}
    if report.active is not None:
        decompositions["active"] = report.active
    width = 0.8 / len(decompositions)
    names = list(report.group_contributions("total").index)
    for k, (name, risk) in enumerate(decompositions.items()):
        values = report.group_contributions(name).reindex(names).to_numpy()
        values = values / risk.volatility if risk.volatility > 0 else values * 0.0
        groups.bar(
            np.arange(len(names)) + (k - (len(decompositions) - 1) / 2) * width,
            values,
            width,
            label=f"{name}: {risk.volatility:.2%} a year",
            color=("#3b6ea8", "#e08b2c")[k],
        )
    groups.set_xticks(np.arange(len(names)), names)
    groups.axhline(0.0, color="black", linewidth=0.6)
    groups.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=1))
    groups.set_title("risk contributions by group (volatility units)", fontsize=10)
    groups.legend(fontsize=8)
    groups.tick_params(labelsize=8)

    panels = (
        (industries, industry_labels(industries.index, font), "industry weights", font),
        (styles, list(styles.index), "style exposures", None),
    )
    formats = (PercentFormatter(1.0, decimals=1), FuncFormatter(lambda v, _: f"{v:+.2f}"))
    for k, (values, labels, what, labels_font) in enumerate(panels):
        axes = figure.add_subplot(grid[k + 1])
        if len(values):
            _bars(axes, values, labels, f"{kind} {what}", formats[k], labels_font)
        else:
            # A statistical model has principal components only.
            axes.set_axis_off()
            axes.text(0.5, 0.5, f"no {what}: the risk model has no such factors", ha="center")
    against = f" against {report.benchmark_name}" if report.benchmark_name else ""
    figure.suptitle(f"risk report on {report.date} ({report.cov_model.value} model){against}")
    figure.savefig(path, dpi=110)
    return path
