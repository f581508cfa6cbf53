#pragma once

// Reading an AEDAT 4.0 file front to back: the header, then the packets of
// its polarity-event streams, decompressed (LZ4 or Zstandard frames) and
// decoded into packed records, a bounded number at a time. Packets of other
// streams (IMU, triggers, frames) are passed over unread beyond their
// headers' sizes.
//
// In skip mode every fault the walk meets counts as one bad word and the
// walk goes on where it can: a packet that does not decompress or whose
// FlatBuffer is broken is passed over; a packet header that makes no sense
// (or runs past the data table) ends the walk, since nothing after it can
// be found again; a file cut short by a crash keeps every packet that is
// whole. Strict mode reports the first fault.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/byte_buffer.hpp"
#include "base/result.hpp"
#include "readers/aedat4_container.hpp"
#include "readers/aedat4_events.hpp"
#include "readers/camera_decoding.hpp"
#include "readers/io_hooks.hpp"
#include "readers/posix_file.hpp"

namespace zel::camera {

// Decompresses packet payloads, each a single LZ4 or Zstandard frame; the
// libraries' contexts are made once and reused.
class Aedat4Decompressor {
public:
    Aedat4Decompressor();
    Aedat4Decompressor(Aedat4Decompressor&&) noexcept;
    Aedat4Decompressor& operator=(Aedat4Decompressor&&) noexcept;
    ~Aedat4Decompressor();

    // The frame in `payload` into `out` (replacing what it held). More than
    // kMaxAedat4PacketBytes of output is refused, so a frame's claims never
    // size an allocation; a frame cut short is refused too. Errors name
    // `offset`, the packet header's position in the file.
    Status decompress(Aedat4Compression compression, std::span<const std::uint8_t> payload,
                      std::uint64_t offset, ByteBuffer& out);

private:
    struct Contexts;
    std::unique_ptr<Contexts> contexts_;
};

// Without a stated sensor size, AEDAT 4 coordinates are bounded only by
// their int16 fields.
inline constexpr std::uint32_t kAedat4SideLimit = 32768;

class Aedat4Reader {
public:
    // Opens the file and reads its header; a file that is not AEDAT 4 or
    // whose header is broken fails here. Coordinates are bounded by the
    // first event stream's stated size, or by the format's int16 fields
    // when none is stated. The hooks (which must outlive the reader)
    // bracket every blocking open and read.
    static Result<Aedat4Reader> open(const std::string& path, BadWords bad_words, TimeBase time,
                                           IoHooks& hooks);
    // The same over bytes in memory handed out at most `max_read` at a time.
    static Result<Aedat4Reader> from_bytes(std::span<const std::uint8_t> bytes, BadWords bad_words,
                                                 TimeBase time, std::size_t max_read);
    static Result<Aedat4Reader> from_source(ByteSource source, BadWords bad_words, TimeBase time);

    const Aedat4Header& header() const { return header_; }
    // The first event stream's stated sensor size, {0, 0} when none.
    Geometry sensor() const;

    // Appends up to `max_events` records to `out`; returns how many. Fewer
    // than asked only at the end of the file or, in TimeBase::EachBatch,
    // where the batch is full (batch_full()); 0 once the file is done.
    // After an error the reader is spent and every further call returns 0.
    Result<std::size_t> read(ByteBuffer& out, std::size_t max_events);

    // Starts a new batch for TimeBase::Mode::EachBatch.
    void start_batch() { decoder_.start_batch(); }
    bool batch_full() const { return decoder_.batch_full(); }
    std::optional<std::uint64_t> batch_origin() const { return decoder_.batch_origin(); }
    std::uint64_t bad_words() const { return decoder_.bad_words(); }
    std::uint64_t events() const { return decoder_.events(); }

private:
    Aedat4Reader(ByteSource source, Aedat4Header header, std::uint64_t position, const DecodeOptions& options);

    // Loads the next event packet into packet_; false at the end.
    Result<bool> next_packet();
    // A fault of the walk: the error in strict mode, else counted.
    Status fault(Error error);
    Result<std::size_t> read_events(ByteBuffer& out, std::size_t max_events);

    ByteSource source_;
    Aedat4Header header_;
    std::vector<std::int32_t> event_streams_;
    Aedat4EventDecoder decoder_;
    Aedat4Decompressor decompressor_;
    std::uint64_t position_;  // file offset of the next packet header
    bool done_ = false;
    ByteBuffer raw_;     // the current packet's payload as stored
    ByteBuffer packet_;  // and decompressed
    bool compressed_ = false;
    bool in_packet_ = false;
    std::uint64_t packet_offset_ = 0;
    std::size_t next_event_ = 0;
};

}  // namespace zel::camera
