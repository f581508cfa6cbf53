#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "codec/key_interleave.hpp"

namespace zel {
namespace {

using Positions = KeyInterleaver::Positions;

// Key bit positions as the coder lays them out: disjoint, rising per axis.
Positions random_layout(const std::array<unsigned, kAxes>& log2, std::mt19937_64& rng) {
    std::vector<unsigned> slots(kMaxKeyBits);
    std::iota(slots.begin(), slots.end(), 0u);
    std::shuffle(slots.begin(), slots.end(), rng);
    Positions position{};
    std::size_t next = 0;
    for (unsigned a = 0; a < 3; ++a) {
        std::vector<unsigned> mine(slots.begin() + static_cast<std::ptrdiff_t>(next),
                                   slots.begin() + static_cast<std::ptrdiff_t>(next + log2[a]));
        next += log2[a];
        std::sort(mine.begin(), mine.end());
        std::copy(mine.begin(), mine.end(), position[a].begin());
    }
    return position;
}

std::uint64_t scatter_bit_by_bit(const std::array<unsigned, 3>& log2, const Positions& position,
                                 const std::array<std::uint64_t, 3>& coords) {
    std::uint64_t key = 0;
    for (unsigned a = 0; a < 3; ++a) {
        for (unsigned b = 0; b < log2[a]; ++b) key |= ((coords[a] >> b) & 1u) << position[a][b];
    }
    return key;
}

// Axis extents from a single voxel to 2^16, mixed, with coordinates at both
// ends of each axis and random between.
TEST(KeyInterleaver, TablesAndBitDepositMatchBitByBitScatter) {
    std::mt19937_64 rng(48);
    const std::vector<std::array<unsigned, 3>> shapes = {
        {0, 0, 0}, {1, 0, 0}, {0, 0, 16}, {9, 9, 6}, {9, 9, 8}, {11, 10, 6}, {16, 16, 16}, {16, 1, 8}, {8, 16, 0}};
#ifdef ZEL_HAVE_BIT_DEPOSIT
    const bool have_bmi2 = __builtin_cpu_supports("bmi2");
#endif
    for (const auto& log2 : shapes) {
        for (int layout = 0; layout < 20; ++layout) {
            const Positions position = random_layout(log2, rng);
            const KeyInterleaver keyer(log2, position);
            for (int i = 0; i < 500; ++i) {
                std::array<std::uint64_t, 3> c{};
                for (unsigned a = 0; a < 3; ++a) {
                    const std::uint64_t last = (std::uint64_t{1} << log2[a]) - 1;
                    c[a] = i == 0 ? 0 : i == 1 ? last : rng() & last;
                }
                const std::uint64_t expected = scatter_bit_by_bit(log2, position, c);
                ASSERT_EQ(keyer.by_tables(c[0], c[1], c[2]), expected);
#ifdef ZEL_HAVE_BIT_DEPOSIT
                if (have_bmi2) {
                    ASSERT_EQ(interleave_by_deposit(keyer.masks(), c[0], c[1], c[2]), expected);
                }
#endif
            }
        }
    }
}

}  // namespace
}  // namespace zel
