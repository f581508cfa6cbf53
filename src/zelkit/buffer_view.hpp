#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/event.hpp"

namespace zelkit::native {

// A caller's buffer-protocol object, held for as long as this handle lives
// and released on scope exit.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False with an exception set when `obj` exports no buffer with `flags`
    // (by default: read-only, C-contiguous).
    bool acquire(PyObject* obj, int flags = PyBUF_C_CONTIGUOUS) {
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    // Only for a view acquired with PyBUF_WRITABLE.
    std::uint8_t* mutable_data() const { return static_cast<std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }
    std::span<const std::uint8_t> bytes() const { return {data(), size()}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A caller's C-contiguous buffer (a NumPy EVENT_DTYPE array), seen as packed
// event records.
class PackedView {
public:
    // False with an exception set when `obj` is no C-contiguous buffer or
    // its size is not a whole number of records.
    bool acquire(PyObject* obj, const char* name) {
        if (!view_.acquire(obj)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous EVENT_DTYPE array", name);
            return false;
        }
        if (view_.size() % zel::kPackedEventBytes != 0) {
            PyErr_Format(PyExc_ValueError, "%s holds %zu bytes, not a whole number of %d-byte events",
                         name, view_.size(), static_cast<int>(zel::kPackedEventBytes));
            return false;
        }
        return true;
    }

    zel::PackedEvents events() const {
        return zel::PackedEvents(view_.data(), view_.size() / zel::kPackedEventBytes);
    }

private:
    BufferView view_;
};

}  // namespace zelkit::native
