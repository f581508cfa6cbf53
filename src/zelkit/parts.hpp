#pragma once

#include <Python.h>

namespace zelkit::native {

// Each file of the native layer adds its own functions to the module, so the
// parts (arrays, formats, container) grow without touching one shared table.
// Each returns false with a Python exception set on failure.
bool add_array_functions(PyObject* module);
bool add_format_functions(PyObject* module);
bool add_container_functions(PyObject* module);

// PyModule_AddFunctions, but a name another part already added is an
// ImportError instead of a silent replacement: the parts share one namespace.
bool add_functions_uniquely(PyObject* module, PyMethodDef* table);

}  // namespace zelkit::native
