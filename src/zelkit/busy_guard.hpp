#pragma once

#include <Python.h>

namespace zelkit::native {

// An object whose core state one thread works on without the interpreter
// lock (a reader in the middle of a read) must refuse every other call
// until it is done: nothing else may touch that state meanwhile. Each such
// object keeps a `busy` flag; every method that changes or reads its state
// goes through one of these.

// False with RuntimeError "<what> is in use by another thread" while `busy`.
inline bool idle_or_raise(bool busy, const char* what) {
    if (busy) PyErr_Format(PyExc_RuntimeError, "%s is in use by another thread", what);
    return !busy;
}

// Marks the object busy for its lifetime, once enter() succeeds: for a
// method that gives the lock up.
class BusyGuard {
public:
    BusyGuard(bool& busy, const char* what) : busy_(busy), what_(what) {}
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    bool enter() {
        if (!idle_or_raise(busy_, what_)) return false;
        busy_ = entered_ = true;
        return true;
    }
    ~BusyGuard() {
        if (entered_) busy_ = false;
    }

private:
    bool& busy_;
    const char* what_;
    bool entered_ = false;
};

}  // namespace zelkit::native
