#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "base/event.hpp"
#include "codec/grid_params.hpp"
#include "pycommon/args.hpp"

// zel's argument conversions. Their messages and exception types are part of
// what zel promises ("argument 'width': ...", "out of range integral type
// conversion attempted", "Can't extract `str` to `Vec`"); zelkit has its own
// converters with the interpreter's wording and must not use these.
namespace zel::py {

// Each returns false with the exception set, after applying the argument
// prefix rule for `arg.name`: an exact TypeError becomes
// TypeError("argument '<name>': <message>"), keeping its __cause__.
bool convert_u8(PyObject* obj, const ArgRef& arg, std::uint8_t& out);
bool convert_u16(PyObject* obj, const ArgRef& arg, std::uint16_t& out);
bool convert_u32(PyObject* obj, const ArgRef& arg, std::uint32_t& out);
bool convert_u64(PyObject* obj, const ArgRef& arg, std::uint64_t& out);
// A str (or subclass), as UTF-8.
bool convert_text(PyObject* obj, const ArgRef& arg, std::string& out);
// A sequence of zel.Event objects, each record copied.
bool convert_events(PyObject* obj, const ArgRef& arg, EventList& out);

// width, height, time_bins and max_depth, in that order, into the fields of
// zel::GridParams (a base of the arguments struct).
inline constexpr auto kGridParams =
    params(param<&GridParams::width, convert_u16>("width"),
           param<&GridParams::height, convert_u16>("height"),
           param<&GridParams::time_bins, convert_u16>("time_bins"),
           param<&GridParams::max_depth, convert_u8>("max_depth"));

// Raises TypeError "'<type qualname>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target);

}  // namespace zel::py
