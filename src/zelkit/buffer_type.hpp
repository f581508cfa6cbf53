#pragma once

#include <Python.h>

#include "base/byte_buffer.hpp"
#include "native_state.hpp"

namespace zelkit::native {

// zelkit._native.Buffer (added by add_buffer_type, parts.hpp): a writable
// bytes-like object that owns a block the core filled. numpy.frombuffer
// views it without a copy, and the array keeps it alive for as long as it is
// needed. Moves `bytes` into a new Buffer object; nullptr with an exception set.
PyObject* new_buffer(const NativeState& state, zel::ByteBuffer bytes);

}  // namespace zelkit::native
