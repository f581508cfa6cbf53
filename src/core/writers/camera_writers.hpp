#pragma once

// Writers of Prophesee DAT and EVT 2.0 RAW files, with the header lines
// Prophesee's own tools and the common readers look for.

#include <cstdint>
#include <optional>
#include <variant>
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
using EncodeStatus = Result<std::monostate, EncodeError>;

// Whole files: `date` is "YYYY-MM-DD HH:MM:SS"; `sensor` bounds x and y
// (each must be below its side) and goes into the header. DAT holds sides
// up to 16384, EVT 2.0 up to 2048; polarity must be 0 or 1. EVT 2.0 also
// needs time in file order never to go back, as the format only moves its
// clock forward.
EncodeResult encode_dat(PackedEvents events, Geometry sensor, std::string_view date);
EncodeResult encode_evt2(PackedEvents events, Geometry sensor, std::string_view date);

// The same files written piece by piece, for streams of any length: the
// header, then the records of each chunk in turn. A chunk's events carry
// record time `t`; the file holds the camera time `t_base + t`. Messages
// count indices from `first_index`. Every event is checked before any is
// written, so a refusal appends nothing.
EncodeStatus write_dat_header(Geometry sensor, std::string_view date, ByteBuffer& out);
EncodeStatus write_evt2_header(Geometry sensor, std::string_view date, ByteBuffer& out);
// DAT stores 32-bit times: t_base + t must stay below 2^32.
EncodeStatus write_dat_records(PackedEvents events, Geometry sensor, std::uint64_t t_base,
                               std::uint64_t first_index, ByteBuffer& out);

// What an EVT 2.0 file written so far says about time: the camera time of
// its last event, which the next chunk's events may not go back from.
struct Evt2Clock {
    std::optional<std::uint64_t> last_time;
};

// EVT 2.0 counts time from 0 in 34 bits and readers count the wraps of its
// time-high words: the first event's camera time must be below 2^34 us;
// after it time may run on without bound (a gap of 2^33 us or more gets
// time-high words in between, so every wrap is seen).
EncodeStatus write_evt2_records(PackedEvents events, Geometry sensor, std::uint64_t t_base,
                                std::uint64_t first_index, Evt2Clock& clock, ByteBuffer& out);

}  // namespace zel::camera
