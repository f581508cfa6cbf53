#include "buffer_type.hpp"

#include <new>
#include <utility>

#include "native_state.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {
namespace {

// Owns the block it shows, however that block was allocated.
struct BufferObject {
    PyObject_HEAD
    zel::ByteBuffer bytes;  // constructed in new_buffer, destroyed in buffer_dealloc
};

BufferObject* as_buffer(PyObject* self) { return reinterpret_cast<BufferObject*>(self); }

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    zel::ByteBuffer& bytes = as_buffer(self)->bytes;
    // An empty buffer still has an address: its own object's.
    void* data = bytes.size() > 0 ? static_cast<void*>(bytes.data()) : static_cast<void*>(self);
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(bytes.size()), 0, flags);
}

void buffer_dealloc(PyObject* self) {
    as_buffer(self)->bytes.~ByteBuffer();
    zel::py::dealloc_heap_instance(self);
}

Py_ssize_t buffer_length(PyObject* self) { return static_cast<Py_ssize_t>(as_buffer(self)->bytes.size()); }

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
    PyTypeObject* type = state.buffer_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_buffer(self)->bytes) zel::ByteBuffer(std::move(bytes));
    return self;
}

}  // namespace zelkit::native
