// The argument functions of plovera.optimize: coercion, pool cleaning, bounds.
#pragma once

#include "support/function.hpp"

namespace plovera::optimize {

py::object to_enum(const Globals &globals, const Args &args);
py::object to_date(const Globals &globals, const Args &args);
py::object ensure_date_str(const Globals &globals, const Args &args);
py::object ensure_order_book_ids(const Globals &globals, const Args &args);
py::object ensure_bound(const Globals &globals, const Args &args);
py::object parse_bnds(const Globals &globals, const Args &args);

// `first, second = value`, with the interpreter's own errors for a value that
// does not unpack into exactly two items.
std::pair<py::object, py::object> unpack_pair(py::handle value);

}  // namespace plovera::optimize
