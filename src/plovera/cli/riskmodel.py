"""``plovera riskmodel build|info``: the factor risk model of a bundle."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Mapping
from pathlib import Path
from typing import TextIO

from ..const import CovModel
from ..exception import InvalidArgument
from ..riskmodel import RiskModel
from ..riskmodel.regression import THIN_INDUSTRY_STOCKS
from ..riskmodel.statistical import MAX_STATISTICAL_FACTORS
from .options import DATA, EXIT_OK, add_options

__all__ = ["add_command", "describe_risk_model", "run_build", "run_info"]


def add_command(subcommands: argparse._SubParsersAction) -> None:
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
        add_options(action, (DATA,))
    build.set_defaults(run=run_build)
    info.set_defaults(run=run_info)


def _bundle_source(args: argparse.Namespace):
    import quotaris
    from quotaris.bundle import BundleSource

    if args.data:
        quotaris.init(args.data)
    source = quotaris.get_source()
    if not isinstance(source, BundleSource):
        raise InvalidArgument(f"{source!r} is not a bundle: its risk model is not kept")
    return source


def run_build(args: argparse.Namespace) -> int:
    from ..riskmodel import risk_model
    from ..riskmodel.store import stored_model_path

    source = _bundle_source(args)
    model = risk_model()
    print(f"risk model of {source.path}: {stored_model_path(source)}")
    print(
        f"built in {model.build_seconds:.1f} s; first date it can serve {model.first_date.date()}"
    )
    return EXIT_OK


def run_info(args: argparse.Namespace) -> int:
    from ..riskmodel.store import stored_model

    source = _bundle_source(args)
    found = stored_model(source)
    if found is None:
        raise InvalidArgument(
            f"no risk model is built for {source.path}: run plovera riskmodel build"
        )
    describe_risk_model(*found, sys.stdout)
    return EXIT_OK


def describe_risk_model(model: RiskModel, meta: Mapping, path: Path, out: TextIO) -> None:
    """A summary of a stored risk model: its data, universe, factors and fit."""
    print(f"risk model   {path} ({path.stat().st_size / 2**20:,.0f} MiB)", file=out)
    print(f"built from   {meta.get('bundle') or '?'} on {meta.get('written', '?')}", file=out)
    print(
        f"dates        {model.n_days} trading days, {model.dates[0].date()} to "
        f"{model.dates[-1].date()}; forecasts from {model.first_date.date()}",
        file=out,
    )
    if model.statistical:
        print(
            "kind         statistical: principal components of returns, the number of "
            f"factors chosen on each date by Bai and Ng's IC_p2 (at most "
            f"{MAX_STATISTICAL_FACTORS})",
            file=out,
        )
        print(f"universe     {len(model.order_book_ids)} stocks", file=out)
    else:
        latest = model.universe[-1]
        print("kind         fundamental: country, industries and styles", file=out)
        print(
            f"universe     {len(model.order_book_ids)} stocks; {int(latest.sum())} in the "
            f"estimation universe on {model.dates[model.refresh[-1]].date()}",
            file=out,
        )
        print(
            f"factors      {len(model.factors)}: country, {len(model.industry_names)} "
            f"industries, {len(model.styles)} styles ({', '.join(model.styles)})",
            file=out,
        )
        for style, reason in model.unavailable.items():
            print(f"unavailable  {style}: {reason}", file=out)
        print(f"fit          mean daily cross-sectional R² {model.mean_r2:.3f}", file=out)
        breadth = model.industry_breadth()
        thin = breadth[breadth < THIN_INDUSTRY_STOCKS].sort_values()
        if len(thin):
            listed = ", ".join(f"{name} {count:.1f}" for name, count in thin.items())
            print(
                f"thin         {len(thin)} industries with fewer than "
                f"{THIN_INDUSTRY_STOCKS:g} effective stocks, their factor returns shrunk "
                f"towards the market's: {listed}",
                file=out,
            )
    print(f"build time   {model.build_seconds:.1f} s", file=out)
    _describe_health(model, out)


def _describe_health(model: RiskModel, out: TextIO) -> None:
    """The forecasts' health: specific volatilities on the last day, regime multipliers."""
    last = model.dates[-1]
    ids = list(model.order_book_ids[model.alive_on(last)])
    print(
        f"health       specific volatilities forecast for {last.date()} ({len(ids)} stocks)"
        + ("" if model.statistical else "; regime multipliers on each month's first day served"),
        file=out,
    )
    columns = "".join(f"{name:>8}" for name in ("min", "5%", "median", "95%", "max"))
    regime = "" if model.statistical else f"{'factor regime':>16}{'specific regime':>17}"
    print(f"  {'model':<24}{columns}{regime}", file=out)
    for cov_model in CovModel:
        vols = model.forecast(last, ids, cov_model).specific_variance ** 0.5
        figures = "".join(f"{value:>8.1%}" for value in vols.quantile((0, 0.05, 0.5, 0.95, 1)))
        if not model.statistical:
            multipliers = model.regime_multipliers(cov_model)
            figures += "".join(
                f"{f'{multipliers[c].min():.2f} to {multipliers[c].max():.2f}':>{width}}"
                for c, width in (("factor", 16), ("specific", 17))
            )
        print(f"  {cov_model.name:<24}{figures}", file=out)
