#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/result.hpp"

// Byte layout of the .zel container; docs/format.md describes it for readers
// in other languages. Every multi-byte field is little-endian.
//
//   file header | frame record 0 | ... | frame record n-1 | index | trailer
//
// Records are written in frame order, so a reader that lost the index (an
// interrupted writer) can still walk the frames from the header onwards.

namespace zel::container {

inline constexpr std::uint8_t kMagic[8] = {0x89, 'Z', 'E', 'L', '\r', '\n', 0x1A, '\n'};
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderBytes = 36;
inline constexpr std::size_t kFrameHeaderBytes = 48;
inline constexpr std::size_t kFrameCrcBytes = 4;
inline constexpr std::size_t kIndexHeadBytes = 16;
inline constexpr std::size_t kIndexEntryBytes = 24;
inline constexpr std::size_t kTrailerBytes = 16;
// A writer that streams frames does not know their count until it finishes.
inline constexpr std::uint64_t kUnknownFrameCount = ~std::uint64_t{0};

enum class FrameKind : std::uint8_t { Key = 0, Delta = 1 };

// Where a container is malformed and how; offsets are absolute in the file.
struct FormatFault {
    std::uint64_t offset;
    std::string message;
};

template <class T>
using Parsed = Result<T, FormatFault>;

struct FileHeader {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t time_bins = 0;
    std::uint8_t max_depth = 0;
    // Frame k is coded on its own when k % keyframe_interval == 0; 0 means
    // only frame 0, which is what compress_sequence does.
    std::uint32_t keyframe_interval = 0;
    std::uint64_t n_frames = kUnknownFrameCount;

    bool is_keyframe(std::uint64_t k) const {
        return k == 0 || (keyframe_interval != 0 && k % keyframe_interval == 0);
    }
};

// What the index knows of a frame without reading it. t_first and t_last are
// the smallest and largest timestamps of the frame's events, the range its
// time bins were cut from; both are 0 for a frame without events.
struct FrameSummary {
    std::uint64_t offset = 0;
    std::uint32_t t_first = 0;
    std::uint32_t t_last = 0;
    std::uint64_t n_events = 0;
};

struct FrameHeader {
    FrameKind kind = FrameKind::Key;
    std::uint64_t index = 0;
    std::uint32_t t_first = 0;
    std::uint32_t t_last = 0;
    std::uint64_t n_events = 0;
    std::uint64_t n_bits = 0;
    std::uint64_t payload_bytes = 0;

    std::uint64_t record_bytes() const {
        return kFrameHeaderBytes + payload_bytes + kFrameCrcBytes;
    }
};

void append_header(const FileHeader& header, std::vector<std::uint8_t>& out);
// Appends header, payload and checksum.
void append_frame(const FrameHeader& frame, std::span<const std::uint8_t> payload,
                  std::vector<std::uint8_t>& out);
void append_index_entry(const FrameSummary& entry, std::vector<std::uint8_t>& out);
// Appends the index block over entries already serialised by
// append_index_entry, then the trailer pointing at index_offset.
void append_index(std::span<const std::uint8_t> entries, std::uint64_t index_offset,
                  std::vector<std::uint8_t>& out);

// `bytes` must start at file offset 0 and hold at least kHeaderBytes.
Parsed<FileHeader> parse_header(std::span<const std::uint8_t> bytes);

// The index offset the trailer names, or nothing (false) when the file does
// not end in a trailer. Checks that the index fits between the frames and
// the trailer; `file_bytes` is the container's total size.
struct TrailerInfo {
    bool present = false;
    std::uint64_t index_offset = 0;
};
Parsed<TrailerInfo> parse_trailer(std::span<const std::uint8_t> trailer, std::uint64_t file_bytes);

// `block` is everything from index_offset up to the trailer. Validates the
// tag, count, checksum and that the frame records it points at tile the
// space between the file header and the index.
Parsed<std::vector<FrameSummary>> parse_index(std::span<const std::uint8_t> block,
                                              std::uint64_t index_offset,
                                              const FileHeader& header);

// Reads the fixed part of a frame record found at `offset`; checks the tag,
// reserved bytes and that the frame is the one expected at that position.
Parsed<FrameHeader> parse_frame_header(std::span<const std::uint8_t> bytes, std::uint64_t offset,
                                       std::uint64_t expected_index);

// Checks a whole frame record (as read from `offset`): its header, its length
// against the record and its checksum. Returns the header; the payload is
// record[kFrameHeaderBytes, kFrameHeaderBytes + payload_bytes).
Parsed<FrameHeader> check_frame_record(std::span<const std::uint8_t> record,
                                       std::uint64_t offset, std::uint64_t expected_index);

}  // namespace zel::container
