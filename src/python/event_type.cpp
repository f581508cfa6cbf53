#include "event_type.hpp"

#include <cstdint>

#include "args.hpp"
#include "py_ref.hpp"

namespace zel::py {
namespace {

struct EventObject {
    PyObject_HEAD
    Event record;
};

PyTypeObject* g_event_type = nullptr;

EventObject* as_event(PyObject* self) { return reinterpret_cast<EventObject*>(self); }

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
    as_event(self)->record = record;
    return self;
}

void event_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their class
}

PyObject* event_repr(PyObject* self) {
    const Event& e = as_event(self)->record;
    return PyUnicode_FromFormat("Event(x=%u, y=%u, t=%lu, p=%u)", static_cast<unsigned>(e.x),
                                static_cast<unsigned>(e.y), static_cast<unsigned long>(e.t),
                                static_cast<unsigned>(e.p));
}

bool refuse_delete(PyObject* value) {
    if (value != nullptr) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

// Getter/setter pairs per field; a failed conversion leaves the record as it was.
PyObject* get_x(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_event(self)->record.x); }
PyObject* get_y(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_event(self)->record.y); }
PyObject* get_t(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_event(self)->record.t); }
PyObject* get_p(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_event(self)->record.p); }

int set_x(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::uint16_t converted = 0;
    if (!convert_u16(value, "x", converted)) return -1;
    as_event(self)->record.x = converted;
    return 0;
}
int set_y(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::uint16_t converted = 0;
    if (!convert_u16(value, "y", converted)) return -1;
    as_event(self)->record.y = converted;
    return 0;
}
int set_t(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::uint32_t converted = 0;
    if (!convert_u32(value, "t", converted)) return -1;
    as_event(self)->record.t = converted;
    return 0;
}
int set_p(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::uint8_t converted = 0;
    if (!convert_u8(value, "p", converted)) return -1;
    as_event(self)->record.p = converted;
    return 0;
}

PyGetSetDef kFields[] = {
    {"x", get_x, set_x, "", nullptr},
    {"y", get_y, set_y, "", nullptr},
    {"t", get_t, set_t, "", nullptr},
    {"p", get_p, set_p, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_dealloc)},
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

const Event& event_record(PyObject* obj) { return as_event(obj)->record; }

PyObject* new_event_object(const Event& record) {
    PyObject* self = g_event_type->tp_alloc(g_event_type, 0);
    if (self == nullptr) return nullptr;
    as_event(self)->record = record;
    return self;
}

PyObject* events_to_list(const EventList& events) {
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
