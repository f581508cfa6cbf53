#pragma once

#include <Python.h>

#include "base/event.hpp"

namespace zel::py {

// Instance layout of zel's Event class. Both extension modules are built from
// this one definition, so zelkit can read and fill zel's own Event objects
// without a second class of the same name.
struct EventObject {
    PyObject_HEAD
    Event record;
};

inline EventObject* as_event_object(PyObject* obj) { return reinterpret_cast<EventObject*>(obj); }

// Caller guarantees `obj` is an instance of the Event class (or a subclass).
inline const Event& event_record(PyObject* obj) { return as_event_object(obj)->record; }

}  // namespace zel::py
