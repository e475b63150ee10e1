"""The exact path: the mixed-integer problem, solved by SCIP, or by HiGHS when it is linear.

With a ratio objective the scale zeta is a variable, and the binary links
need a bound on it: the objective is zeta² times the risk of the portfolio,
which is at least the least risk any portfolio the holdings constraints
allow can have (the relaxation with zeta held at 1 and the ratio's own
constraint left out), so a solution at least as good as the heuristic's has
``zeta <= sqrt(heuristic / least risk)``.
"""

from __future__ import annotations

import dataclasses
import math
import warnings

import cvxpy as cp
import numpy as np

from .problem import Space, Trial

__all__ = ["Exact", "exact", "exact_solvers"]

# A solution at least as good as the heuristic's has a scale this much below the bound's.
ZETA_MARGIN = 1.01
# The exact solver stops once its solution is proven within this share of the best.
PROVEN_GAP = 1e-4
_LINEAR = (
    cp.constraints.Inequality
    | cp.constraints.Equality
    | cp.constraints.NonNeg
    | cp.constraints.Zero
)


@dataclasses.dataclass
class Exact:
    """What the mixed-integer solver found: a portfolio (None if none in time), the best
    bound it proved, whether the portfolio is proven optimal, the solver and a note."""

    trial: Trial | None
    bound: float | None
    proven: bool
    solver: str | None
    note: str = ""


def exact_solvers(linear: bool) -> list[str]:
    """The installed solvers that can take the mixed-integer problem, the first preferred."""
    installed = cp.installed_solvers()
    wanted = [cp.HIGHS, cp.SCIP] if linear else [cp.SCIP]
    return [solver for solver in wanted if solver in installed]


def _linear(problem: cp.Problem) -> bool:
    return problem.objective.args[0].is_affine() and all(
        isinstance(c, _LINEAR) and all(arg.is_affine() for arg in c.args)
        for c in problem.constraints
    )


def exact(space: Space, time_limit: float, incumbent: Trial | None) -> Exact:
    """The mixed-integer problem solved within ``time_limit`` seconds."""
    zeta_max = None
    if space.setting.variable_scale:
        zeta_max = _zeta_bound(space, incumbent)
        if zeta_max is None:
            return Exact(None, None, False, None, "比率目标函数的尺度无法界定，未能精确求解")
    problem, g, z, zeta = space.holdings_problem(integer=True, zeta_max=zeta_max)
    solvers = exact_solvers(_linear(problem))
    if not solvers:
        return Exact(None, None, False, None, "未安装混合整数求解器（SCIP 或 HiGHS）")
    solver = solvers[0]
    options = (
        {"scip_params": {"limits/time": time_limit, "limits/gap": PROVEN_GAP}}
        if solver == cp.SCIP
        else {"time_limit": time_limit, "mip_rel_gap": PROVEN_GAP}
    )
    space.solves += 1
    try:
        with warnings.catch_warnings():
            # A stop at the time or gap limit is read from the status below.
            warnings.filterwarnings("ignore", "Solution may be inaccurate", UserWarning)
            problem.solve(solver=solver, **options)
    except cp.SolverError as error:
        return Exact(None, None, False, solver, f"{solver} 求解失败: {error}")
    if problem.status == cp.INFEASIBLE:
        return Exact(None, None, True, solver, f"{solver} 证明问题无解")
    bound = _dual_bound(problem, solver)
    if g.value is None or problem.status not in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE):
        return Exact(None, bound, False, solver, f"{solver} 在 {time_limit:g} 秒内未找到解")
    held = np.flatnonzero(z.value > 0.5)
    scale = float(zeta.value) if isinstance(zeta, cp.Variable) else float(zeta)
    weights = np.zeros(space.setting.n)
    weights[held] = np.clip(g.value[held], 0, None)
    weights /= weights.sum()
    trial = Trial(held, weights, space.value(weights, scale), scale, [])
    stats = problem.solver_stats.extra_stats if problem.solver_stats else None
    stopped = stats.get("scip_status") if isinstance(stats, dict) else None
    proven = problem.status == cp.OPTIMAL or stopped == "gaplimit"
    note = "" if proven else f"{solver} 在 {time_limit:g} 秒的时间限制内未证明最优"
    return Exact(trial, bound, proven, solver, note)


def _zeta_bound(space: Space, incumbent: Trial | None) -> float | None:
    if incumbent is None or space.form is None:
        return None
    least = space.relax(zeta=1.0, internal=False)
    if least is None or least.value <= 0 or incumbent.value <= 0:
        return None
    return ZETA_MARGIN * math.sqrt(incumbent.value / least.value)


def _dual_bound(problem: cp.Problem, solver: str) -> float | None:
    """The solver's proven lower bound on the problem's value, or None."""
    stats = problem.solver_stats.extra_stats if problem.solver_stats else None
    value = problem.objective.value
    if stats is None or value is None:
        return None
    if solver == cp.SCIP:
        model = stats.get("model")
        if model is None or not model.getNSols():
            return None
        # The model's objective leaves out the constant cvxpy moved into its offset.
        offset = float(value) - model.getSolObjVal(model.getBestSol())
        return float(model.getDualbound()) + offset
    dual = getattr(stats, "mip_dual_bound", None)
    primal = getattr(stats, "objective_function_value", None)
    if dual is None or primal is None or not math.isfinite(dual):
        return None
    return float(dual) + float(value) - float(primal)
