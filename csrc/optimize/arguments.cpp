#include "optimize/arguments.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "support/constants.hpp"
#include "support/ops.hpp"
#include "support/pyutil.hpp"

namespace plovera::optimize {

namespace {

// The truth of `a <op> b`, with the operator applied as Python applies it.
bool holds(py::handle a, int op, py::handle b) { return truthy(ops::compare(a, b, op)); }

bool less(py::handle a, py::handle b) { return holds(a, Py_LT, b); }
bool greater(py::handle a, py::handle b) { return holds(a, Py_GT, b); }

// Python's `float(value)`, as a C++ double.
double as_double(py::handle value) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return result;
}

py::object next_item(py::handle iterator) {
    auto item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return item;
}

// A wildcard bound is taken as given, but it has to be a number to fill the
// float bound vectors; anything else is refused with the bad value named.
double wildcard_bound(const Globals &globals, py::handle value) {
    try {
        return as_double(value);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
            throw;
        }
        raise_while_handling(globals["InvalidArgument"], format("约束的上限或下限非法: {}", value),
                             error);
    }
}

// Refuses what the comparisons of a named instrument's bound pair let
// through: NaN anywhere.  The messages name the value given.
void check_pair(const Globals &globals, py::handle name, double lower, double upper,
                py::handle given_lower, py::handle given_upper) {
    py::object invalid_argument = globals["InvalidArgument"];
    if (!(lower >= 0.0 && lower <= 1.0)) {
        raise(invalid_argument, format("合约 {} 的下限 {} 无效", name, given_lower));
    }
    if (!(upper >= 0.0 && upper <= 1.0)) {
        raise(invalid_argument, format("合约 {} 的上限 {} 无效", name, given_upper));
    }
    if (upper < lower) {
        raise(invalid_argument,
              format("合约 {} 的上限 {} 小于下限 {}", name, given_upper, given_lower));
    }
}

// The warning text that drops an instrument from a pool on `date` (a date
// string), or null when the instrument stays: the first failing test decides.
const char *exclusion(py::handle instrument, py::handle date) {
    if (py::object(instrument.attr("type")).not_equal(py::str("CS"))) {
        return "{} 不是股票，被剔除";
    }
    py::object listed_date = instrument.attr("listed_date");
    if (greater(listed_date, date)) {
        return "{} 在 {} 尚未上市，被剔除";
    }
    if (listed_date.equal(date)) {
        return "{} 在 {} 当天上市，被剔除";
    }
    py::object de_listed_date = instrument.attr("de_listed_date");
    if (de_listed_date.not_equal(py::str(kNotDelisted)) && holds(de_listed_date, Py_LE, date)) {
        return "{} 在 {} 时已退市，被剔除";
    }
    return nullptr;
}

}  // namespace

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    auto iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(value.ptr()));
    if (!iterator) {
        PyTypeObject *type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         type->tp_name);
        }
        throw py::error_already_set();
    }
    py::object first = next_item(iterator);
    py::object second = first ? next_item(iterator) : py::object();
    if (!second) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                     first ? 1 : 0);
        throw py::error_already_set();
    }
    if (next_item(iterator)) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    return {std::move(first), std::move(second)};
}

py::object to_enum(const Globals &globals, const Args &args) {
    py::handle value = args[0];
    py::handle enum_type = args[1];
    if (plovera::isinstance(value, enum_type)) {
        return py::reinterpret_borrow<py::object>(value);
    }
    for (py::handle item : enum_type.attr("__members__").attr("items")()) {
        py::object member = unpack_pair(item).second;
        if (equals(value, member) || equals(value, member.attr("value"))) {
            return member;
        }
    }
    raise(globals["InvalidArgument"],
          format("invalid value {} for {}", value, enum_type.attr("__name__")));
}

namespace {

// "expect a datetime like object, got %r(%r)", filled printf-style with the
// value's type and the value.
py::object not_a_date(py::handle dt) {
    py::str message("expect a datetime like object, got %r(%r)");
    auto text = py::reinterpret_steal<py::object>(
        PyUnicode_Format(message.ptr(), py::make_tuple(py::type::handle_of(dt), dt).ptr()));
    if (!text) {
        throw py::error_already_set();
    }
    return text;
}

// The date a text names.  The parser fills fields the text leaves out from a
// default date, which would silently move the optimisation to a day nobody
// asked for ("2020" on some day of today's month), so the text is read
// against two defaults that differ in every field: a whole date reads the
// same under both.
py::object parse_whole_date(const Globals &globals, py::handle text) {
    py::object parse = globals["parse_datetime"];
    py::object datetime_type = globals["datetime"].attr("datetime");
    // Text the parser cannot read raises the parser's own error.
    py::object first = parse(text, py::arg("default") = datetime_type(2000, 1, 1)).attr("date")();
    py::object second = parse(text, py::arg("default") = datetime_type(2004, 2, 2)).attr("date")();
    if (!equals(first, second)) {
        raise(globals["InvalidArgument"], not_a_date(text));
    }
    return first;
}

}  // namespace

py::object to_date(const Globals &globals, const Args &args) {
    py::handle dt = args[0];
    py::object datetime = globals["datetime"];
    if (plovera::isinstance(dt, datetime.attr("datetime"))) {
        return dt.attr("date")();
    }
    if (plovera::isinstance(dt, datetime.attr("date"))) {
        return py::reinterpret_borrow<py::object>(dt);
    }
    if (PyUnicode_Check(dt.ptr())) {
        return parse_whole_date(globals, dt);
    }
    raise(globals["InvalidArgument"], not_a_date(dt));
}

py::object ensure_date_str(const Globals &globals, const Args &args) {
    py::object date = globals["to_date"](args[0]);
    char text[32];
    std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld", date.attr("year").cast<long>(),
                  date.attr("month").cast<long>(), date.attr("day").cast<long>());
    return py::str(text);
}

py::object ensure_order_book_ids(const Globals &globals, const Args &args) {
    py::handle order_book_ids = args[0];
    if (!plovera::isinstance(order_book_ids, globals["Iterable"])) {
        raise(globals["InvalidArgument"], py::str("order_book_ids 非法"));
    }
    py::str date = globals["ensure_date_str"](args[1]);
    py::object instruments = globals["quotaris"].attr("instruments")(order_book_ids);
    if (!PyList_Check(instruments.ptr())) {
        py::list wrapped;
        wrapped.append(instruments);
        instruments = wrapped;
    }
    py::set result;
    for (py::handle instrument : instruments) {
        py::object order_book_id = instrument.attr("order_book_id");
        if (result.contains(order_book_id)) {
            warn(globals["warnings"],
                 format("重复的 order_book_id: {}, 仅保留一个", order_book_id));
            continue;
        }
        const char *dropped = exclusion(instrument, date);
        if (dropped == nullptr) {
            result.add(order_book_id);
            continue;
        }
        // Stack level 3 names the line that called portfolio_optimize, two calls up
        // (as Python code would count; our own calls add no frames, see warn()).
        warn(globals["warnings"], format(dropped, order_book_id, date), globals["OptimizerWarning"],
             3);
    }
    py::list kept(result);
    kept.attr("sort")();
    return std::move(kept);
}

py::object ensure_bound(const Globals &globals, const Args &args) {
    py::handle value = args[0];
    if (value.is_none() || Py_IS_TYPE(value.ptr(), &PyFloat_Type)) {
        return py::reinterpret_borrow<py::object>(value);
    }
    auto converted = py::reinterpret_steal<py::object>(PyNumber_Float(value.ptr()));
    if (converted) {
        return converted;
    }
    py::error_already_set error;
    if (!error.matches(PyExc_ValueError)) {
        throw error;
    }
    raise_while_handling(globals["InvalidArgument"], format("约束的上限或下限非法: {}", value),
                         error);
}

py::object parse_bnds(const Globals &globals, const Args &args) {
    py::handle bnds = args[0];
    py::handle order_book_ids = args[1];
    py::object invalid_argument = globals["InvalidArgument"];
    if (!PyDict_Check(bnds.ptr())) {
        raise(invalid_argument,
              py::str(
                  "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"));
    }
    auto wildcard = unpack_pair(bnds.attr("get")("*", py::make_tuple(0.0, 1.0)));
    const double wildcard_lower = wildcard_bound(globals, wildcard.first);
    const double wildcard_upper = wildcard_bound(globals, wildcard.second);
    // The wildcard pair is used as given: one out of order or out of range
    // shows in the sums.  NaN and infinities are refused, since no sum
    // catches them and they would reach the problem's data.
    if (!std::isfinite(wildcard_lower)) {
        raise(invalid_argument, format("合约 * 的下限 {} 无效", wildcard.first));
    }
    if (!std::isfinite(wildcard_upper)) {
        raise(invalid_argument, format("合约 * 的上限 {} 无效", wildcard.second));
    }

    const auto count = static_cast<py::ssize_t>(py::len(order_book_ids));
    py::array_t<double> lower_bounds(count);
    py::array_t<double> upper_bounds(count);
    double *lower = lower_bounds.mutable_data();
    double *upper = upper_bounds.mutable_data();
    const py::int_ zero(0);
    const py::int_ one(1);
    py::ssize_t position = 0;
    for (py::handle order_book_id : order_book_ids) {
        lower[position] = wildcard_lower;
        upper[position] = wildcard_upper;
        try {
            auto item = py::reinterpret_steal<py::object>(
                PyObject_GetItem(bnds.ptr(), order_book_id.ptr()));
            if (!item) {
                throw py::error_already_set();
            }
            auto [low, high] = unpack_pair(item);
            if (low.is_none()) {
                low = zero;
            }
            if (high.is_none()) {
                high = one;
            }
            if (less(low, zero) || greater(low, one)) {
                raise(invalid_argument, format("合约 {} 的下限 {} 无效", order_book_id, low));
            }
            if (less(high, zero) || greater(high, one)) {
                raise(invalid_argument, format("合约 {} 的上限 {} 无效", order_book_id, high));
            }
            if (less(high, low)) {
                raise(invalid_argument,
                      format("合约 {} 的上限 {} 小于下限 {}", order_book_id, high, low));
            }
            lower[position] = as_double(low);
            upper[position] = as_double(high);
            // NaN passes every comparison above; it would only fail in the solver.
            check_pair(globals, order_book_id, lower[position], upper[position], low, high);
        } catch (py::error_already_set &error) {
            if (error.matches(PyExc_KeyError)) {  // not named: keeps the wildcard pair
                ++position;
                continue;
            }
            if (error.matches(PyExc_TypeError)) {
                raise_while_handling(invalid_argument,
                                     py::str("上下限应该以 (lower, upper) 的形式指定"), error);
            }
            throw;
        }
        ++position;
    }
    // numpy's own summation, so that the sums compare exactly as numpy adds them up
    if (greater(lower_bounds.attr("sum")(), one)) {
        raise(invalid_argument, py::str("下限之和大于1"));
    }
    if (less(upper_bounds.attr("sum")(), one)) {
        raise(invalid_argument, py::str("上限之和小于1"));
    }
    return py::make_tuple(lower_bounds, upper_bounds);
}

}  // namespace plovera::optimize
