"""Rebalance dates: month ends, week ends, every N trading days, or given dates."""

from __future__ import annotations

import datetime
import numbers

import pandas as pd

import quotaris

from ..exception import InvalidArgument

__all__ = ["RULES", "rebalance_dates", "trading_days"]

RULES = ("monthly", "weekly")


def trading_days(start: object, end: object) -> pd.DatetimeIndex:
    """The trading days from start to end, refusing a reversed or uncovered range."""
    first, last = quotaris.to_date(start), quotaris.to_date(end)
    if first > last:
        raise InvalidArgument(f"the start {first} is after the end {last}")
    calendar = quotaris.get_source().trading_dates()
    if first < calendar[0].date() or last > calendar[-1].date():
        raise InvalidArgument(
            f"the range {first} to {last} is outside the data "
            f"({calendar[0].date()} to {calendar[-1].date()})"
        )
    days = quotaris.get_trading_dates(first, last)
    if len(days) == 0:
        raise InvalidArgument(f"no trading days from {first} to {last}")
    return days


def rebalance_dates(rule: object, days: pd.DatetimeIndex) -> list[datetime.date]:
    """The rebalance dates of ``rule`` among ``days``: the last trading day of each
    month or week, every N-th trading day from the first, or an explicit list."""
    if isinstance(rule, str):
        if rule not in RULES:
            raise InvalidArgument(
                f"unknown rebalance rule {rule!r}; use 'monthly', 'weekly', a number of "
                "trading days or a list of dates"
            )
        # Over the whole calendar: a range ending mid-month does not trade on its last day.
        calendar = quotaris.get_source().trading_dates()
        periods = calendar.to_period("M" if rule == "monthly" else "W")
        last = calendar[~pd.Series(periods).duplicated(keep="last").to_numpy()]
        chosen = last[(last >= days[0]) & (last <= days[-1])]
    elif isinstance(rule, numbers.Integral) and not isinstance(rule, bool):
        if rule < 1:
            raise InvalidArgument(f"a rebalance every {rule} trading days is not a schedule")
        chosen = days[:: int(rule)]
    elif isinstance(rule, (list, tuple, pd.Index)):
        wanted = sorted({quotaris.to_date(day) for day in rule})
        known = set(days.date)
        outside = [day for day in wanted if day not in known]
        if outside:
            raise InvalidArgument(
                f"rebalance dates {', '.join(map(str, outside))} are not trading days "
                f"from {days[0].date()} to {days[-1].date()}"
            )
        chosen = pd.DatetimeIndex(wanted)
    else:
        raise InvalidArgument(f"unknown rebalance rule {rule!r}")
    if len(chosen) == 0:
        raise InvalidArgument(f"the schedule {rule!r} has no rebalance dates")
    return [stamp.date() for stamp in chosen]
