"""The holdings constraints, and what the ones of one call ask for together."""

from __future__ import annotations

import dataclasses
import math
import numbers

from ..const import IndustryClassification
from ..constraints import IndustryConstraint, OptimizationConstraint
from ..exception import InvalidArgument

__all__ = ["METHODS", "MaxHoldings", "MinPosition", "Rules", "split"]

METHODS = ("auto", "exact", "heuristic")
# Seconds the exact solver may take, and the heuristic's swaps, unless told otherwise.
DEFAULT_TIME_LIMIT = 60.0


def _count(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 0:
        raise InvalidArgument(f"{name} 应为非负整数，传入值为: {value!r}")
    return int(value)


def _classification(value) -> IndustryClassification:
    # As the industry constraints read it: a member, its value or its name, in any case.
    text = value.lower() if isinstance(value, str) else None
    for member in IndustryClassification:
        if value is member or text in (member.value, member.name.lower()):
            return member
    choices = ", ".join(member.value for member in IndustryClassification)
    raise InvalidArgument(f"classification 非法: {value!r}，可选值为 {choices}")


def _method(value) -> str | None:
    if value is not None and value not in METHODS:
        raise InvalidArgument(f"method 应为 {', '.join(METHODS)} 之一，传入值为: {value!r}")
    return value


def _time_limit(value) -> float | None:
    if value is None:
        return None
    if (
        isinstance(value, bool)
        or not isinstance(value, numbers.Real)
        or not math.isfinite(value)
        or value <= 0
    ):
        raise InvalidArgument(f"time_limit 应为正的秒数，传入值为: {value!r}")
    return float(value)


class _HoldingsConstraint(OptimizationConstraint):
    # Not convex: portfolio_optimize and prepare_optimize hand a call whose
    # cons (a list or tuple) holds one to plovera.holdings, which solves it.
    combinatorial = True

    def to_constraints(self, g, zeta, helper):
        raise InvalidArgument(
            f"{self!r} 不是凸约束，不能写成 cvxpy 约束：请把它放在传给 portfolio_optimize 或 "
            "prepare_optimize 的 cons 列表（list 或 tuple）中"
        )


class MaxHoldings(_HoldingsConstraint):
    """At most ``n`` stocks held, and at most ``industry_limits[industry]`` in an industry.

    Industries are named, by name or code, in ``classification`` as the
    industry constraints name them.  ``method`` ("auto", "exact" or
    "heuristic") and ``time_limit`` (seconds) choose how the call is solved;
    see :mod:`plovera.holdings`.
    """

    def __init__(
        self,
        n=None,
        industry_limits=None,
        classification=IndustryClassification.SWS,
        method=None,
        time_limit=None,
        hard=True,
    ) -> None:
        super().__init__(hard)
        if n is not None:
            n = _count(n, "n")
            if n < 1:
                raise InvalidArgument(f"n 应为不小于 1 的整数，传入值为: {n!r}")
        scheme = _classification(classification)
        limits: dict[str, int] = {}
        for key, value in dict(industry_limits or {}).items():
            # The industry constraints' own reading, with their message for an unknown name.
            named = IndustryConstraint(key, upper_limit=1.0, classification=scheme)
            industry = named._industries[0]
            limit = _count(value, f"industry_limits[{key!r}]")
            limits[industry] = min(limit, limits.get(industry, limit))
        if n is None and not limits:
            raise InvalidArgument("MaxHoldings 需要 n 或非空的 industry_limits")
        self.n = n
        self.industry_limits = limits
        self.classification = scheme
        self.method = _method(method)
        self.time_limit = _time_limit(time_limit)

    def __repr__(self) -> str:
        industries = f", industry_limits={self.industry_limits!r}" if self.industry_limits else ""
        return f"MaxHoldings(n={self.n!r}{industries}, hard={self.hard!r})"


class MinPosition(_HoldingsConstraint):
    """Every stock held holds at least ``weight``: a stock is out or at ``weight`` or more."""

    def __init__(self, weight, method=None, time_limit=None, hard=True) -> None:
        super().__init__(hard)
        if (
            isinstance(weight, bool)
            or not isinstance(weight, numbers.Real)
            or not math.isfinite(weight)
            or not 0 < weight <= 1
        ):
            raise InvalidArgument(f"weight 应在 (0, 1] 之间，传入值为: {weight!r}")
        self.weight = float(weight)
        self.method = _method(method)
        self.time_limit = _time_limit(time_limit)

    def __repr__(self) -> str:
        return f"MinPosition({self.weight!r}, hard={self.hard!r})"


@dataclasses.dataclass(frozen=True)
class Rules:
    """What the holdings constraints of one call ask for together.

    ``industry_limits`` holds one (classification, industry, count) per
    limited industry; ``min_weight`` is 0 without a minimum position.
    """

    max_names: int | None = None
    industry_limits: tuple[tuple[IndustryClassification, str, int], ...] = ()
    min_weight: float = 0.0
    method: str = "auto"
    time_limit: float = DEFAULT_TIME_LIMIT
    objects: tuple = ()

    @classmethod
    def of(cls, objects) -> Rules:
        objects = tuple(objects)
        counts = [o.n for o in objects if isinstance(o, MaxHoldings) and o.n is not None]
        limits: dict[tuple[IndustryClassification, str], int] = {}
        for o in objects:
            for industry, limit in getattr(o, "industry_limits", {}).items():
                key = (o.classification, industry)
                limits[key] = min(limit, limits.get(key, limit))
        methods = {o.method for o in objects if o.method is not None}
        if len(methods) > 1:
            given = ", ".join(f"{o!r}: {o.method!r}" for o in objects if o.method is not None)
            raise InvalidArgument(f"持仓约束的 method 互相矛盾：{given}")
        times = [o.time_limit for o in objects if o.time_limit is not None]
        return cls(
            max_names=min(counts) if counts else None,
            industry_limits=tuple((c, i, n) for (c, i), n in limits.items()),
            min_weight=max((o.weight for o in objects if isinstance(o, MinPosition)), default=0.0),
            method=methods.pop() if methods else "auto",
            time_limit=min(times) if times else DEFAULT_TIME_LIMIT,
            objects=objects,
        )

    def __bool__(self) -> bool:
        return bool(self.objects)

    def describe(self) -> str:
        """The rules as a reader names them, e.g. "最多持有 50 只，最小持仓 0.5%"."""
        parts = []
        if self.max_names is not None:
            parts.append(f"最多持有 {self.max_names} 只")
        parts.extend(f"{industry} 最多 {n} 只" for _, industry, n in self.industry_limits)
        if self.min_weight > 0:
            parts.append(f"最小持仓 {self.min_weight:.2%}")
        return "，".join(parts)


def split(cons) -> tuple[list, list, list]:
    """The holdings constraints of ``cons`` (hard ones, soft ones) and the other constraints.

    Another object that says it is combinatorial cannot be solved here and is refused.
    """
    hard, soft, rest = [], [], []
    for constraint in cons or ():
        if not getattr(constraint, "combinatorial", False):
            rest.append(constraint)
        elif isinstance(constraint, _HoldingsConstraint):
            (hard if bool(constraint.hard) else soft).append(constraint)
        else:
            raise InvalidArgument(f"plovera.holdings 不认识这个组合约束: {constraint!r}")
    return hard, soft, rest
