#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/byte_buffer.hpp"
#include "base/result.hpp"
#include "readers/file_formats.hpp"
#include "readers/posix_file.hpp"

namespace zel {

// Reads an event file front to back, decoding into packed 9-byte records
// (event.hpp) a bounded number of events at a time. Malformed data fails
// with InvalidData whose offset places the bad bytes (zel's messages name
// no offset; zelkit shows it); operating-system failures carry none. Memory is the caller's
// output plus a fixed read buffer; for CSV the buffer also grows to hold
// the longest line, as a line must be seen whole to be parsed.
class RecordStream {
public:
    // Hooks (which must outlive the stream) bracket every blocking open and
    // read; no_io_hooks() blocks in place.
    static Result<RecordStream> open_with(const std::string& path, RecordFormat format,
                                                IoHooks& hooks);
    // Reads `bytes` (which must outlive the stream) as if they were a file
    // delivering at most `max_read` bytes per read, as a pipe may: the same
    // events and errors as the file, with refills falling anywhere.
    static RecordStream from_bytes(std::span<const std::uint8_t> bytes, RecordFormat format,
                                   std::size_t max_read);

    // Appends up to `max_events` records to `out`, growing it as needed.
    // Returns how many were appended: fewer than asked only at the end of
    // the file, and 0 once it is exhausted. After an error the stream is
    // spent and every further call returns 0.
    Result<std::size_t> read(ByteBuffer& out, std::size_t max_events);

    // Records a regular file is expected to hold from here (0 if unknown);
    // a sizing hint only, never trusted for bounds.
    std::uint64_t remaining_events_hint() const;

private:
    RecordStream(ByteSource source, RecordFormat format);

    Result<std::size_t> read_compact(ByteBuffer& out, std::size_t max_events);
    Result<std::size_t> read_fixed(ByteBuffer& out, std::size_t max_events);
    Result<std::size_t> read_csv(ByteBuffer& out, std::size_t max_events);
    // Moves unread bytes to the front of the read buffer and reads more
    // (growing it when it is full); false once the file has ended.
    Result<bool> refill();
    bool skip_aedat2_header();
    Error fail(Error error, std::optional<std::uint64_t> offset);
    std::uint64_t offset_of(std::size_t buffer_pos) const { return buffer_base_ + buffer_pos; }

    ByteSource source_;
    RecordFormat format_;
    ByteBuffer buffer_;              // bytes read but not yet decoded: [pos_, buffer_.size())
    std::size_t pos_ = 0;
    std::uint64_t buffer_base_ = 0;  // file offset of buffer_.data()[0]
    std::size_t ascii_end_ = 0;      // [pos_, ascii_end_) is known to be ASCII
    bool at_eof_ = false;
    bool failed_ = false;
    // AEDAT2 header scan state, kept across refills.
    bool in_header_ = true;
    bool at_line_start_ = true;
    std::uint64_t header_bytes_ = 0;
};

}  // namespace zel
