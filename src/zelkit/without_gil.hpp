#pragma once

#include <Python.h>

#include <utility>

namespace zelkit::native {

// Releases the interpreter lock for the lifetime of the object, so other
// Python threads (a thread pool over files) keep running. The destructor
// takes it back, also when the work throws, so an exception reaches
// `guarded` with the lock held. Work in its scope must not touch any Python
// object.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// Runs `work` in a GilReleased scope and returns what it returns.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    GilReleased released;
    return std::forward<Work>(work)();
}

}  // namespace zelkit::native
