#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/decoder.hpp"
#include "codec/encoder.hpp"
#include "codec/voxel.hpp"
#include "octree_notation.hpp"

namespace zel {
namespace {

using namespace testing_notation;
using Bytes = std::vector<std::uint8_t>;

struct EncodeCase {
    const char* name;
    std::uint64_t dx, dy, dt;
    std::vector<Voxel> voxels;
    std::vector<int> max_depths;  // all give the same stream
    const char* bits;             // spaces only group levels for reading
    Bytes packed;
};

class EncodeOctreeTable : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeOctreeTable, WritesBreadthFirstBits) {
    const EncodeCase& c = GetParam();
    std::string bits = c.bits;
    std::erase(bits, ' ');
    for (int depth : c.max_depths) {
        VoxelGrid g(c.dx, c.dy, c.dt);
        for (const Voxel& v : c.voxels) g.set(v[0], v[1], v[2]);
        const auto max_depth = static_cast<std::uint8_t>(depth);
        const OctreeBitstream out = encode_octree(build_octree(g, max_depth));
        EXPECT_EQ(out.n_bits, bits.size()) << "max_depth " << depth;
        EXPECT_EQ(out.packed, c.packed) << "max_depth " << depth;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, EncodeOctreeTable,
    ::testing::Values(
        EncodeCase{"empty", 2, 2, 2, {}, {0, 1, 200}, "0", {0x00}},
        EncodeCase{"depth0_full", 2, 2, 2, {{1, 0, 0}}, {0}, "1", {0x80}},
        EncodeCase{"one_voxel", 2, 2, 2, {{1, 0, 0}}, {1, 2, 255}, "1 00001000", {0x84, 0x00}},
        EncodeCase{"all_eight", 2, 2, 2,
                   {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 1},
                    {1, 0, 0}, {1, 0, 1}, {1, 1, 0}, {1, 1, 1}},
                   {1, 8}, "1 11111111", {0xFF, 0x80}},
        EncodeCase{"4x2x1", 4, 2, 1, {{0, 0, 0}, {3, 1, 0}}, {8}, "1 1001 10 01", {0xCC, 0x80}},
        EncodeCase{"2x2x4", 2, 2, 4, {{0, 0, 0}, {1, 1, 1}, {1, 1, 2}}, {8},
                   "1 10000011 10 01 10", {0xC1, 0xCC}},
        EncodeCase{"8x8x1_depth1", 8, 8, 1, {{5, 5, 0}}, {1}, "1 0001", {0x88}},
        EncodeCase{"8x8x1_depth2", 8, 8, 1, {{5, 5, 0}}, {2}, "1 0001 1000", {0x8C, 0x00}},
        EncodeCase{"8x8x1_deep", 8, 8, 1, {{5, 5, 0}}, {3, 4, 100}, "1 0001 1000 0001",
                   {0x8C, 0x08}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct DecodeCase {
    const char* name;
    Bytes data;
    std::uint64_t n_bits, dx, dy, dt;
    std::uint8_t max_depth;
    OctreeNode expected;
};

class DecodeOctreeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeOctreeTable, RebuildsTreeFromBits) {
    const DecodeCase& c = GetParam();
    const OctreeNode tree = decode_octree(c.data, c.n_bits, c.dx, c.dy, c.dt, c.max_depth);
    EXPECT_EQ(tree, c.expected);
    std::vector<NodeKind> flat;
    decode_octree_flat(c.data, c.n_bits, c.dx, c.dy, c.dt, c.max_depth, flat);
    EXPECT_EQ(flat, breadth_first_kinds(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, DecodeOctreeTable,
    ::testing::Values(
        DecodeCase{"one_voxel", {0x84, 0x00}, 9, 2, 2, 2, 1,
                   S({E(), E(), E(), E(), F(), E(), E(), E()})},
        DecodeCase{"depth0_ignores_rest", {0x84, 0x00}, 9, 2, 2, 2, 0, F()},
        DecodeCase{"cut_short", {0x84, 0x00}, 5, 2, 2, 2, 1,
                   S({E(), E(), E(), E(), E(), E(), E(), E()})},
        DecodeCase{"other_geometry", {0x84, 0x00}, 9, 4, 2, 1, 8, S({E(), E(), E(), E()})},
        DecodeCase{"zero_bits", {0x84, 0x00}, 0, 2, 2, 2, 1, E()},
        DecodeCase{"empty_data", {}, 9, 2, 2, 2, 1, E()},
        DecodeCase{"empty_data_huge_count", {}, ~std::uint64_t{0}, 2, 2, 2, 1, E()},
        // More bits claimed than the data holds: the missing ones are absent.
        DecodeCase{"count_beyond_data", {0xFF}, 100, 2, 2, 2, 1,
                   S({F(), F(), F(), F(), F(), F(), F(), E()})},
        DecodeCase{"single_voxel_grid", {0x80}, 1, 1, 1, 1, 255, F()},
        // Non-power-of-two extents split into unequal halves (3 -> 1 + 2).
        DecodeCase{"uneven_split", {0xB0}, 4, 3, 1, 1, 5, S({E(), S({F(), E()})})}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(OctreeBitstream, RoundTripsBuiltTrees) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 400; ++trial) {
        // Any extents, not only powers of two, so uneven splits round-trip too.
        const std::uint64_t dx = 1 + rng() % 12, dy = 1 + rng() % 12, dt = 1 + rng() % 20;
        VoxelGrid g(dx, dy, dt);
        const std::uint64_t n = trial % 5 == 0 ? 0 : rng() % (g.volume() / 2 + 2);
        for (std::uint64_t i = 0; i < n; ++i) g.set(rng() % dx, rng() % dy, rng() % dt);
        const auto max_depth = static_cast<std::uint8_t>(rng() % 10);
        const OctreeNode built = build_octree(g, max_depth);
        const OctreeBitstream bits = encode_octree(built);
        ASSERT_EQ(bits.packed.size(), (bits.n_bits + 7) / 8);
        if (bits.n_bits % 8 != 0) {
            EXPECT_EQ(bits.packed.back() & (0xFF >> (bits.n_bits % 8)), 0) << "padding must be 0";
        }
        EXPECT_EQ(bits.n_bits, breadth_first_kinds(built).size());
        ASSERT_EQ(decode_octree(bits.packed, bits.n_bits, dx, dy, dt, max_depth), built);
        std::vector<NodeKind> flat;
        decode_octree_flat(bits.packed, bits.n_bits, dx, dy, dt, max_depth, flat);
        ASSERT_EQ(flat, breadth_first_kinds(built));
    }
}

TEST(DecodeOctreeFlat, MatchesTreeDecoderOnArbitraryBits) {
    std::mt19937_64 rng(3);
    std::vector<NodeKind> flat;  // reused across calls, as the drivers do
    for (int trial = 0; trial < 1500; ++trial) {
        Bytes data(rng() % 12);
        // Mostly-one data makes deep trees; mostly-zero data shallow ones.
        const unsigned density = rng() % 4;
        for (auto& b : data) {
            const std::uint64_t r = density == 0   ? rng()
                                    : density == 1 ? (rng() | rng())
                                                   : (rng() & rng());
            b = static_cast<std::uint8_t>(r);
        }
        const std::uint64_t n_bits = trial % 6 == 0 ? rng() % 200 : rng() % (data.size() * 8 + 1);
        const bool pow2 = trial % 3 != 0;
        const std::uint64_t dx = pow2 ? std::uint64_t{1} << (rng() % 5) : rng() % 9;
        const std::uint64_t dy = pow2 ? std::uint64_t{1} << (rng() % 5) : rng() % 9;
        const std::uint64_t dt = pow2 ? std::uint64_t{1} << (rng() % 6) : rng() % 9;
        const auto max_depth = static_cast<std::uint8_t>(rng() % 21);
        decode_octree_flat(data, n_bits, dx, dy, dt, max_depth, flat);
        ASSERT_EQ(flat, breadth_first_kinds(decode_octree(data, n_bits, dx, dy, dt, max_depth)))
            << "dims " << dx << "x" << dy << "x" << dt << " depth " << int(max_depth) << " n_bits "
            << n_bits << " bytes " << data.size();
    }
}

}  // namespace
}  // namespace zel
