#pragma once

// Shared pieces of the camera-format decoders: the policies a caller
// chooses and the mapping of the cameras' 64-bit microsecond clocks onto the
// 32-bit timestamps of packed event records. Errors are the core's one
// value (base/error.hpp): a format fault is InvalidData at the byte offset
// where the offending word, record or structure starts; a time that does
// not fit is Timestamp, naming the event (counted over the whole stream)
// and its full 64-bit value.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/byte_order.hpp"
#include "base/event.hpp"
#include "base/result.hpp"

namespace zel::camera {

// Strict stops at the first bad word; Skip drops it and counts it.
enum class BadWords { Strict, Skip };

// How 64-bit camera time becomes 32-bit record time. Absolute keeps the
// camera value (and refuses anything from 2^32 us on); Offset subtracts a
// fixed value; FirstEvent subtracts the first event's time; EachBatch
// subtracts the first time of every batch (see StreamDecoder::start_batch),
// so a long recording can be read window by window.
struct TimeBase {
    enum class Mode { Absolute, Offset, FirstEvent, EachBatch };
    Mode mode = Mode::Absolute;
    std::uint64_t offset = 0;
};

// Largest sensors the Prophesee formats can address (EVT 2.0 and EVT 3.0:
// 11-bit coordinates; DAT: 14-bit), the bounds when a header states no
// geometry, and what the writers accept.
inline constexpr std::uint32_t kMaxPropheseeSide = 2048;
inline constexpr std::uint32_t kMaxDatSide = 16384;

struct Geometry {
    std::uint32_t width = 0;   // 0 when unknown
    std::uint32_t height = 0;
};

struct DecodeOptions {
    BadWords bad_words = BadWords::Strict;
    TimeBase time;
    // Coordinates at or beyond these bounds are bad words.
    std::uint32_t x_limit = kMaxPropheseeSide;
    std::uint32_t y_limit = kMaxPropheseeSide;
};

// What one decode call did: input bytes taken (including bytes of a partial
// trailing word the decoder now holds) and records written.
struct DecodeProgress {
    std::size_t consumed = 0;
    std::size_t written = 0;
};

// Maps 64-bit microseconds onto 32-bit record time under a TimeBase and
// reports the first event that cannot be represented.
class TimeMapper {
public:
    explicit TimeMapper(TimeBase base) : base_(base) {
        if (base.mode == TimeBase::Mode::Absolute) origin_ = 0;
        if (base.mode == TimeBase::Mode::Offset) origin_ = base.offset;
    }

    void start_batch() {
        if (base_.mode == TimeBase::Mode::EachBatch) origin_.reset();
    }

    // The value subtracted from the current batch, once an event set it.
    std::optional<std::uint64_t> origin() const { return origin_; }

    // Record time of an event at `t`, or nullopt when it does not fit.
    std::optional<std::uint32_t> map(std::uint64_t t) {
        if (!origin_) origin_ = t;
        if (t < *origin_) return std::nullopt;
        const std::uint64_t rel = t - *origin_;
        if (rel > 0xFFFFFFFFull) return std::nullopt;
        return static_cast<std::uint32_t>(rel);
    }

    static Error overflow(std::uint64_t event_index, std::uint64_t t, std::optional<std::uint64_t> origin) {
        std::string message = "event " + std::to_string(event_index) + " has timestamp " + std::to_string(t) + " us";
        if (origin && *origin != 0) {
            message += " (" + std::to_string(*origin) + " us subtracted)";
        }
        message += ", which does not fit the 32-bit microsecond field";
        return Error::timestamp(std::move(message));
    }

private:
    TimeBase base_;
    std::optional<std::uint64_t> origin_;
};

std::string hex_word(std::uint32_t word, int digits);

}  // namespace zel::camera
