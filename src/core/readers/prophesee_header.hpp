#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "readers/camera_decoding.hpp"

namespace zel::camera {

// The '%' text header of Prophesee RAW and DAT files, with what a reader
// needs from it.
struct PropheseeHeader {
    enum class Encoding { Evt2, Evt3, Dat };

    Encoding encoding = Encoding::Evt3;
    std::size_t data_offset = 0;  // first byte of the events
    Geometry geometry;            // {0, 0} when nothing names it
    // Where the geometry came from: "header" when a line states it (so it
    // bounds the coordinates), "sensor" when inferred from the sensor or
    // plugin name (reported, never enforced), "" when unknown.
    std::string geometry_source;
    // Each '%' line as keyword and value, in file order.
    std::vector<std::pair<std::string, std::string>> fields;
    // DAT only: the binary event type and record size after the text.
    std::uint8_t dat_event_type = 0;
    std::uint8_t dat_event_size = 0;
};

// Headers longer than this are refused rather than scanned on and on.
inline constexpr std::size_t kMaxPropheseeHeaderBytes = 1 << 20;

// `prefix` holds the first min(file size, kMaxPropheseeHeaderBytes + 2)
// bytes of the file.
Result<PropheseeHeader> parse_raw_header(std::span<const std::uint8_t> prefix);
Result<PropheseeHeader> parse_dat_header(std::span<const std::uint8_t> prefix);

}  // namespace zel::camera
