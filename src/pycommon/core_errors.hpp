#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/error.hpp"
#include "pycommon/py_ref.hpp"

// The one mapping of the core's error value (base/error.hpp) to Python
// exceptions, in the two ways the modules raise them. Each returns nullptr
// for the caller to return. An error whose kind is Interrupted keeps the
// exception the hooks set when they stopped the work (KeyboardInterrupt
// from a signal handler).
namespace zel::py {

// zel's loaders: every failure is exactly OSError(text), one argument, so
// the interpreter never picks an errno-specific subclass.
PyObject* raise_load_error(const Error& error);

// zelkit, by kind:
//   Os            OSError(text), as zel raises it
//   InvalidData   format_error(message, offset): malformed bytes, placed
//   InvalidInput  ValueError(message): a value the call cannot use
//   Timestamp     ValueError(message): a time the 32-bit field cannot hold
//   OutOfMemory   MemoryError(message)
// `format_error` gives the class zelkit raises for malformed data (a new
// reference, or null with the exception set); it is called only for
// InvalidData.
PyObject* raise_error(const Error& error, PyRef (*format_error)());

// format_error(message, offset), offset None when there is none.
PyObject* raise_format_error(PyObject* format_error, std::string_view message,
                             std::optional<std::uint64_t> offset);

}  // namespace zel::py
