#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel {

// An occupied leaf of the octree: its origin in grid voxels (x, y, time bin)
// and its extent along each axis. Extents are 1 where the tree reached single
// voxels and larger where max_depth stopped it.
struct LeafBox {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint16_t bin = 0;
    std::uint32_t dx = 1;
    std::uint32_t dy = 1;
    std::uint32_t dbin = 1;

    friend bool operator==(const LeafBox&, const LeafBox&) = default;
};

// Size of one box record as handed to Python: x, y, bin as u16 then dx, dy,
// dbin as u32, little endian, no padding.
inline constexpr std::size_t kBoxOriginBytes = 3 * sizeof(std::uint16_t);
inline constexpr std::size_t kBoxExtentBytes = 3 * sizeof(std::uint32_t);
inline constexpr std::size_t kBoxRecordBytes = kBoxOriginBytes + kBoxExtentBytes;

// The occupied leaves of a tree over power-of-two dimensions. Every node of a
// level has the same extents, so the leaves share one extent and only their
// origins differ; an origin is packed as x | y << 16 | bin << 32, which is
// also the first six bytes of its record on a little-endian machine.
struct LeafBoxes {
    std::vector<std::uint64_t> origins;
    std::uint32_t dx = 1;
    std::uint32_t dy = 1;
    std::uint32_t dbin = 1;

    std::size_t size() const { return origins.size(); }
    bool empty() const { return origins.empty(); }
    LeafBox operator[](std::size_t i) const;
    std::vector<LeafBox> list() const;
};

struct LeafDecode {
    LeafBoxes boxes;
    std::uint64_t bits_used = 0;  // bits the tree consumed; unset when too_many
    bool too_many = false;        // more than max_boxes occupied nodes on a level
};

// Reads the breadth-first bitstream of a tree over a grid with power-of-two
// dimensions of at most 65536, as decode_octree does, but yields the Full
// leaves with their boxes instead of nodes, in breadth-first order. A level is
// one pass over the origins of its set nodes, eight children per table row.
// Nodes without a bit are Empty. Every occupied node of a well-formed tree has
// an occupied leaf below it, so a level with more than max_boxes set nodes is
// refused as too_many before anything is stored for it: memory is bounded by
// the caller's expectation.
LeafDecode decode_leaf_boxes(std::span<const std::uint8_t> bits, std::uint64_t n_bits,
                             std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                             std::uint8_t max_depth, std::uint64_t max_boxes);

// Writes the kBoxRecordBytes records of boxes; out.size() must be
// boxes.size() * kBoxRecordBytes.
void write_box_records(const LeafBoxes& boxes, std::span<std::uint8_t> out);

}  // namespace zel
