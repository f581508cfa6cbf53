#pragma once

// Compact notation for expected trees and hand-made grids in the octree and
// bitstream tests.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "codec/voxel.hpp"

namespace zel::testing_notation {

inline OctreeNode E() { return {}; }

inline OctreeNode F() {
    OctreeNode n;
    n.kind = NodeKind::Full;
    return n;
}

inline OctreeNode S(std::vector<OctreeNode> children) {
    OctreeNode n;
    n.kind = NodeKind::Subdivided;
    n.children = std::move(children);
    return n;
}

using Voxel = std::array<std::uint64_t, 3>;

inline VoxelGrid grid_with(std::uint64_t dx, std::uint64_t dy, std::uint64_t dt,
                           std::initializer_list<Voxel> voxels) {
    VoxelGrid g(dx, dy, dt);
    for (const Voxel& v : voxels) g.set(v[0], v[1], v[2]);
    return g;
}

}  // namespace zel::testing_notation
