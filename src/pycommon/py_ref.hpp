#pragma once

#include <Python.h>

#include <utility>

namespace zel::py {

// Owns one strong reference; released on scope exit so every error path is clean.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : object_(owned) {}
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (for return values and stealing APIs).
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Every class of both modules is a heap type made here from its PyType_Spec.
// A class made for a module (zelkit's) is tied to it, so its methods find
// the module's state through PyType_GetModuleByDef; zel's classes are made
// with no module. A new reference, or null with the exception set.
inline PyTypeObject* new_heap_type(PyObject* module, PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

// tp_dealloc of the module's heap types: free the object, then drop the
// reference every instance of a heap type holds on its class.
inline void dealloc_heap_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace zel::py
