#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "codec/time_binner.hpp"
#include "codec/voxel.hpp"

// TimeBinner against time_slot, the double rule the reference drivers use,
// with time_slot's cap out of the way.

namespace zel {
namespace {

constexpr std::uint64_t kNoCap = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kMaxSpan = std::numeric_limits<std::uint32_t>::max();

std::uint64_t reference(std::uint32_t d, std::uint32_t span, std::uint16_t count) {
    return time_slot(d, TimeRange{0, span}, count, kNoCap);
}

// Counts that matter: none, one bin, small and prime scales, powers of two
// either side, the largest.
const std::vector<std::uint16_t> kCounts = {0,   1,   2,    3,    7,     16,    50,    64,
                                            65,  256, 257,  1000, 4096,  32768, 65534, 65535};

TEST(TimeBinner, MatchesDoubleRuleForEverySmallSpanAndOffset) {
    for (const std::uint16_t count : kCounts) {
        for (std::uint32_t span = 1; span <= 700; ++span) {
            const TimeBinner binner(span, count);
            for (std::uint32_t d = 0; d <= span; ++d) {
                ASSERT_EQ(binner.bin(d), reference(d, span, count))
                    << "d=" << d << " span=" << span << " count=" << count;
            }
        }
    }
}

TEST(TimeBinner, KeepsTheDoubleRoundingBelowAnExactInteger) {
    // 1 / 49 * 49 is 0.9999999999999999 in double: bin 0, not the exact 1.
    EXPECT_EQ(TimeBinner(49, 50).bin(1), 0u);
    EXPECT_EQ(reference(1, 49, 50), 0u);
}

TEST(TimeBinner, MatchesDoubleRuleAtExtremeSpans) {
    std::vector<std::uint32_t> spans = {kMaxSpan, kMaxSpan - 1, 1'000'000, 999'983, 3, 65535, 65536,
                                        65537};
    for (unsigned k = 17; k < 32; ++k) {
        spans.push_back(std::uint32_t{1} << k);
        spans.push_back((std::uint32_t{1} << k) - 1);
        spans.push_back((std::uint32_t{1} << k) + 1);
    }
    std::mt19937_64 rng(11);
    for (const std::uint32_t span : spans) {
        for (const std::uint16_t count : kCounts) {
            const TimeBinner binner(span, count);
            std::vector<std::uint32_t> offsets = {0, 1, 2, span / 2, span - 1, span};
            // Offsets whose exact bin is an integer, where only the
            // fallback keeps the double's rounding.
            const std::uint64_t scale = count == 0 ? 1 : std::max<std::uint64_t>(count - 1, 1);
            const std::uint64_t step = span / std::gcd<std::uint64_t>(span, scale);
            for (std::uint64_t d = step; d <= span && offsets.size() < 2000; d += step) {
                offsets.push_back(static_cast<std::uint32_t>(d));
            }
            for (int i = 0; i < 2000; ++i) {
                offsets.push_back(static_cast<std::uint32_t>(rng() % (std::uint64_t{span} + 1)));
            }
            for (const std::uint32_t d : offsets) {
                ASSERT_EQ(binner.bin(d), reference(d, span, count))
                    << "d=" << d << " span=" << span << " count=" << count;
            }
        }
    }
}

TEST(TimeBinner, MatchesDoubleRuleOnRandomSpansAndCounts) {
    std::mt19937_64 rng(64);
    for (int round = 0; round < 20'000; ++round) {
        // Spans spread over every magnitude, counts over the whole range.
        const unsigned bits = 1 + static_cast<unsigned>(rng() % 32);
        const auto span = static_cast<std::uint32_t>(
            std::max<std::uint64_t>(1, rng() & ((std::uint64_t{1} << bits) - 1)));
        const auto count = static_cast<std::uint16_t>(rng());
        const TimeBinner binner(span, count);
        for (int i = 0; i < 100; ++i) {
            const auto d = static_cast<std::uint32_t>(rng() % (std::uint64_t{span} + 1));
            ASSERT_EQ(binner.bin(d), reference(d, span, count))
                << "d=" << d << " span=" << span << " count=" << count;
        }
    }
}

}  // namespace
}  // namespace zel
