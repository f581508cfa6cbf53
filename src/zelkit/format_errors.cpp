#include "format_errors.hpp"

#include "py_ref.hpp"

namespace zelkit::native {

using zel::py::PyRef;

PyObject* raise_decode_error(const zel::camera::DecodeError& error) {
    PyRef message(PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()),
                                       "replace"));
    if (!message) return nullptr;
    if (error.kind == zel::camera::DecodeError::Kind::Timestamp) {
        PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    PyRef errors(PyImport_ImportModule("zelkit.errors"));
    if (!errors) return nullptr;
    PyRef type(PyObject_GetAttrString(errors.get(), "FormatError"));
    if (!type) return nullptr;
    PyRef offset(PyLong_FromUnsignedLongLong(error.offset));
    if (!offset) return nullptr;
    PyRef instance(PyObject_CallFunctionObjArgs(type.get(), message.get(), offset.get(), nullptr));
    if (!instance) return nullptr;
    PyErr_SetObject(type.get(), instance.get());
    return nullptr;
}

PyObject* raise_encode_error(const zel::camera::EncodeError& error) {
    PyErr_SetString(PyExc_ValueError, error.message.c_str());
    return nullptr;
}

}  // namespace zelkit::native
