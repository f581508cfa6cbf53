#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "codec/voxel.hpp"

namespace zel {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

TEST(NextPow2, RoundsUpToPowerOfTwo) {
    const std::vector<std::pair<std::uint16_t, std::uint64_t>> cases = {
        {0, 1},    {1, 1},      {2, 2},       {3, 4},       {5, 8},     {34, 64},
        {64, 64},  {346, 512},  {480, 512},   {640, 1024},  {32768, 32768},
        {32769, 65536}, {65535, 65536}};
    for (const auto& [n, expected] : cases) EXPECT_EQ(next_pow2(n), expected) << "n=" << n;
}

TEST(TruncateToU64, TruncatesAndSaturates) {
    const double largest_below_2_64 = std::nextafter(18446744073709551616.0, 0.0);
    const std::vector<std::pair<double, std::uint64_t>> cases = {
        {std::nan(""), 0},
        {-1.5, 0},
        {-0.0, 0},
        {0.0, 0},
        {0.999999, 0},
        {1.0, 1},
        {62.99999999999999, 62},
        {9007199254740992.0, 9007199254740992ull},
        {largest_below_2_64, static_cast<std::uint64_t>(largest_below_2_64)},
        {18446744073709551616.0, kU64Max},
        {1e300, kU64Max},
        {std::numeric_limits<double>::infinity(), kU64Max},
    };
    for (const auto& [v, expected] : cases) EXPECT_EQ(truncate_to_u64(v), expected) << "v=" << v;
}

struct VoxelizeCase {
    const char* name;
    EventList events;
    std::uint16_t width, height, time_bins;
    std::uint64_t dim_x, dim_y, dim_t;
    std::vector<std::array<std::uint64_t, 3>> voxels;  // distinct voxels set
    std::vector<std::uint8_t> bytes;                   // checked when given
};

class VoxelizeTable : public ::testing::TestWithParam<VoxelizeCase> {};

TEST_P(VoxelizeTable, SetsExactlyTheExpectedVoxels) {
    const VoxelizeCase& c = GetParam();
    const VoxelGrid g = voxelize(c.events, c.width, c.height, c.time_bins);
    ASSERT_EQ(g.dim_x, c.dim_x);
    ASSERT_EQ(g.dim_y, c.dim_y);
    ASSERT_EQ(g.dim_t, c.dim_t);
    EXPECT_EQ(g.occupied, c.voxels.size());
    ASSERT_EQ(g.bytes().size(), (g.volume() + 7) / 8);
    std::set<std::uint64_t> expected;
    for (const auto& v : c.voxels) expected.insert(g.voxel_index(v[0], v[1], v[2]));
    for (std::uint64_t i = 0; i < g.bytes().size() * 8; ++i) {
        EXPECT_EQ(g.test(i), expected.count(i) == 1) << "voxel index " << i;
    }
    if (!c.bytes.empty()) {
        EXPECT_EQ(std::vector<std::uint8_t>(g.bytes().begin(), g.bytes().end()), c.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, VoxelizeTable,
    ::testing::Values(
        VoxelizeCase{"empty", {}, 2, 2, 2, 2, 2, 2, {}, {0x00}},
        VoxelizeCase{"single", {{1, 0, 5, 0}}, 2, 2, 2, 2, 2, 2, {{1, 0, 0}}, {0x10}},
        VoxelizeCase{"three_bins",
                     {{0, 0, 0, 0}, {1, 1, 50, 0}, {1, 1, 100, 0}},
                     2, 2, 3, 2, 2, 4,
                     {{0, 0, 0}, {1, 1, 1}, {1, 1, 2}},
                     {0x01, 0x60}},
        VoxelizeCase{"seven_events_four_bins",
                     {{0, 0, 0, 0}, {0, 0, 33, 0}, {0, 0, 34, 0}, {0, 0, 66, 0},
                      {0, 0, 67, 0}, {0, 0, 99, 0}, {0, 0, 100, 0}},
                     1, 1, 4, 1, 1, 4,
                     {{0, 0, 0}, {0, 0, 1}, {0, 0, 2}, {0, 0, 3}},
                     {0x0F}},
        VoxelizeCase{"same_voxel_counts_once",
                     {{1, 1, 10, 0}, {1, 1, 10, 1}, {1, 1, 10, 200}},
                     2, 2, 2, 2, 2, 2, {{1, 1, 0}}, {}},
        VoxelizeCase{"equal_timestamps_bin_zero",
                     {{0, 0, 9, 0}, {3, 2, 9, 1}},
                     4, 4, 16, 4, 4, 16, {{0, 0, 0}, {3, 2, 0}}, {}},
        VoxelizeCase{"zero_width_and_height",
                     {{5, 9, 0, 0}, {0, 0, 10, 0}},
                     0, 0, 2, 1, 1, 2, {{0, 0, 0}, {0, 0, 1}}, {}},
        VoxelizeCase{"clamp_to_rounded_width",
                     {{9, 0, 0, 0}}, 8, 1, 1, 8, 1, 1, {{7, 0, 0}}, {}},
        VoxelizeCase{"beyond_width_but_inside_grid",
                     {{40, 0, 0, 0}, {70, 3, 0, 0}}, 34, 2, 1, 64, 2, 1,
                     {{40, 0, 0}, {63, 1, 0}}, {}},
        VoxelizeCase{"bins_past_time_bins_stay_empty",
                     {{0, 0, 0, 0}, {0, 0, 50, 0}, {0, 0, 100, 0}},
                     1, 1, 5, 1, 1, 8, {{0, 0, 0}, {0, 0, 2}, {0, 0, 4}}, {0x15}},
        VoxelizeCase{"double_rounding_decides",
                     {{0, 0, 0, 0}, {0, 0, 7, 0}, {0, 0, 10, 0}},
                     1, 1, 91, 1, 1, 128, {{0, 0, 0}, {0, 0, 62}, {0, 0, 90}}, {}},
        VoxelizeCase{"full_u32_span",
                     {{0, 0, 4294967295u, 0}, {0, 0, 0, 0}, {0, 0, 2147483648u, 0}},
                     1, 1, 65535, 1, 1, 65536, {{0, 0, 65534}, {0, 0, 0}, {0, 0, 32767}}, {}},
        VoxelizeCase{"two_bins_only_tmax_in_last",
                     {{0, 0, 0, 0}, {0, 0, 99, 0}, {1, 0, 100, 0}}, 2, 1, 2, 2, 1, 2,
                     {{0, 0, 0}, {1, 0, 1}}, {0x09}},
        VoxelizeCase{"time_bins_zero",
                     {{0, 0, 0, 0}, {0, 0, 100, 0}}, 1, 1, 0, 1, 1, 1, {{0, 0, 0}}, {0x01}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(VoxelGrid, BufferSizeAndZeroFill) {
    using Case = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::size_t>;
    const std::vector<Case> cases = {
        {1, 1, 1, 1}, {2, 2, 1, 1}, {2, 2, 2, 1}, {4, 4, 4, 8}, {3, 1, 3, 2}, {1, 1, 17, 3},
        {kU64Max, kU64Max, 0, 0}};
    for (const auto& [x, y, t, bytes] : cases) {
        const VoxelGrid g(x, y, t);
        ASSERT_EQ(g.bytes().size(), bytes);
        EXPECT_EQ(g.occupied, 0u);
        for (std::uint8_t b : g.bytes()) EXPECT_EQ(b, 0);
    }
}

TEST(VoxelGrid, ImpossibleSizesThrowBadAllocWithoutAllocating) {
    // Products that overflow 64 bits, one where (product + 7) would wrap, and
    // buffers larger than any address space.
    const std::vector<std::array<std::uint64_t, 3>> cases = {
        {std::uint64_t{1} << 32, std::uint64_t{1} << 32, std::uint64_t{1} << 32},
        {kU64Max, 1, 1},
        {std::uint64_t{1} << 26, std::uint64_t{1} << 26, 1},
    };
    for (const auto& d : cases) {
        EXPECT_THROW(VoxelGrid(d[0], d[1], d[2]), std::bad_alloc)
            << d[0] << "x" << d[1] << "x" << d[2];
    }
}

// Reference answer for box_occupied: every voxel visited.
bool box_brute_force(const VoxelGrid& g, std::uint64_t x0, std::uint64_t y0, std::uint64_t t0,
                     std::uint64_t dx, std::uint64_t dy, std::uint64_t dt) {
    for (std::uint64_t x = x0; x < x0 + dx; ++x)
        for (std::uint64_t y = y0; y < y0 + dy; ++y)
            for (std::uint64_t t = t0; t < t0 + dt; ++t)
                if (g.test(g.voxel_index(x, y, t))) return true;
    return false;
}

TEST(BoxOccupied, MatchesVoxelScanOnRandomGridsAndBoxes) {
    std::mt19937_64 rng(7);
    // Long time rows exercise the word loop; short ones the single-byte masks.
    const std::vector<std::array<std::uint64_t, 3>> dims = {
        {1, 1, 1},   {2, 2, 2},   {4, 2, 1},  {1, 1, 256},
        {3, 5, 7},   {4, 4, 128}, {8, 8, 16}, {2, 1, 1000}};
    for (const auto& d : dims) {
        for (int trial = 0; trial < 40; ++trial) {
            VoxelGrid g(d[0], d[1], d[2]);
            const std::uint64_t volume = g.volume();
            // From empty to dense, and single far-apart voxels.
            const std::uint64_t most = trial % 3 == 0 ? 3 : volume / 4 + 2;
            const std::uint64_t n_set = trial % 4 == 0 ? 0 : rng() % most;
            for (std::uint64_t s = 0; s < n_set; ++s) {
                g.set(rng() % d[0], rng() % d[1], rng() % d[2]);
            }
            for (int q = 0; q < 60; ++q) {
                const std::uint64_t x0 = rng() % d[0], y0 = rng() % d[1], t0 = rng() % d[2];
                const std::uint64_t dx = rng() % (d[0] - x0 + 1);
                const std::uint64_t dy = rng() % (d[1] - y0 + 1);
                const std::uint64_t dt = q % 5 == 0 ? d[2] - t0 : rng() % (d[2] - t0 + 1);
                ASSERT_EQ(g.box_occupied(x0, y0, t0, dx, dy, dt),
                          box_brute_force(g, x0, y0, t0, dx, dy, dt))
                    << "box " << x0 << "," << y0 << "," << t0 << " + " << dx << "," << dy << ","
                    << dt;
            }
            // Whole-row and whole-grid boxes take the contiguous shortcut.
            ASSERT_EQ(g.box_occupied(0, 0, 0, d[0], d[1], d[2]), g.occupied > 0);
            for (std::uint64_t x = 0; x < d[0]; ++x) {
                ASSERT_EQ(g.box_occupied(x, 0, 0, 1, d[1], d[2]),
                          box_brute_force(g, x, 0, 0, 1, d[1], d[2]));
            }
        }
    }
}

TEST(BoxOccupied, SingleVoxelAtEveryBitPosition) {
    // One set voxel per grid, probed with boxes ending just before, on and
    // just after it, catches off-by-one masks at byte edges.
    for (std::uint64_t t_set = 0; t_set < 40; ++t_set) {
        VoxelGrid g(1, 3, 40);
        g.set(0, 1, t_set);
        for (std::uint64_t t0 = 0; t0 < 40; ++t0) {
            for (std::uint64_t dt = 0; t0 + dt <= 40; ++dt) {
                const bool expected = dt > 0 && t0 <= t_set && t_set < t0 + dt;
                ASSERT_EQ(g.box_occupied(0, 1, t0, 1, 1, dt), expected);
                ASSERT_FALSE(g.box_occupied(0, 0, t0, 1, 1, dt));
                ASSERT_FALSE(g.box_occupied(0, 2, t0, 1, 1, dt));
            }
        }
    }
}

// Long rows are scanned a machine word at a time; a set voxel just past a
// word or byte edge must not leak into a box that stops short of it.
class BoxOccupiedLongRow : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(BoxOccupiedLongRow, SeesOnlyVoxelsInsideTheBox) {
    const std::uint64_t set_at = GetParam();
    VoxelGrid g(1, 1, 256);
    g.set(0, 0, set_at);
    for (std::uint64_t t0 : {0u, 1u, 7u, 8u, 56u, 63u, 64u, 65u, 66u, 67u, 128u}) {
        for (std::uint64_t dt = 1; t0 + dt <= 256; ++dt) {
            const bool expected = t0 <= set_at && set_at < t0 + dt;
            ASSERT_EQ(g.box_occupied(0, 0, t0, 1, 1, dt), expected)
                << "voxel " << set_at << ", box " << t0 << " + " << dt;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(WordAndByteEdges, BoxOccupiedLongRow,
                         ::testing::Values(0, 7, 8, 63, 64, 65, 66, 71, 72, 127, 128, 129, 255));

}  // namespace
}  // namespace zel
