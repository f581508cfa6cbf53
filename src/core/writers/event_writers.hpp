#pragma once

#include <cstdint>
#include <string_view>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"

namespace zel {

// Formats written by encoding; compact files are the packed records as they
// stand and need no encoder.
enum class WriteFormat { Nmnist, Aedat2, Csv };

// Text every file of the format starts with (may be empty).
std::string_view file_header(WriteFormat format);

// Appends the encoding of `events` to `out`; returns the bytes appended.
// Every event is checked before any is encoded, so a refusal appends
// nothing: the first event the format cannot hold is InvalidInput naming
// the format, the field, the event's index (counted from `first_index`),
// its value and the format's limit.
Result<std::size_t> encode_events(WriteFormat format, PackedEvents events, std::uint64_t first_index,
                                  ByteBuffer& out);

}  // namespace zel
