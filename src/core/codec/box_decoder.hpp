#pragma once

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
inline constexpr std::size_t kBoxRecordBytes = 18;

struct LeafDecode {
    std::vector<LeafBox> boxes;
    std::uint64_t bits_used = 0;  // bits the tree consumed
    bool too_many = false;        // stopped at max_boxes
};

// Reads the breadth-first bitstream of a tree over a grid with power-of-two
// dimensions, as decode_octree does, but yields the Full leaves with their
// boxes instead of nodes: every node of a level has the same extents, so a
// level is one pass over the origins of the level's nodes. Nodes without a
// bit are Empty. Stops early when more than max_boxes leaves turn up, so
// memory is bounded by the caller's expectation.
LeafDecode decode_leaf_boxes(std::span<const std::uint8_t> bits, std::uint64_t n_bits,
                             std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                             std::uint8_t max_depth, std::uint64_t max_boxes);

// Appends the records of boxes in kBoxRecordBytes form.
void append_box_records(std::span<const LeafBox> boxes, std::vector<std::uint8_t>& out);

}  // namespace zel
