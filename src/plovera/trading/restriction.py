"""Trading restrictions in one optimisation: what cannot be bought or sold stays put."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ..constraints import OptimizationConstraint
from ..exception import InvalidArgument
from .market import check_stocks, day_of, id_list, names, trading_states

__all__ = ["TradingRestriction"]

#: Holdings adding up to at most this much above 1 are round-off.
_SUM_TOLERANCE = 1e-6


def _holding_weights(holdings: object) -> pd.Series:
    if not isinstance(holdings, pd.Series) or holdings.index.has_duplicates:
        raise InvalidArgument(
            "holdings must be a pandas Series of weights indexed by distinct order_book_ids, "
            f"got {holdings!r}"
        )
    id_list("holdings' index", list(holdings.index))
    try:
        weights = holdings.astype("float64")
    except (TypeError, ValueError):
        raise InvalidArgument(f"holdings hold weights that are not numbers: {holdings!r}") from None
    values = weights.to_numpy()
    bad = ~np.isfinite(values) | (values < 0)
    if bad.any():
        shown = names(f"{i} ({w})" for i, w in zip(weights.index[bad], values[bad], strict=True))
        raise InvalidArgument(f"holdings must be finite weights of at least 0: {shown}")
    if values.sum() > 1 + _SUM_TOLERANCE:
        raise InvalidArgument(
            f"holdings add up to {values.sum():.8g}: a portfolio's weights add up to 1 at most"
        )
    return weights[values > 0]


class TradingRestriction(OptimizationConstraint):
    """Around the current ``holdings`` (weights by stock), a stock that cannot be bought
    keeps at most its held weight, and one that cannot be sold at least its held weight.

    The stocks that cannot be bought are those in ``no_buy`` and, with
    ``limits`` (the default), those closing at their limit-up price on
    ``date`` (by default the optimisation's date); those that cannot be sold
    are those in ``no_sell`` and those closing at their limit-down price;
    a stock without a quote that day (suspended) can be neither, and keeps
    its held weight (0 if not held).  Limits need the market data's closes.

    The optimisation sees only its pool.  A holding outside the pool is sold;
    one that cannot be sold is refused, naming it: it belongs in the pool.
    Holdings are weights of the portfolio's value, as the optimised weights
    are: holdings adding up to less than 1 hold the rest in cash, and the
    optimised weights, which add up to 1, need stocks that can be bought to
    invest it.  Stocks named anywhere must be stocks the market data lists on
    the date; held weights must be finite and at least 0.
    """

    def __init__(
        self,
        holdings: pd.Series,
        date: object = None,
        no_buy=(),
        no_sell=(),
        limits: bool = True,
        hard: bool = True,
    ) -> None:
        super().__init__(hard)
        if not isinstance(limits, bool):
            raise InvalidArgument(f"limits must be True or False, got {limits!r}")
        self._holdings = _holding_weights(holdings)
        self._date = None if date is None else day_of("date", date)
        self._no_buy = id_list("no_buy", no_buy)
        self._no_sell = id_list("no_sell", no_sell)
        self._limits = limits

    def __repr__(self) -> str:
        return (
            f"TradingRestriction({len(self._holdings)} holdings, date={self._date}, "
            f"no_buy={self._no_buy!r}, no_sell={self._no_sell!r}, limits={self._limits}, "
            f"hard={self.hard})"
        )

    def restrictions(self, order_book_ids, date: object = None) -> pd.DataFrame:
        """Which of ``order_book_ids`` and the holdings cannot be bought or sold on the
        date (``date``, else the one given when made): ``held`` weight, ``no_buy``,
        ``no_sell`` and ``state`` (why, as :func:`trading_states` names it), by stock."""
        if date is None and self._date is None:
            raise InvalidArgument("the restrictions need a date: none was given")
        day = day_of("date", date if date is not None else self._date)
        asked = id_list("order_book_ids", order_book_ids)
        ids = list(dict.fromkeys([*asked, *self._holdings.index]))
        check_stocks([*ids, *self._no_buy, *self._no_sell], day, "trading restriction")
        if self._limits:
            states = trading_states(ids, day, self._no_buy, self._no_sell)
            frame = states[["no_buy", "no_sell", "state"]].copy()
        else:
            no_buy, no_sell = np.isin(ids, self._no_buy), np.isin(ids, self._no_sell)
            state = np.where(no_buy, "no_buy", np.where(no_sell, "no_sell", ""))
            frame = pd.DataFrame(
                {"no_buy": no_buy, "no_sell": no_sell, "state": state.astype(object)},
                index=pd.Index(ids, dtype=object),
            )
        frame.insert(0, "held", self._holdings.reindex(ids, fill_value=0.0).to_numpy())
        return frame

    # g = zeta·w, so g ≤ zeta·h and g ≥ zeta·h keep w ≤ h and w ≥ h homogeneously.
    def to_constraints(self, g, zeta, helper) -> list:
        day = self._date if self._date is not None else day_of("date", helper.date)
        pool = list(helper.order_book_ids)
        frame = self.restrictions(pool, day)
        stuck = frame[frame["no_sell"].to_numpy() & ~frame.index.isin(pool)]
        if len(stuck):
            shown = names(f"{i} ({row.state}, weight {row.held:g})" for i, row in stuck.iterrows())
            raise InvalidArgument(
                f"holdings that cannot be sold on {day} are outside the pool: {shown}; "
                "the optimised weights would sell them: add them to the pool"
            )
        in_pool = frame.reindex(pool)
        held = in_pool["held"].to_numpy()
        cannot_buy = np.flatnonzero(in_pool["no_buy"].to_numpy(dtype=bool))
        cannot_sell = np.flatnonzero(in_pool["no_sell"].to_numpy(dtype=bool) & (held > 0))
        made = []
        if len(cannot_buy):
            made.append(g[cannot_buy] <= zeta * held[cannot_buy])
        if len(cannot_sell):
            made.append(g[cannot_sell] >= zeta * held[cannot_sell])
        return made
