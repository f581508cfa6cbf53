#include "buffer_type.hpp"

#include <cstdlib>

#include "native_state.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {
namespace {

struct BufferObject {
    PyObject_HEAD
    std::uint8_t* data;  // freed with std::free; never null
    Py_ssize_t size;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<BufferObject*>(self);
    return PyBuffer_FillInfo(view, self, b->data, b->size, 0, flags);
}

void buffer_dealloc(PyObject* self) {
    std::free(reinterpret_cast<BufferObject*>(self)->data);
    zel::py::dealloc_heap_instance(self);
}

Py_ssize_t buffer_length(PyObject* self) { return reinterpret_cast<BufferObject*>(self)->size; }

PyType_Slot kSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(buffer_length)},
    {Py_tp_doc, const_cast<char*>("Bytes the native layer produced; view them with numpy.frombuffer.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zelkit._native.Buffer",
    sizeof(BufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

bool add_buffer_type(PyObject* module, NativeState& state) {
    return add_type(module, kSpec, state.buffer_type);
}

PyObject* new_buffer(const NativeState& state, zel::ByteBuffer bytes) {
    bytes.shrink_to_fit();
    const Py_ssize_t size = static_cast<Py_ssize_t>(bytes.size());
    std::uint8_t* data = bytes.release();
    if (data == nullptr) {
        data = static_cast<std::uint8_t*>(std::malloc(1));  // an empty buffer still has an address
        if (data == nullptr) return PyErr_NoMemory();
    }
    PyTypeObject* type = state.buffer_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        std::free(data);
        return nullptr;
    }
    auto* b = reinterpret_cast<BufferObject*>(self);
    b->data = data;
    b->size = size;
    return self;
}

}  // namespace zelkit::native
