#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace zel {

// The grid's axes, in key and child order: x, y, time bin.
inline constexpr unsigned kAxes = 3;
// An axis is next_pow2 of a 16-bit size, at most 2^16 cells, so it halves
// at most 16 times: a tree reaches at most 16 levels below its root, and a
// voxel key, one bit per halving of each axis, has at most 48 bits.
inline constexpr unsigned kMaxAxisLog2 = 16;
static_assert(std::bit_ceil(unsigned{std::numeric_limits<std::uint16_t>::max()}) ==
              1u << kMaxAxisLog2);
inline constexpr unsigned kMaxLevels = kMaxAxisLog2;
inline constexpr unsigned kMaxKeyBits = kAxes * kMaxAxisLog2;
// Entries of an array indexed by level, the root's 0 included.
inline constexpr std::size_t kLevelSlots = kMaxLevels + 1;
// Children of a node that splits every axis.
inline constexpr unsigned kMaxChildren = 1u << kAxes;

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
