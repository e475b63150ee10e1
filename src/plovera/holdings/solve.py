"""A call with holdings constraints, from its arguments to weights and a report."""

from __future__ import annotations

import dataclasses
import threading
import time
import warnings

import numpy as np
import pandas as pd

from .. import optimize, prepared
from ..const import CovModel
from ..exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from ..objective import MaxInformationRatio, MaxSharpeRatio, RiskParity
from .counting import Counts, shortfall
from .exact import PROVEN_GAP, exact, exact_solvers
from .problem import Relaxed, Setting, Space, Trial
from .rules import Rules, split
from .search import heuristic

__all__ = [
    "HoldingsReport",
    "PreparedHoldings",
    "last_report",
    "portfolio_optimize",
    "prepare_optimize",
    "setting_of",
]

# "auto" solves exactly when at most this many stocks can be held.
AUTO_EXACT_STOCKS = 20
# Problems on a support the heuristic may solve.
HEURISTIC_SOLVES = 30
# Past this many stocks, the heuristic searches among the relaxation's leading ones.
SEARCHED_STOCKS = 600
# Objective values this close, relative to their size, are one optimum.
SAME_VALUE = 1e-6
# What portfolio_optimize warns when it drops the soft constraints.
SOFT_DROPPED = "约束无法满足，放弃所有软约束重试"

_LAST = threading.local()


@dataclasses.dataclass(frozen=True)
class HoldingsReport:
    """How a call with holdings constraints was solved, and how good its answer is.

    ``method`` is "exact" (the mixed-integer solver's portfolio), "heuristic"
    or "continuous" (the constraints did not bind: solved without them, which
    is optimal).  ``objective`` is the objective's value at the weights (the
    homogenised value of a ratio objective, as ``portfolio_optimize``
    minimises it), ``bound`` a proven lower bound on the value of any
    portfolio the constraints allow (the relaxation's, or the exact solver's
    when better), and ``gap`` = (objective - bound) / max(|objective|,
    |bound|): the answer is at most that far from the best.  ``bound`` and
    ``gap`` are None where no bound is known (risk parity, whose objective
    changes with the stocks held).  ``proven_optimal`` says the exact solver
    proved the portfolio best; ``exact_objective`` is the exact solver's own best
    value (None when it did not run or found nothing in time), which a better
    heuristic portfolio beats.  ``soft_dropped``: the soft constraints were
    dropped.  ``note`` says what else happened (a time limit, a missing
    solver).
    """

    method: str
    objective: float | None
    bound: float | None
    gap: float | None
    proven_optimal: bool
    holdings: int
    max_names: int | None
    min_weight: float
    solver: str | None = None
    exact_objective: float | None = None
    seconds: float = 0.0
    solves: int = 0
    soft_dropped: bool = False
    note: str = ""

    def __str__(self) -> str:
        found = f"{self.method}，持有 {self.holdings} 只"
        if self.gap is not None and self.objective is not None:
            found += f"，目标值 {self.objective:.6g}，下界 {self.bound:.6g}，差距 {self.gap:.2%}"
        if self.proven_optimal:
            found += "，已证明最优"
        if self.soft_dropped:
            found += "，已放弃软约束"
        return found + (f"（{self.note}）" if self.note else "")


def last_report() -> HoldingsReport | None:
    """The report of the last call with holdings constraints in this thread."""
    return getattr(_LAST, "report", None)


class _NoPortfolio(Exception):
    """No portfolio keeps to the constraints of an attempt; the message says why."""


@dataclasses.dataclass
class _Call:
    ids: list
    date: object
    objective: object
    bnds: dict | None
    benchmark: object
    cov_model: object
    helper: object
    started: float

    def plain(self, cons):
        """The call without holdings constraints, through portfolio_optimize itself."""
        return optimize.portfolio_optimize(
            self.ids, self.date, self.objective, self.bnds, cons, self.benchmark, self.cov_model
        )


def portfolio_optimize(
    order_book_ids,
    date,
    objective=optimize.DEFAULT_OBJECTIVE,
    bnds=None,
    cons=None,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
):
    """``plovera.portfolio_optimize`` for ``cons`` with holdings constraints."""
    started = time.perf_counter()
    hard, soft, rest = split(cons)
    ids, helper = prepared.set_up_optimization(
        order_book_ids, date, objective, bnds, rest, benchmark, cov_model
    )
    if helper is None:
        # As portfolio_optimize answers a pool of one stock: a dict, all of the weight on it.
        _reported(pd.Series([1.0], index=ids), "continuous", Rules.of(hard + soft), started, None)
        return {ids[0]: 1.0}
    call = _Call(ids, date, objective, bnds, benchmark, cov_model, helper, started)
    try:
        return _attempt(call, Rules.of(hard + soft), rest)
    except _NoPortfolio as failure:
        if not soft and all(bool(c.hard) for c in rest):
            raise OptimizationFailed(str(failure)) from None
    # Stack level 2: the caller of portfolio_optimize, whose own frames are compiled.
    warnings.warn(SOFT_DROPPED, OptimizerWarning, stacklevel=2)
    try:
        return _attempt(call, Rules.of(hard), [c for c in rest if c.hard], soft_dropped=True)
    except _NoPortfolio as failure:
        raise OptimizationFailed(str(failure)) from None


def _bounds(call: _Call) -> tuple[np.ndarray, np.ndarray]:
    n = len(call.ids)
    if call.bnds is None:
        return np.zeros(n), np.ones(n)
    lower, upper = optimize.parse_bnds(call.bnds, call.ids)
    return np.asarray(lower, dtype=float), np.asarray(upper, dtype=float)


def _counts(call: _Call, rules: Rules) -> Counts:
    n = len(call.ids)
    groups = []
    for classification, industry, count in rules.industry_limits:
        names = call.helper.get_industry(classification).to_numpy(dtype=object)[:n]
        groups.append((industry, names == industry, count))
    return Counts(rules.max_names, tuple(groups))


def _attempt(call: _Call, rules: Rules, cons: list, soft_dropped: bool = False) -> pd.Series:
    if not rules:
        weights = pd.Series(call.plain(cons), dtype=float)
        return _reported(weights, "continuous", rules, call.started, None, soft_dropped)
    lower, upper = _bounds(call)
    counts = _counts(call, rules)
    m = rules.min_weight
    found = shortfall(call.ids, lower, upper, m, counts)
    if found is not None:
        raise _NoPortfolio(f"{rules.describe()}：{found.message}")
    setting = setting_of(call.ids, call.objective, call.helper, cons, lower, upper, m, counts)
    eligible = setting.upper > 0
    binding = m > 0 or (counts.max_names is not None and eligible.sum() > counts.max_names)
    binding = binding or any(eligible[mask].sum() > count for _, mask, count in counts.groups)
    if not binding:
        weights = pd.Series(call.plain(cons), dtype=float)
        return _reported(weights, "continuous", rules, call.started, None, soft_dropped)
    if isinstance(call.objective, RiskParity):
        return _risk_parity(call, setting, rules, cons, soft_dropped)
    return _search(call, setting, rules, soft_dropped)


def setting_of(ids, objective, helper, cons, lower, upper, min_weight, counts) -> Setting:
    """The data of a call: a stock whose upper bound cannot reach the minimum position
    (or is 0) cannot be held, and gets an upper bound of 0."""
    floor = np.maximum(lower, min_weight)
    eligible = (upper >= floor) & (upper > 0)
    return Setting(
        ids=ids,
        objective=objective,
        helper=helper,
        cons=cons,
        lower=lower,
        upper=np.where(eligible, upper, 0.0),
        floor=floor,
        counts=counts,
        min_weight=min_weight,
        variable_scale=isinstance(objective, MaxInformationRatio | MaxSharpeRatio),
    )


def _search(call: _Call, setting: Setting, rules: Rules, soft_dropped: bool) -> pd.Series:
    space = Space(setting)
    count = setting.counts.max_names
    needs = space.needs
    if needs is not None and count is not None and needs.names > count:
        raise _NoPortfolio(
            f"{rules.describe()}：其他约束中 {needs.limits} 个下限（各在不同的股票上）"
            f"合计至少需要持有 {needs.names} 只股票，多于 {count} 只"
        )
    if needs is not None and needs.crowded:
        raise _NoPortfolio(
            f"{rules.describe()}：其他约束中有 {needs.crowded} 组股票，其下限要求持有的只数"
            f"多于其上限在最小持仓 {rules.min_weight:.2%} 下所能容纳的只数"
        )
    relaxed = space.relax()
    if relaxed is None:
        raise _NoPortfolio(f"{rules.describe()}：连同其他约束无解（松弛问题无解）")
    deadline = call.started + rules.time_limit
    searched, leading, chosen = _narrowed(call, space, relaxed)
    trial = heuristic(searched, leading, deadline, HEURISTIC_SOLVES)
    if chosen is not None:
        if trial is not None:
            trial = _widened(trial, chosen, setting.n)
        else:
            # The stocks left out were needed (by an industry, a style): the whole pool.
            trial = heuristic(space, relaxed, deadline, HEURISTIC_SOLVES)
    method, bound, proven, solver, note = "heuristic", relaxed.value, False, None, ""
    exact_value = None
    linear = space.form is None or space.form.c == 0
    eligible = int((setting.upper > 0).sum())
    wanted = rules.method == "exact" or (
        rules.method == "auto"
        and eligible <= AUTO_EXACT_STOCKS
        and bool(exact_solvers(linear))
        and not (setting.variable_scale and space.form is None)
    )
    if wanted:
        remaining = max(rules.time_limit - (time.perf_counter() - call.started), 1.0)
        found = exact(space, remaining, trial)
        solver, note = found.solver, found.note
        if found.bound is not None:
            bound = max(bound, found.bound)
        if found.trial is not None:
            exact_value = found.trial.value
            # Values this close are the same optimum, to the solvers' accuracy: within the
            # gap the exact solver proved, when it proved one (its values are that loose).
            same = PROVEN_GAP if found.proven else SAME_VALUE
            tolerance = same * max(abs(found.trial.value), 1e-300)
            if trial is None or found.trial.value <= trial.value + tolerance:
                trial, method, proven = found.trial, "exact", found.proven
        elif found.proven and trial is None:
            raise _NoPortfolio(f"{rules.describe()}：连同其他约束无解（{found.note}）")
    if trial is None:
        raise _NoPortfolio(f"{rules.describe()}：连同其他约束未找到可行的组合")
    if proven:
        bound = max(bound, trial.value) if bound is not None else trial.value
    weights = pd.Series(_clean(setting, trial), index=setting.ids)
    return _reported(
        weights,
        method,
        rules,
        call.started,
        bound,
        soft_dropped,
        value=trial.value,
        proven=proven,
        solver=solver,
        exact_value=exact_value,
        solves=space.solves + (searched.solves if chosen is not None else 0),
        note=note,
    )


def _narrowed(call: _Call, space: Space, relaxed: Relaxed):
    """Where the heuristic searches, ``(space, relaxation, chosen)``: past
    ``SEARCHED_STOCKS`` stocks (or twice the count, if more), the call's own problem
    over the stocks that must be held and as many that the relaxation leans on most
    (``chosen``, indices of the pool), with the relaxation's solution there; else the
    whole pool's (``chosen`` None).

    A problem over the whole pool carries every stock held at zero through each
    solve (and its first compilation takes seconds at thousands of stocks): the
    narrower pool's solves take a fraction of the time, and the stocks left out
    are those the relaxation all but gave up.  The bound stays the whole pool's."""
    setting = space.setting
    # At least twice the count: room for the swaps, and for the other constraints.
    searched = max(SEARCHED_STOCKS, 2 * (setting.counts.max_names or 0))
    if setting.n <= searched:
        return space, relaxed, None
    order = np.lexsort((-relaxed.weights, -relaxed.indicators))
    others = order[(setting.upper[order] > 0) & ~setting.forced[order]]
    chosen = np.union1d(np.flatnonzero(setting.forced), others[:searched])
    ids = [setting.ids[i] for i in chosen]
    bnds = {
        ids[k]: (float(setting.lower[i]), float(setting.upper[i])) for k, i in enumerate(chosen)
    }
    found, helper = prepared.set_up_optimization(
        ids, call.date, call.objective, bnds, setting.cons, call.benchmark, call.cov_model
    )
    if list(found) != ids:
        return space, relaxed, None  # cleaned otherwise than the whole pool: searched whole
    groups = tuple((label, mask[chosen], count) for label, mask, count in setting.counts.groups)
    narrow = dataclasses.replace(
        setting,
        ids=ids,
        helper=helper,
        lower=setting.lower[chosen],
        upper=setting.upper[chosen],
        floor=setting.floor[chosen],
        counts=Counts(setting.counts.max_names, groups),
    )
    weights = relaxed.weights[chosen]
    leading = Relaxed(relaxed.value, weights / weights.sum(), relaxed.indicators[chosen])
    return Space(narrow), leading, chosen


def _widened(trial: Trial, chosen: np.ndarray, n: int) -> Trial:
    """A trial over the stocks ``chosen`` of a pool of ``n``, over the whole pool."""
    weights = np.zeros(n)
    weights[chosen] = trial.weights
    return Trial(chosen[trial.support], weights, trial.value, trial.zeta, [])


def _clean(setting: Setting, trial: Trial) -> np.ndarray:
    """The trial's weights with the holdings constraints and the bounds held exactly: the
    stocks held within [floor, upper], the others at zero, adding up to 1."""
    weights = trial.weights
    held = np.zeros(setting.n, dtype=bool)
    held[trial.support] = True
    if setting.min_weight == 0:
        held &= (weights > 1e-9) | setting.forced
    low, high = setting.floor[held], setting.upper[held]
    kept = np.clip(weights[held], low, high)
    rest = 1.0 - kept.sum()
    room = high - kept if rest > 0 else kept - low
    if room.sum() > 0:
        kept += rest * room / room.sum()
    cleaned = np.zeros(setting.n)
    cleaned[held] = kept
    return cleaned


def _risk_parity(call, setting: Setting, rules: Rules, cons, soft_dropped) -> pd.Series:
    """Risk parity over the stocks the relaxation weighs most: its objective changes
    with the stocks held, so no bound is known."""
    eligible = np.flatnonzero(setting.upper > 0)
    held = _by_weight(setting, _risk_parity_on(call, setting, eligible, cons, floor=False))
    if held is None:
        raise _NoPortfolio(f"{rules.describe()}：风险平价未找到可行的组合")
    weights = None
    for _ in range(len(held)):
        weights = _risk_parity_on(call, setting, held, cons, floor=False)
        small = held[weights.to_numpy()[held] < setting.min_weight]
        if not len(small):
            break
        held = np.setdiff1d(held, [small[np.argmin(weights.to_numpy()[small])]])
    weights = _risk_parity_on(call, setting, held, cons, floor=True)
    return _reported(
        weights, "heuristic", rules, call.started, None, soft_dropped, note="风险平价无下界"
    )


def _risk_parity_on(call, setting: Setting, held, cons, floor: bool) -> pd.Series:
    pool = [setting.ids[i] for i in held]
    low = setting.floor if floor else setting.lower
    bnds = {setting.ids[i]: (float(low[i]), float(setting.upper[i])) for i in held}
    try:
        weights = optimize.portfolio_optimize(
            pool, call.date, call.objective, bnds, cons, call.benchmark, call.cov_model
        )
    except OptimizationFailed as error:
        raise _NoPortfolio(f"风险平价在 {len(pool)} 只股票上无解: {error}") from None
    return pd.Series(weights, dtype=float).reindex(setting.ids, fill_value=0.0)


def _by_weight(setting: Setting, weights: pd.Series) -> np.ndarray | None:
    """The stocks that must be held, then the heaviest others, as far as the counts go."""
    values = weights.to_numpy()
    chosen = list(np.flatnonzero(setting.forced))
    for i in np.argsort(-values, kind="stable"):
        if values[i] <= 0 or setting.forced[i] or setting.upper[i] <= 0:
            continue
        if setting.fits([*chosen, i]):
            chosen.append(i)
    return np.sort(np.asarray(chosen, dtype=np.intp)) if chosen else None


def _reported(
    weights: pd.Series,
    method: str,
    rules: Rules,
    started: float,
    bound: float | None,
    soft_dropped: bool = False,
    value: float | None = None,
    proven: bool = False,
    solver: str | None = None,
    exact_value: float | None = None,
    solves: int = 0,
    note: str = "",
) -> pd.Series:
    gap = None
    if method == "continuous":
        proven = True
    elif bound is not None and value is not None:
        gap = max(value - bound, 0.0) / max(abs(value), abs(bound), 1e-300)
    report = HoldingsReport(
        method=method,
        objective=value,
        bound=bound,
        gap=0.0 if method == "continuous" else gap,
        proven_optimal=proven,
        holdings=int((weights > 0).sum()),
        max_names=rules.max_names,
        min_weight=rules.min_weight,
        solver=solver,
        exact_objective=exact_value,
        seconds=time.perf_counter() - started,
        solves=solves,
        soft_dropped=soft_dropped,
        note=note,
    )
    weights.attrs["holdings"] = report
    _LAST.report = report
    return weights


class PreparedHoldings:
    """A call with holdings constraints prepared (its pool cleaned) to be solved later,
    as :func:`plovera.prepared.prepare_optimize` prepares others: ``solve(bnds)``
    replaces the bounds of the stocks ``bnds`` names ("*" for every stock it does not
    name), ``factorize()`` solves at the prepared bounds now, for a later ``solve()``
    without new bounds to return."""

    def __init__(self, order_book_ids, arguments) -> None:
        self.order_book_ids = order_book_ids
        self._arguments = arguments
        self._solved = None

    def factorize(self) -> None:
        if self._solved is None:
            self._solved = portfolio_optimize(self.order_book_ids, *self._arguments)

    def solve(self, bnds=None):
        date, objective, prepared_bnds, cons, benchmark, cov_model = self._arguments
        if not bnds:
            self.factorize()
            _LAST.report = self._solved.attrs["holdings"]
            return self._solved.copy()
        if not isinstance(bnds, dict):
            raise InvalidArgument(
                "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"
            )
        pool = set(self.order_book_ids)
        for order_book_id in bnds:
            if order_book_id != "*" and order_book_id not in pool:
                raise InvalidArgument(f"合约 {order_book_id} 不在准备优化的股票池中")
        merged = dict(bnds) if "*" in bnds else {**(prepared_bnds or {}), **bnds}
        return portfolio_optimize(
            self.order_book_ids, date, objective, merged, cons, benchmark, cov_model
        )


def prepare_optimize(
    order_book_ids,
    date,
    objective=optimize.DEFAULT_OBJECTIVE,
    bnds=None,
    cons=None,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
) -> PreparedHoldings:
    """``plovera.prepared.prepare_optimize`` for ``cons`` with holdings constraints."""
    _, _, rest = split(cons)
    ids, _ = prepared.set_up_optimization(
        order_book_ids, date, objective, bnds, rest, benchmark, cov_model
    )
    return PreparedHoldings(ids, (date, objective, bnds, list(cons), benchmark, cov_model))
