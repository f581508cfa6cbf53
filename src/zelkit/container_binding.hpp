#pragma once

// What the container's binding files share: the error mapping and the way
// a call runs core work on an object that several threads may hold.
#include <Python.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "base/process_generation.hpp"
#include "buffer_view.hpp"
#include "busy_guard.hpp"
#include "container/byte_source.hpp"
#include "conversions.hpp"
#include "native_state.hpp"
#include "pycommon/args.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/py_ref.hpp"
#include "without_gil.hpp"

namespace zelkit::native {

// A core error as a container call raises it: as raise_error
// (format_errors.hpp) does, but for the system's refusals, which keep their
// errno's OSError subclass. Returns nullptr for the caller to return.
PyObject* raise_container_error(const zel::Error& error);

// What a writer's step hands back: the bytes it appended, or its error.
inline PyObject* step_result(const zel::Status& status, const std::vector<std::uint8_t>& out) {
    if (!status) return raise_container_error(status.error());
    return zel::py::bytes_from(out);
}

// Opens a core reader (Reader::open takes a ByteSource) over a file
// descriptor (an int, read by position through a duplicate) or any
// C-contiguous buffer (read in place; `data` keeps it alive and must outlive
// the reader). Null with the exception set on failure.
template <class Reader>
std::unique_ptr<Reader> open_reader(const zel::py::ObjectArg& source, std::optional<BufferView>& data) {
    namespace ct = zel::container;
    zel::Result<Reader> opened = zel::Error::invalid_input("no source");
    if (PyLong_Check(source.object) && !PyBool_Check(source.object)) {
        int fd = 0;
        if (!convert_bounded<int, 0, INT_MAX>(source.object, source.arg, fd)) return nullptr;
        opened = without_gil([&]() -> zel::Result<Reader> {
            ZEL_ASSIGN_OR_RETURN(auto file, ct::file_source(fd));
            return Reader::open(std::move(file));
        });
    } else {
        if (!convert_buffer(source.object, source.arg, data.emplace())) return nullptr;
        const std::span<const std::uint8_t> bytes = data->bytes();
        opened = without_gil([&] { return Reader::open(ct::memory_source(bytes)); });
    }
    if (!opened) {
        raise_container_error(opened.error());
        return nullptr;
    }
    return std::make_unique<Reader>(std::move(opened.value()));
}

// The mutex of an object that several threads may hold, and that a forked
// process may inherit (a data loader's workers get the reader their parent
// opened). A process forked while another thread held the mutex, in the
// middle of a read, has the lock but not the thread, and would wait
// forever: its first use there makes it anew. Every use is made with the
// interpreter lock held, so no two threads of a process make it at once.
class ProcessMutex {
public:
    // The mutex to lock, in this process; with the interpreter lock held.
    std::mutex& here() {
        const std::uint64_t now = zel::process_generation();
        if (generation_ != now) {
            generation_ = now;
            if (mutex_.try_lock()) {
                mutex_.unlock();
            } else {
                held_at_fork_ = true;
                // The copy is locked by no thread of this process; it is
                // not destroyed, as destroying a locked mutex is undefined.
                std::construct_at(&mutex_);
            }
        }
        return mutex_;
    }
    // Whether another thread held it at a fork between the object's process
    // and this one: what it guards may then be half changed.
    bool held_at_fork() const { return held_at_fork_; }

private:
    std::mutex mutex_;
    std::uint64_t generation_ = zel::process_generation();
    bool held_at_fork_ = false;
};

// For a writer, whose every step changes it: false with RuntimeError when
// this process was forked from its own in the middle of one. A reader's
// reads change nothing, and it goes on.
inline bool whole_or_raise(ProcessMutex& mutex, const char* what) {
    mutex.here();
    if (!mutex.held_at_fork()) return true;
    raise_split_by_fork(what, "make a new one in this process");
    return false;
}

// Runs `work` without the interpreter lock and under `mutex`, which is only
// ever waited for without the lock: threads sharing a reader or writer take
// turns instead of racing, and no thread holding the lock waits on another.
template <class Work>
decltype(auto) locked_without_gil(ProcessMutex& mutex, Work&& work) {
    std::mutex& here = mutex.here();
    GilReleased released;
    std::lock_guard<std::mutex> lock(here);
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

// tp_dealloc: no call can be running, as each holds a reference to the
// object. State whose lock another thread held when this process was forked
// from its own may be half changed (a writer's, in the middle of a step):
// it is let go of, not destroyed.
template <class State>
void dealloc_state_object(PyObject* self) {
    State* state = reinterpret_cast<StateObject<State>*>(self)->state;
    state->mutex.here();
    if (!state->mutex.held_at_fork()) delete state;
    zel::py::dealloc_heap_instance(self);
}

// The types, which add_container_functions adds to the module.
bool add_container_reader_type(PyObject* module, NativeState& state);
bool add_container_writer_type(PyObject* module, NativeState& state);
bool add_event_store_types(PyObject* module, NativeState& state);

}  // namespace zelkit::native
