"""Every data source answers the same tables the same way.

One small market is served by each source; every reader is asked the same
questions, and the answers (or the exceptions) must agree across sources and
with the tables.
"""

import datetime

import numpy as np
import pandas as pd
import pytest
from test_bundle import INDEX, SESSIONS, A, B, C, market

from quotaris.bundle import BundleSource, write_bundle
from quotaris.memory import MemorySource
from quotaris.source import MissingData
from quotaris.tables import STYLE_FACTORS, BundleTables
from quotaris.validate import ValidationError

D = datetime.date
UNKNOWN = "9.XSHG"
FIRST, LAST = SESSIONS[0].date(), SESSIONS[-1].date()
LISTING, DELISTING = D(2024, 2, 5), D(2024, 2, 20)  # of B and of C
REVIEWS = (D(2024, 2, 5), D(2024, 2, 19))


def lean_market() -> BundleTables:
    tables = market()
    tables.turnover = None
    return tables


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    tables = lean_market()
    bundle = write_bundle(tmp_path_factory.mktemp("sources") / "market", tables)
    return {"memory": MemorySource.from_tables(tables), "bundle": BundleSource(bundle)}


def answer(source, question):
    """The answer, or the exception's type when the question is refused."""
    try:
        return question(source)
    except Exception as exc:
        return type(exc)


def same(first, second) -> bool:
    if isinstance(first, pd.DataFrame | pd.Series | pd.Index):
        return type(first) is type(second) and first.equals(second)
    return first == second


def window(reader, ids, start=FIRST, end=LAST):
    return lambda s: getattr(s, reader)(ids, start, end)


QUESTIONS = {
    "instruments, unknown left out": lambda s: s.instruments([UNKNOWN, B, A, B]),
    "every instrument": lambda s: s.all_instruments(),
    "calendar": lambda s: s.trading_dates(),
    "prices over listing and delisting": window("price_change_rate", [B, C, INDEX]),
    "prices of a holiday range": window("price_change_rate", [A], D(2024, 2, 10), D(2024, 2, 18)),
    "prices from a holiday": window("price_change_rate", [A], D(2024, 2, 10), D(2024, 2, 19)),
    "prices, end before start": window("price_change_rate", [A], D(2024, 2, 6), D(2024, 2, 5)),
    "prices before the calendar": window("price_change_rate", [A], D(2024, 1, 31)),
    "prices after the calendar": window("price_change_rate", [A], FIRST, D(2024, 3, 1)),
    "prices of an unknown id": window("price_change_rate", [A, UNKNOWN]),
    "prices, repeated id": window("price_change_rate", [A, A], LAST, LAST),
    "prices, no ids": window("price_change_rate", []),
    "market cap": lambda s: s.market_cap([B, C], FIRST, LAST, "total"),
    "market cap of an index": lambda s: s.market_cap([A, INDEX], FIRST, LAST, "float"),
    "market cap, unknown kind": lambda s: s.market_cap([A], FIRST, LAST, "free"),
    "turnover, absent table": window("turnover", [A]),
    "turnover of an index": window("turnover", [INDEX]),
    "weights before the first review": lambda s: s.index_weights(INDEX, D(2024, 2, 2)),
    "weights on the first review": lambda s: s.index_weights(INDEX, REVIEWS[0]),
    "weights on a holiday": lambda s: s.index_weights(INDEX, D(2024, 2, 18)),
    "weights on the second review": lambda s: s.index_weights(INDEX, REVIEWS[1]),
    "weights of a stock": lambda s: s.index_weights(A, LAST),
    "weights of an unknown index": lambda s: s.index_weights(UNKNOWN, LAST),
    "weights after the calendar": lambda s: s.index_weights(INDEX, D(2024, 3, 1)),
    "industry before listing": lambda s: s.industry([A, B], D(2024, 2, 2), "sws"),
    "industry on reclassification": lambda s: s.industry([A, B], REVIEWS[1], "sws"),
    "industry, unheld scheme": lambda s: s.industry([A], LAST, "gics"),
    "industry, no row in the scheme": lambda s: s.industry([A, C], LAST, "citic"),
    "industry of an index": lambda s: s.industry([INDEX], LAST, "sws"),
    "industry of an unknown id": lambda s: s.industry([UNKNOWN], LAST, "sws"),
    "industry before the calendar": lambda s: s.industry([A], D(2024, 1, 31), "sws"),
    "fundamentals": lambda s: s.fundamentals([A, B], D(2024, 2, 8), ["book_value"]),
    "fundamentals, absent field": lambda s: s.fundamentals([A], LAST, ["ttm_sales"]),
    "fundamentals of an index": lambda s: s.fundamentals([INDEX], LAST, ["book_value"]),
    "exposures": lambda s: s.style_exposure([C, B], LAST),
    "exposures before listing": lambda s: s.style_exposure([A, B], D(2024, 2, 2)),
    "exposures of an index": lambda s: s.style_exposure([INDEX], LAST),
    "exposures of an unknown id": lambda s: s.style_exposure([UNKNOWN], LAST),
}


@pytest.mark.parametrize("question", QUESTIONS.values(), ids=QUESTIONS.keys())
def test_sources_agree(sources, question):
    memory, bundle = (answer(source, question) for source in sources.values())
    assert same(memory, bundle), f"{memory!r}\n!=\n{bundle!r}"


EXPECTED_REFUSALS = {
    "prices, end before start": ValueError,
    "prices before the calendar": MissingData,
    "prices after the calendar": MissingData,
    "prices of an unknown id": MissingData,
    "market cap of an index": MissingData,
    "market cap, unknown kind": ValueError,
    "turnover, absent table": MissingData,
    "turnover of an index": MissingData,
    "weights of a stock": MissingData,
    "weights of an unknown index": MissingData,
    "weights after the calendar": MissingData,
    "industry, unheld scheme": MissingData,
    "industry of an index": MissingData,
    "industry of an unknown id": MissingData,
    "industry before the calendar": MissingData,
    "fundamentals, absent field": MissingData,
    "fundamentals of an index": MissingData,
    "exposures before listing": MissingData,
    "exposures of an index": MissingData,
    "exposures of an unknown id": MissingData,
}


@pytest.mark.parametrize("kind", ["memory", "bundle"])
def test_answers_match_the_tables(sources, kind):
    source = sources[kind]
    for name, error in EXPECTED_REFUSALS.items():
        with pytest.raises(error):
            QUESTIONS[name](source)
    tables = lean_market()
    prices = QUESTIONS["prices over listing and delisting"](source)
    pd.testing.assert_frame_equal(
        prices, tables.price_change_rate[[B, C, INDEX]], check_freq=False, check_names=False
    )
    assert prices[B].first_valid_index().date() == LISTING
    assert prices[C].last_valid_index().date() == DELISTING
    assert QUESTIONS["prices of a holiday range"](source).shape == (0, 1)
    assert QUESTIONS["prices from a holiday"](source).index.tolist() == [SESSIONS[6]]
    assert [
        record.order_book_id for record in QUESTIONS["instruments, unknown left out"](source)
    ] == [
        B,
        A,
        B,
    ]
    assert QUESTIONS["weights before the first review"](source) is None
    assert QUESTIONS["weights on a holiday"](source).to_dict() == {A: 0.5, C: 0.5}
    assert QUESTIONS["weights on the second review"](source).to_dict() == {A: 0.3, B: 0.3, C: 0.4}
    assert QUESTIONS["industry before listing"](source).to_dict() == {A: "银行", B: None}
    assert QUESTIONS["industry on reclassification"](source).to_dict() == {A: "非银金融", B: "电子"}
    assert QUESTIONS["industry, no row in the scheme"](source).to_dict() == {A: None, C: "银行"}
    fundamentals = QUESTIONS["fundamentals"](source)["book_value"]
    assert fundamentals[A] == 3.0 and np.isnan(fundamentals[B])
    caps = QUESTIONS["market cap"](source)
    assert np.isnan(caps.loc[: str(D(2024, 2, 2)), B]).all()
    assert list(QUESTIONS["exposures"](source).columns) == STYLE_FACTORS


@pytest.mark.parametrize("kind", ["memory", "bundle"])
def test_both_refuse_a_repeated_instrument(tmp_path, kind):
    tables = lean_market()
    tables.instruments = pd.concat([tables.instruments, tables.instruments.iloc[[0]]])
    serve = {
        "memory": MemorySource.from_tables,
        "bundle": lambda t: BundleSource(write_bundle(tmp_path / "b", t)),
    }[kind]
    with pytest.raises(ValidationError, match=rf"duplicate key \('{A}'\), first given in row 1"):
        serve(tables)
