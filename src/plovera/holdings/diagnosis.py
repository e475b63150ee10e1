"""The holdings constraints' part of a diagnosis: bounds and counts that leave no
portfolio, and holdings limits that the other constraints cannot meet.

The second is judged by the relaxation (an indicator per stock in [0, 1]):
where it has no solution, neither has the problem, and the least count (or
the largest minimum position) that gives it one is at least what the problem
needs, which the conflict says.
"""

from __future__ import annotations

import cvxpy as cp
import numpy as np

from ..diagnosis.report import Conflict, Diagnosis
from ..objective import RiskParity
from .counting import Counts, shortfall
from .problem import Space
from .quadratic import CLARABEL_OPTIONS
from .rules import Rules, split
from .solve import setting_of

__all__ = ["diagnose_holdings", "without_holdings"]

# The largest minimum position the other constraints allow is found to this.
MINIMUM_TOLERANCE = 1e-4
_INFEASIBLE = (cp.INFEASIBLE, cp.INFEASIBLE_INACCURATE)


def without_holdings(cons) -> tuple[list, list]:
    """The holdings constraints of ``cons`` (hard, then soft) and the other constraints."""
    hard, soft, rest = split(cons)
    return hard + soft, rest


def diagnose_holdings(ids, lower, upper, helper, holdings, objective, cons) -> Diagnosis | None:
    """The conflict of the holdings constraints with the bounds, then with the other
    constraints ``cons`` (which hold without them), the hard ones first and then with
    the soft ones; None when no conflict is found."""
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
        # Met by the hard ones alone, the conflict is the soft ones'.
        found = shortfall(ids, lower, upper, rules.min_weight, counts)
        if found is not None:
            return Diagnosis(feasible, False, _counting(found, rules, hard=not feasible))
        others = cons if feasible else [c for c in cons if bool(c.hard)]
        setting = (ids, lower, upper, helper, objective, others)
        conflict = _with_others(setting, rules, counts, hard=not feasible)
        if conflict is not None:
            return Diagnosis(feasible, False, (conflict,))
    return None


def _counting(found, rules: Rules, hard: bool) -> tuple[Conflict, ...]:
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
                hard=hard,
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
                hard=hard,
            )
        )
    if not conflicts:
        conflicts.append(Conflict(f"行业持有股票数（{found.message}）", None, None, None))
    return tuple(conflicts)


def _with_others(call, rules: Rules, counts: Counts, hard: bool) -> Conflict | None:
    """The holdings limits against the other constraints: the count against the stocks
    their lower limits need, then the relaxation; ``call`` is ``(ids, lower, upper,
    helper, objective, cons)``."""
    ids, lower, upper, helper, objective, cons = call
    if isinstance(objective, RiskParity):
        return None  # solved by a heuristic of its own, whose problem has no relaxation here

    def space(max_names, min_weight) -> Space:
        limits = Counts(max_names, counts.groups)
        return Space(setting_of(ids, objective, helper, cons, lower, upper, min_weight, limits))

    def relaxes(max_names, min_weight) -> bool | None:
        """Whether the relaxation has a solution; None when the solver cannot tell."""
        problem, *_ = space(max_names, min_weight).holdings_problem()
        feasibility = cp.Problem(cp.Minimize(0), problem.constraints)
        try:
            feasibility.solve(solver=cp.CLARABEL, **CLARABEL_OPTIONS)
        except cp.SolverError:
            return None
        if feasibility.status in _INFEASIBLE:
            return False
        return True if feasibility.status in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE) else None

    m, count = rules.min_weight, rules.max_names
    held = space(count, m)
    needs = held.needs
    if needs is not None and count is not None and needs.names > count:
        return Conflict(
            f"最多持有股票数（其他约束中 {needs.limits} 个下限合计至少需要 {needs.names} 只股票）",
            float(count),
            float(needs.names),
            float(needs.names - count),
            percent=False,
            hard=hard,
        )
    if needs is not None and needs.crowded:

        def fits(minimum: float) -> bool:
            return not held.needs_at(np.maximum(lower, minimum)).crowded

        allowed = _largest(fits, m) if fits(0.0) else None
        return Conflict(
            f"最小持仓（其他约束中有 {needs.crowded} 组股票，"
            "其下限要求持有的只数多于上限所能容纳的）",
            m,
            allowed,
            None if allowed is None else m - allowed,
            hard=hard,
        )
    if relaxes(count, m) is not False:
        return None
    if count is not None and relaxes(len(ids), m):
        infeasible, feasible = count, len(ids)
        while feasible - infeasible > 1:
            middle = (infeasible + feasible) // 2
            if relaxes(middle, m):
                feasible = middle
            else:
                infeasible = middle
        return Conflict(
            f"最多持有股票数（连同其他约束，松弛问题至少需要 {feasible} 只）",
            float(count),
            float(feasible),
            float(feasible - count),
            percent=False,
            hard=hard,
        )
    if m > 0 and relaxes(count, 0.0):
        feasible = _largest(lambda minimum: relaxes(count, minimum), m)
        return Conflict(
            f"最小持仓（连同其他约束，松弛问题至多允许 {feasible:.2%}）",
            m,
            feasible,
            m - feasible,
            hard=hard,
        )
    return Conflict(
        f"{rules.describe()}（连同其他约束，松弛问题无解）", None, None, None, hard=hard
    )


def _largest(fits, minimum: float) -> float:
    """The largest minimum position below ``minimum`` that ``fits``, given that 0 does
    and ``minimum`` does not, to ``MINIMUM_TOLERANCE`` of it."""
    infeasible, feasible = minimum, 0.0
    while infeasible - feasible > MINIMUM_TOLERANCE * minimum:
        middle = (infeasible + feasible) / 2
        if fits(middle):
            feasible = middle
        else:
            infeasible = middle
    return feasible
