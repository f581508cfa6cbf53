#pragma once

#include <cstdint>
#include <vector>

#include "codec/voxel.hpp"

namespace zel {

// One occupancy bit per octree node in breadth-first order (Empty 0, Full and
// Subdivided 1), packed most significant bit first: bit i is bit 7 - i % 8
// of byte i / 8. Padding bits of the last byte are 0.
struct OctreeBitstream {
    std::vector<std::uint8_t> packed;
    std::uint64_t n_bits = 0;

    friend bool operator==(const OctreeBitstream&, const OctreeBitstream&) = default;
};

OctreeBitstream encode_octree(const OctreeNode& root);

}  // namespace zel
