#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "py_ref.hpp"

namespace zelkit::native {

// Releases the interpreter lock for the lifetime of the object; restoring it
// in the destructor keeps the lock balanced when core work throws.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// A read-only, C-contiguous view of any buffer-protocol object, released on
// scope exit.
class BufferView {
public:
    // False with TypeError set when obj exports no contiguous buffer.
    bool acquire(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS) != 0) return false;
        held_ = true;
        return true;
    }
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

inline PyObject* to_bytes(std::span<const std::uint8_t> data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

inline PyObject* to_bytearray(std::span<const std::uint8_t> data) {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                         static_cast<Py_ssize_t>(data.size()));
}

// Raises zelkit.FormatError(message, offset).
inline void raise_format_error(const std::string& message, std::uint64_t offset) {
    zel::py::PyRef module(PyImport_ImportModule("zelkit.errors"));
    if (!module) return;
    zel::py::PyRef type(PyObject_GetAttrString(module.get(), "FormatError"));
    if (!type) return;
    zel::py::PyRef text(PyUnicode_FromStringAndSize(message.data(),
                                                    static_cast<Py_ssize_t>(message.size())));
    zel::py::PyRef where(PyLong_FromUnsignedLongLong(offset));
    if (!text || !where) return;
    zel::py::PyRef error(PyObject_CallFunctionObjArgs(type.get(), text.get(), where.get(), nullptr));
    if (error) PyErr_SetObject(type.get(), error.get());
}

}  // namespace zelkit::native
