#pragma once

// Writers of Prophesee DAT and EVT 2.0 RAW files, with the header lines
// Prophesee's own tools and the common readers look for.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "readers/camera_decoding.hpp"

namespace zel::camera {

// An event the format cannot hold: the field, the first bad index, its
// value and the limit it breaks.
struct EncodeError {
    std::string field;
    std::uint64_t index = 0;
    std::uint64_t value = 0;
    std::uint64_t limit = 0;
    std::string message;
};

using EncodeResult = Result<ByteBuffer, EncodeError>;

// `date` is "YYYY-MM-DD HH:MM:SS"; `sensor` bounds x and y (each must be
// below its side) and goes into the header. DAT holds sides up to 16384,
// EVT 2.0 up to 2048; polarity must be 0 or 1. EVT 2.0 also needs time in
// file order never to go back, as the format only moves its clock forward.
EncodeResult encode_dat(PackedEvents events, Geometry sensor, std::string_view date);
EncodeResult encode_evt2(PackedEvents events, Geometry sensor, std::string_view date);

}  // namespace zel::camera
