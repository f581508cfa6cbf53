#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/level_bitmaps.hpp"

namespace zel {
namespace {

// The stream by definition: the root's bit, then level by level, for every
// occupied node of the level above in order, its children's occupancy,
// first child first. A node's occupancy is the OR of its voxels.
std::vector<std::uint8_t> stream_by_definition(const std::vector<bool>& voxels,
                                               const std::vector<unsigned>& level_bits,
                                               unsigned depth, std::uint64_t& n_bits) {
    const unsigned levels = static_cast<unsigned>(level_bits.size()) - 1;
    std::vector<bool> bits{true};
    auto occupied = [&](unsigned j, std::uint64_t node) {
        unsigned below = 0;
        for (unsigned k = j + 1; k <= levels; ++k) below += level_bits[k];
        for (std::uint64_t v = node << below; v < (node + 1) << below; ++v) {
            if (voxels[v]) return true;
        }
        return false;
    };
    unsigned above = 0;
    for (unsigned j = 1; j <= depth; ++j) {
        for (std::uint64_t parent = 0; parent < (std::uint64_t{1} << above); ++parent) {
            if (!occupied(j - 1, parent)) continue;
            for (std::uint64_t c = 0; c < (std::uint64_t{1} << level_bits[j]); ++c) {
                bits.push_back(occupied(j, (parent << level_bits[j]) | c));
            }
        }
        above += level_bits[j];
    }
    n_bits = bits.size();
    std::vector<std::uint8_t> packed((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i]) packed[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    }
    return packed;
}

struct Case {
    std::vector<unsigned> level_bits;  // index 0 unused
    double density;
};

// Level widths of real trees (three axes, then two, then one) and of odd
// ones, dense and sparse, with every depth cut; the portable code and the
// bit-extract code (where the CPU has it) must both give the definition's
// stream.
TEST(LevelBitmaps, StreamMatchesTheDefinitionOnBothCodePaths) {
    const std::vector<Case> cases = {
        {{0, 3}, 0.5},          {{0, 1}, 0.5},          {{0, 3, 3, 3}, 0.02},
        {{0, 3, 3, 2, 2, 1}, 0.3}, {{0, 3, 3, 3, 2, 2, 2}, 0.004}, {{0, 2, 2, 2, 2, 2, 2, 2}, 0.9},
        {{0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 0.001}, {{0, 3, 3, 3, 3, 3, 3}, 0.0005},
        {{0, 2, 3, 1, 3}, 0.05}};
    std::mt19937_64 rng(12);
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const Case& c = cases[index];
        const unsigned levels = static_cast<unsigned>(c.level_bits.size()) - 1;
        unsigned total = 0;
        for (unsigned j = 1; j <= levels; ++j) total += c.level_bits[j];
        const std::uint64_t size = std::uint64_t{1} << total;
        std::vector<bool> voxels(size);
        std::vector<std::uint64_t> bitmap((size + 63) / 64, 0);
        std::uint64_t ones = 0;
        std::bernoulli_distribution set(c.density);
        for (std::uint64_t v = 0; v < size; ++v) {
            if (v == 0 || set(rng)) {  // never empty: the coder only builds occupied trees
                voxels[v] = true;
                bitmap[v / 64] |= std::uint64_t{1} << (v % 64);
                ++ones;
            }
        }
        for (const bool extract : {false, true}) {
            LevelBitmaps built(extract);
            built.build(bitmap.data(), c.level_bits.data(), levels);
            EXPECT_EQ(built.occupied(), ones);
            for (unsigned depth = 0; depth <= levels; ++depth) {
                SCOPED_TRACE("case " + std::to_string(index) + " depth " + std::to_string(depth) +
                             (extract ? " bit extract" : " portable"));
                std::uint64_t expected_bits = 0;
                const auto expected = stream_by_definition(voxels, c.level_bits, depth, expected_bits);
                std::vector<std::uint8_t> got(3, 0xAB);  // stale contents must not leak
                built.write_stream(depth, got);
                EXPECT_EQ(built.stream_bits(depth), expected_bits);
                EXPECT_EQ(got, expected);
            }
        }
    }
}

}  // namespace
}  // namespace zel
