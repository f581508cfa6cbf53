#pragma once

// Writers of Prophesee DAT and EVT 2.0 RAW files, with the header lines
// Prophesee's own tools and the common readers look for, written piece by
// piece so streams of any length fit in bounded memory.

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "readers/camera_decoding.hpp"

namespace zel::camera {

enum class CameraWriteFormat : std::uint8_t { Dat, Evt2 };

// Camera times a file can hold. DAT stores 32-bit times. EVT 2.0 counts
// time from 0 in 34 bits and readers count the wraps of its time-high
// words, so the first event must be below 2^34 us; after it time may run on
// without bound (a gap of 2^33 us or more gets time-high words in between,
// so every wrap is seen) but never go back.
inline constexpr std::uint64_t kDatTimeLimit = std::uint64_t{1} << 32;
inline constexpr std::uint64_t kEvt2FirstTimeLimit = std::uint64_t{1} << 34;

// One DAT or EVT 2.0 file, written as its header and then the records of
// each chunk of events in turn. Event indices in messages count over the
// whole file, and EVT 2.0's clock carries across chunks.
//
// Refusals are InvalidInput naming the field, the event's index, its value
// and the limit it breaks ("x at index 1 is 9, not below the sensor width
// 9"); every event of a chunk is checked before any is written, so a
// refused chunk appends nothing and the writer stays as it was.
class CameraFileWriter {
public:
    // A writer for a sensor of `sensor` (sides from 1 to 16384 for DAT, to
    // 2048 for EVT 2.0; x and y must be below them).
    static Result<CameraFileWriter> open(CameraWriteFormat format, Geometry sensor);

    // The file's header; `date` is "YYYY-MM-DD HH:MM:SS".
    void write_header(std::string_view date, ByteBuffer& out) const;

    // The records of `events`, whose record time `t` is written as the
    // camera time `t_base + t`; polarity must be 0 or 1.
    Status write(PackedEvents events, std::uint64_t t_base, ByteBuffer& out);

    std::uint64_t events_written() const { return events_written_; }

private:
    CameraFileWriter(CameraWriteFormat format, Geometry sensor) : format_(format), sensor_(sensor) {}

    Status write_dat(PackedEvents events, std::uint64_t t_base, ByteBuffer& out) const;
    Status write_evt2(PackedEvents events, std::uint64_t t_base, ByteBuffer& out);

    CameraWriteFormat format_;
    Geometry sensor_;
    std::uint64_t events_written_ = 0;
    // EVT 2.0: the camera time of the last event written.
    std::optional<std::uint64_t> last_time_;
};

}  // namespace zel::camera
