#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace zel::camera {
struct DecodeError;
struct EncodeError;
}  // namespace zel::camera

namespace zelkit::native {

// Raises zelkit.FormatError(message, offset), the one error type for
// malformed files and containers. Returns nullptr for the caller to return.
PyObject* raise_format_error(std::string_view message, std::uint64_t offset);

// Camera-format faults become FormatError; a timestamp that does not fit
// becomes ValueError naming the event and its time.
PyObject* raise_decode_error(const zel::camera::DecodeError& error);

// An event a writer cannot store: ValueError naming field, index and limit.
PyObject* raise_encode_error(const zel::camera::EncodeError& error);

}  // namespace zelkit::native
