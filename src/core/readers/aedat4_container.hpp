#pragma once

// iniVation AEDAT 4.0 container: "#!AER-DAT4.0\r\n", a 32-bit length and an
// IOHeader FlatBuffer (compression, data-table position, an XML description
// of the streams), then packets: a 32-bit stream id, a 32-bit size and that
// many bytes of (possibly compressed) size-prefixed FlatBuffer. Decompression
// is the caller's; this file checks the structure around it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "readers/camera_decoding.hpp"

namespace zel::camera {

inline constexpr std::string_view kAedat4Magic = "#!AER-DAT4.0\r\n";
inline constexpr std::size_t kAedat4PreambleBytes = kAedat4Magic.size() + 4;
inline constexpr std::size_t kAedat4PacketHeaderBytes = 8;
// Real packets hold a few thousand events; a larger one is refused rather
// than read into memory whole.
inline constexpr std::uint32_t kMaxAedat4PacketBytes = 256u << 20;

enum class Aedat4Compression { None = 0, Lz4 = 1, Lz4High = 2, Zstd = 3, ZstdHigh = 4 };

struct Aedat4Stream {
    std::int32_t id = 0;
    std::string type;  // typeIdentifier, e.g. "EVTS", "IMUS", "FRME", "TRIG"
    std::string source;
    Geometry geometry;
};

struct Aedat4Header {
    Aedat4Compression compression = Aedat4Compression::None;
    std::uint64_t packets_begin = 0;
    // The data table's position (which a file cut short ends before), or
    // the file size.
    std::uint64_t packets_end = 0;
    std::vector<Aedat4Stream> streams;
};

struct Aedat4Packet {
    std::int32_t stream_id = 0;
    std::uint64_t offset = 0;  // of the packet header
    std::uint32_t size = 0;    // payload bytes after the header
};

// Total header bytes (preamble included) named by the first
// kAedat4PreambleBytes of a file of `file_size` bytes.
Result<std::uint64_t> aedat4_header_end(std::span<const std::uint8_t> preamble,
                                              std::uint64_t file_size);

// Parses the whole header, `bytes` being exactly the first
// aedat4_header_end() bytes of the file.
Result<Aedat4Header> parse_aedat4_header(std::span<const std::uint8_t> bytes,
                                               std::uint64_t file_size);

// The first event stream's stated sensor size, {0, 0} when none is stated.
Geometry event_sensor(const Aedat4Header& header);

// The packet header at `offset` (8 bytes in `bytes`); its payload must end by
// `packets_end`.
Result<Aedat4Packet> parse_aedat4_packet(std::span<const std::uint8_t> bytes,
                                               std::uint64_t offset, std::uint64_t packets_end);

// Streams described by the header's XML, by the DV configuration tree's
// "outInfo/<id>/" nodes and their "info/" children.
std::vector<Aedat4Stream> parse_aedat4_streams(std::string_view xml);

}  // namespace zel::camera
