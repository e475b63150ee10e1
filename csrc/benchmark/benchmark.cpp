// plovera.benchmark: the benchmark interface and the index benchmark.
#include "support/constants.hpp"
#include "support/function.hpp"
#include "support/module.hpp"
#include "support/pyutil.hpp"

namespace plovera {
namespace {

constexpr const char *kGetWeightDoc = R"(
        获取 date 日期的持仓权重。此函数必需实现。

        :param date: datetime.date
        :return: pd.Series, index 为order_book_id
        )";

constexpr const char *kGetExpectedReturnsDoc = R"(
        获得 date 日期的年化期望收益。
        仅当使用 :class:`MaxInformationRatio` 目标函数，且不指定 `expected_active_returns` 时需要实现此函数

        :param date: datetime.date
        :param window: 回溯窗口大小
        :return: float
        )";

py::object index_init(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle order_book_id = args[1];
    // The client would read a list as a pool and hand back a list of records.
    if (!PyUnicode_Check(order_book_id.ptr())) {
        raise(globals["InvalidArgument"], format("无效的 benchmark: {}", order_book_id));
    }
    py::object instrument = globals["quotaris"].attr("instruments")(order_book_id);
    if (instrument.is_none()) {
        raise(globals["InvalidArgument"], format("无效的 benchmark: {}", order_book_id));
    }
    py::object type = instrument.attr("type");
    if (type.not_equal(py::str("INDX"))) {
        raise(globals["InvalidArgument"],
              format("仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型", type));
    }
    self.attr("_order_book_id") = order_book_id;
    return py::none();
}

py::object index_get_weight(const Globals &globals, const Args &args) {
    return globals["quotaris"].attr("index_weights")(args[0].attr("_order_book_id"), args[1]);
}

py::object index_get_expected_returns(const Globals &globals, const Args &args) {
    py::handle self = args[0];
    py::handle date = args[1];
    py::object quotaris = globals["quotaris"];
    // A value that cannot be negated fails with the interpreter's error; one
    // that is no count of days would average nothing and is refused by name.
    auto back = py::reinterpret_steal<py::object>(PyNumber_Negative(args[2].ptr()));
    if (!back) {
        throw py::error_already_set();
    }
    check_window(globals["InvalidArgument"], args[2]);
    py::object start_date = quotaris.attr("trading_date_offset")(date, back);
    py::object change_rate =
        quotaris.attr("get_price_change_rate")(self.attr("_order_book_id"), start_date, date);
    return change_rate.attr("mean")() * py::int_(kTradingDaysPerYear);
}

}  // namespace
}  // namespace plovera

PYBIND11_MODULE(benchmark, module) {
    using namespace plovera;
    py::dict globals = module_globals(module);
    py::object abstractmethod = py::module_::import("abc").attr("abstractmethod");
    globals["abstractmethod"] = abstractmethod;
    globals["quotaris"] = py::module_::import("quotaris");
    globals["InvalidArgument"] = import_from_sibling(module, "exception", "InvalidArgument");

    // Made by plain `type`, not abc.ABCMeta: the abstract methods document what
    // a subclass must provide, but a subclass that implements only get_weight
    // (enough for every objective but the information ratio without expected
    // returns) must still be instantiable.
    py::object base =
        ClassBuilder(globals, "OptimizeBenchmark", "自定义基准抽象类")
            .method("get_weight", {"self", "date"}, not_implemented, kGetWeightDoc, abstractmethod)
            .method("get_expected_returns",
                    {"self", "date", {"window", py::int_(kTradingDaysPerYear)}}, not_implemented,
                    kGetExpectedReturnsDoc, abstractmethod)
            .build(reinterpret_cast<PyObject *>(&PyType_Type));
    globals["OptimizeBenchmark"] = base;

    globals["IndexBenchmark"] =
        ClassBuilder(globals, "IndexBenchmark")
            .method("__init__", {"self", "order_book_id"}, index_init)
            .method("get_weight", {"self", "date"}, index_get_weight)
            .method("get_expected_returns",
                    {"self", "date", {"window", py::int_(kTradingDaysPerYear)}},
                    index_get_expected_returns)
            .build(reinterpret_cast<PyObject *>(&PyType_Type), py::make_tuple(base));
}
