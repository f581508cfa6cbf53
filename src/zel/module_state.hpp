#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace zel::py {

// Everything the zel module keeps for the process's life. The module is
// initialised once per process and refuses other interpreters, so there is
// exactly one of these; each member is set at most once and never released.
struct ZelState {
    // The interpreter that first initialised the module; -1 until then.
    std::atomic<std::int64_t> interpreter_id{-1};
    // The module object, once its body has run successfully.
    PyObject* module = nullptr;
    // The two classes, created on first use (the module body) and kept even
    // if the rest of that initialisation fails, so a retry reuses them.
    PyTypeObject* event_type = nullptr;
    PyTypeObject* result_type = nullptr;
};

ZelState& zel_state();

}  // namespace zel::py
