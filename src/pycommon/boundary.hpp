#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace zel::py {

// No C++ exception may cross into the interpreter: allocation failures become
// MemoryError, anything else a RuntimeError carrying its description.
template <class Work>
PyObject* guarded(Work&& work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
    }
    return nullptr;
}

}  // namespace zel::py
