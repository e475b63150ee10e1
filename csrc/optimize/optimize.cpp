#include "support/function.hpp"

PYBIND11_MODULE(optimize, module) { module.doc() = ""; }
