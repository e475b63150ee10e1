"""Whether the stocks' bounds leave any portfolio the holdings constraints allow.

Ignoring the other constraints, a portfolio of the names ``S`` exists when
the names that must be held (a positive lower bound) are in ``S``, ``S``
keeps to the counts, and ``Σ_S max(lower, m) <= 1 <= Σ_S upper``.  The
counts (an overall one, one per industry) form a laminar matroid, so for
each size ``k`` the greedy choice by upper bound, after the names that must
be held, reaches the largest ``Σ upper`` of ``k`` names, while every name
beyond them adds ``m`` to the least sum: trying each ``k`` decides exactly.
"""

from __future__ import annotations

import dataclasses

import numpy as np

__all__ = ["Counts", "Needs", "Shortfall", "needed_names", "shortfall"]

# Sums this close to 1 add up to 1: the bounds are read as given.
TOLERANCE = 1e-9
# How many stocks a message names before it says "and so many more".
NAMED = 5


@dataclasses.dataclass(frozen=True)
class Counts:
    """The counts a portfolio keeps to: overall, and per group of stocks (an industry)."""

    max_names: int | None
    groups: tuple[tuple[str, np.ndarray, int], ...] = ()  # (label, member mask, count)


@dataclasses.dataclass(frozen=True)
class Shortfall:
    """Why no portfolio keeps to the bounds and the holdings constraints, and what would.

    ``max_names`` is the least overall count that would do (None when none
    would), ``min_weight`` the largest minimum position that would (None when
    none would, or there is no minimum).
    """

    message: str
    max_names: int | None
    min_weight: float | None


def _names(ids, mask) -> str:
    chosen = [str(i) for i, m in zip(ids, mask, strict=True) if m]
    more = f" 等 {len(chosen)} 只" if len(chosen) > NAMED else ""
    return "、".join(chosen[:NAMED]) + more


def _greedy(upper, eligible, forced, counts: Counts) -> np.ndarray:
    """The names the greedy choice adds after the forced ones, in order."""
    room = np.inf if counts.max_names is None else counts.max_names - forced.sum()
    group_room = [count - (mask & forced).sum() for _, mask, count in counts.groups]
    picked = []
    for i in np.argsort(-upper, kind="stable"):
        if room <= 0:
            break
        if forced[i] or not eligible[i]:
            continue
        inside = [k for k, (_, mask, _) in enumerate(counts.groups) if mask[i]]
        if any(group_room[k] <= 0 for k in inside):
            continue
        picked.append(i)
        room -= 1
        for k in inside:
            group_room[k] -= 1
    return np.asarray(picked, dtype=np.intp)


def _sizes(lower, upper, m, counts: Counts):
    """For each size from the forced names up: the largest sum of uppers and the least sum
    of floors of that many names; empty arrays when the forced names alone cannot be held."""
    floor = np.maximum(lower, m)
    forced = lower > 0
    if (forced & (upper < floor)).any():
        return np.zeros(0, dtype=np.intp), np.zeros(0), np.zeros(0)
    picked = _greedy(upper, (upper >= floor) & (upper > 0), forced, counts)
    top = upper[forced].sum() + np.concatenate([[0.0], np.cumsum(upper[picked])])
    least = floor[forced].sum() + m * np.arange(len(picked) + 1)
    return forced.sum() + np.arange(len(picked) + 1), top, least


def _fits(lower, upper, m, counts: Counts) -> np.ndarray:
    """The sizes of the portfolios that exist."""
    sizes, top, least = _sizes(lower, upper, m, counts)
    return sizes[(top >= 1 - TOLERANCE) & (least <= 1 + TOLERANCE)]


def shortfall(ids, lower, upper, m: float, counts: Counts) -> Shortfall | None:
    """Why no portfolio of ``ids`` keeps to the bounds, the counts and the minimum
    position ``m`` (0 for none), naming the numbers; None when one does."""
    lower = np.asarray(lower, dtype=float)
    upper = np.asarray(upper, dtype=float)
    forced = lower > 0
    floor = np.maximum(lower, m)
    stuck = forced & (upper < floor)
    if stuck.any():
        return Shortfall(
            f"{_names(ids, stuck)} 的下限为正（必须持有），但上限低于最小持仓 {m:.2%}",
            None,
            _largest_min_weight(lower, upper, m, counts),
        )
    if counts.max_names is not None and forced.sum() > counts.max_names:
        return Shortfall(
            f"下限为正、必须持有的股票有 {forced.sum()} 只，多于最多持有的 {counts.max_names} 只",
            _least_max_names(lower, upper, m, counts),
            None,
        )
    for label, mask, count in counts.groups:
        if (forced & mask).sum() > count:
            return Shortfall(
                f"{label} 中下限为正、必须持有的股票有 {(forced & mask).sum()} 只，"
                f"多于该行业最多持有的 {count} 只",
                None,
                None,
            )
    if len(_fits(lower, upper, m, counts)):
        return None
    sizes, top, least = _sizes(lower, upper, m, counts)
    reach = np.flatnonzero(top >= 1 - TOLERANCE)
    needed = _least_max_names(lower, upper, m, counts)
    allowed = _largest_min_weight(lower, upper, m, counts)
    if m > 0 and not (upper >= m).any():
        message = f"最小持仓 {m:.2%} 高于每只股票的上限（最大为 {upper.max():.2%}）"
    elif not len(reach):
        message = f"至多持有 {sizes[-1]} 只股票，其上限之和最多为 {top[-1]:.2%}，不足 100%"
        if m > 0 and (upper < floor).any():
            message += f"（上限低于最小持仓 {m:.2%} 的 {(upper < floor).sum()} 只股票不能持有）"
    else:
        message = (
            f"至少要持有 {sizes[reach[0]]} 只股票，上限之和才能达到 100%，而每只不低于最小持仓 "
            f"{m:.2%}，合计至少 {least[reach[0]]:.2%}，超过 100%"
        )
    return Shortfall(message, needed, allowed)


def _least_max_names(lower, upper, m, counts: Counts) -> int | None:
    """The least overall count with which a portfolio exists, the rest kept."""
    fits = _fits(lower, upper, m, Counts(None, counts.groups))
    return int(fits[0]) if len(fits) else None


def _largest_min_weight(lower, upper, m, counts: Counts) -> float | None:
    """The largest minimum position up to ``m`` with which a portfolio exists (to 1e-6),
    the rest kept; None without a minimum or when not even a tiny one would do."""
    if m <= 0 or not len(_fits(lower, upper, 1e-12, counts)):
        return None
    low, high = 1e-12, m
    while high - low > 1e-6:
        middle = (low + high) / 2
        if len(_fits(lower, upper, middle, counts)):
            low = middle
        else:
            high = middle
    return low


@dataclasses.dataclass(frozen=True)
class Needs:
    """What the other constraints' linear limits ask of the stocks held: at least
    ``names`` in all, from ``limits`` lower limits on stocks no two share;
    ``crowded``, the groups of stocks whose lower limit needs more of them held
    than their upper limit can take at the least weight a holding has; and each
    lower limit's need (``groups``), which holds every portfolio's indicators."""

    names: int
    limits: int
    crowded: int
    #: Each lower limit's need: (the fewest of its stocks held, those stocks).
    groups: tuple[tuple[int, frozenset], ...] = ()


def needed_names(
    matrix, offset: np.ndarray, equal: np.ndarray, upper: np.ndarray, floor: np.ndarray
) -> Needs:
    """What the linear rows ``matrix @ g + offset`` (= 0 where ``equal``, else <= 0) ask
    of a portfolio whose holdings are each within [``floor``, ``upper``].

    A row whose stocks all enter with one sign is a lower limit on them when it
    asks for a positive sum (an industry's lower weight: ``Σ_S g >= L``), and
    an upper limit when it caps the sum (``Σ_S g <= U``); an equality is both.
    A lower limit needs at least the fewest of its stocks whose largest
    contributions (coefficient times upper bound) reach it; an upper limit
    takes at most the most of its stocks whose least contributions (times the
    floor) stay within it.  Lower limits on stocks no two share (one per
    industry) need their stocks together: the largest such needs are added up.
    """
    rows = matrix.tocsr()
    needs, takes = [], {}
    for r in range(rows.shape[0]):
        start, stop = rows.indptr[r], rows.indptr[r + 1]
        stocks, coefficients = rows.indices[start:stop], rows.data[start:stop]
        kept = coefficients != 0
        stocks, coefficients = stocks[kept], coefficients[kept]
        if not len(stocks):
            continue
        # a·g + b <= 0 with a <= 0 and b > 0 asks for Σ(−a)g >= b, with a >= 0 and
        # b < 0 caps Σ a·g at −b; an equality asks both of |a|.
        sign = -1.0 if np.all(coefficients < 0) else 1.0 if np.all(coefficients > 0) else 0.0
        if not sign:
            continue
        weights, target = sign * coefficients, -sign * offset[r]
        support = frozenset(stocks.tolist())
        if target > 0 and (sign < 0 or equal[r]):
            reached = np.cumsum(np.sort(weights * upper[stocks])[::-1])
            count = int(np.searchsorted(reached, target * (1 - TOLERANCE))) + 1
            if count <= len(reached):
                needs.append((count, support))
        if target >= 0 and (sign > 0 or equal[r]):
            least = np.cumsum(np.sort(weights * floor[stocks]))
            room = int(np.searchsorted(least, target * (1 + TOLERANCE), side="right"))
            takes[support] = min(room, takes.get(support, room))
    crowded = sum(count > takes.get(support, count) for count, support in needs)
    names = limits = 0
    taken: set = set()
    # The largest needs first, and of equal needs those on the fewest stocks.
    for count, support in sorted(needs, key=lambda item: (-item[0], len(item[1]))):
        if not support & taken:
            names, limits = names + count, limits + 1
            taken |= support
    return Needs(names, limits, crowded, tuple(needs))
