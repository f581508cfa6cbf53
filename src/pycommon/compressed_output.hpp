#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/pipeline.hpp"
#include "pycommon/py_ref.hpp"

namespace zel::py {

// New bytes object holding a copy of `size` bytes at `data`.
PyObject* bytes_from(const std::uint8_t* data, std::size_t size);
inline PyObject* bytes_from(std::span<const std::uint8_t> data) {
    return bytes_from(data.data(), data.size());
}

// A new 2-tuple of the two objects, or NULL when either is missing (its
// exception is then already set).
PyObject* pair(PyRef first, PyRef second);

// The sequence driver's payloads as a new list holding one new bytes object
// per frame, in frame order.
PyObject* payload_list(const SequenceOutput& out);

}  // namespace zel::py
