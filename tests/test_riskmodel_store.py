"""Risk models kept in the cache: keyed by the data, written atomically, extended, rebuilt."""

import numpy as np
import pandas as pd
import pytest

import quotaris
from plovera.riskmodel import RiskModel, RiskModelWarning, risk_model, store
from quotaris.bundle import write_bundle
from quotaris.tables import BundleTables
from quotaris.validate import exchange_sessions

STOCKS = [f"6000{i:02d}.XSHG" for i in range(12)]
SESSIONS = exchange_sessions("XSHG", "2020-01-02", "2021-06-30")
FIRST_PART = 300


def prices_only(days: int, shock: float = 0.0) -> BundleTables:
    """A market of prices alone over the first ``days`` sessions; ``shock`` moves day 10."""
    rng = np.random.default_rng(8)
    returns = rng.normal(0.0, 1.0, (len(SESSIONS), 1)) * 0.01 + rng.normal(
        0.0, 0.015, (len(SESSIONS), len(STOCKS))
    )
    returns[10, 0] += shock
    sessions = SESSIONS[:days]
    instruments = pd.DataFrame(
        {
            "order_book_id": STOCKS,
            "symbol": STOCKS,
            "type": "CS",
            "exchange": "XSHG",
            "listed_date": "2010-01-04",
            "de_listed_date": "0000-00-00",
        }
    )
    return BundleTables(
        instruments=instruments,
        calendar="XSHG",
        trading_dates=sessions,
        price_change_rate=pd.DataFrame(returns[:days], sessions, STOCKS),
    )


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """An empty cache directory and no model in memory."""
    monkeypatch.setenv("PLOVERA_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setattr(store, "_by_key", {})
    return tmp_path / "cache" / "riskmodel"


@pytest.fixture
def builds(monkeypatch):
    """Counts full builds and extensions."""
    calls = {"build": 0, "extend": 0}
    build, extend = RiskModel.build.__func__, RiskModel.extend

    def counted_build(cls, *args, **kwargs):
        calls["build"] += 1
        return build(cls, *args, **kwargs)

    def counted_extend(self, *args, **kwargs):
        calls["extend"] += 1
        return extend(self, *args, **kwargs)

    monkeypatch.setattr(RiskModel, "build", classmethod(counted_build))
    monkeypatch.setattr(RiskModel, "extend", counted_extend)
    return calls


@pytest.fixture
def use(use_source):
    """Writes ``tables`` as the bundle at ``path`` and makes it the source until the test ends."""

    def write_and_use(path, tables):
        write_bundle(path, tables, overwrite=True)
        use_source(path)
        store._by_key.clear()

    return write_and_use


def assert_same_models(first: RiskModel, second: RiskModel) -> None:
    for name in store._SAVED_FIELDS:
        np.testing.assert_array_equal(getattr(first, name), getattr(second, name), err_msg=name)


def test_built_once_then_read_back(cache, builds, tmp_path, use):
    use(tmp_path / "bundle", prices_only(FIRST_PART))
    model = risk_model()
    assert builds == {"build": 1, "extend": 0}
    assert [p.name for p in cache.glob("*.npz")] == [
        store.stored_model_path(quotaris.get_source()).name
    ]
    store._by_key.clear()
    again = risk_model()
    assert builds["build"] == 1 and again is not model
    assert_same_models(model, again)
    assert list(again.order_book_ids) == STOCKS and again.dates.equals(model.dates)


def test_other_data_is_never_served_the_old_model(cache, builds, tmp_path, use):
    use(tmp_path / "bundle", prices_only(FIRST_PART))
    before = risk_model()
    first_key = store.model_key(quotaris.get_source())
    use(tmp_path / "bundle", prices_only(FIRST_PART, shock=0.05))
    after = risk_model()
    assert store.model_key(quotaris.get_source()) != first_key
    assert builds == {"build": 2, "extend": 0}  # day 10 changed: no extension
    assert after.returns[10, 0] == pytest.approx(before.returns[10, 0] + 0.05)
    assert len(list(cache.glob("*.npz"))) == 1  # the superseded model is gone


def test_a_bundle_that_gains_days_extends_its_model(cache, builds, tmp_path, use):
    use(tmp_path / "bundle", prices_only(FIRST_PART))
    risk_model()
    use(tmp_path / "bundle", prices_only(len(SESSIONS)))
    extended = risk_model()
    assert builds == {"build": 1, "extend": 1}
    assert len(extended.dates) == len(SESSIONS)


def test_a_damaged_file_is_named_then_rebuilt(cache, builds, tmp_path, use):
    use(tmp_path / "bundle", prices_only(FIRST_PART))
    risk_model()
    path = store.stored_model_path(quotaris.get_source())
    path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])
    store._by_key.clear()
    with pytest.warns(RiskModelWarning, match=rf"{path.name}: not a readable risk model"):
        risk_model()
    assert builds["build"] == 2
    store.read_model(path)  # whole again


def test_an_interrupted_build_leaves_the_old_model_whole(cache, tmp_path, monkeypatch, use):
    use(tmp_path / "bundle", prices_only(FIRST_PART))
    risk_model()
    old = store.stored_model_path(quotaris.get_source())
    content = old.read_bytes()

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(RiskModel, "extend", interrupted)
    use(tmp_path / "bundle", prices_only(len(SESSIONS)))
    with pytest.raises(KeyboardInterrupt):
        risk_model()
    assert old.read_bytes() == content
    assert {p.name for p in cache.iterdir()} == {"build.lock", old.name}
