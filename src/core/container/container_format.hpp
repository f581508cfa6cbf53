#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/result.hpp"
#include "codec/grid_params.hpp"
#include "container/field_io.hpp"

// Byte layout of the .zel container; docs/format.md describes it for readers
// in other languages. Every multi-byte field is little-endian.
//
//   file header | frame record 0 | ... | frame record n-1 | index | trailer
//
// Records are written in frame order, so a reader that lost the index (an
// interrupted writer) can still walk the frames from the header onwards.
// Each field's place is written down once, below; the writers and the parsers
// both go through it, and a fault is reported at the offset of its field.

namespace zel::container {

namespace header_field {
inline constexpr ByteField magic{0, 8};
inline constexpr Field<std::uint16_t> version{8};
inline constexpr Field<std::uint16_t> flags{10};
inline constexpr Field<std::uint16_t> width{12};
inline constexpr Field<std::uint16_t> height{14};
inline constexpr Field<std::uint16_t> time_bins{16};
inline constexpr Field<std::uint8_t> max_depth{18};
inline constexpr Field<std::uint8_t> reserved{19};
inline constexpr Field<std::uint32_t> keyframe_interval{20};
inline constexpr Field<std::uint64_t> n_frames{24};
inline constexpr Field<std::uint32_t> crc{32};
}  // namespace header_field

namespace frame_field {
inline constexpr ByteField tag{0, 4};
inline constexpr Field<std::uint8_t> kind{4};
inline constexpr ByteField reserved{5, 3};
inline constexpr Field<std::uint64_t> index{8};
inline constexpr Field<std::uint32_t> t_first{16};
inline constexpr Field<std::uint32_t> t_last{20};
inline constexpr Field<std::uint64_t> n_events{24};
inline constexpr Field<std::uint64_t> n_bits{32};
inline constexpr Field<std::uint64_t> payload_bytes{40};
}  // namespace frame_field

namespace index_field {
inline constexpr ByteField tag{0, 4};
inline constexpr Field<std::uint32_t> reserved{4};
inline constexpr Field<std::uint64_t> count{8};
}  // namespace index_field

// Fields of one index entry, relative to the entry's start.
namespace entry_field {
inline constexpr Field<std::uint64_t> offset{0};
inline constexpr Field<std::uint32_t> t_first{8};
inline constexpr Field<std::uint32_t> t_last{12};
inline constexpr Field<std::uint64_t> n_events{16};
}  // namespace entry_field

namespace trailer_field {
inline constexpr Field<std::uint64_t> index_offset{0};
inline constexpr ByteField magic{8, 8};
}  // namespace trailer_field

inline constexpr std::uint8_t kMagic[8] = {0x89, 'Z', 'E', 'L', '\r', '\n', 0x1A, '\n'};
inline constexpr std::uint8_t kIndexTag[4] = {'I', 'N', 'D', 'X'};
inline constexpr std::uint8_t kTrailerMagic[8] = {'Z', 'E', 'L', 'I', 'N', 'D', 'E', 'X'};
// Occupancy frames (this header); event_store.hpp holds version 2, events
// stored without loss, which shares the magic, the trailer and the checksums.
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::uint16_t kEventStoreVersion = 2;
inline constexpr std::size_t kHeaderBytes = 36;
inline constexpr std::size_t kFrameHeaderBytes = 48;
inline constexpr std::size_t kCrcBytes = 4;
inline constexpr std::size_t kIndexHeadBytes = 16;
inline constexpr std::size_t kIndexEntryBytes = 24;
inline constexpr std::size_t kTrailerBytes = 16;
// The smallest frame record: a header and a checksum around an empty payload.
inline constexpr std::size_t kMinFrameRecordBytes = kFrameHeaderBytes + kCrcBytes;
// A writer that streams frames does not know their count until it finishes.
inline constexpr std::uint64_t kUnknownFrameCount = ~std::uint64_t{0};

// How a frame's payload codes its octree bitstream. The byte is the record's
// kind field; a value this reader does not know is refused.
// frame_decoder.cpp has the one place where payloads are dispatched on it.
enum class FrameKind : std::uint8_t {
    Key = 0,         // the rANS stream of the bitstream
    Delta = 1,       // run-length xor against the previous frame's bitstream
    ContextKey = 2,  // the context-coded tree (codec/context_codec.hpp)
};
inline constexpr std::uint8_t kLastFrameKind = static_cast<std::uint8_t>(FrameKind::ContextKey);

// Whether a frame of this kind decodes without the frame before it; only
// such frames may stand at the keyframe interval's positions.
inline constexpr bool is_key_kind(FrameKind kind) { return kind != FrameKind::Delta; }

struct FileHeader {
    GridParams grid;
    // Frame k is coded on its own when k % keyframe_interval == 0; 0 means
    // only frame 0, which is what compress_sequence does.
    std::uint32_t keyframe_interval = 0;
    std::uint64_t n_frames = kUnknownFrameCount;

    bool is_keyframe(std::uint64_t k) const {
        return k == 0 || (keyframe_interval != 0 && k % keyframe_interval == 0);
    }
    // The keyframe a decoder of frame k starts from.
    std::uint64_t keyframe_at_or_before(std::uint64_t k) const {
        return keyframe_interval == 0 ? 0 : k - k % keyframe_interval;
    }
};

// What the index knows of a frame without reading it. t_first and t_last are
// the smallest and largest timestamps of the frame's events, the range its
// time bins were cut from; both are 0 for a frame without events. Its fields
// have their natural alignment and no padding, so zelkit hands a list of them
// to NumPy as a structured array without repacking.
struct FrameSummary {
    std::uint64_t offset = 0;
    std::uint32_t t_first = 0;
    std::uint32_t t_last = 0;
    std::uint64_t n_events = 0;

    friend bool operator==(const FrameSummary&, const FrameSummary&) = default;
};
static_assert(sizeof(FrameSummary) == kIndexEntryBytes);

struct FrameHeader {
    FrameKind kind = FrameKind::Key;
    std::uint64_t index = 0;
    std::uint32_t t_first = 0;
    std::uint32_t t_last = 0;
    std::uint64_t n_events = 0;
    std::uint64_t n_bits = 0;
    std::uint64_t payload_bytes = 0;

    std::uint64_t record_bytes() const { return kMinFrameRecordBytes + payload_bytes; }
};

// Serialisers. Each appends one structure, its checksum included.
std::array<std::uint8_t, kHeaderBytes> header_bytes(const FileHeader& header);
void append_frame(const FrameHeader& frame, std::span<const std::uint8_t> payload,
                  std::vector<std::uint8_t>& out);
// The index over `entries`, then the trailer pointing at index_offset.
void append_index(std::span<const FrameSummary> entries, std::uint64_t index_offset,
                  std::vector<std::uint8_t>& out);

// The trailer alone, pointing at index_offset.
void append_trailer(std::uint64_t index_offset, std::vector<std::uint8_t>& out);

// Parsers. Every fault is an InvalidData error at its absolute file offset.

// `bytes` are the file's first bytes (all of them when shorter than a header).
Result<FileHeader> parse_header(std::span<const std::uint8_t> bytes);

// The index offset the trailer names, or absent when the file does not end
// in a trailer. Checks that the index fits between the file header and the
// trailer; `file_bytes` is the container's total size.
struct TrailerInfo {
    bool present = false;
    std::uint64_t index_offset = 0;
};
Result<TrailerInfo> parse_trailer(std::span<const std::uint8_t> trailer, std::uint64_t file_bytes);

// What every index shares, whatever its entries: the tag, a count that
// matches the bytes of `entry_bytes`-byte entries present, the checksum, the
// reserved field, the count the header declares (`units` names what is
// counted: "frames" or "blocks"), and no bytes before an empty index.
// `block` is everything from index_offset up to the trailer. Returns the count.
Result<std::uint64_t> check_index_frame(std::span<const std::uint8_t> block, std::uint64_t index_offset,
                                        std::size_t entry_bytes, std::uint64_t declared, const char* units);

// `block` is everything from index_offset up to the trailer. Validates the
// tag, count, checksum and reserved field, and that the entries lie in order
// between the file header and the index, the first right after the header.
// That each record fills its space exactly is check_frame_record's to see.
Result<std::vector<FrameSummary>> parse_index(std::span<const std::uint8_t> block,
                                              std::uint64_t index_offset,
                                              const FileHeader& header);

// Reads the fixed part of a frame record found at `offset`; checks the tag,
// kind, reserved bytes and that the frame is the one expected there.
Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t> bytes, std::uint64_t offset,
                                       std::uint64_t expected_index);

// Checks a whole frame record (as read from `offset`): its header, its length
// against the record and its checksum. Returns the header; the payload is
// record[kFrameHeaderBytes, kFrameHeaderBytes + payload_bytes).
Result<FrameHeader> check_frame_record(std::span<const std::uint8_t> record,
                                       std::uint64_t offset, std::uint64_t expected_index);

}  // namespace zel::container
