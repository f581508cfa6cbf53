#pragma once

#include <cstdint>
#include <vector>

#include "codec/grid_params.hpp"

namespace zel {

// The tree's levels as occupancy bitmaps, built upwards from the bitmap of
// occupied voxel keys. A node's id at level j is its key shifted right past
// the deeper levels' child numbers, so the nodes of level j are the bits of
// one bitmap in breadth-first order, and a parent's children are one group
// of 2^bits consecutive bits (2, 4 or 8). A parent is occupied when its group
// is not zero, and its child mask is the group read backwards (the first
// child is the mask's highest bit). Building a level and writing its masks
// are both sequential passes over bitmaps that shrink at least twofold per
// level: no sort of keys and no per-node grouping.
class LevelBitmaps {
public:
    // With allow_bit_extract false the portable code runs even where the
    // CPU has a fast parallel bit extract; tests use it to check both.
    explicit LevelBitmaps(bool allow_bit_extract = true);

    // voxels: the bitmap of 2^(sum of level_bits[1..levels]) bits, word w
    // holding bits 64w..64w+63, least significant first. level_bits[j] is
    // the bits of a child number at level j (1..3), and levels is at most
    // kMaxLevels. Keeps a pointer to voxels, which must outlive the calls
    // below.
    void build(const std::uint64_t* voxels, const unsigned* level_bits, unsigned levels);

    // Occupied voxels.
    std::uint64_t occupied() const { return occupied_; }

    // Bits of the breadth-first stream down to level `depth` (1..levels),
    // the root's bit included.
    std::uint64_t stream_bits(unsigned depth) const;

    // Writes that stream, stream_bits(depth) bits, most significant bit of
    // each byte first; out is resized to its whole bytes.
    void write_stream(unsigned depth, std::vector<std::uint8_t>& out) const;

    void trim(std::size_t keep_bytes);

private:
    const std::uint64_t* level(unsigned j) const;

    bool bit_extract_;
    const std::uint64_t* voxels_ = nullptr;
    unsigned levels_ = 0;
    unsigned level_bits_[kLevelSlots] = {};
    std::uint64_t level_size_[kLevelSlots] = {};    // bits in level j's bitmap
    std::uint64_t level_offset_[kLevelSlots] = {};  // word offset in storage_, j < levels_
    std::uint64_t level_ones_[kLevelSlots] = {};    // occupied nodes of level j
    std::uint64_t occupied_ = 0;
    std::vector<std::uint64_t> storage_;
};

}  // namespace zel
