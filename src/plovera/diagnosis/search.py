"""From the groups of one problem to an irreducible conflict and its relaxations."""

from __future__ import annotations

import dataclasses

import numpy as np

from .elastic import CAP, DUAL_TOL, TOL, Elastic
from .groups import BOUND, BUDGET, Collector
from .report import Conflict, Diagnosis

MAX_SOLVES = 40
# More conflicting stock bounds than this are filtered and relaxed as one block.
MAX_SINGLE_STOCKS = 3
# Solves the deletion filter leaves for the relaxations at least.
RESERVED = 8


def search(collector: Collector, solver: str) -> Diagnosis:
    """Feasibility checks, then every conflict and the relaxations that end them together."""
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
    if feasible:
        elastic.solve(scope)  # the multipliers below are those of the whole scope
    conflict_sets, complete = _conflict_sets(elastic, scope)
    conflicts = _relax(elastic, scope, conflict_sets)
    return Diagnosis(feasible, feasible_with_soft, conflicts, complete, elastic.solves)


def _conflict_sets(elastic: Elastic, scope: np.ndarray) -> tuple[list[list[np.ndarray]], bool]:
    """Irreducible conflicts, each found with the earlier ones' members set free, until
    the rest of the scope holds; and whether that was confirmed and every member tested.

    One problem may hold several independent conflicts: naming only the first would
    leave the others to be met one relaxation at a time.  The last solve must be
    the elastic solve of the whole scope.
    """
    size = len(elastic.collector.groups)
    freed = np.zeros(size, dtype=bool)
    conflict_sets: list[list[np.ndarray]] = []
    while True:
        duals = elastic.duals()
        slack = np.asarray(elastic.slack.value)
        remaining = scope & ~freed
        support = remaining & ((duals > DUAL_TOL) | (slack > TOL))
        if not support.any():
            return conflict_sets, False
        units = _units(support, elastic.collector.groups, duals)
        # The multipliers certify the support alone; should rounding have lost a
        # row, the rest of the scope stays held while the support is filtered.
        lost = elastic.solve(support) <= TOL
        held = remaining & ~support if lost else np.zeros(size, dtype=bool)
        kept, tested = _filter(elastic, units, held, int(freed.sum()))
        conflict_sets.append(kept)
        freed |= held | _members(kept, size)
        if not tested or elastic.solves + 1 + min(int(freed.sum()), RESERVED) > MAX_SOLVES:
            return conflict_sets, False
        if elastic.solve(scope & ~freed) <= TOL:
            return conflict_sets, True


def _relax(elastic: Elastic, scope: np.ndarray, conflict_sets) -> tuple[Conflict, ...]:
    """Each member's least relaxation, then, with several conflicts, a plan that ends them all.

    A member is relaxed with the rest of the scope held and the other
    conflicts' members free, or, when that cannot do, with only its own
    conflict held.  Conflicts may interact (a tracking-error limit met only
    through a style tilt that another limit forbids), so with several of them
    every member but the budget is also given a relaxation ``together``:
    its own amount scaled by the least common factor at which relaxing them
    all at once makes the problem feasible.
    """
    size = len(elastic.collector.groups)
    members = [_members(kept, size) for kept in conflict_sets]
    named = np.logical_or.reduce(members)
    single = len(conflict_sets) == 1
    found = []
    for index, kept in enumerate(conflict_sets):
        others_free = np.where(scope & ~(named & ~members[index]), 0.0, CAP)
        for unit in sorted(kept, key=lambda unit: int(unit[0])):
            relaxation, suffices = None, single
            for caps in (others_free, np.where(members[index], 0.0, CAP)):
                if elastic.solves >= MAX_SOLVES:
                    break
                relaxation = _relaxation(elastic, unit, caps)
                if relaxation is not None:
                    break
                suffices = False
            found.append((unit, _conflict(elastic, unit, relaxation, suffices, index)))
    if single:
        return tuple(conflict for _, conflict in found)
    return tuple(_together(elastic, scope, found))


def _together(elastic: Elastic, scope: np.ndarray, found) -> list[Conflict]:
    """The conflicts with the relaxations that, made all at once, end every one of them."""
    groups = elastic.collector.groups
    caps, scale = np.where(scope, 0.0, CAP), np.zeros(len(groups))
    for unit, conflict in found:
        # The budget stays: a portfolio is fully invested.
        if conflict.relaxation is not None and groups[int(unit[0])].kind != BUDGET:
            caps[unit] = scale[unit] = conflict.relaxation
    factor = None
    if elastic.solves < MAX_SOLVES:
        factor = elastic.solve(np.zeros(len(groups)), caps, scale)
    if factor is None:
        return [conflict for _, conflict in found]
    # A solver's answer sits on the boundary of feasibility: a hair more keeps it inside.
    factor = 1.0 + factor + TOL
    return [
        conflict
        if scale[unit[0]] == 0.0
        else dataclasses.replace(conflict, together=factor * conflict.relaxation)
        for unit, conflict in found
    ]


def _filter(elastic: Elastic, units: list[np.ndarray], held: np.ndarray, found: int):
    """Deletion filter over the units, least needed first, in chunks that halve on failure.

    A chunk whose removal leaves the conflict standing goes at once; the new
    multipliers drop what they no longer need as well. Returns the units kept
    and whether every one was tested.  ``found`` members of earlier conflicts
    share the solves kept back for the relaxations.
    """
    size = len(elastic.collector.groups)
    kept = list(units)
    pending = list(units)
    chunk = max(1, len(pending) // 4)
    while pending:
        # A solve per member, up to RESERVED, is kept back for the relaxations.
        if elastic.solves + 1 + min(found + len(kept), RESERVED) > MAX_SOLVES:
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


def _relaxation(elastic: Elastic, unit: np.ndarray, caps: np.ndarray) -> float | None:
    """Least common relaxation of the unit, every other group's slack within ``caps``
    (0 holds a group, CAP frees it); None if that cannot do."""
    size = len(elastic.collector.groups)
    mask = np.zeros(size)
    mask[unit] = 1.0
    caps = caps.copy()
    caps[unit] = 0.0
    return elastic.solve(np.zeros(size), caps, mask)


def _conflict(
    elastic: Elastic, unit: np.ndarray, relaxation: float | None, suffices: bool, index: int
) -> Conflict:
    """The report of one unit of the ``index``-th conflict."""
    return dataclasses.replace(_described(elastic, unit, relaxation, suffices), conflict_set=index)


def _described(
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
