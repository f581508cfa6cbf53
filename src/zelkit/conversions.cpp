#include "conversions.hpp"

#include <cstring>

#include "format_errors.hpp"
#include "pycommon/event_object.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {

using zel::py::PyRef;

bool convert_path(PyObject* obj, std::string& out) {
    PyRef path(PyOS_FSPath(obj));
    if (!path) return false;
    PyRef encoded = PyUnicode_Check(path.get()) ? PyRef(PyUnicode_EncodeFSDefault(path.get()))
                                                : PyRef::borrow(path.get());
    if (!encoded) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_record_format(PyObject* obj, zel::RecordFormat& out) {
    static const struct {
        const char* name;
        zel::RecordFormat format;
    } kNames[] = {{"evb", zel::RecordFormat::Compact},
                  {"nmnist", zel::RecordFormat::Nmnist},
                  {"aedat2", zel::RecordFormat::Aedat2},
                  {"csv", zel::RecordFormat::Csv}};
    const char* name = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
    } else {
        for (const auto& entry : kNames) {
            if (std::strcmp(name, entry.name) == 0) {
                out = entry.format;
                return true;
            }
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown format %R: expected 'evb', 'nmnist', 'aedat2' or 'csv'",
                 obj);
    return false;
}

PyObject* raise_stream_error(const zel::StreamError& error) {
    if (!error.offset) return raise_load_error(error.error);
    return raise_format_error(error.error.text(), *error.offset);
}

PyTypeObject* zel_event_type() {
    static PyTypeObject* cached = nullptr;
    if (cached != nullptr) return cached;
    PyRef zel_module(PyImport_ImportModule("zel"));
    if (!zel_module) return nullptr;
    PyRef type(PyObject_GetAttrString(zel_module.get(), "Event"));
    if (!type) return nullptr;
    // The instance layout is shared through event_object.hpp; refuse any
    // other class rather than write into an object of unknown shape.
    if (!PyType_Check(type.get()) ||
        reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
            static_cast<Py_ssize_t>(sizeof(zel::py::EventObject))) {
        PyErr_SetString(PyExc_ImportError, "zel.Event does not have the layout zelkit was built for");
        return nullptr;
    }
    cached = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process's life
    return cached;
}

}  // namespace zelkit::native
