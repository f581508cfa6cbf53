#include "owned_buffer.hpp"

#include <new>

#include "py_ref.hpp"

namespace zelkit::native {
namespace {

struct OwnedBufferObject {
    PyObject_HEAD
    std::shared_ptr<void> owner;
    std::uint8_t* data;
    Py_ssize_t size;
};

PyTypeObject* g_type = nullptr;

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    auto* obj = reinterpret_cast<OwnedBufferObject*>(self);
    return PyBuffer_FillInfo(view, self, obj->data, obj->size, 0, flags);
}

void dealloc(PyObject* self) {
    reinterpret_cast<OwnedBufferObject*>(self)->owner.~shared_ptr();
    zel::py::dealloc_heap_instance(self);
}

Py_ssize_t length(PyObject* self) { return reinterpret_cast<OwnedBufferObject*>(self)->size; }

PyType_Slot g_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_doc, const_cast<char*>("Bytes decoded by zelkit's native layer (buffer protocol).")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "zelkit._native.OwnedBuffer",
    sizeof(OwnedBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

}  // namespace

bool add_owned_buffer_type(PyObject* module) {
    zel::py::PyRef type(PyType_FromModuleAndSpec(module, &g_spec, nullptr));
    if (!type) return false;
    if (PyModule_AddObjectRef(module, "OwnedBuffer", type.get()) < 0) return false;
    g_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process lifetime
    return true;
}

PyObject* owned_buffer(std::shared_ptr<void> owner, std::uint8_t* data, std::size_t size) {
    PyObject* self = g_type->tp_alloc(g_type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<OwnedBufferObject*>(self);
    new (&obj->owner) std::shared_ptr<void>(std::move(owner));
    obj->data = data;
    obj->size = static_cast<Py_ssize_t>(size);
    return self;
}

}  // namespace zelkit::native
