#pragma once

#include <Python.h>

#include "conversions.hpp"
#include "native_state.hpp"

namespace zelkit::native {

// Each file of the native layer adds its own functions and classes to the
// module, so the parts grow without touching one shared table. Each returns
// false with a Python exception set on failure. module.cpp calls them in
// this order.
bool add_buffer_type(PyObject* module, NativeState& state);
bool add_file_functions(PyObject* module, NativeState& state);
bool add_record_stream_type(PyObject* module, NativeState& state);
bool add_event_functions(PyObject* module, NativeState& state);
bool add_codec_functions(PyObject* module, NativeState& state);
bool add_camera_files(PyObject* module, NativeState& state);
bool add_container_functions(PyObject* module, NativeState& state);

// PyModule_AddFunctions, but a name another part already added is an
// ImportError instead of a silent replacement: the parts share one namespace.
bool add_functions_uniquely(PyObject* module, PyMethodDef* table);

}  // namespace zelkit::native
