"""The heuristic: from the relaxation to a portfolio the holdings constraints allow.

1. Select: the stocks the relaxation leans on most (its indicators, then
   its weights), as many as the counts allow, and the problem solved on
   them.  Should that have no solution (other constraints that those
   stocks cannot meet), shrink instead: the relaxation's stocks solved again
   and again with a reweighted ℓ1 penalty (``λ·g/(g_before + ε)``, λ
   growing while too few stocks leave) until the stocks held keep to the
   counts; each step is the call's own problem on stocks that met it, so
   the stocks that leave are those the problem itself gives up.
2. Fill and minimum position: below the count, the best-priced stocks (see
   3.) come in together; then the better of two: every stock held raised to
   the minimum, or, round by round, the stocks below half of it leaving and
   those between raised.
3. Swaps: the Lagrangian's gradient over the whole pool, at the multipliers
   of the last solve, prices every stock outside.  The few whose price
   promises the largest gain (price² over the objective's curvature in
   that stock) come in, in place of the holdings whose removal costs least
   (weight² times curvature), or added while below the count; a move is
   kept when the problem on the new stocks has a lower optimum, and not
   solved when even the recognised form's least value on them, under the
   budget alone, is no lower.
"""

from __future__ import annotations

import time

import numpy as np

from .problem import Relaxed, Space, Trial

__all__ = ["heuristic"]

# Rounds of the shrinking and of the minimum positions.
ROUNDS = 30
# Stocks tried to come in, and to go out, in each round of swaps.
ENTERING, LEAVING = 3, 3
# A penalty that removes less than this share of the stocks grows fourfold.
STALL = 0.9
# Weights below this are zero to the interior-point solver.
SOLVER_ZERO = 1e-7
# Improvements smaller than this, relative to the objective, are the solver's rounding.
RELATIVE_GAIN = 1e-6


def heuristic(space: Space, relaxed: Relaxed, deadline: float, max_solves: int) -> Trial | None:
    """A portfolio the holdings constraints allow, or None when none was found."""
    setting = space.setting
    cut = _cut(setting)
    eligible = setting.upper > 0
    leaning = np.flatnonzero(eligible & ((relaxed.weights > cut) | setting.forced))
    trial = space.on(_select(setting, relaxed, leaning), floor=False)
    if trial is None:
        trial = space.on(leaning, floor=False)
        if trial is None:
            return None
        if not setting.fits(trial.support):
            trial = _shrink(space, trial, relaxed, cut)
            if trial is None:
                return None
    trial = _fill(space, trial, cut)
    if setting.min_weight > 0:
        trial = _minimum(space, trial, cut)
    if trial is None:
        return None
    return _swap(space, trial, deadline, max_solves)


def _fitting(setting, held: np.ndarray, ranked: np.ndarray, size: int) -> np.ndarray:
    """The first ``size`` stocks of ``ranked`` that can join ``held`` within the counts."""
    added: list[int] = []
    for stock in ranked:
        if len(added) >= size:
            break
        if setting.fits([*held, *added, stock]):
            added.append(stock)
    return np.asarray(added, dtype=np.intp)


def _fill(space: Space, trial: Trial, cut: float) -> Trial:
    """Below the count, the best-priced stocks come in together, at no minimum: the
    stocks held keep a solution, so the problem on them all has one."""
    setting = space.setting
    count = setting.counts.max_names
    held = _held(trial, cut, setting)
    if count is None or len(held) >= count:
        return trial
    prices = space.prices(trial)
    outside = np.setdiff1d(np.flatnonzero((setting.upper > 0) & (prices < 0)), held)
    ranked = outside[np.argsort(-(prices[outside] ** 2) / _curvature(space)[outside])]
    added = _fitting(setting, held, ranked, count - len(held))
    filled = space.on(np.append(held, added), floor=False) if len(added) else None
    return filled if filled is not None and filled.value <= trial.value else trial


def _select(setting, relaxed: Relaxed, leaning: np.ndarray) -> np.ndarray:
    """The forced stocks, then those of ``leaning`` with the largest indicators (and
    weights), as far as the counts allow."""
    chosen = list(np.flatnonzero(setting.forced))
    order = np.lexsort((-relaxed.weights[leaning], -relaxed.indicators[leaning]))
    for i in leaning[order]:
        if not setting.forced[i] and setting.fits([*chosen, i]):
            chosen.append(i)
    return np.asarray(chosen, dtype=np.intp)


def _cut(setting) -> float:
    """Weights below this are the solver's rounding of zero."""
    target = setting.counts.max_names or setting.n
    scale = min(1 / target, setting.min_weight or 1.0)
    return max(1e-6, 1e-2 * scale)


def _held(trial: Trial, cut: float, setting) -> np.ndarray:
    return np.flatnonzero((trial.weights > cut) | setting.forced)


def _shrink(space: Space, trial: Trial, relaxed: Relaxed, cut: float) -> Trial | None:
    setting = space.setting
    target = setting.counts.max_names or setting.n
    epsilon = 0.1 / target
    scale = max(abs(trial.value), abs(relaxed.value), 1e-12)
    held = _held(trial, cut, setting)
    strength = 0.5 * scale / len(held)
    before, last = trial.weights, trial
    for _ in range(ROUNDS):
        penalty = strength / (before + epsilon)
        penalised = space.on(held, floor=False, penalty=penalty * trial.zeta)
        if penalised is None and cut > SOLVER_ZERO:
            # Dropping the small holdings broke a constraint (an industry's lower weight
            # that a small holding met): from here on only the solver's zeros leave.
            cut = SOLVER_ZERO
            held = _held(last, cut, setting)
            penalised = space.on(held, floor=False, penalty=penalty * trial.zeta)
        if penalised is None:
            return None
        # The stocks above the cut, then (if the constraints need them) the small ones too.
        for least in (cut,) if cut == SOLVER_ZERO else (cut, SOLVER_ZERO):
            kept = _held(penalised, least, setting)
            found = space.on(kept, floor=False) if setting.fits(kept) else None
            if found is not None:
                return found
        kept = _held(penalised, cut, setting)
        if len(kept) > STALL * len(held):
            strength *= 4
        held, before, last = kept, penalised.weights, penalised
    return None


def _minimum(space: Space, trial: Trial, cut: float) -> Trial | None:
    """Every stock held at the minimum position or above: the better of all stocks held
    raised to it, and the small ones leaving."""
    setting = space.setting
    support = trial.support
    if np.all(trial.weights[support] >= setting.floor[support]):
        # Already at the minimum positions: the problem that holds them has this optimum.
        return trial
    held = _held(trial, cut, setting)
    raised = space.on(held, floor=True)
    left = _leave(space, trial, held, raised is not None)
    if raised is None or (left is not None and left.value < raised.value):
        return left
    return raised


def _leave(space: Space, trial: Trial, held: np.ndarray, raised: bool) -> Trial | None:
    """The small stocks leaving; None when none leaves and all raised had a solution."""
    setting = space.setting
    m = setting.min_weight
    cut = _cut(setting)
    before = len(held)
    for _ in range(ROUNDS):
        weights = trial.weights
        small = held[(weights[held] < m) & ~setting.forced[held]]
        tiny = small[weights[small] < m / 2]
        if not len(tiny):
            break
        smaller = space.on(np.setdiff1d(held, tiny), floor=False)
        if smaller is None:
            # Leaving all at once breaks a constraint: the smallest alone, or none.
            smallest = small[np.argmin(weights[small])]
            smaller = space.on(np.setdiff1d(held, [smallest]), floor=False)
            if smaller is None:
                break
        trial, held = smaller, _held(smaller, cut, setting)
    if raised and len(held) == before:
        return None
    floored = space.on(held, floor=True)
    while floored is None and len(held) > 1:
        # Too many minimum positions (or ones another constraint cannot take): the smallest leaves.
        free = held[~setting.forced[held]]
        if not len(free):
            return None
        held = np.setdiff1d(held, [free[np.argmin(trial.weights[free])]])
        floored = space.on(held, floor=True)
    return floored


def _curvature(space: Space) -> np.ndarray:
    """Per stock, the objective's second derivative in its weight over two (1 unknown)."""
    form = space.form
    if form is None:
        return np.ones(space.setting.n)
    return np.maximum(form.c * ((form.loadings**2).sum(axis=1) + form.delta), 1e-300)


def _exchanges(space: Space, held, cheapest, stock) -> list[np.ndarray]:
    """``stock`` in place of each of the ``LEAVING`` cheapest holdings (in ``cheapest``)
    whose leaving keeps every linear constraint within reach: a small holding is often
    all an industry's lower weight has."""
    found = []
    for out in cheapest:
        support = np.append(np.setdiff1d(held, [out]), stock)
        if space.reachable(support):
            found.append(support)
            if len(found) == LEAVING:
                break
    return found


def _swap(space: Space, trial: Trial, deadline: float, max_solves: int) -> Trial:
    setting = space.setting
    eligible = setting.upper > 0
    count = setting.counts.max_names
    curvature = _curvature(space)
    while time.perf_counter() < deadline and space.solves < max_solves:
        gain = RELATIVE_GAIN * max(abs(trial.value), 1e-12)
        prices = space.prices(trial)
        held = trial.support
        inside = np.zeros(setting.n, dtype=bool)
        inside[held] = True
        outside = np.flatnonzero(eligible & ~inside & (prices < 0))
        promise = prices[outside] ** 2 / curvature[outside]
        entering = outside[np.argsort(-promise, kind="stable")][:ENTERING]
        free = held[~setting.forced[held]]
        cost = (trial.weights[free] * trial.zeta) ** 2 * curvature[free]
        cheapest = free[np.argsort(cost, kind="stable")]
        moves = []
        room = len(entering) if count is None else count - len(held)
        if room > 0:
            # Below the count: the best-priced stocks come in, all that fit, then halves.
            ranked = outside[np.argsort(-promise, kind="stable")]
            size = room
            while size > 1:
                moves.append(np.append(held, _fitting(setting, held, ranked, size)))
                size //= 2
            moves.extend(np.append(held, stock) for stock in entering)
        for stock in entering:
            moves.extend(_exchanges(space, held, cheapest, stock))
        better = None
        for support in moves:
            if not setting.fits(support) or not space.reachable(support):
                continue
            if time.perf_counter() >= deadline or space.solves >= max_solves:
                break
            if space.least(support) >= trial.value - gain:
                continue  # cannot be better, even without its bounds: not worth a solve
            candidate = space.on(support, floor=True)
            if candidate is not None and candidate.value < trial.value - gain:
                better = candidate
                break
        if better is None:
            break
        trial = better
    return trial
