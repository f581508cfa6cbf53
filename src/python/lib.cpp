// Module initialisation and the function table of `zel`.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "event_type.hpp"
#include "functions.hpp"
#include "py_ref.hpp"
#include "result_type.hpp"

namespace {

using zel::py::PyRef;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zel",
    "",       // __doc__ is an empty str
    0,        // no per-module state
    nullptr,  // functions are added by the module body
    nullptr, nullptr, nullptr, nullptr,
};

// The module keeps process-wide state, so it refuses to be shared with a
// second interpreter.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

#define ZEL_FUNCTION(name, signature)                                                    \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(zel::py::name)), \
     METH_FASTCALL | METH_KEYWORDS, signature "\n--\n\n"}

PyMethodDef g_functions[] = {
    ZEL_FUNCTION(compress, "compress(events, width, height, time_bins, max_depth)"),
    ZEL_FUNCTION(compress_sequence,
                 "compress_sequence(events, width, height, time_bins, max_depth, n_frames)"),
    ZEL_FUNCTION(load_nmnist, "load_nmnist(path)"),
    ZEL_FUNCTION(load_aedat2, "load_aedat2(path)"),
    ZEL_FUNCTION(load_csv, "load_csv(path)"),
    ZEL_FUNCTION(load_events, "load_events(path)"),
    ZEL_FUNCTION(event_stats, "event_stats(events)"),
};

#undef ZEL_FUNCTION

// Appends `name` to __all__ (creating the list on first use), then sets the attribute.
bool add_name(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyRef qualname(PyType_GetQualName(Py_TYPE(all.get())));
        if (qualname) {
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'",
                         qualname.get());
        }
        return false;
    }
    PyRef name_object(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

bool run_module_body(PyObject* module) {
    PyRef event_type(zel::py::create_event_type());
    if (!event_type || !add_name(module, "Event", event_type.get())) return false;
    PyRef result_type(zel::py::create_result_type());
    if (!result_type || !add_name(module, "CompressionResult", result_type.get())) return false;

    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : g_functions) {
        PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return false;
        PyRef function_name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!function_name) return false;
        const char* name = PyUnicode_AsUTF8(function_name.get());
        if (name == nullptr || !add_name(module, name, function.get())) return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_zel(void) {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, interpreter_id) &&
        expected != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "zel does not support sub-interpreters: it can be loaded only once per "
                        "process, in one interpreter");
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    PyRef module(PyModule_Create(&g_module_def));
    if (!module || !run_module_body(module.get())) return nullptr;
    g_module = module.get();
    Py_INCREF(g_module);  // the process keeps one reference for later initialisations
    return module.release();
}
