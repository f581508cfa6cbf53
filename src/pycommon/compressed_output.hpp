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

// The least one frame of a sequence costs once its payload is in that list:
// what the driver keeps per frame, a bytes object of the smallest payload
// and its list slot (68 bytes on 64-bit CPython 3.11; with the allocator's
// rounding of the bytes object a frame really costs some 75).
inline constexpr std::uint64_t kMinBytesPerPayloadFrame =
    kMinBytesPerFrame + sizeof(PyBytesObject) + kMinDeltaPayloadBytes + sizeof(PyObject*);

// Refuses, before any work, a sequence whose frames could not all fit in
// this machine's memory (check_frames_fit_in_memory at
// kMinBytesPerPayloadFrame): false with MemoryError set, rather than
// returning after a long climb into swap. A run that codes no frame (no
// frames asked for, or no events) always passes.
bool sequence_fits_in_memory(std::uint64_t n_frames, std::uint64_t n_events);

}  // namespace zel::py
