#pragma once

// The probability model of the context-coded occupancy payload: which
// context each child's occupancy bit is coded in, and how the probability of
// a context follows the bits it codes. Encoder and decoder share it, so both
// sides compute the same probability for every decision.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "codec/context_rans.hpp"

namespace zel::context {

// A child's context, from what is known when its bit is coded:
// - level class: how far above the leaves the child's level lies (0 for the
//   leaves, 1, 2, 3 or more), plus 4 when neighbours are not looked up at
//   this level (their bitmaps would be too large for the frame);
// - the child's number within its parent (0..7);
// - touching: for each axis, whether the parent's neighbour on the child's
//   side (the parent level is complete) is occupied;
// - causal: for each axis, whether the child's neighbour one step towards
//   lower coordinates (already coded: lower keys come first) is occupied;
// - siblings: how many of the parent's earlier children are occupied (0, 1,
//   2 or more).
struct ContextIndex {
    static constexpr unsigned kLevelClasses = 8;
    static constexpr unsigned kNoNeighbours = 4;
    static constexpr unsigned kSiblingCounts = 3;
    static constexpr unsigned kPatterns = 64;  // touching << 3 | causal
    static constexpr unsigned kCount = kLevelClasses * 8 * kPatterns * kSiblingCounts;

    static unsigned of(unsigned level_class, unsigned child, unsigned pattern, unsigned siblings) {
        return ((level_class * 8 + child) * kPatterns + pattern) * kSiblingCounts +
               std::min(siblings, kSiblingCounts - 1);
    }

    // The coarse context a context seen for the first time starts from: its
    // level class, how many of its six neighbours are occupied, siblings.
    static constexpr unsigned kCoarseCount = kLevelClasses * 7 * kSiblingCounts;
    static unsigned coarse(unsigned level_class, unsigned pattern, unsigned siblings) {
        const auto occupied = static_cast<unsigned>(std::popcount(pattern));
        return (level_class * 7 + occupied) * kSiblingCounts + std::min(siblings, kSiblingCounts - 1);
    }
};

inline constexpr unsigned kMaxRate = 7;
inline constexpr unsigned kRateSteps = 1u << kMaxRate;
struct RateTable {
    std::array<std::uint8_t, kRateSteps> of{};
    constexpr std::uint8_t operator[](unsigned n) const { return of[n]; }
};
constexpr RateTable make_rates() {
    RateTable t;
    for (unsigned n = 0; n < kRateSteps; ++n) {
        unsigned rate = 0;
        while ((2u << rate) <= n + 2) ++rate;  // floor(log2(n + 2))
        t.of[n] = static_cast<std::uint8_t>(std::clamp(rate, 1u, kMaxRate));
    }
    return t;
}

inline constexpr RateTable kRateOf = make_rates();

// The adaptive probabilities of every context. A context's probability of a
// 1 is kept on a 16-bit scale and moves 2^-rate of the way towards each bit
// it codes. The rate starts fast and slows as the context sees more bits
// (the step is close to 1 / (bits seen + 2), the step of counting on top of
// an even prior), down to 2^-kMaxRate, so a context learns from its first
// few bits and still follows drift later.
class BitModels {
public:
    // A context seen for the first time starts from its coarse context's
    // probability, trusted as much as this many bits of its own.
    static constexpr unsigned kBackoffSeen = 4;

    BitModels() { reset(); }

    void reset() {
        p_.assign(ContextIndex::kCount, static_cast<std::uint16_t>(1u << 15));
        seen_.assign(ContextIndex::kCount, 0);
        coarse_p_.assign(ContextIndex::kCoarseCount, static_cast<std::uint16_t>(1u << 15));
        coarse_seen_.assign(ContextIndex::kCoarseCount, 0);
    }

    // The coding probability of a 1 in `context` (on the 12-bit scale,
    // never 0 or 4096); update() then learns from the bit coded with it.
    std::uint32_t predict(unsigned context, unsigned coarse) {
        context_ = context;
        coarse_ = coarse;
        if (seen_[context] == 0) {
            p_[context] = coarse_p_[coarse];
            seen_[context] = kBackoffSeen;
        }
        const std::uint32_t p = p_[context] >> (16 - kProbBits);
        return std::clamp<std::uint32_t>(p, 1, kProbScale - 1);
    }

    void update(unsigned bit) {
        step(p_[context_], seen_[context_], bit);
        step(coarse_p_[coarse_], coarse_seen_[coarse_], bit);
    }

private:
    static void step(std::uint16_t& p, std::uint8_t& seen, unsigned bit) {
        const int rate = kRateOf[seen];
        seen = static_cast<std::uint8_t>(seen + (seen < kRateSteps - 1 ? 1 : 0));
        const int target = bit ? 65535 : 0;
        p = static_cast<std::uint16_t>(p + ((target - p) >> rate));
    }

    std::vector<std::uint16_t> p_;
    std::vector<std::uint8_t> seen_;
    std::vector<std::uint16_t> coarse_p_;
    std::vector<std::uint8_t> coarse_seen_;
    unsigned context_ = 0;
    unsigned coarse_ = 0;
};

}  // namespace zel::context
