#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/rans.hpp"

namespace zel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pack_bits(const std::string& bits) {
    Bytes out((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == '1') out[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
    }
    return out;
}

// The first n_bits of data, padding cleared: what a decoder must return.
Bytes prefix_bits(const Bytes& data, std::uint64_t n_bits) {
    Bytes out(data.begin(), data.begin() + static_cast<std::ptrdiff_t>((n_bits + 7) / 8));
    if (n_bits % 8 != 0) out.back() &= static_cast<std::uint8_t>(0xFF << (8 - n_bits % 8));
    return out;
}

struct StreamCase {
    std::string bits;
    Bytes stream;
};

class RansExamples : public ::testing::TestWithParam<StreamCase> {};

TEST_P(RansExamples, EncodesAndDecodes) {
    const StreamCase& c = GetParam();
    const Bytes packed = pack_bits(c.bits);
    EXPECT_EQ(rans_encode(packed, c.bits.size()), c.stream);
    EXPECT_EQ(rans_decode(c.stream, c.bits.size()), packed);
}

INSTANTIATE_TEST_SUITE_P(Table, RansExamples,
                         ::testing::Values(
                             StreamCase{"", {0x00, 0x08, 0x00, 0x00, 0x80, 0x00}},
                             StreamCase{"0", {0xff, 0x0f, 0x00, 0x08, 0x80, 0x00}},
                             StreamCase{"1", {0x01, 0x00, 0x01, 0x08, 0x80, 0x00}},
                             StreamCase{"1011", {0x00, 0x04, 0x00, 0xc4, 0xbd, 0x04}},
                             StreamCase{"0101010101010101",
                                        {0x00, 0x08, 0xaa, 0x02, 0x80, 0x00, 0xa8, 0x00}}));

TEST(ReciprocalDivider, ExactForEveryFrequencyBelow2To31) {
    std::mt19937_64 rng(17);
    for (std::uint32_t f = 1; f < PROB_SCALE; ++f) {
        const ReciprocalDivider div(f);
        // Around multiples of f at both ends of the range, where an error in
        // the rounding would show first, plus random states.
        std::vector<std::uint32_t> xs = {0, 1, f - 1, f, f + 1, 0x7FFFFFFFu, RANS_L, RANS_L - 1};
        const std::uint32_t top = 0x7FFFFFFFu / f * f;
        for (std::uint32_t d : {0u, 1u, 2u}) {
            xs.push_back(top - d * f);
            xs.push_back(top - d * f - 1);
            xs.push_back(top - d * f + f - 1);
        }
        for (int r = 0; r < 40; ++r) xs.push_back(static_cast<std::uint32_t>(rng() >> 33));
        for (std::uint32_t x : xs) {
            if (x > 0x7FFFFFFFu) continue;
            ASSERT_EQ(div.divide(x), x / f) << "x=" << x << " f=" << f;
        }
    }
}

struct ProbabilityCase {
    std::uint64_t n_bits, zeros;
    std::uint16_t p_zero;
};

TEST(RansPZero, RoundsHalfUpAndClamps) {
    const std::vector<ProbabilityCase> cases = {
        {0, 0, 2048},       // empty input
        {4, 1, 1024},       {3, 1, 1365},  // (4096 + 1) / 3
        {8192, 3, 2},       // 1.5 rounds up
        {8192, 1, 1},       // 0.5 rounds up
        {8, 0, 1},          // all ones: 0 clamps to 1
        {8, 8, 4095},       // all zeros: 4096 clamps to 4095
        {8192, 8191, 4095}, // 4095.5 rounds to 4096, clamped
        {10, 5, 2048},      {7, 2, 1170},  // (8192 + 3) / 7
    };
    for (const ProbabilityCase& c : cases) {
        // Zeros first, ones after; then the same count scattered by a shuffle.
        std::string bits(c.zeros, '0');
        bits.append(c.n_bits - c.zeros, '1');
        EXPECT_EQ(rans_p_zero(pack_bits(bits), c.n_bits), c.p_zero) << c.zeros << "/" << c.n_bits;
        std::shuffle(bits.begin(), bits.end(), std::mt19937_64(c.n_bits));
        const Bytes stream = rans_encode(pack_bits(bits), c.n_bits);
        EXPECT_EQ(stream[0] | (stream[1] << 8), c.p_zero) << c.zeros << "/" << c.n_bits;
        EXPECT_EQ(rans_decode(stream, c.n_bits), pack_bits(bits));
    }
}

TEST(RansEncode, IgnoresBitsPastCount) {
    std::mt19937_64 rng(8);
    for (int trial = 0; trial < 200; ++trial) {
        Bytes data(1 + rng() % 10);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        const std::uint64_t n_bits = rng() % (data.size() * 8 + 1);
        // Garbage after the last counted bit, and whole extra bytes.
        EXPECT_EQ(rans_encode(data, n_bits), rans_encode(prefix_bits(data, n_bits), n_bits));
    }
    // A count beyond the buffer reads zeros rather than past its end.
    EXPECT_EQ(rans_encode(Bytes{0xA0}, 30), rans_encode(Bytes{0xA0, 0, 0, 0}, 30));
}

// Round trip over every bit count of random buffers, at several bit densities.
TEST(RansRoundTrip, EveryBitCountOfRandomBuffers) {
    std::mt19937_64 rng(42);
    for (int trial = 0; trial < 60; ++trial) {
        Bytes data(rng() % 25);
        const int density = trial % 4;
        for (auto& b : data) {
            const std::uint64_t r = density == 0   ? rng()
                                    : density == 1 ? rng() & rng() & rng()
                                    : density == 2 ? rng() | rng() | rng()
                                                   : 0;
            b = static_cast<std::uint8_t>(r);
        }
        for (std::uint64_t n_bits = 0; n_bits <= data.size() * 8; ++n_bits) {
            const Bytes stream = rans_encode(data, n_bits);
            ASSERT_GE(stream.size(), 6u);
            const std::uint32_t state = std::uint32_t{stream[2]} | (std::uint32_t{stream[3]} << 8) |
                                        (std::uint32_t{stream[4]} << 16) |
                                        (std::uint32_t{stream[5]} << 24);
            ASSERT_GE(state, RANS_L);
            ASSERT_LE(state, 0x7FFFFFFFu);
            ASSERT_EQ(rans_decode(stream, n_bits), prefix_bits(data, n_bits))
                << "n_bits " << n_bits << " of " << data.size() << " bytes";
        }
    }
}

TEST(RansRoundTrip, LongSkewedInputs) {
    std::mt19937_64 rng(6);
    for (double p_one : {0.001, 0.02, 0.5, 0.98, 0.9995}) {
        std::bernoulli_distribution one(p_one);
        Bytes data(25000, 0);
        for (std::size_t i = 0; i < data.size() * 8; ++i) {
            if (one(rng)) data[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
        }
        const std::uint64_t n_bits = data.size() * 8 - 3;
        const Bytes stream = rans_encode(data, n_bits);
        EXPECT_EQ(rans_decode(stream, n_bits), prefix_bits(data, n_bits)) << p_one;
    }
}

// The coder written the plain way, symbol by symbol with a dividing encoder
// and a looping renormalisation: the oracle for the word-at-a-time coder.
Bytes plain_encode(const Bytes& packed, std::uint64_t n_bits) {
    const std::uint32_t p = n_bits == 0 ? PROB_SCALE / 2 : rans_p_zero(packed, n_bits);
    std::uint32_t x = RANS_L;
    Bytes emitted;
    for (std::uint64_t i = n_bits; i-- > 0;) {
        const bool one = (unsigned{packed[i / 8]} >> (7 - i % 8)) & 1u;
        const std::uint32_t freq = one ? PROB_SCALE - p : p;
        const std::uint32_t start = one ? p : 0;
        while (x >= ((RANS_L >> PROB_BITS) << 8) * freq) {
            emitted.push_back(static_cast<std::uint8_t>(x));
            x >>= 8;
        }
        x = (x / freq) * PROB_SCALE + x % freq + start;
    }
    Bytes out = {static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8)};
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(x >> (8 * k)));
    out.insert(out.end(), emitted.rbegin(), emitted.rend());
    return out;
}

Bytes plain_decode(const Bytes& stream, std::uint64_t n_bits) {
    const auto at = [&](std::size_t i) -> std::uint32_t { return i < stream.size() ? stream[i] : 0; };
    const std::uint32_t p = at(0) | (at(1) << 8);
    std::uint32_t x = at(2) | (at(3) << 8) | (at(4) << 16) | (at(5) << 24);
    std::size_t r = 6;
    Bytes out((n_bits + 7) / 8, 0);
    for (std::uint64_t i = 0; i < n_bits; ++i) {
        const std::uint32_t s = x & (PROB_SCALE - 1);
        const bool one = s >= p;
        if (one) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
        x = (one ? PROB_SCALE - p : p) * (x >> PROB_BITS) + s - (one ? p : 0);
        while (x < RANS_L) {
            if (r < stream.size()) {
                x = (x << 8) | stream[r++];
            } else if (x == 0) {
                break;
            } else {
                x <<= 8;
            }
        }
    }
    return out;
}

// Bit counts on both sides of the decoder's 64-bit words, densities from
// all-zero to all-one, and streams cut short or made of noise, so that every
// hand-over between the word loop and the bit-by-bit step is taken.
TEST(RansCoder, MatchesPlainCoderOnValidAndMalformedStreams) {
    std::mt19937_64 rng(31);
    for (const std::uint64_t n_bits : {1u, 63u, 64u, 65u, 127u, 128u, 129u, 1000u, 40'000u}) {
        for (const unsigned percent_ones : {0u, 3u, 50u, 97u, 100u}) {
            Bytes data((n_bits + 7) / 8);
            for (std::uint64_t i = 0; i < n_bits; ++i) {
                if (rng() % 100 < percent_ones) data[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
            }
            SCOPED_TRACE(std::to_string(n_bits) + " bits, " + std::to_string(percent_ones) + "% ones");
            const Bytes stream = rans_encode(data, n_bits);
            ASSERT_EQ(stream, plain_encode(data, n_bits));
            EXPECT_EQ(rans_decode(stream, n_bits), plain_decode(stream, n_bits));
            for (const std::size_t cut : {std::size_t{0}, std::size_t{7}, stream.size() / 2, stream.size() - 1}) {
                const Bytes shortened(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(std::min(cut, stream.size())));
                EXPECT_EQ(rans_decode(shortened, n_bits), plain_decode(shortened, n_bits)) << "cut " << cut;
            }
            Bytes noise(rng() % 400);
            for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0 : rng());
            EXPECT_EQ(rans_decode(noise, n_bits), plain_decode(noise, n_bits)) << "noise";
        }
    }
}

TEST(RansDecode, ShortStreamsReadMissingBytesAsZero) {
    // Header bytes that are absent count as 0; the result has the requested size.
    const Bytes full = {0x00, 0x04, 0x00, 0xc4, 0xbd, 0x04};
    for (std::size_t len = 0; len < 6; ++len) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
        Bytes padded = cut;
        padded.resize(6, 0);
        for (std::uint64_t n_bits : {1u, 4u, 9u, 100u}) {
            const Bytes out = rans_decode(cut, n_bits);
            EXPECT_EQ(out.size(), (n_bits + 7) / 8);
            EXPECT_EQ(out, rans_decode(padded, n_bits)) << "length " << len;
        }
    }
    EXPECT_TRUE(rans_decode({}, 0).empty());
}

TEST(RansDecode, ZeroStateStopsInsteadOfLooping) {
    // State 0 with nothing left to shift in would renormalise forever; the
    // decoder stays at state 0, which keeps yielding the symbol owning slot 0.
    const Bytes p_half_state_zero = {0x00, 0x08, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(rans_decode(p_half_state_zero, 1000), Bytes(125, 0x00));
    const Bytes p_zero_state_zero = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(rans_decode(p_zero_state_zero, 20), (Bytes{0xFF, 0xFF, 0xF0}));
    // Zero bytes that follow are consumed, then non-zero ones revive it: the
    // state becomes 0x12345600 and later bits are no longer all 0.
    const Bytes revived = {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56};
    EXPECT_EQ(rans_decode(revived, 32), (Bytes{0x28, 0x06, 0x00, 0x00}));
    // No stream at all: p_zero 0 gives every slot to the bit 1.
    EXPECT_EQ(rans_decode({}, 17), (Bytes{0xFF, 0xFF, 0x80}));
}

// Streams whose state lands exactly on the renormalisation boundary, where
// "below RANS_L" and "below RANS_L - 1" part ways. Worked by hand: the
// first bit leaves state 0x7FFFFF, which must pull in a byte.
struct BoundaryCase {
    Bytes stream;
    std::uint64_t n_bits;
    Bytes expected;
};

class RansRenormalisationBoundary : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(RansRenormalisationBoundary, DecodesAsTheStepsSay) {
    EXPECT_EQ(rans_decode(GetParam().stream, GetParam().n_bits), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RansRenormalisationBoundary,
    ::testing::Values(BoundaryCase{{0xa0, 0x0f, 0x5f, 0x12, 0x83, 0x00, 0x00, 0x00}, 8, {0x10}}));

}  // namespace
}  // namespace zel
