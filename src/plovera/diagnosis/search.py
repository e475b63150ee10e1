"""From the groups of one problem to an irreducible conflict and its relaxations."""

from __future__ import annotations

import numpy as np

from .elastic import CAP, DUAL_TOL, TOL, Elastic
from .groups import BOUND, BUDGET, Collector
from .report import Conflict, Diagnosis

MAX_SOLVES = 25
# More conflicting stock bounds than this are filtered and relaxed as one block.
MAX_SINGLE_STOCKS = 3


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

    kept = list(units)
    irreducible = True
    for unit in units:
        if elastic.solves + 1 + len(kept) > MAX_SOLVES:
            irreducible = False
            break
        rest = held | _members(kept, len(groups))
        rest[unit] = False
        if elastic.solve(rest) > TOL:
            kept = [other for other in kept if other is not unit]

    in_set = held | _members(kept, len(groups))
    conflicts = tuple(
        _relax(elastic, unit, scope, in_set)
        for unit in sorted(kept, key=lambda unit: int(unit[0]))
        if elastic.solves < MAX_SOLVES
    )
    return Diagnosis(
        feasible,
        feasible_with_soft,
        conflicts,
        irreducible and len(conflicts) == len(kept),
        elastic.solves,
    )


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


def _relax(elastic: Elastic, unit: np.ndarray, scope: np.ndarray, in_set: np.ndarray) -> Conflict:
    """Least common relaxation of the unit with the rest of the scope held, else of the set."""
    size = len(elastic.collector.groups)
    mask = np.zeros(size)
    mask[unit] = 1.0
    suffices = True
    for holding in (scope, in_set):
        caps = np.where(holding, 0.0, CAP)
        caps[unit] = 0.0
        relaxation = elastic.solve(np.zeros(size), caps, mask)
        if relaxation is not None or elastic.solves >= MAX_SOLVES:
            break
        suffices = False
    return _conflict(elastic, unit, relaxation or 0.0, suffices)


def _conflict(elastic: Elastic, unit: np.ndarray, relaxation: float, suffices: bool) -> Conflict:
    collector = elastic.collector
    group = collector.groups[int(unit[0])]
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
    lower_piece, upper_piece = collector.bound_pieces
    positions = collector.pieces[lower_piece].groups
    where = np.searchsorted(positions, unit)
    lower_rows = elastic.row_values(lower_piece)[where]
    upper_rows = elastic.row_values(upper_piece)[where]
    upper = bool(np.sum(upper_rows) >= np.sum(lower_rows))
    side = "上限" if upper else "下限"
    members = [collector.groups[int(i)] for i in unit]
    limits = {member.bounds[1 if upper else 0] for member in members}
    limit = limits.pop() if len(limits) == 1 else None
    relaxed = None if limit is None else limit + (relaxation if upper else -relaxation)
    ids = tuple(member.order_book_id for member in members)
    name = f"个股 {ids[0]} {side}" if len(ids) == 1 else f"个股{side}（{len(ids)} 只）"
    return Conflict(name, limit, relaxed, relaxation, order_book_ids=ids, suffices=suffices)
