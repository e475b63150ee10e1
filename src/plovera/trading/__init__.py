"""What trading costs on the Chinese A-share market, and a limit on it in optimisations.

:class:`AShareCosts` prices a rebalance by kind (commission with its minimum
per order, stamp duty on sales by its dated schedule, transfer fee, and
square-root price impact from the market data); backtests charge it in
place of a flat rate.  :class:`TransactionCostLimit` keeps an optimisation's
rebalance within a cost (:class:`TransactionCostPenalty` weighs it in the
objective instead), and :class:`TradingRestriction` keeps what cannot be
bought or sold on the day (price limits, suspensions) at its held weight.
:func:`to_orders` turns target weights into whole lots of shares at a close.
The constraints load cvxpy, so they are imported on first use: the cost model
alone serves backtests without it.
"""

from importlib import import_module

from .costs import COST_KINDS, STAMP_DUTY, AShareCosts
from .market import trading_states
from .orders import LOT_RULES, LotRule, Orders, held_weights, to_orders

__all__ = [
    "COST_KINDS",
    "LOT_RULES",
    "STAMP_DUTY",
    "AShareCosts",
    "LotRule",
    "Orders",
    "TradingRestriction",
    "TransactionCostLimit",
    "TransactionCostPenalty",
    "held_weights",
    "to_orders",
    "trading_states",
]
_LAZY = {
    "TransactionCostLimit": ".limit",
    "TransactionCostPenalty": ".penalty",
    "TradingRestriction": ".restriction",
}


def __getattr__(name):
    if name in _LAZY:
        return getattr(import_module(_LAZY[name], __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
