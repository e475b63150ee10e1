"""The convex pieces of one call with holdings constraints.

Every problem here is the call's own problem, built from its objective and
constraint objects by their own code, over the weights ``g`` (``zeta`` times
the portfolio, as in ``portfolio_optimize``):

* on a support: the weights outside it held at zero, those in it at least
  the minimum position, as a problem over the support's weights alone;
* the relaxation: each stock gets an indicator ``z`` in [0, 1] that the
  counts limit, with ``g <= upper·zeta·z`` and ``g >= floor·zeta·z``; the
  optimum of any portfolio the holdings constraints allow is at least its
  value, which makes it the lower bound of the gap;
* the same with binary ``z``: the exact mixed-integer problem.

When zeta is a number and the objective is recognised as a risk over the
factor model, ``f(g, zeta) = k + ℓ·g + c·(‖Lᵀg − zeta·h‖² + Σ δ(g −
zeta·b)² + o·zeta²)``, the relaxation and the mixed-integer problem write
each stock's specific term in perspective, ``δ(g²/z − 2·zeta·b·g +
zeta²·b²)``: equal to the objective at a binary ``z``, above it at a
fractional one, and so a much tighter bound than the objective itself,
which a portfolio of few names can come close to.  The form is read off the
objective numerically (its value at zero, its gradient and its curvature
along one direction), or, for the ratio objectives, taken from the factor
model, and checked at random points against the objective's own
expression; anything else (a user's objective, style deviation) is relaxed
as it is.  With a variable zeta (the ratio objectives) the perspective
would need a cone per stock in zeta too, which makes the relaxation many
times slower than the problem itself: their relaxation keeps the objective
as it is, and their bound is the weaker one.
"""

from __future__ import annotations

import dataclasses
import functools
import warnings

import cvxpy as cp
import numpy as np
import scipy.sparse as sp

from ..exception import OptimizerWarning
from ..objective import MaxInformationRatio, MaxSharpeRatio
from .counting import Counts, Needs, needed_names
from .quadratic import CLARABEL_OPTIONS, LinearRows, SupportProgramme, relaxation

__all__ = ["Form", "Relaxed", "Setting", "Space", "Trial"]

# As portfolio_optimize solves.
MAX_ITERATIONS = 10000
SOLVED = (cp.OPTIMAL, cp.OPTIMAL_INACCURATE)
# How closely a recognised form must reproduce the objective, relative to its terms.
FORM_TOLERANCE = 1e-7
# Problems on a support up to this many stocks are solved by the interior-point solver.
CLARABEL_STOCKS = 1000
_EQUALITY = cp.constraints.Equality


@dataclasses.dataclass
class Setting:
    """One call's data: the pool, its objective and helper, the constraint objects to
    hold, the bounds (upper 0 for a stock that cannot reach the minimum position) and
    the counts.  ``floor`` is the least weight of a stock held."""

    ids: list[str]
    objective: object
    helper: object
    cons: list
    lower: np.ndarray
    upper: np.ndarray
    floor: np.ndarray
    counts: Counts
    min_weight: float
    variable_scale: bool

    @property
    def n(self) -> int:
        return len(self.ids)

    @property
    def forced(self) -> np.ndarray:
        return self.lower > 0

    def zeta(self):
        return cp.Variable(nonneg=True) if self.variable_scale else 1.0

    def fits(self, support) -> bool:
        """Whether the stocks ``support`` (indices) keep to the counts."""
        support = np.asarray(support, dtype=np.intp)
        if self.counts.max_names is not None and len(support) > self.counts.max_names:
            return False
        return all(mask[support].sum() <= count for _, mask, count in self.counts.groups)


def assemble(setting: Setting, g, zeta, internal: bool = True):
    """The objective's expression and the constraints of the call over ``g``, an
    n-vector expression, besides the budget and the bounds."""
    objective, helper = setting.objective, setting.helper
    expression = objective.get_objective_expr(g, zeta, helper)
    if not isinstance(expression, cp.Expression):
        expression = cp.Constant(expression)  # an objective with nothing to minimise: 0
    rows = list(objective.get_internal_constraints(g, zeta, helper)) if internal else []
    for constraint in setting.cons:
        rows.extend(constraint.to_constraints(g, zeta, helper))
    return expression, rows


def solve(problem: cp.Problem, solver) -> bool:
    """Whether ``problem`` was solved; an infeasible one or a solver failure is not."""
    options = {cp.SCS: {"max_iters": MAX_ITERATIONS}, cp.CLARABEL: CLARABEL_OPTIONS}.get(solver, {})
    try:
        with warnings.catch_warnings():
            # An inaccurate solution is used as portfolio_optimize uses one, unwarned here.
            warnings.filterwarnings("ignore", "Solution may be inaccurate", UserWarning)
            problem.solve(solver=solver, **options)
    except cp.SolverError:
        return False
    return problem.status in SOLVED


def factor_loadings(model) -> tuple[np.ndarray, np.ndarray]:
    """``(B, δ)`` with ``B Bᵀ + diag(δ)`` the model's covariance, as the optimiser writes it."""
    covariance = model.factor_covariance.to_numpy(dtype=float)
    values, vectors = np.linalg.eigh((covariance + covariance.T) / 2)
    loadings = model.exposures.to_numpy(dtype=float) @ (vectors * np.sqrt(np.clip(values, 0, None)))
    return loadings, np.clip(model.specific_variance.to_numpy(dtype=float), 0, None)


@dataclasses.dataclass
class Form:
    """``f(g, zeta) = k + ℓ·g + c·(‖Lᵀg − zeta·h‖² + Σ δ(g − zeta·b)² + o·zeta²)``."""

    k: float
    ell: np.ndarray
    c: float
    loadings: np.ndarray
    h: np.ndarray
    delta: np.ndarray
    b: np.ndarray
    o: float

    def value(self, g: np.ndarray, zeta: float) -> float:
        common = self.loadings.T @ g - zeta * self.h
        specific = self.delta @ (g - zeta * self.b) ** 2
        return self.k + self.ell @ g + self.c * (common @ common + specific + self.o * zeta**2)

    def gradient(self, g: np.ndarray, zeta: float) -> np.ndarray:
        """The gradient of ``value`` in ``g``."""
        common = self.loadings.T @ g - zeta * self.h
        return self.ell + 2 * self.c * (self.loadings @ common + self.delta * (g - zeta * self.b))

    def scale(self, g: np.ndarray, zeta: float) -> float:
        """The size of the terms of ``value``, for comparing it with another computation."""
        common = self.loadings.T @ g - zeta * self.h
        specific = self.delta @ (g - zeta * self.b) ** 2
        curvature = abs(self.c) * (common @ common + specific + abs(self.o) * zeta**2)
        return abs(self.k) + np.abs(self.ell) @ g + curvature

    def perspective(self, g, zeta: float, z):
        """The expression at a constant ``zeta`` with each specific term in perspective,
        and the cones of its ``g²/z``."""
        s = cp.Variable(len(self.delta), nonneg=True)
        weighted = self.delta * self.b
        risk = (
            cp.sum_squares(self.loadings.T @ g - zeta * self.h)
            + self.delta @ s
            - 2 * zeta * weighted @ g
            + zeta**2 * (weighted @ self.b + self.o)
        )
        return self.k + self.ell @ g + self.c * risk, [_over(g, z, s)]


def _over(x, d, t) -> cp.Constraint:
    """``t >= x² / d`` elementwise, as second-order cones."""
    return cp.SOC(t + d, cp.vstack([2 * x, t - d]), axis=0)


def _gradient(expression, g) -> np.ndarray:
    """The gradient of ``expression`` in ``g`` at their values, zero where it has none."""
    gradient = expression.grad.get(g)
    if gradient is None:
        return np.zeros(g.shape)
    return np.asarray(gradient.todense() if sp.issparse(gradient) else gradient).ravel()


def _value_at(expression, g, zeta, at_g, at_zeta) -> float:
    g.value = at_g
    if isinstance(zeta, cp.Variable):
        zeta.value = at_zeta
    return float(expression.value)


def recognise(setting: Setting, g, zeta, expression) -> Form | None:
    """The objective's factor form, or None when it is not recognised."""
    helper, n = setting.helper, setting.n
    known = {g.id} | ({zeta.id} if isinstance(zeta, cp.Variable) else set())
    if not hasattr(helper, "get_factor_model") or {v.id for v in expression.variables()} - known:
        return None
    kind = type(setting.objective)
    if isinstance(zeta, cp.Variable):
        if kind.get_objective_expr is MaxSharpeRatio.get_objective_expr:
            loadings, delta = factor_loadings(helper.get_factor_model())
            zeros = np.zeros(n)
            form = Form(0.0, zeros, 1.0, loadings, np.zeros(loadings.shape[1]), delta, zeros, 0.0)
        elif kind.get_objective_expr is MaxInformationRatio.get_objective_expr and hasattr(
            helper, "get_union_factor_model"
        ):
            loadings, delta = factor_loadings(helper.get_union_factor_model())
            b = helper.benchmark_weight.to_numpy(dtype=float)
            outside = float(delta[n:] @ b[n:] ** 2)
            form = Form(
                0.0, np.zeros(n), 1.0, loadings[:n], loadings.T @ b, delta[:n], b[:n], outside
            )
        else:
            return None
    else:
        loadings, delta = factor_loadings(helper.get_factor_model())
        zeros = np.zeros(n)
        at_zero = _value_at(expression, g, zeta, zeros, None)
        gradient = expression.grad.get(g)
        if gradient is None:
            return None
        ell = np.asarray(gradient.todense() if sp.issparse(gradient) else gradient).ravel()
        # Along x: f(2x) − 2 f(x) + f(0) = 2 c xᵀΣx for f = k + ℓ·g + c gᵀΣg.
        x = np.full(n, float(zeta) / n)
        common = loadings.T @ x
        variance = common @ common + delta @ x**2
        twice = _value_at(expression, g, zeta, 2 * x, None)
        once = _value_at(expression, g, zeta, x, None)
        c = (twice - 2 * once + at_zero) / (2 * variance)
        if not np.all(np.isfinite(ell)) or not np.isfinite(c) or c < 0:
            return None
        form = Form(at_zero, ell, c, loadings, np.zeros(loadings.shape[1]), delta, zeros, 0.0)
    rng = np.random.default_rng(0)
    for _ in range(2):
        at_zeta = float(rng.uniform(0.5, 2.0)) if isinstance(zeta, cp.Variable) else float(zeta)
        at_g = rng.dirichlet(np.ones(n)) * at_zeta
        found = _value_at(expression, g, zeta, at_g, at_zeta)
        if abs(found - form.value(at_g, at_zeta)) > FORM_TOLERANCE * form.scale(at_g, at_zeta):
            return None
    return form


@dataclasses.dataclass
class Trial:
    """A portfolio on ``support``: its weights over the pool, the objective's value, the
    scale zeta of its solution and the multipliers of the call's own constraints."""

    support: np.ndarray
    weights: np.ndarray
    value: float
    zeta: float
    duals: list


@dataclasses.dataclass
class Relaxed:
    """A solved relaxation: its value (the bound), weights and indicators."""

    value: float
    weights: np.ndarray
    indicators: np.ndarray


class Space:
    """The problems of one call: on a support, relaxed, mixed-integer.

    A recognised form under linear constraints solves the problem on a support
    and the relaxation as programmes of its own (:mod:`.quadratic`).  Otherwise
    the problem on a support is one compiled problem over the whole pool whose
    bounds are parameters: moving to another support sets them and solves again,
    without compiling anew.  The same with a penalty per stock is compiled only
    when first asked for: the parameter slows every compilation down.
    """

    def __init__(self, setting: Setting) -> None:
        self.setting = setting
        self.solves = 0
        n = setting.n
        self.g = cp.Variable(n, nonneg=True)
        self.zeta = setting.zeta()
        expression, rows = assemble(setting, self.g, self.zeta)
        self.expression = expression
        self.rows = [cp.sum(self.g) == self.zeta, *rows]
        self.form = recognise(setting, self.g, self.zeta, expression)
        self.low = cp.Parameter(n, nonneg=True)
        self.high = cp.Parameter(n, nonneg=True)
        bounds = [self.g >= self.zeta * self.low, self.g <= self.zeta * self.high]
        if isinstance(self.zeta, cp.Variable):
            bounds = [
                self.g >= cp.multiply(self.low, self.zeta),
                self.g <= cp.multiply(self.high, self.zeta),
            ]
        self.problem = cp.Problem(cp.Minimize(expression), self.rows + bounds)
        self.penalty = cp.Parameter(n)
        self._penalised: cp.Problem | None = None
        # Interior-point solves are exact enough to compare supports by; past a few
        # hundred stocks the first-order solver, started from the last solution, is faster.
        small = n <= CLARABEL_STOCKS
        self.solver = cp.CLARABEL if small else setting.objective.get_preferred_solver()
        # A recognised form under linear constraints: the problem on a support is a small
        # quadratic programme of its own.
        self.programme = None
        #: The call's linear constraints (at a fixed scale), to screen supports by.
        self.linear = None
        if not isinstance(self.zeta, cp.Variable):
            self.linear = LinearRows.of(self.rows, self.g, every=False)
            if self.form is not None and self.linear is not None and self.linear.complete:
                self.programme = SupportProgramme(self.form, float(self.zeta), self.linear)
        # The Lagrangian over the pool, its multipliers set from a solve on a support:
        # its gradient prices the stocks outside.
        self._priced = [
            r for r in self.rows if isinstance(r, cp.constraints.Inequality | _EQUALITY)
        ]
        # A linear row's Jacobian does not change: kept from the first pricing.
        self._jacobians: dict[int, object] = {}

    def value(self, weights: np.ndarray, scale: float) -> float:
        """The objective at the portfolio ``weights`` scaled by ``scale`` (zeta)."""
        return _value_at(self.expression, self.g, self.zeta, weights * scale, scale)

    # -- on a support --------------------------------------------------------------

    def on(self, support, floor: bool = True, penalty: np.ndarray | None = None) -> Trial | None:
        """The best portfolio on ``support`` (indices), held stocks at least at the
        floor (``floor``) or at their lower bound; with ``penalty`` per stock added to
        the objective times its weight.  None when there is none."""
        setting = self.setting
        support = np.unique(np.asarray(support, dtype=np.intp))
        if not len(support):
            return None
        inside = np.zeros(setting.n, dtype=bool)
        inside[support] = True
        low = np.where(inside, setting.floor if floor else setting.lower, 0.0)
        high = np.where(inside, setting.upper, 0.0)
        if self.programme is not None:
            return self._on_programme(support, low, high, penalty)
        self.low.value, self.high.value = low, high
        problem = self.problem
        if penalty is not None:
            if self._penalised is None:
                objective = cp.Minimize(self.expression + self.penalty @ self.g)
                self._penalised = cp.Problem(objective, self.problem.constraints)
            self.penalty.value = penalty
            problem = self._penalised
        self.solves += 1
        if not solve(problem, self.solver) or self.g.value is None:
            return None
        held = np.where(inside, np.clip(self.g.value, 0, None), 0.0)
        if held.sum() <= 0:
            return None
        duals = [row.dual_value for row in self._priced]
        scale = float(self.zeta.value) if isinstance(self.zeta, cp.Variable) else self.zeta
        value = float(self.expression.value)
        return Trial(support, held / held.sum(), value, float(scale), duals)

    def _on_programme(self, support, low, high, penalty) -> Trial | None:
        self.solves += 1
        found = self.programme.solve(support, low[support], high[support], penalty)
        if found is None:
            return None
        on_support, duals = found
        held = np.zeros(self.setting.n)
        held[support] = np.clip(on_support, 0, None)
        if held.sum() <= 0:
            return None
        zeta = float(self.zeta)
        return Trial(support, held / held.sum(), self.form.value(held, zeta), zeta, duals)

    @functools.cached_property
    def needs(self) -> Needs | None:
        """What the call's linear constraints (industries' weights, say) ask of the stocks
        held, each at least its floor: read once for the refusals, the relaxation and
        the mixed-integer problem."""
        return self.needs_at(self.setting.floor)

    def needs_at(self, floor: np.ndarray) -> Needs | None:
        """What the call's linear constraints ask of the stocks held, each at least
        ``floor``; None when they are not read (none is linear, or they scale with a
        variable scale)."""
        if self.linear is None:
            return None
        rows = self.linear
        return needed_names(rows.matrix, rows.offset, rows.equal, self.setting.upper, floor)

    def reachable(self, support, floor: bool = True) -> bool:
        """Whether each of the call's linear constraints, alone, can be met on
        ``support`` (indices): a quick screen before a solve."""
        if self.linear is None:
            return True
        setting = self.setting
        inside = np.zeros(setting.n, dtype=bool)
        inside[support] = True
        low = np.where(inside, setting.floor if floor else setting.lower, 0.0)
        return self.linear.reachable(low, np.where(inside, setting.upper, 0.0))

    def least(self, support) -> float:
        """A lower bound on the optimum on ``support`` (indices): the recognised form's
        least value there under the budget alone, every other constraint and bound left
        out (one linear solve); -inf where the form does not give one."""
        form = self.form
        support = np.unique(np.asarray(support, dtype=np.intp))
        if form is None or form.c <= 0 or isinstance(self.zeta, cp.Variable):
            return -np.inf
        if not np.all(form.delta[support] > 0):
            return -np.inf  # a curvature that may vanish: the least value may not exist
        size, zeta = len(support), float(self.zeta)
        loadings = form.loadings[support]
        kkt = np.zeros((size + 1, size + 1))
        kkt[:size, :size] = 2 * form.c * (loadings @ loadings.T + np.diag(form.delta[support]))
        kkt[:size, size] = kkt[size, :size] = 1.0
        at_zero = form.gradient(np.zeros(self.setting.n), zeta)[support]
        solution = np.linalg.solve(kkt, np.append(-at_zero, zeta))
        weights = np.zeros(self.setting.n)
        weights[support] = solution[:size]
        return form.value(weights, zeta)

    def prices(self, trial: Trial) -> np.ndarray:
        """The Lagrangian's gradient at ``trial`` over the pool: the first-order change of
        the objective, the call's constraints priced at their multipliers, per unit of
        weight moved into each stock."""
        self.g.value = trial.weights * trial.zeta
        if isinstance(self.zeta, cp.Variable):
            self.zeta.value = trial.zeta
        # The objective's own gradient through cvxpy is most of the cost of pricing: a
        # recognised form gives it directly.
        if self.form is None:
            gradient = _gradient(self.expression, self.g)
        else:
            gradient = self.form.gradient(self.g.value, trial.zeta)
        for k, (row, dual) in enumerate(zip(self._priced, trial.duals, strict=True)):
            if dual is None:
                continue
            jacobian = self._jacobians.get(k)
            if jacobian is None:
                jacobian = row.expr.grad.get(self.g)
                if jacobian is None:
                    continue
                if row.expr.is_affine():
                    self._jacobians[k] = jacobian
            # cvxpy flattens a row column by column.
            gradient = gradient + np.asarray(jacobian @ np.ravel(dual, order="F")).ravel()
        return gradient

    # -- relaxed and mixed-integer ---------------------------------------------------

    def holdings_problem(self, integer=False, zeta=None, internal=True, zeta_max=None):
        """The problem with an indicator per stock, relaxed or binary: ``(problem, g, z,
        zeta)``; without the perspective the relaxed indicators are projected out (``z``
        is None).  ``zeta`` (a number) replaces the call's scale, ``internal=False``
        leaves out the objective's own constraints, ``zeta_max`` bounds a variable
        scale for the binary links."""
        setting = self.setting
        n = setting.n
        if zeta is None and internal:
            g, zeta, expression, rows = self.g, self.zeta, self.expression, self.rows
        else:
            g = cp.Variable(n, nonneg=True)
            zeta = setting.zeta() if zeta is None else zeta
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", OptimizerWarning)
                expression, rows = assemble(setting, g, zeta, internal)
            rows = [cp.sum(g) == zeta, *rows]
        upper, floor, forced = setting.upper, setting.floor, setting.forced
        constraints = [*rows, g >= zeta * setting.lower, g <= zeta * upper]
        variable = isinstance(zeta, cp.Variable)
        perspective = self.form is not None and self.form.c > 0 and not variable
        if not integer and not perspective:
            # The indicators projected out: each is at least g / (zeta·upper).
            inverse = np.divide(1.0, upper, out=np.zeros(n), where=upper > 0)
            if setting.counts.max_names is not None:
                constraints.append(inverse @ g <= setting.counts.max_names * zeta)
            for _, mask, count in setting.counts.groups:
                constraints.append((inverse * mask) @ g <= count * zeta)
            return cp.Problem(cp.Minimize(expression), constraints), g, None, zeta
        z = cp.Variable(n, boolean=True) if integer else cp.Variable(n)
        if not integer:
            constraints += [z >= 0, z <= 1]
        if variable:
            # y stands for zeta·z: the scaled indicator the links and counts are linear in.
            y = cp.Variable(n, nonneg=True)
            constraints += [y <= zeta, g <= cp.multiply(upper, y)]
            if setting.min_weight > 0:
                constraints.append(g >= cp.multiply(floor, y))
            if integer:
                constraints += [y <= zeta_max * z, y >= zeta - zeta_max * (1 - z), zeta <= zeta_max]
            indicators = [(z, 1), (y, zeta)]
        else:
            constraints.append(g <= cp.multiply(zeta * upper, z))
            if setting.min_weight > 0:
                constraints.append(g >= cp.multiply(zeta * floor, z))
            indicators = [(z, 1)]
        if forced.any():
            constraints.append(z[forced] == 1)
        needs = self.needs
        for count, stocks in () if needs is None else needs.groups:
            # Met by every portfolio: the stocks a lower limit needs are held.
            constraints.append(cp.sum(z[sorted(stocks)]) >= count)
        for indicator, unit in indicators:
            if setting.counts.max_names is not None:
                constraints.append(cp.sum(indicator) <= setting.counts.max_names * unit)
            for _, mask, count in setting.counts.groups:
                if mask.any():
                    constraints.append(cp.sum(indicator[mask]) <= count * unit)
        objective = expression
        if perspective:
            objective, cones = self.form.perspective(g, zeta, z)
            constraints += cones
        return cp.Problem(cp.Minimize(objective), constraints), g, z, zeta

    @property
    def in_perspective(self) -> bool:
        """Whether the relaxation writes the specific risk in perspective."""
        return self.form is not None and self.form.c > 0 and not self.setting.variable_scale

    def relax(self, zeta=None, internal=True) -> Relaxed | None:
        """The relaxation solved, or None when it has no solution."""
        self.solves += 1
        if zeta is None and internal and self.programme is not None and self.in_perspective:
            needs = self.needs.groups
            rows = self.programme.rows
            found = relaxation(self.setting, self.form, float(self.zeta), rows, needs)
            return None if found is None else _relaxed(*found)
        problem, g, z, _ = self.holdings_problem(zeta=zeta, internal=internal)
        # The perspective's cones slow the first-order solver down many times.
        solvers = [self.setting.objective.get_preferred_solver()]
        if self.in_perspective or zeta is not None:
            solvers.insert(0, cp.CLARABEL)
        if not any(solve(problem, solver) for solver in solvers) or g.value is None:
            return None
        upper = self.setting.upper
        indicators = None if z is None else z.value
        return _relaxed(float(problem.value), g.value, indicators, upper)


def _relaxed(value: float, weights: np.ndarray, indicators, upper=None) -> Relaxed:
    """A relaxation's solution with the weights made to add up to 1; without its
    indicators, each is taken as the least its weight needs, weight / upper."""
    weights = np.clip(weights, 0, None)
    total = weights.sum()
    weights = weights / total if total > 0 else weights
    if indicators is None:
        indicators = np.divide(weights, upper, out=np.zeros(len(weights)), where=upper > 0)
    return Relaxed(value, weights, np.clip(indicators, 0, 1))
