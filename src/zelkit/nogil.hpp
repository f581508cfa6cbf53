#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace zelkit::native {

// Runs `work` with the interpreter lock released. An exception thrown by the
// work is carried across and rethrown once the lock is held again, so the
// boundary that turns it into a Python exception runs with the lock.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    using Value = decltype(work());
    if constexpr (std::is_void_v<Value>) {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Value> value;
        try {
            value.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
        return std::move(*value);
    }
}

// Holds a Py_buffer and releases it on scope exit.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with an exception set when `obj` has no suitable buffer.
    bool acquire(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::uint8_t* mutable_data() const { return static_cast<std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace zelkit::native
