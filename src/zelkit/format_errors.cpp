#include "format_errors.hpp"

#include "pycommon/py_ref.hpp"
#include "readers/camera_decoding.hpp"
#include "writers/camera_writers.hpp"

namespace zelkit::native {

using zel::py::PyRef;

PyObject* raise_format_error(std::string_view message, std::uint64_t offset) {
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyRef errors(PyImport_ImportModule("zelkit.errors"));
    if (!errors) return nullptr;
    PyRef type(PyObject_GetAttrString(errors.get(), "FormatError"));
    if (!type) return nullptr;
    PyRef where(PyLong_FromUnsignedLongLong(offset));
    if (!where) return nullptr;
    PyRef instance(PyObject_CallFunctionObjArgs(type.get(), text.get(), where.get(), nullptr));
    if (!instance) return nullptr;
    PyErr_SetObject(type.get(), instance.get());
    return nullptr;
}

PyObject* raise_decode_error(const zel::camera::DecodeError& error) {
    if (error.kind == zel::camera::DecodeError::Kind::Timestamp) {
        PyRef message(PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()),
                                           "replace"));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    return raise_format_error(error.message, error.offset);
}

PyObject* raise_encode_error(const zel::camera::EncodeError& error) {
    PyErr_SetString(PyExc_ValueError, error.message.c_str());
    return nullptr;
}

}  // namespace zelkit::native
