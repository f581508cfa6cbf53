#pragma once

#include <Python.h>

#include "readers/io_hooks.hpp"

namespace zelkit::native {

// IoHooks for a core reader running without the interpreter lock (see
// without_gil.hpp): the lock is already free around the blocking calls, so
// only the signal check needs it, taken back for just that moment. A pending
// Ctrl-C then stops the read with KeyboardInterrupt set on this thread,
// which the caller raises once it holds the lock again. The hooks keep no
// state, so one instance serves every reader and thread.
class SignalCheckingHooks final : public zel::IoHooks {
public:
    bool keep_going() override {
        const PyGILState_STATE state = PyGILState_Ensure();
        const bool go = PyErr_CheckSignals() == 0;
        PyGILState_Release(state);
        return go;
    }
};

inline zel::IoHooks& signal_checking_hooks() {
    static SignalCheckingHooks hooks;
    return hooks;
}

}  // namespace zelkit::native
