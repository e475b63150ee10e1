"""The trading days the demo market covers, on the real Shanghai calendar."""

from __future__ import annotations

from dataclasses import dataclass

import exchange_calendars
import numpy as np
import pandas as pd

from quotaris.demo.calibration import HALF_YEAR, HISTORY_MONTHS
from quotaris.validate import quiet_exchange_calendars

__all__ = ["DEMO_CALENDAR", "MIN_TRADING_DAYS", "Period", "demo_calendar", "demo_period"]

DEMO_CALENDAR = "XSHG"
#: The shortest period the demo market covers.
MIN_TRADING_DAYS = HALF_YEAR


@dataclass(frozen=True)
class Period:
    """The trading days of a run and their months."""

    days: pd.DatetimeIndex
    day_numbers: np.ndarray  # days since 1970-01-01
    month_starts: np.ndarray  # position of each month's first trading day
    month_ends: np.ndarray  # position after each month's last trading day
    month_grid: pd.PeriodIndex  # the months of the traits, HISTORY_MONTHS before the first day on

    @property
    def n_days(self) -> int:
        return len(self.days)

    @classmethod
    def of(cls, days: pd.DatetimeIndex) -> Period:
        months = days.to_period("M")
        month_starts = np.flatnonzero(np.r_[True, months[1:] != months[:-1]])
        return cls(
            days=days,
            day_numbers=days.to_numpy().astype("datetime64[D]").astype(np.int64),
            month_starts=month_starts,
            month_ends=np.r_[month_starts[1:], len(days)],
            month_grid=pd.period_range(
                months[0] - HISTORY_MONTHS, months[-1], freq="M", name="month"
            ),
        )


def demo_calendar() -> exchange_calendars.ExchangeCalendar:
    with quiet_exchange_calendars():
        return exchange_calendars.get_calendar(DEMO_CALENDAR)


def demo_period(start: str, end: str) -> Period:
    """The trading days from ``start`` to ``end``; ``ValueError`` names a period out of reach."""
    calendar = demo_calendar()
    first, last = pd.Timestamp(start), pd.Timestamp(end)
    # The market's history before the start needs a year of real sessions.
    earliest = calendar.first_session + pd.DateOffset(years=1)
    if first < earliest or last > calendar.last_session:
        raise ValueError(
            f"demo period {start} to {end} must lie within {earliest.date()} to "
            f"{calendar.last_session.date()}, the sessions of the {DEMO_CALENDAR} calendar"
        )
    days = pd.DatetimeIndex(calendar.sessions_in_range(first, last).to_numpy())
    if len(days) < MIN_TRADING_DAYS:
        raise ValueError(
            f"demo period {start} to {end} has {len(days)} trading days, "
            f"at least {MIN_TRADING_DAYS} are needed"
        )
    return Period.of(days)
