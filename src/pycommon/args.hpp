#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "base/event.hpp"
#include "codec/grid_params.hpp"

namespace zel::py {

// A callable's parameter list as the binder sees it. Every parameter is
// required and may be given by position or by keyword.
struct Signature {
    const char* display_name;  // e.g. "compress()" or "Event.__new__()"
    std::initializer_list<const char*> params;
};

// Bind vectorcall-style arguments (keyword values follow the positional ones).
// Fills `bound` (borrowed references, one per parameter); false with a
// TypeError set on failure.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound);

// Same rules for tp_new-style arguments (a tuple and an optional dict).
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound);

// Conversions; each returns false with the exception set, after applying the
// argument prefix rule for `name`.
bool convert_u8(PyObject* obj, const char* name, std::uint8_t& out);
bool convert_u16(PyObject* obj, const char* name, std::uint16_t& out);
bool convert_u32(PyObject* obj, const char* name, std::uint32_t& out);
bool convert_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool convert_text(PyObject* obj, const char* name, std::string& out);
// Each item must be an instance of `event_type` (zel's Event class).
bool convert_events(PyObject* obj, const char* name, PyTypeObject* event_type, EventList& out);
// width, height, time_bins and max_depth from args[0..3], in that order.
bool convert_grid_params(PyObject* const* args, GridParams& out);

// Raises TypeError "'<type qualname>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target);

}  // namespace zel::py
