#pragma once

#include <Python.h>

#include <cstdint>

#include "base/process_generation.hpp"

namespace zelkit::native {

// An object whose core state one thread works on without the interpreter
// lock (a reader in the middle of a read) must refuse every other call
// until it is done: nothing else may touch that state meanwhile. Each such
// object keeps a BusyFlag; every method that changes or reads its state
// goes through one of these.
//
// A process forked while another thread's call ran has the flag set and
// the state half changed, with no thread to finish it: there the object
// refuses every call, saying why, and is let go of rather than destroyed.
// Plain data, so that a zeroed object (as tp_alloc makes it) holds an idle
// flag.
struct BusyFlag {
    bool busy;
    std::uint64_t generation;  // the process's, when busy was set

    bool set_before_fork() const { return busy && generation != zel::process_generation(); }
};

// RuntimeError for an object a fork caught in the middle of a call on
// another thread; `remedy` says what to do instead. Returns nullptr.
inline PyObject* raise_split_by_fork(const char* what, const char* remedy) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s was in use by another thread when this process was forked from its own: its state is not "
                 "whole here; %s",
                 what, remedy);
    return nullptr;
}

// False with RuntimeError while `flag` is set: "<what> is in use by another
// thread", or that it was when this process was forked from its own.
inline bool idle_or_raise(const BusyFlag& flag, const char* what) {
    if (flag.set_before_fork()) {
        raise_split_by_fork(what, "open the file again in this process");
    } else if (flag.busy) {
        PyErr_Format(PyExc_RuntimeError, "%s is in use by another thread", what);
    }
    return !flag.busy;
}

// Marks the object busy for its lifetime, once enter() succeeds: for a
// method that gives the lock up.
class BusyGuard {
public:
    BusyGuard(BusyFlag& flag, const char* what) : flag_(flag), what_(what) {}
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    bool enter() {
        if (!idle_or_raise(flag_, what_)) return false;
        flag_ = {true, zel::process_generation()};
        entered_ = true;
        return true;
    }
    ~BusyGuard() {
        if (entered_) flag_.busy = false;
    }

private:
    BusyFlag& flag_;
    const char* what_;
    bool entered_ = false;
};

}  // namespace zelkit::native
