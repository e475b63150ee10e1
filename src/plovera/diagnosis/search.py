"""From the groups of one problem to an irreducible conflict and its relaxations."""

from __future__ import annotations

import numpy as np

from .elastic import CAP, DUAL_TOL, TOL, Elastic
from .groups import BOUND, BUDGET, Collector
from .report import Conflict, Diagnosis

MAX_SOLVES = 25
# More conflicting stock bounds than this are filtered and relaxed as one block.
MAX_SINGLE_STOCKS = 3
# Solves the deletion filter leaves for the relaxations at least.
RESERVED = 8


def search(collector: Collector, solver: str) -> Diagnosis:
    """Feasibility checks, the elastic solve, the deletion filter and the relaxations."""
    groups = collector.groups
    elastic = Elastic(collector, solver)
    hard = np.array([group.hard for group in groups])
    everything = np.ones(len(groups), dtype=bool)

    feasible = elastic.solve(hard) <= TOL
    feasible_with_soft = feasible
    if feasible and not hard.all():
        feasible_with_soft = elastic.solve(everything) <= TOL
    if feasible_with_soft:
        return Diagnosis(feasible, feasible_with_soft, solves=elastic.solves)
    scope = hard if not feasible else everything

    duals = elastic.duals()
    slack = np.asarray(elastic.slack.value)
    support = scope & ((duals > DUAL_TOL) | (slack > TOL))
    units = _units(support, groups, duals)
    # The multipliers certify the support alone; should rounding have lost a
    # row, the rest of the scope stays held while the support is filtered.
    lost = elastic.solve(support) <= TOL
    held = scope & ~support if lost else np.zeros(len(groups), dtype=bool)

    kept, irreducible = _filter(elastic, units, held)
    in_set = held | _members(kept, len(groups))
    ordered = sorted(kept, key=lambda unit: int(unit[0]))
    conflicts = []
    scope_failed = False
    for position, unit in enumerate(ordered):
        # After one member could not end the conflict alone, go straight to
        # the set unless the budget still allows trying both for every member.
        left = len(ordered) - position
        both = not scope_failed or elastic.solves + 2 * left <= MAX_SOLVES
        relaxation, suffices = None, both
        for holding in (scope, in_set) if both else (in_set,):
            if elastic.solves >= MAX_SOLVES:
                break
            relaxation = _relaxation(elastic, unit, holding)
            if relaxation is not None:
                break
            scope_failed = suffices = False
        conflicts.append(_conflict(elastic, unit, relaxation, suffices))
    conflicts = tuple(conflicts)
    return Diagnosis(
        feasible,
        feasible_with_soft,
        conflicts,
        irreducible,
        elastic.solves,
    )


def _filter(elastic: Elastic, units: list[np.ndarray], held: np.ndarray):
    """Deletion filter over the units, least needed first, in chunks that halve on failure.

    A chunk whose removal leaves the conflict standing goes at once; the new
    multipliers drop what they no longer need as well. Returns the units kept
    and whether every one was tested.
    """
    size = len(elastic.collector.groups)
    kept = list(units)
    pending = list(units)
    chunk = max(1, len(pending) // 4)
    while pending:
        # A solve per member, up to RESERVED, is kept back for the relaxations.
        if elastic.solves + 1 + min(len(kept), RESERVED) > MAX_SOLVES:
            return kept, False
        trial = pending[:chunk]
        rest = held | _members([k for k in kept if not any(k is t for t in trial)], size)
        if elastic.solve(rest) > TOL:
            needed = (elastic.duals() > DUAL_TOL) | (np.asarray(elastic.slack.value) > TOL)
            kept = [k for k in kept if not any(k is t for t in trial) and needed[k].any()]
            pending = [p for p in pending[chunk:] if any(p is k for k in kept)]
        elif chunk > 1:
            chunk //= 2
        else:
            pending = pending[1:]
    return kept, True


def _members(units: list[np.ndarray], size: int) -> np.ndarray:
    chosen = np.zeros(size, dtype=bool)
    for unit in units:
        chosen[unit] = True
    return chosen


def _units(support: np.ndarray, groups, duals: np.ndarray) -> list[np.ndarray]:
    """The support's groups, stock bounds together when many; the least needed first."""
    chosen = np.flatnonzero(support)
    stocks = np.array([i for i in chosen if groups[i].kind == BOUND], dtype=np.intp)
    block = len(stocks) > MAX_SINGLE_STOCKS
    units = [np.array([i]) for i in chosen if not (block and groups[i].kind == BOUND)]
    if block:
        units.append(stocks)
    return sorted(units, key=lambda unit: float(duals[unit].max()))


def _relaxation(elastic: Elastic, unit: np.ndarray, holding: np.ndarray) -> float | None:
    """Least common relaxation of the unit with the held groups held; None if that cannot do."""
    size = len(elastic.collector.groups)
    mask = np.zeros(size)
    mask[unit] = 1.0
    caps = np.where(holding, 0.0, CAP)
    caps[unit] = 0.0
    return elastic.solve(np.zeros(size), caps, mask)


def _conflict(
    elastic: Elastic, unit: np.ndarray, relaxation: float | None, suffices: bool
) -> Conflict:
    collector = elastic.collector
    group = collector.groups[int(unit[0])]
    if relaxation is None:
        name = group.name if len(unit) == 1 else f"个股上下限（{len(unit)} 只）"
        if group.kind == BOUND and len(unit) == 1:
            name = f"{group.name} 上下限"
        return Conflict(name, group.limit, None, None, group.percent, group.hard, suffices=False)
    if group.kind == BUDGET:
        above = elastic.row_values(collector.budget_piece)[0] > 0
        relaxed = 1.0 + relaxation if above else 1.0 - relaxation
        return Conflict(group.name, 1.0, relaxed, relaxation, suffices=suffices)
    if group.kind == BOUND:
        return _bounds_conflict(elastic, unit, relaxation, suffices)
    relaxed = None if group.limit is None else group.limit + group.direction * relaxation
    return Conflict(
        group.name, group.limit, relaxed, relaxation, group.percent, group.hard, suffices=suffices
    )


def _bounds_conflict(elastic: Elastic, unit, relaxation: float, suffices: bool) -> Conflict:
    collector = elastic.collector
    # Which side gives: the one whose rows of these stocks are the larger.
    given = []
    for piece in collector.bound_pieces:
        rows = np.isin(collector.pieces[piece].groups, unit) if piece is not None else None
        given.append(
            -np.inf
            if rows is None or not rows.any()
            else float(np.sum(elastic.row_values(piece)[rows]))
        )
    upper = given[1] >= given[0]
    side = "上限" if upper else "下限"
    members = [collector.groups[int(i)] for i in unit]
    limits = {member.bounds[1 if upper else 0] for member in members}
    limit = limits.pop() if len(limits) == 1 else None
    relaxed = None if limit is None else limit + (relaxation if upper else -relaxation)
    ids = tuple(member.order_book_id for member in members)
    name = f"个股 {ids[0]} {side}" if len(ids) == 1 else f"个股{side}（{len(ids)} 只）"
    return Conflict(name, limit, relaxed, relaxation, order_book_ids=ids, suffices=suffices)
