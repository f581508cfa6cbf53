#include "record_types.hpp"

namespace zelkit::native {

using zel::py::PyRef;

bool add_record_type(PyObject* module, PyStructSequence_Desc& desc, PyTypeObject*& slot) {
    slot = PyStructSequence_NewType(&desc);
    return slot != nullptr && PyModule_AddType(module, slot) == 0;
}

PyObject* fill_record(PyTypeObject* type, PyRef* items, std::size_t n_items) {
    for (std::size_t i = 0; i < n_items; ++i) {
        if (!items[i]) return nullptr;
    }
    PyRef record(PyStructSequence_New(type));
    if (!record) return nullptr;
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(record.get())) != n_items) {
        PyErr_Format(PyExc_SystemError, "%s has %zd fields, given %zu values", type->tp_name,
                     PyTuple_GET_SIZE(record.get()), n_items);
        return nullptr;
    }
    for (std::size_t i = 0; i < n_items; ++i) {
        PyStructSequence_SetItem(record.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return record.release();
}

}  // namespace zelkit::native
