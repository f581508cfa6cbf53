#include "event_type.hpp"

#include <cstdint>

#include "pycommon/args.hpp"
#include "pycommon/event_object.hpp"
#include "pycommon/py_ref.hpp"

namespace zel::py {
namespace {

PyTypeObject* g_event_type = nullptr;

const Signature kConstructor{"Event.__new__()", {"x", "y", "t", "p"}};

PyObject* event_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[4];
    if (!bind_tuple_dict(kConstructor, args, kwargs, bound)) return nullptr;
    Event record;
    if (!convert_u16(bound[0], "x", record.x) || !convert_u16(bound[1], "y", record.y) ||
        !convert_u32(bound[2], "t", record.t) || !convert_u8(bound[3], "p", record.p)) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_event_object(self)->record = record;
    return self;
}

PyObject* event_repr(PyObject* self) {
    const Event& e = as_event_object(self)->record;
    return PyUnicode_FromFormat("Event(x=%u, y=%u, t=%lu, p=%u)", static_cast<unsigned>(e.x),
                                static_cast<unsigned>(e.y), static_cast<unsigned long>(e.t),
                                static_cast<unsigned>(e.p));
}

// One getter/setter pair per field; the closure carries the field's name so
// conversion errors can name it. A failed conversion leaves the record as it was.
template <class T, T Event::*Field>
PyObject* get_field(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_event_object(self)->record.*Field);
}

template <class T, T Event::*Field, bool (*Convert)(PyObject*, const char*, T&)>
int set_field(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    T converted{};
    if (!Convert(value, static_cast<const char*>(closure), converted)) return -1;
    as_event_object(self)->record.*Field = converted;
    return 0;
}

#define ZEL_EVENT_FIELD(name, type, convert)                                              \
    {#name, get_field<type, &Event::name>, set_field<type, &Event::name, convert>, "", \
     const_cast<char*>(#name)}

PyGetSetDef kFields[] = {
    ZEL_EVENT_FIELD(x, std::uint16_t, convert_u16),
    ZEL_EVENT_FIELD(y, std::uint16_t, convert_u16),
    ZEL_EVENT_FIELD(t, std::uint32_t, convert_u32),
    ZEL_EVENT_FIELD(p, std::uint8_t, convert_u8),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef ZEL_EVENT_FIELD

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_heap_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_getset, kFields},
    {Py_tp_doc, const_cast<char*>("Event(x, y, t, p)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Event",
    sizeof(EventObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

PyObject* new_event_object(const Event& record) {
    PyObject* self = g_event_type->tp_alloc(g_event_type, 0);
    if (self == nullptr) return nullptr;
    as_event_object(self)->record = record;
    return self;
}

}  // namespace

PyObject* create_event_type() {
    if (g_event_type == nullptr) {
        PyObject* type = PyType_FromSpec(&kSpec);
        if (type == nullptr) return nullptr;
        g_event_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the process's life
    }
    Py_INCREF(g_event_type);
    return reinterpret_cast<PyObject*>(g_event_type);
}

PyTypeObject* event_type_object() { return g_event_type; }

PyObject* events_to_list(PackedEvents events) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < events.size(); ++i) {
        PyObject* item = new_event_object(events[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace zel::py
