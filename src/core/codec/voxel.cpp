#include "codec/voxel.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "base/memory_limits.hpp"

namespace zel {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Byte count of a grid, refusing sizes that cannot even be expressed.
std::size_t grid_bytes(std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t) {
    if (dim_x == 0 || dim_y == 0 || dim_t == 0) return 0;
    std::uint64_t volume = dim_x;
    for (std::uint64_t d : {dim_y, dim_t}) {
        if (volume > kU64Max / d) throw std::bad_alloc();
        volume *= d;
    }
    const std::uint64_t bytes = volume / 8 + (volume % 8 != 0 ? 1 : 0);
    if (bytes > kAddressSpaceBytes) throw std::bad_alloc();
    return static_cast<std::size_t>(bytes);
}

}  // namespace

std::uint64_t next_pow2(std::uint16_t n) {
    std::uint64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

std::uint64_t truncate_to_u64(double v) {
    // Written so NaN fails the first test.
    if (!(v > 0.0)) return 0;
    if (v >= 0x1p64) return kU64Max;
    return static_cast<std::uint64_t>(v);
}

TimeRange time_range(std::span<const Event> events) {
    if (events.empty()) return {};
    std::uint32_t tmin = events.front().t;
    std::uint32_t tmax = tmin;
    for (const Event& e : events) {
        tmin = std::min(tmin, e.t);
        tmax = std::max(tmax, e.t);
    }
    return {tmin, tmax == tmin ? 1u : tmax - tmin};
}

std::uint64_t time_slot(std::uint32_t t, const TimeRange& range, std::uint64_t count,
                        std::uint64_t last) {
    const double q = static_cast<double>(t - range.tmin) / static_cast<double>(range.span);
    const double v = q * (static_cast<double>(count) + -1.0);
    return std::min(truncate_to_u64(v), last);
}

VoxelGrid::VoxelGrid(std::uint64_t dx, std::uint64_t dy, std::uint64_t dt)
    : dim_x(dx), dim_y(dy), dim_t(dt), n_bytes_(grid_bytes(dx, dy, dt)) {
    // calloc(0) may legitimately return null; a one-byte buffer keeps the
    // null check meaningful and bytes() still reports n_bytes_.
    void* p = std::calloc(n_bytes_ == 0 ? 1 : n_bytes_, 1);
    if (p == nullptr) throw std::bad_alloc();
    bits_.reset(static_cast<std::uint8_t*>(p));
}

void VoxelGrid::set(std::uint64_t x, std::uint64_t y, std::uint64_t t) {
    const std::uint64_t i = voxel_index(x, y, t);
    std::uint8_t& byte = bits_.get()[i / 8];
    const auto mask = static_cast<std::uint8_t>(1u << (i % 8));
    if ((byte & mask) == 0) {
        byte |= mask;
        ++occupied;
    }
}

bool VoxelGrid::range_occupied(std::uint64_t start, std::uint64_t length) const {
    const std::uint8_t* bits = bits_.get();
    const std::uint64_t first = start / 8;
    const std::uint64_t last = (start + length - 1) / 8;
    const unsigned low = start % 8;
    if (first == last) {
        const unsigned high = (start + length - 1) % 8;
        const unsigned mask = (0xFFu << low) & (0xFFu >> (7 - high));
        return (bits[first] & mask) != 0;
    }
    if ((bits[first] & (0xFFu << low)) != 0) return true;
    std::uint64_t b = first + 1;
    for (; b + 8 <= last; b += 8) {
        std::uint64_t word;
        std::memcpy(&word, bits + b, sizeof word);
        if (word != 0) return true;
    }
    for (; b < last; ++b) {
        if (bits[b] != 0) return true;
    }
    const unsigned end = (start + length) % 8;
    const unsigned mask = end == 0 ? 0xFFu : (1u << end) - 1;
    return (bits[last] & mask) != 0;
}

bool VoxelGrid::box_occupied(std::uint64_t x0, std::uint64_t y0, std::uint64_t t0,
                             std::uint64_t dx, std::uint64_t dy, std::uint64_t dt) const {
    if (dx == 0 || dy == 0 || dt == 0) return false;
    // Boxes spanning whole time rows (and whole columns) are contiguous in
    // memory; scanning them as one range lets the word loop do the work.
    if (t0 == 0 && dt == dim_t) {
        if (y0 == 0 && dy == dim_y) return range_occupied(voxel_index(x0, 0, 0), dx * dy * dt);
        for (std::uint64_t x = x0; x < x0 + dx; ++x) {
            if (range_occupied(voxel_index(x, y0, 0), dy * dt)) return true;
        }
        return false;
    }
    for (std::uint64_t x = x0; x < x0 + dx; ++x) {
        for (std::uint64_t y = y0; y < y0 + dy; ++y) {
            if (range_occupied(voxel_index(x, y, t0), dt)) return true;
        }
    }
    return false;
}

VoxelGrid voxelize(const EventList& events, std::uint16_t width, std::uint16_t height,
                   std::uint16_t time_bins) {
    VoxelGrid grid(next_pow2(width), next_pow2(height), next_pow2(time_bins));
    if (events.empty()) return grid;
    const TimeRange range = time_range(events);
    for (const Event& e : events) {
        const std::uint64_t bin = time_slot(e.t, range, time_bins, grid.dim_t - 1);
        const std::uint64_t x = std::min<std::uint64_t>(e.x, grid.dim_x - 1);
        const std::uint64_t y = std::min<std::uint64_t>(e.y, grid.dim_y - 1);
        grid.set(x, y, bin);
    }
    return grid;
}

OctreeNode build_octree(const VoxelGrid& grid, std::uint8_t max_depth) {
    return build_node(grid, 0, 0, 0, grid.dim_x, grid.dim_y, grid.dim_t, 0, max_depth);
}

OctreeNode build_node(const VoxelGrid& grid, std::uint64_t x0, std::uint64_t y0,
                      std::uint64_t t0, std::uint64_t dx, std::uint64_t dy, std::uint64_t dt,
                      std::uint8_t depth, std::uint8_t max_depth) {
    OctreeNode node;
    if (dx == 0 || dy == 0 || dt == 0) return node;
    if (!grid.box_occupied(x0, y0, t0, dx, dy, dt)) return node;
    if (depth >= max_depth || (dx == 1 && dy == 1 && dt == 1)) {
        node.kind = NodeKind::Full;
        return node;
    }
    const AxisSplit sx = split_axis(dx);
    const AxisSplit sy = split_axis(dy);
    const AxisSplit st = split_axis(dt);
    node.kind = NodeKind::Subdivided;
    node.children.reserve(sx.parts * sy.parts * st.parts);
    for (unsigned ix = 0; ix < sx.parts; ++ix) {
        for (unsigned iy = 0; iy < sy.parts; ++iy) {
            for (unsigned it = 0; it < st.parts; ++it) {
                node.children.push_back(build_node(
                    grid, x0 + sx.offset[ix], y0 + sy.offset[iy], t0 + st.offset[it],
                    sx.extent[ix], sy.extent[iy], st.extent[it],
                    static_cast<std::uint8_t>(depth + 1), max_depth));
            }
        }
    }
    return node;
}

}  // namespace zel
