#pragma once

#include <Python.h>

#include "codec/pipeline.hpp"

namespace zel::py {

// Creates the CompressionResult class once per process; new reference or NULL.
PyObject* create_result_type();
// A new CompressionResult holding the measured figures, or NULL on error.
PyObject* new_compression_result(const CompressionStats& stats);

}  // namespace zel::py
