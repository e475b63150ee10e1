#include "support/module.hpp"

#include <string>

namespace plovera {

py::object import_from_sibling(const py::module_ &module, const char *sibling, const char *name) {
    std::string package = py::str(module.attr("__name__"));
    package = package.substr(0, package.rfind('.'));
    return py::module_::import((package + "." + sibling).c_str()).attr(name);
}

}  // namespace plovera
