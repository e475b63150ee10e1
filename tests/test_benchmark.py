"""Benchmarks, and the function and class machinery the compiled modules share."""

import abc
import copy
import datetime
import inspect
import pickle
import types

import pandas as pd
import pytest
from conftest import RecordingQuotaris

import plovera.benchmark as pb
from plovera.exception import InvalidArgument
from plovera.objective import MeanVariance, OptimizationObjective
from quotaris.source import Instrument

DATE = datetime.date(2024, 6, 28)

GET_WEIGHT_DOC = """
        获取 date 日期的持仓权重。此函数必需实现。

        :param date: datetime.date
        :return: pd.Series, index 为order_book_id
        """

GET_EXPECTED_RETURNS_DOC = """
        获得 date 日期的年化期望收益。
        仅当使用 :class:`MaxInformationRatio` 目标函数，且不指定 `expected_active_returns` 时需要实现此函数

        :param date: datetime.date
        :param window: 回溯窗口大小
        :return: float
        """


INDEX_RECORDS = {
    order_book_id: Instrument(order_book_id, "x", kind, "XSHG", "2005-04-08")
    for order_book_id, kind in [("000300.XSHG", "INDX"), ("600000.XSHG", "CS")]
}


def index_client():
    return RecordingQuotaris(
        records=INDEX_RECORDS,
        weights=pd.Series([0.6, 0.4], index=["600000.XSHG", "000001.XSHE"]),
        index_changes=pd.Series([0.001, 0.003]),
    )


@pytest.fixture
def quotaris(monkeypatch):
    fake = index_client()
    monkeypatch.setattr(pb, "quotaris", fake)
    return fake


def test_the_interface_is_marked_abstract_yet_instantiable():
    assert type(pb.OptimizeBenchmark) is type
    assert pb.OptimizeBenchmark.__doc__ == "自定义基准抽象类"
    assert pb.OptimizeBenchmark.get_weight.__doc__ == GET_WEIGHT_DOC
    assert pb.OptimizeBenchmark.get_expected_returns.__doc__ == GET_EXPECTED_RETURNS_DOC
    base = pb.OptimizeBenchmark()
    for method in (base.get_weight, base.get_expected_returns):
        assert method.__isabstractmethod__ is True
        with pytest.raises(NotImplementedError) as raised:
            method(DATE)
        assert raised.value.args == ()
    assert [n for n in vars(pb) if not n.startswith("__")] == [
        "abstractmethod",
        "quotaris",
        "InvalidArgument",
        "OptimizeBenchmark",
        "IndexBenchmark",
    ]


def test_index_benchmark_reads_quotaris_as_given(quotaris):
    benchmark = pb.IndexBenchmark("000300.XSHG")
    assert benchmark._order_book_id == "000300.XSHG" and pb.IndexBenchmark.__doc__ is None
    assert benchmark.get_weight(DATE) is quotaris.weights
    assert benchmark.get_expected_returns(DATE, window=126) == pytest.approx(0.002 * 252)
    start = DATE - datetime.timedelta(days=126)
    assert quotaris.calls == [
        ("instruments", "000300.XSHG"),
        ("index_weights", "000300.XSHG", DATE),
        ("trading_date_offset", DATE, -126),
        ("get_price_change_rate", "000300.XSHG", start, DATE),
    ]
    benchmark.get_expected_returns(DATE)
    assert quotaris.calls[-2] == ("trading_date_offset", DATE, -252)


@pytest.mark.parametrize(
    ("order_book_id", "message"),
    [
        ("999999.XSHG", "无效的 benchmark: 999999.XSHG"),
        ("600000.XSHG", "仅支持指数类型的 benchmark, 传入的 benchmark 是 CS 类型"),
    ],
)
def test_index_benchmark_refuses_unknown_ids_and_non_indices(quotaris, order_book_id, message):
    with pytest.raises(InvalidArgument) as raised:
        pb.IndexBenchmark(order_book_id)
    assert raised.value.args == (message,)
    assert quotaris.calls == [("instruments", order_book_id)]


# --- the shared function type -------------------------------------------------------------

METHOD = pb.OptimizeBenchmark.get_expected_returns


def test_functions_look_like_python_functions():
    assert METHOD.__name__ == "get_expected_returns"
    assert METHOD.__qualname__ == "OptimizeBenchmark.get_expected_returns"
    assert METHOD.__module__ == "plovera.benchmark"
    assert METHOD.__defaults__ == (252,)
    assert str(inspect.signature(METHOD)) == "(self, date, window=252)"
    assert (
        str(inspect.signature(pb.OptimizeBenchmark().get_expected_returns)) == "(date, window=252)"
    )
    assert str(inspect.signature(MeanVariance)) == (
        "(expected_returns=None, window=252, risk_aversion_coefficient=1)"
    )
    assert repr(METHOD).startswith("<function OptimizeBenchmark.get_expected_returns at 0x")
    with pytest.raises(AttributeError):
        METHOD.__defaults__ = (1,)


def test_functions_copy_and_pickle_by_reference_and_take_attributes():
    function = pb.IndexBenchmark.get_weight
    assert copy.deepcopy(function) is function
    assert pickle.loads(pickle.dumps(function)) is function
    function.note = "kept"
    assert vars(function)["note"] == "kept"
    del function.note
    with pytest.raises(TypeError):
        function.__name__ = 3


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda b: b.get_weight(),
            "OptimizeBenchmark.get_weight() missing 1 required positional argument: 'date'",
        ),
        (
            lambda b: b.get_weight(1, 2),
            "OptimizeBenchmark.get_weight() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda b: b.get_expected_returns(1, 2, 3),
            "OptimizeBenchmark.get_expected_returns() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            lambda b: b.get_weight(day=1),
            "OptimizeBenchmark.get_weight() got an unexpected keyword argument 'day'",
        ),
        (
            lambda b: METHOD(b, 1, date=2),
            "OptimizeBenchmark.get_expected_returns() got multiple values for argument 'date'",
        ),
        (
            lambda b: METHOD(),
            "OptimizeBenchmark.get_expected_returns() missing 2 required positional arguments: 'self' and 'date'",
        ),
    ],
)
def test_argument_binding_errors_read_like_python(call, message):
    with pytest.raises(TypeError) as raised:
        call(pb.OptimizeBenchmark())
    assert str(raised.value) == message


def test_keyword_calls_and_defaults_bind_as_in_python(quotaris):
    benchmark = pb.IndexBenchmark(order_book_id="000300.XSHG")
    benchmark.get_expected_returns(window=5, date=DATE)
    assert quotaris.calls[-2] == ("trading_date_offset", DATE, -5)
    bound = types.MethodType(pb.IndexBenchmark.get_weight, benchmark)
    assert bound(DATE) is quotaris.weights


def test_classes_made_by_their_metaclass_can_be_subclassed():
    class Declared(pb.OptimizeBenchmark):
        def get_weight(self, date):
            return date

    assert Declared().get_weight(3) == 3
    with pytest.raises(NotImplementedError):
        Declared().get_expected_returns(DATE)

    class Strict(OptimizationObjective):
        @abc.abstractmethod
        def get_preferred_solver(self): ...

    assert type(OptimizationObjective) is abc.ABCMeta
    with pytest.raises(TypeError, match="abstract"):
        Strict()
    instance = OptimizationObjective()
    instance.anything = 1
    assert vars(instance) == {"anything": 1}


# A window that cannot be negated fails with the interpreter's error; one that
# is no count of days is refused by name.
BAD_WINDOWS = [(None, TypeError), ("252", TypeError)] + [
    (window, InvalidArgument) for window in (2.5, 0, -5, True)
]


@pytest.mark.parametrize(("window", "error"), BAD_WINDOWS)
def test_expected_returns_refuse_a_window_that_is_no_positive_whole_number(
    monkeypatch, window, error
):
    monkeypatch.setattr(pb, "quotaris", index_client())
    with pytest.raises(error) as raised:
        pb.IndexBenchmark("000300.XSHG").get_expected_returns(DATE, window)
    if error is InvalidArgument:
        assert raised.value.args == (f"window 应为正整数, 传入值为: {window!r}",)


@pytest.mark.parametrize("objective", ["MeanVariance", "MaxSharpeRatio", "MaxInformationRatio"])
@pytest.mark.parametrize(("window", "error"), BAD_WINDOWS)
def test_objectives_keep_the_window_as_given(objective, window, error):
    import plovera.objective as po

    assert getattr(po, objective)(None, window)._window is window


def test_index_benchmark_refuses_a_list(monkeypatch):
    fake = index_client()
    monkeypatch.setattr(pb, "quotaris", fake)
    with pytest.raises(InvalidArgument, match=r"^无效的 benchmark: \['000300.XSHG'\]$"):
        pb.IndexBenchmark(["000300.XSHG"])
    assert fake.calls == []
