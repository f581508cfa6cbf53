#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "encoder.hpp"
#include "event.hpp"

namespace zel {

// Produces encode_octree(build_octree(voxelize(events, ...), max_depth)) and
// the grid's occupied count without a dense grid or node objects.
//
// Every voxel gets a key that concatenates, level by level from the root, its
// child number within each box on its path. Sorting the distinct keys puts
// the boxes of every level in breadth-first order, so each level's bits are
// one pass over the sorted keys: the occupied children of consecutive parents.
// Cost is O(n log n) in the events plus O(levels * distinct voxels), whatever
// the grid's volume.
class SparseOctreeCoder {
public:
    SparseOctreeCoder(std::uint16_t width, std::uint16_t height, std::uint16_t time_bins,
                      std::uint8_t max_depth);

    std::uint64_t dim_x() const { return dim_x_; }
    std::uint64_t dim_y() const { return dim_y_; }
    std::uint64_t dim_t() const { return dim_t_; }
    std::uint64_t volume() const { return dim_x_ * dim_y_ * dim_t_; }

    // Writes the bitstream of one event set into out (reusing its buffer) and
    // returns the number of distinct occupied voxels.
    std::uint64_t encode(std::span<const Event> events, OctreeBitstream& out);

private:
    static constexpr unsigned kMaxLevels = 17;  // dimensions are at most 2^16

    std::uint64_t voxel_key(std::uint64_t x, std::uint64_t y, std::uint64_t t) const;
    void sort_keys();

    std::uint64_t dim_x_, dim_y_, dim_t_;
    std::uint16_t time_bins_;
    unsigned tree_levels_;  // levels below the root that the tree reaches
    // For level j (1-based), the bits of a child number and where they sit in
    // a key; deeper levels occupy lower bits.
    std::array<unsigned, kMaxLevels> level_bits_{};
    std::array<unsigned, kMaxLevels> level_shift_{};
    // Per axis and coordinate byte: the key bits that byte contributes.
    std::array<std::array<std::array<std::uint64_t, 256>, 2>, 3> deposit_{};
    unsigned key_bits_ = 0;
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint64_t> scratch_;
};

}  // namespace zel
