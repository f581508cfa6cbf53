#include "format_errors.hpp"

#include "pycommon/core_errors.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {
namespace {

using zel::py::PyRef;

// zelkit.errors.FormatError, imported when an error needs it: the package
// is importing this module, so it cannot be looked up at import time.
PyRef format_error_type() {
    PyRef errors(PyImport_ImportModule("zelkit.errors"));
    if (!errors) return PyRef();
    return PyRef(PyObject_GetAttrString(errors.get(), "FormatError"));
}

}  // namespace

PyObject* raise_error(const zel::Error& error) { return zel::py::raise_error(error, format_error_type); }

}  // namespace zelkit::native
