#pragma once

#include <Python.h>

#include "base/event.hpp"

namespace zel::py {

// Creates the Event class once per process; new reference, or NULL on error.
PyObject* create_event_type();
// The class, once created (borrowed).
PyTypeObject* event_type_object();

// A new list of new Event objects, built at its final length.
PyObject* events_to_list(PackedEvents events);

}  // namespace zel::py
