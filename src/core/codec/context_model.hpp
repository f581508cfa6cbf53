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

    // A third view: the parent's own occupied siblings and how many of its
    // blocks two bins earlier and later are occupied (0..2), with the
    // child's number, its siblings and its occupied neighbours.
    static constexpr unsigned kThirdCount = kLevelClasses * 8 * kSiblingCounts * 4 * 4 * 7;
    static unsigned third(unsigned level_class, unsigned child, unsigned siblings,
                          unsigned parent_siblings, unsigned column, unsigned occupied) {
        return ((((level_class * 8 + child) * kSiblingCounts + std::min(siblings, kSiblingCounts - 1)) * 4 +
                 std::min(parent_siblings, 3u)) * 4 + std::min(column, 3u)) * 7 + occupied;
    }

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

// Logistic mixing in integers, so encoder and decoder agree on every
// machine: squash(d) = 4096 / (1 + e^(-d / 256)) by interpolation between
// 33 points, stretch its inverse over the 12-bit scale.
inline constexpr int kSquashPoints[33] = {1,    2,    3,    6,    10,   16,   27,   45,   73,
                                        120,  194,  310,  488,  747,  1101, 1546, 2047, 2549,
                                        2994, 3348, 3607, 3785, 3901, 3975, 4022, 4050, 4068,
                                        4079, 4085, 4089, 4092, 4093, 4094};

constexpr int squash(int d) {
    if (d > 2047) return 4095;
    if (d < -2047) return 1;
    const int w = d & 127;
    const int i = (d >> 7) + 16;
    return (kSquashPoints[i] * (128 - w) + kSquashPoints[i + 1] * w + 64) >> 7;
}

struct StretchTable {
    std::array<std::int16_t, 4096> of{};
};
constexpr StretchTable make_stretch_table() {
    StretchTable t;
    int next = 0;
    for (int d = -2047; d <= 2047; ++d) {
        const int v = squash(d);
        for (int p = next; p <= v; ++p) t.of[static_cast<std::size_t>(p)] = static_cast<std::int16_t>(d);
        next = std::max(next, v + 1);
    }
    for (int p = next; p < 4096; ++p) t.of[static_cast<std::size_t>(p)] = 2047;
    return t;
}
inline constexpr StretchTable kStretch = make_stretch_table();

// The adaptive probabilities of every context, in three views of each bit
// (the fine context, its coarse context, and the third view of parent
// siblings and the parent's block two bins away), mixed in the logistic
// domain by weights that learn which view to trust at each level class
// and for how experienced a fine context is. Each view's probability of a
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
        third_p_.assign(ContextIndex::kThirdCount, static_cast<std::uint16_t>(1u << 15));
        third_seen_.assign(ContextIndex::kThirdCount, 0);
        for (auto& w : weights_) w = {kInitialFine, kInitialCoarse, kInitialThird, 0};
    }

    // The coding probability of a 1 in `context` (on the 12-bit scale,
    // never 0 or 4096); update() then learns from the bit coded with it.
    std::uint32_t predict(unsigned context, unsigned coarse, unsigned third) {
        context_ = context;
        coarse_ = coarse;
        third_ = third;
        if (seen_[context] == 0) {
            p_[context] = coarse_p_[coarse];
            seen_[context] = kBackoffSeen;
        }
        const auto& stretch = kStretch.of;
        in_fine_ = stretch[p_[context] >> 4];
        in_coarse_ = stretch[coarse_p_[coarse] >> 4];
        in_third_ = stretch[third_p_[third] >> 4];
        const unsigned seen = seen_[context];
        mixer_ = (coarse / (7 * ContextIndex::kSiblingCounts)) * 4 +
                 (seen < 8 ? 0u : seen < 24 ? 1u : seen < 64 ? 2u : 3u);
        const std::int32_t* w = weights_[mixer_].data();
        const std::int64_t dot = std::int64_t{w[0]} * in_fine_ + std::int64_t{w[1]} * in_coarse_ +
                                 std::int64_t{w[2]} * in_third_ + std::int64_t{w[3]} * 256;
        mixed_ = squash(static_cast<int>(std::clamp<std::int64_t>(dot >> 16, -2047, 2047)));
        return static_cast<std::uint32_t>(std::clamp(mixed_, 1, 4095));
    }

    void update(unsigned bit) {
        step(p_[context_], seen_[context_], bit);
        step(coarse_p_[coarse_], coarse_seen_[coarse_], bit);
        step(third_p_[third_], third_seen_[third_], bit);
        const int error = (static_cast<int>(bit) << 12) - mixed_;
        std::int32_t* w = weights_[mixer_].data();
        // Weights stay within +-64 (16.16), which no useful mix leaves, so
        // no frame however long can overflow them.
        const auto learn = [error](std::int32_t& weight, int input) {
            weight = std::clamp(weight + ((input * error) >> kMixShift), -kWeightLimit, kWeightLimit);
        };
        learn(w[0], in_fine_);
        learn(w[1], in_coarse_);
        learn(w[2], in_third_);
        learn(w[3], 256);
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
    std::vector<std::uint16_t> third_p_;
    std::vector<std::uint8_t> third_seen_;
    unsigned third_ = 0;
    int in_third_ = 0;
    unsigned context_ = 0;
    unsigned coarse_ = 0;
    static constexpr int kMixShift = 10;
    static constexpr std::int32_t kWeightLimit = std::int32_t{1} << 22;
    static constexpr std::int32_t kInitialFine = 40000, kInitialCoarse = 15000, kInitialThird = 10000;
    std::array<std::array<std::int32_t, 4>, ContextIndex::kLevelClasses * 4> weights_{};
    int in_fine_ = 0, in_coarse_ = 0, mixed_ = 2048;
    unsigned mixer_ = 0;
};

}  // namespace zel::context
