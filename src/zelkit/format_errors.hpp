#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "base/error.hpp"

namespace zelkit::native {

// A core failure as zelkit raises it (pycommon/core_errors.hpp has the
// mapping): malformed data is zelkit.FormatError with its byte offset, an
// operating-system failure zel's OSError, a value the call cannot use or a
// time the 32-bit field cannot hold ValueError. Returns nullptr for the
// caller to return.
PyObject* raise_error(const zel::Error& error);

}  // namespace zelkit::native
