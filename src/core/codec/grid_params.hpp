#pragma once

#include <cstdint>
#include <limits>

namespace zel {

// The grid every coding call is made for: sensor size, time bins and the
// depth the octree may reach.
struct GridParams {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t time_bins = 0;
    std::uint8_t max_depth = 0;
};

// The largest value each parameter takes: width, height and time_bins are
// 16-bit, max_depth 8-bit, in zel's arguments and in the .zel header alike.
inline constexpr std::uint16_t kMaxGridExtent = std::numeric_limits<std::uint16_t>::max();
inline constexpr std::uint8_t kMaxTreeDepth = std::numeric_limits<std::uint8_t>::max();

}  // namespace zel
