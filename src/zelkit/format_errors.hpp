#pragma once

#include <Python.h>

#include "readers/camera_decoding.hpp"
#include "readers/camera_writers.hpp"

namespace zelkit::native {

// Format faults become zelkit.FormatError(message, offset); a timestamp that
// does not fit becomes ValueError naming the event and its time. Returns
// nullptr for the caller to return.
PyObject* raise_decode_error(const zel::camera::DecodeError& error);

// An event a writer cannot store: ValueError naming field, index and limit.
PyObject* raise_encode_error(const zel::camera::EncodeError& error);

}  // namespace zelkit::native
