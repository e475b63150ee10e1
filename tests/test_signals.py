"""A signal's check: a perfect signal predicts perfectly, noise does not."""

import numpy as np
import pandas as pd
import pytest

import quotaris
from plovera.exception import InvalidArgument
from plovera.signals import check_signal, wide_signal
from quotaris import MemorySource

pytest.importorskip("alphalens")

DAYS = pd.bdate_range("2021-01-04", periods=260)
IDS = [f"{600000 + k:06d}.XSHG" for k in range(80)]


@pytest.fixture(scope="module")
def changes():
    rng = np.random.default_rng(5)
    table = pd.DataFrame(rng.normal(0.0, 0.02, (len(DAYS), len(IDS))), index=DAYS, columns=IDS)
    instruments = pd.DataFrame(
        {"order_book_id": IDS, "symbol": IDS, "type": "CS", "exchange": "XSHG"}
    ).assign(listed_date="2010-01-04")
    previous = quotaris.get_source()
    quotaris.init(MemorySource(instruments, DAYS, price_change_rate=table))
    yield table
    quotaris.init(previous)


def forward(changes, horizon):
    """Each day's return from its close to the close ``horizon`` days later."""
    growth = (1.0 + changes).cumprod()
    return growth.shift(-horizon) / growth - 1.0


def test_a_perfect_signal_and_noise(changes):
    monthly = DAYS[:-30:21]
    perfect = check_signal(forward(changes, 21).loc[monthly], name="perfect")
    assert perfect.rank_ic["21D"].to_numpy() == pytest.approx(1.0)
    assert perfect.ic["21D"].to_numpy() == pytest.approx(1.0)
    # The month's return holds a week's: less skill at a week, a little at a day.
    assert perfect.decay["rank_ic"].is_monotonic_increasing
    spread = perfect.quantile_returns["21D"]
    assert spread.is_monotonic_increasing and spread.iloc[0] < 0 < spread.iloc[-1]
    rng = np.random.default_rng(9)
    noise = pd.DataFrame(rng.normal(size=(len(monthly), len(IDS))), index=monthly, columns=IDS)
    found = check_signal(noise, name="noise").decay
    assert (found["rank_ic"].abs() < 0.1).all() and (found["rank_ic_t"].abs() < 3).all()


def test_long_and_wide_forms_agree_and_bad_forms_are_named():
    wide = pd.DataFrame({"A": [1.0, 2.0], "B": [3.0, np.nan]}, index=DAYS[:2])
    long = wide.stack().rename("value").rename_axis(["date", "order_book_id"]).reset_index()
    pd.testing.assert_frame_equal(wide_signal(long), wide, check_names=False, check_freq=False)
    with pytest.raises(InvalidArgument, match="two values for A"):
        wide_signal(pd.concat([long, long.iloc[:1]]))
