#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <optional>
#include <utility>

#include "pycommon/py_ref.hpp"

// Named records: what a function returns when it has more to say than a
// pair. Each is a PyStructSequence, a tuple whose items are also attributes
// (as os.stat_result), so callers read `summary.t_first` and the record
// still unpacks and compares like the tuple it is. Declared the CPython way:
//
//     PyStructSequence_Field kSummaryFields[] = {{"count", "..."}, ..., {}};
//     PyStructSequence_Desc kSummaryDesc = {"zelkit._native.EventSummary", "...",
//                                           kSummaryFields, 10};
//     add_record_type(module, kSummaryDesc, state.event_summary_type);  // once, at exec
//     return new_record(state.event_summary_type, r.count, r.x_min, ...);
namespace zelkit::native {

// Makes the record class of `desc`, adds it to the module under its name
// and keeps it in `slot`. False with the exception set.
bool add_record_type(PyObject* module, PyStructSequence_Desc& desc, PyTypeObject*& slot);

// A field's value as a new Python object: integers, double, bool, an
// optional (None when empty) or an object already made.
inline zel::py::PyRef to_python(bool value) { return zel::py::PyRef(PyBool_FromLong(value)); }
inline zel::py::PyRef to_python(double value) { return zel::py::PyRef(PyFloat_FromDouble(value)); }
inline zel::py::PyRef to_python(zel::py::PyRef&& value) { return std::move(value); }
template <std::unsigned_integral T>
zel::py::PyRef to_python(T value) {
    return zel::py::PyRef(PyLong_FromUnsignedLongLong(value));
}
template <std::signed_integral T>
zel::py::PyRef to_python(T value) {
    return zel::py::PyRef(PyLong_FromLongLong(value));
}
template <class T>
zel::py::PyRef to_python(const std::optional<T>& value) {
    return value ? to_python(*value) : zel::py::PyRef::borrow(Py_None);
}

// Fills a new record of `type` with `items` in field order; null with the
// exception set if any item is missing or their number is not the record's.
PyObject* fill_record(PyTypeObject* type, zel::py::PyRef* items, std::size_t n_items);

template <class... Values>
PyObject* new_record(PyTypeObject* type, Values&&... values) {
    zel::py::PyRef items[] = {to_python(std::forward<Values>(values))...};
    return fill_record(type, items, sizeof...(Values));
}

}  // namespace zelkit::native
