#pragma once

#include <Python.h>

#include "codec/pipeline.hpp"

namespace zel::py {

// The CompressionResult class, from which the module body creates it once
// per process (kept in zel_state().result_type).
PyType_Spec& result_type_spec();
// A new CompressionResult holding the measured figures, or NULL on error.
PyObject* new_compression_result(const CompressionStats& stats);

}  // namespace zel::py
