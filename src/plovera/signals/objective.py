"""A strategy's objective made afresh on each date from a signal."""

from __future__ import annotations

import pandas as pd

import quotaris

from ..exception import InvalidArgument
from .check import wide_signal

__all__ = ["SIGNAL_OBJECTIVES", "SignalObjective"]

#: What a signal can drive: its values as expected active returns, or its
#: cross-sectional percentile ranks as the indicator to maximise.
SIGNAL_OBJECTIVES = ("max_information_ratio", "max_indicator")


class SignalObjective:
    """``date -> objective`` for ``Strategy(objective=...)``: the objective of the signal's
    row dated on or before the date, never a later one.

    ``signal`` is a table (dates by stocks, or the long form ``date,
    order_book_id, value``) or the name of a signal the market data carries.
    With "max_information_ratio" the values are the expected active returns
    (the ratio does not depend on their scale; a stock without a value takes
    the benchmark's average); with "max_indicator" their percentile ranks
    across the stocks are the indicator, a stock without a value ranked in
    the middle (0.5).  It pickles, so it runs on worker processes.
    """

    def __init__(
        self, signal: pd.DataFrame | pd.Series | str, objective: str = SIGNAL_OBJECTIVES[0]
    ):
        if objective not in SIGNAL_OBJECTIVES:
            raise InvalidArgument(
                f"a signal drives one of {', '.join(SIGNAL_OBJECTIVES)}, got {objective!r}"
            )
        self.signal = signal if isinstance(signal, str) else wide_signal(signal)
        self.objective = objective
        self.name = f"{objective} on {signal if isinstance(signal, str) else 'a signal'}"

    def values_on(self, date) -> pd.Series:
        """The signal's latest values dated on or before ``date``; NaN-free."""
        day = pd.Timestamp(quotaris.to_date(date))
        if isinstance(self.signal, str):
            history = quotaris.get_signal_history(self.signal, None, day)
            if history.empty:
                raise InvalidArgument(
                    f"the signal {self.signal} has no values on or before {day.date()}"
                )
            row = history.iloc[-1]
        else:
            known = self.signal.loc[:day]
            if known.empty:
                raise InvalidArgument(
                    f"the signal has no values on or before {day.date()}: "
                    f"its first date is {self.signal.index[0].date()}"
                )
            row = known.iloc[-1]
        row = row.dropna()
        if row.empty:
            raise InvalidArgument(f"the signal has no values on or before {day.date()}")
        return row

    def __call__(self, date):
        from ..objective import MaxIndicator, MaxInformationRatio

        values = self.values_on(date)
        if self.objective == "max_indicator":
            stocks = [instrument.order_book_id for instrument in quotaris.all_instruments("CS")]
            ranks = values.rank(pct=True)
            return MaxIndicator(ranks.reindex(ranks.index.union(stocks)).fillna(0.5))
        return MaxInformationRatio(values)

    def __repr__(self) -> str:
        return f"SignalObjective({self.name!r})"
