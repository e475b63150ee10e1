"""Holdings constraints: at most so many stocks held, and no position below a minimum.

``MaxHoldings(n, industry_limits=None)`` and ``MinPosition(weight)`` go into
the ``cons`` of :func:`plovera.portfolio_optimize` (a list or a tuple) with
any objective, bounds and other constraints, and may be soft
(``hard=False``): when the problem cannot meet everything, the soft
constraints, these among them, are dropped together, with the same warning.
They are not convex, so ``portfolio_optimize`` (and ``prepare_optimize``)
hand such a call whole to :func:`plovera.holdings.portfolio_optimize`, which
solves it through the convex problem without them:

* bounds and counts alone that leave no portfolio (more minimum positions
  than add up to 1, too few stocks whose upper bounds reach 1) are refused as
  :class:`~plovera.OptimizationFailed` naming the numbers, before any solve;
* the relaxation (an indicator per stock in [0, 1], the specific risk in
  perspective) gives a lower bound on every portfolio the constraints allow;
* the heuristic (:mod:`plovera.holdings.search`) shrinks the relaxation's
  stocks to the counts, settles the minimum positions and swaps stocks
  while the problem on the stocks held improves;
* ``method="exact"``, or ``"auto"`` with at most 20 stocks that can be held,
  also solves the mixed-integer problem with SCIP (HiGHS when it is linear)
  within ``time_limit`` seconds (default 60, which also bounds the
  heuristic's swaps) and keeps the better portfolio.

Every answer says how it was found: the weights' ``attrs["holdings"]`` and
:func:`last_report` hold a :class:`HoldingsReport` (method, objective,
bound, gap, whether proven optimal).
"""

from .rules import MaxHoldings, MinPosition
from .solve import (
    HoldingsReport,
    PreparedHoldings,
    last_report,
    portfolio_optimize,
    prepare_optimize,
)

__all__ = [
    "HoldingsReport",
    "MaxHoldings",
    "MinPosition",
    "PreparedHoldings",
    "last_report",
    "portfolio_optimize",
    "prepare_optimize",
]
