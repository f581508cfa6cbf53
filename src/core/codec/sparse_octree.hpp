#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/event.hpp"
#include "codec/encoder.hpp"
#include "codec/grid_params.hpp"
#include "codec/key_interleave.hpp"
#include "codec/record_source.hpp"

namespace zel {

struct CoderBuffers;

// Produces encode_octree(build_octree(voxelize(events, ...), max_depth)) and
// the grid's occupied count without a dense grid or node objects.
//
// Every voxel gets a key that concatenates, level by level from the root, its
// child number within each box on its path, so key order is breadth-first
// order on every level. When the key space is small next to the event count
// the keys are set in a bitmap and the levels are bitmaps built from it
// (LevelBitmaps). Otherwise the keys are sorted and the levels grouped
// bottom up: one pass over a level's sorted boxes yields each parent's child
// mask and the parents themselves, which are the next level's boxes. Cost is
// one sort of the events plus O(levels * distinct voxels), whatever the
// grid's volume.
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
    template <class Source>
    std::uint64_t encode_source(const Source& events, OctreeBitstream& out);
    template <class Source, class Sink, class Restart>
    void make_keys(const Source& events, Sink sink, Restart restart);
    std::uint64_t group_levels(bool distinct_keys);
    void write_levels(OctreeBitstream& out) const;

    // One pass over the events hands every voxel key to `sink(i, key)`, with
    // time bins taken over [tmin, tmax]. Returns false, possibly before the
    // end, when some event lies outside that range: the keys are then wrong
    // and the caller starts again from the true range.
    template <class Source, class Sink>
    bool key_pass(const Source& events, std::uint32_t tmin, std::uint32_t tmax, Sink sink);
    template <class Source, class Sink>
    bool keys_by_tables(const Source& events, std::uint32_t tmin, std::uint32_t tmax,
                        Sink sink);
#ifdef ZEL_HAVE_BIT_DEPOSIT
    template <class Source, class Sink>
    __attribute__((target("bmi2"))) bool keys_by_deposit(const Source& events,
                                                         std::uint32_t tmin, std::uint32_t tmax,
                                                         Sink sink);
#endif

    std::uint64_t dim_x_, dim_y_, dim_t_;
    std::uint16_t time_bins_;
    unsigned levels_;       // levels below the root of the full-resolution tree
    unsigned tree_levels_;  // levels below the root that the tree reaches
    // For level j (1-based), the bits of a child number and where they sit in
    // a key; deeper levels occupy lower bits.
    std::array<unsigned, kLevelSlots> level_bits_{};
    std::array<unsigned, kLevelSlots> level_shift_{};
    std::unique_ptr<KeyInterleaver> interleaver_;
    unsigned key_bits_ = 0;
    std::unique_ptr<CoderBuffers> buffers_;
};

}  // namespace zel
