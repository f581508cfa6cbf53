#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/voxel.hpp"

namespace zel {

// Rebuilds the tree written by encode_octree. A node whose bit is 1 is
// Subdivided when depth < max_depth and some extent is at least 2, else Full.
// Nodes without a bit (past n_bits, or past the end of data when n_bits
// claims more bits than data holds) are Empty; data is never read beyond
// either limit.
OctreeNode decode_octree(std::span<const std::uint8_t> data, std::uint64_t n_bits,
                         std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                         std::uint8_t max_depth);

// The kinds of a tree's nodes in breadth-first order. Together with the
// dimensions and max_depth this determines the tree completely.
std::vector<NodeKind> breadth_first_kinds(const OctreeNode& root);

// Same decoding as decode_octree, producing breadth_first_kinds of its result
// without node objects. For power-of-two dimensions every node of a level has
// the same box size, so the decoder only tracks node counts per level; other
// dimensions go through decode_octree. `kinds` is overwritten (its capacity is
// reused across calls).
void decode_octree_flat(std::span<const std::uint8_t> data, std::uint64_t n_bits,
                        std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                        std::uint8_t max_depth, std::vector<NodeKind>& kinds);

}  // namespace zel
