#pragma once

#include <Python.h>

// The array-level functions of zelkit._native, one file per role; the
// table that registers them is in array_functions.cpp.
namespace zelkit::native {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Files: load, path_extension, encode_records, file_header.
PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* path_extension(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* encode_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* file_header(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Events: summarize, to_events, from_events.
PyObject* summarize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* from_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Codec: compress, compress_sequence.
PyObject* compress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* compress_sequence(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// zelkit._native.RecordStream.
bool add_record_stream_type(PyObject* module);

}  // namespace zelkit::native
