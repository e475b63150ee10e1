#include "support/function.hpp"

#include <structmember.h>

#include <array>
#include <new>
#include <stdexcept>

#include "support/pyutil.hpp"

namespace plovera {

namespace {

// Enough for every function of the package; checked when a function is made.
constexpr Py_ssize_t kMaxParams = 12;

struct FunctionObject {
    PyObject ob_base;  // what PyObject_HEAD declares
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *globals;
    PyObject *param_names;  // tuple of str
    PyObject *defaults;     // tuple for the trailing parameters, or NULL
    PyObject *signature;    // built on first request
    Impl impl;
};

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

Py_ssize_t default_count(const FunctionObject *f) {
    return f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the wording of CPython's own message.
std::string quoted_list(const std::vector<std::string> &names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

void raise_missing(const FunctionObject *f, PyObject *const *bound, Py_ssize_t required) {
    std::vector<std::string> missing;
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            missing.emplace_back(PyUnicode_AsUTF8(PyTuple_GET_ITEM(f->param_names, i)));
        }
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s",
                 f->qualname, static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
}

void raise_too_many(const FunctionObject *f, Py_ssize_t given) {
    const Py_ssize_t total = PyTuple_GET_SIZE(f->param_names);
    const Py_ssize_t required = total - default_count(f);
    if (required == total) {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     f->qualname, total, total == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%U() takes from %zd to %zd positional arguments but %zd %s given",
                     f->qualname, required, total, given, given == 1 ? "was" : "were");
    }
}

Py_ssize_t keyword_index(const FunctionObject *f, PyObject *keyword) {
    const Py_ssize_t total = PyTuple_GET_SIZE(f->param_names);
    for (Py_ssize_t i = 0; i < total; ++i) {  // interned names usually match by identity
        if (PyTuple_GET_ITEM(f->param_names, i) == keyword) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        const int equal = PyUnicode_Compare(PyTuple_GET_ITEM(f->param_names, i), keyword);
        if (equal == 0) {
            return i;
        }
        if (equal == -1 && PyErr_Occurred()) {
            return -2;
        }
    }
    return -1;
}

// Hands a C++ exception back to the interpreter; a pending Python error is
// restored exactly as it was raised.
void restore_error() {
    try {
        throw;
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (py::builtin_exception &error) {
        error.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    FunctionObject *f = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = PyTuple_GET_SIZE(f->param_names);
    const Py_ssize_t required = total - default_count(f);
    if (nargs > total) {
        raise_too_many(f, nargs);
        return nullptr;
    }
    std::array<PyObject *, kMaxParams> bound{};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = keyword_index(f, keyword);
        if (index == -2) {
            return nullptr;
        }
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                         f->qualname, keyword);
            return nullptr;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->qualname,
                         keyword);
            return nullptr;
        }
        bound[index] = args[nargs + k];
    }
    for (Py_ssize_t i = required; i < total; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = PyTuple_GET_ITEM(f->defaults, i - required);
        }
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(f, bound.data(), required);
            return nullptr;
        }
    }
    try {
        py::object result = f->impl(Globals(f->globals), Args(bound.data()));
        return result.release().ptr();
    } catch (...) {
        restore_error();
        return nullptr;
    }
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject * /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->signature);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->signature);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }

PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }

int set_text(PyObject *value, PyObject **slot, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(value, &as_function(self)->name, "__name__");
}

int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(value, &as_function(self)->qualname, "__qualname__");
}

PyObject *get_defaults(PyObject *self, void *) {
    PyObject *defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

PyObject *get_globals(PyObject *self, void *) { return Py_NewRef(as_function(self)->globals); }

PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (f->signature != nullptr) {
        return Py_NewRef(f->signature);
    }
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        const Py_ssize_t total = PyTuple_GET_SIZE(f->param_names);
        const Py_ssize_t required = total - default_count(f);
        py::list parameters;
        for (Py_ssize_t i = 0; i < total; ++i) {
            py::handle name = PyTuple_GET_ITEM(f->param_names, i);
            if (i < required) {
                parameters.append(parameter(name, kind));
            } else {
                py::handle value = PyTuple_GET_ITEM(f->defaults, i - required);
                parameters.append(parameter(name, kind, py::arg("default") = value));
            }
        }
        f->signature = inspect.attr("Signature")(parameters).release().ptr();
        return Py_NewRef(f->signature);
    } catch (...) {
        restore_error();
        return nullptr;
    }
}

// Functions pickle and copy by reference, as Python's do: the string names
// the function within its module.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "plovera.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyTypeObject *function_type() {
    // One type for the functions of all three modules, made by the first one
    // loaded and kept for the life of the interpreter.
    static PyTypeObject *type = [] {
        auto *shared = static_cast<PyTypeObject *>(py::get_shared_data("plovera.function"));
        if (shared == nullptr) {
            PyObject *made = PyType_FromSpec(&function_spec);
            if (made == nullptr) {
                throw py::error_already_set();
            }
            shared = static_cast<PyTypeObject *>(py::set_shared_data("plovera.function", made));
        }
        return shared;
    }();
    return type;
}

}  // namespace

py::object Globals::operator[](const char *name) const {
    PyObject *value = PyDict_GetItemString(dict_.ptr(), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object make_function(py::handle globals, const char *name, const std::string &qualname,
                         std::initializer_list<Param> params, Impl impl, const char *doc) {
    if (static_cast<Py_ssize_t>(params.size()) > kMaxParams) {
        throw std::length_error("too many parameters for a plovera function");
    }
    py::tuple names(params.size());
    py::list defaults;
    std::size_t index = 0;
    for (const Param &param : params) {
        py::str param_name(param.name);
        PyUnicode_InternInPlace(&param_name.ptr());
        names[index++] = param_name;
        if (param.has_default) {
            defaults.append(param.value);
        } else if (!defaults.empty()) {
            throw std::invalid_argument("a parameter without default follows one with a default");
        }
    }
    py::tuple default_values(defaults);
    py::object module = py::reinterpret_borrow<py::dict>(globals)["__name__"];

    FunctionObject *f = PyObject_GC_New(FunctionObject, function_type());
    if (f == nullptr) {
        throw py::error_already_set();
    }
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->name = py::str(name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->module = module.release().ptr();
    f->doc = doc ? py::str(doc).release().ptr() : Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals.ptr());
    f->param_names = names.release().ptr();
    f->defaults = default_values.empty() ? nullptr : default_values.release().ptr();
    f->signature = nullptr;
    f->impl = impl;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
}

ClassBuilder::ClassBuilder(py::handle globals, const char *name, const char *doc)
    : globals_(globals), name_(name) {
    py::dict module_globals = py::reinterpret_borrow<py::dict>(globals);
    namespace_["__module__"] = module_globals["__name__"];
    namespace_["__qualname__"] = py::str(name);
    if (doc != nullptr) {
        namespace_["__doc__"] = py::str(doc);
    }
}

ClassBuilder &ClassBuilder::method(const char *name, std::initializer_list<Param> params, Impl impl,
                                   const char *doc) {
    namespace_[name] = make_function(globals_, name, name_ + "." + name, params, impl, doc);
    return *this;
}

ClassBuilder &ClassBuilder::method(const char *name, std::initializer_list<Param> params, Impl impl,
                                   const char *doc, py::handle decorator) {
    namespace_[name] =
        decorator(make_function(globals_, name, name_ + "." + name, params, impl, doc));
    return *this;
}

py::object not_implemented(const Globals &, const Args &) {
    raise(PyExc_NotImplementedError, py::handle());
}

ClassBuilder &ClassBuilder::attr(const char *name, py::object value) {
    namespace_[name] = std::move(value);
    return *this;
}

py::object ClassBuilder::build(py::handle metaclass, py::tuple bases) const {
    return metaclass(py::str(name_), bases, namespace_);
}

}  // namespace plovera
