#include "support/function.hpp"

PYBIND11_MODULE(objective, module) { module.doc() = ""; }
