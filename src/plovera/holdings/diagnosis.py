"""The holdings constraints' part of a diagnosis: bounds and counts that leave no portfolio."""

from __future__ import annotations

from ..diagnosis.report import Conflict, Diagnosis
from .counting import Counts, shortfall
from .rules import Rules, split

__all__ = ["diagnose_holdings", "without_holdings"]


def without_holdings(cons) -> tuple[list, list]:
    """The holdings constraints of ``cons`` (hard, then soft) and the other constraints."""
    hard, soft, rest = split(cons)
    return hard + soft, rest


def diagnose_holdings(ids, lower, upper, helper, holdings) -> Diagnosis | None:
    """The conflict of the bounds with the holdings constraints, the hard ones first and
    then with the soft ones; None when the bounds leave a portfolio for them all."""
    hard = [c for c in holdings if bool(c.hard)]
    for scope, feasible in ((hard, False), (holdings, True)):
        rules = Rules.of(scope)
        if not rules:
            continue
        groups = []
        for classification, industry, count in rules.industry_limits:
            names = helper.get_industry(classification).to_numpy(dtype=object)[: len(ids)]
            groups.append((industry, names == industry, count))
        counts = Counts(rules.max_names, tuple(groups))
        found = shortfall(ids, lower, upper, rules.min_weight, counts)
        if found is None:
            continue
        # Met by the hard ones alone, the conflict is the soft ones'.
        hard_rules = not feasible
        conflicts = []
        if rules.max_names is not None:
            relaxed = found.max_names
            conflicts.append(
                Conflict(
                    f"最多持有股票数（{found.message}）",
                    float(rules.max_names),
                    None if relaxed is None else float(relaxed),
                    None if relaxed is None else float(relaxed - rules.max_names),
                    percent=False,
                    hard=hard_rules,
                )
            )
        if rules.min_weight > 0:
            allowed = found.min_weight
            name = "最小持仓" if conflicts else f"最小持仓（{found.message}）"
            conflicts.append(
                Conflict(
                    name,
                    rules.min_weight,
                    allowed,
                    None if allowed is None else rules.min_weight - allowed,
                    hard=hard_rules,
                )
            )
        if not conflicts:
            conflicts.append(Conflict(f"行业持有股票数（{found.message}）", None, None, None))
        return Diagnosis(feasible, False, tuple(conflicts))
    return None
