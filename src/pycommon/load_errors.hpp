#pragma once

#include <Python.h>

#include "base/error.hpp"

namespace zel::py {

// A loader's failure as exactly OSError(text): one argument, so the
// interpreter never picks an errno-specific subclass. A read the hooks
// stopped for a signal keeps the exception the handler set. Returns nullptr
// for the caller to return.
PyObject* raise_load_error(const Error& error);

}  // namespace zel::py
