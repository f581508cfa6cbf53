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
// event records. Filled by convert_records (conversions.hpp), which checks
// that the buffer holds whole records.
class PackedView {
public:
    BufferView& view() { return view_; }
    zel::PackedEvents events() const {
        return zel::PackedEvents(view_.data(), view_.size() / zel::kPackedEventBytes);
    }

private:
    BufferView view_;
};

}  // namespace zelkit::native
