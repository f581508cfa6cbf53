#pragma once

#include <Python.h>

#include <utility>

namespace zelkit::native {

// Runs core work with the interpreter lock released, so other Python
// threads (a thread pool over files) keep running. The lock is taken back
// even when the work throws, before the exception reaches `guarded`.
// The work must not touch any Python object.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    struct Released {
        PyThreadState* state = PyEval_SaveThread();
        ~Released() { PyEval_RestoreThread(state); }
    } released;
    return std::forward<Work>(work)();
}

}  // namespace zelkit::native
