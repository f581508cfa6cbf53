#pragma once

#include <Python.h>

#include "base/event.hpp"

namespace zel::py {

// The Event class, from which the module body creates it once per process
// (kept in zel_state().event_type).
PyType_Spec& event_type_spec();

// A new list of new Event objects, built at its final length.
PyObject* events_to_list(PackedEvents events);

}  // namespace zel::py
