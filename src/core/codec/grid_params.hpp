#pragma once

#include <cstdint>

namespace zel {

// The grid every coding call is made for: sensor size, time bins and the
// depth the octree may reach.
struct GridParams {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t time_bins = 0;
    std::uint8_t max_depth = 0;
};

}  // namespace zel
