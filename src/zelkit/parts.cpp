#include "parts.hpp"

namespace zelkit::native {

bool add_functions_uniquely(PyObject* module, PyMethodDef* table) {
    for (const PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
        const int present = PyObject_HasAttrString(module, def->ml_name);
        if (present) {
            PyErr_Format(PyExc_ImportError, "zelkit._native: '%s' is defined by two parts",
                         def->ml_name);
            return false;
        }
    }
    return PyModule_AddFunctions(module, table) == 0;
}

}  // namespace zelkit::native
