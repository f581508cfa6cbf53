#include "parts.hpp"

namespace zelkit::native {
namespace {

PyMethodDef g_format_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_format_functions(PyObject* module) {
    return PyModule_AddFunctions(module, g_format_functions) == 0;
}

}  // namespace zelkit::native
