// zelkit._native: the array-level entry points behind the zelkit package.
// Every function here works on buffers and plain values, runs the core with
// the interpreter lock released, and hands back new Python objects.
#include <Python.h>

#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/event_object.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {
namespace {

using zel::py::PyRef;

// Every object the state holds, for traverse and clear.
template <class Visit>
int for_each_reference(NativeState& s, Visit&& visit) {
    PyTypeObject** const slots[] = {&s.buffer_type,         &s.record_stream_type,
                                    &s.camera_reader_type,  &s.camera_writer_type,
                                    &s.event_summary_type,  &s.compression_figures_type,
                                    &s.container_reader_type, &s.container_writer_type,
                                    &s.container_frame_type, &s.zel_event_type,
                                    &s.event_store_reader_type, &s.event_store_writer_type};
    // A member added to NativeState must be listed here too.
    static_assert(sizeof(slots) / sizeof(slots[0]) * sizeof(PyTypeObject*) == sizeof(NativeState));
    for (PyTypeObject** slot : slots) {
        if (const int stop = visit(*slot)) return stop;
    }
    return 0;
}

int traverse_native(PyObject* module, visitproc visit, void* arg) {
    return for_each_reference(native_state(module), [&](PyTypeObject* type) {
        Py_VISIT(type);
        return 0;
    });
}

int clear_native(PyObject* module) {
    return for_each_reference(native_state(module), [](PyTypeObject*& type) {
        Py_CLEAR(type);
        return 0;
    });
}

void free_native(void* module) { clear_native(static_cast<PyObject*>(module)); }

// zel.Event, from the zel module. The instance layout is shared through
// event_object.hpp; refuse any other class rather than write into an object
// of unknown shape.
bool take_zel_event_type(NativeState& state) {
    PyRef zel_module(PyImport_ImportModule("zel"));
    if (!zel_module) return false;
    PyRef type(PyObject_GetAttrString(zel_module.get(), "Event"));
    if (!type) return false;
    if (!PyType_Check(type.get()) ||
        reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
            static_cast<Py_ssize_t>(sizeof(zel::py::EventObject))) {
        PyErr_SetString(PyExc_ImportError,
                        "zel.Event does not have the layout zelkit was built for");
        return false;
    }
    state.zel_event_type = reinterpret_cast<PyTypeObject*>(type.release());
    return true;
}

int exec_native(PyObject* module) {
    NativeState& state = native_state(module);
    const bool added =
        take_zel_event_type(state) && add_buffer_type(module, state) &&
        add_file_functions(module, state) && add_record_stream_type(module, state) &&
        add_event_functions(module, state) && add_codec_functions(module, state) &&
        add_camera_files(module, state) &&
        add_container_functions(module, state);
    return added ? 0 : -1;
}

PyModuleDef_Slot g_native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
    {0, nullptr},
};

PyModuleDef g_native_def = {
    PyModuleDef_HEAD_INIT,
    "zelkit._native",
    "Native layer of zelkit; use the zelkit package instead.",
    sizeof(NativeState),
    nullptr,
    g_native_slots,
    traverse_native,
    clear_native,
    free_native,
};

}  // namespace

NativeState& native_state(PyObject* module) {
    return *static_cast<NativeState*>(PyModule_GetState(module));
}

NativeState& native_state(PyTypeObject* type) {
    // Only classes made by add_type reach here, and none can be subclassed
    // by another module, so the lookup always finds this one.
    return native_state(PyType_GetModuleByDef(type, &g_native_def));
}

bool add_type(PyObject* module, PyType_Spec& spec, PyTypeObject*& slot) {
    slot = zel::py::new_heap_type(module, spec);
    return slot != nullptr && PyModule_AddType(module, slot) == 0;
}

}  // namespace zelkit::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&zelkit::native::g_native_def); }
