#include "parts.hpp"

namespace zelkit::native {
namespace {

PyMethodDef g_container_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_container_functions(PyObject* module) {
    return PyModule_AddFunctions(module, g_container_functions) == 0;
}

}  // namespace zelkit::native
