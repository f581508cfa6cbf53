#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "encoder.hpp"
#include "event.hpp"
#include "record_source.hpp"

namespace zel {

struct CoderBuffers;

// Produces encode_octree(build_octree(voxelize(events, ...), max_depth)) and
// the grid's occupied count without a dense grid or node objects.
//
// Every voxel gets a key that concatenates, level by level from the root, its
// child number within each box on its path. Sorting the keys puts the boxes
// of every level in breadth-first order. The levels are then grouped bottom
// up: one pass over a level's sorted boxes yields each parent's child mask
// and the parents themselves, which are the next level's boxes. Cost is one
// sort of the events plus O(levels * distinct voxels), whatever the grid's
// volume.
//
// A coder borrows its working buffers from a per-thread pool and hands them
// back when destroyed, so repeated calls reuse memory that is already mapped
// instead of faulting in fresh pages every time.
class SparseOctreeCoder {
public:
    SparseOctreeCoder(std::uint16_t width, std::uint16_t height, std::uint16_t time_bins,
                      std::uint8_t max_depth);
    ~SparseOctreeCoder();
    SparseOctreeCoder(const SparseOctreeCoder&) = delete;
    SparseOctreeCoder& operator=(const SparseOctreeCoder&) = delete;

    std::uint64_t dim_x() const { return dim_x_; }
    std::uint64_t dim_y() const { return dim_y_; }
    std::uint64_t dim_t() const { return dim_t_; }
    std::uint64_t volume() const { return dim_x_ * dim_y_ * dim_t_; }

    // Writes the bitstream of one event set into out (reusing its buffer) and
    // returns the number of distinct occupied voxels.
    std::uint64_t encode(std::span<const Event> events, OctreeBitstream& out);
    std::uint64_t encode(PackedEvents events, OctreeBitstream& out);
    std::uint64_t encode(GatheredEvents<std::span<const Event>> events, OctreeBitstream& out);
    std::uint64_t encode(GatheredEvents<PackedEvents> events, OctreeBitstream& out);

private:
    static constexpr unsigned kMaxLevels = 17;  // dimensions are at most 2^16

    template <class Source>
    std::uint64_t encode_source(const Source& events, OctreeBitstream& out);
    template <class Source>
    void make_keys(const Source& events);
    std::uint64_t group_levels(bool distinct_keys);
    void write_levels(OctreeBitstream& out) const;

    std::uint64_t voxel_key(std::uint64_t x, std::uint64_t y, std::uint64_t t) const {
        return deposit_[0][0][x & 0xFF] | deposit_[0][1][(x >> 8) & 0xFF] |
               deposit_[1][0][y & 0xFF] | deposit_[1][1][(y >> 8) & 0xFF] |
               deposit_[2][0][t & 0xFF] | deposit_[2][1][(t >> 8) & 0xFF];
    }

    std::uint64_t dim_x_, dim_y_, dim_t_;
    std::uint16_t time_bins_;
    unsigned levels_;       // levels below the root of the full-resolution tree
    unsigned tree_levels_;  // levels below the root that the tree reaches
    // For level j (1-based), the bits of a child number and where they sit in
    // a key; deeper levels occupy lower bits.
    std::array<unsigned, kMaxLevels + 1> level_bits_{};
    std::array<unsigned, kMaxLevels + 1> level_shift_{};
    // Per axis and coordinate byte: the key bits that byte contributes.
    std::array<std::array<std::array<std::uint64_t, 256>, 2>, 3> deposit_{};
    unsigned key_bits_ = 0;
    std::unique_ptr<CoderBuffers> buffers_;
};

}  // namespace zel
