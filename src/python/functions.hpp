#pragma once

#include <Python.h>

namespace zel::py {

// The seven module functions (METH_FASTCALL | METH_KEYWORDS).
PyObject* compress(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* compress_sequence(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* load_nmnist(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* load_aedat2(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* load_csv(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* load_events(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* event_stats(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zel::py
