#include "support/module.hpp"

#include <string>

namespace plovera {

namespace {

py::module_ import_sibling(const py::module_ &module, const char *sibling) {
    std::string package = py::str(module.attr("__name__"));
    package = package.substr(0, package.rfind('.'));
    return py::module_::import((package + "." + sibling).c_str());
}

}  // namespace

py::object import_from_sibling(const py::module_ &module, const char *sibling, const char *name) {
    return import_sibling(module, sibling).attr(name);
}

void star_import_from_sibling(const py::module_ &module, const char *sibling) {
    py::module_ source = import_sibling(module, sibling);
    py::dict target = module_globals(module);
    if (py::hasattr(source, "__all__")) {
        for (py::handle name : source.attr("__all__")) {
            target[name] = source.attr(name);
        }
        return;
    }
    for (auto item : module_globals(source)) {
        if (!py::str(item.first).attr("startswith")("_").cast<bool>()) {
            target[item.first] = item.second;
        }
    }
}

}  // namespace plovera
