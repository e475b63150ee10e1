"""The risk report's picture: contributions by group, industry and style exposures."""

from __future__ import annotations

import functools
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from ..const import INDUSTRY_CODES

if TYPE_CHECKING:
    from .core import RiskReport

__all__ = ["FONT_PATH", "axis_labels", "cjk_font", "draw", "drawable", "industry_labels"]

#: The font the pictures name industries with: a subset of an OFL-licensed Chinese
#: font shipped with plovera (see fonts/OFL.txt), so no system font is needed.
FONT_PATH = Path(__file__).parent / "fonts" / "PloveraSansSC-Regular.otf"


@functools.cache
def cjk_font() -> str:
    """The path of the font the pictures draw Chinese industry names with."""
    return str(FONT_PATH)


@functools.cache
def _glyphs() -> frozenset[int]:
    from matplotlib.ft2font import FT2Font

    return frozenset(FT2Font(cjk_font()).get_charmap())


def drawable(text: str) -> bool:
    """Whether the pictures' font has a glyph for every character of ``text``."""
    glyphs = _glyphs()
    return all(ord(c) in glyphs for c in text)


def industry_labels(names, font: str | None) -> list[str]:
    """Industry names as labels; without a Chinese font, their codes (else their place)."""
    if font is not None:
        return list(names)
    codes = {name: code for scheme in INDUSTRY_CODES.values() for code, name in scheme.items()}
    return [
        name if name.isascii() else codes.get(name, f"industry {k + 1}")
        for k, name in enumerate(names)
    ]


def axis_labels(names) -> tuple[list[str], list[str]]:
    """Labels for industries and the legend lines of those shown by code: a name the
    font cannot draw whole is shown by its code, and the legend names it."""
    names = list(names)
    labels, codes = industry_labels(names, cjk_font()), industry_labels(names, None)
    legend = []
    for k, name in enumerate(names):
        if not drawable(name):
            labels[k] = codes[k]
            legend.append(f"{codes[k]}: {name}")
    return labels, legend


#: Half-widths below which a bar panel's axis is not narrowed: a neutral
#: portfolio's rounding noise shows as flat bars, not as ticks filling the panel.
WEIGHT_SPAN = 0.005
EXPOSURE_SPAN = 0.05
#: Stocks the largest-contributions panel shows.
TOP_STOCKS = 12


def _bars(axes, values, labels, title, form, span, font=None) -> None:
    from matplotlib.ticker import MaxNLocator

    order = np.argsort(values.to_numpy())
    positions = np.arange(len(order))
    shown = values.to_numpy()[order]
    axes.barh(positions, shown, color=np.where(shown >= 0, "#3b6ea8", "#c0504d"))
    axes.set_yticks(positions, [labels[k] for k in order])
    if font is not None:
        from matplotlib.font_manager import FontProperties

        for tick in axes.get_yticklabels():
            tick.set_fontproperties(FontProperties(fname=font))
    reach = max(float(np.abs(shown).max(initial=0.0)) * 1.15, span)
    axes.set_xlim(-reach, reach)
    axes.xaxis.set_major_locator(MaxNLocator(5, symmetric=True))
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
    figure = Figure(figsize=(18, 7), layout="constrained")
    grid = figure.add_gridspec(1, 4, width_ratios=(1.0, 1.1, 1.0, 1.0))

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
    groups.yaxis.set_major_formatter(PercentFormatter(1.0))
    groups.set_title("risk contributions by group (volatility units)", fontsize=10)
    groups.legend(fontsize=8)
    groups.tick_params(labelsize=8)

    labels, legend = axis_labels(industries.index)
    risk = report.active if report.active is not None else report.total
    contributions = None
    # Below a basis point there is no risk to attribute, only rounding.
    if risk.volatility > 1e-4:
        contributions = risk.stock_contribution / risk.volatility
        contributions = contributions[contributions.abs().sort_values().index[-TOP_STOCKS:]]
    measure = "tracking error" if kind == "active" else "risk"
    panels = (
        (
            industries,
            labels,
            f"{kind} industry weights",
            PercentFormatter(1.0, decimals=1),
            WEIGHT_SPAN,
            font,
        ),
        (styles, list(styles.index), f"{kind} style exposures", None, EXPOSURE_SPAN, None),
        (
            contributions,
            None if contributions is None else list(contributions.index),
            f"largest stock contributions to {measure}",
            PercentFormatter(1.0, decimals=2),
            WEIGHT_SPAN / 10,
            None,
        ),
    )
    for k, (values, names_shown, title, form, span, labels_font) in enumerate(panels):
        axes = figure.add_subplot(grid[k + 1])
        if values is not None and len(values):
            form = form or FuncFormatter(lambda v, _: f"{v:+.2f}")
            _bars(axes, values, names_shown, title, form, span, labels_font)
        else:
            # A statistical model has principal components only; a portfolio equal
            # to its benchmark has no tracking error to attribute.
            axes.set_axis_off()
            why = (
                f"no {measure} to attribute"
                if k == 2
                else f"no {title}:\nthe risk model has no such factors"
            )
            axes.text(0.5, 0.5, why, ha="center", fontsize=9)
        if k == 0 and legend:
            axes.text(0.0, -0.08, "; ".join(legend), transform=axes.transAxes, fontsize=7, va="top")
    against = f" against {report.benchmark_name}" if report.benchmark_name else ""
    figure.suptitle(f"risk report on {report.date} ({report.cov_model.value} model){against}")
    figure.savefig(path, dpi=110)
    return path
