#include "pycommon/core_errors.hpp"

#include <string>

namespace zel::py {
namespace {

PyRef text_object(std::string_view text) {
    return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* raise_text(PyObject* type, std::string_view text) {
    PyRef message = text_object(text);
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

bool interrupted(const Error& error) { return error.kind == ErrorKind::Interrupted && PyErr_Occurred(); }

}  // namespace

PyObject* raise_load_error(const Error& error) {
    if (interrupted(error)) return nullptr;
    return raise_text(PyExc_OSError, error.text());
}

PyObject* raise_format_error(PyObject* format_error, std::string_view message,
                             std::optional<std::uint64_t> offset) {
    PyRef text = text_object(message);
    if (!text) return nullptr;
    PyRef where = offset ? PyRef(PyLong_FromUnsignedLongLong(*offset)) : PyRef::borrow(Py_None);
    if (!where) return nullptr;
    PyRef instance(PyObject_CallFunctionObjArgs(format_error, text.get(), where.get(), nullptr));
    if (instance) PyErr_SetObject(format_error, instance.get());
    return nullptr;
}

PyObject* raise_error(const Error& error, PyRef (*format_error)()) {
    if (interrupted(error)) return nullptr;
    switch (error.kind) {
        case ErrorKind::Os:
        case ErrorKind::Interrupted: return raise_load_error(error);
        case ErrorKind::InvalidData: {
            PyRef type = format_error();
            if (!type) return nullptr;
            return raise_format_error(type.get(), error.message, error.offset);
        }
        case ErrorKind::InvalidInput:
        case ErrorKind::Timestamp: return raise_text(PyExc_ValueError, error.message);
        case ErrorKind::OutOfMemory: return raise_text(PyExc_MemoryError, error.message);
    }
    return raise_load_error(error);
}

}  // namespace zel::py
