#include "event_type.hpp"

#include <cstdint>

#include "conversions.hpp"
#include "module_state.hpp"
#include "pycommon/args.hpp"
#include "pycommon/event_object.hpp"
#include "pycommon/py_ref.hpp"

namespace zel::py {
namespace {

constexpr auto kConstructor = signature<Event>(
    {.name = "__new__", .owner = "Event", .wording = Wording::Zel},
    param<&Event::x, convert_u16>("x"), param<&Event::y, convert_u16>("y"),
    param<&Event::t, convert_u32>("t"), param<&Event::p, convert_u8>("p"));

PyObject* new_event(PyTypeObject* type, const Event& record) {
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

template <class T, T Event::*Field, bool (*Convert)(PyObject*, const ArgRef&, T&)>
int set_field(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    T converted{};
    if (!Convert(value, ArgRef{nullptr, static_cast<const char*>(closure)}, converted)) return -1;
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
    {Py_tp_new, constructor_slot<kConstructor, new_event>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_heap_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_getset, kFields},
    {Py_tp_doc, type_doc<kConstructor>()},
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

PyType_Spec& event_type_spec() { return kSpec; }

PyObject* events_to_list(PackedEvents events) {
    PyTypeObject* type = zel_state().event_type;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < events.size(); ++i) {
        PyObject* item = new_event(type, events[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace zel::py
