"""Where a portfolio's risk comes from, in the risk model's factor form.

Everything is computed from the exposures X, the factor covariance F and the
specific variances δ, never from an n × n matrix: for weights a (the
portfolio, or the portfolio less the benchmark), the factor exposure is
x = Xᵀa, the variance xᵀFx + Σ δᵢaᵢ².  Contributions are weight times
marginal contribution and are kept as annualised variance, adding up exactly
to the variance: of factor k, x_k (F x)_k; of stock i, aᵢ (X F x)ᵢ + δᵢaᵢ².
Tables give each also as a share of the variance (adding up to 1) and in
volatility units, variance / σ (adding up to σ).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

import quotaris

from ..const import STYLE_FACTORS, CovModel
from ..exception import InvalidArgument
from ..riskmodel import FactorModel
from ..riskmodel.exante import RiskParts, risk_parts

__all__ = ["NET_TOLERANCE", "TABLES", "RiskDecomposition", "RiskReport", "risk_report"]

#: How far the weights' sum may stray from the net weight asked for (rounding in files).
NET_TOLERANCE = 1e-3
#: The tables of :meth:`RiskReport.to_frame`.
TABLES = ("summary", "groups", "factors", "industries", "styles", "stocks")
#: Identifiers a message names before it only counts the rest.
NAMED = 10


def _names(ids) -> str:
    ids = [str(i) for i in ids]
    shown = ", ".join(ids[:NAMED])
    return shown if len(ids) <= NAMED else f"{shown} and {len(ids) - NAMED} more"


def _ratio(part: np.ndarray | float, whole: float) -> np.ndarray | float:
    """part / whole, 0 where the whole is 0 (a report against itself has no active risk)."""
    return part / whole if whole > 0 else part * 0.0


@dataclass(frozen=True, eq=False)
class RiskDecomposition:
    """The variance of one weight vector and its contributions (annualised variance).

    ``weights`` over the report's stocks; ``exposure`` and ``factor_contribution``
    over the model's factors; ``stock_factor`` and ``stock_specific`` the
    stocks' factor and specific contributions.
    """

    weights: pd.Series
    exposure: pd.Series
    factor_contribution: pd.Series
    stock_factor: pd.Series
    stock_specific: pd.Series
    #: The totals, as every ex-ante figure of plovera computes them.
    parts: RiskParts

    @classmethod
    def of(cls, weights: pd.Series, model: FactorModel) -> RiskDecomposition:
        a = weights.to_numpy()
        x_matrix = model.exposures.to_numpy()
        x = x_matrix.T @ a
        fx = model.factor_covariance.to_numpy() @ x
        factors, stocks = model.exposures.columns, weights.index
        return cls(
            weights,
            pd.Series(x, index=factors),
            pd.Series(x * fx, index=factors),
            pd.Series(a * (x_matrix @ fx), index=stocks),
            pd.Series(model.specific_variance.to_numpy() * a * a, index=stocks),
            risk_parts(model, a),
        )

    @property
    def factor_variance(self) -> float:
        return self.parts.factor_variance

    @property
    def specific_variance(self) -> float:
        return self.parts.specific_variance

    @property
    def variance(self) -> float:
        return self.parts.variance

    @property
    def volatility(self) -> float:
        return self.parts.volatility

    @property
    def stock_contribution(self) -> pd.Series:
        return self.stock_factor + self.stock_specific

    def measures(self, variance: pd.Series) -> pd.DataFrame:
        """Contributions as variance, share of the variance and volatility units."""
        return pd.DataFrame(
            {
                "variance": variance,
                "share": _ratio(variance, self.variance),
                "volatility": _ratio(variance, self.volatility),
            },
            index=variance.index,
        )


def _groups(factors: pd.Index) -> pd.Series:
    """Each factor's group: country, industry, style, or statistical (principal components)."""
    styles = set(STYLE_FACTORS)

    def group(name: str) -> str:
        if name == "country":
            return "country"
        if name in styles:
            return "style"
        return "statistical" if name.startswith("statistical_") else "industry"

    return pd.Series([group(name) for name in factors], index=factors, name="group")


def _stock_industries(model: FactorModel, groups: pd.Series) -> tuple[pd.Series, np.ndarray]:
    """The industry of each stock from its industry dummies (None where unclassified),
    and its position among the industry factors (-1 where unclassified)."""
    columns = groups.index[groups.eq("industry").to_numpy()]
    ids = model.exposures.index
    if not len(columns):
        codes = np.full(len(ids), -1)
        return pd.Series([None] * len(ids), index=ids, dtype=object, name="industry"), codes
    dummies = model.exposures[columns].to_numpy()
    codes = np.where(dummies.max(axis=1) < 0.5, -1, dummies.argmax(axis=1))
    found = np.asarray(columns, dtype=object)[codes]
    found[codes < 0] = None
    return pd.Series(found, index=ids, dtype=object, name="industry"), codes


class RiskReport:
    """Where the risk of a portfolio on a date comes from; see :func:`risk_report`.

    ``total`` decomposes the portfolio's variance, ``active`` (None without a
    benchmark) that of the portfolio less the benchmark: its tracking error.
    Both run over ``stocks``: the portfolio's, then the benchmark's other
    constituents.
    """

    def __init__(
        self,
        date,
        cov_model: CovModel,
        benchmark_name: str | None,
        model: FactorModel,
        weights: pd.Series,
        benchmark_weights: pd.Series | None,
    ) -> None:
        self.date = date
        self.cov_model = cov_model
        self.benchmark_name = benchmark_name
        self.model = model
        self.stocks = list(model.exposures.index)
        self.weights = weights.reindex(self.stocks, fill_value=0.0).rename("portfolio")
        self.benchmark_weights = benchmark_weights
        self.groups = _groups(model.exposures.columns)
        self.industry, self._industry_codes = _stock_industries(model, self.groups)
        self.total = RiskDecomposition.of(self.weights, model)
        self.active = (
            None
            if benchmark_weights is None
            else RiskDecomposition.of((self.weights - benchmark_weights).rename("active"), model)
        )

    @property
    def volatility(self) -> float:
        """The portfolio's forecast volatility, annualised."""
        return self.total.volatility

    @property
    def tracking_error(self) -> float | None:
        """The forecast volatility of the active weights, annualised (None without benchmark)."""
        return None if self.active is None else self.active.volatility

    def _of(self, of: str | None) -> RiskDecomposition:
        if of is None:
            return self.total if self.active is None else self.active
        if of == "total":
            return self.total
        if of == "active":
            if self.active is None:
                raise InvalidArgument("active risk needs a benchmark; none was given")
            return self.active
        raise InvalidArgument(f"of must be 'total' or 'active', got {of!r}")

    def exposures(self) -> pd.DataFrame:
        """Factor exposures of the portfolio, the benchmark and active (the last two with one)."""
        table = {"portfolio": self.total.exposure}
        if self.active is not None:
            table["benchmark"] = self.total.exposure - self.active.exposure
            table["active"] = self.active.exposure
        return pd.DataFrame(table)

    def group_contributions(self, of: str | None = None) -> pd.Series:
        """Variance contributed by each factor group and by specific risk."""
        risk = self._of(of)
        groups, values = self.groups.to_numpy(), risk.factor_contribution.to_numpy()
        sums = {name: float(values[groups == name].sum()) for name in dict.fromkeys(groups)}
        return pd.Series({**sums, "specific": risk.specific_variance})

    def to_frame(self, table: str = "factors", of: str | None = None) -> pd.DataFrame:
        """One of the report's tables (``TABLES``) as a DataFrame.

        summary
            Rows total and active: volatility, variance, its factor and
            specific parts and their shares.
        groups
            Country, industry, style (or statistical) and specific.
        factors, industries, styles
            Each factor's group, exposures, forecast volatility and contribution;
            industries add ``stocks_variance`` and ``stocks_share``, the
            contribution of the stocks in the industry (factor and specific).
        stocks
            Each stock's industry, weights and contribution, with its factor
            and specific parts.

        Contributions are of the active risk when there is a benchmark and of
        the total risk otherwise, unless ``of`` says "total" or "active";
        columns ``variance``, ``share`` and ``volatility`` give each as
        variance, share of the variance and variance / σ.
        """
        if table not in TABLES:
            raise InvalidArgument(f"unknown table {table!r}; choose from {', '.join(TABLES)}")
        if table == "summary":
            return self._summary()
        risk = self._of(of)
        if table == "groups":
            return risk.measures(self.group_contributions(of))
        if table == "stocks":
            return self._stocks(risk)
        exposures = self.exposures()
        factors = pd.DataFrame(
            {
                "group": self.groups,
                **dict(exposures.items()),
                "factor_volatility": np.sqrt(np.diag(self.model.factor_covariance.to_numpy())),
                **dict(risk.measures(risk.factor_contribution).items()),
            },
            index=self.groups.index,
        )
        if table == "factors":
            return factors
        kind = "style" if table == "styles" else "industry"
        chosen = factors[self.groups.eq(kind).to_numpy()].drop(columns="group")
        if table == "industries":
            known = self._industry_codes >= 0
            stocks = np.bincount(
                self._industry_codes[known],
                weights=risk.stock_contribution.to_numpy()[known],
                minlength=len(chosen),
            )
            chosen = chosen.assign(
                stocks_variance=stocks, stocks_share=_ratio(stocks, risk.variance)
            )
        return chosen

    def _summary(self) -> pd.DataFrame:
        rows = {"total": self.total}
        if self.active is not None:
            rows["active"] = self.active
        return pd.DataFrame(
            {
                name: {
                    "volatility": risk.volatility,
                    "variance": risk.variance,
                    "factor_variance": risk.factor_variance,
                    "specific_variance": risk.specific_variance,
                    "factor_share": _ratio(risk.factor_variance, risk.variance),
                    "specific_share": _ratio(risk.specific_variance, risk.variance),
                }
                for name, risk in rows.items()
            }
        ).T

    def _stocks(self, risk: RiskDecomposition) -> pd.DataFrame:
        # Every column is over the same stocks: plain arrays spare pandas the alignment.
        columns = {"industry": self.industry.to_numpy(), "portfolio": self.weights.to_numpy()}
        if self.active is not None:
            columns["benchmark"] = self.benchmark_weights.to_numpy()
            columns["active"] = self.active.weights.to_numpy()
        contribution = risk.stock_contribution.to_numpy()
        columns.update(
            variance=contribution,
            factor_variance=risk.stock_factor.to_numpy(),
            specific_variance=risk.stock_specific.to_numpy(),
            share=_ratio(contribution, risk.variance),
            volatility=_ratio(contribution, risk.volatility),
        )
        return pd.DataFrame(columns, index=self.weights.index)

    def plot(self, path: str | Path) -> Path:
        """One PNG: contributions by group, industry and style exposures (active ones when
        there is a benchmark) and the largest stock contributions."""
        from .figure import draw

        return draw(self, Path(path))

    def __str__(self) -> str:
        from .text import summary

        return summary(self)

    def _repr_html_(self) -> str:
        from .text import html_summary

        return html_summary(self)


def _cov_model(value: object) -> CovModel:
    if isinstance(value, CovModel):
        return value
    for member in CovModel:
        if value in (member.value, member.name):
            return member
    choices = ", ".join(member.value for member in CovModel)
    raise InvalidArgument(f"cov_model must be a CovModel or one of {choices}, got {value!r}")


def _weights(weights: object, net: float | None) -> pd.Series:
    if net is not None and (
        not isinstance(net, int | float) or isinstance(net, bool) or not math.isfinite(net)
    ):
        raise InvalidArgument(f"net must be a finite number or None, got {net!r}")
    if isinstance(weights, Mapping):
        weights = pd.Series(dict(weights), dtype=object)
    if not isinstance(weights, pd.Series):
        raise InvalidArgument(
            f"weights must be a pandas Series indexed by order_book_id, got "
            f"{type(weights).__name__}"
        )
    if weights.empty:
        raise InvalidArgument("no weights were given")
    not_text = [i for i in weights.index if not isinstance(i, str)]
    if not_text:
        raise InvalidArgument(f"weights must be indexed by order_book_id strings, got {not_text!r}")
    if weights.index.has_duplicates:
        repeated = weights.index[weights.index.duplicated()].unique()
        raise InvalidArgument(f"weights list {_names(repeated)} more than once")
    numbers = pd.to_numeric(weights, errors="coerce").astype(np.float64)
    not_numbers = weights.index[numbers.isna().to_numpy() & weights.notna().to_numpy()]
    if len(not_numbers):
        raise InvalidArgument(
            f"weights are not numbers for {_names(not_numbers)}: "
            f"{weights[not_numbers].tolist()[:NAMED]!r}"
        )
    missing = numbers.index[~np.isfinite(numbers.to_numpy())]
    if len(missing):
        raise InvalidArgument(f"weights are missing (NaN) or infinite for {_names(missing)}")
    total = float(numbers.sum())
    if net is not None and abs(total - net) > NET_TOLERANCE:
        raise InvalidArgument(
            f"the weights add up to {total:.6g}, not {net:g}: rescale them, or give the net "
            "weight they should add up to (net; None for any)"
        )
    return numbers


def _benchmark_name(benchmark: object) -> str | None:
    if benchmark is None or isinstance(benchmark, str):
        return benchmark
    return getattr(benchmark, "_order_book_id", None) or type(benchmark).__name__


def risk_report(
    weights: pd.Series,
    date: object,
    benchmark: object = None,
    cov_model: CovModel | str = CovModel.FACTOR_MODEL_DAILY,
    *,
    net: float | None = 1.0,
) -> RiskReport:
    """The risk report of ``weights`` (a Series by order_book_id) on ``date``.

    ``benchmark`` is an index identifier or an ``OptimizeBenchmark``; with
    one, the report also decomposes the active risk against its weights on
    the date.  Weights may be negative (long-short books); they must add up
    to ``net`` within ``NET_TOLERANCE``: 1 for a fully invested book, 0 for a
    dollar-neutral one, None for any sum.  They are never rescaled.
    """
    from .. import helper as helper_module
    from ..benchmark import IndexBenchmark, OptimizeBenchmark
    from ..riskmodel import risk_model

    held = _weights(weights, net)
    cov_model = _cov_model(cov_model)
    try:
        day = quotaris.to_date(date)
    except (TypeError, ValueError) as error:
        raise InvalidArgument(f"date: {error}") from None
    # A date outside the calendar would be the helper's data error; name it as the model's.
    risk_model().day_of(day)
    if benchmark is not None and not isinstance(benchmark, str | OptimizeBenchmark):
        raise InvalidArgument(
            f"benchmark must be an index identifier or an OptimizeBenchmark, got {benchmark!r}"
        )
    name = _benchmark_name(benchmark)
    if isinstance(benchmark, str):
        benchmark = IndexBenchmark(benchmark)
    helper = helper_module.OptimizeHelper(list(held.index), day, benchmark, cov_model)
    if benchmark is None:
        return RiskReport(day, cov_model, None, helper.get_factor_model(), held, None)
    return RiskReport(
        day,
        cov_model,
        name,
        helper.get_union_factor_model(),
        held,
        helper.benchmark_weight.rename("benchmark"),
    )
