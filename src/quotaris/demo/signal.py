"""The demo market's alpha signal: modest skill, made from the simulation's own future.

On each month's first trading day every quoted stock gets a value
ρ·z + √(1 − ρ²)·ε, where z is its return over the next ``HORIZON`` trading days
standardised across the stocks and ε independent noise: a monthly rank
information coefficient averaging about ρ, scattered by about 0.03 from month
to month (the noise of a thousand names).  It reads the future returns and
nothing else, and draws its noise from a generator of its own, so every other
table is what it was.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["DEMO_SIGNAL", "HORIZON", "SKILL", "demo_signal"]

#: The name the demo bundle carries its signal under.
DEMO_SIGNAL = "demo_alpha"
#: Trading days ahead the signal foresees: a month.
HORIZON = 21
#: Correlation of the signal with the standardised forward returns.
SKILL = 0.05
#: Added to the market's seed for the signal's own noise.
_SEED_OFFSET = 0x5167


def demo_signal(changes: pd.DataFrame, seed: int) -> pd.DataFrame:
    """The long signal table (date, order_book_id, value) of a market's daily changes
    (trading days by stocks)."""
    rng = np.random.Generator(np.random.PCG64(int(seed) + _SEED_OFFSET))
    days = changes.index
    growth = np.cumprod(1.0 + np.nan_to_num(changes.to_numpy()), axis=0)
    months = days.to_period("M")
    firsts = np.flatnonzero(np.r_[True, months[1:] != months[:-1]])
    rows = []
    for day in firsts[firsts + HORIZON < len(days)]:
        quoted = np.isfinite(changes.to_numpy()[day])
        ahead = growth[day + HORIZON, quoted] / growth[day, quoted] - 1.0
        z = (ahead - ahead.mean()) / ahead.std()
        value = SKILL * z + np.sqrt(1.0 - SKILL**2) * rng.standard_normal(z.size)
        rows.append(
            pd.DataFrame(
                {"date": days[day], "order_book_id": changes.columns[quoted], "value": value}
            )
        )
    return pd.concat(rows, ignore_index=True)
