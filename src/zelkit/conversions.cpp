#include "conversions.hpp"

#include "pycommon/py_ref.hpp"

namespace zelkit::native {

using zel::py::PyRef;
using zel::py::raise_argument_error;
using zel::py::raise_wrong_type;

bool convert_integer(PyObject* obj, const ArgRef& arg, unsigned long long min,
                     unsigned long long max, PyObject* range_error, unsigned long long& out) {
    if (!PyIndex_Check(obj)) return raise_wrong_type(arg, "int", obj);
    PyRef integer(PyNumber_Index(obj));
    if (!integer) return false;
    int sign = 0;
    const long long small = PyLong_AsLongLongAndOverflow(integer.get(), &sign);
    if (small == -1 && PyErr_Occurred()) return false;
    bool in_range = false;
    if (sign == 0 && small >= 0) {
        out = static_cast<unsigned long long>(small);
        in_range = out >= min && out <= max;
    } else if (sign > 0) {
        // Above LLONG_MAX: only an unsigned 64-bit target can hold it.
        out = PyLong_AsUnsignedLongLong(integer.get());
        if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
        } else {
            in_range = out >= min && out <= max;
        }
    }
    if (in_range) return true;
    return raise_argument_error(range_error, arg, "is %S, outside the range %llu..%llu",
                                integer.get(), min, max);
}

bool convert_flag(PyObject* obj, const ArgRef&, bool& out) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool convert_str(PyObject* obj, const ArgRef& arg, std::string& out) {
    if (!PyUnicode_Check(obj)) return raise_wrong_type(arg, "str", obj);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_path(PyObject* obj, const ArgRef& arg, std::string& out) {
    // What os.fspath accepts; its own errors (a __fspath__ that fails or
    // returns something else) pass through unchanged.
    if (!PyUnicode_Check(obj) && !PyBytes_Check(obj) &&
        !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__")) {
        return raise_wrong_type(arg, "str, bytes or os.PathLike", obj);
    }
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

namespace {

// The pending exception, normalised and taken out of the error indicator.
PyRef take_pending_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef(value);
}

bool acquire_buffer(PyObject* obj, const ArgRef& arg, int flags, const char* expected,
                    BufferView& out) {
    if (out.acquire(obj, flags)) return true;
    // The exporter's refusal (TypeError for no buffer at all; BufferError or,
    // from NumPy, ValueError for a strided or read-only one) says less than
    // what is needed, so it becomes the cause of an error that says it.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_BufferError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return false;
    }
    PyRef refusal = take_pending_exception();
    raise_wrong_type(arg, expected, obj);
    PyRef error = take_pending_exception();
    if (!error) return false;
    PyException_SetCause(error.get(), refusal.release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

}  // namespace

bool convert_buffer(PyObject* obj, const ArgRef& arg, BufferView& out) {
    return acquire_buffer(obj, arg, PyBUF_C_CONTIGUOUS, "a C-contiguous bytes-like object", out);
}

bool convert_records(PyObject* obj, const ArgRef& arg, PackedView& out) {
    if (!acquire_buffer(obj, arg, PyBUF_C_CONTIGUOUS, "a C-contiguous EVENT_DTYPE array",
                        out.view())) {
        return false;
    }
    const std::size_t size = out.view().size();
    if (size % zel::kPackedEventBytes == 0) return true;
    return raise_argument_error(PyExc_ValueError, arg,
                                "holds %zu bytes, not a whole number of %d-byte events", size,
                                static_cast<int>(zel::kPackedEventBytes));
}

bool find_choice(PyObject* obj, const ArgRef& arg, std::span<const char* const> names,
                 std::size_t& index) {
    if (!PyUnicode_Check(obj)) return raise_wrong_type(arg, "str", obj);
    for (index = 0; index < names.size(); ++index) {
        if (PyUnicode_CompareWithASCIIString(obj, names[index]) == 0) return true;
    }
    std::string listed;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) listed += i + 1 == names.size() ? " or " : ", ";
        listed += '\'';
        listed += names[i];
        listed += '\'';
    }
    return raise_argument_error(PyExc_ValueError, arg, "must be %s, not %R", listed.c_str(), obj);
}

}  // namespace zelkit::native
