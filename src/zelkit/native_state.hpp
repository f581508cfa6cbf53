#pragma once

#include <Python.h>

namespace zelkit::native {

// Everything zelkit._native keeps, in the module object itself (multi-phase
// initialisation, as CPython's own modules do): each import of the module
// gets its own classes, and nothing outlives the module but what Python
// still references. Functions reach it through their module, methods
// through their class. A member added here is also listed in module.cpp's
// for_each_reference, so the collector sees it.
struct NativeState {
    // Classes this module defines.
    PyTypeObject* buffer_type;
    PyTypeObject* record_stream_type;
    PyTypeObject* camera_reader_type;
    PyTypeObject* camera_writer_type;
    PyTypeObject* container_reader_type;
    PyTypeObject* container_writer_type;
    PyTypeObject* event_store_reader_type;
    PyTypeObject* event_store_writer_type;
    // Named records the functions return.
    PyTypeObject* event_summary_type;
    PyTypeObject* compression_figures_type;
    PyTypeObject* container_frame_type;
    // zel.Event, whose objects to_events makes and from_events reads.
    PyTypeObject* zel_event_type;
};

// The state of zelkit._native's module object.
NativeState& native_state(PyObject* module);
// The state of the module that made `type` (one of the classes above, or a
// subclass of one).
NativeState& native_state(PyTypeObject* type);

// Makes the class of `spec` for `module`, adds it to the module under its
// name and keeps it in `slot`. False with the exception set.
bool add_type(PyObject* module, PyType_Spec& spec, PyTypeObject*& slot);

}  // namespace zelkit::native
