#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/byte_buffer.hpp"
#include "readers/camera_decoding.hpp"

namespace zel::camera {

// Decodes the polarity-event packets ("EVTS") of an AEDAT 4 file, already
// decompressed, into packed records: a size-prefixed FlatBuffer whose root
// table holds a vector of 16-byte events (int64 t, int16 x, int16 y, bool on).
class Aedat4EventDecoder {
public:
    explicit Aedat4EventDecoder(const DecodeOptions& options) : options_(options), time_(options.time) {}

    // Appends the packet's events to `out`, from event `first` and at most
    // `max_events` of them. `packet_offset` is the file offset of the
    // packet header, which errors name. A packet whose structure is broken
    // is one bad word; so is each event with a negative or out-of-sensor
    // coordinate, a negative time or a polarity above 1. Afterwards
    // resume_event() is the packet's next event to decode (packet_events()
    // once it is done). In TimeBase::Mode::EachBatch an event whose time
    // does not fit the batch's origin ends the batch: batch_full() is set
    // and that event starts the next batch.
    Result<std::size_t> decode_packet(std::span<const std::uint8_t> payload,
                                            std::uint64_t packet_offset, ByteBuffer& out,
                                            std::size_t first = 0,
                                            std::size_t max_events = static_cast<std::size_t>(-1));

    void start_batch() {
        time_.start_batch();
        batch_full_ = false;
    }
    bool batch_full() const { return batch_full_; }
    std::size_t resume_event() const { return resume_event_; }
    std::size_t packet_events() const { return packet_events_; }
    std::optional<std::uint64_t> batch_origin() const { return time_.origin(); }
    std::uint64_t bad_words() const { return bad_words_; }
    std::uint64_t events() const { return events_; }

    // Counts (skip mode) or reports (strict) a fault found outside a packet's
    // contents, e.g. a truncated packet at the end of the file.
    std::optional<Error> reject(Error error);

private:
    const DecodeOptions options_;
    TimeMapper time_;
    std::uint64_t bad_words_ = 0;
    std::uint64_t events_ = 0;
    bool batch_full_ = false;
    std::size_t resume_event_ = 0;
    std::size_t packet_events_ = 0;
};

}  // namespace zel::camera
