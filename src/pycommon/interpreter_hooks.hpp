#pragma once

#include <Python.h>

#include "readers/io_hooks.hpp"

namespace zel::py {

// IoHooks for a reader called with the interpreter lock held: the lock is
// given up only for the duration of one blocking system call, so a thread of
// this process that writes the FIFO being opened can run, and a pending
// signal (Ctrl-C) stops the read with its Python exception set, the way
// Python's own open() and read() behave. Everything else runs with the lock.
class InterpreterHooks final : public IoHooks {
public:
    void enter_blocking() override { saved_ = PyEval_SaveThread(); }
    void leave_blocking() override { PyEval_RestoreThread(saved_); }
    bool keep_going() override { return PyErr_CheckSignals() == 0; }

private:
    PyThreadState* saved_ = nullptr;
};

}  // namespace zel::py
