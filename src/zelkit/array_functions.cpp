#include "parts.hpp"

namespace zelkit::native {
namespace {

PyMethodDef g_array_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_array_functions(PyObject* module) {
    return PyModule_AddFunctions(module, g_array_functions) == 0;
}

}  // namespace zelkit::native
