#pragma once

#include <Python.h>

#include "event.hpp"

namespace zelkit::native {

// A caller's C-contiguous buffer (a NumPy EVENT_DTYPE array), seen as packed
// event records for as long as this handle lives; released on scope exit.
class PackedView {
public:
    PackedView() = default;
    PackedView(const PackedView&) = delete;
    PackedView& operator=(const PackedView&) = delete;
    ~PackedView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False with an exception set when `obj` is no C-contiguous buffer or
    // its size is not a whole number of records.
    bool acquire(PyObject* obj, const char* name) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous EVENT_DTYPE array", name);
            return false;
        }
        held_ = true;
        if (view_.len % static_cast<Py_ssize_t>(zel::kPackedEventBytes) != 0) {
            PyErr_Format(PyExc_ValueError, "%s holds %zd bytes, not a whole number of %d-byte events",
                         name, view_.len, static_cast<int>(zel::kPackedEventBytes));
            return false;
        }
        return true;
    }

    zel::PackedEvents events() const {
        return zel::PackedEvents(static_cast<const std::uint8_t*>(view_.buf),
                                 static_cast<std::size_t>(view_.len) / zel::kPackedEventBytes);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace zelkit::native
