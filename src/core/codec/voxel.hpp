#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "base/event.hpp"

namespace zel {

// Smallest power of two not below n; 1 for 0 and 1.
std::uint64_t next_pow2(std::uint16_t n);

// Double to unsigned by truncation toward zero; negatives and NaN give 0 and
// values of 2^64 or more saturate, so no input is undefined behaviour.
std::uint64_t truncate_to_u64(double v);

// Timestamp range of a set of events; span is 1 when all timestamps are equal
// (or there are none) so the binning division is always defined.
struct TimeRange {
    std::uint32_t tmin = 0;
    std::uint32_t span = 1;
};
TimeRange time_range(std::span<const Event> events);

// The binning rule shared by time bins and frames, evaluated in IEEE double
// exactly in this order: q = (t - tmin) / span; v = q * (count + -1.0);
// truncated, then capped at `last`.
std::uint64_t time_slot(std::uint32_t t, const TimeRange& range, std::uint64_t count,
                        std::uint64_t last);

// Occupancy bitmap over (x, y, time bin). Voxel (x, y, t) has index
// (x * dim_y + y) * dim_t + t and lives in bit (i % 8) of byte i / 8, least
// significant bit first.
class VoxelGrid {
public:
    // Dimensions are taken as given. The zeroed buffer comes from calloc so a
    // huge grid is refused by the allocator (std::bad_alloc) instead of being
    // written page by page.
    VoxelGrid(std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t);

    std::uint64_t dim_x;
    std::uint64_t dim_y;
    std::uint64_t dim_t;
    std::uint64_t occupied = 0;

    std::uint64_t voxel_index(std::uint64_t x, std::uint64_t y, std::uint64_t t) const {
        return (x * dim_y + y) * dim_t + t;
    }
    std::uint64_t volume() const { return dim_x * dim_y * dim_t; }

    // Sets one voxel, counting it only the first time.
    void set(std::uint64_t x, std::uint64_t y, std::uint64_t t);
    bool test(std::uint64_t index) const { return (unsigned{bits_.get()[index / 8]} >> (index % 8)) & 1u; }

    // True when any voxel of the box is set; the box must lie inside the grid.
    bool box_occupied(std::uint64_t x0, std::uint64_t y0, std::uint64_t t0, std::uint64_t dx,
                      std::uint64_t dy, std::uint64_t dt) const;

    std::span<const std::uint8_t> bytes() const { return {bits_.get(), n_bytes_}; }

private:
    bool range_occupied(std::uint64_t start, std::uint64_t length) const;

    struct FreeBytes {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, FreeBytes> bits_;
    std::size_t n_bytes_ = 0;
};

// Bins events into a grid of next_pow2 dimensions. Coordinates beyond the
// grid are clamped to its last column or row; polarity is ignored.
VoxelGrid voxelize(const EventList& events, std::uint16_t width, std::uint16_t height,
                   std::uint16_t time_bins);

// One axis of a box split by the octree rule: halves (lower d / 2, upper
// d - d / 2) when the extent is 2 or more, otherwise the axis itself.
struct AxisSplit {
    std::uint64_t offset[2];
    std::uint64_t extent[2];
    unsigned parts;
};
inline AxisSplit split_axis(std::uint64_t extent) {
    if (extent >= 2) {
        const std::uint64_t half = extent / 2;
        return {{0, half}, {half, extent - half}, 2};
    }
    return {{0, 0}, {extent, 0}, 1};
}

enum class NodeKind : std::uint8_t { Empty, Full, Subdivided };

// Children are ordered x slowest, t fastest: (ix * ny + iy) * nt + it.
struct OctreeNode {
    NodeKind kind = NodeKind::Empty;
    std::vector<OctreeNode> children;

    friend bool operator==(const OctreeNode&, const OctreeNode&) = default;
};

// Occupancy is checked before the depth limit, so a leaf at the limit is
// Full only when its box holds a voxel. Recursion depth is bounded by the
// number of halvings of the largest dimension (at most 17 levels for grids
// made by voxelize).
OctreeNode build_octree(const VoxelGrid& grid, std::uint8_t max_depth);
OctreeNode build_node(const VoxelGrid& grid, std::uint64_t x0, std::uint64_t y0,
                      std::uint64_t t0, std::uint64_t dx, std::uint64_t dy, std::uint64_t dt,
                      std::uint8_t depth, std::uint8_t max_depth);

}  // namespace zel
