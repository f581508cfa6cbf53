// zelkit._native: the array-level entry points behind the zelkit package.
// Every function here works on buffers and plain values, runs the core with
// the interpreter lock released, and hands back new Python objects.
#include <Python.h>

#include "parts.hpp"
#include "pycommon/py_ref.hpp"

namespace {

PyModuleDef g_native_def = {
    PyModuleDef_HEAD_INIT,
    "zelkit._native",
    "Native layer of zelkit; use the zelkit package instead.",
    0,
    nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
    zel::py::PyRef module(PyModule_Create(&g_native_def));
    if (!module) return nullptr;
    for (auto add : {zelkit::native::add_array_functions, zelkit::native::add_format_functions,
                     zelkit::native::add_container_functions}) {
        if (!add(module.get())) return nullptr;
    }
    return module.release();
}
