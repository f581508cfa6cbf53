#pragma once

// What the container's binding files share: the error mapping and the way
// a call runs core work on an object that several threads may hold.
#include <Python.h>

#include <memory>
#include <mutex>
#include <utility>

#include "base/error.hpp"
#include "native_state.hpp"
#include "pycommon/py_ref.hpp"
#include "without_gil.hpp"

namespace zelkit::native {

// A core error as Python sees it: malformed bytes become FormatError with
// their offset, exhausted memory MemoryError, a refusal of the system its
// OSError subclass, and a request that cannot be met ValueError. Returns
// nullptr for the caller to return.
PyObject* raise_container_error(const zel::Error& error);

// Runs `work` without the interpreter lock and under `mutex`, which is only
// ever waited for without the lock: threads sharing a reader or writer take
// turns instead of racing, and no thread holding the lock waits on another.
template <class Work>
decltype(auto) locked_without_gil(std::mutex& mutex, Work&& work) {
    GilReleased released;
    std::lock_guard<std::mutex> lock(mutex);
    return std::forward<Work>(work)();
}

// An instance of the reader or writer type: it owns one block of C++ state
// made with new, so members such as a mutex need no placement construction.
template <class State>
struct StateObject {
    PyObject_HEAD
    State* state;
};

template <class State>
State& state_of(PyObject* self) {
    return *reinterpret_cast<StateObject<State>*>(self)->state;
}

// A new instance of `type` owning `state`; nullptr with the error set.
template <class State>
PyObject* new_state_object(PyTypeObject* type, std::unique_ptr<State> state) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<StateObject<State>*>(self)->state = state.release();
    return self;
}

// tp_dealloc: no call can be running, as each holds a reference to the object.
template <class State>
void dealloc_state_object(PyObject* self) {
    delete reinterpret_cast<StateObject<State>*>(self)->state;
    zel::py::dealloc_heap_instance(self);
}

// The types, which add_container_functions adds to the module.
bool add_container_reader_type(PyObject* module, NativeState& state);
bool add_container_writer_type(PyObject* module, NativeState& state);

}  // namespace zelkit::native
