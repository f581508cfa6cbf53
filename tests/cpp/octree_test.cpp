#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/sparse_octree.hpp"
#include "codec/voxel.hpp"
#include "octree_notation.hpp"

namespace zel {
namespace {

using namespace testing_notation;

struct ShapeCase {
    const char* name;
    std::uint64_t dx, dy, dt;
    std::vector<Voxel> voxels;
    std::uint8_t max_depth;
    OctreeNode expected;
};

class BuildOctreeShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(BuildOctreeShapes, BuildsExpectedTree) {
    const ShapeCase& c = GetParam();
    VoxelGrid g(c.dx, c.dy, c.dt);
    for (const Voxel& v : c.voxels) g.set(v[0], v[1], v[2]);
    EXPECT_EQ(build_octree(g, c.max_depth), c.expected);
}

std::vector<ShapeCase> shape_cases() {
    const std::vector<Voxel> all8 = {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 1},
                                     {1, 0, 0}, {1, 0, 1}, {1, 1, 0}, {1, 1, 1}};
    const OctreeNode one_at_4 = S({E(), E(), E(), E(), F(), E(), E(), E()});
    const OctreeNode deep_55 = S({E(), E(), E(), S({S({E(), E(), E(), F()}), E(), E(), E()})});
    return {
        {"empty_depth0", 2, 2, 2, {}, 0, E()},
        {"empty_depth255", 2, 2, 2, {}, 255, E()},
        {"x1_depth0_full_root", 2, 2, 2, {{1, 0, 0}}, 0, F()},
        {"x1_depth1", 2, 2, 2, {{1, 0, 0}}, 1, one_at_4},
        {"x1_depth9", 2, 2, 2, {{1, 0, 0}}, 9, one_at_4},
        {"full_2x2x2_not_merged", 2, 2, 2, all8, 3,
         S({F(), F(), F(), F(), F(), F(), F(), F()})},
        {"4x2x1_xy_split", 4, 2, 1, {{0, 0, 0}, {3, 1, 0}}, 8,
         S({S({F(), E()}), E(), E(), S({E(), F()})})},
        {"8x8x1_depth1", 8, 8, 1, {{5, 5, 0}}, 1, S({E(), E(), E(), F()})},
        {"8x8x1_depth2", 8, 8, 1, {{5, 5, 0}}, 2, S({E(), E(), E(), S({F(), E(), E(), E()})})},
        {"8x8x1_depth3", 8, 8, 1, {{5, 5, 0}}, 3, deep_55},
        {"8x8x1_depth200", 8, 8, 1, {{5, 5, 0}}, 200, deep_55},
        {"2x1x4_depth1", 2, 1, 4, {{0, 0, 0}, {1, 0, 3}}, 1, S({F(), E(), E(), F()})},
        {"2x1x4_depth2", 2, 1, 4, {{0, 0, 0}, {1, 0, 3}}, 2,
         S({S({F(), E()}), E(), E(), S({E(), F()})})},
        {"1x1x1_set_depth0", 1, 1, 1, {{0, 0, 0}}, 0, F()},
        {"1x1x1_set_depth255", 1, 1, 1, {{0, 0, 0}}, 255, F()},
        // Child order is x slowest, t fastest: (0,1,1) is child 3 of 8.
        {"child_order", 2, 2, 2, {{0, 1, 1}}, 1, S({E(), E(), E(), F(), E(), E(), E(), E()})},
        // A zero extent is never occupied.
        {"zero_extent", 0, 2, 2, {}, 4, E()},
    };
}

INSTANTIATE_TEST_SUITE_P(Examples, BuildOctreeShapes, ::testing::ValuesIn(shape_cases()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Checks what every built tree must hold (a Subdivided node is below the
// depth limit, has a splittable box, the right child count and an occupied
// child) and returns the tree's height in levels.
unsigned check_invariants(const OctreeNode& node, std::uint64_t dx, std::uint64_t dy,
                          std::uint64_t dt, unsigned depth, unsigned max_depth) {
    if (node.kind != NodeKind::Subdivided) return node.children.empty() ? 1 : 0;
    const AxisSplit sx = split_axis(dx), sy = split_axis(dy), st = split_axis(dt);
    EXPECT_TRUE(depth < max_depth && (dx >= 2 || dy >= 2 || dt >= 2));
    if (node.children.size() != sx.parts * sy.parts * st.parts) return 0;
    bool any_occupied = false;
    unsigned height = 0;
    std::size_t c = 0;
    for (unsigned ix = 0; ix < sx.parts; ++ix)
        for (unsigned iy = 0; iy < sy.parts; ++iy)
            for (unsigned it = 0; it < st.parts; ++it, ++c) {
                any_occupied |= node.children[c].kind != NodeKind::Empty;
                const unsigned h = check_invariants(node.children[c], sx.extent[ix], sy.extent[iy],
                                                    st.extent[it], depth + 1, max_depth);
                if (h == 0) return 0;
                height = std::max(height, h);
            }
    return any_occupied ? height + 1 : 0;
}

TEST(BuildOctree, RandomGridsKeepInvariants) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const std::uint64_t dx = std::uint64_t{1} << (rng() % 5);
        const std::uint64_t dy = std::uint64_t{1} << (rng() % 5);
        const std::uint64_t dt = std::uint64_t{1} << (rng() % 6);
        VoxelGrid g(dx, dy, dt);
        const std::uint64_t n = rng() % 20;
        for (std::uint64_t i = 0; i < n; ++i) g.set(rng() % dx, rng() % dy, rng() % dt);
        const auto max_depth = static_cast<std::uint8_t>(rng() % 8);
        const OctreeNode root = build_octree(g, max_depth);
        EXPECT_EQ(root.kind == NodeKind::Empty, g.occupied == 0);
        EXPECT_GT(check_invariants(root, dx, dy, dt, 0, max_depth), 0u);
    }
}

TEST(BuildOctree, LongestAxisBoundsDepthAt17Levels) {
    // 65536 voxels along x: sixteen halvings reach a single voxel.
    VoxelGrid g(65536, 1, 1);
    g.set(12345, 0, 0);
    const OctreeNode root = build_octree(g, 255);
    EXPECT_EQ(check_invariants(root, 65536, 1, 1, 0, 255), 17u);
    // Each level has exactly one Subdivided or Full node on the path.
    EXPECT_EQ(encode_octree(root).n_bits, 1u + 16 * 2);
}

// The sparse coder must reproduce the dense pipeline bit for bit.
struct CoderArgs {
    std::uint16_t width, height, time_bins;
    std::uint8_t max_depth;
};

void expect_sparse_matches_dense(const EventList& events, const CoderArgs& a) {
    const VoxelGrid grid = voxelize(events, a.width, a.height, a.time_bins);
    const OctreeBitstream dense = encode_octree(build_octree(grid, a.max_depth));
    SparseOctreeCoder coder(a.width, a.height, a.time_bins, a.max_depth);
    OctreeBitstream sparse;
    // Reusing the output buffer must not leak earlier content.
    sparse.packed.assign(37, 0xAB);
    const std::uint64_t occupied = coder.encode(events, sparse);
    ASSERT_EQ(sparse, dense) << "w=" << a.width << " h=" << a.height << " tb=" << a.time_bins
                             << " depth=" << int(a.max_depth) << " events=" << events.size();
    EXPECT_EQ(occupied, grid.occupied);
    EXPECT_EQ(coder.dim_x(), grid.dim_x);
    EXPECT_EQ(coder.dim_y(), grid.dim_y);
    EXPECT_EQ(coder.dim_t(), grid.dim_t);
}

EventList random_events(std::mt19937_64& rng, std::size_t n, std::uint16_t x_range,
                        std::uint16_t y_range, std::uint32_t t_lo, std::uint32_t t_hi) {
    EventList events;
    for (std::size_t i = 0; i < n; ++i) {
        events.push_back({static_cast<std::uint16_t>(rng() % (x_range + 1u)),
                          static_cast<std::uint16_t>(rng() % (y_range + 1u)),
                          static_cast<std::uint32_t>(
                              t_lo + rng() % (std::uint64_t{t_hi} - t_lo + 1)),
                          static_cast<std::uint8_t>(rng())});
    }
    return events;
}

TEST(SparseOctreeCoder, MatchesDensePipelineOnRandomInputs) {
    std::mt19937_64 rng(2024);
    const std::vector<std::uint16_t> sizes = {0, 1, 2, 3, 5, 7, 8, 17, 34, 63, 64, 65, 100};
    for (int trial = 0; trial < 600; ++trial) {
        const CoderArgs a{sizes[rng() % sizes.size()], sizes[rng() % sizes.size()],
                          sizes[rng() % sizes.size()], static_cast<std::uint8_t>(rng() % 21)};
        const std::size_t n = trial % 10 == 0 ? 0 : rng() % 300;
        // Coordinates reach past the requested size so clamping is exercised.
        // Flat, full-range, narrow and offset time ranges.
        std::uint32_t t_lo = static_cast<std::uint32_t>(rng());
        std::uint32_t t_hi = t_lo;
        switch (trial % 4) {
            case 1:
                t_lo = 0;
                t_hi = 4294967295u;
                break;
            case 2:
                t_hi = t_lo + static_cast<std::uint32_t>(
                                  std::min<std::uint64_t>(rng() % 1000, 4294967295u - t_lo));
                break;
            case 3:
                t_lo = static_cast<std::uint32_t>(rng() % 100);
                t_hi = t_lo + 100;
                break;
            default:
                break;
        }
        const EventList events = random_events(rng, n, static_cast<std::uint16_t>(a.width + 3),
                                               static_cast<std::uint16_t>(a.height + 3), t_lo,
                                               t_hi);
        expect_sparse_matches_dense(events, a);
    }
}

TEST(SparseOctreeCoder, MatchesDensePipelineOnDenseAndLargeInputs) {
    // Large sets take the radix sort; a one-voxel grid has no key bits at all;
    // tiny grids make nearly every key a duplicate; full grids merge nothing.
    std::mt19937_64 rng(9);
    const std::vector<std::pair<CoderArgs, std::size_t>> cases = {
        {{64, 64, 64, 16}, 30000}, {{640, 480, 256, 16}, 20000}, {{640, 480, 256, 5}, 20000},
        {{2, 2, 2, 8}, 10000},     {{1, 1, 1, 16}, 5000},        {{100, 3, 1000, 7}, 9000},
        {{8, 2, 32, 255}, 3000},   {{128, 1, 1, 3}, 500}};
    for (const auto& [a, n] : cases) {
        expect_sparse_matches_dense(random_events(rng, n, a.width, a.height, 0, 1'000'000), a);
    }
    for (const CoderArgs& a : {CoderArgs{2, 2, 2, 8}, CoderArgs{16, 16, 16, 4}}) {
        EventList all;  // an event at every pixel and timestamp: dense occupancy
        for (std::uint16_t x = 0; x < a.width; ++x)
            for (std::uint16_t y = 0; y < a.height; ++y)
                for (std::uint32_t t = 0; t < a.time_bins; ++t) all.push_back({x, y, t, 0});
        expect_sparse_matches_dense(all, a);
    }
}

TEST(SparseOctreeCoder, HugeGridNeedsNoDenseBuffer) {
    // 2^48 voxels: the dense grid cannot be built, the sparse coder can.
    SparseOctreeCoder coder(65535, 65535, 65535, 255);
    OctreeBitstream bits;
    const EventList events = {{65535, 0, 0, 0}, {0, 65535, 10, 1}};
    EXPECT_EQ(coder.encode(events, bits), 2u);
    // Root, then 16 levels of 8 children per occupied box: the root is the
    // only parent at level 1; the two voxels part there, so every later
    // level has two parents.
    EXPECT_EQ(bits.n_bits, 1u + 8 + 15 * 2 * 8);
}

}  // namespace
}  // namespace zel
