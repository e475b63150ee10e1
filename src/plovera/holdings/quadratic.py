"""A recognised form under linear constraints: its problems solved by Clarabel directly.

When the objective is recognised as a risk over the factor model at a fixed
scale (:class:`~plovera.holdings.problem.Form`) and every constraint of the
call is linear in the weights (the budget, industry and style limits, linear
limits of the user's), the problem on a support S of k stocks is

    minimise   ℓ_S·x + c·(‖y − zeta·h‖² + Σ δ_S(x − zeta·b_S)²) + constant
    such that  y = L_Sᵀx,  the call's rows on S,  low ≤ x ≤ high

over k + (factors) variables.  The compiled problem over the whole pool
carries every stock outside the support, held at zero, through each
factorisation; this one does not, and skips cvxpy's compilation: a swap
costs a few milliseconds rather than tens.

The relaxation (:func:`relaxation`) is written out the same way, with the
specific risk in perspective: only the rows it needs (cvxpy's compilation
keeps every bound of every variable) and no compilation.

The linear rows (:class:`LinearRows`) are read also where only some of the
constraints are linear: each must stay within reach of a support's bounds
(a screen before a solve), and what they ask of the stocks held is counted
(:func:`~plovera.holdings.counting.needed_names`).
"""

from __future__ import annotations

import dataclasses

import clarabel
import cvxpy as cp
import numpy as np
import scipy.sparse as sp

__all__ = ["CLARABEL_OPTIONS", "LinearRows", "SupportProgramme", "relaxation"]

# Clarabel's multithreaded factorisation, its default past some size, is several times
# slower on these problems (two cores, one cone over the factors) than the sequential one.
CLARABEL_OPTIONS = {"direct_solve_method": "qdldl"}

_SOLVED = (clarabel.SolverStatus.Solved, clarabel.SolverStatus.AlmostSolved)
_LINEAR = cp.constraints.Inequality | cp.constraints.Equality
# Rows within this of being met, relative to their size, are met.
TOLERANCE = 1e-9


@dataclasses.dataclass
class LinearRows:
    """Constraints ``matrix @ g + offset`` equal to zero (where ``equal``) or at most
    zero, one block of rows per constraint (``sizes``), in the constraints' order."""

    matrix: sp.csc_matrix
    offset: np.ndarray
    equal: np.ndarray
    sizes: list[int]
    #: Whether these are all the constraints they were read from.
    complete: bool = True

    def __post_init__(self) -> None:
        self._positive = self.matrix.maximum(0).tocsr()
        self._negative = self.matrix.minimum(0).tocsr()

    def reachable(self, low: np.ndarray, high: np.ndarray) -> bool:
        """Whether each row, alone, can be met by weights within [low, high]: where not,
        no portfolio within them meets them all."""
        least = self._positive @ low + self._negative @ high + self.offset
        most = self._positive @ high + self._negative @ low + self.offset
        slack = TOLERANCE * (1.0 + np.abs(self.offset))
        return bool(np.all(least <= slack) and np.all(most[self.equal] >= -slack[self.equal]))

    @classmethod
    def of(cls, rows: list, g: cp.Variable, every: bool = True) -> LinearRows | None:
        """The rows of ``rows`` (cvxpy constraints); None when one of them is not a
        linear equality or inequality in ``g`` alone, or, not ``every``, those that are
        (None when none is)."""
        blocks, offsets, equal, sizes = [], [], [], []
        complete = True
        g.value = np.zeros(g.size)
        for row in rows:
            expression = row.expr if isinstance(row, _LINEAR) else None
            alone = expression is not None and [v.id for v in expression.variables()] == [g.id]
            jacobian = expression.grad.get(g) if alone and expression.is_affine() else None
            if jacobian is None:
                if every:
                    return None
                complete = False
                continue
            # cvxpy's gradients and duals run over a row's entries column by column.
            blocks.append(sp.csr_matrix(jacobian).T)
            offsets.append(np.ravel(expression.value, order="F"))
            equal.append(np.full(expression.size, isinstance(row, cp.constraints.Equality)))
            sizes.append(expression.size)
        if not blocks:
            return None
        return cls(
            sp.vstack(blocks, format="csc"),
            np.concatenate(offsets).astype(float),
            np.concatenate(equal),
            sizes,
            complete,
        )


class SupportProgramme:
    """The problem on a support for a recognised ``form`` at the scale ``zeta``, with
    the call's constraints as ``rows``."""

    def __init__(self, form, zeta: float, rows: LinearRows) -> None:
        self.form = form
        self.zeta = zeta
        self.rows = rows
        self._equal = np.flatnonzero(rows.equal)
        self._unequal = np.flatnonzero(~rows.equal)
        self._settings = _settings()

    def solve(self, support, low, high, penalty=None):
        """``(weights on support, the multipliers of each constraint)`` of the problem
        on ``support`` (indices) with bounds ``low`` and ``high`` (over the support), and
        ``penalty`` per stock times its weight added to the objective; None when it has
        no solution."""
        form, zeta, rows = self.form, self.zeta, self.rows
        k, factors = len(support), form.loadings.shape[1]
        delta = form.delta[support]
        curvature = 2 * form.c
        linear = form.ell[support] - curvature * zeta * delta * form.b[support]
        if penalty is not None:
            linear = linear + penalty[support]
        quadratic = sp.diags(np.concatenate([curvature * delta, np.full(factors, curvature)]))
        q = np.concatenate([linear, -curvature * zeta * form.h])
        on_support = rows.matrix[:, support]
        no_factors = sp.csc_matrix((len(rows.offset), factors))
        identity = sp.identity(k, format="csc")
        a = sp.vstack(
            [
                sp.hstack([-sp.csc_matrix(form.loadings[support].T), sp.identity(factors)]),
                sp.hstack([on_support[self._equal], no_factors[self._equal]]),
                sp.hstack([on_support[self._unequal], no_factors[self._unequal]]),
                sp.hstack([identity, sp.csc_matrix((k, factors))]),
                sp.hstack([-identity, sp.csc_matrix((k, factors))]),
            ],
            format="csc",
        )
        b = np.concatenate(
            [np.zeros(factors), -rows.offset[self._equal], -rows.offset[self._unequal], high, -low]
        )
        zero = factors + len(self._equal)
        cones = [clarabel.ZeroConeT(zero), clarabel.NonnegativeConeT(len(b) - zero)]
        solution = clarabel.DefaultSolver(
            sp.csc_matrix(quadratic), q, a, b, cones, self._settings
        ).solve()
        if solution.status not in _SOLVED:
            return None
        multipliers = np.asarray(solution.z)
        duals = np.empty(len(rows.offset))
        duals[self._equal] = multipliers[factors:zero]
        duals[self._unequal] = multipliers[zero : zero + len(self._unequal)]
        split = np.cumsum(rows.sizes)[:-1]
        return np.asarray(solution.x)[:k], np.split(duals, split)


def relaxation(setting, form, zeta: float, rows: LinearRows, needs=()):
    """``(value, weights g, indicators z)`` of the relaxation with the specific risk in
    perspective, or None when it has no solution.

    Over ``[g, z, s, y]`` (n, n, n and factors): minimise ``ℓ·g + c·(‖y − zeta·h‖² +
    δ·s − 2·zeta·(δb)·g)`` plus a constant, with ``y = Lᵀg``, the call's rows, the
    bounds ``zeta·lower <= g <= zeta·upper·z``, ``g >= zeta·floor·z`` with a minimum
    position, ``z <= 1`` (1 where a stock must be held), the counts on ``z``, the
    stocks the call's lower limits ``needs`` (``(count, stocks)``: ``Σ z >= count``
    over them) and ``s·z >= g²`` as a cone per stock (which also keeps ``s`` and ``z``
    nonnegative).
    """
    n, factors = setting.n, form.loadings.shape[1]
    c, delta = form.c, form.delta
    size = 3 * n + factors
    g, z, s = np.arange(n), np.arange(n, 2 * n), np.arange(2 * n, 3 * n)

    def rows_of(matrix, *, at) -> sp.csc_matrix:
        """``matrix`` (over n or factor columns) placed at the columns starting ``at``."""
        height, width = matrix.shape
        after = size - at - width
        return sp.hstack([sp.csc_matrix((height, at)), matrix, sp.csc_matrix((height, after))])

    identity = sp.identity(n, format="csc")
    zero_rows = [
        sp.hstack(
            [-sp.csc_matrix(form.loadings.T), sp.csc_matrix((factors, 2 * n)), sp.identity(factors)]
        ),
        rows_of(rows.matrix[rows.equal], at=0),
    ]
    zero_rhs = [np.zeros(factors), -rows.offset[rows.equal]]
    forced = np.flatnonzero(setting.forced)
    if len(forced):
        zero_rows.append(rows_of(identity[forced], at=n))
        zero_rhs.append(np.ones(len(forced)))
    below = [
        rows_of(rows.matrix[~rows.equal], at=0),
        sp.hstack([-identity, sp.csc_matrix((n, size - n))]),
        sp.hstack([identity, -sp.diags(zeta * setting.upper), sp.csc_matrix((n, size - 2 * n))]),
        rows_of(identity, at=n),
    ]
    below_rhs = [-rows.offset[~rows.equal], -zeta * setting.lower, np.zeros(n), np.ones(n)]
    if setting.min_weight > 0:
        below.append(
            sp.hstack([-identity, sp.diags(zeta * setting.floor), sp.csc_matrix((n, size - 2 * n))])
        )
        below_rhs.append(np.zeros(n))
    counted = []
    if setting.counts.max_names is not None:
        counted.append((np.ones(n), setting.counts.max_names))
    counted.extend((mask.astype(float), count) for _, mask, count in setting.counts.groups)
    for count, stocks in needs:
        mask = np.zeros(n)
        mask[sorted(stocks)] = -1.0
        counted.append((mask, -count))
    for mask, count in counted:
        below.append(rows_of(sp.csc_matrix(mask), at=n))
        below_rhs.append(np.array([float(count)]))
    # Per stock, (s + z, 2g, s − z) in the second-order cone: b − A·v = that with b = 0.
    stock = np.arange(n)
    cone = sp.coo_matrix(
        (
            np.tile([-1.0, -1.0, -2.0, -1.0, 1.0], n),
            (
                np.column_stack(
                    [3 * stock, 3 * stock, 3 * stock + 1, 3 * stock + 2, 3 * stock + 2]
                ).ravel(),
                np.column_stack([s, z, g, s, z]).ravel(),
            ),
        ),
        shape=(3 * n, size),
    )
    a = sp.vstack([*zero_rows, *below, cone.tocsc()], format="csc")
    b = np.concatenate([*zero_rhs, *below_rhs, np.zeros(3 * n)])
    zero = sum(block.shape[0] for block in zero_rows)
    nonneg = sum(block.shape[0] for block in below)
    cones = [
        clarabel.ZeroConeT(zero),
        clarabel.NonnegativeConeT(nonneg),
        *[clarabel.SecondOrderConeT(3)] * n,
    ]
    quadratic = sp.diags(np.concatenate([np.zeros(3 * n), np.full(factors, 2 * c)]), format="csc")
    q = np.concatenate(
        [form.ell - 2 * c * zeta * delta * form.b, np.zeros(n), c * delta, -2 * c * zeta * form.h]
    )
    solution = clarabel.DefaultSolver(quadratic, q, a, b, cones, _settings()).solve()
    if solution.status not in _SOLVED:
        return None
    constant = form.k + c * zeta**2 * (form.h @ form.h + delta @ form.b**2 + form.o)
    x = np.asarray(solution.x)
    return solution.obj_val + constant, x[g], x[z]


def _settings() -> clarabel.DefaultSettings:
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    settings.direct_solve_method = CLARABEL_OPTIONS["direct_solve_method"]
    return settings
