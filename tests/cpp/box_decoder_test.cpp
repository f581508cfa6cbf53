#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "codec/box_decoder.hpp"
#include "codec/decoder.hpp"
#include "codec/encoder.hpp"
#include "codec/rans.hpp"
#include "codec/voxel.hpp"
#include "container/frame_decoder.hpp"

namespace zel {
namespace {

// Leaves of a node tree with their boxes, by plain recursion over the split
// rule: the reference the level-by-level decoder must agree with.
void collect_leaves(const OctreeNode& node, std::uint64_t x, std::uint64_t y, std::uint64_t t,
                    std::uint64_t dx, std::uint64_t dy, std::uint64_t dt,
                    std::vector<LeafBox>& out) {
    if (node.kind == NodeKind::Full) {
        out.push_back({static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                       static_cast<std::uint16_t>(t), static_cast<std::uint32_t>(dx),
                       static_cast<std::uint32_t>(dy), static_cast<std::uint32_t>(dt)});
        return;
    }
    const AxisSplit sx = split_axis(dx), sy = split_axis(dy), st = split_axis(dt);
    std::size_t c = 0;
    for (unsigned ix = 0; ix < sx.parts && !node.children.empty(); ++ix)
        for (unsigned iy = 0; iy < sy.parts; ++iy)
            for (unsigned it = 0; it < st.parts; ++it, ++c)
                collect_leaves(node.children[c], x + sx.offset[ix], y + sy.offset[iy],
                               t + st.offset[it], sx.extent[ix], sy.extent[iy], st.extent[it],
                               out);
}

auto as_tuple(const LeafBox& b) { return std::tuple(b.x, b.y, b.bin, b.dx, b.dy, b.dbin); }

std::vector<LeafBox> sorted(std::vector<LeafBox> v) {
    std::sort(v.begin(), v.end(),
              [](const LeafBox& a, const LeafBox& b) { return as_tuple(a) < as_tuple(b); });
    return v;
}

class BoxDecoderAgreesWithTree
    : public ::testing::TestWithParam<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> {};

TEST_P(BoxDecoderAgreesWithTree, EveryDepth) {
    const auto [dx, dy, dt] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(dx * 131 + dy * 7 + dt));
    VoxelGrid grid(dx, dy, dt);
    const std::uint64_t n = std::max<std::uint64_t>(1, grid.volume() / 9);
    for (std::uint64_t i = 0; i < n; ++i) grid.set(rng() % dx, rng() % dy, rng() % dt);
    for (unsigned depth = 0; depth <= 9; ++depth) {
        const OctreeNode tree = build_octree(grid, static_cast<std::uint8_t>(depth));
        const OctreeBitstream bits = encode_octree(tree);
        std::vector<LeafBox> expected;
        collect_leaves(tree, 0, 0, 0, dx, dy, dt, expected);
        const LeafDecode got = decode_leaf_boxes(bits.packed, bits.n_bits, dx, dy, dt,
                                                 static_cast<std::uint8_t>(depth), 1u << 30);
        EXPECT_FALSE(got.too_many);
        EXPECT_EQ(got.bits_used, bits.n_bits) << depth;
        EXPECT_EQ(sorted(got.boxes.list()), sorted(expected)) << depth;
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, BoxDecoderAgreesWithTree,
                         ::testing::Values(std::tuple(1, 1, 1), std::tuple(2, 2, 2),
                                           std::tuple(16, 8, 1), std::tuple(4, 32, 64),
                                           std::tuple(64, 64, 4), std::tuple(1, 1, 128)));

TEST(BoxDecoder, StopsAtTheBoxLimitAndReportsIt) {
    VoxelGrid grid(4, 4, 1);
    for (std::uint64_t x = 0; x < 4; ++x) grid.set(x, x, 0);
    const OctreeBitstream bits = encode_octree(build_octree(grid, 8));
    EXPECT_TRUE(decode_leaf_boxes(bits.packed, bits.n_bits, 4, 4, 1, 8, 3).too_many);
    EXPECT_FALSE(decode_leaf_boxes(bits.packed, bits.n_bits, 4, 4, 1, 8, 4).too_many);
}

// A forged tree may set many inner nodes and no leaf under them; the level
// that holds more set nodes than there can be boxes is refused before the
// next level's origins are stored.
TEST(BoxDecoder, RefusesAnInnerLevelWiderThanTheBoxLimit) {
    std::vector<std::uint8_t> data(10, 0x00);
    data[0] = 0xFF;  // root, then seven of the root's eight children
    data[1] = 0x80;  // the eighth; all 64 grandchildren are empty
    EXPECT_TRUE(decode_leaf_boxes(data, 73, 4, 4, 4, 8, 7).too_many);
    const LeafDecode eight = decode_leaf_boxes(data, 73, 4, 4, 4, 8, 8);
    EXPECT_FALSE(eight.too_many);
    EXPECT_TRUE(eight.boxes.empty());
    EXPECT_EQ(eight.bits_used, 73u);
}

TEST(BoxDecoder, RecordsAreLittleEndianFieldsWithTheLevelsExtent) {
    LeafBoxes boxes;
    boxes.origins = {0x0000'0201'0403'0605ull & 0xFFFF'FFFF'FFFFull, 0xFFFF'FFFF'FFFFull};
    boxes.dx = 0x0A0B0C0D;
    boxes.dy = 256;
    boxes.dbin = 1;
    std::vector<std::uint8_t> out(2 * kBoxRecordBytes, 0xEE);
    write_box_records(boxes, out);
    const std::vector<std::uint8_t> expected{
        0x05, 0x06, 0x03, 0x04, 0x01, 0x02, 0x0D, 0x0C, 0x0B, 0x0A, 0, 1, 0, 0, 1, 0, 0, 0,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0D, 0x0C, 0x0B, 0x0A, 0, 1, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(as_tuple(boxes[0]), std::tuple(0x0605, 0x0403, 0x0201, 0x0A0B0C0Du, 256u, 1u));
}

TEST(BoxDecoder, ShortStreamLeavesNodesEmptyAndCountsWhatItRead) {
    const std::vector<std::uint8_t> data{0x84, 0x00};  // root, then child 4 of 2x2x2
    const LeafDecode five = decode_leaf_boxes(data, 5, 2, 2, 2, 1, 100);
    EXPECT_TRUE(five.boxes.empty());
    EXPECT_EQ(five.bits_used, 5u);
    const LeafDecode nine = decode_leaf_boxes(data, 9, 2, 2, 2, 1, 100);
    ASSERT_EQ(nine.boxes.size(), 1u);
    EXPECT_EQ(as_tuple(nine.boxes[0]), std::tuple(1, 0, 0, 1u, 1u, 1u));
}

// The bound that refuses forged bit counts must never refuse a real stream,
// even the most skewed ones, whose bits cost almost nothing.
TEST(RansBitCapacity, HoldsForExtremeStreams) {
    for (std::uint64_t n_bits : {1ull, 9ull, 1000ull, 100000ull, 3000000ull}) {
        for (std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}, std::uint8_t{0x80},
                                  std::uint8_t{0x5A}}) {
            const std::vector<std::uint8_t> packed((n_bits + 7) / 8, fill);
            const RansStream stream = rans_encode(packed, n_bits);
            EXPECT_GE(container::rans_bit_capacity(stream), n_bits) << n_bits << " " << +fill;
        }
    }
    EXPECT_EQ(container::rans_bit_capacity(std::vector<std::uint8_t>{0, 0, 0, 0, 0x80, 0}), 0u);
    EXPECT_EQ(container::rans_bit_capacity(std::vector<std::uint8_t>{0xff, 0x0f}), 0u);
}

}  // namespace
}  // namespace zel
