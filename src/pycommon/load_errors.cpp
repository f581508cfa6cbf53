#include "pycommon/load_errors.hpp"

#include <string>

#include "pycommon/py_ref.hpp"

namespace zel::py {

PyObject* raise_load_error(const Error& error) {
    if (error.kind == ErrorKind::Interrupted && PyErr_Occurred()) return nullptr;
    const std::string text = error.text();
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                       "replace"));
    if (message) PyErr_SetObject(PyExc_OSError, message.get());
    return nullptr;
}

}  // namespace zel::py
