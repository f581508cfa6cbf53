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

// The first event a format cannot hold, and why.
struct UnrepresentableValue {
    const char* field = "";    // "x", "y", "t" or "p"
    std::uint64_t index = 0;   // counted from the caller's first_index
    std::uint64_t value = 0;
    std::uint64_t limit = 0;   // largest value the format holds for `field`
};

// Text every file of the format starts with (may be empty).
std::string_view file_header(WriteFormat format);

// Appends the encoding of `events` to `out`. Every event is checked before
// any is encoded, so a refusal appends nothing.
Result<std::size_t, UnrepresentableValue> encode_events(WriteFormat format, PackedEvents events,
                                                        std::uint64_t first_index,
                                                        ByteBuffer& out);

}  // namespace zel
