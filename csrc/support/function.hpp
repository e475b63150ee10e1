// Python functions and classes whose behaviour is written in C++.
//
// pybind11's own function objects have no __defaults__, no writable attributes
// and cannot be marked by abc.abstractmethod, and its classes cannot carry
// abc.ABCMeta.  The types here behave like functions and classes made by a
// `def` or `class` statement instead: Python argument binding, method binding
// through the descriptor protocol, a __dict__, a __signature__, and classes
// created by calling their metaclass.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace plovera {

namespace py = pybind11;

// The bound arguments of one call, one per declared parameter, in declaration
// order; defaults are already filled in.  Borrowed for the duration of the call.
class Args {
public:
    explicit Args(PyObject *const *items) : items_(items) {}
    py::handle operator[](std::size_t index) const { return items_[index]; }

private:
    PyObject *const *items_;
};

// Module globals, looked up when a function runs so that callers can replace
// them (monkeypatching, alternative data clients).
class Globals {
public:
    explicit Globals(py::handle dict) : dict_(dict) {}
    // Raises NameError, as Python does, for a name the module does not bind.
    py::object operator[](const char *name) const;

private:
    py::handle dict_;
};

using Impl = py::object (*)(const Globals &globals, const Args &args);

// The body of an abstract method: raises NotImplementedError without a message.
py::object not_implemented(const Globals &globals, const Args &args);

// One parameter: positional-or-keyword, required unless it has a default.
struct Param {
    Param(const char *param_name) : name(param_name) {}  // NOLINT: implicit by design
    Param(const char *param_name, py::object default_value)
        : name(param_name), value(std::move(default_value)), has_default(true) {}

    const char *name;
    py::object value;
    bool has_default = false;
};

// A new function object.  __module__ is taken from globals["__name__"];
// `doc` may be null for no docstring.
py::object make_function(py::handle globals, const char *name, const std::string &qualname,
                         std::initializer_list<Param> params, Impl impl, const char *doc = nullptr);

// Collects a class body and creates the class by calling its metaclass, the
// way a class statement does.
class ClassBuilder {
public:
    ClassBuilder(py::handle globals, const char *name, const char *doc = nullptr);

    ClassBuilder &method(const char *name, std::initializer_list<Param> params, Impl impl,
                         const char *doc = nullptr);
    // Applies `decorator` (for instance abc.abstractmethod) to the method first.
    ClassBuilder &method(const char *name, std::initializer_list<Param> params, Impl impl,
                         const char *doc, py::handle decorator);
    ClassBuilder &attr(const char *name, py::object value);

    py::object build(py::handle metaclass, py::tuple bases = py::tuple()) const;

private:
    py::handle globals_;
    std::string name_;
    py::dict namespace_;
};

}  // namespace plovera
